// Helpers shared by the tests of locks, thread-safe and thread-local
// variables and the thread utilities.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "support/latch.h"

namespace kez::test {

// A handle made from a number: wild handles, and sentinels that a refused
// call must leave alone.
template <class Handle>
Handle fake_handle(std::uintptr_t value) {
    return reinterpret_cast<Handle>(value);
}

// Runs fn on a thread of its own and returns its result.
template <class Fn>
auto on_other_thread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

inline std::string kmt_message(int code) {
    char buffer[256];
    std::fill(buffer, buffer + sizeof buffer, '#');
    EXPECT_EQ(KmtGetErrorMessage(code, buffer), 0) << code;
    return buffer;
}

// What the last _UP_ twin reported: "<code> <function>: <text>".
inline std::string last_library_error() {
    char function[128] = {};
    char text[512] = {};
    const int code = KezTest_LastLibraryError(function, sizeof function, text, sizeof text);
    return std::to_string(code) + " " + function + ": " + text;
}

// Runs `take` on a thread of its own and keeps that thread until let_go(),
// when it runs `give_back`; both must give 0.
class HeldElsewhere {
public:
    HeldElsewhere(std::function<int()> take, std::function<int()> give_back)
        : thread_([this, take, give_back] {
              take_rc_ = take();
              id_ = KmtGetCurrentThreadID();
              held_.count_down();
              let_go_.wait();
              if (take_rc_ == 0) give_back_rc_ = give_back();
          }) {
        held_.wait();
    }
    ~HeldElsewhere() { release(); }
    void let_go() { let_go_.count_down(); }
    // Lets go and waits until it is given back.
    void release() {
        if (!thread_.joinable()) return;
        let_go();
        thread_.join();
        EXPECT_EQ(take_rc_, 0);
        EXPECT_EQ(give_back_rc_, 0);
    }
    unsigned id() const { return id_; }

private:
    Latch held_{1}, let_go_{1};
    int take_rc_ = -1, give_back_rc_ = -1;
    unsigned id_ = 0;
    std::thread thread_;
};

}  // namespace kez::test
