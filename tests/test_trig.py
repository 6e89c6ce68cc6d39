"""Sine, cosine, tangent and arccosine: correctly rounded, and so the same bits everywhere.

The module does not call the platform C library for these (tests/test_golden.py says why): it
carries its own. A fast evaluation answers when its error bound settles the rounding; otherwise an
exact argument reduction and double-double series do, and an exact integer step where even those
cannot. The inputs next to multiples of pi/2 (where the fast reduction is too coarse) and the
random ones reach the first two paths, the hardest-to-round arguments at the end the third. They are checked
here against a reference written with Python integers and fractions only: the argument is reduced
with 1400 bits of pi, the series are summed in 320-bit fixed point, and the exact rational result
is rounded once to the nearest double. acos is reached through Quat.to_axis_angle, whose angle is
2 acos(w) (the doubling is exact).
"""
import math
import random
import struct
from fractions import Fraction
from pathlib import Path

import pytest
from conftest import bits, load_script
from ostrilo_py import AngleRadians, Quat, Vec3d

SEED = 0x7216
EPS = 2.220446049250313e-16

# ---------------------------------------------------------------------------------------------
# The reference: exact integer arithmetic.

PI_BITS = 1400  # the reduction of the largest double needs about 1024 + 200 bits
PREC = 320      # fixed-point bits of the series


def _atan_inv(n, scale):
    total, power, k = 0, (1 << scale) // n, 0
    while power:
        total += -(power // (2 * k + 1)) if k & 1 else power // (2 * k + 1)
        power //= n * n
        k += 1
    return total


_PI_FULL = (16 * _atan_inv(5, PI_BITS + 32) - 4 * _atan_inv(239, PI_BITS + 32)) >> 32  # pi 2^1400
_HALF_PI_FULL = _PI_FULL >> 1
_HALF_PI = _HALF_PI_FULL >> (PI_BITS - PREC)  # pi/2 2^PREC


def _series(r, odd):
    """sin r (odd) or cos r in PREC-bit fixed point, for |r| below about 1."""
    one = 1 << PREC
    r2 = (r * r) >> PREC
    term, total, k = (r if odd else one), 0, (1 if odd else 0)
    while term:
        total += term
        term = -((term * r2) >> PREC) // ((k + 1) * (k + 2))
        k += 2
    return total


def _sin_cos_fixed(y):
    """(sin y, cos y) in fixed point for any fixed-point y >= 0 below a few pi."""
    n = (2 * y + _HALF_PI) // (2 * _HALF_PI)
    r = y - n * _HALF_PI
    s, c = _series(r, True), _series(r, False)
    return [(s, c), (c, -s), (-s, -c), (-c, s)][n % 4]


def _reduce(x):
    """|x| = n pi/2 + r exactly enough: (r in PREC-bit fixed point, n mod 4)."""
    num, den = Fraction(abs(x)).as_integer_ratio()
    big = (num << PI_BITS) // den  # exact: den is a power of two below 2^PI_BITS here
    n = (2 * big + _HALF_PI_FULL) // (2 * _HALF_PI_FULL)
    return (big - n * _HALF_PI_FULL) >> (PI_BITS - PREC), n % 4


def _nearest(value):
    return float(value)  # Fraction -> float rounds to nearest, ties to even


def ref_sin_cos_tan(x):
    """Correctly rounded (sin x, cos x, tan x) for a finite x."""
    if abs(x) < 2.0**-20:  # series in exact fractions: the first omitted term is below 2^-180 x
        f = Fraction(x)
        f2 = f * f
        s = f * (1 - f2 / 6 + f2 * f2 / 120 - f2 * f2 * f2 / 5040)
        c = 1 - f2 / 2 + f2 * f2 / 24 - f2 * f2 * f2 / 720
        t = f * (1 + f2 / 3 + 2 * f2 * f2 / 15 + 17 * f2 * f2 * f2 / 315)
        # Exact zeros keep the argument's sign, as in C.
        return (x if x == 0 else _nearest(s)), _nearest(c), (x if x == 0 else _nearest(t))
    r, q = _reduce(x)
    s, c = _series(r, True), _series(r, False)
    s, c = [(s, c), (c, -s), (-s, -c), (-c, s)][q]
    if x < 0:
        s = -s
    scale = Fraction(1, 1 << PREC)
    return _nearest(s * scale), _nearest(c * scale), _nearest(Fraction(s, c))


def ref_acos(w):
    """Correctly rounded acos w for -1 <= w <= 1: Newton's method on cos y = w in fixed point."""
    if w == 1.0:
        return 0.0
    if w == -1.0:
        return _nearest(Fraction(_PI_FULL, 1 << PI_BITS))
    target = (Fraction(w) * (1 << PREC)).__floor__()
    y = int(Fraction(math.acos(w)) * (1 << PREC))  # any start within a few ulps
    for _ in range(8):
        s, c = _sin_cos_fixed(y)
        y += ((c - target) << PREC) // s
    return _nearest(Fraction(y, 1 << PREC))


def test_tables_are_what_the_generator_writes():
    # The constants of the C++ side come from tools/generate/make_trig_tables.py; a hand edit or a stale
    # table would show here.
    root = Path(__file__).resolve().parent.parent
    tool = load_script("tools/generate/make_trig_tables.py")
    assert (root / "drevan" / "src" / "trig_tables.inc").read_text(encoding="utf-8") == tool.table_text()
    # Its pi and the reference's agree far beyond what either needs.
    assert abs(tool.pi_fixed(1500) - Fraction(_PI_FULL, 1 << PI_BITS)) < Fraction(1, 1 << 1390)


def test_reference_against_known_values():
    # The reference itself, on values that do not depend on any library.
    assert ref_sin_cos_tan(math.pi) == (1.2246467991473532e-16, -1.0, -1.2246467991473532e-16)
    assert ref_sin_cos_tan(math.pi / 4) == (0.7071067811865475, 0.7071067811865476, 0.9999999999999999)
    assert ref_sin_cos_tan(1e22)[0] == -0.8522008497671888  # the classic reduction test
    assert ref_acos(0.5) == 1.0471975511965979 and ref_acos(0.0) == 1.5707963267948966
    assert ref_acos(0.9999999999999998) == 2.1073424255447017e-08


# ---------------------------------------------------------------------------------------------
# Inputs: integer draws and exact constructions only.

def _from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def _angles(count):
    rng = random.Random(SEED)
    xs = [math.pi, -math.pi, math.pi / 2, math.pi / 4, math.nextafter(math.pi / 4, 1.0), 1e22, 1e300,
          1.7976931348623157e308, math.ldexp(6381956970095103.0, 797), math.ldexp(5400934624503751.0, 91),
          2.0**-26, math.nextafter(2.0**-26, 0.0), 2.0**-27, math.nextafter(2.0**-27, 0.0), 5e-324]
    xs += [k * (math.pi / 2) for k in range(-40, 41) if k]
    while len(xs) < count:
        kind = rng.randrange(5)
        if kind == 0:
            xs.append(math.ldexp(rng.getrandbits(53) - 2**52, -50))
        elif kind == 1:
            xs.append(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-40, 40)))
        elif kind == 2:  # next to a multiple of pi/2
            x = rng.randrange(-100000, 100000) * (math.pi / 2)
            for _ in range(rng.randrange(1, 3)):
                x = math.nextafter(x, math.inf)
            xs.append(x)
        elif kind == 3:
            xs.append(math.ldexp(rng.getrandbits(53), rng.randrange(-53, 971)))
        else:
            x = _from_bits(rng.getrandbits(64))
            if math.isfinite(x):
                xs.append(x)
    return xs


ANGLES = _angles(700)


def _acos_inputs(count):
    rng = random.Random(SEED + 1)
    ws = [0.0, -0.0, 0.5, -0.5, math.nextafter(0.5, 1.0), math.nextafter(-0.5, -1.0), 1.0 - 2 * EPS,
          0.9999999999999998, -0.9999999999999999, -1.0, 5e-324, 1e-300, 0.7071067811865476]
    while len(ws) < count:
        kind = rng.randrange(3)
        if kind == 0:
            w = math.ldexp(rng.getrandbits(53), -53)
        elif kind == 1:  # next to +-1
            w = 1.0 - math.ldexp(rng.getrandbits(20) + 2, -53)
        else:
            w = math.ldexp(rng.getrandbits(53), rng.randrange(-80, -53))
        ws.append(-w if rng.getrandbits(1) else w)
    return ws


ACOS_INPUTS = _acos_inputs(250)


def _acos(w):
    # Quat.to_axis_angle: angle = acos(w) + acos(w); w within eps of 1 is answered with 0 instead.
    return Quat(w, 0.0, 0.0, 1.0).to_axis_angle()[1].angle / 2.0


# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("chunk", range(7))
def test_sin_cos_tan_correctly_rounded(chunk):
    wrong = []
    for x in ANGLES[chunk::7]:
        a = AngleRadians(x)
        got = (a.sin(), a.cos(), a.tan())
        want = ref_sin_cos_tan(x)
        if [bits(g) for g in got] != [bits(w) for w in want]:
            wrong.append(f"x={x.hex()}: got {[g.hex() for g in got]}, exact {[w.hex() for w in want]}")
    assert not wrong, "\n".join(wrong[:10])


def _edges():
    # Where the quick evaluation changes hands: the grid of its tables starts at 2^-7 (64 |r|
    # + 0.5 rounds up to 1 just below it), pi/4 (the largest argument used without reduction
    # until now), 2^-27 and 2^-26 (where sin x = x and cos x = 1 take over), 2^19 (the exact
    # reduction); a few neighbours on either side, with both signs.
    xs = []
    for c in (2.0**-7, 2.0**-6, math.pi / 4, 2.0**-27, 2.0**-26, 2.0**19, 3 * math.pi / 4):
        up = down = c
        for _ in range(6):
            xs += [up, -down]
            up, down = math.nextafter(up, math.inf), math.nextafter(down, 0.0)
    return xs


def test_sin_cos_correctly_rounded_where_the_evaluation_changes_hands():
    wrong = []
    for x in _edges():
        got = AngleRadians(x).sin(), AngleRadians(x).cos()
        want = ref_sin_cos_tan(x)[:2]
        if [bits(g) for g in got] != [bits(w) for w in want]:
            wrong.append(f"x={x.hex()}: got {[g.hex() for g in got]}, exact {[w.hex() for w in want]}")
    assert not wrong, "\n".join(wrong[:10])


def test_reciprocals_are_one_over_the_functions():
    for x in ANGLES[::5]:
        a = AngleRadians(x)
        assert bits(a.sec()) == bits(1.0 / a.cos()) and bits(a.csc()) == bits(1.0 / a.sin())
        assert bits(a.cot()) == bits(1.0 / a.tan())


def test_acos_correctly_rounded():
    wrong = []
    for w in ACOS_INPUTS:
        if abs(w - 1.0) < EPS:
            continue
        got, want = _acos(w), ref_acos(w)
        if bits(got) != bits(want):
            wrong.append(f"w={w.hex()}: got {got.hex()}, exact {want.hex()}")
    assert not wrong, "\n".join(wrong[:10])


def test_angle_to_uses_the_same_acos():
    # A unit x axis against (c, s, 0): the quotient is exactly c whenever |(c, s)| rounds to 1.
    for c in (0.6, -0.6, 0.28, 0.0):
        s = 0.8 if abs(c) == 0.6 else (0.96 if c == 0.28 else 1.0)
        assert Vec3d(1.0, 0.0, 0.0).angle_to(Vec3d(c, s, 0.0)).angle == ref_acos(c)


def test_symmetry_and_signs():
    for x in ANGLES[::3]:
        a, b = AngleRadians(x), AngleRadians(-x)
        assert bits(b.sin()) == bits(-a.sin()) and bits(b.tan()) == bits(-a.tan())
        assert bits(b.cos()) == bits(a.cos())
    assert bits(AngleRadians(-0.0).sin()) == bits(-0.0) and bits(AngleRadians(-0.0).tan()) == bits(-0.0)
    assert AngleRadians(-0.0).cos() == 1.0 and bits(AngleRadians(5e-324).sin()) == bits(5e-324)


@pytest.mark.parametrize("x", [math.inf, -math.inf, math.nan])
def test_non_finite_arguments_give_nan(x):
    a = AngleRadians(x)
    assert all(math.isnan(v) for v in (a.sin(), a.cos(), a.tan(), a.sec(), a.csc(), a.cot()))


def test_acos_outside_its_domain_is_nan():
    for w in (1.0 + 2 * EPS, -1.0 - 2 * EPS, 2.0, math.inf, -math.inf, math.nan):
        axis, angle = Quat(w, 0.0, 0.0, 0.0).to_axis_angle()
        assert math.isnan(angle.angle) and all(math.isnan(c) for c in axis)
    assert _acos(-1.0) == math.pi  # the double nearest to pi, doubled back to two_pi exactly
    assert Quat(-1.0, 0.0, 0.0, 0.0).to_axis_angle()[1].angle == 6.283185307179586


def test_from_axis_angle_sine_and_cosine_match_the_single_functions():
    # One reduction serves both values; they must be the bits of sin and cos of -angle/2.
    for x in ANGLES[::4]:
        q = Quat.from_axis_angle(Vec3d(1.0, 1.0, 1.0), AngleRadians(x))
        h = AngleRadians(x * -0.5)
        assert bits(q.w) == bits(h.cos()) and bits(q.i) == bits(h.sin()) and bits(q.k) == bits(h.sin())


# ---------------------------------------------------------------------------------------------
# The hardest-to-round arguments: values within 2^-97 to 2^-126 (relative) of the midpoint
# between two doubles, where a double-double evaluation cannot decide and the exact step must.
# tests/data/trig-hard-cases.txt holds them with their results (published sine worst cases,
# derived cosine, tangent and arccosine ones; see tools/generate/make_trig_hard_cases.py).

HARD_CASES_FILE = Path(__file__).resolve().parent / "data" / "trig-hard-cases.txt"


def _hard_cases():
    cases = {"sin": [], "cos": [], "tan": [], "acos": []}
    for line in HARD_CASES_FILE.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            name, x, y, _ = line.split()
            cases[name].append((float.fromhex(x), float.fromhex(y)))
    return cases


HARD = _hard_cases()
_SIGN = {"sin": -1.0, "cos": 1.0, "tan": -1.0}  # f(-x) = sign f(x), and round to nearest is symmetric


def _module_value(name, x):
    return _acos(x) if name == "acos" else getattr(AngleRadians(x), name)()


@pytest.mark.parametrize("name", ["sin", "cos", "tan", "acos"])
def test_hardest_cases_correctly_rounded(name):
    assert len(HARD[name]) > 1000
    wrong = []
    for x, want in HARD[name]:
        checks = [(x, want)] if name == "acos" else [(x, want), (-x, _SIGN[name] * want)]
        for arg, expected in checks:
            got = _module_value(name, arg)
            if bits(got) != bits(expected):
                wrong.append(f"{name}({arg.hex()}): got {got.hex()}, correctly rounded {expected.hex()}")
    assert not wrong, f"{len(wrong)} wrong:\n" + "\n".join(wrong[:10])


def _mpmath_nearest(name, x):
    import mpmath

    with mpmath.workprec(500):
        sign, man, exp, _ = getattr(mpmath, name)(mpmath.mpf(x))._mpf_
    value = float(Fraction(int(man)) * Fraction(2) ** int(exp))  # rounded once, to nearest
    return -value if sign else value


@pytest.mark.parametrize("name", ["sin", "cos", "tan", "acos"])
def test_hard_case_results_agree_with_mpmath(name):
    # The committed results were computed once by the generator; a sample is recomputed here, a
    # different one on each run (the seed is in the message of a failure).
    seed = random.randrange(1 << 32)
    sample = random.Random(seed).sample(HARD[name], 150)
    wrong = [f"{name}({x.hex()}): file {y.hex()}" for x, y in sample if bits(_mpmath_nearest(name, x)) != bits(y)]
    assert not wrong, f"seed {seed}:\n" + "\n".join(wrong[:10])


def test_hard_cases_through_one_reduction_for_both():
    # Quat.from_axis_angle takes sine and cosine of -angle/2 from one reduction: on hard
    # arguments they must still be the bits of the single functions.
    rng = random.Random(SEED + 2)
    pairs = [(x, y) for x, y in rng.sample(HARD["sin"], 300) + rng.sample(HARD["cos"], 300) if abs(x) < 2.0**1023]
    for x, _ in pairs:
        q = Quat.from_axis_angle(Vec3d(1.0, 1.0, 1.0), AngleRadians(-2.0 * x))
        h = AngleRadians(x)
        assert bits(q.w) == bits(h.cos()) and bits(q.i) == bits(h.sin()), x.hex()
