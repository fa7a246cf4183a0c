// Helpers shared by the tests of locks, thread-safe and thread-local
// variables and the thread utilities.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "support/watchdog.h"

namespace kez::test {

// A fixture whose every test aborts, naming itself, if it hangs.
template <class Base = ::testing::Test>
class Watched : public Base {
    Watchdog watchdog_{std::chrono::seconds(600), ::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// Runs fn on a thread of its own and returns its result.
template <class Fn>
auto on_other_thread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

inline std::string kmt_message(int code) {
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(KmtGetErrorMessage(code, buffer), 0) << code;
    return buffer;
}

}  // namespace kez::test
