// The local clock, the current directory and the console on Windows.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "os/fault.h"
#include "os/system_services.h"

namespace kez::os {
namespace {

bool system_set_local_time(const LocalDateTime &t) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    st.wMilliseconds = static_cast<WORD>(t.millisecond);
    return SetLocalTime(&st) != 0;
}

std::atomic<LocalTimeSetter> g_setter{system_set_local_time};

}  // namespace

bool local_date_time(LocalDateTime *out) {
    if (fault::hit("os.local_time_get")) return false;
    SYSTEMTIME st;
    GetLocalTime(&st);
    *out = LocalDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
    return true;
}

bool set_local_date_time(const LocalDateTime &t) {
    if (fault::hit("os.local_time_set")) return false;
    return g_setter.load()(t);
}

LocalTimeSetter replace_local_time_setter(LocalTimeSetter setter) {
    return g_setter.exchange(setter != nullptr ? setter : system_set_local_time);
}

bool current_directory(char *buf, std::size_t size) {
    if (fault::hit("os.current_directory")) return false;
    if (size == 0 || size > MAXDWORD) return false;
    // The result counts the terminator only when the buffer was too small.
    const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
    return n != 0 && n < size;
}

bool change_directory(const char *path) {
    if (fault::hit("os.change_directory")) return false;
    return SetCurrentDirectoryA(path) != 0;
}

bool console_clear(NativeFile out) {
    HANDLE h = reinterpret_cast<HANDLE>(out);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out == kNoFile || fault::hit("os.console_size") || !GetConsoleScreenBufferInfo(h, &info)) return false;
    char line_ends[128];
    for (std::size_t i = 0; i < sizeof line_ends; i += 2) std::memcpy(line_ends + i, "\r\n", 2);
    for (DWORD rows = info.dwSize.Y > 0 ? static_cast<DWORD>(info.dwSize.Y) : 0; rows > 0;) {
        const DWORD now = rows < sizeof line_ends / 2 ? rows : static_cast<DWORD>(sizeof line_ends / 2);
        DWORD written = 0;
        if (!WriteConsoleA(h, line_ends, now * 2, &written, nullptr)) break;
        rows -= now;
    }
    SetConsoleCursorPosition(h, COORD{0, 0});
    return true;
}

}  // namespace kez::os
