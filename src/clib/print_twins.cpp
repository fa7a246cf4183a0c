// The checked forms of the printf family that the _UP_ twins call. They
// check only when user protection is on; a failed call is reported as a
// library error, as every C library twin does.
#include <cstdarg>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/format_checks.h"
#include "clib/print_functions.h"
#include "clib/stream.h"
#include "protect/library_checks.h"

namespace clib = kez::clib;

namespace {

// Runs `print` with checks for `function` when protection is on.
template <typename Print>
int checked(const char *function, int format_argument, Print print) {
    int result;
    if (kez::protect::protection_available()) {
        clib::FormatChecks checks(function, format_argument, format_argument + 1);
        result = print(&checks);
    } else {
        result = print(nullptr);
    }
    if (result < 0) clib::report_twin_failure(function, result);
    return result;
}

void *standard_output() { return clib::stream_table()[1]; }

}  // namespace

extern "C" int _UP_vprintf(const char *format, va_list args) {
    return checked("printf", 1, [&](clib::FormatChecks *c) {
        return clib::print_to_stream(standard_output(), format, args, c);
    });
}

extern "C" int _UP_vfprintf(KezFile *stream, const char *format, va_list args) {
    return checked("fprintf", 2, [&](clib::FormatChecks *c) { return clib::print_to_stream(stream, format, args, c); });
}

extern "C" int _UP_vsprintf(char *buffer, const char *format, va_list args) {
    return checked("sprintf", 2, [&](clib::FormatChecks *c) { return clib::print_to_buffer(buffer, format, args, c); });
}

extern "C" int _UP_vsnprintf(char *buffer, size_t limit, const char *format, va_list args) {
    return checked("snprintf", 3, [&](clib::FormatChecks *c) {
        return clib::print_to_limited(buffer, limit, format, args, c);
    });
}

extern "C" int _UP_vDebugPrintf(const char *format, va_list args) {
    return checked("DebugPrintf", 1, [&](clib::FormatChecks *c) {
        return clib::print_to_debugger("", clib::kDebugTextMax, format, args, c);
    });
}

// ErrorPrintf has no export that takes a va_list; its twin calls this.
extern "C" int kez_checked_vErrorPrintf(const char *format, va_list args) {
    return checked("ErrorPrintf", 1, [&](clib::FormatChecks *c) {
        return clib::print_to_debugger(clib::kErrorPrefix, clib::kErrorTextMax, format, args, c);
    });
}
