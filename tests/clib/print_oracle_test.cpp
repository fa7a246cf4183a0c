// The printf family against exact references: every precision of hard
// values against their exact decimal expansion; tables of random
// conversions of every kind printed by the build host's printf (always
// Linux, whose printf prints exactly), written at build time by
// printf_oracle.py: the one that prints alike where long is 32 bits
// replayed on every platform (the Windows host's printf is no reference),
// the one with 64-bit long and the long double against the host on Linux.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/exact_decimal.h"

#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

// The engine's snprintf, linked in (its header clashes with the Windows
// host's C headers, so it is declared here).
extern "C" int kez_snprintf(char *buffer, std::size_t limit, const char *format, ...);

namespace {

struct Case {
    std::string format;
    std::vector<int> stars;  // the '*' widths and precisions, in order
    char type = 0;           // the value: i int, l long, q 64-bit, d double, L long double, s string, p pointer
    long long i = 0;
    double d = 0;
    long double ld = 0;
    std::string s;
};

// Calls print(stars..., value) with the case's arguments as their C types.
template <class Print>
int with_arguments(const Case &c, Print &&print) {
    auto value = [&](auto... stars) -> int {
        switch (c.type) {
        case 'i': return print(stars..., static_cast<int>(c.i));
        case 'l': return print(stars..., static_cast<long>(c.i));
        case 'q': return print(stars..., c.i);
        case 'd': return print(stars..., c.d);
        case 'L': return print(stars..., c.ld);
        case 's': return print(stars..., c.s.c_str());
        case 'p': return print(stars..., reinterpret_cast<void *>(static_cast<std::uintptr_t>(c.i)));
        default: return print(stars...);
        }
    };
    switch (c.stars.size()) {
    case 0: return value();
    case 1: return value(c.stars[0]);
    default: return value(c.stars[0], c.stars[1]);
    }
}

char g_out[8192];

std::string engine_print(const Case &c) {
    const int n = with_arguments(c, [&](auto... a) { return kez_snprintf(g_out, sizeof g_out, c.format.c_str(), a...); });
    if (n < 0 || n >= static_cast<int>(sizeof g_out) || g_out[n] != '\0') return "<failed: " + std::to_string(n) + ">";
    return std::string(g_out, static_cast<std::size_t>(n));
}

std::string escape(const std::string &s) {
    std::string out;
    for (const unsigned char ch : s) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", ch);
        out += ch == '\\' ? "\\\\" : ch >= 0x20 && ch < 0x7f ? std::string(1, static_cast<char>(ch)) : hex;
    }
    return out;
}

std::string unescape(const std::string &s) {
    std::string out;
    for (std::size_t k = 0; k < s.size(); ++k) {
        if (s[k] != '\\') {
            out += s[k];
        } else if (s[k + 1] == '\\') {
            out += '\\', ++k;
        } else {
            out += static_cast<char>(std::stoi(s.substr(k + 2, 2), nullptr, 16));
            k += 3;
        }
    }
    return out;
}

// One line: format, expected output, then the arguments ("i:-5",
// "d:<the double's bits in hex>", "s:text"), separated by tabs.
std::string table_line(const Case &c, const std::string &expected) {
    std::string line = escape(c.format) + '\t' + escape(expected);
    for (const int star : c.stars) line += "\ti:" + std::to_string(star);
    char bits[20];
    std::snprintf(bits, sizeof bits, "%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(c.d)));
    line += std::string("\t") + c.type + ':' + (c.type == 'd' ? bits : c.type == 's' ? escape(c.s) : std::to_string(c.i));
    return line;
}

bool parse_line(const std::string &line, Case &c, std::string &expected) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    if (fields.size() < 3) return false;
    c = Case{};
    c.format = unescape(fields[0]);
    expected = unescape(fields[1]);
    for (std::size_t k = 2; k + 1 < fields.size(); ++k) c.stars.push_back(std::stoi(fields[k].substr(2)));
    const std::string &v = fields.back();
    c.type = v[0];
    const std::string payload = v.substr(2);
    if (c.type == 'd') c.d = std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(payload, nullptr, 16)));
    else if (c.type == 's') c.s = unescape(payload);
    else c.i = std::stoll(payload);
    return v.size() >= 2 && v[1] == ':';
}

// Mismatches: the first few in full, then only counted.
struct Mismatches {
    int count = 0;
    void add(const Case &c, const std::string &got, const std::string &want) {
        if (++count <= 12)
            ADD_FAILURE() << "format \"" << escape(c.format) << "\" value " << escape(table_line(c, "")) << "\n  got  \""
                          << escape(got) << "\"\n  want \"" << escape(want) << "\"";
    }
};

// Doubles whose digits are hard at some precision: the extremes, values
// without a short binary form, exact ties, and carries.
const double kHardValues[] = {DBL_MAX, DBL_TRUE_MIN, 0.1, 0.5, 2.5, 1e23, -2.5, 0.125, 0.375, 9.5, 999.5,
                              1.0 + DBL_EPSILON, DBL_MIN, 5e-324 * 3, -0.0, 1e22, 0x1.fffffffffffffp-1, 250.0};

// Every precision the engine takes, for %e and %f.
TEST(PrintOracle, EveryPrecisionOfHardValuesIsExact) {
    Mismatches bad;
    for (const double v : kHardValues) {
        for (int p = 0; p <= 509; ++p) {
            for (const char conversion : {'f', 'e'}) {
                Case c;
                c.format = std::string("%.*") + conversion;
                c.stars = {p};
                c.type = 'd';
                c.d = v;
                const kez::test::Expansion x = kez::test::expand(v);
                const std::string want = conversion == 'f' ? kez::test::exact_fixed(x, std::signbit(v), p)
                                                           : kez::test::exact_exponent(x, std::signbit(v), p);
                const std::string got = engine_print(c);
                if (got != want) bad.add(c, got, want);
#if !defined(_WIN32)
                char host[2048];
                std::snprintf(host, sizeof host, c.format.c_str(), p, v);
                if (want != host) bad.add(c, host, want);
#endif
            }
        }
    }
    EXPECT_EQ(bad.count, 0);
}

// Replays a table the build host printed.
void replay(const char *path, std::size_t at_least) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    ASSERT_GE(lines.size(), at_least) << "the table " << path << " is missing or short";
    Mismatches bad;
    for (const std::string &line : lines) {
        Case c;
        std::string want;
        ASSERT_TRUE(parse_line(line, c, want)) << line;
        const std::string got = engine_print(c);
        if (got != want) bad.add(c, got, want);
    }
    EXPECT_EQ(bad.count, 0);
}

// The cases that print alike where long is 32 bits, on every platform.
TEST(PrintOracle, ReplaysTheTable) { replay(KEZ_PRINTF_ORACLE_DIR "/printf_oracle.txt", 10000); }

#if !defined(_WIN32)

// 100,000 random conversions with the host's 64-bit long.
TEST(PrintOracle, RandomConversionsMatchTheHost) { replay(KEZ_PRINTF_ORACLE_DIR "/printf_oracle_lp64.txt", 100000); }

// %L of the 80-bit long double against the host, at precisions up to 509.
void expect_long_doubles_match(std::initializer_list<long double> values) {
    Mismatches bad;
    for (const long double v : values)
        for (const char *f : {"%.0Lf", "%.30Lf", "%Le", "%.40Le", "%#.12Lg", "%.25Lg", "%+.509Le", "%.509Lf"}) {
            Case c;
            c.format = f;
            c.type = 'L';
            c.ld = v;
            char want[8192];
            std::snprintf(want, sizeof want, f, v);
            const std::string got = engine_print(c);
            if (got != want) bad.add(c, got, want);
        }
    EXPECT_EQ(bad.count, 0);
}

// Values of the double's range and beyond it.
TEST(PrintOracle, LongDoubleMatchesTheHost) {
    expect_long_doubles_match({1.5L, 0.0L, static_cast<long double>(0.1), static_cast<long double>(DBL_MAX),
                               static_cast<long double>(DBL_TRUE_MIN), -1e22L, 0.1L, 1.0L / 3, 1e4000L, -1e-4000L,
                               LDBL_MAX, LDBL_MIN, LDBL_TRUE_MIN, 1.0L + LDBL_EPSILON});
}

#endif  // !_WIN32

}  // namespace
