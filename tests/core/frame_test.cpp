// The frame's status queries, the at-exit list, error translation, the
// twins' library-error path and the abnormal exit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "core/test_hooks.h"
#include "kez/kez.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"
#include "support/temp_dir.h"

extern "C" int kez_headers_compile_as_c(void);

namespace {

TEST(Frame, EngineIsInitialisedAfterLoadAndStartupLibraryFlags) {
    EXPECT_EQ(KezTest_LoadState(), 2);
    EXPECT_NE(KezTest_MainThreadId(), 0u);
    EXPECT_EQ(__IsRTEStillLoaded(), 1);
    EXPECT_EQ(InStandaloneExecutable(), 1);
    EXPECT_EQ(WhichRuntimeSupportDll(), 2);
    EXPECT_EQ(kez_headers_compile_as_c(), 2);
    EXPECT_EQ(StartupLibraryInit(), 0);
    EXPECT_EQ(__SimulateRTShuttingDown(), 0);
    StartupLibraryCleanup();
    EXPECT_EQ(__SimulateRTShuttingDown(), 1);
    EXPECT_EQ(StartupLibraryInit(), 0);
    EXPECT_EQ(__SimulateRTShuttingDown(), 0);
}

void cleanup_a() {}
void cleanup_b() {}
void cleanup_never_registered() {}

TEST(Frame, AtExitListKeepsOneEntryPerFunctionNewestFirst) {
    const int before = KezTest_AtExitCount();
    EXPECT_EQ(__RegisterAtExitCleanup(cleanup_a), 0);
    EXPECT_EQ(__RegisterAtExitCleanup(cleanup_a), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 1);
    EXPECT_EQ(__RegisterAtExitCleanup(cleanup_b), 0);
    EXPECT_EQ(KezTest_AtExitEntry(0), cleanup_b);
    EXPECT_EQ(KezTest_AtExitEntry(1), cleanup_a);

    EXPECT_EQ(__UnregisterAtExitCleanup(cleanup_never_registered), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 2);

    EXPECT_EQ(__UnregisterAtExitCleanup(cleanup_a), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 1);
    EXPECT_EQ(KezTest_AtExitEntry(0), cleanup_b);
    EXPECT_EQ(__UnregisterAtExitCleanup(cleanup_b), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before);
}

TEST(Frame, MemoryManagerCodesTranslate) {
    const struct {
        int manager;
        int library;
    } table[] = {{0, 0}, {1, -260}, {15, -260}, {45, -260}, {2, -102}, {18, -102}, {7, -266}};
    for (const auto &row : table) EXPECT_EQ(MgrToPXError(row.manager), row.library) << row.manager;
    EXPECT_STREQ(KezTest_ErrText(-14901), "Err = -14901");
    EXPECT_STREQ(KezTest_MgErrText(2), "MgErr = 2");
    // A code without a translation is an assertion failure.
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    EXPECT_EQ(MgrToPXError(77), -260);
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 64u);
    EXPECT_EQ(lines[0].text, "Assertion failed: 0 (The following manager error code could not be translated: 77)");
}

TEST(Frame, TwinReportsNegativeResultsWithTheLibraryMessage) {
    char function[128];
    char message[512];
    EXPECT_EQ(_UP_KezTest_ReturnCode(-17), -17);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -17);
    EXPECT_STREQ(function, "KezTest_ReturnCode");
    EXPECT_STREQ(message, "Test code -17.");

    // Success results pass through without a report.
    EXPECT_EQ(_UP_KezTest_ReturnCode(5), 5);
    EXPECT_EQ(_UP_KezTest_ReturnCode(0), 0);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -17);
}

TEST(Frame, CommandLineSplitting) {
    const std::pair<const char *, int> cases[] = {
        {"", 0}, {"   ", 0}, {"a b", 2}, {"  one  ", 1}, {"\"a b\" c", 2}, {"x\"y z", 2}, {"\"unterminated quote", 1}};
    for (const auto &[line, words] : cases) EXPECT_EQ(KezTest_ParseCommandLine(line), words) << line;
}

void set_x87_control_word(unsigned short cw) { __asm__ __volatile__("fldcw %0" : : "m"(cw)); }

void run_state_ignored(int) {}

TEST(Frame, InitKezRTDllMasksX87Exceptions) {
    const unsigned saved = KezTest_X87ControlWord();
    set_x87_control_word(static_cast<unsigned short>(saved & ~0x3Fu));
    ASSERT_EQ(KezTest_X87ControlWord() & 0x3Fu, 0u);
    KezRunStateCallback list[] = {run_state_ignored, nullptr};
    static int module;
    EXPECT_EQ(InitKezRTDll(&module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, list), 1);
    EXPECT_EQ(KezTest_X87ControlWord() & 0x3Fu, 0x3Fu);
    CloseKezRTDll(&module);
    set_x87_control_word(static_cast<unsigned short>(saved));
}

// A program of its own: a death test would run the call inside GoogleTest's
// exception guard, which swallows the unwinding of a thread exit.
TEST(Frame, AbnormalExitEndsTheMainThreadWithItsCode) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer runs a thread of its own that never ends, so a
    // process whose main thread has ended never exits under it.
    GTEST_SKIP() << "not observable under the thread sanitizer";
#endif
    for (const char *code : {"7", "0", "42"}) {
        const char *args[] = {code, nullptr};
        int exit_code = -1;
        ASSERT_TRUE(kez::os::process_run(KEZ_ABNORMAL_EXIT_HELPER, args, 60000, &exit_code)) << code;
        EXPECT_EQ(exit_code, std::atoi(code));
    }
}

TEST(Frame, AbnormalExitOnATargetRebootsIt) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "not observable under the thread sanitizer";
#endif
    kez::test::TempDir dir;
    const std::string marker = dir.file("reboot_marker.txt");
    char here[1024];
    ASSERT_TRUE(kez::os::module_file_name(kez::os::module_main(), here, sizeof here));
    std::string components(here);
    components.erase(components.find_last_of("/\\"));
    kez::os::env_set("KEZ_COMPONENT_PATH", components.c_str());
    kez::os::env_set("KEZ_FAKE_REBOOT_MARKER", marker.c_str());
    const char *args[] = {"5", "target", nullptr};
    int exit_code = -1;
    const bool ran = kez::os::process_run(KEZ_ABNORMAL_EXIT_HELPER, args, 60000, &exit_code);
    kez::os::env_set("KEZ_COMPONENT_PATH", nullptr);
    kez::os::env_set("KEZ_FAKE_REBOOT_MARKER", nullptr);
    ASSERT_TRUE(ran);
    EXPECT_EQ(exit_code, 5);
    std::ifstream in(marker);
    std::string line;
    EXPECT_TRUE(std::getline(in, line)) << "RebootSystem was not called";
    EXPECT_EQ(line, "RebootSystem");
}

TEST(Frame, AbnormalExitOnAnotherThreadEndsOnlyThatThread) {
    bool after_exit = false;
    std::thread t([&after_exit] {
        KezRTDllAbnormalExit(3);
        after_exit = true;  // never reached
    });
    t.join();
    EXPECT_FALSE(after_exit);
    EXPECT_EQ(__IsRTEStillLoaded(), 1);
}

}  // namespace
