// Thread-safe variables (a block behind its own recursive lock) and
// thread-local variables (a block a thread, handed to a callback before it is
// freed) of the multithreading library.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "mt/kmt_test_util.h"
#include "support/latch.h"
#include "support/sanitizers.h"

namespace {

using namespace std::chrono_literals;
using kez::test::Latch;
using kez::test::on_other_thread;
using KmtTsv = kez::test::Watched<>;
using KmtTlv = kez::test::Watched<>;

// Whether a call started with std::async is still waiting after a while (as a
// call that must wait for another thread is).
bool still_waiting(const std::future<int> &call) { return call.wait_for(50ms) == std::future_status::timeout; }

struct Triple {
    std::int64_t a, b, c;
};

TEST_F(KmtTsv, BadArgumentsAndHandlesThatAreNotLiveVariablesOfEitherKindAreRefused) {
    void *const sentinel = reinterpret_cast<void *>(0x5EED);
    KmtTLVHandle tlv = 12345;
    for (int size : {0, -1, INT_MIN}) {
        KmtTSVHandle h = sentinel;
        EXPECT_EQ(KmtNewTSV(size, &h), KMT_ERR_INVALID_PARAMETER) << size;
        EXPECT_EQ(KmtNewThreadLocalVar(size, nullptr, nullptr, nullptr, &tlv), KMT_ERR_INVALID_PARAMETER) << size;
        EXPECT_EQ(h, sentinel) << size;
    }
    EXPECT_EQ(tlv, 12345);
    EXPECT_EQ(KmtNewTSV(16, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, nullptr), KMT_ERR_INVALID_PARAMETER);
    KmtTSVHandle live = nullptr, gone = nullptr, lock = nullptr;
    ASSERT_EQ(KmtNewTSV(32, &live), 0);
    ASSERT_EQ(KmtNewTSV(32, &gone), 0);
    ASSERT_EQ(KmtDiscardTSV(gone), 0);
    ASSERT_EQ(KmtNewLock(nullptr, 0, &lock), 0);
    EXPECT_EQ(KmtGetTSVPtr(live, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtSetTSV(live, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseTSVPtr(live), KMT_ERR_TSV_NOT_OWNED) << "a refused call took a hold";

    std::uint64_t zeros[16] = {};
    const unsigned char source[32] = {1, 2, 3};
    for (KmtTSVHandle w : {gone, reinterpret_cast<void *>(1), static_cast<void *>(zeros),
                           static_cast<void *>(static_cast<char *>(live) + 8), lock, static_cast<void *>(nullptr)}) {
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
    Triple *block = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(live, &block), 0);
    EXPECT_TRUE(block->a == 0 && KmtReleaseTSVPtr(live) == 0) << "the live variable was disturbed";
    EXPECT_EQ(KmtDiscardTSV(live), 0);
    EXPECT_EQ(KmtDiscardLock(lock), 0);

    KmtTLVHandle dead = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &dead), 0);
    EXPECT_GT(dead, 0);
    EXPECT_EQ(KmtGetThreadLocalVar(dead, nullptr), KMT_ERR_INVALID_PARAMETER);
    int *value = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(dead, &value), 0);
    ASSERT_EQ(KmtDiscardThreadLocalVar(dead), 0);
    for (KmtTLVHandle w : {dead, 0, -1, -64, 100000, INT_MAX, INT_MIN}) {
        void *p = &value;
        EXPECT_EQ(KmtGetThreadLocalVar(w, &p), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(p, static_cast<void *>(&value)) << w;
        EXPECT_EQ(KmtDiscardThreadLocalVar(w), w == 0 ? 0 : KMT_ERR_INVALID_HANDLE) << w;
    }
}

TEST_F(KmtTsv, EveryGetNeedsItsOwnReleaseAndOtherThreadsWaitForTheLast) {
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(sizeof(Triple), &h), 0);
    Triple *first = nullptr, *second = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    EXPECT_TRUE(first->a == 0 && first->b == 0 && first->c == 0) << "a block starts zero-filled";
    ASSERT_EQ(KmtGetTSVPtr(h, &second), 0);
    EXPECT_EQ(first, second);
    const Triple one{1, 2, 3}, two{4, 5, 6};
    EXPECT_EQ(KmtSetTSV(h, &one), 0);  // the holder may set: the lock is recursive
    EXPECT_EQ(first->b, 2);
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseTSVPtr(h); }), KMT_ERR_TSV_NOT_OWNED);
    auto setter = std::async(std::launch::async, [&] { return KmtSetTSV(h, &two); });
    EXPECT_TRUE(still_waiting(setter)) << "a set went through while another thread held the variable";
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_TRUE(still_waiting(setter)) << "one release let another thread in while a hold remained";
    EXPECT_EQ(first->c, 3);
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    ASSERT_EQ(setter.wait_for(10s), std::future_status::ready) << "a set counted as a hold";
    EXPECT_EQ(setter.get(), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    // The setter left no hold behind; the other thread sees the same block.
    EXPECT_EQ(on_other_thread([h] {
                  Triple *p = nullptr;
                  return KmtGetTSVPtr(h, &p) == 0 && p->b == 5 && p->c == 6 && KmtReleaseTSVPtr(h) == 0 ? p : nullptr;
              }),
              first);

    // A discard waits for another thread's hold.
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    auto discarder = std::async(std::launch::async, [h] { return KmtDiscardTSV(h); });
    EXPECT_TRUE(still_waiting(discarder)) << "the variable was discarded while held";
    first->a = 77;  // still ours
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(discarder.get(), 0);
    EXPECT_EQ(KmtGetTSVPtr(h, &first), KMT_ERR_INVALID_HANDLE);

    // Discarded by its holder, holds and all: nobody is left waiting.
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    auto waiter = std::async(std::launch::async, [&] { return KmtGetTSVPtr(h, &second); });
    EXPECT_EQ(KmtDiscardTSV(h), 0);
    EXPECT_EQ(waiter.get(), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_INVALID_HANDLE);
}

// What a callback is handed (its data is a tag), with its value's content
// and the thread that made the call.
struct Call {
    int tag, event;
    void *value;
    int content;
    unsigned thread, caller;
    bool operator==(const Call &) const = default;
};
std::mutex g_calls_mutex;
std::vector<Call> g_calls;

void *tag(int t) { return reinterpret_cast<void *>(static_cast<std::intptr_t>(t)); }
void record_call(void *value, int event, void *data, unsigned thread) {
    std::lock_guard<std::mutex> guard(g_calls_mutex);
    g_calls.push_back({static_cast<int>(reinterpret_cast<std::intptr_t>(data)), event, value,
                       *static_cast<int *>(value), thread, KmtGetCurrentThreadID()});
}
std::vector<Call> take_calls() {
    std::lock_guard<std::mutex> guard(g_calls_mutex);
    return std::exchange(g_calls, {});
}

TEST_F(KmtTlv, ValueArraysGrowPastEachBlockOf64Handles) {
    constexpr int kVars = 130;
    std::vector<KmtTLVHandle> handles(kVars);
    for (int i = 0; i < kVars; ++i) {
        const int initial = 1000 + i;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, record_call, tag(i), &handles[i]), 0) << i;
    }
    // Handles are distinct and ascending (the lowest free index first), and
    // some lie beyond two blocks of 64.
    ASSERT_EQ(std::adjacent_find(handles.begin(), handles.end(), std::greater_equal<>()), handles.end());
    ASSERT_GT(handles.back(), 128);

    // A fresh thread whose first access is a handle at or past a block
    // boundary, then the lowest one: both values are its own and distinct,
    // and reach the callback in handle order when it ends.
    for (int i : {63, 64, 127, 128}) {
        const KmtTLVHandle boundary = handles[i];
        EXPECT_EQ(on_other_thread([&] {
                      int *b = nullptr, *low = nullptr, *again = nullptr;
                      int f = KmtGetThreadLocalVar(boundary, &b) != 0 || *b != 1000 + i;
                      *b = -boundary;
                      f += KmtGetThreadLocalVar(handles[0], &low) != 0 || low == b || *low != 1000;
                      *low = -1;
                      return f + (KmtGetThreadLocalVar(boundary, &again) != 0 || again != b || *again != -boundary);
                  }),
                  0)
            << boundary;
        const std::vector<Call> calls = take_calls();
        ASSERT_EQ(calls.size(), 2u) << boundary;
        EXPECT_EQ(std::make_pair(calls[0].tag, calls[0].content), std::make_pair(0, -1)) << boundary;
        EXPECT_EQ(std::make_pair(calls[1].tag, calls[1].content), std::make_pair(i, -boundary)) << boundary;
    }

    // One thread reaches every variable, lowest first, so its first value
    // survives each growth of its array, and ends: one call a value, in
    // handle order, on the ending thread.
    std::vector<int *> values(kVars, nullptr);
    unsigned ender = 0;
    EXPECT_EQ(on_other_thread([&] {
                  ender = KmtGetCurrentThreadID();
                  int f = 0;
                  for (int i = 0; i < kVars; ++i) {
                      f += KmtGetThreadLocalVar(handles[i], &values[i]) != 0 || *values[i] != 1000 + i;
                      *values[i] = 2000 + i;
                      int *first = nullptr;
                      f += KmtGetThreadLocalVar(handles[0], &first) != 0 || first != values[0] || *first != 2000;
                  }
                  return f;
              }),
              0);
    EXPECT_EQ(std::set<int *>(values.begin(), values.end()).size(), static_cast<std::size_t>(kVars));
    const std::vector<Call> calls = take_calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kVars));
    for (int i = 0; i < kVars; ++i)
        EXPECT_EQ(calls[i], (Call{i, EVENT_TLV_DISCARD_THREAD_ENDING, values[i], 2000 + i, ender, ender})) << i;
    // No thread has values left: discarding calls nothing.
    for (KmtTLVHandle h : handles) EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    EXPECT_TRUE(take_calls().empty());
}

// A discard hands every thread's value to the callback, on the discarding
// thread; the freed index is taken again, and a thread that had a value of
// the old variable starts afresh with the new one.
TEST_F(KmtTlv, DiscardHandsEveryThreadsValueToTheCallbackAndTheIndexStartsAfresh) {
    KmtTLVHandle h = 0, reused = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, record_call, tag(1), &h), 0);
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
    const unsigned main_id = ids[kUsers] = KmtGetCurrentThreadID();
    ASSERT_EQ(KmtGetThreadLocalVar(h, &values[kUsers]), 0);
    *values[kUsers] = 100 + kUsers;
    ready.wait();
    EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    const std::vector<Call> calls = take_calls();
    const int initial = 42;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, nullptr, nullptr, &reused), 0);
    EXPECT_EQ(reused, h) << "the lowest free index is taken";
    replaced.count_down();
    for (auto &t : threads) t.join();

    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kUsers + 1));
    std::set<unsigned> seen;
    for (const Call &call : calls) {
        seen.insert(call.thread);
        const int t = static_cast<int>(std::find(ids.begin(), ids.end(), call.thread) - ids.begin());
        ASSERT_LE(t, kUsers) << "a call for a thread that never had a value";
        EXPECT_EQ(call, (Call{1, EVENT_TLV_DISCARD_VAR_DISCARDED, values[t], 100 + t, call.thread, main_id}));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kUsers + 1));
    for (int value : after) EXPECT_EQ(value, 42);
    EXPECT_EQ(KmtDiscardThreadLocalVar(reused), 0);
    EXPECT_TRUE(take_calls().empty()) << "an ended thread's value outlived its variable";
}

// A callback may use the library's other variables: the thread's later
// values are still there while an ending thread's callbacks run, and a
// discard does not keep other variables locked during its callbacks.
KmtTLVHandle g_other = 0;
std::atomic<int> g_nested_content{-1};

TEST_F(KmtTlv, CallbacksMayUseOtherVariables) {
    const auto read_other = [](void *, int, void *, unsigned) {
        int *p = nullptr;
        g_nested_content = KmtGetThreadLocalVar(g_other, &p) == 0 ? *p : -1;
    };
    KmtTLVHandle first = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, read_other, nullptr, &first), 0);
    const int initial = 5;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, nullptr, nullptr, &g_other), 0);
    ASSERT_LT(first, g_other);
    int *mine = nullptr, *other = nullptr;
    std::thread([&] {
        if (KmtGetThreadLocalVar(g_other, &other) == 0) *other = 66;
        KmtGetThreadLocalVar(first, &mine);
    }).join();
    EXPECT_EQ(g_nested_content.exchange(-1), 66);

    ASSERT_EQ(KmtGetThreadLocalVar(first, &mine), 0);
    ASSERT_EQ(KmtGetThreadLocalVar(g_other, &other), 0);
    *other = 77;
    EXPECT_EQ(KmtDiscardThreadLocalVar(first), 0);
    EXPECT_EQ(g_nested_content.exchange(-1), 77);
    EXPECT_EQ(KmtDiscardThreadLocalVar(g_other), 0);
}

// Many threads end while their variable is discarded: every value reaches the
// callback exactly once, with event 1 on its own thread when its thread's end
// came first and event 2 on the discarding thread when the discard did, and
// is freed once (the sanitizers see a second free or a use after it).
TEST_F(KmtTlv, DiscardRacingThreadEndsCallsEachValuesCallbackOnce) {
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
    const unsigned me = KmtGetCurrentThreadID();
    for (int round = 0; round < kRounds; ++round) {
        KmtTLVHandle h = 0;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, record_call, tag(round), &h), 0);
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
        std::vector<Call> calls = take_calls();
        ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads)) << "round " << round;
        std::sort(calls.begin(), calls.end(), [](const Call &a, const Call &b) { return a.content < b.content; });
        for (int t = 0; t < kThreads; ++t) {
            const Call &call = calls[t];
            const bool ending = call.event == EVENT_TLV_DISCARD_THREAD_ENDING;
            const int event = ending ? EVENT_TLV_DISCARD_THREAD_ENDING : EVENT_TLV_DISCARD_VAR_DISCARDED;
            ASSERT_EQ(call, (Call{round, event, call.value, t, ids[t], ending ? ids[t] : me})) << "round " << round;
            thread_end_first += ending;
        }
    }
    RecordProperty("thread_end_first", thread_end_first);
}

}  // namespace
