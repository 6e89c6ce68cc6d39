"""Quaternions and angles side by side with PyGLM and scipy, one call at a time.

    python benchmarks/bench_quat.py [--repeat N] [--time SECONDS]

Each cell is the median over N runs of the time per call, in nanoseconds; within a row the
contenders take turns run by run. "vs PyGLM" is our time
divided by PyGLM's (below 1.0 means faster); "vs scipy" is how many times faster we are.
PyGLM runs in double precision throughout (dquat, dvec3, dmat3).
"""
import argparse
import platform
import statistics
import timeit

import glm
import numpy as np
import ostrilo_py
import scipy
from ostrilo_py import AngleRadians, Quat, Vec3d
from scipy.spatial.transform import Rotation

AXIS = (0.2672612419124244, 0.5345224838248488, 0.8017837257372732)
ANGLE = 0.7

q = Quat.from_axis_angle(Vec3d(*AXIS), AngleRadians(ANGLE))
axis, angle, v, w = Vec3d(*AXIS), AngleRadians(ANGLE), Vec3d(1.0, 2.0, 3.0), Vec3d(-2.0, 0.5, 4.0)
a, b = AngleRadians(0.25), AngleRadians(1.5)

g_axis, g_v, g_w = glm.dvec3(*AXIS), glm.dvec3(1.0, 2.0, 3.0), glm.dvec3(-2.0, 0.5, 4.0)
g_q = glm.angleAxis(ANGLE, g_axis)
assert type(g_q) is glm.dquat and type(g_q * g_v) is glm.dvec3 and type(glm.mat3_cast(g_q)) is glm.dmat3
assert type(glm.normalize(g_q)) is glm.dquat

# scipy orders the scalar part last and applies q (0, v) q*, while Quat.rotate applies
# q* (0, v) q: the conjugate gives scipy the same rotation.
s_quat = [-q.i, -q.j, -q.k, q.w]
s_rot, s_v = Rotation.from_quat(s_quat), [1.0, 2.0, 3.0]
assert max(abs(x - y) for x, y in zip(s_rot.apply(s_v), q.rotate(v).to_array())) < 1e-12

# (operation, ours, PyGLM or None, scipy or None, note)
ROWS = [
    ("rotate a vector", "q.rotate(v)", "g_q * g_v", "s_rot.apply(s_v)", "scipy: prebuilt Rotation"),
    ("build + rotate one vector", "Quat(q.w, q.i, q.j, q.k).rotate(v)", "glm.dquat(g_q.w, g_q.x, g_q.y, g_q.z) * g_v",
     "Rotation.from_quat(s_quat).apply(s_v)", ""),
    ("from axis and angle", "Quat.from_axis_angle(axis, angle)", "glm.angleAxis(0.7, g_axis)", None, ""),
    ("rotation matrix", "q.to_rotation_matrix()", "glm.mat3_cast(g_q)", "s_rot.as_matrix()",
     "ours: list of lists; PyGLM: dmat3; scipy: ndarray"),
    ("rotation matrix as lists", "q.to_rotation_matrix()", "glm.mat3_cast(g_q).to_list()", "s_rot.as_matrix().tolist()",
     "the same result type everywhere"),
    ("normalize", "q.normalize()", "glm.normalize(g_q)", None, ""),
    ("angle between vectors", "v.angle_to(w)", "math.acos(glm.dot(g_v, g_w) / (glm.length(g_v) * glm.length(g_w)))",
     None, "PyGLM has no such op: composed from four calls"),
    ("angle a + b", "a + b", None, None, "no angle type in PyGLM"),
    ("angle a * 2.0", "a * 2.0", None, None, ""),
    ("angle sin", "a.sin()", "glm.sin(0.25)", None, "PyGLM: a plain float argument"),
]


def per_call_ns(stmts, repeat: int, seconds: float) -> list:
    """Median time per call of each statement. The statements take turns within every repeat, so
    that load from other processes falls on all of them alike."""
    timers = [timeit.Timer(stmt, globals=globals()) for stmt in stmts]
    numbers = [max(1, int(t.autorange()[0] * seconds / 0.2)) for t in timers]  # autorange: ~0.2 s
    runs = [[] for _ in stmts]
    for _ in range(repeat):
        for timer, number, times in zip(timers, numbers, runs):
            times.append(timer.timeit(number) / number * 1e9)
    return [statistics.median(times) for times in runs]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--time", type=float, default=0.05, help="seconds per timing run")
    args = parser.parse_args()

    print(f"Python {platform.python_version()}, {glm.version}, scipy {scipy.__version__}, numpy {np.__version__}")
    print(f"ostrilo_py from {ostrilo_py.__file__}\n")
    header = f"{'operation':<26} {'ours ns':>8} {'PyGLM ns':>9} {'vs PyGLM':>9} {'scipy ns':>9} {'vs scipy':>9}  note"
    print(header)
    print("-" * len(header))
    for name, ours, pyglm, sp, note in ROWS:
        stmts = [ours] + [x for x in (pyglm, sp) if x]
        times = iter(per_call_ns(stmts, args.repeat, args.time))
        t_ours = next(times)
        cells = [f"{name:<26}", f"{t_ours:8.0f}"]
        if pyglm:
            t_glm = next(times)
            cells += [f"{t_glm:9.0f}", f"{t_ours / t_glm:8.2f}x"]
        else:
            cells += [f"{'-':>9}", f"{'-':>9}"]
        if sp:
            t_sp = next(times)
            cells += [f"{t_sp:9.0f}", f"{t_sp / t_ours:8.0f}x"]
        else:
            cells += [f"{'-':>9}", f"{'-':>9}"]
        print(" ".join(cells) + (f"  {note}" if note else ""))

if __name__ == "__main__":
    main()
