// The scanf family through its exports: the EOF rule, every conversion at
// its edges, what fields give back, refusals and the checked twin's
// reports, streams (CR LF, a ten-million-digit field, the lock held per
// call), and oracles: the host's sscanf and strtod, and the engine's own
// "%.17g" read back bit for bit.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "core/test_hooks.h"
#include "protect/library_checks.h"
#include "support/engine_stdio.h"
#include "support/sanitizers.h"
#include "support/temp_dir.h"

namespace {

using kez::test::clib;
using kez::test::engine_fn;
using kez::test::stdio;
using Pt = kez::protect::PassedType;

using ScanFn = int(const char *, const char *, ...);
using FileScanFn = int(void *, const char *, ...);
ScanFn *const e_sscanf = engine_fn<ScanFn>(KEZ_TEST_HOST_NAME(sscanf));
ScanFn *const checked_sscanf = engine_fn<ScanFn>("_UP_sscanf");
FileScanFn *const e_fscanf = engine_fn<FileScanFn>(KEZ_TEST_HOST_NAME(fscanf));
auto *const e_scanf = engine_fn<int(const char *, ...)>(KEZ_TEST_HOST_NAME(scanf));
auto *const e_vsscanf = engine_fn<int(const char *, const char *, va_list)>(KEZ_TEST_HOST_NAME(vsscanf));
auto *const e_snprintf = engine_fn<int(char *, std::size_t, const char *, ...)>(KEZ_TEST_HOST_NAME(snprintf));
constexpr int kERANGE = 34;

// The values, each followed by a space: one comparison for many fields.
template <class... T>
std::string joined(const T &...values) {
    std::ostringstream out;
    ((out << values << ' '), ...);
    return out.str();
}

// The value a conversion stored into `raw`, at the size its format names.
long long stored(const std::string &format, std::uint64_t raw) {
    if (format.find("hh") != std::string::npos) return static_cast<std::int8_t>(raw);
    if (format.find('h') != std::string::npos) return static_cast<std::int16_t>(raw);
    if (format.find_first_of("jzt") != std::string::npos || format.find("ll") != std::string::npos ||
        format.find("I64") != std::string::npos)
        return static_cast<long long>(raw);
    if (format.find('l') != std::string::npos) return static_cast<long>(raw);
    return static_cast<std::int32_t>(raw);
}

TEST(ScanTest, EndOfInputBeforeTheFirstConversionIsEof) {
    int x = 0, y = 0, n = -1;
    EXPECT_EQ(e_sscanf("", "%d", &x), -1);
    EXPECT_EQ(e_sscanf(" \t\n", "%d", &x), -1);
    EXPECT_EQ(e_sscanf("a", "a%d", &x), -1);
    EXPECT_EQ(e_sscanf("a", "b%d", &x), 0);
    EXPECT_EQ(e_sscanf("x", "%d", &x), 0);
    EXPECT_EQ(e_sscanf("1", "%*d%d", &x), 0);  // the suppressed one counts as a conversion
    EXPECT_EQ(joined(e_sscanf("1 2", "%*d%d", &x), x), "1 2 ");
    EXPECT_EQ(joined(e_sscanf("", "%n", &n), n), "0 0 ");
    EXPECT_EQ(joined(e_sscanf("  %7", "%%%d%n", &y, &n), y, n), "1 7 4 ");
    EXPECT_EQ(e_sscanf(" ", "%%"), -1);
    EXPECT_EQ(joined(e_sscanf("5 ", "%d %n%d", &x, &n, &y), n), "1 2 ");  // the space eats the input's, then EOF
}

TEST(ScanTest, IntegersAtTheirEdges) {
    struct Case {
        const char *input, *format;
        int ret;
        long long value;
        int consumed;  // %n after the conversion; -1 when it failed
    };
    const Case cases[] = {
        {"  -12x", "%d", 1, -12, 5}, {"+7", "%u", 1, 7, 2}, {"0x1F", "%x", 1, 31, 4}, {"1f", "%X", 1, 31, 2},
        {"0xg", "%x", 1, 0, 1}, {"0X", "%i", 1, 0, 1}, {"017", "%i", 1, 15, 3}, {"08", "%i", 1, 0, 1},
        {"-0x10", "%i", 1, -16, 5}, {"777", "%o", 1, 511, 3}, {"8", "%o", 0, 0, -1}, {"12345", "%3d", 1, 123, 3},
        {"-", "%d", 0, 0, -1}, {"+-1", "%d", 0, 0, -1}, {"0x1f", "%2x", 1, 0, 1}, {"0x1f", "%3x", 1, 1, 3},
        {"4294967297", "%d", 1, 1, 10}, {"300", "%hhd", 1, 44, 3}, {"65537", "%hd", 1, 1, 5},
        {"-1", "%u", 1, -1, 2}, {"18446744073709551617", "%lld", 1, 1, 20},
        {"-9223372036854775808", "%jd", 1, INT64_MIN, 20}, {"zz", "%zx", 0, 0, -1}, {"123", "%I64d", 1, 123, 3},
        {"-5", "%td", 1, -5, 2}, {"4294967296", "%ld", 1, sizeof(long) == 8 ? 4294967296LL : 0, 10},
    };
    for (const Case &c : cases) {
        std::uint64_t raw = 0;
        int n = -1;
        const std::string format = std::string(c.format) + "%n";
        const int ret = e_sscanf(c.input, format.c_str(), &raw, &n);
        EXPECT_EQ(joined(ret, stored(c.format, raw), n), joined(c.ret, c.value, c.consumed))
            << c.input << " " << c.format;
    }
}

TEST(ScanTest, RealsGiveBackWhatEndsNoNumber) {
    struct Case {
        const char *input;
        int ret;
        double value;
        int consumed;
    };
    const Case cases[] = {{"1e", 1, 1, 1},        {"1e+", 1, 1, 1},         {"2E-x", 1, 2, 1},     {"1.e5x", 1, 1e5, 4},
                          {"-.5", 1, -0.5, 3},    {".", 0, 0, -1},          {"-", 0, 0, -1},       {"inf", 0, 0, -1},
                          {"0x1p3", 1, 0, 1},     {" +0012.50e-1", 1, 1.25, 12}, {"000", 1, 0, 3}, {"1e0005", 1, 1e5, 6}};
    for (const Case &c : cases) {
        double d = 0;
        int n = -1;
        const int r = e_sscanf(c.input, "%lf%n", &d, &n);
        EXPECT_EQ(std::tuple(r, d, n), std::tuple(c.ret, c.value, c.consumed)) << c.input;
    }
    // 2^53 + 1, halfway between two doubles, as 917 integer digits: those
    // past the kept ones scale the value, and a non-zero one rounds up.
    for (const char *last : {"0", "1"}) {
        double d = 0;
        const std::string s = "9007199254740993" + std::string(900, '0') + last + "e-901";
        EXPECT_EQ(e_sscanf(s.c_str(), "%lf", &d), 1);
        EXPECT_EQ(d, *last == '1' ? 9007199254740994.0 : 9007199254740992.0);
    }
    float f = 0;
    int n = -1;
    const int r = e_sscanf("1e5", "%2f%n", &f, &n);
    EXPECT_EQ(std::tuple(r, f, n), std::tuple(1, 1.0f, 1));
#if defined(_WIN32)
    double ld = 0;  // the engine's long double there is the 8-byte double
#else
    long double ld = 0;
#endif
    EXPECT_EQ(e_sscanf("-0.375", "%Lf", &ld), 1);
    EXPECT_EQ(ld, -0.375);
    double negative_zero = 1;
    EXPECT_EQ(e_sscanf("-0", "%lf", &negative_zero), 1);
    EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(ScanTest, RangeErrorsSetErrnoAndOthersLeaveIt) {
    float f = 0;
    double d = 0;
    struct Case {
        const char *input;
        bool is_float, range;
        double value;
    };
    for (const Case c : {Case{"1e39", true, true, HUGE_VALF}, Case{"3.4e38", true, false, 3.4e38f},
                         Case{"1e-50", true, true, 0}, Case{"1e309", false, true, HUGE_VAL},
                         Case{"-1e400", false, true, -HUGE_VAL}, Case{"1e-400", false, true, 0},
                         Case{"2.5", false, false, 2.5}}) {
        clib().set_errno(77);
        EXPECT_EQ(c.is_float ? e_sscanf(c.input, "%f", &f) : e_sscanf(c.input, "%lf", &d), 1);
        EXPECT_EQ(clib().errno_value(), c.range ? kERANGE : 77) << c.input;
        EXPECT_EQ(c.is_float ? static_cast<double>(f) : d, c.value) << c.input;
    }
}

TEST(ScanTest, TextConversions) {
    char b[16];
    int n;
    auto run = [&](const char *input, const char *format, int ret, const char *text, int consumed) {
        std::memset(b, '#', sizeof b);
        b[15] = '\0';
        n = -1;
        const int r = e_sscanf(input, format, b, &n);
        EXPECT_EQ(joined(r, b, n), joined(ret, text, consumed)) << input << " " << format;
    };
    run("ab", "%c%n", 1, "a##############", 1);  // no NUL after %c
    run(" abcdef", "%3c%n", 1, " ab############", 3);
    run("abc", "%5c%n", 1, "abc############", 3);  // ends early: stored as far as it goes
    run("  hello world", "%s%n", 1, "hello", 7);
    run("hello", "%3s%n", 1, "hel", 3);
    run("a,b", "%[^,]%n", 1, "a", 1);
    run("]a]b", "%[]a]%n", 1, "]a]", 3);
    run("abcd", "%[a-c]%n", 1, "abc", 3);
    run("abc", "%2[a-z]%n", 1, "ab", 2);
    run("z-a", "%[z-a]%n", 1, "z-a", 3);  // a descending range is its characters
    run(",x", "%[^,]%n", 0, "###############", -1);
    run("", "%[a]%n", -1, "###############", -1);
    run("  ", "%s%n", -1, "###############", -1);
}

TEST(ScanTest, TwoByteCharactersOfTheFormatMatchWhole) {
    const unsigned char ranges[] = {0x81, 0x9F, 0};
    KezTest_SetLeadBytes(932, ranges);
    int x = 7, n = -1;
    // "\x81%" is one character, so "d" is text and no conversion.
    EXPECT_EQ(joined(e_sscanf("\x81%d", "\x81%d%n", &n), n), "0 3 ");
    EXPECT_EQ(e_sscanf("\x81%e", "\x81%d%n", &n), 0);
    KezTest_SetLeadBytes(0, nullptr);
    EXPECT_EQ(joined(e_sscanf("\x81" "5", "\x81%d%n", &x, &n), x, n), "1 5 2 ");
}

TEST(ScanTest, CountStoresAtEveryLength) {
    struct Case {
        const char *format;
        std::size_t size;
    };
    for (const Case c : {Case{"%hhn", 1}, Case{"%hn", 2}, Case{"%n", 4}, Case{"%ln", sizeof(long)}, Case{"%lln", 8},
                         Case{"%jn", 8}, Case{"%zn", 8}, Case{"%tn", 8}, Case{"%I64n", 8}}) {
        unsigned char bytes[9];
        std::memset(bytes, 0xAA, sizeof bytes);
        const std::string format = std::string("%*s ") + c.format;
        EXPECT_EQ(e_sscanf("abcdefghij  k", format.c_str(), bytes), 0) << c.format;
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            EXPECT_EQ(bytes[i], i == 0 ? 12 : i < c.size ? 0 : 0xAA) << c.format << " byte " << i;
    }
}

TEST(ScanTest, PointersRoundTripThroughTheEnginePrintf) {
    for (const std::uintptr_t value : {std::uintptr_t{0}, std::uintptr_t{0x1234}, ~std::uintptr_t{0},
                                       reinterpret_cast<std::uintptr_t>(&e_sscanf)}) {
        char text[40];
        e_snprintf(text, sizeof text, "%p", reinterpret_cast<void *>(value));
        void *back = &text;
        EXPECT_EQ(e_sscanf(text, "%p", &back), 1);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(back), value) << text;
    }
    void *p = nullptr;
    EXPECT_EQ(e_sscanf("0xAbC", "%p", &p), 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p), 0xABCu);
}

TEST(ScanTest, RefusedCallsFail) {
    char b[8];
    int x;
    for (const char *format : {"%-5c", "%lc", "%ls", "%l[a]", "%", "%5", "%q", "%[abc", "%1000000s"})
        EXPECT_EQ(e_sscanf("abc", format, b, &x), -1) << format;
    EXPECT_EQ(e_sscanf("abc", nullptr), -1);
    EXPECT_EQ(e_sscanf(nullptr, "%d", &x), -1);
    EXPECT_EQ(e_sscanf("5", "%d", static_cast<int *>(nullptr)), -1);
    EXPECT_EQ(e_sscanf("abc", "%999999s", b), 1);  // the widest width there is
}

int through_va_list(const char *input, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = e_vsscanf(input, format, args);
    va_end(args);
    return result;
}

// The checked twin with protection on; the arguments described as compiled
// debug code would.
class CheckedScanTest : public ::testing::Test {
protected:
    void SetUp() override { KezTest_SetDebuggingLevel(2); }
    void TearDown() override { KezTest_SetDebuggingLevel(0); }
    static void pass(std::initializer_list<KezTestPassedArgument> arguments) {
        ASSERT_EQ(KezTest_PassArguments(static_cast<int>(arguments.size()), arguments.begin(), ~0ull), 0);
    }
    // The report the last call made: its number and argument; 0 when none.
    static std::pair<int, int> report(unsigned before, std::string *text = nullptr) {
        int severity, number, argument;
        char buffer[256];
        if (KezTest_LastArgumentReport(&severity, &number, &argument, buffer, sizeof buffer) == before) return {0, 0};
        if (text != nullptr) *text = buffer;
        return {number, argument};
    }
    static unsigned reports() { return KezTest_LastArgumentReport(nullptr, nullptr, nullptr, nullptr, 0); }
};

TEST_F(CheckedScanTest, FormatFaultsAreReportedAndFail) {
    char b[8];
    std::string text;
    struct Case {
        const char *format;
        int number;
    };
    for (const Case c : {Case{"%-5c", 250}, Case{"%ls", 225}, Case{"%l[a]", 225}, Case{"%lc", 225},
                         Case{"%1000000c", 249}, Case{"ab%q", 258}}) {
        const unsigned before = reports();
        EXPECT_EQ(checked_sscanf("abc", c.format, b), -1) << c.format;
        EXPECT_EQ(report(before, &text), std::make_pair(c.number, 2)) << c.format;
    }
    EXPECT_NE(text.find("character 4"), std::string::npos) << text;
    char function[32], message[256];
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -1);
    EXPECT_STREQ(function, "sscanf");
    // A conversion's stray modifier is reported and the call goes on.
    const unsigned before = reports();
    EXPECT_EQ(checked_sscanf("abc", "%hs", b), 1);
    EXPECT_EQ(report(before), std::make_pair(224, 2));
}

TEST_F(CheckedScanTest, TargetsAreCheckedAgainstWhatTheCallerPassed) {
    char b[8];
    int x = 0;
    const unsigned long long unknown = ~0ull;
    struct Case {
        KezTestPassedArgument argument;
        const char *input, *format;
        int ret, number;
        const char *text;  // what the target holds afterwards
    };
    const Case cases[] = {
        {{int(Pt::pointer), int(Pt::char_type), 4}, "abcdef", "%s", -1, 239, "abc"},
        {{int(Pt::pointer), int(Pt::char_type), 4}, "abcdef", "%[a-z]", -1, 239, "abc"},
        {{int(Pt::pointer), int(Pt::char_type), 4}, "abc", "%s", 1, 0, "abc"},
        {{int(Pt::pointer), int(Pt::void_type), 3}, "abcdef", "%s", -1, 238, "ab"},
        {{int(Pt::pointer), int(Pt::char_type), 2}, "abcdef", "%3c", -1, 239, "ab####"},
        {{int(Pt::pointer), int(Pt::int_type), unknown}, "abc", "%s", -1, 106, "######"},
    };
    for (const Case &c : cases) {
        std::memset(b, '#', sizeof b);
        b[6] = '\0';
        const unsigned before = reports();
        pass({c.argument});
        EXPECT_EQ(checked_sscanf(c.input, c.format, b), c.ret) << c.format;
        EXPECT_EQ(report(before).first, c.number) << c.format;
        EXPECT_STREQ(b, c.text) << c.format;
    }
    unsigned before = reports();
    pass({});
    EXPECT_EQ(checked_sscanf("1", "%d", &x), -1);
    EXPECT_EQ(report(before), std::make_pair(107, 2));  // against the last argument passed
    const KezTestPassedArgument to_int{int(Pt::pointer), int(Pt::int_type), unknown};
    before = reports();
    pass({to_int, to_int});
    EXPECT_EQ(checked_sscanf("1", "%d", &x, &x), 1);
    EXPECT_EQ(report(before), std::make_pair(108, 4));
    // Arguments the format would have taken had the input matched are not extra.
    before = reports();
    pass({to_int, to_int});
    EXPECT_EQ(checked_sscanf("1 x", "%d%d", &x, &x), 1);
    EXPECT_EQ(report(before).first, 0);
    before = reports();
    EXPECT_EQ(checked_sscanf("", "%d", &x), -1);  // an end of input is no failure
    EXPECT_EQ(report(before).first, 0);
}

class ScanStreamTest : public ::testing::Test {
protected:
    kez::test::TempDir dir;
    void *open_with(const std::string &bytes, const char *mode = "r") {
        const std::string path = dir.file("in.txt");
        std::ofstream(path, std::ios::binary) << bytes;
        return stdio().fopen(path.c_str(), mode);
    }
};

TEST_F(ScanStreamTest, CrLfTextReadsAsItsTranslation) {
    const std::string raw = "12 ab\r\n3.5e\r\n-x\r\n\r\n  7,\r\n", text = "12 ab\n3.5e\n-x\n\n  7,\n";
    const char *format = "%d %s%n %lf%n%c%n %c%d";
    for (int file = 0; file < 2; ++file) {
        int i = 0, j = -1, n1 = -1, n2 = -1, n3 = -1;
        char s[8] = {}, c1 = 0, c2 = 0;
        double d = 0;
        void *f = file == 1 ? open_with(raw) : nullptr;
        const int r = f != nullptr ? e_fscanf(f, format, &i, s, &n1, &d, &n2, &c1, &n3, &c2, &j)
                                   : e_sscanf(text.c_str(), format, &i, s, &n1, &d, &n2, &c1, &n3, &c2, &j);
        // The %d stops at the x; the dangling e went back.
        EXPECT_EQ(joined(r, i, s, n1, d, n2, c1, n3, c2), "5 12 ab 5 3.5 9 e 10 - ") << file;
        if (f == nullptr) continue;
        EXPECT_EQ(stdio().fgetc(f), 'x');  // so did the x that ended no number
        EXPECT_EQ(joined(e_fscanf(f, "%d%n,", &j, &n1), j, n1), "1 7 5 ");
        EXPECT_EQ(e_fscanf(f, "%d", &j), -1);
        EXPECT_NE(stdio().feof(f), 0);
        stdio().fclose(f);
    }
}

TEST_F(ScanStreamTest, FieldsGiveBackThroughThePushback) {
    void *f = open_with("1e+x -.y 0xg");
    float v = 7;
    unsigned u = 7;
    EXPECT_EQ(joined(e_fscanf(f, "%f", &v), v), "1 1 ");
    for (const char expected : std::string("e+x")) EXPECT_EQ(stdio().fgetc(f), expected);
    EXPECT_EQ(e_fscanf(f, "%f", &v), 0);
    for (const char expected : std::string("-.y")) EXPECT_EQ(stdio().fgetc(f), expected);
    EXPECT_EQ(joined(e_fscanf(f, "%x", &u), u), "1 0 ");
    EXPECT_EQ(stdio().fgetc(f), 'x');
    stdio().fclose(f);
}

TEST_F(ScanStreamTest, TenMillionDigitFieldIsRoundedExactly) {
    // 1 + 2^-53, halfway between 1 and the next double: the digit after
    // ten million zeros decides.
    const std::string half = "1.00000000000000011102230246251565404236316680908203125";
    for (const char *last : {"1", "0"}) {
        void *f = open_with(half + std::string(10000000, '0') + last + " 5");
        double d = 0;
        int x = 0;
        long long n = 0;
        EXPECT_EQ(joined(e_fscanf(f, "%lf%lln %d", &d, &n, &x), n, x), joined(2, half.size() + 10000001, 5));
        EXPECT_EQ(d, *last == '1' ? 1 + 0x1p-52 : 1.0);
        stdio().fclose(f);
    }
}

TEST_F(ScanStreamTest, ScanfReadsStandardInputAndVsscanfItsVaList) {
    const std::string path = dir.file("stdin.txt");
    std::ofstream(path, std::ios::binary) << "41 words";
    ASSERT_NE(stdio().freopen(path.c_str(), "r", stdio().std_in()), nullptr);
    int x = 0;
    char s[8];
    EXPECT_EQ(joined(e_scanf("%d%s", &x, s), x, s), "2 41 words ");
    EXPECT_EQ(e_scanf("%d", &x), -1);
    stdio().fclose(stdio().std_in());
    EXPECT_EQ(joined(through_va_list("4 four", "%d%s", &x, s), x, s), "2 4 four ");
}

TEST_F(ScanStreamTest, ACallHoldsTheStreamThroughout) {
    std::string pairs;
    constexpr int kPairs = 20000;
    for (int i = 0; i < kPairs; ++i) pairs += std::to_string(2 * i) + " " + std::to_string(2 * i + 1) + "\n";
    void *f = open_with(pairs);
    std::atomic<int> bad{0}, read{0};
    auto reader = [&] {
        int a, b;
        while (e_fscanf(f, "%d %d", &a, &b) == 2) {
            if (a % 2 != 0 || b != a + 1) ++bad;
            ++read;
        }
    };
    std::thread other(reader);
    reader();
    other.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(read.load(), kPairs);
    stdio().fclose(f);
}

#if defined(KEZ_TEST_TSAN)
constexpr int kRoundTrips = 100000;
#else
constexpr int kRoundTrips = 1000000;
#endif

TEST(ScanOracleTest, PrintedDoublesReadBackBitForBit) {
    std::mt19937_64 rng(20261207);
    char text[64];
    for (int i = 0; i < kRoundTrips; ++i) {
        std::uint64_t bits = rng();
        if ((bits >> 52 & 0x7FF) == 0x7FF) bits ^= 1ull << 62;  // finite only
        double d, back = 0;
        std::memcpy(&d, &bits, sizeof d);
        e_snprintf(text, sizeof text, "%.17g", d);
        ASSERT_EQ(e_sscanf(text, "%lf", &back), 1) << text;
        ASSERT_EQ(std::memcmp(&d, &back, sizeof d), 0) << text;
    }
}

#if !defined(_WIN32)
// A random decimal: up to 25 digits (sometimes 300), a point, an exponent.
std::string random_decimal(std::mt19937_64 &rng, int max_exponent) {
    std::string s = rng() % 2 ? "-" : "";
    const int digits = rng() % 16 == 0 ? 300 : 1 + static_cast<int>(rng() % 25);
    const int point = static_cast<int>(rng() % (digits + 1));
    for (int i = 0; i < digits; ++i) s += (i == point ? "." : "") + std::string(1, static_cast<char>('0' + rng() % 10));
    return s + "e" + std::to_string(static_cast<int>(rng() % (2 * max_exponent + 1)) - max_exponent);
}

// The exact decimal of the midpoint between a random double (or float) and
// the next one up, or that with a digit more or less at its end: the
// inputs whose rounding all their digits decide.
std::string near_midpoint(std::mt19937_64 &rng, bool narrow, int variant) {
    char text[1200];
    if (narrow) {
        const float f = std::ldexp(static_cast<float>(rng() % (1u << 24)), static_cast<int>(rng() % 270) - 170);
        std::snprintf(text, sizeof text, "%.200e", (static_cast<double>(f) + std::nextafter(f, HUGE_VALF)) / 2);
    } else {
        const double d = std::ldexp(static_cast<double>(rng() % (1ull << 53)), static_cast<int>(rng() % 2096) - 1126);
        std::snprintf(text, sizeof text, "%.1100Le",
                      (static_cast<long double>(d) + std::nextafter(d, static_cast<double>(HUGE_VAL))) / 2);
    }
    std::string s = text;
    const std::size_t e = s.find('e');
    std::string digits = s.substr(0, e);
    digits.erase(digits.find_last_not_of('0') + 1);
    if (variant == 1) digits += "0000001";
    if (variant == 2 && digits.back() != '.') digits.back() = static_cast<char>(digits.back() - 1), digits += "999";
    return digits + s.substr(e);
}

TEST(ScanOracleTest, DecimalsRoundAsTheHostStrtodAndStrtof) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const std::string s = i % 8 == 0 ? near_midpoint(rng, i % 16 == 0, i % 3)
                                         : random_decimal(rng, i % 2 ? 340 : 50);
        double d = 0;
        float f = 0;
        ASSERT_EQ(e_sscanf(s.c_str(), "%lf", &d), 1);
        ASSERT_EQ(e_sscanf(s.c_str(), "%f", &f), 1);
        const double want_d = std::strtod(s.c_str(), nullptr);
        const float want_f = std::strtof(s.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&d, &want_d, sizeof d), 0) << s;
        ASSERT_EQ(std::memcmp(&f, &want_f, sizeof f), 0) << s;
    }
}

// Generated formats and inputs through the engine and the host. Left out,
// as documented departures: inf/nan and hexadecimal reals (no 'n' or 'x'
// outside "0x<digit>" in the inputs), a dangling e (every 'e' is an
// exponent's), integers beyond 64 bits, widths on reals and hexadecimal
// fields (they could cut "1e5" or "0x1" short); and EOF after only a
// suppressed conversion, which the host answers EOF and the engine 0.
TEST(ScanOracleTest, GeneratedCallsAgreeWithTheHost) {
    // Reals last: inputs with hexadecimal numbers do without them.
    static const char *const conversions[] = {"%d", "%i",  "%u",  "%x",     "%o",    "%5d", "%hhd", "%hu",
                                              "%lld", "%2o", "%p", "%s",    "%4s",   "%c",  "%3c",  "%[a-z]",
                                              "%[^,]", "%*d", "%*s", "%ld", "%f", "%lf", "%g", "%*le"};
    static const char *const separators[] = {"", " ", ",", " ,"};
    std::mt19937 rng(11);
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto number = [&](bool hex) {
        std::string s = pick(3) == 0 ? "-" : pick(4) == 0 ? "+" : "";
        if (hex && pick(3) == 0) {
            s += "0x";
            for (int i = pick(14); i >= 0; --i) s += "0123456789abcdef"[pick(16)];
            return s;
        }
        // At most 15 hexadecimal digits even for %x: 12 digits, e and 2 digits.
        for (int i = pick(12); i >= 0; --i) s += static_cast<char>('0' + pick(10));
        if (pick(2)) s += "." + std::to_string(pick(1000));
        if (pick(3) == 0) s += std::string(pick(2) ? "e" : "E") + (pick(2) ? "-" : "") + std::to_string(pick(40));
        return s;
    };
    auto word = [&]() { return std::string("abcdfgz").substr(pick(7), 1 + pick(3)); };
    for (int i = 0; i < 10000; ++i) {
        // Half the inputs follow the format, each field a token of its kind;
        // the others are tokens at random.
        std::string format, input;
        const bool hex = pick(3) == 0, follow = pick(2) == 0;
        for (int k = pick(4); k >= 0; --k) {
            const std::string conversion = conversions[pick(hex ? 20 : 24)], separator = separators[pick(4)];
            format += conversion + separator;
            if (follow) input += (conversion.find_first_of("sc[") != std::string::npos ? word() : number(hex)) +
                                 (separator.empty() ? " " : separator);
        }
        format += "%n";
        for (int k = follow ? -1 : pick(5); k >= 0; --k) {
            const int kind = pick(4);
            if (kind < 2) input += number(hex);
            else if (kind == 2) input += word();
            else input += pick(2) ? "," : " ";
            input += " ,"[pick(2)];
        }
        unsigned char mine[5][256], host[5][256];
        std::memset(mine, 0xA5, sizeof mine);
        std::memset(host, 0xA5, sizeof host);
        const int r1 = e_sscanf(input.c_str(), format.c_str(), mine[0], mine[1], mine[2], mine[3], mine[4]);
        const int r2 = std::sscanf(input.c_str(), format.c_str(), host[0], host[1], host[2], host[3], host[4]);
        if (r2 == -1 && r1 == 0 && format.find('*') != std::string::npos) continue;
        ASSERT_EQ(r1, r2) << "'" << input << "' with '" << format << "'";
        ASSERT_EQ(std::memcmp(mine, host, sizeof mine), 0) << "'" << input << "' with '" << format << "'";
    }
}
#endif

}  // namespace
