#!/usr/bin/env python3
"""Writes the tables of printf cases that print_oracle_test.cpp replays:
random conversions of every kind, printed by the build host's (Linux) C
library through ctypes, with fixed seeds (the same tables each build).
printf_oracle.txt holds 10,000 cases that print alike where long is 32 bits,
for every platform; printf_oracle_lp64.txt 100,000 with the host's 64-bit
long, for Linux.

One line a case, fields separated by tabs: the format, the expected output,
the '*' arguments ("i:-5"), then the value ("i:", "l:", "q:" or "p:" with a
decimal integer, "d:" with the double's bits in hex, "s:" with the text).
Bytes outside printable ASCII and the backslash are written as \\xNN and \\\\.

Usage: printf_oracle.py DIRECTORY
"""
import ctypes
import ctypes.util
import math
import random
import struct
import sys

libc = ctypes.CDLL(ctypes.util.find_library("c"))
BUFFER = ctypes.create_string_buffer(8192)

INT_MAX, INT_MIN, UINT_MAX = 2**31 - 1, -(2**31), 2**32 - 1
LLONG_MAX, LLONG_MIN = 2**63 - 1, -(2**63)
DBL_MAX = sys.float_info.max
DBL_MIN = sys.float_info.min
DBL_TRUE_MIN = 5e-324
DBL_EPSILON = sys.float_info.epsilon


def to_double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits & (2**64 - 1)))[0]


def double_bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


def to_int(v, bits):
    v &= (1 << bits) - 1
    return v - (1 << bits) if v >> (bits - 1) else v


class Gen:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def bits(self):
        return self.rng.getrandbits(64)

    def below(self, n):
        return self.bits() % n

    def one_in(self, n):
        return self.below(n) == 0

    def pick(self, items):
        return items[self.below(len(items))]


INTEGER_EDGES = [0, 1, -1, 7, 8, 9, 10, 15, 16, 99, 100, 127, 128, 255, 256, -128, -129, 32767, 32768, 65535,
                 65536, -32768, -32769, INT_MAX, INT_MIN, UINT_MAX, 1 << 32, 999999999, 99999999999, -100000, 4095,
                 LLONG_MAX, LLONG_MIN, -LLONG_MAX, 1 << 62, -(1 << 61)]
DOUBLE_EDGES = [0.0, 1.0, 0.5, DBL_MAX, DBL_MIN, DBL_TRUE_MIN, DBL_EPSILON, 999.9, 9.5, 0.05, 99999.5, 1e15, 1e16,
                1e17, 123456789.0, 0.1, 0.2, 0.3, 2.5, 0.125]
STRING_ALPHABET = b"abcXYZ019 .-%\t\x7f\x80\xff"
CONVERSIONS = "diuoxXfeEgGcsp"
INTEGER_LENGTHS = ["", "", "", "hh", "h", "l", "ll", "j", "z", "t", "I64"]
LITERALS = ["", "", "", "<", ">|", "%%", " = ", "[%%]"]


def random_integer(g):
    kind = g.below(4)
    if kind == 0:
        return g.pick(INTEGER_EDGES)
    if kind == 1:
        return to_int(g.bits() >> g.below(64), 64)  # every magnitude, the top bit too
    if kind == 2:
        return -(g.bits() >> (1 + g.below(63)))
    return g.below(2001) - 1000


def random_double(g):
    kind = g.below(8)
    if kind == 0:
        v = to_double(g.bits())
        while not math.isfinite(v):
            v = to_double(g.bits())
    elif kind == 1:  # subnormal
        v = to_double(g.bits() >> (12 + g.below(52)))
    elif kind == 2:  # huge
        v = to_double((0x7c0 + g.below(0x3f)) << 52 | g.bits() >> 12)
    elif kind == 3:  # an odd multiple of a power of two: a tie at some precision
        v = math.ldexp(float(2 * (g.bits() >> (40 + g.below(24))) + 1), -1 - g.below(40))
    elif kind == 4:  # a power of ten or a neighbour
        v = float("1e%d" % (g.below(632) - 323))
        if g.one_in(3):
            v = math.nextafter(v, 0.0 if g.one_in(2) else math.inf)
    elif kind == 5:  # just below a power of ten: rounding carries into a new digit
        v = float("1e%d" % (g.below(40) - 20))
        v -= v * math.ldexp(1.0, -1 - g.below(52))
    elif kind == 6:
        v = (g.below(2000001) - 1000000) / float("1e%d" % g.below(8))
    else:
        v = g.pick(DOUBLE_EDGES)
    return -v if g.one_in(3) else v


def random_string(g):
    n = g.below(700) if g.one_in(20) else g.below(30)
    return bytes(STRING_ALPHABET[g.below(len(STRING_ALPHABET))] for _ in range(n))


def random_case(g, portable):
    """A format of one conversion with literal text around it, its '*'
    arguments, the value's kind and the value, and the precision chosen."""
    conversion = CONVERSIONS[g.below(len(CONVERSIONS))]
    integer = conversion in "diuoxX"
    real = conversion in "feEgG"
    f = "%"
    for _ in range(g.below(4)):
        flag = "+-#0 "[g.below(5)]
        # C leaves '#' to o, x and the reals, '0' away from c, s and p.
        if (flag == "#" and not real and conversion not in "oxX") or (flag == "0" and conversion in "csp"):
            continue
        f += flag

    def count(small):  # mostly small, now and then up to the engine's limit
        return small + g.below(510 - small) if g.one_in(30) else g.below(small + 1)

    stars = []
    precision = -1
    kind = g.below(5)
    if kind in (2, 3):
        f += str(max(1, count(40)))
    elif kind == 4:
        f += "*"
        stars.append(-count(40) if g.one_in(3) else count(40))  # negative: left-justified
    if conversion not in "cp":  # C gives %c and %p no precision
        kind = g.below(6)
        if kind == 2:
            f += "."
            precision = 0
        elif kind in (3, 4):
            precision = count(40)
            f += "." + str(precision)
        elif kind == 5:
            p = -1 - g.below(20) if g.one_in(4) else count(40)  # negative: no precision
            f += ".*"
            stars.append(p)
            precision = -1 if p < 0 else p
    length = INTEGER_LENGTHS[g.below(11)] if integer else "l" if real and g.one_in(8) else ""
    fmt = g.pick(LITERALS) + f + length + conversion + g.pick(LITERALS)
    if integer:
        value = random_integer(g)
        kind = "i" if length in ("", "hh", "h") else "l" if length == "l" else "q"
        if kind == "i" or (kind == "l" and portable):  # long is 32-bit on Windows
            value = to_int(value, 32)
            if kind == "l" and value < 0 and conversion not in "di":
                value = ~value
    elif real:
        kind, value = "d", random_double(g)
    elif conversion == "c":
        kind, value = "i", g.below(256)
    elif conversion == "s":
        kind, value = "s", random_string(g)
    else:
        kind, value = "p", 0 if g.one_in(10) else to_int(g.bits() >> g.below(64), 64)
    return fmt, stars, kind, value, conversion, precision


def host_print(fmt, stars, kind, value):
    # The engine's forms in the host's terms: I64 is ll; %p is the bare
    # hexadecimal of the address, as %llx (no flag here would differ).
    fmt = fmt.replace("I64", "ll")
    if kind == "p":
        at = fmt.rindex("p")
        fmt = fmt[:at] + "llx" + fmt[at + 1:]
    arg = {"i": ctypes.c_int, "l": ctypes.c_long, "q": ctypes.c_longlong, "p": ctypes.c_longlong,
           "d": ctypes.c_double, "s": ctypes.c_char_p}[kind](value)
    args = [ctypes.c_int(s) for s in stars] + [arg]
    n = libc.snprintf(BUFFER, ctypes.c_size_t(len(BUFFER)), fmt.encode("latin-1"), *args)
    if n < 0 or n >= len(BUFFER):
        raise RuntimeError("the host's snprintf failed on %r" % fmt)
    return BUFFER.raw[:n]


def host_slips(fmt, kind, value, conversion, precision):
    """The host's one departure from C met here: %#g drops the zeros when the
    rounding carries into the power of ten that equals the precision ("%#.3g"
    of 999.9 prints "1.e+03" where C has "1.00e+03")."""
    if kind != "d" or conversion not in "gG" or "#" not in fmt:
        return False
    p = 6 if precision < 0 else max(precision, 1)
    if p < 2:
        return False
    rounded = host_print("%.*e", [p - 1], "d", abs(value)).decode()
    return int(rounded[rounded.index("e") + 1:]) == p and abs(value) < float("1e%d" % p)


def escape(data):
    return "".join("\\\\" if b == 0x5C else chr(b) if 0x20 <= b < 0x7F else "\\x%02x" % b for b in data)


def write_table(path, seed, count, portable):
    g = Gen(seed)
    lines = []
    slipped = 0
    while len(lines) < count:
        fmt, stars, kind, value, conversion, precision = random_case(g, portable)
        if host_slips(fmt, kind, value, conversion, precision):
            slipped += 1
            continue
        fields = [escape(fmt.encode("latin-1")), escape(host_print(fmt, stars, kind, value))]
        fields += ["i:%d" % s for s in stars]
        payload = "%016x" % double_bits(value) if kind == "d" else escape(value) if kind == "s" else str(value)
        fields.append(kind + ":" + payload)
        lines.append("\t".join(fields) + "\n")
    if slipped * 500 > count:
        raise RuntimeError("%d of %d cases left out for the host's slip: the exclusion is too wide" % (slipped, count))
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.writelines(lines)


def main():
    write_table(sys.argv[1] + "/printf_oracle.txt", 7, 10000, True)
    write_table(sys.argv[1] + "/printf_oracle_lp64.txt", 20240611, 100000, False)


if __name__ == "__main__":
    main()
