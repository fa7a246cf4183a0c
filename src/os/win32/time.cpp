// Clocks on Windows: the performance counter and the 64-bit tick count.
#include <windows.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

std::uint64_t perf_counter() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(c.QuadPart);
}

std::uint64_t perf_frequency() {
    if (fault::hit("os.perf_frequency")) return 0;
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return 0;
    return static_cast<std::uint64_t>(f.QuadPart);
}

std::uint64_t tick_count_ms() { return GetTickCount64(); }

}  // namespace kez::os
