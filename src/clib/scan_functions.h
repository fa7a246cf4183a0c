// The scanf family over its inputs, with or without run-time checks (null
// checks: the plain exports). They return a count, EOF (-1), or
// kScanFailed when the call failed; the _UP_ twins call these.
#pragma once

#include <cstdarg>

namespace kez::clib {

class FormatChecks;

// `file` is a FILE pointer, checked and locked for the call.
int scan_from_stream(void *file, const char *format, va_list args, FormatChecks *checks);
// `input` null fails the call (errno EINVAL).
int scan_from_string(const char *input, const char *format, va_list args, FormatChecks *checks);
// stdin.
void *standard_input();

}  // namespace kez::clib
