// A lock on one 32-bit word: free, taken, or taken with sleepers. Taking a
// free word is one compare-and-swap and releasing it one exchange, cheaper
// than a system mutex for short, mostly uncontended holds (the C library's
// streams, the multithreading library's critical sections). Zero-filled
// memory is a free word. A thread that must wait marks the word and sleeps on
// it (os::wait_on_address) while it still reads so; the release that frees
// a marked word wakes one sleeper, which marks the word again as it takes
// it, since it cannot know whether others still sleep. The sleep compares
// the word with the mark and the release changes the word before it wakes,
// so no wake-up is lost. Acquire and release ordering make the holders'
// accesses visible to each other, for the processor and for the thread
// sanitizer alike. Not recursive.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

namespace kez::core {

class WordLock {
public:
    void lock() {
        std::uint32_t expected = kFree;
        if (!word_.compare_exchange_strong(expected, kTaken, std::memory_order_acquire, std::memory_order_relaxed))
            wait();
    }
    bool try_lock() {
        std::uint32_t expected = kFree;
        return word_.compare_exchange_strong(expected, kTaken, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() {
        if (word_.exchange(kFree, std::memory_order_release) == kTakenSleepers) os::wake_one(&word_);
    }
    // Whether a thread holds the word (or waits for it) at this moment.
    bool held() const { return word_.load(std::memory_order_relaxed) != kFree; }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kTaken = 1;
    static constexpr std::uint32_t kTakenSleepers = 2;

    [[gnu::noinline]] void wait() {
        while (word_.exchange(kTakenSleepers, std::memory_order_acquire) != kFree)
            os::wait_on_address(&word_, kTakenSleepers, os::kInfinite);
    }

    std::atomic<std::uint32_t> word_{kFree};
};

}  // namespace kez::core
