"""Per-call cost of Vec3d operations, side by side with PyGLM's dvec3 and a plain dataclass.

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


def median_ns(stmt: str, env: dict, number: int, repeat: int) -> float:
    times = timeit.repeat(stmt, globals=env, number=number, repeat=repeat)
    return statistics.median(times) / number * 1e9


OPS = [
    # label, ours, glm, plain python
    ("Vec3d(1, 2, 3)", "V(1.0, 2.0, 3.0)", "G(1.0, 2.0, 3.0)", "P(1.0, 2.0, 3.0)"),
    ("v + w", "v + w", "gv + gw", "pv + pw"),
    ("v * 2.0", "v * 2.0", "gv * 2.0", "pv * 2.0"),
    ("2.0 * v", "2.0 * v", "2.0 * gv", "2.0 * pv"),
    ("v.dot(w)", "v.dot(w)", "dot(gv, gw)", "pv.dot(pw)"),
    ("v.dot(other=w)", "v.dot(other=w)", None, "pv.dot(other=pw)"),
    ("v.cross(w)", "v.cross(w)", "cross(gv, gw)", "pv.cross(pw)"),
    ("v.normalize()", "v.normalize()", "normalize(gv)", "pv.normalize()"),
    ("v.x", "v.x", "gv.x", "pv.x"),
    ("v[1]", "v[1]", "gv[1]", "pv[1]"),
    ("repr(v)", "repr(v)", "repr(gv)", "repr(pv)"),
    ("hash(v)", "hash(v)", "hash(gv)", "hash(pv)"),
    ("v == w", "v == w", "gv == gw", "pv == pw"),
]


def main() -> None:
    quick = "--quick" in sys.argv
    number, repeat = (20_000, 5) if quick else (200_000, 9)
    env: dict = {"V": o.Vec3d, "P": PyVec, "v": o.Vec3d(1.0, 2.0, 3.0), "w": o.Vec3d(4.0, 5.0, 6.0),
                 "pv": PyVec(1.0, 2.0, 3.0), "pw": PyVec(4.0, 5.0, 6.0)}
    if glm is not None:
        env.update(G=glm.dvec3, gv=glm.dvec3(1.0, 2.0, 3.0), gw=glm.dvec3(4.0, 5.0, 6.0), dot=glm.dot,
                   cross=glm.cross, normalize=glm.normalize)
    print(f"Python {sys.version.split()[0]}, {number} calls x {repeat} repeats, median ns per call\n")
    print("| operation | ostrilo_py | PyGLM dvec3 | ratio vs PyGLM | dataclass | ratio vs dataclass |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, ours, theirs, plain in OPS:
        t_ours = median_ns(ours, env, number, repeat)
        t_glm = median_ns(theirs, env, number, repeat) if (glm is not None and theirs) else None
        try:
            t_py = median_ns(plain, env, number, repeat)
        except TypeError:
            t_py = None
        glm_cols = f"{t_glm:.1f} | {t_ours / t_glm:.2f}" if t_glm else "n/a | n/a"
        py_cols = f"{t_py:.1f} | {t_ours / t_py:.2f}" if t_py else "n/a | n/a"
        print(f"| `{label}` | {t_ours:.1f} | {glm_cols} | {py_cols} |")


if __name__ == "__main__":
    main()
