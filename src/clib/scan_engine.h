// The scanf engine: one scanner over an input that hands out bytes one at
// a time and takes back the last few. Two inputs: a string, walked with a
// plain pointer, and a stream the caller has locked.
//
// The scanner needs no memory of its own beyond the stack: integers are
// accumulated as their digits arrive, and a real keeps at most its first
// significant digits (800; 11600 for the 80-bit long double, enough to
// decide every rounding exactly) and one sticky digit for the rest.
#pragma once

#include <cstdarg>

namespace kez::clib {

class FormatChecks;
struct Stream;

// What the engine returns besides a count or EOF (-1): the call itself
// failed (a bad format, a refused conversion, a missing or null target,
// a target too small). The exports return -1 for it; the checked twins
// report it as a library error, which an end of input is not.
constexpr int kScanFailed = -2;

// Scans `input` (not null). `format` may be null (kScanFailed).
int scan_string(const char *input, const char *format, va_list args, FormatChecks *checks) noexcept;
// Scans the locked stream `s`.
int scan_stream_locked(Stream *s, const char *format, va_list args, FormatChecks *checks) noexcept;

}  // namespace kez::clib
