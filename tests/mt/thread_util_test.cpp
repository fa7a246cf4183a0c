// Thread utilities and the multithreading library's status messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/test_hooks.h"
#include "kez/logging.h"
#include "kez/multithreading.h"
#include "os/os.h"

namespace {

std::string message(int code) {
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(KmtGetErrorMessage(code, buffer), 0) << code;
    return buffer;
}

TEST(KmtMessages, CodesOfEitherSignGiveTheirTexts) {
    EXPECT_EQ(message(-14901), "Invalid handle.");
    EXPECT_EQ(message(14901), "Invalid handle.");
    EXPECT_EQ(message(-14922), "Invalid thread priority.");
    EXPECT_EQ(message(-14933), "Invalid status code.");
    // Two blanks after the full stop, exactly.
    EXPECT_EQ(message(-14917),
              "The thread safe queue is configured to automatically flush when full.  You cannot write more items "
              "to it than it can hold.");
    EXPECT_EQ(message(-14916),
              "You wrote more data than space was available in the thread safe queue (memory outside the queue "
              "might have been overwritten, putting your system in an unstable state).");
    for (int code = 14901; code <= 14933; ++code) {
        if (code == 14910) continue;
        const std::string text = message(-code);
        EXPECT_GT(text.size(), 10u) << code;
        EXPECT_LT(text.size(), 256u) << code;
        EXPECT_EQ(text.back(), '.') << code;
    }
}

TEST(KmtMessages, CodesOutsideTheRangeAreRefusedAndTheBufferUntouched) {
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
    EXPECT_EQ(message(-14910), expected);
    EXPECT_EQ(message(14910), expected);
    // Another thread has its own last system error.
    std::string other;
    std::thread([&other] {
        KezTest_ArmFault("os.thread_priority_get", 1);
        int p = 0;
        if (KmtGetCurrentThreadPriority(&p) == KMT_ERR_SYSTEM_ERROR) other = message(-14910);
    }).join();
    EXPECT_EQ(other, expected);
    std::string fresh;
    std::thread([&fresh] { fresh = message(-14910); }).join();
    EXPECT_NE(fresh, expected);  // no failure on that thread: the text of code 0
    EXPECT_FALSE(fresh.empty());
}

TEST(KmtThreads, IdsAndProcessors) {
    EXPECT_EQ(KmtGetMainThreadID(), KezTest_MainThreadId());
    EXPECT_EQ(KmtGetCurrentThreadID(), KezTest_CurrentThreadId());
    unsigned other = 0;
    std::thread([&other] { other = KmtGetCurrentThreadID(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, KmtGetCurrentThreadID());
    EXPECT_EQ(KmtGetNumProcessors(), static_cast<int>(std::thread::hardware_concurrency()));
}

TEST(KmtThreads, PrioritiesOutsideTheScaleAreRefusedAndChangeNothing) {
    std::thread([] {
        int before = 99;
        ASSERT_EQ(KmtGetCurrentThreadPriority(&before), 0);
        EXPECT_EQ(KmtSetCurrentThreadPriority(16), KMT_ERR_INVALID_THREAD_PRIORITY);
        EXPECT_EQ(KmtSetCurrentThreadPriority(-16), KMT_ERR_INVALID_THREAD_PRIORITY);
        int after = 99;
        ASSERT_EQ(KmtGetCurrentThreadPriority(&after), 0);
        EXPECT_EQ(after, before);
        EXPECT_EQ(KmtGetCurrentThreadPriority(nullptr), KMT_ERR_INVALID_PARAMETER);
    }).join();
}

TEST(KmtThreads, LoweringAThreadsPriorityReadsBack) {
    // Lowering needs no privilege on any system; each value on its own thread.
    for (int p : {-1, -2, KMT_THREAD_PRIORITY_IDLE}) {
        std::thread([p] {
            ASSERT_EQ(KmtSetCurrentThreadPriority(p), 0) << p;
            int read = 99;
            ASSERT_EQ(KmtGetCurrentThreadPriority(&read), 0);
            EXPECT_EQ(read, p);
        }).join();
    }
}

TEST(KmtTwins, NegativeResultsAreReportedWithTheLibraryMessage) {
    char function[128];
    char text[512];
    EXPECT_EQ(_UP_KmtSetCurrentThreadPriority(16), KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_STREQ(function, "KmtSetCurrentThreadPriority");
    EXPECT_STREQ(text, "Invalid thread priority.");
    char buffer[256];
    EXPECT_EQ(_UP_KmtGetErrorMessage(-14934, buffer), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_PARAMETER);
    EXPECT_STREQ(function, "KmtGetErrorMessage");
    EXPECT_STREQ(text, "Invalid parameter.");
}

TEST(KmtTwins, ErrorsAreLoggedAsWarnings) {
    const char *path = "kez_mt_errors.log";
    const unsigned mask = SetKezLogReportingLevels(KEZ_LOG_WARNING);
    const std::string saved = GetKezLogOutputFormat();
    ASSERT_EQ(SetKezLogReportingLocation(KEZ_LOG_LOCATION_FILE, 1, path), 1);
    SetKezLogOutputFormat("[LEVEL] [MSG]");
    KmtSetCurrentThreadPriority(40);
    EXPECT_EQ(KmtGetNumProcessors() > 0, true);  // successes write nothing
    SetKezLogReportingLocation(KEZ_LOG_LOCATION_NONE, 0, nullptr);
    SetKezLogOutputFormat(saved.c_str());
    SetKezLogReportingLevels(mask);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "WARNING Err = -14922\r\n");
}

}  // namespace
