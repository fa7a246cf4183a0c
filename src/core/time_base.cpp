#include "core/time_base.h"

#include <atomic>

#include "core/frame.h"
#include "os/os.h"

namespace kez::core {
namespace {

std::atomic<std::uint64_t> g_frequency{0};  // 0: the tick count is the time base
std::atomic<os::CriticalSection *> g_clock_lock{nullptr};

}  // namespace

std::uint64_t ticks_to_units(std::uint64_t ticks, std::uint64_t frequency, std::uint64_t per_second) {
    // ticks * per_second would overflow after a few days of uptime at
    // nanosecond counters; split into whole seconds and the remainder.
    const std::uint64_t whole = ticks / frequency;
    const std::uint64_t rest = ticks % frequency;
    return whole * per_second + rest * per_second / frequency;
}

std::int64_t MilliSecs() {
    const std::uint64_t f = g_frequency.load(std::memory_order_relaxed);
    if (f == 0) return static_cast<std::int64_t>(os::tick_count_ms());
    return static_cast<std::int64_t>(ticks_to_units(os::perf_counter(), f, 1000));
}

std::uint64_t MicroSecs() {
    const std::uint64_t f = g_frequency.load(std::memory_order_relaxed);
    if (f == 0) return os::tick_count_ms() * 1000;
    return ticks_to_units(os::perf_counter(), f, 1000000);
}

double timer_resolution() { return g_frequency.load(std::memory_order_relaxed) != 0 ? 0.001 : 0.055; }

int SetupPCTimer() {
    if (engine().platform_known) g_frequency.store(os::perf_frequency());
    return 0;
}

void RestorePCTimer() { g_frequency.store(0); }

os::CriticalSection *timer_clock_lock() { return g_clock_lock.load(std::memory_order_acquire); }

int CreateTimerClockLock() {
    os::CriticalSection *cs = os::cs_create();
    if (cs == nullptr) return 91;
    g_clock_lock.store(cs, std::memory_order_release);
    return 0;
}

// After the user's modules have ended: no reader of the clock is left.
void DestroyTimerClockLock() {
    os::CriticalSection *cs = g_clock_lock.exchange(nullptr);
    if (cs != nullptr) os::cs_destroy(cs);
}

void use_high_resolution_counter(bool on) { g_frequency.store(on ? os::perf_frequency() : 0); }

}  // namespace kez::core
