// Decimal to binary floating point: double, float and the 80-bit extended
// long double, each rounded once, directly from the decimal value. Short
// inputs whose digits and power of ten are both exact in the format (or
// for float, in double, when the double is not halfway between two floats)
// take one rounded multiplication or division; most other doubles and
// floats are settled from their first 19 digits and a 128-bit power of
// five. Everything else is decided exactly, by one template over the
// format, with the digits D as a big integer: the value D * 10^e10 is
// compared with the midpoints m * 2^f between neighbouring values of the
// format as L * 2^e10 against m * 2^f, L = D * 5^e10, when e10 >= 0, and as
// D against m * 5^-e10 * 2^(f - e10) otherwise; the power of five is made
// once per conversion and the powers of two are never formed, only allowed
// for where the limbs are compared.
//
// A midpoint (2m + 1) 2^(f-1) between two values of a format with P-bit
// significands has as many significant decimal digits as the integer
// (2m + 1) 5^(1-f): at most floor((P + 1) log10(2) + (1 - least) log10(5))
// + 1, 2^least being the least subnormal: 768 for double, 113 for float,
// 11515 for the extended format. So that many leading digits are kept (a
// few more: 800, 120, 11520) and anything after them matters only as
// "non-zero or not": a non-zero tail is replaced by one digit 1 after the
// kept ones. That digit keeps the value strictly between the same two
// multiples of the last kept digit's unit, which no midpoint lies strictly
// between, so every comparison comes out as for the full input.
#include "clib/decimal_to_double.h"

#include "clib/big_integer.h"
#include "clib/decimal_fast_path.h"

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace kez::clib {
namespace {

using U128 = unsigned __int128;

// floor(n log10(2)) for |n| up to 10^5 (log10(2) cut to 11 decimals: no
// n used lies within 10^-6 of an integer multiple).
constexpr int64_t floor_log10_pow2(int64_t n) {
    const int64_t scaled = n * 30102999566;
    return scaled >= 0 ? scaled / 100000000000 : -((-scaled + 99999999999) / 100000000000);
}

// The binary formats: P significand bits (the integer bit counted), the
// least subnormal 2^least, all finite values below 2^max; the leading
// digits kept; and the value with a significand m (the integer bit
// included, below 2^P) and a biased exponent field.
struct FloatFormat {
    using Value = float;
    static constexpr int kBits = 24, kLeast = -149, kMax = 128, kKeptDigits = 120;
    static float make(uint64_t m, unsigned biased) {
        return std::bit_cast<float>(static_cast<uint32_t>(biased << 23 | (m & 0x7FFFFF)));
    }
};
struct DoubleFormat {
    using Value = double;
    static constexpr int kBits = 53, kLeast = -1074, kMax = 1024, kKeptDigits = 800;
    static double make(uint64_t m, unsigned biased) {
        return std::bit_cast<double>(uint64_t{biased} << 52 | (m & ((uint64_t{1} << 52) - 1)));
    }
};
#if !defined(_WIN32)
static_assert(LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384, "long double is the 80-bit extended format");
// Its memory: the significand with its integer bit in the first eight
// bytes, least significant first, then the exponent field and the sign.
struct ExtendedFormat {
    using Value = long double;
    static constexpr int kBits = 64, kLeast = -16445, kMax = 16384, kKeptDigits = 11520;
    static long double make(uint64_t m, unsigned biased) {
        unsigned char b[sizeof(long double)] = {};
        for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(m >> (8 * i));
        b[8] = static_cast<unsigned char>(biased);
        b[9] = static_cast<unsigned char>(biased >> 8);
        long double v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }
};
#endif

// The bounds of the exact way for a format, from its worst cases.
template <class F>
struct Bounds {
    static constexpr int64_t kBits = F::kBits, kLeast = F::kLeast, kMax = F::kMax, kKept = F::kKeptDigits;
    // Significant digits of a midpoint, at most (the logarithms rounded up).
    static constexpr int64_t kMidpointDigits = ((kBits + 1) * 301030 + (1 - kLeast) * 698971) / 1000000 + 1;
    static_assert(kKept >= kMidpointDigits, "every digit of a midpoint must be kept");
    // A value below 10^dexp with dexp at most kLowest is below half the
    // least subnormal: zero. One of at least 10^(dexp - 1) with dexp above
    // kHighest is at least 2^max: infinite.
    static constexpr int64_t kLowest = floor_log10_pow2(kLeast - 1);
    static constexpr int64_t kHighest = -floor_log10_pow2(-kMax) + 1;
    // The largest numbers held: D below 10^(kept + 1); a midpoint's
    // significand (below 2^(P + 1)) times 5^-e10, -e10 below kept + 1 -
    // kLowest; L = D * 5^e10 below 10^kHighest. The shifts are never formed.
    static constexpr int64_t kDigitsBits = ((kKept + 1) * 3321929 + 999999) / 1000000;
    static constexpr int64_t kFivesBits =
        ((kKept + 1 - kLowest) * 2321929 + 999999) / 1000000 + kBits + 1;
    static constexpr int64_t kScaledBits = (kHighest * 3321929 + 999999) / 1000000;
    static constexpr int64_t kMostBits = kDigitsBits > kFivesBits   ? (kDigitsBits > kScaledBits ? kDigitsBits : kScaledBits)
                                         : kFivesBits > kScaledBits ? kFivesBits
                                                                    : kScaledBits;
    static constexpr int kLimbs = static_cast<int>((kMostBits + 64 + 63) / 64);
    static_assert(kLimbs * 64 >= kMostBits + 64, "the exact path's numbers must fit with a spare limb");
    using Big = WideUnsigned<kLimbs>;
    // A midpoint's significand 2m + 1.
    using Mid = std::conditional_t<kBits + 1 <= 64, uint64_t, U128>;
};
static_assert(Bounds<DoubleFormat>::kLowest == -324 && Bounds<DoubleFormat>::kHighest == 310);
static_assert(Bounds<DoubleFormat>::kLimbs == 43 && Bounds<DoubleFormat>::kMidpointDigits == 768);
static_assert(Bounds<FloatFormat>::kLowest == -46 && Bounds<FloatFormat>::kHighest == 40);
#if !defined(_WIN32)
static_assert(Bounds<ExtendedFormat>::kLowest == -4951 && Bounds<ExtendedFormat>::kHighest == 4934);
static_assert(Bounds<ExtendedFormat>::kMidpointDigits == 11515);
#endif

// A value of a format as m * 2^e: m below 2^P with e the least exponent
// (zero and subnormals), or m in [2^(P-1), 2^P); infinity as m = 2^(P-1)
// at the exponent above the largest.
struct Binary {
    uint64_t m;
    int64_t e;
};

template <class F>
struct Steps {
    static constexpr uint64_t kLow = uint64_t{1} << (F::kBits - 1);
    static constexpr uint64_t kTop = kLow + (kLow - 1);
    static constexpr int64_t kLeast = F::kLeast, kInfinite = F::kMax - F::kBits + 1;
    static Binary up(Binary b) { return b.m == kTop ? Binary{kLow, b.e + 1} : Binary{b.m + 1, b.e}; }
    static Binary down(Binary b) { return b.m == kLow && b.e > kLeast ? Binary{kTop, b.e - 1} : Binary{b.m - 1, b.e}; }
    static typename F::Value value(Binary b) {
        return F::make(b.m, b.m >= kLow ? static_cast<unsigned>(b.e - kLeast + 1) : 0);
    }
};

template <int Limbs>
void set_wide(WideUnsigned<Limbs> &r, uint64_t m) {
    r.set(m);
}
template <int Limbs>
void set_wide(WideUnsigned<Limbs> &r, U128 m) {
    r.w[0] = static_cast<uint64_t>(m);
    r.w[1] = static_cast<uint64_t>(m >> 64);
    r.n = r.w[1] != 0 ? 2 : r.w[0] != 0 ? 1 : 0;
}

// out = a * m (out not a).
template <int Limbs>
void multiply(const WideUnsigned<Limbs> &a, uint64_t m, WideUnsigned<Limbs> &out) {
    a.mul_into(m, out);
}
template <int Limbs>
void multiply(const WideUnsigned<Limbs> &a, U128 m, WideUnsigned<Limbs> &out) {
    a.mul_into(static_cast<uint64_t>(m), out);
    const uint64_t high = static_cast<uint64_t>(m >> 64);
    if (high == 0) return;
    // out += a * high * 2^64, over a.n + 1 limbs and a carry.
    for (int i = out.n; i <= a.n; ++i) out.w[i] = 0;
    if (out.n < a.n + 1) out.n = a.n + 1;
    U128 carry = 0;
    for (int i = 0; i < a.n; ++i) {
        carry += static_cast<U128>(a.w[i]) * high + out.w[i + 1];
        out.w[i + 1] = static_cast<uint64_t>(carry);
        carry >>= 64;
    }
    for (int i = a.n + 1; carry != 0 && i < Limbs; ++i) {
        if (i == out.n) out.w[out.n++] = 0;
        carry += out.w[i];
        out.w[i] = static_cast<uint64_t>(carry);
        carry >>= 64;
    }
    while (out.n > 0 && out.w[out.n - 1] == 0) --out.n;
}

// The leading 128 bits of a (not zero), its top bit set: a is that times
// 2^scale, and less than one unit more.
template <int Limbs>
U128 leading(const WideUnsigned<Limbs> &a, int64_t &scale) {
    const int n = a.n, lz = __builtin_clzll(a.w[n - 1]);
    U128 top = static_cast<U128>(a.w[n - 1]) << (64 + lz);
    if (n >= 2) top |= static_cast<U128>(a.w[n - 2]) << lz;
    if (n >= 3 && lz != 0) top |= a.w[n - 3] >> (64 - lz);
    scale = int64_t{64} * n - lz - 128;
    return top;
}

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
template <class F>
struct Exact {
    using Big = typename Bounds<F>::Big;
    using Mid = typename Bounds<F>::Mid;
    Big d;     // D * 5^e10 when e10 >= 0, else D
    Big pow5;  // 5^-e10 when e10 < 0
    int64_t e10;

    // Sign of value - m * 2^f.
    int compare_with(Mid m, int64_t f) const {
        Big r;
        if (e10 >= 0) {
            set_wide(r, m);
            const int64_t t = e10 - f;
            return t >= 0 ? compare_shifted(d, t, r) : -compare_shifted(r, -t, d);
        }
        multiply(pow5, m, r);
        const int64_t u = f - e10;
        return u >= 0 ? -compare_shifted(r, u, d) : compare_shifted(d, -u, r);
    }

    // Sign of value - (the midpoint between b and the value above it).
    int compare_midpoint_above(Binary b) const { return compare_with((Mid{b.m} << 1) | 1, b.e - 1); }

    // The value of the format next to the value, from the leading bits of
    // D and the power of five (a 128 by 64-bit division): within a few
    // units of the result.
    Binary estimate() const {
        int64_t num_scale, den_scale;
        const U128 num = leading(d, num_scale);
        uint64_t q;
        int64_t qe;
        if (e10 >= 0) {
            q = static_cast<uint64_t>(num >> 64);
            qe = e10 + num_scale + 64;
        } else {
            const uint64_t den = static_cast<uint64_t>(leading(pow5, den_scale) >> 64);
            U128 quotient = num / den;  // in (2^63, 2^65)
            qe = e10 + num_scale - den_scale - 64;
            if ((quotient >> 64) != 0) {
                quotient >>= 1;
                ++qe;
            }
            q = static_cast<uint64_t>(quotient);
        }
        // About q * 2^qe, q with its top bit set.
        using S = Steps<F>;
        int64_t e = qe + 64 - F::kBits;
        if (e < S::kLeast) e = S::kLeast;
        if (e >= S::kInfinite) return {S::kTop, S::kInfinite - 1};
        const int64_t shift = e - qe;
        return {shift >= 64 ? 0 : q >> shift, e};
    }
};

template <class Value>
struct Magnitude {
    Value value;
    bool range_error;  // overflow, or a result below the least normal that is inexact
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool matches(const char *p, const char *word) {
    for (; *word != '\0'; ++p, ++word)
        if (lower(*p) != *word) return false;
    return true;
}

// The exact decision, with `first` the value of the digits already taken
// (the first 19, or all when fewer) and, when `between`, the result known
// to be `low` or the value above it, both normal and finite.
template <class F>
[[gnu::noinline]] Magnitude<typename F::Value> convert_exactly(Digits digits, int64_t count, int64_t e10,
                                                               uint64_t first, Binary low, bool between) {
    using S = Steps<F>;
    // The exact value: D from 19 digits at a time (the kept ones and a
    // digit 1 for a longer tail), then the power of five.
    Exact<F> x;
    x.d.set(first);
    int64_t left = (count < F::kKeptDigits ? count : F::kKeptDigits) - (count < 19 ? count : 19);
    while (left > 0) {
        const int n = left < 19 ? static_cast<int>(left) : 19;
        x.d.mul_add(kPow10[n], digits.take(n));
        left -= n;
    }
    if (count > F::kKeptDigits) {
        x.d.mul_add(10, 1);
        e10 += count - F::kKeptDigits - 1;
    }
    x.e10 = e10;
    if (e10 >= 0) {
        x.d.mul_pow5(e10);
    } else {
        x.pow5.set(1);
        x.pow5.mul_pow5(-e10);
    }

    if (between) {  // above the least normal: no range error
        const int above = x.compare_midpoint_above(low);
        return {S::value(above > 0 || (above == 0 && (low.m & 1) != 0) ? S::up(low) : low), false};
    }

    // From the estimate, steps to the neighbour on the side of each
    // midpoint the value lies.
    Binary b = x.estimate();
    for (;;) {
        const int above = x.compare_midpoint_above(b);
        if (above > 0 || (above == 0 && (b.m & 1) != 0)) {
            b = S::up(b);
            if (b.e >= S::kInfinite) break;
            continue;
        }
        if (b.m == 0) break;
        const Binary under = S::down(b);
        const int below = x.compare_midpoint_above(under);
        if (below < 0 || (below == 0 && (b.m & 1) != 0)) {
            b = under;
            continue;
        }
        break;
    }

    // A range error: overflow, and underflow as the processor detects it,
    // after rounding: an inexact result whose value, rounded to P bits
    // with no limit on the exponent, is below the least normal. Every
    // subnormal result is such a one; the least normal is one when the
    // exact value lies below the midpoint under it at P bits,
    // (2^(P+1) - 1) 2^(least - 2).
    using Mid = typename Bounds<F>::Mid;
    bool range_error = b.e >= S::kInfinite || b.m == 0;
    if (b.m != 0 && b.m < S::kLow) {
        range_error = x.compare_with(b.m, b.e) != 0;
    } else if (b.m == S::kLow && b.e == S::kLeast) {
        range_error = x.compare_with((Mid{1} << (F::kBits + 1)) - 1, S::kLeast - 2) < 0;
    }
    return {S::value(b), range_error};
}

// The magnitude of D * 10^e10, D the `count` digits (no leading or trailing
// zeros) that `digits` gives, the decimal point of 0.D at dexp = e10 + count:
// the fast paths of each format, then the exact way. Inlined into the
// parser so that the runs stay in registers.
[[gnu::always_inline]] inline Magnitude<double> convert(DoubleFormat, Digits digits, int64_t count, int64_t e10) {
    const int64_t dexp = e10 + count;
    if (dexp > Bounds<DoubleFormat>::kHighest) return {std::numeric_limits<double>::infinity(), true};
    if (dexp <= Bounds<DoubleFormat>::kLowest) return {0.0, true};

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
            return {e10 >= 0 ? v * kExact10[e10] : v / kExact10[-e10], false};
        }
        uint64_t bits = 0;
        if (fast_decimal_to_double(first, e10, &bits)) return {std::bit_cast<double>(bits), false};
    } else {
        // More digits than fit: the value lies strictly between the first 19
        // digits and those plus one unit; when both ends round alike, so
        // does it, and otherwise it rounds to one of the two.
        first = digits.take(19);
        uint64_t high = 0;
        const int64_t q = e10 + (count - 19);
        if (fast_decimal_to_double(first, q, &low) && fast_decimal_to_double(first + 1, q, &high)) {
            if (low == high) return {std::bit_cast<double>(low), false};
            between = high == low + 1;
        }
    }
    // A normal double's bits as m * 2^e.
    const Binary candidate{(low & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52),
                           static_cast<int64_t>(low >> 52) - 1075};
    return convert_exactly<DoubleFormat>(digits, count, e10, first, candidate, between);
}

// The float nearest a value of which d is the nearest double: the float
// nearest d, unless d lies exactly halfway between two floats (the value
// may lie on either side). Taken only when that float is normal, above
// FLT_MIN and finite, where no range error needs an exact decision.
bool settle_float(double d, float &f) {
    constexpr uint64_t kBelowFloat = (uint64_t{1} << 29) - 1;  // the bits of d below a normal float's unit
    if ((std::bit_cast<uint64_t>(d) & kBelowFloat) == (kBelowFloat + 1) / 2) return false;
    f = static_cast<float>(d);
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    return bits > 0x00800000u && bits < 0x7F800000u;
}

inline Magnitude<float> convert(FloatFormat, Digits digits, int64_t count, int64_t e10) {
    const int64_t dexp = e10 + count;
    if (dexp > Bounds<FloatFormat>::kHighest) return {std::numeric_limits<float>::infinity(), true};
    if (dexp <= Bounds<FloatFormat>::kLowest) return {0.0f, true};

    uint64_t first;
    float f;
    if (count <= 19) {
        first = digits.take(static_cast<int>(count));
        static const float kExact10[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
        if (first <= (uint64_t{1} << 24) && e10 >= -10 && e10 <= 10) {
            const float v = static_cast<float>(first);
            return {e10 >= 0 ? v * kExact10[e10] : v / kExact10[-e10], false};
        }
        static const double kExact10d[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        uint64_t bits = 0;
        if (first <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
            const double v = static_cast<double>(first);
            if (settle_float(e10 >= 0 ? v * kExact10d[e10] : v / kExact10d[-e10], f)) return {f, false};
        } else if (fast_decimal_to_double(first, e10, &bits) && settle_float(std::bit_cast<double>(bits), f)) {
            return {f, false};
        }
    } else {
        // As for double: when both ends of the 19 digits' unit settle to
        // the same float, the value does.
        first = digits.take(19);
        uint64_t low = 0, high = 0;
        const int64_t q = e10 + (count - 19);
        float g;
        if (fast_decimal_to_double(first, q, &low) && fast_decimal_to_double(first + 1, q, &high) &&
            settle_float(std::bit_cast<double>(low), f) && settle_float(std::bit_cast<double>(high), g) && f == g)
            return {f, false};
    }
    return convert_exactly<FloatFormat>(digits, count, e10, first, {}, false);
}

#if !defined(_WIN32)
// Whether the x87 unit rounds to nearest at full precision: its control
// word's precision field 11, rounding field 00. A program may set either.
bool x87_rounds_to_nearest_extended() {
    uint16_t control;
    asm volatile("fnstcw %0" : "=m"(control));
    return (control & 0x0F00) == 0x0300;
}

inline Magnitude<long double> convert(ExtendedFormat, Digits digits, int64_t count, int64_t e10) {
    const int64_t dexp = e10 + count;
    if (dexp > Bounds<ExtendedFormat>::kHighest) return {std::numeric_limits<long double>::infinity(), true};
    if (dexp <= Bounds<ExtendedFormat>::kLowest) return {0.0L, true};
    const uint64_t first = digits.take(static_cast<int>(count < 19 ? count : 19));
    // Up to 19 digits are exact, and so are the powers of ten to 10^27
    // (5^27 is below 2^64): one rounding.
    if (count <= 19 && e10 >= -27 && e10 <= 27 && x87_rounds_to_nearest_extended()) {
        static const long double kExact10[] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
                                               1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
                                               1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
        const long double v = static_cast<long double>(first);
        return {e10 >= 0 ? v * kExact10[e10] : v / kExact10[-e10], false};
    }
    return convert_exactly<ExtendedFormat>(digits, count, e10, first, {}, false);
}
#endif

// The syntax, shared by the formats; Parsed is the public result type.
template <class F, class Parsed>
[[gnu::always_inline]] inline Parsed parse(const char *text, char decimal_point) {
    using Value = typename F::Value;
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';

    if (matches(p, "inf")) {
        const char *end = matches(p + 3, "inity") ? p + 8 : p + 3;
        const Value inf = std::numeric_limits<Value>::infinity();
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
        const Value nan = std::numeric_limits<Value>::quiet_NaN();
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
    if (int_end == int_begin && frac_end == frac_begin) return {0, text, false};

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
    Parsed result{0, p, false};
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
        const Magnitude<Value> m = convert(F{}, digits, count, e10);
        result.value = m.value;
        result.range_error = m.range_error;
    }
    if (negative) result.value = -result.value;
    return result;
}

}  // namespace

ParsedDouble parse_double(const char *text, char decimal_point) noexcept {
    return parse<DoubleFormat, ParsedDouble>(text, decimal_point);
}

ParsedFloat parse_float(const char *text, char decimal_point) noexcept {
    return parse<FloatFormat, ParsedFloat>(text, decimal_point);
}

ParsedLongDouble parse_long_double(const char *text, char decimal_point) noexcept {
#if defined(_WIN32)
    const ParsedDouble r = parse_double(text, decimal_point);
    return {r.value, r.end, r.range_error};
#else
    return parse<ExtendedFormat, ParsedLongDouble>(text, decimal_point);
#endif
}

}  // namespace kez::clib
