// The C library's mathematics and qsort through their exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "support/engine_string.h"

namespace {

using kez::test::clib;
using kez::test::engine_fn;
using kez::test::host_export_name;
constexpr int kEDOM = 33, kERANGE = 34;
constexpr int kUnchanged = 7;  // errno before each call; still there: not set
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kPi = std::numbers::pi;

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
// Equal bit for bit (the sign of zero counts), or both NaN.
bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

using Fn1 = double(double);
using Fn2 = double(double, double);
Fn1 *fn1(const char *name) { return engine_fn<Fn1>(host_export_name(name).c_str()); }
Fn2 *fn2(const char *name) { return engine_fn<Fn2>(host_export_name(name).c_str()); }

struct MathCase {
    const char *name;
    double x, y;  // y only for the two-argument functions (ldexp: the exponent)
    double want;
    int err;
};

// exp(-1000) and the other underflows give the nearest zero or subnormal and
// leave errno alone: hosts disagree on reporting underflow, and the engine
// reports it the same everywhere.
const MathCase kMathCases[] = {
    {"sqrt", -1, 0, kNaN, kEDOM},        {"log", -1, 0, kNaN, kEDOM},
    {"log10", -1, 0, kNaN, kEDOM},       {"acos", 2, 0, kNaN, kEDOM},
    {"asin", -2, 0, kNaN, kEDOM},        {"sin", kInf, 0, kNaN, kEDOM},
    {"cos", -kInf, 0, kNaN, kEDOM},      {"tan", kInf, 0, kNaN, kEDOM},
    {"fmod", 1, 0, kNaN, kEDOM},         {"fmod", kInf, 1, kNaN, kEDOM},
    {"pow", -8, 1.0 / 3, kNaN, kEDOM},   {"log", 0, 0, -kInf, kERANGE},
    {"log10", -0.0, 0, -kInf, kERANGE},  {"pow", 0, -1, kInf, kERANGE},
    {"pow", -0.0, -1, -kInf, kERANGE},   {"exp", 1000, 0, kInf, kERANGE},
    {"pow", 10, 400, kInf, kERANGE},     {"pow", -10, 401, -kInf, kERANGE},
    {"cosh", 1000, 0, kInf, kERANGE},    {"sinh", -1000, 0, -kInf, kERANGE},
    {"exp2", 1024, 0, kInf, kERANGE},    {"ldexp", 1, 1024, kInf, kERANGE},
    {"exp", -1000, 0, 0, kUnchanged},    {"pow", 10, -400, 0, kUnchanged},
    {"exp2", -1074, 0, kTiny, kUnchanged}, {"ldexp", 1, -1075, 0, kUnchanged},
    {"ldexp", -1, -1074, -kTiny, kUnchanged}, {"ldexp", 0.75, 1024, 0x1.8p1023, kUnchanged},
    // NaN in, NaN out, and infinities in: no error.
    {"sqrt", kNaN, 0, kNaN, kUnchanged}, {"pow", kNaN, 0, 1, kUnchanged},
    {"log", kInf, 0, kInf, kUnchanged},  {"exp", -kInf, 0, 0, kUnchanged},
    {"atan", -kInf, 0, -kPi / 2, kUnchanged},
    // Results the C standard fixes exactly.
    {"sqrt", -0.0, 0, -0.0, kUnchanged}, {"sqrt", 0x1p-1074, 0, 0x1p-537, kUnchanged},
    {"exp", 0, 0, 1, kUnchanged},        {"log", 1, 0, 0, kUnchanged},
    {"pow", 2, 10, 1024, kUnchanged},    {"pow", -2, 3, -8, kUnchanged},
    {"pow", -1, kInf, 1, kUnchanged},    {"pow", 1, kNaN, 1, kUnchanged},
    {"atan2", 0, -0.0, kPi, kUnchanged}, {"atan2", -0.0, 0, -0.0, kUnchanged},
    {"sin", -0.0, 0, -0.0, kUnchanged},  {"tanh", -kInf, 0, -1, kUnchanged},
    {"fmod", 5.5, 2, 1.5, kUnchanged},   {"fmod", -5.5, 2, -1.5, kUnchanged},
    {"fmod", 5.5, -2, 1.5, kUnchanged},  {"fmod", -4, 2, -0.0, kUnchanged},
    {"fmod", 1, kInf, 1, kUnchanged},    {"fmod", 0x1p1023, 3, 2, kUnchanged},
    {"ceil", -0.5, 0, -0.0, kUnchanged}, {"floor", -0.5, 0, -1, kUnchanged},
    {"ceil", -1.5, 0, -1, kUnchanged},   {"floor", -1.5, 0, -2, kUnchanged},
    {"ceil", 0.5, 0, 1, kUnchanged},     {"floor", 0.5, 0, 0, kUnchanged},
    {"ceil", 0x1p52 + 1, 0, 0x1p52 + 1, kUnchanged}, {"floor", -kTiny, 0, -1, kUnchanged},
    {"fabs", -0.0, 0, 0.0, kUnchanged},  {"fabs", -kInf, 0, kInf, kUnchanged},
};

TEST(ClibMath, ResultsAndErrno) {
    for (const MathCase &c : kMathCases) {
        const std::string name = c.name;
        double got;
        clib().set_errno(kUnchanged);
        if (name == "ldexp")
            got = engine_fn<double(double, int)>(host_export_name("ldexp").c_str())(c.x, static_cast<int>(c.y));
        else if (name == "pow" || name == "fmod" || name == "atan2")
            got = fn2(c.name)(c.x, c.y);
        else
            got = fn1(c.name)(c.x);
        EXPECT_TRUE(same(got, c.want)) << name << "(" << c.x << ", " << c.y << ") = " << got << ", want " << c.want;
        EXPECT_EQ(clib().errno_value(), c.err) << name << "(" << c.x << ", " << c.y << ")";
    }
}

TEST(ClibMath, FrexpAndModfSplitExactly) {
    const auto frexp_ = engine_fn<double(double, int *)>(host_export_name("frexp").c_str());
    const auto ldexp_ = engine_fn<double(double, int)>(host_export_name("ldexp").c_str());
    const auto modf_ = engine_fn<double(double, double *)>(host_export_name("modf").c_str());
    struct Frexp {
        double x, fraction;
        int exp;
    };
    const Frexp frexp_cases[] = {{8, 0.5, 4},           {-5, -0.625, 3},  {0.1, 0.8, -3},
                                 {DBL_MIN, 0.5, -1021}, {kTiny, 0.5, -1073}, {DBL_MAX, 1 - 0x1p-53, 1024},
                                 {0.0, 0.0, 0},         {-0.0, -0.0, 0}};
    for (const Frexp &c : frexp_cases) {
        int e = 12345;
        const double f = frexp_(c.x, &e);
        EXPECT_TRUE(same(f, c.fraction)) << c.x;
        EXPECT_EQ(e, c.exp) << c.x;
        EXPECT_TRUE(same(ldexp_(f, e), c.x)) << c.x;
    }
    struct Modf {
        double x, fraction, whole;
    };
    const Modf modf_cases[] = {{3.75, 0.75, 3},    {-3.75, -0.75, -3}, {-2, -0.0, -2},
                               {-0.0, -0.0, -0.0}, {kInf, 0.0, kInf},  {-kInf, -0.0, -kInf},
                               {0x1p60, 0.0, 0x1p60}, {-kTiny, -kTiny, -0.0}};
    for (const Modf &c : modf_cases) {
        double whole = 12345;
        EXPECT_TRUE(same(modf_(c.x, &whole), c.fraction)) << c.x;
        EXPECT_TRUE(same(whole, c.whole)) << c.x;
    }
}

TEST(ClibMath, LimitAccessorsPointAtConstants) {
    struct Limit {
        const char *name;
        double want;
    };
    for (const Limit &l : {Limit{"_GetDoubleEps", DBL_EPSILON}, Limit{"_GetDoubleInf", kInf},
                           Limit{"_GetDoubleMax", DBL_MAX}, Limit{"_GetDoubleMin", DBL_MIN}}) {
        const auto get = engine_fn<const double *()>(l.name);
        EXPECT_EQ(bits(*get()), bits(l.want)) << l.name;
        EXPECT_EQ(get(), get()) << l.name;
    }
    EXPECT_EQ(*engine_fn<const double *()>("_GetDoubleEps")(), 2.220446049250313e-16);
    for (const auto &[name, want] : {std::pair{"_GetFloatEps", FLT_EPSILON}, std::pair{"_GetFloatMax", FLT_MAX},
                                     std::pair{"_GetFloatMin", FLT_MIN}}) {
        const float got = *engine_fn<const float *()>(name)();
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << name;
    }
}

TEST(ClibMath, SubstitutesAgreeWithTheCallsTheyReplace) {
    const auto sincos_ = engine_fn<void(double, double *, double *)>(host_export_name("sincos").c_str());
    Fn1 *const sin_ = fn1("sin"), *const cos_ = fn1("cos"), *const exp2_ = fn1("exp2");
    Fn2 *const pow_ = fn2("pow");
    for (double x : {0.0, -0.0, 1.0, -2.5, kPi / 2, 1e6, 1e22, kTiny, 3.0e300}) {
        double s = 0, c = 0;
        sincos_(x, &s, &c);
        EXPECT_TRUE(same(s, sin_(x)) && same(c, cos_(x))) << x;
    }
    double s = 0, c = 0;
    clib().set_errno(kUnchanged);
    sincos_(kInf, &s, &c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c));
    EXPECT_EQ(clib().errno_value(), kEDOM);
    for (int e = -1074; e <= 1023; ++e) ASSERT_EQ(exp2_(e), std::scalbn(1.0, e)) << e;
    for (double x : {0.5, -0.5, 0.1, 3.3, -7.25, 100.125, -1000.75}) {
        const double want = pow_(2, x);
        EXPECT_LE(std::fabs(exp2_(x) - want), std::nextafter(want, kInf) - want) << x;  // within 1 ulp
    }
}

// qsort ----------------------------------------------------------------------

int g_compare_calls = 0;
template <std::size_t N>
int compare_bytes(const void *a, const void *b) {
    ++g_compare_calls;
    return std::memcmp(a, b, N);
}
int compare_ints(const void *a, const void *b) {
    ++g_compare_calls;
    const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}
using Compare = int(const void *, const void *);
void qsort_(void *base, std::size_t count, std::size_t size, Compare *compare) {
    engine_fn<void(void *, std::size_t, std::size_t, Compare *)>(host_export_name("qsort").c_str())(base, count,
                                                                                                     size, compare);
}

TEST(ClibQsort, FewerThanTwoElementsOrSizeZeroNeverCompare) {
    int one[1] = {42};
    g_compare_calls = 0;
    qsort_(nullptr, 0, sizeof(int), compare_ints);
    qsort_(one, 0, sizeof(int), compare_ints);
    qsort_(one, 1, sizeof(int), compare_ints);
    qsort_(one, 5, 0, compare_ints);
    EXPECT_EQ(g_compare_calls, 0);
    EXPECT_EQ(one[0], 42);
}

// Records of odd sizes, at an odd address, with bytes from a small alphabet
// so that many are equal: the whole record is the key, so the sorted order
// is unique and std::sort gives it.
template <std::size_t N>
void check_records(std::mt19937 &random) {
    struct Record {
        unsigned char b[N];
    };
    for (std::size_t count : {2u, 3u, 17u, 1000u}) {
        std::vector<Record> records(count);
        for (Record &r : records)
            for (unsigned char &byte : r.b) byte = static_cast<unsigned char>(random() % 3);
        std::vector<unsigned char> buffer(count * N + 1);
        std::memcpy(buffer.data() + 1, records.data(), count * N);
        qsort_(buffer.data() + 1, count, N, compare_bytes<N>);
        std::sort(records.begin(), records.end(),
                  [](const Record &a, const Record &b) { return std::memcmp(a.b, b.b, N) < 0; });
        EXPECT_EQ(std::memcmp(buffer.data() + 1, records.data(), count * N), 0) << "size " << N << " count " << count;
    }
}

TEST(ClibQsort, OddElementSizesMatchStdSort) {
    std::mt19937 random(7);
    check_records<3>(random);
    check_records<7>(random);
    check_records<12>(random);
}

TEST(ClibQsort, LargeInputsSortInNLogNComparisons) {
    constexpr int n = 100000;
    std::vector<int> ascending(n), descending(n), equal_keys(n);
    for (int i = 0; i < n; ++i) {
        ascending[i] = i - n / 2;
        descending[i] = n - i;
        equal_keys[i] = (i * 7919) % 3;
    }
    for (std::vector<int> *input : {&ascending, &descending, &equal_keys}) {
        std::vector<int> want = *input;
        std::sort(want.begin(), want.end());
        g_compare_calls = 0;
        qsort_(input->data(), input->size(), sizeof(int), compare_ints);
        EXPECT_EQ(*input, want);
        // A quadratic sort would need about n*n/2; n log2 n is about 1.7e6.
        EXPECT_LT(g_compare_calls, 4 * 1700000);
    }
}

}  // namespace
