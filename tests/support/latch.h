// A count-down latch on a mutex and a condition variable. The standard
// library's std::latch waits on a generic atomic wait that can miss a
// wake-up in the Windows builds, which hangs a test under Wine.
#pragma once

#include <condition_variable>
#include <mutex>

namespace kez::test {

class Latch {
public:
    explicit Latch(int count) : count_(count) {}
    Latch(const Latch &) = delete;
    Latch &operator=(const Latch &) = delete;
    void count_down() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (--count_ == 0) cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return count_ <= 0; });
    }
    void arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--count_ == 0) cv_.notify_all();
        cv_.wait(lock, [this] { return count_ <= 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_;
};

}  // namespace kez::test
