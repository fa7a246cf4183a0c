// Waiting in tests for something another thread brings about.
#pragma once

#include <chrono>

#include "os/os.h"

namespace kez::test {

// Polls `done` every millisecond until it holds or `limit` passed; the
// last answer of `done`.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        kez::os::sleep_ms(1);
    }
    return true;
}

}  // namespace kez::test
