// The printf engine: one formatter over an output with a writable window.
// The plain outputs (a memory buffer, snprintf's limit, a stream, the
// debugger's message) differ only in what happens when a piece does not
// fit the window.
//
// Departures from C that programs see: infinities print as "+Inf"/"-Inf"
// and not-a-number as "NaN" in every real conversion; %p prints the bare
// hexadecimal digits; a NULL %s string fails the call; widths and
// precisions above 509 fail it. Everything else follows C, with reals
// printed from their exact binary value at any precision.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kez::clib {

class FormatChecks;

struct PrintOutput {
    char *cur = nullptr;    // where the next byte goes
    std::size_t room = 0;   // bytes writable at cur
    std::uint64_t produced = 0;  // bytes of output so far, written or not
    // Takes a piece longer than `room`: false fails the call.
    bool (*overflow)(PrintOutput &out, const char *data, std::size_t size) = nullptr;
};

inline bool put(PrintOutput &out, const char *data, std::size_t size) {
    out.produced += size;
    if (size <= out.room) {
        std::memcpy(out.cur, data, size);
        out.cur += size;
        out.room -= size;
        return true;
    }
    return out.overflow(out, data, size);
}

struct PrintOptions {
    char decimal_point = '.';
    FormatChecks *checks = nullptr;
};

// Formats into `out`: the bytes produced (at most INT_MAX), or -1 when a
// conversion or the output failed or the total passed INT_MAX (errno
// ERANGE then). A NULL format produces nothing and gives 0.
int print_formatted(PrintOutput &out, const char *format, va_list args, const PrintOptions &options) noexcept;

// The engine's text into a buffer of `size` bytes, as vsnprintf: at most
// size - 1 bytes and a NUL (nothing when size is 0); returns the full
// length or -1. The decimal point is always '.': the engine's own messages
// and log lines use this.
int format_text(char *buffer, std::size_t size, const char *format, va_list args) noexcept;

// The digits of v in radix 8, 10 or 16, lowest first from `end` backwards;
// returns their start. Zero gives no digits (printf's zero precision).
char *integer_digits(std::uint64_t v, unsigned radix, bool upper, char *end) noexcept;

}  // namespace kez::clib
