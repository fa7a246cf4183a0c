// The scanf family's exports: the engine over a stream (stdin for scanf)
// and over a string.
#include <cstdarg>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/scan_engine.h"
#include "clib/scan_functions.h"
#include "clib/stream.h"

namespace kez::clib {

int scan_from_stream(void *file, const char *format, va_list args, FormatChecks *checks) {
    // The stream stays locked for the whole call, so no other thread's
    // reads come between the fields.
    StreamLock s(file);
    if (!s) return kScanFailed;
    return scan_stream_locked(s.get(), format, args, checks);
}

int scan_from_string(const char *input, const char *format, va_list args, FormatChecks *checks) {
    if (input == nullptr) {
        set_errno(kEINVAL);
        return kScanFailed;
    }
    return scan_string(input, format, args, checks);
}

void *standard_input() { return stream_table()[0]; }

}  // namespace kez::clib

namespace clib = kez::clib;

namespace {
int plain(int result) { return result == clib::kScanFailed ? -1 : result; }
}  // namespace

extern "C" int kez_vfscanf(KezFile *stream, const char *format, va_list args) {
    return plain(clib::scan_from_stream(stream, format, args, nullptr));
}

extern "C" int kez_fscanf(KezFile *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::scan_from_stream(stream, format, args, nullptr);
    va_end(args);
    return plain(result);
}

extern "C" int kez_vscanf(const char *format, va_list args) {
    return plain(clib::scan_from_stream(clib::standard_input(), format, args, nullptr));
}

extern "C" int kez_scanf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::scan_from_stream(clib::standard_input(), format, args, nullptr);
    va_end(args);
    return plain(result);
}

extern "C" int kez_vsscanf(const char *input, const char *format, va_list args) {
    return plain(clib::scan_from_string(input, format, args, nullptr));
}

extern "C" int kez_sscanf(const char *input, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::scan_from_string(input, format, args, nullptr);
    va_end(args);
    return plain(result);
}
