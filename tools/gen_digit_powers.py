#!/usr/bin/env python3
"""Writes src/clib/digit_powers.h: 5^q for q = -310 ... 341 as a 128-bit
mantissa P and a binary exponent E with 5^q = (P + d) x 2^(E - 127),
0 <= d < 1, P having its top bit set: P is 5^q cut to 128 bits, never
rounded up (exact for 0 <= q <= 55). The double-to-decimal fast path's error
bound relies on that cut being a floor."""
import sys

LOW, HIGH = -310, 341


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


def main(path):
    rows = []
    for q in range(LOW, HIGH + 1):
        mant, e = entry(q)
        rows.append("    {0x%016xu, 0x%016xu, %d},  // 5^%d" % (mant >> 64, mant & ((1 << 64) - 1), e, q))
    with open(path, "w", encoding="utf-8") as out:
        out.write(HEADER % (LOW, HIGH, LOW, HIGH) + "\n".join(rows) + FOOTER)


HEADER = """// Powers of five 5^q, q = %d ... %d, for the fast path of the
// double-to-decimal conversion: 5^q = (high x 2^64 + low + d) x 2^(exponent - 127)
// with 0 <= d < 1 (the mantissa is cut, never rounded up) and the top bit
// of high set. Written by tools/gen_digit_powers.py; do not edit.
#pragma once

#include <cstdint>

namespace kez::clib {

constexpr int kDigitPowersLow = %d;
constexpr int kDigitPowersHigh = %d;

struct DigitPower {
    std::uint64_t high;
    std::uint64_t low;
    int exponent;  // floor(log2(5^q))
};

inline constexpr DigitPower kDigitPowers[kDigitPowersHigh - kDigitPowersLow + 1] = {
"""
FOOTER = """
};

}  // namespace kez::clib
"""

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/clib/digit_powers.h")
