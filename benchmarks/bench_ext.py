"""ostrilo_ext side by side with PyGLM and scipy: one call at a time, and rotate_each over 10^6
vectors against scipy's Rotation.apply with 10^6 rotations.

    python benchmarks/bench_ext.py [--repeat N] [--time SECONDS] [--n N]

Each cell is the median over N runs of the time per call (nanoseconds) or per batch
(milliseconds); within a row the contenders take turns run by run. The ratios are our time
divided by theirs (below 1.0 means faster; the targets are <= 1.0 against PyGLM and <= 0.1
against scipy's single-rotation calls, <= 0.5 for rotate_each). PyGLM runs in double precision
(dquat, dvec3, dmat3); scipy's single-rotation objects are built beforehand where the row says so.
"""
import argparse
import math
import os
import platform
import statistics
import time
import timeit
import warnings

import glm
import numpy as np
import ostrilo_ext
import ostrilo_py
import scipy
from ostrilo_py import AngleRadians, Quat, Vec3d, VecList
from scipy.spatial.transform import Rotation, Slerp

warnings.simplefilter("ignore")
AXIS = (0.2672612419124244, 0.5345224838248488, 0.8017837257372732)
a = Quat.from_axis_angle(Vec3d(*AXIS), AngleRadians(0.7))
b = Quat.from_axis_angle(Vec3d(0.6, 0.0, 0.8), AngleRadians(-1.9))
v, w = Vec3d(1.0, 2.0, 3.0), Vec3d(-2.0, 0.5, 4.0)
m_list = [list(r) for r in zip(*a.to_rotation_matrix())]  # the matrix a.rotate applies
m_array = np.array(m_list)

ga, gb = glm.dquat(*ostrilo_ext.to_wxyz(a)), glm.dquat(*ostrilo_ext.to_wxyz(b))
g_m = glm.dmat3(*[glm.dvec3(*col) for col in m_array.T])  # glm matrices are built column by column
g_nv, g_nw = glm.normalize(glm.dvec3(1.0, 2.0, 3.0)), glm.normalize(glm.dvec3(-2.0, 0.5, 4.0))
ra, rb = Rotation.from_quat(ostrilo_ext.to_xyzw(a)), Rotation.from_quat(ostrilo_ext.to_xyzw(b))
s_slerp = Slerp([0.0, 1.0], Rotation.concatenate([ra, rb]))
s_v, s_w = np.array([1.0, 2.0, 3.0]), np.array([-2.0, 0.5, 4.0])

# The contenders agree before they are timed.
assert abs(ostrilo_ext.angle_between(v, w).angle - math.acos(glm.dot(g_nv, g_nw))) < 1e-12
g_ab = gb * ga
assert np.allclose(list(ostrilo_ext.to_wxyz(ostrilo_ext.compose(a, b))), [g_ab.w, g_ab.x, g_ab.y, g_ab.z])
assert np.allclose((rb * ra).apply(s_v), ostrilo_ext.compose(a, b).rotate(v).to_array())
assert np.allclose(Rotation.from_matrix(m_array).apply(s_v), ostrilo_ext.from_matrix(m_list).rotate(v).to_array())

# (operation, ours, PyGLM or None, scipy or None, note)
ROWS = [
    ("compose", "ostrilo_ext.compose(a, b)", "gb * ga", "rb * ra", "scipy: prebuilt Rotations"),
    ("inverse", "ostrilo_ext.inverse(a)", "glm.inverse(ga)", "ra.inv()", ""),
    ("slerp, t = 0.3", "ostrilo_ext.slerp(a, b, 0.3)", "glm.slerp(ga, gb, 0.3)", "s_slerp(0.3)", "scipy: prebuilt Slerp"),
    ("from_matrix (lists)", "ostrilo_ext.from_matrix(m_list)", "glm.quat_cast(g_m)", "Rotation.from_matrix(m_list)",
     "PyGLM: prebuilt dmat3"),
    ("from_matrix (array)", "ostrilo_ext.from_matrix(m_array)", "glm.quat_cast(g_m)", "Rotation.from_matrix(m_array)", ""),
    ("angle_between", "ostrilo_ext.angle_between(v, w)", "glm.acos(glm.dot(g_nv, g_nw))", None,
     "PyGLM: acos of the dot of normalised vectors"),
    ("axis_angle", "ostrilo_ext.axis_angle(a)", "(glm.axis(ga), glm.angle(ga))", "ra.as_rotvec()", ""),
    ("from_euler 'XYZ'", "ostrilo_ext.from_euler('XYZ', (0.1, 0.2, 0.3))", None,
     "Rotation.from_euler('XYZ', (0.1, 0.2, 0.3))", ""),
    ("to_euler 'XYZ'", "ostrilo_ext.to_euler(a, 'XYZ')", None, "ra.as_euler('XYZ')", ""),
    ("from_two_vectors", "ostrilo_ext.from_two_vectors(v, w)", "glm.dquat(g_nv, g_nw)", None,
     "PyGLM: normalised vectors"),
    ("to_xyzw", "ostrilo_ext.to_xyzw(a)", None, "ra.as_quat()", ""),
]


def per_call_ns(stmts, repeat: int, seconds: float) -> list:
    """Median time per call of each statement; the statements take turns within every repeat."""
    timers = [timeit.Timer(stmt, globals=globals()) for stmt in stmts]
    numbers = [max(1, int(t.autorange()[0] * seconds / 0.2)) for t in timers]
    runs = [[] for _ in stmts]
    for _ in range(repeat):
        for timer, number, times in zip(timers, numbers, runs):
            times.append(timer.timeit(number) / number * 1e9)
    return [statistics.median(times) for times in runs]


def per_call_table(repeat: int, seconds: float) -> None:
    header = f"{'operation':<22} {'ours ns':>8} {'PyGLM ns':>9} {'/PyGLM':>7} {'scipy ns':>9} {'/scipy':>7}  note"
    print(header)
    print("-" * len(header))
    for name, ours, pyglm, sp, note in ROWS:
        stmts = [ours] + [x for x in (pyglm, sp) if x]
        times = iter(per_call_ns(stmts, repeat, seconds))
        t_ours = next(times)
        cells = [f"{name:<22}", f"{t_ours:8.0f}"]
        for other in (pyglm, sp):
            if other:
                t = next(times)
                cells += [f"{t:9.0f}", f"{t_ours / t:7.3f}"]
            else:
                cells += [f"{'-':>9}", f"{'-':>7}"]
        print(" ".join(cells) + (f"  {note}" if note else ""))


def batch_table(n: int, repeat: int) -> None:
    rng = np.random.default_rng(5)
    points = rng.normal(size=(n, 3))
    quats = rng.normal(size=(n, 4))
    quats /= np.linalg.norm(quats, axis=1)[:, None]
    stored = quats  # (w, i, j, k) rows, as Quat takes them
    scipy_rot = Rotation.from_quat(np.column_stack([-stored[:, 1], -stored[:, 2], -stored[:, 3], stored[:, 0]]))
    vl = VecList(points)
    quat_list = [Quat(*row) for row in stored[:1000]]
    vl_small = VecList(points[:1000])
    got = np.asarray(ostrilo_ext.rotate_each(vl, stored))
    assert np.allclose(got, scipy_rot.apply(points), atol=1e-12)
    cases = [
        (f"rotate_each, {n:,} (array)", lambda: ostrilo_ext.rotate_each(vl, stored)),
        (f"Rotation.apply, {n:,}", lambda: scipy_rot.apply(points)),
        ("rotate_each, 1,000 (Quat list)", lambda: ostrilo_ext.rotate_each(vl_small, quat_list)),
    ]
    runs = {name: [] for name, _ in cases}
    for _ in range(repeat):
        for name, fn in cases:
            t0 = time.perf_counter()
            fn()
            runs[name].append((time.perf_counter() - t0) * 1e3)
    med = {name: statistics.median(t) for name, t in runs.items()}
    ours, theirs = med[cases[0][0]], med[cases[1][0]]
    print(f"{'batch':<32} {'median ms':>10}")
    print("-" * 43)
    for name, _ in cases:
        print(f"{name:<32} {med[name]:10.2f}")
    threads = os.environ.get("RAYON_NUM_THREADS", "all cores")
    print(f"rotate_each / Rotation.apply: {ours / theirs:.3f}  (worker threads: {threads})")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=7)
    p.add_argument("--time", type=float, default=0.05, help="seconds per timing run")
    p.add_argument("--n", type=int, default=1_000_000)
    args = p.parse_args()
    print(f"Python {platform.python_version()}, {glm.version}, scipy {scipy.__version__}, numpy {np.__version__}, "
          f"{os.cpu_count()} CPUs")
    print(f"ostrilo_py from {ostrilo_py.__file__}\n")
    per_call_table(args.repeat, args.time)
    print()
    batch_table(args.n, args.repeat)


if __name__ == "__main__":
    main()
