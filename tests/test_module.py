"""Module registration and the properties every class shares."""
import inspect
import sys
import weakref
from pathlib import Path

import ostrilo_py
import pytest
from ostrilo_py import Vec3d


def _registration_order():
    """Each module's members in registration order, as its interface record lists them."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
    import make_stub

    records = make_stub.read_records(ostrilo_py.__file__)
    by_id = {r["id"]: r for r in records if "id" in r}
    return {r["name"]: [by_id[m]["name"] for m in r["members"]] for r in records if r["type"] == "module"}


ORDER = _registration_order()
MODULE_ALL, GEOMETRY_ALL = ORDER["ostrilo_py"], ORDER["geometry"]


def test_module_lists_and_docs():
    assert ostrilo_py.__all__ == MODULE_ALL
    assert ostrilo_py.geometry.__all__ == GEOMETRY_ALL
    assert ostrilo_py.__doc__ == "" and ostrilo_py.geometry.__doc__ == ""
    assert ostrilo_py.geometry.__name__ == "ostrilo_py.geometry"
    assert not hasattr(ostrilo_py, "VecListIterator")


def test_submodule_is_only_an_attribute(run_python):
    r = run_python(
        "import ostrilo_py\n"
        "try:\n    import ostrilo_py.geometry\nexcept ModuleNotFoundError:\n    print('refused')\n"
        "from ostrilo_py import geometry\nprint(geometry is ostrilo_py.geometry)\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["refused", "True"]


def public_classes():
    classes = [getattr(ostrilo_py, n) for n in ostrilo_py.__all__]
    classes += [getattr(ostrilo_py.geometry, n) for n in getattr(ostrilo_py.geometry, "__all__", [])]
    classes = [c for c in classes if isinstance(c, type)]
    return classes


@pytest.mark.parametrize("cls", public_classes(), ids=lambda c: c.__name__)
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ == ""
    assert cls.__text_signature__.startswith("(")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    cls.some_class_attribute = 1  # class objects are not frozen
    del cls.some_class_attribute


def test_instances_have_no_dict_and_no_weakrefs():
    v = Vec3d(1, 2, 3)
    with pytest.raises(AttributeError):
        v.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(v)


def test_text_signatures():
    assert Vec3d.__text_signature__ == "(x, y, z)"
    assert Vec3d.dot.__doc__ is None
    assert Vec3d.dot.__text_signature__ == "($self, other)"
    assert Vec3d.zero.__text_signature__ == "()"
    assert Vec3d.new_from_to.__text_signature__ == "(from, to)"
    assert list(inspect.signature(Vec3d.dot).parameters) == ["self", "other"]
    assert Vec3d.x.__doc__ is None


def test_reimport_reuses_classes_and_submodule():
    first = sys.modules.pop("ostrilo_py")
    try:
        import ostrilo_py as again

        assert again is not first
        assert again.Vec3d is first.Vec3d
        assert again.geometry is first.geometry
        assert again.__all__ == MODULE_ALL
    finally:
        sys.modules["ostrilo_py"] = first


def test_subinterpreter_import_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter runner")
    out = tmp_path / "out.txt"
    code = (
        "try:\n"
        "    import ostrilo_py\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    testcapi.run_in_subinterp(code)
    text = out.read_text()
    assert text.startswith("ImportError: "), text
