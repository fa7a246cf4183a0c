// The printf family through its exports: snprintf's limit at every byte,
// sprintf, %n of every size, the engine's field limits and departures from
// C, digits that need the exact conversion, a stream that fails under a
// call, concurrent lines into one stream, the debugger's messages, and the
// twins' checks with their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "support/engine_stdio.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::file_bytes;

using kez::test::clib;
using kez::test::engine_fn;
using kez::test::EngineFile;
using kez::test::stdio;

using SnprintfFn = int(char *, std::size_t, const char *, ...);
using SprintfFn = int(char *, const char *, ...);
using FprintfFn = int(EngineFile *, const char *, ...);
using PrintfFn = int(const char *, ...);
using VsnprintfFn = int(char *, std::size_t, const char *, va_list);

// The engine's printf family and the checked twins, bound on first use.
struct Print {
    SnprintfFn *snprintf = engine_fn<SnprintfFn>(KEZ_TEST_HOST_NAME(snprintf));
    SprintfFn *sprintf = engine_fn<SprintfFn>(KEZ_TEST_HOST_NAME(sprintf));
    FprintfFn *fprintf = engine_fn<FprintfFn>(KEZ_TEST_HOST_NAME(fprintf));
    PrintfFn *debug = engine_fn<PrintfFn>("DebugPrintf"), *error = engine_fn<PrintfFn>("ErrorPrintf");
    PrintfFn *up_printf = engine_fn<PrintfFn>("_UP_printf");
    FprintfFn *up_fprintf = engine_fn<FprintfFn>("_UP_fprintf");
    SprintfFn *up_sprintf = engine_fn<SprintfFn>("_UP_sprintf");
    SnprintfFn *up_snprintf = engine_fn<SnprintfFn>("_UP_snprintf");
    PrintfFn *up_debug = engine_fn<PrintfFn>("_UP_DebugPrintf"), *up_error = engine_fn<PrintfFn>("_UP_ErrorPrintf");
    VsnprintfFn *vsnprintf = engine_fn<VsnprintfFn>(KEZ_TEST_HOST_NAME(vsnprintf));
    int (*vsprintf)(char *, const char *, va_list) = engine_fn<int(char *, const char *, va_list)>(
        KEZ_TEST_HOST_NAME(vsprintf));
    int (*vfprintf)(EngineFile *, const char *, va_list) = engine_fn<int(EngineFile *, const char *, va_list)>(
        KEZ_TEST_HOST_NAME(vfprintf));
    VsnprintfFn *up_vsnprintf = engine_fn<VsnprintfFn>("_UP_vsnprintf");
};

const Print &print() {
    static const Print p;
    return p;
}

constexpr int kENOSPC = 28, kEINVAL = 22, kERANGE = 34;
#if defined(_WIN32)
constexpr unsigned kSysDiskFull = 112;
#else
constexpr unsigned kSysDiskFull = 28;
#endif

// The engine's snprintf into a roomy buffer: the text, or "<-1>" when the
// call fails.
template <class... A>
std::string sn(const char *format, A... args) {
    static char buffer[1 << 17];
    const int n = print().snprintf(buffer, sizeof buffer, format, args...);
    return n < 0 ? "<" + std::to_string(n) + ">" : std::string(buffer, static_cast<std::size_t>(n));
}

// %L's type: the 80-bit long double on Linux, the 8-byte double on Windows
// (whatever the compiler's long double).
#if defined(_WIN32)
using EngineLongDouble = double;
#else
using EngineLongDouble = long double;
#endif

constexpr char kGuard = '\x5a';

bool untouched(const std::vector<char> &buffer, std::size_t from) {
    return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(std::min(from, buffer.size())), buffer.end(),
                       [](char ch) { return ch == kGuard; });
}

TEST(Print, SnprintfKeepsEveryLimitAndTheBytesBehindIt) {
    const auto &p = print();
    const struct {
        std::string want;
        std::function<int(char *, std::size_t)> call;
    } cases[] = {
        {"-42|abc|2.062", [&](char *b, std::size_t n) { return p.snprintf(b, n, "%d|%s|%.3f", -42, "abc", 2.0625); }},
        {"", [&](char *b, std::size_t n) { return p.snprintf(b, n, "%s", ""); }},
        {"0x1f    |+1.50E+00", [&](char *b, std::size_t n) { return p.snprintf(b, n, "%#-8x|%+.2E", 31, 1.5); }},
        {"%|  7|0007|x", [&](char *b, std::size_t n) { return p.snprintf(b, n, "%%|%*d|%.*d|%c", 3, 7, 4, 7, 'x'); }},
        {std::string(300, ' ') + "wide", [&](char *b, std::size_t n) { return p.snprintf(b, n, "%304s", "wide"); }},
    };
    for (const auto &c : cases) {
        const std::size_t length = c.want.size();
        std::vector<std::size_t> limits{SIZE_MAX};
        for (std::size_t limit = 0; limit <= length + 2; ++limit) limits.push_back(limit);
        for (const std::size_t limit : limits) {
            std::vector<char> buffer(length + 16, kGuard);
            ASSERT_EQ(c.call(buffer.data(), limit), static_cast<int>(length)) << c.want << " limit " << limit;
            // The text as far as it fits and its terminator (none for limit 0), nothing behind.
            const std::size_t kept = limit == 0 ? 0 : std::min(limit - 1, length), written = kept + (limit != 0);
            EXPECT_EQ(std::string(buffer.data(), written), c.want.substr(0, kept) + std::string(written - kept, '\0'))
                << "limit " << limit;
            EXPECT_TRUE(untouched(buffer, written)) << c.want << " limit " << limit;
        }
        EXPECT_EQ(c.call(nullptr, 0), static_cast<int>(length));  // only measures
    }
}

TEST(Print, SprintfAndNullBuffersAndFormats) {
    const auto &p = print();
    std::vector<char> buffer(64, kGuard);
    EXPECT_EQ(p.sprintf(buffer.data(), "%s=%05.1f%%", "pi", 3.14159), 9);
    EXPECT_STREQ(buffer.data(), "pi=003.1%");
    EXPECT_TRUE(untouched(buffer, 10));

    // A NULL buffer fails with nothing written; a NULL format prints nothing.
    for (const std::function<int()> &call : std::vector<std::function<int()>>{
             [&] { return p.sprintf(nullptr, "%d", 1); }, [&] { return p.snprintf(nullptr, 1, "%d", 1); },
             [&] { return p.snprintf(nullptr, SIZE_MAX, "x"); }}) {
        clib().set_errno(0);
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(clib().errno_value(), kEINVAL);
    }
    for (const bool limited : {true, false}) {
        std::fill(buffer.begin(), buffer.end(), kGuard);
        EXPECT_EQ(limited ? p.snprintf(buffer.data(), 10, nullptr) : p.sprintf(buffer.data(), nullptr), 0);
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_TRUE(untouched(buffer, 1)) << limited;
    }
    EXPECT_EQ(p.snprintf(nullptr, 0, nullptr), 0);
}

// The count stored as its type: the low bits of 70000 for the short types.
template <class T>
void expect_count(const char *format, long long want) {
    static const std::string text(70000, 'n');
    struct {
        unsigned char before[8];
        T value;
        unsigned char after[8];
    } target;
    std::memset(&target, 0xa5, sizeof target);
    char buffer[8];
    EXPECT_EQ(print().snprintf(buffer, sizeof buffer, format, text.c_str(), &target.value), 70002) << format;
    EXPECT_STREQ(buffer, "nnnnnnn");
    EXPECT_EQ(static_cast<long long>(target.value), want) << format;
    for (int k = 0; k < 8; ++k) EXPECT_TRUE(target.before[k] == 0xa5 && target.after[k] == 0xa5) << format;
}

TEST(Print, PercentNStoresEverySize) {
    expect_count<int>("%s%nxy", 70000);
    expect_count<signed char>("%s%hhnxy", 112);
    expect_count<short>("%s%hnxy", 4464);
    expect_count<long>("%s%lnxy", 70000);
    expect_count<long long>("%s%llnxy", 70000);
    expect_count<long long>("%s%I64nxy", 70000);
    expect_count<std::intmax_t>("%s%jnxy", 70000);
    expect_count<std::ptrdiff_t>("%s%znxy", 70000);
    expect_count<std::ptrdiff_t>("%s%tnxy", 70000);
    int first = -1, second = -1;
    EXPECT_EQ(sn("%nab%n%%c", &first, &second), "ab%c");
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 2);

    // A NULL target fails the call; the text so far stays terminated.
    char buffer[16];
    std::memset(buffer, kGuard, sizeof buffer);
    EXPECT_EQ(print().snprintf(buffer, sizeof buffer, "abc%ndef", static_cast<int *>(nullptr)), -1);
    EXPECT_LT(std::strlen(buffer), sizeof buffer);
    EXPECT_EQ(std::string("abc").compare(0, std::strlen(buffer), buffer), 0) << buffer;
    EXPECT_EQ(print().sprintf(buffer, "%hhn", static_cast<signed char *>(nullptr)), -1);
}

// Width and precision 509 print; 510 fails, from digits or from '*' (a
// string's precision without a width has no limit).
template <class T>
void expect_limits(char letter, T value, int precision_length) {
    const bool string = letter == 's';
    const std::string plain = sn((std::string("%") + letter).c_str(), value);
    const auto f = [letter](const char *head) { return std::string(head) + letter; };
    EXPECT_EQ(sn(f("%509").c_str(), value), std::string(509 - plain.size(), ' ') + plain) << letter;
    EXPECT_EQ(sn(f("%-509").c_str(), value), plain + std::string(509 - plain.size(), ' ')) << letter;
    EXPECT_EQ(sn(f("%*").c_str(), -509, value), plain + std::string(509 - plain.size(), ' ')) << letter;
    EXPECT_EQ(sn(f("%.509").c_str(), value).size(), static_cast<std::size_t>(precision_length)) << letter;
    EXPECT_EQ(sn(f("%.*").c_str(), 509, value).size(), static_cast<std::size_t>(precision_length)) << letter;
    for (const char *head : {"%510", "%-510", "%1.510", "%99999999999999999999"})
        EXPECT_EQ(sn(f(head).c_str(), value), "<-1>") << head << letter;
    for (const int star : {510, -510, INT_MAX, INT_MIN}) EXPECT_EQ(sn(f("%*").c_str(), star, value), "<-1>") << letter;
    EXPECT_EQ(sn(f("%.510").c_str(), value) == "<-1>", !string) << letter;
    EXPECT_EQ(sn(f("%.*").c_str(), 510, value) == "<-1>", !string) << letter;
    EXPECT_EQ(sn(f("%5.*").c_str(), 510, value), "<-1>") << letter;
}

TEST(Print, FieldLimitsOfEveryConversion) {
    for (const char letter : {'d', 'u', 'o', 'x', 'X'}) expect_limits(letter, 7, 509);
    expect_limits('i', -7, 510);
    expect_limits('f', 1.0, 511);
    expect_limits('e', 1.0, 515);
    expect_limits('E', -1.0, 516);
    expect_limits('g', 0.1, 57);
    expect_limits('G', 1.0, 1);
    expect_limits('c', 'c', 1);
    expect_limits('p', reinterpret_cast<void *>(0x1234abcd), 509);
    // %s without a width has no precision limit; with one it keeps within it.
    const std::string s1000(1000, 's');
    expect_limits('s', s1000.c_str() + 997, 3);
    EXPECT_EQ(sn("%.600s", s1000.c_str()), s1000.substr(0, 600));
    EXPECT_EQ(sn("%.*s", 100000, s1000.c_str()), s1000);
    EXPECT_EQ(sn("%600s", "x"), "<-1>");
    EXPECT_EQ(sn("%5s", s1000.c_str() + 400), s1000.substr(0, 600));
    EXPECT_EQ(sn("%509.600s", s1000.c_str()), "<-1>");
}

TEST(Print, StarArgumentsAndIntegerExtremes) {
    const std::pair<std::string, std::string> rows[] = {
        {sn("%*d|%-*d|%*d|", -5, 42, -5, 42, 0, 42), "42   |42   |42|"},
        {sn("%*d", INT_MIN, 42), "<-1>"},
        {sn("%.*d|%.*d|%.*f|%.*e", -1, 0, 0, 0, -3, 1.5, INT_MIN, 1.5), "0||1.500000|1.500000e+00"},
        {sn("%.*s|%08.*d|%08.*d", -1, "hello", -1, -42, 3, -42), "hello|-0000042|    -042"},
        {sn("%d|%+d|%u", INT_MIN, INT_MAX, -1), "-2147483648|+2147483647|4294967295"},
        {sn("%lld|%I64d|%I64d|%jd|%td", LLONG_MIN, LLONG_MIN, LLONG_MAX, LLONG_MIN, PTRDIFF_MIN),
         "-9223372036854775808|-9223372036854775808|9223372036854775807|-9223372036854775808|-9223372036854775808"},
        {sn("%ld|%lu", LONG_MIN, ULONG_MAX), std::to_string(LONG_MIN) + "|" + std::to_string(ULONG_MAX)},
        {sn("%llu|%I64u|%zu", ULLONG_MAX, ULLONG_MAX, SIZE_MAX),
         "18446744073709551615|18446744073709551615|18446744073709551615"},
        {sn("%#llx|%#I64X|%#llo", ULLONG_MAX, ULLONG_MAX, ULLONG_MAX),
         "0xffffffffffffffff|0XFFFFFFFFFFFFFFFF|01777777777777777777777"},
        {sn("%hhd|%hhu|%hd|%hu", 255, -1, 32768, -1), "-1|255|-32768|65535"},
        {sn("%#o|%#.0o|%#x|%.0x|", 0, 0, 0, 0), "0|0|0||"},
        {sn("% d|% 05d|%+.3d", 5, -5, 5), " 5|-0005|+005"},
    };
    for (const auto &[got, want] : rows) EXPECT_EQ(got, want);
}

// DBL_MAX's and 1e300's integer digits, and 2^-1074 to 330 places.
const std::string kDblMaxDigits =
    "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863276687817154"
    "04589535143824642343213268894641827684675467035375169860499105765512820762454900903893289440758685084551"
    "33942304583236903222948165808559332123348274797826204144723168738177180919299881250404026184124858368";
const std::string k1e300Digits =
    "10000000000000000525047602552044202487044685811081591549158541155118024579889081957863713750804478640437"
    "04443832883878176942523235360430575644792184786706982848387200926575803737830233794788090059368953234970"
    "799945081119038967640880074652742780142494579258788820056842838115669472196386865459400540160";

TEST(Print, RealsWithExactDigitsInfinityNaNAndPointers) {
    const double inf = HUGE_VAL, nan = std::nan("");
    void *const abc = reinterpret_cast<void *>(0xabc);
    const std::pair<std::string, std::string> rows[] = {
        {sn("%.250f", 1e300), k1e300Digits + "." + std::string(250, '0')},
        {sn("%.509f", DBL_MAX), kDblMaxDigits + "." + std::string(509, '0')},
        {sn("%.509e", DBL_MAX), "1." + kDblMaxDigits.substr(1) + std::string(509 - 308, '0') + "e+308"},
        {sn("%.330f", 4.94e-324), "0." + std::string(323, '0') + "4940656"},
        {sn("%.3g|%#.3g|%#g|%#.3g", 999.9, 999.9, 999999.5, 9.9999), "1e+03|1.00e+03|1.00000e+06|10.0"},
        {sn("%g|%g|%g|%g", 100000.0, 1e6, 0.0001, 0.00001), "100000|1e+06|0.0001|1e-05"},
        {sn("%.0g|%#.0f|%.0e|%.0f|%.0f", 0.0, 1.0, 2.5, 0.5, 1.5), "0|1.|2e+00|0|2"},
        {sn("%.2f|%.2f|%5.1f|%.1f", 0.125, 0.375, 0.05, 0.25), "0.12|0.38|  0.1|0.2"},
        {sn("%e|%.3e|%G", 0.0, -0.0, 1e-10), "0.000000e+00|-0.000e+00|1E-10"},
        {sn("%010.2f|% .3e|%+g", -1.5, 12345.0, 0.5), "-000001.50| 1.234e+04|+0.5"},
        {sn("%.3e|%.17g|%.0f", 1e-300, 0.1, 1e23), "1.000e-300|0.10000000000000001|99999999999999991611392"},
        {sn("%lf|%Lf|%Le", 2.5, EngineLongDouble{2.5}, EngineLongDouble{-0.125}), "2.500000|2.500000|-1.250000e-01"},
        // The engine's forms of infinity, NaN and pointers.
        {sn("%6f|%-6f|%06f|%-05e|%#.0f", inf, inf, inf, -inf, inf), "  +Inf|+Inf  |  +Inf|-Inf |+Inf"},
        {sn("%f|%e|% f|%+E", inf, -inf, inf, inf), "+Inf|-Inf|+Inf|+Inf"},
        {sn("%G|%g|%f|%+8.3g", nan, -nan, nan, nan), "NaN|NaN|NaN|     NaN"},
        {sn("%.600f", inf), "<-1>"},
        {sn("%p|%10p|%-10p|%p", reinterpret_cast<void *>(0x1234abcd), abc, abc, static_cast<void *>(nullptr)),
         "1234abcd|       abc|abc       |0"},
        {sn("%s", static_cast<const char *>(nullptr)), "<-1>"},
    };
    for (const auto &[got, want] : rows) EXPECT_EQ(got, want);
}

// With a two-byte code page a precision never splits a character, and a
// trail byte that equals '%' is text.
TEST(Print, TwoByteCharactersStayWhole) {
    const unsigned char ranges[] = {0x81, 0x9f, 0xe0, 0xfc, 0};
    KezTest_SetLeadBytes(932, ranges);
    const std::pair<std::string, std::string> rows[] = {
        {sn("%.1s|%.2s|%.3s|%.4s", "a\x81\x41z", "a\x81\x41z", "a\x81\x41z", "a\x81\x41z"),
         "a|a|a\x81\x41|a\x81\x41z"},
        {sn("%5.2s|%.1s|%.3s|", "\x81\x41\x81\x41", "\x81\x41", "\x81\x41\x81\x41"), "   \x81\x41||\x81\x41|"},
        {sn("\xe0%d%d", 1), "\xe0%d1"},
    };
    KezTest_SetLeadBytes(0, nullptr);
    for (const auto &[got, want] : rows) EXPECT_EQ(got, want);
    EXPECT_EQ(sn("%.2s|\xe0%d", "\x81\x41\x81", 1), "\x81\x41|\xe0" "1");  // single bytes again
}

// Totals past INT_MAX fail with ERANGE; snprintf still counts them.
TEST(Print, TotalsPastIntMaxFail) {
    const std::string mb(1 << 20, 'm');
    std::string format;
    for (int k = 0; k < 2048; ++k) format += "%s";
    // 2048 arguments of one MiB each: 2^31 bytes, one past INT_MAX.
    std::vector<const char *> a(2048, mb.c_str());
    char buffer[4];
    clib().set_errno(0);
    const int n = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return print().snprintf(buffer, sizeof buffer, format.c_str(), a[I]...);
    }(std::make_index_sequence<2048>());
    EXPECT_EQ(n, -1);
    EXPECT_EQ(clib().errno_value(), kERANGE);
    EXPECT_STREQ(buffer, "mmm");
    clib().set_errno(0);
    EXPECT_EQ(print().snprintf(buffer, sizeof buffer, "%s%s", mb.c_str(), mb.c_str()), 2 << 20);
    EXPECT_EQ(clib().errno_value(), 0);
}

class PrintStream : public ::testing::Test {
protected:
    kez::test::TempDir dir;
};

// The va_list forms through a variadic caller.
int v_call(int (*print_list)(va_list, void *), void *target, ...) {
    va_list args;
    va_start(args, target);
    const int n = print_list(args, target);
    va_end(args);
    return n;
}

// A stream, staged or not, and the va_list forms get what snprintf formats,
// in pieces shorter and longer than the stream's stage and buffer.
constexpr const char *kLong = "%s|%509d|%-509.3e|%.509f|%c%%\n";

TEST_F(PrintStream, EveryFormGetsTheSameText) {
    const auto &s = stdio();
    const auto &p = print();
    const std::string text(5000, 'q');
    const auto with_args = [&](auto &&call) { return call(text.c_str(), -7, 0.5, DBL_MAX, 'z'); };
    const std::string want = with_args([](auto... a) { return sn(kLong, a...); });
    ASSERT_EQ(want.size(), 5000u + 1 + 509 + 1 + 509 + 1 + 819 + 1 + 3);
    for (const int mode : {0, 2}) {  // unbuffered, fully buffered
        const std::string path = dir.file("same" + std::to_string(mode));
        EngineFile *f = s.fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(s.setvbuf(f, nullptr, mode, 512), 0);
        EXPECT_EQ(with_args([&](auto... a) { return p.fprintf(f, kLong, a...); }), static_cast<int>(want.size()));
        EXPECT_EQ(with_args([&](auto... a) {
                      return v_call([](va_list l, void *t) { return print().vfprintf(t, kLong, l); }, f, a...);
                  }),
                  static_cast<int>(want.size()));
        EXPECT_EQ(s.fclose(f), 0);
        EXPECT_EQ(file_bytes(path), want + want) << mode;
    }
    std::vector<char> buffer(want.size() + 1);
    v_call([](va_list l, void *b) { return print().vsprintf(static_cast<char *>(b), "%d|%s", l); }, buffer.data(), 5, "x");
    EXPECT_STREQ(buffer.data(), "5|x");
    v_call([](va_list l, void *b) { return print().vsnprintf(static_cast<char *>(b), 3, "%d|%s", l); }, buffer.data(), 5, "x");
    EXPECT_STREQ(buffer.data(), "5|");
    EXPECT_EQ(v_call([](va_list l, void *b) { return print().up_vsnprintf(static_cast<char *>(b), 9, "%05.1f", l); },
                     buffer.data(), 2.25),
              5);
    EXPECT_STREQ(buffer.data(), "002.2");
}

TEST_F(PrintStream, AFailingWriteFailsTheCall) {
    const auto &s = stdio();
    const std::string path = dir.file("fail");
    EngineFile *f = s.fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(s.setvbuf(f, nullptr, 0, 0), 0);  // unbuffered: each piece goes to the file
    const std::string text(3000, 't');
    // The first write of the call fails, then a later one.
    for (const int skip : {0, 1}) {
        KezTest_ArmFaultEx("os.file_write", 1, skip, kSysDiskFull);
        clib().set_errno(0);
        EXPECT_EQ(print().fprintf(f, "%s|%d", text.c_str(), 5), -1) << skip;
        EXPECT_EQ(clib().errno_value(), kENOSPC);
        EXPECT_NE(s.ferror(f), 0);
        s.clearerr(f);
    }
    KezTest_ArmFaultEx("os.file_write", 0, 0, 0);
    EXPECT_EQ(print().fprintf(f, "<%s>", "ok"), 4);
    EXPECT_EQ(print().fprintf(f, nullptr), 0);
    EXPECT_EQ(s.fclose(f), 0);
    const std::string written = file_bytes(path);
    // No more than what went out before the second failure, then the last call.
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(written.substr(written.size() - 4), "<ok>");
    EXPECT_LE(written.size(), text.size() + 4);
    EXPECT_EQ(written.find_first_not_of('t'), written.size() - 4);

    // A stream open for reading takes no output, and no stream none.
    f = s.fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(print().fprintf(f, "%d", 1), -1);
    s.fclose(f);
    EXPECT_EQ(print().fprintf(nullptr, "%d", 1), -1);
}

// Lines from many threads into one stream stay whole: each call holds the
// stream's lock.
TEST_F(PrintStream, ConcurrentLinesStayWhole) {
    constexpr int kThreads = 8, kLines = 10000;
    kez::test::Watchdog watchdog(std::chrono::seconds(300), "concurrent fprintf");
    const auto &s = stdio();
    const std::string path = dir.file("lines");
    EngineFile *f = s.fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const auto value = [](int t, int n) { return (t * kLines + n) * 1.0000001 / 3 - 5000; };
    const char *const kFormat = "%d %d %.17g %e %-9s|\n";
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n) print().fprintf(f, kFormat, t, n, value(t, n), value(t, n), "line");
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(s.fclose(f), 0);

    const std::string text = file_bytes(path);
    std::set<long> seen;
    std::size_t at = 0;
    int bad = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "a partial last line";
        const std::string line = text.substr(at, end + 1 - at);
        at = end + 1;
        int t = -1, n = -1;
        if (std::sscanf(line.c_str(), "%d %d", &t, &n) != 2 || t < 0 || t >= kThreads || n < 0 || n >= kLines ||
            line != sn(kFormat, t, n, value(t, n), value(t, n), "line") || !seen.insert(t * kLines + n).second) {
            if (++bad <= 5) ADD_FAILURE() << "bad line: " << line;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

std::string last_debugger_output(unsigned &count) {
    char text[4096];
    count = KezTest_LastDebuggerOutput(text, sizeof text);
    return text;
}

TEST(Print, DebuggerMessagesHaveALimit) {
    const auto &p = print();
    const std::string d1024(1024, 'd'), e1011(1011, 'e');
    const struct {
        std::function<int()> call;
        int result;
        std::string message;  // empty: nothing sent
    } rows[] = {
        {[&] { return p.debug("%s", d1024.c_str()); }, 1024, d1024},
        {[&] { return p.debug("%s!", d1024.c_str()); }, -1, ""},
        {[&] { return p.debug("a%cb%c", 0, 0); }, 4, "a b "},
        {[&] { return p.debug("%d|%.2f", 7, 0.125); }, 6, "7|0.12"},
        {[&] { return p.debug(nullptr); }, 0, ""},
        {[&] { return p.debug("%q"); }, -1, ""},
        {[&] { return p.error("%s", e1011.c_str()); }, 1011, "KEZERRPRINTF:" + e1011},
        {[&] { return p.error("%s!", e1011.c_str()); }, -1, ""},
        {[&] { return p.error("x"); }, 1, "KEZERRPRINTF:x"},
        {[&] { return p.error("%c", 0); }, 1, "KEZERRPRINTF: "},
        {[&] { return p.up_debug("%s", d1024.c_str()); }, 1024, d1024},
        {[&] { return p.up_error("%s", e1011.c_str()); }, 1011, "KEZERRPRINTF:" + e1011},
    };
    for (const auto &row : rows) {
        unsigned before = 0, after = 0;
        last_debugger_output(before);
        EXPECT_EQ(row.call(), row.result) << row.message.substr(0, 20);
        const std::string sent = last_debugger_output(after);
        EXPECT_EQ(after, before + (row.message.empty() ? 0 : 1)) << row.message.substr(0, 20);
        if (!row.message.empty()) {
            EXPECT_EQ(sent, row.message);
        }
    }
}

// ---- the twins' checks -------------------------------------------------------------

struct Report {
    unsigned count;
    int severity, number, argument;
    std::string text;
};

Report last_report() {
    Report r{};
    char text[1024];
    r.count = KezTest_LastArgumentReport(&r.severity, &r.number, &r.argument, text, sizeof text);
    r.text = text;
    return r;
}

// Exactly one report since `before`, with these fields.
void expect_report(unsigned before, int number, int argument, int severity, const std::string &text) {
    const Report r = last_report();
    EXPECT_EQ(std::make_tuple(r.count, r.number, r.argument, r.severity, r.text),
              std::make_tuple(before + 1, number, argument, severity, text));
}

// The engine's passed-argument types (kez::protect::PassedType).
constexpr int kCharType = 1, kIntType = 6, kPointer = 16;
constexpr unsigned long long kUnknown = ~0ull;

void describe(std::initializer_list<KezTestPassedArgument> arguments, unsigned long long fixed = kUnknown) {
    ASSERT_EQ(KezTest_PassArguments(static_cast<int>(arguments.size()), arguments.begin(), fixed), 0);
}

class CheckedPrint : public ::testing::Test {
protected:
    void SetUp() override { KezTest_SetDebuggingLevel(2); }
    void TearDown() override { KezTest_SetDebuggingLevel(0); }
};

constexpr int kFatal = 3, kNonFatal = 2;

TEST_F(CheckedPrint, EachMessageWithItsTextAndArgument) {
    const auto &p = print();
    char b[64];
    char tail[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', '\0'};
    const KezTestPassedArgument integer{kIntType, 0, kUnknown}, string{kPointer, kCharType, kUnknown},
        four_bytes{kPointer, kCharType, 4};
    const char *const h = " modifier is only valid with d, i, n, o, u, and x specifiers.";
    const struct {
        std::optional<std::vector<KezTestPassedArgument>> passed;  // what the call describes
        std::function<int()> call;
        int result, number, argument, severity;
        std::string text;
    } rows[] = {
        {{}, [&] { return p.up_sprintf(b, "%q"); }, -1, 258, 2, kFatal,
         "Error at or near character 2 in the format string: Unknown specifier."},
        {{}, [&] { return p.up_snprintf(b, sizeof b, "ab%5"); }, -1, 258, 3, kFatal,
         "Error at or near character 5 in the format string: Unexpected end of format string."},
        {{}, [&] { return p.up_debug("%d%y", 1); }, -1, 258, 1, kFatal,
         "Error at or near character 4 in the format string: Unknown specifier."},
        {{}, [&] { return p.up_sprintf(b, "%hs", "x"); }, 1, 224, 2, kNonFatal, std::string("h") + h},
        {{}, [&] { return p.up_sprintf(b, "%Ld", 5LL); }, 1, 226, 2, kNonFatal,
         "L modifier is only valid with e, f, and g specifiers."},
        {{}, [&] { return p.up_sprintf(b, "%lc", 'x'); }, 1, 227, 2, kNonFatal, std::string("l") + h},
        {{}, [&] { return p.up_sprintf(b, "%I64s", "x"); }, 1, 228, 2, kNonFatal, std::string("I64") + h},
        {{}, [&] { return p.up_sprintf(b, "%#d", 5); }, 1, 229, 2, kNonFatal,
         "# flag is valid only with o, x, e, f, and g specifiers."},
        {{}, [&] { return p.up_sprintf(b, "%05s", "x"); }, 5, 230, 2, kNonFatal,
         "0 flag is not valid with c, s, p, and n modifiers."},
        {{}, [&] { return p.up_sprintf(b, "%jc", 'x'); }, 1, 453, 2, kNonFatal, std::string("j") + h},
        {{}, [&] { return p.up_sprintf(b, "%zf", 1.0); }, 8, 454, 2, kNonFatal,
         "z and t modifiers are only valid with d, i, n, o, u, x, and X specifiers."},
        {{}, [&] { return p.up_sprintf(b, "%hhs", "x"); }, 1, 460, 2, kNonFatal, std::string("hh") + h},
        {{}, [&] { return p.up_sprintf(b, "%510d", 1); }, -1, 249, 2, kFatal, "Maximum field width has been exceeded."},
        {{}, [&] { return p.up_snprintf(b, sizeof b, "%*d", INT_MIN, 1); }, -1, 249, 3, kFatal,
         "Maximum field width has been exceeded."},
        {{}, [&] { return p.up_sprintf(b, nullptr); }, 0, 233, 2, kFatal, "Uninitialized string."},
        {{}, [&] { return p.up_printf(nullptr); }, 0, 233, 1, kFatal, "Uninitialized string."},
        {{{integer}}, [&] { return p.up_sprintf(b, "%s", 5LL); }, -1, 106, 3, kFatal,
         "Invalid argument type: found 'int', expected 'pointer to char'."},
        // A value of the wrong type is still printed.
        {{{string}}, [&] { return p.up_sprintf(b, "%d", reinterpret_cast<const char *>(1234)); }, 4, 106, 3, kFatal,
         "Invalid argument type: found 'pointer to char', expected 'int'."},
        // 107 stands at the last argument passed.
        {{{integer}}, [&] { return p.up_sprintf(b, "%d %d", 1); }, -1, 107, 3, kFatal,
         "Missing argument to variable argument function."},
        {{{}}, [&] { return p.up_snprintf(b, sizeof b, "%d", 1); }, -1, 107, 3, kFatal,
         "Missing argument to variable argument function."},
        {{{integer, integer, integer}}, [&] { return p.up_printf("%d%d\n", 1, 2, 3); }, 3, 108, 4, kNonFatal,
         "Too many arguments to variable argument function."},
        {{{four_bytes}}, [&] { return p.up_sprintf(b, "%s", tail); }, -1, 242, 3, kFatal,
         "Attempt to read beyond end of string."},
        {{{four_bytes}}, [&] { return p.up_sprintf(b, "%.5s", tail); }, -1, 242, 3, kFatal,
         "Attempt to read beyond end of string."},
    };
    for (const auto &row : rows) {
        const unsigned before = last_report().count;
        if (row.passed) {
            ASSERT_EQ(KezTest_PassArguments(static_cast<int>(row.passed->size()), row.passed->data(), kUnknown), 0);
        }
        EXPECT_EQ(row.call(), row.result) << row.text;
        expect_report(before, row.number, row.argument, row.severity, row.text);
    }
}

// Calls that match what they describe report nothing; with protection off
// the twins only print, whatever the call.
TEST_F(CheckedPrint, WellDescribedOrUnprotectedCallsReportNothing) {
    const auto &p = print();
    char b[64];
    char tail[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', '\0'};
    const unsigned before = last_report().count;
    describe({{kIntType, 0, kUnknown}});
    EXPECT_EQ(p.up_sprintf(b, "%s", 0LL), -1);  // a null pointer constant is a pointer: only NULL %s fails
    describe({{kPointer, kCharType, 8}});
    EXPECT_EQ(p.up_sprintf(b, "%s", tail), 7);
    describe({{kPointer, kCharType, 4}});
    EXPECT_EQ(p.up_sprintf(b, "%.4s", tail), 4);
    describe({{kPointer, kCharType, kUnknown}, {kIntType, 0, kUnknown}}, 6);
    EXPECT_EQ(p.up_sprintf(b, "%s%d", "abcd", 5), 5);
    EXPECT_STREQ(b, "abcd5");
    EXPECT_EQ(p.up_snprintf(b, 4, "%s", "abcdef"), 6);
    EXPECT_STREQ(b, "abc");
    EXPECT_EQ(p.up_sprintf(b, "%05p", reinterpret_cast<void *>(0xab)), 5);  // zero padding is %x's
    EXPECT_STREQ(b, "000ab");
    EXPECT_EQ(last_report().count, before);

    KezTest_SetDebuggingLevel(0);
    EXPECT_EQ(p.up_sprintf(b, "%q"), -1);
    EXPECT_EQ(p.up_sprintf(b, "%hs|%#d", "x", 5), 3);
    EXPECT_EQ(p.up_sprintf(b, nullptr), 0);
    EXPECT_EQ(p.up_snprintf(b, sizeof b, "%510d", 1), -1);
    EXPECT_EQ(p.up_debug("%d", 1), 1);
    EXPECT_EQ(last_report().count, before);
}

TEST_F(CheckedPrint, SprintfStopsAtTheKnownSizeOfItsBuffer) {
    std::vector<char> buffer(32, kGuard);
    describe({{kPointer, kCharType, kUnknown}, {kPointer, kCharType, kUnknown}}, 8);
    const unsigned before = last_report().count;
    EXPECT_EQ(print().up_sprintf(buffer.data(), "%s%s", "0123", "456789abc"), -1);
    expect_report(before, 239, 1, kFatal, "Attempt to write beyond end of string.");
    // Terminated within the known size, a part of the text; nothing behind.
    ASSERT_LT(std::strlen(buffer.data()), 8u);
    EXPECT_EQ(std::string("0123456789abc").compare(0, std::strlen(buffer.data()), buffer.data()), 0) << buffer.data();
    EXPECT_TRUE(untouched(buffer, 8));
    // The failure is the twin's library error too.
    char function[64] = {}, message[256] = {};
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, message, sizeof message), -1);
    EXPECT_STREQ(function, "sprintf");
}

}  // namespace
