"""A guided run through ostrilo_py: every class, its results, and a short comparison with numpy.

Run: python examples/tour.py
"""
from __future__ import annotations

import time
from collections.abc import Callable

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
    show("v[0], v[1], v[2]", (v[0], v[1], v[2]))
    show("v.to_array()", v.to_array())
    show("Vec3d(0.1, 1e21, 1.5e-10)  (no exponents)", Vec3d(0.1, 1e21, 1.5e-10))
    show("Vec3d(1, -1, 0) / 0  (IEEE, no exception)", Vec3d(1, -1, 0) / 0)
    show("Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0)  (tolerant)", Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0))
    show("hash(Vec3d(0, 0, 0)) == hash(Vec3d(-0.0, 0, 0))", hash(Vec3d(0, 0, 0)) == hash(Vec3d(-0.0, 0, 0)))
    u = Vec3d(1, 2, 3)
    u.x = 10
    show("after u.x = 10", u)
    try:
        v.dot((1, 2, 3))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]  # shows the error a wrong argument raises
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


def best_ms(fn: Callable[[], object], repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best * 1e3


def tour_vec_list() -> None:
    from ostrilo_py import AngleDegrees, Quat, VecList

    section("VecList: many vectors in one native array, element-wise work on the worker pool")
    vl = VecList([Vec3d(1, 0, 0), Vec3d(0, 2, 0), Vec3d(3, 4, 0)])
    show("vl = VecList([...]); len(vl), vl[2]", (len(vl), vl[2]))
    print("  repr(vl):")
    print("    " + repr(vl).replace("\n", "\n    "))
    show("(vl + Vec3d(1, 1, 1)).to_array()", (vl + Vec3d(1, 1, 1)).to_array())
    show("(2.0 * vl).list", (2.0 * vl).list)
    show("vl.dot(Vec3d(1, 1, 1))", vl.dot(Vec3d(1, 1, 1)))
    show("vl.magnitude(), vl.normalize().is_unit()", (vl.magnitude(), vl.normalize().is_unit()))
    show("vl.cross(Vec3d(0, 0, 1)).to_array()", vl.cross(Vec3d(0, 0, 1)).to_array())
    show("vl.distance_to(Vec3d(0, 0, 0))", vl.distance_to(Vec3d(0, 0, 0)))
    show("vl.collapse(0).to_array()", vl.collapse(0).to_array())
    snapshot = iter(vl)
    vl.rotate(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleDegrees(90).to_radians()))  # in place
    show("after vl.rotate(90 degrees about z): ys", [v.y for v in vl])
    show("an iterator taken before still sees", [v.y for v in snapshot])
    show("vl.minimum_distance_to(Vec3d(-4, 3, 0), 1)", vl.minimum_distance_to(Vec3d(-4, 3, 0), 1))
    other = VecList.empty()
    other.append(Vec3d(9, 9, 9))
    other.extend(vl)
    show("VecList.empty() + append + extend: len", len(other))
    try:
        other.extend(other)
    except RuntimeError as e:
        show("other.extend(other) raises RuntimeError", str(e))

    section("VecList side by side with numpy arrays of shape (n, 3), n = 10**6")
    try:
        import numpy as np
    except ImportError:
        print("  numpy is not installed; skipping the comparison")
        return
    a = np.random.default_rng(0).standard_normal((10**6, 3))
    big = VecList([Vec3d(*row) for row in a.tolist()])
    v, va = Vec3d(1, 2, 3), np.array([1.0, 2.0, 3.0])
    rows: list[tuple[str, Callable[[], object], Callable[[], object]]] = [
        ("vl + v", lambda: big + v, lambda: a + va),
        ("vl.normalize()", big.normalize, lambda: a / np.linalg.norm(a, axis=1, keepdims=True)),
        ("vl.cross(v)", lambda: big.cross(v), lambda: np.cross(a, va)),
        ("vl.minimum_distance_to(v, 1)", lambda: big.minimum_distance_to(v, 1),
         lambda: np.sqrt(((a - va) ** 2).sum(1).min())),
    ]
    print(f"  {'operation':<30} {'ostrilo_py ms':>14} {'numpy ms':>10} {'speed-up':>9}")
    for label, ours, theirs in rows:
        t_ours, t_np = best_ms(ours), best_ms(theirs)
        print(f"  {label:<30} {t_ours:>14.2f} {t_np:>10.2f} {t_np / t_ours:>8.1f}x")
    same = (big + v).to_array() == (a + va).tolist()
    show("vl + v gives the same bits as numpy", same)


def compare_with_numpy() -> None:
    section("Side by side with numpy (one small vector, per call)")
    try:
        import numpy as np
    except ImportError:
        print("  numpy is not installed; skipping the comparison")
        return

    def per_call(fn: Callable[[], object], n: int = 100_000) -> float:
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
    tour_vec_list()
    compare_with_numpy()


if __name__ == "__main__":
    main()
