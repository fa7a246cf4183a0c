// The printf engine. Each conversion is laid out as
//   [spaces] [sign or prefix] [zeros] body [spaces]
// and sent to the output in those pieces, so no field has a length limit
// of its own: a real's body is at most its digits (819 for %.509f of
// DBL_MAX) and a string's is the string.
#include "clib/print_engine.h"

#include <climits>
#include <cstring>

#include "clib/char_classes.h"
#include "clib/clib_library.h"
#include "clib/format_conversion.h"
#include "clib/double_to_decimal.h"
#include "clib/format_checks.h"

namespace kez::clib {
namespace {

struct Args {
    va_list ap;
    int taken = 0;
    FormatChecks *checks = nullptr;
};

// Takes the next variable argument as T; false when the checks know the
// call passed no more, or the value does not fit `kind`.
template <typename T>
bool take(Args &a, ArgKind kind, T &value) {
    if (a.checks != nullptr && !a.checks->has_argument(a.taken)) return false;
    value = va_arg(a.ap, T);
    const int index = a.taken++;
    if (a.checks == nullptr) return true;
    std::uint64_t raw = 0;
    if constexpr (sizeof(T) <= sizeof raw) std::memcpy(&raw, &value, sizeof value);
    return a.checks->argument(index, kind, raw);
}

bool pad(PrintOutput &out, char ch, long long count) {
    if (count <= 0) return true;  // the common case: a field without padding
    char block[64];
    std::memset(block, ch, sizeof block);
    while (count > 0) {
        const std::size_t n = count < 64 ? static_cast<std::size_t>(count) : 64;
        if (!put(out, block, n)) return false;
        count -= static_cast<long long>(n);
    }
    return true;
}

// A field: `lead` (sign, 0x), `zeros`, then the body pieces, padded to
// `width` with spaces (or zeros after the lead when zero_fill).
struct Piece {
    const char *data;
    std::size_t size;
};

bool emit_field(PrintOutput &out, unsigned flags, int width, bool zero_fill, const char *lead, std::size_t lead_size,
                long long zeros, const Piece *body, int pieces) {
    long long total = static_cast<long long>(lead_size) + zeros;
    for (int i = 0; i < pieces; ++i) total += static_cast<long long>(body[i].size);
    const long long fill = width > total ? width - total : 0;
    const bool left = (flags & kFlagMinus) != 0;
    if (!left && !zero_fill && !pad(out, ' ', fill)) return false;
    if (lead_size != 0 && !put(out, lead, lead_size)) return false;
    if (!pad(out, '0', zeros + (!left && zero_fill ? fill : 0))) return false;
    for (int i = 0; i < pieces; ++i)
        if (body[i].size != 0 && !put(out, body[i].data, body[i].size)) return false;
    return !left || pad(out, ' ', fill);
}

// ---- integers ------------------------------------------------------------------

// The value of an integer conversion at its length, as sign and magnitude.
bool take_integer(Args &a, const Conversion &c, std::uint64_t &magnitude, bool &negative) {
    negative = false;
    if ((c.cls & kConvSigned) != 0) {
        long long v = 0;
        switch (c.length) {
        case LengthModifier::hh: {
            int x;
            if (!take(a, ArgKind::char_value, x)) return false;
            v = static_cast<signed char>(x);
            break;
        }
        case LengthModifier::h: {
            int x;
            if (!take(a, ArgKind::short_value, x)) return false;
            v = static_cast<short>(x);
            break;
        }
        case LengthModifier::l: {
            long x;
            if (!take(a, ArgKind::long_value, x)) return false;
            v = x;
            break;
        }
        case LengthModifier::ll:
        case LengthModifier::i64:
        case LengthModifier::j:
        case LengthModifier::L: {
            long long x;
            if (!take(a, ArgKind::long_long_value, x)) return false;
            v = x;
            break;
        }
        case LengthModifier::z:
        case LengthModifier::t: {
            std::int64_t x;
            if (!take(a, ArgKind::size_value, x)) return false;
            v = x;
            break;
        }
        default: {
            int x;
            if (!take(a, ArgKind::int_value, x)) return false;
            v = x;
            break;
        }
        }
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        return true;
    }
    switch (c.length) {
    case LengthModifier::hh: {
        unsigned x;
        if (!take(a, ArgKind::char_value, x)) return false;
        magnitude = static_cast<unsigned char>(x);
        return true;
    }
    case LengthModifier::h: {
        unsigned x;
        if (!take(a, ArgKind::short_value, x)) return false;
        magnitude = static_cast<unsigned short>(x);
        return true;
    }
    case LengthModifier::l: {
        unsigned long x;
        if (!take(a, ArgKind::long_value, x)) return false;
        magnitude = x;
        return true;
    }
    case LengthModifier::ll:
    case LengthModifier::i64:
    case LengthModifier::j:
    case LengthModifier::L: {
        unsigned long long x;
        if (!take(a, ArgKind::long_long_value, x)) return false;
        magnitude = x;
        return true;
    }
    case LengthModifier::z:
    case LengthModifier::t: {
        std::uint64_t x;
        if (!take(a, ArgKind::size_value, x)) return false;
        magnitude = x;
        return true;
    }
    default: {
        unsigned x;
        if (!take(a, ArgKind::int_value, x)) return false;
        magnitude = x;
        return true;
    }
    }
}

}  // namespace

char *integer_digits(std::uint64_t v, unsigned radix, bool upper, char *end) noexcept {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char *p = end;
    if (radix == 10) {
        static constexpr char kPairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        while (v >= 100) {
            const char *pair = kPairs + 2 * (v % 100);
            v /= 100;
            p -= 2;
            p[0] = pair[0];
            p[1] = pair[1];
        }
        if (v >= 10) {
            p -= 2;
            p[0] = kPairs[2 * v];
            p[1] = kPairs[2 * v + 1];
        } else if (v != 0) {
            *--p = static_cast<char>('0' + v);
        }
        return p;
    }
    const unsigned shift = radix == 16 ? 4 : 3;
    for (; v != 0; v >>= shift) *--p = digits[v & (radix - 1)];
    return p;
}

namespace {

bool print_integer(PrintOutput &out, const Conversion &c, unsigned flags, int width, int precision,
                   std::uint64_t magnitude, bool negative) {
    unsigned radix = 10;
    if ((c.cls & kConvO) != 0) radix = 8;
    if ((c.cls & (kConvX | kConvXUpper | kConvP)) != 0) radix = 16;
    char buffer[24];
    char *end = buffer + sizeof buffer;
    char *digits = integer_digits(magnitude, radix, (c.cls & kConvXUpper) != 0, end);
    long long count = end - digits;
    if (precision < 0) {
        precision = 1;
    } else {
        flags &= ~static_cast<unsigned>(kFlagZero);  // a precision turns zero padding off
    }
    long long zeros = precision > count ? precision - count : 0;
    char lead[2];
    std::size_t lead_size = 0;
    if ((c.cls & kConvSigned) != 0) {
        if (negative) lead[lead_size++] = '-';
        else if ((flags & kFlagPlus) != 0) lead[lead_size++] = '+';
        else if ((flags & kFlagSpace) != 0) lead[lead_size++] = ' ';
    }
    if ((flags & kFlagAlternate) != 0) {
        if (radix == 8 && zeros == 0 && (count == 0 || *digits != '0')) zeros = 1;
        if ((c.cls & (kConvX | kConvXUpper)) != 0 && magnitude != 0) {
            lead[0] = '0';
            lead[1] = (c.cls & kConvXUpper) != 0 ? 'X' : 'x';
            lead_size = 2;
        }
    }
    const Piece body{digits, static_cast<std::size_t>(count)};
    const bool zero_fill = (flags & kFlagZero) != 0 && (flags & kFlagMinus) == 0;
    return emit_field(out, flags, width, zero_fill, lead, lead_size, zeros, &body, 1);
}

// ---- reals -----------------------------------------------------------------------

struct Real {
    bool wide;  // a long double of the x87 format
    double d;
    long double ld;
};

DecimalDigits real_digits(const Real &v, DigitMode mode, int precision, char *out, int size) {
    if (v.wide) return long_double_to_decimal(v.ld, mode, precision, out, size);
    return double_to_decimal(v.d, mode, precision, out, size);
}

// Room for the digits: %.509f of the largest value (more than the 510
// significant digits of %.509e).
constexpr int kWideDigits = kMaxFieldWidth + kLongDoubleFixedExtraDigits;
constexpr int kNarrowDigits = kMaxFieldWidth + kDoubleFixedExtraDigits;

// Writes the exponent part ("e+05") to p; returns its length.
int exponent_text(char *p, char letter, int exponent) {
    int n = 0;
    p[n++] = letter;
    p[n++] = exponent < 0 ? '-' : '+';
    unsigned e = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    char digits[8];
    int d = 0;
    do {
        digits[d++] = static_cast<char>('0' + e % 10);
        e /= 10;
    } while (e != 0);
    if (d < 2) digits[d++] = '0';
    while (d > 0) p[n++] = digits[--d];
    return n;
}

template <int Size>
bool print_real_sized(PrintOutput &out, const Conversion &c, unsigned flags, int width, int precision,
                      const Real &v, char point) {
    char digits[Size];
    const bool upper = (c.cls & (kConvEUpper | kConvGUpper)) != 0;
    const bool general = (c.cls & (kConvG | kConvGUpper)) != 0;
    bool exponent_form = (c.cls & (kConvE | kConvEUpper)) != 0;
    if (precision < 0) precision = 6;
    if (general && precision == 0) precision = 1;

    DecimalDigits d;
    if (exponent_form) d = real_digits(v, DigitMode::significant, precision + 1, digits, Size);
    else if (general) d = real_digits(v, DigitMode::significant, precision, digits, Size);
    else d = real_digits(v, DigitMode::after_point, precision, digits, Size);
    if (d.count < 0) return false;  // not expected: the buffer holds every request

    char lead[1];
    std::size_t lead_size = 0;
    if (d.special != DigitSpecial::finite) {
        const char *text = d.special == DigitSpecial::nan ? "NaN" : d.negative ? "-Inf" : "+Inf";
        const Piece body{text, std::strlen(text)};
        return emit_field(out, flags, width, false, lead, 0, 0, &body, 1);
    }
    if (d.negative) lead[lead_size++] = '-';
    else if ((flags & kFlagPlus) != 0) lead[lead_size++] = '+';
    else if ((flags & kFlagSpace) != 0) lead[lead_size++] = ' ';

    const bool alternate = (flags & kFlagAlternate) != 0;
    const int x = d.exponent - 1;  // the exponent of the first digit
    if (general) exponent_form = x < -4 || x >= precision;

    // Pieces: integer digits, leading zeros of the fraction, fraction
    // digits, exponent; the point between them.
    const char *integer = digits;
    int integer_size = 1;
    long long fraction_zeros = 0;
    const char *fraction_digits = digits + 1;
    int fraction_size = 0;
    char expo[12];
    int expo_size = 0;
    if (exponent_form) {
        fraction_size = d.count - 1;
        const bool zero = digits[0] == '0';
        expo_size = exponent_text(expo, upper ? 'E' : 'e', zero ? 0 : x);
    } else if (d.exponent > 0) {
        integer_size = d.exponent;
        fraction_digits = digits + d.exponent;
        fraction_size = d.count - d.exponent;
    } else {
        integer = "0";
        fraction_zeros = -d.exponent;
        fraction_digits = digits;
        fraction_size = d.count;
    }
    if (general && !alternate) {
        while (fraction_size > 0 && fraction_digits[fraction_size - 1] == '0') --fraction_size;
        if (fraction_size == 0) fraction_zeros = 0;
    }
    const bool with_point = fraction_size > 0 || fraction_zeros > 0 || alternate;
    const char point_text[1] = {point};
    const bool zero_fill = (flags & kFlagZero) != 0 && (flags & kFlagMinus) == 0;
    if (fraction_zeros == 0) {
        const Piece body[] = {{integer, static_cast<std::size_t>(integer_size)},
                              {point_text, with_point ? 1u : 0u},
                              {fraction_digits, static_cast<std::size_t>(fraction_size)},
                              {expo, static_cast<std::size_t>(expo_size)}};
        return emit_field(out, flags, width, zero_fill, lead, lead_size, 0, body, 4);
    }
    // 0.000ddd: the zeros after the point are a piece of their own.
    char zeros_text[8];
    std::memset(zeros_text, '0', sizeof zeros_text);
    long long total = lead_size + 1 + 1 + fraction_zeros + fraction_size;
    const long long fill = width > total ? width - total : 0;
    const bool left = (flags & kFlagMinus) != 0;
    if (!left && !zero_fill && !pad(out, ' ', fill)) return false;
    if (lead_size != 0 && !put(out, lead, lead_size)) return false;
    if (zero_fill && !pad(out, '0', fill)) return false;
    if (!put(out, integer, 1) || !put(out, point_text, 1) || !pad(out, '0', fraction_zeros)) return false;
    if (!put(out, fraction_digits, static_cast<std::size_t>(fraction_size))) return false;
    return !left || pad(out, ' ', fill);
}

bool print_real(PrintOutput &out, const Conversion &c, unsigned flags, int width, int precision, const Real &v,
                char point) {
    if (v.wide) return print_real_sized<kWideDigits>(out, c, flags, width, precision, v, point);
    return print_real_sized<kNarrowDigits>(out, c, flags, width, precision, v, point);
}

bool take_real(Args &a, const Conversion &c, Real &v) {
#if defined(_WIN32)
    // The platform's long double is its double.
    (void)c;
    v.wide = false;
    return take(a, ArgKind::double_value, v.d);
#else
    if (c.length == LengthModifier::L) {
        v.wide = true;
        return take(a, ArgKind::long_double_value, v.ld);
    }
    v.wide = false;
    return take(a, ArgKind::double_value, v.d);
#endif
}

// ---- strings and the rest -------------------------------------------------------

// The bytes of s to print: up to its NUL, or the precision without cutting
// a two-byte character; within `known` bytes when the checks know its
// storage (false: the string runs past it).
bool string_length(const char *s, int precision, std::size_t known, std::size_t &length) {
    std::size_t limit = precision >= 0 ? static_cast<std::size_t>(precision) : SIZE_MAX;
    const bool bounded = known < limit;
    if (bounded) limit = known;
    const void *nul = limit == SIZE_MAX ? s + std::strlen(s) : std::memchr(s, 0, limit);
    length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nul) - s) : limit;
    if (nul == nullptr && bounded) return false;
    if (precision >= 0 && length == static_cast<std::size_t>(precision)) {
        if (const bool *lead = active_lead_bytes(); lead != nullptr) {
            const auto *b = reinterpret_cast<const unsigned char *>(s);
            std::size_t n = 0;
            while (n < length) {
                const std::size_t size = lead[b[n]] && b[n + 1] != 0 ? 2 : 1;
                if (n + size > length) break;
                n += size;
            }
            length = n;
        }
    }
    return true;
}

bool store_count(Args &a, const Conversion &c, std::uint64_t produced) {
    void *target = nullptr;
    ArgKind kind = ArgKind::int_pointer;
    switch (c.length) {
    case LengthModifier::hh: kind = ArgKind::char_pointer; break;
    case LengthModifier::h: kind = ArgKind::short_pointer; break;
    case LengthModifier::l: kind = ArgKind::long_pointer; break;
    case LengthModifier::ll:
    case LengthModifier::i64:
    case LengthModifier::j:
    case LengthModifier::z:
    case LengthModifier::t: kind = ArgKind::long_long_pointer; break;
    default: break;
    }
    if (!take(a, kind, target) || target == nullptr) return false;
    switch (kind) {
    case ArgKind::char_pointer: *static_cast<signed char *>(target) = static_cast<signed char>(produced); break;
    case ArgKind::short_pointer: *static_cast<short *>(target) = static_cast<short>(produced); break;
    case ArgKind::long_pointer: *static_cast<long *>(target) = static_cast<long>(produced); break;
    case ArgKind::long_long_pointer: *static_cast<long long *>(target) = static_cast<long long>(produced); break;
    default: *static_cast<int *>(target) = static_cast<int>(produced); break;
    }
    return true;
}

bool too_wide(Args &a) {
    if (a.checks != nullptr) a.checks->field_too_wide();
    return false;
}

bool print_conversion(PrintOutput &out, Args &a, const Conversion &c, char point) {
    unsigned flags = c.flags;
    int width = c.width < 0 ? 0 : c.width;
    int precision = c.precision;
    if (c.width == kFromArgument) {
        int w;
        if (!take(a, ArgKind::int_value, w)) return false;
        if (w == INT_MIN) return too_wide(a);
        if (w < 0) {
            flags |= kFlagMinus;
            w = -w;
        }
        width = w;
    }
    if (c.precision == kFromArgument) {
        int p;
        if (!take(a, ArgKind::int_value, p)) return false;
        precision = p < 0 ? kNotGiven : p;  // a negative precision is no precision
    }
    if (precision < 0) flags &= ~static_cast<unsigned>(kFlagPrecision);
    // A string without a width has no limit; everything else keeps within
    // the field limit.
    const bool limited = c.cls != kConvS || (flags & kFlagWidth) != 0;
    if (limited && (width > kMaxFieldWidth || precision > kMaxFieldWidth)) return too_wide(a);

    if ((c.cls & kConvInteger) != 0) {
        std::uint64_t magnitude;
        bool negative;
        if (!take_integer(a, c, magnitude, negative)) return false;
        return print_integer(out, c, flags, width, precision, magnitude, negative);
    }
    if ((c.cls & kConvReal) != 0) {
        Real v{};
        if (!take_real(a, c, v)) return false;
        return print_real(out, c, flags, width, precision, v, point);
    }
    switch (c.cls) {
    case kConvC: {
        int ch;
        if (!take(a, ArgKind::int_value, ch)) return false;
        const char byte = static_cast<char>(static_cast<unsigned char>(ch));
        const Piece body{&byte, 1};
        return emit_field(out, flags, width, false, nullptr, 0, 0, &body, 1);
    }
    case kConvS: {
        const int index = a.taken;
        const char *s;
        if (!take(a, ArgKind::string, s) || s == nullptr) return false;
        const std::size_t known = a.checks != nullptr ? a.checks->known_size(index) : SIZE_MAX;
        std::size_t length;
        if (!string_length(s, precision, known, length)) {
            a.checks->read_beyond(index);
            return false;
        }
        const Piece body{s, length};
        return emit_field(out, flags, width, false, nullptr, 0, 0, &body, 1);
    }
    case kConvP: {
        void *p;
        if (!take(a, ArgKind::void_pointer, p)) return false;
        const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        return print_integer(out, c, flags & ~static_cast<unsigned>(kFlagAlternate), width, precision, value, false);
    }
    case kConvN: return store_count(a, c, out.produced);
    default: return false;
    }
}

// The end of the literal run at p: the next '%' or the NUL. With a
// multibyte code page the run moves by whole characters, so a trail byte
// that equals '%' stays text.
const char *literal_end(const char *p, const bool *lead) {
    if (lead == nullptr) {
        // Literal runs are short: one pass, where strchr and then strlen
        // at the end of the format would take two calls.
        while (*p != '\0' && *p != '%') ++p;
        return p;
    }
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    while (*b != 0 && *b != '%') b += lead[*b] && b[1] != 0 ? 2 : 1;
    return reinterpret_cast<const char *>(b);
}

}  // namespace

int print_formatted(PrintOutput &out, const char *format, va_list args, const PrintOptions &options) noexcept {
    if (format == nullptr) {
        if (options.checks != nullptr) options.checks->null_format();
        return 0;
    }
    Args a;
    va_copy(a.ap, args);
    a.checks = options.checks;
    const bool *lead = active_lead_bytes();
    const char *p = format;
    bool ok = true;
    for (;;) {
        const char *run_end = literal_end(p, lead);
        if (run_end != p && !put(out, p, static_cast<std::size_t>(run_end - p))) {
            ok = false;
            break;
        }
        p = run_end;
        if (*p == '\0') break;
        if (p[1] == '%') {
            if (!put(out, "%", 1)) {
                ok = false;
                break;
            }
            p += 2;
            continue;
        }
        Conversion c;
        const ParsedConversion parsed = parse_print_conversion(p + 1, c);
        if (parsed.error != FormatError::none) {
            if (a.checks != nullptr) a.checks->format_error(static_cast<int>(parsed.next - format) + 1, parsed.error);
            ok = false;
            break;
        }
        if (a.checks != nullptr) a.checks->conversion(c, false);
        if (!print_conversion(out, a, c, options.decimal_point)) {
            ok = false;
            break;
        }
        p = parsed.next;
    }
    va_end(a.ap);
    if (!ok) return -1;
    if (a.checks != nullptr) a.checks->finish(a.taken);
    if (out.produced > static_cast<std::uint64_t>(INT_MAX)) {
        set_errno(kERANGE);
        return -1;
    }
    return static_cast<int>(out.produced);
}

namespace {
bool keep_what_fits(PrintOutput &out, const char *data, std::size_t size) {
    (void)size;
    std::memcpy(out.cur, data, out.room);
    out.cur += out.room;
    out.room = 0;
    return true;
}
}  // namespace

int format_text(char *buffer, std::size_t size, const char *format, va_list args) noexcept {
    char none = 0;
    PrintOutput out;
    out.cur = size != 0 && buffer != nullptr ? buffer : &none;
    out.room = size != 0 && buffer != nullptr ? size - 1 : 0;
    out.overflow = keep_what_fits;
    const int result = print_formatted(out, format, args, PrintOptions{});
    *out.cur = '\0';
    return result;
}

}  // namespace kez::clib
