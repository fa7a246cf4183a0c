// Clocks on POSIX: the monotonic clock in nanoseconds is the high-resolution
// counter; the coarse monotonic clock is the tick count.
#include <time.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

std::uint64_t perf_counter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t perf_frequency() {
    if (fault::hit("os.perf_frequency")) return 0;
    return 1000000000ull;
}

std::uint64_t tick_count_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000ull + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000ull;
}

std::int64_t wall_clock_ms() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000L;
}

bool utc_now(UtcTime *now) {
    timespec ts;
    if (fault::hit("os.utc_now") || clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
    *now = UtcTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
    return true;
}

LocalTime local_time_of(std::int64_t epoch_second) {
    const time_t t = static_cast<time_t>(epoch_second);
    struct tm tm {};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
}

}  // namespace kez::os
