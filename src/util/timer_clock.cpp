// The seconds clock (Timer) and the waits built on it (Delay, SyncWait).
//
// The clock counts from its first read on the engine's microsecond base.
// Its value is kept in whole microseconds as offset + (now - base): when the
// base steps back (the high-resolution counter is switched off at unload,
// or a test swaps the source), the clock is re-anchored at its last value
// instead of counting a wrap-around, so it never runs back and never leaps
// by 2^32 us.
#include <atomic>
#include <cmath>
#include <cstdint>

#include "core/test_hooks.h"
#include "core/time_base.h"
#include "core/word_lock.h"
#include "kez/utility.h"
#include "os/os.h"

namespace kez::util {
namespace {

// Typed as the test hook takes them, so a test's functions are called
// through their own type.
struct ClockSource {
    unsigned long long (*now_us)();
    void (*sleep_ms)(unsigned int ms);
};

unsigned long long engine_now_us() { return core::MicroSecs(); }
void engine_sleep_ms(unsigned int ms) { os::sleep_ms(ms); }

constexpr ClockSource kEngineSource{engine_now_us, engine_sleep_ms};
ClockSource g_test_source{};
std::atomic<const ClockSource *> g_source{&kEngineSource};

struct ClockState {
    bool initialized = false;
    std::uint64_t base = 0;    // source reading the clock counts from
    std::uint64_t offset = 0;  // clock value (us) at `base`
    std::uint64_t last = 0;    // last value returned (us)
};
ClockState g_clock;
// Guarded by the engine's clock lock when start-up made it, else by this.
core::WordLock g_fallback_lock;

struct ClockGuard {
    os::CriticalSection *cs = core::timer_clock_lock();
    ClockGuard() { cs != nullptr ? os::cs_enter(cs) : g_fallback_lock.lock(); }
    ~ClockGuard() { cs != nullptr ? os::cs_leave(cs) : g_fallback_lock.unlock(); }
    ClockGuard(const ClockGuard &) = delete;
    ClockGuard &operator=(const ClockGuard &) = delete;
};

double read_clock(const ClockSource &source) {
    ClockGuard guard;
    const std::uint64_t now = source.now_us();
    ClockState &c = g_clock;
    if (!c.initialized) {
        c.initialized = true;
        c.base = now;
        c.offset = 0;
        c.last = 0;
    }
    std::uint64_t value = now >= c.base ? c.offset + (now - c.base) : 0;
    if (now < c.base || value < c.last) {
        c.base = now;
        c.offset = c.last;
        value = c.last;
    }
    c.last = value;
    return static_cast<double>(value) / 1e6;
}

// One sleep never exceeds a day, so the millisecond count always fits the
// system's 32-bit argument (and never reads as "infinite").
constexpr double kMaxSleepMs = 86400000.0;

// Sleeps half of what remains while more than 0.1 s remains, then spins.
void wait_until(double target) {
    const ClockSource &source = *g_source.load();
    for (;;) {
        const double now = read_clock(source);
        if (!(target > now)) return;
        const double remaining = target - now;
        if (remaining > 0.1) {
            const double ms = remaining * 500.0;
            const auto sleep = static_cast<std::uint32_t>(ms < kMaxSleepMs ? ms : kMaxSleepMs);
            if (sleep >= 1) source.sleep_ms(sleep);
        }
    }
}

}  // namespace
}  // namespace kez::util

using namespace kez;

extern "C" double Timer(void) { return util::read_clock(*util::g_source.load()); }

extern "C" void Delay(double numberOfSeconds) {
    if (!(numberOfSeconds > 0)) return;
    const double start = Timer();
    util::wait_until(start + numberOfSeconds + core::timer_resolution());
}

extern "C" void SyncWait(double beginTime, double interval) {
    if (!(interval > 0)) return;
    util::wait_until(beginTime + interval + core::timer_resolution());
}

#if defined(KEZ_TEST_HOOKS)
// Swaps the clock's source and its sleep for a test's; nulls restore the
// engine's.
extern "C" void KezTest_SetTimerClock(KezTestClockNow nowMicroseconds, KezTestClockSleep sleepMilliseconds) {
    util::g_source.store(&util::kEngineSource);
    if (nowMicroseconds == nullptr || sleepMilliseconds == nullptr) return;
    util::g_test_source = util::ClockSource{nowMicroseconds, sleepMilliseconds};
    util::g_source.store(&util::g_test_source);
}
#endif
