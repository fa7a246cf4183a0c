// time.h against reference tables the build wrote (time_oracle.py): the
// calendar every day 1900-2400, strftime and asctime to 9999, POSIX rules
// through the host's C library 1900-2400 (the engine's system zone
// replaced by the rule), and real zones from the zone database in child
// processes with TZ set (see tests/CMakeLists.txt). Then the edges: engine-form TZ, the failure
// default, years around the ends of int, bounded outputs, and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "os/os.h"
#include "support/engine_clib.h"
#include "support/watchdog.h"

namespace {

using kez::test::engine_fn;
using time_t64 = std::uint64_t;

struct Tm {
    int sec, min, hour, mday, mon, year, wday, yday, isdst;
    bool operator==(const Tm &) const = default;
};

std::ostream &operator<<(std::ostream &o, const Tm &t) {
    return o << t.year << '-' << t.mon << '-' << t.mday << ' ' << t.hour << ':' << t.min << ':' << t.sec
             << " wday " << t.wday << " yday " << t.yday << " dst " << t.isdst;
}

struct TimeFns {
    Tm *(*localtime)(const time_t64 *) = engine_fn<Tm *(const time_t64 *)>(KEZ_TEST_HOST_NAME(localtime));
    Tm *(*gmtime)(const time_t64 *) = engine_fn<Tm *(const time_t64 *)>(KEZ_TEST_HOST_NAME(gmtime));
    time_t64 (*mktime)(Tm *) = engine_fn<time_t64(Tm *)>(KEZ_TEST_HOST_NAME(mktime));
    char *(*asctime)(const Tm *) = engine_fn<char *(const Tm *)>(KEZ_TEST_HOST_NAME(asctime));
    char *(*ctime)(const time_t64 *) = engine_fn<char *(const time_t64 *)>(KEZ_TEST_HOST_NAME(ctime));
    std::size_t (*strftime)(char *, std::size_t, const char *, const Tm *) =
        engine_fn<std::size_t(char *, std::size_t, const char *, const Tm *)>(KEZ_TEST_HOST_NAME(strftime));
    time_t64 (*time)(time_t64 *) = engine_fn<time_t64(time_t64 *)>(KEZ_TEST_HOST_NAME(time));
    long (*clock)() = engine_fn<long()>(KEZ_TEST_HOST_NAME(clock));
    double (*difftime)(time_t64, time_t64) = engine_fn<double(time_t64, time_t64)>(KEZ_TEST_HOST_NAME(difftime));
};

const TimeFns &fns() {
    static const TimeFns f;
    return f;
}

std::string table(const char *name) { return std::string(KEZ_TIME_ORACLE_DIR) + "/" + name; }

Tm read_fields(std::istream &in) {
    Tm t{};
    in >> t.year >> t.mon >> t.mday >> t.hour >> t.min >> t.sec >> t.wday >> t.yday >> t.isdst;
    return t;
}

std::string strftime_text(const char *format, const Tm &t) {
    char buffer[512];
    const std::size_t n = fns().strftime(buffer, sizeof buffer, format, &t);
    return std::string(buffer, n);
}

// The engine's zone set up again from `rule` (the system's) and `tz`.
void use_zone(const char *rule, const char *tz = nullptr) {
    kez::os::env_set("TZ", tz);
    ASSERT_EQ(KezTest_SetSystemTimeZone(rule), 0) << rule;
}

// L and M lines up to the next section header: localtime of each instant,
// mktime of each wall clock. Returns the lines checked.
int check_section(std::istream &in, const std::string &what) {
    int checked = 0, failures = 0;
    std::string line;
    while (in.peek() == 'L' || in.peek() == 'M') {
        std::getline(in, line);
        std::istringstream l(line.substr(2));
        time_t64 t = 0;
        if (line[0] == 'L') {
            l >> t;
            const Tm expected = read_fields(l);
            const Tm *got = fns().localtime(&t);
            EXPECT_TRUE(got != nullptr && *got == expected) << what << " localtime " << t << ": " << expected;
            failures += got == nullptr || !(*got == expected);
        } else {
            Tm wall{};
            l >> wall.year >> wall.mon >> wall.mday >> wall.hour >> wall.min >> wall.sec >> t;
            const time_t64 got = fns().mktime(&wall);
            EXPECT_EQ(got, t) << what << " mktime " << line;
            failures += got != t;
        }
        if (failures > 10) return checked;
        ++checked;
    }
    return checked;
}

TEST(Time, CalendarAndTextsMatchTheReference) {
    use_zone("UTC0");
    std::ifstream in(table("calendar.txt"));
    ASSERT_TRUE(in) << table("calendar.txt");
    std::string line, format;
    int days = 0, texts = 0, failures = 0;
    while (std::getline(in, line) && failures < 10) {
        if (line[0] == 'F') {
            format = line.substr(2);
            continue;
        }
        std::istringstream l(line.substr(2));
        time_t64 t;
        l >> t;
        const Tm expected = read_fields(l);
        const Tm *got = fns().gmtime(&t);
        ASSERT_NE(got, nullptr) << line;
        Tm local = *fns().localtime(&t);
        const bool same = *got == expected && local == expected && fns().mktime(&local) == t;
        EXPECT_TRUE(same) << line << " gave " << *got;
        failures += !same;
        if (line[0] == 'G') {
            ++days;
            continue;
        }
        std::string rest;
        std::getline(l, rest);
        const std::size_t tab = rest.rfind('\t');
        EXPECT_EQ(strftime_text(format.c_str(), expected), rest.substr(1, tab - 1)) << line;
        const char *asc = fns().asctime(&expected);
        EXPECT_EQ(std::string(asc != nullptr ? asc : "(null)"), rest.substr(tab + 1) + "\n");
        ++texts;
    }
    EXPECT_GT(days, 180000);
    EXPECT_GE(texts, 10000);
}

TEST(Time, RulesMatchTheHostAcrossFiveCenturies) {
    std::ifstream in(table("rules.txt"));
    ASSERT_TRUE(in);
    std::string header;
    int rules = 0;
    while (std::getline(in, header)) {
        ASSERT_EQ(header[0], 'R');
        const std::string rule = header.substr(2);
        use_zone(rule.c_str());
        EXPECT_GT(check_section(in, rule), 3000) << rule;
        ++rules;
    }
    EXPECT_EQ(rules, 8);
    use_zone(nullptr);
}

// The zone the system gives for TZ against the zone database. ctest runs
// it once per zone with TZ set before the process starts (Wine takes the
// zone from the environment it was started in).
TEST(Time, SystemZoneMatchesTheZoneDatabase) {
    char zone[64];
    if (!kez::os::env_get("KEZ_TIME_ZONE", zone, sizeof zone)) GTEST_SKIP() << "ctest runs it with TZ set";
    std::ifstream in(table("zones.txt"));
    std::string header;
    while (std::getline(in, header)) {
        std::istringstream h(header.substr(2));
        std::string name;
        h >> name;
        if (name == zone) {
            EXPECT_GT(check_section(in, name), 10000);
            return;
        }
        while (in.peek() == 'L' || in.peek() == 'M') std::getline(in, header);
    }
    FAIL() << zone << " is not in the table";
}

// "TZ" as ":std:dst:offset" names the zone; the daylight rules stay the
// system's. Offsets are a sign and digits below a day, else 0.
TEST(Time, EngineFormTzAndTheFailureDefault) {
    const time_t64 summer = 3929083200ull;  // 2024-07-04 12:00 UTC
    const time_t64 winter = 3913185600ull;  // 2024-01-01 12:00 UTC
    const std::string long_name(100, 'N');
    struct Case {
        std::string tz;
        int offset;
        const char *standard, *daylight;
    } cases[] = {
        {":ABC:ABD:-0300", -300, "ABC", "ABD"}, {":A:B:+1439", 1439, "A", "B"}, {":A:B:-1439", -1439, "A", "B"},
        {":A:B:840", 840, "A", "B"},            {":A:B:1440", 0, "A", "B"},     {":A:B:12a", 0, "A", "B"},
        {":A:B:", 0, "A", "B"},                 {"::" + long_name + ":60", 60, "", nullptr},
    };
    for (const Case &c : cases) {
        use_zone("EST5EDT,M3.2.0,M11.1.0", c.tz.c_str());
        const std::string daylight = c.daylight != nullptr ? c.daylight : long_name.substr(0, 63);
        Tm w = *fns().localtime(&winter);
        EXPECT_EQ(w.hour * 60 + w.min, ((12 * 60 + c.offset) % 1440 + 1440) % 1440) << c.tz;
        EXPECT_EQ(w.isdst, 0);
        EXPECT_EQ(strftime_text("%Z", w), c.standard);
        Tm s = *fns().localtime(&summer);
        EXPECT_EQ(s.isdst, 1) << c.tz;
        EXPECT_EQ(strftime_text("%Z", s), daylight) << c.tz;
        EXPECT_EQ(fns().mktime(&s), summer) << c.tz;
    }
    // No TZ and no system zone: EST, five hours west, no daylight saving.
    kez::os::env_set("TZ", nullptr);
    KezTest_ArmFault("os.system_time_zone", 1);
    ASSERT_EQ(KezTest_SetSystemTimeZone(nullptr), 0);
    Tm s = *fns().localtime(&summer);
    EXPECT_EQ(strftime_text("%H:%M %Z", s), "07:00 EST");
    use_zone(nullptr);
}

// Rules the system zone may come as: offsets with minutes, quoted names,
// daylight without changes or with trailing text (no daylight saving).
TEST(Time, ZoneRulesReadAsTheHostReadsThem) {
    const time_t64 summer = 3929083200ull;  // 2024-07-04 12:00 UTC
    struct Case {
        const char *rule;
        int result;
        const char *summer_text;  // "%H:%M %Z" of the summer instant
    } cases[] = {
        {"<+0330>-3:30", 0, "15:30 +0330"},
        {"NST3:30NDT,M3.2.0,M11.1.0", 0, "09:30 NDT"},
        {"EST5EDT", 0, "07:00 EST"},
        {"EST5EDT,M3.2.0", 0, "07:00 EST"},
        {"CET-1CEST,M3.5.0,M10.5.0/3junk", 0, "13:00 CET"},
        {"<-04>4<-03>,M9.1.6/24,M4.1.6/24", 0, "08:00 -04"},
        {"XYZ-13:59:59", 0, "01:59 XYZ"},
        {"EST", -1, nullptr},
        {"X5", -1, nullptr},
        {"<EST5", -1, nullptr},
        {"EST168", -1, nullptr},
        {"", -1, nullptr},
    };
    for (const Case &c : cases) {
        kez::os::env_set("TZ", nullptr);
        ASSERT_EQ(KezTest_SetSystemTimeZone(c.rule), c.result) << c.rule;
        if (c.summer_text != nullptr) {
            EXPECT_EQ(strftime_text("%H:%M %Z", *fns().localtime(&summer)), c.summer_text) << c.rule;
        }
    }
    use_zone(nullptr);
}

TEST(Time, YearsAroundTheEndsOfInt) {
    use_zone("EST5");
    time_t64 t = 0;
    Tm early = *fns().localtime(&t);  // west of Greenwich: still 1899
    EXPECT_EQ(early, (Tm{0, 0, 19, 31, 11, -1, 0, 364, 0}));
    EXPECT_EQ(fns().mktime(&early), 0u);
    Tm before{59, 59, 18, 31, 11, -1, 0, 0, 0};
    EXPECT_EQ(fns().mktime(&before), UINT64_MAX);
    EXPECT_EQ(before.hour, 18) << "fields of a failed mktime stay";

    use_zone("UTC0");
    Tm last{59, 59, 23, 31, 11, INT_MAX, 0, 0, 0};
    const time_t64 end = fns().mktime(&last);
    ASSERT_NE(end, UINT64_MAX);
    EXPECT_EQ(fns().gmtime(&end)->year, INT_MAX);
    const time_t64 beyond = end + 1;
    for (time_t64 v : {beyond, time_t64{1} << 62, UINT64_MAX}) {
        EXPECT_EQ(fns().gmtime(&v), nullptr) << v;
        EXPECT_EQ(fns().localtime(&v), nullptr) << v;
        EXPECT_EQ(fns().ctime(&v), nullptr) << v;
    }
    Tm carry{0, 0, 0, 1, 12, INT_MAX, 0, 0, 0};  // month 12 carries the year past int
    EXPECT_EQ(fns().mktime(&carry), UINT64_MAX);
    Tm thirteen{0, 0, 0, 1, 13, 124, 0, 0, 0};
    fns().mktime(&thirteen);
    EXPECT_EQ(thirteen, (Tm{0, 0, 0, 1, 1, 125, 6, 31, 0}));  // February 2025, a Saturday
    use_zone(nullptr);
}

TEST(Time, AsctimeAndStrftimeStayInTheirBounds) {
    Tm t{3, 5, 9, 4, 6, 124, 4, 185, 0};
    EXPECT_STREQ(fns().asctime(&t), "Thu Jul 04 09:05:03 2024\n");
    Tm bad_day = t, bad_month = t, long_year = t, longest_fitting = t;
    bad_day.wday = 7;
    bad_month.mon = -1;
    long_year.year = 999999999 - 1900;
    longest_fitting.year = 99999999 - 1900;
    for (const Tm *bad : {&bad_day, &bad_month, &long_year}) {
        kez::test::clib().set_errno(0);
        EXPECT_EQ(fns().asctime(bad), nullptr);
        EXPECT_EQ(kez::test::clib().errno_value(), 22);
    }
    EXPECT_STREQ(fns().asctime(&longest_fitting), "Thu Jul 04 09:05:03 99999999\n");

    EXPECT_EQ(strftime_text("%x|%Q|%", t), "07/04/24|%Q|%");
    EXPECT_EQ(strftime_text("%a %A %b %B", bad_day), "? ? Jul July");
    EXPECT_EQ(strftime_text("%a %b %B", bad_month), "Thu ? ?");
    const Tm negative{-5, 0, -1, 0, 0, -1901, 0, -2, 0};  // printf's "%02d": the sign counts
    EXPECT_EQ(strftime_text("%S %H %I %d %j %y %Y", negative), "-5 -1 11 00 -01 99 -1");
    // Every max from 0 to the length + 1, in heap blocks of exactly max bytes.
    const char *format = "%A %B %d %Y %H:%M:%S %p %j %U %W %c %x %X %Z%%";
    const std::string full = strftime_text(format, t);
    for (std::size_t max = 0; max <= full.size() + 1; ++max) {
        std::unique_ptr<char[]> block(new char[max == 0 ? 1 : max]);
        const std::size_t n = fns().strftime(max == 0 ? nullptr : block.get(), max, format, &t);
        if (max > full.size()) {
            EXPECT_EQ(n, full.size());
            EXPECT_EQ(std::string(block.get()), full);
        } else {
            EXPECT_EQ(n, 0u) << max;
        }
    }
}

// The native locale's names and date form, and back to the "C" locale's.
TEST(Time, LocaleNamesAndDateForm) {
    auto setlocale = engine_fn<char *(int, const char *)>(KEZ_TEST_HOST_NAME(setlocale));
    const Tm t{3, 5, 9, 4, 6, 124, 4, 185, 0};
    kez::os::env_set("LC_ALL", "C.UTF-8");  // POSIX; Windows takes the user's locale
    ASSERT_NE(setlocale(5, ""), nullptr);
    const std::string native = strftime_text("%A|%B|%p|%c", t);
    kez::os::env_set("LC_ALL", nullptr);
    const std::size_t c = native.rfind('|');
    EXPECT_GT(native.find('|'), 0u) << native;
    EXPECT_EQ(native.find('?'), std::string::npos) << native;
    EXPECT_NE(native.find("05:03", c), std::string::npos) << native;
    EXPECT_LE(native.size() - c - 1, 128u);
    ASSERT_NE(setlocale(5, "C"), nullptr);
    EXPECT_EQ(strftime_text("%A|%B|%p|%c", t), "Thursday|July|AM|Jul 04 09:05:03 2024");
}

TEST(Time, ClockTimeAndDifftime) {
    const time_t64 before = static_cast<time_t64>(kez::os::wall_clock_ms() / 1000) + 2208988800ull;
    time_t64 stored = 0;
    const time_t64 now = fns().time(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_LE(before, now);
    EXPECT_LE(now - before, 2u);
    EXPECT_EQ(fns().difftime(5, 7), -2.0);
    EXPECT_EQ(fns().difftime(UINT64_MAX, 0), 18446744073709551615.0);
    // The total never runs back, whichever thread reads it.
    kez::test::Watchdog dog(std::chrono::seconds(60), "clock");
    std::vector<std::thread> threads;
    std::atomic<int> backwards{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            long last = fns().clock();
            for (int k = 0; k < 20000; ++k) {
                const long c = fns().clock();
                backwards += c < last;
                last = c;
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(backwards.load(), 0);
}

// Each thread's results are its own: no call overwrites another thread's.
TEST(Time, ThreadsKeepTheirOwnResults) {
    use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    kez::test::Watchdog dog(std::chrono::seconds(300), "threads");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 100000; ++k) {
                const time_t64 t = 3900000000ull + static_cast<time_t64>(i) * 86400 * 23 + k * 3607ull;
                const Tm *local = fns().localtime(&t);
                const int second = static_cast<int>(t % 60), minute = static_cast<int>(t / 60 % 60);
                char text[64];
                fns().strftime(text, sizeof text, "%M:%S", local);
                const char *line = fns().asctime(local);
                char expected[8];
                std::snprintf(expected, sizeof expected, "%02d:%02d", minute, second);
                wrong += local->sec != second || local->min != minute || std::strcmp(text, expected) != 0 ||
                         std::strncmp(line + 14, expected, 5) != 0;
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    use_zone(nullptr);
}

}  // namespace
