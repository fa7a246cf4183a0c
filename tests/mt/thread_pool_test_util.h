// Helpers shared by the thread-pool tests: a gate pool functions wait at, a
// poll with a limit, attribute readers, and a fixture that guards every test
// with a watchdog and discards its pools even when an assertion left early.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"


namespace kez::test::pool {

using namespace std::chrono_literals;

// A door that pool functions wait at until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    // False when the door stayed shut for `limit`.
    bool wait(std::chrono::milliseconds limit = 30s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

using kez::test::eventually;

inline int default_pool_maximum() { return 2 * KmtGetNumProcessors() + 2; }

inline int pool_int(KmtThreadPoolHandle pool, int attribute) {
    int value = -12345;
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, attribute, &value), 0) << "attribute " << attribute;
    return value;
}

inline int function_int(KmtThreadPoolHandle pool, int id, int attribute) {
    int value = -12345;
    EXPECT_EQ(KmtGetThreadPoolFunctionAttribute(pool, id, attribute, &value), 0)
        << "function " << id << " attribute " << attribute;
    return value;
}

inline int state_of(KmtThreadPoolHandle pool, int id) {
    return function_int(pool, id, ATTR_TP_FUNCTION_EXECUTION_STATUS);
}

// A pool function the test controls: it notes its thread, waits at the gate
// when it has one, and returns `result`.
struct Job {
    Gate *gate = nullptr;
    int result = 0;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<unsigned> thread{0};
};

inline int run_job(void *data) {
    auto *job = static_cast<Job *>(data);
    job->thread.store(KmtGetCurrentThreadID());
    job->started.fetch_add(1);
    if (job->gate != nullptr) job->gate->wait();
    job->finished.fetch_add(1);
    return job->result;
}

inline int return_data(void *data) { return static_cast<int>(reinterpret_cast<std::intptr_t>(data)); }

inline void *as_data(std::intptr_t value) { return reinterpret_cast<void *>(value); }

// A pool discarded when its scope ends. Declared after the data its
// callbacks and functions use, it is discarded before that data goes.
class ScopedPool {
public:
    explicit ScopedPool(int max_threads, Gate *gate = nullptr) : gate_(gate) {
        EXPECT_EQ(KmtNewThreadPool(max_threads, &pool_), 0) << max_threads;
        EXPECT_NE(pool_, nullptr);
    }
    ~ScopedPool() {
        if (gate_ != nullptr) gate_->open();
        if (pool_ != nullptr) {
            EXPECT_EQ(KmtDiscardThreadPool(pool_), 0);
        }
    }
    ScopedPool(const ScopedPool &) = delete;
    ScopedPool &operator=(const ScopedPool &) = delete;
    KmtThreadPoolHandle get() const { return pool_; }
    // Discards the pool now; the result of the discard.
    int discard() {
        const int status = KmtDiscardThreadPool(pool_);
        pool_ = nullptr;
        return status;
    }

private:
    Gate *gate_;
    KmtThreadPoolHandle pool_ = nullptr;
};

// Every test runs under a watchdog; at its end the gate opens, `stop` is
// set and the pools it made are discarded, so a failed assertion never
// leaves a pool function waiting.
class PoolTest : public testing::Test {
protected:
    KmtThreadPoolHandle new_pool(int max_threads) {
        KmtThreadPoolHandle pool = nullptr;
        EXPECT_EQ(KmtNewThreadPool(max_threads, &pool), 0) << max_threads;
        EXPECT_NE(pool, nullptr);
        if (pool != nullptr) pools_.push_back(pool);
        return pool;
    }
    // The test discards this pool itself.
    void forget(KmtThreadPoolHandle pool) {
        for (auto it = pools_.begin(); it != pools_.end(); ++it) {
            if (*it == pool) {
                pools_.erase(it);
                return;
            }
        }
    }
    void TearDown() override {
        gate.open();
        stop.store(true);
        for (KmtThreadPoolHandle pool : pools_) EXPECT_EQ(KmtDiscardThreadPool(pool), 0);
        pools_.clear();
    }

private:
    // First member: it watches the whole test, set-up and tear-down included.
    Watchdog watchdog_{std::chrono::seconds(120), testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::vector<KmtThreadPoolHandle> pools_;

protected:
    Gate gate;
    std::atomic<bool> stop{false};
};

}  // namespace kez::test::pool
