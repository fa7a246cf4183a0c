// Thread pools: the default pool, creation, handles and pool attributes.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "mt/thread_pool_test_util.h"
#include "support/latch.h"
#include "os/os.h"

namespace {

using namespace kez::test::pool;

// ---- the default pool -------------------------------------------------------------
// The race comes first in the program: it is then the default pool's first use.

using ThreadPoolDefault = PoolTest;

struct RaceShared {
    std::mutex mutex;
    std::set<unsigned> pool_threads;
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
};

struct RaceCaller {
    RaceShared *shared = nullptr;
    int index = 0;
    int schedule_status = -1, wait_status = -1, release_status = -1;
    int id = 0, return_value = -1, max_seen = 0, threads_seen = 0;
};

int race_function(void *data) {
    auto *caller = static_cast<RaceCaller *>(data);
    RaceShared &shared = *caller->shared;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.pool_threads.insert(KmtGetCurrentThreadID());
    }
    const int now = shared.running.fetch_add(1) + 1;
    int peak = shared.peak.load();
    while (now > peak && !shared.peak.compare_exchange_weak(peak, now)) {
    }
    kez::os::sleep_ms(20);
    shared.running.fetch_sub(1);
    return 1000 + caller->index;
}

TEST_F(ThreadPoolDefault, SixteenThreadsRacingToFirstUseShareOnePool) {
    constexpr int kCallers = 16;
    const int expected_max = default_pool_maximum();
    RaceShared shared;
    std::vector<RaceCaller> callers(kCallers);
    kez::test::Latch start(kCallers), all_scheduled(kCallers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCallers; ++i) {
        callers[i].shared = &shared;
        callers[i].index = i;
        threads.emplace_back([&, i] {
            RaceCaller &c = callers[i];
            start.arrive_and_wait();
            c.schedule_status = KmtScheduleThreadPoolFunction(DEFAULT_THREAD_POOL_HANDLE, race_function, &c, &c.id);
            // Every ID is held at once before any is given back.
            all_scheduled.arrive_and_wait();
            c.wait_status = KmtWaitForThreadPoolFunctionCompletion(DEFAULT_THREAD_POOL_HANDLE, c.id, 0);
            KmtGetThreadPoolFunctionAttribute(DEFAULT_THREAD_POOL_HANDLE, c.id, ATTR_TP_FUNCTION_RETURN_VALUE,
                                              &c.return_value);
            KmtGetThreadPoolAttribute(DEFAULT_THREAD_POOL_HANDLE, ATTR_TP_MAX_NUM_THREADS, &c.max_seen);
            KmtGetThreadPoolAttribute(DEFAULT_THREAD_POOL_HANDLE, ATTR_TP_NUM_THREADS, &c.threads_seen);
            c.release_status = KmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, c.id);
        });
    }
    for (std::thread &t : threads) t.join();

    std::set<int> ids;
    for (const RaceCaller &c : callers) {
        EXPECT_EQ(c.schedule_status, 0) << c.index;
        EXPECT_EQ(c.wait_status, 0) << c.index;
        EXPECT_EQ(c.release_status, 0) << c.index;
        EXPECT_EQ(c.return_value, 1000 + c.index);
        EXPECT_EQ(c.max_seen, expected_max) << c.index;
        EXPECT_GE(c.threads_seen, 1) << c.index;
        EXPECT_LE(c.threads_seen, expected_max) << c.index;
        EXPECT_GE(c.id, 1);
        EXPECT_LE(c.id, kCallers);
        ids.insert(c.id);
    }
    // One pool: sixteen IDs held together are sixteen different IDs, and no
    // more threads ran functions than the one maximum allows.
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCallers));
    EXPECT_LE(shared.pool_threads.size(), static_cast<std::size_t>(expected_max));
    EXPECT_LE(shared.peak.load(), expected_max);
    EXPECT_EQ(pool_int(DEFAULT_THREAD_POOL_HANDLE, ATTR_TP_MAX_NUM_THREADS), expected_max);
}

void ignore_pool_event(KmtThreadPoolHandle, unsigned, int, void *) {}

TEST_F(ThreadPoolDefault, PoolWideOperationsAreRefusedButFunctionsRun) {
    const KmtThreadPoolHandle def = DEFAULT_THREAD_POOL_HANDLE;
    int created = -7;
    KmtThreadPoolCallbackID callback = nullptr;
    EXPECT_EQ(KmtDiscardThreadPool(def), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(def, ATTR_TP_THREAD_PRIORITY, 0), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(def, ATTR_TP_MAX_NUM_THREADS, 1000), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(KmtInstallThreadPoolCallback(def, EVENT_TP_POOL_FUNCTION_BEGIN, ignore_pool_event, nullptr, &callback),
              KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(callback, nullptr);
    int dummy = 0;
    EXPECT_EQ(KmtUninstallThreadPoolCallback(def, &dummy), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(def, 1, &created), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);
    EXPECT_EQ(created, -7);
    EXPECT_EQ(_UP_KmtDiscardThreadPool(def), KMT_ERR_DEFAULT_POOL_NOT_ALLOWED);

    // The refusals changed nothing, and the pool still serves.
    EXPECT_EQ(pool_int(def, ATTR_TP_MAX_NUM_THREADS), default_pool_maximum());
    EXPECT_EQ(pool_int(def, ATTR_TP_THREAD_PRIORITY), 0);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(def, return_data, as_data(31), &id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(def, id, 0, 10000), 0);
    EXPECT_EQ(function_int(def, id, ATTR_TP_FUNCTION_RETURN_VALUE), 31);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(def, id), 0);
}

// ---- creation and handles ------------------------------------------------------------

using ThreadPoolCreation = PoolTest;

TEST_F(ThreadPoolCreation, BadMaximumsAndANullOutAreRefused) {
    auto *const untouched = reinterpret_cast<KmtThreadPoolHandle>(static_cast<std::uintptr_t>(0x5A5A));
    for (int max : {0, -2, -100, INT_MIN}) {
        KmtThreadPoolHandle pool = untouched;
        EXPECT_EQ(KmtNewThreadPool(max, &pool), KMT_ERR_INVALID_PARAMETER) << max;
        EXPECT_EQ(pool, untouched) << max;
    }
    EXPECT_EQ(KmtNewThreadPool(1, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtNewThreadPool(UNLIMITED_THREAD_POOL_THREADS, nullptr), KMT_ERR_INVALID_PARAMETER);
}

TEST_F(ThreadPoolCreation, ANewPoolHasNoThreadsAndDefaultAttributes) {
    const KmtThreadPoolHandle pool = new_pool(3);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool_int(pool, ATTR_TP_MAX_NUM_THREADS), 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_THREAD_PRIORITY), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_FLAG_3), 1);
    unsigned long long stack = 0xAAAAAAAAAAAAAAAAULL;  // all 64 bits are written
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, &stack), 0);
    EXPECT_EQ(stack, 0u);
    void *security = &stack;
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(security, nullptr);

    const KmtThreadPoolHandle unlimited = new_pool(UNLIMITED_THREAD_POOL_THREADS);
    ASSERT_NE(unlimited, nullptr);
    EXPECT_NE(unlimited, pool);
    EXPECT_EQ(pool_int(unlimited, ATTR_TP_MAX_NUM_THREADS), UNLIMITED_THREAD_POOL_THREADS);
    EXPECT_EQ(KmtDiscardThreadPool(nullptr), 0);
}

int never_called(void *) { return -1; }
void never_called_back(KmtThreadPoolHandle, int, unsigned, int, void *) {}

// Every call but creation resolves the handle first; what is not a live pool
// gives -14901 and changes none of the out values.
void expect_refused_everywhere(KmtThreadPoolHandle bad, const char *what) {
    SCOPED_TRACE(what);
    int id = 77, value = 77, created = 77;
    KmtThreadPoolCallbackID callback = nullptr;
    EXPECT_EQ(KmtScheduleThreadPoolFunction(bad, never_called, nullptr, &id), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(bad, never_called, nullptr, THREAD_PRIORITY_POOL_DEFAULT,
                                               never_called_back, EVENT_TP_THREAD_FUNCTION_END, nullptr, 0, &id),
              KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(id, 77);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(bad, 1, 0), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(bad, 1, 0, 0), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(bad, 1, ATTR_TP_FUNCTION_EXECUTION_STATUS, &value),
              KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(bad, 1), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtTerminateThreadPoolThread(bad, KmtGetCurrentThreadID(), 0), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(bad, 1, &created), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(created, 77);
    EXPECT_EQ(KmtGetThreadPoolAttribute(bad, ATTR_TP_MAX_NUM_THREADS, &value), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(KmtSetThreadPoolAttribute(bad, ATTR_TP_THREAD_PRIORITY, 0), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtInstallThreadPoolCallback(bad, EVENT_TP_POOL_FUNCTION_END, ignore_pool_event, nullptr, &callback),
              KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(callback, nullptr);
    EXPECT_EQ(KmtUninstallThreadPoolCallback(bad, &value), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(_UP_KmtGetThreadPoolAttribute(bad, ATTR_TP_MAX_NUM_THREADS, &value), KMT_ERR_INVALID_HANDLE);
}

TEST_F(ThreadPoolCreation, NullAndForgedHandlesAreRefused) {
    expect_refused_everywhere(nullptr, "null");
    const auto one = reinterpret_cast<KmtThreadPoolHandle>(static_cast<std::uintptr_t>(1));
    expect_refused_everywhere(one, "0x1");
    EXPECT_EQ(KmtDiscardThreadPool(one), KMT_ERR_INVALID_HANDLE);
    // Memory that is not a pool: zero-filled (the mark of a discarded pool)
    // and one word off the live mark.
    auto zeros = std::make_unique<std::uint32_t[]>(128);
    auto near_miss = std::make_unique<std::uint32_t[]>(128);
    for (int i = 0; i < 128; ++i) near_miss[i] = 0x0BADF00Fu;
    expect_refused_everywhere(zeros.get(), "zero-filled block");
    expect_refused_everywhere(near_miss.get(), "block with another mark");
    EXPECT_EQ(KmtDiscardThreadPool(zeros.get()), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtDiscardThreadPool(near_miss.get()), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(near_miss[0], 0x0BADF00Fu);
}

TEST_F(ThreadPoolCreation, ADiscardedPoolIsRefused) {
    KmtThreadPoolHandle pool = nullptr;
    ASSERT_EQ(KmtNewThreadPool(2, &pool), 0);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(3), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, id, 0), 0);
    ASSERT_EQ(KmtDiscardThreadPool(pool), 0);
    expect_refused_everywhere(pool, "discarded pool");
    EXPECT_EQ(KmtDiscardThreadPool(pool), KMT_ERR_INVALID_HANDLE);
}

// ---- attributes ------------------------------------------------------------------

using ThreadPoolAttributes = PoolTest;

TEST_F(ThreadPoolAttributes, ThreadSettingsChangeOnlyWhileThePoolHasNoThreads) {
    const KmtThreadPoolHandle pool = new_pool(2);
    ASSERT_NE(pool, nullptr);
    unsigned long long stack = 0;
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, 256u * 1024u), 0);
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, &stack), 0);
    EXPECT_EQ(stack, 256u * 1024u);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_FLAG_3, 5), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_FLAG_3), 1);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_FLAG_3, 0), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_FLAG_3), 0);
    int marker = 0;
    void *security = nullptr;
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, static_cast<void *>(&marker)), 0);
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(security, &marker);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, static_cast<void *>(nullptr)), 0);

    int created = 0;
    ASSERT_EQ(KmtPreAllocThreadPoolThreads(pool, 1, &created), 0);
    ASSERT_EQ(created, 1);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, 512u * 1024u), KMT_ERR_POOL_HAS_THREADS);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_FLAG_3, 1), KMT_ERR_POOL_HAS_THREADS);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, static_cast<void *>(&marker)),
              KMT_ERR_POOL_HAS_THREADS);
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, &stack), 0);
    EXPECT_EQ(stack, 256u * 1024u);
    EXPECT_EQ(pool_int(pool, ATTR_TP_FLAG_3), 0);
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(security, nullptr);
    // The priority may change at any time.
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, -1), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_THREAD_PRIORITY), -1);

    // The thread made with the smaller stack runs functions.
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(12), &id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), 12);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
}

TEST_F(ThreadPoolAttributes, TheMaximumCanOnlyBeRaisedAndUnknownIdsAreRefused) {
    const KmtThreadPoolHandle pool = new_pool(2);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 1), KMT_ERR_MAX_THREADS_NOT_RAISED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, UNLIMITED_THREAD_POOL_THREADS),
              KMT_ERR_MAX_THREADS_NOT_RAISED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, -5), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(pool_int(pool, ATTR_TP_MAX_NUM_THREADS), 2);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 2), 0);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 4), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_MAX_NUM_THREADS), 4);

    const KmtThreadPoolHandle unlimited = new_pool(UNLIMITED_THREAD_POOL_THREADS);
    ASSERT_NE(unlimited, nullptr);
    EXPECT_EQ(KmtSetThreadPoolAttribute(unlimited, ATTR_TP_MAX_NUM_THREADS, 5), KMT_ERR_MAX_THREADS_NOT_RAISED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(unlimited, ATTR_TP_MAX_NUM_THREADS, INT_MAX),
              KMT_ERR_MAX_THREADS_NOT_RAISED);
    EXPECT_EQ(KmtSetThreadPoolAttribute(unlimited, ATTR_TP_MAX_NUM_THREADS, UNLIMITED_THREAD_POOL_THREADS),
              KMT_ERR_MAX_THREADS_NOT_RAISED);
    EXPECT_EQ(pool_int(unlimited, ATTR_TP_MAX_NUM_THREADS), UNLIMITED_THREAD_POOL_THREADS);

    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, 16), KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, -16), KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, THREAD_PRIORITY_POOL_DEFAULT),
              KMT_ERR_INVALID_THREAD_PRIORITY);
    EXPECT_EQ(pool_int(pool, ATTR_TP_THREAD_PRIORITY), 0);

    int value = 77;
    for (int attribute : {0, 8, -1, 1000}) {
        EXPECT_EQ(KmtGetThreadPoolAttribute(pool, attribute, &value), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
        EXPECT_EQ(KmtSetThreadPoolAttribute(pool, attribute, 1), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
    }
    EXPECT_EQ(value, 77);
    // The counts are read-only.
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_NUM_THREADS, 3), KMT_ERR_INVALID_ATTRIBUTE);
    EXPECT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_NUM_ACTIVE_THREADS, 3), KMT_ERR_INVALID_ATTRIBUTE);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 0);
}

TEST_F(ThreadPoolAttributes, RaisingTheMaximumStartsQueuedFunctionsAndThreadsStayWhenIdle) {
    Job jobs[3];
    ScopedPool scoped(1, &gate);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    for (Job &job : jobs) {
        job.gate = &gate;
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &job, nullptr), 0);
    }
    ASSERT_TRUE(eventually([&] { return jobs[0].started.load() == 1; }));
    kez::os::sleep_ms(30);
    EXPECT_EQ(jobs[1].started.load() + jobs[2].started.load(), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 1);

    ASSERT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 3), 0);
    // The gate is still shut: only new threads can have taken the others.
    EXPECT_TRUE(eventually([&] { return jobs[1].started.load() == 1 && jobs[2].started.load() == 1; }));
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 3);
    std::set<unsigned> threads{jobs[0].thread.load(), jobs[1].thread.load(), jobs[2].thread.load()};
    EXPECT_EQ(threads.size(), 3u);

    gate.open();
    EXPECT_TRUE(eventually([&] { return pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS) == 0; }));
    kez::os::sleep_ms(300);  // longer than any idle wait of a pool thread
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
}

// Whether this process may raise a thread's priority again (Linux needs a
// privilege for it).
bool can_raise_priority() {
    bool ok = false;
    std::thread([&ok] {
        ok = KmtSetCurrentThreadPriority(-2) == 0 && KmtSetCurrentThreadPriority(-1) == 0;
    }).join();
    return ok;
}

int read_priority(void *data) {
    auto *seen = static_cast<std::atomic<int> *>(data);
    int priority = 99;
    if (KmtGetCurrentThreadPriority(&priority) != 0) priority = 98;
    seen->store(priority);
    return 0;
}

TEST_F(ThreadPoolAttributes, ThePoolPriorityAndAFunctionsOwnPriorityReachThePoolThread) {
    std::atomic<int> seen{99};
    ScopedPool scoped(1, &gate);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    // Lowering needs no privilege anywhere: the pool below normal, the
    // function lower still.
    ASSERT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, -1), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_THREAD_PRIORITY), -1);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, read_priority, &seen, &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(seen.load(), -1);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);

    ASSERT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, read_priority, &seen, -2, nullptr, 0, nullptr, 0, &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(seen.load(), -2);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);

    if (can_raise_priority()) {
        // Back to the pool's priority for the next function.
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, read_priority, &seen, &id), 0);
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
        EXPECT_EQ(seen.load(), -1);
        EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
    }

    for (int bad : {16, -16, -98, -100, 99}) {
        id = 77;
        EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, read_priority, &seen, bad, nullptr, 0, nullptr, 0, &id),
                  KMT_ERR_INVALID_THREAD_PRIORITY)
            << bad;
        EXPECT_EQ(id, 77);
    }
}

}  // namespace
