"""The companion module ostrilo_ext: it works on ostrilo_py's own classes and leaves ostrilo_py as
it was."""

import math
import random

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
