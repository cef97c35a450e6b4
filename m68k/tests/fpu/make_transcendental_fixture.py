#!/usr/bin/env python3
"""Writes transcendental_fixture.txt: arguments and correctly rounded extended results.

Made once with python3-mpmath (not needed in CI):
    python3 m68k/tests/fpu/make_transcendental_fixture.py > m68k/tests/fpu/transcendental_fixture.txt

Line format: opmode precision mode argument result flags
  opmode     hex FPU opmode (0x31 stands for FSINCOS's cosine, checked through fpu_fsincos)
  precision  0 extended, 1 single, 2 double;  mode 0 RN, 1 RZ, 2 RM, 3 RP
  argument / result   SSSS:MMMMMMMMMMMMMMMM (sign and exponent, mantissa)
  flags      the expected UNFL/OVFL bits of the result (INEX2 is implied: every result is inexact)
"""
import random
import mpmath
from mpmath import mp, mpf

mp.prec = 400
BIAS = 16383
EMIN = -16382  # exponent of bit 63 for the smallest normal
KEPT = [64, 24, 53]


def fx_to_mpf(se, m):
    e = se & 0x7FFF
    sign = -1 if se & 0x8000 else 1
    if e == 0:
        return sign * mpf(m) * mpf(2) ** (EMIN - 63)
    return sign * mpf(m) * mpf(2) ** (e - BIAS - 63)


def mpf_to_fx(v):
    """Exact value (already on the grid) to sign_exp, mantissa."""
    sign = 0x8000 if v < 0 else 0
    v = abs(v)
    if v == 0:
        return sign, 0
    e = int(mpmath.floor(mpmath.log(v, 2)))
    # guard against log rounding
    while mpf(2) ** e > v:
        e -= 1
    while mpf(2) ** (e + 1) <= v:
        e += 1
    if e < EMIN:
        m = v / mpf(2) ** (EMIN - 63)
        return sign, int(m)
    m = v / mpf(2) ** (e - 63)
    return sign | (e + BIAS), int(m)


def round_fx(v, precision, mode):
    """Round an mpf to the FPU's extended format at a precision; returns (se, m, flags)."""
    n = KEPT[precision]
    neg = v < 0
    a = abs(v)
    e = int(mpmath.floor(mpmath.log(a, 2)))
    while mpf(2) ** e > a:
        e -= 1
    while mpf(2) ** (e + 1) <= a:
        e += 1
    tiny = e < EMIN
    q_exp = (EMIN if tiny else e) - (n - 1)
    scaled = a / mpf(2) ** q_exp
    lo = int(mpmath.floor(scaled))
    frac = scaled - lo
    if mode == 0:
        up = frac > 0.5 or (frac == 0.5 and lo % 2 == 1)
    elif mode == 1:
        up = False
    elif mode == 2:
        up = neg and frac != 0
    else:
        up = (not neg) and frac != 0
    q = lo + (1 if up else 0)
    r = mpf(q) * mpf(2) ** q_exp
    flags = 0
    if r >= mpf(2) ** (16383 + 1):
        flags |= 0x10
        to_inf = mode == 0 or (mode == 2 and neg) or (mode == 3 and not neg)
        sign = 0x8000 if neg else 0
        if to_inf:
            return sign | 0x7FFF, 0x8000000000000000, flags
        return sign | 0x7FFE, ((1 << n) - 1) << (64 - n), flags
    if r < mpf(2) ** EMIN:
        flags |= 0x08
    se, m = mpf_to_fx(-r if neg else r)
    if r == 0:
        se = 0x8000 if neg else 0
    return se, m, flags


def rand_fx(rng, lo_exp, hi_exp, sign=None):
    e = rng.randint(lo_exp, hi_exp)
    m = rng.getrandbits(64) | (1 << 63)
    s = rng.choice([0, 1]) if sign is None else sign
    return (s << 15) | (e + BIAS), m


def fx_in(rng, lo, hi):
    """A random Fx80 uniformly in [lo, hi) of mpf."""
    v = lo + (hi - lo) * mpf(rng.random())
    se, m, _ = round_fx(v, 0, 1)
    return se, m


FUNCS = {
    0x02: mpmath.sinh, 0x06: mpmath.log1p, 0x08: mpmath.expm1, 0x09: mpmath.tanh,
    0x0A: mpmath.atan, 0x0C: mpmath.asin, 0x0D: mpmath.atanh, 0x0E: mpmath.sin,
    0x0F: mpmath.tan, 0x10: mpmath.exp, 0x11: lambda x: mpf(2) ** x, 0x12: lambda x: mpf(10) ** x,
    0x14: mpmath.log, 0x15: mpmath.log10, 0x16: lambda x: mpmath.log(x, 2), 0x19: mpmath.cosh,
    0x1C: mpmath.acos, 0x1D: mpmath.cos, 0x31: mpmath.cos,
}


def args_for(op, rng):
    out = []
    def logu(lo, hi, sign=None, count=24):
        for _ in range(count):
            out.append(rand_fx(rng, lo, hi, sign))
    def uni(lo, hi, count=16):
        for _ in range(count):
            out.append(fx_in(rng, mpf(lo), mpf(hi)))
    if op in (0x0E, 0x1D, 0x0F, 0x31):
        logu(-40, 20)
        uni(-10, 10)
        logu(21, 16383, None, 12)  # huge arguments: exact reduction
    elif op == 0x0A:
        logu(-60, 70)
        logu(70, 16383, None, 8)
    elif op in (0x0C, 0x1C, 0x0D):
        logu(-60, -1)
        uni(-1, 1)
        uni(mpf("0.999"), 1, 6)
    elif op in (0x02, 0x19):
        logu(-40, 13)
        uni(-11356, 11356, 8)
        uni(11350, 11357, 6)
    elif op == 0x09:
        logu(-40, 5)
        uni(-20, 20)
    elif op == 0x10:
        logu(-40, 13)
        uni(-11355, 11356)
    elif op == 0x11:
        logu(-40, 13)
        uni(-16382, 16383)
    elif op == 0x12:
        logu(-40, 12)
        uni(-4931, 4932)
    elif op == 0x08:
        logu(-40, 13, 0)
        logu(-40, 6, 1, 12)
        uni(-2, 2)
    elif op in (0x14, 0x15, 0x16):
        logu(-16380, 16383, 0)
        uni(mpf("0.5"), 2)
    elif op == 0x06:
        logu(-40, 100, 0)
        logu(-40, -1, 1, 12)
        uni(mpf("-0.999"), mpf("0.9"))
    return out


def main():
    rng = random.Random(20261210)
    lines = []
    for op in sorted(FUNCS):
        for se, m in args_for(op, rng):
            x = fx_to_mpf(se, m)
            # Huge trigonometric arguments need the working precision to cover their integer part.
            with mpmath.workprec(max(400, (se & 0x7FFF) - BIAS + 400)):
                v = +FUNCS[op](x)
            rse, rm, flags = round_fx(v, 0, 0)
            lines.append(f"{op:02X} 0 0 {se:04X}:{m:016X} {rse:04X}:{rm:016X} {flags:02X}")
    # Exponentials whose results underflow: every mode and precision.
    for op, lo, hi in ((0x10, -11400, -11355), (0x11, -16446, -16383), (0x12, -4951, -4932)):
        for i in range(10):
            se, m = fx_in(rng, mpf(lo), mpf(hi))
            x = fx_to_mpf(se, m)
            v = FUNCS[op](x)
            for precision in range(3):
                for mode in range(4):
                    rse, rm, flags = round_fx(v, precision, mode)
                    lines.append(f"{op:02X} {precision} {mode} {se:04X}:{m:016X} {rse:04X}:{rm:016X} {flags:02X}")
    # Tiny arguments (denormals included) in every mode: the result is the argument nudged.
    for op in (0x02, 0x06, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x0E, 0x0F, 0x19, 0x1D, 0x10):
        for i in range(3):
            se, m = rand_fx(rng, -16440, -5200)
            if i == 2:
                se, m = (se & 0x8000), rng.getrandbits(60)  # a denormal
            x = fx_to_mpf(se, m)
            with mpmath.workprec(40000):
                v = +FUNCS[op](x)
                for mode in range(4):
                    rse, rm, flags = round_fx(v, 0, mode)
                    lines.append(f"{op:02X} 0 {mode} {se:04X}:{m:016X} {rse:04X}:{rm:016X} {flags:02X}")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
