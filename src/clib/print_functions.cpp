// The printf family's exports: the engine over a stream, a buffer, a
// buffer with a limit, and the debugger's output window.
#include <cstdarg>
#include <cstring>

#include "clib/char_classes.h"
#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/format_checks.h"
#include "clib/print_engine.h"
#include "clib/print_functions.h"
#include "clib/stream.h"
#include "debug/debug_output.h"

namespace kez::clib {
namespace {

// ---- a stream: pieces gather in a stage on the stack and go out in few writes

constexpr std::size_t kStage = 1024;

struct StreamOutput : PrintOutput {
    Stream *stream = nullptr;
    char stage[kStage];
};

bool drain(StreamOutput &o) {
    const std::size_t n = kStage - o.room;
    o.cur = o.stage;
    o.room = kStage;
    return n == 0 || write_locked(o.stream, o.stage, n) == n;
}

bool stream_overflow(PrintOutput &out, const char *data, std::size_t size) {
    auto &o = static_cast<StreamOutput &>(out);
    if (!drain(o)) return false;
    if (size >= kStage) return write_locked(o.stream, data, size) == size;
    std::memcpy(o.cur, data, size);
    o.cur += size;
    o.room -= size;
    return true;
}

// ---- memory

bool refuse(PrintOutput &, const char *, std::size_t) { return false; }

bool keep_what_fits(PrintOutput &out, const char *data, std::size_t) {
    std::memcpy(out.cur, data, out.room);
    out.cur += out.room;
    out.room = 0;
    return true;
}

struct CheckedBuffer : PrintOutput {
    FormatChecks *checks = nullptr;
};

bool refuse_and_report(PrintOutput &out, const char *, std::size_t) {
    static_cast<CheckedBuffer &>(out).checks->write_beyond_fixed(1);
    return false;
}

PrintOptions options_for(FormatChecks *checks) {
    PrintOptions options;
    options.decimal_point = current_decimal_point();
    options.checks = checks;
    return options;
}

}  // namespace

int print_to_stream(void *file, const char *format, va_list args, FormatChecks *checks) {
    if (format == nullptr) {
        if (checks != nullptr) checks->null_format();
        return 0;
    }
    StreamLock s(file);
    if (!s) return -1;
    StreamOutput out;
    out.stream = s.get();
    out.cur = out.stage;
    out.room = kStage;
    out.overflow = stream_overflow;
    const int result = print_formatted(out, format, args, options_for(checks));
    // What the call produced before a failure still goes out.
    const bool drained = drain(out);
    return result >= 0 && drained ? result : -1;
}

int print_to_buffer(char *buffer, const char *format, va_list args, FormatChecks *checks) {
    if (buffer == nullptr) {
        set_errno(kEINVAL);
        return -1;
    }
    CheckedBuffer out;
    out.cur = buffer;
    out.room = SIZE_MAX;
    out.overflow = refuse;
    out.checks = checks;
    if (checks != nullptr) {
        // The buffer's known size bounds the text and its NUL.
        if (const std::size_t known = checks->known_fixed_size(1); known != SIZE_MAX) {
            if (known == 0) {
                checks->write_beyond_fixed(1);
                return -1;
            }
            out.room = known - 1;
            out.overflow = refuse_and_report;
        }
    }
    const int result = print_formatted(out, format, args, options_for(checks));
    *out.cur = '\0';
    return result;
}

int print_to_limited(char *buffer, std::size_t limit, const char *format, va_list args, FormatChecks *checks) {
    if (buffer == nullptr && limit != 0) {
        set_errno(kEINVAL);
        return -1;
    }
    char none = 0;
    PrintOutput out;
    out.cur = limit != 0 ? buffer : &none;
    out.room = limit != 0 ? limit - 1 : 0;
    out.overflow = keep_what_fits;
    const int result = print_formatted(out, format, args, options_for(checks));
    *out.cur = '\0';
    return result;
}

int print_to_debugger(const char *prefix, std::size_t limit, const char *format, va_list args, FormatChecks *checks) {
    if (format == nullptr) {
        if (checks != nullptr) checks->null_format();
        return 0;
    }
    char text[kDebugMessageMax + 1];
    const std::size_t lead = std::strlen(prefix);
    std::memcpy(text, prefix, lead);
    PrintOutput out;
    out.cur = text + lead;
    out.room = limit;
    out.overflow = refuse;
    const int result = print_formatted(out, format, args, options_for(checks));
    if (result < 0) return -1;
    const std::size_t size = lead + static_cast<std::size_t>(result);
    for (std::size_t i = lead; i < size; ++i)
        if (text[i] == '\0') text[i] = ' ';
    text[size] = '\0';
    debug::send_debugger_output(text, size);
    return result;
}

}  // namespace kez::clib

namespace clib = kez::clib;

namespace {
clib::Stream *standard_output() { return clib::stream_table()[1]; }
}  // namespace

extern "C" int kez_vfprintf(KezFile *stream, const char *format, va_list args) {
    return clib::print_to_stream(stream, format, args, nullptr);
}

extern "C" int kez_fprintf(KezFile *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_stream(stream, format, args, nullptr);
    va_end(args);
    return result;
}

extern "C" int kez_vprintf(const char *format, va_list args) {
    return clib::print_to_stream(standard_output(), format, args, nullptr);
}

extern "C" int kez_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_stream(standard_output(), format, args, nullptr);
    va_end(args);
    return result;
}

extern "C" int kez_vsprintf(char *buffer, const char *format, va_list args) {
    return clib::print_to_buffer(buffer, format, args, nullptr);
}

extern "C" int kez_sprintf(char *buffer, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_buffer(buffer, format, args, nullptr);
    va_end(args);
    return result;
}

extern "C" int kez_vsnprintf(char *buffer, size_t limit, const char *format, va_list args) {
    return clib::print_to_limited(buffer, limit, format, args, nullptr);
}

extern "C" int kez_snprintf(char *buffer, size_t limit, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_limited(buffer, limit, format, args, nullptr);
    va_end(args);
    return result;
}

extern "C" int vDebugPrintf(const char *format, va_list args) {
    return clib::print_to_debugger("", clib::kDebugTextMax, format, args, nullptr);
}

extern "C" int DebugPrintf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_debugger("", clib::kDebugTextMax, format, args, nullptr);
    va_end(args);
    return result;
}

extern "C" int ErrorPrintf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = clib::print_to_debugger(clib::kErrorPrefix, clib::kErrorTextMax, format, args, nullptr);
    va_end(args);
    return result;
}
