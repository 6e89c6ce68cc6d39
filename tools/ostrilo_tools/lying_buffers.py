"""Buffer exporters that lie, as a careless C extension might: an object whose C-level getbuffer
slot (written through ctypes) hands out the view it was made with, whatever the request asks for.

The tests and the fuzzer throw them at every reader of arrays, which must refuse each lie with a
clear exception and never read memory the exporter did not lend.

    exporter(values, shape)                         an honest (rows, width) or (n,) array of doubles
    exporter(values, shape, lie="null shape")       the same view, telling one of LIES
"""
from __future__ import annotations

import ctypes
import struct

PY_TPFLAGS_DEFAULT = 1 << 18
PY_TPFLAGS_BASETYPE = 1 << 10
PY_BF_GETBUFFER = 1  # the slot number of bf_getbuffer in a PyType_Spec


class PyBuffer(ctypes.Structure):
    """The interpreter's Py_buffer."""

    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


# Each lie and what the view then claims. "null strides" is no lie for a C-contiguous array (the
# protocol allows it): a reader must read it as the honest view.
LIES = ("suboffsets", "null shape", "short", "zero length", "long", "null buffer", "negative rows", "wrong itemsize",
        "huge rows", "negative ndim", "null strides")
# The lies that must be refused (all but the one the protocol allows).
REFUSED = tuple(lie for lie in LIES if lie != "null strides")

_CLASS: list = []


def _exporter_class():
    """The class of lying exporters, made on first use: a C type with the buffer slot, and a
    Python subclass whose instances carry the view they lend."""
    if _CLASS:
        return _CLASS[0]

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

    class Spec(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                    ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]

    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.c_void_p]

    @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(PyBuffer), ctypes.c_int)
    def getbuffer(self, view, flags):
        v = ctypes.cast(self, ctypes.py_object).value._view
        incref(self)  # the view's reference to its exporter, released by PyBuffer_Release
        view[0] = PyBuffer(v["buf"], self, v["len"], v["itemsize"], 1, v["ndim"], v["format"], v["shape"],
                           v["strides"], v["suboffsets"], None)
        return 0

    slots = (Slot * 2)(Slot(PY_BF_GETBUFFER, ctypes.cast(getbuffer, ctypes.c_void_p)), Slot(0, None))
    spec = Spec(b"lying_buffers.Base", object.__basicsize__, 0, PY_TPFLAGS_DEFAULT | PY_TPFLAGS_BASETYPE, slots)
    from_spec = ctypes.pythonapi.PyType_FromSpec
    from_spec.restype, from_spec.argtypes = ctypes.py_object, [ctypes.POINTER(Spec)]
    base = from_spec(ctypes.byref(spec))
    base._keep = (getbuffer, slots, spec)  # alive as long as the class

    class Exporter(base):
        __slots__ = ("_view",)

        def __repr__(self):
            return f"Exporter({self._view['lie']})"

    _CLASS.append(Exporter)
    return Exporter


def exporter(values, shape: tuple[int, ...], lie: str | None = None, suboffsets: tuple[int, ...] | None = None):
    """An object that lends `values` (floats, row after row) as doubles of the given shape,
    C-contiguous, telling `lie` (one of LIES) if given. `suboffsets` gives the suboffsets of the
    "suboffsets" lie (default: 0 for every dimension but the last, which has -1)."""
    values = [float(v) for v in values]
    ndim = len(shape)
    count = 1
    for d in shape:
        count *= d
    if count != len(values):
        raise ValueError(f"{len(values)} values for the shape {shape}")
    memory = ctypes.create_string_buffer(struct.pack(f"<{len(values)}d", *values) or b"\0" * 8)
    itemsize = 8
    claimed = list(shape)
    strides = [8] * ndim
    for d in range(ndim - 2, -1, -1):
        strides[d] = strides[d + 1] * shape[d + 1]
    length = count * 8
    buf = ctypes.addressof(memory)
    subs = None
    if lie == "suboffsets":
        subs = suboffsets if suboffsets is not None else tuple([0] * (ndim - 1) + [-1])
    elif lie == "short":
        length = max(length - 8, 0)
    elif lie == "zero length":
        length = 0
    elif lie == "long":
        length += 8
    elif lie == "null buffer":
        buf = None
    elif lie == "negative rows":
        claimed[0] = -claimed[0] - 1
    elif lie == "wrong itemsize":
        itemsize = 4
        length = count * 4
    elif lie == "huge rows":
        claimed[0] = 2**60 // (8 * max(1, count // max(shape[0], 1)))
    elif lie not in (None, "null shape", "null strides", "negative ndim"):
        raise ValueError(f"unknown lie {lie!r}")
    shape_array = (ctypes.c_ssize_t * max(ndim, 1))(*claimed)
    strides_array = (ctypes.c_ssize_t * max(ndim, 1))(*strides)
    subs_array = (ctypes.c_ssize_t * max(ndim, 1))(*subs) if subs is not None else None
    o = _exporter_class()()
    o._view = {
        "lie": lie or "honest", "buf": buf, "len": length, "itemsize": itemsize, "format": b"d",
        "ndim": -1 if lie == "negative ndim" else ndim,
        "shape": None if lie == "null shape" else ctypes.addressof(shape_array),
        "strides": None if lie == "null strides" else ctypes.addressof(strides_array),
        "suboffsets": ctypes.addressof(subs_array) if subs_array is not None else None,
        "keep": (memory, shape_array, strides_array, subs_array),  # alive as long as the exporter
    }
    return o
