"""The companion module ostrilo_ext: it works on ostrilo_py's own classes and leaves ostrilo_py as
it was."""

import math
import random
from pathlib import Path

import ostrilo_py
import pytest
from ostrilo_py import Quat, Vec3d

ostrilo_ext = pytest.importorskip("ostrilo_ext")


def random_quat(rng: random.Random) -> Quat:
    return Quat(*(rng.gauss(0, 1) for _ in range(4))).normalize()


def close_vec(a: Vec3d, b: Vec3d, tol: float = 1e-12) -> bool:
    return all(math.isclose(x, y, rel_tol=tol, abs_tol=tol) for x, y in zip((a.x, a.y, a.z), (b.x, b.y, b.z)))


def test_results_are_instances_of_the_core_classes():
    q = Quat(1.0, 2.0, 3.0, 4.0)
    for r in (ostrilo_ext.compose(q, q), ostrilo_ext.hamilton_product(q, q), ostrilo_ext.inverse(q)):
        assert type(r) is Quat
        assert type(r) is ostrilo_py.Quat
    # and the core's methods accept them, as the core's own instances
    assert isinstance(ostrilo_ext.inverse(q).rotate(Vec3d(1, 0, 0)), Vec3d)


def test_instances_survive_module_reload_of_the_core(run_python):
    # One set of class objects per process, however often the modules are imported.
    r = run_python(
        "import sys, importlib, ostrilo_py, ostrilo_ext\n"
        "Q = ostrilo_py.Quat\n"
        "del sys.modules['ostrilo_py']\n"
        "import ostrilo_py as again\n"
        "assert again.Quat is Q\n"
        "assert type(ostrilo_ext.inverse(Q(1, 0, 0, 0))) is Q\n"
    )
    assert r.returncode == 0, r.stderr


def test_core_surface_has_nothing_of_the_companion():
    assert not any("ext" in name or "shared" in name for name in dir(ostrilo_py))
    assert "api" not in ostrilo_py.__all__


def test_a_mismatched_table_is_refused(run_python):
    # A companion from another build of the package must not misread the instances.
    r = run_python(
        "import ctypes, ostrilo_py, _ostrilo_py_shared as s\n"
        "get = ctypes.pythonapi.PyCapsule_GetPointer\n"
        "get.restype = ctypes.c_void_p\n"
        "get.argtypes = [ctypes.py_object, ctypes.c_char_p]\n"
        "p = get(s.api, b'_ostrilo_py_shared.api')\n"
        "ctypes.c_uint32.from_address(p).value += 1\n"
        "try:\n"
        "    import ostrilo_ext\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert r.returncode == 0, r.stderr
    assert "does not match the installed ostrilo_py" in r.stdout


# A forged copy of the table ostrilo_py lends, lent in its place through a capsule of the right
# name: ctypes mirrors the table's layout (checked against the size it states), then each case
# changes the copy and imports the companion. The real table is put back afterwards, and the
# companion must then import and work.
FORGE = """
import ctypes, datetime, sys
import ostrilo_py, _ostrilo_py_shared as shared
from ctypes import c_char, c_uint32, c_void_p

class Entry(ctypes.Structure):
    _fields_ = [("type", c_void_p), ("allocate", c_void_p), ("instance_size", c_uint32),
                ("value_size", c_uint32), ("name", c_char * 16)]

class Table(ctypes.Structure):
    _fields_ = [("version", c_uint32), ("size", c_uint32), ("layout", c_uint32 * 6), ("classes", Entry * 7),
                ("panic", c_void_p), ("allocate_array", c_void_p), ("free_array", c_void_p),
                ("for_blocks", c_void_p), ("thread_count", c_void_p)]

VEC3D, QUAT, VEC_LIST = 0, 1, 4
get = ctypes.pythonapi.PyCapsule_GetPointer
get.restype, get.argtypes = c_void_p, [ctypes.py_object, ctypes.c_char_p]
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [c_void_p, ctypes.c_char_p, c_void_p]
real = shared.api
table = Table.from_address(get(real, b"_ostrilo_py_shared.api"))
assert table.size == ctypes.sizeof(Table), "the mirror of the table in this test is out of date"
forged = Table.from_buffer_copy(table)
entries = forged.classes
shared.api = new(ctypes.addressof(forged), b"_ostrilo_py_shared.api", None)
{change}
try:
    import ostrilo_ext
    print("imported")
except ImportError as e:
    print("refused:", e)
shared.api, sys.modules["_ostrilo_py_shared"] = real, shared
sys.modules.pop("ostrilo_ext", None)
import ostrilo_ext
axis, angle = ostrilo_ext.axis_angle(ostrilo_py.Quat(0.0, 1.0, 0.0, 0.0))
assert type(axis) is ostrilo_py.Vec3d and type(angle) is ostrilo_py.AngleRadians
"""
SWAP = "a, b = Entry.from_buffer_copy(entries[{0}]), Entry.from_buffer_copy(entries[{1}])\nentries[{0}], entries[{1}] = b, a"
FORGERIES = {
    "the table as lent": ("", "imported"),
    "Vec3d and VecList swapped": (SWAP.format("VEC3D", "VEC_LIST"),
                                  "where ostrilo_ext expects Vec3d holds VecList (class object builtins.VecList)"),
    "their class objects swapped": ("entries[VEC3D].type, entries[VEC_LIST].type = entries[VEC_LIST].type, entries[VEC3D].type",
                                    "where ostrilo_ext expects Vec3d holds Vec3d (class object builtins.VecList)"),
    "a class renamed": ('entries[QUAT].name = b"Quaternion"', "where ostrilo_ext expects Quat holds Quaternion"),
    "a name without its end": ('entries[QUAT].name = b"Q" * 16', "expects Quat holds QQQQQQQQQQQQQQQQ (class object"),
    "an instance size": ("entries[QUAT].instance_size += 8", "(Quat differs)"),
    "no table": ("del shared.api", "_ostrilo_py_shared has no 'api', which ostrilo_py places there"),
    "the helper module removed": ('del sys.modules["_ostrilo_py_shared"]', "_ostrilo_py_shared has no 'api'"),
    "something else": ("shared.api = 7", "_ostrilo_py_shared.api is not ostrilo_py's class table but an object of type 'int'"),
    "another module's capsule": ("shared.api = datetime.datetime_CAPI",
                                 "is not ostrilo_py's class table but a capsule named 'datetime.datetime_CAPI'"),
}


@pytest.mark.parametrize("change, outcome", FORGERIES.values(), ids=FORGERIES.keys())
def test_a_table_that_is_not_ostrilo_pys_is_refused_with_what_is_wrong(change, outcome, run_python):
    r = run_python(FORGE.replace("{change}", change))
    assert r.returncode == 0, r.stderr[-3000:]
    assert outcome in r.stdout, r.stdout


@pytest.mark.parametrize("seed", range(3))
def test_compose_applies_first_then_second(seed):
    rng = random.Random(seed)
    for _ in range(200):
        a, b = random_quat(rng), random_quat(rng)
        v = Vec3d(rng.uniform(-10, 10), rng.uniform(-10, 10), rng.uniform(-10, 10))
        assert close_vec(ostrilo_ext.compose(a, b).rotate(v), b.rotate(a.rotate(v)), 1e-13)


@pytest.mark.parametrize("seed", range(3))
def test_inverse_undoes_the_rotation(seed):
    rng = random.Random(seed)
    for _ in range(200):
        # non-unit too: the inverse of a scaled rotation divides the scale out again
        q = random_quat(rng)
        q = Quat(q.w * 3.0, q.i * 3.0, q.j * 3.0, q.k * 3.0)
        v = Vec3d(rng.uniform(-10, 10), rng.uniform(-10, 10), rng.uniform(-10, 10))
        assert close_vec(ostrilo_ext.inverse(q).rotate(q.rotate(v)), v, 1e-13)
        p = ostrilo_ext.compose(q, ostrilo_ext.inverse(q))
        assert all(math.isclose(x, y, abs_tol=1e-15) for x, y in zip((p.w, p.i, p.j, p.k), (1, 0, 0, 0)))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ostrilo_ext.inverse(Quat(0.0, 0.0, 0.0, 0.0)), ValueError, "inverse(): the zero quaternion has no inverse"),
        (lambda: ostrilo_ext.inverse((1, 0, 0, 0)), TypeError, "argument 'q': 'tuple' object is not an instance of 'Quat'"),
        (lambda: ostrilo_ext.compose(Quat.identity()), TypeError, "compose() missing 1 required positional argument: 'second'"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_every_function_has_its_docstring_and_signature_and_a_stub():
    import ast
    import inspect
    from pathlib import Path

    stub = Path(__file__).resolve().parent.parent / "stubs" / "ostrilo_ext" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    stubbed = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert stubbed == set(ostrilo_ext.__all__)
    # The reference page is drawn from the records and the prose: tests/test_docs.py checks that
    # its directives name every member.
    for name in ostrilo_ext.__all__:
        fn = getattr(ostrilo_ext, name)
        assert fn.__doc__ and len(fn.__doc__) > 40, name
        assert list(inspect.signature(fn).parameters)  # the text signature parses


def test_the_checks_do_not_pass_over_a_companion_that_fails_to_import(run_python):
    # The fuzzer, the leak test and the thread stress find the companion's entries through
    # entry_points; once, a companion that failed to import was left out of all three in silence.
    tools = str(Path(__file__).resolve().parent.parent / "tools")
    r = run_python(f"import sys; sys.path.insert(0, {tools!r})\n"
                   "import ostrilo_py, _ostrilo_py_shared\n"
                   "_ostrilo_py_shared.api = 7\n"
                   "from ostrilo_tools import entry_points\n"
                   "try:\n    entry_points.Surface()\nexcept ImportError as e:\n    print('refused:', e)\n")
    assert r.returncode == 0 and "refused: ostrilo_ext cannot take ostrilo_py's classes" in r.stdout, r.stdout + r.stderr
