// Thread pools: scheduling order and thread creation, function IDs,
// function attributes and waits.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "mt/thread_pool_test_util.h"
#include "os/os.h"

namespace {

using namespace kez::test::pool;

// ---- scheduling and threads ----------------------------------------------------------

using ThreadPoolScheduling = PoolTest;

struct Ordered {
    std::mutex *mutex;
    std::vector<int> *order;
    std::vector<unsigned> *threads;
    int index;
};

int append_index(void *data) {
    auto *o = static_cast<Ordered *>(data);
    std::lock_guard<std::mutex> lock(*o->mutex);
    o->order->push_back(o->index);
    o->threads->push_back(KmtGetCurrentThreadID());
    return o->index;
}

TEST_F(ThreadPoolScheduling, WithOneThreadFunctionsWaitAndRunInOrderOnThatThread) {
    constexpr int kQueued = 20;
    Job first;
    first.gate = &gate;
    std::mutex mutex;
    std::vector<int> order;
    std::vector<unsigned> threads;
    std::vector<Ordered> items(kQueued);
    std::vector<int> ids(kQueued);
    ScopedPool scoped(1, &gate);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    int first_id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &first, &first_id), 0);
    ASSERT_TRUE(eventually([&] { return first.started.load() == 1; }));

    for (int i = 0; i < kQueued; ++i) {
        items[i] = {&mutex, &order, &threads, i};
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, append_index, &items[i], &ids[i]), 0);
    }
    kez::os::sleep_ms(30);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(order.empty()) << "a queued function ran beside the first one";
    }
    EXPECT_EQ(state_of(pool, ids[0]), KMT_FUNCTION_SCHEDULED);
    EXPECT_EQ(state_of(pool, first_id), KMT_FUNCTION_EXECUTING);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);

    gate.open();
    for (int i = 0; i < kQueued; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0) << i;
        EXPECT_EQ(function_int(pool, ids[i], ATTR_TP_FUNCTION_RETURN_VALUE), i);
        EXPECT_EQ(static_cast<unsigned>(function_int(pool, ids[i], ATTR_TP_FUNCTION_THREAD_ID)), first.thread.load());
    }
    std::vector<int> expected(kQueued);
    for (int i = 0; i < kQueued; ++i) expected[i] = i;
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(threads, std::vector<unsigned>(kQueued, first.thread.load()));
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
}

TEST_F(ThreadPoolScheduling, ThreadsAreMadeOnDemandAndPreAllocationStopsAtTheMaximum) {
    const KmtThreadPoolHandle lazy = new_pool(4);
    ASSERT_NE(lazy, nullptr);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(lazy, return_data, as_data(1), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(lazy, id, 0, 10000), 0);
    EXPECT_EQ(pool_int(lazy, ATTR_TP_NUM_THREADS), 1);

    const KmtThreadPoolHandle pool = new_pool(3);
    ASSERT_NE(pool, nullptr);
    int created = 77;
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, -1, &created), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(created, 77);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, 5, &created), 0);
    EXPECT_EQ(created, 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 0);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, 1, &created), 0);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, 0, &created), 0);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, 1, nullptr), 0);
    // Idle threads take the work: none is added.
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(2), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);

    const KmtThreadPoolHandle unlimited = new_pool(UNLIMITED_THREAD_POOL_THREADS);
    ASSERT_NE(unlimited, nullptr);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(unlimited, 4, &created), 0);
    EXPECT_EQ(created, 4);
    EXPECT_EQ(pool_int(unlimited, ATTR_TP_NUM_THREADS), 4);
}

// ---- function IDs ----------------------------------------------------------------

using ThreadPoolIds = PoolTest;

TEST_F(ThreadPoolIds, IdsAreSmallIntegersFromOneAndTheTableDoublesWhenFull) {
    // A pool of one thread starts with a table of one ID: nine held IDs
    // double it four times.
    constexpr int kHeld = 9;
    const KmtThreadPoolHandle pool = new_pool(1);
    ASSERT_NE(pool, nullptr);
    int ids[kHeld] = {};
    for (int i = 0; i < kHeld; ++i) {
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(11 * (i + 1)), &ids[i]), 0);
        EXPECT_EQ(ids[i], i + 1);
    }
    for (int i = 0; i < kHeld; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0);
        EXPECT_EQ(function_int(pool, ids[i], ATTR_TP_FUNCTION_RETURN_VALUE), 11 * (i + 1));
    }
    // The lowest free ID is given next.
    for (int i = 0; i < kHeld; ++i) ASSERT_TRUE(eventually([&] { return state_of(pool, ids[i]) == KMT_FUNCTION_COMPLETED; }));
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, ids[2]), 0);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, ids[6]), 0);
    int again = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(5), &again), 0);
    EXPECT_EQ(again, 3);
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(6), &again), 0);
    EXPECT_EQ(again, 7);
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(7), &again), 0);
    EXPECT_EQ(again, kHeld + 1);

    // An unlimited pool sizes its table like the default pool.
    const KmtThreadPoolHandle unlimited = new_pool(UNLIMITED_THREAD_POOL_THREADS);
    ASSERT_NE(unlimited, nullptr);
    const int count = default_pool_maximum() + 1;
    for (int i = 0; i < count; ++i) {
        int id = 0;
        ASSERT_EQ(KmtScheduleThreadPoolFunction(unlimited, return_data, as_data(i), &id), 0);
        EXPECT_EQ(id, i + 1);
    }
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(unlimited, i + 1, 0, 10000), 0);
        EXPECT_EQ(function_int(unlimited, i + 1, ATTR_TP_FUNCTION_RETURN_VALUE), i);
    }
}

TEST_F(ThreadPoolIds, PoolOwnedAndReleasedIdsCannotBeWaitedOn) {
    Job pool_owned, mine;
    pool_owned.gate = &gate;
    mine.gate = &gate;
    ScopedPool scoped(2, &gate);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &pool_owned, nullptr), 0);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &mine, &id), 0);
    ASSERT_EQ(id, 2) << "the pool's own function holds ID 1";
    int value = 77;
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, 1, 0), KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, 1, ATTR_TP_FUNCTION_EXECUTION_STATUS, &value),
              KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, 1), KMT_ERR_FUNCTION_ID_NOT_OWNED);

    ASSERT_TRUE(eventually([&] { return mine.started.load() == 1; }));
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 2, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
    // Released while it runs: the pool owns it now.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, id, 0), KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 0), KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE, &value),
              KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), KMT_ERR_FUNCTION_ID_NOT_OWNED);
    EXPECT_EQ(value, 77);

    for (int unknown : {0, -1, 3, 1000, INT_MAX}) {
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, unknown, 0), KMT_ERR_INVALID_FUNCTION_ID) << unknown;
        EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, unknown), KMT_ERR_INVALID_FUNCTION_ID) << unknown;
        EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, unknown, ATTR_TP_FUNCTION_EXECUTION_STATUS, &value),
                  KMT_ERR_INVALID_FUNCTION_ID)
            << unknown;
    }

    gate.open();
    // Both IDs are freed when their functions complete.
    EXPECT_TRUE(eventually([&] {
        return KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 0) == KMT_ERR_INVALID_FUNCTION_ID &&
               KmtWaitForThreadPoolFunctionCompletionEx(pool, 1, 0, 0) == KMT_ERR_INVALID_FUNCTION_ID;
    }));
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), KMT_ERR_INVALID_FUNCTION_ID);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, id, ATTR_TP_FUNCTION_EXECUTION_STATUS, &value),
              KMT_ERR_INVALID_FUNCTION_ID);
    int next = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(0), &next), 0);
    EXPECT_EQ(next, 1);
}

TEST_F(ThreadPoolIds, ReleasingACompletedFunctionFreesItsIdAtOnce) {
    const KmtThreadPoolHandle pool = new_pool(2);
    ASSERT_NE(pool, nullptr);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(4), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    ASSERT_TRUE(eventually([&] { return state_of(pool, id) == KMT_FUNCTION_COMPLETED; }));
    // Completed: waiting again returns at once, as often as asked.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 0), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING), 0);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), KMT_ERR_INVALID_FUNCTION_ID);
    int next = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(5), &next), 0);
    EXPECT_EQ(next, id);
}

// ---- function attributes and waits --------------------------------------------------

using ThreadPoolFunctions = PoolTest;

TEST_F(ThreadPoolFunctions, AttributesFollowTheExecutionStates) {
    Job running, queued;
    running.gate = &gate;
    running.result = 42;
    queued.result = -43;
    ScopedPool scoped(1, &gate);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    int running_id = 0, queued_id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &running, &running_id), 0);
    ASSERT_TRUE(eventually([&] { return running.started.load() == 1; }));
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &queued, &queued_id), 0);

    // Executing: no return value yet; thread and handle known.
    EXPECT_EQ(state_of(pool, running_id), KMT_FUNCTION_EXECUTING);
    int value = 77;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_RETURN_VALUE, &value),
              KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE);
    EXPECT_EQ(value, 77);
    unsigned thread = 0;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_THREAD_ID, &thread), 0);
    EXPECT_EQ(thread, running.thread.load());
    void *handle = nullptr;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_THREAD_HANDLE, &handle), 0);
    EXPECT_NE(handle, nullptr);
    for (int attribute : {0, 5, -1}) {
        EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, attribute, &value), KMT_ERR_INVALID_ATTRIBUTE)
            << attribute;
    }
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_EXECUTION_STATUS, nullptr),
              KMT_ERR_INVALID_PARAMETER);

    // Still queued: only its state is known.
    EXPECT_EQ(state_of(pool, queued_id), KMT_FUNCTION_SCHEDULED);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, queued_id, ATTR_TP_FUNCTION_RETURN_VALUE, &value),
              KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, queued_id, ATTR_TP_FUNCTION_THREAD_ID, &thread),
              KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, queued_id, ATTR_TP_FUNCTION_THREAD_HANDLE, &handle),
              KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE);

    // Time-outs on a function that does not end.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), KMT_ERR_TIMEOUT);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 50), KMT_ERR_TIMEOUT);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, queued_id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING, 20),
              KMT_ERR_TIMEOUT);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 2, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(running.finished.load(), 0);

    gate.open();
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, running_id, 0), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, queued_id, 0, -1), 0);
    EXPECT_EQ(function_int(pool, running_id, ATTR_TP_FUNCTION_RETURN_VALUE), 42);
    EXPECT_EQ(function_int(pool, queued_id, ATTR_TP_FUNCTION_RETURN_VALUE), -43);
    EXPECT_TRUE(eventually([&] { return state_of(pool, queued_id) == KMT_FUNCTION_COMPLETED; }));
    EXPECT_EQ(state_of(pool, running_id), KMT_FUNCTION_COMPLETED);
    EXPECT_EQ(static_cast<unsigned>(function_int(pool, queued_id, ATTR_TP_FUNCTION_THREAD_ID)), running.thread.load());
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), 0);
}

}  // namespace
