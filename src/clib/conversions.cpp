// stdlib.h's numbers from text: strtol and its kin, the ato* functions,
// strtod and atof.
#include <climits>
#include <type_traits>

#include "clib/char_classes.h"
#include "clib/clib_library.h"
#include "clib/clib_string_exports.h"
#include "clib/decimal_to_double.h"

namespace kez::clib {

namespace {

// A digit's value in bases up to 36, or 36 for anything else.
int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

struct ScannedInteger {
    unsigned long long magnitude;  // valid when !overflow
    bool negative;
    bool overflow;  // the magnitude exceeds the limit for its sign
};

// Reads an integer as strtol does, with the largest magnitude allowed for
// each sign. Sets *end (when not null); a bad base sets errno EINVAL.
ScannedInteger scan_integer(const char *text, char **end, int base, unsigned long long positive_limit,
                            unsigned long long negative_limit) {
    ScannedInteger r{0, false, false};
    if (end != nullptr) *end = const_cast<char *>(text);
    if (base < 0 || base == 1 || base > 36) {
        set_errno(kEINVAL);
        return r;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (is_space_char(*p)) ++p;
    if (*p == '+' || *p == '-') r.negative = *p++ == '-';
    // A 0x prefix counts only when a hexadecimal digit follows; otherwise
    // the 0 is the number.
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = *p == '0' ? 8 : 10;
    }
    const unsigned long long limit = r.negative ? negative_limit : positive_limit;
    const auto b = static_cast<unsigned long long>(base);
    const unsigned char *digits = p;
    for (int d; (d = digit_value(*p)) < base; ++p) {
        if (r.overflow) continue;
        const auto v = static_cast<unsigned long long>(d);
        if (r.magnitude > (limit - v) / b) {
            r.overflow = true;
        } else {
            r.magnitude = r.magnitude * b + v;
        }
    }
    if (p == digits) return ScannedInteger{0, false, false};  // no digits: nothing read
    if (end != nullptr) *end = reinterpret_cast<char *>(const_cast<unsigned char *>(p));
    return r;
}

template <class T>
T to_signed(const char *text, char **end, int base, T min, T max) {
    const auto positive_limit = static_cast<unsigned long long>(max);
    const ScannedInteger r = scan_integer(text, end, base, positive_limit, positive_limit + 1);
    if (r.overflow) {
        set_errno(kERANGE);
        return r.negative ? min : max;
    }
    // Two's complement wrap: a magnitude of max + 1 gives min.
    using U = std::make_unsigned_t<T>;
    const U m = static_cast<U>(r.magnitude);
    return static_cast<T>(r.negative ? U{0} - m : m);
}

template <class T>
T to_unsigned(const char *text, char **end, int base, T max) {
    const ScannedInteger r = scan_integer(text, end, base, max, max);
    if (r.overflow) {
        set_errno(kERANGE);
        return max;
    }
    // As C: a negative number is negated in the unsigned type.
    const T m = static_cast<T>(r.magnitude);
    return r.negative ? static_cast<T>(T{0} - m) : m;
}

}  // namespace
}  // namespace kez::clib

using kez::clib::to_signed;
using kez::clib::to_unsigned;

extern "C" long kez_strtol(const char *text, char **end, int base) {
    return to_signed<long>(text, end, base, LONG_MIN, LONG_MAX);
}
extern "C" unsigned long kez_strtoul(const char *text, char **end, int base) {
    return to_unsigned<unsigned long>(text, end, base, ULONG_MAX);
}
extern "C" long long kez_strtoll(const char *text, char **end, int base) {
    return to_signed<long long>(text, end, base, LLONG_MIN, LLONG_MAX);
}
extern "C" unsigned long long kez_strtoull(const char *text, char **end, int base) {
    return to_unsigned<unsigned long long>(text, end, base, ULLONG_MAX);
}

extern "C" long long strtol64(const char *text, char **end, int base) { return kez_strtoll(text, end, base); }
extern "C" long long kez_strtoimax(const char *text, char **end, int base) { return kez_strtoll(text, end, base); }
extern "C" long long Kez_strtoll(const char *text, char **end, int base) { return kez_strtoll(text, end, base); }
extern "C" long long Kez_strtol64(const char *text, char **end, int base) { return kez_strtoll(text, end, base); }
extern "C" long long Kez_strtoimax(const char *text, char **end, int base) { return kez_strtoll(text, end, base); }
extern "C" unsigned long long strtoul64(const char *text, char **end, int base) {
    return kez_strtoull(text, end, base);
}
extern "C" unsigned long long kez_strtoumax(const char *text, char **end, int base) {
    return kez_strtoull(text, end, base);
}
extern "C" unsigned long long Kez_strtoull(const char *text, char **end, int base) {
    return kez_strtoull(text, end, base);
}
extern "C" unsigned long long Kez_strtoul64(const char *text, char **end, int base) {
    return kez_strtoull(text, end, base);
}
extern "C" unsigned long long Kez_strtoumax(const char *text, char **end, int base) {
    return kez_strtoull(text, end, base);
}

// Narrowed as C converts: modulo 2^32 where long is wider than int.
extern "C" int kez_atoi(const char *text) { return static_cast<int>(kez_strtol(text, nullptr, 10)); }
extern "C" long kez_atol(const char *text) { return kez_strtol(text, nullptr, 10); }
extern "C" long long kez_atoll(const char *text) { return kez_strtoll(text, nullptr, 10); }
extern "C" long long atoi64(const char *text) { return kez_strtoll(text, nullptr, 10); }
extern "C" long long Kez_atoll(const char *text) { return kez_strtoll(text, nullptr, 10); }
extern "C" long long Kez_atoi64(const char *text) { return kez_strtoll(text, nullptr, 10); }

extern "C" double kez_strtod(const char *text, char **end) {
    const kez::clib::ParsedDouble r = kez::clib::parse_double(text, kez::clib::current_decimal_point());
    if (end != nullptr) *end = const_cast<char *>(r.end);
    if (r.range_error) kez::clib::set_errno(kez::clib::kERANGE);
    return r.value;
}

extern "C" double kez_atof(const char *text) { return kez_strtod(text, nullptr); }
