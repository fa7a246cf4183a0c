// Thread pools: the default pool, creation and handles, attributes,
// scheduling, function IDs and waits, and system failures.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <iterator>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "mt/thread_pool_test_util.h"
#include "support/latch.h"

namespace {

using namespace kez::test::pool;

// ---- the default pool ----------------------------------------------------------------
// The race comes first in the program: it is then the default pool's first use.

using ThreadPoolDefault = PoolTest;

struct RaceCaller {
    int index = 0, id = 0, return_value = -1, max_seen = 0;
    std::vector<int> status;  // schedule, wait, release
};

int race_function(void *data) {
    kez::os::sleep_ms(20);  // the functions overlap: every ID is held at once
    return 1000 + static_cast<RaceCaller *>(data)->index;
}

TEST_F(ThreadPoolDefault, SixteenThreadsRacingToFirstUseShareOnePool) {
    constexpr int kCallers = 16;
    const KmtThreadPoolHandle def = DEFAULT_THREAD_POOL_HANDLE;
    std::vector<RaceCaller> callers(kCallers);
    kez::test::Latch start(kCallers), all_scheduled(kCallers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCallers; ++i) {
        callers[i].index = i;
        threads.emplace_back([&, i] {
            RaceCaller &c = callers[i];
            start.arrive_and_wait();
            c.status.push_back(KmtScheduleThreadPoolFunction(def, race_function, &c, &c.id));
            all_scheduled.arrive_and_wait();  // every ID is held at once before any is given back
            c.status.push_back(KmtWaitForThreadPoolFunctionCompletion(def, c.id, 0));
            KmtGetThreadPoolFunctionAttribute(def, c.id, ATTR_TP_FUNCTION_RETURN_VALUE, &c.return_value);
            KmtGetThreadPoolAttribute(def, ATTR_TP_MAX_NUM_THREADS, &c.max_seen);
            c.status.push_back(KmtReleaseThreadPoolFunctionID(def, c.id));
        });
    }
    for (std::thread &t : threads) t.join();
    // One pool: sixteen IDs held together differ.
    std::set<int> ids;
    for (const RaceCaller &c : callers) {
        EXPECT_EQ(c.status, std::vector<int>(3, 0)) << c.index;
        EXPECT_EQ(c.return_value, 1000 + c.index);
        EXPECT_EQ(c.max_seen, default_pool_maximum()) << c.index;
        if (c.id >= 1 && c.id <= kCallers) ids.insert(c.id);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCallers));
}

void ignore_pool_event(KmtThreadPoolHandle, unsigned, int, void *) {}

TEST_F(ThreadPoolDefault, PoolWideOperationsAreRefusedButFunctionsRun) {
    const KmtThreadPoolHandle def = DEFAULT_THREAD_POOL_HANDLE;
    int created = -7, dummy = 0, id = 0;
    KmtThreadPoolCallbackID callback = nullptr;
    const int refused[] = {
        KmtDiscardThreadPool(def),
        _UP_KmtDiscardThreadPool(def),
        KmtSetThreadPoolAttribute(def, ATTR_TP_THREAD_PRIORITY, 0),
        KmtSetThreadPoolAttribute(def, ATTR_TP_MAX_NUM_THREADS, 1000),
        KmtInstallThreadPoolCallback(def, EVENT_TP_POOL_FUNCTION_BEGIN, ignore_pool_event, nullptr, &callback),
        KmtUninstallThreadPoolCallback(def, &dummy),
        KmtPreAllocThreadPoolThreads(def, 1, &created)};
    for (std::size_t i = 0; i < std::size(refused); ++i)
        EXPECT_EQ(refused[i], KMT_ERR_DEFAULT_POOL_NOT_ALLOWED) << "call " << i;
    EXPECT_EQ(callback, nullptr);
    EXPECT_EQ(created, -7);
    // The refusals changed nothing, and the pool still serves.
    EXPECT_EQ(pool_int(def, ATTR_TP_MAX_NUM_THREADS), default_pool_maximum());
    EXPECT_EQ(pool_int(def, ATTR_TP_THREAD_PRIORITY), 0);
    EXPECT_EQ(run_value(def, 31, &id), 31);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(def, id), 0);
}

// ---- creation and handles ----------------------------------------------------------------

using ThreadPoolCreation = PoolTest;

TEST_F(ThreadPoolCreation, ANewPoolHasNoThreadsAndDefaultAttributesAndBadArgumentsAreRefused) {
    auto *const untouched = reinterpret_cast<KmtThreadPoolHandle>(static_cast<std::uintptr_t>(0x5A5A));
    for (int max : {0, -2, -100, INT_MIN}) {
        KmtThreadPoolHandle refused = untouched;
        EXPECT_EQ(KmtNewThreadPool(max, &refused), KMT_ERR_INVALID_PARAMETER) << max;
        EXPECT_EQ(refused, untouched) << max;
    }
    for (int max : {1, UNLIMITED_THREAD_POOL_THREADS})
        EXPECT_EQ(KmtNewThreadPool(max, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtDiscardThreadPool(nullptr), 0);

    ScopedPool pool(3), unlimited(UNLIMITED_THREAD_POOL_THREADS);
    EXPECT_NE(pool.get(), unlimited.get());
    const int rows[][2] = {{ATTR_TP_MAX_NUM_THREADS, 3},
                           {ATTR_TP_NUM_THREADS, 0},
                           {ATTR_TP_NUM_ACTIVE_THREADS, 0},
                           {ATTR_TP_THREAD_PRIORITY, 0},
                           {ATTR_TP_FLAG_3, 1}};
    for (const auto &r : rows) EXPECT_EQ(pool_int(pool, r[0]), r[1]) << r[0];
    EXPECT_EQ(pool_int(unlimited, ATTR_TP_MAX_NUM_THREADS), UNLIMITED_THREAD_POOL_THREADS);
    unsigned long long stack = 0xAAAAAAAAAAAAAAAAULL;  // all 64 bits are written
    void *security = &stack;
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_STACK_SIZE, &stack), 0);
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(stack, 0u);
    EXPECT_EQ(security, nullptr);
}

int never_called(void *) { return -1; }
void never_called_back(KmtThreadPoolHandle, int, unsigned, int, void *) {}

TEST_F(ThreadPoolCreation, NullForgedAndDiscardedHandlesAreRefusedEverywhere) {
    // Memory that is not a pool: zero-filled (the mark of a discarded pool)
    // and one word off the live mark.
    auto zeros = std::make_unique<std::uint32_t[]>(128);
    auto near_miss = std::make_unique<std::uint32_t[]>(128);
    for (int i = 0; i < 128; ++i) near_miss[i] = 0x0BADF00Fu;
    KmtThreadPoolHandle discarded = nullptr;
    ASSERT_EQ(KmtNewThreadPool(2, &discarded), 0);
    EXPECT_EQ(run_value(discarded, 3), 3);
    ASSERT_EQ(KmtDiscardThreadPool(discarded), 0);  // the ID is still held: the discard frees it
    for (KmtThreadPoolHandle bad :
         {KmtThreadPoolHandle{}, reinterpret_cast<KmtThreadPoolHandle>(std::uintptr_t{1}),
          KmtThreadPoolHandle(zeros.get()), KmtThreadPoolHandle(near_miss.get()), discarded}) {
        SCOPED_TRACE(bad);
        // Every call but creation resolves the handle first and changes none
        // of its out values when it is not a live pool.
        int id = 77, value = 77, created = 77;
        KmtThreadPoolCallbackID callback = nullptr;
        const int statuses[] = {
            KmtScheduleThreadPoolFunction(bad, never_called, nullptr, &id),
            KmtScheduleThreadPoolFunctionAdv(bad, never_called, nullptr, THREAD_PRIORITY_POOL_DEFAULT,
                                             never_called_back, EVENT_TP_THREAD_FUNCTION_END, nullptr, 0, &id),
            KmtWaitForThreadPoolFunctionCompletion(bad, 1, 0),
            KmtWaitForThreadPoolFunctionCompletionEx(bad, 1, 0, 0),
            KmtGetThreadPoolFunctionAttribute(bad, 1, ATTR_TP_FUNCTION_EXECUTION_STATUS, &value),
            KmtReleaseThreadPoolFunctionID(bad, 1),
            KmtTerminateThreadPoolThread(bad, KmtGetCurrentThreadID(), 0),
            KmtPreAllocThreadPoolThreads(bad, 1, &created),
            KmtGetThreadPoolAttribute(bad, ATTR_TP_MAX_NUM_THREADS, &value),
            _UP_KmtGetThreadPoolAttribute(bad, ATTR_TP_MAX_NUM_THREADS, &value),
            KmtSetThreadPoolAttribute(bad, ATTR_TP_THREAD_PRIORITY, 0),
            KmtInstallThreadPoolCallback(bad, EVENT_TP_POOL_FUNCTION_END, ignore_pool_event, nullptr, &callback),
            KmtUninstallThreadPoolCallback(bad, &value),
            bad != nullptr ? KmtDiscardThreadPool(bad) : KMT_ERR_INVALID_HANDLE};  // discarding null is allowed
        for (std::size_t i = 0; i < std::size(statuses); ++i)
            EXPECT_EQ(statuses[i], KMT_ERR_INVALID_HANDLE) << "call " << i;
        EXPECT_EQ(std::vector<int>({id, value, created}), std::vector<int>(3, 77));
        EXPECT_EQ(callback, nullptr);
    }
    EXPECT_EQ(near_miss[0], 0x0BADF00Fu);
}

// ---- attributes ------------------------------------------------------------------

using ThreadPoolAttributes = PoolTest;

TEST_F(ThreadPoolAttributes, SettingsAreCheckedAndThreadSettingsChangeOnlyWhileThePoolHasNoThreads) {
    ScopedPool fresh(2), busy(2), unlimited(UNLIMITED_THREAD_POOL_THREADS);
    ASSERT_EQ(KmtPreAllocThreadPoolThreads(busy, 1, nullptr), 0);
    constexpr int kStack = ATTR_TP_THREAD_STACK_SIZE, kFlag = ATTR_TP_FLAG_3, kMax = ATTR_TP_MAX_NUM_THREADS,
                  kPriority = ATTR_TP_THREAD_PRIORITY, kUnlimited = UNLIMITED_THREAD_POOL_THREADS,
                  kHasThreads = KMT_ERR_POOL_HAS_THREADS, kNotRaised = KMT_ERR_MAX_THREADS_NOT_RAISED,
                  kBadPriority = KMT_ERR_INVALID_THREAD_PRIORITY, kBadValue = KMT_ERR_INVALID_PARAMETER,
                  kNoSuchAttribute = KMT_ERR_INVALID_ATTRIBUTE;
    // In order: each row sets one attribute and reads it back.
    const struct {
        KmtThreadPoolHandle pool;
        int attribute, value, status, after;
    } steps[] = {{fresh, kStack, 256 * 1024, 0, 256 * 1024},
                 {fresh, kFlag, 5, 0, 1},
                 {fresh, kFlag, 0, 0, 0},
                 {busy, kStack, 512 * 1024, kHasThreads, 0},
                 {busy, kFlag, 0, kHasThreads, 1},
                 {busy, kPriority, -1, 0, -1},  // the priority may change at any time
                 {fresh, kPriority, 16, kBadPriority, 0},
                 {fresh, kPriority, -16, kBadPriority, 0},
                 {fresh, kPriority, THREAD_PRIORITY_POOL_DEFAULT, kBadPriority, 0},
                 {fresh, kMax, 1, kNotRaised, 2},
                 {fresh, kMax, kUnlimited, kNotRaised, 2},
                 {fresh, kMax, 0, kBadValue, 2},
                 {fresh, kMax, -5, kBadValue, 2},
                 {fresh, kMax, 2, 0, 2},
                 {fresh, kMax, 4, 0, 4},
                 {unlimited, kMax, 5, kNotRaised, kUnlimited},
                 {unlimited, kMax, INT_MAX, kNotRaised, kUnlimited},
                 {unlimited, kMax, kUnlimited, kNotRaised, kUnlimited},
                 {fresh, ATTR_TP_NUM_THREADS, 3, kNoSuchAttribute, 0},  // the counts are read-only
                 {fresh, ATTR_TP_NUM_ACTIVE_THREADS, 3, kNoSuchAttribute, 0}};
    for (const auto &s : steps) {
        EXPECT_EQ(KmtSetThreadPoolAttribute(s.pool, s.attribute, s.value), s.status) << s.attribute << "=" << s.value;
        EXPECT_EQ(pool_int(s.pool, s.attribute), s.after) << s.attribute << "=" << s.value;
    }
    int value = 77, marker = 0;
    for (int attribute : {0, 8, -1, 1000}) {
        EXPECT_EQ(KmtGetThreadPoolAttribute(fresh, attribute, &value), kNoSuchAttribute) << attribute;
        EXPECT_EQ(KmtSetThreadPoolAttribute(fresh, attribute, 1), kNoSuchAttribute) << attribute;
    }
    EXPECT_EQ(KmtGetThreadPoolAttribute(fresh, kMax, nullptr), kBadValue);
    EXPECT_EQ(value, 77);
    void *security = nullptr;
    EXPECT_EQ(KmtSetThreadPoolAttribute(fresh, ATTR_TP_THREAD_SECURITY, static_cast<void *>(&marker)), 0);
    EXPECT_EQ(KmtGetThreadPoolAttribute(fresh, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(security, &marker);
    EXPECT_EQ(KmtSetThreadPoolAttribute(busy, ATTR_TP_THREAD_SECURITY, static_cast<void *>(&marker)), kHasThreads);
    EXPECT_EQ(KmtGetThreadPoolAttribute(busy, ATTR_TP_THREAD_SECURITY, &security), 0);
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(KmtSetThreadPoolAttribute(fresh, ATTR_TP_THREAD_SECURITY, static_cast<void *>(nullptr)), 0);
    // A thread made with the smaller stack runs functions.
    EXPECT_EQ(run_value(fresh, 12), 12);
    EXPECT_EQ(pool_int(fresh, ATTR_TP_NUM_THREADS), 1);
}

TEST_F(ThreadPoolAttributes, RaisingTheMaximumStartsQueuedFunctionsAndThreadsStayWhenIdle) {
    Job jobs[3];
    ScopedPool pool(1, &gate);
    for (Job &job : jobs) {
        job.gate = &gate;
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &job, nullptr), 0);
    }
    ASSERT_TRUE(eventually([&] { return jobs[0].started.load() == 1; }));
    kez::os::sleep_ms(30);
    EXPECT_EQ(jobs[1].started.load() + jobs[2].started.load(), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 1);

    ASSERT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 3), 0);
    // The gate is still shut: only new threads can have taken the others.
    EXPECT_TRUE(eventually([&] { return jobs[1].started.load() == 1 && jobs[2].started.load() == 1; }));
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 3);
    EXPECT_EQ((std::set<unsigned>{jobs[0].thread.load(), jobs[1].thread.load(), jobs[2].thread.load()}).size(), 3u);

    gate.open();
    EXPECT_TRUE(eventually([&] { return pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS) == 0; }));
    kez::os::sleep_ms(300);  // longer than any idle wait of a pool thread
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
}

int read_priority(void *data) {
    int priority = 99;
    if (KmtGetCurrentThreadPriority(&priority) != 0) priority = 98;
    static_cast<std::atomic<int> *>(data)->store(priority);
    return 0;
}

TEST_F(ThreadPoolAttributes, ThePoolPriorityAndAFunctionsOwnPriorityReachThePoolThread) {
    std::atomic<int> seen{99};
    ScopedPool pool(1);
    auto priority_seen = [&](int priority) {
        int id = 0;
        EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, read_priority, &seen, priority, nullptr, 0, nullptr, 0, &id),
                  0);
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
        EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
        return seen.exchange(99);
    };
    // Lowering needs no privilege anywhere: the pool below normal, the
    // function lower still.
    ASSERT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_THREAD_PRIORITY, -1), 0);
    EXPECT_EQ(priority_seen(THREAD_PRIORITY_POOL_DEFAULT), -1);
    EXPECT_EQ(priority_seen(-2), -2);
    // Back to the pool's priority for the next function, where this process
    // may raise a thread's priority again (Linux needs a privilege for it).
    bool can_raise = false;
    std::thread([&] {
        can_raise = KmtSetCurrentThreadPriority(-2) == 0 && KmtSetCurrentThreadPriority(-1) == 0;
    }).join();
    if (can_raise) {
        EXPECT_EQ(priority_seen(THREAD_PRIORITY_POOL_DEFAULT), -1);
    }
    for (int bad : {16, -16, -98, -100, 99}) {
        int id = 77;
        EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, read_priority, &seen, bad, nullptr, 0, nullptr, 0, &id),
                  KMT_ERR_INVALID_THREAD_PRIORITY)
            << bad;
        EXPECT_EQ(id, 77);
    }
}

// ---- scheduling and threads ----------------------------------------------------------

using ThreadPoolScheduling = PoolTest;

// Returns its place in the order the functions ran.
int take_turn(void *data) { return static_cast<std::atomic<int> *>(data)->fetch_add(1); }

TEST_F(ThreadPoolScheduling, WithOneThreadFunctionsWaitAndRunInOrderOnThatThread) {
    constexpr int kQueued = 20;
    Job first;
    first.gate = &gate;
    std::atomic<int> turns{0};
    std::vector<int> ids(kQueued);
    ScopedPool pool(1, &gate);
    int first_id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &first, &first_id), 0);
    ASSERT_TRUE(eventually([&] { return first.started.load() == 1; }));
    for (int &id : ids) ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &turns, &id), 0);
    kez::os::sleep_ms(30);
    EXPECT_EQ(turns.load(), 0) << "a queued function ran beside the first one";
    EXPECT_EQ(state_of(pool, ids[0]), KMT_FUNCTION_SCHEDULED);
    EXPECT_EQ(state_of(pool, first_id), KMT_FUNCTION_EXECUTING);
    gate.open();
    for (int i = 0; i < kQueued; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0) << i;
        EXPECT_EQ(function_int(pool, ids[i], ATTR_TP_FUNCTION_RETURN_VALUE), i);
        EXPECT_EQ(static_cast<unsigned>(function_int(pool, ids[i], ATTR_TP_FUNCTION_THREAD_ID)), first.thread.load());
    }
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
}

TEST_F(ThreadPoolScheduling, ThreadsAreMadeOnDemandAndPreAllocationStopsAtTheMaximum) {
    ScopedPool lazy(4), pool(3), unlimited(UNLIMITED_THREAD_POOL_THREADS);
    EXPECT_EQ(run_value(lazy, 1), 1);
    EXPECT_EQ(pool_int(lazy, ATTR_TP_NUM_THREADS), 1);
    const struct {
        KmtThreadPoolHandle pool;
        int count, status, created, threads;
    } steps[] = {{pool, -1, KMT_ERR_INVALID_PARAMETER, 77, 0},
                 {pool, 5, 0, 3, 3},
                 {pool, 1, 0, 0, 3},
                 {pool, 0, 0, 0, 3},
                 {unlimited, 4, 0, 4, 4}};
    for (const auto &s : steps) {
        int created = 77;
        EXPECT_EQ(KmtPreAllocThreadPoolThreads(s.pool, s.count, &created), s.status) << s.count;
        EXPECT_EQ(created, s.created) << s.count;
        EXPECT_EQ(pool_int(s.pool, ATTR_TP_NUM_THREADS), s.threads) << s.count;
    }
    EXPECT_EQ(KmtPreAllocThreadPoolThreads(pool, 1, nullptr), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 0);
    EXPECT_EQ(run_value(pool, 2), 2);  // idle threads take the work: none is added
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
}

// ---- function IDs and waits ------------------------------------------------------------

using ThreadPoolIds = PoolTest;

TEST_F(ThreadPoolIds, IdsAreSmallIntegersFromOneAndTheTableDoublesWhenFull) {
    // A pool of one thread starts with a table of one ID: nine held IDs
    // double it four times. An unlimited pool sizes it like the default pool.
    ScopedPool one(1), unlimited(UNLIMITED_THREAD_POOL_THREADS);
    for (KmtThreadPoolHandle pool : {one.get(), unlimited.get()}) {
        const int held = pool == one.get() ? 9 : default_pool_maximum() + 1;
        for (int i = 0; i < held; ++i) {
            int id = 0;
            ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(11 * i), &id), 0);
            EXPECT_EQ(id, i + 1);
        }
        for (int i = 0; i < held; ++i) {
            ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, i + 1, 0, 10000), 0);
            EXPECT_EQ(function_int(pool, i + 1, ATTR_TP_FUNCTION_RETURN_VALUE), 11 * i);
        }
    }
    // The lowest free ID is given next.
    for (int id = 1; id <= 9; ++id)
        ASSERT_TRUE(eventually([&] { return state_of(one, id) == KMT_FUNCTION_COMPLETED; }));
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(one, 3), 0);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(one, 7), 0);
    for (int expected : {3, 7, 10}) {
        int id = 0;
        ASSERT_EQ(KmtScheduleThreadPoolFunction(one, return_data, as_data(5), &id), 0);
        EXPECT_EQ(id, expected);
    }
}

TEST_F(ThreadPoolIds, PoolOwnedAndReleasedIdsCannotBeWaitedOnAndAWaiterWakesForItsOwnFunctionOnly) {
    Job pool_owned, mine;
    pool_owned.gate = mine.gate = &gate;
    ScopedPool pool(3, &gate);
    int id = 0, other = 0, value = 77;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &pool_owned, nullptr), 0);
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &mine, &id), 0);
    ASSERT_EQ(id, 2) << "the pool's own function holds ID 1";
    ASSERT_TRUE(eventually([&] { return mine.started.load() == 1; }));
    std::atomic<int> waited{1};
    std::thread waiter([&] { waited.store(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 30000)); });
    kez::os::sleep_ms(100);                                  // the waiter is waiting
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);  // released while it runs: the pool owns it now
    const int cases[][2] = {{1, KMT_ERR_FUNCTION_ID_NOT_OWNED}, {id, KMT_ERR_FUNCTION_ID_NOT_OWNED},
                            {0, KMT_ERR_INVALID_FUNCTION_ID},   {-1, KMT_ERR_INVALID_FUNCTION_ID},
                            {4, KMT_ERR_INVALID_FUNCTION_ID},   {INT_MAX, KMT_ERR_INVALID_FUNCTION_ID}};
    for (const auto &c : cases) {
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, c[0], 0), c[1]) << c[0];
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, c[0], 0, 0), c[1]) << c[0];
        EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, c[0], ATTR_TP_FUNCTION_EXECUTION_STATUS, &value), c[1]);
        EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, c[0]), c[1]) << c[0];
    }
    EXPECT_EQ(value, 77);
    // The released ID stays taken while its function runs, and another
    // function's end does not wake its waiter.
    EXPECT_EQ(run_value(pool, 5, &other), 5);
    EXPECT_EQ(other, 3);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, other), 0);
    kez::os::sleep_ms(20);
    EXPECT_EQ(waited.load(), 1);

    gate.open();
    waiter.join();
    EXPECT_EQ(waited.load(), 0);
    // Both IDs are freed when their functions complete, and given again.
    EXPECT_TRUE(eventually([&] {
        return KmtReleaseThreadPoolFunctionID(pool, id) == KMT_ERR_INVALID_FUNCTION_ID &&
               KmtReleaseThreadPoolFunctionID(pool, 1) == KMT_ERR_INVALID_FUNCTION_ID;
    }));
    EXPECT_EQ(run_value(pool, 6, &other), 6);
    EXPECT_EQ(other, 1);
}

TEST_F(ThreadPoolIds, AttributesAndWaitsFollowTheExecutionStates) {
    Job running, queued;
    running.gate = &gate;
    running.result = 42;
    queued.result = -43;
    ScopedPool pool(1, &gate);
    int running_id = 0, queued_id = 0, next = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &running, &running_id), 0);
    ASSERT_TRUE(eventually([&] { return running.started.load() == 1; }));
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &queued, &queued_id), 0);

    // Executing: no return value yet, thread and handle known. Queued: only
    // its state is known.
    EXPECT_EQ(state_of(pool, running_id), KMT_FUNCTION_EXECUTING);
    EXPECT_EQ(state_of(pool, queued_id), KMT_FUNCTION_SCHEDULED);
    EXPECT_EQ(static_cast<unsigned>(function_int(pool, running_id, ATTR_TP_FUNCTION_THREAD_ID)), running.thread.load());
    void *handle = nullptr;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_THREAD_HANDLE, &handle), 0);
    EXPECT_NE(handle, nullptr);
    constexpr int kNotYet = KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE;
    const int refused[][3] = {
        {running_id, ATTR_TP_FUNCTION_RETURN_VALUE, kNotYet}, {queued_id, ATTR_TP_FUNCTION_RETURN_VALUE, kNotYet},
        {queued_id, ATTR_TP_FUNCTION_THREAD_ID, kNotYet},     {queued_id, ATTR_TP_FUNCTION_THREAD_HANDLE, kNotYet},
        {running_id, 0, KMT_ERR_INVALID_ATTRIBUTE},           {running_id, 5, KMT_ERR_INVALID_ATTRIBUTE},
        {running_id, -1, KMT_ERR_INVALID_ATTRIBUTE}};
    for (const auto &r : refused)
        EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, r[0], r[1], &handle), r[2]) << r[0] << "/" << r[1];
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_EXECUTION_STATUS, nullptr),
              KMT_ERR_INVALID_PARAMETER);
    EXPECT_NE(handle, nullptr);

    // Time-outs on functions that do not end; a bad option.
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
    // Completed: waiting again returns at once, as often as asked; a release
    // frees the ID at once.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, running_id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING), 0);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, running_id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, running_id), KMT_ERR_INVALID_FUNCTION_ID);
    EXPECT_EQ(run_value(pool, 5, &next), 5);
    EXPECT_EQ(next, running_id);
}

// ---- system failures -------------------------------------------------------------

using ThreadPoolFailures = PoolTest;

int count_call(void *data) {
    static_cast<std::atomic<int> *>(data)->fetch_add(1);
    return 0;
}

TEST_F(ThreadPoolFailures, WhatCannotBeSetUpLeavesNothingBehind) {
    auto *const untouched = reinterpret_cast<KmtThreadPoolHandle>(static_cast<std::uintptr_t>(0x5A5A));
    KmtThreadPoolHandle refused = untouched;
    KezTest_ArmFault("os.cs_create", 1);
    EXPECT_EQ(KmtNewThreadPool(2, &refused), KMT_ERR_OUT_OF_MEMORY);
    KezTest_ArmFault("os.cs_create", 0);
    EXPECT_EQ(refused, untouched);

    // A function no thread could ever run; with an idle thread, one whose
    // completion event (the only system object it needs) is refused.
    const struct {
        const char *fault;
        int idle;
    } cases[] = {{"os.thread_create", 0}, {"os.event_create", 1}};
    for (const auto &[fault, idle] : cases) {
        SCOPED_TRACE(fault);
        std::atomic<int> calls{0};
        ScopedPool pool(2);
        ASSERT_EQ(KmtPreAllocThreadPoolThreads(pool, idle, nullptr), 0);
        int id = 77;
        KezTest_ArmFault(fault, 1);
        EXPECT_EQ(KmtScheduleThreadPoolFunction(pool, count_call, &calls, &id), KMT_ERR_SYSTEM_ERROR);
        KezTest_ArmFault(fault, 0);
        EXPECT_EQ(id, 77);
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, 1, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
        EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), idle);
        EXPECT_EQ(run_value(pool, 3, &id), 3);
        EXPECT_EQ(id, 1);
        EXPECT_EQ(calls.load(), 0);
        if (idle == 0) continue;
        // Only the caller's IDs need a completion event.
        KezTest_ArmFault(fault, 1);
        EXPECT_EQ(KmtScheduleThreadPoolFunction(pool, count_call, &calls, nullptr), 0);
        KezTest_ArmFault(fault, 0);
        EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));
    }
}

}  // namespace
