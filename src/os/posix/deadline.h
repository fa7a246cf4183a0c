// Deadlines of the POSIX waits, on the monotonic clock.
#pragma once

#include <time.h>

#include <cstdint>

namespace kez::os {

// Now plus `ms` milliseconds on CLOCK_MONOTONIC.
inline timespec deadline_after(std::uint32_t ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace kez::os
