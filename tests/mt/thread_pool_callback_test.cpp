// Thread pools: per-function and pool callbacks (on the pool thread and
// through a callback thread), and leaving a function early.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "mt/thread_pool_test_util.h"
#include "os/os.h"

namespace {

using namespace kez::test::pool;

// ---- an event log the callbacks write ---------------------------------------------

// Pool events are logged as 1000 + event, a function body as kBody.
constexpr unsigned kPoolEvent = 1000;
constexpr unsigned kBody = 500;

struct Entry {
    int function;  // function ID; for kBody the caller's index
    unsigned event;
    int value;
    unsigned thread;
    KmtThreadPoolHandle pool;
};

class EventLog {
public:
    void add(const Entry &e) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(e);
    }
    std::vector<Entry> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }
    // The events of one function in the order they came: its callbacks by
    // ID, its body by the caller's index.
    std::vector<Entry> of(int id, int body_index = -1) {
        std::vector<Entry> out;
        for (const Entry &e : all()) {
            if (e.event == kBody ? e.function == body_index : e.function == id) out.push_back(e);
        }
        return out;
    }
    static std::vector<unsigned> events(const std::vector<Entry> &entries) {
        std::vector<unsigned> out;
        for (const Entry &e : entries) out.push_back(e.event);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

void log_function_event(KmtThreadPoolHandle pool, int id, unsigned event, int value, void *data) {
    static_cast<EventLog *>(data)->add({id, event, value, KmtGetCurrentThreadID(), pool});
}

// Function events carry the function ID as value, thread events the thread id.
void log_pool_event(KmtThreadPoolHandle pool, unsigned event, int value, void *data) {
    const bool function_event = event == EVENT_TP_POOL_FUNCTION_BEGIN || event == EVENT_TP_POOL_FUNCTION_END;
    static_cast<EventLog *>(data)->add(
        {function_event ? value : 0, kPoolEvent + event, value, KmtGetCurrentThreadID(), pool});
}

struct Body {
    EventLog *log;
    int index;
    int result;
};

int logged_body(void *data) {
    auto *b = static_cast<Body *>(data);
    b->log->add({b->index, kBody, 0, KmtGetCurrentThreadID(), nullptr});
    return b->result;
}

// ---- callbacks ----------------------------------------------------------------

using ThreadPoolCallbacks = PoolTest;

TEST_F(ThreadPoolCallbacks, OnThePoolThreadTheyBracketTheFunctionBeforeTheWaitReturns) {
    constexpr int kFunctions = 10;
    EventLog log;
    ScopedPool scoped(2);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    KmtThreadPoolCallbackID callback = nullptr;
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN | EVENT_TP_POOL_FUNCTION_END,
                                           log_pool_event, &log, &callback),
              0);
    std::vector<Body> bodies(kFunctions);
    std::vector<int> ids(kFunctions);
    for (int i = 0; i < kFunctions; ++i) {
        bodies[i] = {&log, i, 7 * i - 3};
        ASSERT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, logged_body, &bodies[i], THREAD_PRIORITY_POOL_DEFAULT,
                                                   log_function_event,
                                                   EVENT_TP_THREAD_FUNCTION_BEGIN | EVENT_TP_THREAD_FUNCTION_END, &log,
                                                   0, &ids[i]),
                  0);
    }
    for (int i = 0; i < kFunctions; ++i) {
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0);
        // The end callbacks have run when the wait returns.
        const std::vector<Entry> seen = log.of(ids[i], i);
        const std::vector<unsigned> expected{kPoolEvent + EVENT_TP_POOL_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_BEGIN,
                                             kBody, EVENT_TP_THREAD_FUNCTION_END,
                                             kPoolEvent + EVENT_TP_POOL_FUNCTION_END};
        ASSERT_EQ(EventLog::events(seen), expected) << "function " << i;
        const auto thread = static_cast<unsigned>(function_int(pool, ids[i], ATTR_TP_FUNCTION_THREAD_ID));
        for (const Entry &e : seen) {
            EXPECT_EQ(e.thread, thread) << "event " << e.event;
            if (e.event != kBody) {
                EXPECT_EQ(e.pool, pool) << "event " << e.event;
            }
        }
        EXPECT_EQ(seen[0].value, ids[i]);
        EXPECT_EQ(seen[1].value, 0);
        EXPECT_EQ(seen[3].value, 7 * i - 3);
        EXPECT_EQ(seen[4].value, ids[i]);
    }

    // Only the events of the mask are delivered.
    ASSERT_EQ(KmtUninstallThreadPoolCallback(pool, callback), 0);
    log.clear();
    const unsigned masks[] = {EVENT_TP_THREAD_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_END, 0};
    Body plain{&log, 99, 5};
    for (unsigned mask : masks) {
        int id = 0;
        ASSERT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, logged_body, &plain, THREAD_PRIORITY_POOL_DEFAULT,
                                                   log_function_event, mask, &log, 0, &id),
                  0);
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
        std::vector<unsigned> expected;
        if (mask & EVENT_TP_THREAD_FUNCTION_BEGIN) expected.push_back(EVENT_TP_THREAD_FUNCTION_BEGIN);
        expected.push_back(kBody);
        if (mask & EVENT_TP_THREAD_FUNCTION_END) expected.push_back(EVENT_TP_THREAD_FUNCTION_END);
        EXPECT_EQ(EventLog::events(log.of(id, 99)), expected) << "mask " << mask;
        ASSERT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
        log.clear();
    }

    int id = 77;
    for (unsigned bad : {4u, 3u | 4u, 8u, 0x80000000u}) {
        EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, logged_body, &plain, THREAD_PRIORITY_POOL_DEFAULT,
                                                   log_function_event, bad, &log, 0, &id),
                  KMT_ERR_INVALID_PARAMETER)
            << bad;
    }
    EXPECT_EQ(id, 77);
}

TEST_F(ThreadPoolCallbacks, ThroughACallbackThreadTheyArriveOnceEachWhenItProcessesEvents) {
    constexpr int kFunctions = 50;
    EventLog log;
    ScopedPool scoped(3);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    std::atomic<unsigned> receiver_id{0};
    std::atomic<bool> functions_done{false};
    std::size_t before = 99, after_first = 99, after_second = 99;
    int status = -1;
    std::thread receiver([&] {
        receiver_id.store(KmtGetCurrentThreadID());
        eventually([&] { return functions_done.load(); }, 60s);
        before = log.size();
        status = ProcessSystemEvents();
        after_first = log.size();
        ProcessSystemEvents();
        after_second = log.size();
    });
    ASSERT_TRUE(eventually([&] { return receiver_id.load() != 0; }));

    std::vector<Body> bodies(kFunctions);
    std::vector<int> ids(kFunctions);
    for (int i = 0; i < kFunctions; ++i) {
        bodies[i] = {&log, i, 1000 + i};
        EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, logged_body, &bodies[i], THREAD_PRIORITY_POOL_DEFAULT,
                                                   log_function_event,
                                                   EVENT_TP_THREAD_FUNCTION_BEGIN | EVENT_TP_THREAD_FUNCTION_END, &log,
                                                   receiver_id.load(), &ids[i]),
                  0);
    }
    std::vector<unsigned> pool_threads(kFunctions);
    for (int i = 0; i < kFunctions; ++i) {
        EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, ids[i], 0, 10000), 0);
        pool_threads[i] = static_cast<unsigned>(function_int(pool, ids[i], ATTR_TP_FUNCTION_THREAD_ID));
    }
    // Every body ran; no callback yet, the receiver has not processed events.
    EXPECT_EQ(log.size(), static_cast<std::size_t>(kFunctions));
    functions_done.store(true);
    receiver.join();

    EXPECT_EQ(before, static_cast<std::size_t>(kFunctions));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(after_first, static_cast<std::size_t>(3 * kFunctions));
    EXPECT_EQ(after_second, static_cast<std::size_t>(3 * kFunctions)) << "a callback arrived twice";
    for (int i = 0; i < kFunctions; ++i) {
        const std::vector<Entry> seen = log.of(ids[i], i);
        ASSERT_EQ(EventLog::events(seen),
                  (std::vector<unsigned>{kBody, EVENT_TP_THREAD_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_END}))
            << "function " << i;
        EXPECT_EQ(seen[0].thread, pool_threads[i]);
        EXPECT_EQ(seen[1].thread, receiver_id.load());
        EXPECT_EQ(seen[2].thread, receiver_id.load());
        EXPECT_EQ(seen[1].value, 0);
        EXPECT_EQ(seen[2].value, 1000 + i);
        EXPECT_EQ(seen[1].pool, pool);
        EXPECT_EQ(seen[2].pool, pool);
    }
}

TEST_F(ThreadPoolCallbacks, CallbacksQueuedForACallbackThreadOutliveTheDiscardedPool) {
    EventLog log;
    ScopedPool scoped(2);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    std::atomic<unsigned> receiver_id{0};
    std::atomic<bool> discarded{false};
    std::thread receiver([&] {
        receiver_id.store(KmtGetCurrentThreadID());
        eventually([&] { return discarded.load(); }, 60s);
        ProcessSystemEvents();
    });
    ASSERT_TRUE(eventually([&] { return receiver_id.load() != 0; }));
    Body body{&log, 0, 61};
    int id = 0;
    EXPECT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, logged_body, &body, THREAD_PRIORITY_POOL_DEFAULT,
                                               log_function_event,
                                               EVENT_TP_THREAD_FUNCTION_BEGIN | EVENT_TP_THREAD_FUNCTION_END, &log,
                                               receiver_id.load(), &id),
              0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(scoped.discard(), 0);  // the ID is still held: the discard frees it
    discarded.store(true);
    receiver.join();
    const std::vector<Entry> seen = log.of(id, 0);
    ASSERT_EQ(EventLog::events(seen),
              (std::vector<unsigned>{kBody, EVENT_TP_THREAD_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_END}));
    EXPECT_EQ(seen[2].value, 61);
    EXPECT_EQ(seen[2].pool, pool);
    EXPECT_EQ(seen[2].thread, receiver_id.load());
}

TEST_F(ThreadPoolCallbacks, ThreadEventsComeOnceFromEachPoolThread) {
    EventLog log;
    ScopedPool scoped(3);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_THREAD_BEGIN | EVENT_TP_POOL_THREAD_END,
                                           log_pool_event, &log, nullptr),
              0);
    int created = 0;
    ASSERT_EQ(KmtPreAllocThreadPoolThreads(pool, 3, &created), 0);
    ASSERT_EQ(created, 3);
    EXPECT_TRUE(eventually([&] { return log.size() >= 3; }));
    Job job;
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, run_job, &job, &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    ASSERT_EQ(scoped.discard(), 0);

    std::set<unsigned> began, ended;
    std::vector<Entry> entries = log.all();
    for (const Entry &e : entries) {
        // Each on its own thread, named by its value.
        EXPECT_EQ(static_cast<unsigned>(e.value), e.thread) << "event " << e.event;
        EXPECT_EQ(e.pool, pool);
        if (e.event == kPoolEvent + EVENT_TP_POOL_THREAD_BEGIN) {
            EXPECT_TRUE(began.insert(e.thread).second) << "thread began twice";
            EXPECT_EQ(ended.count(e.thread), 0u) << "thread ended before it began";
        } else {
            EXPECT_EQ(e.event, kPoolEvent + EVENT_TP_POOL_THREAD_END);
            EXPECT_TRUE(ended.insert(e.thread).second) << "thread ended twice";
        }
    }
    EXPECT_EQ(entries.size(), 6u);
    EXPECT_EQ(began.size(), 3u);
    EXPECT_EQ(began, ended);
    EXPECT_EQ(began.count(job.thread.load()), 1u);
}

TEST_F(ThreadPoolCallbacks, OneCallbackPerEventAndUnknownIdsAreRefused) {
    EventLog first, second, third;
    ScopedPool scoped(1);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    KmtThreadPoolCallbackID begin = nullptr, end = nullptr, threads = nullptr, other = nullptr;
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN, log_pool_event, &first, &begin), 0);
    EXPECT_NE(begin, nullptr);
    EXPECT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN, log_pool_event, &second, &other),
              KMT_ERR_CALLBACK_ALREADY_INSTALLED);
    EXPECT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN | EVENT_TP_POOL_FUNCTION_END,
                                           log_pool_event, &second, &other),
              KMT_ERR_CALLBACK_ALREADY_INSTALLED);
    EXPECT_EQ(other, nullptr);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_END, log_pool_event, &second, &end), 0);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_THREAD_BEGIN | EVENT_TP_POOL_THREAD_END,
                                           log_pool_event, &third, &threads),
              0);
    EXPECT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_THREAD_END, log_pool_event, &second, &other),
              KMT_ERR_CALLBACK_ALREADY_INSTALLED);
    EXPECT_NE(begin, end);
    EXPECT_NE(end, threads);

    // Bad masks and a null callback.
    for (unsigned mask : {0u, 4u, 32u, 8u | 4u, 0xFFFFFFFFu}) {
        EXPECT_EQ(KmtInstallThreadPoolCallback(pool, mask, log_pool_event, &second, &other), KMT_ERR_INVALID_PARAMETER)
            << mask;
    }
    EXPECT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_END, nullptr, &second, &other),
              KMT_ERR_INVALID_PARAMETER);

    // Uninstalling frees the events for another callback; unknown IDs are refused.
    EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, begin), 0);
    EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, begin), KMT_ERR_CALLBACK_NOT_INSTALLED);
    int not_an_id = 0;
    EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, &not_an_id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    EXPECT_EQ(KmtUninstallThreadPoolCallback(pool, nullptr), KMT_ERR_CALLBACK_NOT_INSTALLED);
    EXPECT_EQ(_UP_KmtUninstallThreadPoolCallback(pool, &not_an_id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN, log_pool_event, &third, &other), 0);

    // Each event reaches its current callback once; the removed one hears nothing.
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(2), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(EventLog::events(second.of(id)), (std::vector<unsigned>{kPoolEvent + EVENT_TP_POOL_FUNCTION_END}));
    EXPECT_EQ(EventLog::events(third.of(id)), (std::vector<unsigned>{kPoolEvent + EVENT_TP_POOL_FUNCTION_BEGIN}));
    // The thread began under the third callback as well.
    EXPECT_TRUE(eventually([&] { return third.size() == 2; }));
}

// ---- leaving a function early --------------------------------------------------------

using ThreadPoolExit = PoolTest;

struct ExitProbe {
    int value = 0;
    std::atomic<int> returned_from_exit{0};
    std::atomic<int> after_exit{0};
    std::atomic<int> unwound{0};
};

[[gnu::noinline]] void exit_at_depth(int depth, ExitProbe *probe) {
    if (depth == 0) {
        if (KmtExitThreadPoolThread(probe->value) != 0) probe->returned_from_exit.fetch_add(1);
        return;
    }
    exit_at_depth(depth - 1, probe);
    probe->unwound.fetch_add(1);  // not reached: the frames are left by the exit
}

int exiting_function(void *data) {
    auto *probe = static_cast<ExitProbe *>(data);
    exit_at_depth(3, probe);
    probe->after_exit.fetch_add(1);
    return 99;
}

TEST_F(ThreadPoolExit, ExitGivesTheReturnValueAndStillDeliversTheEndEvents) {
    EventLog log;
    ScopedPool scoped(1);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_BEGIN | EVENT_TP_POOL_FUNCTION_END,
                                           log_pool_event, &log, nullptr),
              0);
    ExitProbe probe;
    unsigned pool_thread = 0;
    // Many times over on the one thread: each exit leaves it fit for the next.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        probe.value = round == 0 ? 7 : 100 + round;
        log.clear();
        int id = 0;
        ASSERT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, exiting_function, &probe, THREAD_PRIORITY_POOL_DEFAULT,
                                                   log_function_event,
                                                   EVENT_TP_THREAD_FUNCTION_BEGIN | EVENT_TP_THREAD_FUNCTION_END,
                                                   &log, 0, &id),
                  0);
        ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
        EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), probe.value);
        const std::vector<Entry> seen = log.of(id);
        ASSERT_EQ(EventLog::events(seen),
                  (std::vector<unsigned>{kPoolEvent + EVENT_TP_POOL_FUNCTION_BEGIN, EVENT_TP_THREAD_FUNCTION_BEGIN,
                                         EVENT_TP_THREAD_FUNCTION_END, kPoolEvent + EVENT_TP_POOL_FUNCTION_END}));
        EXPECT_EQ(seen[2].value, probe.value);
        EXPECT_EQ(seen[3].value, id);
        EXPECT_TRUE(eventually([&] { return state_of(pool, id) == KMT_FUNCTION_COMPLETED; }));
        const auto thread = static_cast<unsigned>(function_int(pool, id, ATTR_TP_FUNCTION_THREAD_ID));
        if (round == 0) pool_thread = thread;
        EXPECT_EQ(thread, pool_thread);
        EXPECT_EQ(KmtReleaseThreadPoolFunctionID(pool, id), 0);
    }
    EXPECT_EQ(probe.returned_from_exit.load(), 0);
    EXPECT_EQ(probe.after_exit.load(), 0);
    EXPECT_EQ(probe.unwound.load(), 0);

    // A plain function afterwards returns normally on the same thread.
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(5), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), 5);
    EXPECT_EQ(static_cast<unsigned>(function_int(pool, id, ATTR_TP_FUNCTION_THREAD_ID)), pool_thread);
    EXPECT_EQ(pool_int(pool, ATTR_TP_NUM_THREADS), 1);
}

struct ExitFromCallbacks {
    std::atomic<int> from_function_end{1};
    std::atomic<int> from_pool_end{1};
};

void exit_in_function_callback(KmtThreadPoolHandle, int, unsigned event, int, void *data) {
    if (event == EVENT_TP_THREAD_FUNCTION_END)
        static_cast<ExitFromCallbacks *>(data)->from_function_end.store(KmtExitThreadPoolThread(55));
}

void exit_in_pool_callback(KmtThreadPoolHandle, unsigned event, int, void *data) {
    if (event == EVENT_TP_POOL_FUNCTION_END)
        static_cast<ExitFromCallbacks *>(data)->from_pool_end.store(KmtExitThreadPoolThread(56));
}

TEST_F(ThreadPoolExit, ExitIsRefusedOutsideARunningPoolFunction) {
    EXPECT_EQ(KmtExitThreadPoolThread(1), KMT_ERR_NOT_A_POOL_THREAD);
    EXPECT_EQ(_UP_KmtExitThreadPoolThread(1), KMT_ERR_NOT_A_POOL_THREAD);
    int on_other_thread = 0;
    std::thread([&] { on_other_thread = KmtExitThreadPoolThread(2); }).join();
    EXPECT_EQ(on_other_thread, KMT_ERR_NOT_A_POOL_THREAD);

    // On the pool thread, but after the function returned: its end callbacks.
    ExitFromCallbacks results;
    ScopedPool scoped(1);
    const KmtThreadPoolHandle pool = scoped.get();
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(KmtInstallThreadPoolCallback(pool, EVENT_TP_POOL_FUNCTION_END, exit_in_pool_callback, &results, nullptr),
              0);
    int id = 0;
    ASSERT_EQ(KmtScheduleThreadPoolFunctionAdv(pool, return_data, as_data(9), THREAD_PRIORITY_POOL_DEFAULT,
                                               exit_in_function_callback, EVENT_TP_THREAD_FUNCTION_END, &results, 0,
                                               &id),
              0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(results.from_function_end.load(), KMT_ERR_NOT_A_POOL_THREAD);
    EXPECT_EQ(results.from_pool_end.load(), KMT_ERR_NOT_A_POOL_THREAD);
    EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), 9);
    // The thread is fine for the next function.
    ASSERT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(10), &id), 0);
    ASSERT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    EXPECT_EQ(function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE), 10);
}

}  // namespace
