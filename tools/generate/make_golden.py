#!/usr/bin/env python3
"""Golden results of ostrilo_py: a fixed, seeded set of inputs run through every numeric operation.

    python tools/generate/make_golden.py           rewrite tests/golden/results.txt from the built module
    python tools/generate/make_golden.py --check   compare only, exit 1 on a difference

tests/test_golden.py imports this file and compares its rows with the committed file, so the
same bits must come out on every platform (x86-64, 32-bit ARM, ...). The companion module has
a generator of its own (make_golden_ext.py); what both share, the inputs, how values are written
and the file itself, is tools/ostrilo_tools/golden.py.

Layout: one function per class returns a list of (label, value) rows; SECTIONS lists them in
file order: Vec3d; Vec3d.angle_to and to_quat; AngleRadians and AngleDegrees (constants, the six
trigonometric functions over zeros, tiny and huge angles, NaN, the infinities and multiples of
pi, conversions, arithmetic, comparisons, texts); Quat (from_axis_angle with unit and non-unit
axes, rotate, to_axis_angle, to_rotation_matrix, normalize, magnitude, conjugate, texts,
tolerant equality); Plane; Circle; the intersections (with their error messages); VecList
(every batch operation element by element, texts, to_array, minimum_distance_to). To cover a
new class, write its function and add it to SECTIONS, then regenerate on a 64-bit machine (the
file holds full hash digests) and review the diff.

List arithmetic gives one canonical NaN everywhere, so the rows of "VecList NaN bits" write every
NaN with its bits (golden.exact); elsewhere only "is NaN" is compared.
"""
import math
import random
import sys
from pathlib import Path

# A program, not a module: the helpers' package is found beside this folder.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import golden  # noqa: E402
from ostrilo_tools.golden import (  # noqa: E402
    EPS,
    INF,
    MAX,
    MIN_NORMAL,
    NAN,
    TINY,
    Hash,
    exact,
    from_bits,
    geometry_vectors,
    one_line,
    outcome,
    random_double,
)

GOLDEN = Path(__file__).resolve().parents[2] / "tests" / "golden" / "results.txt"
SEED = 0x05781107


# ---------------------------------------------------------------------------------------------
# Sections

def tolerance_walk(bases, steps):
    """(base index, component, step index, "+" or "-", base, moved): each component of each base
    moved by each step in both directions, for the strict absolute tolerance of equality."""
    for bi, base in enumerate(bases):
        for comp in range(len(base)):
            for si, d in enumerate(steps):
                for sign in (1.0, -1.0):
                    moved = list(base)
                    moved[comp] = base[comp] + sign * d
                    yield bi, comp, si, "+" if sign > 0 else "-", base, moved


def vec3d_rows():
    from ostrilo_py import Vec3d

    rng = random.Random(SEED)
    comps = [
        (0.0, 0.0, 0.0), (-0.0, -0.0, -0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0),
        (1.0, 1.0, 1.0), (1.0, 3.0, 3.0), (0.6, 0.8, 0.0), (1.0, 2.0, 3.0), (-4.0, 5.0, -6.0),
        (0.1, 0.2, 0.3), (NAN, 0.0, 0.0), (INF, -INF, 0.0), (INF, INF, INF), (MAX, MAX, MAX),
        (TINY, -TINY, MIN_NORMAL), (1e154, 1e154, 1e154), (1e-160, 1e-160, 1e-160),
        (1e300, 1e-300, 1.0), (from_bits(0x7FF0000000000001), from_bits(0xFFF8000000000000), 1.0),
        (-0.0, 1e-320, -INF), (1.0 + EPS, -1.0, 0.5), (0.0, 0.0, 1e-200),
    ]
    while len(comps) < 64:
        comps.append((random_double(rng), random_double(rng), random_double(rng)))
    vecs = [Vec3d(*c) for c in comps]
    n = len(vecs)
    scalars = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, 0.1, 1e-300, 1e300, TINY, MAX, INF, -INF, NAN]
    while len(scalars) < 24:
        scalars.append(random_double(rng))

    rows = []
    for i, v in enumerate(vecs):
        rows.append((f"v{i}", v))  # construction stores the doubles unchanged
    for i, s in enumerate(scalars):
        rows.append((f"s{i}", s))

    for name, f in [("zero", Vec3d.zero), ("i", Vec3d.i), ("j", Vec3d.j), ("k", Vec3d.k)]:
        rows.append((f"Vec3d.{name}()", f()))

    for i, v in enumerate(vecs):
        a = f"v{i}"
        rows += [
            (f"repr({a})", repr(v)),
            (f"str({a})", str(v)),
            (f"hash({a})", Hash(hash(v))),
            (f"{a}.magnitude()", v.magnitude()),
            (f"{a}.is_unit()", v.is_unit()),
            (f"{a}.normalize()", v.normalize()),
            (f"-{a}", -v),
            (f"{a}.to_array()", v.to_array()),
            (f"{a}[0..2]", [v[0], v[1], v[2]]),
            (f"list({a})", list(v)),
        ]

    pairs = [(i, i) for i in range(0, n, 7)] + [(rng.randrange(n), rng.randrange(n)) for _ in range(180)]
    for i, j in pairs:
        v, w = vecs[i], vecs[j]
        a, b = f"v{i}", f"v{j}"
        rows += [
            (f"{a}.dot({b})", v.dot(w)),
            (f"{a}.cross({b})", v.cross(w)),
            (f"{a}.distance_to({b})", v.distance_to(w)),
            (f"{a}.distance_squared({b})", v.distance_squared(w)),
            (f"{a}.project_onto_plane({b})", v.project_onto_plane(w)),
            (f"Vec3d.new_from_to({a}, {b})", Vec3d.new_from_to(v, w)),
            (f"{a} + {b}", v + w),
            (f"{a} - {b}", v - w),
            (f"{a} == {b}", v == w),
            (f"{a} != {b}", v != w),
        ]

    for _ in range(120):
        i, j, k = rng.randrange(n), rng.randrange(n), rng.randrange(n)
        u, v, w = vecs[i], vecs[j], vecs[k]
        a, b, c = f"v{i}", f"v{j}", f"v{k}"
        rows += [
            (f"{a}.scalar_triple_product({b}, {c})", u.scalar_triple_product(v, w)),
            (f"{a}.distance_to_line({b}, {c})", u.distance_to_line(v, w)),
            (f"{a}.project_onto_line({b}, {c})", u.project_onto_line(v, w)),
        ]

    for i in range(n):
        for k in sorted(rng.sample(range(len(scalars)), 4)):
            v, s = vecs[i], scalars[k]
            a, b = f"v{i}", f"s{k}"
            rows += [(f"{a} * {b}", v * s), (f"{b} * {a}", s * v), (f"{a} / {b}", v / s)]

    # The equality tolerance is absolute and strict: walk each component across |d| = eps.
    steps = [0.0, EPS / 2, math.nextafter(EPS, 0.0), EPS, math.nextafter(EPS, 1.0), 2 * EPS, 1e-300]
    bases = [(0.0, 0.0, 0.0), (1.0, -1.0, 0.5), (0.25, 1e-17, -3.0), (1e-16, -1e-16, 2.0)]
    for bi, axis, si, sign, base, moved in tolerance_walk(bases, steps):
        v, w = Vec3d(*base), Vec3d(*moved)
        label = f"eq base{bi} axis{axis} step{si}{sign}"
        rows += [(f"{label} ==", v == w), (f"{label} !=", v != w)]
    return rows


def angle_values(rng):
    """Angles in radians: zeros, tiny and huge values, NaN and the infinities, the constants and
    their multiples (where the reduction by pi/2 matters most), and seeded draws."""
    pi = math.pi
    xs = [
        0.0, -0.0, TINY, -TINY, MIN_NORMAL, 1e-300, EPS, math.ldexp(1.0, -27), math.ldexp(1.0, -26),
        -math.ldexp(1.0, -30), 1e-8, 0.1, 0.5, 1.0, -1.0, 2.0, 3.0, 10.0, 100.0,
        pi, 2.0 * pi, pi / 2.0, pi / 4.0, pi / 3.0, pi / 6.0, -pi, -pi / 2.0,
        math.nextafter(pi / 2.0, INF), math.nextafter(pi / 2.0, 0.0), math.nextafter(pi, INF),
        math.nextafter(pi, 0.0), math.nextafter(pi / 4.0, INF), math.nextafter(pi / 4.0, 0.0),
        1e6, 1e15, 1e22, -1e22, math.ldexp(1.0, 60), math.ldexp(1.0, 100), math.ldexp(1.0, 520),
        math.ldexp(1.0, 1000), 1e300, MAX, -MAX,
        math.ldexp(6381956970095103.0, 797),   # a double very close to a multiple of pi/2
        math.ldexp(5400934624503751.0, 91),
        NAN, INF, -INF, from_bits(0x7FF0000000000001), from_bits(0xFFF8000000000000),
    ]
    xs += [k * pi for k in range(-12, 13) if k]
    xs += [k * (pi / 2.0) for k in range(-15, 16, 2)]
    xs += [k * (pi / 4.0) for k in (-7, -5, -3, 3, 5, 7, 9, 11)]
    xs += [k * (pi / 3.0) for k in (-4, -2, 2, 4, 5)] + [k * (pi / 6.0) for k in (-5, 5, 7, 11)]
    xs += [k * pi for k in (1000, 123456, 987654321, -2**40 + 1)]
    while len(xs) < 150:
        kind = rng.randrange(4)
        if kind == 0:    # |x| < 8, full mantissa
            xs.append(math.ldexp(rng.getrandbits(53) - 2**52, -49))
        elif kind == 1:  # small and medium magnitudes
            xs.append(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-80, 40)))
        elif kind == 2:  # a few ulps from a multiple of pi/2
            x = rng.randrange(-40, 41) * (pi / 2.0)
            for _ in range(rng.randrange(1, 4)):
                x = math.nextafter(x, INF if rng.getrandbits(1) else -INF)
            xs.append(x)
        else:
            xs.append(random_double(rng))
    return xs


def angle_rows():
    from ostrilo_py import AngleDegrees, AngleRadians

    rng = random.Random(SEED + 2)
    rows = []
    for name in ("zero", "pi", "two_pi", "half_pi", "quarter_pi", "third_pi", "sixth_pi"):
        a = getattr(AngleRadians, name)()
        rows += [(f"AngleRadians.{name}()", a), (f"repr(AngleRadians.{name}())", repr(a)),
                 (f"AngleRadians.{name}().to_degrees()", a.to_degrees())]

    xs = angle_values(rng)
    for i, x in enumerate(xs):
        rows.append((f"a{i}", x))
    for i, x in enumerate(xs):
        a, n = AngleRadians(x), f"a{i}"
        rows += [
            (f"repr({n})", repr(a)),
            (f"{n}.sin()", a.sin()),
            (f"{n}.cos()", a.cos()),
            (f"{n}.tan()", a.tan()),
            (f"{n}.sec()", a.sec()),
            (f"{n}.csc()", a.csc()),
            (f"{n}.cot()", a.cot()),
            (f"{n}.to_degrees()", a.to_degrees()),
            (f"-{n}", -a),
        ]

    degrees = [0.0, -0.0, 1.0, 3.0, 30.0, 45.0, 60.0, 90.0, 180.0, 270.0, 360.0, -90.0, 720.0, 0.1,
               1.0 / 3.0, 1e-300, TINY, 1e300, MAX, NAN, INF, -INF]
    degrees += [float(rng.randrange(-1080, 1081)) for _ in range(16)]
    degrees += [math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-60, 0)) for _ in range(16)]
    for i, x in enumerate(degrees):
        d, n = AngleDegrees(x), f"d{i}"
        rows += [
            (n, x),
            (f"repr({n})", repr(d)),
            (f"{n}.to_radians()", d.to_radians()),
            (f"{n}.to_radians().to_degrees()", d.to_radians().to_degrees()),
            (f"-{n}", -d),
        ]
    for _ in range(24):
        i, j = rng.randrange(len(degrees)), rng.randrange(len(degrees))
        d, e = AngleDegrees(degrees[i]), AngleDegrees(degrees[j])
        rows.append((f"d{i} ==,!=,<,<=,>,>= d{j}", [d == e, d != e, d < e, d <= e, d > e, d >= e]))

    pairs = [(i, i) for i in range(0, len(xs), 17)] + [(rng.randrange(len(xs)), rng.randrange(len(xs))) for _ in range(100)]
    for i, j in pairs:
        a, b = AngleRadians(xs[i]), AngleRadians(xs[j])
        rows += [
            (f"a{i} + a{j}", a + b),
            (f"a{i} - a{j}", a - b),
            (f"a{i} ==,!=,<,<=,>,>= a{j}", [a == b, a != b, a < b, a <= b, a > b, a >= b]),
        ]
    scalars = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 180.0, 1e-300, 1e300, TINY, MAX, INF, -INF, NAN]
    for i in range(len(xs)):
        for k in sorted(rng.sample(range(len(scalars)), 1)):
            a, s = AngleRadians(xs[i]), scalars[k]
            rows += [(f"a{i} * {s!r}", a * s), (f"a{i} / {s!r}", a / s)]
    return rows


def quat_rows():
    from ostrilo_py import AngleRadians, Quat, Vec3d

    rng = random.Random(SEED + 3)
    unit_axes = [Vec3d(1.0, 0.0, 0.0), Vec3d(0.0, 1.0, 0.0), Vec3d(0.0, 0.0, 1.0), Vec3d(0.0, 0.0, -1.0),
                  Vec3d(0.6, 0.8, 0.0), Vec3d(0.0, 0.6, -0.8), Vec3d(1.0, 1.0, 1.0).normalize(),
                  Vec3d(1.0, -2.0, 3.0).normalize()]
    other_axes = [Vec3d(1.0, 2.0, 2.0), Vec3d(0.0, 0.0, 2.0), Vec3d(3.0, -4.0, 12.0), Vec3d(0.0, 0.0, 0.0),
                  Vec3d(-0.0, 1e-300, 0.0), Vec3d(1e300, 0.0, 0.0), Vec3d(NAN, 0.0, 1.0), Vec3d(INF, 0.0, 0.0)]
    while len(unit_axes) < 10:
        v = Vec3d(*(math.ldexp(rng.getrandbits(53) - 2**52, -52) for _ in range(3)))
        unit_axes.append(v.normalize())
        other_axes.append(v)
    pi = math.pi
    angles = [0.0, -0.0, pi / 2.0, pi, -pi, 2.0 * pi, pi / 3.0, pi / 6.0, pi / 4.0, 1.0, -2.5, 3.0 * pi,
              1e-9, 1e22, NAN, INF]
    while len(angles) < 22:
        angles.append(math.ldexp(rng.getrandbits(53) - 2**52, -49))

    quats = []  # (label, Quat)
    for ai, axis in enumerate(unit_axes):
        for k in sorted(rng.sample(range(len(angles)), 5)):
            quats.append((f"from_axis_angle(u{ai}, t{k})", Quat.from_axis_angle(axis, AngleRadians(angles[k]))))
    for ai, axis in enumerate(other_axes):
        for k in sorted(rng.sample(range(len(angles)), 2)):
            quats.append((f"from_axis_angle(n{ai}, t{k})", Quat.from_axis_angle(axis, AngleRadians(angles[k]))))
    direct = [(1.0, 0.0, 0.0, 0.0), (-1.0, 0.0, 0.0, 0.0), (-1.0, 0.5, 0.0, 0.0), (0.0, 0.0, 0.0, 0.0),
              (1.0 - EPS / 2, 0.0, 0.0, 0.0), (1.0 + EPS, 0.0, 0.0, 0.0), (1.0 + EPS / 2, 0.3, 0.0, 0.0),
              (1.0, 2.0, 3.0, 4.0), (2.0, 0.0, 0.0, 0.0), (0.6, 0.8, 0.0, 0.0), (0.0, 1.0, 0.0, 0.0),
              (0.5, 0.5, 0.5, 0.5), (-0.0, -0.0, -0.0, -0.0), (NAN, 0.0, 0.0, 0.0), (0.5, INF, 0.0, 0.0),
              (1e300, 1e300, 0.0, 0.0), (1e-200, 1e-200, 1e-200, 1e-200), (TINY, 0.0, 0.0, 0.0),
              (0.9999999999999999, 1e-9, 0.0, 0.0), (-0.9999999999999999, 0.0, 1e-9, 0.0)]
    while len(direct) < 26:
        direct.append(tuple(math.ldexp(rng.getrandbits(53) - 2**52, -53) for _ in range(4)))
    quats += [(f"Quat{c!r}", Quat(*c)) for c in direct]

    rows = [("Quat.identity()", Quat.identity()), ("repr(Quat.identity())", repr(Quat.identity()))]
    for ai, v in enumerate(unit_axes):
        rows.append((f"u{ai}", v))
    for ai, v in enumerate(other_axes):
        rows.append((f"n{ai}", v))
    for k, t in enumerate(angles):
        rows.append((f"t{k}", t))
    points = [Vec3d(1.0, 0.0, 0.0), Vec3d(0.0, 1.0, 0.0), Vec3d(1.5, -2.0, 3.25), Vec3d(-0.0, 0.0, -0.0),
              Vec3d(1e300, 1.0, -1.0), Vec3d(INF, 0.0, 1.0), Vec3d(1e-310, 5.0, 1e20)]
    for pi_, p in enumerate(points):
        rows.append((f"p{pi_}", p))
    for label, q in quats:
        axis, angle = q.to_axis_angle()
        rows += [
            (label, q),
            (f"repr({label})", repr(q)),
            (f"{label}.magnitude()", q.magnitude()),
            (f"{label}.is_unit()", q.is_unit()),
            (f"{label}.normalize()", q.normalize()),
            (f"{label}.conjugate()", q.conjugate()),
            (f"{label}.to_vec3d()", q.to_vec3d()),
            (f"{label}.to_axis_angle()", [axis, angle]),
            (f"{label}.to_rotation_matrix()", q.to_rotation_matrix()),
        ]
        for pk in sorted(rng.sample(range(len(points)), 2)):
            rows.append((f"{label}.rotate(p{pk})", q.rotate(points[pk])))

    # Tolerant equality: absolute and strict, component by component.
    steps = [0.0, EPS / 2, math.nextafter(EPS, 0.0), EPS, math.nextafter(EPS, 1.0), 1e-300]
    for bi, comp, si, sign, base, moved in tolerance_walk([(1.0, 0.0, 0.0, 0.0), (0.5, -0.5, 0.25, 1e-17)], steps):
        a, b = Quat(*base), Quat(*moved)
        rows.append((f"eq base{bi} comp{comp} step{si}{sign} ==,!=", [a == b, a != b, b == a]))
    for label, q in quats[::9]:
        rows.append((f"{label} ==,!= itself", [q == q, q != q]))
    return rows


def vec3d_angle_rows():
    from ostrilo_py import Vec3d

    rng = random.Random(SEED + 4)
    comps = [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (-1.0, 0.0, 0.0), (1.0, 1.0, 0.0), (1.0, 1.0, 1.0),
             (1.0, 2.0, 3.0), (2.0, 4.0, 6.0), (-1.0, -2.0, -3.0), (0.0, 0.0, 0.0), (-0.0, 0.0, -0.0),
             (1.0, 1e-8, 0.0), (1.0, 1e-20, 0.0), (1e300, 1e300, 0.0), (1e-300, 1e-300, 0.0),
             (TINY, 0.0, 0.0), (NAN, 1.0, 0.0), (INF, 0.0, 0.0), (0.6, 0.8, 0.0), (0.8, 0.6, 0.0),
             (3.0, -4.0, 12.0)]
    while len(comps) < 48:
        comps.append(tuple(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-55, -45)) for _ in range(3))
                     if rng.randrange(3) else (random_double(rng), random_double(rng), random_double(rng)))
    vecs = [Vec3d(*c) for c in comps]
    rows = [(f"w{i}", v) for i, v in enumerate(vecs)]
    for i, v in enumerate(vecs):
        rows.append((f"w{i}.to_quat()", v.to_quat()))
    pairs = [(i, i) for i in range(len(vecs))] + [(i, j) for i in range(20) for j in range(20) if i != j and (i + j) % 3 == 0]
    pairs += [(rng.randrange(len(vecs)), rng.randrange(len(vecs))) for _ in range(200)]
    # Slightly turned copies: the cosine is within a few ulps of 1 or -1.
    for i in range(20, 36):
        v = vecs[i]
        for k, f in enumerate((lambda c: math.nextafter(c, INF), lambda c: -c, lambda c: c * 3.0)):
            w = Vec3d(f(v.x), v.y, v.z)
            rows.append((f"w{i}.angle_to(w{i} turned {k})", v.angle_to(w)))
    for i, j in pairs:
        rows.append((f"w{i}.angle_to(w{j})", vecs[i].angle_to(vecs[j])))
    return rows


def plane_rows():
    from ostrilo_py import Vec3d, geometry

    Plane = geometry.Plane
    rng = random.Random(SEED + 5)
    vs = [Vec3d(*c) for c in geometry_vectors(rng, 40)]
    offsets = [0.0, -0.0, 5.0, -5.0, 0.5, 1e-300, 1e300, NAN, INF]
    while len(offsets) < 14:
        offsets.append(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-60, 5)))
    rows = [(f"g{i}", v) for i, v in enumerate(vs)] + [(f"o{i}", o) for i, o in enumerate(offsets)]
    rows += [("Plane.xy()", Plane.xy()), ("Plane.xz()", Plane.xz()), ("Plane.yz()", Plane.yz())]

    planes = []
    for i in range(len(vs)):
        k = rng.randrange(len(offsets))
        planes.append((f"Plane(g{i}, o{k})", Plane(vs[i], offsets[k])))
    for _ in range(20):
        i, j = rng.randrange(len(vs)), rng.randrange(len(vs))
        planes.append((f"Plane.from_point(g{i}, g{j})", Plane.from_point(vs[i], vs[j])))
    for _ in range(20):
        i, j, k = rng.randrange(len(vs)), rng.randrange(len(vs)), rng.randrange(len(vs))
        planes.append((f"Plane.from_points(g{i}, g{j}, g{k})", Plane.from_points(vs[i], vs[j], vs[k])))
    planes.append(("Plane.from_points(g3, g2, g1)", Plane.from_points(vs[3], vs[2], vs[1])))
    planes.append(("Plane.from_points(g1, g3, g2)", Plane.from_points(vs[1], vs[3], vs[2])))

    for label, p in planes:
        rows.append((label, p))
        for j in sorted(rng.sample(range(len(vs)), 2)):
            rows += [(f"{label}.contains_point(g{j})", p.contains_point(vs[j])),
                     (f"{label}.distance_to_point(g{j})", p.distance_to_point(vs[j]))]
        # A point on the plane along the normal, and ones a few ulps off it.
        n, d = p.normal, p.distance
        on = Vec3d(n.x * -d, n.y * -d, n.z * -d)
        rows += [(f"{label}.contains_point(on)", p.contains_point(on)),
                 (f"{label}.distance_to_point(on)", p.distance_to_point(on))]

    # The residual walks across the strict bound eps.
    p = Plane(Vec3d(0.0, 0.0, 1.0), 0.0)
    for si, z in enumerate([0.0, EPS / 2, math.nextafter(EPS, 0.0), EPS, math.nextafter(EPS, 1.0), -EPS,
                            -math.nextafter(EPS, 0.0)]):
        pt = Vec3d(3.0, -7.0, z)
        rows += [(f"xy.contains_point(z step{si})", p.contains_point(pt)),
                 (f"xy.distance_to_point(z step{si})", p.distance_to_point(pt))]
    return rows


def circle_rows():
    from ostrilo_py import Vec3d, geometry

    Circle = geometry.Circle
    rng = random.Random(SEED + 6)
    vs = [Vec3d(*c) for c in geometry_vectors(rng, 40)]
    radii = [0.0, -0.0, 1.0, -2.0, 0.5, 5.0, TINY, 1e-300, 1e300, MAX, NAN, INF]
    while len(radii) < 18:
        radii.append(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-55, 4)))
    rows = [(f"g{i}", v) for i, v in enumerate(vs)] + [(f"r{i}", r) for i, r in enumerate(radii)]
    rows.append(("Circle.none()", Circle.none()))

    circles = [("Circle.none()", Circle.none())]
    for _ in range(50):
        i, k, j = rng.randrange(len(vs)), rng.randrange(len(radii)), rng.randrange(len(vs))
        circles.append((f"Circle(g{i}, r{k}, g{j})", Circle(vs[i], radii[k], vs[j])))
    # Coplanar families: same plane, flipped normals, centres moved within the plane.
    for z in (0.0, 1.0, -2.5):
        for normal in ((0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (0.0, 0.0, 3.0)):
            for cx in (0.0, 1.0, 1e-17):
                circles.append((f"Circle(({cx!r}, 2.0, {z!r}), 1.0, {normal})",
                                Circle(Vec3d(cx, 2.0, z), 1.0, Vec3d(*normal))))
    for label, c in circles:
        rows += [
            (label, c),
            (f"{label}.area", c.area),
            (f"{label}.get_plane()", c.get_plane()),
            (f"{label}.is_degenerate()", c.is_degenerate()),
        ]
    pairs = [(i, i) for i in range(0, len(circles), 5)]
    pairs += [(i, j) for i in range(51, len(circles)) for j in range(51, len(circles)) if (i * 7 + j) % 4 == 0]
    pairs += [(rng.randrange(len(circles)), rng.randrange(len(circles))) for _ in range(60)]
    for i, j in pairs:
        (_, a), (_, b) = circles[i], circles[j]
        rows.append((f"c{i} ==,!=,in_same_plane c{j}", [a == b, a != b, a.in_same_plane(b)]))
    for i, (label, _) in enumerate(circles):
        rows.append((f"c{i}", label))
    return rows


def intersection_rows():
    from ostrilo_py import Vec3d, geometry

    Plane, Circle = geometry.Plane, geometry.Circle
    rng = random.Random(SEED + 7)
    vs = [Vec3d(*c) for c in geometry_vectors(rng, 48)]
    rows = [(f"g{i}", v) for i, v in enumerate(vs)]

    planes = [Plane(Vec3d(0.0, 0.0, 1.0), 5.0), Plane.xy(), Plane(Vec3d(1.0, 1.0, 1.0), -2.0),
              Plane(Vec3d(0.0, 0.0, 0.0), 1.0)]
    while len(planes) < 10:
        planes.append(Plane.from_point(vs[rng.randrange(len(vs))], vs[rng.randrange(len(vs))]))
    for k, p in enumerate(planes):
        rows.append((f"P{k}", p))
    for _ in range(160):
        k, i, j = rng.randrange(len(planes)), rng.randrange(len(vs)), rng.randrange(len(vs))
        rows.append((f"plane_line(P{k}, g{i}, g{j})", geometry.plane_line(planes[k], vs[i], vs[j])))
    rows.append(("plane_line(P0, (1,2,0), (1,2,1))",
                 geometry.plane_line(planes[0], Vec3d(1.0, 2.0, 0.0), Vec3d(1.0, 2.0, 1.0))))
    rows.append(("plane_line(P1, (0,0,1), (1,0,1))",
                 geometry.plane_line(planes[1], Vec3d(0.0, 0.0, 1.0), Vec3d(1.0, 0.0, 1.0))))

    unit = Circle(Vec3d(0.0, 0.0, 0.0), 1.0, Vec3d(0.0, 0.0, 1.0))
    circles = [unit, Circle.none(), Circle(Vec3d(1.0, 2.0, 3.0), 2.0, Vec3d(0.0, 0.0, 5.0)),
               Circle(Vec3d(0.5, -0.25, 0.0), 0.75, Vec3d(1.0, 1.0, 0.0)),
               Circle(Vec3d(0.0, 0.0, 0.0), 1.0, Vec3d(3.0, -4.0, 12.0))]
    while len(circles) < 9:
        circles.append(Circle(vs[rng.randrange(len(vs))], math.ldexp(rng.getrandbits(52), -51), vs[rng.randrange(len(vs))]))
    for k, c in enumerate(circles):
        rows.append((f"C{k}", c))
    # Points on, inside, outside and off the plane of each circle, and the rim walked across eps.
    points = []
    for k, c in enumerate(circles):
        cc, r = c.center, c.radius
        points += [(k, f"C{k}.center", cc), (k, f"C{k} rim x", Vec3d(cc.x + r, cc.y, cc.z)),
                   (k, f"C{k} above", Vec3d(cc.x, cc.y, cc.z + r))]
    for d in (0.0, EPS / 2, EPS, 2 * EPS, -EPS / 2, -EPS, -2 * EPS, 1e-300, 0.5, -0.5, 2.0):
        points.append((0, f"C0 rim {d!r}", Vec3d(1.0 + d, 0.0, 0.0)))
        points.append((0, f"C0 off plane {d!r}", Vec3d(1.0, 0.0, d)))
    for _ in range(60):
        points.append((rng.randrange(len(circles)), f"g{len(points) % len(vs)}", vs[len(points) % len(vs)]))
    for k, label, p in points:
        c = circles[k]
        rows += [
            (f"circle_point(C{k}, {label}, True|False)",
             [geometry.circle_point(c, p, True), geometry.circle_point(c, p, False)]),
            (f"circle_point_unchecked(C{k}, {label}, True|False)",
             [geometry.circle_point_unchecked(c, p, True), geometry.circle_point_unchecked(c, p, False)]),
        ]

    # Circle pairs: the worked cases, coplanar pairs at seeded distances, and every failure.
    def circ(center, radius=1.0, normal=(0.0, 0.0, 1.0)):
        return Circle(Vec3d(*center), radius, Vec3d(*normal))

    pairs = [
        ("r5 (0,0,0) & r5 (8,0,0)", circ((0.0, 0.0, 0.0), 5.0), circ((8.0, 0.0, 0.0), 5.0)),
        ("unit (0,0,0) & unit (1,0,0)", circ((0.0, 0.0, 0.0)), circ((1.0, 0.0, 0.0))),
        ("unit (0,0,0) & unit (1,0,0) flipped", circ((0.0, 0.0, 0.0)), circ((1.0, 0.0, 0.0), normal=(0.0, 0.0, -1.0))),
        ("tangent outside", circ((0.0, 0.0, 0.0)), circ((2.0, 0.0, 0.0))),
        ("tangent inside", circ((0.0, 0.0, 0.0), 2.0), circ((1.0, 0.0, 0.0))),
        ("identical", circ((0.0, 0.0, 0.0)), circ((0.0, 0.0, 0.0))),
        ("identical flipped", circ((0.0, 0.0, 0.0)), circ((0.0, 0.0, 0.0), normal=(0.0, 0.0, -1.0))),
        ("identical within eps", circ((0.0, 0.0, 0.0)), circ((1e-17, 0.0, 0.0))),
        ("too far", circ((0.0, 0.0, 0.0)), circ((3.0, 0.0, 0.0))),
        ("contained", circ((0.0, 0.0, 0.0)), circ((0.0, 0.0, 0.0), 2.0)),
        ("out of plane", circ((0.0, 0.0, 0.0)), circ((0.0, 0.0, 1.0))),
        ("tilted", circ((0.0, 0.0, 0.0)), circ((0.5, 0.0, 0.0), normal=(0.0, 1.0, 1.0))),
        ("none & none", Circle.none(), Circle.none()),
        ("nan radius", circ((0.0, 0.0, 0.0), NAN), circ((1.0, 0.0, 0.0))),
        ("inf radius", circ((0.0, 0.0, 0.0), INF), circ((1.0, 0.0, 0.0))),
        ("huge", circ((0.0, 0.0, 0.0), 1e300), circ((1e300, 0.0, 0.0), 1e300)),
        ("tiny", circ((0.0, 0.0, 0.0), 1e-300), circ((1e-300, 0.0, 0.0), 1e-300)),
    ]
    normals = [(0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (0.0, 0.0, 2.5)]
    for n in range(80):
        c1 = (math.ldexp(rng.getrandbits(53) - 2**52, -50), math.ldexp(rng.getrandbits(53) - 2**52, -50), 0.0)
        c2 = (math.ldexp(rng.getrandbits(53) - 2**52, -50), math.ldexp(rng.getrandbits(53) - 2**52, -50), 0.0)
        r1, r2 = math.ldexp(rng.getrandbits(53), -50), math.ldexp(rng.getrandbits(53), -50)
        n1, n2 = normals[rng.randrange(3)], normals[rng.randrange(3)]
        pairs.append((f"seeded {n}", circ(c1, r1, n1), circ(c2, r2, n2)))
    # Two circles in a common tilted plane through a seeded point.
    for n in range(24):
        normal = Vec3d(*(math.ldexp(rng.getrandbits(53) - 2**52, -52) for _ in range(3)))
        a = Vec3d(1.0, 0.0, 0.0).cross(normal).normalize()
        if not (a.magnitude() > 0.5):
            continue
        b = normal.cross(a).normalize()
        s, t = math.ldexp(rng.getrandbits(53), -52), math.ldexp(rng.getrandbits(53), -52)
        c2 = Vec3d(a.x * s + b.x * t, a.y * s + b.y * t, a.z * s + b.z * t)
        pairs.append((f"tilted seeded {n}", Circle(Vec3d(0.0, 0.0, 0.0), 1.0, normal), Circle(c2, 0.75, normal)))
    for label, c1, c2 in pairs:
        rows += [
            (f"{label}: circle1, circle2", [c1, c2]),
            (f"circle_circle({label})", outcome(lambda: list(geometry.circle_circle(c1, c2)))),
        ]
    return rows


def vec_list_rows():
    from ostrilo_py import Quat, Vec3d, VecList

    rng = random.Random(SEED + 8)
    comps = [(1.0, 0.0, 0.0), (0.6, 0.8, 0.0), (2.0, 0.0, 0.0), (0.0, 0.0, 0.0), (-0.0, -0.0, -0.0),
             (1.0 - EPS / 2, 0.0, 0.0), (1.0 + EPS, 0.0, 0.0), (NAN, 1.0, 2.0),
             (from_bits(0xFFF8000000000000), 0.0, 0.0), (from_bits(0x7FF0000000000001), -1.0, 0.5),
             (INF, 0.0, 0.0), (-INF, INF, 1.0), (MAX, MAX, MAX), (TINY, -TINY, MIN_NORMAL),
             (1e154, 1e154, 1e154), (1e-160, -1e-160, 1e-160), (1.0, 2.0, 3.0), (-4.0, 5.0, -6.0),
             (0.1, 0.2, 0.3), (1e300, 1e-300, 1.0)]
    while len(comps) < 36:
        if rng.randrange(3):
            comps.append(tuple(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-56, -44)) for _ in range(3)))
        else:
            comps.append((random_double(rng), random_double(rng), random_double(rng)))
    vl = VecList([Vec3d(*c) for c in comps])
    n = len(comps)
    others = [Vec3d(0.0, 0.0, 0.0), Vec3d(1.0, 2.0, 3.0), Vec3d(-0.5, 0.25, 1e-300), Vec3d(NAN, 0.0, 0.0),
              Vec3d(*(math.ldexp(rng.getrandbits(53) - 2**52, -52) for _ in range(3)))]
    scalars = [-0.0, 3.0, 1e-300, 1e300, INF, NAN, math.ldexp(rng.getrandbits(53) - 2**52, -51)]
    quats = [Quat(0.7071067811865476, -0.0, -0.0, -0.7071067811865475), Quat(2.0, 0.0, 0.0, 0.0),
             Quat(NAN, 0.0, 0.0, 0.0),
             Quat(*(math.ldexp(rng.getrandbits(53) - 2**52, -53) for _ in range(4)))]

    rows = [(f"e{i}", v) for i, v in enumerate(vl)]
    rows += [(f"o{k}", o) for k, o in enumerate(others)] + [(f"s{k}", s) for k, s in enumerate(scalars)]
    rows += [(f"q{k}", q) for k, q in enumerate(quats)]
    rows.append(("len(vl)", len(vl)))

    def per_element(label, values):
        values = values.list if isinstance(values, VecList) else values
        assert len(values) == n, label
        return [(f"{label}[{i}]", v) for i, v in enumerate(values)]

    rows += per_element("vl.to_array()", vl.to_array())
    rows += per_element("vl.magnitude()", vl.magnitude())
    rows += per_element("vl.is_unit()", vl.is_unit())
    rows += per_element("vl.normalize()", vl.normalize())
    for axis in range(3):
        rows += per_element(f"vl.collapse({axis})", vl.collapse(axis))
    for k, o in enumerate(others):
        rows += per_element(f"vl + o{k}", vl + o)
        rows += per_element(f"vl - o{k}", vl - o)
        rows += per_element(f"vl.dot(o{k})", vl.dot(o))
        rows += per_element(f"vl.cross(o{k})", vl.cross(o))
        rows += per_element(f"vl.distance_to(o{k})", vl.distance_to(o))
        rows += per_element(f"vl.distance_squared(o{k})", vl.distance_squared(o))
    for k, s in enumerate(scalars):
        rows += per_element(f"vl * s{k}", vl * s)
        rows += per_element(f"s{k} * vl", s * vl)
        rows += per_element(f"vl / s{k}", vl / s)
    for k, q in enumerate(quats):
        turned = VecList(vl)
        turned.rotate(q)
        rows += per_element(f"vl.rotate(q{k})", turned)

    small = VecList([Vec3d(1.0, 2.0, 3.0), Vec3d(-0.0, 0.1, 1e21), Vec3d(NAN, INF, -INF), Vec3d(1.5e-10, -2.0, TINY)])
    rows += [("repr(small)", one_line(repr(small))), ("repr(VecList.empty())", repr(VecList.empty())),
             ("repr(vl[:8])", one_line(repr(VecList(vl.list[:8]))))]

    # Nearest-element search. Infinite targets make keys of inf - inf, the processor's default NaN
    # (sign set on x86-64, clear on ARM): the ranking must not depend on that sign.
    ten = VecList([Vec3d(float(k), 0.0, 0.0) for k in range(10)])
    for target in (2.4, 6.2, 9.5, -1.0, INF):
        for stride in (1, 2, 3, 4, 25):
            rows.append((f"ten.minimum_distance_to(({target!r}, 0, 0), {stride})",
                         list(ten.minimum_distance_to(Vec3d(target, 0.0, 0.0), stride))))
    # The coarse pass can miss a closer element outside its window.
    far = VecList([Vec3d(0.0, 0.0, 0.0)] + [Vec3d(100.0, 0.0, 0.0)] * 8 + [Vec3d(1.0, 0.0, 0.0)])
    for stride in (1, 3, 4, 9, 10):
        rows.append((f"far.minimum_distance_to((1, 0, 0), {stride})",
                     list(far.minimum_distance_to(Vec3d(1.0, 0.0, 0.0), stride))))
    targets = [Vec3d(0.0, 0.0, 0.0), Vec3d(1.0, 2.0, 3.0), Vec3d(0.9, 0.0, 0.0), Vec3d(-1e300, 0.0, 0.0),
               Vec3d(1e-160, -1e-160, 1e-160), Vec3d(INF, 0.0, 0.0), Vec3d(-INF, INF, 1.0)]
    while len(targets) < 11:
        targets.append(Vec3d(*(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-56, -44)) for _ in range(3))))
    for k, t in enumerate(targets):
        rows.append((f"t{k}", t))
        for stride in (1, 2, 3, 5, 8, 13, 35, 36, 1000):
            rows.append((f"vl.minimum_distance_to(t{k}, {stride})", list(vl.minimum_distance_to(t, stride))))
    return rows


def vec_list_nan_rows():
    """NaN payloads through the list operations. Arithmetic gives the one canonical NaN
    (0x7ff8000000000000) whatever the operands' payloads, signs and the processor; collapse only
    copies, and keeps them; the nearest search ranks every NaN alike."""
    from ostrilo_py import Quat, Vec3d, VecList

    payloads = [0x7FF8000000000100, 0x7FF8000000000001, 0xFFF8000000000300, 0x7FF4000000000007,
                0xFFFFFFFFFFFFFFFF, 0x7FF0000000000001]
    nans = [from_bits(b) for b in payloads]
    rng = random.Random(SEED + 9)
    comps = []
    for k in range(23):
        comps.append(tuple(rng.choice(nans) if rng.random() < 0.4 else rng.uniform(-4.0, 4.0) for _ in range(3)))
    comps.append((nans[0], nans[1], nans[2]))
    vl = VecList([Vec3d(*c) for c in comps])
    o, s, q = Vec3d(nans[2], 1.0, -2.0), nans[3], Quat(0.5, nans[4], 0.5, 0.5)
    rows = [(f"e{i}", exact(v)) for i, v in enumerate(vl)]
    results = [("vl + o", vl + o), ("vl - o", vl - o), ("vl * s", vl * s), ("s * vl", s * vl), ("vl / s", vl / s),
               ("vl * 2", vl * 2.0), ("vl / 3", vl / 3.0), ("vl.dot(o)", vl.dot(o)), ("vl.cross(o)", vl.cross(o)),
               ("vl.distance_to(o)", vl.distance_to(o)), ("vl.distance_squared(o)", vl.distance_squared(o)),
               ("vl.magnitude()", vl.magnitude()), ("vl.normalize()", vl.normalize()),
               ("vl.collapse(1)", vl.collapse(1))]
    turned = VecList(vl)
    turned.rotate(q)
    results.append(("vl.rotate(q)", turned))
    for label, values in results:
        values = values.list if isinstance(values, VecList) else values
        rows += [(f"{label}[{i}]", exact(v)) for i, v in enumerate(values)]
    for stride in (1, 2, 3, 5, 24, 100):
        rows.append((f"vl.minimum_distance_to((0, 0, 0), {stride})",
                     exact(list(vl.minimum_distance_to(Vec3d(0.0, 0.0, 0.0), stride)))))
    # Only NaN keys at the coarse candidates: the first one wins, whatever the payloads.
    holes = VecList([Vec3d(nans[k % len(nans)], 0.0, 0.0) if k % 4 == 0 else Vec3d(float(k), 0.0, 0.0)
                     for k in range(12)])
    for stride in (1, 2, 4):
        rows.append((f"holes.minimum_distance_to((0, 0, 0), {stride})",
                     exact(list(holes.minimum_distance_to(Vec3d(0.0, 0.0, 0.0), stride)))))
    # Every key a NaN, with the largest payload last: the first element wins.
    blank = VecList([Vec3d(nans[k % len(nans)], 1.0, 0.0) for k in range(1, 8)])
    for stride in (1, 3):
        rows.append((f"blank.minimum_distance_to((0, 0, 0), {stride})",
                     exact(list(blank.minimum_distance_to(Vec3d(0.0, 0.0, 0.0), stride)))))
    return rows


SECTIONS = [
    ("Vec3d", vec3d_rows),
    ("Vec3d angle_to and to_quat", vec3d_angle_rows),
    ("AngleRadians and AngleDegrees", angle_rows),
    ("Quat", quat_rows),
    ("Plane", plane_rows),
    ("Circle", circle_rows),
    ("Intersections", intersection_rows),
    ("VecList", vec_list_rows),
    ("VecList NaN bits", vec_list_nan_rows),
]


COMMENTS = [
    "Generated by tools/generate/make_golden.py; compared by tests/test_golden.py.",
    "Floats are float.hex(), every NaN is 'nan' (in [VecList NaN bits] 'nan:' and its bits), hashes are 64-bit digests.",
]


def main(argv):
    return golden.main(argv, GOLDEN, SECTIONS, COMMENTS, hashes=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
