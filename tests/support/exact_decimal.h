// The exact decimal expansion of a double (plain base-10^9 arithmetic) and
// its rounding half to even, printed as %.*f and %.*e print: the oracle of
// the digit conversions and of the printf family.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kez::test {

// The magnitude: integer digits ("0" below 1) and the fraction without trailing zeros.
struct Expansion {
    std::string whole, fraction;
};

inline Expansion expand(double v) {
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

// `kept` rounded half to even by the `dropped` digits; a carry out of the
// first digit adds a 1 in front.
inline std::string round_even(std::string kept, const std::string &dropped) {
    const bool odd = !kept.empty() && (kept.back() - '0') % 2 != 0;
    const bool tie = !dropped.empty() && dropped[0] == '5' && dropped.find_first_not_of('0', 1) == std::string::npos;
    if (dropped.empty() || dropped[0] < '5' || (tie && !odd)) return kept;
    std::size_t k = kept.size();
    for (; k > 0 && kept[k - 1] == '9'; --k) kept[k - 1] = '0';
    if (k == 0) return "1" + kept;
    ++kept[k - 1];
    return kept;
}

// As %.*f prints it.
inline std::string exact_fixed(const Expansion &x, bool negative, int p) {
    const auto places = static_cast<std::size_t>(p);
    std::string fraction = x.fraction;
    fraction.resize(std::max(fraction.size(), places), '0');
    const std::string all = round_even(x.whole + fraction.substr(0, places), fraction.substr(places));
    const std::size_t point = all.size() - places;
    return (negative ? "-" : "") + all.substr(0, point) + (p > 0 ? "." + all.substr(point) : "");
}

// As %.*e prints it.
inline std::string exact_exponent(const Expansion &x, bool negative, int p) {
    const auto places = static_cast<std::size_t>(p);
    std::string all = x.whole + x.fraction;
    const std::size_t first = std::min(all.find_first_not_of('0'), all.size() - 1);
    int exponent = all[first] == '0' ? 0 : static_cast<int>(x.whole.size()) - static_cast<int>(first) - 1;
    all = all.substr(first);
    all.resize(std::max(all.size(), places + 1), '0');
    std::string d = round_even(all.substr(0, places + 1), all.substr(places + 1));
    if (d.size() > places + 1) d.pop_back(), ++exponent;
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return (negative ? "-" : "") + d.substr(0, 1) + (p > 0 ? "." + d.substr(1) : "") + tail;
}

}  // namespace kez::test
