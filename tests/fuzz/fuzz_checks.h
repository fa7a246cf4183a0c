// The checks behind the engine's fuzz targets. Each takes one input as the
// fuzzer gives it and returns an empty string when the engine behaved, or
// a description of what went wrong. The libFuzzer targets (Linux, clang)
// trap on a description; the corpus replay tests (every leg) report it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kez::fuzz {

// Printable form of engine output for messages: bytes outside printable
// ASCII, and the backslash, as \xNN.
inline std::string shown(const char *data, std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        const auto ch = static_cast<unsigned char>(data[i]);
        if (ch >= 0x20 && ch < 0x7f && ch != '\\') {
            s += static_cast<char>(ch);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", ch);
            s += hex;
        }
    }
    return s;
}
inline std::string shown(const std::string &s) { return shown(s.data(), s.size()); }

// A format string (cut at the first NUL and at kMaxFormat bytes) with every
// argument slot holding one pointer to a terminated writable buffer: the
// engine's snprintf at several limits gives prefixes of one full text and
// the same result; sprintf and fprintf give that text too.
std::string check_printf_format(const std::uint8_t *data, std::size_t size);

// One conversion and its value decoded from the input: the engine's output
// against the host's snprintf, byte for byte, but for the engine's own
// spellings of infinities and NaN.
std::string check_printf_conversion(const std::uint8_t *data, std::size_t size);

// Eight bytes of a double: "%.17g" and "%.16e" read back by the engine's
// strtod give the same bits.
std::string check_printf_round_trip(const std::uint8_t *data, std::size_t size);

// A format and a text, split at the first NUL: the engine's sscanf over the
// text and its fscanf over a file holding it give the same result and
// store the same bytes.
std::string check_scanf(const std::uint8_t *data, std::size_t size);

// Bytes as a format of Fmt and Scan, in a buffer of exactly their length:
// the parameter-type pass reads none past the end, fails with a format
// error code and a position within the format, or passes with at most 30
// slots, each of the type its specifier says.
std::string check_fmt_arg_types(const std::uint8_t *data, std::size_t size);

// A format, a text and the asterisks' values, split at NULs: Fmt and Scan
// with every pointer parameter a buffer of its own on the heap stay inside
// the buffers (formats whose counts or widths would legitimately overrun
// them are left alone), and report a format error where the type pass
// does, else a count of converted items or an illegal value.
std::string check_fmt_calls(const std::uint8_t *data, std::size_t size);

}  // namespace kez::fuzz
