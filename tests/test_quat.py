import math
import operator

import numpy as np
import pytest
from borrowing import Float, held
from conftest import assert_vec, correctly_rounded, same_float
from hypothesis import given
from hypothesis import strategies as st
from ostrilo_py import AngleDegrees, AngleRadians, Quat, Vec3d

nan, inf = math.nan, math.inf
EPS = 2.220446049250313e-16
finite = st.floats(allow_nan=False, allow_infinity=False)
Z90 = (0.7071067811865476, -0.0, -0.0, -0.7071067811865475)  # +90 degrees about z


def components(q):
    return (q.w, q.i, q.j, q.k)


def same(got, expected):
    got = tuple(got)
    return len(got) == len(expected) and all(same_float(g, e) for g, e in zip(got, expected))


def rotate_reference(q, v):
    w, i, j, k = q
    x, y, z = v
    tw = ((x * i + w * 0.0) + y * j) + z * k
    ti = ((x * w - i * 0.0) - z * j) + y * k
    tj = ((y * w - j * 0.0) - x * k) + z * i
    tk = ((z * w - k * 0.0) - y * i) + x * j
    return (((i * tw + w * ti) + k * tj) - j * tk,
            ((w * tj + j * tw) + i * tk) - k * ti,
            ((w * tk + k * tw) + j * ti) - i * tj)


def matrix_reference(q):
    w, i, j, k = q
    return [[1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - k * w), 2.0 * (i * k + j * w)],
            [2.0 * (i * j + k * w), 1.0 - 2.0 * (i * i + k * k), 2.0 * (j * k - i * w)],
            [2.0 * (i * k - j * w), 2.0 * (j * k + i * w), 1.0 - 2.0 * (i * i + j * j)]]


@pytest.mark.parametrize("value, expected", [
    (lambda: Quat.identity(), (1.0, 0.0, 0.0, 0.0)),
    (lambda: Quat.identity().conjugate(), (1.0, -0.0, -0.0, -0.0)),
    (lambda: Quat(1, 2, 3, 4).conjugate(), (1.0, -2.0, -3.0, -4.0)),
    (lambda: Vec3d(1, 2, 3).to_quat(), (0.0, 1.0, 2.0, 3.0)),
    (lambda: Quat(0, 0, 0, 0).normalize(), (nan, nan, nan, nan)),
    (lambda: Quat(0, 3, 0, 4).normalize(), (0.0, 0.6, 0.0, 0.8)),
    (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi()), Z90),
    (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.zero()), (1.0, -0.0, -0.0, -0.0)),
    (lambda: Quat.from_axis_angle(axis=Vec3d(1, 0, 0), angle=AngleRadians(inf)), (nan, nan, nan, nan)),
])
def test_quaternion_results(value, expected):
    q = value()
    assert type(q) is Quat and same(components(q), expected)


@pytest.mark.parametrize("value, expected", [
    (lambda: Quat(*Z90).rotate(Vec3d(1, 0, 0)), (2.220446049250313e-16, 1.0, 0.0)),
    (lambda: Quat.from_axis_angle(Vec3d(1, 0, 0), AngleRadians.half_pi()).rotate(Vec3d(0, 1, 0)),
     (0.0, 2.220446049250313e-16, 1.0)),
    (lambda: Quat.identity().rotate(Vec3d(1.5, -2, 3.25)), (1.5, -2.0, 3.25)),
    (lambda: Quat(2, 0, 0, 0).rotate(Vec3d(1, 1, 1)), (4.0, 4.0, 4.0)),  # scales by |q|^2
    (lambda: Quat(inf, 0, 0, 0).rotate(Vec3d(1, 0, 0)), (nan, nan, nan)),  # inf * 0 is NaN
])
def test_rotate(value, expected):
    assert_vec(value(), expected)


@pytest.mark.parametrize("q, v", [
    ((1, 0, 0, 0), (inf, 1, 1)), ((0, nan, 0, 0), (1, 2, 3)),
    ((1, 0, 0, 0), (-0.0, -0.0, -0.0)), ((-1, 0, 0, 0), (-0.0, 0.0, -0.0)), ((0, 0, 0, 0), (1, 1, 1)),
    ((1e300, 1e300, 0, 0), (1, 1, 1)), ((0.5, -inf, 0.5, 0), (0, 1, 0)),
    # each of w*0, i*0, j*0 and k*0 alone decides the sign of a zero component
    ((0.0, 0.0, 1.0, -0.0), (-0.0, -0.0, 1.0)), ((0.0, -0.0, 0.0, -0.0), (-0.0, 0.0, 0.0)),
    ((0.0, 0.0, -1.0, 0.0), (1.0, -0.0, -0.0)), ((0.0, 0.0, 0.0, -1.0), (-0.0, 1.0, -0.0)),
])
def test_rotate_non_finite_and_signed_zero(q, v):
    assert_vec(Quat(*q).rotate(Vec3d(*v)), rotate_reference(q, v))


@pytest.mark.parametrize("q, axis, angle", [
    (Quat.identity(), (1.0, 0.0, 0.0), 0.0),
    (Quat(0.9999999999999999, 5, 5, 5), (1.0, 0.0, 0.0), 0.0),  # within the tolerance of w == 1
    (Quat(1.0000000000000002, 0, 0, 0), (nan, nan, nan), nan),
    (Quat(-1, 0, 0, 0), (0.0, 0.0, 0.0), 6.283185307179586),
    (Quat(*Z90), (-0.0, -0.0, -1.0), 1.5707963267948966),  # read in the opposite convention: -axis
])
def test_to_axis_angle(q, axis, angle):
    result = q.to_axis_angle()
    assert type(result) is tuple and [type(x) for x in result] == [Vec3d, AngleRadians]
    assert_vec(result[0], axis)
    assert same_float(result[1].angle, angle)


def test_scalar_results():
    assert same_float(Quat(1, 2, 3, 4).magnitude(), 5.477225575051661)
    assert Quat(1, 2, 3, 4).to_vec3d() == (2.0, 3.0, 4.0) and type(Quat(1, 2, 3, 4).to_vec3d()) is tuple
    matrix = Quat(*Z90).to_rotation_matrix()
    assert matrix == [[2.220446049250313e-16, 1.0, 0.0], [-1.0, 2.220446049250313e-16, 0.0], [0.0, 0.0, 1.0]]
    assert type(matrix) is list and all(type(row) is list for row in matrix)
    axis = Quat.from_axis_angle(Vec3d(1, 2, 2), AngleRadians(1.0))  # a non-unit axis scales too
    assert abs(axis.magnitude() - 1.68487) < 1e-5 and not axis.is_unit()
    assert Quat(0.6, 0.8, 0, 0).is_unit() and Quat(1 - EPS / 2, 0, 0, 0).is_unit()
    assert not Quat(1 + EPS, 0, 0, 0).is_unit() and not Quat(nan, 0, 0, 0).is_unit()


@pytest.mark.parametrize("q, text", [
    (Quat.identity(), "Quat(1, 0, 0, 0)"), (Quat.identity().conjugate(), "Quat(1, -0, -0, -0)"),
    (Quat(0.1, -inf, 1e21, nan), "Quat(0.1, -inf, 1000000000000000000000, NaN)"),
])
def test_repr(q, text):
    assert repr(q) == text == str(q)


finite4 = st.tuples(finite, finite, finite, finite)
finite3 = st.tuples(finite, finite, finite)


@given(finite4, finite3, st.floats(width=64))
def test_formulas_bit_for_bit(q, v, angle):
    assert same(Quat(*q).rotate(Vec3d(*v)), rotate_reference(q, v))
    assert all(same(row, ref) for row, ref in zip(Quat(*q).to_rotation_matrix(), matrix_reference(q), strict=True))
    m = math.sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3])
    assert same_float(Quat(*q).magnitude(), m)
    h = angle * -0.5
    s, c = (correctly_rounded("sin", h), correctly_rounded("cos", h)) if math.isfinite(h) else (nan, nan)
    expected = (c, s * v[0], s * v[1], s * v[2])
    assert same(components(Quat.from_axis_angle(Vec3d(*v), AngleRadians(angle))), expected)


# Named functions, not lambdas, in strategies: older hypothesis versions (Debian's among them)
# re-read a lambda's source on every draw, which costs seconds per test under emulation.
def long_enough(v):
    return math.hypot(*v) > 1e-3


def unit(v):
    return tuple(np.array(v) / math.hypot(*v))


small = st.floats(-1e6, 1e6)
unit_axes = st.tuples(small, small, small).filter(long_enough).map(unit)


turns = st.floats(0.01, 2 * math.pi - 0.01)


@given(unit_axes, turns | turns.map(operator.neg), st.tuples(small, small, small))
def test_rotation_conventions(axis, angle, v):
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(angle))
    n, p = np.array(axis), np.array(v)
    # rotate turns by +angle about the axis (right-hand rule)
    rodrigues = p * math.cos(angle) + np.cross(n, p) * math.sin(angle) + n * np.dot(n, p) * (1 - math.cos(angle))
    rotated = np.array(tuple(q.rotate(Vec3d(*v))))
    assert np.allclose(rotated, rodrigues, rtol=0, atol=1e-12 * (1 + np.linalg.norm(p)))
    # the matrix is the inverse of that rotation
    assert np.allclose(np.array(q.to_rotation_matrix()) @ rotated, p, rtol=0, atol=1e-12 * (1 + np.linalg.norm(p)))
    # read back the other way round: (-n, angle), and (n, -angle) for a negative angle, never negative
    back_axis, back_angle = q.to_axis_angle()
    assert np.allclose(tuple(back_axis), -math.copysign(1, angle) * n, atol=1e-6)
    assert abs(back_angle.angle - abs(angle)) < 1e-6


@pytest.mark.parametrize("a, b, equal", [
    (Quat(1, 0, 0, 0), Quat(1, 1e-17, 0, 0), True),
    (Quat(1, 0, 0, 0), Quat(1, EPS, 0, 0), False),  # the bound is strict
    (Quat(2, 0, 0, 0), Quat(2 + 2 * EPS, 0, 0, 0), False),  # absolute, not relative
    (Quat(-0.0, 0, 0, 0), Quat(0, -0.0, 0, 0), True),
    (Quat(1, 0, 0, nan), Quat(1, 0, 0, nan), False),
    (Quat(inf, 0, 0, 0), Quat(inf, 0, 0, 0), False),  # inf - inf is NaN
    (Quat(1, 0, 0, 0), (1, 0, 0, 0), False),
])
def test_equality(a, b, equal):
    assert (a == b, a != b, b == a, b != a) == (equal, not equal, equal, not equal)


class NotEqualAnswer:
    def __ne__(self, other):
        return "__ne__ was asked"


def test_equality_corner_cases():
    q = Quat(nan, 0, 0, 0)
    assert (q == q, q != q) == (False, True)  # answered by the tolerant test, not by identity
    # `!=` is the direct negation for a Quat and NotImplemented for anything else
    assert (Quat.identity() != NotEqualAnswer()) == "__ne__ was asked"
    for bad in (lambda: Quat.identity() < Quat.identity(), lambda: Quat.identity() >= Quat.identity(),
                lambda: hash(Quat.identity()), lambda: Quat.identity() + Quat.identity(),
                lambda: Quat.identity() * Quat.identity(), lambda: -Quat.identity()):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("call, message", [
    (lambda: Quat(1, 0, 0), "Quat.__new__() missing 1 required positional argument: 'k'"),
    (lambda: Quat(1, 2, 3, "x"), "argument 'k': must be real number, not str"),
    (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleDegrees(90)),
     "argument 'angle': 'AngleDegrees' object is not an instance of 'AngleRadians'"),
    (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), 1.0),
     "argument 'angle': 'float' object is not an instance of 'AngleRadians'"),
    (lambda: Quat.from_axis_angle((0, 0, 1), AngleDegrees(1)),
     "argument 'axis': 'tuple' object is not an instance of 'Vec3d'"),
    (lambda: Quat.identity().rotate(None), "argument 'v': 'None' is not an instance of 'Vec3d'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_setters_replace_one_component():
    q = Quat.identity()
    q.w = 0.5
    q.k = True
    assert components(q) == (0.5, 0.0, 0.0, 1.0) and not q.is_unit()
    with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$"):
        q.i = "x"
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del q.j
    assert components(q) == (0.5, 0.0, 0.0, 1.0)


# ---------------------------------------------------------------------------------------------
# Borrows

def test_setter_converts_before_borrowing():
    q = Quat.identity()

    def touch():
        q.i = q.w + 1.0  # would fail if the exclusive borrow were already taken

    q.w = Float(0.25, touch)
    assert components(q) == (0.25, 2.0, 0.0, 0.0)


def panic_of(excinfo):
    e = excinfo.value
    assert (type(e).__module__, type(e).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(e, Exception)
    return e.args


def test_comparing_with_an_exclusively_borrowed_quat_panics():
    q, other = Quat.identity(), Quat.identity()
    with held(other):
        for compare in (lambda: q == other, lambda: q != other, lambda: other == q):
            with pytest.raises(BaseException) as e:
                compare()
            assert panic_of(e) == ("Already mutably borrowed: PyBorrowError",)
        assert other == other  # unusable on both sides: identity decides
        assert (other == (1, 0, 0, 0), other != (1, 0, 0, 0)) == (False, True)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            other.rotate(Vec3d(1, 0, 0))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            other.w = 2.0
    v = Vec3d(1, 0, 0)
    with held(v):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            q.rotate(v)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            Quat.from_axis_angle(v, AngleRadians(1.0))
    with held(q, 3):  # shared borrows elsewhere do not stop readers
        assert q == other and q.to_vec3d() == (0.0, 0.0, 0.0)
