"""A SpatialIndex sharded over a Dask cluster: points that do not fit one machine, indexed where
they lie.

    from dask.distributed import Client
    import dask.array as da
    from ostrilo_ext_dask import ShardedIndex

    points = da.from_zarr(...)                     # (N, 3), chunked along the rows
    index = ShardedIndex(points, client)           # each worker indexes its own chunks
    indices, distances = index.query(queries, 8)   # exactly one SpatialIndex's answer

Each chunk of rows becomes one shard: a SpatialIndex built on the worker that holds the chunk
and kept there (with the chunk's points, which the merge needs); nothing but the queries and the
answers travels. `query`, `query_radius` and `count_radius` send the queries to every shard
once and merge on the client into exactly the answer one SpatialIndex over all the points gives:
global indices (the row in `points`), the same distances bit for bit, ties to the lowest index,
NaN distances last, padding as that index pads.

How the merge stays exact: a shard's answers are ranked by squared distance, and two different
squared distances can have the same square root, so the merge cannot rank by the distances
shown. Each shard therefore also returns the squared distance of every answer, computed with the
index's own formula (Vec3d's, or the nearest image's in a periodic box: the same operations in
the same order, which NumPy rounds as C++ does), and the merge ranks by (squared distance,
global index).

When it pays. Memory per worker: about 34 bytes a point for the index and 24 for the points it
keeps, so a worker with 8 GB holds about 130 million points. A query round costs one task per
shard, the queries sent to each (24 bytes a query) and k answers of 24 bytes back from each, then
a merge of shards x k candidates per query on the client: for a few queries it is dominated by
the round trip (milliseconds), so ask many queries per call. An index that fits one machine is
faster as one SpatialIndex (see examples/dask_spatial.py, which ships one to every worker).

This module imports Dask only when an index is built.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["ShardedIndex"]


class _Shard:
    """One chunk's index and points, kept on its worker."""

    def __init__(self, chunk: np.ndarray, boxsize: Any) -> None:
        import ostrilo_ext

        self.points = np.ascontiguousarray(chunk, dtype=np.float64)
        self.index = ostrilo_ext.SpatialIndex(self.points, boxsize)
        box = self.index.boxsize
        self.periods = None if box is None else np.array(box)

    def __len__(self) -> int:
        return len(self.points)

    def squared(self, rows: np.ndarray, queries: np.ndarray) -> np.ndarray:
        """The index's squared distance between points[rows] and queries, element by element."""
        p = self.points[rows]
        if self.periods is None:
            d = p - queries
            return (d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2]
        q = _wrapped(queries, self.periods)
        d = np.abs(p - q)
        other = self.periods - d
        g = np.where((self.periods > 0) & (other < d), other, d)
        return (g[..., 0] * g[..., 0] + g[..., 1] * g[..., 1]) + g[..., 2] * g[..., 2]


def _wrapped(q: np.ndarray, periods: np.ndarray) -> np.ndarray:
    """Queries moved into the box as the index moves them (exact fmod; a rounding up to L is 0)."""
    with np.errstate(invalid="ignore"):
        inside = (q >= 0) & (q < periods)
        w = np.fmod(q, np.where(periods > 0, periods, 1.0))
        w = np.where(w < 0, w + periods, w)
        w = np.where(w >= periods, 0.0, w)
        return np.where((periods > 0) & ~inside, w, q)


def _build(chunk: np.ndarray, boxsize: Any) -> _Shard:
    return _Shard(chunk, boxsize)


def _size(shard: _Shard) -> int:
    return len(shard)


def _query(shard: _Shard, queries: np.ndarray, k: int, bound: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    idx, dist = shard.index.query(queries, k, bound)
    real = idx < len(shard)
    d2 = np.full(idx.shape, np.inf)
    rows = np.nonzero(real)
    d2[rows] = shard.squared(idx[rows], queries[rows[0]])
    return idx, dist, d2


def _radius(shard: _Shard, queries: np.ndarray, r: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    lists = shard.index.query_radius(queries, r)
    counts = np.fromiter((len(x) for x in lists), dtype=np.intp, count=len(lists))
    idx = np.fromiter((i for x in lists for i in x), dtype=np.intp, count=int(counts.sum()))
    owner = np.repeat(np.arange(len(lists)), counts)
    return counts, idx, shard.squared(idx, queries[owner]) if len(idx) else np.empty(0)


def _count(shard: _Shard, queries: np.ndarray, r: float) -> np.ndarray:
    return shard.index.count_radius(queries, r)


def _rank(d2: np.ndarray, index: np.ndarray, padded: np.ndarray) -> np.ndarray:
    """The order of candidates along the last axis: numbers, then NaN, then padding; by squared
    distance, then global index."""
    cls = np.where(padded, 2, np.where(np.isnan(d2), 1, 0))
    key = np.where(cls == 0, d2, 0.0)
    return np.lexsort((index, key, cls), axis=-1)


class ShardedIndex:
    """An exact spatial index over a chunked (N, 3) Dask array, one shard per chunk of rows, each
    kept on a worker of `client` (the default client if None). `boxsize` as SpatialIndex's."""

    def __init__(self, points: Any, client: Any = None, boxsize: Any = None) -> None:
        import dask
        from dask.distributed import default_client, wait

        if points.ndim != 2 or points.shape[1] != 3:
            raise ValueError(f"points must have the shape (n, 3), not {points.shape}")
        self.client = client if client is not None else default_client()
        points = points.rechunk({1: 3})
        rows = [int(c) for c in points.chunks[0]]
        self.offsets = np.concatenate([[0], np.cumsum(rows)]).astype(np.intp)
        self.size = int(self.offsets[-1])
        build = dask.delayed(_build, pure=False)
        self.shards = self.client.compute([build(c, boxsize) for c in points.to_delayed().ravel()])
        wait(self.shards)
        for f in self.shards:
            if f.status == "error":
                f.result()  # raises the shard's error (a point outside the box, say)

    def __len__(self) -> int:
        return self.size

    def _ask(self, fn: Any, queries: np.ndarray, *args: Any) -> list:
        # A key of its own (not the data's hash): a release of the same queries sent by the
        # previous call must not take this call's copy with it.
        sent = self.client.scatter(queries, broadcast=True, hash=False)
        return self.client.gather([self.client.submit(fn, s, sent, *args, pure=False) for s in self.shards])

    @staticmethod
    def _queries(points: Any) -> np.ndarray:
        q = np.ascontiguousarray(points, dtype=np.float64)
        if q.ndim != 2 or q.shape[1] != 3:
            raise ValueError(f"queries must have the shape (m, 3), not {q.shape}")
        return q

    def query(self, points: Any, k: int = 1, distance_upper_bound: float = math.inf) -> tuple[np.ndarray, np.ndarray]:
        """The k nearest of each query, as SpatialIndex.query gives them for (m, 3) queries:
        (indices, distances), each (m, k), padded with (len(self), inf)."""
        q = self._queries(points)
        if k < 1:
            raise ValueError("k must be at least 1")
        parts = self._ask(_query, q, k, distance_upper_bound)
        m = len(q)
        if not parts:
            return np.full((m, k), 0, dtype=np.intp), np.full((m, k), np.inf)
        idx = np.concatenate([np.where(i < n, i + off, self.size) for (i, _, _), off, n in
                              zip(parts, self.offsets, np.diff(self.offsets))], axis=1)
        dist = np.concatenate([d for _, d, _ in parts], axis=1)
        d2 = np.concatenate([s for _, _, s in parts], axis=1)
        order = _rank(d2, idx, idx == self.size)[:, :k]
        return np.take_along_axis(idx, order, 1), np.take_along_axis(dist, order, 1)

    def query_radius(self, points: Any, r: float) -> list[list[int]]:
        """The indices within r of each query, sorted by distance, then index (as SpatialIndex)."""
        q = self._queries(points)
        parts = self._ask(_radius, q, r)
        m = len(q)
        counts = sum((c for c, _, _ in parts), np.zeros(m, dtype=np.intp))
        owner = np.concatenate([np.repeat(np.arange(m), c) for c, _, _ in parts] + [np.empty(0, np.intp)])
        idx = np.concatenate([i + off for (_, i, _), off in zip(parts, self.offsets)] + [np.empty(0, np.intp)])
        d2 = np.concatenate([s for _, _, s in parts] + [np.empty(0)])
        cls = np.isnan(d2).astype(np.int8)
        order = np.lexsort((idx, np.where(cls == 0, d2, 0.0), cls, owner))
        ranked = idx[order].tolist()
        out, at = [], 0
        for c in counts.tolist():
            out.append(ranked[at:at + c])
            at += c
        return out

    def count_radius(self, points: Any, r: float) -> np.ndarray:
        """How many points lie within r of each query (as SpatialIndex.count_radius)."""
        q = self._queries(points)
        return sum(self._ask(_count, q, r), np.zeros(len(q), dtype=np.intp))
