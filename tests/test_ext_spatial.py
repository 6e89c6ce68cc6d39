"""SpatialIndex: the answers of a full scan with VecList's own distances, bit for bit.

The oracle is VecList.distance_squared (the list's formula, evaluated by the list) over every
point, ranked by (squared distance, index) with every NaN after every number; a radius takes
the points whose shown distance, sqrt(d2), is at most r.
"""

import copy
import math
import pickle
import random
import struct
import sys
import threading

import pytest
from conftest import same_float
from ostrilo_py import Vec3d, VecList

np = pytest.importorskip("numpy")
ostrilo_ext = pytest.importorskip("ostrilo_ext")
SpatialIndex = ostrilo_ext.SpatialIndex

NAN, INF = float("nan"), float("inf")


def ranked(points, q):
    """Every point's (d2, index), in the order the index must answer."""
    d2 = VecList(points).distance_squared(q) if len(points) else []
    return sorted(((d, i) for i, d in enumerate(d2)), key=lambda t: (math.isnan(t[0]), 0.0 if math.isnan(t[0]) else t[0], t[1]))


def scan_nearest(points, q, k):
    best = ranked(points, q)[:k]
    best += [(INF, len(points))] * (k - len(best))
    return [i for _, i in best], [d if i == len(points) else math.sqrt(d) for d, i in best]


def scan_within(points, q, r):
    return [i for d, i in ranked(points, q) if math.sqrt(d) <= r]


def same_floats(a, b):
    return len(a) == len(b) and all(same_float(x, y) for x, y in zip(a, b))


def point_sets():
    rng = random.Random(5)
    uniform = [Vec3d(rng.random(), rng.random(), rng.random()) for _ in range(600)]
    lattice = [Vec3d(rng.randrange(5), rng.randrange(5), rng.randrange(3)) for _ in range(500)]  # many ties
    odd = [Vec3d(rng.random(), rng.random(), rng.random()) for _ in range(300)]
    for i in range(0, 300, 7):
        odd[i] = Vec3d(NAN, odd[i].y, odd[i].z)
    for i in range(3, 300, 11):
        odd[i] = Vec3d(odd[i].x, INF, odd[i].z)
    for i in range(5, 300, 13):
        odd[i] = Vec3d(odd[i].x, odd[i].y, -INF)
    return {
        "uniform": uniform,
        "lattice with ties": lattice,
        "duplicates": uniform[:50] * 6,
        "all equal": [Vec3d(0.5, -2.0, 3.0)] * 300,
        "collinear": [Vec3d(0.125 * (i % 40), 0, 0) for i in range(400)],
        "coplanar": [Vec3d(rng.randrange(-9, 9), rng.randrange(-9, 9), 7.0) for _ in range(400)],
        "huge": [Vec3d(v.x * 1e300, v.y * -1e300, v.z * 1e-300) for v in uniform[:300]],
        "tiny": [Vec3d(v.x * 1e-310, v.y * 1e-310, v.z * 1e-310) for v in uniform[:300]],
        "NaN and inf": odd,
        "only NaN": [Vec3d(NAN, 0, 0)] * 5,
        "one": [Vec3d(1, 2, 3)],
    }


POINT_SETS = point_sets()


def queries_for(points):
    rng = random.Random(len(points))
    scale = max((abs(c) for p in points for c in (p.x, p.y, p.z) if math.isfinite(c)), default=1.0) or 1.0
    qs = [Vec3d(rng.uniform(-scale, scale), rng.uniform(-scale, scale), rng.uniform(-scale, scale)) for _ in range(12)]
    qs += points[:: max(1, len(points) // 6)]  # on the points themselves: distance 0 and ties
    qs += [Vec3d(NAN, 0, 0), Vec3d(INF, 0, 0), Vec3d(-INF, INF, 1.0), Vec3d(0.0, 0.0, 0.0)]
    return qs


@pytest.mark.parametrize("name", POINT_SETS)
@pytest.mark.parametrize("k", [1, 3, 8, 700])
def test_nearest_is_the_scan(name, k):
    points = POINT_SETS[name]
    index = SpatialIndex(VecList(points))
    queries = queries_for(points)
    indices, distances = index.query(VecList(queries), k)
    assert indices.shape == distances.shape == (len(queries), k)
    for row, q in enumerate(queries):
        want_i, want_d = scan_nearest(points, q, k)
        assert indices[row].tolist() == want_i, (name, q)
        assert same_floats(distances[row].tolist(), want_d), (name, q)
        one = index.query(q, k)
        assert (one[0] if k > 1 else [one[0]]) == want_i
        assert same_floats(one[1] if k > 1 else [one[1]], want_d)


@pytest.mark.parametrize("name", POINT_SETS)
def test_nearest_is_the_lists_own_search(name):
    # VecList.minimum_distance_to with stride 1 is an exact search of its own: the same element
    points = POINT_SETS[name]
    index, vl = SpatialIndex(points), VecList(points)
    for q in queries_for(points):
        i, d = vl.minimum_distance_to(q, 1)
        got = index.query(q)
        assert got[0] == i and same_float(got[1], d), (name, q)


@pytest.mark.parametrize("name", POINT_SETS)
def test_radius_is_the_scan(name):
    points = POINT_SETS[name]
    index = SpatialIndex(points and VecList(points) or np.empty((0, 3)))
    queries = queries_for(points)
    finite = [abs(c) for p in points for c in (p.x, p.y, p.z) if math.isfinite(c)]
    scale = max(finite, default=1.0) or 1.0
    for r in (0.0, scale * 0.05, scale * 0.5, INF):
        many = index.query_radius(VecList(queries), r)
        counts = index.count_radius(np.array([[q.x, q.y, q.z] for q in queries]), r)
        for row, q in enumerate(queries):
            want = scan_within(points, q, r)
            assert many[row] == want == index.query_radius(q, r), (name, q, r)
            assert counts[row] == len(want) == index.count_radius(q, r)


def test_radius_is_decided_on_the_distance_shown():
    # sqrt(d2) <= r, not d2 <= r * r: 0.1 * 0.1 rounds up, and a point at exactly 0.1 is in.
    points = [Vec3d(0.1, 0, 0), Vec3d(0, 0.1, 0), Vec3d(0, 0, math.nextafter(0.1, 1))]
    index = SpatialIndex(points)
    assert index.query_radius(Vec3d(0, 0, 0), 0.1) == [0, 1]
    assert index.count_radius(Vec3d(0, 0, 0), 0.1) == 2


def test_agrees_with_scipy_where_there_are_no_ties():
    spatial = pytest.importorskip("scipy.spatial")
    rng = np.random.default_rng(3)
    pts, qs = rng.random((20000, 3)), rng.random((500, 3))
    ours_i, ours_d = SpatialIndex(pts).query(qs, 5)
    their_d, their_i = spatial.cKDTree(pts).query(qs, 5)
    assert (ours_i == their_i).all()
    assert np.allclose(ours_d, their_d, rtol=1e-15, atol=0)
    r = 0.05
    theirs = spatial.cKDTree(pts).query_ball_point(qs, r, return_sorted=True)  # sorted by index
    assert [sorted(ours) for ours in SpatialIndex(pts).query_radius(qs, r)] == [list(t) for t in theirs]


def test_forms_of_points_give_the_same_answers():
    rng = np.random.default_rng(1)
    arr = rng.random((3000, 3))
    vl = VecList(arr)
    forms = [arr, vl, np.asfortranarray(arr), arr.tolist(), np.concatenate([arr, arr], axis=1)[:, :3]]
    want = SpatialIndex(vl).query(arr[:50], 4)
    for form in forms:
        got = SpatialIndex(form).query(arr[:50], 4)
        assert (got[0] == want[0]).all() and (got[1] == want[1]).all()
    # float32 rows are widened exactly; strided views are read through their strides
    assert np.array_equal(np.asarray(SpatialIndex(arr.astype(np.float32)).points), arr.astype(np.float32))
    assert np.array_equal(np.asarray(SpatialIndex(arr[::2]).points), arr[::2])


def test_snapshot_and_points():
    vl = VecList([Vec3d(0, 0, 0), Vec3d(5, 0, 0)])
    index = SpatialIndex(vl)
    vl.append(Vec3d(1, 0, 0))  # the index kept a copy
    assert len(index) == 2 and index.query(Vec3d(1, 0, 0)) == (0, 1.0)
    assert index.points.list == [Vec3d(0, 0, 0), Vec3d(5, 0, 0)]
    assert repr(index) == "SpatialIndex(<2 points>)"


def test_empty_index_and_empty_queries():
    empty = SpatialIndex(VecList([]))
    assert len(empty) == 0
    assert empty.query(Vec3d(1, 2, 3)) == (0, INF)  # padded: index len(self), distance inf
    assert empty.query(Vec3d(1, 2, 3), 2) == ([0, 0], [INF, INF])
    i, d = empty.query(np.zeros((2, 3)), 3)
    assert i.tolist() == [[0] * 3] * 2 and d.tolist() == [[INF] * 3] * 2
    assert empty.query_radius(Vec3d(0, 0, 0), INF) == [] and empty.count_radius(Vec3d(0, 0, 0), 1.0) == 0
    index = SpatialIndex(np.ones((4, 3)))
    i, d = index.query(np.empty((0, 3)), 2)
    assert i.shape == d.shape == (0, 2) and i.dtype == np.intp and d.dtype == np.float64
    assert index.query_radius(VecList([]), 1.0) == [] and index.count_radius([], 1.0).shape == (0,)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda s: s.query(Vec3d(0, 0, 0), 0), ValueError, "k must be at least 1"),
        (lambda s: s.query(Vec3d(0, 0, 0), -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda s: s.query(Vec3d(0, 0, 0), 1.5), TypeError, "argument 'k'"),
        # Sizes relative to the platform's: k is a machine word (32 bits on armv7l).
        (lambda s: s.query(Vec3d(0, 0, 0), sys.maxsize // 4), ValueError, "k is too large for the results"),
        (lambda s: s.query(np.zeros((4, 3)), sys.maxsize // 8), ValueError, "k is too large for the results"),
        pytest.param(lambda s: s.query(np.zeros((4, 3)), 2**31), ValueError,
                     "k = 2147483648 exceeds the 3 points, and the padded",
                     marks=pytest.mark.skipif(sys.maxsize < 2**32, reason="32-bit k: refused earlier")),
        (lambda s: s.query_radius(Vec3d(0, 0, 0), -1.0), ValueError, "r must be a number >= 0"),
        (lambda s: s.count_radius(Vec3d(0, 0, 0), NAN), ValueError, "r must be a number >= 0"),
        (lambda s: s.query("abc"), TypeError, "argument 'points'"),
        (lambda s: s.query([1.0, 2.0]), ValueError, "must have 3 numbers"),
        (lambda s: s.query(np.zeros((2, 4))), ValueError, "shape (n, 3)"),
        (lambda s: s.query(np.zeros((2, 3), dtype=np.int64)), TypeError, "float64 or float32"),
        (lambda s: SpatialIndex(Vec3d(0, 0, 0)), ValueError, "argument 'points': must have the shape (n, 3)"),
        (lambda s: SpatialIndex(7), TypeError, "argument 'points': must be a sequence of rows"),
        (lambda s: SpatialIndex(np.zeros(3)), ValueError, "shape (n, 3)"),
    ],
)
def test_bad_arguments(call, error, text):
    index = SpatialIndex(np.zeros((3, 3)))
    with pytest.raises(error) as info:
        call(index)
    assert text in str(info.value)


@pytest.mark.parametrize("protocol", [2, 4, 5])
def test_pickle_round_trip(protocol):
    pts = np.random.default_rng(2).random((5000, 3))
    pts[7] = [NAN, 1.0, 2.0]
    index = SpatialIndex(pts)
    buffers = []
    data = pickle.dumps(index, protocol=protocol, buffer_callback=buffers.append if protocol >= 5 else None)
    if protocol >= 5:
        assert len(buffers) == 1 and len(data) < 1000  # the points travel out of band
    back = pickle.loads(data, buffers=buffers)
    assert type(back) is SpatialIndex and len(back) == len(index)
    assert np.array_equal(np.asarray(back.points), pts, equal_nan=True)
    q = pts[:100] + 1e-3
    (ia, da), (ib, db) = back.query(q, 3), index.query(q, 3)
    assert np.array_equal(ia, ib) and np.array_equal(da, db, equal_nan=True)
    assert copy.deepcopy(index).query(Vec3d(0.5, 0.5, 0.5)) == index.query(Vec3d(0.5, 0.5, 0.5))


def test_unpickling_checks_its_argument():
    import _ostrilo_py_pickle

    with pytest.raises(TypeError, match="expected a VecList"):
        _ostrilo_py_pickle.spatial_index([[0.0, 0.0, 0.0]])


def test_unpickles_in_a_fresh_process(run_python):
    index = SpatialIndex(np.arange(30.0).reshape(10, 3))
    code = f"import pickle; s = pickle.loads({pickle.dumps(index, protocol=5)!r}); print(s.query((3.0, 4.0, 5.0)))"
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "(1, 0.0)"


def test_many_threads_query_one_index():
    rng = np.random.default_rng(4)
    index = SpatialIndex(rng.random((50000, 3)))
    qs = rng.random((6000, 3))  # large enough to run without the interpreter lock
    want = index.query(qs, 4)
    want_counts = index.count_radius(qs, 0.03)
    failures = []

    def worker():
        for _ in range(3):
            got = index.query(qs, 4)
            if not (np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])):
                failures.append("query")
            if not np.array_equal(index.count_radius(qs, 0.03), want_counts):
                failures.append("count")

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_query_list_stays_borrowed_while_queried():
    # Points given as a VecList are read in place: the list cannot change during the call, and is
    # free again afterwards.
    vl = VecList(np.random.default_rng(6).random((5000, 3)))
    index = SpatialIndex(vl)
    index.query(vl, 2)
    vl.append(Vec3d(0, 0, 0))
    assert len(vl) == 5001


def test_same_answers_at_every_thread_count(run_python):
    code = (
        "import numpy as np, hashlib\n"
        "from ostrilo_ext import SpatialIndex\n"
        "rng = np.random.default_rng(9)\n"
        "p = np.round(rng.random((60000, 3)), 2)\n"  # many ties
        "s = SpatialIndex(p)\n"
        "i, d = s.query(rng.random((5000, 3)), 6)\n"
        "r = s.query_radius(rng.random((300, 3)), 0.02)\n"
        "print(hashlib.sha256(i.tobytes() + d.tobytes() + repr(r).encode()).hexdigest())\n"
    )
    outs = {run_python(code, env={"RAYON_NUM_THREADS": str(t)}).stdout for t in (1, 2, 5)}
    assert len(outs) == 1


def test_nan_distances_are_one_nan_whatever_the_payload():
    # Sensor gaps come with payloads and signs of their own; the distances reported for them must
    # be the same bits on every machine, as the list operations' are.
    payloads = ["7ff8000000000100", "fff8000000000001", "7ff4000000000300"]
    nans = [struct.unpack(">d", bytes.fromhex(h))[0] for h in payloads]
    points = [Vec3d(1, 2, 3)] + [Vec3d(x, 0, 1) for x in nans] + [Vec3d(0, x, 0) for x in nans]
    index = SpatialIndex(VecList(points))
    _, distances = index.query(VecList([Vec3d(0, 0, 0), Vec3d(5, 5, 5)]), len(points))
    reported = [struct.pack(">d", d).hex() for d in distances.ravel().tolist() if d != d]
    # one point alone takes another path, which kept the payloads; a NaN query point has only NaN
    # distances, k = 1 included
    for q in (Vec3d(0, 0, 0), Vec3d(nans[1], 0, 0)):
        reported += [struct.pack(">d", d).hex() for d in index.query(q, len(points))[1] if d != d]
        reported += [struct.pack(">d", d).hex() for d in [index.query(q)[1]] if d != d]
    assert len(reported) == 3 * 6 + len(points) + 1 and set(reported) == {"7ff8000000000000"}
