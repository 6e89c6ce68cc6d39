"""A chunked array of query points against one SpatialIndex on a Dask cluster.

The index is built once, in this process, and handed to the cluster with `client.scatter`:
it pickles as its points (protocol 5 sends them out of band, without a copy into the pickle) and
each worker builds it again, the same index bit for bit. Each chunk of queries then becomes a
`query` on its worker, and the stacked result equals the single-process answer exactly: the
same indices, the same distance bits.

Points that do not fit one machine are indexed where they lie instead: `--sharded` builds an
`ostrilo_ext_dask.ShardedIndex` over the chunked points (each worker indexes its own chunks and
keeps them) and checks that its merged answers equal the single index's too.

Run: python examples/dask_spatial.py [--points N] [--queries M] [--chunk ROWS] [--k K] [--workers W]
[--sharded] (needs `pip install "ostrilo_py[dask]"`).

Functions sent to the workers name the class through the module, `ostrilo_ext.SpatialIndex`:
a class imported by name into __main__ (or a notebook) would have to be pickled by value,
which cannot work for an extension class.
"""
from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np
import ostrilo_ext


def nearest_block(block: np.ndarray, index: ostrilo_ext.SpatialIndex, k: int) -> np.ndarray:
    """Indices and distances of the block's queries, side by side: (rows, 2k) float64."""
    indices, distances = index.query(block, k)
    return np.concatenate([indices.astype(np.float64), distances], axis=1)


def count_block(block: np.ndarray, index: ostrilo_ext.SpatialIndex, r: float) -> np.ndarray:
    return index.count_radius(block, r)


def query_chunked(queries: da.Array, index, k: int) -> tuple[np.ndarray, np.ndarray]:
    """(indices, distances) of every row of the chunked (M, 3) array, as one process would give."""
    both = queries.map_blocks(nearest_block, index, k, dtype=np.float64, chunks=(queries.chunks[0], (2 * k,)))
    out = both.compute()
    return out[:, :k].astype(np.intp), out[:, k:]


def count_chunked(queries: da.Array, index, r: float) -> np.ndarray:
    return queries.map_blocks(count_block, index, r, dtype=np.intp, drop_axis=1).compute()


def main() -> None:
    from dask.distributed import Client, LocalCluster

    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=200_000)
    ap.add_argument("--queries", type=int, default=100_000)
    ap.add_argument("--chunk", type=int, default=20_000)
    ap.add_argument("--k", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--sharded", action="store_true", help="also index the points sharded over the workers")
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    points = rng.random((args.points, 3))
    queries = rng.random((args.queries, 3))
    index = ostrilo_ext.SpatialIndex(points)
    t = time.perf_counter()
    want_i, want_d = index.query(queries, args.k)
    print(f"one process: {args.queries:,} queries, k = {args.k}: {time.perf_counter() - t:.3f} s")

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            shipped = client.scatter(index, broadcast=True)  # built again on each worker
            chunked = da.from_array(queries, chunks=(args.chunk, 3))
            t = time.perf_counter()
            got_i, got_d = query_chunked(chunked, shipped, args.k)
            print(f"{args.workers} workers: {time.perf_counter() - t:.3f} s")
            assert np.array_equal(got_i, want_i) and np.array_equal(got_d.view(np.uint64), want_d.view(np.uint64))
            r = 0.02
            assert np.array_equal(count_chunked(chunked, shipped, r), index.count_radius(queries, r))
            print("the same indices and distance bits as one process")
            if args.sharded:
                from ostrilo_ext_dask import ShardedIndex

                t = time.perf_counter()
                sharded = ShardedIndex(da.from_array(points, chunks=(args.chunk, 3)), client)
                print(f"sharded over {len(sharded.shards)} chunks: built in {time.perf_counter() - t:.3f} s")
                t = time.perf_counter()
                got_i, got_d = sharded.query(queries, args.k)
                print(f"sharded query: {time.perf_counter() - t:.3f} s")
                assert np.array_equal(got_i, want_i) and np.array_equal(got_d.view(np.uint64), want_d.view(np.uint64))
                print("the sharded index gives the same indices and distance bits as one index")


if __name__ == "__main__":
    main()
