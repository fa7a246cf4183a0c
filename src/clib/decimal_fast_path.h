// The fast path of the decimal-to-double conversion: w * 10^q for a decimal
// mantissa w of at most 19 digits, from a 128-bit approximation of 5^q and
// one or two 64 x 64-bit products. It answers only when the approximation
// decides the rounding; otherwise the exact big-integer path does.
#pragma once

#include <cstdint>

namespace kez::clib {

// The bits of the double nearest to w * 10^q (w != 0, round half to even),
// when that is a normal finite double other than the smallest; false when
// the result is subnormal, DBL_MIN, infinite or q is out of the table.
bool fast_decimal_to_double(std::uint64_t w, std::int64_t q, std::uint64_t *bits) noexcept;

}  // namespace kez::clib
