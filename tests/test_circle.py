import math

import pytest
from conftest import assert_vec, bits
from ostrilo_py import Vec3d, geometry

Circle, Plane = geometry.Circle, geometry.Plane
EPS = 2.220446049250313e-16
Z = Vec3d(0, 0, 1)


def circle(center, radius=1.0, normal=(0, 0, 1)):
    return Circle(Vec3d(*center), radius, Vec3d(*normal))


@pytest.mark.parametrize(
    "radius, normal, stored_radius, stored_normal",
    [
        (-2.0, (0, 0, 5), 2.0, (0, 0, 1)),
        (-0.0, (3, 4, 0), 0.0, (0.6, 0.8, 0)),
        (math.nan, (0, -2, 0), math.nan, (0, -1, 0)),
        (1, (0, 0, 0), 1.0, (math.nan,) * 3),
    ],
)
def test_constructor_normalises(radius, normal, stored_radius, stored_normal):
    c = Circle(Vec3d(1, 2, 3), radius, Vec3d(*normal))
    assert_vec(c.center, (1, 2, 3))
    assert bits(c.radius) == bits(stored_radius) or math.isnan(stored_radius) and math.isnan(c.radius)
    assert_vec(c.normal, stored_normal)


def test_none():
    n = Circle.none()
    assert_vec(n.center, (0, 0, 0))
    assert bits(n.radius) == bits(0.0)
    assert_vec(n.normal, (math.nan,) * 3)
    assert n.is_degenerate() and n.area == 0.0
    assert not (n == n) and n != n  # != is the negation of ==, also for the same object
    assert not (n == Circle.none()) and not n.in_same_plane(n)


def test_setters_store_unchanged():
    c = Circle(Vec3d(1, 2, 3), -2.0, Vec3d(0, 0, 5))
    assert c.area == 12.566370614359172
    c.radius = -2.0
    assert c.radius == -2.0 and not c.is_degenerate() and c.area == 12.566370614359172
    c.normal = Vec3d(0, 0, 2)
    c.center = c.center + Vec3d(0, 0, 1)
    assert_vec(c.normal, (0, 0, 2))
    assert_vec(c.center, (1, 2, 4))
    with pytest.raises(AttributeError):
        c.area = 1.0
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del c.radius


@pytest.mark.parametrize("radius, degenerate", [(0.0, True), (-0.0, True), (5e-324, False), (math.nan, False)])
def test_is_degenerate(radius, degenerate):
    c = circle((0, 0, 0))
    c.radius = radius
    assert c.is_degenerate() is degenerate


def test_get_plane():
    p = Circle(Vec3d(1, 2, 3), 1.0, Vec3d(0, 0, 2)).get_plane()
    assert type(p) is Plane
    assert_vec(p.normal, (0, 0, 1))
    assert bits(p.distance) == bits(-3.0)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (circle((0, 0, 0)), circle((0, 0, 0)), True),
        (circle((0, 0, 0)), circle((0, 0, 0), normal=(0, 0, -1)), True),
        (circle((0, 0, 0)), circle((1e-17, 0, 0)), True),
        (circle((0, 0, 0)), circle((0, 0, EPS)), False),
        (circle((0, 0, 0)), circle((0, 0, 0), 1.0000000000000002), False),
        (circle((0, 0, 0)), circle((0, 0, 0), normal=(0, 1, 0)), False),
        (circle((0, 0, 0)), circle((0, 0, 0), math.nan), False),
    ],
)
def test_equality(a, b, equal):
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is (not equal)


def test_comparison_with_other_types_and_hash():
    c = circle((0, 0, 0))
    assert (c == 5) is False and (c != 5) is True and (c == c) is True
    assert (c == Plane.xy()) is False
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"c {op} c")
    assert Circle.__hash__ is None
    with pytest.raises(TypeError):
        hash(c)
    with pytest.raises(TypeError):
        {c}


@pytest.mark.parametrize(
    "a, b, coplanar",
    [
        (circle((0, 0, 1)), circle((5, 5, 1)), True),
        (circle((0, 0, 0)), circle((5, 5, 0), normal=(0, 0, -1)), True),
        (circle((0, 0, 1)), circle((5, 5, 2)), False),
        # Opposite normals describe the same plane: its offsets have opposite signs.
        (circle((0, 0, 1)), circle((5, 5, 1), normal=(0, 0, -1)), True),
        (circle((0, 0, -3)), circle((1, 2, -3), normal=(0, 0, -1)), True),
        (circle((0, 0, 1)), circle((5, 5, -1), normal=(0, 0, -1)), False),
        (circle((1, 1, 1), normal=(1, 1, 1)), circle((1, 1, 1), 2.0, normal=(-1, -1, -1)), True),
        (circle((0, 0, 0)), Circle.none(), False),
    ],
)
def test_in_same_plane(a, b, coplanar):
    assert a.in_same_plane(b) is coplanar
    assert b.in_same_plane(other=a) is coplanar


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Circle(Vec3d(0, 0, 0), 1.0), "Circle.__new__() missing 1 required positional argument: 'normal'"),
        (lambda: Circle(Vec3d(0, 0, 0), "r", 1), "argument 'radius': must be real number, not str"),
        (lambda: Circle(Vec3d(0, 0, 0), 1, 1), "argument 'normal': 'int' object is not an instance of 'Vec3d'"),
        (lambda: circle((0, 0, 0)).in_same_plane(Plane.xy()), "argument 'other': 'Plane' object is not an instance of 'Circle'"),
        (lambda: setattr(circle((0, 0, 0)), "radius", None), "argument 'value': must be real number, not NoneType"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
