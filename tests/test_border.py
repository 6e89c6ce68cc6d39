"""Every reader of numbers, rows and arrays against what can come in from Python: exporters that lie
about their memory, numbers whose conversion changes the list being read, and arrays that another
thread changes while an index is built from them. Each must give the right answer or a clear
exception, never a crash."""

import math

import pytest
from ostrilo_py import Quat, Vec3d, VecList
from ostrilo_tools import lying_buffers

np = pytest.importorskip("numpy")
ostrilo_ext = pytest.importorskip("ostrilo_ext")
SpatialIndex = ostrilo_ext.SpatialIndex

ROT = Quat(0.5, 0.5, -0.5, 0.5)
INDEX = SpatialIndex(np.array([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [0.5, 0.0, 2.0]]))
UNIT_ROWS = [1.0, 0.0, 0.0, 0.0, 0.5, 0.5, -0.5, 0.5]

# name: (shape of the argument, values, call). Every reader of arrays and sequences of numbers.
READERS = {
    "VecList": ((2, 3), range(6), VecList),
    "SpatialIndex": ((2, 3), range(6), SpatialIndex),
    "query": ((2, 3), range(6), lambda x: INDEX.query(x, 2)),
    "query, one point": ((3,), range(3), INDEX.query),
    "query_radius": ((2, 3), range(6), lambda x: INDEX.query_radius(x, 1.5)),
    "count_radius": ((2, 3), range(6), lambda x: INDEX.count_radius(x, 1.5)),
    "rotate_each": ((2, 4), UNIT_ROWS, lambda x: ostrilo_ext.rotate_each(VecList([Vec3d(1, 2, 3)] * 2), x)),
    "from_matrix": ((3, 3), np.eye(3).ravel(), ostrilo_ext.from_matrix),
    "from_euler": ((3,), [0.1, 0.2, 0.3], lambda x: ostrilo_ext.from_euler("xyz", x)),
    "from_xyzw": ((2, 4), UNIT_ROWS, ostrilo_ext.from_xyzw),
    "from_wxyz, one": ((4,), UNIT_ROWS[4:], ostrilo_ext.from_wxyz),
    "slerp": ((3,), [0.0, 0.25, 1.0], lambda x: ostrilo_ext.slerp(Quat.identity(), ROT, x)),
}


def plain(result):
    """A result as nested lists of floats and ints, so that two results compare by value."""
    if isinstance(result, (VecList, np.ndarray)):
        return np.asarray(result).tolist()
    if isinstance(result, SpatialIndex):
        return np.asarray(result.points).tolist()
    if isinstance(result, Quat):
        return [result.w, result.i, result.j, result.k]
    if isinstance(result, (list, tuple)):
        return [plain(r) for r in result]
    return result


@pytest.mark.parametrize("lie", lying_buffers.LIES + (None,))
@pytest.mark.parametrize("reader", READERS)
def test_lying_exporters_are_refused_by_every_reader(reader, lie):
    shape, values, call = READERS[reader]
    exporter = lying_buffers.exporter(values, shape, lie)
    if lie in lying_buffers.REFUSED:
        with pytest.raises(BufferError, match="^the buffer"):
            call(exporter)
    else:  # an honest view, with or without strides: read like the same array
        assert plain(call(exporter)) == plain(call(np.array(values, dtype=np.float64).reshape(shape)))


class Changes:
    """A number whose conversion first does `how` to `target` (a list being read, or a row of
    it): clears it, grows it, replaces its first item, or raises a TypeError of its own."""

    def __init__(self, how):
        self.how, self.target = how, None

    def __float__(self):
        target, self.target = self.target, None  # once
        if target is not None:
            if self.how == "clear":
                target.clear()
            elif self.how == "grow":
                target.append(target[-1])
            elif self.how == "replace":
                target[0] = target[-1]
            elif self.how == "raise":
                raise TypeError("raised by __float__")
        return 0.5


def flat(f, n):
    """n numbers, the changing one first."""
    return [f] + [0.5] * (n - 1)


def nested(f, rows, width):
    """rows of width numbers, the changing one first."""
    return [[f] + [0.0] * (width - 1)] + [[1.0] + [0.0] * (width - 1) for _ in range(rows - 1)]


# name: (how the argument is made, its size, call)
CALLBACK_READERS = {
    "SpatialIndex": (nested, (2, 3), SpatialIndex),
    "query": (nested, (2, 3), lambda x: INDEX.query(x, 2)),
    "query, one point": (flat, (3,), INDEX.query),
    "query_radius": (nested, (2, 3), lambda x: INDEX.query_radius(x, 1.0)),
    "count_radius": (nested, (2, 3), lambda x: INDEX.count_radius(x, 1.0)),
    "rotate_each": (nested, (2, 4), lambda x: ostrilo_ext.rotate_each(VecList([Vec3d(1, 2, 3)] * 2), x)),
    "from_matrix": (nested, (3, 3), ostrilo_ext.from_matrix),
    "from_euler": (flat, (3,), lambda x: ostrilo_ext.from_euler("xyz", x)),
    "from_xyzw": (nested, (2, 4), ostrilo_ext.from_xyzw),
    "from_wxyz, one": (flat, (4,), ostrilo_ext.from_wxyz),
    "slerp": (flat, (3,), lambda x: ostrilo_ext.slerp(Quat.identity(), ROT, x)),
}


@pytest.mark.parametrize("how", ["clear", "grow", "replace", "raise"])
@pytest.mark.parametrize("reader, which", [(r, w) for r, (make, _, _) in CALLBACK_READERS.items()
                                           for w in (("the list", "its row") if make is not flat else ("the list",))])
def test_a_conversion_that_changes_the_list_being_read(reader, which, how):
    make, size, call = CALLBACK_READERS[reader]
    f = Changes(how)
    arg = make(f, *size)
    f.target = arg[0] if which == "its row" else arg
    if how in ("clear", "grow"):
        with pytest.raises(ValueError, match="changed size while it was read"):
            call(arg)
    elif how == "raise":  # the conversion's own error, not one about the argument's type
        with pytest.raises(TypeError, match="^raised by __float__$"):
            call(arg)
    else:  # the list keeps its length: it is read as it is when each item is read
        try:
            call(arg)
        except ValueError as e:  # the values may be no rotation matrix
            assert "changed size" not in str(e)


def test_a_build_reads_points_another_thread_changes_once(run_python):
    # Points given as a float64 array are read in place without the interpreter lock (from 32,768
    # of them on). A thread that turns them into NaN and back meanwhile decides, point by point,
    # which of them the index holds in its tree and which it keeps aside; the two must add up to
    # the points, and the index must hold the points as it read them. Reading the array twice
    # (counting, then placing) wrote past the end of the index's entries.
    code = """
import math, threading, time
import numpy as np
from ostrilo_ext import SpatialIndex
arr = np.full((40000, 3), 0.5)
stop = threading.Event()
def flip():
    while not stop.is_set():
        arr[:] = np.nan
        arr[:] = 0.5
t = threading.Thread(target=flip)
t.start()
builds = wrong = 0
deadline = time.monotonic() + 2.0
while time.monotonic() < deadline:
    index = SpatialIndex(arr)
    held = np.asarray(index.points)
    numbers = int(np.isfinite(held).all(axis=1).sum())
    ok = len(index) == 40000 and bool((np.isnan(held) | (held == 0.5)).all())
    ok = ok and index.count_radius((0.5, 0.5, 0.5), math.inf) == numbers
    ok = ok and (numbers == 0 or index.query((0.5, 0.5, 0.5)) == (int(np.argmax(np.isfinite(held).all(axis=1))), 0.0))
    wrong += not ok
    builds += 1
stop.set()
t.join()
print(builds, wrong)
"""
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    builds, wrong = map(int, out.stdout.split())
    assert builds > 0 and wrong == 0


@pytest.mark.parametrize("t", [np.array(0.25), np.float32(0.25), np.float64(0.25), np.array([0.25])[0]])
def test_slerp_takes_numpy_numbers_as_one_time(t):
    got = ostrilo_ext.slerp(Quat.identity(), ROT, t)
    assert type(got) is Quat and plain(got) == plain(ostrilo_ext.slerp(Quat.identity(), ROT, 0.25))
    assert plain(ostrilo_ext.slerp(Quat.identity(), ROT, np.array([t, t]))) == [plain(got)] * 2


@pytest.mark.parametrize("times", [[], (), np.empty(0), np.empty(0, np.float32)])
def test_slerp_over_no_times_gives_no_rotations(times):
    assert ostrilo_ext.slerp(Quat.identity(), ROT, times) == []


def test_a_radius_of_inf_takes_every_point_whose_distance_is_not_nan():
    # Infinite distances too: a point at infinity, and finite points too far apart for a double.
    points = [[math.inf, 0, 0], [0, 0, 0], [math.nan, 0, 0], [1e200, 1e200, 0], [-math.inf] * 3]
    index = SpatialIndex(points)
    assert index.query_radius((0, 0, 0), math.inf) == [1, 0, 3, 4]
    queries = [Vec3d(0, 0, 0), Vec3d(math.inf, 0, 0), Vec3d(1, math.nan, 0)]
    as_list = VecList([Vec3d(*p) for p in points])
    numbers = [sum(not math.isnan(d) for d in as_list.distance_squared(q)) for q in queries]
    assert index.count_radius(VecList(queries), math.inf).tolist() == numbers == [4, 3, 0]
    with pytest.raises(ValueError, match=r"^r must be a number >= 0 \(inf takes every point whose distance is not NaN\)$"):
        index.query_radius((0, 0, 0), -1.0)


@pytest.mark.parametrize("layout", ["unaligned", "float32", "reversed", "every other column"])
def test_rotations_in_any_layout_are_read_like_contiguous_doubles(layout):
    # Contiguous float64 rows are used where they lie, as Quat records; any other layout (an
    # address that is no multiple of 8 included, which such a read must not touch) row by row.
    rows = np.array([[0.5, 0.5, -0.5, 0.5], [1.0, 0.0, 0.0, 0.0], [0.0, 0.75, -0.25, 0.125]] * 700)  # exact in float32
    vectors = VecList([Vec3d(1.0, -2.0, 0.25 * i) for i in range(len(rows))])
    given = {
        "unaligned": np.frombuffer(b"\0" + rows.tobytes(), dtype=np.float64, offset=1).reshape(rows.shape),
        "float32": rows.astype(np.float32),
        "reversed": rows[::-1].copy()[::-1],
        "every other column": np.repeat(rows, 2, axis=1)[:, ::2],
    }[layout]
    assert np.array_equal(np.asarray(given, dtype=np.float64), rows)
    want = [q.rotate(v) for q, v in zip((Quat(*r) for r in rows.tolist()), vectors)]
    assert plain(ostrilo_ext.rotate_each(vectors, given)) == plain(VecList(want))
