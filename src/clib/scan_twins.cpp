// The checked forms of the scanf family that the _UP_ twins call. They
// check only when user protection is on. A failed call is reported as a
// library error, as every C library twin does; an end of input (EOF) is
// an answer, not a failure, and is not.
#include <cstdarg>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/format_checks.h"
#include "clib/scan_engine.h"
#include "clib/scan_functions.h"
#include "protect/library_checks.h"

namespace clib = kez::clib;

namespace {

// Runs `scan` with checks for `function` when protection is on.
template <typename Scan>
int checked(const char *function, int format_argument, Scan scan) {
    int result;
    if (kez::protect::protection_available()) {
        clib::FormatChecks checks(function, format_argument, format_argument + 1);
        result = scan(&checks);
    } else {
        result = scan(nullptr);
    }
    if (result != clib::kScanFailed) return result;
    clib::report_twin_failure(function, -1);
    return -1;
}

}  // namespace

extern "C" int _UP_vscanf(const char *format, va_list args) {
    return checked("scanf", 1, [&](clib::FormatChecks *c) {
        return clib::scan_from_stream(clib::standard_input(), format, args, c);
    });
}

extern "C" int _UP_vfscanf(KezFile *stream, const char *format, va_list args) {
    return checked("fscanf", 2, [&](clib::FormatChecks *c) { return clib::scan_from_stream(stream, format, args, c); });
}

extern "C" int _UP_vsscanf(const char *input, const char *format, va_list args) {
    return checked("sscanf", 2, [&](clib::FormatChecks *c) { return clib::scan_from_string(input, format, args, c); });
}
