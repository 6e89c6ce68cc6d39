"""Arrays in and out through the buffer protocol; pickle, copy and deepcopy of every class."""
import copy
import ctypes
import os
import pathlib
import pickle
import pickletools
import struct
import sys

import _ostrilo_py_pickle as helper
import numpy as np
import ostrilo_py
import pytest
from borrowing import held
from ostrilo_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
from ostrilo_tools import lying_buffers

Plane, Circle = ostrilo_py.geometry.Plane, ostrilo_py.geometry.Circle


def f(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


NAN = f(0x7FF4_0000_DEAD_BEEF)  # signalling, with a payload
SUB = f(1)  # the smallest subnormal
INF = float("inf")


def words(obj):
    """Every double an object holds, as IEEE bit patterns read through its public properties."""
    def v(x):
        return [x.x, x.y, x.z]
    values = {
        Vec3d: lambda o: v(o),
        Quat: lambda o: [o.w, o.i, o.j, o.k],
        AngleRadians: lambda o: [o.angle],
        AngleDegrees: lambda o: [o.angle],
        Plane: lambda o: v(o.normal) + [o.distance],
        Circle: lambda o: v(o.center) + [o.radius] + v(o.normal),
        VecList: lambda o: [c for e in o.list for c in v(e)],
    }[type(obj)](obj)
    return [struct.unpack("<Q", struct.pack("<d", x))[0] for x in values]


def plane():
    p = Plane.xy()
    p.normal, p.distance = Vec3d(0.0, -0.0, 1.0), NAN
    return p


def sample():
    return (Vec3d(-0.0, NAN, SUB), Quat(1.0, -INF, 0.5, -0.0), AngleRadians(3.141592653589793), AngleDegrees(-0.0),
            plane(), Circle(Vec3d(1, 2, 3), 0.1, Vec3d(0, 0, 1)),
            VecList([Vec3d(1, 2, 3), Vec3d(-SUB, INF, NAN)]), VecList.empty())


COPIES = {f"pickle-{p}": (lambda x, p=p: pickle.loads(pickle.dumps(x, protocol=p))) for p in range(2, 6)}


def out_of_band(x):
    buffers = []
    return pickle.loads(pickle.dumps(x, protocol=5, buffer_callback=buffers.append), buffers=buffers)


COPIES["pickle-5-out-of-band"] = out_of_band
COPIES["copy"], COPIES["deepcopy"] = copy.copy, copy.deepcopy


@pytest.mark.parametrize("how", COPIES.values(), ids=COPIES.keys())
@pytest.mark.parametrize("index", range(8), ids=[type(o).__name__ + str(i) for i, o in enumerate(sample())])
def test_copies_keep_every_bit_and_are_independent(how, index):
    original = sample()[index]
    twin = how(original)
    assert type(twin) is type(original) and twin is not original
    assert words(twin) == words(original)
    if isinstance(twin, VecList):
        twin.append(Vec3d(7, 8, 9))
        assert len(original) == len(twin) - 1


@pytest.mark.parametrize("protocol", [2, 5])
def test_committed_pickles_keep_loading(protocol):
    data = (pathlib.Path(__file__).parent / "data" / f"ostrilo-p{protocol}.pickle").read_bytes()
    ops = list(pickletools.genops(data))
    names = {a.split()[0] for op, a, _ in ops if op.name == "GLOBAL"} | {a for op, a, _ in ops if "UNICODE" in op.name}
    ours = {"ostrilo_py", "builtins", "Plane", "Circle", *ostrilo_py.__all__}
    assert not {w for n in names for w in n.split()} & ours  # the stream names only the helper
    assert [words(o) for o in pickle.loads(data)] == [words(o) for o in sample()]


@pytest.mark.parametrize("n", [0, 1, 100_000])
def test_protocol_5_sends_elements_out_of_band_without_copying(n):
    vl = VecList(np.arange(3.0 * n).reshape(n, 3))
    buffers = []
    in_band = pickle.dumps(vl, protocol=5, buffer_callback=buffers.append)
    assert len(in_band) < 1024 and len(buffers) == 1
    with pytest.raises(RuntimeError, match="Already borrowed"):  # a view of the list, not a copy
        vl.append(Vec3d(0, 0, 0))
    assert bytes(buffers[0].raw()) == np.arange(3.0 * n).tobytes()
    assert words(pickle.loads(in_band, buffers=buffers)) == words(vl)
    buffers[0].release()
    vl.append(Vec3d(0, 0, 0))


class Forged:
    """A pickle that calls a reconstructor with arguments of its choosing."""

    def __init__(self, name, *args):
        self.name, self.args = name, args

    def __reduce__(self):
        return getattr(helper, self.name), self.args


@pytest.mark.parametrize("stream, error, message", [
    (Forged("vec_list", b"\0" * 25), ValueError, "25 bytes are not a whole number of 24-byte elements"),
    (Forged("vec_list", 12), TypeError, "must be a bytes-like object, not 'int'"),
    (Forged("vec_list", "x" * 24), TypeError, "not 'str'"),
    (Forged("vec_list", Quat(1, 2, 3, 4)), ValueError, "32 bytes are not a whole number"),
    (Forged("vec3d", 1.0, 2.0), TypeError, "missing 1 required positional argument"),
    (Forged("vec3d", 1.0, 2.0, "3"), TypeError, "cannot unpickle Vec3d: expected float components, got 'str'"),
    (Forged("circle", *[1.0] * 6, 10**400), TypeError, "got 'int'"),
    (Forged("plane", 1.0, 2.0, 3.0, [4.0]), TypeError, "got 'list'"),
    (pickle.dumps(VecList([Vec3d(1, 2, 3)] * 10), protocol=4)[:-30], pickle.UnpicklingError, "truncated"),
], ids=["ragged", "int", "str", "quat-buffer", "arity", "str-component", "int-component", "list-component",
        "truncated"])
def test_hostile_pickles_raise_clear_errors(stream, error, message):
    data = stream if isinstance(stream, bytes) else pickle.dumps(stream, protocol=5)
    with pytest.raises(error, match=message):
        pickle.loads(data)


def test_iterator_stays_unpicklable():
    with pytest.raises(TypeError, match="VecListIterator"):
        pickle.dumps(iter(VecList([Vec3d(1, 2, 3)])))


# ---------------------------------------------------------------------------------------------
# Buffers out

@pytest.mark.parametrize("obj, shape, values", [
    (VecList([Vec3d(1, 2, 3), Vec3d(-0.0, INF, 4)]), (2, 3), [[1, 2, 3], [-0.0, INF, 4]]),
    (VecList.empty(), (0, 3), []),
    (Vec3d(1, -0.0, 3), (3,), [1, -0.0, 3]),
    (Quat(4, 5, 6, 7), (4,), [4, 5, 6, 7]),
], ids=["VecList", "empty", "Vec3d", "Quat"])
def test_views(obj, shape, values):
    m = memoryview(obj)
    assert (m.format, m.shape, m.readonly, m.c_contiguous) == ("d", shape, True, True)
    a = np.asarray(obj)
    assert a.dtype == np.float64 and a.shape == shape
    assert np.array_equal(a.view(np.uint64), np.array(values, dtype=np.float64).reshape(shape).view(np.uint64))
    m.release()
    with pytest.raises(BufferError, match="read-only"):
        request_writable(obj)


def request_writable(obj):
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    get(obj, ctypes.addressof(view), 0x1)  # PyBUF_WRITABLE; raises the exporter's error
    ctypes.pythonapi.PyBuffer_Release(ctypes.c_void_p(ctypes.addressof(view)))


@pytest.mark.parametrize("change", [
    lambda vl: vl.append(Vec3d(0, 0, 0)),
    lambda vl: vl.extend(VecList([Vec3d(0, 0, 0)])),
    lambda vl: vl.rotate(Quat(0, 1, 0, 0)),
], ids=["append", "extend", "rotate"])
@pytest.mark.parametrize("view", [memoryview, np.asarray, pickle.PickleBuffer], ids=["memoryview", "numpy", "PickleBuffer"])
def test_a_live_view_keeps_the_list_from_changing(change, view):
    vl = VecList([Vec3d(1, 2, 3)])
    v = view(vl)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        change(vl)
    assert vl.to_array() == [[1.0, 2.0, 3.0]]
    del v
    change(vl)


def test_views_of_values_are_private_copies():
    v, q = Vec3d(1, 2, 3), Quat(1, 2, 3, 4)
    mv, mq = memoryview(v), memoryview(q)
    v.x, q.w = 9.0, 9.0  # no borrow is held
    assert mv.tolist() == [1, 2, 3] and mq.tolist() == [1, 2, 3, 4]


def test_view_of_a_list_borrowed_elsewhere_fails():
    vl = VecList([Vec3d(1, 2, 3)])
    with held(vl), pytest.raises(RuntimeError, match="Already mutably borrowed"):
        memoryview(vl)


# ---------------------------------------------------------------------------------------------
# Buffers in

BASE = np.array([[1.5, -0.0, 3], [4, 5, 6e30], [SUB, INF, -7], [0.1, 0.2, 0.3]])
WIDE = np.arange(24.0).reshape(4, 6) * 0.1


@pytest.mark.parametrize("arr", [
    BASE, BASE.astype(np.float32), np.asfortranarray(BASE), WIDE[:, ::2], WIDE[::-1, 3:],
    BASE.astype(np.float32)[::-2, ::-1], np.zeros((0, 3)), memoryview(BASE),
    np.frombuffer(b"\0" + BASE.tobytes(), dtype=np.float64, offset=1).reshape(4, 3),  # unaligned
    np.broadcast_to(np.array([1.0, 2, 3]), (5, 3)),  # stride 0
], ids=["float64", "float32", "fortran", "every-other-column", "reversed-rows", "negative-strides", "empty",
        "memoryview", "unaligned", "broadcast"])
def test_arrays_in(arr):
    expected = np.asarray(arr, dtype=np.float64)  # floats widen exactly
    got = np.asarray(VecList(arr))
    assert got.shape == expected.shape and np.array_equal(got.view(np.uint64), expected.view(np.uint64))


class Raising:
    def __buffer__(self, flags):
        raise ValueError("exporter broke")


@pytest.mark.parametrize("arr, error, message", [
    (np.zeros((2, 3), dtype=np.int64), TypeError, "argument 'list': 'ndarray' object is not an instance of 'Vec3d'"),
    (np.zeros((2, 3), dtype=">f8"), TypeError, "'ndarray' object is not an instance of 'Vec3d'"),
    (np.zeros((2, 2)), TypeError, "'ndarray' object is not an instance of 'Vec3d'"),
    (np.zeros(3), TypeError, "'float64' object is not an instance of 'Vec3d'"),
    (np.zeros((1, 1, 3)), TypeError, "'ndarray' object is not an instance of 'Vec3d'"),
    (b"\0" * 24, TypeError, "'int' object is not an instance of 'Vec3d'"),
    pytest.param(lambda: np.broadcast_to(np.zeros(3), (1 << 56, 3)), MemoryError, "cannot allocate a VecList of 72057",
                 marks=pytest.mark.skipif(sys.maxsize < 2**32 or "ASAN_OPTIONS" in os.environ,
                                          reason="64-bit sizes; the sanitizer aborts on absurd requests")),
], ids=["int64", "big-endian", "two-columns", "1-D", "3-D", "bytes", "impossible-size"])
def test_other_buffers_keep_the_sequence_errors(arr, error, message):
    with pytest.raises(error, match=message):
        VecList(arr() if callable(arr) else arr)


@pytest.mark.parametrize("length, rows", [(0, 5), (8, 5), (8, sys.maxsize // 2)])
def test_a_buffer_shorter_than_its_shape_is_refused(length, rows):
    # A memoryview made from a view that claims more rows (so many that the bytes they would take
    # overflow, last): the interpreter's own exporter passes the lie on.
    memory = ctypes.create_string_buffer(8)
    shape, strides = (ctypes.c_ssize_t * 2)(rows, 3), (ctypes.c_ssize_t * 2)(24, 8)
    view = lying_buffers.PyBuffer(ctypes.addressof(memory), None, length, 8, 1, 2, b"d", ctypes.addressof(shape),
                                  ctypes.addressof(strides), None, None)
    make = ctypes.pythonapi.PyMemoryView_FromBuffer
    make.restype, make.argtypes = ctypes.py_object, [ctypes.POINTER(lying_buffers.PyBuffer)]
    claims_rows = make(ctypes.byref(view))
    with pytest.raises(BufferError, match=rf"length \({length} bytes\) does not match its shape \({rows}, 3\)"):
        VecList(claims_rows)


@pytest.mark.parametrize("suboffsets", [(0, -1), (-1, -1), (8, 0)])
def test_suboffsets_nobody_asked_for_are_refused(suboffsets):
    with pytest.raises(BufferError, match="suboffsets"):
        VecList(lying_buffers.exporter(range(1, 7), (2, 3), "suboffsets", suboffsets))


def test_the_lying_exporter_is_read_when_it_does_not_lie():
    # The same exporter without suboffsets: the refusal above is about them, not the exporter.
    assert VecList(lying_buffers.exporter(range(1, 7), (2, 3))).to_array() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


@pytest.mark.parametrize("dtype", ["M8[D]", "m8[s]"])
def test_datetime_arrays_give_the_usual_type_error(dtype):
    # numpy refuses to describe datetimes as a buffer (ValueError); they are refused like other
    # element types that are not doubles or floats.
    with pytest.raises(TypeError, match="argument 'list': 'ndarray' object is not an instance of 'Vec3d'"):
        VecList(np.zeros((2, 3), dtype))


@pytest.mark.skipif(not hasattr(memoryview, "__release_buffer__"), reason="__buffer__ in Python needs 3.12")
@pytest.mark.parametrize("error", [ValueError, TypeError, NotImplementedError])
def test_a_sequence_whose_buffer_fails_is_read_as_a_sequence(error):
    class Points(list):
        def __buffer__(self, flags):
            raise error("no buffer here")

    assert VecList(Points([Vec3d(1, 2, 3)])).to_array() == [[1.0, 2.0, 3.0]]


@pytest.mark.skipif(not hasattr(memoryview, "__release_buffer__"), reason="__buffer__ in Python needs 3.12")
def test_buffer_errors_of_sequences_propagate():
    class Locked(list):
        def __buffer__(self, flags):
            raise BufferError("locked")

    with pytest.raises(BufferError, match="locked"):
        VecList(Locked([Vec3d(1, 2, 3)]))


@pytest.mark.skipif(not hasattr(memoryview, "__release_buffer__"), reason="__buffer__ in Python needs 3.12")
def test_exporter_errors_propagate():
    with pytest.raises(ValueError, match="exporter broke"):
        VecList(Raising())


@pytest.mark.parametrize("columns", [slice(0, 3), slice(1, 4)], ids=["contiguous", "strided"])
@pytest.mark.parametrize("n", [1, 70_000])  # a strided copy of 70,000 rows runs in blocks on the pool
def test_round_trip_through_numpy(n, columns):
    rng = np.random.default_rng(n)
    a = rng.normal(size=(n, 4))[:, columns]
    vl = VecList(a)
    assert np.array_equal(np.asarray(vl), a) and np.asarray(vl.normalize()).shape == (n, 3)
    assert [tuple(e) for e in vl.list[:3]] == [tuple(r) for r in a[:3]]
