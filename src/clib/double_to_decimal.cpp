// Binary to decimal, exactly. The value m x 2^e (a double, or an 80-bit
// extended long double) is written as the fraction R / S x 10^k of two big
// integers with 1/10 <= R / S < 1, k being the decimal exponent. The digits
// come nine at a time as floor(10^9 R / S), R keeping the remainder; once
// the wanted digits are out, the remainder against S / 2 decides the
// rounding, a tie only when it is exactly half. A remainder of zero ends
// the expansion early: the rest are zeros. One template serves both
// formats, its big integers sized from the format's exponent range.
//
// That is slow for the everyday request of a few digits, which takes a
// short way first: the scaled value D = v x 10^q, whose rounded integer
// part is the wanted digits, from the significand (any below 2^64) times a
// 128-bit power of five cut short (never rounded up). The cut leaves D known
// within [W, W + 2) x 2^-t for the 128-bit product W; when the fraction of
// W lies more than a few units from one half, the rounding of the exact D
// is the rounding of W. Otherwise D is either exactly an integer and a
// half, which a test on m and e finds (ties go to the even integer), or
// within about 2^-60 of one: then the exact way decides.
#include "clib/double_to_decimal.h"

#include "clib/big_integer.h"
#include "clib/powers_of_five.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kez::clib {
namespace {

// The floating formats read: the bits of the significand (integer bit
// included), and the powers of two of the largest finite values' bound and
// of the least subnormal.
struct DoubleLayout {
    static constexpr int kSignificandBits = 53, kMaxExponent = 1024, kLeastExponent = -1074;
};
struct X87Layout {  // the 80-bit extended format
    static constexpr int kSignificandBits = 64, kMaxExponent = 16384, kLeastExponent = -16445;
};

// The big integers of the exact way for a format. R / S = m 2^e 10^-k is
// held with no common power of two or five: R = m 5^(-k) 2^(e - k) and S =
// 5^k 2^(k - e), each power only where its exponent is positive. With E
// the larger of -least and max, and 10^(k-1) <= m 2^e < 10^k: for k > 0,
// S is 5^k below 2^(0.699 E + 3), or below 10 m < 2^68 when e < k; for
// k <= 0, S = 2^(k - e) with k - e < 0.699 (-e) + 21. R stays below 10 S,
// and below 10^9 S while a group of nine digits is produced.
template <class Layout>
struct ExactNumbers {
    static constexpr int kWidest =
        -Layout::kLeastExponent > Layout::kMaxExponent ? -Layout::kLeastExponent : Layout::kMaxExponent;
    static constexpr int kMostBits = (kWidest * 69897 + 99999) / 100000 + 21 + 30;
    static constexpr int kLimbs = ((kMostBits + 31) / 32 + 2) / 2 * 2;  // a spare limb, and even
    static_assert(kLimbs * 32 >= kMostBits + 32, "the remainder and divisor must fit with a spare limb");
    static_assert(Layout::kSignificandBits <= 64);
    using Big = BigUnsigned<kLimbs>;
    using Wide = WideUnsigned<kLimbs / 2>;  // the same capacity in 64-bit limbs
};

constexpr int kSpecialExponent = 9999;

// Sign of 2 r - s: the remainder against half a unit of the last digit.
template <class Big>
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

using U128 = unsigned __int128;

// The most digits the short way writes, before a carry.
constexpr int kShortDigits = 17;

// D = m 2^e 10^q, for m with its top bit set, as W 2^-t: the exact D lies
// in [W, W + 2) 2^-t. The table's cut of 5^q is below one unit of its 128
// bits, m times that below m < 2^64 in the 192-bit product, and dropping
// the product's low 64 bits loses below one more: under 2 units of W.
bool scale(uint64_t m, int e, int q, U128 &w, int &t) {
    if (q < kPowersOfFiveLow || q > kPowersOfFiveHigh) return false;
    const PowerOfFive &p = kPowersOfFive[q - kPowersOfFiveLow];
    w = static_cast<U128>(m) * p.high + ((static_cast<U128>(m) * p.low) >> 64);
    t = 63 - e - q - p.exponent;
    return true;
}

// The integer part of W 2^-t, for t in [64, 127].
uint64_t whole(U128 w, int t) { return static_cast<uint64_t>(w >> t); }

// D rounded to the nearest integer, into r; false when the bound on D
// leaves it open: a fraction within the margin of one half, exact ties
// among them. A fraction of W just under one may stand for an exact D just
// over the next integer (an exact product whose powers of five were cut):
// it rounds to that integer all the same. t is at least 64.
bool round_scaled(U128 w, int t, uint64_t &r) {
    constexpr U128 kMargin = 8;  // units of W, the error being below 2
    if (t >= 130) {              // D < (2^128 + 2) 2^-130 < 1/2
        r = 0;
        return true;
    }
    if (t > 127) {  // D below 1 or so: W cut to t = 127 keeps the error under 1 + 1 units
        w >>= t - 127;
        t = 127;
    }
    if (t < 64) return false;
    const U128 one = static_cast<U128>(1) << t, half = one >> 1, f = w & (one - 1);
    const uint64_t i = whole(w, t);
    if (f + kMargin < half) {
        r = i;
        return true;
    }
    if (f > half + kMargin && i != UINT64_MAX) {
        r = i + 1;
        return true;
    }
    return false;
}

// Whether D = m 2^e 10^q is exactly an integer and a half: 2D =
// m 5^q 2^(e + q + 1) an odd integer. The powers of two must cancel to
// none; for q < 0, 5^-q must divide m (m < 2^64 < 5^28).
bool is_tie(uint64_t m, int e, int q) {
    if (std::countr_zero(m) + e + q + 1 != 0) return false;
    if (q >= 0) return true;
    if (q < -27) return false;
    uint64_t five = 1;
    for (int i = 0; i < -q; ++i) five *= 5;
    return m % five == 0;
}

// D = m 2^e 10^q, known to be W 2^-t within the bound, rounded: by the
// bound, or for an exact tie to the even neighbour (W is then under D by
// less than 2^(1-t), so its integer part is D's).
bool round_scaled_or_tie(U128 w, int t, uint64_t m, int e, int q, uint64_t &r) {
    if (round_scaled(w, t, r)) return true;
    if (!is_tie(m, e, q)) return false;
    const uint64_t i = t > 127 ? 0 : whole(w, t);
    r = i + (i & 1);
    return true;
}

int digit_count(uint64_t r) {
    int d = 1;
    while (d < 20 && r >= kPow10[d]) ++d;
    return d;
}

// r as exactly n digits, leading zeros included.
void write_digits(char *out, uint64_t r, int n) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char *p = out + n;
    while (p - out >= 2) {
        const char *pair = kPairs + 2 * (r % 100);
        r /= 100;
        p -= 2;
        p[0] = pair[0];
        p[1] = pair[1];
    }
    if (p != out) *--p = static_cast<char>('0' + r % 10);
}

// A finite value m x 2^e (zero when m is 0), or a special one.
struct Decoded {
    uint64_t m;
    int e;
    bool negative;
    DigitSpecial special;
};

Decoded decode(double value) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const uint64_t biased = (bits >> 52) & 0x7FF, fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) return {0, 0, negative, fraction == 0 ? DigitSpecial::infinity : DigitSpecial::nan};
    if (biased == 0) return {fraction, -1074, negative, DigitSpecial::finite};
    return {fraction | (uint64_t{1} << 52), static_cast<int>(biased) - 1075, negative, DigitSpecial::finite};
}

#if !defined(_WIN32)
static_assert(LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384, "long double is the 80-bit extended format");

// The 80-bit extended format, read from memory: the significand in the
// first eight bytes, least significant first, its top bit the integer bit;
// then 15 bits of biased exponent and the sign. The encodings the processor
// refuses as operands are NaN: an exponent field of all ones without the
// integer bit (pseudo-infinity, pseudo-NaN) and a normal exponent field
// without it (unnormal). A pseudo-denormal (exponent field zero, integer
// bit set) has the value the processor gives it, that of exponent field 1.
Decoded decode(long double value) {
    unsigned char b[sizeof(long double)];
    std::memcpy(b, &value, sizeof b);
    uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | b[i];
    const unsigned top = b[8] | (unsigned{b[9]} << 8), biased = top & 0x7FFF;
    const bool negative = (top >> 15) != 0, integer_bit = (m >> 63) != 0;
    if (biased == 0x7FFF) {
        const bool infinity = integer_bit && (m << 1) == 0;
        return {0, 0, negative, infinity ? DigitSpecial::infinity : DigitSpecial::nan};
    }
    if (biased == 0) return {m, X87Layout::kLeastExponent, negative, DigitSpecial::finite};
    if (!integer_bit) return {0, 0, negative, DigitSpecial::nan};
    return {m, static_cast<int>(biased) - 16383 - 63, negative, DigitSpecial::finite};
}
#endif

// The short way, for any significand below 2^64.
bool short_digits(const Decoded &v, DigitMode mode, int precision, char *out, int size, DecimalDigits *result) {
    if (v.special != DigitSpecial::finite || v.m == 0) return false;
    const bool fixed = mode == DigitMode::after_point;
    if (!fixed && precision > kShortDigits) return false;

    const uint64_t m = v.m;
    const int e = v.e;
    const bool negative = v.negative;
    const int width = static_cast<int>(std::bit_width(m));
    // The decimal exponent k, 10^(k-1) <= value < 10^k, estimated as the
    // exact way does: the true one or one low.
    const int top = e + width;
    int k = static_cast<int>(std::floor((top - 1) * 0.30102999566398120)) + 1;
    const uint64_t mn = m << (64 - width);
    const int en = e - (64 - width);

    U128 w;
    int t;
    uint64_t r;
    if (!fixed) {
        const int n = precision < 1 ? 1 : precision;
        if (n > size) return false;
        if (!scale(mn, en, n - k, w, t) || t < 64 || t > 127) return false;
        // With k one low, D is at least 10^n; one higher, D is at least
        // 10^(n-1) for sure, though W may fall short of it by its error
        // (10^(n-1) exactly, from a cut power of five): rounding brings it up.
        const bool raised = whole(w, t) >= kPow10[n];
        if (raised) {
            ++k;
            if (!scale(mn, en, n - k, w, t) || t < 64 || t > 127) return false;
        }
        const uint64_t i = whole(w, t);
        if (i >= kPow10[n] || i + (raised ? 1 : 0) < kPow10[n - 1]) return false;  // not expected
        if (!round_scaled_or_tie(w, t, mn, en, n - k, r) || r < kPow10[n - 1]) return false;
        if (r == kPow10[n]) {  // 9.96 to two digits: 0.10 x 10^2
            r = kPow10[n - 1];
            ++k;
        }
        write_digits(out, r, n);
        *result = {n, k, negative, DigitSpecial::finite};
        return true;
    }

    // after_point: D = value x 10^p, and the digits are D rounded; with k
    // estimated, the count is at most k + p + 1 before a carry.
    const int p = precision < 0 ? 0 : precision;
    if (p > kPowersOfFiveHigh || k + p > kShortDigits) return false;
    if (!scale(mn, en, p, w, t)) return false;
    if (t < 64 || (t <= 127 && whole(w, t) >= kPow10[kShortDigits])) return false;
    if (!round_scaled_or_tie(w, t, mn, en, p, r)) return false;
    if (r == 0) {  // rounded away: precision + 1 zeros
        if (p + 1 > size) return false;
        std::memset(out, '0', static_cast<size_t>(p) + 1);
        *result = {p + 1, 1, negative, DigitSpecial::finite};
        return true;
    }
    const int count = digit_count(r);  // one more than before when the rounding carried
    if (count > size) return false;
    write_digits(out, r, count);
    *result = {count, count - p, negative, DigitSpecial::finite};
    return true;
}

// out = m 5^f 2^t (m not zero). Long runs of fives are multiplied in with
// 64-bit limbs, 5^27 a step.
template <class Layout>
void set_scaled(typename ExactNumbers<Layout>::Big &out, uint64_t m, int64_t f, int64_t t) {
    if (f <= 27) {
        out.set(m);
        out.mul_pow5(f);
    } else {
        typename ExactNumbers<Layout>::Wide wide;
        wide.set(m);
        wide.mul_pow5(f);
        for (int i = 0; i < wide.n; ++i) {
            out.w[2 * i] = static_cast<uint32_t>(wide.w[i]);
            out.w[2 * i + 1] = static_cast<uint32_t>(wide.w[i] >> 32);
        }
        out.n = 2 * wide.n;
        if (out.w[out.n - 1] == 0) --out.n;
    }
    out.shift_left(t);
}

// The exact way, for the values of a format.
template <class Layout>
DecimalDigits exact_digits(const Decoded &v, DigitMode mode, int precision, char *out, int size) {
    using Big = typename ExactNumbers<Layout>::Big;
    const bool negative = v.negative;
    if (v.special != DigitSpecial::finite) {
        const bool inf = v.special == DigitSpecial::infinity;
        const int len = inf ? 8 : 3;
        if (len > size) return {-1, kSpecialExponent, negative, v.special};
        std::memcpy(out, inf ? "Infinity" : "NaN", static_cast<size_t>(len));
        return {len, kSpecialExponent, negative, v.special};
    }

    const bool fixed = mode == DigitMode::after_point;
    const int64_t p = fixed ? (precision < 0 ? 0 : precision) : (precision < 1 ? 1 : precision);
    if (v.m == 0) return fill(out, size, fixed ? p + 1 : p, '0', 1, negative);

    const uint64_t m = v.m;
    const int e = v.e;
    // The value lies in [2^(top - 1), 2^top); the estimate of k is the true
    // one or one low.
    const int top = e + static_cast<int>(std::bit_width(m));
    int k = static_cast<int>(std::floor((top - 1) * 0.30102999566398120)) + 1;
    if (fixed && k + 1 + p < 0) return fill(out, size, p + 1, '0', 1, negative);  // below 10^(-p-1)

    Big r, s;
    set_scaled<Layout>(r, m, k < 0 ? -k : 0, e > k ? e - k : 0);
    set_scaled<Layout>(s, 1, k > 0 ? k : 0, k > e ? k - e : 0);
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

    // Nine digits at a time: q = floor(10^9 r / s), r keeping the
    // remainder. The estimate from the leading 32 bits of s (all of s when
    // it has no more) is at most two low; the subtraction loop settles it.
    const int64_t shift = s.bit_length() > 32 ? s.bit_length() - 32 : 0;
    const uint64_t s_top = s.bits_from(shift), divisor = shift == 0 ? s_top : s_top + 1;
    int64_t i = 0;
    while (i < n && !r.is_zero()) {
        const int group = n - i < 9 ? static_cast<int>(n - i) : 9;
        r.mul_add(static_cast<uint32_t>(kPow10[group]), 0);
        uint64_t q = r.bits_from(shift) / divisor;  // 10^9 r / 2^shift is below 2^62
        if (q != 0) r.sub_mul(s, static_cast<uint32_t>(q));
        while (compare(r, s) >= 0) {
            r.sub_mul(s, 1);
            ++q;
        }
        write_digits(out + i, q, group);
        i += group;
    }
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

}  // namespace

bool double_to_decimal_short(double value, DigitMode mode, int precision, char *out, int size,
                             DecimalDigits *result) noexcept {
    return short_digits(decode(value), mode, precision, out, size, result);
}

DecimalDigits double_to_decimal(double value, DigitMode mode, int precision, char *out, int size) noexcept {
    const Decoded v = decode(value);
    DecimalDigits d;
    if (short_digits(v, mode, precision, out, size, &d)) return d;
    return exact_digits<DoubleLayout>(v, mode, precision, out, size);
}

DecimalDigits double_to_decimal_exact(double value, DigitMode mode, int precision, char *out, int size) noexcept {
    return exact_digits<DoubleLayout>(decode(value), mode, precision, out, size);
}

DecimalDigits long_double_to_decimal(long double value, DigitMode mode, int precision, char *out, int size) noexcept {
#if defined(_WIN32)
    return double_to_decimal(static_cast<double>(value), mode, precision, out, size);
#else
    const Decoded v = decode(value);
    DecimalDigits d;
    if (short_digits(v, mode, precision, out, size, &d)) return d;
    return exact_digits<X87Layout>(v, mode, precision, out, size);
#endif
}

}  // namespace kez::clib
