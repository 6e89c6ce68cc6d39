"""How per-call work scales from one thread to two on a free-threaded interpreter.

Each measurement starts N threads (1 or 2) released together; every thread makes its own objects
and runs one operation in a loop, so nothing is shared unless the row says so. Rows:

- the allocating operations (constructor, +, unary -, Quat.rotate, angle +), whose cost without
  the global lock is bounded by whatever every thread touches: the class object above all;
- two references that allocate nothing, a Vec3d method returning a float and a pure-Python loop;
- "shared read": every thread calls a method on one shared Vec3d (its borrow flag is written by
  every call, so the threads fight over one cache line: expect < 1), and the same on one shared
  complex number, which has no borrow flag: what the interpreter's own count of references to
  the shared object costs by itself.

The 1- and 2-thread runs alternate round by round (the machine's load drifts alike for both);
the table gives the median throughput of all threads together and its ratio, 2 threads over 1
(2.0 is perfect scaling). The last column is the processor time the 2-thread runs got over
their wall time: below ~1.9 the machine did not really give two cores, and the ratio says less.

Run: python benchmarks/bench_threads.py [--rounds 7] [--calls 300000] [--only NAME]
On an interpreter with the global lock the ratio is ~1 or below, by construction.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time

from ostrilo_py import AngleRadians, Quat, Vec3d


def ctor(n):
    V = Vec3d
    for _ in range(n):
        V(1.0, 2.0, 3.0)


def add(n):
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    for _ in range(n):
        v + w


def neg(n):
    v = Vec3d(1, 2, 3)
    for _ in range(n):
        -v


def rotate(n):
    q, v = Quat(0.5, 0.5, 0.5, 0.5), Vec3d(1, 2, 3)
    for _ in range(n):
        q.rotate(v)


def angle_add(n):
    a, b = AngleRadians(0.25), AngleRadians(1.5)
    for _ in range(n):
        a + b


def dot(n):
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    for _ in range(n):
        v.dot(w)


def python_floats(n):
    x = 0.0
    for _ in range(n):
        x = x * 0.5 + 1.0


SHARED = Vec3d(1, 2, 3)


def shared_read(n):
    v, w = SHARED, Vec3d(4, 5, 6)
    for _ in range(n):
        v.dot(w)


SHARED_COMPLEX = complex(1, 2)


def shared_complex(n):
    c = SHARED_COMPLEX
    for _ in range(n):
        c.conjugate()


ROWS = [
    ("Vec3d(x, y, z)", ctor),
    ("v + w", add),
    ("-v", neg),
    ("Quat.rotate(v)", rotate),
    ("angle + angle", angle_add),
    ("v.dot(w)  [allocates nothing]", dot),
    ("pure-Python float loop", python_floats),
    ("shared read: one v.dot(w)", shared_read),
    ("shared read: one complex", shared_complex),
]


def run(fn, threads, calls):
    """(calls per second of all threads together, processor seconds over wall seconds)."""
    barrier = threading.Barrier(threads + 1)
    starts, ends = [0.0] * threads, [0.0] * threads

    def body(i):
        barrier.wait()
        starts[i] = time.perf_counter()
        fn(calls)
        ends[i] = time.perf_counter()

    ts = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    cpu0 = time.process_time()
    barrier.wait()
    for t in ts:
        t.join()
    cpu = time.process_time() - cpu0
    # From the first thread's start to the last one's end: threads that the machine ran one after
    # the other count as one thread's throughput, not two.
    wall = max(ends) - min(starts)
    return threads * calls / wall, cpu / wall


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--calls", type=int, default=300_000, help="per thread and measurement")
    p.add_argument("--only", default=None, help="run the rows whose name contains this")
    a = p.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"Python {sys.version.split()[0]}, global lock {'on' if gil else 'off'}, {cpus} processors allowed, "
          f"load {os.getloadavg()[0]:.2f}; {a.rounds} rounds of {a.calls} calls per thread")
    rows = [r for r in ROWS if a.only is None or a.only in r[0]]
    print(f"{'operation':32} {'1 thread Mcalls/s':>18} {'2 threads Mcalls/s':>19} {'ratio':>6} {'cores got':>9}")
    for name, fn in rows:
        fn(a.calls // 10)  # warm up (specialisation, free lists)
        one, two, cores = [], [], []
        for _ in range(a.rounds):
            one.append(run(fn, 1, a.calls)[0])
            rate, c = run(fn, 2, a.calls)
            two.append(rate)
            cores.append(c)
        m1, m2 = statistics.median(one), statistics.median(two)
        print(f"{name:32} {m1 / 1e6:18.2f} {m2 / 1e6:19.2f} {m2 / m1:6.2f} {statistics.median(cores):9.2f}")
    print(f"load after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
