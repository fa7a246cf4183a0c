// The C library's utilities and numeric conversions through their exports.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_string.h"

namespace {

using kez::test::clib;
using kez::test::engine_fn;
constexpr int kEINVAL = 22, kERANGE = 34;

// The decimal text one beyond `digits` in magnitude (same length here).
std::string plus_one(std::string digits) {
    std::size_t i = digits.size();
    while (digits[i - 1] == '9') digits[--i] = '0';
    ++digits[i - 1];
    return digits;
}

template <class T>
struct IntCase {
    std::string text;
    int base;
    T value;
    std::size_t consumed;  // 0: nothing read, the end is the text itself
    int err;               // errno afterwards; 0: unchanged
};

template <class T>
void check(const char *what, T (*convert)(const char *, char **, int), const std::vector<IntCase<T>> &cases) {
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(what) + "(\"" + c.text + "\", " + std::to_string(c.base) + ")");
        char *end = nullptr;
        clib().set_errno(0);
        EXPECT_EQ(convert(c.text.c_str(), &end, c.base), c.value);
        EXPECT_EQ(static_cast<std::size_t>(end - c.text.c_str()), c.consumed);
        EXPECT_EQ(clib().errno_value(), c.err);
        EXPECT_EQ(convert(c.text.c_str(), nullptr, c.base), c.value);
    }
}

TEST(ClibConversion, StrtolAndStrtoul) {
    const std::string max = std::to_string(LONG_MAX), min = std::to_string(LONG_MIN), umax = std::to_string(ULONG_MAX);
    // clang-format off
    check<long>("strtol", KEZ_ENGINE_FN(long(const char *, char **, int), strtol), {
        {"0", 10, 0, 1, 0}, {"", 10, 0, 0, 0}, {"   ", 0, 0, 0, 0}, {" \t\n\v\f\r-42xyz", 10, -42, 9, 0},
        {"+17", 0, 17, 3, 0}, {"-", 10, 0, 0, 0}, {"+ 1", 10, 0, 0, 0}, {"\xA0" "5", 10, 0, 0, 0},
        {"0x1F", 0, 31, 4, 0}, {"0X1f", 16, 31, 4, 0}, {"-0x10", 0, -16, 5, 0}, {"0x", 0, 0, 1, 0},
        {"0x", 16, 0, 1, 0}, {"0xg", 16, 0, 1, 0}, {"0x10", 10, 0, 1, 0}, {"017", 0, 15, 3, 0}, {"08", 0, 0, 1, 0},
        {"1010201", 2, 10, 4, 0}, {"777", 8, 511, 3, 0}, {"1a", 10, 1, 1, 0}, {"1a", 11, 21, 2, 0},
        {"z", 35, 0, 0, 0}, {"zZ", 36, 1295, 2, 0}, {"12", 1, 0, 0, kEINVAL}, {"12", 37, 0, 0, kEINVAL},
        {"12", -1, 0, 0, kEINVAL}, {max, 10, LONG_MAX, max.size(), 0}, {min, 10, LONG_MIN, min.size(), 0},
        {plus_one(max), 10, LONG_MAX, max.size(), kERANGE}, {plus_one(min), 10, LONG_MIN, min.size(), kERANGE},
        {"99999999999999999999999x", 0, LONG_MAX, 23, kERANGE},
        {"-99999999999999999999999", 16, LONG_MIN, 24, kERANGE}});
    check<unsigned long>("strtoul", KEZ_ENGINE_FN(unsigned long(const char *, char **, int), strtoul), {
        {"-1", 10, ULONG_MAX, 2, 0} /* negated in the unsigned type */, {"-0", 0, 0, 2, 0},
        {"  +0xffffFFFF!", 0, 0xFFFFFFFFul, 13, 0}, {umax, 10, ULONG_MAX, umax.size(), 0},
        {plus_one(umax), 10, ULONG_MAX, umax.size(), kERANGE}, {"-" + umax, 10, 1, umax.size() + 1, 0},
        {"-" + plus_one(umax), 10, ULONG_MAX, umax.size() + 1, kERANGE}, {"0x", 0, 0, 1, 0}, {"7", 37, 0, 0, kEINVAL}});
    // clang-format on
}

TEST(ClibConversion, StrtollAndStrtoullWithTheirOtherNames) {
    const std::vector<IntCase<long long>> signed_cases = {
        {"9223372036854775807", 10, LLONG_MAX, 19, 0},  {"9223372036854775808", 10, LLONG_MAX, 19, kERANGE},
        {"-9223372036854775808", 10, LLONG_MIN, 20, 0}, {"-9223372036854775809", 10, LLONG_MIN, 20, kERANGE},
        {"0x7fffffffffffffff", 0, LLONG_MAX, 18, 0},    {"0x8000000000000000", 0, LLONG_MAX, 18, kERANGE},
        {"-0x8000000000000000", 16, LLONG_MIN, 19, 0},  {"0777777777777777777777", 0, LLONG_MAX, 22, 0},
        {"1y2p0ij32e8e7", 36, LLONG_MAX, 13, 0},        {"1y2p0ij32e8e8", 36, LLONG_MAX, 13, kERANGE},
        {"  -5000000000", 10, -5000000000ll, 13, 0},    {"5", 40, 0, 0, kEINVAL}};
    // clang-format off
    const std::vector<IntCase<unsigned long long>> unsigned_cases = {
        {"18446744073709551615", 10, ULLONG_MAX, 20, 0}, {"18446744073709551616", 10, ULLONG_MAX, 20, kERANGE},
        {"0xFFFFFFFFFFFFFFFF", 0, ULLONG_MAX, 18, 0}, {"0x10000000000000000", 0, ULLONG_MAX, 19, kERANGE},
        {"3w5e11264sgsf", 36, ULLONG_MAX, 13, 0}, {"3w5e11264sgsg", 36, ULLONG_MAX, 13, kERANGE},
        {"-1", 0, ULLONG_MAX, 2, 0}, {"-9223372036854775808", 10, 1ull << 63, 20, 0}, {"0x", 16, 0, 1, 0},
        {std::string(64, '1'), 2, ULLONG_MAX, 64, 0}, {std::string(65, '1'), 2, ULLONG_MAX, 65, kERANGE}};
    // clang-format on
    using Signed = long long(const char *, char **, int);
    using Unsigned = unsigned long long(const char *, char **, int);
    for (std::string name : {"strtoll", "strtoimax"})
        check(name.c_str(), engine_fn<Signed>(kez::test::host_export_name(name).c_str()), signed_cases);
    for (const char *name : {"strtol64", "Kez_strtoll", "Kez_strtol64", "Kez_strtoimax"})
        check(name, engine_fn<Signed>(name), signed_cases);
    for (std::string name : {"strtoull", "strtoumax"})
        check(name.c_str(), engine_fn<Unsigned>(kez::test::host_export_name(name).c_str()), unsigned_cases);
    for (const char *name : {"strtoul64", "Kez_strtoull", "Kez_strtoul64", "Kez_strtoumax"})
        check(name, engine_fn<Unsigned>(name), unsigned_cases);
}

TEST(ClibConversion, AtoiFamily) {
    const auto atoi_ = KEZ_ENGINE_FN(int(const char *), atoi);
    const auto atol_ = KEZ_ENGINE_FN(long(const char *), atol);
    const std::pair<const char *, int> cases[] = {{"  -123abc", -123}, {"+0", 0}, {"", 0}, {"0x10", 0}, {"017", 17},
                                                  {"\t\n 42", 42}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
    for (auto [text, value] : cases) {
        EXPECT_EQ(atoi_(text), value) << text;
        EXPECT_EQ(atol_(text), value) << text;
    }
    // 2^32 + 1: a 64-bit long narrows to 1; a 32-bit long stops at its limit.
    EXPECT_EQ(atoi_("4294967297"), LONG_MAX == INT_MAX ? INT_MAX : 1);
    EXPECT_EQ(atol_(std::to_string(LONG_MIN).c_str()), LONG_MIN);
    for (std::string name : {kez::test::host_export_name("atoll"), std::string("atoi64"), std::string("Kez_atoll"),
                             std::string("Kez_atoi64")}) {
        const auto f = engine_fn<long long(const char *)>(name.c_str());
        EXPECT_EQ(f("-9223372036854775808"), LLONG_MIN) << name;
        EXPECT_EQ(f(" 9223372036854775807z"), LLONG_MAX) << name;
        EXPECT_EQ(f("12e3"), 12) << name;
    }
}

TEST(ClibConversion, StrtodAndAtof) {
    const auto strtod_ = KEZ_ENGINE_FN(double(const char *, char **), strtod);
    struct Case {
        const char *text;
        double value;  // NAN: any NaN
        std::size_t consumed;
        int err;
    };
    for (const Case &c : {Case{"1e400", HUGE_VAL, 5, kERANGE}, Case{"-1e400", -HUGE_VAL, 6, kERANGE},
                          Case{"1e-400", 0.0, 6, kERANGE}, Case{"-0", -0.0, 2, 0}, Case{"  .5e-3x", 0.0005, 7, 0},
                          Case{"0.1", 0.1, 3, 0}, Case{"1e", 1.0, 1, 0}, Case{"infinity", HUGE_VAL, 8, 0},
                          Case{"-INFinit", -HUGE_VAL, 4, 0}, Case{"nan", NAN, 3, 0}, Case{"0x1p3", 0.0, 1, 0},
                          Case{"abc", 0.0, 0, 0}, Case{"1.7976931348623157e308", 1.7976931348623157e308, 22, 0}}) {
        SCOPED_TRACE(c.text);
        char *end = nullptr;
        clib().set_errno(0);
        const double v = strtod_(c.text, &end);
        EXPECT_TRUE(std::isnan(c.value) ? std::isnan(v) : v == c.value && std::signbit(v) == std::signbit(c.value))
            << v;
        EXPECT_EQ(static_cast<std::size_t>(end - c.text), c.consumed);
        EXPECT_EQ(clib().errno_value(), c.err);
    }
    EXPECT_EQ(KEZ_ENGINE_FN(double(const char *), atof)("3.25xyz"), 3.25);
}

TEST(ClibStdlib, AbsAndDivisionTruncateTowardZero) {
    using kez::test::EngineDivResult;
    const auto div_ = KEZ_ENGINE_FN(EngineDivResult<int>(int, int), div);
    const auto ldiv_ = KEZ_ENGINE_FN(EngineDivResult<long>(long, long), ldiv);
    struct Case {
        int n, d, quot, rem;
    };
    for (const Case &c : {Case{7, 2, 3, 1}, Case{-7, 2, -3, -1}, Case{7, -2, -3, 1}, Case{-7, -2, 3, -1},
                          Case{0, -5, 0, 0}, Case{INT_MAX, INT_MIN, 0, INT_MAX}, Case{INT_MIN, 2, INT_MIN / 2, 0},
                          Case{INT_MIN, -1, INT_MIN, 0}}) {  // the one quotient that does not fit wraps
        const auto r = div_(c.n, c.d);
        const auto l = ldiv_(c.n, c.d);
        EXPECT_TRUE(r.quot == c.quot && r.rem == c.rem) << c.n << "/" << c.d << " = " << r.quot << " rem " << r.rem;
        EXPECT_EQ(l.quot * c.d + l.rem, c.n);
        EXPECT_EQ(l.rem, c.rem);
    }
    for (std::string name : {kez::test::host_export_name("lldiv"), std::string("Kez_lldiv")}) {
        const auto f = engine_fn<EngineDivResult<long long>(long long, long long)>(name.c_str());
        EXPECT_EQ(f(-9000000000ll, 7).quot, -1285714285ll) << name;
        EXPECT_EQ(f(-9000000000ll, 7).rem, -5) << name;
        EXPECT_EQ(f(LLONG_MIN, -1).quot, LLONG_MIN) << name;
    }
    const auto abs_ = KEZ_ENGINE_FN(int(int), abs);
    EXPECT_EQ(abs_(-5), 5);
    EXPECT_EQ(abs_(-INT_MAX), INT_MAX);
    EXPECT_EQ(abs_(INT_MIN), INT_MIN);
    EXPECT_EQ(KEZ_ENGINE_FN(long(long), labs)(LONG_MIN + 1), LONG_MAX);
    for (std::string name : {kez::test::host_export_name("llabs"), std::string("Kez_llabs")})
        EXPECT_EQ(engine_fn<long long(long long)>(name.c_str())(LLONG_MIN + 1), LLONG_MAX) << name;
}

TEST(ClibStdlib, RandFollowsItsGeneratorPerThread) {
    const auto rand_ = KEZ_ENGINE_FN(int(), rand);
    const auto srand_ = KEZ_ENGINE_FN(void(unsigned), srand);
    const auto draw = [&](int n) {
        std::vector<int> v;
        while (n-- > 0) v.push_back(rand_());
        return v;
    };
    const auto formula = [](std::uint32_t state, int n) {
        std::vector<int> v;
        while (n-- > 0) v.push_back(static_cast<int>(((state = state * 1103515245u + 12345u) >> 16) & 32767u));
        return v;
    };
    const std::vector<int> from_one = formula(1, 20);
    ASSERT_EQ(from_one[0], 16838);
    srand_(1);
    EXPECT_EQ(draw(20), from_one);
    srand_(0);
    EXPECT_EQ(draw(20), from_one);
    srand_(0xFFFFFFFFu);
    EXPECT_EQ(draw(5), formula(0xFFFFFFFFu, 5));
    srand_(12345);
    std::vector<int> seen = draw(3), in_new_thread;
    std::thread([&] {
        in_new_thread = draw(20);  // never seeded: as after srand(1)
        srand_(99);
    }).join();
    EXPECT_EQ(in_new_thread, from_one);
    for (int v : draw(3)) seen.push_back(v);
    EXPECT_EQ(seen, formula(12345, 6));
}

TEST(ClibStdlib, BsearchFindsEveryElementAndNothingElse) {
    const auto bsearch_ = KEZ_ENGINE_FN(
        void *(const void *, const void *, std::size_t, std::size_t, int (*)(const void *, const void *)), bsearch);
    const auto compare = [](const void *a, const void *b) {
        const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
        return (x > y) - (x < y);
    };
    for (int n = 0; n <= 9; ++n) {
        std::vector<int> odd;
        for (int i = 0; i < n; ++i) odd.push_back(2 * i + 1);
        for (int key = -1; key <= 2 * n + 1; ++key) {
            const bool present = key % 2 != 0 && key > 0 && key < 2 * n;
            EXPECT_EQ(bsearch_(&key, odd.data(), odd.size(), sizeof(int), compare), present ? &odd[key / 2] : nullptr)
                << "n=" << n << " key=" << key;
        }
    }
}

TEST(ClibStdlib, EnvironmentRoundTrip) {
    const auto getenv_ = KEZ_ENGINE_FN(char *(const char *), getenv);
    const auto putenv_ = KEZ_ENGINE_FN(int(const char *), putenv);
    const auto alias = engine_fn<int(const char *)>("Kez__putenv");
    const char *name = "KEZ_CLIB_CONVERSION_TEST";
    ASSERT_EQ(putenv_("KEZ_CLIB_CONVERSION_TEST=first value"), 0);
    const char *first = getenv_(name);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "first value");
    const std::string long_value(5000, 'v');
    ASSERT_EQ(alias(("KEZ_CLIB_CONVERSION_TEST=" + long_value).c_str()), 0);
    ASSERT_NE(getenv_(name), nullptr);
    EXPECT_EQ(getenv_(name), long_value);
    EXPECT_STREQ(first, "first value");  // an earlier result stays valid
    ASSERT_EQ(putenv_("KEZ_CLIB_CONVERSION_TEST="), 0);
    EXPECT_EQ(getenv_(name), nullptr);
    EXPECT_EQ(putenv_("KEZ_CLIB_CONVERSION_TEST="), 0);  // removing again
    for (const char *bad : {"no_equals_sign", "=value"}) {
        clib().set_errno(0);
        EXPECT_EQ(putenv_(bad), -1) << bad;
        EXPECT_EQ(clib().errno_value(), kEINVAL) << bad;
    }
    EXPECT_EQ(getenv_(""), nullptr);
}

}  // namespace
