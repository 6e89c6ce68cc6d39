"""Per-call cost of Vec3d operations, side by side with CPython's complex, PyGLM's dvec3 and a plain
dataclass.

Run: python benchmarks/bench_vec3d.py  (needs `pip install pyglm`; columns show n/a without it)
"""
from __future__ import annotations

import math
import statistics
import sys
import timeit
from dataclasses import dataclass

import ostrilo_py as o

try:
    import glm
except ImportError:  # pragma: no cover - optional comparison
    glm = None


@dataclass(slots=True)
class PyVec:
    x: float
    y: float
    z: float

    def __add__(self, other: PyVec) -> PyVec:
        return PyVec(self.x + other.x, self.y + other.y, self.z + other.z)

    def __mul__(self, s: float) -> PyVec:
        return PyVec(s * self.x, s * self.y, s * self.z)

    __rmul__ = __mul__

    def __getitem__(self, i: int) -> float:
        return (self.x, self.y, self.z)[i]

    def __hash__(self) -> int:
        return hash((self.x, self.y, self.z))

    def dot(self, other: PyVec) -> float:
        return (self.x * other.x + self.y * other.y) + self.z * other.z

    def cross(self, b: PyVec) -> PyVec:
        return PyVec(self.y * b.z - self.z * b.y, self.z * b.x - self.x * b.z, self.x * b.y - self.y * b.x)

    def normalize(self) -> PyVec:
        m = math.sqrt((self.x * self.x + self.y * self.y) + self.z * self.z)
        return PyVec(self.x / m, self.y / m, self.z / m)


def make_timer(stmt, env):
    """A timeit.Timer for stmt, or None when there is no such statement or it does not run here."""
    if stmt is None:
        return None
    timer = timeit.Timer(stmt, globals=env)
    try:
        timer.timeit(1)
    except (TypeError, AttributeError):
        return None
    return timer


def interleaved_medians(stmts, env, number, repeat):
    """Median ns per call of each statement (None where it has none). Within every repeat the
    statements take turns, so that load from other processes falls on all of them alike."""
    timers = [make_timer(stmt, env) for stmt in stmts]
    runs = [[] for _ in stmts]
    for _ in range(repeat):
        for timer, times in zip(timers, runs):
            if timer is not None:
                times.append(timer.timeit(number) / number * 1e9)
    return [statistics.median(times) if times else None for times in runs]


# label, ours, CPython's complex (the same-shaped operation of a builtin C value type), PyGLM,
# plain python, and the target for the ratio to complex (allocating operations: 0.8; reading a
# component and comparing: 1.0).
OPS = [
    ("Vec3d(1, 2, 3)", "V(1.0, 2.0, 3.0)", "C(1.0, 2.0)", "G(1.0, 2.0, 3.0)", "P(1.0, 2.0, 3.0)", 0.8),
    ("v + w", "v + w", "c + d", "gv + gw", "pv + pw", 0.8),
    ("v - w", "v - w", "c - d", "gv - gw", "pv - pw", 0.8),
    ("v * 2.0", "v * 2.0", "c * 2.0", "gv * 2.0", "pv * 2.0", 0.8),
    ("2.0 * v", "2.0 * v", "2.0 * c", "2.0 * gv", "2.0 * pv", 0.8),
    ("-v", "-v", "-c", "-gv", "-pv", 0.8),
    ("v.dot(w)", "v.dot(w)", None, "dot(gv, gw)", "pv.dot(pw)", None),
    ("v.dot(other=w)", "v.dot(other=w)", None, None, "pv.dot(other=pw)", None),
    ("v.cross(w)", "v.cross(w)", None, "cross(gv, gw)", "pv.cross(pw)", None),
    ("v.normalize()", "v.normalize()", None, "normalize(gv)", "pv.normalize()", None),
    ("v.x", "v.x", "c.real", "gv.x", "pv.x", 1.0),
    ("v[1]", "v[1]", None, "gv[1]", "pv[1]", None),
    ("repr(v)", "repr(v)", None, "repr(gv)", "repr(pv)", None),
    ("hash(v)", "hash(v)", None, "hash(gv)", "hash(pv)", None),
    ("v == w", "v == w", "c == d", "gv == gw", "pv == pw", 1.0),
]


def ratio(ours, theirs):
    return f"{theirs:.1f} | {ours / theirs:.2f}" if theirs else "n/a | n/a"


def main() -> None:
    quick = "--quick" in sys.argv
    number, repeat = (20_000, 5) if quick else (50_000, 31)
    env: dict = {"V": o.Vec3d, "P": PyVec, "C": complex, "v": o.Vec3d(1.0, 2.0, 3.0), "w": o.Vec3d(4.0, 5.0, 6.0),
                 "c": complex(1.0, 2.0), "d": complex(4.0, 5.0), "pv": PyVec(1.0, 2.0, 3.0),
                 "pw": PyVec(4.0, 5.0, 6.0)}
    if glm is not None:
        env.update(G=glm.dvec3, gv=glm.dvec3(1.0, 2.0, 3.0), gw=glm.dvec3(4.0, 5.0, 6.0), dot=glm.dot,
                   cross=glm.cross, normalize=glm.normalize)
    print(f"Python {sys.version.split()[0]}, {number} calls x {repeat} repeats, median ns per call; the "
          "contenders of a row take turns within every repeat\n")
    print("| operation | ostrilo_py | complex | ratio vs complex | target | PyGLM dvec3 | ratio vs PyGLM | dataclass "
          "| ratio vs dataclass |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for label, ours, cplx, theirs, plain, target in OPS:
        t_ours, t_cplx, t_glm, t_py = interleaved_medians(
            [ours, cplx, theirs if glm is not None else None, plain], env, number, repeat)
        met = "" if target is None or not t_cplx else (" (met)" if t_ours / t_cplx <= target else " (missed)")
        print(f"| `{label}` | {t_ours:.1f} | {ratio(t_ours, t_cplx)} | {target or ''}{met} | {ratio(t_ours, t_glm)} | "
              f"{ratio(t_ours, t_py)} |")


if __name__ == "__main__":
    main()
