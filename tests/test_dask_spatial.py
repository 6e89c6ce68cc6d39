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
