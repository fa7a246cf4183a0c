// Absolute times and time intervals through the exports: a table of exact
// results computed at build time (absolute_time_oracle.py: the documented
// edge cases, the limits of overflow, rounding, tolerance and range, and
// random cases), round trips of counts, the order of the argument checks,
// the current time and its system failure, and the twins' reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/absolute_time.h"

namespace {

using u64 = unsigned long long;
using Interval = KezTimeInterval;
using Time = KezAbsoluteTime;
constexpr Interval kPoison{{0xA5A5A5A5A5A5A5A5ull, 0x5A5A5A5A5A5A5A5Aull}};
constexpr long long kPoisonCount = 0x5A5A;

Interval seconds(long long s) { return Interval{{0, static_cast<u64>(s)}}; }
Time time_of(const Interval &v) { return std::bit_cast<Time>(v); }
template <class T>
std::string hex(const T &v) {
    char s[40];
    std::snprintf(s, sizeof s, "%016llx%016llx", v.kezPrivate[1], v.kezPrivate[0]);
    return s;
}
Interval parse(const std::string &h) {
    return Interval{{std::stoull(h.substr(16), nullptr, 16), std::stoull(h.substr(0, 16), nullptr, 16)}};
}
template <class T>
bool poisoned(const T &v) {
    return std::memcmp(&v, &kPoison, sizeof v) == 0;
}
// "<status> <result>": "-" when a failed call left its output alone.
std::string outcome(int status, bool untouched, const std::string &result) {
    return std::to_string(status) + ' ' + (status == 0 ? result : untouched ? "-" : "written");
}

// One table case through the exports (odd lines through the absolute-time
// forms where both exist).
std::string replay(char op, std::istringstream &in, bool absolute) {
    std::string x, y, z;
    long long i = 0, j = 0, k = 0, n = kPoisonCount;
    Interval v = kPoison;
    Time t = time_of(kPoison);
    int status = 0, c = 7;
    switch (op) {
    case 'F':
        in >> i >> j >> k;
        status = i != 0 ? KezAbsoluteTimeFromTimeUnit(int(i), int(j), k, &t) : KezTimeIntervalFromTimeUnit(int(j), k, &v);
        return i != 0 ? outcome(status, poisoned(t), hex(t)) : outcome(status, poisoned(v), hex(v));
    case 'T':
        in >> i >> j >> k >> x;
        status = i != 0 ? KezAbsoluteTimeToTimeUnit(time_of(parse(x)), int(i), int(j), int(k), &n)
                        : KezTimeIntervalToTimeUnit(parse(x), int(j), int(k), &n);
        return outcome(status, n == kPoisonCount, std::to_string(n));
    case 'R': in >> i >> x; status = KezTimeIntervalToFractionalUnitTime(parse(x), int(i), &v); break;
    case 'S': in >> x; status = KezTimeIntervalFromSeconds(std::bit_cast<double>(std::stoull(x, nullptr, 16)), &v); break;
    case 'M': in >> x >> i; status = MultiplyKezTimeInterval(parse(x), i, &v); break;
    case 'V': in >> x >> i; status = DivideKezTimeInterval(parse(x), i, &v); break;
    case 'D': {
        double d = 0;
        in >> x;
        status = KezTimeIntervalToSeconds(parse(x), &d);
        return outcome(status, false, hex(Interval{{std::bit_cast<u64>(d), 0}}).substr(16));
    }
    case 'C':
        in >> x >> y >> z;
        status = absolute ? CompareKezAbsoluteTimesWithTolerance(time_of(parse(x)), time_of(parse(y)), parse(z), &c)
                          : CompareKezTimeIntervalsWithTolerance(parse(x), parse(y), parse(z), &c);
        return outcome(status, c == 7, std::to_string(c));
    case 'A': {  // every sum and every difference must agree
        in >> x >> y;
        const Interval a = parse(x), b = parse(y);
        Interval sum = a, difference = a, s2, d2, d3;
        Time ts = time_of(a), td = time_of(a), s3, d4;
        status = AddKezTimeIntervals(a, b, &s2) | SubtractKezTimeIntervals(a, b, &d2) | IncrementKezTimeInterval(&sum, b) |
                 DecrementKezTimeInterval(&difference, b) | AddToKezAbsoluteTime(time_of(a), b, &s3) |
                 SubtractFromKezAbsoluteTime(time_of(a), b, &d4) | IncrementKezAbsoluteTime(&ts, b) |
                 DecrementKezAbsoluteTime(&td, b) | SubtractKezAbsoluteTimes(time_of(a), time_of(b), &d3);
        const bool agree = hex(sum) == hex(s2) && hex(sum) == hex(s3) && hex(sum) == hex(ts) &&
                           hex(difference) == hex(d2) && hex(difference) == hex(d3) &&
                           hex(difference) == hex(d4) && hex(difference) == hex(td);
        return outcome(status, false, agree ? hex(sum) + ' ' + hex(difference) : "disagree");
    }
    default: return "unknown case";
    }
    return outcome(status, poisoned(v), hex(v));
}

TEST(AbsoluteTime, MatchesTheExactTable) {
    std::ifstream table(KEZ_ABSOLUTE_TIME_ORACLE);
    ASSERT_TRUE(table) << KEZ_ABSOLUTE_TIME_ORACLE;
    int lines = 0, failures = 0;
    for (std::string line; std::getline(table, line); ++lines) {
        std::istringstream in(line);
        char op = 0;
        in >> op;
        const std::string got = replay(op, in, lines % 2 == 1);
        std::string want;
        std::getline(in >> std::ws, want);
        if (got != want && ++failures <= 20) ADD_FAILURE() << line << "\n  got " << got;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(lines, 100000);
}

// Whole-unit counts survive a round trip (to nearest) for every unit and
// epoch, up to the 64-bit limits.
TEST(AbsoluteTime, CountsRoundTrip) {
    std::mt19937_64 random(7);
    for (int unit = KEZ_TIME_UNIT_ATTOSECOND; unit <= KEZ_TIME_UNIT_DAY; ++unit)
        for (int epoch : {0, KEZ_TIME_EPOCH_0001, KEZ_TIME_EPOCH_1601, KEZ_TIME_EPOCH_1970})
            for (int i = 0; i < 300; ++i) {
                const long long n = i < 2 ? (i == 0 ? INT64_MIN : INT64_MAX) : (long long)(random() >> random() % 64);
                Time t{};
                Interval v{};
                const int from = epoch != 0 ? KezAbsoluteTimeFromTimeUnit(epoch, unit, n, &t)
                                            : KezTimeIntervalFromTimeUnit(unit, n, &v);
                if (from == -1 || from == -3) continue;  // not a unit; too many minutes, hours or days
                long long back = 0;
                ASSERT_EQ(epoch != 0 ? KezAbsoluteTimeToTimeUnit(t, epoch, unit, 1, &back)
                                     : KezTimeIntervalToTimeUnit(v, unit, 1, &back),
                          0);
                EXPECT_EQ(back, n) << unit << ' ' << epoch;
            }
}

// The code checks come before the result pointer in the whole-unit and
// fractional conversions only; a failed check writes nothing.
TEST(AbsoluteTime, ChecksInOrder) {
    const Interval v = seconds(1), neg = seconds(-1);
    const Time t = time_of(v);
    const int s = KEZ_TIME_UNIT_SECOND;
    const int got[] = {
        KezAbsoluteTimeToTimeUnit(t, 1971, s, 1, nullptr), KezAbsoluteTimeToTimeUnit(t, 1970, s, 0, nullptr),
        KezTimeIntervalToTimeUnit(v, 919263160, 1, nullptr), KezTimeIntervalToTimeUnit(v, s, 5, nullptr),
        KezTimeIntervalToFractionalUnitTime(v, 919263184, nullptr),
        // -2 from here on
        KezAbsoluteTimeToTimeUnit(t, 1970, s, 1, nullptr), KezTimeIntervalToTimeUnit(v, s, 1, nullptr),
        KezTimeIntervalToFractionalUnitTime(v, s, nullptr), KezAbsoluteTimeFromTimeUnit(1971, 0, 0, nullptr),
        KezTimeIntervalFromTimeUnit(0, 0, nullptr), KezTimeIntervalFromSeconds(std::nan(""), nullptr),
        DivideKezTimeInterval(v, 0, nullptr), CompareKezTimeIntervalsWithTolerance(v, v, neg, nullptr),
        CompareKezAbsoluteTimesWithTolerance(t, t, neg, nullptr), GetCurrentKezAbsoluteTime(nullptr),
        KezTimeIntervalToSeconds(v, nullptr), AddKezTimeIntervals(v, v, nullptr), SubtractKezTimeIntervals(v, v, nullptr),
        AddToKezAbsoluteTime(t, v, nullptr), SubtractFromKezAbsoluteTime(t, v, nullptr),
        SubtractKezAbsoluteTimes(t, t, nullptr), MultiplyKezTimeInterval(v, 1, nullptr),
        IncrementKezAbsoluteTime(nullptr, v), DecrementKezAbsoluteTime(nullptr, v), IncrementKezTimeInterval(nullptr, v),
        DecrementKezTimeInterval(nullptr, v), CompareKezAbsoluteTimes(t, t, nullptr),
        CompareKezTimeIntervals(v, v, nullptr)};
    for (std::size_t i = 0; i < std::size(got); ++i) EXPECT_EQ(got[i], i < 5 ? -1 : -2) << "call " << i;
}

TEST(AbsoluteTime, CurrentTimeAndItsSystemFailure) {
    Time now = time_of(kPoison);
    long long ns = 0;
    ASSERT_EQ(GetCurrentKezAbsoluteTime(&now), 0);
    const auto host = std::chrono::system_clock::now().time_since_epoch();
    ASSERT_EQ(KezAbsoluteTimeToTimeUnit(now, KEZ_TIME_EPOCH_1970, KEZ_TIME_UNIT_NANOSECOND, 2, &ns), 0);
    EXPECT_LT(std::llabs(std::chrono::duration_cast<std::chrono::nanoseconds>(host).count() - ns), 5000000000ll);

    KezTest_ArmFault("os.utc_now", 1);
    now = time_of(kPoison);
    EXPECT_EQ(GetCurrentKezAbsoluteTime(&now), -5);
    EXPECT_TRUE(poisoned(now));
    EXPECT_EQ(GetCurrentKezAbsoluteTime(&now), 0);
}

// The local calendar in a zone with daylight saving (the system's zone
// replaced by a rule): fields, ranges, the hours the clock skips and
// repeats, and outputs zeroed on failure.
TEST(AbsoluteTime, LocalCalendar) {
    ASSERT_EQ(KezTest_SetSystemTimeZone("CET-1CEST,M3.5.0,M10.5.0/3"), 0);
    const auto from = [](unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, double ms) {
        Time t = time_of(kPoison);
        const int r = KezAbsoluteTimeFromLocalCalendar(y, mo, d, h, mi, s, ms, &t);
        return r == 0 ? hex(t) : poisoned(t) ? std::to_string(r) : "written on failure";
    };
    const auto at = [](long long unix_seconds, u64 fraction = 0) {
        return hex(Interval{{fraction, static_cast<u64>(unix_seconds + 2082844800)}});
    };
    EXPECT_EQ(from(2024, 7, 4, 14, 0, 0, 250.0), at(1720094400, 1ull << 62));  // 12:00 UTC, daylight time
    EXPECT_EQ(from(2024, 3, 31, 2, 30, 0, 0), at(1711845000));    // skipped: 02:30 daylight is 00:30 UTC
    EXPECT_EQ(from(2024, 10, 27, 2, 30, 0, 0), at(1729992600));   // repeated: 02:30 standard is 01:30 UTC
    EXPECT_EQ(from(2023, 2, 31, 0, 0, 0, 0), at(1677798000));     // 3 March
    EXPECT_EQ(from(1970, 1, 1, 1, 0, 0, 0), at(0));
    for (auto [bad, code] : {std::pair{from(1969, 12, 31, 23, 0, 0, 0), -4}, {from(4294967295u, 1, 1, 0, 0, 0, 0), -4},
                             {from(1970, 1, 1, 0, 59, 59, 0), -5}, {from(2024, 13, 1, 0, 0, 0, 0), -1},
                             {from(2024, 1, 0, 0, 0, 0, 0), -1}, {from(2024, 1, 1, 24, 0, 0, 0), -1},
                             {from(2024, 1, 1, 0, 0, 60, 0), -1}, {from(2024, 1, 1, 0, 0, 0, 1000.0), -1},
                             {from(2024, 1, 1, 0, 0, 0, -0.5), -1}, {from(2024, 1, 1, 0, 0, 0, std::nan("")), -1}})
        EXPECT_EQ(bad, std::to_string(code));
    EXPECT_EQ(KezAbsoluteTimeFromLocalCalendar(2024, 1, 1, 0, 0, 0, 0, nullptr), -2);

    unsigned f[7];
    double ms = -1;
    const auto to = [&](const Interval &v) {
        std::fill(std::begin(f), std::end(f), 99u);
        ms = -1;
        return KezAbsoluteTimeToLocalCalendar(time_of(v), &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &ms, &f[6]);
    };
    ASSERT_EQ(to(parse(at(1720094400, 3ull << 62))), 0);
    EXPECT_EQ(std::vector<unsigned>(f, f + 7), (std::vector<unsigned>{2024, 7, 4, 14, 0, 0, 4}));
    EXPECT_EQ(ms, 750.0);
    ASSERT_EQ(to(parse(at(1729992600 - 3600))), 0);  // the first 02:30 of the repeated hour
    EXPECT_EQ(f[3] * 100 + f[4], 230u);
    EXPECT_EQ(KezAbsoluteTimeToLocalCalendar(time_of(seconds(0)), nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr),
              -4);
    for (auto [v, code] : {std::pair{parse(at(-1)), -4}, {seconds(INT64_MIN), -3}, {seconds(INT64_MAX), -5}}) {
        EXPECT_EQ(to(v), code);
        EXPECT_EQ(std::vector<unsigned>(f, f + 7), std::vector<unsigned>(7, 0u)) << code;
        EXPECT_EQ(ms, 0.0);
    }
    ASSERT_EQ(KezTest_SetSystemTimeZone(nullptr), 0);
}

// "<code> <function>: <text>" of the last library error, then
// " | <number> <argument> <severity> <text>" for a new argument report.
std::string reports(unsigned argument_reports_before) {
    char function[128] = {}, message[512] = {}, text[256] = {};
    const int code = KezTest_LastLibraryError(function, sizeof function, message, sizeof message);
    int severity = 0, number = 0, argument = 0;
    std::string r = std::to_string(code) + ' ' + function + ": " + message;
    if (KezTest_LastArgumentReport(&severity, &number, &argument, text, sizeof text) != argument_reports_before)
        r += " | " + std::to_string(number) + ' ' + std::to_string(argument) + ' ' + std::to_string(severity) + ' ' +
             text;
    return r;
}

TEST(AbsoluteTimeTwins, ReportFailuresWithTheirTexts) {
    long long n = 0;
    Interval v = seconds(0);
    Time t{};
    int r = 0;
    const auto null_at = [](int argument) {
        return " | 165 " + std::to_string(argument) + " 3 Null pointer argument to library function.";
    };
    const struct { int level, code; std::function<int()> call; std::string report; } rows[] = {
        {2, -1, [&] { return _UP_KezTimeIntervalToTimeUnit(v, 0, 1, &n); },
         "-1 KezTimeIntervalToTimeUnit: An argument passed to the function is invalid."},
        {2, -2, [&] { return _UP_CompareKezTimeIntervalsWithTolerance(v, v, v, nullptr); },
         "-2 CompareKezTimeIntervalsWithTolerance: A pointer passed to the function is NULL." + null_at(4)},
        {2, -2, [&] { return _UP_KezAbsoluteTimeToTimeUnit(t, 1970, KEZ_TIME_UNIT_DAY, 1, nullptr); },
         "-2 KezAbsoluteTimeToTimeUnit: A pointer passed to the function is NULL." + null_at(5)},
        {0, -2, [&] { return _UP_IncrementKezAbsoluteTime(nullptr, v); },  // no checks at level 0
         "-2 IncrementKezAbsoluteTime: A pointer passed to the function is NULL."},
        {2, -3, [&] { return _UP_KezTimeIntervalFromTimeUnit(KEZ_TIME_UNIT_DAY, 1ll << 62, &v); },
         "-3 KezTimeIntervalFromTimeUnit: A mathematical operation resulted in an overflow."},
        {2, -5, [&] { return KezTest_ArmFault("os.utc_now", 1), _UP_GetCurrentKezAbsoluteTime(&t); },
         "-5 GetCurrentKezAbsoluteTime: The specified time operation failed."},
        {2, 0, [&] { return _UP_KezTest_ReturnCode(-9), _UP_CompareKezTimeIntervals(v, v, &r); },
         "-9 KezTest_ReturnCode: Test code -9."},  // a success reports nothing
    };
    for (const auto &row : rows) {
        KezTest_SetDebuggingLevel(row.level);
        const unsigned before = KezTest_LastArgumentReport(nullptr, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(row.call(), row.code) << row.report;
        EXPECT_EQ(reports(before), row.report);
    }
    KezTest_SetDebuggingLevel(0);
}

}  // namespace
