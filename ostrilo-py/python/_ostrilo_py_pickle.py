"""Pickling and copying of the objects of ostrilo_py and of its companion ostrilo_ext (private;
each module registers its classes here when it is imported).

Their classes report ``__module__ == "builtins"``, where pickle cannot find them by name, so
their instances are reduced to the reconstructors of this module instead. A pickle names only
this module, and the names and arguments below are a file format: a pickle written by any
version must load in every later one, on every platform.

    vec3d(x, y, z)                           Vec3d          (*)
    quat(w, i, j, k)                         Quat           (*)
    angle_radians(angle)                     AngleRadians   (*)
    angle_degrees(angle)                     AngleDegrees   (*)
    plane(nx, ny, nz, distance)              geometry.Plane (normal, distance)
    circle(cx, cy, cz, radius, nx, ny, nz)   geometry.Circle (center, radius, normal)
    vec_list(elements(data))                 VecList
    spatial_index(vec_list(...)[, box])      ostrilo_ext.SpatialIndex, from the VecList of its points (and its box)
    quat_list(elements(data))                ostrilo_ext.QuatList
    slerp(times, quat_list(...))             ostrilo_ext.Slerp, from its key times and rotations

(*) Rebuilt by the class's own constructor from the fields (PickledByConstructor in its class
table): the reconstructor of that name is made by this module's __getattr__, not written here.

Every number is a float, which pickle (protocol 1 and later) writes as its 8 IEEE-754 bytes, so
every bit is kept: -0.0, NaN payloads, infinities, subnormals. The elements of a VecList are
the doubles x, y, z of each element in order, little-endian: bytes up to protocol 4, and from
protocol 5 a pickle.PickleBuffer over the list's own storage, which a pickler with a
buffer_callback sends out of band without copying (the list stays borrowed, and so cannot
grow, while that buffer lives). `elements` returns its argument; it exists so that a list is
written differently for each protocol. A SpatialIndex is sent as its points, a VecList (out of
band from protocol 5 like any other), and built again where it is loaded: the build is
deterministic, so the index that arrives answers every query with the same bits. A QuatList is
sent as a VecList is, with the doubles w, i, j, k of each element.

Reconstructors check what they are given: a damaged or hostile pickle that reaches them raises
TypeError or ValueError, and allocates no more than the data it carries.

Which classes pickle, and with which reconstructor and attributes, each class declares in its
class table in the extension (Pickled<...>); when a module is imported it hands its table to
register(), the one place where this module learns the classes. The reducers it installs in
copyreg carry their reconstructor's name and look this module up by name each time, and the
reconstructors find their classes through those reducers: so a reload of this module, or its
removal from sys.modules (tools that reload modules do both), leaves pickling, copying and
unpickling working, and pickles written before still load.
"""

import copyreg
import operator
import sys

_NATIVE_LITTLE = sys.byteorder == "little"
_NAME = __name__

# Reconstructor name -> class, found through the reducers in copyreg (see _class), and the names
# whose classes their constructors rebuild.
_BY_RECONSTRUCTOR: dict = {}
_BY_CONSTRUCTOR: frozenset = frozenset()
_REBUILDERS: dict = {}  # name -> the reconstructor __getattr__ made for it


def _refresh():
    # A new dictionary, bound in one step: a thread that reads the old one meanwhile (without a
    # global lock, say) never sees it half filled.
    global _BY_RECONSTRUCTOR, _BY_CONSTRUCTOR
    found = {}
    by_constructor = set()
    for cls, reduce in list(copyreg.dispatch_table.items()):
        how = getattr(reduce, "_ostrilo_pickle", None)
        if how is not None:
            found[how[0]] = cls
            if getattr(reduce, "_ostrilo_by_constructor", False):
                by_constructor.add(how[0])
    _BY_RECONSTRUCTOR = found
    _BY_CONSTRUCTOR = frozenset(by_constructor)


def _class(reconstructor, home="ostrilo_py"):
    """The class that `reconstructor` rebuilds, a class of the module `home`. The reducers
    registered with copyreg outlive a reload or a removal of this module, so they are asked; when
    there are none yet (a pickle loaded before anything imported `home`), importing `home`
    registers them."""
    cls = _BY_RECONSTRUCTOR.get(reconstructor)
    if cls is None:
        _refresh()
        if reconstructor not in _BY_RECONSTRUCTOR:
            import importlib

            importlib.import_module(home)  # its import registers its classes
            _refresh()
        cls = _BY_RECONSTRUCTOR.get(reconstructor)
        if cls is None:
            raise TypeError(f"cannot unpickle: {home} has no class rebuilt by {reconstructor!r}")
    return cls


def _helper():
    """This module as pickle finds it by name: after a reload or a removal, the current one."""
    module = sys.modules.get(_NAME)
    if module is None:
        import importlib

        module = importlib.import_module(_NAME)
    return module


def _check_floats(what, values):
    for v in values:
        if type(v) is not float:
            raise TypeError(f"cannot unpickle {what}: expected float components, got {type(v).__name__!r}")


def _by_constructor(reconstructor):
    """The reconstructor of a class declared PickledByConstructor<reconstructor, fields...>: its
    constructor, given the fields, every one a float."""

    def rebuild(*values):
        cls = _class(reconstructor)
        if reconstructor not in _BY_CONSTRUCTOR:
            raise TypeError(f"cannot unpickle: {reconstructor!r} is not rebuilt by its class's constructor")
        _check_floats(cls.__name__, values)
        return cls(*values)

    rebuild.__name__ = rebuild.__qualname__ = reconstructor
    return rebuild


def __getattr__(name):
    # pickle looks reconstructors up by name: those of the classes that their constructors
    # rebuild (vec3d, quat, angle_radians, angle_degrees, ...) are made here, not written out.
    if name.startswith("_") or not name.isidentifier():
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    if name not in _BY_CONSTRUCTOR:
        _refresh()
    for home in ("ostrilo_py", "ostrilo_ext"):
        if name in _BY_CONSTRUCTOR:
            break
        if home not in sys.modules:  # a pickle loaded before anything imported its module
            import importlib

            try:
                importlib.import_module(home)
            except ImportError:
                break
            _refresh()
    if name not in _BY_CONSTRUCTOR:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    # One function per name: pickle checks that the name finds the very function it pickles.
    return _REBUILDERS.setdefault(name, _by_constructor(name))


def plane(nx, ny, nz, distance):
    _check_floats("Plane", (nx, ny, nz, distance))
    # The constructor normalises its normal; the fields are set as they were stored.
    p = _class("plane").xy()
    p.normal = _class("vec3d")(nx, ny, nz)
    p.distance = distance
    return p


def circle(cx, cy, cz, radius, nx, ny, nz):
    _check_floats("Circle", (cx, cy, cz, radius, nx, ny, nz))
    vec3d_class = _class("vec3d")
    c = _class("circle").none()
    c.center = vec3d_class(cx, cy, cz)
    c.radius = radius
    c.normal = vec3d_class(nx, ny, nz)
    return c


class _Elements:
    """The elements of a VecList or QuatList on their way out: bytes up to protocol 4, a PickleBuffer over
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
    vec_list_class = _class("vec_list")
    return _rows_list(data, 3, "VecList", vec_list_class, vec_list_class.empty)


def _rows_list(data, width, name, make, empty):
    """A list class `make` of `width` doubles an element, from its pickled elements."""
    if type(data).__name__ == "_Elements" and hasattr(data, "source"):
        # copy.copy and copy.deepcopy pass the source list itself (in an _Elements of this module
        # or of one that was reloaded since)
        return make(data.source)
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(
            f"cannot unpickle {name}: its elements must be a bytes-like object, not {type(data).__name__!r}"
        ) from None
    element_bytes = 8 * width
    with view:
        if view.format == "d" and view.ndim == 2 and view.shape[1] == width and _NATIVE_LITTLE:
            return make(view)  # an out-of-band buffer, exactly as the list lent it
        if not view.c_contiguous:
            raise ValueError(f"cannot unpickle {name}: its elements are not contiguous")
        count, rest = divmod(view.nbytes, element_bytes)
        if rest:
            raise ValueError(
                f"cannot unpickle {name}: {view.nbytes} bytes are not a whole number of "
                f"{element_bytes}-byte elements"
            )
        if count == 0:
            return empty()
        try:
            raw = view.cast("B") if view.format not in ("B", "b", "c") or view.ndim != 1 else view
        except (TypeError, ValueError):
            raise TypeError(f"cannot unpickle {name}: unsupported element format {view.format!r}") from None
        with raw:
            if not _NATIVE_LITTLE:
                raw = memoryview(_swapped(raw))
            with raw.cast("d", (count, width)) as rows:
                return make(rows)


def _reduce_vec_list(vl):
    return vec_list, (_Elements(vl),)


def spatial_index(points, boxsize=None):
    if type(points) is not _class("vec_list"):
        raise TypeError(f"cannot unpickle SpatialIndex: expected a VecList of points, got {type(points).__name__!r}")
    return _class("spatial_index", "ostrilo_ext")(points, boxsize)


def _reduce_spatial_index(index):
    # The box only where there is one: the pickles of an index without one stay as they were.
    box = index.boxsize
    return spatial_index, (index.points,) if box is None else (index.points, box)


def quat_list(data):
    quat_list_class = _class("quat_list", "ostrilo_ext")
    return _rows_list(data, 4, "QuatList", quat_list_class, lambda: quat_list_class([]))


def _reduce_quat_list(ql):
    return quat_list, (_Elements(ql),)


def slerp(times, rotations):
    if type(rotations) is not _class("quat_list", "ostrilo_ext") or type(times) is not list:
        raise TypeError("cannot unpickle Slerp: expected a list of times and a QuatList of rotations")
    _check_floats("Slerp", times)
    return _class("slerp", "ostrilo_ext")(times, rotations)


def _reducer(reconstructor, fields, home, by_constructor=False):
    """The copyreg reducer of a class of the module `home` that `reconstructor` rebuilds from
    `fields` (attribute paths; None: this module's _reduce_<reconstructor> reduces)."""
    if fields is None:
        def reduce(obj):
            return getattr(_helper(), "_reduce_" + reconstructor)(obj)
    else:
        get = operator.attrgetter(*fields)
        single = len(fields) == 1

        def reduce(obj):
            values = get(obj)
            return getattr(_helper(), reconstructor), ((values,) if single else values)

    reduce._ostrilo_pickle = (reconstructor, fields)
    reduce._ostrilo_home = home
    reduce._ostrilo_by_constructor = by_constructor
    return reduce


# A class that pickle cannot find by name is pickled by value by cloudpickle (and so by Dask,
# for functions defined in __main__ or a notebook): an empty class plus the class's attributes.
# Ours cannot be rebuilt that way, and the other process fails while loading the pickle, which a
# Dask worker reports by never finishing the task. Every such attempt pickles the descriptors
# of the class's methods, and so the reducers below stop it where the pickle is written, with an
# error that says what to do instead. Descriptors of every other class are reduced as before.


def _ours(cls):
    return getattr(copyreg.dispatch_table.get(cls), "_ostrilo_pickle", None) is not None


def _home(cls):
    """The module that holds cls, as Python code names it: the module that registered it, or one
    of its submodules."""
    top_name = getattr(copyreg.dispatch_table.get(cls), "_ostrilo_home", "ostrilo_py")
    top = sys.modules.get(top_name)
    for name, value in (vars(top).items() if top is not None else ()):
        if type(value).__name__ == "module" and getattr(value, cls.__name__, None) is cls:
            return f"{top_name}.{name}"
    return top_name


def _refuse_by_value(cls):
    from pickle import PicklingError

    where = _home(cls)
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
        if owner is not None and _ours(owner):
            raise _helper()._refuse_by_value(owner)
        return previous(descriptor) if previous is not None else descriptor.__reduce__()

    reduce._ostrilo_guard = True
    copyreg.dispatch_table[kind] = reduce


def register(module, table):
    """Registers with copyreg how the classes of `table` pickle: rows (class, reconstructor,
    attribute paths or None), derived from the class tables of the extension module `module`
    (called when ostrilo_py or ostrilo_ext is imported). A row whose reconstructor this module
    lacks fails the import, with what to add: a class table and this file disagree."""
    home = module.__name__
    for cls, reconstructor, fields, *rest in table:
        by_constructor = bool(rest and rest[0])
        needs = [] if by_constructor else [reconstructor] + (["_reduce_" + reconstructor] if fields is None else [])
        missing = [name for name in needs if not callable(vars(_helper()).get(name))]
        if missing:
            declared = ", ".join(f'"{n}"' for n in (reconstructor, *(fields or ())))
            raise TypeError(
                f"{home}.{cls.__name__} declares Pickled<{declared}> in its class table, but {_NAME} has no "
                f"function {missing[0]!r}: add it to {_NAME}.py (ostrilo-py/python/), or name an existing "
                f"reconstructor in the class table"
            )
        copyreg.pickle(cls, _reducer(reconstructor, fields, home, by_constructor))
    _refresh()
    _guard_descriptors(type(object.__dict__["__init__"]))  # slot wrappers: __add__, __len__, ...
    _guard_descriptors(type(object.__dict__["__dir__"]))  # methods: append, dot, ...
