#!/usr/bin/env python3
"""Writes the absolute-time test table: random and boundary cases of the
conversions, comparisons with tolerance, products and quotients, each with
the result computed here from exact integers and fractions.

    absolute_time_oracle.py OUTPUT [COUNT]

One case a line, numbers in decimal, time values as 32 hex digits (the
128-bit two's complement), doubles as 16 hex digits (their bits); the last
two fields are the status and the result ('-' on failure):
    F epoch unit count | T epoch unit mode value   (epoch 0: the interval forms)
    R unit value | S double | D value | C a b tolerance | M value factor | V value divisor
"""
import math
import random
import struct
import sys
from fractions import Fraction

ONE = 1 << 64  # one second
MIN128, MAX128 = -(1 << 127), (1 << 127) - 1
UNITS = {919263159 + i: Fraction(1, 10 ** (18 - i)) for i in (0, 3, 6, 9, 11, 12, 15)}
UNITS.update({919263177: Fraction(1), 919263179: Fraction(60), 919263181: Fraction(3600), 919263183: Fraction(86400)})
EPOCHS = {1: 60052752000, 1601: 9561628800, 1970: -2082844800}  # seconds to add to count from the epoch
BAD_UNITS = [0, -1, 919263158, 919263160, 919263178, 919263184]


def wrap(x):
    return (x - MIN128) % (1 << 128) + MIN128


def trunc_div(a, b):
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def from_units(epoch, unit, count):
    if unit not in UNITS or (epoch and epoch not in EPOCHS):
        return -1, None
    length = UNITS[unit]
    raw = trunc_div(count * ONE * length.numerator, length.denominator)
    raw -= EPOCHS.get(epoch, 0) * ONE
    return (0, raw) if MIN128 <= raw <= MAX128 else (-3, None)


def to_units(epoch, unit, mode, raw):
    if unit not in UNITS or (epoch and epoch not in EPOCHS) or mode not in (1, 2, 3, 4):
        return -1, None
    x = Fraction(raw + EPOCHS.get(epoch, 0) * ONE, ONE) / UNITS[unit]
    n = {1: round, 2: math.trunc, 3: math.ceil, 4: math.floor}[mode](x)
    return (0, n) if -(1 << 63) <= n < (1 << 63) else (-3, None)


def fractional(unit, raw):
    if unit not in UNITS:
        return -1, None
    if unit == 919263177:
        return 0, raw % ONE
    length = UNITS[unit]
    whole = math.trunc(Fraction(raw, ONE) / length)
    return 0, raw - trunc_div(whole * ONE * length.numerator, length.denominator)


def to_seconds(raw):
    m = abs(raw)
    w = [(m >> s) & 0xFFFFFFFF for s in (0, 32, 64, 96)]
    d = w[0] * 2.0 ** -64 + w[1] * 2.0 ** -32 + w[2] + w[3] * 2.0 ** 32
    return -d if raw < 0 else d


def compare(a, b, tolerance):
    if tolerance < 0:
        return -1, None
    return 0, 0 if abs(a - b) <= tolerance else (-1 if a < b else 1)


def value(rng, unit=None):
    """A time value: random, a boundary, or near a multiple (or a tie) of a unit."""
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(MIN128, MAX128 + 1)
    if kind == 1:
        return wrap(rng.choice([MIN128, MAX128, 0, ONE, -ONE, ONE // 2, -ONE // 2]) + rng.randint(-2, 2))
    if kind == 2:
        return rng.choice([-1, 1]) * rng.getrandbits(rng.randrange(1, 127))
    length = UNITS[unit or rng.choice(list(UNITS))]
    if kind == 3:  # count * unit +- a little, counts up to and past the 64-bit limit
        count = rng.choice([rng.randint(-1000, 1000), (1 << 63) - rng.randint(-2, 3), -(1 << 63) + rng.randint(-3, 2)])
        return max(MIN128, min(MAX128, round(count * length * ONE) + rng.randint(-3, 3)))
    if kind == 4 and length >= 1:  # an exact half unit
        return (2 * rng.randint(-10 ** 6, 10 ** 6) + 1) * int(length) * ONE // 2
    if kind == 4:  # |v| * 10^k = n * 2^64 + 2^63: v = 2^(63-k) / 5^k modulo 2^(64-k)
        k = round(math.log10(length.denominator))
        step = 1 << (64 - k)
        tie = ((1 << (63 - k)) * pow(5 ** k, -1, step)) % step + rng.randrange((1 << 126) // 10 ** k // step) * step
        return rng.choice([-1, 1]) * tie
    return rng.randrange(-(1 << 80), 1 << 80)


def count(rng, unit, epoch):
    """A count: random, a boundary, or one next to where the conversion overflows."""
    kind = rng.randrange(4)
    if kind == 0:
        return rng.randrange(-(1 << 63), 1 << 63)
    if kind == 1:
        return rng.choice([-1, 1]) * rng.getrandbits(rng.randrange(1, 63))
    if kind == 2:
        return rng.choice([0, 1, -1, (1 << 63) - 1, -(1 << 63)])
    length = UNITS.get(unit, Fraction(1))
    edge = rng.choice([(1 << 63) - 1, -(1 << 63)]) + EPOCHS.get(epoch, 0)
    return max(-(1 << 63), min((1 << 63) - 1, math.trunc(edge / length) + rng.randint(-2, 2)))


def pick(rng, valid, bad):
    return rng.choice(bad) if rng.random() < 0.02 else rng.choice(valid)


def hex128(x):
    return format(x % (1 << 128), '032x')


def hex_double(x):
    return format(struct.unpack('<Q', struct.pack('<d', x))[0], '016x')


def cases(rng, n):
    units, epochs = list(UNITS), [0] + list(EPOCHS)
    for i in range(n):
        op = 'FFTTTTRSDCMV'[i % 12]
        unit = pick(rng, units, BAD_UNITS)
        epoch = pick(rng, epochs, [2, 1600, 1971, -1970])
        if op == 'F':
            c = count(rng, unit, epoch)
            status, r = from_units(epoch, unit, c)
            yield f"F {epoch} {unit} {c}", status, None if r is None else hex128(r)
        elif op == 'T':
            mode, v = pick(rng, [1, 2, 3, 4], [0, 5, -1]), value(rng, unit if unit in UNITS else None)
            if epoch:
                v = max(MIN128, min(MAX128, v - EPOCHS.get(epoch, 0) * ONE * rng.randrange(2)))
            status, r = to_units(epoch, unit, mode, v)
            yield f'T {epoch} {unit} {mode} {hex128(v)}', status, r
        elif op == 'R':
            v = value(rng, unit if unit in UNITS else None)
            status, r = fractional(unit, v)
            yield f'R {unit} {hex128(v)}', status, None if r is None else hex128(r)
        elif op == 'S':
            x = rng.choice([rng.uniform(-1e6, 1e6), math.ldexp(rng.random(), rng.randint(-80, 64)) * rng.choice([-1, 1]),
                            rng.choice([2.0 ** 63, -2.0 ** 63, math.nextafter(2.0 ** 63, 0), math.inf, -math.inf,
                                        math.nan, -0.5, 5e-324, 2.0 ** -64, 2.0 ** -65])])
            ok = not math.isnan(x) and -2.0 ** 63 <= x < 2.0 ** 63
            yield f'S {hex_double(x)}', 0 if ok else -1, hex128(math.trunc(Fraction(x) * ONE)) if ok else None
        elif op == 'D':
            v = value(rng)
            yield f'D {hex128(v)}', 0, hex_double(to_seconds(v))
        elif op == 'C':
            a = value(rng)
            b = rng.choice([value(rng), wrap(a + rng.randint(-ONE, ONE)), wrap(-a)])
            t = rng.choice([abs(a - b), abs(a - b) - 1, value(rng), rng.randrange(ONE), MAX128])
            t = max(MIN128, min(MAX128, t))
            status, r = compare(a, b, t)
            yield f'C {hex128(a)} {hex128(b)} {hex128(t)}', status, r
        elif op == 'M':
            v, f = value(rng), count(rng, None, 0)
            yield f'M {hex128(v)} {f}', 0, hex128(wrap(v * f))
        else:
            v, d = value(rng), rng.choice([count(rng, None, 0), 0, 1, -1])
            yield f'V {hex128(v)} {d}', (-1 if d == 0 else 0), None if d == 0 else hex128(wrap(trunc_div(v, d)))


def main():
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    with open(sys.argv[1], 'w', newline='\n') as out:
        for text, status, result in cases(random.Random(20240613), n):
            out.write(f'{text} {status} {"-" if result is None else result}\n')


if __name__ == '__main__':
    main()
