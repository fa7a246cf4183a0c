// The frame's status queries, the at-exit list, error translation, the
// twins' library-error path and the abnormal exit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/kez.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"
#include "support/temp_dir.h"

extern "C" int kez_headers_compile_as_c(void);

namespace {

TEST(Frame, EngineIsInitialisedAfterLoadStartupLibraryFlagsAndCommandLineSplitting) {
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
    const std::pair<const char *, int> cases[] = {
        {"", 0}, {"   ", 0}, {"a b", 2}, {"  one  ", 1}, {"\"a b\" c", 2}, {"x\"y z", 2}, {"\"unterminated quote", 1}};
    for (const auto &[line, words] : cases) EXPECT_EQ(KezTest_ParseCommandLine(line), words) << line;
}

void cleanup_a() {}
void cleanup_b() {}

TEST(Frame, AtExitListKeepsOneEntryPerFunctionNewestFirst) {
    const int before = KezTest_AtExitCount();
    for (KezAtExitCleanup f : {cleanup_a, cleanup_a, cleanup_b}) EXPECT_EQ(__RegisterAtExitCleanup(f), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 2);
    EXPECT_EQ(KezTest_AtExitEntry(0), cleanup_b);
    EXPECT_EQ(KezTest_AtExitEntry(1), cleanup_a);
    EXPECT_EQ(__UnregisterAtExitCleanup([] {}), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 2);
    EXPECT_EQ(__UnregisterAtExitCleanup(cleanup_a), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before + 1);
    EXPECT_EQ(KezTest_AtExitEntry(0), cleanup_b);
    EXPECT_EQ(__UnregisterAtExitCleanup(cleanup_b), 0);
    EXPECT_EQ(KezTest_AtExitCount(), before);
}

TEST(Frame, MemoryManagerCodesTranslate) {
    const std::pair<int, int> table[] = {{0, 0}, {1, -260}, {15, -260}, {45, -260}, {2, -102}, {18, -102}, {7, -266}};
    for (const auto &[manager, library] : table) EXPECT_EQ(MgrToPXError(manager), library) << manager;
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

// Negative results are reported with the library's message; success results
// pass through without a report.
TEST(Frame, TwinReportsNegativeResultsWithTheLibraryMessage) {
    char function[128], message[512];
    EXPECT_EQ(_UP_KezTest_ReturnCode(-17), -17);
    EXPECT_EQ(_UP_KezTest_ReturnCode(5), 5);
    EXPECT_EQ(_UP_KezTest_ReturnCode(0), 0);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -17);
    EXPECT_STREQ(function, "KezTest_ReturnCode");
    EXPECT_STREQ(message, "Test code -17.");
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

// Programs of their own: a death test would run the call inside GoogleTest's
// exception guard, which swallows the unwinding of a thread exit. The exit
// code reaches the parent unchanged; on a target the exit reboots it.
TEST(Frame, AbnormalExitEndsTheMainThreadWithItsCodeAndRebootsATarget) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer runs a thread of its own that never ends, so a
    // process whose main thread has ended never exits under it.
    GTEST_SKIP() << "not observable under the thread sanitizer";
#endif
    kez::test::TempDir dir;
    const std::string marker = dir.file("reboot_marker.txt");
    char here[1024];
    ASSERT_TRUE(kez::os::module_file_name(kez::os::module_main(), here, sizeof here));
    const std::string components = std::string(here).substr(0, std::string(here).find_last_of("/\\"));
    kez::os::env_set("KEZ_COMPONENT_PATH", components.c_str());
    kez::os::env_set("KEZ_FAKE_REBOOT_MARKER", marker.c_str());
    const std::vector<const char *> runs[] = {
        {"7", nullptr}, {"0", nullptr}, {"42", nullptr}, {"5", "target", nullptr}};
    for (const auto &args : runs) {
        int exit_code = -1;
        EXPECT_TRUE(kez::os::process_run(KEZ_ABNORMAL_EXIT_HELPER, args.data(), 60000, &exit_code)) << args[0];
        EXPECT_EQ(exit_code, std::atoi(args[0]));
    }
    kez::os::env_set("KEZ_COMPONENT_PATH", nullptr);
    kez::os::env_set("KEZ_FAKE_REBOOT_MARKER", nullptr);
    std::string line;
    std::getline(std::ifstream(marker), line);
    EXPECT_EQ(line, "RebootSystem") << "RebootSystem was not called";
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
