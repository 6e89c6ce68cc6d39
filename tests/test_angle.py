import math
import operator

import numpy as np
import pytest
from borrowing import Float, flag, held
from conftest import correctly_rounded, same_float
from hypothesis import given
from hypothesis import strategies as st
from ostrilo_py import AngleDegrees as D
from ostrilo_py import AngleRadians as R
from ostrilo_py import Quat, Vec3d

nan, inf = math.nan, math.inf
doubles = st.floats(width=64)
finite = st.floats(allow_nan=False, allow_infinity=False)
ORDERING = [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge]


@pytest.mark.parametrize("value, expected", [
    (lambda: R.zero(), 0.0), (lambda: R.pi(), 3.141592653589793), (lambda: R.two_pi(), 6.283185307179586),
    (lambda: R.half_pi(), 1.5707963267948966), (lambda: R.quarter_pi(), 0.7853981633974483),
    # the rounded quotients of the double pi, one ulp below the doubles nearest to pi/3 and pi/6
    (lambda: R.third_pi(), 1.0471975511965976), (lambda: R.sixth_pi(), 0.5235987755982988),
    (lambda: R.third_pi().to_degrees(), 59.99999999999999), (lambda: R.sixth_pi().to_degrees(), 29.999999999999996),
    (lambda: R.two_pi().to_degrees(), 360.0), (lambda: D(3.0).to_radians(), 0.05235987755982988),
    (lambda: D(180).to_radians(), math.pi), (lambda: R(1.0) - R(3.0), -2.0), (lambda: R(1.0) * True, 1.0),
    (lambda: R(1.0) / 0, inf), (lambda: R(0.0) / 0, nan), (lambda: -R.zero(), -0.0), (lambda: -D(0.0), -0.0),
])
def test_values(value, expected):
    got = value()
    assert type(got) in (R, D) and same_float(got.angle, expected)


@pytest.mark.parametrize("value, expected", [
    (lambda: R.pi().cos(), -1.0), (lambda: R.pi().sec(), -1.0), (lambda: R.zero().cot(), inf),
    (lambda: R.zero().csc(), inf), (lambda: R(-0.0).cot(), -inf), (lambda: R(-0.0).csc(), -inf),
    # the reciprocal of tan, not cos/sin
    (lambda: R.pi().cot(), -8165619676597685.0), (lambda: R.half_pi().sin(), 1.0),
])
def test_trigonometry(value, expected):
    assert same_float(value(), expected)


@pytest.mark.parametrize("value, text", [
    (R(1.0), "1 radians"), (R.pi(), "3.141592653589793 radians"), (D(-45.5), "-45.5°"), (D(-0.0), "-0°"),
    (R(nan), "NaN radians"), (R(1e21), "1000000000000000000000 radians"), (D(-inf), "-inf°"),
])
def test_repr(value, text):
    assert repr(value) == text == str(value)


@given(doubles)
def test_repr_reads_back(x):
    assert same_float(float(repr(R(x)).removesuffix(" radians")), x)
    assert same_float(float(repr(D(x)).removesuffix("°")), x)


def ieee_div(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


@given(doubles, doubles)
def test_arithmetic_and_conversions_follow_the_formulas(x, y):
    # each product is rounded before the division: not x * (180 / pi)
    assert same_float(R(x).to_degrees().angle, ieee_div(x * 180.0, math.pi))
    assert same_float(D(x).to_radians().angle, ieee_div(x * math.pi, 180.0))
    assert same_float((R(x) + R(y)).angle, x + y)
    assert same_float((R(x) - R(y)).angle, x - y)
    assert same_float((R(x) * y).angle, x * y)
    assert same_float((R(x) / y).angle, ieee_div(x, y))


@given(doubles, doubles)
def test_comparisons_are_exact_ieee(x, y):
    for cls in (R, D):
        assert [op(cls(x), cls(y)) for op in ORDERING] == [op(x, y) for op in ORDERING]


@pytest.mark.parametrize("expr", [
    lambda: 2 * R(1.0), lambda: R(1.0) * "x", lambda: R(1.0) + 1.0, lambda: R(1.0) * R(1.0), lambda: 2.0 / R(1.0),
    lambda: R(1.0) * 10**400, lambda: D(1.0) + D(1.0), lambda: D(1.0) * 2, lambda: R(1.0) < 2.0,
    lambda: R(1.0) <= D(1.0),
])
def test_unsupported_operands_are_left_to_the_interpreter(expr):
    with pytest.raises(TypeError) as e:
        expr()
    assert not str(e.value).startswith("argument")


def test_equality_with_other_types_and_nan():
    n = R(nan)
    assert (n == n, n != n) == (False, True)
    assert (R(1.0) == 1.0, R(1.0) != 1.0, 1.0 != R(1.0)) == (False, True, True)
    assert (R(1.0) == D(1.0), R(1.0) != D(1.0)) == (False, True)
    with pytest.raises(TypeError):
        hash(R(1.0))
    with pytest.raises(TypeError):
        {D(1.0)}


class EqualToAll:
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return "__ne__ was asked"


class Raises:
    def __eq__(self, other):
        raise KeyError("from __eq__")


class BadTruth:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise KeyError("from __bool__")


def test_not_equal_negates_the_interpreters_equality():
    # `!=` asks the interpreter for `==` (which reaches the other operand's __eq__) and negates it
    assert (R(1.0) != EqualToAll()) is False and (D(1.0) != EqualToAll()) is False
    for other in (Raises(), BadTruth()):
        with pytest.raises(KeyError):
            R(1.0) != other


@pytest.mark.parametrize("call, message", [
    (lambda: R(), "AngleRadians.__new__() missing 1 required positional argument: 'angle'"),
    (lambda: D(1, 2), "AngleDegrees.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: R("x"), "argument 'angle': must be real number, not str"),
    (lambda: D(None), "argument 'angle': must be real number, not NoneType"),
    (lambda: Vec3d(1, 0, 0).angle_to(R(1)), "argument 'other': 'AngleRadians' object is not an instance of 'Vec3d'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("cls", [R, D])
def test_setter(cls):
    a = cls(angle=1.0)
    a.angle = 2
    assert a.angle == 2.0 and type(a.angle) is float
    with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$"):
        a.angle = "x"
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del a.angle
    assert a.angle == 2.0


# ---------------------------------------------------------------------------------------------
# Vec3d.angle_to: the cosine is clamped, so rounding can no longer push it out of acos's domain.

@pytest.mark.parametrize("a, b, expected", [
    ((1, 0, 0), (0, 1, 0), 1.5707963267948966), ((1, 0, 0), (-1, 0, 0), 3.141592653589793),
    ((1, 2, 3), (2, 4, 6), 0.0), ((1, 1, 0), (1, 1, 0), 2.1073424255447017e-08),
    ((1, 1, 1), (1, 1, 1), 0.0),  # quotient 1.0000000000000002, clamped to 1
    ((1, 1, 1), (-1, -1, -1), math.pi),  # quotient -1.0000000000000002, clamped to -1
    ((0, 0, 0), (1, 0, 0), nan), ((0, 0, 0), (0, 0, 0), nan), ((nan, 0, 0), (1, 0, 0), nan),
    ((inf, 0, 0), (1, 0, 0), nan),
])
def test_angle_to(a, b, expected):
    r = Vec3d(*a).angle_to(Vec3d(*b))
    assert type(r) is R and same_float(r.angle, expected)


def angle_to_reference(a, b):
    dot = (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]
    ma = math.sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])
    mb = math.sqrt((b[0] * b[0] + b[1] * b[1]) + b[2] * b[2])
    q = ieee_div(dot, ma * mb)
    if q > 1.0:
        q = 1.0
    elif q < -1.0:
        q = -1.0
    return correctly_rounded("acos", q)


@given(st.tuples(finite, finite, finite), st.tuples(finite, finite, finite))
def test_angle_to_matches_the_clamped_formula(a, b):
    assert same_float(Vec3d(*a).angle_to(Vec3d(*b)).angle, angle_to_reference(a, b))


# ---------------------------------------------------------------------------------------------
# Borrows

def test_operand_conversion_runs_under_a_shared_borrow_of_the_receiver():
    a = R(1.0)
    seen = []
    assert (a * Float(2.0, lambda: seen.append((flag(a).value, a.angle, a.sin())))).angle == 2.0
    assert seen == [(1, 1.0, correctly_rounded("sin", 1.0))] and flag(a).value == 0

    def write():
        a.angle = 5.0

    evil = Float(2.0, write)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for /"):
        a / evil  # the setter's borrow error is discarded with the failed conversion
    assert evil.error == "Already borrowed" and a.angle == 1.0 and flag(a).value == 0


def test_setter_converts_before_borrowing():
    a = D(1.0)

    def write():
        a.angle = 7.0

    a.angle = Float(3.0, write)
    assert a.angle == 3.0


def test_exclusively_borrowed_angle():
    a, b = R(1.0), R(2.0)
    with held(a):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            a.sin()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            a.angle = 3.0
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            Quat.from_axis_angle(Vec3d(0, 0, 1), a)
        with pytest.raises(TypeError, match="unsupported operand"):
            b + a
        # unusable either way round: NotImplemented, then the interpreter's identity fallback
        assert (a == a, a != a, b == a, a == b, b != a) == (True, False, False, False, True)
    with held(a, 2):
        assert a.cos() == correctly_rounded("cos", 1.0)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            a.angle = 3.0
    assert a.angle == 1.0
