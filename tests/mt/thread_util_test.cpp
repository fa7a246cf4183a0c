// Thread utilities and the multithreading library's status messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "mt/kmt_test_util.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"

namespace {

using kez::test::kmt_message;

TEST(KmtMessages, CodesOfEitherSignGiveTheirTextsAndOthersAreRefused) {
    const std::pair<int, const char *> texts[] = {
        {-14901, "Invalid handle."},
        {14901, "Invalid handle."},
        {-14922, "Invalid thread priority."},
        {-14933, "Invalid status code."},
        // Two blanks after the full stop, exactly.
        {-14917, "The thread safe queue is configured to automatically flush when full.  You cannot write more "
                 "items to it than it can hold."},
        {-14916, "You wrote more data than space was available in the thread safe queue (memory outside the queue "
                 "might have been overwritten, putting your system in an unstable state)."},
    };
    for (const auto &[code, text] : texts) EXPECT_EQ(kmt_message(code), text) << code;
    for (int code = 14901; code <= 14933; ++code) {
        if (code == 14910) continue;
        const std::string text = kmt_message(-code);
        EXPECT_GT(text.size(), 10u) << code;
        EXPECT_EQ(text.back(), '.') << code;
        EXPECT_EQ(kmt_message(code), text) << code;
    }
    for (int code : {-14900, -14934, 14900, 14934, 0, -1, -102}) {
        char buffer[256];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(KmtGetErrorMessage(code, buffer), KMT_ERR_INVALID_PARAMETER) << code;
        EXPECT_EQ(buffer[0], '#') << code;
    }
    EXPECT_EQ(KmtGetErrorMessage(-14901, nullptr), KMT_ERR_INVALID_PARAMETER);
}

TEST(KmtMessages, SystemErrorTextIsThatOfTheThreadsLastFailure) {
    char expected[256];
    kez::os::error_text(kez::os::kAccessDenied, expected, sizeof expected);
    KezTest_ArmFault("os.thread_priority_set", 1);
    EXPECT_EQ(KmtSetCurrentThreadPriority(0), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(kmt_message(-14910), expected);
    EXPECT_EQ(kmt_message(14910), expected);
    // Another thread has its own last system error.
    EXPECT_EQ(kez::test::on_other_thread([] {
                  KezTest_ArmFault("os.thread_priority_get", 1);
                  int p = 0;
                  return KmtGetCurrentThreadPriority(&p) == KMT_ERR_SYSTEM_ERROR ? kmt_message(-14910) : "";
              }),
              expected);
    const std::string fresh = kez::test::on_other_thread([] { return kmt_message(-14910); });
    EXPECT_NE(fresh, expected);  // no failure on that thread: the text of code 0
    EXPECT_FALSE(fresh.empty());
}

TEST(KmtThreads, IdsAndProcessors) {
    EXPECT_EQ(KmtGetMainThreadID(), KezTest_MainThreadId());
    EXPECT_EQ(KmtGetCurrentThreadID(), KezTest_CurrentThreadId());
    const unsigned other = kez::test::on_other_thread([] { return KmtGetCurrentThreadID(); });
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, KmtGetCurrentThreadID());
    EXPECT_EQ(KmtGetNumProcessors(), static_cast<int>(std::thread::hardware_concurrency()));
}

TEST(KmtThreads, PrioritiesOutsideTheScaleAreRefusedAndLoweredOnesReadBack) {
    std::thread([] {
        int before = 99, after = 99;
        ASSERT_EQ(KmtGetCurrentThreadPriority(&before), 0);
        EXPECT_EQ(KmtSetCurrentThreadPriority(16), KMT_ERR_INVALID_THREAD_PRIORITY);
        EXPECT_EQ(KmtSetCurrentThreadPriority(-16), KMT_ERR_INVALID_THREAD_PRIORITY);
        ASSERT_EQ(KmtGetCurrentThreadPriority(&after), 0);
        EXPECT_EQ(after, before);
        EXPECT_EQ(KmtGetCurrentThreadPriority(nullptr), KMT_ERR_INVALID_PARAMETER);
    }).join();
    // Lowering needs no privilege on any system; each value on its own thread.
    for (int p : {-1, -2, KMT_THREAD_PRIORITY_IDLE}) {
        const int read = kez::test::on_other_thread([p] {
            int r = 99;
            return KmtSetCurrentThreadPriority(p) == 0 && KmtGetCurrentThreadPriority(&r) == 0 ? r : 99;
        });
        EXPECT_EQ(read, p);
    }
}

TEST(KmtTwins, ErrorsAreReportedWithTheLibraryMessageAndLoggedAsWarnings) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    EXPECT_EQ(_UP_KmtSetCurrentThreadPriority(16), KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_EQ(kez::test::last_library_error(), "-14922 KmtSetCurrentThreadPriority: Invalid thread priority.");
    char buffer[256];
    EXPECT_EQ(_UP_KmtGetErrorMessage(-14934, buffer), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(kez::test::last_library_error(), "-14902 KmtGetErrorMessage: Invalid parameter.");
    EXPECT_GT(KmtGetNumProcessors(), 0);  // successes log nothing
    std::vector<std::string> logged;
    for (const auto &line : tap.since_mark())
        logged.push_back(std::to_string(line.level) + " " + line.function + " " + line.text);
    EXPECT_EQ(logged, (std::vector<std::string>{"16 KmtSetCurrentThreadPriority Err = -14922",
                                                "16 KmtGetErrorMessage Err = -14902"}));
}

}  // namespace
