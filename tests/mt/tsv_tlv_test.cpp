// Thread-safe variables (a block behind its own recursive lock) and
// thread-local variables (a block a thread, handed to a callback before it is
// freed) of the multithreading library.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "mt/kmt_test_util.h"
#include "support/latch.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using kez::test::Latch;
using kez::test::on_other_thread;
using kez::test::Watchdog;

// Whether a call started with std::async is still waiting after a while (as a
// call that must wait for another thread is).
bool still_waiting(const std::future<int> &call) { return call.wait_for(50ms) == std::future_status::timeout; }

struct Triple {
    std::int64_t a, b, c;
};

Triple read_tsv(KmtTSVHandle h) {
    Triple *p = nullptr;
    Triple t{-1, -1, -1};
    if (KmtGetTSVPtr(h, &p) == 0) {
        t = *p;
        KmtReleaseTSVPtr(h);
    }
    return t;
}

// ---- thread-safe variables ------------------------------------------------------------

TEST(KmtTsv, BadArgumentsAndHandlesThatAreNotLiveVariablesAreRefused) {
    const auto sentinel = kez::test::fake_handle<KmtTSVHandle>(0x5EED);
    for (int size : {0, -1, INT_MIN}) {
        KmtTSVHandle h = sentinel;
        EXPECT_EQ(KmtNewTSV(size, &h), KMT_ERR_INVALID_PARAMETER) << size;
        EXPECT_EQ(h, sentinel) << size;
    }
    EXPECT_EQ(KmtNewTSV(16, nullptr), KMT_ERR_INVALID_PARAMETER);
    KmtTSVHandle live = nullptr, gone = nullptr;
    ASSERT_EQ(KmtNewTSV(32, &live), 0);
    ASSERT_EQ(KmtNewTSV(32, &gone), 0);
    ASSERT_EQ(KmtDiscardTSV(gone), 0);
    EXPECT_EQ(KmtGetTSVPtr(live, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtSetTSV(live, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseTSVPtr(live), KMT_ERR_TSV_NOT_OWNED) << "a refused call took a hold";

    KmtLockHandle lock = nullptr;
    ASSERT_EQ(KmtNewLock(nullptr, 0, &lock), 0);
    std::uint64_t zeros[16] = {};
    const unsigned char source[32] = {1, 2, 3};
    for (KmtTSVHandle w : {gone, kez::test::fake_handle<KmtTSVHandle>(1), static_cast<KmtTSVHandle>(zeros),
                           static_cast<KmtTSVHandle>(static_cast<char *>(live) + 8), static_cast<KmtTSVHandle>(lock),
                           static_cast<KmtTSVHandle>(nullptr)}) {
        void *p = &zeros;
        EXPECT_EQ(KmtGetTSVPtr(w, &p), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(p, static_cast<void *>(&zeros)) << w;
        EXPECT_EQ(KmtReleaseTSVPtr(w), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(KmtSetTSV(w, source), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(KmtDiscardTSV(w), w == nullptr ? 0 : KMT_ERR_INVALID_HANDLE) << w;
    }
    // Memory that only looks like a variable: a release cannot crash on a
    // look-alike, so a wrong answer shows as a failure.
    std::uint32_t forged[32];
    std::fill(std::begin(forged), std::end(forged), 0x0BADF00Fu);
    EXPECT_EQ(KmtReleaseTSVPtr(static_cast<KmtTSVHandle>(forged)), KMT_ERR_INVALID_HANDLE);
    // The live one was not disturbed.
    EXPECT_EQ(read_tsv(live).a, 0);
    EXPECT_EQ(KmtDiscardTSV(live), 0);
    EXPECT_EQ(KmtDiscardLock(lock), 0);
}

TEST(KmtTsv, EveryGetNeedsItsOwnReleaseFromItsOwnThread) {
    Watchdog watchdog(60s, "thread-safe variable holds");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(100000, &h), 0);
    char *first = nullptr, *second = nullptr, *theirs = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    EXPECT_EQ(std::count(first, first + 100000, 0), 100000) << "a block starts zero-filled";
    ASSERT_EQ(KmtGetTSVPtr(h, &second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseTSVPtr(h); }), KMT_ERR_TSV_NOT_OWNED);
    auto getter = std::async(std::launch::async, [&] {
        const int rc = KmtGetTSVPtr(h, &theirs);
        return rc != 0 ? rc : KmtReleaseTSVPtr(h);
    });
    EXPECT_TRUE(still_waiting(getter)) << "a refused release let another thread in";
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_TRUE(still_waiting(getter)) << "one release let another thread in while a hold remained";
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(getter.get(), 0);
    EXPECT_EQ(theirs, first);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

TEST(KmtTsv, SetCopiesTheWholeValueUnderTheLockWithoutLeavingAHold) {
    Watchdog watchdog(60s, "thread-safe variable set");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(sizeof(Triple), &h), 0);
    const Triple one{1, 2, 3}, two{4, 5, 6}, three{7, 8, 9};
    EXPECT_EQ(KmtSetTSV(h, &one), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED) << "a set is no get";
    EXPECT_EQ(on_other_thread([h] { return read_tsv(h).c; }), 3);

    // The holder may set (the lock is recursive); its hold count is unchanged.
    Triple *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    EXPECT_EQ(KmtSetTSV(h, &two), 0);
    EXPECT_EQ(p->b, 5);
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);

    // Another thread's set waits for the holder.
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    auto setter = std::async(std::launch::async, [&] { return KmtSetTSV(h, &three); });
    EXPECT_TRUE(still_waiting(setter)) << "a set went through while another thread held the variable";
    EXPECT_EQ(p->a, 4);
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(setter.get(), 0);
    // The setter left no hold behind.
    EXPECT_EQ(on_other_thread([h] { return read_tsv(h).b; }), 8);
    EXPECT_EQ(read_tsv(h).c, 9);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

TEST(KmtTsv, DiscardWaitsForAnotherHolderAndEndsTheHoldsOfItsOwnThread) {
    Watchdog watchdog(60s, "thread-safe variable discard");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    void *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    auto discarder = std::async(std::launch::async, [h] { return KmtDiscardTSV(h); });
    EXPECT_TRUE(still_waiting(discarder)) << "the variable was discarded while held";
    std::memset(p, 0x77, 8);  // still ours
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(discarder.get(), 0);
    EXPECT_EQ(KmtGetTSVPtr(h, &p), KMT_ERR_INVALID_HANDLE);

    // Discarded by its holder, holds and all: nobody is left waiting.
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    auto waiter = std::async(std::launch::async, [&] { return KmtGetTSVPtr(h, &p); });
    EXPECT_EQ(KmtDiscardTSV(h), 0);
    EXPECT_EQ(waiter.get(), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_INVALID_HANDLE);
}

// ---- thread-local variables ------------------------------------------------------------

TEST(KmtTlv, BadArgumentsAndHandlesThatAreNotLiveVariablesAreRefused) {
    KmtTLVHandle h = 12345;
    for (int size : {0, -1, INT_MIN})
        EXPECT_EQ(KmtNewThreadLocalVar(size, nullptr, nullptr, nullptr, &h), KMT_ERR_INVALID_PARAMETER) << size;
    EXPECT_EQ(h, 12345);
    EXPECT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, nullptr), KMT_ERR_INVALID_PARAMETER);
    KmtTLVHandle gone = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &gone), 0);
    EXPECT_GT(gone, 0);
    EXPECT_EQ(KmtGetThreadLocalVar(gone, nullptr), KMT_ERR_INVALID_PARAMETER);
    int *value = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(gone, &value), 0);
    ASSERT_EQ(KmtDiscardThreadLocalVar(gone), 0);
    for (KmtTLVHandle w : {gone, 0, -1, -64, 100000, INT_MAX, INT_MIN}) {
        void *p = &value;
        EXPECT_EQ(KmtGetThreadLocalVar(w, &p), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(p, static_cast<void *>(&value)) << w;
        EXPECT_EQ(KmtDiscardThreadLocalVar(w), w == 0 ? 0 : KMT_ERR_INVALID_HANDLE) << w;
    }
}

// Callbacks record what they are handed.
struct Call {
    int tag, event;
    void *value;
    int content;
    unsigned thread, caller;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<Call> take() {
        std::lock_guard<std::mutex> guard(mutex);
        return std::exchange(calls, {});
    }
};

struct Tag {
    Recorder *recorder;
    int tag;
};

void record_call(void *value, int event, void *data, unsigned thread) {
    auto *tag = static_cast<Tag *>(data);
    std::lock_guard<std::mutex> guard(tag->recorder->mutex);
    tag->recorder->calls.push_back(
        {tag->tag, event, value, *static_cast<int *>(value), thread, KmtGetCurrentThreadID()});
}

TEST(KmtTlv, ValueArraysGrowPastEachBlockOf64Handles) {
    Watchdog watchdog(120s, "thread-local arrays");
    constexpr int kVars = 130;
    Recorder recorder;
    std::vector<Tag> tags(kVars);
    std::vector<KmtTLVHandle> handles(kVars);
    for (int i = 0; i < kVars; ++i) {
        tags[i] = {&recorder, i};
        const int initial = 1000 + i;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, record_call, &tags[i], &handles[i]), 0) << i;
    }
    // Handles are distinct and ascending (the lowest free index first), and
    // some lie beyond two blocks of 64.
    ASSERT_TRUE(std::is_sorted(handles.begin(), handles.end()));
    ASSERT_EQ(std::set<KmtTLVHandle>(handles.begin(), handles.end()).size(), static_cast<std::size_t>(kVars));
    ASSERT_GT(handles.back(), 128);

    // A fresh thread whose first access is a handle at or past a block
    // boundary, then the lowest one: both values are its own and distinct.
    for (int i : {63, 64, 127, 128}) {
        const KmtTLVHandle boundary = handles[i];
        const int failures = on_other_thread([&] {
            int *b = nullptr, *low = nullptr, *again = nullptr;
            int f = KmtGetThreadLocalVar(boundary, &b) != 0 || *b != 1000 + i;
            *b = -boundary;
            f += KmtGetThreadLocalVar(handles[0], &low) != 0 || low == b || *low != 1000;
            *low = -1;
            f += KmtGetThreadLocalVar(boundary, &again) != 0 || again != b || *again != -boundary;
            return f;
        });
        EXPECT_EQ(failures, 0) << boundary;
        const std::vector<Call> calls = recorder.take();
        ASSERT_EQ(calls.size(), 2u) << boundary;
        EXPECT_EQ(calls[0].tag, 0) << boundary;  // in handle order
        EXPECT_EQ(calls[0].content, -1) << boundary;
        EXPECT_EQ(calls[1].tag, i) << boundary;
        EXPECT_EQ(calls[1].content, -boundary) << boundary;
    }

    // One thread reaches every variable, lowest first, so its first value
    // survives each growth of its array, and ends: one call a value, in
    // handle order, on the ending thread.
    std::vector<int *> values(kVars, nullptr);
    unsigned ender = 0;
    const int failures = on_other_thread([&] {
        ender = KmtGetCurrentThreadID();
        int f = 0;
        for (int i = 0; i < kVars; ++i) {
            f += KmtGetThreadLocalVar(handles[i], &values[i]) != 0 || *values[i] != 1000 + i;
            *values[i] = 2000 + i;
            int *first = nullptr;
            f += KmtGetThreadLocalVar(handles[0], &first) != 0 || first != values[0] || *first != 2000;
        }
        return f;
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(std::set<int *>(values.begin(), values.end()).size(), static_cast<std::size_t>(kVars));
    const std::vector<Call> calls = recorder.take();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kVars));
    for (int i = 0; i < kVars; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].tag, i) << "values of an ending thread were not handed over in handle order";
        EXPECT_EQ(calls[i].event, EVENT_TLV_DISCARD_THREAD_ENDING);
        EXPECT_EQ(calls[i].thread, ender);
        EXPECT_EQ(calls[i].caller, ender);
        EXPECT_EQ(calls[i].value, values[i]);
        EXPECT_EQ(calls[i].content, 2000 + i);
    }
    // No thread has values left: discarding calls nothing.
    for (KmtTLVHandle h : handles) EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    EXPECT_TRUE(recorder.take().empty());
}

// A discard hands every thread's value to the callback, on the discarding
// thread; the freed index is taken again, and a thread that had a value of
// the old variable starts afresh with the new one.
TEST(KmtTlv, DiscardHandsEveryThreadsValueToTheCallbackAndTheIndexStartsAfresh) {
    Watchdog watchdog(60s, "thread-local discard");
    Recorder recorder;
    Tag tag{&recorder, 1};
    KmtTLVHandle h = 0, reused = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, record_call, &tag, &h), 0);
    constexpr int kUsers = 4, kIdle = 2;
    Latch ready(kUsers + kIdle), replaced(1);
    std::vector<unsigned> ids(kUsers + 1);
    std::vector<int *> values(kUsers + 1);
    std::vector<int> after(kUsers + kIdle, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kUsers + kIdle; ++t) {
        threads.emplace_back([&, t] {
            if (t < kUsers) {
                ids[t] = KmtGetCurrentThreadID();
                // Without an initial value a thread's value starts zero-filled.
                if (KmtGetThreadLocalVar(h, &values[t]) == 0 && *values[t] == 0) *values[t] = 100 + t;
            }
            ready.count_down();
            replaced.wait();
            int *p = nullptr;
            after[t] = KmtGetThreadLocalVar(h, &p) == 0 ? *p : -1;
        });
    }
    ids[kUsers] = KmtGetCurrentThreadID();
    ASSERT_EQ(KmtGetThreadLocalVar(h, &values[kUsers]), 0);
    *values[kUsers] = 100 + kUsers;
    ready.wait();
    EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    const std::vector<Call> calls = recorder.take();
    const int initial = 42;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, nullptr, nullptr, &reused), 0);
    EXPECT_EQ(reused, h) << "the lowest free index is taken";
    replaced.count_down();
    for (auto &t : threads) t.join();

    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kUsers + 1));
    std::set<unsigned> seen;
    for (const Call &call : calls) {
        EXPECT_EQ(call.event, EVENT_TLV_DISCARD_VAR_DISCARDED);
        EXPECT_EQ(call.tag, 1);
        EXPECT_EQ(call.caller, KmtGetCurrentThreadID());
        seen.insert(call.thread);
        const auto t = std::find(ids.begin(), ids.end(), call.thread) - ids.begin();
        ASSERT_LE(t, kUsers) << "a call for a thread that never had a value";
        EXPECT_EQ(call.value, values[t]);
        EXPECT_EQ(call.content, 100 + t);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kUsers + 1));
    for (int value : after) EXPECT_EQ(value, 42);
    EXPECT_EQ(KmtDiscardThreadLocalVar(reused), 0);
    EXPECT_TRUE(recorder.take().empty()) << "an ended thread's value outlived its variable";
}

// A callback may use the library's other variables: the thread's later
// values are still there while an ending thread's callbacks run, and a
// discard does not keep other variables locked during its callbacks.
struct Nested {
    KmtTLVHandle other = 0;
    std::atomic<int> calls{0};
    int content = -1;
};

void nested_call(void *, int, void *data, unsigned) {
    auto *n = static_cast<Nested *>(data);
    int *p = nullptr;
    n->content = KmtGetThreadLocalVar(n->other, &p) == 0 ? *p : -1;
    n->calls.fetch_add(1);
}

TEST(KmtTlv, CallbacksMayUseOtherVariables) {
    Watchdog watchdog(60s, "thread-local callbacks using variables");
    Nested nested;
    KmtTLVHandle first = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, nested_call, &nested, &first), 0);
    const int initial = 5;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, nullptr, nullptr, &nested.other), 0);
    ASSERT_LT(first, nested.other);
    std::thread([&] {
        int *p = nullptr, *q = nullptr;
        if (KmtGetThreadLocalVar(nested.other, &q) == 0) *q = 66;
        if (KmtGetThreadLocalVar(first, &p) == 0) *p = 1;
    }).join();
    EXPECT_EQ(nested.calls.load(), 1);
    EXPECT_EQ(nested.content, 66);

    int *mine = nullptr, *other = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(first, &mine), 0);
    ASSERT_EQ(KmtGetThreadLocalVar(nested.other, &other), 0);
    *other = 77;
    EXPECT_EQ(KmtDiscardThreadLocalVar(first), 0);
    EXPECT_EQ(nested.calls.load(), 2);
    EXPECT_EQ(nested.content, 77);
    EXPECT_EQ(KmtDiscardThreadLocalVar(nested.other), 0);
}

// Many threads end while their variable is discarded: every value reaches the
// callback exactly once, with event 1 on its own thread when its thread's end
// came first and event 2 on the discarding thread when the discard did, and
// is freed once (the sanitizers see a second free or a use after it).
TEST(KmtTlv, DiscardRacingThreadEndsCallsEachValuesCallbackOnce) {
    Watchdog watchdog(600s, "thread-local discard racing thread ends");
    // Each round starts and ends 16 threads: costly under Wine and under the
    // thread sanitizer.
#if defined(_WIN32)
    constexpr int kRounds = 200;
#elif defined(KEZ_TEST_TSAN)
    constexpr int kRounds = 250;
#else
    constexpr int kRounds = 1000;
#endif
    constexpr int kThreads = 16;
    int thread_end_first = 0;
    for (int round = 0; round < kRounds; ++round) {
        Recorder recorder;
        Tag tag{&recorder, round};
        KmtTLVHandle h = 0;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, record_call, &tag, &h), 0);
        Latch ready(kThreads), go(1);
        std::vector<unsigned> ids(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ids[t] = KmtGetCurrentThreadID();
                int *p = nullptr;
                if (KmtGetThreadLocalVar(h, &p) == 0) *p = t;
                ready.count_down();
                go.wait();
            });
        }
        ready.wait();
        go.count_down();
        if (round % 3 == 1) std::this_thread::yield();
        EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
        for (auto &t : threads) t.join();
        std::vector<Call> calls = recorder.take();
        ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads)) << "round " << round;
        std::sort(calls.begin(), calls.end(), [](const Call &a, const Call &b) { return a.content < b.content; });
        for (int t = 0; t < kThreads; ++t) {
            const Call &call = calls[t];
            const bool ending = call.event == EVENT_TLV_DISCARD_THREAD_ENDING;
            ASSERT_EQ(call.content, t) << "round " << round;
            ASSERT_EQ(call.thread, ids[t]) << "round " << round;
            ASSERT_TRUE(ending || call.event == EVENT_TLV_DISCARD_VAR_DISCARDED) << "round " << round;
            ASSERT_EQ(call.caller, ending ? ids[t] : KmtGetCurrentThreadID()) << "round " << round;
            thread_end_first += ending;
        }
    }
    RecordProperty("thread_end_first", thread_end_first);
}

// ---- the _UP_ twins ------------------------------------------------------------------

TEST(KmtTsvTlvTwins, ErrorsAreReportedWithTheirMessages) {
    using kez::test::last_library_error;
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(_UP_KmtNewTSV(8, &h), 0);
    EXPECT_EQ(_UP_KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(last_library_error(),
              "-14929 KmtReleaseTSVPtr: You must release the thread safe variable from the same thread that got it.");
    EXPECT_EQ(_UP_KmtDiscardTSV(h), 0);
    const char source[8] = {};
    EXPECT_EQ(_UP_KmtSetTSV(h, source), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(last_library_error(), "-14901 KmtSetTSV: Invalid handle.");
    void *p = nullptr;
    EXPECT_EQ(_UP_KmtGetThreadLocalVar(100000, &p), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(last_library_error(), "-14901 KmtGetThreadLocalVar: Invalid handle.");
    KmtTLVHandle tlv = 0;
    EXPECT_EQ(_UP_KmtNewThreadLocalVar(0, nullptr, nullptr, nullptr, &tlv), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(last_library_error(), "-14902 KmtNewThreadLocalVar: Invalid parameter.");
}

}  // namespace