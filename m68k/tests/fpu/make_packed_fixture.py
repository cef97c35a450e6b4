#!/usr/bin/env python3
"""Writes packed_fixture.txt: Fx80 values, k-factors and the packed records they are written as.

Reference: the exact value to 17 significant digits (ties to even), then the k-factor's digit
count with ties rounded half up on those digits. Made once with the Python standard library:
    python3 m68k/tests/fpu/make_packed_fixture.py > m68k/tests/fpu/packed_fixture.txt

Line format: SSSS:MMMMMMMMMMMMMMMM k long0 long1 long2 (hex, k decimal)
"""
import random
from decimal import Decimal, getcontext, ROUND_HALF_EVEN, ROUND_HALF_UP

getcontext().prec = 200


def value(se, m):
    e = (se & 0x7FFF) - 16383 - 63
    v = Decimal(m) * (Decimal(2) ** e)
    return -v if se & 0x8000 else v


def encode(sign, o, digits):
    mag = abs(o)
    l0 = (sign << 31) | ((1 << 30) if o < 0 else 0)
    l0 |= ((mag // 100) % 10) << 24 | ((mag // 10) % 10) << 20 | (mag % 10) << 16 | (mag // 1000) << 12
    l0 |= digits[0]
    l1 = 0
    for d in digits[1:9]:
        l1 = (l1 << 4) | d
    l2 = 0
    for d in digits[9:17]:
        l2 = (l2 << 4) | d
    return l0, l1, l2


def main():
    rng = random.Random(1210)
    for i in range(300):
        e = rng.randint(-60, 60)
        m = rng.getrandbits(64) | (1 << 63)
        if i % 3 == 0:
            m &= ~((1 << rng.randint(20, 60)) - 1)  # short mantissas: exact decimal tails, ties
        sign = rng.getrandbits(1)
        se = (sign << 15) | (e + 16383)
        v = abs(value(se, m))
        o = v.adjusted()
        d17 = v.scaleb(-o).quantize(Decimal("1.0000000000000000"), rounding=ROUND_HALF_EVEN)
        if d17 >= 10:
            o += 1
            d17 = (d17 / 10).quantize(Decimal("1.0000000000000000"), rounding=ROUND_HALF_EVEN)
        k = rng.randint(-20, 18)
        r = min(k, 17) if k > 0 else max(1, min(17, o - k + 1))
        rounded = d17.quantize(Decimal(1).scaleb(-(r - 1)), rounding=ROUND_HALF_UP)
        if rounded >= 10:
            o += 1
            rounded = rounded / 10
        digits = [int(c) for c in format(rounded, "f").replace(".", "").ljust(17, "0")[:17]]
        l0, l1, l2 = encode(sign, o, digits)
        print(f"{se:04X}:{m:016X} {k} {l0:08X} {l1:08X} {l2:08X}")


if __name__ == "__main__":
    main()
