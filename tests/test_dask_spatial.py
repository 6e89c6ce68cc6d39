"""examples/dask_spatial.py on a two-worker cluster of processes: a SpatialIndex shipped to the
workers answers every chunk of queries with the single-process bits. Every wait is bounded."""
import numpy as np
import pytest
from conftest import load_script

pytest.importorskip("dask")
pytest.importorskip("distributed")
ostrilo_ext = pytest.importorskip("ostrilo_ext")

import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

WAIT = 60  # seconds, for any one result

example = load_script("examples/dask_spatial.py")


def test_chunked_queries_match_one_process():
    rng = np.random.default_rng(11)
    points = np.round(rng.random((20000, 3)), 2)  # ties, decided by the lowest index everywhere
    points[5] = (np.nan, 0.0, 0.0)
    queries = np.round(rng.random((3000, 3)), 2)
    index = ostrilo_ext.SpatialIndex(points)
    want_i, want_d = index.query(queries, 5)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=WAIT) as cluster, Client(cluster, timeout=WAIT) as client:
        shipped = client.scatter(index, broadcast=True)
        chunked = da.from_array(queries, chunks=(700, 3))
        got_i, got_d = example.query_chunked(chunked, shipped, 5)
        counts = example.count_chunked(chunked, shipped, 0.05)
    assert np.array_equal(got_i, want_i)
    assert np.array_equal(got_d.view(np.uint64), want_d.view(np.uint64))
    assert np.array_equal(counts, index.count_radius(queries, 0.05))


def test_sharded_index_is_one_index():
    # Points spread over shards on two worker processes; every answer is the one a single index
    # over all of them gives, bit for bit: global indices, ties to the lowest, NaN last, padding.
    from ostrilo_ext_dask import ShardedIndex

    rng = np.random.default_rng(12)
    points = np.floor(rng.random((9000, 3)) * 20) / 20  # ties within and across shards
    points[[7, 4000, 8999]] = (np.nan, 0.5, 0.5)
    points[5] = (np.inf, 0.0, 0.0)
    queries = np.concatenate([rng.random((600, 3)), points[:50], [[np.nan, 0, 0], [np.inf, 0, 0]]])
    one = ostrilo_ext.SpatialIndex(points)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=WAIT) as cluster, Client(cluster, timeout=WAIT) as client:
        sharded = ShardedIndex(da.from_array(points, chunks=(1700, 3)), client)
        assert len(sharded) == len(points) and len(sharded.shards) == 6
        # every shard lives on a worker, and more than one worker holds some
        assert len({w for ws in client.who_has(sharded.shards).values() for w in ws}) == 2
        for k, bound in ((1, np.inf), (7, np.inf), (7, 0.06), (9010, np.inf)):
            got_i, got_d = sharded.query(queries[:60] if k > 100 else queries, k, bound)
            want_i, want_d = one.query(queries[:60] if k > 100 else queries, k, bound)
            assert np.array_equal(got_i, want_i), (k, bound)
            assert np.array_equal(got_d.view(np.uint64), want_d.view(np.uint64)), (k, bound)
        for r in (0.0, 0.05, 0.12):
            assert sharded.query_radius(queries, r) == one.query_radius(queries, r)
            assert np.array_equal(sharded.count_radius(queries, r), one.count_radius(queries, r))

        # a periodic box: the shards' merge uses the nearest image's squared distance
        box = (1.0, 1.0, 0.0)
        periodic = ostrilo_ext.SpatialIndex(points[10:4000], box)
        sharded_box = ShardedIndex(da.from_array(points[10:4000], chunks=(1000, 3)), client, box)
        q = rng.random((300, 3)) * 3 - 1
        for k in (1, 6):
            (gi, gd), (wi, wd) = sharded_box.query(q, k), periodic.query(q, k)
            assert np.array_equal(gi, wi) and np.array_equal(gd.view(np.uint64), wd.view(np.uint64))
        assert sharded_box.query_radius(q, 0.1) == periodic.query_radius(q, 0.1)
        with pytest.raises(ValueError, match="outside the periodic box"):
            ShardedIndex(da.from_array(points[10:4000] * 2, chunks=(1000, 3)), client, box)
