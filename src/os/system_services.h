// The system services behind the utility library's small calls: the local
// date and time of the system clock (read and set), the process's current
// directory, and clearing the console behind standard output. Each call
// that can fail sits behind an "os." fault point.
#pragma once

#include <cstddef>

#include "os/file.h"

namespace kez::os {

// ---- local clock -------------------------------------------------------------

// A local calendar date and time of day: year (1601 to 30827 are
// accepted for setting), month 1 to 12, day 1 to 31, hour 0 to 23, minute
// and second 0 to 59, millisecond 0 to 999.
struct LocalDateTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

// The system clock as local time. False when the system cannot convert
// it (fault point "os.local_time_get").
bool local_date_time(LocalDateTime *out);

// Sets the system clock to the local time `t`, whose fields the caller has
// checked. Windows applies the daylight-saving setting in force before the
// change, so a caller that crosses a daylight-saving boundary sets the
// same value twice. False when the system refuses (fault point
// "os.local_time_set", checked before the setter below is called).
bool set_local_date_time(const LocalDateTime &t);

// The call that set_local_date_time makes once its fault point let it
// through: the system's, unless a test replaced it with a recorder (no
// test ever sets the real clock). Null restores the system's; the previous
// setter is returned.
using LocalTimeSetter = bool (*)(const LocalDateTime &t);
LocalTimeSetter replace_local_time_setter(LocalTimeSetter setter);

// ---- current directory -------------------------------------------------------

// Copies the current directory into buf (terminated). False when the
// system call fails or the directory with its terminator does not fit in
// `size` bytes (fault point "os.current_directory"); buf is then
// unspecified within its size.
bool current_directory(char *buf, std::size_t size);
// Makes `path` the current directory. False when the system refuses
// (fault point "os.change_directory").
bool change_directory(const char *path);

// ---- console -----------------------------------------------------------------

// Clears the console behind `out`: one CR LF per row of its screen buffer
// (Windows) or of the terminal's window (POSIX), then the cursor to row 0,
// column 0. False, and nothing written, when `out` is no console or its
// size cannot be read (fault point "os.console_size").
bool console_clear(NativeFile out);

}  // namespace kez::os
