"""examples/dask_points.py on a two-worker cluster of processes: per-chunk results and the global
nearest-point search equal the single-process ones. Every wait is bounded."""
import numpy as np
import ostrilo_py
import pytest
from conftest import load_script

pytest.importorskip("dask")
pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

WAIT = 60  # seconds, for any one result

example = load_script("examples/dask_points.py")


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=WAIT) as cluster, Client(cluster, timeout=WAIT) as c:
        yield c


def points_with_ties():
    rng = np.random.default_rng(3)
    p = rng.normal(size=(3000, 3))
    p[2500] = p[700] = p[1999] = (0.25, 0.25, 0.25)  # equal nearest points in three chunks
    p[1000] = (np.nan, 0.0, 0.0)
    return p


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


def test_blocks_equal_whole_list(client):
    p = points_with_ties()
    x = da.from_array(p, chunks=(700, 3))
    q = ostrilo_py.Quat.from_axis_angle(ostrilo_py.Vec3d(1, 2, 3), ostrilo_py.AngleRadians(0.75))
    unit, rotated, lengths = client.compute([
        x.map_blocks(example.normalize_block, dtype=float),
        x.map_blocks(example.rotate_block, q, dtype=float),
        x.map_blocks(example.magnitude_block, dtype=float, drop_axis=1),
    ], sync=False)
    whole = ostrilo_py.VecList(p)
    assert same_bits(unit.result(timeout=WAIT), np.asarray(whole.normalize()))
    assert same_bits(lengths.result(timeout=WAIT), np.array(whole.magnitude()))
    whole.rotate(q)
    assert same_bits(rotated.result(timeout=WAIT), np.asarray(whole))


@pytest.mark.parametrize("target", [(0.25, 0.25, 0.25), (0.3, 0.2, 0.25), (50.0, -3.0, 1.0), (np.inf, 0.0, 0.0)],
                         ids=["tie-across-chunks", "near-tie", "far", "infinite"])
def test_nearest_equals_single_process(client, target):
    p = points_with_ties()
    t = ostrilo_py.Vec3d(*target)
    found = client.compute(example.nearest(da.from_array(p, chunks=(700, 3)), t)).result(timeout=WAIT)
    assert found == ostrilo_py.VecList(p).minimum_distance_to(t, 1)


def test_class_named_directly_in_main_fails_where_pickled():
    # A function defined in __main__ is pickled by value, with the globals it names.
    by_name, by_module = {"__name__": "__main__"}, {"__name__": "__main__"}
    exec("from ostrilo_py import VecList\ndef f(c):\n    return VecList(c)", by_name)
    exec("import ostrilo_py\ndef f(c):\n    return ostrilo_py.VecList(c)", by_module)
    with pytest.raises(Exception, match=r"as ostrilo_py\.VecList, instead of `from ostrilo_py import VecList`"):
        cloudpickle.dumps(by_name["f"])
    rebuilt = cloudpickle.loads(cloudpickle.dumps(by_module["f"]))
    assert rebuilt(np.ones((2, 3))).to_array() == [[1.0, 1.0, 1.0]] * 2
