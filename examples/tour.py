"""A guided run through ostrilo_py: every class, its results, and a short comparison with numpy.

Run: python examples/tour.py
"""
from __future__ import annotations

import time

import ostrilo_py
from ostrilo_py import Vec3d


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show(label: str, value: object) -> None:
    print(f"  {label:<44} {value!r}")


def tour_vec3d() -> None:
    section("Vec3d: a 3-D vector of doubles")
    v = Vec3d(1, 2, 3)
    w = Vec3d(4.0, 5.0, 6.0)
    show("v = Vec3d(1, 2, 3)", v)
    show("v + w, v - w", (v + w, v - w))
    show("v * 2.0, 2.0 * v, v / 4", (v * 2.0, 2.0 * v, v / 4))
    show("-Vec3d(0, 1, 2)  (signs flip, -0 stays visible)", -Vec3d(0, 1, 2))
    show("v.dot(w)", v.dot(w))
    show("v.cross(w)", v.cross(w))
    show("v.magnitude()", v.magnitude())
    show("v.normalize()", v.normalize())
    show("v.normalize().is_unit()", v.normalize().is_unit())
    show("v.distance_to(w), v.distance_squared(w)", (v.distance_to(w), v.distance_squared(w)))
    show("Vec3d(3, 0, 4).distance_to_line(zero, i)", Vec3d(3, 0, 4).distance_to_line(Vec3d.zero(), Vec3d.i()))
    show("Vec3d(1, 1, 0).project_onto_line(i * 2, zero)", Vec3d(1, 1, 0).project_onto_line(Vec3d(2, 0, 0), Vec3d.zero()))
    show("v.project_onto_plane(Vec3d(0, 0, 1))", v.project_onto_plane(Vec3d(0, 0, 1)))
    show("i.scalar_triple_product(j, k)", Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()))
    show("Vec3d.new_from_to(v, w)", Vec3d.new_from_to(v, w))
    show("v[0], v[1], v[2]; list(v)", (v[0], v[1], v[2], list(v)))
    show("v.to_array()", v.to_array())
    show("Vec3d(0.1, 1e21, 1.5e-10)  (no exponents)", Vec3d(0.1, 1e21, 1.5e-10))
    show("Vec3d(1, -1, 0) / 0  (IEEE, no exception)", Vec3d(1, -1, 0) / 0)
    show("Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0)  (tolerant)", Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0))
    show("hash(Vec3d(0, 0, 0)) == hash(Vec3d(-0.0, 0, 0))", hash(Vec3d(0, 0, 0)) == hash(Vec3d(-0.0, 0, 0)))
    u = Vec3d(1, 2, 3)
    u.x = 10
    show("after u.x = 10", u)
    try:
        v.dot((1, 2, 3))
    except TypeError as e:
        show("v.dot((1, 2, 3)) raises TypeError", str(e))


def tour_angles_and_quaternions() -> None:
    from ostrilo_py import AngleDegrees, AngleRadians, Quat

    section("AngleRadians and AngleDegrees: typed angles")
    right = AngleDegrees(90).to_radians()
    show("AngleDegrees(90).to_radians()", right)
    show("... == AngleRadians.half_pi()", right == AngleRadians.half_pi())
    show("AngleRadians.third_pi().to_degrees()", AngleRadians.third_pi().to_degrees())
    show("(pi - right) * 0.5", (AngleRadians.pi() - right) * 0.5)
    show("pi.cos(), pi.sec(), zero.cot()", (AngleRadians.pi().cos(), AngleRadians.pi().sec(), AngleRadians.zero().cot()))
    show("-AngleDegrees(45.5)", -AngleDegrees(45.5))
    show("Vec3d(1, 0, 0).angle_to(Vec3d(0, 1, 0))", Vec3d(1, 0, 0).angle_to(Vec3d(0, 1, 0)))
    show("Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2))", Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2)))

    section("Quat: rotations")
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), right)  # +90 degrees about z: x turns into y
    show("q = Quat.from_axis_angle(k, 90 degrees)", q)
    show("q.is_unit(), q.magnitude()", (q.is_unit(), q.magnitude()))
    show("q.rotate(Vec3d(1, 0, 0))", q.rotate(Vec3d(1, 0, 0)))
    show("q.to_axis_angle()  (read the other way round)", q.to_axis_angle())
    show("q.to_rotation_matrix()", q.to_rotation_matrix())
    show("q.conjugate().rotate(q.rotate(v))", q.conjugate().rotate(q.rotate(Vec3d(1, 2, 3))))
    show("Vec3d(1, 2, 3).to_quat(), q.to_vec3d()", (Vec3d(1, 2, 3).to_quat(), q.to_vec3d()))
    show("Quat(2, 0, 0, 0).rotate(Vec3d(1, 1, 1))  (scales by |q|^2)", Quat(2, 0, 0, 0).rotate(Vec3d(1, 1, 1)))


def tour_geometry() -> None:
    section("geometry: planes, circles and intersections")
    from ostrilo_py import geometry

    plane = geometry.Plane(Vec3d(0, 0, 2), 5.0)  # the plane z = 5: unit normal, constant term -5
    show("Plane(Vec3d(0, 0, 2), 5.0): normal, distance", (plane.normal, plane.distance))
    hit = geometry.plane_line(plane, Vec3d(1, 2, 0), Vec3d(1, 2, 1))  # the unbounded line through a and b
    show("plane_line(plane, (1, 2, 0), (1, 2, 1))", hit)
    show("plane.contains_point(hit)", plane.contains_point(hit))
    show("Plane.xz().normal, Plane.yz().normal", (geometry.Plane.xz().normal, geometry.Plane.yz().normal))
    show("Plane.from_points(zero, i, j).normal", geometry.Plane.from_points(Vec3d.zero(), Vec3d.i(), Vec3d.j()).normal)
    a = geometry.Circle(Vec3d(0, 0, 0), 5.0, Vec3d(0, 0, 1))
    b = geometry.Circle(Vec3d(8, 0, 0), 5.0, Vec3d(0, 0, -1))  # opposite normal, same plane
    show("a.area", a.area)
    show("a.in_same_plane(b), a == b", (a.in_same_plane(b), a == b))
    show("circle_circle(a, b)", geometry.circle_circle(a, b))
    show("circle_point(a, (3, 4, 0), inner=False)", geometry.circle_point(a, Vec3d(3, 4, 0), False))
    show("circle_point(a, (1, 1, 0), inner=True)", geometry.circle_point(a, Vec3d(1, 1, 0), inner=True))
    show("circle_point_unchecked(unit, (0, 0, 1), False)",
         geometry.circle_point_unchecked(geometry.Circle(Vec3d.zero(), 1.0, Vec3d.k()), Vec3d(0, 0, 1), False))
    try:
        geometry.circle_circle(a, geometry.Circle(Vec3d(20, 0, 0), 1.0, Vec3d(0, 0, 1)))
    except ValueError as error:
        show("circle_circle of distant circles raises", str(error))


def compare_with_numpy() -> None:
    section("Side by side with numpy (one small vector, per call)")
    try:
        import numpy as np
    except ImportError:
        print("  numpy is not installed; skipping the comparison")
        return

    def per_call(fn, n: int = 100_000) -> float:
        best = float("inf")
        for _ in range(5):
            t = time.perf_counter()
            for _ in range(n):
                fn()
            best = min(best, time.perf_counter() - t)
        return best / n * 1e9

    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    a, b = np.array([1.0, 2.0, 3.0]), np.array([4.0, 5.0, 6.0])
    rows = [
        ("v + w", lambda: v + w, lambda: a + b),
        ("v.dot(w)", lambda: v.dot(w), lambda: a.dot(b)),
        ("v.cross(w)", lambda: v.cross(w), lambda: np.cross(a, b)),
        ("v.normalize()", lambda: v.normalize(), lambda: a / np.linalg.norm(a)),
    ]
    print(f"  {'operation':<16} {'ostrilo_py ns':>14} {'numpy ns':>10} {'speed-up':>9}")
    for label, ours, theirs in rows:
        t_ours, t_np = per_call(ours), per_call(theirs, 20_000)
        print(f"  {label:<16} {t_ours:>14.0f} {t_np:>10.0f} {t_np / t_ours:>8.1f}x")
    same = v.cross(w).to_array() == np.cross(a, b).tolist()
    show("same cross product bits as numpy", same)


def main() -> None:
    print(f"ostrilo_py tour; module exports {ostrilo_py.__all__}")
    tour_vec3d()
    tour_angles_and_quaternions()
    tour_geometry()
    compare_with_numpy()


if __name__ == "__main__":
    main()
