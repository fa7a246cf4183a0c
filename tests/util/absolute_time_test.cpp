// Absolute times and time intervals through the exports: a generated table
// of exact results (tests/util/absolute_time_oracle.py), the documented
// edge cases, overflow and rounding at the limits, the order of the
// argument checks, the current time and its system failure, and the twins'
// reports.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>

#include "core/test_hooks.h"
#include "kez/absolute_time.h"

namespace {

using u64 = unsigned long long;
constexpr u64 kHigh = 1ull << 63;
constexpr int kSecond = KEZ_TIME_UNIT_SECOND, kNano = KEZ_TIME_UNIT_NANOSECOND, kMinute = KEZ_TIME_UNIT_MINUTE;
constexpr int kDay = KEZ_TIME_UNIT_DAY;

template <class T = KezTimeInterval>
T make(long long seconds, u64 fraction = 0) {
    return T{{fraction, static_cast<u64>(seconds)}};
}
const auto kMax = make(INT64_MAX, ~0ull), kMin = make(INT64_MIN);
const auto kTick = make(0, 1);  // 2^-64 s

// "<status> <result>": the result as the table writes it, "-" when the call
// left it alone and "written" when it wrote it although it failed.
template <class T>
std::string text(int status, const T &out, const T &before, const std::function<std::string()> &show) {
    const bool unchanged = std::memcmp(&out, &before, sizeof out) == 0;
    return std::to_string(status) + ' ' + (status != 0 ? (unchanged ? "-" : "written") : show());
}
std::string hex(u64 high, u64 low) {
    char s[40];
    std::snprintf(s, sizeof s, "%016llx%016llx", high, low);
    return s;
}
template <class T>
std::string hex(const T &v) {
    return hex(v.kezPrivate[1], v.kezPrivate[0]);
}
template <class T = KezTimeInterval>
T parse(const std::string &h) {
    return T{{std::stoull(h.substr(16), nullptr, 16), std::stoull(h.substr(0, 16), nullptr, 16)}};
}
const auto kPoison = make(0x5A5A5A5A5A5A5A5All, 0xA5A5A5A5A5A5A5A5ull);

// One table case, called through the exports; "<status> <result>".
std::string replay(std::istringstream &in, char op, bool absolute) {
    int epoch = 0, unit = 0, mode = 0, status = 0;
    long long n = 0, count = 0x5A5A;
    std::string a, b, c;
    KezTimeInterval out = kPoison;
    const auto show = [&] { return hex(out); };
    const auto show_count = [&] { return std::to_string(count); };
    switch (op) {
    case 'F':
        in >> epoch >> unit >> n;
        if (epoch == 0) return text(KezTimeIntervalFromTimeUnit(unit, n, &out), out, kPoison, show);
        {
            auto t = std::bit_cast<KezAbsoluteTime>(kPoison);
            status = KezAbsoluteTimeFromTimeUnit(epoch, unit, n, &t);
            return text(status, t, std::bit_cast<KezAbsoluteTime>(kPoison), [&] { return hex(t); });
        }
    case 'T':
        in >> epoch >> unit >> mode >> a;
        status = epoch == 0 ? KezTimeIntervalToTimeUnit(parse(a), unit, mode, &count)
                            : KezAbsoluteTimeToTimeUnit(parse<KezAbsoluteTime>(a), epoch, unit, mode, &count);
        return std::to_string(status) + ' ' + (status != 0 ? (count == 0x5A5A ? "-" : "written") : show_count());
    case 'R': in >> unit >> a; return text(KezTimeIntervalToFractionalUnitTime(parse(a), unit, &out), out, kPoison, show);
    case 'S':
        in >> a;
        return text(KezTimeIntervalFromSeconds(std::bit_cast<double>(std::stoull(a, nullptr, 16)), &out), out, kPoison,
                    show);
    case 'D': {
        double seconds = 0;
        in >> a;
        status = KezTimeIntervalToSeconds(parse(a), &seconds);
        return std::to_string(status) + ' ' + hex(0, std::bit_cast<u64>(seconds)).substr(16);
    }
    case 'C': {
        int result = 7;
        in >> a >> b >> c;
        status = absolute ? CompareKezAbsoluteTimesWithTolerance(parse<KezAbsoluteTime>(a), parse<KezAbsoluteTime>(b),
                                                                 parse(c), &result)
                          : CompareKezTimeIntervalsWithTolerance(parse(a), parse(b), parse(c), &result);
        return std::to_string(status) + ' ' + (status != 0 ? (result == 7 ? "-" : "written") : std::to_string(result));
    }
    case 'M': in >> a >> n; return text(MultiplyKezTimeInterval(parse(a), n, &out), out, kPoison, show);
    case 'V': in >> a >> n; return text(DivideKezTimeInterval(parse(a), n, &out), out, kPoison, show);
    default: return "unknown case";
    }
}

TEST(AbsoluteTime, MatchesTheExactTable) {
    std::ifstream table(KEZ_ABSOLUTE_TIME_ORACLE);
    ASSERT_TRUE(table) << KEZ_ABSOLUTE_TIME_ORACLE;
    int lines = 0, failures = 0;
    for (std::string line; std::getline(table, line); ++lines) {
        const auto cut = line.rfind(' ', line.rfind(' ') - 1);
        std::istringstream in(line.substr(0, cut));
        char op = 0;
        in >> op;
        const std::string got = replay(in, op, lines % 2 == 1);
        if (got != line.substr(cut + 1) && ++failures <= 20) ADD_FAILURE() << line << "\n  got " << got;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(lines, 100000);
}

TEST(AbsoluteTime, DocumentedEdgeCases) {
    KezTimeInterval v = kPoison;
    double seconds = 0;
    ASSERT_EQ(KezTimeIntervalFromSeconds(-0.5, &v), 0);
    EXPECT_EQ(hex(v), hex(~0ull, kHigh));
    ASSERT_EQ(KezTimeIntervalToSeconds(v, &seconds), 0);
    EXPECT_EQ(seconds, -0.5);

    // seconds word, fraction word, in seconds by modes 1..4
    const struct { long long s; u64 f; long long by_mode[4]; } rows[] = {
        {2, kHigh, {2, 2, 3, 2}}, {3, kHigh, {4, 3, 4, 3}}, {-3, kHigh, {-2, -2, -2, -3}}, {5, 1, {5, 5, 6, 5}}};
    for (const auto &r : rows)
        for (int mode = 1; mode <= 4; ++mode) {
            long long n = 0;
            EXPECT_EQ(KezTimeIntervalToTimeUnit(make(r.s, r.f), kSecond, mode, &n), 0);
            EXPECT_EQ(n, r.by_mode[mode - 1]) << r.s << " mode " << mode;
        }

    auto t = make<KezAbsoluteTime>(0);
    long long count = 0;
    ASSERT_EQ(KezAbsoluteTimeFromTimeUnit(KEZ_TIME_EPOCH_1970, kSecond, 0, &t), 0);
    EXPECT_EQ(hex(t), hex(2082844800, 0));
    ASSERT_EQ(KezAbsoluteTimeToTimeUnit(t, KEZ_TIME_EPOCH_1601, kSecond, 1, &count), 0);
    EXPECT_EQ(count, 11644473600);

    KezTimeInterval one, later, micro;
    int result = 7;
    ASSERT_EQ(KezTimeIntervalFromSeconds(1.0, &one) | KezTimeIntervalFromSeconds(1.0000001, &later) |
                  KezTimeIntervalFromTimeUnit(KEZ_TIME_UNIT_MICROSECOND, 1, &micro),
              0);
    EXPECT_EQ(CompareKezTimeIntervalsWithTolerance(one, later, micro, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CompareKezTimeIntervalsWithTolerance(one, later, make(0), &result), 0);
    EXPECT_EQ(result, -1);

    v = kPoison;
    EXPECT_EQ(DivideKezTimeInterval(one, 0, &v), -1);
    EXPECT_EQ(hex(v), hex(kPoison));
    EXPECT_EQ(MultiplyKezTimeInterval(kMax, 2, &v), 0);
    EXPECT_EQ(hex(v), hex(~0ull, ~1ull));
}

// Overflow exactly where the result does not fit, rounding from the exact
// quotient, tolerance on the exact distance, NaN refused, arithmetic wrapping.
TEST(AbsoluteTime, LimitsAreExact) {
    const auto to = [](KezTimeInterval v, int unit, int mode) {
        long long n = 0x5A5A;
        const int status = KezTimeIntervalToTimeUnit(v, unit, mode, &n);
        return std::to_string(status) + ' ' + (status != 0 && n == 0x5A5A ? "-" : std::to_string(n));
    };
    const auto from = [](int epoch, int unit, long long n) {
        auto t = std::bit_cast<KezAbsoluteTime>(kPoison);
        KezTimeInterval v = kPoison;
        const int status =
            epoch != 0 ? KezAbsoluteTimeFromTimeUnit(epoch, unit, n, &t) : KezTimeIntervalFromTimeUnit(unit, n, &v);
        return std::to_string(status) + ' ' + (epoch != 0 ? hex(t) : hex(v));
    };
    const auto tolerance = [](KezTimeInterval a, KezTimeInterval b, KezTimeInterval t) {
        int r = 7;
        const int status = CompareKezTimeIntervalsWithTolerance(a, b, t, &r);
        int r2 = 7;
        CompareKezAbsoluteTimesWithTolerance(std::bit_cast<KezAbsoluteTime>(a), std::bit_cast<KezAbsoluteTime>(b), t,
                                             &r2);
        return std::to_string(status) + ' ' + std::to_string(r) + std::to_string(r2);
    };
    const auto seconds = [](double s) {
        KezTimeInterval v = kPoison;
        const int status = KezTimeIntervalFromSeconds(s, &v);
        return std::to_string(status) + ' ' + hex(v);
    };
    const std::string untouched = ' ' + hex(kPoison);
    EXPECT_EQ(to(make(100000000000), kNano, 1), "-3 -");
    EXPECT_EQ(to(make(9223372036), kNano, 2), "0 9223372036000000000");
    const auto below_min_ns = make(-9223372037, 0x252d69a33a5fd5dcull);  // floor(-2^63 ns)
    EXPECT_EQ(to(below_min_ns, kNano, 3), "0 -9223372036854775808");
    EXPECT_EQ(to(below_min_ns, kNano, 4), "-3 -");
    EXPECT_EQ(to(make(60, 1), kMinute, 3), "0 2");
    EXPECT_EQ(to(make(60, 1), kMinute, 1), "0 1");
    EXPECT_EQ(to(make(-61, ~0ull), kMinute, 4), "0 -2");
    EXPECT_EQ(to(make(90), kMinute, 1), "0 2");  // 1.5 ties to even
    EXPECT_EQ(to(kMin, kSecond, 1), "0 -9223372036854775808");
    EXPECT_EQ(to(kMax, kSecond, 3), "-3 -");
    EXPECT_EQ(from(0, kDay, 1ll << 62), "-3" + untouched);
    EXPECT_EQ(from(0, kDay, 106751991167300), "0 " + hex(9223372036854720000ull, 0));
    EXPECT_EQ(from(KEZ_TIME_EPOCH_1970, kSecond, -1), "0 " + hex(2082844799, 0));
    EXPECT_EQ(from(KEZ_TIME_EPOCH_1970, kSecond, INT64_MAX - 2082844800), "0 " + hex(INT64_MAX, 0));
    EXPECT_EQ(from(KEZ_TIME_EPOCH_1970, kSecond, INT64_MAX - 2082844799), "-3" + untouched);
    EXPECT_EQ(from(KEZ_TIME_EPOCH_0001, KEZ_TIME_UNIT_MINUTE, 153722868281792130), "0 " + hex(INT64_MAX - 7, 0));
    EXPECT_EQ(from(0, kNano, -1), "0 " + hex(~0ull, ~18446744072ull));  // truncated toward zero
    EXPECT_EQ(tolerance(make(1ll << 62), make(-(1ll << 62)), make(0)), "0 11");
    EXPECT_EQ(tolerance(make(-(1ll << 62)), make(1ll << 62), kMax), "0 -1-1");
    EXPECT_EQ(tolerance(kMin, kMax, kMax), "0 -1-1");
    EXPECT_EQ(tolerance(kMin, kMin, make(-1, ~0ull)), "-1 77");
    for (double bad : {std::nan(""), -std::nan(""), HUGE_VAL, -HUGE_VAL, 0x1p63})
        EXPECT_EQ(seconds(bad), "-1" + untouched) << bad;
    EXPECT_EQ(seconds(-0x1p63), "0 " + hex(kMin));
    EXPECT_EQ(seconds(0x1p-65), "0 " + hex(0, 0));

    // a, b, a+b, a-b: the sums and differences of every add and subtract function wrap.
    const struct { KezTimeInterval a, b; std::string sum, difference; } wraps[] = {
        {kMax, kTick, hex(kMin), hex(make(INT64_MAX, ~1ull))},
        {kMin, kTick, hex(make(INT64_MIN, 1)), hex(kMax)},
    };
    for (const auto &w : wraps) {
        const auto a = std::bit_cast<KezAbsoluteTime>(w.a);
        auto t = a, u = a, sum = a, difference = a;
        KezTimeInterval v[4] = {w.a, w.a, w.a, w.a};
        const int statuses[] = {AddKezTimeIntervals(w.a, w.b, &v[0]),      SubtractKezTimeIntervals(w.a, w.b, &v[1]),
                                IncrementKezTimeInterval(&v[2], w.b),      DecrementKezTimeInterval(&v[3], w.b),
                                AddToKezAbsoluteTime(a, w.b, &sum),        SubtractFromKezAbsoluteTime(a, w.b, &difference),
                                IncrementKezAbsoluteTime(&t, w.b),         DecrementKezAbsoluteTime(&u, w.b)};
        for (int status : statuses) EXPECT_EQ(status, 0);
        for (const std::string &s : {hex(v[0]), hex(v[2]), hex(sum), hex(t)}) EXPECT_EQ(s, w.sum);
        for (const std::string &s : {hex(v[1]), hex(v[3]), hex(difference), hex(u)}) EXPECT_EQ(s, w.difference);
        EXPECT_EQ(SubtractKezAbsoluteTimes(std::bit_cast<KezAbsoluteTime>(w.a), std::bit_cast<KezAbsoluteTime>(w.b),
                                           &v[0]),
                  0);
        EXPECT_EQ(hex(v[0]), w.difference);
    }
    KezTimeInterval v;
    EXPECT_EQ(MultiplyKezTimeInterval(kMin, -1, &v), 0);
    EXPECT_EQ(hex(v), hex(kMin));
    EXPECT_EQ(DivideKezTimeInterval(kMin, -1, &v), 0);
    EXPECT_EQ(hex(v), hex(kMin));
}

// Whole-unit counts survive a round trip to fixed point and back, for
// every unit and epoch, up to the 64-bit limits.
TEST(AbsoluteTime, CountsRoundTrip) {
    std::mt19937_64 random(7);
    for (int unit = KEZ_TIME_UNIT_ATTOSECOND; unit <= kDay; ++unit)
        for (int epoch : {0, KEZ_TIME_EPOCH_0001, KEZ_TIME_EPOCH_1601, KEZ_TIME_EPOCH_1970})
            for (int i = 0; i < 300; ++i) {
                const long long n = i < 2 ? (i == 0 ? INT64_MIN : INT64_MAX)
                                          : static_cast<long long>(random() >> (random() % 64));
                auto t = make<KezAbsoluteTime>(0);
                auto v = make(0);
                const int from = epoch != 0 ? KezAbsoluteTimeFromTimeUnit(epoch, unit, n, &t)
                                            : KezTimeIntervalFromTimeUnit(unit, n, &v);
                if (from == -1 || from == -3) continue;  // not a unit; too many days
                long long back = 0;
                ASSERT_EQ(epoch != 0 ? KezAbsoluteTimeToTimeUnit(t, epoch, unit, 1, &back)
                                     : KezTimeIntervalToTimeUnit(v, unit, 1, &back),
                          0);
                EXPECT_EQ(back, n) << unit << ' ' << epoch;
            }
}

// The code checks come before the result pointer in the whole-unit and
// fractional conversions only.
TEST(AbsoluteTime, ChecksInOrderAndLeavesOutputsOnFailure) {
    const auto v = make(1), neg = make(-1);
    const auto t = make<KezAbsoluteTime>(1);
    const struct { int got, want; } rows[] = {
        {KezAbsoluteTimeToTimeUnit(t, 1971, kSecond, 1, nullptr), -1},
        {KezAbsoluteTimeToTimeUnit(t, 1970, kSecond, 0, nullptr), -1},
        {KezAbsoluteTimeToTimeUnit(t, 1970, kSecond, 1, nullptr), -2},
        {KezTimeIntervalToTimeUnit(v, 919263160, 1, nullptr), -1},
        {KezTimeIntervalToTimeUnit(v, kSecond, 5, nullptr), -1},
        {KezTimeIntervalToFractionalUnitTime(v, 919263184, nullptr), -1},
        {KezTimeIntervalToFractionalUnitTime(v, kSecond, nullptr), -2},
        {KezAbsoluteTimeFromTimeUnit(1971, 0, 0, nullptr), -2},
        {KezTimeIntervalFromTimeUnit(0, 0, nullptr), -2},
        {KezTimeIntervalFromSeconds(std::nan(""), nullptr), -2},
        {DivideKezTimeInterval(v, 0, nullptr), -2},
        {CompareKezTimeIntervalsWithTolerance(v, v, neg, nullptr), -2},
        {CompareKezAbsoluteTimesWithTolerance(t, t, neg, nullptr), -2},
        {GetCurrentKezAbsoluteTime(nullptr), -2},
        {KezTimeIntervalToSeconds(v, nullptr), -2},
        {AddKezTimeIntervals(v, v, nullptr) + 2 * SubtractKezTimeIntervals(v, v, nullptr), -6},
        {AddToKezAbsoluteTime(t, v, nullptr) + 2 * SubtractFromKezAbsoluteTime(t, v, nullptr), -6},
        {SubtractKezAbsoluteTimes(t, t, nullptr) + 2 * MultiplyKezTimeInterval(v, 1, nullptr), -6},
        {IncrementKezAbsoluteTime(nullptr, v) + 2 * DecrementKezAbsoluteTime(nullptr, v), -6},
        {IncrementKezTimeInterval(nullptr, v) + 2 * DecrementKezTimeInterval(nullptr, v), -6},
        {CompareKezAbsoluteTimes(t, t, nullptr) + 2 * CompareKezTimeIntervals(v, v, nullptr), -6},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
    int result = 7;
    EXPECT_EQ(CompareKezTimeIntervalsWithTolerance(v, v, neg, &result), -1);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(CompareKezAbsoluteTimes(t, make<KezAbsoluteTime>(0, 1), &result), 0);
    EXPECT_EQ(result, 1);
}

TEST(AbsoluteTime, CurrentTimeAndItsSystemFailure) {
    auto now = make<KezAbsoluteTime>(0);
    long long ns = 0;
    ASSERT_EQ(GetCurrentKezAbsoluteTime(&now), 0);
    const auto host = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    ASSERT_EQ(KezAbsoluteTimeToTimeUnit(now, KEZ_TIME_EPOCH_1970, kNano, 2, &ns), 0);
    EXPECT_LT(std::llabs(host.count() - ns), 5000000000ll);

    KezTest_ArmFault("os.utc_now", 1);
    auto failed = std::bit_cast<KezAbsoluteTime>(kPoison);
    EXPECT_EQ(GetCurrentKezAbsoluteTime(&failed), -5);
    EXPECT_EQ(hex(failed), hex(kPoison));
    EXPECT_EQ(GetCurrentKezAbsoluteTime(&failed), 0);
}

// "<code> <function>: <text>" of the last library error, and the argument
// report "<number> <argument> <severity> <text>" when one was made.
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
    KezTimeInterval v = make(0);
    auto t = make<KezAbsoluteTime>(0);
    int r = 0;
    const struct { int level, code; std::function<int()> call; std::string report; } rows[] = {
        {2, -1, [&] { return _UP_KezTimeIntervalToTimeUnit(v, 0, 1, &n); },
         "-1 KezTimeIntervalToTimeUnit: An argument passed to the function is invalid."},
        {2, -2, [&] { return _UP_CompareKezTimeIntervalsWithTolerance(v, v, v, nullptr); },
         "-2 CompareKezTimeIntervalsWithTolerance: A pointer passed to the function is NULL. | "
         "165 4 3 Null pointer argument to library function."},
        {0, -2, [&] { return _UP_IncrementKezAbsoluteTime(nullptr, v); },
         "-2 IncrementKezAbsoluteTime: A pointer passed to the function is NULL."},
        {2, -3, [&] { return _UP_KezTimeIntervalFromTimeUnit(kDay, 1ll << 62, &v); },
         "-3 KezTimeIntervalFromTimeUnit: A mathematical operation resulted in an overflow."},
        {2, -2, [&] { return KezTest_ArmFault("os.utc_now", 1), _UP_GetCurrentKezAbsoluteTime(nullptr); },
         "-2 GetCurrentKezAbsoluteTime: A pointer passed to the function is NULL. | "
         "165 1 3 Null pointer argument to library function."},
        {2, -5, [&] { return _UP_GetCurrentKezAbsoluteTime(&t); },
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
