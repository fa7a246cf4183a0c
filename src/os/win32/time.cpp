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

std::int64_t wall_clock_ms() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000ull) - 11644473600000ll;
}

// The system time as the calendar fields of the current UTC moment, made a
// file time (100 ns since 1601-01-01 UTC): milliseconds are its resolution.
bool utc_now(UtcTime *now) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    FILETIME ft;
    if (fault::hit("os.utc_now") || !SystemTimeToFileTime(&st, &ft)) return false;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    *now = UtcTime{static_cast<std::int64_t>(ticks / 10000000ull) - 11644473600ll,
                   static_cast<std::uint32_t>(ticks % 10000000ull) * 100u};
    return true;
}

LocalTime local_time_of(std::int64_t epoch_second) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(epoch_second + 11644473600ll) * 10000000ull;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return LocalTime{0, 0, 0, 0};
    return LocalTime{st.wHour, st.wMinute, st.wSecond, 0};
}

}  // namespace kez::os
