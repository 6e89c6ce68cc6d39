"""Pickling and copying of ostrilo_py objects (private; ostrilo_py registers it with copyreg).

The classes of ostrilo_py report ``__module__ == "builtins"``, where pickle cannot find them by
name, so their instances are reduced to the reconstructors of this module instead. A pickle
names only this module, and the names and arguments below are a file format: a pickle written
by any version must load in every later one, on every platform.

    vec3d(x, y, z)                           Vec3d
    quat(w, i, j, k)                         Quat
    angle_radians(angle)                     AngleRadians
    angle_degrees(angle)                     AngleDegrees
    plane(nx, ny, nz, distance)              geometry.Plane (normal, distance)
    circle(cx, cy, cz, radius, nx, ny, nz)   geometry.Circle (center, radius, normal)
    vec_list(elements(data))                 VecList

Every number is a float, which pickle (protocol 1 and later) writes as its 8 IEEE-754 bytes, so
every bit is kept: -0.0, NaN payloads, infinities, subnormals. The elements of a VecList are
the doubles x, y, z of each element in order, little-endian: bytes up to protocol 4, and from
protocol 5 a pickle.PickleBuffer over the list's own storage, which a pickler with a
buffer_callback sends out of band without copying (the list stays borrowed, and so cannot
grow, while that buffer lives). `elements` returns its argument; it exists so that a list is
written differently for each protocol.

Reconstructors check what they are given: a damaged or hostile pickle that reaches them raises
TypeError or ValueError, and allocates no more than the data it carries.
"""

import copyreg
import sys

_ELEMENT_BYTES = 24  # three doubles
_NATIVE_LITTLE = sys.byteorder == "little"

# The classes, set by register() when ostrilo_py is imported.
_Vec3d = _Quat = _AngleRadians = _AngleDegrees = _VecList = _Plane = _Circle = None


def _check_floats(what, values):
    for v in values:
        if type(v) is not float:
            raise TypeError(f"cannot unpickle {what}: expected float components, got {type(v).__name__!r}")


def vec3d(x, y, z):
    _check_floats("Vec3d", (x, y, z))
    return _Vec3d(x, y, z)


def quat(w, i, j, k):
    _check_floats("Quat", (w, i, j, k))
    return _Quat(w, i, j, k)


def angle_radians(angle):
    _check_floats("AngleRadians", (angle,))
    return _AngleRadians(angle)


def angle_degrees(angle):
    _check_floats("AngleDegrees", (angle,))
    return _AngleDegrees(angle)


def plane(nx, ny, nz, distance):
    _check_floats("Plane", (nx, ny, nz, distance))
    # The constructor normalises its normal; the fields are set as they were stored.
    p = _Plane.xy()
    p.normal = _Vec3d(nx, ny, nz)
    p.distance = distance
    return p


def circle(cx, cy, cz, radius, nx, ny, nz):
    _check_floats("Circle", (cx, cy, cz, radius, nx, ny, nz))
    c = _Circle.none()
    c.center = _Vec3d(cx, cy, cz)
    c.radius = radius
    c.normal = _Vec3d(nx, ny, nz)
    return c


class _Elements:
    """The elements of a VecList on their way out: bytes up to protocol 4, a PickleBuffer over
    the list's storage from protocol 5."""

    __slots__ = ("source",)

    def __init__(self, source):
        self.source = source

    def __reduce_ex__(self, protocol):
        if protocol >= 5 and _NATIVE_LITTLE:
            from pickle import PickleBuffer  # already imported by whoever pickles

            return elements, (PickleBuffer(self.source),)
        with memoryview(self.source) as view:
            return elements, (_swapped(view) if not _NATIVE_LITTLE else view.tobytes(),)

    def __deepcopy__(self, memo):
        return self  # vec_list copies the source


def _swapped(view):
    """The doubles of view with their bytes reversed (big-endian machines)."""
    import array

    a = array.array("d", view.cast("B").tobytes())
    a.byteswap()
    return a.tobytes()


def elements(data):
    return data


def vec_list(data):
    if type(data) is _Elements:  # copy.copy and copy.deepcopy pass the source list itself
        return _VecList(data.source)
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(
            f"cannot unpickle VecList: its elements must be a bytes-like object, not {type(data).__name__!r}"
        ) from None
    with view:
        if view.format == "d" and view.ndim == 2 and view.shape[1] == 3 and _NATIVE_LITTLE:
            return _VecList(view)  # an out-of-band buffer, exactly as the list lent it
        if not view.c_contiguous:
            raise ValueError("cannot unpickle VecList: its elements are not contiguous")
        count, rest = divmod(view.nbytes, _ELEMENT_BYTES)
        if rest:
            raise ValueError(
                f"cannot unpickle VecList: {view.nbytes} bytes are not a whole number of "
                f"{_ELEMENT_BYTES}-byte elements"
            )
        if count == 0:
            return _VecList.empty()
        try:
            raw = view.cast("B") if view.format not in ("B", "b", "c") or view.ndim != 1 else view
        except (TypeError, ValueError):
            raise TypeError(f"cannot unpickle VecList: unsupported element format {view.format!r}") from None
        with raw:
            if not _NATIVE_LITTLE:
                raw = memoryview(_swapped(raw))
            with raw.cast("d", (count, 3)) as rows:
                return _VecList(rows)


def _reduce_vec3d(v):
    return vec3d, (v.x, v.y, v.z)


def _reduce_quat(q):
    return quat, (q.w, q.i, q.j, q.k)


def _reduce_angle_radians(a):
    return angle_radians, (a.angle,)


def _reduce_angle_degrees(a):
    return angle_degrees, (a.angle,)


def _reduce_plane(p):
    n = p.normal
    return plane, (n.x, n.y, n.z, p.distance)


def _reduce_circle(c):
    p, n = c.center, c.normal
    return circle, (p.x, p.y, p.z, c.radius, n.x, n.y, n.z)


def _reduce_vec_list(vl):
    return vec_list, (_Elements(vl),)


# A class that pickle cannot find by name is pickled by value by cloudpickle (and so by Dask,
# for functions defined in __main__ or a notebook): an empty class plus the class's attributes.
# Ours cannot be rebuilt that way, and the other process fails while loading the pickle, which a
# Dask worker reports by never finishing the task. Every such attempt pickles the descriptors
# of the class's methods, and so the reducers below stop it where the pickle is written, with an
# error that says what to do instead. Descriptors of every other class are reduced as before.
_CLASSES = ()


def _refuse_by_value(cls):
    from pickle import PicklingError

    where = "ostrilo_py.geometry" if cls in (_Plane, _Circle) else "ostrilo_py"
    return PicklingError(
        f"cannot pickle class {cls.__name__!r} by value (pickle cannot find it by name, so "
        f"cloudpickle would copy it, which cannot work for an extension class). In functions that "
        f"are sent to other processes, name it through its module, as {where}.{cls.__name__}, "
        f"instead of `from {where} import {cls.__name__}`."
    )


def _guard_descriptors(kind):
    previous = copyreg.dispatch_table.get(kind)
    if getattr(previous, "_ostrilo_guard", False):
        return

    def reduce(descriptor):
        owner = getattr(descriptor, "__objclass__", None)
        if owner is not None and owner in _CLASSES:
            raise _refuse_by_value(owner)
        return previous(descriptor) if previous is not None else descriptor.__reduce__()

    reduce._ostrilo_guard = True
    copyreg.dispatch_table[kind] = reduce


def register(module):
    """Registers the reducers of module's classes with copyreg (called when ostrilo_py is
    imported)."""
    global _Vec3d, _Quat, _AngleRadians, _AngleDegrees, _VecList, _Plane, _Circle
    geometry = module.geometry
    _Vec3d, _Quat, _VecList = module.Vec3d, module.Quat, module.VecList
    _AngleRadians, _AngleDegrees = module.AngleRadians, module.AngleDegrees
    _Plane, _Circle = geometry.Plane, geometry.Circle
    for cls, reduce in (
        (_Vec3d, _reduce_vec3d),
        (_Quat, _reduce_quat),
        (_AngleRadians, _reduce_angle_radians),
        (_AngleDegrees, _reduce_angle_degrees),
        (_VecList, _reduce_vec_list),
        (_Plane, _reduce_plane),
        (_Circle, _reduce_circle),
    ):
        copyreg.pickle(cls, reduce)
    global _CLASSES
    _CLASSES = (_Vec3d, _Quat, _AngleRadians, _AngleDegrees, _VecList, _Plane, _Circle)
    _guard_descriptors(type(object.__dict__["__init__"]))  # slot wrappers: __add__, __len__, ...
    _guard_descriptors(type(object.__dict__["__dir__"]))  # methods: append, dot, ...


# A pickle may be loaded before anything imported ostrilo_py: importing it calls register().
import ostrilo_py  # noqa: E402,F401
