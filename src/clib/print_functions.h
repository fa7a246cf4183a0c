// The printf family over its outputs, with or without run-time checks
// (null checks: the plain exports). The _UP_ twins call these.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kez::clib {

class FormatChecks;

// The debugger's messages: DebugPrintf's text, ErrorPrintf's prefix and text.
constexpr std::size_t kDebugMessageMax = 1024;
constexpr std::size_t kDebugTextMax = 1024;
constexpr char kErrorPrefix[] = "KEZERRPRINTF:";
constexpr std::size_t kErrorTextMax = kDebugMessageMax - (sizeof kErrorPrefix - 1);

// `file` is a FILE pointer, checked and locked for the call.
int print_to_stream(void *file, const char *format, va_list args, FormatChecks *checks);
// sprintf: the buffer's size is known only to the checks.
int print_to_buffer(char *buffer, const char *format, va_list args, FormatChecks *checks);
// snprintf: at most limit - 1 bytes and a NUL.
int print_to_limited(char *buffer, std::size_t limit, const char *format, va_list args, FormatChecks *checks);
// DebugPrintf, ErrorPrintf: `prefix` and at most `limit` bytes of text.
int print_to_debugger(const char *prefix, std::size_t limit, const char *format, va_list args, FormatChecks *checks);

}  // namespace kez::clib
