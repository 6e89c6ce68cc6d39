"""The VecList operations over a chunked (N, 3) array of points on a Dask cluster.

Each chunk becomes a VecList on a worker (the array's rows are copied in at memory speed, and
np.asarray hands the result back without a copy); the nearest-point search keeps the answer of
the single-process search: the smallest distance and, on ties, the lowest index.

Run: python examples/dask_points.py [--points N] [--chunk ROWS] [--workers W]
(needs `pip install "ostrilo_py[dask]"`).

Functions sent to the workers name the classes through the module, `ostrilo_py.VecList(...)`:
a class imported by name into __main__ (or a notebook) would have to be pickled by value,
which cannot work for an extension class, and pickling the task fails saying so.
"""
from __future__ import annotations

import argparse
import struct
import time

import dask
import dask.array as da
import numpy as np
import ostrilo_py
from dask.delayed import Delayed


def normalize_block(block: np.ndarray) -> np.ndarray:
    return np.asarray(ostrilo_py.VecList(block).normalize())


def rotate_block(block: np.ndarray, q: ostrilo_py.Quat) -> np.ndarray:
    vl = ostrilo_py.VecList(block)
    vl.rotate(q)
    return np.asarray(vl)


def magnitude_block(block: np.ndarray) -> np.ndarray:
    return np.asarray(ostrilo_py.VecList(block).magnitude())


def _rank(d2: float) -> int:
    """The order the list's own search ranks squared distances in: IEEE order, every NaN last."""
    return struct.unpack("<Q", struct.pack("<d", d2))[0] & 0x7FFF_FFFF_FFFF_FFFF


def chunk_nearest(block: np.ndarray, target: ostrilo_py.Vec3d, offset: int) -> tuple[int, int, float] | None:
    """(rank of the squared distance, global index, distance) of the chunk's nearest point."""
    if len(block) == 0:
        return None
    vl = ostrilo_py.VecList(block)
    index, distance = vl.minimum_distance_to(target, 1)
    # Ranked by the squared distance, as the whole-list search ranks: two squared distances can
    # round to the same distance.
    return _rank(vl[index].distance_squared(target)), offset + index, distance


def pick_nearest(candidates: list[tuple[int, int, float] | None]) -> tuple[int, float]:
    best = min((c for c in candidates if c is not None), key=lambda c: (c[0], c[1]))
    return best[1], best[2]


def nearest(points: da.Array, target: ostrilo_py.Vec3d) -> Delayed:
    """The (index, distance) of the point nearest to target, as VecList.minimum_distance_to(target, 1)
    over all the points would give it (a delayed value: compute it)."""
    offsets = np.cumsum((0,) + points.chunks[0][:-1])
    blocks = points.to_delayed().ravel()
    parts = [dask.delayed(chunk_nearest)(b, target, int(o)) for b, o in zip(blocks, offsets)]
    return dask.delayed(pick_nearest)(parts)


def main() -> None:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=2_000_000)
    parser.add_argument("--chunk", type=int, default=500_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    points_np = rng.normal(size=(args.points, 3))
    points = da.from_array(points_np, chunks=(args.chunk, 3))
    target = ostrilo_py.Vec3d(0.5, -0.25, 2.0)
    q = ostrilo_py.Quat.from_axis_angle(ostrilo_py.Vec3d(0, 0, 1), ostrilo_py.AngleDegrees(30).to_radians())

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster):
            unit = points.map_blocks(normalize_block, dtype=float)
            rotated = points.map_blocks(rotate_block, q, dtype=float)
            lengths = points.map_blocks(magnitude_block, dtype=float, drop_axis=1)
            print("normalized, first rows:\n", unit[:2].compute())
            print("rotated by 30 degrees about z, first rows:\n", rotated[:2].compute())
            print("largest magnitude:", float(lengths.max().compute()))
            t0 = time.perf_counter()
            found = nearest(points, target).compute()
            t1 = time.perf_counter()
    whole = ostrilo_py.VecList(points_np)
    t2 = time.perf_counter()
    single = whole.minimum_distance_to(target, 1)
    t3 = time.perf_counter()
    print(f"nearest to {target!r}: {found} on {args.workers} workers ({t1 - t0:.3f} s), "
          f"{single} in one process ({t3 - t2:.3f} s)")
    assert found == single


if __name__ == "__main__":
    main()
