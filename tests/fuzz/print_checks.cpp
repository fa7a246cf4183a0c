// The printf family's fuzz checks: whole formats over pointer arguments,
// single conversions against the host's snprintf, and the round trip of
// 17 significant digits through the engine's strtod.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "clib/clib_exports.h"
#include "clib/clib_string_exports.h"
#include "fuzz/fuzz_checks.h"

namespace kez::fuzz {
namespace {

// ---- whole formats ------------------------------------------------------------------

constexpr std::size_t kMaxFormat = 200;
// The arguments: 64 copies of one pointer, then eight doubles. On x86-64
// the doubles travel in the vector registers, which a real conversion
// reads first (their save area would be left undefined without them); past
// them reals read the pointers' bits from the stack. A conversion takes at
// most five eight-byte stack slots there (two '*' ints and a
// 16-byte-aligned long double); the 61 pointers on the stack cover a dozen
// conversions. Elsewhere every argument has its slot, in the call's order.
constexpr int kMaxPercents = 12;
constexpr std::size_t kArgSize = 4096;
// The most one format can produce: a dozen fields of at most the argument
// string (4095 bytes) or a 509-wide real of 819 digits, and the literals.
constexpr std::size_t kMaxOutput = 64 * 1024;

#define KEZ_P8(p) p, p, p, p, p, p, p, p
#define KEZ_ARGS(p)                                                                                      \
    KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), KEZ_P8(p), 1.5, -0.0, 1e300, \
        5e-324, 123456.789, std::nan(""), -HUGE_VAL, 0.1

// The argument buffer: a string, then zeros; %n writes into its start, so
// it is laid anew before each call.
struct Argument {
    alignas(16) char bytes[kArgSize];
    void reset() {
        std::memset(bytes, 0, sizeof bytes);
        static const char text[] = "kez fuzz argument: 0123456789 abcdef";
        std::memcpy(bytes, text, sizeof text);
    }
};

// One output buffer filled with `fill` before the call; the text is what
// the call wrote up to its NUL, found as the first byte where two calls
// over different fills differ (the byte after the NUL).
struct Written {
    int result = 0;
    std::string text;  // without the NUL
    bool terminated = false;
};

template <class Call>
Written written_by(Call call, std::size_t room, std::vector<char> &a, std::vector<char> &b) {
    Written w;
    a.assign(room, '\x11');
    b.assign(room, '\xee');
    w.result = call(a.data());
    const int again = call(b.data());
    if (again != w.result) {
        w.result = -2;  // the same call gave two results: reported by the caller
        return w;
    }
    std::size_t n = 0;
    while (n < room && a[n] == b[n]) ++n;
    // a[0..n) is what the call wrote; it ends with the NUL.
    w.terminated = n > 0 && a[n - 1] == '\0';
    w.text.assign(a.data(), w.terminated ? n - 1 : n);
    return w;
}

}  // namespace

std::string check_printf_format(const std::uint8_t *data, std::size_t size) {
    std::string format(reinterpret_cast<const char *>(data), size < kMaxFormat ? size : kMaxFormat);
    format = format.c_str();
    int percents = 0;
    for (char ch : format) percents += ch == '%';
    if (percents > kMaxPercents) return {};
    const char *f = format.c_str();

    static Argument arg;
    char *p = arg.bytes;
    std::vector<char> a, b;

    // The full text, with a limit no format reaches.
    const Written full = written_by(
        [&](char *out) {
            arg.reset();
            return kez_snprintf(out, kMaxOutput, f, KEZ_ARGS(p));
        },
        kMaxOutput, a, b);
    const std::string where = "format \"" + shown(format) + "\": ";
    if (full.result == -2) return where + "two calls gave different results";
    if (!full.terminated) return where + "the text has no NUL within the limit";
    if (full.result >= 0 && static_cast<std::size_t>(full.result) != full.text.size())
        return where + "returned " + std::to_string(full.result) + " for " + std::to_string(full.text.size()) +
               " bytes: " + shown(full.text);

    // Each limit: the same result, the text cut to limit - 1 bytes, nothing
    // written past the limit. A failed call (-1) keeps what it produced
    // before the failure, cut the same way.
    for (const std::size_t limit : {0, 1, 7, 64, 4096}) {
        const std::size_t room = limit + 16;
        const Written w = written_by(
            [&](char *out) {
                arg.reset();
                return kez_snprintf(out, limit, f, KEZ_ARGS(p));
            },
            room, a, b);
        const std::string at = where + "limit " + std::to_string(limit) + ": ";
        if (w.result != full.result)
            return at + "returned " + std::to_string(w.result) + ", without a limit " + std::to_string(full.result);
        if (limit == 0) {
            if (!w.text.empty() || w.terminated) return at + "wrote " + shown(w.text);
            continue;
        }
        const std::string expected = full.text.substr(0, limit - 1);
        if (!w.terminated || w.text != expected)
            return at + "wrote \"" + shown(w.text) + "\" (terminated: " + (w.terminated ? "yes" : "no") +
                   ") for \"" + shown(expected) + "\"";
    }

    // sprintf: the full text.
    const Written s = written_by(
        [&](char *out) {
            arg.reset();
            return kez_sprintf(out, f, KEZ_ARGS(p));
        },
        kMaxOutput, a, b);
    if (s.result != full.result || s.text != full.text || !s.terminated)
        return where + "sprintf gave " + std::to_string(s.result) + " \"" + shown(s.text) + "\"";

    // fprintf to a file: the full text, also what a failed call produced.
    static KezFile *file = kez_tmpfile();
    if (file == nullptr) return "no temporary file for fprintf";
    kez_rewind(file);
    arg.reset();
    const int r = kez_fprintf(file, f, KEZ_ARGS(p));
    if (r != full.result) return where + "fprintf returned " + std::to_string(r);
    kez_rewind(file);
    std::string back(full.text.size(), '\0');
    if (kez_fread(back.data(), 1, back.size(), file) != back.size() || back != full.text)
        return where + "fprintf wrote \"" + shown(back) + "\"";
    return {};
}

#undef KEZ_ARGS
#undef KEZ_P8

// ---- one conversion against the host ---------------------------------------------------

namespace {

// The input's layout:
//   [0] letter, one of kLetters
//   [1] flags: bits 0-4 '+' '-' ' ' '#' '0'; bit 5 a width; bit 6 a
//       precision; bit 7 the width from an argument
//   [2] width (0..60; from an argument a signed byte, -60..60)
//   [3] precision (0..60; from an argument a signed byte, negative meaning none)
//   [4] bits 0-2 length (integers: none hh h l ll j z t; reals: l when odd);
//       bit 6 a bare '.' for precision 0; bit 7 the precision from an argument
//   [5..12] the value: integer bits or a double's bits
//   [13..] %s: the string, at most 64 bytes, to the first NUL
constexpr std::size_t kConversionHead = 13;
constexpr char kLetters[] = "diuoxXfeEgGcs";

struct Decoded {
    std::string format;
    std::string head;  // '%', the flags and the width
    int precision;     // the precision in effect; -1 for none
    char letter;
    int length;  // index into the integer lengths
    bool width_arg, precision_arg;
    int width_value, precision_value;
    bool left;  // '-' given, or a negative width from the argument
    int width;  // the field width in effect
    std::uint64_t bits;
    std::string text;
};

Decoded decode(const std::uint8_t *data, std::size_t size) {
    Decoded d{};
    d.letter = kLetters[data[0] % (sizeof kLetters - 1)];
    const bool integer = std::strchr("diuoxX", d.letter) != nullptr;
    const bool real = std::strchr("feEgG", d.letter) != nullptr;
    const unsigned flags = data[1];
    d.head = "%";
    if (flags & 1) d.head += '+';
    if (flags & 2) d.head += '-';
    if (flags & 4) d.head += ' ';
    // '#' has no meaning for d, i, u, c and s, nor '0' for c and s, and
    // neither has a precision for c: C leaves them undefined.
    if ((flags & 8) && std::strchr("diucs", d.letter) == nullptr) d.head += '#';
    if ((flags & 16) && d.letter != 'c' && d.letter != 's') d.head += '0';
    d.left = (flags & 2) != 0;
    d.width_arg = (flags & 32) && (flags & 128);
    if (d.width_arg) {
        d.width_value = static_cast<std::int8_t>(data[2]) % 61;
        d.head += '*';
        if (d.width_value < 0) d.left = true;
        d.width = d.width_value < 0 ? -d.width_value : d.width_value;
    } else if (flags & 32) {
        d.width = data[2] % 61;
        d.head += std::to_string(d.width);
    }
    d.format = d.head;
    d.precision = -1;
    if ((flags & 64) && d.letter != 'c') {
        d.format += '.';
        d.precision_arg = (data[4] & 128) != 0;
        if (d.precision_arg) {
            d.precision_value = static_cast<std::int8_t>(data[3]) % 61;
            d.format += '*';
            d.precision = d.precision_value < 0 ? -1 : d.precision_value;
        } else {
            d.precision = data[3] % 61;
            if (d.precision != 0 || (data[4] & 64) == 0) d.format += std::to_string(d.precision);
        }
    }
    static const char *const kLengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
    d.length = integer ? data[4] & 7 : 0;
    if (integer) d.format += kLengths[d.length];
    if (real && (data[4] & 1)) d.format += 'l';
    d.format += d.letter;
    std::memcpy(&d.bits, data + 5, 8);
    for (std::size_t i = kConversionHead; i < size && i < kConversionHead + 64 && data[i] != 0; ++i)
        d.text += static_cast<char>(data[i]);
    return d;
}

struct Outputs {
    int engine, host;
    char e[512], h[512];
};

// Both functions over the same arguments: the '*' values, then the value.
template <class... V>
void print_both(Outputs &o, const Decoded &d, V... value) {
    const char *f = d.format.c_str();
    if (d.width_arg && d.precision_arg) {
        o.engine = kez_snprintf(o.e, sizeof o.e, f, d.width_value, d.precision_value, value...);
        o.host = std::snprintf(o.h, sizeof o.h, f, d.width_value, d.precision_value, value...);
    } else if (d.width_arg) {
        o.engine = kez_snprintf(o.e, sizeof o.e, f, d.width_value, value...);
        o.host = std::snprintf(o.h, sizeof o.h, f, d.width_value, value...);
    } else if (d.precision_arg) {
        o.engine = kez_snprintf(o.e, sizeof o.e, f, d.precision_value, value...);
        o.host = std::snprintf(o.h, sizeof o.h, f, d.precision_value, value...);
    } else {
        o.engine = kez_snprintf(o.e, sizeof o.e, f, value...);
        o.host = std::snprintf(o.h, sizeof o.h, f, value...);
    }
}

void print_integer(Outputs &o, const Decoded &d) {
    const std::uint64_t v = d.bits;
    const bool is_signed = d.letter == 'd' || d.letter == 'i';
    // hh and h take an int and print it converted to char or short.
    switch (d.length) {
    case 0:
    case 1:
    case 2:
        if (is_signed) print_both(o, d, static_cast<int>(v));
        else print_both(o, d, static_cast<unsigned>(v));
        break;
    case 3:
        if (is_signed) print_both(o, d, static_cast<long>(v));
        else print_both(o, d, static_cast<unsigned long>(v));
        break;
    case 4:
        if (is_signed) print_both(o, d, static_cast<long long>(v));
        else print_both(o, d, static_cast<unsigned long long>(v));
        break;
    case 5:
        if (is_signed) print_both(o, d, static_cast<std::intmax_t>(v));
        else print_both(o, d, static_cast<std::uintmax_t>(v));
        break;
    default:  // z, t
        if (is_signed) print_both(o, d, static_cast<std::ptrdiff_t>(v));
        else print_both(o, d, static_cast<std::size_t>(v));
        break;
    }
}

// The engine's infinities and NaN: its own words in the field, no zeros.
std::string special_field(const Decoded &d, double value) {
    const char *word = std::isnan(value) ? "NaN" : value < 0 ? "-Inf" : "+Inf";
    std::string s = word;
    const std::size_t w = static_cast<std::size_t>(d.width);
    if (s.size() < w) s = d.left ? s + std::string(w - s.size(), ' ') : std::string(w - s.size(), ' ') + s;
    return s;
}

bool alternate_general_in_exponent_form(const Decoded &d, const std::string &host) {
    if ((d.letter != 'g' && d.letter != 'G') || d.head.find('#') == std::string::npos) return false;
    return host.find(d.letter == 'g' ? 'e' : 'E') != std::string::npos;
}

template <class... V>
std::string host_text(const std::string &format, V... value) {
    char out[512];
    const int n = std::snprintf(out, sizeof out, format.c_str(), value...);
    return n >= 0 ? std::string(out, static_cast<std::size_t>(n)) : "(failed)";
}

}  // namespace

std::string check_printf_conversion(const std::uint8_t *data, std::size_t size) {
    if (size < kConversionHead) return {};
    const Decoded d = decode(data, size);
    Outputs o{};
    double real = 0;
    std::memcpy(&real, &d.bits, 8);
    if (std::strchr("diuoxX", d.letter) != nullptr) {
        print_integer(o, d);
    } else if (d.letter == 'c') {
        print_both(o, d, static_cast<int>(d.bits));
    } else if (d.letter == 's') {
        print_both(o, d, d.text.c_str());
    } else {
        print_both(o, d, real);
    }
    char value[64];
    std::snprintf(value, sizeof value, "%#llx", static_cast<unsigned long long>(d.bits));
    std::string where = "\"" + d.format + "\" of " + value;
    if (d.width_arg) where += " width " + std::to_string(d.width_value);
    if (d.precision_arg) where += " precision " + std::to_string(d.precision_value);
    if (o.engine < 0) return where + ": the engine failed";
    const std::string engine(o.e, static_cast<std::size_t>(o.engine));
    std::string host = o.host >= 0 ? std::string(o.h, static_cast<std::size_t>(o.host)) : "(failed)";
    if (std::strchr("feEgG", d.letter) != nullptr && !std::isfinite(real)) {
        host = special_field(d, real);
    } else if (alternate_general_in_exponent_form(d, host)) {
        // The host drops the zeros that '#' keeps when rounding carries %#g
        // into the exponent form ("1.e+06" for 999999.5); that form is %e
        // with one digit less.
        const int p = d.precision < 0 ? 6 : d.precision == 0 ? 1 : d.precision;
        const std::string e_format = d.head + "." + std::to_string(p - 1) + (d.letter == 'g' ? 'e' : 'E');
        host = d.width_arg ? host_text(e_format, d.width_value, real) : host_text(e_format, real);
    }
    if (engine != host) return where + ": the engine wrote \"" + shown(engine) + "\", the host \"" + shown(host) + "\"";
    return {};
}

// ---- 17 digits and back --------------------------------------------------------------------

std::string check_printf_round_trip(const std::uint8_t *data, std::size_t size) {
    if (size < 8) return {};
    double value;
    std::memcpy(&value, data, 8);
    if (!std::isfinite(value)) return {};
    for (const char *format : {"%.17g", "%.16e"}) {
        char text[64];
        const int n = kez_snprintf(text, sizeof text, format, value);
        char hex[32];
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        std::snprintf(hex, sizeof hex, "%#llx", static_cast<unsigned long long>(bits));
        const std::string where = std::string(format) + " of " + hex + ": ";
        if (n <= 0 || n >= static_cast<int>(sizeof text)) return where + "returned " + std::to_string(n);
        for (int i = 0; i < n; ++i)
            if (std::strchr("0123456789.e+-", text[i]) == nullptr) return where + "wrote " + shown(text, n);
        char *end = nullptr;
        const double back = kez_strtod(text, &end);
        std::uint64_t back_bits;
        std::memcpy(&back_bits, &back, 8);
        if (end != text + n || back_bits != bits) return where + "\"" + shown(text, n) + "\" reads back differently";
    }
    return {};
}

}  // namespace kez::fuzz
