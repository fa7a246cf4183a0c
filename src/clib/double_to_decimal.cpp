// Binary to decimal, exactly. The double m x 2^e is written as the fraction
// R / S x 10^k of two big integers with 1/10 <= R / S < 1, k being the
// decimal exponent. Each digit is then floor(10 R / S), R keeping the
// remainder; once the wanted digits are out, the remainder against S / 2
// decides the rounding, a tie only when it is exactly half. A remainder of
// zero ends the expansion early: the rest are zeros.
#include "clib/double_to_decimal.h"

#include "clib/big_integer.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kez::clib {
namespace {

// The largest values held: for the least subnormal S = 2^1074 x 10 (the
// exponent estimate may be one low and S take a factor 10), and R below
// 10 S while a digit is produced, and 2 R or 10 R for the comparisons: under
// 2^(1074 + 4 + 4 + 1). Normal doubles stay lower: R = m 2^e below 2^1024
// against S = 10^309 below 2^1027.
constexpr int kMostBits = 1074 + 4 + 4 + 1;
constexpr int kLimbs = 36;
static_assert(kLimbs * 32 >= kMostBits + 32, "the remainder and divisor must fit with a spare limb");
using Big = BigUnsigned<kLimbs>;

constexpr int kSpecialExponent = 9999;

// Replaces r by the remainder of 10 r / s and returns the quotient, a digit
// (r below s on entry). The estimate from the leading 60 bits of s is at
// most one low; the subtraction loop settles it.
int next_digit(Big &r, const Big &s, int64_t shift, uint64_t s_top) {
    r.mul_add(10, 0);
    uint64_t q = r.bits_from(shift) / (s_top + 1);
    if (q != 0) r.sub_mul(s, static_cast<uint32_t>(q));
    while (compare(r, s) >= 0) {
        r.sub_mul(s, 1);
        ++q;
    }
    return static_cast<int>(q);
}

// Sign of 2 r - s: the remainder against half a unit of the last digit.
int compare_half(const Big &r, const Big &s) {
    Big twice;
    twice.copy_from(r);
    twice.shift_left(1);
    return compare(twice, s);
}

DecimalDigits fill(char *out, int size, int64_t count, char digit, int exponent, bool negative) {
    if (count > size) return {-1, exponent, negative, DigitSpecial::finite};
    std::memset(out, digit, static_cast<size_t>(count));
    return {static_cast<int>(count), exponent, negative, DigitSpecial::finite};
}

}  // namespace

DecimalDigits double_to_decimal(double value, DigitMode mode, int precision, char *out, int size) noexcept {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const uint64_t biased = (bits >> 52) & 0x7FF, fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) {
        const bool inf = fraction == 0;
        const int len = inf ? 8 : 3;
        const DigitSpecial special = inf ? DigitSpecial::infinity : DigitSpecial::nan;
        if (len > size) return {-1, kSpecialExponent, negative, special};
        std::memcpy(out, inf ? "Infinity" : "NaN", static_cast<size_t>(len));
        return {len, kSpecialExponent, negative, special};
    }

    const bool fixed = mode == DigitMode::after_point;
    const int64_t p = fixed ? (precision < 0 ? 0 : precision) : (precision < 1 ? 1 : precision);
    if (biased == 0 && fraction == 0) return fill(out, size, fixed ? p + 1 : p, '0', 1, negative);

    const uint64_t m = biased == 0 ? fraction : fraction | (uint64_t{1} << 52);
    const int e = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
    // The value lies in [2^(top - 1), 2^top); the estimate of k is the true
    // one or one low.
    const int top = e + static_cast<int>(std::bit_width(m));
    int k = static_cast<int>(std::floor((top - 1) * 0.30102999566398120)) + 1;

    Big r, s;
    r.set(m);
    s.set(1);
    if (e >= 0) r.shift_left(e);
    else s.shift_left(-e);
    if (k >= 0) s.mul_pow10(k);
    else r.mul_pow10(-k);
    while (compare(r, s) >= 0) {
        s.mul_add(10, 0);
        ++k;
    }
    for (;;) {  // 10 r < s: k too high (not expected from the estimate)
        Big t;
        t.copy_from(r);
        t.mul_add(10, 0);
        if (compare(t, s) >= 0) break;
        r.copy_from(t);
        --k;
    }

    int64_t n = fixed ? k + p : p;
    if (n <= 0) {
        // Below 10^-p: rounds to 10^-p when over half of it (n == 0 means
        // the value is at least 10^(-p-1)), else to zero.
        if (n == 0 && compare_half(r, s) > 0) return fill(out, size, 1, '1', static_cast<int>(1 - p), negative);
        return fill(out, size, p + 1, '0', 1, negative);
    }
    if (n > size) return {-1, k, negative, DigitSpecial::finite};

    const int64_t shift = s.bit_length() > 60 ? s.bit_length() - 60 : 0;
    const uint64_t s_top = s.bits_from(shift);
    int64_t i = 0;
    for (; i < n && !r.is_zero(); ++i) out[i] = static_cast<char>('0' + next_digit(r, s, shift, s_top));
    if (i < n) {
        std::memset(out + i, '0', static_cast<size_t>(n - i));
        return {static_cast<int>(n), k, negative, DigitSpecial::finite};
    }
    const int half = compare_half(r, s);
    if (half > 0 || (half == 0 && (out[n - 1] - '0') % 2 != 0)) {
        int64_t j = n - 1;
        for (; j >= 0 && out[j] == '9'; --j) out[j] = '0';
        if (j >= 0) {
            ++out[j];
        } else {  // all nines: 10^k
            out[0] = '1';
            ++k;
            if (fixed) {
                if (n + 1 > size) return {-1, k, negative, DigitSpecial::finite};
                out[n++] = '0';
            }
        }
    }
    return {static_cast<int>(n), k, negative, DigitSpecial::finite};
}

}  // namespace kez::clib
