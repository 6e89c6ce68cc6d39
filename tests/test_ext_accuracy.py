"""Accurate angles: the deterministic atan2 behind them, axis_angle and angle_between, against
multiprecision values; and the failures of the acos forms that they replace, as regression rows."""

import math
import random

import pytest
from conftest import same_float
from ostrilo_py import AngleRadians, Quat, Vec3d

ostrilo_ext = pytest.importorskip("ostrilo_ext")
mpmath = pytest.importorskip("mpmath")


def ulp_error(got: float, exact) -> float:
    return float(abs(mpmath.mpf(got) - exact) / mpmath.mpf(math.ulp(float(exact))))


def atan2(y: float, x: float) -> float:
    """The module's atan2(|y|, x): angle_between((1, 0, 0), (x, y, 0)), whose cross product's length
    is |y| and dot product x, both exact."""
    return ostrilo_ext.angle_between(Vec3d(1.0, 0.0, 0.0), Vec3d(x, y, 0.0)).angle


def atan2_cases():
    rng = random.Random(11)
    cases = []
    for _ in range(3000):
        y = math.ldexp(rng.random(), rng.randint(-60, 60))
        x = math.ldexp(rng.random(), rng.randint(-60, 60)) * rng.choice((-1, 1))
        cases.append((y, x))
    # the borders of the argument reduction (7/16, 11/16, 19/16, 39/16) and their neighbours
    for t in (7 / 16, 11 / 16, 19 / 16, 39 / 16, 1.0, 0.5, 1.5, 2.0 ** 66, 2.0 ** -27):
        for r in (t, math.nextafter(t, 0), math.nextafter(t, math.inf)):
            cases += [(r, 1.0), (1.0, 1.0 / r), (r, -1.0)]
    return cases


def test_atan2_is_within_one_ulp_for_atan_and_two_for_quotients():
    # atan2(y, 1) is atan(y) itself; elsewhere the rounded quotient y / x adds up to one more ulp
    worst_atan = worst = 0.0
    with mpmath.workprec(200):
        for y, x in atan2_cases():
            worst = max(worst, ulp_error(atan2(y, x), mpmath.atan2(y, x)))
            worst_atan = max(worst_atan, ulp_error(atan2(y, 1.0), mpmath.atan(y)))
    assert worst_atan <= 1.0
    assert worst <= 2.0


@pytest.mark.parametrize(
    "y, x, expected",
    [
        (0.0, 1.0, 0.0), (0.0, -1.0, math.pi), (1.0, 0.0, math.pi / 2), (1e-300, -1.0, math.pi),
        (1e300, 1e-300, math.pi / 2), (1e-300, 1e300, 0.0), (math.nan, 1.0, math.nan),
        (1.0, math.nan, math.nan),
    ],
)
def test_atan2_special_values_follow_c(y, x, expected):
    assert same_float(atan2(y, x), expected)
    assert same_float(atan2(y, x), math.atan2(y, x))


def test_axis_angle_is_accurate_at_every_angle():
    rng = random.Random(5)
    with mpmath.workprec(200):
        for exponent in range(-300, 1):
            angle = min(rng.uniform(1, 10) * 10.0 ** exponent if exponent < 0 else rng.uniform(0, math.pi), math.pi)
            n = Vec3d(rng.gauss(0, 1), rng.gauss(0, 1), rng.gauss(0, 1)).normalize()
            q = Quat.from_axis_angle(n, AngleRadians(angle))
            axis, got = ostrilo_ext.axis_angle(q)
            # the exact angle of the stored components (which carry the rounding of sin and cos)
            s = mpmath.sqrt(mpmath.mpf(q.i) ** 2 + mpmath.mpf(q.j) ** 2 + mpmath.mpf(q.k) ** 2)
            exact = 2 * mpmath.atan2(s, abs(mpmath.mpf(q.w)))
            assert ulp_error(got.angle, exact) <= 2.0, angle
            assert abs(axis.magnitude() - 1.0) < 4e-16
            assert max(abs(axis.x - n.x), abs(axis.y - n.y), abs(axis.z - n.z)) < 1e-15


@pytest.mark.parametrize("angle", [1e-7, 1e-8, 2e-8, 1e-12, 1e-300])
def test_regression_small_rotations_keep_their_angle_and_a_unit_axis(angle):
    # acos(w) was 1.2 % off at 1e-7 rad with an axis of length 1.0117, and lost the rotation
    # entirely below about 2e-8 rad
    axis, got = ostrilo_ext.axis_angle(Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(angle)))
    assert abs(got.angle - angle) <= 2 * math.ulp(angle)
    assert abs(axis.x) < 1e-15 and abs(axis.y - 0.6) < 1e-15 and abs(axis.z - 0.8) < 1e-15


@pytest.mark.parametrize("angle", [0.5, 2.0, math.pi, 3.5, 2 * math.pi - 1e-9])
def test_axis_angle_round_trips_through_from_axis_angle(angle):
    n = Vec3d(0.48, -0.6, 0.64)
    q = Quat.from_axis_angle(n, AngleRadians(angle))
    axis, got = ostrilo_ext.axis_angle(q)
    back = Quat.from_axis_angle(axis, got)
    assert min(max(abs(a - b) for a, b in zip((q.w, q.i, q.j, q.k), (back.w, back.i, back.j, back.k))),
               max(abs(a + b) for a, b in zip((q.w, q.i, q.j, q.k), (back.w, back.i, back.j, back.k)))) < 1e-15
    assert 0.0 <= got.angle <= math.pi
    assert same_float(ostrilo_ext.axis_angle(Quat.identity())[1].angle, 0.0)
    with pytest.raises(ValueError, match="the zero quaternion is no rotation"):
        ostrilo_ext.axis_angle(Quat(0, 0, 0, 0))


def test_regression_parallel_and_opposite_vectors_give_exactly_zero_and_pi():
    # Vec3d.angle_to gave 1.49e-8 instead of 0 for a quarter of random v (acos near 1)
    rng = random.Random(2)
    for _ in range(1000):
        v = Vec3d(rng.uniform(-10, 10), rng.uniform(-10, 10), rng.uniform(-10, 10))
        k = rng.uniform(0.1, 10)
        assert ostrilo_ext.angle_between(v, Vec3d(v.x * k, v.y * k, v.z * k)).angle < 1e-15
        assert ostrilo_ext.angle_between(v, v).angle == 0.0
        assert ostrilo_ext.angle_between(v, Vec3d(v.x * 4, v.y * 4, v.z * 4)).angle == 0.0
        assert ostrilo_ext.angle_between(v, Vec3d(-v.x, -v.y, -v.z)).angle == math.pi


def test_angle_between_against_multiprecision():
    rng = random.Random(8)
    with mpmath.workprec(200):
        for _ in range(500):
            a = [rng.uniform(-1, 1) for _ in range(3)]
            b = [x + rng.choice((1e-3, 1e-9, 1)) * rng.uniform(-1, 1) for x in a]
            A, B = [mpmath.mpf(x) for x in a], [mpmath.mpf(x) for x in b]
            cross = [A[1] * B[2] - A[2] * B[1], A[2] * B[0] - A[0] * B[2], A[0] * B[1] - A[1] * B[0]]
            exact = mpmath.atan2(mpmath.sqrt(sum(c * c for c in cross)), sum(x * y for x, y in zip(A, B)))
            got = ostrilo_ext.angle_between(Vec3d(*a), Vec3d(*b)).angle
            # a few units of rounding of the unit vectors' coordinates, at every angle (acos of the
            # normalised dot product is off by about 1e-8 near 0)
            assert abs(got - float(exact)) <= 4 * 2.0 ** -53
    # tiny and huge vectors: scaled by powers of two, nothing underflows
    assert same_float(ostrilo_ext.angle_between(Vec3d(1e-300, 0, 0), Vec3d(1e-300, 1e-300, 0)).angle, math.pi / 4)
    assert same_float(ostrilo_ext.angle_between(Vec3d(1e300, 0, 0), Vec3d(0, 0, 1e-300)).angle, math.pi / 2)
    with pytest.raises(ValueError, match="a zero vector has no direction"):
        ostrilo_ext.angle_between(Vec3d(0, 0, 0), Vec3d(1, 0, 0))


# ---------------------------------------------------------------------------------------------
# Tiny angles and vectors of subnormal size (test_ext_rotations.py holds every size to the bits of
# size 1).

def exact_angle(a, b):
    A, B = [mpmath.mpf(x) for x in a], [mpmath.mpf(x) for x in b]
    cross = [A[1] * B[2] - A[2] * B[1], A[2] * B[0] - A[0] * B[2], A[0] * B[1] - A[1] * B[0]]
    return mpmath.atan2(mpmath.sqrt(sum(c * c for c in cross)), sum(x * y for x, y in zip(A, B)))


def within_ulps(got: float, exact, ulps: float) -> bool:
    # subnormal results have absolute steps of 2^-1074 only
    return abs(mpmath.mpf(got) - exact) <= ulps * max(math.ulp(float(exact)), 2.0 ** -1074)


@pytest.mark.parametrize("t", [1e-150, 1e-160, 1e-200, 1e-300, 2.0 ** -1022, 1e-310, 5e-324])
@pytest.mark.parametrize("b", [lambda t: (1.0, t, 0.0), lambda t: (3.0, -t, 2 * t), lambda t: (1.0, 0.0, 0.0)])
def test_regression_tiny_angles_keep_their_digits(t, b):
    # |a x b| came from squares that underflowed: 1e-160 was 0.2 % off, 1e-200 came out 0;
    # and vectors of subnormal size gave NaN
    with mpmath.workprec(300):
        vectors = [((1.0, 0.0, 0.0), b(t)), ((t, 0.0, 0.0), (0.0, t, t))]
        for a, bb in vectors:
            got = ostrilo_ext.angle_between(Vec3d(*a), Vec3d(*bb)).angle
            assert within_ulps(got, exact_angle(a, bb), 2), (a, bb, got)
        # axis_angle of the rotation whose vector part is that small, and of one that small overall
        for q in (Quat(1.0, -t, 0.0, 0.0), Quat(t, t, -t, 0.0), Quat(2.0, 0.0, 3 * t, -t)):
            axis, got = ostrilo_ext.axis_angle(q)
            v = [mpmath.mpf(x) for x in (q.i, q.j, q.k)]
            s = mpmath.sqrt(sum(x * x for x in v))
            assert within_ulps(got.angle, 2 * mpmath.atan2(s, abs(mpmath.mpf(q.w))), 2), q
            assert max(abs(g + float(x / s)) for g, x in zip((axis.x, axis.y, axis.z), v)) < 4e-16, (q, axis)
