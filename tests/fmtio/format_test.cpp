// Fmt and Scan through their exports: every format error with its code and
// position, the conversions, the faults the engine must not have, the
// checked twins' reports, round trips and guard pages.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <functional>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/formatio.h"
#include "os/os.h"

namespace {

const char *message(int code) {
    static const char *const kTexts[] = {
        "Illegal separator character or illegal position of separator character.",
        "Missing format string integer.",
        "Number of arguments exceed the maximum supported.",
        "Format string integer is too big.",
        "Repeat value not valid with s/l format specifiers.",
        "l format specifier not valid in Fmt/FmtOut/FmtFile.",
        "Missing right bracket (]).",
        "b modifier must precede o modifier.",
        "Invalid size for an integer.",
        "d modifier not valid in Fmt/FmtOut/FmtFile.",
        "Byte ordering is invalid.",
        "z modifier only valid if rep is present.",
        "Unknown modifier.",
        "Unexpected end of format string.",
        "c modifier valid only with l format specifier.",
        "w modifier not valid with l format specifier.",
        "Invalid size for a real.",
        "Unknown specifier.",
    };
    return kTexts[code - 206];
}

struct Report {
    unsigned count;
    int number, argument;
    std::string text;
};

Report last_report() {
    Report r{};
    int severity = 0;
    char text[512] = {};
    r.count = KezTest_LastArgumentReport(&severity, &r.number, &r.argument, text, sizeof text);
    r.text = text;
    return r;
}

class Checked : public ::testing::Test {
protected:
    void SetUp() override { KezTest_SetDebuggingLevel(2); }
    void TearDown() override { KezTest_SetDebuggingLevel(0); }
};

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Every syntax error in the direction it belongs to: the call fails before
// any data moves, the index is the position, the checked twin reports 258
// with the 1-based position and the error's text.
TEST_F(Checked, FormatErrorsGiveCodeAndPositionAndLeaveTargetsAlone) {
    const std::string slots30 = repeat("%d", 30);
    const struct {
        bool scan;
        std::string format;
        int code;
        int index;
    } rows[] = {
        {false, "abc<def", 206, 3},       {false, ">%d", 206, 0},
        {false, "%d<%d<", 206, 5},        {true, "%d>%d>", 206, 5},
        {true, "%d[d]>%d", 206, 5},       {true, "<%d", 206, 0},
        {false, "%d[w]", 207, 4},         {false, "%d[w 5]", 207, 4},
        {true, "%s>%s[t 5]", 207, 7},     {false, "%d[b*]", 208, 4},
        {true, "%s>%s[j*]", 208, 7},      {false, slots30 + "%d", 208, 60},
        {false, "%s<" + slots30, 208, 61}, {false, "%5", 209, 2},
        {false, "%4294967296d", 209, 11}, {true, "%s>%d[w4294967296]", 209, 17},
        {false, "%5s", 210, 2},           {true, "%s>%*l", 210, 5},
        {false, "%l", 211, 1},            {false, "%d[w5", 212, 5},
        {false, "%f[p", 212, 4},          {true, "%s>%d[w12", 212, 9},
        {false, "%d[o10b2]", 213, 6},     {false, "%d[b9]", 214, 5},
        {true, "%s>%d[j257]", 214, 10},   {false, "%d[d]", 215, 3},
        {false, "%d[b2o00]", 216, 7},     {false, "%d[o1]", 216, 5},
        {false, "%d[b2o2]", 216, 6},      {true, "%s>%d[o3320]", 216, 8},
        {false, "%d[z]", 217, 3},         {false, "%d[b8o4]", 218, 6},
        {false, "%d[q]", 218, 3},         {true, "%s>%f[o0]", 218, 6},
        {false, "%s[z]", 218, 3},         {false, "%", 219, 1},
        {false, "%*", 219, 2},            {false, "%s[w5", 219, 5},
        {true, "%s>%s[t", 219, 7},        {false, "%s[c]", 220, 3},
        {true, "%s>%l[w4]", 221, 6},      {false, "%f[b5]", 222, 5},
        {true, "%s>%f[b16]", 222, 9},     {false, "%q", 223, 1},
        {false, "% d", 223, 1},           {true, "%s>%y", 223, 4},
        {true, "%s>%d[o0b1]", 213, 8},    {true, "%s>%d[z]", 217, 6},
        {true, "%s>%s[c]", 220, 6},       {false, "%s<%s[ww]", 207, 7},
    };
    for (const auto &row : rows) {
        char target[8] = "xxxxxxx";
        int value = 7;
        const unsigned before = last_report().count;
        const int result = row.scan ? _UP_Scan("1 2", row.format.c_str(), &value)
                                    : _UP_Fmt(target, row.format.c_str(), 1);
        EXPECT_EQ(result, -1) << row.format;
        EXPECT_EQ(GetFmtErrNdx(), row.index) << row.format;
        const Report r = last_report();
        EXPECT_EQ(r.count, before + 1) << row.format;
        EXPECT_EQ(r.number, 258) << row.format;
        EXPECT_EQ(r.argument, 2) << row.format;
        EXPECT_EQ(r.text, "Error at or near character " + std::to_string(row.index + 1) +
                              " in the format string: " + message(row.code))
            << row.format;
        EXPECT_STREQ(target, "xxxxxxx") << row.format;
        EXPECT_EQ(value, 7) << row.format;
        // The plain export finds the same position and reports nothing.
        EXPECT_EQ(row.scan ? Scan("1 2", row.format.c_str(), &value) : Fmt(target, row.format.c_str(), 1), -1);
        EXPECT_EQ(GetFmtErrNdx(), row.index) << row.format;
        EXPECT_EQ(last_report().count, before + 1) << row.format;
    }
    // Thirty slots are accepted when the fixed side is the default one.
    char big[128];
    EXPECT_EQ(Fmt(big, slots30.c_str(), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                  22, 23, 24, 25, 26, 27, 28, 29, 30),
              30);
    EXPECT_STREQ(big, "123456789101112131415161718192021222324252627282930");
    EXPECT_EQ(GetFmtErrNdx(), -1);
    // A NULL format: -1 and index 0 in every build, 233 when checked.
    EXPECT_EQ(Fmt(big, nullptr), -1);
    EXPECT_EQ(GetFmtErrNdx(), 0);
    EXPECT_EQ(_UP_Scan("1", nullptr), -1);
    EXPECT_EQ(last_report().number, 233);
    EXPECT_EQ(last_report().text, "Uninitialized string.");
}

template <typename... Args>
std::string fmt(int expected, const char *format, Args... args) {
    char buffer[600];
    std::memset(buffer, '#', sizeof buffer);
    const int result = Fmt(buffer, format, args...);
    EXPECT_EQ(result, expected) << format;
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

TEST(Fmt, ConvertsAsItsItemsSay) {
    EXPECT_EQ(fmt(1, "%d", 42), "42");
    EXPECT_EQ(fmt(1, "<%d", -42), "-42");
    EXPECT_EQ(fmt(0, "%s<%%d"), "%d");
    EXPECT_EQ(fmt(0, "%s<%<%>%[%]"), "<>[]");
    EXPECT_EQ(fmt(1, "%s<%d[w3]", 12345), "*45");
    EXPECT_EQ(fmt(1, "%s<%f[w5p3]", 123.456), "123.*");
    EXPECT_EQ(fmt(1, "%s<%d[w6p0]", 42), "000042");
    EXPECT_EQ(fmt(1, "%s<%d[w6]", -42), "   -42");
    EXPECT_EQ(fmt(1, "%s<%x", 255), "ff");
    EXPECT_EQ(fmt(1, "%s<%o", 8), "10");
    EXPECT_EQ(fmt(1, "%s<%x", -1), "ffffffff");
    EXPECT_EQ(fmt(1, "%s<%d[u]", -1), "4294967295");
    EXPECT_EQ(fmt(1, "%s<%d[b8]", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(fmt(1, "%s<%d[b8u]", -1LL), "18446744073709551615");
    EXPECT_EQ(fmt(1, "%s<%x[b8]", 0x123456789abcdefLL), "123456789abcdef");
    EXPECT_EQ(fmt(1, "%s<%d[b1]", 200), "-56");
    EXPECT_EQ(fmt(1, "%s<%d[b2u]", -1), "65535");
    EXPECT_EQ(fmt(1, "%s<%c", 'A'), "A");
    EXPECT_EQ(fmt(1, "%s<%d[r16]", 255), "ff");
    EXPECT_EQ(fmt(1, "%s<%d[o3210r16]", 0x01020304), "4030201");
    EXPECT_EQ(fmt(1, "%s<%f", 1.5), "1.5");
    EXPECT_EQ(fmt(1, "%s<%f", 1e25), "1.0e+025");
    EXPECT_EQ(fmt(1, "%s<%f", 0.00001), "1.0e-005");
    EXPECT_EQ(fmt(1, "%s<%f", 0.0), "0.0");
    EXPECT_EQ(fmt(1, "%s<%f", 1e20), "100000000000000000000.0");
    EXPECT_EQ(fmt(1, "%s<%f[p2]", 1e25), "10000000000000000905969664.00");
    EXPECT_EQ(fmt(1, "%s<%f[p2]", 1e41), "1.00e+041");
    EXPECT_EQ(fmt(1, "%s<%f[e2p1]", -12345.0), "-1.2e+04");
    EXPECT_EQ(fmt(1, "%s<%f[ep0]", 5e-300), "5e-300");
    EXPECT_EQ(fmt(1, "%s<%f[e20p1]", 1.0), "1.0e+0000000000");
    EXPECT_EQ(fmt(1, "%s<%f[p0]", 2.5), "2");
    EXPECT_EQ(fmt(1, "%s<%f[p0]", 3.5), "4");
    EXPECT_EQ(fmt(1, "%s<%f[w8p2]", -1.005), "   -1.00");
    EXPECT_EQ(fmt(1, "%s<%f[p250]", 1.0), "1." + std::string(200, '0'));
    EXPECT_EQ(fmt(1, "%s<%f", std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(fmt(1, "%s<%f", -std::numeric_limits<double>::infinity()), "-Inf");
    EXPECT_EQ(fmt(1, "%s<%f", std::nan("")), "NaN");
    EXPECT_EQ(fmt(1, "%s<%f[b4]", 0.1f), "0.1");
    EXPECT_EQ(fmt(2, "%s<a%db%d", 1, 2), "a1b2");
    EXPECT_EQ(fmt(1, "%s<%s", "text"), "text");
    EXPECT_EQ(fmt(1, "%s<%s[w2]", "text"), "te");
    EXPECT_EQ(fmt(1, "%s<%s[i2]", "text"), "xt");
    EXPECT_EQ(fmt(1, "%s<%s[t44]", "ab,cd"), "ab");
    EXPECT_EQ(fmt(1, "%s<%s[t-]", "ab,cd"), "ab,cd");
    const int five[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(fmt(1, "%s<%5d[j1],", five), "1,2,3,4,5,");
    EXPECT_EQ(fmt(1, "%s<%3d[i2j2]; ", five), "3; 4; 5; ");
    EXPECT_EQ(fmt(1, "%s<%*d[j1]-", 2, five), "1-2-");
    EXPECT_EQ(fmt(1, "%s<%d[w*]", 4, 7), "   7");
    const char bytes[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(fmt(1, "%s<%3c[z]", bytes), "abc");
    // j characters belong to their item; past the format's end, what is there.
    EXPECT_EQ(fmt(1, "%s<%d[j5]ab", 1), "1ab");
    // %c of 0 is one NUL byte, a width pads on its left.
    char b[8];
    std::memset(b, '#', sizeof b);
    EXPECT_EQ(Fmt(b, "%s<%c[w3]x", 0), 1);
    EXPECT_EQ(std::string(b, 5), std::string("  \0x\0", 5));
    EXPECT_EQ(NumFmtdBytes(), 4);
    // Append, and a width padded with the pad character, NUL after it.
    std::strcpy(b, "abc");
    EXPECT_EQ(Fmt(b, "%s[a]<%s", "de"), 1);
    EXPECT_STREQ(b, "abcde");
    EXPECT_EQ(NumFmtdBytes(), 2);
    std::memset(b, '#', sizeof b);
    EXPECT_EQ(Fmt(b, "%s[w4]<%s", "ab"), 1);
    EXPECT_EQ(std::string(b, 6), std::string("ab  \0#", 6));
    EXPECT_EQ(NumFmtdBytes(), 4);
    std::memset(b, '#', sizeof b);
    EXPECT_EQ(Fmt(b, "%s[w4q]<%s%s", "ab", "cdef"), 2);
    EXPECT_EQ(std::string(b, 6), std::string("abcd\0#", 6));
}

// The values, each followed by a space: one comparison for a call's result
// and the integers and texts it stored (lvalues only: bound by reference,
// they are read after the call; doubles are compared as they are).
template <class... T>
std::string joined(const T &...values) {
    std::ostringstream out;
    ((out << values << ' '), ...);
    return out.str();
}

TEST(Fmt, NumericTargetsTakeBinaryUnitsAndNoTerminator) {
    int i = 0;
    EXPECT_EQ(joined(Fmt(&i, "%d<%f[r]", 2.5), i), "1 3 ");
    EXPECT_EQ(joined(Fmt(&i, "%d<%f", 2.5), i), "1 2 ");
    EXPECT_EQ(joined(Fmt(&i, "%d<%f[r]", -2.5), i), "1 -3 ");
    long long big[4] = {};
    EXPECT_EQ(joined(Fmt(big, "%4d[b8]<%f%f%f%f", std::nan(""), 1e300, -1e300, -5.0), big[0], big[1], big[2], big[3]),
              "4 0 9223372036854775807 -9223372036854775808 -5 ");
    unsigned long long u = 0;
    EXPECT_EQ(joined(Fmt(&u, "%d[b8u]<%f", 1e30), u), "1 18446744073709551615 ");
    EXPECT_EQ(joined(Fmt(&u, "%d[b8u]<%f", -7.0), u), "1 18446744073709551609 ");  // negatives take the signed path
    // A short array: every unit written, nothing after the array.
    short s[3] = {9, 9, 9};
    EXPECT_EQ(joined(Fmt(s, "%2d[b2]<%d%d%d", 1, 2, 3), s[0], s[1], s[2]), "2 1 2 9 ");
    // A string source read into numbers; a z array that is full gets no NUL.
    int v[4] = {0, 0, 0, -1};
    EXPECT_EQ(joined(Fmt(v, "%3d<%s", "10 20 30 40"), v[0], v[1], v[2], v[3]), "1 10 20 30 -1 ");
    char z[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(Fmt(z, "%3c[z]<%s", "abcdef"), 1);
    EXPECT_EQ(std::string(z, 4), "abc#");
    double d[2] = {};
    EXPECT_EQ(Fmt(d, "%2f<%d%d[u]", -3, -1), 2);
    EXPECT_EQ(std::pair(d[0], d[1]), std::pair(-3.0, 4294967295.0));
    // The byte-order map: writing puts byte d of the value as the k-th byte.
    unsigned char out[4] = {};
    EXPECT_EQ(Fmt(out, "%d[o1230]<%d", 0x04030201), 1);
    EXPECT_EQ(joined(+out[0], +out[1], +out[2], +out[3]), "2 3 4 1 ");
    // Reading stores the k-th byte read as byte p where digit p is k.
    int back = 0;
    EXPECT_EQ(joined(Scan(out, "%d[o1230]>%d", &back), back), "1 33620995 ");  // 0x02010403
    EXPECT_EQ(joined(Scan(out, "%d[o3012]>%d", &back), back), "1 67305985 ");  // the inverse map: 0x04030201
}

TEST(Fmt, IllegalValuesFailBeforeAnyDataMoves) {
    const int five[5] = {1, 2, 3, 4, 5};
    const struct {
        const char *format;
        int index;
        std::function<int(char *)> call;
    } rows[] = {
        {"%s<%d%d[r7]", 11, [](char *b) { return Fmt(b, "%s<%d%d[r7]", 1, 2); }},
        {"%s<%d%d[w512]", 13, [](char *b) { return Fmt(b, "%s<%d%d[w512]", 1, 2); }},
        {"%s<%d%*d", 8, [](char *b) { return Fmt(b, "%s<%d%*d", 1, -1, 2); }},
        {"%s<%d%s", 7, [](char *b) { return Fmt(b, "%s<%d%s", 1, static_cast<char *>(nullptr)); }},
        {"%s<%0d", 6, [&](char *b) { return Fmt(b, "%s<%0d", five); }},
        {"%d<x", 4, [](char *b) { return Fmt(b, "%d<x"); }},
        {"%d<%d[j1]x", 10, [](char *b) { return Fmt(b, "%d<%d[j1]x", 1); }},
        {"%s<%s[a]", 8, [](char *b) { return Fmt(b, "%s<%s[a]", "x"); }},
        {"%s<%d[i1]", 9, [](char *b) { return Fmt(b, "%s<%d[i1]", 5); }},
    };
    for (const auto &row : rows) {
        char b[16] = "untouched";
        EXPECT_EQ(row.call(b), -1) << row.format;
        EXPECT_EQ(GetFmtErrNdx(), row.index) << row.format;
        EXPECT_STREQ(b, "untouched") << row.format;
    }
    int t = 5;
    EXPECT_EQ(Scan("1", "%s>%l", &t), -1);
    EXPECT_EQ(Scan("1", "%s>%d", static_cast<int *>(nullptr)), -1);
    EXPECT_EQ(Scan("1", "%d>x"), -1);
    EXPECT_EQ(Scan(five, "%0d>%0d", &t), -1);
    EXPECT_EQ(t, 5);
    // Counts that something bounds are legal.
    int copy[5] = {};
    EXPECT_EQ(Fmt(copy, "%5d<%0d", five), 1);
    EXPECT_EQ(copy[4], 5);
}

template <typename... Args>
int scan(const char *text, const char *format, Args... args) {
    return Scan(text, format, args...);
}

TEST(Scan, ReadsAsItsItemsSay) {
    int a = 0, b = 0;
    char s1[16] = "", s2[16] = "";
    EXPECT_EQ(joined(scan("12 abc", "%s>%d%s", &a, s1), a, s1), "2 12 abc ");
    EXPECT_EQ(joined(scan("1,2", "%s>%d[x]%d", &a, &b), b), "2 2 ");
    EXPECT_EQ(NumFmtdBytes(), 3);
    EXPECT_EQ(joined(scan(" ab cd,ef", "%l[c]>%s[x]%s", s1, s2), s1, s2), "2 ab cd ef ");
    EXPECT_EQ(joined(scan("ab,ef", "%l[c]>%s%s", s1, s2), s2), "1  ");
    EXPECT_EQ(joined(scan("abcdef", "%s>%s[w3]%s", s1, s2), s1, s2), "2 abc def ");
    EXPECT_EQ(joined(scan("5 6", "%s>%d[d]%d", &a), a), "2 6 ");
    EXPECT_EQ(scan("1;2", "%s>%d,%d", &a, &b), 1);
    unsigned char c = 0;
    EXPECT_EQ(joined(scan("xyz!", "%s>%c[w3]%c", &c, &a), c), "2 x ");
    EXPECT_EQ(a & 0xFF, '!');
    EXPECT_EQ(joined(scan("  -17 +4", "%s>%d%d", &a, &b), a, b), "2 -17 4 ");
    EXPECT_EQ(joined(scan("12345", "%s>%d[w2]%d", &a, &b), a, b), "2 12 345 ");
    int untouched = 3;
    EXPECT_EQ(joined(scan("ff 777 zz", "%s>%x%o%d", &a, &b, &untouched), a, b, untouched), "2 255 511 3 ");
    short sh[3] = {0, 0, 7};
    EXPECT_EQ(joined(scan("1 2 3 4", "%s>%2d[b2]", sh), sh[0], sh[1], sh[2]), "1 1 2 7 ");
    int many[8] = {};
    // Ends at the first unit that finds nothing.
    EXPECT_EQ(joined(scan("1 2 x", "%s>%0d", many), many[0], many[1], many[2]), "1 1 2 0 ");
    double d = 0;
    float f = 0;
    EXPECT_EQ(scan(" -1.25e3 .5", "%s>%f%f[b4]", &d, &f), 2);
    EXPECT_EQ(std::pair(d, f), std::pair(-1250.0, 0.5f));
    EXPECT_EQ(scan("1.5e+x", "%s>%f", &d), 0);  // an exponent without digits
    EXPECT_EQ(scan("x", "%s>%f", &d), 0);
    EXPECT_EQ(d, -1250.0);
    std::string long_number = "0." + std::string(700, '0') + "1e701";
    EXPECT_EQ(scan(long_number.c_str(), "%s>%f", &d), 1);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(joined(scan("a b", "%s>%s[y]", s1), s1), "1 a ");
    EXPECT_EQ(joined(scan("  a b", "%s>%s[yt-]", s1), s1), "1   a b ");
    EXPECT_EQ(joined(scan("ab", "%s>%s[w5]", s1), s1), "1 ab    ");
    EXPECT_EQ(scan("ab", "%s>%s[w4q]", s1), 1);
    EXPECT_EQ(std::string(s1, 5), std::string("ab\0\0\0", 5));
    std::strcpy(s1, "x=");
    EXPECT_EQ(joined(scan("7", "%s>%s[a]", s1), s1), "1 x=7 ");
    EXPECT_EQ(scan("12:34", "%s>%d:%d", &a, &b), 2);
    // The line's end is consumed, not the next line.
    EXPECT_EQ(scan("line one\nline two", "%l>%s%s%s", s1, s2, s2), 2);
    EXPECT_EQ(NumFmtdBytes(), 9);
    EXPECT_EQ(joined(scan("12 x", "%s>%s[t#]%d", s1, &a), s1), "1  ");  // an empty field does not count
    const int ints[3] = {7, 8, 9};
    char text[32];
    EXPECT_EQ(joined(Scan(ints, "%3d>%s", text), text), "1 789 ");
}

// Random values through text and back, bit for bit.
TEST(FmtScan, RoundTripsAreExact) {
    const unsigned seed = std::random_device{}();
    std::printf("round-trip seed %u\n", seed);
    std::mt19937_64 rng(seed);
    char text[600];
    // Maps address bytes 0-3; each of these is its own inverse.
    const char *maps[9] = {"", "o0", "o10", "o210", "o3210", "o3210", "o3210", "o3210", "o3210"};
    for (int i = 0; i < 4000; ++i) {
        const unsigned size = 1 + static_cast<unsigned>(rng() % 8);
        const bool is_signed = rng() % 2 != 0;
        static const unsigned kRadixes[] = {8, 10, 16};
        const unsigned radix = kRadixes[rng() % 3];
        const std::uint64_t raw = rng();
        std::uint64_t value = 0;
        std::memcpy(&value, &raw, size);  // a unit of `size` bytes
        std::string conversion = "%1d[b" + std::to_string(size) + (is_signed ? "s" : "u") + "r" + std::to_string(radix) +
                           (rng() % 2 != 0 ? maps[size] : "") + "]";
        ASSERT_EQ(Fmt(text, ("%s<" + conversion).c_str(), &value), 1) << conversion;
        std::uint64_t back = 0;
        ASSERT_EQ(Scan(text, ("%s>" + conversion).c_str(), &back), 1) << conversion << " " << text;
        ASSERT_EQ(back, value) << conversion << " " << text << " seed " << seed;
    }
    auto check_double = [&](double v) {
        ASSERT_EQ(Fmt(text, "%s<%f[ep16]", v), 1);
        double back = 1;
        ASSERT_EQ(Scan(text, "%s>%f", &back), 1) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << text << " seed " << seed;
    };
    for (double v : {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072009e-308, 2.2250738585072014e-308,
                     1.7976931348623157e308, -1.7976931348623157e308, 1.0, 0.1})
        check_double(v);
    for (int i = 0; i < 20000; ++i) {
        const double v = std::bit_cast<double>(rng());
        if (std::isfinite(v)) check_double(v);
    }
    for (int i = 0; i < 20000; ++i) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(Fmt(text, "%s<%f[b4ep8]", v), 1);
        float back = 1;
        ASSERT_EQ(Scan(text, "%s>%f[b4]", &back), 1);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(v)) << text << " seed " << seed;
    }
    // Reals against the standard library's shortest-free renderings.
    for (int i = 0; i < 5000; ++i) {
        const int exponent = static_cast<int>(rng() % 120) - 90;  // a power of two by its bits
        const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 + exponent) << 52);
        const double v = static_cast<double>(rng() >> 11) * scale;
        const int p = static_cast<int>(rng() % 17);
        char expected[400];
        auto r = std::to_chars(expected, expected + sizeof expected, v, std::chars_format::fixed, p);
        *r.ptr = '\0';
        ASSERT_EQ(Fmt(text, "%s<%f[p*]", p, v), 1);
        if (v <= 1e40) {
            ASSERT_STREQ(text, expected) << "seed " << seed;
        }
        r = std::to_chars(expected, expected + sizeof expected, v, std::chars_format::scientific, p);
        *r.ptr = '\0';
        std::string want = expected;
        const std::size_t e = want.find('e');
        std::string digits = want.substr(e + 2);
        while (digits.size() < 3) digits = "0" + digits;
        want = want.substr(0, e + 2) + digits;
        ASSERT_EQ(Fmt(text, "%s<%f[ep*]", p, v), 1);
        ASSERT_EQ(text, want) << "seed " << seed;
    }
    // Every byte but NUL through a string, arrays with separators, binary units.
    std::string all;
    for (int ch = 1; ch < 256; ++ch) all += static_cast<char>(ch);
    ASSERT_EQ(Fmt(text, "%s<%s", all.c_str()), 1);
    char back[300];
    ASSERT_EQ(Scan(text, "%s>%s[t-y]", back), 1);
    EXPECT_EQ(std::string(back), all);
    int numbers[6], again[6] = {};
    for (int &n : numbers) n = static_cast<int>(rng());
    ASSERT_EQ(Fmt(text, "%s<%6d[j1],", numbers), 1);
    ASSERT_EQ(Scan(text, "%s>%6d[x]", again), 1);
    EXPECT_EQ(std::memcmp(numbers, again, sizeof numbers), 0) << text;
    short shorts[4] = {};
    ASSERT_EQ(Fmt(shorts, "%4d[b2]<%4d", numbers), 1);
    int widened[4] = {};
    ASSERT_EQ(Scan(shorts, "%4d[b2]>%4d", widened), 1);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(widened[k], static_cast<short>(numbers[k]));
}

// Formats, sources and bounded targets that end right before a page no
// access is allowed to: nothing reads or writes past them.
TEST(FmtScan, NothingCrossesTheEndOfFormatsSourcesAndBoundedTargets) {
    struct Guarded {
        explicit Guarded(const std::string &bytes) : size(bytes.size()) {
            p = static_cast<char *>(kez::os::guarded_alloc(size));
            std::memcpy(p, bytes.data(), size);
        }
        ~Guarded() { kez::os::guarded_free(p, size); }
        char *p;
        std::size_t size;
    };
    char out[256];
    const char *formats[] = {"%s<%d", "%s<%d[j9]", "%s<%s[t", "%s<%d[w12", "%s<%", "%s<abc", "%s<%5d[j1],"};
    const int five[5] = {1, 2, 3, 4, 5};
    for (const char *f : formats) {
        Guarded g(std::string(f) + '\0');
        EXPECT_GE(Fmt(out, g.p, five), -1) << f;
        Guarded s(std::string(f) + '\0');
        EXPECT_GE(Scan("1 2 3", s.p, out), -1) << f;
    }
    Guarded source(std::string("ab cd") + '\0');
    EXPECT_EQ(Fmt(out, "%s<%s", source.p), 1);
    EXPECT_STREQ(out, "ab cd");
    EXPECT_EQ(Fmt(out, "%s<%s[t-]", source.p), 1);  // no terminator named: the NUL still ends it
    EXPECT_EQ(Scan(source.p, "%s>%s%s", out, out + 100), 2);
    Guarded line(std::string("12 34"));  // no NUL: the count bounds it
    int n[2] = {};
    EXPECT_EQ(Scan(line.p, "%5c[z]>%d%d", n, n + 1), 2);
    EXPECT_EQ(n[1], 34);
    Guarded target(std::string(8, '#'));
    EXPECT_EQ(Fmt(target.p, "%s[w7]<%s", "a much longer text"), 1);
    EXPECT_EQ(std::string(target.p), "a much ");
    EXPECT_EQ(Scan("a much longer text", "%s>%s[w7t-]", target.p), 1);
    EXPECT_EQ(std::string(target.p), "a much ");
    Guarded ints(std::string(5 * sizeof(int), '\0'));
    EXPECT_EQ(Fmt(ints.p, "%5d<%s", "1 2 3 4 5 6 7"), 1);
    EXPECT_EQ(Scan("1 2 3 4 5 6 7", "%s>%5d", ints.p), 1);
    EXPECT_EQ(Fmt(out, "%s<%5d", ints.p), 1);
    EXPECT_STREQ(out, "12345");
}

TEST(Fmt, NoThreadRecordFailsAndTouchesNothing) {
    std::thread([] { EXPECT_EQ(GetFmtErrNdx(), -1); }).join();  // a new thread's record
    char b[8] = "keep";
    KezTest_ArmFault("fmtio.thread_record", 1);
    EXPECT_EQ(Fmt(b, "%s<%d", 5), -2);
    EXPECT_STREQ(b, "keep");
    EXPECT_EQ(Fmt(b, "%s<%d", 5), 1);
    EXPECT_STREQ(b, "5");
}

// The engine's passed-argument types, for descriptions of checked calls.
constexpr int kInt = 6, kDouble = 13, kChar = 1, kPointer = 16;
constexpr unsigned long long kUnknown = ~0ull;

// What the checked twins report, against which argument.
TEST_F(Checked, ArgumentsAndValuesAreReportedAgainstTheirArgument) {
    auto describe = [](std::initializer_list<KezTestPassedArgument> a, unsigned long long fixed = kUnknown) {
        ASSERT_EQ(KezTest_PassArguments(static_cast<int>(a.size()), a.begin(), fixed), 0);
    };
    char b[16];
    int v = 0;
    describe({{kInt, 0, kUnknown}, {kInt, 0, kUnknown}});
    EXPECT_EQ(_UP_Fmt(b, "%s<%d", 1, 2), 1);
    Report r = last_report();
    EXPECT_EQ(r.number, 235);
    EXPECT_EQ(r.argument, 4);
    EXPECT_EQ(r.text, "Too many parameters.");
    describe({{kInt, 0, kUnknown}});
    EXPECT_EQ(_UP_Fmt(b, "%s<%d%d", 1), -1);
    EXPECT_EQ(last_report().number, 236);
    EXPECT_EQ(last_report().text, "Not enough parameters or invalid parameter type.");
    describe({{kDouble, 0, kUnknown}});
    EXPECT_EQ(_UP_Fmt(b, "%s<%d", 1.0), 1);
    r = last_report();
    EXPECT_EQ(r.number, 259);
    EXPECT_EQ(r.argument, 3);
    EXPECT_EQ(r.text, "Parameter type mismatch; expecting  int but found  double.");
    describe({{kInt, 0, kUnknown}});
    EXPECT_EQ(_UP_Scan("5", "%s>%d", 5), -1);
    EXPECT_EQ(last_report().text, "Parameter type mismatch; expecting pointer to  int but found  int.");
    describe({{kPointer, kChar, 4}});
    EXPECT_EQ(_UP_Scan("abcdefgh", "%s>%s", b), -2);
    r = last_report();
    EXPECT_EQ(r.number, 239);
    EXPECT_EQ(r.text, "Attempt to write beyond end of string.");
    describe({{kPointer, kChar, 3}});
    EXPECT_EQ(_UP_Fmt(b, "%s<%s", "ab\0"), 1);  // a terminated string inside its object
    describe({{kPointer, kChar, 3}});
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(_UP_Fmt(b, "%s<%s", unterminated), -2);
    EXPECT_EQ(last_report().number, 242);
    describe({{kInt, 0, kUnknown}}, 2);
    EXPECT_EQ(_UP_Fmt(b, "%s<%d", 12345), -2);
    EXPECT_EQ(last_report().number, 239);
    EXPECT_EQ(last_report().argument, 1);
    EXPECT_EQ(_UP_Fmt(b, "%s<%*d", -3, 1), -1);
    r = last_report();
    EXPECT_EQ(r.number, 256);
    EXPECT_EQ(r.argument, 3);
    EXPECT_EQ(r.text, "Illegal value matched to asterisk.");
    EXPECT_EQ(_UP_Scan("1", "%s>%d", static_cast<int *>(nullptr)), -1);
    EXPECT_EQ(last_report().number, 255);
    EXPECT_EQ(last_report().text, "Null pointer.");
    EXPECT_EQ(_UP_Fmt(b, "%s<%d[r3]", 1), -1);
    r = last_report();
    EXPECT_EQ(r.number, 257);
    EXPECT_EQ(r.text, "Error at or near character 10 in the format string.");
    EXPECT_EQ(v, 0);
}

}  // namespace
