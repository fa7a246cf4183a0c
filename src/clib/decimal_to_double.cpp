// Decimal to double. Short inputs whose digits and power of ten are both
// exact doubles take one rounded multiplication or division. Everything else
// is decided exactly: the decimal value is held as the fraction N * 2^s / Dn
// of big integers, an estimate from their leading bits lands within a few
// units in the last place, and exact comparisons with the midpoints between
// neighbouring doubles move the candidate to the correctly rounded one.
//
// The midpoint between two adjacent doubles has at most 767 significant
// decimal digits, so the first 800 digits are kept and anything after them
// matters only as "non-zero or not": a non-zero tail is replaced by one
// digit 1 after the kept ones. That digit keeps the value strictly between
// the same two multiples of the 800th digit's unit, which no midpoint lies
// strictly between, so every comparison comes out as for the full input.
#include "clib/decimal_to_double.h"

#include "clib/big_integer.h"
#include "clib/decimal_fast_path.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kez::clib {
namespace {

constexpr int kKeptDigits = 800;
// 800 digits times 5^1124 with a 54-bit factor and shifts stay below 2800
// bits; the capacity leaves a wide margin.
constexpr int kLimbs = 160;
constexpr uint64_t kInfBits = 0x7FF0000000000000ull;

using Big = BigUnsigned<kLimbs>;

// The decimal value as num * 2^s / den.
struct Exact {
    Big num, den;
    int64_t s;

    // Sign of value - m * 2^f.
    int compare_with(uint64_t m, int64_t f) const {
        Big l, r;
        l.copy_from(num);
        r.copy_from(den);
        r.mul_u64(m);
        const int64_t t = s - f;
        if (t > 0) l.shift_left(t);
        else r.shift_left(-t);
        return compare(l, r);
    }
};

void decode(uint64_t bits, uint64_t &m, int64_t &e) {
    const uint64_t biased = bits >> 52, frac = bits & ((uint64_t{1} << 52) - 1);
    m = biased == 0 ? frac : frac | (uint64_t{1} << 52);
    e = biased == 0 ? -1074 : static_cast<int64_t>(biased) - 1075;
}

// Sign of value - (midpoint between the double with these bits and the next one up).
int compare_midpoint_above(const Exact &x, uint64_t bits) {
    uint64_t m;
    int64_t e;
    decode(bits, m, e);
    return x.compare_with(2 * m + 1, e - 1);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool matches(const char *p, const char *word) {
    for (; *word != '\0'; ++p, ++word)
        if (lower(*p) != *word) return false;
    return true;
}

// The magnitude of digits[0..count) * 10^e10, digits without leading or
// trailing zeros, the decimal point of 0.digits at dexp = e10 + count.
ParsedDouble convert(const char *digits, int count, int64_t e10) {
    const int64_t dexp = e10 + count;
    if (dexp > 310) return {std::numeric_limits<double>::infinity(), nullptr, true};
    if (dexp < -323) return {0.0, nullptr, true};  // below 10^-324, under half the least subnormal

    if (count <= 19) {
        uint64_t d = 0;
        for (int i = 0; i < count; ++i) d = d * 10 + static_cast<uint64_t>(digits[i] - '0');
        static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        if (d <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
            const double v = static_cast<double>(d);
            return {e10 >= 0 ? v * kPow10[e10] : v / kPow10[-e10], nullptr, false};
        }
        uint64_t bits = 0;
        if (fast_decimal_to_double(d, e10, &bits)) return {std::bit_cast<double>(bits), nullptr, false};
    } else {
        // More digits than fit: the value lies between the first 19 digits
        // and those plus one unit; when both ends round alike, so does it.
        uint64_t d = 0;
        for (int i = 0; i < 19; ++i) d = d * 10 + static_cast<uint64_t>(digits[i] - '0');
        uint64_t low = 0, high = 0;
        const int64_t q = e10 + (count - 19);
        if (fast_decimal_to_double(d, q, &low) && fast_decimal_to_double(d + 1, q, &high) && low == high)
            return {std::bit_cast<double>(low), nullptr, false};
    }

    Exact x;
    x.num.set(0);
    for (int i = 0; i < count;) {
        uint32_t chunk = 0, scale = 1;
        for (int j = 0; j < 9 && i < count; ++j, ++i) {
            chunk = chunk * 10 + static_cast<uint32_t>(digits[i] - '0');
            scale *= 10;
        }
        if (x.num.n == 0) x.num.set(chunk);
        else x.num.mul_add(scale, chunk);
    }
    x.den.set(1);
    if (e10 >= 0) x.num.mul_pow5(e10);
    else x.den.mul_pow5(-e10);
    x.s = e10;

    int64_t num_scale, den_scale;
    const double ratio = x.num.leading(num_scale) / x.den.leading(den_scale);
    const double estimate = std::ldexp(ratio, static_cast<int>(x.s + num_scale - den_scale));
    uint64_t bits = std::bit_cast<uint64_t>(estimate);
    if (bits >= kInfBits) bits = kInfBits - 1;

    for (;;) {
        const int above = compare_midpoint_above(x, bits);
        if (above > 0 || (above == 0 && (bits & 1) != 0)) {
            if (++bits == kInfBits) break;
            continue;
        }
        if (bits == 0) break;
        const int below = compare_midpoint_above(x, bits - 1);
        if (below < 0 || (below == 0 && (bits & 1) != 0)) {
            --bits;
            continue;
        }
        break;
    }

    // A range error: overflow, and underflow as the processor detects it,
    // after rounding: an inexact result whose value, rounded to 53 bits
    // with no limit on the exponent, is below the smallest normal double.
    // Every subnormal result is such a one; DBL_MIN is one when the exact
    // value lies below DBL_MIN - 2^-1076, the midpoint under it.
    bool range_error = bits == kInfBits || bits == 0;
    if (bits != 0 && bits < (uint64_t{1} << 52)) {
        uint64_t m;
        int64_t e;
        decode(bits, m, e);
        range_error = x.compare_with(m, e) != 0;
    } else if (bits == (uint64_t{1} << 52)) {
        range_error = x.compare_with((uint64_t{1} << 54) - 1, -1076) < 0;
    }
    return {std::bit_cast<double>(bits), nullptr, range_error};
}

}  // namespace

ParsedDouble parse_double(const char *text, char decimal_point) noexcept {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';

    if (matches(p, "inf")) {
        const char *end = matches(p + 3, "inity") ? p + 8 : p + 3;
        const double inf = std::numeric_limits<double>::infinity();
        return {negative ? -inf : inf, end, false};
    }
    if (matches(p, "nan")) {
        // "nan(chars)" with letters, digits and '_' between the parentheses
        // is read whole; an unclosed one leaves the parenthesis unread.
        const char *end = p + 3;
        if (*end == '(') {
            const char *q = end + 1;
            while (is_digit(*q) || (lower(*q) >= 'a' && lower(*q) <= 'z') || *q == '_') ++q;
            if (*q == ')') end = q + 1;
        }
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {negative ? -nan : nan, end, false};
    }

    char digits[kKeptDigits + 1];
    int count = 0;           // digits kept, from the first non-zero one
    bool tail = false;       // a non-zero digit beyond the kept ones
    bool any_digit = false;  // at least one digit in the mantissa
    int64_t point = 0;       // the decimal point of 0.digits, relative to the first kept digit
    for (; is_digit(*p); ++p) {
        any_digit = true;
        if (count == 0 && *p == '0') continue;
        if (count < kKeptDigits) digits[count++] = *p;
        else tail = tail || *p != '0';
        ++point;
    }
    if (*p == decimal_point && decimal_point != '\0') {
        const char *q = p + 1;
        for (; is_digit(*q); ++q) {
            any_digit = true;
            if (count == 0 && *q == '0') {
                --point;
                continue;
            }
            if (count < kKeptDigits) digits[count++] = *q;
            else tail = tail || *q != '0';
        }
        if (any_digit) p = q;
    }
    if (!any_digit) return {0.0, text, false};

    if (*p == 'e' || *p == 'E') {
        const char *q = p + 1;
        bool exp_negative = false;
        if (*q == '+' || *q == '-') exp_negative = *q++ == '-';
        if (is_digit(*q)) {
            int64_t exponent = 0;
            for (; is_digit(*q); ++q)
                if (exponent < 1000000000000) exponent = exponent * 10 + (*q - '0');
            point += exp_negative ? -exponent : exponent;
            p = q;
        }
    }

    ParsedDouble result{0.0, p, false};
    if (count != 0) {
        if (tail) {
            digits[count++] = '1';
        } else {
            while (digits[count - 1] == '0') --count;
        }
        result = convert(digits, count, point - count);
        result.end = p;
    }
    if (negative) result.value = -result.value;
    return result;
}

}  // namespace kez::clib
