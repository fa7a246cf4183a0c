// The printf family against exact references: random conversions of every
// kind compared byte for byte with the host's printf (Linux, whose printf
// prints exactly); every precision of hard values against their exact
// decimal expansion; and a table of cases printed by the build host's
// printf (always Linux), written at build time by printf_oracle.py, that
// every platform replays (the Windows host's printf is no reference). The
// engine's own forms are mapped for the host: I64 is ll, %p is %llx without
// its flags. Infinities and NaN are not generated.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
    // What the generator chose, for the host's known slip.
    char conversion = 0;
    int precision = -1;
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

std::vector<std::string> table_lines() {
    std::ifstream in(KEZ_PRINTF_ORACLE_TABLE, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
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

// ---- the exact decimal expansion of a double, printed as %.*f and %.*e -------

struct Expansion {
    std::string whole, fraction;  // "0" below 1; the fraction without trailing zeros
};

Expansion expand(double v) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v) & ~(std::uint64_t{1} << 63);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e = static_cast<int>(bits >> 52);
    if (e == 0) e = -1074;
    else m |= std::uint64_t{1} << 52, e -= 1075;
    // m * 2^e in base 10^9 limbs, lowest first: 2^e as a product, 2^-e as 5^-e over 10^-e.
    std::vector<std::uint64_t> n{m % 1000000000, m / 1000000000 % 1000000000, m / 1000000000000000000};
    const auto times = [&n](std::uint64_t f) {
        std::uint64_t carry = 0;
        for (auto &x : n) carry += x * f, x = carry % 1000000000, carry /= 1000000000;
        for (; carry != 0; carry /= 1000000000) n.push_back(carry % 1000000000);
    };
    for (int k = e; k > 0; k -= 20) times(std::uint64_t{1} << (k < 20 ? k : 20));
    for (int k = -e; k > 0; k -= 12) times(k < 12 ? static_cast<std::uint64_t>(std::pow(5, k)) : 244140625);
    std::string s;
    for (const auto x : n) {
        const std::string limb = std::to_string(x);
        s.insert(0, std::string(9 - limb.size(), '0') + limb);
    }
    const std::size_t places = e < 0 ? static_cast<std::size_t>(-e) : 0;
    if (s.size() <= places) s.insert(0, places + 1 - s.size(), '0');
    Expansion x{s.substr(0, s.size() - places), s.substr(s.size() - places)};
    x.whole.erase(0, std::min(x.whole.find_first_not_of('0'), x.whole.size() - 1));
    x.fraction.erase(x.fraction.find_last_not_of('0') + 1);
    return x;
}

// `kept` rounded half to even by `dropped`; a carry out of the first digit
// adds a digit in front.
std::string round_even(std::string kept, const std::string &dropped) {
    const bool odd = !kept.empty() && (kept.back() - '0') % 2 != 0;
    const bool above_half = dropped.size() > 1 || (!dropped.empty() && dropped[0] > '5');
    if (dropped.empty() || dropped[0] < '5' || (!above_half && dropped[0] == '5' && !odd)) return kept;
    std::size_t k = kept.size();
    for (; k > 0 && kept[k - 1] == '9'; --k) kept[k - 1] = '0';
    if (k == 0) return "1" + kept;
    ++kept[k - 1];
    return kept;
}

std::string exact_fixed(double v, int p) {
    const Expansion x = expand(v);
    std::string fraction = x.fraction;
    fraction.resize(std::max(fraction.size(), static_cast<std::size_t>(p)), '0');
    const std::string all = round_even(x.whole + fraction.substr(0, p), fraction.substr(p));
    const std::size_t point = all.size() - p;
    return (std::signbit(v) ? "-" : "") + all.substr(0, point) + (p > 0 ? "." + all.substr(point) : "");
}

std::string exact_exponent(double v, int p) {
    const Expansion x = expand(v);
    std::string all = x.whole + x.fraction;
    const std::size_t first = std::min(all.find_first_not_of('0'), all.size() - 1);
    int exponent = v == 0 ? 0 : static_cast<int>(x.whole.size()) - static_cast<int>(first) - 1;
    all = all.substr(first);
    all.resize(std::max(all.size(), static_cast<std::size_t>(p) + 1), '0');
    std::string d = round_even(all.substr(0, p + 1), all.substr(p + 1));
    if (d.size() > static_cast<std::size_t>(p) + 1) d.pop_back(), ++exponent;
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return (std::signbit(v) ? "-" : "") + d.substr(0, 1) + (p > 0 ? "." + d.substr(1) : "") + tail;
}

// Doubles whose digits are hard at some precision: the extremes, values
// without a short binary form, exact ties, and carries.
const double kHardValues[] = {DBL_MAX, DBL_TRUE_MIN, 0.1, 0.5, 2.5, 1e23, -2.5, 0.125, 0.375, 9.5, 999.5,
                              1.0 + DBL_EPSILON, DBL_MIN, 5e-324 * 3, -0.0, 1e22, 0x1.fffffffffffffp-1};

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
                const std::string want = conversion == 'f' ? exact_fixed(v, p) : exact_exponent(v, p);
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

// The table the build host printed, on every platform.
TEST(PrintOracle, ReplaysTheTable) {
    const std::vector<std::string> lines = table_lines();
    ASSERT_GE(lines.size(), 3000u) << "the table " << KEZ_PRINTF_ORACLE_TABLE << " is missing or short";
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

#if !defined(_WIN32)

// ---- the host as the reference (Linux) ----------------------------------------

std::string host_print(Case c) {
    // The engine's forms in the host's terms: I64 is ll; %p is the bare
    // hexadecimal of the address, as %llx (the generator gives %p no flags
    // that would differ).
    if (const auto at = c.format.find("I64"); at != std::string::npos) c.format.replace(at, 3, "ll");
    if (c.type == 'p') c.format.replace(c.format.rfind('p'), 1, "llx"), c.type = 'q';
    char out[8192];
    const int n = with_arguments(c, [&](auto... a) { return std::snprintf(out, sizeof out, c.format.c_str(), a...); });
    return n < 0 || n >= static_cast<int>(sizeof out) ? "<host failed>" : std::string(out, static_cast<std::size_t>(n));
}

// The host's one departure from C met here: %#g drops the zeros when the
// rounding carries into the power of ten that equals the precision
// ("%#.3g" of 999.9 prints "1.e+03" where C has "1.00e+03").
bool host_slips(const Case &c) {
    if (c.type != 'd' || (c.conversion != 'g' && c.conversion != 'G') || c.format.find('#') == std::string::npos)
        return false;
    const int p = c.precision < 0 ? 6 : std::max(c.precision, 1);
    if (p < 2) return false;
    char rounded[1024];
    std::snprintf(rounded, sizeof rounded, "%.*e", p - 1, std::fabs(c.d));
    return std::atoi(std::strchr(rounded, 'e') + 1) == p &&
           std::fabs(c.d) < std::strtod(("1e" + std::to_string(p)).c_str(), nullptr);
}

class Gen {
public:
    explicit Gen(std::uint64_t seed) : rng_(seed) {}
    std::uint64_t bits() { return rng_(); }
    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    bool one_in(int n) { return below(n) == 0; }
    template <class T, std::size_t N>
    T pick(const T (&items)[N]) {
        return items[below(static_cast<int>(N))];
    }

private:
    std::mt19937_64 rng_;
};

long long random_integer(Gen &g) {
    static const long long kEdges[] = {0, 1, -1, 7, 8, 9, 10, 15, 16, 99, 100, 127, 128, 255, 256, -128, -129,
                                       32767, 32768, 65535, 65536, -32768, -32769, INT_MAX, INT_MIN, UINT_MAX,
                                       1LL << 32, 999999999, 99999999999LL, -100000, 4095, LLONG_MAX, LLONG_MIN,
                                       -LLONG_MAX, 1LL << 62, -(1LL << 61)};
    switch (g.below(4)) {
    case 0: return g.pick(kEdges);
    case 1: return static_cast<long long>(g.bits() >> g.below(64));  // every magnitude, the top bit too
    case 2: return -static_cast<long long>(g.bits() >> (1 + g.below(63)));
    default: return g.below(2001) - 1000;
    }
}

double power_of_ten(int k) { return std::strtod(("1e" + std::to_string(k)).c_str(), nullptr); }

double random_double(Gen &g) {
    double v = 0;
    switch (g.below(8)) {
    case 0:
        do v = std::bit_cast<double>(g.bits());
        while (!std::isfinite(v));
        return v;
    case 1: v = std::bit_cast<double>(g.bits() >> (12 + g.below(52))); break;  // subnormal
    case 2: v = std::bit_cast<double>((std::uint64_t{0x7c0} + g.below(0x3f)) << 52 | g.bits() >> 12); break;  // huge
    case 3:  // an odd multiple of a power of two: a tie at some precision
        v = std::ldexp(static_cast<double>(2 * (g.bits() >> (40 + g.below(24))) + 1), -1 - g.below(40));
        break;
    case 4:  // a power of ten or a neighbour
        v = power_of_ten(g.below(632) - 323);
        if (g.one_in(3)) v = std::nextafter(v, g.one_in(2) ? 0.0 : HUGE_VAL);
        break;
    case 5:  // just below a power of ten: rounding carries into a new digit
        v = power_of_ten(g.below(40) - 20);
        v -= v * std::ldexp(1.0, -1 - g.below(52));
        break;
    case 6: v = static_cast<double>(g.below(2000001) - 1000000) / power_of_ten(g.below(8)); break;
    default: {
        static const double kEdges[] = {0.0,   1.0,  0.5,  DBL_MAX, DBL_MIN, DBL_TRUE_MIN, DBL_EPSILON, 999.9, 9.5,
                                        0.05,  99999.5, 1e15, 1e16, 1e17, 123456789.0, 0.1, 0.2, 0.3, 2.5, 0.125};
        v = g.pick(kEdges);
    }
    }
    return g.one_in(3) ? -v : v;
}

std::string random_string(Gen &g) {
    static const char kAlphabet[] = "abcXYZ019 .-%\t\x7f\x80\xff";
    std::string s(static_cast<std::size_t>(g.one_in(20) ? g.below(700) : g.below(30)), ' ');
    for (char &ch : s) ch = kAlphabet[g.below(sizeof kAlphabet - 1)];
    return s;
}

// A format of one conversion, with literal text around it, and its
// arguments (printf_oracle.py draws the table's cases the same way, with
// long kept to 32 bits).
Case random_case(Gen &g) {
    static const char kConversions[] = "diuoxXfeEgGcsp";
    static const char *const kIntegerLengths[] = {"", "", "", "hh", "h", "l", "ll", "j", "z", "t", "I64"};
    static const char *const kLiterals[] = {"", "", "", "<", ">|", "%%", " = ", "[%%]"};
    Case c;
    const char conversion = kConversions[g.below(sizeof kConversions - 1)];
    c.conversion = conversion;
    const bool integer = std::strchr("diuoxX", conversion) != nullptr;
    const bool real = std::strchr("feEgG", conversion) != nullptr;
    std::string f = "%";
    for (int n = g.below(4); n > 0; --n) {
        // C leaves '#' to o, x and the reals, '0' away from c, s and p.
        const char flag = "+-#0 "[g.below(5)];
        if ((flag == '#' && !real && !std::strchr("oxX", conversion)) || (flag == '0' && std::strchr("csp", conversion)))
            continue;
        f += flag;
    }
    // Mostly small, now and then up to the engine's limit.
    const auto count = [&g](int small) { return g.one_in(30) ? small + g.below(510 - small) : g.below(small + 1); };
    switch (g.below(5)) {
    case 0:
    case 1: break;
    case 2:
    case 3: f += std::to_string(std::max(1, count(40))); break;
    default:
        f += '*';
        c.stars.push_back(g.one_in(3) ? -count(40) : count(40));  // negative: left-justified
    }
    if (!std::strchr("cp", conversion)) {  // C gives %c and %p no precision
        switch (g.below(6)) {
        case 0:
        case 1: break;
        case 2: f += '.', c.precision = 0; break;
        case 3:
        case 4: c.precision = count(40), f += '.' + std::to_string(c.precision); break;
        default: {
            const int p = g.one_in(4) ? -1 - g.below(20) : count(40);  // negative: no precision
            f += ".*";
            c.stars.push_back(p);
            c.precision = p < 0 ? -1 : p;
        }
        }
    }
    const std::string length = integer ? kIntegerLengths[g.below(11)] : real && g.one_in(8) ? "l" : "";
    c.format = std::string(g.pick(kLiterals)) + f + length + conversion + g.pick(kLiterals);
    if (integer) {
        c.i = random_integer(g);
        c.type = length.empty() || length == "hh" || length == "h" ? 'i' : length == "l" ? 'l' : 'q';
        if (c.type == 'i') c.i = static_cast<int>(c.i);
    } else if (real) {
        c.type = 'd';
        c.d = random_double(g);
    } else if (conversion == 'c') {
        c.type = 'i';
        c.i = g.below(256);
    } else if (conversion == 's') {
        c.type = 's';
        c.s = random_string(g);
    } else {
        c.type = 'p';
        c.i = g.one_in(10) ? 0 : static_cast<long long>(g.bits() >> g.below(64));
    }
    return c;
}

TEST(PrintOracle, RandomConversionsMatchTheHost) {
    Gen g(20240611);
    Mismatches bad;
    int compared = 0, slipped = 0;
    for (int k = 0; k < 100000; ++k) {
        const Case c = random_case(g);
        if (host_slips(c)) {
            ++slipped;
            continue;
        }
        ++compared;
        const std::string want = host_print(c), got = engine_print(c);
        if (got != want) bad.add(c, got, want);
    }
    EXPECT_EQ(bad.count, 0);
    EXPECT_LT(slipped, 200);  // the exclusion stays narrow
    EXPECT_GT(compared, 99800);
}

// %L of the 80-bit long double against the host, at precisions up to 509.
void expect_long_doubles_match(std::initializer_list<long double> values) {
    Mismatches bad;
    for (const long double v : values)
        for (const char *f : {"%.0Lf", "%.30Lf", "%Le", "%.40Le", "%#.12Lg", "%.25Lg", "%+.509Le", "%.509Lf"}) {
            Case c;
            c.format = f;
            c.type = 'L';
            c.ld = v;
            const std::string want = host_print(c), got = engine_print(c);
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
