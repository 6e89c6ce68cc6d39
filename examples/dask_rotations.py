"""Many rotations over a chunked array on a Dask cluster: QuatList on each chunk.

Where it helps: the conversions and the element-wise operations of QuatList treat every element
on its own, so a chunk's answer is the same bits as that part of the whole list's, and chunks of
Euler angles, rotation vectors or (n, 4) quaternions can be worked on by many processes (each of
which runs its chunk on its own worker pool). What does not split this way is an answer across
the list (mean, align_vectors): for those, gather the rotations first. On one machine a single
process is faster (its worker pool already uses every core, and the chunks' transfers cost more
than the arithmetic): the cluster pays when the data outgrow one machine's memory or cores.

Here: Euler angles (n, 3) -> quaternions (n, 4, scalar first) -> rotated vectors and rotation
angles, chunk by chunk; the stored quaternions travel between the steps as plain arrays.

Run: python examples/dask_rotations.py [--rotations N] [--chunk ROWS] [--workers W]
(needs `pip install "ostrilo_py[dask]"`).

As in dask_points.py, functions sent to the workers name the classes through the module
(`ostrilo_ext.QuatList`), never as a name imported into __main__.
"""
from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np
import ostrilo_ext
import ostrilo_py


def from_euler_block(angles: np.ndarray, seq: str) -> np.ndarray:
    """A chunk of Euler angles (n, 3) as the rotations' common quaternions (n, 4), w first."""
    return ostrilo_ext.QuatList.from_euler(seq, angles).to_wxyz()


def apply_block(wxyz: np.ndarray, vectors: np.ndarray) -> np.ndarray:
    """Each rotation of the chunk applied to its vector (the chunks must line up)."""
    rotations = ostrilo_ext.QuatList.from_wxyz(wxyz)
    return np.asarray(rotations.apply(ostrilo_py.VecList(vectors)))


def magnitude_block(wxyz: np.ndarray) -> np.ndarray:
    """The rotation angles of the chunk's rotations (radians)."""
    return ostrilo_ext.QuatList.from_wxyz(wxyz).magnitude()


def pipeline(angles: da.Array, vectors: da.Array, seq: str = "xyz") -> tuple[da.Array, da.Array, da.Array]:
    """(quaternions w first, rotated vectors, rotation angles) of chunked Euler angles, lazily."""
    wxyz = angles.map_blocks(from_euler_block, seq, dtype=float, chunks=(angles.chunks[0], (4,)))
    rotated = da.map_blocks(apply_block, wxyz, vectors, dtype=float, chunks=vectors.chunks)
    angle = wxyz.map_blocks(magnitude_block, dtype=float, drop_axis=1)
    return wxyz, rotated, angle


def main() -> None:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rotations", type=int, default=2_000_000)
    parser.add_argument("--chunk", type=int, default=500_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    rng = np.random.default_rng(11)
    angles_np = rng.uniform(-np.pi, np.pi, size=(args.rotations, 3))
    vectors_np = rng.normal(size=(args.rotations, 3))
    angles = da.from_array(angles_np, chunks=(args.chunk, 3))
    vectors = da.from_array(vectors_np, chunks=(args.chunk, 3))

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster):
            t0 = time.perf_counter()
            wxyz, rotated, angle = da.compute(*pipeline(angles, vectors))
            t1 = time.perf_counter()
    t2 = time.perf_counter()
    whole = ostrilo_ext.QuatList.from_euler("xyz", angles_np)
    t3 = time.perf_counter()
    same = (np.array_equal(wxyz, whole.to_wxyz()) and np.array_equal(angle, whole.magnitude())
            and np.array_equal(rotated, np.asarray(whole.apply(ostrilo_py.VecList(vectors_np)))))
    print(f"{args.rotations:,} rotations in chunks of {args.chunk:,} on {args.workers} workers: {t1 - t0:.3f} s "
          f"(the transfers included); in this process, the quaternions alone: {t3 - t2:.3f} s")
    print("largest rotation angle:", float(angle.max()), "- the chunks give the whole list's bits:", same)
    assert same


if __name__ == "__main__":
    main()
