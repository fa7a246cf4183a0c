// The system's multimedia timer, as one table of seven entry points.
//
// Windows: winmm.dll, loaded at run time. Linux has no such service: the
// platform layer offers the same seven calls natively, with the same
// meanings, codes and limits (capabilities {1, 1000000} ms), a 32-bit
// millisecond clock from the monotonic clock, and one callback thread for
// all timers, as Windows has.
//
// Callbacks of one table never overlap: they all run on its one timer
// thread. A kill never waits for a callback that is running; a callback may
// arm and kill timers itself.
#pragma once

#include <cstdint>

namespace kez::os {

struct MultimediaTimerCaps {
    std::uint32_t period_min;  // ms
    std::uint32_t period_max;  // ms
};

// (timer id, message, user value, 0, 0), as the system calls it.
using MultimediaTimerCallback = void (*)(std::uint32_t id, std::uint32_t message, std::uintptr_t user,
                                         std::uintptr_t reserved1, std::uintptr_t reserved2);

// The seven entry points, in the order they are resolved.
struct MultimediaTimerApi {
    // Fills a 12-byte time record {type 1 (ms), ms}; 0 or an error code.
    std::uint32_t (*get_system_time)(void *mmtime, std::uint32_t size);
    // Milliseconds of a monotonic clock, wrapping at 2^32.
    std::uint32_t (*get_time)();
    // Arms a timer: fires after delay_ms, then every delay_ms when periodic.
    // The timer's id (never 0), or 0 when refused (delay outside the
    // capabilities, no memory, no thread).
    std::uint32_t (*set_event)(std::uint32_t delay_ms, std::uint32_t resolution_ms, MultimediaTimerCallback callback,
                               std::uintptr_t user, std::uint32_t flags);
    // 0, or kMmInvalidParameter for an id that is not armed (a one-shot
    // that fired is no longer armed).
    std::uint32_t (*kill_event)(std::uint32_t id);
    // 0, or an error code when size is not sizeof(MultimediaTimerCaps).
    std::uint32_t (*get_dev_caps)(MultimediaTimerCaps *caps, std::uint32_t size);
    // 0, or kTimerNoCando for a period outside the capabilities.
    std::uint32_t (*begin_period)(std::uint32_t period_ms);
    std::uint32_t (*end_period)(std::uint32_t period_ms);
};

constexpr std::uint32_t kTimeOneShot = 0;
constexpr std::uint32_t kTimePeriodic = 1;
constexpr std::uint32_t kMmInvalidParameter = 11;
constexpr std::uint32_t kTimerNoCando = 97;

// The system's table, loaded on first use (Windows: winmm.dll through
// module_load, each entry point resolved in the table's order). Null when
// it cannot be loaded; fault point "os.multimedia_timer_load".
const MultimediaTimerApi *multimedia_timer_load();
// Releases what multimedia_timer_load took: every timer still armed is
// killed; the callback thread (Linux) is stopped and, unless the process
// is ending, waited for (a callback that does not return within 2 s is left
// running). After it, multimedia_timer_load loads anew.
void multimedia_timer_unload(bool process_ending);

}  // namespace kez::os
