#!/usr/bin/env python3
"""Writes src/clib/powers_of_five.h: 128-bit approximations of 5^q for
q = -342 ... 308, the table of the decimal-to-double fast path.

For q >= 0: the leading 128 bits of 5^q (cut). For q < 0: the leading 128
bits of 2^b / 5^-q, rounded up, with b = z + 127 for q >= -27 (z: the bit
length of 5^-q) and b = 2z + 128 below. The fast path's error bound relies
on these roundings."""
import sys


def entry(q):
    if q >= 0:
        p = 5 ** q
        while p < (1 << 127):
            p *= 2
        while p >= (1 << 128):
            p //= 2
        return p
    p = 5 ** (-q)
    z = 0
    while (1 << z) < p:
        z += 1
    b = z + 127 if q >= -27 else 2 * z + 128
    c = 2 ** b // p + 1
    while c >= (1 << 128):
        c //= 2
    return c


def main(path):
    rows = []
    for q in range(-342, 309):
        v = entry(q)
        assert (1 << 127) <= v < (1 << 128), q
        rows.append("    {0x%016xu, 0x%016xu},  // 5^%d" % (v >> 64, v & ((1 << 64) - 1), q))
    with open(path, "w", encoding="utf-8") as out:
        out.write(HEADER + "\n".join(rows) + FOOTER)


HEADER = """// 128-bit approximations of the powers of five 5^q, q = -342 ... 308, for
// the fast path of the decimal-to-double conversion, each with its top bit
// set. Written by tools/gen_powers_of_five.py; do not edit.
#pragma once

#include <cstdint>

namespace kez::clib {

constexpr int kSmallestPower5 = -342;
constexpr int kLargestPower5 = 308;

struct Power5 {
    std::uint64_t high;
    std::uint64_t low;
};

inline constexpr Power5 kPowers5[kLargestPower5 - kSmallestPower5 + 1] = {
"""
FOOTER = """
};

}  // namespace kez::clib
"""

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/clib/powers_of_five.h")
