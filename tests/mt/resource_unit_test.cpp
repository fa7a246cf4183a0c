// The multithreading library's objects as tracked resources, and what
// unload leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "debug/resource_tracking.h"
#include "kez/multithreading.h"
#include "mt/thread_util.h"
#include "os/os.h"

namespace {

std::vector<std::string> g_tracked;

std::string hex(const void *p) {
    char text[40];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

TEST(Tracked, ObjectsAreTrackedFromCreationToDiscard) {
    const kez::debug::ResourceTracker tracker = {
        [] { return true; },
        [](std::uint64_t r, const char *type, const char *description) {
            g_tracked.push_back("+" + hex(reinterpret_cast<void *>(r)) + " " + type + ": " + description);
        },
        [](std::uint64_t r) { g_tracked.push_back("-" + hex(reinterpret_cast<void *>(r))); },
    };
    kez::debug::set_resource_tracker(&tracker);
    struct Untrack {
        ~Untrack() { kez::debug::set_resource_tracker(nullptr); }
    } untrack;
    KmtLockHandle plain = nullptr, named = nullptr, tsv = nullptr, data = nullptr;
    KmtTLVHandle tlv = 0;
    ASSERT_EQ(KmtNewLock(nullptr, 0, &plain), 0);
    ASSERT_EQ(KmtNewLock("kez-tracked-lock", 0, &named), 0);
    ASSERT_EQ(KmtNewTSV(16, &tsv), 0);
    ASSERT_EQ(KmtGetTSVPtr(tsv, &data), 0);  // the held pointer is a resource from the first hold to the last
    ASSERT_EQ(KmtGetTSVPtr(tsv, &data), 0);
    ASSERT_EQ(KmtReleaseTSVPtr(tsv), 0);
    ASSERT_EQ(KmtReleaseTSVPtr(tsv), 0);
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &tlv), 0);
    ASSERT_EQ(KmtGetTSVPtr(tsv, &data), 0);  // discarded while held: the pointer goes first
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
    EXPECT_EQ(KmtDiscardLock(plain), 0);
    EXPECT_EQ(KmtDiscardLock(named), 0);
    EXPECT_EQ(KmtDiscardThreadLocalVar(tlv), 0);
    // The held pointer and the thread-local variable are resources of the
    // engine's choosing: known here by their descriptions.
    ASSERT_EQ(g_tracked.size(), 12u);
    const std::string pointer = g_tracked[3].substr(1, 18), variable = g_tracked[5].substr(1, 18);
    const std::vector<std::string> want = {
        "+" + hex(plain) + " Multithreading: Thread lock " + hex(plain),
        "+" + hex(named) + " Multithreading: Thread lock " + hex(named) + " \"kez-tracked-lock\"",
        "+" + hex(tsv) + " Multithreading: Thread-safe variable " + hex(tsv),
        "+" + pointer + " Multithreading: Thread-safe variable pointer " + hex(data) + " for variable " + hex(tsv),
        "-" + pointer,
        "+" + variable + " Multithreading: Thread-local variable " + std::to_string(tlv),
        "+" + pointer + " Multithreading: Thread-safe variable pointer " + hex(data) + " for variable " + hex(tsv),
        "-" + pointer,
        "-" + hex(tsv),
        "-" + hex(plain),
        "-" + hex(named),
        "-" + variable,
    };
    EXPECT_EQ(g_tracked, want);
}

// Unload frees what the program left, without calling back, and the
// library works again after it (the engine can be loaded again). A thread
// asleep on a held critical section sleeps through unload and, woken after
// it, finds the lock's memory still there (the address sanitizer's case).
int g_callbacks = 0;
TEST(KmtUnload, LeftoversAreFreedWithoutCallbacksAndTheLibraryStartsAgain) {
    KmtLockHandle lock = nullptr, tsv = nullptr, critical_section = nullptr;
    KmtTLVHandle tlv = 0;
    for (unsigned options : {0, OPT_TL_SUPPORT_TIMEOUT}) {  // each left held
        ASSERT_EQ(KmtNewLock(nullptr, options, &lock), 0);
        ASSERT_EQ(KmtGetLock(lock), 0);
    }
    ASSERT_EQ(KmtNewLock(nullptr, 0, &critical_section), 0);
    ASSERT_EQ(KmtGetLock(critical_section), 0);
    std::thread([critical_section] { KmtGetLock(critical_section); }).detach();  // sleeps for good
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(KmtNewTSV(8, &tsv), 0);
    void *data = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(tsv, &data), 0);
    const KmtTLVDiscardCallback count = [](void *, int, void *, unsigned) { ++g_callbacks; };
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, count, nullptr, &tlv), 0);
    int *value = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(tlv, &value), 0);
    kez::mt::UtilityLibraryUninitKmtResources();
    auto *words = static_cast<std::atomic<std::uint32_t> *>(critical_section);  // the words of its record
    for (int i = 0; i < 12; ++i) kez::os::wake_all(&words[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_callbacks, 0);
    EXPECT_EQ(KmtReleaseLock(lock), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetTSVPtr(tsv, &data), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetThreadLocalVar(tlv, &value), KMT_ERR_INVALID_HANDLE);
    for (auto init : {kez::mt::UserLockManagerInit, kez::mt::TsvInit, kez::mt::TlvInit}) ASSERT_EQ(init(), 0);
    ASSERT_EQ(KmtNewLock(nullptr, 0, &lock), 0);
    EXPECT_EQ(KmtGetLock(lock), 0);
    EXPECT_EQ(KmtReleaseLock(lock), 0);
    EXPECT_EQ(KmtDiscardLock(lock), 0);
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &tlv), 0);
    EXPECT_EQ(tlv, 1) << "the index table starts empty again";
    EXPECT_EQ(KmtDiscardThreadLocalVar(tlv), 0);
}

}  // namespace
