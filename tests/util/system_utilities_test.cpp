// The system utilities through their exports: clock strings and fields
// against the host's clock, clock setting through a recorder (never the real
// clock), directories, path splitting, rounding, Cls on a terminal and on a
// pipe, and the per-thread break settings.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/utility.h"
#include "os/captured_process.h"
#include "os/file.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

namespace fs = std::filesystem;
using kez::test::Watchdog;

std::string host_now(const char *format) {
    const std::time_t t = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, format, std::localtime(&t));
    return text;
}

// `got` read between two host readings: equal to one of them (a second or
// a day may have turned in between).
template <class Read>
void expect_matches_clock(const char *format, Read read) {
    const std::string before = host_now(format);
    const std::string got = read();
    const std::string after = host_now(format);
    EXPECT_TRUE(got == before || got == after) << got << " vs " << before << " / " << after;
}

// Three fields as text, after the call that read them gave 0.
std::string fields(int result, int a, int b, int c, const char *format) {
    char text[32];
    std::snprintf(text, sizeof text, format, a, b, c);
    return result == 0 ? text : "failed";
}

TEST(SystemUtilities, ClockStringsAndFieldsFollowTheLocalTime) {
    int a = -1, b = -1, c = -1;
    expect_matches_clock("%m-%d-%Y", [] { return std::string(DateStr()); });
    expect_matches_clock("%H:%M:%S", [] { return std::string(TimeStr()); });
    expect_matches_clock("%m-%d-%Y", [&] {
        const int r = GetSystemDate(&a, &b, &c);
        return fields(r, a, b, c, "%02d-%02d-%04d");
    });
    expect_matches_clock("%H:%M:%S", [&] {
        const int r = Kez_GetSystemTime(&a, &b, &c);
        return fields(r, a, b, c, "%02d:%02d:%02d");
    });
}

TEST(SystemUtilities, NullPointersAndAFailedClockWriteNothing) {
    int a = 7, b = 7, c = 7;
    EXPECT_EQ(GetSystemDate(&a, &b, nullptr) + GetSystemDate(nullptr, &a, &b) + Kez_GetSystemTime(&a, nullptr, &b), -3);
    EXPECT_EQ(_UP_GetSystemDate(&a, nullptr, &b), -1);
    char function[64], message[256];
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -1);
    EXPECT_STREQ(function, "GetSystemDate");
    KezTest_ArmFault("os.local_time_get", 3);
    EXPECT_EQ(GetSystemDate(&a, &b, &c) + Kez_GetSystemTime(&a, &b, &c), -2);
    EXPECT_EQ(a * 100 + b * 10 + c, 777);
    EXPECT_STREQ(DateStr(), "00-00-0000");  // the clock unreadable: zeros, never stale text
}

// Each thread has its own strings; without its record a thread uses the
// process-wide ones.
TEST(SystemUtilities, ClockStringsArePerThreadWithASharedFallback) {
    const char *date = DateStr(), *time = TimeStr(), *other = nullptr;
    EXPECT_EQ(DateStr(), date);
    std::thread([&] { other = DateStr(); }).join();
    EXPECT_NE(other, date);
    KezTest_ArmFault("util.thread_record", 3);
    const char *shared_date = DateStr(), *shared_time = TimeStr();
    std::thread([&] { other = DateStr(); }).join();
    EXPECT_EQ(other, shared_date);
    EXPECT_TRUE(shared_date != date && shared_time != time);
    expect_matches_clock("%m-%d-%Y", [] { return std::string(DateStr()); });  // fault used up: own record
    EXPECT_EQ(DateStr(), date);
}

class ClockSetting : public testing::Test {
protected:
    void SetUp() override { KezTest_RecordClockSets(1); }
    void TearDown() override { KezTest_RecordClockSets(0); }
    static int recorded(int *f) { return KezTest_RecordedClockSets(f); }
};

// Every field is checked before anything is set; a date is set twice.
TEST_F(ClockSetting, FieldsAreCheckedBeforeAnySet) {
    struct Row { int month, day, year, result; };
    const Row dates[] = {{2, 29, 2024, 0}, {2, 30, 2024, -1}, {2, 29, 2023, -1}, {2, 29, 1900, -1}, {2, 29, 2000, 0},
                         {4, 30, 2025, 0}, {4, 31, 2025, -1}, {12, 31, 30827, 0}, {1, 1, 30828, -1}, {1, 1, 1601, 0},
                         {12, 31, 1600, -1}, {0, 1, 2025, -1}, {13, 1, 2025, -1}, {7, 0, 2025, -1}, {7, 4, 2025, 0}};
    int f[7];
    int sets = 0;
    for (const Row &r : dates) {
        EXPECT_EQ(SetSystemDate(r.month, r.day, r.year), r.result) << r.month << "/" << r.day << "/" << r.year;
        sets += r.result == 0 ? 2 : 0;
        ASSERT_EQ(recorded(f), sets);
        if (r.result == 0) {
            EXPECT_TRUE(f[0] == r.year && f[1] == r.month && f[2] == r.day) << f[0] << f[1] << f[2];
        }
    }
    const Row times[] = {{0, 0, 0, 0},   {23, 59, 59, 0}, {24, 0, 0, -1}, {-1, 0, 0, -1},
                         {0, 60, 0, -1}, {0, 0, 60, -1},  {0, -1, 0, -1}, {9, 5, 3, 0}};  // hours, minutes, seconds
    for (const Row &r : times) {
        EXPECT_EQ(Kez_SetSystemTime(r.month, r.day, r.year), r.result) << r.month << ":" << r.day << ":" << r.year;
        sets += r.result == 0 ? 1 : 0;
        ASSERT_EQ(recorded(f), sets);
    }
    EXPECT_TRUE(f[3] == 9 && f[4] == 5 && f[5] == 3 && f[6] == 0);
    expect_matches_clock("%m-%d-%Y", [&] { return fields(0, f[1], f[2], f[0], "%02d-%02d-%04d"); });  // date kept
}

TEST_F(ClockSetting, AFailedReadOrSetGivesMinusOne) {
    int f[7];
    KezTest_ArmFaultEx("os.local_time_set", 1, 1, 0);  // the second of the two date sets fails
    EXPECT_EQ(SetSystemDate(7, 4, 2025), -1);
    EXPECT_EQ(recorded(f), 1);
    KezTest_ArmFault("os.local_time_set", 2);
    EXPECT_EQ(SetSystemDate(7, 4, 2025), -1);
    EXPECT_EQ(Kez_SetSystemTime(1, 2, 3), -1);
    KezTest_ArmFault("os.local_time_get", 2);
    EXPECT_EQ(SetSystemDate(7, 4, 2025), -1);
    EXPECT_EQ(Kez_SetSystemTime(1, 2, 3), -1);
    EXPECT_EQ(recorded(f), 1);
}

class Directories : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(GetDir(home_), 0); }
    void TearDown() override { EXPECT_EQ(SetDir(home_), 0); }
    char home_[KEZ_MAX_PATHNAME_LEN];
};

TEST_F(Directories, ChangeAndReadBack) {
    kez::test::TempDir dir;
    ASSERT_EQ(SetDir(dir.str().c_str()), 0);
    char got[KEZ_MAX_PATHNAME_LEN];
    ASSERT_EQ(GetDir(got), 0);
    EXPECT_EQ(fs::equivalent(got, dir.str()), true) << got;
    EXPECT_EQ(SetDir(nullptr), -1);
    EXPECT_EQ(SetDir(""), -1);
    EXPECT_EQ(SetDir(dir.file("missing").c_str()), -1);
    EXPECT_EQ(_UP_SetDir(""), -1);
    EXPECT_EQ(GetDir(nullptr), -5);
    KezTest_ArmFault("os.current_directory", 1);
    EXPECT_EQ(GetDir(got), -3);
    KezTest_ArmFault("os.change_directory", 1);
    EXPECT_EQ(SetDir(home_), -1);
}

// A directory of 259 characters fits the buffer with its terminator; one of
// 260 or 300 does not and writes nothing at all. The directory is entered
// one short relative step at a time: Windows takes no longer names.
TEST_F(Directories, ALongCurrentDirectoryDoesNotOverflow) {
    kez::test::TempDir dir;
    ASSERT_EQ(SetDir(dir.str().c_str()), 0);
    char base[KEZ_MAX_PATHNAME_LEN];
    ASSERT_EQ(GetDir(base), 0);  // as the system spells it
    ASSERT_LT(std::strlen(base) + 10, 259u) << "temporary directory too long for the test";
    for (std::size_t length : {259u, 260u, 300u}) {
        ASSERT_EQ(SetDir(base), 0);
        std::string path = base;
        while (path.size() < length) {  // parts of at most 100 characters, none left of 1
            const std::size_t rest = length - path.size() - 1;
            const std::string part(rest <= 100 ? rest : rest - 100 >= 2 ? 100 : 90, 'd');
            path += std::string(1, static_cast<char>(fs::path::preferred_separator)) + part;
            ASSERT_TRUE(fs::create_directory(part) || fs::is_directory(part)) << path.size();
            ASSERT_EQ(SetDir(part.c_str()), 0) << path.size();
        }
        std::vector<char> got(400, '#');
        if (length < KEZ_MAX_PATHNAME_LEN) {
            ASSERT_EQ(GetDir(got.data()), 0);
            EXPECT_EQ(std::string(got.data()), path);
            EXPECT_EQ(got[length + 1], '#');
        } else {
            EXPECT_EQ(GetDir(got.data()), -3) << length;
            EXPECT_EQ(std::count(got.begin(), got.end(), '#'), 400);
        }
    }
    ASSERT_EQ(SetDir(base), 0);
}

struct Split {
    std::string drive, dir, file;
    bool operator==(const Split &) const = default;
};
std::ostream &operator<<(std::ostream &o, const Split &s) {
    return o << "[" << s.drive << "|" << s.dir << "|" << s.file << "]";
}
Split split(const char *path) {
    std::vector<char> drive(300, '#'), dir(300, '#'), file(300, '#');
    SplitPath(path, drive.data(), dir.data(), file.data());
    return {drive.data(), dir.data(), file.data()};
}

TEST(SplitPath, PartsOfPaths) {
    const std::pair<const char *, Split> rows[] = {
        {"c:\\dir\\sub\\file.txt", {"c:", "\\dir\\sub\\", "file.txt"}}, {"file.txt", {"", "", "file.txt"}},
        {"c:", {"c:", "", ""}}, {"c:file", {"c:", "", "file"}}, {"/usr/lib/", {"", "/usr/lib/", ""}},
        {"a:b:c", {"a:", "b:", "c"}}, {":", {"", ":", ""}}, {"x", {"", "", "x"}}, {"", {"", "", ""}}};
    for (const auto &[path, want] : rows) EXPECT_EQ(split(path), want) << path;
    EXPECT_EQ(split(nullptr), (Split{"", "", ""}));
    SplitPath("c:\\a\\b", nullptr, nullptr, nullptr);  // every buffer may be null
}

TEST(SplitPath, LengthsAreLogged) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    split("c:\\dir\\sub\\file.txt");
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 4u);
    EXPECT_EQ(lines[0].function, "SplitPath");
    EXPECT_EQ(lines[0].text, "pathLen=19, driveLen=2, dirLen=9, fileLen=8");
}

// Parts longer than their buffers are cut, at a character boundary in a
// two-byte code page, where a trail byte is never a separator.
TEST(SplitPath, LongPartsAndTwoByteCharacters) {
    const std::string d300(298, 'd'), f300(300, 'f');
    EXPECT_EQ(split(("c:\\" + d300 + "\\" + f300).c_str()),
              (Split{"c:", "\\" + std::string(254, 'd'), std::string(255, 'f')}));
    const unsigned char ranges[] = {0x81, 0x9f, 0xe0, 0xfc, 0};
    KezTest_SetLeadBytes(932, ranges);
    std::string wide_dir, wide_file = "x";
    for (int i = 0; i < 150; ++i) wide_dir += "\x81\x41", wide_file += "\x82\x5c";
    const Split got = split((wide_dir + "\\" + wide_file).c_str());
    const Split trail = split("\x81:dir\x81\\name");
    const Split drive_lead = split("\x81\x5c\\file");
    KezTest_SetLeadBytes(0, nullptr);
    std::string want_dir, want_file = "x";
    for (int i = 0; i < 127; ++i) want_dir += "\x81\x41", want_file += "\x82\x5c";
    EXPECT_EQ(got, (Split{"", want_dir, want_file}));
    EXPECT_EQ(trail, (Split{"", "", "\x81:dir\x81\\name"}));
    EXPECT_EQ(drive_lead, (Split{"", "\x81\x5c\\", "file"}));
    // In a single-byte code page the same bytes are separators.
    EXPECT_EQ(split("\x81:dir\x81\\name"), (Split{"\x81:", "dir\x81\\", "name"}));
}

TEST(Rounding, HalfToEvenExactAndSaturating) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> rows[] = {
        {2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {2.6, 3}, {0.5, 0}, {-0.5, 0}, {1.5, 2}, {-1.5, -2},
        {0.49999999999999994, 0}, {-0.49999999999999994, 0}, {-0.0, 0}, {DBL_TRUE_MIN, 0},
        {2147483646.5, 2147483646}, {2147483647.4, INT_MAX}, {2147483647.5, INT_MAX}, {4503599627370495.5, INT_MAX},
        {-2147483647.5, INT_MIN}, {-2147483648.5, INT_MIN}, {-2147483649.0, INT_MIN}, {1e300, INT_MAX},
        {-1e300, INT_MIN}, {inf, INT_MAX}, {-inf, INT_MIN}, {std::nan(""), 0}};
    for (const auto &[x, want] : rows) EXPECT_EQ(RoundRealToNearestInteger(x), want) << x;
    EXPECT_EQ(TruncateRealNumber(-2.7), -2.0);
    EXPECT_EQ(TruncateRealNumber(2.7), 2.0);
    EXPECT_TRUE(std::signbit(TruncateRealNumber(-0.5)));
    EXPECT_EQ(TruncateRealNumber(-inf), -inf);
    EXPECT_TRUE(std::isnan(TruncateRealNumber(std::nan(""))));
    EXPECT_EQ(UsingInstrSupDll(), 0);
    EXPECT_EQ(WhichRuntimeSupportDll(), 2);
}

std::string run_cls_child(int rows, int *exit_code) {
    std::string out;
    EXPECT_TRUE(kez::os::process_run_captured(KEZ_UTIL_CLS_CHILD, nullptr, rows, 60000, exit_code, &out));
    return out;
}

// On a terminal of 7 rows: what was printed before, 7 line ends, the cursor
// home, what was printed after. Anywhere else, or when the terminal's size
// cannot be read, Cls writes nothing.
TEST(Cls, ClearsATerminalAndNothingElse) {
    int code = -1;
    const std::string line_end = kez::os::standard_files_are_text() ? "\r\n" : "\n";
    EXPECT_EQ(run_cls_child(0, &code), "beforeafter" + line_end);
    EXPECT_EQ(code, 0);
    if (!kez::os::kCapturedTerminal) return;
    std::string cleared = "before";
    for (int i = 0; i < 7; ++i) cleared += "\r\n";
    EXPECT_EQ(run_cls_child(7, &code), cleared + "\x1b[Hafter\n");
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(kez::os::env_set("KEZ_TEST_FAIL", "os.console_size"));
    const std::string refused = run_cls_child(7, &code);
    kez::os::env_set("KEZ_TEST_FAIL", nullptr);
    EXPECT_EQ(refused, "beforeafter\n");
    EXPECT_EQ(code, 0);
}

// Below debugging level 2 the library and protection settings neither
// change nor show; the library setter's inverse and the first-chance flag
// change at every level. Each thread has its own settings.
TEST(BreakSettings, FollowTheDebuggingLevelPerThread) {
    Watchdog watchdog(std::chrono::seconds(120), "BreakSettings");
    auto fresh = [](auto fn) { std::thread(fn).join(); };
    KezTest_SetDebuggingLevel(0);
    using V = std::vector<int>;  // its elements are evaluated in order
    fresh([] {
        // Set library 0 (inverse 1), protection 0, first chance 5 then 7, the three getters.
        EXPECT_EQ((V{SetBreakOnLibraryErrors(0), KezTest_BreakOnLibraryErrorsInverse(), SetBreakOnProtectionErrors(0),
                     SetBreakOnFirstChanceExceptions(5), SetBreakOnFirstChanceExceptions(7), GetBreakOnLibraryErrors(),
                     GetBreakOnProtectionErrors(), GetBreakOnFirstChanceExceptions()}),
                  (V{0, 1, 0, 0, 1, 0, 0, 0}));
        KezTest_SetDebuggingLevel(2);
        // The getters (library and protection unchanged by the calls at level 0), disable and its inverse,
        // enable and its inverse, protection set to 0 and then to -3, its getter.
        EXPECT_EQ((V{GetBreakOnLibraryErrors(), GetBreakOnProtectionErrors(), GetBreakOnFirstChanceExceptions(),
                     DisableBreakOnLibraryErrors(), KezTest_BreakOnLibraryErrorsInverse(), EnableBreakOnLibraryErrors(),
                     KezTest_BreakOnLibraryErrorsInverse(), SetBreakOnProtectionErrors(0),
                     SetBreakOnProtectionErrors(-3), GetBreakOnProtectionErrors()}),
                  (V{1, 1, 1, 1, 1, 0, 0, 1, 0, 1}));
        KezTest_SetDebuggingLevel(0);
    });
    // Many threads at level 2 at once, each toggling and reading its own.
    KezTest_SetDebuggingLevel(2);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &wrong] {
            if (GetBreakOnLibraryErrors() != 1 || GetBreakOnProtectionErrors() != 1 ||
                GetBreakOnFirstChanceExceptions() != 0)
                ++wrong;
            for (int i = 0; i < 20000; ++i) {
                const int mine = (i + t) & 1;
                SetBreakOnLibraryErrors(mine);
                SetBreakOnProtectionErrors(!mine);
                SetBreakOnFirstChanceExceptions(mine);
                if (GetBreakOnLibraryErrors() != mine || GetBreakOnProtectionErrors() != !mine ||
                    GetBreakOnFirstChanceExceptions() != mine || KezTest_BreakOnLibraryErrorsInverse() != !mine)
                    ++wrong;
            }
        });
    for (auto &th : threads) th.join();
    KezTest_SetDebuggingLevel(0);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
