"""VecList as a container side by side with numpy: building, reading out, iterating, indexing,
text form, and what the worker pool costs to start.

    python benchmarks/bench_vec_list.py [--time SECONDS]

Each cell is the best time over repeated runs in which the two contenders take turns. numpy holds
the same vectors as an (n, 3) float64 array; ratio is our time over numpy's (below 1.0: faster).
"""
import argparse
import math
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np
from ostrilo_py import Vec3d, VecList


def best_pair(ours, theirs, budget):
    """Best time of each, running them in turns until the budget is spent (at least 3 turns)."""
    best, spent, turns = [math.inf, math.inf], 0.0, 0
    while turns < 3 or (spent < budget and turns < 200):
        for k, f in enumerate((ours, theirs)):
            t = time.perf_counter()
            r = f()
            t = time.perf_counter() - t
            del r
            best[k] = min(best[k], t)
            spent += t
        turns += 1
    return best


def rows(vs, vl, a):
    def iterate_ours():
        for v in vl:
            pass

    def iterate_numpy():
        for r in a:
            pass

    def index_ours():
        for i in range(len(vl)):
            vl[i]

    def index_numpy():
        for i in range(len(a)):
            a[i]

    return [
        ("VecList(vs) / np.array([(v.x, v.y, v.z) for v in vs])", lambda: VecList(vs),
         lambda: np.array([(v.x, v.y, v.z) for v in vs])),
        ("vl.to_array() / a.tolist()", vl.to_array, a.tolist),
        ("for v in vl / for r in a", iterate_ours, iterate_numpy),
        ("vl[i] for every i / a[i] for every i", index_ours, index_numpy),
        ("vl.list / list(a)", lambda: vl.list, lambda: list(a)),
    ]


POOL_START = """
import time
from ostrilo_py import VecList
t0 = time.perf_counter(); {first}; t1 = time.perf_counter(); VecList([]); t2 = time.perf_counter()
print(t1 - t0, t2 - t1)
"""


def pool_start_cost(runs=9):
    """First call that starts the pool against VecList.empty(), each in a fresh interpreter; also the
    whole run of such an interpreter."""
    out = {}
    for first in ("VecList([])", "VecList.empty()"):
        inside, whole = [], []
        for _ in range(runs):
            t = time.perf_counter()
            r = subprocess.run([sys.executable, "-c", POOL_START.format(first=first)], capture_output=True,
                               text=True, check=True)
            whole.append(time.perf_counter() - t)
            inside.append(float(r.stdout.split()[0]))
        out[first] = (statistics.median(inside), statistics.median(whole))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--time", type=float, default=0.5, help="seconds per cell, at least three turns")
    args = parser.parse_args()
    print(f"ostrilo_py VecList container vs numpy {np.__version__}; Python {platform.python_version()}, "
          f"{os.cpu_count()} processors\nbest time in ms; ratio = ours / numpy\n")
    rng = np.random.default_rng(7)
    for n in (10**3, 10**5, 10**6):
        a = rng.standard_normal((n, 3))
        vs = [Vec3d(*r) for r in a.tolist()]
        vl = VecList(vs)
        print(f"n = 10^{round(math.log10(n))}\n")
        print("| operation (ours / numpy) | ostrilo_py | numpy | ratio |")
        print("|---|---:|---:|---:|")
        for label, ours, theirs in rows(vs, vl, a):
            t_ours, t_np = best_pair(ours, theirs, args.time)
            print(f"| `{label}` | {t_ours * 1e3:.3f} | {t_np * 1e3:.3f} | {t_ours / t_np:.2f} |")
        if n == 10**5:
            joined = lambda: "[" + "\n".join(map(repr, vs)) + "]"
            assert repr(vl) == joined()
            t_ours, t_py = best_pair(lambda: repr(vl), joined, args.time)
            print(f"| `repr(vl)` / the same text from repr() of each Vec3d | {t_ours * 1e3:.3f} | "
                  f"{t_py * 1e3:.3f} | {t_ours / t_py:.2f} |")
            # Large magnitudes take the scientific shortest digits written out with zeros.
            big_vs = [Vec3d(*r) for r in (a * 1e200).tolist()]
            big = VecList(big_vs)
            big_joined = lambda: "[" + "\n".join(map(repr, big_vs)) + "]"
            t_ours, t_py = best_pair(lambda: repr(big), big_joined, args.time)
            print(f"| `repr(vl)` of values near 1e200 / the same from each Vec3d | {t_ours * 1e3:.3f} | "
                  f"{t_py * 1e3:.3f} | {t_ours / t_py:.2f} |")
        print()

    cost = pool_start_cost()
    print("Starting the pool (median of fresh interpreters)\n")
    print("| first call | its time, ms | whole interpreter run, ms |")
    print("|---|---:|---:|")
    for first, (inside, whole) in cost.items():
        print(f"| `{first}` | {inside * 1e3:.3f} | {whole * 1e3:.1f} |")


if __name__ == "__main__":
    main()
