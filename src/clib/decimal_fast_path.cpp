// The product w * 5^q is taken from the top of the 64 x 128-bit product of
// the normalised w with the table's 5^q: its leading 55 bits, the 53 of the
// result and two for rounding, are exact unless the bits below them are all
// ones, in which case the low half of the table entry is multiplied in too.
// Powers of two are exact and only move the exponent. A product that lands
// exactly between two doubles can only come from a small q (-4 ... 23),
// where 5^q (or its inverse) is exact enough to see the tie; there it is
// broken to the even one.
#include "clib/decimal_fast_path.h"

#include "clib/powers_of_five.h"

namespace kez::clib {
namespace {

struct U128 {
    std::uint64_t high;
    std::uint64_t low;
};

U128 multiply(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

// The powers of five it reads: the shared table's, which are cut to 128
// bits, except -27 <= q < 0, taken one unit higher (its bound was proved on
// those roundings). Decimal exponents above 308 are infinite anyway.
constexpr int kSmallestPower = -342;
constexpr int kLargestPower = 308;
static_assert(kPowersOfFiveLow <= kSmallestPower && kPowersOfFiveHigh >= kLargestPower);

U128 power_of_five(std::int64_t q) {
    const PowerOfFive &p = kPowersOfFive[q - kPowersOfFiveLow];
    if (q >= 0 || q < -27) return {p.high, p.low};
    return {p.high + (p.low == ~std::uint64_t{0} ? 1 : 0), p.low + 1};
}

// floor(log2(10^q)) + 63, exact for kSmallestPower <= q <= kLargestPower.
int binary_exponent(std::int64_t q) { return static_cast<int>(((152170 + 65536) * q) >> 16) + 63; }

constexpr int kMantissaBits = 52;
constexpr int kMinimumExponent = -1023;
constexpr int kInfinitePower = 0x7FF;

}  // namespace

bool fast_decimal_to_double(std::uint64_t w, std::int64_t q, std::uint64_t *bits) noexcept {
    if (w == 0 || q < kSmallestPower || q > kLargestPower) return false;
    const int lz = __builtin_clzll(w);
    w <<= lz;
    const U128 p = power_of_five(q);
    U128 product = multiply(w, p.high);
    constexpr std::uint64_t kPrecisionMask = ~std::uint64_t{0} >> (kMantissaBits + 3);
    if ((product.high & kPrecisionMask) == kPrecisionMask) {
        const U128 second = multiply(w, p.low);
        product.low += second.high;
        if (second.high > product.low) ++product.high;
    }
    const int upper = static_cast<int>(product.high >> 63);
    std::uint64_t mantissa = product.high >> (upper + 64 - kMantissaBits - 3);
    int power2 = binary_exponent(q) + upper - lz - kMinimumExponent;
    if (power2 <= 0) return false;  // subnormal: the exact path decides, with its range error
    // Round half up, unless the product is exactly between two doubles:
    // then to even.
    if (product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 &&
        (mantissa << (upper + 64 - kMantissaBits - 3)) == product.high)
        mantissa &= ~std::uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {
        mantissa = std::uint64_t{1} << kMantissaBits;
        ++power2;
    }
    mantissa &= ~(std::uint64_t{1} << kMantissaBits);
    if (power2 >= kInfinitePower) return false;
    const std::uint64_t result = (static_cast<std::uint64_t>(power2) << kMantissaBits) | mantissa;
    if (result <= (std::uint64_t{1} << kMantissaBits)) return false;  // DBL_MIN: its range error is decided exactly
    *bits = result;
    return true;
}

}  // namespace kez::clib
