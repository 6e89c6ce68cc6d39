"""Data across the border: numpy arrays into and out of VecList, pickle, and the nearest-point
search scaled out on a Dask cluster of two worker processes.

    python benchmarks/bench_interop.py [--n N] [--turns T] [--dask-points N] [--no-dask]

One run, side by side: in each turn every contender of a row runs once, in alternation (in
reverse order every other turn), and the table shows the medians over the turns and their ratio (ours over the reference; below 1 is
faster). The Dask row needs `pip install ".[dask]"`.
"""
import argparse
import pickle
import statistics
import time

import numpy as np
import ostrilo_py
from ostrilo_py import VecList


def medians(contenders, turns):
    """Median seconds of each callable, run in alternation for the given number of turns; every
    other turn runs them in reverse order, so that no contender always follows the same one."""
    times = [[] for _ in contenders]
    for turn in range(turns):
        order = list(enumerate(contenders))
        for k, f in order if turn % 2 == 0 else reversed(order):
            t = time.perf_counter()
            r = f()
            times[k].append(time.perf_counter() - t)
            del r
    return [statistics.median(t) for t in times]


def per_call(f, calls=2000, turns=15):
    """Median seconds of one call of a fast f, measured over batches of calls."""
    def batch():
        for _ in range(calls):
            f()
    return statistics.median(medians([batch], turns)) / calls


def numpy_normalize(a):
    return a / np.sqrt((a * a).sum(axis=1))[:, None]


def through_vec_list(a):
    return np.asarray(VecList(a).normalize())


def pickle_round_trip(vl):
    return pickle.loads(pickle.dumps(vl, protocol=4))


def bytes_round_trip(a):
    return np.frombuffer(a.tobytes(), dtype=np.float64).reshape(-1, 3)


def fmt(seconds):
    return f"{seconds * 1e6:.2f} µs" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def dask_rows(points, turns):
    import importlib.util
    import pathlib

    import dask.array as da
    from dask.distributed import Client, LocalCluster
    spec = importlib.util.spec_from_file_location(
        "dask_points", pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_points.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)

    target = ostrilo_py.Vec3d(0.5, -0.25, 2.0)
    chunk = -(-points // 8)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        # The points are made on the workers and stay there: only the search is timed.
        x = da.random.default_rng(5).standard_normal((points, 3), chunks=(chunk, 3)).persist()
        client.wait_for_workers(2, timeout=60)
        local = x.compute()
        on_cluster = lambda: client.compute(example.nearest(x, target)).result(timeout=300)  # noqa: E731
        in_process = lambda: VecList(local).minimum_distance_to(target, 1)  # noqa: E731
        assert on_cluster() == in_process()
        ours, one = medians([on_cluster, in_process], turns)
    return [(f"Dask nearest search over {points:,} points, 2 workers / one process (array → VecList → search)",
             ours, one, "report")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--turns", type=int, default=15)
    parser.add_argument("--dask-points", type=int, default=10**7)
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()

    n = args.n
    a = np.random.default_rng(1).normal(size=(n, 3))
    vl = VecList(a)
    small = VecList(a[:1000])
    table = []
    ours, ref = medians([lambda: VecList(a), a.copy], args.turns)
    table.append(("`VecList(arr)` / `arr.copy()`", ours, ref, "≤ 1.5"))
    ours, ref = medians([lambda: through_vec_list(a), lambda: numpy_normalize(a)], args.turns)
    table.append(("numpy → `VecList` → `normalize` → numpy / numpy's own normalize", ours, ref, "≤ 0.15"))
    ours, ref = medians([lambda: pickle_round_trip(vl), lambda: bytes_round_trip(a)], args.turns)
    table.append(("pickle protocol 4 dumps + loads / (`arr.tobytes()` + `np.frombuffer`)", ours, ref, "≤ 3"))
    for protocol in (3, 4, 5):
        ours, ref = medians([lambda p=protocol: pickle.loads(pickle.dumps(vl, protocol=p)),
                             lambda p=protocol: pickle.loads(pickle.dumps(a, protocol=p))], args.turns)
        table.append((f"pickle protocol {protocol} dumps + loads / the same for the ndarray", ours, ref, "≤ 1.2"))
        data_ours, data_ref = pickle.dumps(vl, protocol=protocol), pickle.dumps(a, protocol=protocol)
        ours, ref = medians([lambda d=data_ours: pickle.loads(d), lambda d=data_ref: pickle.loads(d)], args.turns)
        table.append((f"… of which loads (protocol {protocol})", ours, ref, ""))
    asarray_big, asarray_small = per_call(lambda: np.asarray(vl)), per_call(lambda: np.asarray(small))
    view_big = per_call(lambda: memoryview(vl))
    if not args.no_dask:
        try:
            table += dask_rows(args.dask_points, max(3, args.turns // 3))
        except ImportError as e:
            print(f"(no Dask row: {e})")

    print(f"\nn = {n:,}, medians of {args.turns} alternating turns\n")
    print("| measure | ours | reference | ratio | target |")
    print("|---|---|---|---|---|")
    for name, o, r, target in table:
        print(f"| {name} | {fmt(o)} | {fmt(r)} | {o / r:.2f} | {target} |")
    print(f"| `np.asarray(vl)` at n = {n:,} (at n = 1,000) | {fmt(asarray_big)} | ({fmt(asarray_small)}) | "
          f"{asarray_big / asarray_small:.2f} | constant, ≤ 2 µs |")
    print(f"| `memoryview(vl)` at n = {n:,} | {fmt(view_big)} | | | |")


if __name__ == "__main__":
    main()
