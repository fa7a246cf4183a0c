// Decimal to float and to long double: hand cases where rounding twice
// (to double, then to float) would go wrong; on Linux, random inputs and
// inputs at and around midpoints, some of 20000 digits, checked bit for bit
// against the host's strtof and strtold (which round exactly). On Windows
// the engine's long double is a double.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "clib/decimal_to_double.h"

#if !defined(_WIN32)
#include <cerrno>
#include <cstdlib>
#endif

namespace {

using kez::clib::parse_float;
using kez::clib::parse_long_double;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(DecimalToFloat, HandCases) {
    const struct {
        const char *text;
        uint32_t want;
        bool range;
    } cases[] = {
        // Just above and below the midpoint 1 + 2^-24, both nearest to it
        // among doubles: rounding through double would tie both to 1.
        {"1.00000005960464477550", 0x3F800001, false},
        {"1.00000005960464477530", 0x3F800000, false},
        {"1.000000059604644775390625", 0x3F800000, false},  // the midpoint: to even
        {"1.000000059604644775390626", 0x3F800001, false},
        {"1.0000001788139343261718749", 0x3F800001, false},
        {"1.000000178813934326171875", 0x3F800002, false},
        {"16777217", 0x4B800000, false},
        {"16777219", 0x4B800002, false},
        {"3.40282346638528859811704183484516925440e38", 0x7F7FFFFF, false},   // FLT_MAX
        {"3.40282356779733661637539395458142568447e38", 0x7F7FFFFF, false},   // under the midpoint above it
        {"3.40282356779733661637539395458142568448e38", 0x7F800000, true},    // the midpoint: overflow
        {"1e39", 0x7F800000, true},
        {"1.17549435082228750796873653722224568e-38", 0x00800000, false},      // FLT_MIN
        {"1.17549430e-38", 0x00800000, true},   // up to FLT_MIN, but below it at 24 bits: tiny
        {"1.17549434e-38", 0x00800000, false},
        {"1.17549428e-38", 0x007FFFFF, true},
        {"1.40129846432481707092372958328991613e-45", 0x00000001, true},
        {"7.0064923216240853546186479164495806564e-46", 0x00000000, true},   // half the least: to even, zero
        {"7.0064923216240853546186479164495806565e-46", 0x00000001, true},
        {"1e-46", 0x00000000, true},
        {"0.1", 0x3DCCCCCD, false},
        {"-2.5e-3", 0xBB23D70A, false},
        {"123456789012345678901234567890", 0x6FC77488, false},
        {"1e10", 0x501502F9, false},
        {"0e99", 0x00000000, false},
    };
    for (const auto &c : cases) {
        const auto r = parse_float(c.text, '.');
        EXPECT_EQ(bits(r.value), c.want) << c.text;
        EXPECT_EQ(r.end, c.text + std::strlen(c.text)) << c.text;
        EXPECT_EQ(r.range_error, c.range) << c.text;
    }
    const char text[] = " -INFINITYx";
    EXPECT_EQ(bits(parse_float(text, '.').value), 0xFF800000);
    EXPECT_EQ(parse_float(text, '.').end, text + 10);
    EXPECT_TRUE(std::isnan(parse_float("nan(1)", '.').value));
    EXPECT_EQ(parse_float("0x1p3", '.').value, 0.0f);
    EXPECT_EQ(parse_float("2,5", ',').value, 2.5f);
}

#if defined(_WIN32)
TEST(DecimalToLongDouble, IsDoubleOnWindows) {
    const auto r = parse_long_double("0.1e1x", '.');
    EXPECT_EQ(static_cast<double>(r.value), 1.0);
    EXPECT_EQ(std::string(r.end), "x");
    EXPECT_EQ(static_cast<double>(parse_long_double("0.1", '.').value), 0.1);
    EXPECT_TRUE(parse_long_double("1e400", '.').range_error);
}
#else
// The 80-bit value's ten bytes.
std::string bytes(long double v) { return std::string(reinterpret_cast<const char *>(&v), 10); }

TEST(DecimalToLongDouble, HandCases) {
    const struct {
        const char *text;
        long double want;
        bool range;
    } cases[] = {
        {"0.1", 0.1L, false}, {"-1.5", -1.5L, false}, {"18446744073709551615", 18446744073709551615.0L, false},
        {"18446744073709551617", 18446744073709551616.0L, false}, {"1e4933", HUGE_VALL, true},
        {"1.18973149535723176502e4932", LDBL_MAX, false}, {"3.36210314311209350626e-4932", LDBL_MIN, false},
        {"3.6e-4951", LDBL_TRUE_MIN, true}, {"1e-4952", 0.0L, true}, {"1e-27", 1e-27L, false},
        {"123456789e27", 123456789e27L, false},
    };
    for (const auto &c : cases) {
        const auto r = parse_long_double(c.text, '.');
        EXPECT_EQ(bytes(r.value), bytes(c.want)) << c.text;
        EXPECT_EQ(r.end, c.text + std::strlen(c.text)) << c.text;
        EXPECT_EQ(r.range_error, c.range) << c.text;
    }
}

// The engine against the host on one text, value bits, end and range error.
::testing::AssertionResult same_as_host(const std::string &text) {
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    const float host_f = std::strtof(s, &end);
    const bool range_f = errno == ERANGE;
    const auto f = parse_float(s, '.');
    if (bits(f.value) != bits(host_f) || f.end != end || f.range_error != range_f)
        return ::testing::AssertionFailure() << "float " << text << ": " << std::hexfloat << f.value << " want "
                                             << host_f << (range_f ? " (range)" : "");
    errno = 0;
    const long double host_l = std::strtold(s, &end);
    const bool range_l = errno == ERANGE;
    const auto l = parse_long_double(s, '.');
    if (bytes(l.value) != bytes(host_l) || l.end != end || l.range_error != range_l)
        return ::testing::AssertionFailure() << "long double " << text << ": " << std::hexfloat << l.value
                                             << " want " << host_l << (range_l ? " (range)" : "");
    return ::testing::AssertionSuccess();
}

std::string random_digits(std::mt19937_64 &rng, size_t n) {
    std::string s(n, '0');
    for (auto &c : s) c = static_cast<char>('0' + rng() % 10);
    return s;
}

// 10^5 texts of 1 to 40 digits, the point anywhere, the value's decimal
// exponent across float's range and a little past it (one in two), or
// across the long double's (one in four: their exact powers of five are
// slow unoptimised), or within 10^+-400.
TEST(DecimalToFloat, RandomTextsAgreeWithHost) {
    std::mt19937_64 rng(32);
    for (int i = 0; i < 100000; ++i) {
        const size_t len = 1 + rng() % 40, point = rng() % (len + 1);
        const long dexp = i % 2 == 0 ? static_cast<long>(rng() % 100) - 50
                          : i % 4 == 1 ? static_cast<long>(rng() % 9900) - 4960
                                       : static_cast<long>(rng() % 800) - 400;
        const std::string digits = random_digits(rng, len);
        const std::string text = (rng() % 2 ? "-" : "") + digits.substr(0, point) + "." + digits.substr(point) + "e" +
                                 std::to_string(dexp - static_cast<long>(point));
        ASSERT_TRUE(same_as_host(text));
    }
}

// The exact decimal digits of odd * 2^f, and the power of ten of the last.
std::string exact(unsigned __int128 odd, long f, long &e10) {
    std::vector<uint32_t> n;  // base 10^9, least significant first
    for (; odd != 0; odd /= 1000000000) n.push_back(static_cast<uint32_t>(odd % 1000000000));
    const auto times = [&n](uint32_t m) {
        uint64_t c = 0;
        for (auto &x : n) c += uint64_t{x} * m, x = static_cast<uint32_t>(c % 1000000000), c /= 1000000000;
        if (c != 0) n.push_back(static_cast<uint32_t>(c));
    };
    for (long k = f; k > 0; k -= 29) times(1u << (k < 29 ? k : 29));
    for (long k = -f; k > 0; k -= 12) times(k < 12 ? static_cast<uint32_t>(std::pow(5, k)) : 244140625);
    std::string s = std::to_string(n.back());
    for (size_t i = n.size() - 1; i-- > 0;) {
        const std::string limb = std::to_string(n[i]);
        s += std::string(9 - limb.size(), '0') + limb;
    }
    e10 = f < 0 ? f : 0;
    return s;
}

// Midpoints between neighbours of each format, written out exactly, then
// one unit above and below in the last digit, and decided by a digit 1 (or
// a run of nines) far beyond: on subnormals, near the extremes, anywhere.
// Long double midpoints of the least exponents are over 11000 digits; a
// few inputs are padded to 20000.
TEST(DecimalToFloat, MidpointsAgreeWithHost) {
    std::mt19937_64 rng(65);
    const auto digit_step = [](std::string s, int delta) {
        for (size_t i = s.size(); i-- > 0;) {
            const int d = s[i] - '0' + delta;
            s[i] = static_cast<char>('0' + (d + 10) % 10);
            if (d >= 0 && d <= 9) break;
        }
        return s;
    };
    int long_ones = 0;
    for (int i = 0; i < 1200 && !HasFailure(); ++i) {
        const bool extended = i % 4 == 0;
        const int bits = extended ? 64 : 24, least = extended ? -16445 : -149, span = extended ? 32766 : 254;
        // m * 2^e in the format: subnormal, lowest, highest or any exponent.
        const uint64_t r = rng();
        long e = least + (i % 5 == 0 ? 0 : i % 5 == 1 ? span - 1 : static_cast<long>(rng() % span));
        uint64_t m = r >> (64 - bits);
        if (i % 5 != 0) m |= uint64_t{1} << (bits - 1);
        if (i % 5 == 2 && i % 3 == 0) e = least + static_cast<long>(rng() % 3);
        if (m == 0) m = 1;
        long e10;
        const std::string mid = exact((static_cast<unsigned __int128>(m) << 1) | 1, e - 1, e10);
        const auto text = [](const std::string &d, long exp) { return "0." + d + "e" + std::to_string(exp + static_cast<long>(d.size())); };
        ASSERT_TRUE(same_as_host(text(mid, e10)));
        ASSERT_TRUE(same_as_host(text(digit_step(mid, 1), e10)));
        ASSERT_TRUE(same_as_host(text(digit_step(mid, -1), e10)));
        const size_t gap = i % 50 == 0 && long_ones < 8 ? 20000 - mid.size() : 5 + rng() % 60;
        long_ones += gap > 1000;
        ASSERT_TRUE(same_as_host(text(mid + std::string(gap, '0') + "1", e10 - static_cast<long>(gap) - 1)));
        ASSERT_TRUE(same_as_host(text(digit_step(mid, -1) + std::string(gap, '9'), e10 - static_cast<long>(gap))));
        ASSERT_TRUE(same_as_host(text(mid + std::string(gap, '0'), e10 - static_cast<long>(gap))));
    }
    EXPECT_EQ(long_ones, 8);
}
#endif

}  // namespace
