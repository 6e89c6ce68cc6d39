"""Per-call cost of the geometry submodule, side by side with Blender's mathutils.geometry (where it
has a comparable operation) and with the same algorithms in plain Python.

    PYTHONPATH=<build>/ostrilo-py python3 benchmarks/bench_geometry.py [--number N] [--repeat R]

Prints a Markdown table of median nanoseconds per call and the ratios (how many times slower the
other implementation is). Columns whose library is not importable show "n/a".

Comparability with mathutils:
- plane_line vs mathutils.geometry.intersect_line_plane(a, b, plane_co, plane_no): the same
  question (unbounded line through a and b against a plane given by a point and a normal).
- circle_circle vs mathutils.geometry.intersect_sphere_sphere_2d(p_a, r_a, p_b, r_b): the same
  construction restricted to 2-D vectors and without the identical / coplanarity checks, so it
  does less work than circle_circle does.
- Plane(...), circle_point and Circle == Circle have no mathutils counterpart.
mathutils computes in single precision (its vectors hold floats); ostrilo_py and the plain-Python
twin compute in double precision and agree bit for bit (checked before timing).
"""

import argparse
import math
import statistics
import sys
import timeit

import ostrilo_py
from ostrilo_py import Vec3d

geometry = ostrilo_py.geometry

try:
    import mathutils
    import mathutils.geometry
except ImportError:
    mathutils = None

EPS = 2.220446049250313e-16


# ------------------------------------------------------------------------------------------------
# The same algorithms in plain Python: small value classes, the same formulas in the same order.


class PyVec:
    __slots__ = ("x", "y", "z")

    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z

    def dot(self, o):
        return (self.x * o.x + self.y * o.y) + self.z * o.z

    def normalize(self):
        m = math.sqrt((self.x * self.x + self.y * self.y) + self.z * self.z)
        return PyVec(self.x / m, self.y / m, self.z / m)

    def distance_to(self, o):
        dx, dy, dz = self.x - o.x, self.y - o.y, self.z - o.z
        return math.sqrt((dx * dx + dy * dy) + dz * dz)


class PyPlane:
    __slots__ = ("normal", "distance")

    def __init__(self, normal, distance):
        self.normal = normal.normalize()
        self.distance = -distance


def normals_parallel(a, b):
    if abs(a.x - b.x) < EPS and abs(a.y - b.y) < EPS and abs(a.z - b.z) < EPS:
        return 1
    if abs(a.x + b.x) < EPS and abs(a.y + b.y) < EPS and abs(a.z + b.z) < EPS:
        return 2
    return 0


class PyCircle:
    __slots__ = ("center", "radius", "normal")

    def __init__(self, center, radius, normal):
        self.center, self.radius, self.normal = center, abs(radius), normal.normalize()

    def __eq__(self, other):
        if not isinstance(other, PyCircle):
            return NotImplemented
        a, b = self.center, other.center
        return (abs(a.x - b.x) < EPS and abs(a.y - b.y) < EPS and abs(a.z - b.z) < EPS
                and self.radius == other.radius and normals_parallel(self.normal, other.normal) != 0)

    __hash__ = None

    def in_same_plane(self, other):
        rel = normals_parallel(self.normal, other.normal)
        if rel == 1:
            return abs(other.normal.dot(other.center) - self.normal.dot(self.center)) < EPS
        if rel == 2:
            return abs(other.normal.dot(other.center) + self.normal.dot(self.center)) < EPS
        return False


def py_plane_line(plane, a, b):
    n = plane.normal
    dx, dy, dz = b.x - a.x, b.y - a.y, b.z - a.z
    q = (dx * n.x + dy * n.y) + dz * n.z
    t = -(plane.distance + n.dot(a)) / q
    return PyVec(a.x + dx * t, a.y + dy * t, a.z + dz * t)


def py_circle_point(circle, point, inner):
    n = circle.normal.normalize()
    if not abs(n.dot(point) - n.dot(circle.center)) < EPS:
        return False
    m = circle.radius - point.distance_to(circle.center)
    if abs(m) < EPS:
        return True
    return m > EPS and inner


def py_circle_circle(circle1, circle2):
    if circle1 == circle2:
        raise ValueError("The given geometries are identical.")
    if not circle1.in_same_plane(circle2):
        raise ValueError("The given geometries are out of plane from each other")
    c1, c2, n2 = circle1.center, circle2.center, circle2.normal
    r1, r2 = circle1.radius, circle2.radius
    w = c1.distance_to(c2)
    if w > r1 + r2:
        raise ValueError("The given geometries are too far apart and do not intersect at all.")
    if w < abs(r1 - r2):
        raise ValueError("One of the given geometries is contained entirely within the other. "
                         "The surfaces do not intersect.")
    dx, dy, dz = c2.x - c1.x, c2.y - c1.y, c2.z - c1.z
    u = (r1 * r1 - r2 * r2) / (w * w + w * w) + 0.5
    hh = r1 * r1 - (w * w) * (u * u)
    h = math.sqrt(0.0 if hh < 0.0 else hh)
    e = PyVec(dy * n2.z - dz * n2.y, dz * n2.x - dx * n2.z, dx * n2.y - dy * n2.x).normalize()
    mx, my, mz = c1.x + dx * u, c1.y + dy * u, c1.z + dz * u
    kx, ky, kz = e.x * h, e.y * h, e.z * h
    return PyVec(mx + kx, my + ky, mz + kz), PyVec(mx - kx, my - ky, mz - kz)


# ------------------------------------------------------------------------------------------------
# Cases: one statement per implementation over the same inputs (None where there is none).


def cases():
    G = geometry
    n, a, b = (0.0, 0.0, 2.0), (1.0, 2.0, 0.0), (1.0, 2.0, 1.0)
    c1, c2 = ((0.0, 0.0, 0.0), 5.0, (0.0, 0.0, 1.0)), ((8.0, 0.0, 0.0), 5.0, (0.0, 0.0, 1.0))
    point = (3.0, 4.0, 0.0)

    o = dict(G=G, Vec3d=Vec3d, n=Vec3d(*n), a=Vec3d(*a), b=Vec3d(*b), point=Vec3d(*point),
             plane=G.Plane(Vec3d(*n), 5.0),
             c1=G.Circle(Vec3d(*c1[0]), c1[1], Vec3d(*c1[2])), c2=G.Circle(Vec3d(*c2[0]), c2[1], Vec3d(*c2[2])),
             c1_flipped=G.Circle(Vec3d(*c1[0]), c1[1], Vec3d(*(-x for x in c1[2]))),
             plane_line=G.plane_line, circle_point=G.circle_point, circle_circle=G.circle_circle, Plane=G.Plane)
    p = dict(PyPlane=PyPlane, n=PyVec(*n), a=PyVec(*a), b=PyVec(*b), point=PyVec(*point),
             plane=PyPlane(PyVec(*n), 5.0),
             c1=PyCircle(PyVec(*c1[0]), c1[1], PyVec(*c1[2])), c2=PyCircle(PyVec(*c2[0]), c2[1], PyVec(*c2[2])),
             c1_flipped=PyCircle(PyVec(*c1[0]), c1[1], PyVec(*(-x for x in c1[2]))),
             plane_line=py_plane_line, circle_point=py_circle_point, circle_circle=py_circle_circle)
    m = None
    if mathutils is not None:
        V = mathutils.Vector
        mg = mathutils.geometry
        m = dict(a=V(a), b=V(b), plane_co=V((0.0, 0.0, 5.0)), plane_no=V((0.0, 0.0, 1.0)),
                 p_a=V(c1[0][:2]), r_a=c1[1], p_b=V(c2[0][:2]), r_b=c2[1],
                 intersect_line_plane=mg.intersect_line_plane,
                 intersect_sphere_sphere_2d=mg.intersect_sphere_sphere_2d)

    return [
        # name, (ostrilo stmt, env), (mathutils stmt, env) or None, (python stmt, env)
        ("Plane(normal, distance)", ("Plane(n, 5.0)", o), None, ("PyPlane(n, 5.0)", p)),
        ("plane_line", ("plane_line(plane, a, b)", o),
         ("intersect_line_plane(a, b, plane_co, plane_no)", m) if m else None, ("plane_line(plane, a, b)", p)),
        ("circle_point", ("circle_point(c1, point, True)", o), None, ("circle_point(c1, point, True)", p)),
        ("circle_circle", ("circle_circle(c1, c2)", o),
         ("intersect_sphere_sphere_2d(p_a, r_a, p_b, r_b)", m) if m else None, ("circle_circle(c1, c2)", p)),
        # Equal circles run every test; circles with distant centres stop at the first one.
        ("Circle == Circle (equal)", ("c1 == c1_flipped", o), None, ("c1 == c1_flipped", p)),
        ("Circle == Circle (unequal)", ("c1 == c2", o), None, ("c1 == c2", p)),
    ], o, p


def check_same_results(o, p):
    """The plain-Python twin must compute the very same bits, or the comparison means nothing."""
    def same(v, w):
        return (v.x, v.y, v.z) == (w.x, w.y, w.z)

    assert same(geometry.plane_line(o["plane"], o["a"], o["b"]), py_plane_line(p["plane"], p["a"], p["b"]))
    assert all(same(v, w) for v, w in zip(geometry.circle_circle(o["c1"], o["c2"]),
                                          py_circle_circle(p["c1"], p["c2"])))
    assert geometry.circle_point(o["c1"], o["point"], True) == py_circle_point(p["c1"], p["point"], True)
    assert (o["c1"] == o["c2"]) == (p["c1"] == p["c2"]) is False
    assert (o["c1"] == o["c1_flipped"]) == (p["c1"] == p["c1_flipped"]) is True


def mathutils_version():
    if mathutils is None:
        return "n/a (not importable)"
    try:
        from importlib.metadata import version
        return version("mathutils")
    except Exception:
        return "(version unknown)"


def median_ns(stmt, env, number, repeat):
    timer = timeit.Timer(stmt, globals=env)
    return statistics.median(t / number * 1e9 for t in timer.repeat(repeat=repeat, number=number))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--number", type=int, default=20000, help="calls per timing run (plain Python: a tenth)")
    ap.add_argument("--repeat", type=int, default=7, help="timing runs per cell; the median is reported")
    args = ap.parse_args()

    table, o, p = cases()
    check_same_results(o, p)

    def fmt(ns):
        return "n/a" if ns is None else f"{ns:,.0f}"

    def ratio(other, ours):
        return "n/a" if other is None else f"{other / ours:.1f}×"

    print(f"Python {sys.version.split()[0]}, mathutils {mathutils_version()}")
    print(f"median ns per call over {args.repeat} runs\n")
    print("| operation | ostrilo_py | mathutils | plain Python | mathutils / ostrilo_py | plain Python / ostrilo_py |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, ours, theirs, python in table:
        t_o = median_ns(*ours, args.number, args.repeat)
        t_m = median_ns(*theirs, args.number, args.repeat) if theirs else None
        t_p = median_ns(*python, max(1, args.number // 10), args.repeat)
        print(f"| {name} | {fmt(t_o)} | {fmt(t_m)} | {fmt(t_p)} | {ratio(t_m, t_o)} | {ratio(t_p, t_o)} |")
    print("\nmathutils: plane_line vs intersect_line_plane (same operation); circle_circle vs "
          "intersect_sphere_sphere_2d (2-D only, no identical/coplanar checks: the nearest operation, "
          "not the same one).")


if __name__ == "__main__":
    main()
