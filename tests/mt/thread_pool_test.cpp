// Thread pools and deferred calls: the default pool, handles and attributes, scheduling,
// IDs and waits, callbacks, leaving a function early, terminating a pool thread,
// discarding a busy pool, system failures, calls posted to a thread, and load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/latch.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using kez::test::eventually;
using Gate = std::atomic<bool>;  // open once true

#if defined(_WIN32)
constexpr int kLoad = 10000;  // thread switches are slow under Wine
#else
constexpr int kLoad = 100000;
#endif

KmtThreadPoolHandle fake_pool(std::uintptr_t value) { return reinterpret_cast<KmtThreadPoolHandle>(value); }

// Read into 64 bits (the stack size fills them all); the low 32 bits.
int pool_int(KmtThreadPoolHandle pool, int attribute) {
    long long value = -12345;
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, attribute, &value), 0) << "attribute " << attribute;
    return static_cast<int>(value);
}

int function_int(KmtThreadPoolHandle pool, int id, int attribute) {
    int value = -12345;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, id, attribute, &value), 0) << id << "/" << attribute;
    return value;
}
int state_of(KmtThreadPoolHandle pool, int id) { return function_int(pool, id, ATTR_TP_FUNCTION_EXECUTION_STATUS); }
unsigned thread_of(KmtThreadPoolHandle pool, int id) {
    return static_cast<unsigned>(function_int(pool, id, ATTR_TP_FUNCTION_THREAD_ID));
}

// Notes its thread, waits for its gate, if any, to open (in steps of a millisecond:
// points where a POSIX cancellation takes effect), and returns `result`.
struct Job {
    Gate *gate = nullptr;
    int result = 0;
    std::atomic<int> started{0}, finished{0};
    std::atomic<unsigned> thread{0};
};

int run_job(void *data) {
    auto *job = static_cast<Job *>(data);
    job->thread.store(KmtGetCurrentThreadID());
    job->started.fetch_add(1);
    if (job->gate != nullptr) eventually([job] { return job->gate->load(); }, 60s);
    job->finished.fetch_add(1);
    return job->result;
}

int return_data(void *data) { return static_cast<int>(reinterpret_cast<std::intptr_t>(data)); }
void *as_data(std::intptr_t value) { return reinterpret_cast<void *>(value); }
// Counts its calls; its place in the order the functions ran.
int take_turn(void *data) { return static_cast<std::atomic<int> *>(data)->fetch_add(1); }

// Runs fn(data) at `priority` and waits for it; its return value (-12345 when a step failed) and ID.
std::pair<int, int> run(KmtThreadPoolHandle pool, KmtThreadFunctionPtr fn, void *data,
                        int priority = THREAD_PRIORITY_POOL_DEFAULT) {
    int id = 0;
    EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, fn, data, priority, nullptr, 0, nullptr, 0, &id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    return {function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), id};
}
std::pair<int, int> run_value(KmtThreadPoolHandle pool, int value) { return run(pool, return_data, as_data(value)); }

// A pool discarded when its scope ends, after its gate opened. Declared after
// the data its functions and callbacks use, it goes before that data.
struct ScopedPool {
    explicit ScopedPool(int max_threads, Gate *gate = nullptr) : gate_(gate) {
        EXPECT_EQ(KmtNewThreadPool(max_threads, &pool_), 0) << max_threads;
    }
    ~ScopedPool() {
        if (gate_ != nullptr) gate_->store(true);
        EXPECT_EQ(KmtDiscardThreadPool(pool_), 0);  // null once discarded
    }
    operator KmtThreadPoolHandle() const { return pool_; }
    int discard() { return KmtDiscardThreadPool(std::exchange(pool_, nullptr)); }  // now, its gate as it is
    Gate *gate_;
    KmtThreadPoolHandle pool_ = nullptr;
};

// Every test runs under a watchdog, set-up and tear-down included.
class ThreadPool : public testing::Test {
    kez::test::Watchdog watchdog_{180s, testing::UnitTest::GetInstance()->current_test_info()->name()};

  protected:
    Gate gate{false};
};
using DeferredCalls = ThreadPool;

// The race comes first in the program: it is then the default pool's first use.
struct RaceCaller {
    int index = 0, id = 0, return_value = -1, max_seen = 0;
    std::vector<int> status;
};

int race_function(void *data) {
    kez::os::sleep_ms(20);  // the functions overlap: every ID is held at once
    return 1000 + static_cast<RaceCaller *>(data)->index;
}
void ignore_pool_event(KmtThreadPoolHandle, unsigned, int, void *) {}

TEST_F(ThreadPool, SixteenThreadsRacingToFirstUseOfTheDefaultPoolShareOneThatRefusesPoolWideOperations) {
    constexpr int kCallers = 16;
    const KmtThreadPoolHandle def = DEFAULT_THREAD_POOL_HANDLE;
    std::vector<RaceCaller> callers(kCallers);
    kez::test::Latch start(kCallers), all_scheduled(kCallers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCallers; ++i) {
        threads.emplace_back([&, i] {
            RaceCaller &c = callers[i];
            c.index = i;
            start.arrive_and_wait();
            c.status.push_back(KmtScheduleThreadPoolFunction(def, race_function, &c, &c.id));
            all_scheduled.arrive_and_wait();  // every ID is held at once before any is given back
            c.status.push_back(KmtWaitForThreadPoolFunctionCompletion(def, c.id, 0));
            c.status.push_back(
                KmtGetThreadPoolFunctionAttribute(def, c.id, ATTR_TP_FUNCTION_RETURN_VALUE, &c.return_value));
            c.status.push_back(KmtGetThreadPoolAttribute(def, ATTR_TP_MAX_NUM_THREADS, &c.max_seen));
            c.status.push_back(KmtReleaseThreadPoolFunctionID(def, c.id));
        });
    }
    for (std::thread &t : threads) t.join();
    std::set<int> ids;  // one pool: sixteen IDs held together differ
    for (const RaceCaller &c : callers) {
        EXPECT_EQ(c.status, std::vector<int>(5, 0)) << c.index;
        EXPECT_EQ(c.return_value, 1000 + c.index);
        EXPECT_EQ(c.max_seen, 2 * KmtGetNumProcessors() + 2) << c.index;
        if (c.id >= 1 && c.id <= kCallers) ids.insert(c.id);
    }
    EXPECT_EQ(ids.size(), std::size_t{kCallers});

    // Pool-wide operations are refused, change nothing, and the pool still serves.
    int created = -7, dummy = 0;
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
    EXPECT_EQ(pool_int(def, ATTR_TP_MAX_NUM_THREADS), 2 * KmtGetNumProcessors() + 2);
    EXPECT_EQ(pool_int(def, ATTR_TP_THREAD_PRIORITY), 0);
    const auto [result, id] = run_value(def, 31);
    EXPECT_EQ(result, 31);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(def, id), 0);
}

TEST_F(ThreadPool, NullForgedAndDiscardedHandlesAreRefusedEverywhere) {
    // Memory that is not a pool: zero-filled (the mark of a discarded pool)
    // and one word off the live mark.
    auto zeros = std::make_unique<std::uint32_t[]>(128);
    auto near_miss = std::make_unique<std::uint32_t[]>(128);
    std::fill_n(near_miss.get(), 128, 0x0BADF00Fu);
    KmtThreadPoolHandle discarded = nullptr;
    ASSERT_EQ(KmtNewThreadPool(2, &discarded), 0);
    EXPECT_EQ(run_value(discarded, 3).first, 3);
    ASSERT_EQ(KmtDiscardThreadPool(discarded), 0);  // the ID is still held: the discard frees it
    for (KmtThreadPoolHandle bad : {KmtThreadPoolHandle{}, fake_pool(1), KmtThreadPoolHandle(zeros.get()),
                                    KmtThreadPoolHandle(near_miss.get()), discarded}) {
        SCOPED_TRACE(bad);
        // Every call but creation resolves the handle first and then changes no out value.
        int id = 77, value = 77, created = 77;
        KmtThreadPoolCallbackID callback = nullptr;
        const int statuses[] = {
            KmtScheduleThreadPoolFunction(bad, return_data, nullptr, &id),
            KmtScheduleThreadPoolFunctionAdv(
                bad, return_data, nullptr, THREAD_PRIORITY_POOL_DEFAULT,
                +[](KmtThreadPoolHandle, int, unsigned, int, void *) {}, EVENT_TP_THREAD_FUNCTION_END, nullptr, 0, &id),
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

int read_priority(void *) {
    int priority = 99;
    return KmtGetCurrentThreadPriority(&priority) == 0 ? priority : 98;
}

TEST_F(ThreadPool, NewPoolsHaveDefaultsSettingsAreCheckedAndThreadSettingsNeedAPoolWithoutThreads) {
    constexpr int kStack = ATTR_TP_THREAD_STACK_SIZE, kFlag = ATTR_TP_FLAG_3, kMax = ATTR_TP_MAX_NUM_THREADS,
                  kPriority = ATTR_TP_THREAD_PRIORITY, kUnlimited = UNLIMITED_THREAD_POOL_THREADS,
                  kHasThreads = KMT_ERR_POOL_HAS_THREADS, kNotRaised = KMT_ERR_MAX_THREADS_NOT_RAISED,
                  kBadPriority = KMT_ERR_INVALID_THREAD_PRIORITY, kBadValue = KMT_ERR_INVALID_PARAMETER,
                  kNoSuchAttribute = KMT_ERR_INVALID_ATTRIBUTE, kDefault = THREAD_PRIORITY_POOL_DEFAULT;
    // A refused creation (a bad maximum, no memory for the pool's lock) leaves the handle as it was.
    const auto untouched = fake_pool(0x5A5A);
    const int refusals[][3] = {
        {0, 0, kBadValue}, {-2, 0, kBadValue}, {INT_MIN, 0, kBadValue}, {2, 1, KMT_ERR_OUT_OF_MEMORY}};
    for (const auto &[max, faults, status] : refusals) {
        KmtThreadPoolHandle refused = untouched;
        KezTest_ArmFault("os.cs_create", faults);
        EXPECT_EQ(KmtNewThreadPool(max, &refused), status) << max;
        KezTest_ArmFault("os.cs_create", 0);
        EXPECT_EQ(refused, untouched) << max;
    }
    EXPECT_EQ(KmtNewThreadPool(1, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtDiscardThreadPool(nullptr), 0);

    ScopedPool fresh(2), busy(2), one(1), unlimited(UNLIMITED_THREAD_POOL_THREADS);
    const KmtThreadPoolHandle pools[] = {fresh, busy, one, unlimited};
    constexpr int F = 0, B = 1, O = 2, U = 3;          // rows name a pool by its index
    unsigned long long stack = 0xAAAAAAAAAAAAAAAAULL;  // all 64 bits are written
    EXPECT_EQ(KmtGetThreadPoolAttribute(busy, ATTR_TP_THREAD_STACK_SIZE, &stack), 0);
    EXPECT_EQ(stack, 0u);
    // Pre-allocation stops at the maximum: pool, count, status, created, threads.
    const int allocs[][5] = {
        {B, -1, KMT_ERR_INVALID_PARAMETER, 77, 0}, {B, 5, 0, 2, 2}, {B, 1, 0, 0, 2}, {U, 4, 0, 4, 4}};
    for (const auto &[pool, count, status, created, threads] : allocs) {
        int made = 77;
        EXPECT_EQ(KmtPreAllocThreadPoolThreads(pools[pool], count, &made), status) << count;
        EXPECT_EQ(made, created) << count;
        EXPECT_EQ(pool_int(pools[pool], ATTR_TP_NUM_THREADS), threads) << count;
    }
    // Pool, attribute, value set, status, value read back, in order. The priority may
    // change at any time; the thread counts are read-only.
    // clang-format off
    const int steps[][5] = {
        {F, kStack, 256 * 1024, 0, 256 * 1024},  {F, kFlag, 5, 0, 1},                 {F, kFlag, 0, 0, 0},
        {B, kStack, 512 * 1024, kHasThreads, 0}, {B, kFlag, 0, kHasThreads, 1},       {B, kPriority, -1, 0, -1},
        {O, kPriority, -1, 0, -1},               {F, kPriority, 16, kBadPriority, 0}, {F, kMax, 1, kNotRaised, 2},
        {F, kPriority, -16, kBadPriority, 0},    {F, kPriority, kDefault, kBadPriority, 0},
        {F, kMax, kUnlimited, kNotRaised, 2},    {F, kMax, 0, kBadValue, 2},          {F, kMax, -5, kBadValue, 2},
        {F, kMax, 2, 0, 2},                      {F, kMax, 4, 0, 4},
        {U, kMax, 5, kNotRaised, kUnlimited},    {U, kMax, kUnlimited, kNotRaised, kUnlimited},
        {F, ATTR_TP_NUM_THREADS, 3, kNoSuchAttribute, 0}, {B, ATTR_TP_NUM_ACTIVE_THREADS, 3, kNoSuchAttribute, 0}};
    // clang-format on
    for (const auto &[pool, attribute, set, status, after] : steps) {
        EXPECT_EQ(KmtSetThreadPoolAttribute(pools[pool], attribute, set), status) << attribute << "=" << set;
        EXPECT_EQ(pool_int(pools[pool], attribute), after) << attribute << "=" << set;
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
    // A thread made on demand, with the smaller stack, runs functions.
    EXPECT_EQ(run_value(fresh, 12).first, 12);
    EXPECT_EQ(pool_int(fresh, ATTR_TP_NUM_THREADS), 1);

    // The pool priority and a function's own reach the pool thread. Lowering
    // needs no privilege; raising back to the pool's priority may need one.
    EXPECT_EQ(run(one, read_priority, nullptr).first, -1);
    EXPECT_EQ(run(one, read_priority, nullptr, -2).first, -2);
    auto lower_and_raise = [] { return KmtSetCurrentThreadPriority(-2) == 0 && KmtSetCurrentThreadPriority(-1) == 0; };
    EXPECT_EQ(std::async(std::launch::async, lower_and_raise).get() ? run(one, read_priority, nullptr).first : -1, -1);
    kez::os::sleep_ms(300);  // longer than any idle wait of a pool thread: idle threads stay
    EXPECT_EQ(pool_int(one, ATTR_TP_NUM_THREADS), 1);
}

TEST_F(ThreadPool, OneThreadRunsQueuedFunctionsInOrderAndAttributesAndWaitsFollowTheirStates) {
    constexpr int kQueued = 20;
    Job running{&gate, 42};
    std::atomic<int> turns{0};
    std::vector<int> ids(kQueued);
    ScopedPool pool(1, &gate);
    int running_id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &running, &running_id), 0);
    ASSERT_TRUE(eventually([&] { return running.started.load() == 1; }));
    // A pool of one thread starts with a table of one ID: 21 held IDs double it five times.
    for (int i = 0; i < kQueued; ++i) {
        ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &turns, &ids[i]), 0);
        EXPECT_EQ(ids[i], i + 2);
    }
    kez::os::sleep_ms(30);
    EXPECT_EQ(turns.load(), 0) << "a queued function ran beside the first one";

    // Executing: no return value yet, thread and handle known. Queued: only its state.
    const int queued = ids[0];
    EXPECT_EQ(state_of(pool, running_id), KMT_FUNCTION_EXECUTING);
    EXPECT_EQ(state_of(pool, queued), KMT_FUNCTION_SCHEDULED);
    EXPECT_EQ(thread_of(pool, running_id), running.thread.load());
    void *handle = nullptr;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, running_id, ATTR_TP_FUNCTION_THREAD_HANDLE, &handle), 0);
    EXPECT_NE(handle, nullptr);
    constexpr int kNotYet = KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE;
    const int refused[][3] = {
        {running_id, ATTR_TP_FUNCTION_RETURN_VALUE, kNotYet}, {queued, ATTR_TP_FUNCTION_RETURN_VALUE, kNotYet},
        {queued, ATTR_TP_FUNCTION_THREAD_ID, kNotYet},        {queued, ATTR_TP_FUNCTION_THREAD_HANDLE, kNotYet},
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
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, queued, OPT_TP_PROCESS_EVENTS_WHILE_WAITING, 20),
              KMT_ERR_TIMEOUT);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 2, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(running.finished.load(), 0);

    gate.store(true);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, running_id, 0), 0);
    EXPECT_EQ(function_int(pool, running_id, ATTR_TP_FUNCTION_RETURN_VALUE), 42);
    for (int i = 0; i < kQueued; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, i == 0 ? -1 : 10000), 0) << i;
        EXPECT_EQ(function_int(pool, ids[i], ATTR_TP_FUNCTION_RETURN_VALUE), i);
        EXPECT_EQ(thread_of(pool, ids[i]), running.thread.load());
    }
    EXPECT_TRUE(eventually([&] { return state_of(pool, ids.back()) == KMT_FUNCTION_COMPLETED; }));
    EXPECT_EQ(state_of(pool, running_id), KMT_FUNCTION_COMPLETED);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
    // Completed: waiting again returns at once, as often as asked; a release
    // frees the ID at once, and the lowest free ID is given next.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletion(pool, running_id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING), 0);
    for (int id : {7, running_id}) EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0) << id;
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, running_id, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, running_id), KMT_ERR_INVALID_FUNCTION_ID);
    for (int expected : {1, 7, 22}) EXPECT_EQ(run_value(pool, 5), std::pair(5, expected));
}

TEST_F(ThreadPool, PoolOwnedAndReleasedIdsCannotBeWaitedOnAndAWaiterWakesForItsOwnFunctionOnly) {
    Job pool_owned{&gate}, mine{&gate};
    ScopedPool pool(3, &gate);
    int id = 0, value = 77;
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
    EXPECT_EQ(run_value(pool, 5), std::pair(5, 3));
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, 3), 0);
    kez::os::sleep_ms(20);
    EXPECT_EQ(waited.load(), 1);

    gate.store(true);
    waiter.join();
    EXPECT_EQ(waited.load(), 0);
    // Both IDs are freed when their functions complete, and given again.
    EXPECT_TRUE(eventually([&] {
        return KmtReleaseThreadPoolFunctionID(pool, id) == KMT_ERR_INVALID_FUNCTION_ID &&
               KmtReleaseThreadPoolFunctionID(pool, 1) == KMT_ERR_INVALID_FUNCTION_ID;
    }));
    EXPECT_EQ(run_value(pool, 6), std::pair(6, 1));
}

// Pool events are logged as 1000 + event, a function body as kBody.
constexpr unsigned kPoolEvent = 1000, kBody = 500;
constexpr unsigned kBothFunctionEvents = EVENT_TP_THREAD_FUNCTION_BEGIN | EVENT_TP_THREAD_FUNCTION_END;
constexpr unsigned kPoolBegin = kPoolEvent + EVENT_TP_POOL_FUNCTION_BEGIN,
                   kPoolEnd = kPoolEvent + EVENT_TP_POOL_FUNCTION_END;

struct Entry {
    int function;  // function ID; for kBody the caller's index
    unsigned event;
    int value;
    unsigned thread;
    KmtThreadPoolHandle pool;
};

struct EventLog {
    std::mutex mutex;
    std::vector<Entry> entries;
    void add(const Entry &e) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(e);
    }
    std::vector<Entry> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    // The entries of one function in the order they came (its callbacks by
    // ID, its body by the caller's index), or only their events.
    std::vector<Entry> of(int id, int body_index = -1) {
        std::vector<Entry> out;
        for (const Entry &e : all())
            if (e.event == kBody ? e.function == body_index : e.function == id) out.push_back(e);
        return out;
    }
    std::vector<unsigned> events_of(int id, int body_index = -1) {
        std::vector<unsigned> out;
        for (const Entry &e : of(id, body_index)) out.push_back(e.event);
        return out;
    }
};

// Every callback first tries to leave a pool function, which it is not
// running whatever its thread: the exit must be refused (had it been taken,
// the callback's entry would be missing).
std::atomic<int> g_exits_not_refused{0}, g_exits_not_left{0};

void log_function_event(KmtThreadPoolHandle pool, int id, unsigned event, int value, void *data) {
    if (KmtExitThreadPoolThread(55) != KMT_ERR_NOT_A_POOL_THREAD) g_exits_not_refused.fetch_add(1);
    static_cast<EventLog *>(data)->add({id, event, value, KmtGetCurrentThreadID(), pool});
}

// Function events carry the function ID as value, thread events the thread id.
void log_pool_event(KmtThreadPoolHandle pool, unsigned event, int value, void *data) {
    if (KmtExitThreadPoolThread(55) != KMT_ERR_NOT_A_POOL_THREAD) g_exits_not_refused.fetch_add(1);
    const bool function_event = event == EVENT_TP_POOL_FUNCTION_BEGIN || event == EVENT_TP_POOL_FUNCTION_END;
    static_cast<EventLog *>(data)->add(
        {function_event ? value : 0, kPoolEvent + event, value, KmtGetCurrentThreadID(), pool});
}

struct Body {
    EventLog *log;
    int index, result;
    bool exits = false;  // leaves through an exit with `result`, three frames down
};

[[gnu::noinline]] void exit_at_depth(int depth, int value) {
    depth == 0 ? static_cast<void>(KmtExitThreadPoolThread(value)) : exit_at_depth(depth - 1, value);
    g_exits_not_left.fetch_add(1);  // not reached: the frames are left by the exit
}

int logged_body(void *data) {
    auto *b = static_cast<Body *>(data);
    b->log->add({b->index, kBody, 0, KmtGetCurrentThreadID(), nullptr});
    if (b->exits) exit_at_depth(3, b->result);
    return b->result;
}

// Schedules logged_body(data) with log_function_event for `mask`, delivered
// on `thread` (0: on the pool thread).
int schedule_logged(KmtThreadPoolHandle pool, void *data, unsigned mask, EventLog *log, unsigned thread, int *id,
                    int priority = THREAD_PRIORITY_POOL_DEFAULT) {
    return KmtScheduleThreadPoolFunctionAdv(pool, logged_body, data, priority, log_function_event, mask, log, thread,
                                            id);
}

struct Canary {
    std::uint64_t head = 0xC0FFEE0DDBA11ULL;
    std::atomic<int> calls{0};
    std::uint64_t tail = 0x5EED5EED5EEDULL;
};
void touch_canary(void *data) { static_cast<Canary *>(data)->calls.fetch_add(1); }

// Two threads that receive callbacks: one processes events when told to, the
// other ends without processing. Callbacks for the first arrive once each,
// in order, only when it processes, even after their pool was discarded; the
// second's are dropped (and freed: the leak checker would tell), and so are
// the deferred calls posted to it, untouched (the canary is the test's: a
// free by the engine shows as a double free); threads started later, which
// may be given its id (Windows reuses ids soon), never see them.
TEST_F(ThreadPool, ThroughACallbackThreadTheyArriveOnceEachInOrderOrGoWithIt) {
    constexpr int kFunctions = 40;
    EventLog log;
    auto canary = std::make_unique<Canary>();
    ScopedPool pool(3);
    const KmtThreadPoolHandle handle = pool;
    std::atomic<unsigned> ids_of[2] = {0, 0};
    std::vector<std::size_t> sizes;  // before, after one and after a second processing
    std::thread receivers[2];
    for (int r = 0; r < 2; ++r) {
        receivers[r] = std::thread([&, r] {
            ProcessSystemEvents();  // a thread the engine has seen
            ids_of[r].store(KmtGetCurrentThreadID());
            eventually([&] { return gate.load(); }, 60s);
            if (r == 1) return;
            sizes.push_back(log.all().size());
            ProcessSystemEvents();
            sizes.push_back(log.all().size());
            ProcessSystemEvents();
            sizes.push_back(log.all().size());
        });
    }
    ASSERT_TRUE(eventually([&] { return ids_of[0].load() != 0 && ids_of[1].load() != 0; }));
    std::vector<Body> bodies(kFunctions);
    std::vector<int> ids(kFunctions);
    std::vector<unsigned> pool_threads(kFunctions);
    for (int i = 0; i < kFunctions; ++i) {
        bodies[i] = {&log, i, 1000 + i};
        EXPECT_EQ(schedule_logged(pool, &bodies[i], kBothFunctionEvents, &log, ids_of[i % 2].load(), &ids[i]), 0);
    }
    for (int i = 0; i < kFunctions; ++i) {
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0);
        pool_threads[i] = thread_of(pool, ids[i]);
    }
    EXPECT_EQ(pool.discard(), 0);  // the IDs are still held: the discard frees them
    for (unsigned id : {ids_of[1].load(), ids_of[1].load(), 0u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(PostDeferredCallToThread(touch_canary, canary.get(), id), 0) << id;
        EXPECT_EQ(_UP_PostDeferredCallToThread(touch_canary, canary.get(), id), 0) << id;
    }
    gate.store(true);
    receivers[1].join();
    for (int i = 0; i < 64; ++i) std::thread([] { ProcessSystemEvents(); }).join();
    receivers[0].join();
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(std::tuple(canary->head, canary->calls.load(), canary->tail),
              std::tuple(0xC0FFEE0DDBA11ULL, 0, 0x5EED5EED5EEDULL));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{kFunctions, 2 * kFunctions, 2 * kFunctions}));
    for (int i = 0; i < kFunctions; ++i) {
        SCOPED_TRACE(i);
        const std::vector<Entry> seen = log.of(ids[i], i);
        if (i % 2 == 1) {
            EXPECT_EQ(log.events_of(ids[i], i), std::vector<unsigned>{kBody});
            continue;
        }
        ASSERT_EQ(log.events_of(ids[i], i),
                  (std::vector<unsigned>{kBody, EVENT_TP_THREAD_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_END}));
        EXPECT_EQ((std::vector<unsigned>{seen[0].thread, seen[1].thread, seen[2].thread}),
                  (std::vector<unsigned>{pool_threads[i], ids_of[0].load(), ids_of[0].load()}));
        EXPECT_EQ((std::vector<int>{seen[1].value, seen[2].value}), (std::vector<int>{0, 1000 + i}));
        EXPECT_EQ((std::vector{seen[1].pool, seen[2].pool}), std::vector(2, handle));
    }
}

// Comes after the other callback tests: their callbacks' exits were refused too.
TEST_F(ThreadPool, OnThePoolThreadEachEventReachesItsOneCallbackOnceAroundTheFunctionOrItsExit) {
    constexpr int kFunctions = 20;
    EventLog log, removed, thread_log;
    ScopedPool pool(1);
    const KmtThreadPoolHandle handle = pool;
    KmtThreadPoolCallbackID begin = nullptr, end = nullptr, threads = nullptr, other = nullptr;
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN, log_pool_event, &removed, &begin), 0);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_END, log_pool_event, &log, &end), 0);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_THREAD_BEGIN | EVENT_TP_POOL_THREAD_END, log_pool_event,
                                           &thread_log, &threads),
              0);
    EXPECT_EQ((std::set<KmtThreadPoolCallbackID>{nullptr, begin, end, threads}).size(), 4u);
    constexpr int kTaken = KMT_ERR_CALLBACK_ALREADY_INSTALLED, kBad = KMT_ERR_INVALID_PARAMETER;
    constexpr unsigned kBegin = EVENT_TP_POOL_FUNCTION_BEGIN, kEnd = EVENT_TP_POOL_FUNCTION_END;
    const std::pair<unsigned, int> refused[] = {
        {kBegin, kTaken}, {kBegin | kEnd, kTaken}, {EVENT_TP_POOL_THREAD_END, kTaken}, {0, kBad}, {4, kBad}, {32, kBad},
        {8 | 4, kBad},    {0xFFFFFFFF, kBad}};
    for (const auto &[mask, status] : refused)
        EXPECT_EQ(KmtInstallThreadPoolCallback(pool, mask, log_pool_event, &log, &other), status) << mask;
    EXPECT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_END, nullptr, &log, &other), kBad);
    EXPECT_EQ(other, nullptr);
    // Uninstalling frees the events for another callback; unknown IDs are refused.
    int not_an_id = 0;
    EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, begin), 0);
    for (KmtThreadPoolCallbackID unknown :
         {begin, static_cast<KmtThreadPoolCallbackID>(&not_an_id), KmtThreadPoolCallbackID{}})
        EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, unknown), KMT_ERR_CALLBACK_NOT_INSTALLED);
    EXPECT_EQ(_UP_KmtUninstallThreadPoolCallback(pool, &not_an_id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN, log_pool_event, &log, &other), 0);
    ASSERT_EQ(KmtPreAllocThreadPoolThreads(pool, 1, nullptr), 0);

    // Every other function leaves through an exit, on the pool's one thread:
    // each exit leaves it fit for the next function.
    std::vector<Body> bodies(kFunctions);
    std::vector<int> ids(kFunctions);
    for (int i = 0; i < kFunctions; ++i) {
        bodies[i] = {&log, i, 7 * i - 3, i % 2 == 1};
        ASSERT_EQ(schedule_logged(pool, &bodies[i], kBothFunctionEvents, &log, 0, &ids[i]), 0);
    }
    unsigned pool_thread = 0;
    for (int i = 0; i < kFunctions; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0);
        // The end callbacks have run when the wait returns.
        const std::vector<Entry> seen = log.of(ids[i], i);
        ASSERT_EQ(log.events_of(ids[i], i), (std::vector<unsigned>{kPoolBegin, EVENT_TP_THREAD_FUNCTION_BEGIN, kBody,
                                                                   EVENT_TP_THREAD_FUNCTION_END, kPoolEnd}));
        EXPECT_EQ(function_int(pool, ids[i], ATTR_TP_FUNCTION_RETURN_VALUE), 7 * i - 3);
        if (i == 0) pool_thread = thread_of(pool, ids[0]);
        EXPECT_EQ(thread_of(pool, ids[i]), pool_thread);
        for (const Entry &e : seen) {
            EXPECT_EQ(e.thread, pool_thread) << "event " << e.event;
            EXPECT_EQ(e.pool, e.event == kBody ? nullptr : handle) << e.event;
        }
        EXPECT_EQ((std::vector<int>{seen[0].value, seen[1].value, seen[3].value, seen[4].value}),
                  (std::vector<int>{ids[i], 0, 7 * i - 3, ids[i]}));
    }
    EXPECT_TRUE(eventually([&] { return state_of(pool, ids.back()) == KMT_FUNCTION_COMPLETED; }));
    EXPECT_EQ(removed.all().size(), 0u);
    EXPECT_EQ(g_exits_not_left.load(), 0);
    // Nor may a callback, the test's thread or a thread of its own leave.
    EXPECT_EQ(g_exits_not_refused.load(), 0);
    EXPECT_EQ(KmtExitThreadPoolThread(1), KMT_ERR_NOT_A_POOL_THREAD);
    EXPECT_EQ(_UP_KmtExitThreadPoolThread(1), KMT_ERR_NOT_A_POOL_THREAD);
    EXPECT_EQ(std::async(std::launch::async, [] { return KmtExitThreadPoolThread(2); }).get(),
              KMT_ERR_NOT_A_POOL_THREAD);

    // Only the events of the mask are delivered; bad masks and priorities are refused.
    for (KmtThreadPoolCallbackID id : {other, end}) ASSERT_EQ(KmtUninstallThreadPoolCallback(pool, id), 0);
    for (unsigned mask : {0u, unsigned{EVENT_TP_THREAD_FUNCTION_BEGIN}, unsigned{EVENT_TP_THREAD_FUNCTION_END}}) {
        Body plain{&log, 100 + static_cast<int>(mask), 5};
        int id = 0;
        ASSERT_EQ(schedule_logged(pool, &plain, mask, &log, 0, &id), 0);
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
        std::vector<unsigned> expected{kBody};
        if (mask == EVENT_TP_THREAD_FUNCTION_BEGIN) expected.insert(expected.begin(), mask);
        if (mask == EVENT_TP_THREAD_FUNCTION_END) expected.push_back(mask);
        EXPECT_EQ(log.events_of(id, plain.index), expected) << "mask " << mask;
    }
    constexpr int kDefault = THREAD_PRIORITY_POOL_DEFAULT;
    const int bad[][2] = {{4, kDefault}, {3 | 4, kDefault}, {8, kDefault}, {INT_MIN, kDefault},
                          {0, 16},       {0, -16},          {0, -98},      {0, 99}};
    for (const auto &[mask, priority] : bad) {
        int id = 77;
        EXPECT_EQ(schedule_logged(pool, &bodies[0], mask, &log, 0, &id, priority),
                  priority == kDefault ? KMT_ERR_INVALID_PARAMETER : KMT_ERR_INVALID_THREAD_PRIORITY)
            << mask << "/" << priority;
        EXPECT_EQ(id, 77);
    }
    // The one thread began once and ended once, at the discard, the events on
    // it, its id their value.
    ASSERT_EQ(pool.discard(), 0);
    EXPECT_EQ(thread_log.events_of(0),
              (std::vector<unsigned>{kPoolEvent + EVENT_TP_POOL_THREAD_BEGIN, kPoolEvent + EVENT_TP_POOL_THREAD_END}));
    for (const Entry &e : thread_log.all())
        EXPECT_EQ(std::tuple(e.thread, static_cast<unsigned>(e.value), e.pool),
                  std::tuple(pool_thread, pool_thread, handle));
}

TEST_F(ThreadPool, TerminatingEndsTheFunctionWithTheExitCodeAndTheNextRunsOnANewThread) {
#if (defined(KEZ_TEST_ASAN) && !defined(_WIN32)) || defined(KEZ_TEST_TSAN)
    // ASan takes the unwinding for a stack overflow, TSan the thread-end locks for races.
    GTEST_SKIP() << "the sanitizers do not follow a cancelled POSIX thread";
#endif
    Job caller_owned{&gate}, pool_owned{&gate};
    ScopedPool pool(1, &gate);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &caller_owned, &id), 0);
    ASSERT_TRUE(eventually([&] { return caller_owned.started.load() == 1; }));
    const unsigned victim = caller_owned.thread.load();
    ASSERT_EQ(KmtTerminateThreadPoolThread(pool, victim, 33), 0);
    // The wait returns for a terminated function.
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(state_of(pool, id), KMT_FUNCTION_TERMINATED);
    EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), 33);
    EXPECT_EQ(thread_of(pool, id), victim);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 0);
    for (unsigned not_in_pool : {victim, KmtGetCurrentThreadID(), 0u})
        EXPECT_EQ(KmtTerminateThreadPoolThread(pool, not_in_pool, 1), KMT_ERR_INVALID_PARAMETER) << not_in_pool;
    // The pool of one thread runs the next function on a new thread.
    EXPECT_EQ(run_value(pool, 4), std::pair(4, 2));
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
    // A terminated function's ID is released at once.
    EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
    ASSERT_EQ(KmtReleaseThreadPoolFunctionID(pool, 2), 0);
    // A pool-owned ID is freed by the termination itself.
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &pool_owned, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return pool_owned.started.load() == 1; }));
    ASSERT_EQ(KmtTerminateThreadPoolThread(pool, pool_owned.thread.load(), 1), 0);
    EXPECT_EQ(run_value(pool, 6), std::pair(6, 1));
}

TEST_F(ThreadPool, RaisingTheMaximumStartsQueuedFunctionsAndADiscardWaitsForThemAndDropsTheQueue) {
    Job jobs[3] = {{&gate}, {&gate}, {&gate}};
    std::atomic<int> queued_calls{0}, waited{1};
    ScopedPool pool(1, &gate);
    const KmtThreadPoolHandle handle = pool;
    int id = 0;
    for (Job &job : jobs) ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &job, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return jobs[0].started.load() == 1; }));
    // A refused termination leaves the function running.
    KezTest_ArmFault("os.thread_terminate", 1);
    EXPECT_EQ(KmtTerminateThreadPoolThread(pool, jobs[0].thread.load(), 33), KMT_ERR_SYSTEM_ERROR);
    KezTest_ArmFault("os.thread_terminate", 0);
    kez::os::sleep_ms(30);
    EXPECT_EQ(jobs[1].started.load() + jobs[2].started.load(), 0);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 1);
    ASSERT_EQ(KmtSetThreadPoolAttribute(pool, ATTR_TP_MAX_NUM_THREADS, 3), 0);
    // The gate is still shut: only new threads can have taken the others.
    EXPECT_TRUE(eventually([&] { return jobs[1].started.load() == 1 && jobs[2].started.load() == 1; }));
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 3);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS), 3);
    EXPECT_EQ((std::set<unsigned>{jobs[0].thread.load(), jobs[1].thread.load(), jobs[2].thread.load()}).size(), 3u);

    // Queued behind them, caller-owned and pool-owned IDs alike are freed by
    // the discard. Whether it waits before the discard or comes after it,
    // the waiter is told the pool is gone.
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &queued_calls, &id), 0);
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &queued_calls, nullptr), 0);
    std::thread waiter([&] { waited.store(KmtWaitForThreadPoolFunctionCompletion(handle, id, 0)); });
    // The gate opens once the pool, being discarded, refuses new functions
    // (those it still took queue up behind the running ones).
    std::thread opener([&] {
        eventually([&] { return KmtScheduleThreadPoolFunction(handle, take_turn, &queued_calls, nullptr) != 0; }, 60s);
        gate.store(true);
    });
    kez::os::sleep_ms(20);
    EXPECT_EQ(pool.discard(), 0);
    for (const Job &job : jobs) EXPECT_EQ(job.finished.load(), 1) << "the discard returned before a function did";
    opener.join();
    waiter.join();
    EXPECT_EQ(waited.load(), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtScheduleThreadPoolFunction(handle, take_turn, &queued_calls, nullptr), KMT_ERR_INVALID_HANDLE);
    kez::os::sleep_ms(20);
    EXPECT_EQ(queued_calls.load(), 0);
}

TEST_F(ThreadPool, WhatCannotBeSetUpLeavesNothingBehind) {
    // A function no thread could ever run; with an idle thread, one whose
    // completion event (the only system object it needs) is refused.
    for (const auto &[fault, idle] : {std::pair{"os.thread_create", 0}, std::pair{"os.event_create", 1}}) {
        SCOPED_TRACE(fault);
        std::atomic<int> calls{0};
        ScopedPool pool(2);
        ASSERT_EQ(KmtPreAllocThreadPoolThreads(pool, idle, nullptr), 0);
        int id = 77;
        KezTest_ArmFault(fault, 1);
        EXPECT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &calls, &id), KMT_ERR_SYSTEM_ERROR);
        KezTest_ArmFault(fault, 0);
        EXPECT_EQ(id, 77);
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, 1, 0, 0), KMT_ERR_INVALID_FUNCTION_ID);
        EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), idle);
        EXPECT_EQ(run_value(pool, 3), std::pair(3, 1));
        EXPECT_EQ(calls.load(), 0);
        if (idle == 0) continue;
        // Only the caller's IDs need a completion event.
        KezTest_ArmFault(fault, 1);
        EXPECT_EQ(KmtScheduleThreadPoolFunction(pool, take_turn, &calls, nullptr), 0);
        KezTest_ArmFault(fault, 0);
        EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));
    }
}

std::atomic<int> g_load_runs{0};

int count_and_return(void *data) {
    g_load_runs.fetch_add(1);
    return return_data(data);
}

// Schedulers on their own threads each run schedule, wait, read, release
// cycles with their own tokens; every fourth ID is released before, while or
// after its function completes, without a wait.
TEST_F(ThreadPool, ScheduleWaitReleaseCyclesGetTheirOwnResultsKeepTheIdTableSmallAndLeakNothing) {
    const struct { int schedulers, pool_max, cycles, max_id; } runs[] = {{1, 2, kLoad, 8}, {4, 3, kLoad / 50, 16}};
    for (const auto &run : runs) {
        SCOPED_TRACE(run.schedulers);
        ScopedPool pool(run.pool_max);
        EXPECT_EQ(run_value(pool, 0), std::pair(0, 1));  // the pool's threads and first records exist before counting
        ASSERT_EQ(KmtReleaseThreadPoolFunctionID(pool, 1), 0);
        const long handles_before = kez::os::open_handle_count();
        std::atomic<int> bad{0}, beyond_max_id{0};
        g_load_runs.store(0);
        kez::test::Latch start(run.schedulers);
        std::vector<std::thread> threads;
        for (int t = 0; t < run.schedulers; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                for (int i = 0; i < run.cycles; ++i) {
                    const int token = (t << 20) | i;
                    int id = 0, value = -1;
                    bad += KmtScheduleThreadPoolFunction(pool, count_and_return, as_data(token), &id) != 0;
                    beyond_max_id += id > run.max_id;
                    for (int k = 0; i % 4 == 3 && k < i % 7; ++k) std::this_thread::yield();
                    if (i % 4 != 3)
                        bad +=
                            KmtWaitForThreadPoolFunctionCompletion(pool, id, 0) != 0 ||
                            KmtGetThreadPoolFunctionAttribute(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE, &value) != 0 ||
                            value != token;
                    bad += KmtReleaseThreadPoolFunctionID(pool, id) != 0;
                }
            });
        }
        for (std::thread &t : threads) t.join();
        EXPECT_EQ(bad.load(), 0);
        EXPECT_EQ(beyond_max_id.load(), 0);
        EXPECT_TRUE(eventually([&] {
            return g_load_runs.load() == run.schedulers * run.cycles && pool_int(pool, ATTR_TP_NUM_ACTIVE_THREADS) == 0;
        }));
        EXPECT_LE(pool_int(pool, ATTR_TP_NUM_THREADS), run.pool_max);
        EXPECT_LE(handles_before < 0 ? 0 : kez::os::open_handle_count() - handles_before, 16);
        // Every ID was freed once: the table starts over at 1.
        for (int expected : {1, 2}) EXPECT_EQ(run_value(pool, 0), std::pair(0, expected));
    }
}

// Deferred calls: any thread posts a call to a thread, which runs its calls in
// posting order, each once, when it processes events.
struct Trace {  // only the thread that runs the calls writes it
    std::vector<int> values;
    std::vector<unsigned> threads;
    void note(int value) {
        values.push_back(value);
        threads.push_back(KmtGetCurrentThreadID());
    }
};

struct Step {
    Trace *trace;
    int value;
};

void record_step(void *data) {
    auto *step = static_cast<Step *>(data);
    step->trace->note(step->value);
}

// The call table is not held while calls run: the first call waits for
// another thread's post to the same target, and a chain link posts to its own
// thread: each new call waits for the following processing.
struct Posts {
    Trace trace;
    Step steps[4] = {{&trace, 1}, {&trace, 2}, {&trace, 3}, {&trace, 4}};
    int links_left = 3;
    std::atomic<bool> running{false}, other_posted{false};
    bool saw_post_while_running = false;
};

void wait_for_other_post(void *data) {
    auto *posts = static_cast<Posts *>(data);
    posts->running.store(true);
    posts->saw_post_while_running = eventually([posts] { return posts->other_posted.load(); }, 5s);
    posts->trace.note(0);
}

void chain_link(void *data) {
    auto *posts = static_cast<Posts *>(data);
    posts->trace.note(10 + posts->links_left);
    if (--posts->links_left > 0) PostDeferredCallToThread(chain_link, posts, KmtGetCurrentThreadID());
}

// Calls to a thread of the test's and to the engine's main thread (when the
// tests run on it) run there only, in posting order and once each, only when
// it processes events, and later posts wait for the next processing.
TEST_F(DeferredCalls, CallsRunInPostingOrderOnTheirTargetOnlyWhenItProcessesAndLaterPostsWaitForTheNext) {
    const bool on_main = KmtGetMainThreadID() == KmtGetCurrentThreadID();
    Posts posts;
    Trace main_trace;
    Step main_steps[2] = {{&main_trace, 1}, {&main_trace, 2}};
    std::atomic<unsigned> target_id{0};
    std::vector<std::size_t> sizes;
    std::thread target([&] {
        target_id.store(KmtGetCurrentThreadID());
        eventually([&] { return gate.load(); });
        kez::os::sleep_ms(20);  // posted calls must not run on their own meanwhile
        for (int i = 0; i < 4; ++i) {
            sizes.push_back(posts.trace.values.size());
            ProcessSystemEvents();
        }
        sizes.push_back(posts.trace.values.size());
    });
    ASSERT_TRUE(eventually([&] { return target_id.load() != 0; }));
    EXPECT_EQ(PostDeferredCallToThread(wait_for_other_post, &posts, target_id.load()), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PostDeferredCallToThread(record_step, &posts.steps[i], target_id.load()), 0);
    EXPECT_EQ(PostDeferredCallToThread(chain_link, &posts, target_id.load()), 0);
    gate.store(true);
    std::thread([&] {
        EXPECT_TRUE(eventually([&] { return posts.running.load(); })) << "the target never ran the first call";
        PostDeferredCallToThread(record_step, &posts.steps[3], target_id.load());
        posts.other_posted.store(true);
        if (on_main) {
            EXPECT_EQ(PostDeferredCall(record_step, &main_steps[0]), 0);
            EXPECT_EQ(_UP_PostDeferredCall(record_step, &main_steps[1]), 0);
        }
        ProcessSystemEvents();  // not a target: runs nothing of ours
    }).join();
    target.join();
    EXPECT_TRUE(posts.saw_post_while_running) << "a post waited for a running deferred call";
    EXPECT_EQ(sizes, (std::vector<std::size_t>{0, 5, 7, 8, 8})) << "a call ran early or twice";
    EXPECT_EQ(posts.trace.values, (std::vector<int>{0, 1, 2, 3, 13, 4, 12, 11}));
    EXPECT_EQ(posts.trace.threads, std::vector<unsigned>(8, target_id.load()));
    if (!on_main) GTEST_SKIP() << "the tests do not run on the thread that loaded the engine";
    EXPECT_TRUE(main_trace.values.empty());
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(main_trace.values, (std::vector<int>{1, 2}));
    EXPECT_EQ(main_trace.threads, std::vector<unsigned>(2, KmtGetMainThreadID()));
}

constexpr int kPosters = 8;

// Only the consumer thread runs the calls, so its record needs no lock.
struct Consumer {
    unsigned thread = 0;
    long long total = 0, bad = 0;  // calls out of poster order or on another thread
    std::uintptr_t next[kPosters] = {};
};
Consumer *g_consumer = nullptr;

// The data word carries the poster's index and its sequence number.
void consume(void *data) {
    const auto word = reinterpret_cast<std::uintptr_t>(data), poster = word >> 24, sequence = word & 0xFFFFFF;
    Consumer &c = *g_consumer;
    if (KmtGetCurrentThreadID() != c.thread || poster >= kPosters || sequence != c.next[poster]++) ++c.bad;
    ++c.total;
}

TEST_F(DeferredCalls, EightPostersToOneConsumerEachCallRunsOnceInPosterOrder) {
    Consumer consumer;
    g_consumer = &consumer;
    const long long expected = static_cast<long long>(kPosters) * kLoad;
    std::atomic<int> failed_posts{0};
    long long total_at_end = -1;
    kez::test::Latch start(kPosters + 1);
    std::thread consumer_thread([&] {
        consumer.thread = KmtGetCurrentThreadID();
        start.arrive_and_wait();  // the posters read consumer.thread after it
        while (!gate.load()) ProcessSystemEvents();
        ProcessSystemEvents();  // every post returned before the gate opened: all run now
        total_at_end = consumer.total;
        ProcessSystemEvents();
    });
    std::vector<std::thread> posters;
    for (std::uintptr_t p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            start.arrive_and_wait();
            for (std::uintptr_t i = 0; i < kLoad; ++i)
                failed_posts +=
                    PostDeferredCallToThread(consume, reinterpret_cast<void *>(p << 24 | i), consumer.thread) != 0;
        });
    }
    for (std::thread &t : posters) t.join();
    gate.store(true);
    consumer_thread.join();
    EXPECT_EQ(failed_posts.load(), 0);
    EXPECT_EQ(total_at_end, expected);
    EXPECT_EQ(consumer.total, expected) << "calls ran more than once";
    EXPECT_EQ(consumer.bad, 0);
}

}  // namespace
