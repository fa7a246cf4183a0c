// Decimal to double. Short inputs whose digits and power of ten are both
// exact doubles take one rounded multiplication or division; most others
// are settled from their first 19 digits and a 128-bit power of five.
// Everything else is decided exactly, with the digits D as a big integer:
// the value D * 10^e10 is compared with the midpoints m * 2^f between
// neighbouring doubles as L * 2^e10 against m * 2^f, L = D * 5^e10, when
// e10 >= 0, and as D against m * 5^-e10 * 2^(f - e10) otherwise; the power
// of five is made once per conversion and the powers of two are never
// formed, only allowed for where the limbs are compared.
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
#include <cstring>
#include <limits>

namespace kez::clib {
namespace {

constexpr int kKeptDigits = 800;
// The largest numbers held: D below 10^801 (2661 bits); m * 5^-e10 with
// -e10 at most 801 + 323 and m below 2^54 (2664 bits); L = D * 5^e10 below
// 10^310 (1030 bits). The shifts are never formed.
constexpr int kLimbs = 43;
static_assert(kLimbs * 64 >= 2664 + 64, "the exact path's numbers must fit with a spare limb");
constexpr uint64_t kInfBits = 0x7FF0000000000000ull;

using Big = WideUnsigned<kLimbs>;

// Eight ASCII digits, the first at the lowest address, as a number: pairs,
// then quadruples, then the whole, each step within the 64-bit word.
inline uint64_t eight_digits(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    v -= 0x3030303030303030ull;
    v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
    v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
    return (v & 0xFFFFFFFFull) * 10000 + (v >> 32);
}

// The significant digits, in at most two runs of the text (the digits
// before and after the decimal point).
struct Digits {
    const char *p, *end;          // the current run
    const char *next, *next_end;  // the run after it; empty when none

    // The next n digits (n <= 19, no more than are left) as a number.
    uint64_t take(int n) {
        uint64_t v = 0;
        if (const int here = static_cast<int>(end - p < n ? end - p : n); here < n) {
            v = accumulate(0, here);
            p = next;
            end = next_end;
            next = next_end;
            n -= here;
        }
        return accumulate(v, n);
    }

private:
    uint64_t accumulate(uint64_t v, int n) {
        for (; n >= 8; n -= 8, p += 8) v = v * 100000000 + eight_digits(p);
        for (; n > 0; --n) v = v * 10 + static_cast<uint64_t>(*p++ - '0');
        return v;
    }
};

// The decimal value D * 10^e10, held for exact comparisons.
struct Exact {
    Big d;     // D * 5^e10 when e10 >= 0, else D
    Big pow5;  // 5^-e10 when e10 < 0
    int64_t e10;

    // Sign of value - m * 2^f (m below 2^64).
    int compare_with(uint64_t m, int64_t f) const {
        Big r;
        if (e10 >= 0) {
            r.set(m);
            const int64_t t = e10 - f;
            return t >= 0 ? compare_shifted(d, t, r) : -compare_shifted(r, -t, d);
        }
        pow5.mul_into(m, r);
        const int64_t u = f - e10;
        return u >= 0 ? -compare_shifted(r, u, d) : compare_shifted(d, -u, r);
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

ParsedDouble convert_exactly(Digits digits, int64_t count, int64_t e10, uint64_t first, uint64_t low, bool between);

// The magnitude of D * 10^e10, D the `count` digits (no leading or trailing
// zeros) that `digits` gives, the decimal point of 0.D at dexp = e10 + count.
// Inlined into the parser so that the runs stay in registers.
[[gnu::always_inline]] inline ParsedDouble convert(Digits digits, int64_t count, int64_t e10) {
    const int64_t dexp = e10 + count;
    if (dexp > 310) return {std::numeric_limits<double>::infinity(), nullptr, true};
    if (dexp < -323) return {0.0, nullptr, true};  // below 10^-324, under half the least subnormal

    // Set when the first 19 digits leave two neighbours: the result is one of them.
    uint64_t low = 0;
    bool between = false;
    uint64_t first;
    if (count <= 19) {
        first = digits.take(static_cast<int>(count));
        static const double kExact10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        if (first <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
            const double v = static_cast<double>(first);
            return {e10 >= 0 ? v * kExact10[e10] : v / kExact10[-e10], nullptr, false};
        }
        uint64_t bits = 0;
        if (fast_decimal_to_double(first, e10, &bits)) return {std::bit_cast<double>(bits), nullptr, false};
    } else {
        // More digits than fit: the value lies strictly between the first 19
        // digits and those plus one unit; when both ends round alike, so
        // does it, and otherwise it rounds to one of the two.
        first = digits.take(19);
        uint64_t high = 0;
        const int64_t q = e10 + (count - 19);
        if (fast_decimal_to_double(first, q, &low) && fast_decimal_to_double(first + 1, q, &high)) {
            if (low == high) return {std::bit_cast<double>(low), nullptr, false};
            between = high == low + 1;
        }
    }
    return convert_exactly(digits, count, e10, first, low, between);
}

// The exact decision, with `first` the value of the digits already taken
// (the first 19, or all when fewer) and, when `between`, the result known
// to be `low` or the double above it.
[[gnu::noinline]] ParsedDouble convert_exactly(Digits digits, int64_t count, int64_t e10, uint64_t first,
                                               uint64_t low, bool between) {
    // The exact value: D from 19 digits at a time (the first 800 and a
    // digit 1 for a longer tail), then the power of five.
    Exact x;
    x.d.set(first);
    int64_t left = (count < kKeptDigits ? count : kKeptDigits) - (count < 19 ? count : 19);
    while (left > 0) {
        const int n = left < 19 ? static_cast<int>(left) : 19;
        x.d.mul_add(kPow10[n], digits.take(n));
        left -= n;
    }
    if (count > kKeptDigits) {
        x.d.mul_add(10, 1);
        e10 += count - kKeptDigits - 1;
    }
    x.e10 = e10;
    if (e10 >= 0) {
        x.d.mul_pow5(e10);
    } else {
        x.pow5.set(1);
        x.pow5.mul_pow5(-e10);
    }

    if (between) {
        // Normal finite neighbours above DBL_MIN: no range error.
        const int above = compare_midpoint_above(x, low);
        const uint64_t bits = above > 0 || (above == 0 && (low & 1) != 0) ? low + 1 : low;
        return {std::bit_cast<double>(bits), nullptr, false};
    }

    // An estimate from the leading bits, then steps to the neighbour on
    // the side of each midpoint the value lies.
    int64_t num_scale, den_scale = 0;
    const double num = x.d.leading(num_scale);
    const double den = e10 >= 0 ? 1.0 : x.pow5.leading(den_scale);
    const double estimate = std::ldexp(num / den, static_cast<int>(e10 + num_scale - den_scale));
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

    // The digits before the point, and after it.
    const char *int_begin = p;
    while (is_digit(*p)) ++p;
    const char *int_end = p;
    const char *frac_begin = p, *frac_end = p;
    if (*p == decimal_point && decimal_point != '\0') {
        const char *q = p + 1;
        frac_begin = q;
        while (is_digit(*q)) ++q;
        frac_end = q;
        if (int_end != int_begin || frac_end != frac_begin) p = q;
        else frac_begin = frac_end = p;
    }
    if (int_end == int_begin && frac_end == frac_begin) return {0.0, text, false};

    int64_t exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char *q = p + 1;
        bool exp_negative = false;
        if (*q == '+' || *q == '-') exp_negative = *q++ == '-';
        if (is_digit(*q)) {
            for (; is_digit(*q); ++q)
                if (exponent < 1000000000000) exponent = exponent * 10 + (*q - '0');
            if (exp_negative) exponent = -exponent;
            p = q;
        }
    }

    // The significant digits: from the first non-zero one to the last,
    // in one run or two.
    ParsedDouble result{0.0, p, false};
    while (int_begin != int_end && *int_begin == '0') ++int_begin;
    int64_t e10 = exponent - (frac_end - frac_begin);
    while (frac_end != frac_begin && frac_end[-1] == '0') {
        --frac_end;
        ++e10;
    }
    Digits digits{int_begin, int_end, frac_begin, frac_end};
    if (int_begin == int_end) {
        while (frac_begin != frac_end && *frac_begin == '0') ++frac_begin;
        digits = {frac_begin, frac_end, frac_end, frac_end};
    } else if (frac_begin == frac_end) {
        while (int_end[-1] == '0') {  // stops at the first digit, which is not 0
            --int_end;
            ++e10;
        }
        digits = {int_begin, int_end, int_end, int_end};
    }
    const int64_t count = (digits.end - digits.p) + (digits.next_end - digits.next);
    if (count != 0) {
        result = convert(digits, count, e10);
        result.end = p;
    }
    if (negative) result.value = -result.value;
    return result;
}

}  // namespace kez::clib
