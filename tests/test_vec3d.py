import math
import struct
from decimal import Decimal

import pytest
from conftest import assert_vec, same_float
from hypothesis import given
from hypothesis import strategies as st
from ostrilo_py import Vec3d, VecList

EPS = 2.220446049250313e-16
NAN = float("nan")
INF = float("inf")

finite = st.floats(allow_nan=False, allow_infinity=False)
any_float = st.floats()


@pytest.mark.parametrize(
    "v, text",
    [
        (Vec3d(1, 2, 3), "Vec3d(1, 2, 3)"),
        (Vec3d(1, 2.5, -0.0), "Vec3d(1, 2.5, -0)"),
        (Vec3d(0.1, 1e21, 1.5e-10), "Vec3d(0.1, 1000000000000000000000, 0.00000000015)"),
        (Vec3d(NAN, INF, -0.0), "Vec3d(NaN, inf, -0)"),
        (Vec3d(-INF, -2, 5e-324), "Vec3d(-inf, -2, 0." + "0" * 323 + "5)"),
    ],
)
def test_repr(v, text):
    assert repr(v) == text
    assert str(v) == text


def positional(x: float) -> str:
    """Python's own shortest round-trip digits of x, written out without an exponent."""
    if not math.isfinite(x):
        return {"nan": "NaN"}.get(repr(x), repr(x))
    text = format(Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def element_text(x: float) -> str:
    return repr(Vec3d(x, 0, 0))[len("Vec3d("):-len(", 0, 0)")]


@pytest.mark.parametrize(
    "x, text",
    [
        (1e23, "1" + "0" * 23),
        (4.240014469906993e16, "42400144699069930"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (-1e300, "-1" + "0" * 300),
        (2.0**53, "9007199254740992"),
        (1e21, "1" + "0" * 21),
        (1.5e-10, "0.00000000015"),
    ],
)
def test_large_numbers_take_the_shortest_digits(x, text):
    assert element_text(x) == text
    assert repr(VecList([Vec3d(0, x, 0)])) == f"[Vec3d(0, {text}, 0)]"


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def power_of_ten(k: int) -> float:  # named: see unit_axes in test_quat.py
    return float(10**k)


@given(
    st.one_of(
        st.integers(0, 2**64 - 1).map(from_bits),
        st.floats(min_value=2.0**53, allow_infinity=False),
        st.integers(0, 308).map(power_of_ten),
        st.floats(min_value=0.0, max_value=2.2250738585072014e-308),
    )
)
def test_number_text_is_pythons_shortest_digits(x):
    assert element_text(x) == positional(x)
    assert element_text(-x) == positional(-x)


@given(any_float)
def test_repr_numbers_read_back(x):
    text = repr(Vec3d(x, 0, 0))[len("Vec3d("):-len(", 0, 0)")]
    assert "e" not in text and "E" not in text
    back = float(text.replace("NaN", "nan"))
    assert same_float(back, x) or (math.isnan(x) and math.isnan(back))
    if x == int(x) if math.isfinite(x) else False:
        assert "." not in text


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda: Vec3d(0, 0, 0).normalize(), (NAN, NAN, NAN)),
        (lambda: Vec3d(1, 1, 1).normalize(), (0.5773502691896258,) * 3),
        (lambda: Vec3d.i().cross(Vec3d.j()), (0.0, 0.0, 1.0)),
        (lambda: Vec3d.new_from_to(Vec3d(1, 1, 1), Vec3d(2, 3, 4)), (1.0, 2.0, 3.0)),
        (lambda: Vec3d(1, 1, 0).project_onto_line(Vec3d(2, 0, 0), Vec3d(0, 0, 0)), (1.0, 0.0, 0.0)),
        (lambda: Vec3d(1, 2, 3).project_onto_plane(Vec3d(0, 0, 2)), (1.0, 2.0, -9.0)),
        (lambda: Vec3d(1, -1, 0) / 0, (INF, -INF, NAN)),
        (lambda: -Vec3d(0.0, -1.0, NAN), (-0.0, 1.0, NAN)),
        (lambda: Vec3d(1, 2, 3) * 2, (2.0, 4.0, 6.0)),
        (lambda: 2 * Vec3d(1, 2, 3), (2.0, 4.0, 6.0)),
        (lambda: Vec3d(1, 2, 3) * True, (1.0, 2.0, 3.0)),
        (lambda: Vec3d(1, 2, 3) + Vec3d(0.5, -2, -0.0), (1.5, 0.0, 3.0)),
        (lambda: Vec3d(-0.0, 0, 0) - Vec3d(0.0, 0, 0), (-0.0, 0.0, 0.0)),
        (lambda: Vec3d.zero(), (0.0, 0.0, 0.0)),
        (lambda: Vec3d.k(), (0.0, 0.0, 1.0)),
    ],
)
def test_vector_results(expr, expected):
    assert_vec(expr(), expected)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda: Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()), 1.0),
        (lambda: Vec3d(1, 1, 0).distance_to_line(Vec3d(0, 0, 0), Vec3d(0, 0, 0)), NAN),
        (lambda: Vec3d(1, 3, 3).normalize().magnitude(), 0.9999999999999998),
        (lambda: Vec3d(1, 2, 3).dot(Vec3d(4, 5, 6)), 32.0),
        (lambda: Vec3d(1, 2, 3).distance_squared(Vec3d(4, 6, 3)), 25.0),
        (lambda: Vec3d(1, 2, 3).distance_to(Vec3d(4, 6, 3)), 5.0),
        (lambda: Vec3d(3, 0, 4).distance_to_line(Vec3d(0, 0, 0), Vec3d(1, 0, 0)), 4.0),
    ],
)
def test_scalar_results(expr, expected):
    assert same_float(expr(), expected)


@pytest.mark.parametrize(
    "v, unit",
    [
        (Vec3d(1, 1, 1).normalize(), True),
        (Vec3d(1, 3, 3).normalize(), False),  # the difference is exactly epsilon
        (Vec3d(0.6, 0.8, 0), True),
        (Vec3d(NAN, 0, 0), False),
        (Vec3d(INF, 0, 0), False),
    ],
)
def test_is_unit(v, unit):
    assert v.is_unit() is unit


def py_dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def py_cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


triples = st.tuples(any_float, any_float, any_float)


@given(triples, triples)
def test_formulas_match_reference_bit_for_bit(a, b):
    va, vb = Vec3d(*a), Vec3d(*b)
    assert same_float(va.dot(vb), py_dot(a, b))
    assert_vec(va.cross(vb), py_cross(a, b))
    d = [a[i] - b[i] for i in range(3)]
    assert same_float(va.distance_squared(vb), (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])
    m = math.sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])
    assert same_float(va.magnitude(), m)
    if m != 0:
        assert_vec(va.normalize(), [c / m for c in a])
    s = py_dot(a, b)
    assert_vec(va.project_onto_plane(vb), (a[0] - b[0] * s, a[1] - b[1] * s, a[2] - b[2] * s))
    t = py_cross(b, b)
    assert same_float(va.scalar_triple_product(vb, vb), py_dot(a, t))


@given(triples, triples, triples)
def test_line_formulas_match_reference(p, a, b):
    d = [b[i] - a[i] for i in range(3)]
    w = [p[i] - a[i] for i in range(3)]
    den = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]
    try:
        t = ((w[0] * d[0] + w[1] * d[1]) + w[2] * d[2]) / den
    except ZeroDivisionError:
        return
    c = [a[i] + d[i] * t for i in range(3)]
    e = [p[i] - c[i] for i in range(3)]
    expected = math.sqrt((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]) if not any(map(math.isnan, e)) else NAN
    got = Vec3d(*p).distance_to_line(Vec3d(*a), Vec3d(*b))
    if not math.isnan(expected) and ((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]) >= 0:
        assert same_float(got, expected)


def test_equality_tolerance_and_hash():
    assert Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0)
    assert hash(Vec3d(0, 0, 0)) != hash(Vec3d(1e-16, 0, 0))
    assert Vec3d(1, 0, 0) != Vec3d(1 + EPS, 0, 0)
    assert not (Vec3d(1, 0, 0) == Vec3d(1 + EPS, 0, 0))
    n = Vec3d(NAN, 0, 0)
    assert n != n and not (n == n)
    assert Vec3d(1, 2, 3) != (1, 2, 3)
    assert not (Vec3d(1, 2, 3) == (1, 2, 3))


@given(st.floats(allow_nan=True), st.integers(0, 2**51), st.booleans())
def test_hash_ignores_nan_payload_and_zero_sign(x, payload, sign):
    import struct

    nan_bits = 0x7FF8000000000000 | payload | (1 << 63 if sign else 0)
    weird_nan = struct.unpack("<d", struct.pack("<Q", nan_bits))[0]
    assert hash(Vec3d(weird_nan, x, 0.0)) == hash(Vec3d(NAN, x, -0.0))
    assert hash(Vec3d(0.0, x, 1)) == hash(Vec3d(-0.0, x, 1))


def test_hash_of_zero_is_fixed():
    import sys

    expected = -504348149136077492 if sys.maxsize > 2**32 else -811709108
    assert hash(Vec3d(0, 0, 0)) == expected == hash(Vec3d(-0.0, 0, 0))


@pytest.mark.parametrize(
    "op",
    [
        lambda v: v < Vec3d(2, 3, 4),
        lambda v: v >= v,
        lambda v: v * v,
        lambda v: 2 / v,
        lambda v: 1 + v,
        lambda v: v + 1,
        lambda v: v - (1, 2, 3),
        lambda v: v * 10**400,
        lambda v: v / "2",
        lambda v: len(v),
        lambda v: +v,
        lambda v: abs(v),
    ],
)
def test_unsupported_operations_raise_interpreter_type_error(op):
    with pytest.raises(TypeError) as e:
        op(Vec3d(1, 2, 3))
    assert "argument '" not in str(e.value)


def test_indexing_and_iteration():
    v = Vec3d(1, 2, 3)
    assert (v[0], v[1], v[2], v[True]) == (1.0, 2.0, 3.0, 2.0)
    assert list(v) == [1.0, 2.0, 3.0] and tuple(v) == (1.0, 2.0, 3.0)
    x, y, z = v
    assert (x, y, z) == (1.0, 2.0, 3.0)
    assert 2.0 in v and 4.0 not in v
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        v[3]
    with pytest.raises(OverflowError):
        v[-1]
    with pytest.raises(TypeError, match="^argument 'index': "):
        v[1.0]
    assert v.to_array() == [1.0, 2.0, 3.0]


def test_properties_and_in_place_rebinding():
    v = Vec3d(1, 2, 3)
    w = v
    v += Vec3d(1, 1, 1)
    assert_vec(w, (1.0, 2.0, 3.0))
    w.x, w.y, w.z = 7, True, 0.5
    assert_vec(w, (7.0, 1.0, 0.5))
    with pytest.raises(TypeError, match="^argument 'value': "):
        w.y = "x"
    assert_vec(w, (7.0, 1.0, 0.5))
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del w.x


def test_results_are_new_objects():
    v = Vec3d(1, 2, 3)
    for r in (v + Vec3d.zero(), v * 1, v / 1, -(-v), v.normalize()):
        assert r is not v
