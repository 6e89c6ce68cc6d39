"""examples/dask_rotations.py on a two-worker cluster of processes: chunk by chunk, the
quaternions, rotated vectors and rotation angles are the whole list's bits, chunk boundaries that
do not fall on the lists' blocks of four included. Every wait is bounded."""
import numpy as np
import ostrilo_ext
import ostrilo_py
import pytest
from conftest import load_script

pytest.importorskip("dask")
pytest.importorskip("distributed")

import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

WAIT = 60  # seconds, for any one result

example = load_script("examples/dask_rotations.py")


def test_chunks_give_the_whole_lists_bits():
    rng = np.random.default_rng(4)
    angles = rng.uniform(-4, 4, size=(3001, 3))
    angles[1500] = (0.0, np.pi / 2, 0.0)  # gimbal lock in one chunk
    vectors = rng.normal(size=(3001, 3))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=WAIT) as cluster, Client(cluster, timeout=WAIT) as client:
        lazy = example.pipeline(da.from_array(angles, chunks=(701, 3)), da.from_array(vectors, chunks=(701, 3)))
        wxyz, rotated, angle = (f.result(timeout=WAIT) for f in client.compute(list(lazy)))
    whole = ostrilo_ext.QuatList.from_euler("xyz", angles)
    expected = [whole.to_wxyz(), np.asarray(whole.apply(ostrilo_py.VecList(vectors))), whole.magnitude()]
    for got, want in zip((wxyz, rotated, angle), expected):
        assert got.shape == want.shape and np.array_equal(got.view(np.uint64), want.view(np.uint64))
