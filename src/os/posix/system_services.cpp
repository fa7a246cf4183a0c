// The local clock, the current directory and the terminal on POSIX.
#include <errno.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "os/fault.h"
#include "os/system_services.h"

namespace kez::os {
namespace {

// mktime takes the daylight-saving rule of the date itself (tm_isdst -1),
// so one call is enough here; a second one with the same value changes
// nothing.
bool system_set_local_time(const LocalDateTime &t) {
    struct tm tm {};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    errno = 0;
    const time_t seconds = mktime(&tm);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return false;
    const timespec ts{seconds, static_cast<long>(t.millisecond) * 1000000L};
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

std::atomic<LocalTimeSetter> g_setter{system_set_local_time};

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool local_date_time(LocalDateTime *out) {
    if (fault::hit("os.local_time_get")) return false;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    if (localtime_r(&ts.tv_sec, &tm) == nullptr) return false;
    *out = LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                         tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000L)};
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
    return getcwd(buf, size) != nullptr;
}

bool change_directory(const char *path) {
    if (fault::hit("os.change_directory")) return false;
    return chdir(path) == 0;
}

bool console_clear(NativeFile out) {
    const int fd = static_cast<int>(out);
    if (out == kNoFile || isatty(fd) == 0) return false;
    winsize size{};
    if (fault::hit("os.console_size") || ioctl(fd, TIOCGWINSZ, &size) != 0) return false;
    char line_ends[128];
    for (std::size_t i = 0; i < sizeof line_ends; i += 2) std::memcpy(line_ends + i, "\r\n", 2);
    for (std::size_t rows = size.ws_row; rows > 0;) {
        const std::size_t now = rows < sizeof line_ends / 2 ? rows : sizeof line_ends / 2;
        if (!write_all(fd, line_ends, now * 2)) return true;  // the terminal went away part-way
        rows -= now;
    }
    write_all(fd, "\x1b[H", 3);
    return true;
}

}  // namespace kez::os
