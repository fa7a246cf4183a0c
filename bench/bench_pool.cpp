// Thread pools against a plain std::thread work queue and oneTBB's
// task_group: many empty functions, a schedule-to-wait round trip, a burst
// of queued functions, the discard of a pool of idle threads, and what an
// idle pool costs.
#include <benchmark/benchmark.h>
#include <tbb/task_group.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kez/kez.h"

namespace {

// The anchor: a mutex, a condition variable and a deque of jobs.
class WorkQueue {
public:
    explicit WorkQueue(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
    }
    ~WorkQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto &t : workers_) t.join();
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    bool stop_ = false;
};

const unsigned kWorkers = std::thread::hardware_concurrency() < 2 ? 2 : std::thread::hardware_concurrency();

std::atomic<long> g_done{0};
int count_one(void *) {
    g_done.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void wait_for(long target) {
    while (g_done.load(std::memory_order_relaxed) < target) std::this_thread::yield();
}

// n functions queued as fast as possible, then all awaited.
void BM_PoolBurst(benchmark::State &state) {
    const long n = state.range(0);
    KmtThreadPoolHandle pool = nullptr;
    KmtNewThreadPool(static_cast<int>(kWorkers), &pool);
    for (auto _ : state) {
        g_done.store(0);
        for (long i = 0; i < n; ++i) KmtScheduleThreadPoolFunction(pool, count_one, nullptr, nullptr);
        wait_for(n);
    }
    KmtDiscardThreadPool(pool);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_PoolBurst)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WorkQueueBurstAnchor(benchmark::State &state) {
    const long n = state.range(0);
    WorkQueue queue(kWorkers);
    for (auto _ : state) {
        g_done.store(0);
        for (long i = 0; i < n; ++i) queue.post([] { count_one(nullptr); });
        wait_for(n);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_WorkQueueBurstAnchor)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TbbBurstAnchor(benchmark::State &state) {
    const long n = state.range(0);
    tbb::task_group group;
    for (auto _ : state) {
        g_done.store(0);
        for (long i = 0; i < n; ++i) group.run([] { count_one(nullptr); });
        group.wait();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TbbBurstAnchor)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// One function scheduled with an ID, waited for and its ID released.
void BM_PoolRoundTrip(benchmark::State &state) {
    KmtThreadPoolHandle pool = nullptr;
    KmtNewThreadPool(static_cast<int>(kWorkers), &pool);
    KmtPreAllocThreadPoolThreads(pool, static_cast<int>(kWorkers), nullptr);
    for (auto _ : state) {
        int id = 0;
        KmtScheduleThreadPoolFunction(pool, count_one, nullptr, &id);
        KmtWaitForThreadPoolFunctionCompletion(pool, id, 0);
        KmtReleaseThreadPoolFunctionID(pool, id);
    }
    KmtDiscardThreadPool(pool);
}
BENCHMARK(BM_PoolRoundTrip)->UseRealTime();

void BM_WorkQueueRoundTripAnchor(benchmark::State &state) {
    WorkQueue queue(kWorkers);
    std::mutex mutex;
    std::condition_variable cv;
    for (auto _ : state) {
        bool done = false;
        queue.post([&] {
            count_one(nullptr);
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            cv.notify_one();
        });
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
}
BENCHMARK(BM_WorkQueueRoundTripAnchor)->UseRealTime();

void BM_TbbRoundTripAnchor(benchmark::State &state) {
    tbb::task_group group;
    for (auto _ : state) {
        group.run([] { count_one(nullptr); });
        group.wait();
    }
}
BENCHMARK(BM_TbbRoundTripAnchor)->UseRealTime();

// Discarding a pool of 34 idle threads (creation outside the timing).
void BM_PoolDiscard34Idle(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        KmtThreadPoolHandle pool = nullptr;
        KmtNewThreadPool(34, &pool);
        int created = 0;
        KmtPreAllocThreadPoolThreads(pool, 34, &created);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // all of them waiting
        state.ResumeTiming();
        KmtDiscardThreadPool(pool);
    }
}
BENCHMARK(BM_PoolDiscard34Idle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// What an idle pool of 34 threads costs: the process's CPU time over a
// second of idling, in milliseconds (0 when the threads truly sleep).
void BM_PoolIdleCost(benchmark::State &state) {
    KmtThreadPoolHandle pool = nullptr;
    KmtNewThreadPool(34, &pool);
    KmtPreAllocThreadPoolThreads(pool, 34, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double cpu_ms = 0;
    for (auto _ : state) {
        const std::clock_t before = std::clock();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        cpu_ms = 1000.0 * static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    }
    state.counters["cpu_ms_per_idle_s"] = cpu_ms;
    KmtDiscardThreadPool(pool);
}
BENCHMARK(BM_PoolIdleCost)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
