import math

import pytest
from conftest import assert_vec, bits
from ostrilo_py import Vec3d, geometry

Plane = geometry.Plane

EPS = 2.220446049250313e-16
NAN3 = (math.nan,) * 3


def assert_plane(p, normal, distance):
    assert_vec(p.normal, normal)
    assert bits(p.distance) == bits(distance) or (math.isnan(p.distance) and math.isnan(distance))


@pytest.mark.parametrize(
    "make, normal, distance",
    [
        (lambda: Plane(Vec3d(0, 0, 2), 5.0), (0, 0, 1), -5.0),
        (lambda: Plane(Vec3d(0, 3, 4), -1), (0, 0.6, 0.8), 1.0),
        (lambda: Plane(Vec3d(0, 0, 0), 1.0), NAN3, -1.0),
        (lambda: Plane.from_point(Vec3d(0, 0, 3), Vec3d(1, 2, 4)), (0, 0, 1), -4.0),
        (lambda: Plane.from_point(Vec3d(0, 0, 0), Vec3d(1, 2, 4)), NAN3, math.nan),
        (lambda: Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)), (0, 0, 1), -0.0),
        (lambda: Plane.from_points(Vec3d(0, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0)), (0, 0, -1), -0.0),
        (lambda: Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 1, 1), Vec3d(2, 2, 2)), NAN3, math.nan),
    ],
)
def test_constructors(make, normal, distance):
    assert_plane(make(), normal, distance)


# The coordinate planes are the planes through the origin with those axes as normals.
@pytest.mark.parametrize("name, normal", [("xy", (0, 0, 1)), ("xz", (0, 1, 0)), ("yz", (1, 0, 0))])
def test_coordinate_planes(name, normal):
    make = getattr(Plane, name)
    assert_plane(make(), normal, -0.0)
    assert_plane(Plane(Vec3d(*normal), 0.0), normal, -0.0)
    assert make() is not make()
    on_plane = Vec3d(*(1.0 - n for n in normal))
    assert make().contains_point(on_plane)
    assert not make().contains_point(Vec3d(*normal))


@pytest.mark.parametrize(
    "point, contained, distance",
    [
        ((0, 0, 5), True, 0.0),
        ((0, 0, -5), False, 10.0),
        ((0, 0, 0), False, 5.0),
        ((math.nan, 0, 0), False, math.nan),
    ],
)
def test_point_tests(point, contained, distance):
    p = Plane(Vec3d(0, 0, 2), 5.0)
    assert p.contains_point(Vec3d(*point)) is contained
    got = p.distance_to_point(point=Vec3d(*point))
    assert bits(got) == bits(distance) or (math.isnan(got) and math.isnan(distance))


def test_contains_point_is_strict():
    p = Plane.xy()
    assert p.contains_point(Vec3d(0, 0, EPS / 2))
    assert not p.contains_point(Vec3d(0, 0, EPS))
    assert not p.contains_point(Vec3d(0, 0, -EPS))


def test_setters_store_unchanged_and_getters_copy():
    p = Plane(Vec3d(0, 0, 1), 5.0)
    assert Plane(p.normal, p.distance).contains_point(Vec3d(0, 0, -5))  # the mirror image, not a copy
    p.distance = 5.0  # the constant term: now the plane z = -5
    assert p.contains_point(Vec3d(1, 1, -5))
    p.normal = Vec3d(0, 0, 2)
    assert_vec(p.normal, (0, 0, 2))
    assert p.distance_to_point(Vec3d(0, 0, 1)) == 7.0  # 2*1 + 5, never renormalised
    n = p.normal
    n.x = 9.0
    assert_vec(p.normal, (0, 0, 2))
    p.normal = p.normal  # the value is converted before the plane is borrowed
    assert_vec(p.normal, (0, 0, 2))


def test_identity_semantics():
    p = Plane.xy()
    assert p == p and p != Plane.xy() and hash(p) == object.__hash__(p)
    assert Plane.__module__ == "builtins" and Plane.__text_signature__ == "(normal, distance)"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: Plane(), TypeError, "Plane.__new__() missing 2 required positional arguments: 'normal' and 'distance'"),
        (lambda: Plane((0, 0, 1), 1.0), TypeError, "argument 'normal': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda: Plane(Vec3d(0, 0, 1), "1"), TypeError, "argument 'distance': must be real number, not str"),
        (lambda: Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0)), TypeError,
         "Plane.from_points() missing 1 required positional argument: 'point3'"),
        (lambda: setattr(Plane.xy(), "normal", 1), TypeError, "argument 'value': 'int' object is not an instance of 'Vec3d'"),
        (lambda: delattr(Plane.xy(), "distance"), AttributeError, "property has no deleter"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
