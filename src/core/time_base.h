// The engine's two time bases, read by timing, logging and communication.
#pragma once

#include <cstdint>

namespace kez::os {
struct CriticalSection;
}

namespace kez::core {

// Milliseconds and microseconds since an arbitrary start, from the
// high-resolution counter when it is in use, else from the tick count.
std::int64_t MilliSecs();
std::uint64_t MicroSecs();
// 0.001 s with the high-resolution counter, else 0.055 s.
double timer_resolution();

// Start-up step: use the high-resolution counter when the platform is known
// and the counter's frequency can be read. Always succeeds.
int SetupPCTimer();
void RestorePCTimer();

// Overflow-free conversion of counter ticks into units of `per_second`.
std::uint64_t ticks_to_units(std::uint64_t ticks, std::uint64_t frequency, std::uint64_t per_second);

// The lock of the seconds clock (Timer, Delay, SyncWait), made by the
// InitAsyncAndMTProtection step; null before it and after its clean-up.
os::CriticalSection *timer_clock_lock();
int CreateTimerClockLock();
void DestroyTimerClockLock();

// Tests switch the counter off to see the tick-count base.
void use_high_resolution_counter(bool on);

}  // namespace kez::core
