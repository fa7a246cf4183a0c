#!/usr/bin/env python3
"""Writes the absolute-time test table: documented and boundary cases, then
random ones, each with its result computed from exact integers and fractions.

    absolute_time_oracle.py OUTPUT

One case a line: the operation, its arguments, the status and the result
('-' on failure). Time values are 32 hex digits (128-bit two's complement),
doubles 16 (their bits), other numbers decimal. Epoch 0 means the interval
form of a conversion.
    F epoch unit count          T epoch unit mode value     R unit value
    S double    D value         C a b tolerance             M value factor
    V value divisor             A a b (result: a + b, a - b)
"""
import math
import random
import struct
import sys
from fractions import Fraction

ONE, I64 = 1 << 64, 1 << 63  # one second; the 64-bit limit
MIN, MAX = -(1 << 127), (1 << 127) - 1
NS, SECOND, MINUTE, DAY = 919263168, 919263177, 919263179, 919263183
UNITS = {919263159 + i: Fraction(1, 10 ** (18 - i)) for i in (0, 3, 6, 9, 11, 12, 15, 18)}
UNITS.update({MINUTE: Fraction(60), 919263181: Fraction(3600), DAY: Fraction(86400)})
EPOCHS = {0: 0, 1: 60052752000, 1601: 9561628800, 1970: -2082844800}  # seconds to add to count from the epoch
ROUNDING = {1: round, 2: math.trunc, 3: math.ceil, 4: math.floor}  # round() ties to even
ARGS = {'F': 'iii', 'T': 'iiiv', 'R': 'iv', 'S': 'x', 'D': 'v', 'C': 'vvv', 'M': 'vi', 'V': 'vi', 'A': 'vv'}
RESULT = {'F': 'v', 'T': 'i', 'R': 'v', 'S': 'v', 'D': 'x', 'C': 'i', 'M': 'v', 'V': 'v', 'A': 'vv'}


def wrap(x):
    return (x - MIN) % (1 << 128) + MIN


def trunc_div(a, b):
    return abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)


def units(unit, count):  # count units in fixed point, divided as the engine divides: toward zero
    return trunc_div(count * ONE * UNITS[unit].numerator, UNITS[unit].denominator)


def oracle(op, a):
    if op in 'FT' and (a[0] not in EPOCHS or a[1] not in UNITS or op == 'T' and a[2] not in ROUNDING) or \
            op == 'R' and a[0] not in UNITS or op == 'V' and a[1] == 0 or op == 'C' and a[2] < 0:
        return -1, None
    if op == 'F':
        r = units(a[1], a[2]) - EPOCHS[a[0]] * ONE
        return (0, r) if MIN <= r <= MAX else (-3, None)
    if op == 'T':
        n = ROUNDING[a[2]](Fraction(a[3] + EPOCHS[a[0]] * ONE, ONE) / UNITS[a[1]])
        return (0, n) if -I64 <= n < I64 else (-3, None)
    if op == 'R':
        whole = math.trunc(Fraction(a[1], ONE) / UNITS[a[0]])
        return 0, a[1] % ONE if a[0] == SECOND else a[1] - units(a[0], whole)
    if op == 'S':
        return (0, math.trunc(Fraction(a[0]) * ONE)) if -2.0 ** 63 <= a[0] < 2.0 ** 63 else (-1, None)
    if op == 'D':  # the magnitude's 32-bit words summed as doubles, lowest first
        w = [(abs(a[0]) >> s) & 0xFFFFFFFF for s in (0, 32, 64, 96)]
        return 0, math.copysign(w[0] * 2.0 ** -64 + w[1] * 2.0 ** -32 + w[2] + w[3] * 2.0 ** 32, a[0])
    if op == 'C':
        return 0, 0 if abs(a[0] - a[1]) <= a[2] else (a[0] > a[1]) - (a[0] < a[1])
    return 0, {'M': lambda: wrap(a[0] * a[1]), 'V': lambda: wrap(trunc_div(*a)),
               'A': lambda: (wrap(a[0] + a[1]), wrap(a[0] - a[1]))}[op]()


def text(kind, x):
    if kind == 'v':
        return format(x % (1 << 128), '032x')
    return format(struct.unpack('<Q', struct.pack('<d', x))[0], '016x') if kind == 'x' else str(x)


def line(op, *a):
    status, r = oracle(op, a)
    result = '-' if r is None else ' '.join(map(text, RESULT[op], r if op == 'A' else (r,)))
    return ' '.join([op] + list(map(text, ARGS[op], a)) + [str(status), result])


FLOOR_MIN_NS = -(I64 * ONE) // 10 ** 9  # just below -2^63 ns
NEAR_ONE = math.trunc(Fraction(1.0000001) * ONE)
FIXED = [  # the documented edge cases, then the limits of overflow, rounding, tolerance and range
    ('S', -0.5), ('D', -ONE // 2), ('F', 1970, SECOND, 0), ('T', 1601, SECOND, 1, 2082844800 * ONE),
    *[('T', 0, SECOND, m, v * ONE // 2) for v in (5, 7, -5) for m in ROUNDING],
    ('C', ONE, NEAR_ONE, ONE // 10 ** 6), ('C', ONE, NEAR_ONE, 0),
    ('V', ONE, 0), ('M', MAX, 2),
    ('T', 0, NS, 1, 10 ** 11 * ONE), ('F', 0, DAY, 1 << 62), ('F', 1970, SECOND, -1), ('F', 0, NS, -1),
    ('F', 1, MINUTE, (I64 - 1 + 60052752000) // 60), ('F', 1970, SECOND, I64 - 2082844801),
    ('F', 1970, SECOND, I64 - 2082844800), ('F', 0, DAY, (I64 - 1) // 86400),
    ('T', 0, MINUTE, 3, 60 * ONE + 1), ('T', 0, MINUTE, 4, -60 * ONE - 1), ('T', 0, MINUTE, 1, 90 * ONE),
    ('T', 0, NS, 3, FLOOR_MIN_NS), ('T', 0, NS, 4, FLOOR_MIN_NS), ('T', 0, SECOND, 3, MAX), ('T', 0, SECOND, 1, MIN),
    ('C', I64 // 2 * ONE, -I64 // 2 * ONE, 0), ('C', -I64 // 2 * ONE, I64 // 2 * ONE, MAX), ('C', MIN, MAX, MAX),
    ('S', math.nan), ('S', -math.nan), ('S', math.inf), ('S', -math.inf), ('S', 2.0 ** 63), ('S', -2.0 ** 63),
    ('S', 2.0 ** -65), ('A', MAX, 1), ('A', MIN, 1), ('M', MIN, -1), ('V', MIN, -1),
]


def value(rng, unit=None):
    """Random, a boundary, near a multiple of a unit, or a tie of one."""
    kind, unit = rng.randrange(6), unit if unit in UNITS else rng.choice(list(UNITS))
    if kind == 0:
        return rng.randrange(MIN, MAX + 1)
    if kind == 1:
        return wrap(rng.choice([MIN, MAX, 0, ONE, -ONE, ONE // 2, -ONE // 2]) + rng.randint(-2, 2))
    if kind == 2:
        return rng.choice([-1, 1]) * rng.getrandbits(rng.randrange(1, 127))
    if kind == 3:  # up to and past the 64-bit counts
        count = rng.choice([rng.randint(-1000, 1000), I64 - rng.randint(-2, 3), -I64 + rng.randint(-3, 2)])
        return max(MIN, min(MAX, round(count * UNITS[unit] * ONE) + rng.randint(-3, 3)))
    if kind == 4 and UNITS[unit] >= 1:  # an exact half unit
        return (2 * rng.randint(-10 ** 6, 10 ** 6) + 1) * int(UNITS[unit]) * ONE // 2
    if kind == 4:  # |v| * 10^k = n * 2^64 + 2^63: v = 2^(63-k) / 5^k modulo 2^(64-k)
        k = len(str(UNITS[unit].denominator)) - 1
        step = 1 << (64 - k)
        tie = ((1 << (63 - k)) * pow(5 ** k, -1, step)) % step + rng.randrange((1 << 126) // 10 ** k // step) * step
        return rng.choice([-1, 1]) * tie
    return rng.randrange(-(1 << 80), 1 << 80)


def count(rng, unit=None, epoch=0):
    """Random, a boundary, or next to where the conversion overflows."""
    kind = rng.randrange(4)
    if kind < 3:
        return [rng.randrange(-I64, I64), rng.choice([-1, 1]) * rng.getrandbits(rng.randrange(1, 63)),
                rng.choice([0, 1, -1, I64 - 1, -I64])][kind]
    edge = rng.choice([I64 - 1, -I64]) + EPOCHS.get(epoch, 0)
    return max(-I64, min(I64 - 1, math.trunc(edge / UNITS.get(unit, 1)) + rng.randint(-2, 2)))


def random_case(rng, i):
    op = 'FFTTTTRSDCMVA'[i % 13]
    unit = rng.choice([0, 919263158, 919263160, 919263184]) if rng.random() < 0.02 else rng.choice(list(UNITS))
    epoch = rng.choice([2, 1600, -1970]) if rng.random() < 0.02 else rng.choice(list(EPOCHS))
    if op == 'F':
        return 'F', epoch, unit, count(rng, unit, epoch)
    if op == 'T':  # in half the cases the value is near a boundary counted from the epoch
        shift = EPOCHS.get(epoch, 0) * ONE * rng.randrange(2)
        return 'T', epoch, unit, rng.choice([0, 5]) if rng.random() < 0.02 else rng.randint(1, 4), max(MIN, min(MAX, value(rng, unit) - shift))
    if op == 'S':
        return 'S', rng.choice([rng.uniform(-1e6, 1e6), math.ldexp(rng.random(), rng.randint(-80, 64)) *
                                rng.choice([-1, 1]), math.nextafter(2.0 ** 63, 0), 5e-324, 2.0 ** -64])
    if op == 'C':
        a = value(rng)
        b = rng.choice([value(rng), wrap(a + rng.randint(-ONE, ONE)), wrap(-a)])
        return 'C', a, b, max(MIN, min(MAX, rng.choice([abs(a - b), abs(a - b) - 1, value(rng), MAX])))
    return {'R': ('R', unit, value(rng, unit)), 'D': ('D', value(rng)), 'M': ('M', value(rng), count(rng)),
            'V': ('V', value(rng), rng.choice([count(rng), 0, 1, -1])), 'A': ('A', value(rng), value(rng))}[op]


def main():
    rng = random.Random(20240613)
    with open(sys.argv[1], 'w', newline='\n') as out:
        for case in FIXED + [random_case(rng, i) for i in range(100000 - len(FIXED))]:
            out.write(line(*case) + '\n')


if __name__ == '__main__':
    main()
