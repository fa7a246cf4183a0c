// Long double to decimal digits. On Linux (the 80-bit extended format) the
// digits are checked against the host's printf, which prints exactly: edge
// values and ties at every tested precision, 10^5 random bit patterns at a
// precision each, the extremes in full; and the encodings the processor
// refuses. On Windows the engine's long double is a double.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "clib/double_to_decimal.h"

namespace {

using kez::clib::DecimalDigits;
using kez::clib::DigitMode;
using kez::clib::DigitSpecial;
using kez::clib::long_double_to_decimal;
constexpr DigitMode kSig = DigitMode::significant, kFix = DigitMode::after_point;

#if !defined(_WIN32)
// Room for the least subnormal's whole expansion after the point.
char g_buf[16445 + 64], g_host[16445 + 64];

// The engine's digits printed as %.*Le (kSig) or %.*Lf (kFix) print them.
std::string engine(long double v, DigitMode mode, int p, int size = sizeof g_buf) {
    const DecimalDigits d = long_double_to_decimal(v, mode, mode == kSig ? p + 1 : p, g_buf, size);
    if (d.count < 0) return "too small";
    const std::string sign = d.negative ? "-" : "", digits(g_buf, static_cast<size_t>(d.count));
    if (d.special != DigitSpecial::finite) return sign + (d.special == DigitSpecial::nan ? "nan" : "inf");
    const std::string frac = p > 0 ? "." : "";
    if (mode == kSig) {
        if (d.count != p + 1) return "bad count";
        char e[16];
        std::snprintf(e, sizeof e, "e%c%02d", d.exponent < 1 ? '-' : '+', std::abs(d.exponent - 1));
        return sign + digits[0] + frac + digits.substr(1) + e;
    }
    if (d.count != d.exponent + p) return "bad count";
    if (d.exponent <= 0) return sign + "0" + frac + std::string(static_cast<size_t>(-d.exponent), '0') + digits;
    const size_t ints = static_cast<size_t>(d.exponent);
    return sign + digits.substr(0, ints) + frac + digits.substr(ints);
}

std::string host(long double v, DigitMode mode, int p) {
    std::snprintf(g_host, sizeof g_host, mode == kSig ? "%.*Le" : "%.*Lf", p, v);
    return g_host;
}

long double from_bits(uint64_t significand, unsigned sign_exponent) {
    unsigned char b[sizeof(long double)] = {};
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(significand >> (8 * i));
    b[8] = static_cast<unsigned char>(sign_exponent);
    b[9] = static_cast<unsigned char>(sign_exponent >> 8);
    long double v;
    std::memcpy(&v, b, sizeof v);
    return v;
}

// The value's decimal exponent, roughly: %Lf requests are kept to values
// of a few hundred integer digits at most.
int magnitude(long double v) { return v == 0 ? 0 : std::ilogb(v) * 3 / 10; }

::testing::AssertionResult same(long double v, DigitMode mode, int p) {
    const std::string want = host(v, mode, p), got = engine(v, mode, p);
    if (want == got) return ::testing::AssertionSuccess();
    char hex[64];
    std::snprintf(hex, sizeof hex, "%La", v);
    return ::testing::AssertionFailure() << hex << (mode == kSig ? " %." : " %.") << p << (mode == kSig ? "Le" : "Lf")
                                         << ":\n got " << got << "\nwant " << want;
}

// Edge values at every precision tested: the extremes and their
// neighbours, powers of ten and two, exact ties at some digit (odd
// multiples of 2^-j after the point; (10 L + 5) 10^a among the significant
// digits), runs of nines that carry.
TEST(LongDoubleToDecimal, MatchesHostOnEdges) {
    std::vector<long double> v = {LDBL_MAX, LDBL_MIN, LDBL_TRUE_MIN, std::nextafter(LDBL_MIN, 0.0L),
                                  std::nextafter(LDBL_MAX, 0.0L), 2 * LDBL_TRUE_MIN, -0.0L, 0.0L, 1.0L,
                                  0.1L, 9.5L, 0.5L, 2.5L, 1e23L, 0.99999999999999999999L, 9999999999999999999.5L,
                                  static_cast<long double>(DBL_MAX), static_cast<long double>(DBL_TRUE_MIN)};
    for (int i = -4950; i <= 4932; i += i > -40 && i < 40 ? 1 : 37) {
        const long double p = std::strtold(("1e" + std::to_string(i)).c_str(), nullptr);
        v.insert(v.end(), {p, std::nextafter(p, 0.0L), std::nextafter(p, HUGE_VALL)});
    }
    for (int i = -16445; i < 16384; i += 97) v.push_back(std::ldexp(1.0L, i));
    for (const long double x : v)
        for (const int p : {0, 1, 17, 21, 40}) {
            ASSERT_TRUE(same(x, kSig, p));
            ASSERT_TRUE(same(-x, kSig, p));
            if (magnitude(x) < 400) {
                ASSERT_TRUE(same(x, kFix, p));
            }
        }
    std::mt19937_64 rng(80);
    for (int i = 0; i < 3000; ++i) {
        const uint64_t r = rng();
        const int j = 1 + static_cast<int>(r % 70);
        const long double tie = std::ldexp(static_cast<long double>((r >> (j < 40 ? 24 : 0)) | 1), -j);
        ASSERT_TRUE(same(tie, kFix, j - 1));
        const int a = static_cast<int>(r % 24);
        uint64_t fives = 1, l = (r >> (r % 60)) | 1;
        for (int k = 0; k < a; ++k) fives *= 5;
        while (l > (~uint64_t{0} / fives - 5) / 10) l /= 10;
        l = l * 10 + 5;  // (10 L + 5) 5^a 2^a, exact: a tie at the digit of 10^a
        const long double scaled = std::ldexp(static_cast<long double>(l * fives), a);
        ASSERT_TRUE(same(scaled, kSig, static_cast<int>(std::to_string(l).size()) - 2));
        const std::string nines = "0." + std::string(1 + r % 22, '9') + "7e" + std::to_string(int(r % 9800) - 4900);
        ASSERT_TRUE(same(std::strtold(nines.c_str(), nullptr), kSig, static_cast<int>(r % 22)));
    }
}

// 10^5 random bit patterns, each at one precision in turn in both modes;
// one in 100 also at precision 509. One in eight is subnormal and one in
// eight from the whole range, the rest within 2^+-1200 (the exact way's
// powers of five of thousands of digits are slow unoptimised).
TEST(LongDoubleToDecimal, MatchesHostOnRandomValues) {
    std::mt19937_64 rng(64);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t m = rng(), r = rng();
        // Subnormals, the whole range, and the range of doubles and a little more.
        const unsigned exponent = i % 8 == 0   ? 0
                                  : i % 8 == 1 ? static_cast<unsigned>(r % 0x7FFF)
                                               : static_cast<unsigned>(16383 - 1200 + r % 2400);
        const long double v = from_bits(exponent == 0 ? m >> 1 : m | uint64_t{1} << 63,
                                        exponent | static_cast<unsigned>(r >> 63) << 15);
        static constexpr int kPrecisions[] = {0, 1, 17, 21, 40};
        const int p = kPrecisions[i % 5];
        ASSERT_TRUE(same(v, kSig, p));
        if (magnitude(v) < 400 || i % 100 == 0) {
            ASSERT_TRUE(same(v, kFix, p));
        }
        if (i % 100 == 0) {
            ASSERT_TRUE(same(v, kSig, 509));
        } else if (i % 100 == 50 && magnitude(v) < 4000) {
            ASSERT_TRUE(same(v, kFix, 509));
        }
    }
}

TEST(LongDoubleToDecimal, Extremes) {
    // LDBL_MAX after the point: 4933 integer digits and the precision.
    DecimalDigits d = long_double_to_decimal(LDBL_MAX, kFix, 509, g_buf, sizeof g_buf);
    ASSERT_EQ(d.count, 4933 + 509);
    EXPECT_EQ(d.exponent, 4933);
    EXPECT_EQ(std::string(g_buf, 20), "11897314953572317650");
    EXPECT_LE(d.count, 509 + kez::clib::kLongDoubleFixedExtraDigits);
    EXPECT_TRUE(same(LDBL_MAX, kFix, 509));
    EXPECT_EQ(engine(LDBL_MAX, kFix, 509, 4933 + 508), "too small");
    EXPECT_EQ(engine(9.5L, kFix, 0, 1), "too small");  // the carry needs a second digit
    // The least subnormal: 11495 significant digits, and rounded at each end.
    d = long_double_to_decimal(LDBL_TRUE_MIN, kFix, 16445, g_buf, sizeof g_buf);
    ASSERT_EQ(d.count, 11495);
    EXPECT_EQ(d.exponent, -4950);
    EXPECT_EQ(std::string(g_buf, 10), "3645199531");
    EXPECT_EQ(std::string(g_buf + 11495 - 5, 5), "03125");
    for (const int p : {16445, 16444, 4951, 4950, 5000})
        EXPECT_TRUE(same(LDBL_TRUE_MIN, kFix, p)) << p;
    EXPECT_TRUE(same(LDBL_TRUE_MIN, kSig, 11494));
    EXPECT_TRUE(same(LDBL_TRUE_MIN, kSig, 11493));
    EXPECT_TRUE(same(std::nextafter(LDBL_MIN, 0.0L), kSig, 12000));

    // Encodings the processor refuses: NaN, with their sign; a
    // pseudo-denormal reads as the normal with the same bits.
    const unsigned kSign = 0x8000;
    EXPECT_EQ(engine(from_bits(0, 0x7FFF), kSig, 5), "nan");                          // pseudo-infinity
    EXPECT_EQ(engine(from_bits(1, 0x7FFF | kSign), kSig, 5), "-nan");                 // pseudo-NaN
    EXPECT_EQ(engine(from_bits(uint64_t{1} << 62, 0x3FFF), kFix, 2), "nan");           // unnormal
    EXPECT_EQ(engine(from_bits(uint64_t{1} << 63, 0x7FFF | kSign), kSig, 1), "-inf");  // infinity
    EXPECT_EQ(engine(from_bits(uint64_t{3} << 62, 0x7FFF), kFix, 1), "nan");           // quiet NaN
    const uint64_t m = 0x8000000000000123u;
    EXPECT_EQ(engine(from_bits(m, 0), kSig, 30), engine(from_bits(m, 1), kSig, 30));
    EXPECT_EQ(engine(from_bits(m, 0), kSig, 30), host(from_bits(m, 1), kSig, 30));
}
#else
// The engine's long double is a double here: its digits are the double's.
TEST(LongDoubleToDecimal, IsDoubleOnWindows) {
    char buf[400];
    const DecimalDigits d = long_double_to_decimal(0.1L, kSig, 17, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(d.count)), "10000000000000001");
    EXPECT_EQ(d.exponent, 0);
    EXPECT_EQ(long_double_to_decimal(static_cast<long double>(DBL_MAX), kFix, 0, buf, sizeof buf).count, 309);
    EXPECT_EQ(kez::clib::kLongDoubleFixedExtraDigits, 310);
}
#endif

}  // namespace
