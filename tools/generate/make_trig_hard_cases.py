#!/usr/bin/env python3
"""Writes tests/data/trig-hard-cases.txt: arguments whose sine, cosine, tangent or arccosine lies
extremely close to the midpoint between two neighbouring doubles, with the correctly rounded
result of each (mpmath at 500 bits, rounded once through an exact fraction).

    python tools/generate/make_trig_hard_cases.py [--sin-arguments FILE]   rewrite the file (needs mpmath)
    python tools/generate/make_trig_hard_cases.py --check                  recompute and compare with it

The sine arguments come from FILE (one hexadecimal double a line) when given, else from the sin
lines already in the output file.

Sources of the arguments:
- sin: the published worst cases of V. Lefevre's testlibm data (update of 2020-11-27), the
  41,674 arguments as listed by the CORE-MATH project, copied with their results.
- cos, tan, acos: derived here. Where a function moves by far less than half an ulp of its
  result from one double to the next, its value crosses each rounding midpoint slowly, and the
  doubles next to the crossing are hard to round; the closer the function is to flat there, the
  harder. The crossing x* of a midpoint T solves f(x*) = T (in closed form or by Newton's method
  at 600 bits); the doubles around x* whose value lies within 2^-MIN_BITS half-ulps of T are kept.
  * cos x = 1 - g for x in [2^-26, 2^-19): T = 1 - (k + 1/2) 2^-53, x* = 2 asin(sqrt(g / 2));
  * tan x = x + h for x in [2^-25, 2^-19): x is a multiple of the ulp of tan x, so tan x is near
    a midpoint when h = tan x - x is near an odd multiple of half an ulp;
  * acos w = pi/2 - w - ... for +-w in [2^-48, 2^-43): T runs over the midpoints of [1, 2) near
    pi/2 -+ w, w* = cos T; for +-w in [2^-22, 2^-18), only the midpoints next to the solutions of
    an equation in closed form (see derive_acos).
  Every kept case lies within about 2^-(53 + MIN_BITS) relative of a midpoint: closer than the
  2^-90 within which a double-double evaluation leaves the rounding open.

Line format: function, argument, correctly rounded result (all float.hex()), then the number of
identical bits after the round bit of the exact value (how hard the case is).
"""
import math
import sys
from fractions import Fraction
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "tests" / "data" / "trig-hard-cases.txt"
PREC = 500
MIN_BITS = 44  # kept derived cases have at least this many identical bits after the round bit

FUNCTIONS = {"sin": mpmath.sin, "cos": mpmath.cos, "tan": mpmath.tan, "acos": mpmath.acos}


def to_fraction(v) -> Fraction:
    sign, man, exp, _ = mpmath.mpf(v)._mpf_
    f = Fraction(int(man)) * Fraction(2) ** int(exp) if man else Fraction(0)
    return -f if sign else f


def exact(name: str, x: float) -> Fraction:
    with mpmath.workprec(PREC):
        return to_fraction(FUNCTIONS[name](mpmath.mpf(x)))


def binade(y: Fraction) -> int:
    """e with 2^e <= y < 2^(e+1), for y > 0."""
    e = y.numerator.bit_length() - y.denominator.bit_length()
    return e if Fraction(2) ** e <= y else e - 1


def midpoint_bits(y: Fraction) -> float:
    """-log2 of the distance from |y| to the nearest midpoint, in half-ulps of its binade."""
    y = abs(y)
    t = y / Fraction(2) ** (binade(y) - 53)  # in half-ulps: doubles are even, midpoints odd
    d = abs(t - (2 * (t // 2) + 1))
    return math.inf if d == 0 else -math.log2(d)


def identical_bits(y: Fraction) -> int:
    """Identical bits after the round bit of |y| (the published data's measure of hardness)."""
    y = abs(y)
    t = y / Fraction(2) ** (binade(y) - 53)
    frac = t - math.floor(t)  # the bits after the round bit
    d = min(frac, 1 - frac)
    return 200 if d == 0 else math.floor(-math.log2(d))


def run_around(name: str, x_star, keep):
    """The doubles next to the crossing x* (an mpf) whose value is within 2^-MIN_BITS half-ulps
    of a midpoint; scans outwards until the values are no longer that close."""
    x0 = float(to_fraction(x_star))
    # The double nearest the crossing comes closest to the midpoint: if it misses, all do.
    # (160 bits place the value to within 2^-100 half-ulps, ample for the threshold.)
    with mpmath.workprec(160):
        if midpoint_bits(to_fraction(FUNCTIONS[name](mpmath.mpf(x0)))) < MIN_BITS - 1:
            return
    for direction in (math.inf, -math.inf):
        x = x0 if direction > 0 else math.nextafter(x0, direction)
        misses = 0
        while misses < 3:
            if midpoint_bits(exact(name, x)) >= MIN_BITS:
                keep.add(x)
                misses = 0
            else:
                misses += 1
            x = math.nextafter(x, direction)


def derive_cos(keep):
    with mpmath.workprec(600):
        for j in range(20, 27):  # x in [2^-j, 2^-j+1)
            lo, hi = Fraction(1, 2 ** (2 * j + 1)), Fraction(4, 2 ** (2 * j + 1))  # g = 1 - cos x ~ x^2/2
            k0 = math.floor(lo * 2**53 - Fraction(1, 2))
            k1 = math.ceil(hi * 2**53)
            for k in range(max(k0, 0), k1 + 1):
                g = (Fraction(2 * k + 1, 2)) / 2**53
                x_star = 2 * mpmath.asin(mpmath.sqrt(mpmath.mpf(g.numerator) / g.denominator / 2))
                if 2.0**-j <= x_star < 2.0 ** (1 - j):
                    run_around("cos", x_star, keep)


def derive_tan(keep):
    with mpmath.workprec(600):
        for j in range(20, 26):  # x in [2^-j, 2^-j+1), ulp 2^(-j-52)
            ulp = Fraction(1, 2 ** (j + 52))
            lo = Fraction(1, 2 ** (3 * j)) / 3
            hi = Fraction(8, 2 ** (3 * j)) / 3 * (1 + Fraction(1, 2**30))
            for k in range(math.floor(lo / ulp - 1), math.ceil(hi / ulp) + 1):
                target = (Fraction(2 * k + 1, 2)) * ulp
                if target <= 0:
                    continue
                t = mpmath.mpf(target.numerator) / target.denominator
                x = mpmath.cbrt(3 * t)
                for _ in range(8):  # Newton on tan x - x = t, (tan x - x)' = tan^2 x
                    tx = mpmath.tan(x)
                    x -= (tx - x - t) / (tx * tx)
                if 2.0**-j <= x < 2.0 ** (1 - j):
                    run_around("tan", x, keep)


def derive_acos(keep):
    with mpmath.workprec(600):
        half_pi = mpmath.pi / 2
        for j in range(44, 49):  # |w| in [2^-j, 2^-j+1): acos w within 2^-j+1 of pi/2
            for sign in (1, -1):
                lo = half_pi - 2 ** (1 - j) if sign > 0 else half_pi + 2.0**-j
                hi = half_pi - 2.0**-j if sign > 0 else half_pi + 2 ** (1 - j)
                k0 = int(mpmath.floor(lo * 2**52 - 0.5))
                k1 = int(mpmath.ceil(hi * 2**52))
                for k in range(k0, k1 + 1):
                    m = mpmath.mpf(2 * k + 1) / 2**53  # a midpoint of [1, 2)
                    if lo <= m < hi:
                        run_around("acos", mpmath.cos(m), keep)
    # Larger |w|: too many midpoints to try each. With M = pi/2 -+ D, w* = cos M = +-sin D is
    # a double (to within the ulp g of w) when sin D = D - (D - sin D) is a multiple of g;
    # M is one (a multiple of 2^-53), so D = +-pi/2 modulo g, and the condition reads
    # D - sin D = +-pi/2 + n g (mod g). D - sin D ~ D^3/6 moves by about D^2 2^-53 from one
    # midpoint to the next: only the midpoints next to each solution D_n can be hard.
    with mpmath.workprec(200):  # enough to place D and M to well within 2^-53
        half_pi = mpmath.pi / 2
        for j in range(19, 23):
            g = mpmath.mpf(2) ** (-j - 52)
            d_lo, d_hi = mpmath.mpf(2) ** -j, mpmath.mpf(2) ** (1 - j)
            v_lo, v_hi = d_lo - mpmath.sin(d_lo), d_hi - mpmath.sin(d_hi)
            for sign in (1, -1):
                c = (sign * half_pi) % g
                for n in range(int(mpmath.ceil((v_lo - c) / g)), int(mpmath.floor((v_hi - c) / g)) + 1):
                    v = c + n * g
                    d = mpmath.cbrt(6 * v)
                    for _ in range(6):  # Newton on D - sin D = v
                        d -= (d - mpmath.sin(d) - v) / (1 - mpmath.cos(d))
                    k = int(mpmath.floor((half_pi - sign * d) * 2**52))
                    for kk in (k - 1, k, k + 1):
                        run_around("acos", mpmath.cos(mpmath.mpf(2 * kk + 1) / 2**53), keep)


def sin_arguments(path=None):
    if path is not None:
        return [float.fromhex(s) for s in Path(path).read_text().split()]
    return [float.fromhex(line.split()[1]) for line in OUT.read_text().splitlines() if line.startswith("sin ")]


def table_lines(sin_args, progress=False):
    cases = [("sin", x) for x in sin_args]
    for name, derive in (("cos", derive_cos), ("tan", derive_tan), ("acos", derive_acos)):
        keep = set()
        derive(keep)
        if progress:
            print(f"{name}: {len(keep)} derived", file=sys.stderr)
        cases += [(name, x) for x in sorted(keep)]
    lines = [
        "# Hardest-to-round arguments of sin, cos, tan and acos with their correctly rounded results.",
        "# Written by tools/generate/make_trig_hard_cases.py (see there for how the cos, tan and acos cases are",
        "# derived). sin: the published worst cases of V. Lefevre's testlibm data, update of",
        "# 2020-11-27 (https://www.vinc17.net/research/testlibm/), as listed by the CORE-MATH project.",
        "# Results: mpmath at 500 bits, rounded to nearest once.",
        "# function argument result identical-bits-after-the-round-bit",
    ]
    for name, x in cases:
        y = exact(name, x)
        lines.append(f"{name} {x.hex()} {float(y).hex()} {identical_bits(y)}")
    return lines


def main(argv):
    source = argv[argv.index("--sin-arguments") + 1] if "--sin-arguments" in argv else None
    text = "\n".join(table_lines(sin_arguments(source), progress=True)) + "\n"
    if "--check" in argv:
        same = OUT.exists() and OUT.read_text(encoding="utf-8") == text
        print("hard cases up to date" if same else f"{OUT} differs from the generator")
        return 0 if same else 1
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_text(text, encoding="utf-8")
    print(f"wrote {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
