"""QuatList side by side with scipy's Rotation (and Slerp) on the same 10^6 rotations.

    python benchmarks/bench_rotations.py [--n N] [--repeat N]

Each cell is the median over the repeats of one call on the whole list (milliseconds); within a
row the two contenders take turns run by run. The ratio is our time divided by scipy's (below
1.0 means faster). The run prints how many cores the process may use and the load, since the
list operations run on the worker pool: the CPU columns (the process's CPU time, every thread
counted) tell how much of a wall-clock lead comes from the pool's threads, and on a loaded
machine, where the pool's threads wait for a core, the CPU ratio is the one to go by.
"""
import argparse
import os
import platform
import statistics
import time
import warnings

import numpy as np
import ostrilo_ext
import scipy
from ostrilo_ext import QuatList
from ostrilo_py import VecList
from scipy.spatial.transform import Rotation, Slerp

warnings.simplefilter("ignore")


def setup(n: int) -> dict:
    ql = QuatList.random(n, 1)
    other = QuatList.random(n, 2)
    rng = np.random.default_rng(0)
    g = {
        "ql": ql, "other": other, "r": Rotation.from_quat(ql.to_xyzw()), "r2": Rotation.from_quat(other.to_xyzw()),
        "euler": ql.to_euler("xyz"), "matrices": ql.to_matrix(), "rotvecs": ql.to_rotvec(),
        "points": rng.normal(size=(n, 3)), "weights": rng.uniform(0, 1, n), "QuatList": QuatList,
        "Rotation": Rotation, "ostrilo_ext": ostrilo_ext,
    }
    keys = QuatList.random(1000, 5)
    key_times = np.arange(1000.0)
    g["slerp"] = ostrilo_ext.Slerp(key_times, keys)
    g["scipy_slerp"] = Slerp(key_times, Rotation.from_quat(keys.to_xyzw()))
    g["at"] = np.linspace(0.0, 999.0, n)
    g["vl"] = VecList(g["points"])
    g["turned"] = np.asarray(ql[:1].apply(g["vl"]))
    return g


# (operation, ours, scipy's)
ROWS = [
    ("from_euler 'xyz'", "QuatList.from_euler('xyz', euler)", "Rotation.from_euler('xyz', euler)"),
    ("to_euler 'xyz'", "ql.to_euler('xyz')", "r.as_euler('xyz')"),
    ("from_matrix", "QuatList.from_matrix(matrices)", "Rotation.from_matrix(matrices)"),
    ("to_matrix", "ql.to_matrix()", "r.as_matrix()"),
    ("from_rotvec", "QuatList.from_rotvec(rotvecs)", "Rotation.from_rotvec(rotvecs)"),
    ("to_rotvec", "ql.to_rotvec()", "r.as_rotvec()"),
    ("compose", "QuatList.compose(ql, other)", "r2 * r"),
    ("apply", "ql.apply(vl)", "r.apply(points)"),
    ("magnitude", "ql.magnitude()", "r.magnitude()"),
    ("inverse", "ql.inverse()", "r.inv()"),
    ("random", "QuatList.random(len(ql), 3)", "Rotation.random(len(ql), rng=3)"),
    ("mean", "ql.mean()", "r.mean()"),
    ("align_vectors", "ostrilo_ext.align_vectors(turned, points)", "Rotation.align_vectors(turned, points)"),
    ("Slerp, 1000 keys", "slerp(at)", "scipy_slerp(at)"),
]


def median_ms(stmts, g, repeat):
    """(wall, CPU) medians in milliseconds of each statement."""
    codes = [compile(s, "<bench>", "eval") for s in stmts]
    runs = [([], []) for _ in stmts]
    for _ in range(repeat):
        for code, (wall, cpu) in zip(codes, runs):
            t0, c0 = time.perf_counter(), time.process_time()
            eval(code, g)
            wall.append((time.perf_counter() - t0) * 1e3)
            cpu.append((time.process_time() - c0) * 1e3)
    return [(statistics.median(w), statistics.median(c)) for w, c in runs]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"{platform.python_implementation()} {platform.python_version()}, scipy {scipy.__version__}, "
          f"{cores} cores usable, load {os.getloadavg()[0]:.1f}, n = {args.n}, median of {args.repeat}, "
          f"OSTRILO_SIMD={os.environ.get('OSTRILO_SIMD', '(widest)')}")
    g = setup(args.n)
    print(f"{'operation':<18} {'QuatList ms':>12} {'scipy ms':>10} {'ratio':>7} {'CPU ms':>9} {'scipy CPU':>10} "
          f"{'CPU ratio':>10}")
    for name, ours, theirs in ROWS:
        (a, ac), (b, bc) = median_ms([ours, theirs], g, args.repeat)
        cpu_ratio = ac / bc if bc > 0 else float("nan")
        print(f"{name:<18} {a:12.1f} {b:10.1f} {a / b:7.2f} {ac:9.1f} {bc:10.1f} {cpu_ratio:10.2f}")


if __name__ == "__main__":
    main()
