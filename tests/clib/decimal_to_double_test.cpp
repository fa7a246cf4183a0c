// Decimal to double: exact cases, and a million generated inputs checked by
// an exact oracle (a plain vector big integer comparing the decimal value
// with the midpoints around the result); on Linux also against the host's
// strtod.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "clib/decimal_to_double.h"
#include "support/sanitizers.h"

#if defined(__linux__)
#include <cerrno>
#include <cstdlib>
#endif

namespace {

using kez::clib::parse_double;
using Num = std::vector<uint32_t>;  // least significant limb first, no leading zero limbs

void trim(Num &a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}
void mul_add(Num &a, uint32_t m, uint32_t add) {
    uint64_t c = add;
    for (auto &x : a) {
        c += uint64_t{x} * m;
        x = static_cast<uint32_t>(c);
        c >>= 32;
    }
    if (c != 0) a.push_back(static_cast<uint32_t>(c));
    trim(a);
}
void shl(Num &a, long bits) {
    if (a.empty()) return;
    a.insert(a.begin(), static_cast<size_t>(bits / 32), 0u);
    if (bits % 32 != 0) mul_add(a, 1u << (bits % 32), 0);
}
Num mul(const Num &a, const Num &b) {
    Num r(a.size() + b.size() + 1, 0);
    for (size_t i = 0; i < a.size(); ++i) {
        uint64_t c = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            c += uint64_t{a[i]} * b[j] + r[i + j];
            r[i + j] = static_cast<uint32_t>(c);
            c >>= 32;
        }
        for (size_t k = i + b.size(); c != 0; ++k) {
            c += r[k];
            r[k] = static_cast<uint32_t>(c);
            c >>= 32;
        }
    }
    trim(r);
    return r;
}
Num from_u64(uint64_t v) {
    Num a{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
    trim(a);
    return a;
}
const Num &pow5(long k) {  // cached: 5^k, built one factor 5 at a time
    static std::vector<Num> cache{Num{1}};
    while (static_cast<long>(cache.size()) <= k) {
        cache.push_back(cache.back());
        mul_add(cache.back(), 5, 0);
    }
    return cache[static_cast<size_t>(k)];
}
Num from_decimal(const std::string &s) {
    Num a;
    for (size_t i = 0; i < s.size(); i += 9) {
        const std::string part = s.substr(i, 9);
        mul_add(a, static_cast<uint32_t>(std::pow(10, part.size())), static_cast<uint32_t>(std::stoul(part)));
    }
    return a;
}
std::string to_decimal(Num a) {
    std::string s;
    while (!a.empty()) {
        uint64_t r = 0;
        for (size_t i = a.size(); i-- > 0;) {
            r = (r << 32) | a[i];
            a[i] = static_cast<uint32_t>(r / 1000000000);
            r %= 1000000000;
        }
        trim(a);
        const std::string part = std::to_string(r);
        s.insert(0, (a.empty() ? "" : std::string(9 - part.size(), '0')) + part);
    }
    return s.empty() ? "0" : s;
}
// The decimal string plus delta (+1 or -1), leading zeros kept.
std::string step(std::string s, int delta) {
    for (size_t i = s.size(); i-- > 0;) {
        const int d = s[i] - '0' + delta;
        s[i] = static_cast<char>('0' + (d + 10) % 10);
        if (d >= 0 && d <= 9) break;
    }
    return s;
}
int cmp(const Num &a, const Num &b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}
// An exact decimal digits * 10^e10, compared with binary values m * 2^f.
struct Decimal {
    Num scaled;  // digits * 5^e10 when e10 >= 0, else digits
    long e10;
    Decimal(const std::string &digits, long e) : scaled(from_decimal(digits)), e10(e) {
        if (e10 > 0) scaled = mul(scaled, pow5(e10));
    }
    int compare(uint64_t m, long f) const {
        Num l = scaled, r = from_u64(m);
        if (e10 < 0) r = mul(r, pow5(-e10));
        if (e10 > f) shl(l, e10 - f);
        else shl(r, f - e10);
        return cmp(l, r);
    }
};

void decode(uint64_t bits, uint64_t &m, long &e) {
    m = bits & ((uint64_t{1} << 52) - 1);
    e = static_cast<long>(bits >> 52);
    if (e == 0) e = -1074;
    else m |= uint64_t{1} << 52, e -= 1075;
}
constexpr uint64_t kInf = 0x7FF0000000000000ull, kMinNormal = uint64_t{1} << 52;

// The decimal digits * 10^e10 of the midpoint above the double with these bits.
void midpoint_above(uint64_t bits, std::string &digits, long &e10) {
    uint64_t m;
    long e;
    decode(bits, m, e);
    Num n = from_u64(2 * m + 1);
    if (e - 1 >= 0) {
        shl(n, e - 1);
        e10 = 0;
    } else {
        n = mul(n, pow5(1 - e));
        e10 = e - 1;
    }
    digits = to_decimal(n);
}

struct Checker {
    long checked = 0;
    // Reads text, which must be read whole, and checks the result against
    // digits * 10^e10 (non-negative; negative when the text has a '-').
    void check(const std::string &text, const std::string &digits, long e10) {
        const auto r = parse_double(text.c_str(), '.');
        ASSERT_EQ(r.end, text.c_str() + text.size()) << text;
        ASSERT_EQ(std::signbit(r.value), text[0] == '-') << text;
        const uint64_t bits = std::bit_cast<uint64_t>(std::fabs(r.value));
        const Decimal x(digits, e10);
        uint64_t m;
        long e;
        if (bits < kInf) {
            decode(bits, m, e);
            const int up = x.compare(2 * m + 1, e - 1);
            ASSERT_TRUE(up < 0 || (up == 0 && m % 2 == 0)) << text;
        }
        if (bits > 0) {
            decode(bits - 1, m, e);
            const int down = x.compare(2 * m + 1, e - 1);
            ASSERT_TRUE(down > 0 || (down == 0 && bits % 2 == 0)) << text;
        }
        bool range = bits == kInf;
        if (bits < kMinNormal) {
            decode(bits, m, e);
            range = x.compare(m, e) != 0;
        } else if (bits == kMinNormal) {
            // Tiny after rounding: below the midpoint under DBL_MIN.
            range = x.compare((uint64_t{1} << 54) - 1, -1076) < 0;
        }
        ASSERT_EQ(r.range_error, range) << text;
#if defined(__linux__)
        errno = 0;
        char *end = nullptr;
        const double host = std::strtod(text.c_str(), &end);
        ASSERT_EQ(std::bit_cast<uint64_t>(host), std::bit_cast<uint64_t>(r.value)) << text;
        ASSERT_EQ(errno == ERANGE, r.range_error) << text;
#endif
        ++checked;
    }
};

std::string digits_of(std::mt19937_64 &rng, size_t n) {
    std::string s(n, '0');
    for (auto &c : s) c = static_cast<char>('0' + rng() % 10);
    s[0] = static_cast<char>('1' + rng() % 9);
    return s;
}

// Random digits with the point anywhere and an exponent, about 10^-345 to
// 10^335; the value is digits * 10^e10, negative when the text has a '-'.
std::string random_text(std::mt19937_64 &rng, std::string &digits, long &e10) {
    const size_t len = rng() % 20 == 0 ? 21 + rng() % 300 : 1 + rng() % 20;
    digits = digits_of(rng, len);
    const long dexp = static_cast<long>(rng() % 680) - 345;
    const size_t point = rng() % (len + 1);
    const long exp = dexp - static_cast<long>(point);
    e10 = exp - static_cast<long>(len - point);
    return (rng() % 2 ? "-" : "") + digits.substr(0, point) + "." + digits.substr(point) + (rng() % 2 ? "e" : "E") +
           std::to_string(exp);
}

TEST(DecimalToDouble, ExactCases) {
    // The midpoint between DBL_MAX and 2^1024 (a tie: rounds up), and one less.
    const char kMaxMid[] = "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792";
    const char kBelowMaxMid[] = "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791";
    const size_t kAll = ~size_t{0};
    struct Case {
        const char *text;
        double value;
        size_t used;
        bool range;
    };
    const Case cases[] = {
        {" \t\n\v\f\r42x", 42.0, 8, false}, {"+1.5", 1.5, 4, false}, {"-2.25e1", -22.5, 7, false},
        {"infinity", HUGE_VAL, 8, false}, {"-INF", -HUGE_VAL, 4, false}, {"+Infinit", HUGE_VAL, 4, false},
        {"1e", 1.0, 1, false}, {"1e+", 1.0, 1, false}, {"1E-2", 0.01, 4, false}, {".5", 0.5, 2, false},
        {"5.", 5.0, 2, false}, {".", 0.0, 0, false}, {"-.e1", 0.0, 0, false}, {"+", 0.0, 0, false},
        {"", 0.0, 0, false}, {"0x10", 0.0, 1, false}, {"0x1p3", 0.0, 1, false}, {"00012.50e+0001", 125.0, 14, false},
        {"1e309", HUGE_VAL, 5, true}, {"-1e999999999", -HUGE_VAL, 12, true}, {"1e-400", 0.0, 6, true},
        {"1e-99999999999999999999999", 0.0, 26, true}, {"0e999999999999", 0.0, 14, false},
        {"0.000000000000000000000000000001e330", 1e300, 36, false},
        {"1.7976931348623157e308", DBL_MAX, 22, false}, {"1.7976931348623158e308", DBL_MAX, 22, false},
        {kMaxMid, HUGE_VAL, kAll, true}, {kBelowMaxMid, DBL_MAX, kAll, false}, {"2.2250738585072014e-308", DBL_MIN, 23, false},
        {"2.2250738585072013e-308", DBL_MIN, 23, false}, {"2.2250738585072012e-308", DBL_MIN, 23, true},
        {"2.2250738585072011e-308", std::bit_cast<double>(kMinNormal - 1), 23, true}, {"4.9406564584124654e-324", std::bit_cast<double>(uint64_t{1}), 23, true},
        {"2.4703282292062327e-324", 0.0, 23, true}, {"2.4703282292062328e-324", std::bit_cast<double>(uint64_t{1}), 23, true},
        {"9007199254740993", 9007199254740992.0, 16, false}, {"123456789012345678901234567890", 1.2345678901234568e29, 30, false},
    };
    for (const auto &c : cases) {
        const auto r = parse_double(c.text, '.');
        EXPECT_EQ(std::bit_cast<uint64_t>(r.value), std::bit_cast<uint64_t>(c.value)) << c.text;
        EXPECT_EQ(r.end, c.text + (c.used == kAll ? std::strlen(c.text) : c.used)) << c.text;
        EXPECT_EQ(r.range_error, c.range) << c.text;
    }
    const auto nan = parse_double(" -nAn(", '.');
    EXPECT_TRUE(std::isnan(nan.value) && std::signbit(nan.value));
    EXPECT_EQ(std::string(nan.end), "(");
    for (const char *text : {"nan(x_9)z", "NAN()z", "nan(1 2)", "nan(a"}) {
        const auto n = parse_double(text, '.');
        EXPECT_TRUE(std::isnan(n.value)) << text;
        const char *z = std::strchr(text, 'z');
        EXPECT_EQ(n.end, z != nullptr ? z : text + 3) << text;
    }
    const auto neg_zero = parse_double("-0.0", '.');
    EXPECT_TRUE(neg_zero.value == 0 && std::signbit(neg_zero.value) && !neg_zero.range_error);
    const auto neg_tiny = parse_double("-1e-330", '.');
    EXPECT_TRUE(neg_tiny.value == 0 && std::signbit(neg_tiny.value) && neg_tiny.range_error);
    const char comma[] = "3,25.5";
    const auto c = parse_double(comma, ',');
    EXPECT_EQ(c.value, 3.25);
    EXPECT_EQ(c.end, comma + 4);
    EXPECT_EQ(parse_double("3.25", ',').value, 3.0);
    // Exactly half the least subnormal ties to 0; the next digit far away decides.
    std::string half;
    long e10;
    midpoint_above(0, half, e10);
    const std::string text = half.substr(0, 1) + "." + half.substr(1) + "e" + std::to_string(e10 + static_cast<long>(half.size()) - 1);
    EXPECT_EQ(std::bit_cast<uint64_t>(parse_double(text.c_str(), '.').value), 0u);
    EXPECT_EQ(std::bit_cast<uint64_t>(parse_double((text.substr(0, text.find('e')) + std::string(2000, '0') + "1e-324").c_str(), '.').value), 1u);
}

// The digits arrive in two runs, split by the point, and are taken eight
// at a time: a midpoint (a tie), the same with a digit 1 sixty places
// further on (the next double up) and the midpoint less one unit followed
// by nines (the double itself), each with the point before every digit and
// zeros on both sides, read to the exact double. The subnormal midpoints
// have over 740 digits, so the far digit is beyond the 800 that are kept.
TEST(DecimalToDouble, MidpointsWithThePointAnywhere) {
    Checker ck;
    const uint64_t kValues[] = {0x3FF0000000000000u, 0x3FF0000000000001u, 1u,
                                kMinNormal - 1,      kMinNormal + 1,      0x7FEFFFFFFFFFFFFEu,
                                0x4340000000000001u, 0x2B3C5D7E9F102A3Bu};
    for (const uint64_t bits : kValues) {
        std::string mid;
        long e10;
        midpoint_above(bits, mid, e10);
        constexpr long kGap = 60;
        struct Form {
            std::string digits;
            long e10;
            uint64_t expect;
        };
        const Form forms[] = {
            {mid, e10, bits % 2 == 0 ? bits : bits + 1},
            {mid + std::string(kGap, '0') + "1", e10 - kGap - 1, bits + 1},
            {step(mid, -1) + std::string(kGap, '9'), e10 - kGap, bits},
        };
        for (const Form &f : forms) {
            const long len = static_cast<long>(f.digits.size());
            for (long at = 0; at <= len && !HasFatalFailure(); ++at) {
                const std::string text = "000" + f.digits.substr(0, static_cast<size_t>(at)) + "." +
                                         f.digits.substr(static_cast<size_t>(at)) + "000e" +
                                         std::to_string(f.e10 + len - at);
                ASSERT_EQ(std::bit_cast<uint64_t>(parse_double(text.c_str(), '.').value), f.expect) << text;
                ck.check(text, f.digits, f.e10);
            }
        }
    }
    EXPECT_GT(ck.checked, 10000);
}

TEST(DecimalToDouble, GeneratedInputsAgainstExactOracle) {
    std::mt19937_64 rng(20261207);
    Checker ck;
    const long total = 1000000;
    std::string digits, text;
    long e10;
    auto any_bits = [&] {
        switch (rng() % 4) {
        case 0: return rng() % 2000;                    // least subnormals
        case 1: return kMinNormal - 1000 + rng() % 2000;  // around DBL_MIN
        case 2: return kInf - 1 - rng() % 2000;           // near DBL_MAX
        default: return rng() % (kInf - 1);
        }
    };
    while (ck.checked < total && !HasFatalFailure()) {
        const unsigned kind = static_cast<unsigned>(rng() % 100);
        switch (kind < 60 ? 0 : kind < 68 ? 3 : kind < 70 ? 6 : 7) {
        case 0: {  // random digits, point and exponent in every position
            text = random_text(rng, digits, e10);
            ck.check(text, digits, e10);
            break;
        }
        case 3: {  // a midpoint, printed exactly, and one unit in its last digit either side
            midpoint_above(any_bits(), digits, e10);
            const std::string exp = "e" + std::to_string(e10);
            ck.check(digits + exp, digits, e10);
            for (int delta : {1, -1}) ck.check(step(digits, delta) + exp, step(digits, delta), e10);
            break;
        }
        case 6: {  // a midpoint decided by a digit hundreds of places further on
            midpoint_above(any_bits(), digits, e10);
            const size_t gap = 50 + rng() % 400;
            const std::string far = digits + std::string(gap, '0') + "1";
            ck.check(far + "e" + std::to_string(e10 - static_cast<long>(gap) - 1), far, e10 - static_cast<long>(gap) - 1);
            const std::string below = step(digits, -1) + std::string(gap, '9');
            ck.check(below + "e" + std::to_string(e10 - static_cast<long>(gap)), below, e10 - static_cast<long>(gap));
            break;
        }
        default: {  // %.17g of a random double reads back unchanged
            const uint64_t bits = any_bits();
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", std::bit_cast<double>(bits));
            text = buf;
            const size_t epos = text.find('e');
            std::string mant = text.substr(0, epos);
            const size_t dot = mant.find('.');
            long exp = epos == std::string::npos ? 0 : std::stol(text.substr(epos + 1));
            if (dot != std::string::npos) {
                exp -= static_cast<long>(mant.size() - dot - 1);
                mant.erase(dot, 1);
            }
            ck.check(text, mant, exp);
            ASSERT_EQ(std::bit_cast<uint64_t>(parse_double(buf, '.').value), bits) << text;
        }
        }
    }
    EXPECT_GE(ck.checked, total);
}

// The inputs the fuzzer keeps: each plain decimal one, as far as it is read,
// against the exact oracle; the others (infinities, NaNs, hexadecimal) as
// the engine reads them.
TEST(DecimalToDouble, ReplaysTheFuzzCorpus) {
    Checker ck;
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(KEZ_STRTOD_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text = text.c_str();  // as far as the first NUL
        ++files;
        const auto r = parse_double(text.c_str(), '.');
        std::string read(text.c_str(), r.end);
        std::size_t i = 0;
        while (i < read.size() && (read[i] == ' ' || (read[i] >= '\t' && read[i] <= '\r'))) ++i;
        const bool negative = i < read.size() && read[i] == '-';
        if (i < read.size() && (read[i] == '-' || read[i] == '+')) ++i;
        std::string digits;
        long e10 = 0;
        bool after_point = false, plain = i < read.size();
        for (; i < read.size() && read[i] != 'e' && read[i] != 'E'; ++i) {
            if (read[i] == '.') after_point = true;
            else if (read[i] >= '0' && read[i] <= '9') {
                digits += read[i];
                if (after_point) --e10;
            } else plain = false;
        }
        if (i < read.size()) e10 += std::strtol(read.c_str() + i + 1, nullptr, 10);
        digits.erase(0, digits.find_first_not_of('0'));
        if (!plain) {
            EXPECT_TRUE(std::isinf(r.value) || std::isnan(r.value) || (r.value == 0 && read.size() <= 2)) << text;
        } else if (digits.empty()) {
            EXPECT_EQ(r.value, 0.0) << text;
        } else {
            const std::string normal = (negative ? "-" : "") + digits + "e" + std::to_string(e10);
            EXPECT_EQ(std::bit_cast<uint64_t>(parse_double(normal.c_str(), '.').value), std::bit_cast<uint64_t>(r.value))
                << text;
            ck.check(normal, digits, e10);
        }
    }
    EXPECT_GE(files, 10);
}

#if defined(__linux__)
TEST(DecimalToDouble, RandomInputsAgreeWithHostStrtod) {
    std::mt19937_64 rng(7);
    std::string digits;
    long e10;
#if defined(KEZ_TEST_TSAN)
    const long total = 1000000;  // the parser is single-threaded: the other legs carry the full count
#else
    const long total = 10000000;
#endif
    for (long i = 0; i < total; ++i) {
        const std::string text = random_text(rng, digits, e10);
        const auto r = parse_double(text.c_str(), '.');
        errno = 0;
        char *end = nullptr;
        const double host = std::strtod(text.c_str(), &end);
        ASSERT_EQ(std::bit_cast<uint64_t>(host), std::bit_cast<uint64_t>(r.value)) << text;
        ASSERT_EQ(end, r.end) << text;
        ASSERT_EQ(errno == ERANGE, r.range_error) << text;
    }
}
#endif

}  // namespace
