#!/usr/bin/env python3
"""Writes src/clib/powers_of_five.h: 5^q for q = -342 ... 341 as a 128-bit
mantissa P and a binary exponent E with 5^q = (P + d) x 2^(E - 127),
0 <= d < 1, P having its top bit set: P is 5^q cut to 128 bits, never
rounded up (exact for 0 <= q <= 55).

Both number conversions' fast paths read it, and their error bounds rely on
the cut being a floor. The decimal-to-double path takes P + 1 for
-27 <= q < 0, its bound's rounding up of those entries; the check below
keeps that derivation in step with the values its bound was proved on."""
import sys

LOW, HIGH = -342, 341


def entry(q):
    if q >= 0:
        p = 5 ** q
        e = p.bit_length() - 1
        mant = p << (127 - e) if e <= 127 else p >> (e - 127)
    else:
        d = 5 ** (-q)
        e = -d.bit_length()  # 2^e < 5^q < 2^(e + 1): 5^-q is never a power of two
        mant = (1 << (127 - e)) // d
    assert (1 << 127) <= mant < (1 << 128), q
    return mant, e


def rounded_up_reading(q):
    """The decimal-to-double path's value of 5^q as it was first defined:
    for q < 0, 2^b / 5^-q rounded up, then cut to 128 bits."""
    if q >= 0:
        return entry(q)[0]
    p = 5 ** (-q)
    z = p.bit_length()
    b = z + 127 if q >= -27 else 2 * z + 128
    c = 2 ** b // p + 1
    while c >= (1 << 128):
        c //= 2
    return c


def main(path):
    rows = []
    for q in range(LOW, HIGH + 1):
        mant, e = entry(q)
        if q <= 308:
            assert rounded_up_reading(q) == mant + (1 if -27 <= q < 0 else 0), q
        rows.append("    {0x%016xu, 0x%016xu, %d},  // 5^%d" % (mant >> 64, mant & ((1 << 64) - 1), e, q))
    with open(path, "w", encoding="utf-8") as out:
        out.write(HEADER % (LOW, HIGH, LOW, HIGH) + "\n".join(rows) + FOOTER)


HEADER = """// Powers of five 5^q, q = %d ... %d, for the fast paths of both number
// conversions: 5^q = (high x 2^64 + low + d) x 2^(exponent - 127) with
// 0 <= d < 1 (the mantissa is cut, never rounded up) and the top bit of high
// set. Written by tools/gen_powers_of_five.py; do not edit.
#pragma once

#include <cstdint>

namespace kez::clib {

constexpr int kPowersOfFiveLow = %d;
constexpr int kPowersOfFiveHigh = %d;

struct PowerOfFive {
    std::uint64_t high;
    std::uint64_t low;
    int exponent;  // floor(log2(5^q))
};

inline constexpr PowerOfFive kPowersOfFive[kPowersOfFiveHigh - kPowersOfFiveLow + 1] = {
"""
FOOTER = """
};

}  // namespace kez::clib
"""

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/clib/powers_of_five.h")
