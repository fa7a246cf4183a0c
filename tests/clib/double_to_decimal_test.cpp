// Double to decimal digits: hand cases, and generated doubles checked against
// an exact oracle (the full decimal expansion of the double, built by plain
// base-10^9 arithmetic, rounded half to even as a digit string); on Linux
// also against the host's printf, which prints exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "clib/decimal_to_double.h"
#include "clib/double_to_decimal.h"
#include "support/exact_decimal.h"

namespace {

using kez::clib::DecimalDigits;
using kez::clib::DigitMode;
using kez::clib::DigitSpecial;
using kez::clib::double_to_decimal;
using kez::test::Expansion;
using kez::test::expand;
using kez::test::round_even;
constexpr DigitMode kSig = DigitMode::significant, kFix = DigitMode::after_point;

std::string exponent_text(int e) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "e%c%02d", e < 0 ? '-' : '+', e < 0 ? -e : e);
    return buf;
}

// The oracle, printed as %.*f and %.*e print (p significant digits for the latter).
std::string reference(const Expansion &x, bool negative, DigitMode mode, int p) {
    return mode == kFix ? kez::test::exact_fixed(x, negative, p) : kez::test::exact_exponent(x, negative, p - 1);
}

// The engine's digits, printed the same way.
char g_buf[2000];
std::string format(double v, DigitMode mode, int p) {
    const DecimalDigits d = double_to_decimal(v, mode, p, g_buf, static_cast<int>(sizeof g_buf));
    p = std::max(p, mode == kSig ? 1 : 0);
    if (d.count < 0 || d.special != DigitSpecial::finite) return "?";
    const std::string digits(g_buf, static_cast<size_t>(d.count)), sign = d.negative ? "-" : "";
    if (mode == kSig) {
        if (d.count != p) return "bad count " + std::to_string(d.count);
        return sign + digits.substr(0, 1) + (d.count > 1 ? "." + digits.substr(1) : "") + exponent_text(d.exponent - 1);
    }
    if (d.count != d.exponent + p) return "bad count " + std::to_string(d.count);
    std::string whole = "0", frac = digits;
    const size_t ints = static_cast<size_t>(std::max(d.exponent, 0));
    if (ints > 0) whole = digits.substr(0, ints), frac = digits.substr(ints);
    else frac.insert(0, static_cast<size_t>(-d.exponent), '0');
    return sign + whole + (p > 0 ? "." + frac : "");
}

double parse(const char *text) { return kez::clib::parse_double(text, '.').value; }

TEST(DoubleToDecimal, HandCases) {
    const struct {
        double v;
        DigitMode mode;
        int p;
        std::string want;
    } cases[] = {
        {0.0, kSig, 3, "0.00e+00"},       {-0.0, kFix, 2, "-0.00"},     {-0.0, kSig, 1, "-0e+00"},
        {1.0, kSig, 1, "1e+00"},          {1.0, kFix, 0, "1"},          {0.5, kFix, 0, "0"},
        {1.5, kFix, 0, "2"},              {2.5, kFix, 0, "2"},          {-2.5, kFix, 0, "-2"},
        {0.125, kFix, 2, "0.12"},         {0.375, kFix, 2, "0.38"},     {9.5, kFix, 0, "10"},
        {999.5, kFix, 0, "1000"},         {9.9999, kSig, 1, "1e+01"},   {9.9999, kSig, 4, "1.000e+01"},
        {0.0625, kSig, 2, "6.2e-02"},     {0.35, kFix, 1, "0.3"},       {0.05, kFix, 1, "0.1"},
        {0.001, kFix, 1, "0.0"},          {-0.001, kFix, 2, "-0.00"},   {0.006, kFix, 2, "0.01"},
        {0.005, kFix, 2, "0.01"},         {0.5, kSig, 0, "5e-01"},      {12.5, kFix, -3, "12"},
        {1e23, kSig, 17, "9.9999999999999992e+22"},                     {1e23, kFix, 0, "99999999999999991611392"},
        {1e23, kSig, 23, "9.9999999999999991611392e+22"},               {5e-324, kSig, 1, "5e-324"},
        {5e-324, kSig, 17, "4.9406564584124654e-324"},                  {DBL_MIN, kSig, 17, "2.2250738585072014e-308"},
        {DBL_MAX, kSig, 17, "1.7976931348623157e+308"},                 {DBL_MAX, kSig, 1, "2e+308"},
        {1.5e-323, kSig, 2, "1.5e-323"},  {1e-320, kFix, 320, "0." + std::string(319, '0') + "1"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(format(c.v, c.mode, c.p), c.want) << c.v << " mode " << int(c.mode) << " p " << c.p;
}

TEST(DoubleToDecimal, Fields) {
    const struct {
        double v;
        DigitMode mode;
        int p;
        const char *digits;
        int exponent;
    } cases[] = {
        {0.5, kFix, 0, "0", 1},   {9.5, kFix, 0, "10", 2},       {0.06, kFix, 1, "1", 0},
        {1e-5, kFix, 2, "000", 1}, {0.0, kSig, 0, "0", 1},       {9.96, kSig, 2, "10", 2},
        {123.0, kSig, 5, "12300", 3}, {0.0123, kSig, 2, "12", -1}, {0.96, kFix, 1, "10", 1},
        {-7.0, kFix, 1, "70", 1},
    };
    char buf[32];
    for (const auto &c : cases) {
        const DecimalDigits d = double_to_decimal(c.v, c.mode, c.p, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(d.count < 0 ? 0 : d.count)), c.digits) << c.v;
        EXPECT_EQ(d.exponent, c.exponent) << c.v;
        EXPECT_EQ(d.negative, std::signbit(c.v)) << c.v;
    }
}

TEST(DoubleToDecimal, Extremes) {
    char buf[1200];
    DecimalDigits d = double_to_decimal(DBL_MAX, kFix, 509, buf, sizeof buf);
    ASSERT_EQ(d.count, 818);
    EXPECT_EQ(d.exponent, 309);
    EXPECT_EQ(std::string(buf, 309), expand(DBL_MAX).whole);
    EXPECT_EQ(std::string(buf, 17), "17976931348623157");
    EXPECT_EQ(buf[308], '8');
    EXPECT_EQ(std::string(buf + 309, 509), std::string(509, '0'));
    EXPECT_EQ(double_to_decimal(DBL_MAX, kFix, 509, buf, 817).count, -1);
    EXPECT_EQ(double_to_decimal(9.5, kFix, 0, buf, 1).count, -1);  // the carry needs a second digit
    EXPECT_EQ(double_to_decimal(1.0, kSig, 5, buf, 4).count, -1);

    d = double_to_decimal(DBL_TRUE_MIN, kFix, 1074, buf, sizeof buf);  // the whole expansion
    ASSERT_EQ(d.count, 751);
    EXPECT_EQ(d.exponent, -323);
    EXPECT_EQ(std::string(buf, 20), "49406564584124654417");
    EXPECT_EQ(std::string(buf + 748, 3), "625");
    EXPECT_EQ("0." + std::string(323, '0') + std::string(buf, 751), "0." + expand(DBL_TRUE_MIN).fraction);
    d = double_to_decimal(DBL_TRUE_MIN, kFix, 509, buf, sizeof buf);
    EXPECT_EQ(d.count, 509 - 323);
    EXPECT_EQ(std::string(buf, 7), "4940656");
    EXPECT_EQ(format(DBL_TRUE_MIN, kFix, 509), reference(expand(DBL_TRUE_MIN), false, kFix, 509));
    d = double_to_decimal(DBL_TRUE_MIN, kFix, 300, buf, sizeof buf);  // rounded away
    EXPECT_EQ(std::string(buf, static_cast<size_t>(d.count)), std::string(301, '0'));
    EXPECT_EQ(d.exponent, 1);
    EXPECT_EQ(format(DBL_TRUE_MIN, kFix, 324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format(DBL_TRUE_MIN, kFix, 323), "0." + std::string(323, '0'));
    EXPECT_EQ(format(-DBL_TRUE_MIN, kFix, 325), "-0." + std::string(323, '0') + "49");

    const struct {
        double v;
        const char *text;
        DigitSpecial special;
    } specials[] = {{HUGE_VAL, "Infinity", DigitSpecial::infinity},
                    {-HUGE_VAL, "Infinity", DigitSpecial::infinity},
                    {std::nan(""), "NaN", DigitSpecial::nan},
                    {-std::nan(""), "NaN", DigitSpecial::nan}};
    for (const auto &s : specials) {
        d = double_to_decimal(s.v, kSig, 6, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(d.count)), s.text);
        EXPECT_EQ(d.special, s.special);
        EXPECT_EQ(d.exponent, 9999);
        EXPECT_EQ(d.negative, std::signbit(s.v));
        EXPECT_EQ(double_to_decimal(s.v, kFix, 0, buf, 2).count, -1);
    }
}

// Doubles of every kind: random bit patterns, subnormals, short dyadic
// fractions (ties), powers of ten and their neighbours.
std::vector<double> samples() {
    std::mt19937_64 rng(20261207);
    std::vector<double> v;
    for (int i = -323; i <= 308; ++i) {
        const double p = parse(("1e" + std::to_string(i)).c_str());
        v.insert(v.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)});
    }
    for (int i = 0; i < 2000; ++i) {
        const uint64_t r = rng();
        switch (i % 4) {
        case 0: v.push_back(std::bit_cast<double>((r & ~(uint64_t{0x7FF} << 52)) | (r % 2047) << 52)); break;
        case 1: v.push_back(std::bit_cast<double>(r & ~(uint64_t{0x7FF} << 52))); break;  // subnormal
        case 2: v.push_back(std::ldexp(static_cast<double>(r % 2000001) - 1000000, -static_cast<int>(r >> 59))); break;
        default: v.push_back(std::ldexp(1.0 + static_cast<double>(r >> 12) * 0x1p-52, static_cast<int>(r % 200) - 100));
        }
    }
    return v;
}

TEST(DoubleToDecimal, MatchesExactExpansion) {
    const std::vector<double> v = samples();
    long checked = 0;
    for (size_t i = 0; i < v.size() && !HasFailure(); ++i) {
        const Expansion x = expand(v[i]);
        std::vector<int> precisions;
        for (int p = 0; p <= 20; ++p) precisions.push_back(p);
        if (i % 8 == 0) precisions.insert(precisions.end(), {100, 350, 509});
        for (int p : precisions)
            for (DigitMode mode : {kSig, kFix}) {
                if (mode == kSig && p == 0) continue;
                ASSERT_EQ(format(v[i], mode, p), reference(x, std::signbit(v[i]), mode, p))
                    << std::hexfloat << v[i] << " mode " << int(mode) << " p " << p;
                ++checked;
            }
    }
    EXPECT_GT(checked, 50000);
}

// Seventeen significant digits read back give the same double, every one of
// 10^5 random bit patterns (the "%.17g" round trip, both conversions the
// engine's own).
TEST(DoubleToDecimal, SeventeenDigitsRoundTrip) {
    std::mt19937_64 rng(17);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t bits = rng();
        const double d = std::bit_cast<double>(bits);
        if (!std::isfinite(d)) continue;
        char digits[32];
        const auto r = kez::clib::double_to_decimal(d, DigitMode::significant, 17, digits, sizeof digits);
        ASSERT_EQ(r.count, 17);
        const std::string text = std::string(r.negative ? "-" : "") + "0." + std::string(digits, 17) + "e" +
                                 std::to_string(r.exponent);
        ASSERT_EQ(std::bit_cast<uint64_t>(parse(text.c_str())), bits) << text;
    }
}

// The short way (a 128-bit power of five and an error bound) against the
// exact way (big integers), field by field; counts the requests the short
// way leaves to the exact one. The exact result stays in `exact` and `x`.
struct ShortAgainstExact {
    long calls = 0, fallbacks = 0;
    char fast[400], exact[400];
    DecimalDigits x{};

    ::testing::AssertionResult operator()(double v, DigitMode mode, int p) {
        ++calls;
        x = kez::clib::double_to_decimal_exact(v, mode, p, exact, sizeof exact);
        DecimalDigits s{};
        if (!kez::clib::double_to_decimal_short(v, mode, p, fast, sizeof fast, &s)) {
            ++fallbacks;
            return ::testing::AssertionSuccess();
        }
        return same(v, mode, p, s, std::string(exact, static_cast<size_t>(std::max(x.count, 0))), x.exponent);
    }

    // The short way's result s against the wanted digits and exponent.
    ::testing::AssertionResult same(double v, DigitMode mode, int p, const DecimalDigits &s, const std::string &digits,
                                    int exponent) {
        const std::string got(fast, static_cast<size_t>(std::max(s.count, 0)));
        if (s.count == static_cast<int>(digits.size()) && s.exponent == exponent && s.negative == std::signbit(v) &&
            s.special == DigitSpecial::finite && got == digits)
            return ::testing::AssertionSuccess();
        char hex[40];
        std::snprintf(hex, sizeof hex, "%a", v);
        return ::testing::AssertionFailure() << hex << " mode " << int(mode) << " p " << p << ": short " << s.count
                                             << " " << got << " e" << s.exponent << ", want " << digits << " e"
                                             << exponent;
    }
};

// The decimal exponent k of v (10^(k-1) <= v < 10^k), or one off near a
// power of ten.
int decimal_exponent(double v) { return static_cast<int>(std::floor(std::log10(std::fabs(v)))) + 1; }

// Inputs where the rounding is on a knife edge or the table ends: powers of
// ten and two and their neighbours, the extremes (every precision in both
// modes), then subnormals, exact ties at some digit (odd multiples of 2^-j,
// and (10 L + 5) 10^a) and runs of nines that carry (every significant
// precision; after the point, the first few and the last ones that fit).
TEST(DoubleToDecimal, ShortWayMatchesExactOnEdges) {
    std::vector<double> full;
    for (int i = -323; i <= 308; ++i) {
        const double p = parse(("1e" + std::to_string(i)).c_str());
        full.insert(full.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)});
    }
    for (int i = -1074; i <= 1023; ++i) full.push_back(std::ldexp(1.0, i));
    full.insert(full.end(), {DBL_MAX, DBL_TRUE_MIN, DBL_MIN, std::nextafter(DBL_MIN, 0.0), 9.995, 9.9951,
                             0.99999999999999989, 99.5, 999999.5, 9999999999999999.0, 0.95, 0.995, 9.5, 2.5, 0.125,
                             0.375, 1e23, 8.5e-323});
    std::vector<double> sampled;
    std::mt19937_64 rng(1207);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t r = rng();
        sampled.push_back(std::bit_cast<double>(r >> 12));  // subnormal
        // An odd multiple of 2^-j: a tie at j - 1 digits after the point.
        const uint64_t odd = (r >> (11 + r % 50)) | 1;
        sampled.push_back(std::ldexp(static_cast<double>(odd), -static_cast<int>(r % 70)));
        // (10 L + 5) 10^a = (10 L + 5) 5^a 2^a, exact: a tie at the digit of 10^a.
        uint64_t tie = (r >> (20 + r % 40)) * 10 + 5;
        const int a = static_cast<int>(r % 23);
        int used = 0;
        while (used < a && tie < (uint64_t{1} << 53) / 5) tie *= 5, ++used;
        if (used == a) sampled.push_back(std::ldexp(static_cast<double>(tie), a));
        // Runs of nines: the rounding carries out of the first digit.
        const int nines = 1 + static_cast<int>(r % 16);
        const int exp10 = static_cast<int>(r % 600) - 300;
        sampled.push_back(
            parse(("0." + std::string(static_cast<size_t>(nines), '9') + "7e" + std::to_string(exp10)).c_str()));
    }
    // Requests the short way serves (significant 1..17, a count of at most
    // 17 after the point), and a few past them: compared when it serves them.
    ShortAgainstExact served, past;
    for (const bool all : {true, false}) {
        for (const double x : all ? full : sampled) {
            if (HasFailure()) return;
            for (int p = 0; p <= 18; ++p) ASSERT_TRUE((p <= 17 ? served : past)(x, kSig, p));
            const int most = 17 - decimal_exponent(x);  // or one more
            for (int p = -1; p <= most + 1; ++p) {
                if (!all && p >= 3 && p <= most - 18) continue;
                ASSERT_TRUE((p < most ? served : past)(all ? x : -x, kFix, p));
            }
        }
    }
    EXPECT_GT(served.calls, 400000);
    EXPECT_LT(served.fallbacks * 100, served.calls);
    std::printf("edges: the short way left %ld of %ld requests in its reach to the exact way (and %ld of %ld past "
                "it)\n",
                served.fallbacks, served.calls, past.fallbacks, past.calls);
}

// 10^6 random bit patterns at three significant precisions each (17, 6
// and one of 1..16 in turn) and one in four also after the point; the short
// way must agree with the exact way and decide nearly every request itself.
// The exact way runs once for 17 digits; shorter requests are checked
// against those rounded again, which is exact unless the dropped digits are
// 5 and zeros (the 17 digits being within half a unit of the last of them):
// those are checked against the exact way directly.
TEST(DoubleToDecimal, ShortWayMatchesExactOnRandomDoubles) {
    std::mt19937_64 rng(5);
    ShortAgainstExact sig, fix;
    long derived = 0, derived_fallbacks = 0;
    for (int i = 0; i < 1000000 && !HasFailure(); ++i) {
        const double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v) || v == 0) continue;
        ASSERT_TRUE(sig(v, kSig, 17));
        const std::string d17(sig.exact, 17);
        const int e17 = sig.x.exponent;
        for (const int p : {1 + i % 16, i % 16 == 5 ? 12 : 6}) {
            std::string dropped = d17.substr(static_cast<size_t>(p));
            dropped.erase(dropped.find_last_not_of('0') + 1);
            if (dropped == "5") {
                ASSERT_TRUE(sig(v, kSig, p));
                continue;
            }
            std::string want = round_even(d17.substr(0, static_cast<size_t>(p)), dropped);
            int exponent = e17;
            if (want.size() > static_cast<size_t>(p)) want.pop_back(), ++exponent;
            ++derived;
            DecimalDigits s{};
            if (!kez::clib::double_to_decimal_short(v, kSig, p, sig.fast, sizeof sig.fast, &s)) {
                ++derived_fallbacks;
                continue;
            }
            ASSERT_TRUE(sig.same(v, kSig, p, s, want, exponent));
        }
        // After the point: a count of at most 17 digits, when the value allows one.
        const int most = 16 - decimal_exponent(v);
        if (i % 4 == 0 && most >= 0) {
            ASSERT_TRUE(fix(v, kFix, static_cast<int>(rng() % static_cast<uint64_t>(most + 1))));
        }
    }
    EXPECT_GT(sig.calls + derived, 2990000);
    EXPECT_GT(fix.calls, 100000);
    EXPECT_LT((sig.fallbacks + derived_fallbacks) * 100, sig.calls + derived);
    EXPECT_LT(fix.fallbacks * 100, fix.calls);
    std::printf("random: the short way left %ld of %ld significant and %ld of %ld after-point requests to the "
                "exact way\n",
                sig.fallbacks + derived_fallbacks, sig.calls + derived, fix.fallbacks, fix.calls);
}

// Buffers just large enough, and one short: the short way gives up and the
// exact way reports the failure.
TEST(DoubleToDecimal, BufferSizes) {
    const struct {
        double v;
        DigitMode mode;
        int p, size, count;
    } cases[] = {
        {9.96, kSig, 2, 2, 2},    {9.96, kSig, 2, 1, -1},  {9.5, kFix, 0, 2, 2},     {9.5, kFix, 0, 1, -1},
        {0.001, kFix, 2, 3, 3},   {0.001, kFix, 2, 2, -1}, {0.006, kFix, 2, 1, 1},   {0.006, kFix, 2, 0, -1},
        {123.25, kFix, 1, 4, 4},  {123.25, kFix, 1, 3, -1}, {0.5, kSig, 17, 17, 17}, {0.5, kSig, 17, 16, -1},
        {99.96, kFix, 1, 4, 4},   {99.96, kFix, 1, 3, -1},
    };
    char buf[32];
    for (const auto &c : cases)
        EXPECT_EQ(double_to_decimal(c.v, c.mode, c.p, buf, c.size).count, c.count)
            << c.v << " mode " << int(c.mode) << " p " << c.p << " size " << c.size;
}

#if defined(__linux__)
TEST(DoubleToDecimal, MatchesHostPrintf) {
    std::mt19937_64 rng(7);
    static char host[2000];
    for (int i = 0; i < 3000 && !HasFailure(); ++i) {
        uint64_t r = rng();
        const double v = std::bit_cast<double>((r & ~(uint64_t{0x7FF} << 52)) | (r % 2047) << 52);
        const int p = i % 10 == 0 ? static_cast<int>(r % 510) : static_cast<int>(r % 21);
        std::snprintf(host, sizeof host, "%.*e", p, v);
        ASSERT_EQ(format(v, kSig, p + 1), host) << std::hexfloat << v << " " << p;
        std::snprintf(host, sizeof host, "%.*f", p, v);
        ASSERT_EQ(format(v, kFix, p), host) << std::hexfloat << v << " " << p;
    }
}
#endif

}  // namespace
