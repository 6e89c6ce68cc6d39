"""VecList batch operations side by side with numpy (and scipy for rotation), over list sizes.

    python benchmarks/bench_batch.py [--sizes 3,5,6,7] [--time SECONDS]
    python benchmarks/bench_batch.py --against OTHER.so [--sizes 5,6]   (two builds, before/after)

Each cell is the median time over repeated runs in which the two contenders take turns (in the
other order every other turn), so that load from other processes hits both alike. numpy works on
an (n, 3) float64 array holding the same vectors; ratio is our time over numpy's (below 1.0: we
are faster); target is the ratio we aim for at n = 10^6. Results that are Python lists include
building the list (both sides).

The first lines name the processor, the loop build that runs (AVX-512, AVX2 or baseline: the
widest the processor has, capped by OSTRILO_SIMD, as the module chooses it) and the size of the
worker pool; the column `threads` counts the threads that ran our side of a row: the calling
thread and every pool thread that used at least 2% as much processor time meanwhile (a worker
that watched for work without getting any counts too). One job uses at most as many threads as
the pool has, the caller among them; whether workers join is decided at run time.

With --against, the installed module is compared with another build of it (say, the .so of an
earlier commit), loaded beside it in the same process: each cell is then the median time, the two
builds taking turns run by run.
"""
import argparse
import importlib.machinery
import importlib.util
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np
import ostrilo_py
from ostrilo_py import AngleRadians, Quat, Vec3d, VecList

try:
    from scipy.spatial.transform import Rotation
except ImportError:  # pragma: no cover - optional comparison
    Rotation = None

V = (0.5, -1.25, 2.0)
_q = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0) / 3.0, AngleRadians(0.7))
Q = (_q.w, _q.i, _q.j, _q.k)


def scipy_rotation():
    # Quat.rotate computes conj(q) * v * q, which is the usual q * v * conj(q) of the conjugate.
    w, i, j, k = Q
    return Rotation.from_quat([-i, -j, -k, w])


def nearest_numpy(a, v):
    d2 = ((a - v) ** 2).sum(1)
    i = d2.argmin()
    return int(i), math.sqrt(d2[i])


# label, ours, numpy, target ratio at 10^6
ROWS = [
    ("vl + v", lambda c: c.vl + c.v, lambda c: c.a + c.va, 0.8),
    ("vl * s", lambda c: c.vl * 1.5, lambda c: c.a * 1.5, 0.8),
    ("vl / s", lambda c: c.vl / 3.0, lambda c: c.a / 3.0, 0.8),
    ("vl / 2 (a power of two)", lambda c: c.vl / 2.0, lambda c: c.a / 2.0, 0.8),
    ("normalize", lambda c: c.vl.normalize(), lambda c: c.a / np.linalg.norm(c.a, axis=1, keepdims=True), 0.33),
    ("cross", lambda c: c.vl.cross(c.v), lambda c: np.cross(c.a, c.va), 0.33),
    ("dot -> list", lambda c: c.vl.dot(c.v), lambda c: (c.a @ c.va).tolist(), 0.8),
    ("magnitude -> list", lambda c: c.vl.magnitude(), lambda c: np.linalg.norm(c.a, axis=1).tolist(), 0.8),
    ("rotate (scipy)", lambda c: c.vl.rotate(c.q), lambda c: scipy_rotation().apply(c.a), 0.33),
    ("nearest, stride 1", lambda c: c.vl.minimum_distance_to(c.v, 1), lambda c: nearest_numpy(c.a, c.va), 0.33),
    ("nearest, stride 1000", lambda c: c.vl.minimum_distance_to(c.v, 1000), lambda c: nearest_numpy(c.a, c.va),
     0.02),
]


class Case:
    """A list of n vectors and the same vectors as an (n, 3) array."""

    def __init__(self, n, seed=3, module=ostrilo_py):
        block = min(n, 10**6)
        rows = np.random.default_rng(seed).standard_normal((block, 3))
        base = module.VecList([module.Vec3d(*r) for r in rows.tolist()])
        self.vl = module.VecList.empty()
        for _ in range(n // block):
            self.vl.extend(base)
        self.a = np.tile(rows, (n // block, 1))
        self.v, self.va, self.q = module.Vec3d(*V), np.array(V), module.Quat(*Q)


def median_turns(ours, theirs, budget):
    """Median time of each, running them in turns (in the other order every other turn) until the
    budget is spent (at least 5 turns), and the total time of `ours`."""
    times, spent = ([], []), 0.0
    while len(times[0]) < 5 or (spent < budget and len(times[0]) < 400):
        pair = ((ours, times[0]), (theirs, times[1]))
        for f, t in pair if len(times[0]) % 2 == 0 else reversed(pair):
            start = time.perf_counter()
            r = f()
            t.append(time.perf_counter() - start)
            del r
            spent += t[-1]
    return statistics.median(times[0]), statistics.median(times[1]), sum(times[0])


def processor():
    """The processor's model name, as the kernel reports it."""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def loop_build():
    """The loop build the module runs, by its own rule: the widest of AVX-512 (F, DQ, VL), AVX2
    and the baseline that the processor has, capped by OSTRILO_SIMD."""
    if platform.machine() not in ("x86_64", "AMD64"):
        return "one build (not x86-64)"
    flags = set()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    except OSError:
        return "unknown"
    order = ["baseline", "avx2", "avx512"]
    best = "avx512" if {"avx2", "avx512f", "avx512dq", "avx512vl"} <= flags else "avx2" if "avx2" in flags else "baseline"
    cap = os.environ.get("OSTRILO_SIMD", "")
    chosen = min(best, cap, key=order.index) if cap in order else best
    names = {"avx512": "AVX-512", "avx2": "AVX2", "baseline": "baseline (SSE2)"}
    return names[chosen] + ("" if chosen == best else f" (OSTRILO_SIMD={cap}; the processor has {names[best]})")


def _tasks():
    return set(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else set()


class PoolThreads:
    """The worker pool's threads (those that appear when it starts) and the processor time each has
    used, to tell which of them ran."""

    def __init__(self):
        before = _tasks()
        VecList([])  # starts the pool
        self.tids = sorted(_tasks() - before)

    def cpu(self):
        out = []
        for tid in self.tids:
            try:
                with open(f"/proc/self/task/{tid}/schedstat") as f:
                    out.append(int(f.read().split()[0]))
            except (OSError, ValueError, IndexError):
                out.append(0)
        return out

    def ran(self, before, after, ours_seconds):
        """1 (the caller) plus the pool threads that used at least 2% of our side's time."""
        return 1 + sum((b - a) / 1e9 >= 0.02 * ours_seconds for a, b in zip(before, after))


def fmt(seconds):
    return f"{seconds * 1e3:.3f}" if seconds < 1 else f"{seconds * 1e3:.0f}"


def check_same_results(c):
    assert np.array_equal(np.array((c.vl + c.v).to_array()), c.a + c.va)
    assert np.array_equal(np.array((c.vl * 1.5).to_array()), c.a * 1.5)
    index, d = c.vl.minimum_distance_to(c.v, 1)
    assert (index, d) == nearest_numpy(c.a, c.va)
    if Rotation is not None:
        probe = VecList([Vec3d(*r) for r in c.a[:100].tolist()])
        probe.rotate(c.q)
        assert np.allclose(np.array(probe.to_array()), scipy_rotation().apply(c.a[:100]), rtol=0, atol=1e-12)


def peak_rss_of_normalize(n):
    """Peak resident memory of vl.normalize() above what the input list holds, in a fresh process.
    Run it while this process is still small: a child's ru_maxrss starts from its parent's peak."""
    code = f"""
import resource
import statistics
from ostrilo_py import VecList, Vec3d
vl = VecList([Vec3d(1.0, 2.0, 3.0)] * {n})  # exact size; the temporary Python list is gone again
rss = int(open('/proc/self/statm').read().split()[1]) * resource.getpagesize()
out = vl.normalize()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(peak - rss)
"""
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(r.stdout)


def load_build(path):
    """Another build of the module from its shared library, loaded beside the installed one."""
    loader = importlib.machinery.ExtensionFileLoader("ostrilo_py", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("ostrilo_py", path, loader=loader))
    loader.exec_module(module)
    return module


def median_pair(ours, theirs, budget):
    """Median time of each, running them in turns until the budget is spent (at least 5 turns)."""
    times, spent = ([], []), 0.0
    while len(times[0]) < 5 or (spent < budget and len(times[0]) < 200):
        for f, t in zip((ours, theirs), times):
            start = time.perf_counter()
            r = f()
            t.append(time.perf_counter() - start)
            del r
            spent += t[-1]
    return statistics.median(times[0]), statistics.median(times[1])


def compare_builds(path, sizes, budget):
    other = load_build(path)
    print(f"ostrilo_py from {ostrilo_py.__file__} (after) against {path} (before); Python "
          f"{platform.python_version()}, {os.cpu_count()} processors, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    print(f"Processor: {processor()}; loop build: {loop_build()}")
    print("median time in µs, the builds taking turns; ratio = after / before\n")
    for n in sizes:
        after, before = Case(n), Case(n, module=other)
        print(f"n = 10^{round(math.log10(n))}\n")
        print("| operation | after | before | ratio |")
        print("|---|---:|---:|---:|")
        for label, ours, _, _ in ROWS:
            t_after, t_before = median_pair(lambda: ours(after), lambda: ours(before), budget)
            print(f"| `{label.replace(' (scipy)', '')}` | {t_after * 1e6:.1f} | {t_before * 1e6:.1f} | {t_after / t_before:.2f} |")
        print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="3,5,6,7", help="exponents of 10")
    parser.add_argument("--time", type=float, default=0.4, help="seconds per cell, at least three turns")
    parser.add_argument("--against", metavar="SO", help="another build's shared library: before/after tables")
    args = parser.parse_args()
    sizes = [10 ** int(e) for e in args.sizes.split(",")]
    if args.against:
        compare_builds(args.against, sizes, args.time)
        return
    extra = peak_rss_of_normalize(10**7)
    pool = PoolThreads()

    print(f"ostrilo_py batch operations vs numpy {np.__version__}; Python {platform.python_version()}, "
          f"{os.cpu_count()} processors, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    print(f"Processor: {processor()}; loop build: {loop_build()}; worker pool: {len(pool.tids)} threads")
    print("median time in ms, the two sides taking turns; ratio = ours / numpy; threads = threads that ran ours\n")
    per_element = {}
    cases = {}
    for n in sizes:
        c = Case(n)
        if n <= 10**5:
            check_same_results(c)
        print(f"n = 10^{round(math.log10(n))}\n")
        print("| operation | ostrilo_py | numpy | ratio | threads | target at 10^6 |")
        print("|---|---:|---:|---:|---:|---:|")
        for label, ours, theirs, target in ROWS:
            if Rotation is None and "scipy" in label:
                continue
            cpu = pool.cpu()
            t_ours, t_theirs, total = median_turns(lambda: ours(c), lambda: theirs(c), args.time)
            threads = pool.ran(cpu, pool.cpu(), total)
            per_element[(label, n)] = t_ours / n
            met = "" if n != 10**6 else (" (met)" if t_ours / t_theirs <= target else " (missed)")
            print(f"| `{label}` | {fmt(t_ours)} | {fmt(t_theirs)} | {t_ours / t_theirs:.2f} | {threads} | "
                  f"{target}{met} |")
        print()
        if n == 10**7:
            cases[n] = c
        else:
            del c

    if 10**7 in cases:
        c = cases.pop(10**7)
        out = np.empty_like(c.a)
        t_add, t_copy, _ = median_turns(lambda: c.vl + c.v, lambda: np.copyto(out, c.a), args.time)
        _, t_fresh, _ = median_turns(lambda: None, lambda: np.copyto(np.empty_like(c.a), c.a), args.time)
        moved = 2 * c.a.nbytes
        print("Memory bandwidth at n = 10^7 (bytes read + written per second)\n")
        print("| operation | GB/s | share of np.copyto |")
        print("|---|---:|---:|")
        print(f"| `np.copyto(out, a)` (output already mapped) | {moved / t_copy / 1e9:.1f} | 100% |")
        print(f"| `np.copyto(np.empty_like(a), a)` (fresh output) | {moved / t_fresh / 1e9:.1f} | "
              f"{t_copy / t_fresh:.0%} |")
        print(f"| `vl + v` (fresh output) | {moved / t_add / 1e9:.1f} | {t_copy / t_add:.0%} (target 60%) |\n")
        del c, out

    if 10**5 in sizes and 10**7 in sizes:
        print("Time per element at 10^7 over time per element at 10^5 (target: within 1.5)\n")
        print("| operation | ns/element at 10^5 | at 10^7 | ratio |")
        print("|---|---:|---:|---:|")
        for label, *_ in ROWS:
            if (label, 10**7) in per_element and "stride 1000" not in label:
                a, b = per_element[(label, 10**5)], per_element[(label, 10**7)]
                print(f"| `{label}` | {a * 1e9:.2f} | {b * 1e9:.2f} | {b / a:.2f} |")
        print()

    small = VecList([Vec3d(i, 1.0, 2.0) for i in range(10)])
    v, w = Vec3d(*V), Vec3d(3.0, 4.0, 5.0)
    env = {"vl": small, "v": v, "w": w}
    calls = ["v.dot(w)", "vl + v", "vl * 2.0", "vl.normalize()", "vl.minimum_distance_to(v, 1)", "vl.dot(v)",
             "vl.is_unit()", "[1.0] * 10"]
    times = {s: min(timeit.repeat(s, globals=env, number=100_000, repeat=7)) / 100_000 for s in calls}
    print("Fixed cost: batch operations on a 10-element list against one Vec3d.dot call (target: within 3x)\n")
    print("| call | ns | over `v.dot(w)` |")
    print("|---|---:|---:|")
    for s in calls:
        print(f"| `{s}` | {times[s] * 1e9:.0f} | {times[s] / times['v.dot(w)']:.1f}x |")
    print()

    print(f"Peak memory of vl.normalize() at n = 10^7 above its input: {extra / 2**20:.0f} MiB = "
          f"{extra / (24 * 10**7):.2f} x 24 bytes x n (target: at most ~1.2)")


if __name__ == "__main__":
    main()
