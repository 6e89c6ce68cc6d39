#!/usr/bin/env python3
"""Golden results of the companion module ostrilo_ext, in the manner of tools/generate/make_golden.py
(with the inputs, rendering and comparison both take from tools/ostrilo_tools/golden.py) and in a
file of their own:

    python tools/generate/make_golden_ext.py           rewrite tests/golden/ext_results.txt
    python tools/generate/make_golden_ext.py --check   compare only, exit 1 on a difference

tests/test_golden_ext.py compares the rows with the file on every platform, 32-bit ARM included:
the functions call no C library function whose result could differ (their arctangent is drevan's
own, sine and cosine too, sqrt is IEEE-exact). Inputs are built from integer draws and exact
constructions only, so they are the same doubles everywhere. Gimbal-lock warnings are silenced.
"""
import math
import random
import sys
import warnings
from pathlib import Path

# A program, not a module: the helpers' package is found beside this folder.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import golden  # noqa: E402

GOLDEN = Path(__file__).resolve().parents[2] / "tests" / "golden" / "ext_results.txt"
SEED = 0x0E7E0001
NAN, INF = golden.NAN, golden.INF


def full(rng, lo=-52, hi=-50):
    return math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(lo, hi))


def unit_quats(rng, count):
    from ostrilo_py import AngleRadians, Quat, Vec3d

    qs = [Quat.identity(), Quat(0.0, 1.0, 0.0, 0.0), Quat(-1.0, 0.0, 0.0, 0.0),
          Quat.from_axis_angle(Vec3d(0.0, 0.0, 1.0), AngleRadians(math.pi)),
          Quat.from_axis_angle(Vec3d(0.6, 0.8, 0.0), AngleRadians(1e-9)),
          Quat.from_axis_angle(Vec3d(0.0, 0.6, -0.8), AngleRadians(math.pi - 1e-9))]
    while len(qs) < count:
        qs.append(Quat(full(rng), full(rng), full(rng), full(rng)).normalize())
    return qs


def odd_quats(rng, count):
    from ostrilo_py import Quat

    qs = [Quat(0.0, 0.0, 0.0, 0.0), Quat(NAN, 0.0, 0.0, 1.0), Quat(INF, 0.0, 0.0, 0.0), Quat(-0.0, -0.0, 0.0, 1.0),
          Quat(1e300, 1e300, 0.0, 0.0), Quat(1e-300, 0.0, 1e-310, 0.0), Quat(2.0, 0.0, 0.0, 0.0)]
    while len(qs) < count:
        qs.append(Quat(golden.random_double(rng), golden.random_double(rng), golden.random_double(rng), golden.random_double(rng)))
    return qs


def rotation_rows():
    import ostrilo_ext as e

    rng = random.Random(SEED)
    units = unit_quats(rng, 24)
    odd = odd_quats(rng, 16)
    rows = []
    for k, q in enumerate(units):
        rows.append((f"u{k}", q))
    for k, q in enumerate(odd):
        rows.append((f"o{k}", q))
    for k, (a, b) in enumerate(zip(units + odd, units[1:] + odd + units[:1])):
        rows.append((f"compose[{k}]", e.compose(a, b)))
        rows.append((f"hamilton_product[{k}]", e.hamilton_product(b, a)))
        rows.append((f"inverse[{k}]", golden.outcome(lambda: e.inverse(a))))
        rows.append((f"to_xyzw[{k}]", e.to_xyzw(a)))
        rows.append((f"from_wxyz[{k}]", e.from_wxyz([a.w, a.i, a.j, a.k])))
    for k, (a, b) in enumerate(zip(units, units[3:] + units[:3])):
        rows.append((f"slerp[{k}]", golden.outcome(lambda: e.slerp(a, b, [0.0, 0.1, 0.25, 0.5, 0.875, 1.0, -0.5, 1.5]))))
    rows.append(("slerp[same]", e.slerp(units[7], units[7], 0.5)))
    rows.append(("slerp[zero]", golden.outcome(lambda: e.slerp(units[7], odd[0], 0.5))))
    for k, q in enumerate(units):
        m = q.to_rotation_matrix()
        rows.append((f"from_matrix[{k}]", e.from_matrix([[m[c][r] for c in range(3)] for r in range(3)])))
    rows.append(("from_matrix[scaled]", golden.outcome(lambda: e.from_matrix([[2, 0, 0], [0, 2, 0], [0, 0, 2]]))))
    rows.append(("from_matrix[reflection]", golden.outcome(lambda: e.from_matrix([[1, 0, 0], [0, 1, 0], [0, 0, -1]]))))
    for k, q in enumerate(units + odd):
        rows.append((f"axis_angle[{k}]", golden.outcome(lambda: e.axis_angle(q))))
    return rows


def euler_rows():
    import ostrilo_ext as e

    rng = random.Random(SEED + 1)
    seqs = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
    seqs += [s.upper() for s in seqs]
    triples = [[0.0, 0.0, 0.0], [0.1, 0.2, 0.3], [math.pi, math.pi / 2, -math.pi], [1.0, 0.0, 2.0],
               [1.0, math.pi, 2.0], [-1.0, -math.pi / 2, 0.5]]
    while len(triples) < 10:
        triples.append([full(rng, -51, -49) for _ in range(3)])
    rows = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for seq in seqs:
            for k, t in enumerate(triples):
                q = e.from_euler(seq, t)
                rows.append((f"from_euler[{seq},{k}]", q))
                rows.append((f"to_euler[{seq},{k}]", list(e.to_euler(q, seq))))
            rows.append((f"to_euler[{seq},deg]", list(e.to_euler(e.from_euler(seq, [30, 40, 50], degrees=True), seq,
                                                                  degrees=True))))
    return rows


def angle_rows():
    import ostrilo_ext as e
    from ostrilo_py import Vec3d

    rng = random.Random(SEED + 2)
    rows = []
    # atan2(|y|, x) exactly: the cross product's length is |y| and the dot product x
    for k in range(300):
        y, x = golden.random_double(rng), golden.random_double(rng)
        rows.append((f"atan2[{k}] {golden.hexf(y)} {golden.hexf(x)}",
                     golden.outcome(lambda: e.angle_between(Vec3d(1.0, 0.0, 0.0), Vec3d(x, y, 0.0)))))
    vecs = [Vec3d(*c) for c in golden.geometry_vectors(rng, 40)]
    for k, (a, b) in enumerate(zip(vecs, vecs[1:] + vecs[:1])):
        rows.append((f"angle_between[{k}]", golden.outcome(lambda: e.angle_between(a, b))))
        rows.append((f"from_two_vectors[{k}]", golden.outcome(lambda: e.from_two_vectors(a, b))))
        rows.append((f"from_two_vectors[{k},-a]", golden.outcome(lambda: e.from_two_vectors(a, -a))))
    return rows


def geometry_rows():
    import ostrilo_ext as e
    from ostrilo_py import Quat, Vec3d, VecList, geometry

    rng = random.Random(SEED + 3)
    rows = []
    for k in range(60):
        n = Vec3d(full(rng), full(rng), full(rng)).normalize()
        u = n.cross(Vec3d(1.0, 0.0, 0.0)).normalize()
        v = n.cross(u)
        o = Vec3d(full(rng, -49, -47), full(rng, -49, -47), full(rng, -49, -47))
        a, b = full(rng, -51, -50), full(rng, -51, -50)
        c2 = Vec3d(o.x + a * u.x + b * v.x, o.y + a * u.y + b * v.y, o.z + a * u.z + b * v.z)
        r1, r2 = abs(full(rng, -51, -50)) + 1.0, abs(full(rng, -51, -50)) + 1.0
        c1, c2c = geometry.Circle(o, r1, n), geometry.Circle(c2, r2, n)
        rows.append((f"circle_circle[{k}]", golden.outcome(lambda: list(e.circle_circle(c1, c2c)))))
        rows.append((f"in_same_plane[{k}]", e.in_same_plane(c1, c2c)))
        p = Vec3d(o.x + 2 * u.x, o.y + 2 * u.y, o.z + 2 * u.z)
        rows.append((f"circle_point[{k}]", [e.circle_point(c1, p, True), e.circle_point(c1, p, False)]))
        plane = geometry.Plane.from_points(o, c2, p)
        rows.append((f"contains_point[{k}]", [e.contains_point(plane, q) for q in (o, c2, p)]))
        rows.append((f"plane_line[{k}]", golden.outcome(lambda: e.plane_line(plane, Vec3d(0.0, 0.0, 0.0), n))))
    qs = unit_quats(rng, 20) + odd_quats(rng, 12)
    vl = VecList([Vec3d(*c) for c in golden.geometry_vectors(rng, len(qs))])
    rows.append(("rotate_each", list(e.rotate_each(vl, qs))))
    rows.append(("rotate_each[array]", list(e.rotate_each(vl, [[q.w, q.i, q.j, q.k] for q in qs]))))
    rows.append(("Quat.rotate", [q.rotate(x) for q, x in zip(qs, vl)]))
    _ = Quat
    return rows


SECTIONS = [
    ("Rotations", rotation_rows),
    ("Euler angles", euler_rows),
    ("Accurate angles", angle_rows),
    ("Tolerant geometry and batch", geometry_rows),
]


COMMENTS = [
    "Generated by tools/generate/make_golden_ext.py; compared by tests/test_golden_ext.py.",
    "Floats are float.hex(), every NaN is 'nan'.",
]


def main(argv):
    return golden.main(argv, GOLDEN, SECTIONS, COMMENTS)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
