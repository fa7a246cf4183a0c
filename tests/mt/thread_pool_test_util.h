// Helpers of the thread-pool tests: a gate pool functions wait at, attribute
// readers, a pool discarded when its scope ends, a fixture with a watchdog.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"

namespace kez::test::pool {

using namespace std::chrono_literals;
using kez::test::eventually;

// A door that pool functions wait at, in steps of a millisecond (points
// where a POSIX cancellation takes effect), until the test opens it.
class Gate {
  public:
    void open() { open_.store(true); }
    bool is_open() const { return open_.load(); }
    bool wait() const {
        return eventually([this] { return open_.load(); }, 60s);
    }

  private:
    std::atomic<bool> open_{false};
};

inline int default_pool_maximum() { return 2 * KmtGetNumProcessors() + 2; }

// Read into 64 bits (the stack size fills them all); the low 32 bits.
inline int pool_int(KmtThreadPoolHandle pool, int attribute) {
    long long value = -12345;
    EXPECT_EQ(KmtGetThreadPoolAttribute(pool, attribute, &value), 0) << "attribute " << attribute;
    return static_cast<int>(value);
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
    std::atomic<int> started{0}, finished{0};
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

// Schedules return_data(value) with an ID, waits for it and gives its return
// value (-12345 when any step failed).
inline int run_value(KmtThreadPoolHandle pool, int value, int *id_out = nullptr) {
    int id = 0;
    EXPECT_EQ(KmtScheduleThreadPoolFunction(pool, return_data, as_data(value), &id), 0);
    EXPECT_EQ(KmtWaitForThreadPoolFunctionCompletionEx(pool, id, 0, 10000), 0);
    if (id_out != nullptr) *id_out = id;
    return function_int(pool, id, ATTR_TP_FUNCTION_RETURN_VALUE);
}

// A pool discarded when its scope ends, after its gate opened. Declared after
// the data its functions and callbacks use, it goes before that data.
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
    operator KmtThreadPoolHandle() const { return pool_; }
    KmtThreadPoolHandle get() const { return pool_; }
    // Discards the pool now, its gate as it is; the result of the discard.
    int discard() {
        const int status = KmtDiscardThreadPool(pool_);
        pool_ = nullptr;
        return status;
    }

  private:
    Gate *gate_;
    KmtThreadPoolHandle pool_ = nullptr;
};

// Every test runs under a watchdog, set-up and tear-down included.
class PoolTest : public testing::Test {
  private:
    Watchdog watchdog_{std::chrono::seconds(120), testing::UnitTest::GetInstance()->current_test_info()->name()};

  protected:
    Gate gate;
};

}  // namespace kez::test::pool
