// The logger through its exports: line template, levels, locations, file
// output, timing handles, assertions, and many writers at once.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/kez.h"
#include "support/engine_stdio.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::file_bytes;

// Each test logs to its own file and leaves the logger as it found it.
class Log : public testing::Test {
protected:
    void SetUp() override {
        saved_mask_ = GetKezLogReportingLevels();
        saved_template_ = GetKezLogOutputFormat();
        path_ = dir_.file("kez.log");
        ASSERT_EQ(SetKezLogReportingLocation(KEZ_LOG_LOCATION_FILE, 1, path_.c_str()), 1);
    }
    void TearDown() override {
        SetKezLogReportingLocation(KEZ_LOG_LOCATION_NONE, 0, nullptr);
        SetKezLogReportingLevels(saved_mask_);
        SetKezLogOutputFormat(saved_template_.c_str());
        KezTest_SetLogClock(0);
    }
    // Closes the file (leaving the location flushes it) and reads its lines.
    std::vector<std::string> lines() {
        SetKezLogReportingLocation(KEZ_LOG_LOCATION_NONE, 0, nullptr);
        const std::string text = file_bytes(path_);
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
            lines.push_back(text.substr(start, at - start));
        EXPECT_EQ(start, text.size()) << "text after the last line end";
        return lines;
    }

    kez::test::TempDir dir_;
    std::string path_;
    unsigned saved_mask_ = 0;
    std::string saved_template_;
};

TEST_F(Log, TemplatesTokensLevelNamesAndLineEnds) {
    EXPECT_STREQ(GetKezLogOutputFormat(), "[[TIME]] [[LEVEL]] [[FUNC]] [[FILE]:[LINE]] [MSG]");
    WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "a.c", "f", 12, "x=%d", 5);
    SetKezLogOutputFormat("[LEVEL]");
    for (unsigned level : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u, 3u, 0u, 512u})
        WriteKezLogMessage(level, 0, nullptr, "a.c", "f", 1, "ignored");
    // Tokens replace their first occurrence only.
    SetKezLogOutputFormat("[LINE] [LINE] <[FILE]><[FUNC]><[THREAD]> [MSG] [TIME] [FILE]");
    WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "a.c", "f", 12, "m");
    // Without [MSG] only the tokens are written; percent signs outside the
    // format argument are text.
    SetKezLogOutputFormat("[LEVEL]|[FUNC]|\r\n");
    WriteKezLogMessage(KEZ_LOG_WARNING, 0, nullptr, "a.c", "f", 1, "not shown %d", 1);
    SetKezLogOutputFormat("%s %n %d [FILE] [FUNC] [MSG] 100%");
    WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "50%d%s.c", "f%s%n", 7, "v=%d%%", 3);
    SetKezLogOutputFormat("<[MSG]>");  // cut at 4095 characters
    WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "a.c", "f", 1, "%s", std::string(5000, 'x').c_str());
    // Without a line end the next message continues the line, without a prefix.
    SetKezLogOutputFormat("[LEVEL] [FUNC]: [MSG]");
    WriteKezLogMessage(KEZ_LOG_INFO, 1, nullptr, "a.c", "f", 1, "part %d, ", 1);
    WriteKezLogMessage(KEZ_LOG_ERROR, 1, nullptr, "a.c", "g", 2, "part %d, ", 2);
    WriteKezLogMessage(KEZ_LOG_ERROR, 0, nullptr, "a.c", "g", 3, "end\n");
    WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "a.c", "h", 4, "next\r\n");
    auto l = lines();
    for (auto &line : l) line = std::regex_replace(line, std::regex(R"(\d\d:\d\d:\d\d\.\d{3})"), "TIME");
    EXPECT_EQ(l, (std::vector<std::string>{
                     "[TIME] [INFO] [f] [a.c:12] x=5", "TRACE", "TIMING", "INFO", "TEMP", "WARNING", "ERROR", "FATAL",
                     "BUILD", "DLLMAIN", "UNKNOWN", "UNKNOWN", "UNKNOWN",
                     "12 [LINE] <a.c><f><" + std::to_string(KezTest_CurrentThreadId()) + "> m TIME [FILE]",
                     "WARNING|f|", "%s %n %d 50%d%s.c f%s%n v=3% 100%", "<" + std::string(4094, 'x'),
                     "INFO f: part 1, part 2, end", "INFO h: next"}));
}

// Files flush from TEMP up; locations 3 and 6 and an unopenable file are
// refused. Engine lines follow the mask; assertions are FATAL, literal, and
// ignore it.
TEST_F(Log, FlushRefusedLocationsTheMaskAndAssertions) {
    SetKezLogOutputFormat("[MSG]");
    WriteKezLogMessage(KEZ_LOG_TEMP, 0, nullptr, "a.c", "f", 1, "flushed");
    EXPECT_EQ(file_bytes(path_), "flushed\r\n");  // while the file is still open
    EXPECT_EQ(SetKezLogReportingLocation(3, 0, nullptr), 0);
    EXPECT_EQ(SetKezLogReportingLocation(6, 0, nullptr), 0);
    EXPECT_EQ(SetKezLogReportingLocation(KEZ_LOG_LOCATION_FILE, 1, dir_.file("no/such/kez.log").c_str()), 0);
    SetKezLogOutputFormat("[LEVEL] [FUNC] [LINE] [MSG]");
    EXPECT_EQ(SetKezLogReportingLevels(0), saved_mask_);
    EXPECT_EQ(GetKezLogReportingLevels(), 0u);
    GetKezThreadVarValue(0);  // logs at ERROR
    KezAssert("p != 0", "a.c", "f", 3, nullptr);
    KezAssert("i % n", "a.c", "g", 4, "100% %s %n");
    KezAssert(std::string(2000, 'e').c_str(), "a.c", "h", 5, "lost");
    SetKezLogReportingLevels(KEZ_LOG_ERROR);
    SetKezLogOutputFormat("[LEVEL] [MSG]");
    GetKezThreadVarValue(9);
    EXPECT_EQ(lines(), (std::vector<std::string>{"flushed", "FATAL f 3 Assertion failed: p != 0",
                                                 "FATAL g 4 Assertion failed: i % n (100% %s %n)",
                                                 "FATAL h 5 Assertion failed: " + std::string(1023 - 18, 'e'),
                                                 "ERROR Bogus thread local storage slot passed to GetKezThreadVar"}));
}

TEST_F(Log, TimingHandlesShowElapsedTimeWrapToOneAndSkipLiveOnes) {
    SetKezLogOutputFormat("[LEVEL] [MSG]");
    KezTest_SetLogClock(1000000);
    const int h = GetKezLogTimingHandle();
    ASSERT_GE(h, 1);
    for (unsigned long long after : {1500, 99999, 100000, 123456}) {
        KezTest_SetLogClock(1000000 + after);
        WriteKezLogTimingEvent(h, 0, 0, 0, nullptr, "a.c", "f", 1, "took [ELAPSED] (%d) [ELAPSED]", 7);
    }
    // Update restarts the clock, release forgets the handle.
    WriteKezLogTimingEvent(h, 0, 1, 0, nullptr, "a.c", "f", 1, "update [ELAPSED]");
    KezTest_SetLogClock(1000000 + 123456 + 2000);
    WriteKezLogTimingEvent(h, 1, 0, 0, nullptr, "a.c", "f", 1, "release [ELAPSED]");
    WriteKezLogTimingEvent(h, 0, 0, 0, nullptr, "a.c", "f", 1, "gone [ELAPSED]");
    WriteKezLogTimingEvent(987654, 0, 0, 0, nullptr, "a.c", "f", 1, "unknown [ELAPSED]");
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"TIMING took 1.500 ms (7) [ELAPSED]", "TIMING took 99.999 ms (7) [ELAPSED]",
                                        "TIMING took 100.00 ms (7) [ELAPSED]", "TIMING took 123.46 ms (7) [ELAPSED]",
                                        "TIMING update 123.46 ms", "TIMING release 2.000 ms"}));
    // Handles wrap to 1 and skip live ones.
    KezTest_SetLastTimingHandle(0);
    const int live = KezTest_LiveTimingHandles();
    const int one = GetKezLogTimingHandle(), two = GetKezLogTimingHandle();
    KezTest_SetLastTimingHandle(INT_MAX - 1);
    const int top = GetKezLogTimingHandle(), wrapped = GetKezLogTimingHandle();
    EXPECT_EQ(std::vector<int>({one, two, top, wrapped}), std::vector<int>({1, 2, INT_MAX, 3}));
    EXPECT_EQ(KezTest_LiveTimingHandles(), live + 4);
    for (int x : {one, two, top, wrapped}) ReleaseKezLogTimingHandle(x);
    ReleaseKezLogTimingHandle(one);  // twice: nothing happens
    EXPECT_EQ(KezTest_LiveTimingHandles(), live);
}

TEST_F(Log, EightThreadsNeverInterleaveOrLoseLines) {
    kez::test::Watchdog watchdog(std::chrono::seconds(300));
    SetKezLogOutputFormat("[THREAD] [MSG]");
    constexpr int kThreads = 8, kLines = 10000;
    std::vector<std::thread> threads;
    std::vector<unsigned> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ids] {
            ids[t] = KezTest_CurrentThreadId();
            for (int n = 0; n < kLines; ++n)
                WriteKezLogMessage(n % 7 == 0 ? KEZ_LOG_WARNING : KEZ_LOG_INFO, 0, nullptr, "a.c", "f", 1,
                                   "t=%d n=%d payload=%s", t, n, "0123456789abcdef0123456789abcdef");
        });
    }
    for (auto &th : threads) th.join();
    const auto l = lines();
    ASSERT_EQ(l.size(), static_cast<std::size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    const std::regex shape(R"((\d+) t=(\d) n=(\d+) payload=0123456789abcdef0123456789abcdef)");
    for (const std::string &line : l) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        const int t = std::stoi(m[2]);
        EXPECT_EQ(static_cast<unsigned>(std::stoul(m[1])), ids[t]);
        ASSERT_EQ(std::stoi(m[3]), next[t]) << "thread " << t;
        ++next[t];
    }
}

#if defined(_WIN32)
// The debugger line goes to OutputDebugStringA. Standard error is a text
// stream on Windows (CR LF), which the death test's capture reads back in
// its own way: the line end is not compared.
constexpr char kDeathStderr[] = "WARNING to stderr";
#else
constexpr char kDeathStderr[] = "WARNING to stderr\n\\[kez debug\\] ERROR to the debugger\n";
#endif

TEST(LogDeathTest, DefaultsTheStandardStreamsAndTheDebugger) {
    // A fresh process: nothing is written until a location is set; then
    // location 1 writes to standard output with "\n" line ends, through the
    // C library's standard output (here sent into a text file: CR LF).
    EXPECT_EXIT(
        {
            kez::test::TempDir *dir = new kez::test::TempDir;  // removed before exit() below
            const std::string file = dir->file("stdout.txt");
            const auto &engine = kez::test::stdio();
            void *out = engine.freopen(file.c_str(), "w", engine.std_out());
            bool ok = out != nullptr && GetKezLogReportingLevels() == KEZ_LOG_FATAL;
            WriteKezLogMessage(KEZ_LOG_FATAL, 0, nullptr, "a.c", "f", 1, "never written");
            ok = ok && SetKezLogReportingLocation(KEZ_LOG_LOCATION_STDOUT, 0, nullptr) == 1;
            SetKezLogOutputFormat("[LEVEL] [MSG]");
            WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "a.c", "f", 1, "to %s", "stdout");
            ok = ok && SetKezLogReportingLocation(KEZ_LOG_LOCATION_STDERR, 0, nullptr) == 1;
            engine.fflush(engine.std_out());
            // Standard output is a text stream: "\r\n" on Windows.
            const std::string written = file_bytes(file);
            ok = ok && (written == "INFO to stdout\n" || written == "INFO to stdout\r\n");
            engine.fclose(out);
            delete dir;
            WriteKezLogMessage(KEZ_LOG_WARNING, 0, nullptr, "a.c", "f", 1, "to %s", "stderr");
            // Without a system debugger channel (POSIX), debugger output goes
            // to standard error with a prefix.
            SetKezLogReportingLocation(KEZ_LOG_LOCATION_DEBUGGER, 0, nullptr);
            WriteKezLogMessage(KEZ_LOG_ERROR, 0, nullptr, "a.c", "f", 1, "to the %s", "debugger");
            std::fflush(stderr);
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), kDeathStderr);
}

}  // namespace
