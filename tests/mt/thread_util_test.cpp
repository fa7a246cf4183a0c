// Thread utilities and the multithreading library's status messages.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mt/kmt_test_util.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"

namespace {

using kez::test::kmt_message;
using kez::test::on_other_thread;

TEST(KmtMessages, CodesOfEitherSignGiveTheirTextsAndOthersAreRefused) {
    const std::pair<int, const char *> texts[] = {
        {-14901, "Invalid handle."},
        {-14922, "Invalid thread priority."},
        {-14933, "Invalid status code."},
        // Two blanks after the full stop, exactly.
        {-14917,
         "The thread safe queue is configured to automatically flush when full.  You cannot write more "
         "items to it than it can hold."},
        {-14916,
         "You wrote more data than space was available in the thread safe queue (memory outside the queue "
         "might have been overwritten, putting your system in an unstable state)."},
    };
    for (const auto &[code, text] : texts) EXPECT_EQ(kmt_message(code), text) << code;
    for (int code = 14901; code <= 14933; ++code) {
        const std::string text = kmt_message(-code);
        EXPECT_TRUE(code == 14910 || (text.size() > 10 && text.back() == '.')) << code << ": " << text;
        EXPECT_EQ(kmt_message(code), text) << code;
    }
    for (int code : {-14900, -14934, 14900, 14934, 0, -1, -102}) {
        char buffer[256] = "#";
        EXPECT_EQ(KmtGetErrorMessage(code, buffer), KMT_ERR_INVALID_PARAMETER) << code;
        EXPECT_EQ(buffer[0], '#') << code;
    }
    EXPECT_EQ(KmtGetErrorMessage(-14901, nullptr), KMT_ERR_INVALID_PARAMETER);

    // The system error's text is that of the thread's last failure.
    char expected[256];
    kez::os::error_text(kez::os::kAccessDenied, expected, sizeof expected);
    KezTest_ArmFault("os.thread_priority_set", 1);
    EXPECT_EQ(KmtSetCurrentThreadPriority(0), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(kmt_message(-14910), expected);
    EXPECT_EQ(kmt_message(14910), expected);
    // Another thread has its own last system error.
    EXPECT_EQ(on_other_thread([] {
                  KezTest_ArmFault("os.thread_priority_get", 1);
                  int p = 0;
                  return KmtGetCurrentThreadPriority(&p) == KMT_ERR_SYSTEM_ERROR ? kmt_message(-14910) : "";
              }),
              expected);
    const std::string fresh = on_other_thread([] { return kmt_message(-14910); });
    EXPECT_NE(fresh, expected);  // no failure on that thread: the text of code 0
    EXPECT_FALSE(fresh.empty());
}

TEST(KmtThreads, IdsProcessorsAndPriorities) {
    EXPECT_EQ(KmtGetMainThreadID(), KezTest_MainThreadId());
    EXPECT_EQ(KmtGetCurrentThreadID(), KezTest_CurrentThreadId());
    const unsigned other = on_other_thread([] { return KmtGetCurrentThreadID(); });
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, KmtGetCurrentThreadID());
    EXPECT_EQ(KmtGetNumProcessors(), static_cast<int>(std::thread::hardware_concurrency()));
    // Values outside the scale are refused and change nothing.
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
        EXPECT_EQ(on_other_thread([p] {
                      int r = 99;
                      return KmtSetCurrentThreadPriority(p) == 0 && KmtGetCurrentThreadPriority(&r) == 0 ? r : 99;
                  }),
                  p);
    }
}

// Every _UP_ twin reports its errors as "<code> <function>: <message>" and
// logs each once as a warning; successes log nothing.
TEST(KmtTwins, ErrorsAreReportedWithTheLibraryMessageAndLoggedAsWarnings) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    std::vector<std::string> want;
    const auto expect = [&want](int rc, const std::string &report) {
        char function[128] = {}, text[512] = {};
        const int code = KezTest_LastLibraryError(function, sizeof function, text, sizeof text);
        EXPECT_EQ(rc, std::stoi(report)) << report;
        EXPECT_EQ(std::to_string(code) + " " + function + ": " + text, report);
        want.push_back("16 " + std::string(function) + " Err = " + std::to_string(rc));
    };
    KmtLockHandle lock = nullptr, tsv = nullptr;
    KmtTLVHandle tlv = 0;
    char buffer[256] = {};
    expect(_UP_KmtSetCurrentThreadPriority(16), "-14922 KmtSetCurrentThreadPriority: Invalid thread priority.");
    expect(_UP_KmtGetErrorMessage(-14934, buffer), "-14902 KmtGetErrorMessage: Invalid parameter.");
    expect(_UP_KmtReleaseLock(reinterpret_cast<void *>(1)), "-14901 KmtReleaseLock: Invalid handle.");
    ASSERT_EQ(_UP_KmtNewLock(nullptr, 0, &lock), 0);
    ASSERT_EQ(_UP_KmtGetLock(lock), 0);
    expect(_UP_KmtDiscardLock(lock), "-14931 KmtDiscardLock: You cannot discard a lock that is still owned.");
    EXPECT_EQ(_UP_KmtReleaseLock(lock), 0);
    expect(_UP_KmtReleaseLock(lock), "-14932 KmtReleaseLock: You must get the lock before releasing it.");
    EXPECT_EQ(_UP_KmtDiscardLock(lock), 0);
    ASSERT_EQ(_UP_KmtNewTSV(8, &tsv), 0);
    expect(_UP_KmtReleaseTSVPtr(tsv),
           "-14929 KmtReleaseTSVPtr: You must release the thread safe variable from the same thread that got it.");
    EXPECT_EQ(_UP_KmtDiscardTSV(tsv), 0);
    expect(_UP_KmtSetTSV(tsv, buffer), "-14901 KmtSetTSV: Invalid handle.");
    expect(_UP_KmtGetThreadLocalVar(100000, &tsv), "-14901 KmtGetThreadLocalVar: Invalid handle.");
    expect(_UP_KmtNewThreadLocalVar(0, nullptr, nullptr, nullptr, &tlv),
           "-14902 KmtNewThreadLocalVar: Invalid parameter.");
    std::vector<std::string> logged;
    for (const auto &line : tap.since_mark())
        logged.push_back(std::to_string(line.level) + " " + line.function + " " + line.text);
    EXPECT_EQ(logged, want);
}

}  // namespace
