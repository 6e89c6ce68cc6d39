import importlib
import math

import numpy as np
import ostrilo_py
import pytest
from conftest import assert_vec, same_float
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from ostrilo_py import Vec3d, geometry

Circle, Plane = geometry.Circle, geometry.Plane
plane_line, circle_point = geometry.plane_line, geometry.circle_point
circle_point_unchecked, circle_circle = geometry.circle_point_unchecked, geometry.circle_circle

EPS = 2.220446049250313e-16
TOO_FAR = "The given geometries are too far apart and do not intersect at all."
CONTAINED = "One of the given geometries is contained entirely within the other. The surfaces do not intersect."
IDENTICAL = "The given geometries are identical."
OUT_OF_PLANE = "The given geometries are out of plane from each other"
H = 0.8660254037844386


def circle(center, radius=1.0, normal=(0, 0, 1)):
    return Circle(Vec3d(*center), radius, Vec3d(*normal))


def tup(v):
    return (v.x, v.y, v.z)


# The circle-circle construction step by step in Python floats (same IEEE operations, same order).
def reference_circle_circle(c1, r1, c2, r2, n2):
    def dot(a, b):
        return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]

    w = math.sqrt(dot(*[[a - b for a, b in zip(c1, c2)]] * 2))
    d = [b - a for a, b in zip(c1, c2)]
    u = (r1 * r1 - r2 * r2) / (w * w + w * w) + 0.5
    hh = r1 * r1 - (w * w) * (u * u)
    h = math.sqrt(0.0 if hh < 0.0 else hh)
    p = (d[1] * n2[2] - d[2] * n2[1], d[2] * n2[0] - d[0] * n2[2], d[0] * n2[1] - d[1] * n2[0])
    m = math.sqrt(dot(p, p))
    mid = [c + di * u for c, di in zip(c1, d)]
    k = [(pi / m) * h for pi in p]
    return tuple(a + b for a, b in zip(mid, k)), tuple(a - b for a, b in zip(mid, k))


def reference_plane_line(n, dist, a, b):
    d = [bj - aj for aj, bj in zip(a, b)]
    q = (d[0] * n[0] + d[1] * n[1]) + d[2] * n[2]
    t = -(dist + ((n[0] * a[0] + n[1] * a[1]) + n[2] * a[2])) / q
    return tuple(aj + dj * t for aj, dj in zip(a, d))


def test_submodule():
    assert geometry.__all__ == ["Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane"]
    assert geometry.__name__ == "ostrilo_py.geometry" and geometry.__doc__ == ""
    for fn in (plane_line, circle_point, circle_point_unchecked, circle_circle):
        assert fn.__module__ == "ostrilo_py.geometry" and fn.__self__ is geometry and fn.__doc__ is None
    assert plane_line.__text_signature__ == "(plane, a, b)"
    assert circle_point_unchecked.__text_signature__ == "(circle, point, inner)"
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("ostrilo_py.geometry")
    assert ostrilo_py.geometry is geometry


@pytest.mark.parametrize(
    "plane, a, b, expected",
    [
        (Plane(Vec3d(0, 0, 1), 5.0), (1, 2, 0), (1, 2, 1), (1, 2, 5)),
        (Plane.xy(), (1, 1, 1), (3, 5, -1), (2, 3, 0)),
        (Plane.yz(), (-1, 2, 3), (1, 2, 3), (0, 2, 3)),
        (Plane(Vec3d(0, 0, 1), 5.0), (0, 0, 0), (1, 0, 0), (math.inf, math.nan, math.nan)),
        (Plane(Vec3d(0, 0, 1), 5.0), (1, 2, 3), (1, 2, 3), (math.nan,) * 3),
    ],
)
def test_plane_line(plane, a, b, expected):
    got = plane_line(plane, Vec3d(*a), Vec3d(*b))
    assert_vec(got, expected)
    if all(map(math.isfinite, expected)):
        assert plane.contains_point(got)


@pytest.mark.parametrize(
    "point, inner, on, unchecked",
    [
        ((1, 0, 0), True, True, True),
        ((1, 0, 0), False, True, True),
        ((0, 0, 0), True, True, True),
        ((0, 0, 0), False, False, False),
        ((2, 0, 0), True, False, False),
        ((0, 0, 1), True, False, True),  # off the plane but at the radius's distance
        ((0.5, 0, 1e-300), True, True, True),
    ],
)
def test_circle_point(point, inner, on, unchecked):
    c = circle((0, 0, 0))
    assert circle_point(c, Vec3d(*point), inner) is on
    assert circle_point_unchecked(circle=c, point=Vec3d(*point), inner=inner) is unchecked
    assert circle_point(Circle.none(), Vec3d(*point), inner) is False


def test_circle_point_rim_bounds():
    c = circle((0, 0, 0), 2.0)
    # |m| < eps is on the rim; m == eps exactly is neither on the rim nor strictly inside.
    c.radius = 1.0 + EPS / 2
    assert circle_point_unchecked(c, Vec3d(1, 0, 0), False)
    c.radius = 1.0 + EPS
    assert not circle_point_unchecked(c, Vec3d(1, 0, 0), True)
    c.radius = 1.0 + 2 * EPS
    assert circle_point_unchecked(c, Vec3d(1, 0, 0), True)
    assert not circle_point_unchecked(c, Vec3d(1, 0, 0), False)


class FakeNumpyBool:
    __module__ = "numpy"


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


def test_inner_conversion():
    c, centre = circle((0, 0, 0)), Vec3d(0, 0, 0)
    assert circle_point(c, centre, np.True_) is True
    assert circle_point(c, centre, np.False_) is False
    with pytest.raises(TypeError, match=r"^argument 'inner': object of type 'bool_' does not define a '__bool__' conversion$"):
        circle_point(c, centre, FakeNumpyBool())
    for bad, name in ((1, "int"), (np.int64(1), "int64"), (FakeNumpyBool, "type")):
        with pytest.raises(TypeError) as info:
            circle_point_unchecked(c, centre, bad)
        assert str(info.value) == f"argument 'inner': '{name}' object is not an instance of 'bool'"

    class Reentrant:  # a numpy-style bool whose truth slot tries to change the borrowed circle
        __module__ = "numpy"

        def __bool__(self):
            c.radius = 5.0
            return True

    Reentrant.__name__ = "bool"
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        circle_point(c, centre, Reentrant())
    assert c.radius == 1.0


@pytest.mark.parametrize(
    "c1, c2, first, second",
    [
        (circle((0, 0, 0), 5.0), circle((8, 0, 0), 5.0), (4, -3, 0), (4, 3, 0)),
        (circle((0, 0, 0)), circle((1, 0, 0)), (0.5, -H, 0.0), (0.5, H, 0.0)),
        (circle((0, 0, 0)), circle((1, 0, 0), normal=(0, 0, -1)), (0.5, H, 0.0), (0.5, -H, 0.0)),
        (circle((0, 0, 0)), circle((2, 0, 0)), (1, 0, 0), (1, 0, 0)),
        # Coplanar with opposite normals in a plane away from the origin.
        (circle((0, 0, 1)), circle((1, 0, 1), normal=(0, 0, -1)), (0.5, H, 1.0), (0.5, -H, 1.0)),
        (circle((0, 0, 0), math.nan), circle((1, 0, 0)), (math.nan,) * 3, (math.nan,) * 3),
    ],
)
def test_circle_circle(c1, c2, first, second):
    got = circle_circle(c1, c2)
    assert type(got) is tuple and len(got) == 2
    assert_vec(got[0], first)
    assert_vec(got[1], second)


@pytest.mark.parametrize(
    "r1, r2, offset",
    [(0.1, 0.2, 0.1 + 0.2), (1.1, 1.3, 1.1 + 1.3), (3.3, 2.5, 3.3 + 2.5), (0.1, 1.1, 1.0), (3.3, 0.3, 3.0)],
)
def test_tangent_circles_touch_once(r1, r2, offset):
    # Rounding makes r1*r1 - (w*w)*(u*u) slightly negative here: the touching point, not NaN.
    c1, c2 = circle((0, 0, 0), r1), circle((offset, 0, 0), r2)
    first, second = circle_circle(c1, c2)
    assert all(map(math.isfinite, tup(first))) and tup(first) == tup(second)
    ref = reference_circle_circle((0, 0, 0), r1, (offset, 0, 0), r2, (0, 0, 1))
    assert_vec(first, ref[0])
    assert_vec(second, ref[1])


@pytest.mark.parametrize(
    "c1, c2, message",
    [
        (circle((0, 0, 0)), circle((0, 0, 0)), IDENTICAL),
        (circle((0, 0, 0)), circle((0, 0, 0), normal=(0, 0, -1)), IDENTICAL),
        (circle((0, 0, 0)), circle((1e-17, 0, 0)), IDENTICAL),
        (circle((0, 0, 0)), circle((3, 0, 0)), TOO_FAR),
        (circle((0, 0, 0)), circle((0, 0, 0), 2.0), CONTAINED),
        (circle((0, 0, 0), 2.0), circle((0.5, 0, 0)), CONTAINED),
        (circle((0, 0, 0)), circle((0, 0, 1)), OUT_OF_PLANE),
        (circle((0, 0, 1)), circle((1, 0, -1), normal=(0, 0, -1)), OUT_OF_PLANE),
        (Circle.none(), Circle.none(), OUT_OF_PLANE),
    ],
)
def test_circle_circle_errors(c1, c2, message):
    with pytest.raises(ValueError) as info:
        circle_circle(c1, c2)
    assert type(info.value) is ValueError and info.value.args == (message,)


def test_same_circle_twice():
    c = circle((0, 0, 0))
    with pytest.raises(ValueError, match=IDENTICAL):
        circle_circle(circle1=c, circle2=c)


P, V = Plane.xy(), Vec3d(0, 0, 0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: plane_line(), "plane_line() missing 3 required positional arguments: 'plane', 'a', and 'b'"),
        (lambda: plane_line(P, V, V, V), "plane_line() takes 3 positional arguments but 4 were given"),
        (lambda: plane_line(P, V, V, a=V), "plane_line() got multiple values for argument 'a'"),
        (lambda: plane_line(P, c=V), "plane_line() got an unexpected keyword argument 'c'"),
        (lambda: plane_line(P, V, None), "argument 'b': 'None' is not an instance of 'Vec3d'"),
        (lambda: circle_point(None, None, 1), "argument 'circle': 'None' is not an instance of 'Circle'"),
        (lambda: circle_point(circle((0, 0, 0)), (0, 0, 0), 1), "argument 'point': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda: circle_point_unchecked(circle((0, 0, 0)), V, inner=None), "argument 'inner': 'None' is not an instance of 'bool'"),
        (lambda: circle_circle(circle((0, 0, 0)), P), "argument 'circle2': 'Plane' object is not an instance of 'Circle'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


coord = st.floats(-100, 100, allow_nan=False)
unit_ish = st.floats(-1, 1, allow_nan=False)


@settings(max_examples=300, deadline=None)
@given(st.tuples(unit_ish, unit_ish, unit_ish), st.floats(-50, 50), st.tuples(coord, coord, coord),
       st.tuples(coord, coord, coord))
def test_plane_line_lies_on_plane_and_line(normal, distance, a, b):
    n = Vec3d(*normal)
    assume(n.magnitude() > 0.1)
    plane = Plane(n, distance)
    d = Vec3d(*b) - Vec3d(*a)
    assume(d.magnitude() > 1.0 and abs(plane.normal.dot(d)) > 0.1 * d.magnitude())
    x = plane_line(plane, Vec3d(*a), Vec3d(*b))
    ref = reference_plane_line(tup(plane.normal), plane.distance, a, b)
    assert all(same_float(g, e) for g, e in zip(tup(x), ref))
    scale = 1 + abs(distance) + Vec3d(*a).magnitude() + Vec3d(*b).magnitude()
    assert plane.distance_to_point(x) < 1e-11 * scale
    assert x.distance_to_line(Vec3d(*a), Vec3d(*b)) < 1e-9 * (scale + x.magnitude())


@settings(max_examples=300, deadline=None)
@given(st.tuples(coord, coord, coord), st.floats(0.5, 50), st.floats(0.5, 50), st.floats(0.05, 0.95),
       st.floats(0, 2 * math.pi), st.sampled_from([(0, 0, 1), (0, 0, -1), (0, 1, 0), (1, 0, 0)]))
def test_circle_circle_points_lie_on_both_circles(c1, r1, r2, frac, angle, normal):
    # A second centre in the first circle's plane, at a distance strictly between |r1 - r2| and r1 + r2.
    w = abs(r1 - r2) + frac * (r1 + r2 - abs(r1 - r2))
    e1 = Vec3d(*normal).cross(Vec3d(1, 1, 1)).normalize()
    e2 = Vec3d(*normal).cross(e1)
    c2 = Vec3d(*c1) + e1 * (w * math.cos(angle)) + e2 * (w * math.sin(angle))
    n2 = normal if all(map(math.isfinite, tup(c2))) else (0, 0, 1)
    a, b = Circle(Vec3d(*c1), r1, Vec3d(*normal)), Circle(c2, r2, Vec3d(*n2))
    assume(a.in_same_plane(b))
    first, second = circle_circle(a, b)
    ref = reference_circle_circle(c1, r1, tup(c2), r2, n2)
    assert all(same_float(g, e) for g, e in zip(tup(first) + tup(second), ref[0] + ref[1]))
    for p in (first, second):
        tol = 1e-9 * (1 + r1 + r2 + Vec3d(*c1).magnitude())
        assert abs(p.distance_to(a.center) - r1) < tol and abs(p.distance_to(b.center) - r2) < tol
        assert a.get_plane().distance_to_point(p) < tol
