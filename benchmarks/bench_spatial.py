"""ostrilo_ext.SpatialIndex against scipy.spatial.cKDTree, side by side in one run.

    python benchmarks/bench_spatial.py [--n 1000000] [--m 100000] [--repeat 5] [--only TEXT]

Prints the median time of each measure for both and their ratio (ours / scipy's; below 1 is
faster), on uniform points and on points on a few surfaces (as scans give), and on uniform
points in a periodic box; then pairs within a radius and the pair counts between two indexes.
Both use every core for queries (cKDTree with workers=-1; its build, query_pairs and
count_neighbors use one). The first line says how many cores the run had and the load beside it;
on a loaded machine a job on two threads gets less than twice one thread's share of the cores, so
the table also gives the processor time each side used (all its threads together, median) and
the ratio of those: the work each does, whatever the scheduler gave it. The two sides run in
turns, one run of each at a time, so that a change in the load falls on both. Also: the memory of
each index per point, and one query against VecList.minimum_distance_to (a full scan), to show
when an index pays.
"""

import argparse
import os
import statistics
import time

import numpy as np
from ostrilo_ext import SpatialIndex
from ostrilo_py import Vec3d, VecList
from scipy.spatial import cKDTree


def median_time(f, repeat):
    return timed(f, repeat)[0]


def timed(f, repeat):
    """The median wall time and the median processor time of the process (every thread) of f()."""
    wall, cpu = [], []
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        f()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - t)
    return statistics.median(wall), statistics.median(cpu)


# Measures whose name holds this text (all when empty): --only.
ONLY = ""


def add_row(rows, name, measure, f_ours, f_theirs, repeat):
    """Times both sides in turns, one run of each at a time, so that a change in the machine's load
    falls on both alike; the medians of each side go into the table."""
    if ONLY not in measure:
        return
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(timed(f_ours, 1))
        theirs.append(timed(f_theirs, 1))

    def medians(runs):
        return statistics.median(w for w, _ in runs), statistics.median(c for _, c in runs)

    rows.append((name, measure, medians(ours), medians(theirs)))


def uniform(rng, n):
    return rng.random((n, 3))


def surfaces(rng, n):
    """Points on a sphere, a plane and a cylinder, rounded to a scanner's millimetre grid."""
    k = n // 3
    u = rng.random(n) * 2 * np.pi
    v = rng.random(n) * 2 - 1
    s = np.sqrt(1 - v * v)
    p = np.empty((n, 3))
    p[:k] = np.stack([np.cos(u[:k]) * s[:k], np.sin(u[:k]) * s[:k], v[:k]], axis=1)
    p[k : 2 * k] = np.stack([rng.random(k) * 4 - 2, rng.random(k) * 4 - 2, np.full(k, -1.5)], axis=1)
    p[2 * k :] = np.stack([0.5 * np.cos(u[2 * k :]) + 2, 0.5 * np.sin(u[2 * k :]), v[2 * k :]], axis=1)
    return np.round(p, 3)


def run(name, pts, queries, repeat, rows):
    n = len(pts)
    ours = SpatialIndex(pts)
    theirs = cKDTree(pts)
    # A radius that holds about ten points on average around the queries.
    counts = theirs.query_ball_point(queries[:2000], 0.01, return_length=True, workers=-1)
    density = max(counts.mean(), 1e-3) / (0.01**3)
    r = (10 / density) ** (1 / 3)

    def add(measure, f_ours, f_theirs):
        add_row(rows, name, measure, f_ours, f_theirs, repeat)

    add(f"build, {n:,} points", lambda: SpatialIndex(pts), lambda: cKDTree(pts))
    m = len(queries)
    add(f"{m:,} queries, k = 1", lambda: ours.query(queries, 1), lambda: theirs.query(queries, 1, workers=-1))
    add(f"{m:,} queries, k = 8", lambda: ours.query(queries, 8), lambda: theirs.query(queries, 8, workers=-1))
    got = ours.count_radius(queries, r)
    add(
        f"radius (mean {got.mean():.1f} points)",
        lambda: ours.query_radius(queries, r),
        lambda: theirs.query_ball_point(queries, r, workers=-1, return_sorted=True),
    )
    add(
        "radius, counts only",
        lambda: ours.count_radius(queries, r),
        lambda: theirs.query_ball_point(queries, r, workers=-1, return_length=True),
    )
    # Agreement: the same distances, and the same indices wherever the nearest is unique.
    i_ours, d_ours = ours.query(queries[:1000], 2)
    d_theirs, i_theirs = theirs.query(queries[:1000], 1)
    unique = d_ours[:, 0] < d_ours[:, 1]
    assert (i_ours[unique, 0] == i_theirs[unique]).all() and np.allclose(d_ours[:, 0], d_theirs)
    return ours, theirs


def run_periodic(pts, queries, repeat, rows):
    """Uniform points in a box of period 1 along every axis; the queries wrap."""
    n = len(pts)
    ours, theirs = SpatialIndex(pts, boxsize=1.0), cKDTree(pts, boxsize=1.0)
    name = "periodic"

    def add(measure, f_ours, f_theirs):
        add_row(rows, name, measure, f_ours, f_theirs, repeat)

    add(f"build, {n:,} points", lambda: SpatialIndex(pts, boxsize=1.0), lambda: cKDTree(pts, boxsize=1.0))
    m = len(queries)
    add(f"{m:,} queries, k = 1", lambda: ours.query(queries, 1), lambda: theirs.query(queries, 1, workers=-1))
    add(f"{m:,} queries, k = 8", lambda: ours.query(queries, 8), lambda: theirs.query(queries, 8, workers=-1))
    i_ours, d_ours = ours.query(queries[:1000], 1)
    d_theirs, i_theirs = theirs.query(queries[:1000], 1)
    assert np.allclose(d_ours[:, 0], d_theirs)


def run_pairs(pts, repeat, rows):
    """Pairs within r (about five neighbours a point) and the counts between two indexes."""
    if ONLY and not any(ONLY in measure for measure in ("query_pairs (", "count_neighbors, ")):
        return
    n = len(pts)
    r = (5 / n / (4 / 3 * np.pi)) ** (1 / 3)
    ours, theirs = SpatialIndex(pts), cKDTree(pts)
    half = pts[: n // 2] + 1e-4
    ours_b, theirs_b = SpatialIndex(half), cKDTree(half)
    got = ours.query_pairs(r)
    assert len(got) == len(theirs.query_pairs(r, output_type="ndarray"))
    radii = np.array([r / 4, r / 2, r, 2 * r])
    assert np.array_equal(ours.count_neighbors(ours_b, radii), theirs.count_neighbors(theirs_b, radii))

    def add(measure, f_ours, f_theirs):
        add_row(rows, "uniform", measure, f_ours, f_theirs, repeat)

    add(f"query_pairs ({len(got):,} pairs)", lambda: ours.query_pairs(r),
        lambda: theirs.query_pairs(r, output_type="ndarray"))
    add("count_neighbors, 4 radii", lambda: ours.count_neighbors(ours_b, radii),
        lambda: theirs.count_neighbors(theirs_b, radii))
    add("count_neighbors, one r", lambda: ours.count_neighbors(ours_b, r), lambda: theirs.count_neighbors(theirs_b, r))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--m", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--no-scan", action="store_true", help="leave out the table of one query against a scan")
    ap.add_argument("--only", default="", help="only the measures whose name holds this text, e.g. 'queries, k'")
    args = ap.parse_args()
    global ONLY
    ONLY = args.only
    rng = np.random.default_rng(7)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"cores: {cores} (RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, "
          f"load {os.getloadavg()[0]:.1f})")
    rows = []
    for name, make in (("uniform", uniform), ("surfaces", surfaces)):
        pts = make(rng, args.n)
        queries = pts[rng.integers(0, args.n, args.m)] + rng.normal(0, 1e-3, (args.m, 3))
        if name == "uniform":
            queries = rng.random((args.m, 3))
        ours, theirs = run(name, pts, queries, args.repeat, rows)
        print(f"{name}: index memory {ours.nbytes / args.n:.1f} bytes a point (the points alone: 24)")
    run_periodic(rng.random((args.n, 3)), rng.random((args.m, 3)) * 3 - 1, args.repeat, rows)
    run_pairs(rng.random((args.n, 3)), args.repeat, rows)

    print()
    print(f"{'':<45} {'wall time (median)':^33} {'processor time (median)':^33}")
    head = f"{'ostrilo_ext':>12} {'cKDTree':>12} {'ratio':>7}"
    print(f"{'data':<10} {'measure':<34} {head} {head}")
    for name, measure, (a, ca), (b, cb) in rows:
        print(
            f"{name:<10} {measure:<34} {a * 1e3:>10.1f}ms {b * 1e3:>10.1f}ms {a / b:>7.2f} "
            f"{ca * 1e3:>10.1f}ms {cb * 1e3:>10.1f}ms {ca / max(cb, 1e-9):>7.2f}"
        )

    if args.no_scan:
        return
    # One query: the index against a full scan of the list.
    print()
    print(f"{'points':>10} {'index query':>12} {'scan':>12} {'build':>12}  (one query; the build pays after build/scan queries)")
    for n in (1_000, 10_000, 100_000, 1_000_000):
        pts = rng.random((n, 3))
        vl = VecList(pts)
        index = SpatialIndex(vl)
        q = Vec3d(0.5, 0.25, 0.75)
        assert index.query(q)[0] == vl.minimum_distance_to(q, 1)[0]
        reps = 2000 if n <= 10_000 else 200
        t_index = median_time(lambda: [index.query(q) for _ in range(reps)], 3) / reps
        t_scan = median_time(lambda: [vl.minimum_distance_to(q, 1) for _ in range(max(reps // 20, 5))], 3) / max(
            reps // 20, 5
        )
        t_build = median_time(lambda: SpatialIndex(vl), 3)
        print(f"{n:>10,} {t_index * 1e6:>10.2f}us {t_scan * 1e6:>10.1f}us {t_build * 1e3:>10.2f}ms")


if __name__ == "__main__":
    main()
