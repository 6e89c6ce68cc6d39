"""Pickling of every public class, as the class tables declare it, and a pickle helper that
survives being reloaded or removed from sys.modules."""
import copy
import copyreg
import math
import pathlib
import pickle
import random
import struct

import pytest
from ostrilo_tools import entry_points

SURFACE = entry_points.Surface()
# Every class that a module of the interface records lists (a class without pickling fails here).
PUBLIC = sorted(name for name, cls in SURFACE.classes.items() if cls is not None)
WAYS = {f"protocol-{p}": (lambda x, p=p: pickle.loads(pickle.dumps(x, protocol=p)))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)}


def nan_alike(state):
    """Protocol 0 writes floats as text: a NaN comes back as the NaN of float('nan')."""
    if isinstance(state, bytes) and len(state) == 8 and math.isnan(struct.unpack("<d", state)[0]):
        return "nan"
    if isinstance(state, (list, tuple)):
        return [nan_alike(s) for s in state]
    return state
WAYS["copy"], WAYS["deepcopy"] = copy.copy, copy.deepcopy


def test_the_records_list_the_public_classes():
    assert len(PUBLIC) >= 7 and "VecListIterator" not in PUBLIC


@pytest.mark.parametrize("how", WAYS.values(), ids=WAYS.keys())
@pytest.mark.parametrize("name", PUBLIC)
def test_every_public_class_round_trips(name, how):
    assert SURFACE.cls(name) in copyreg.dispatch_table, (
        f"{name} declares no pickling: add Pickled<...> to its class table (frame/pickling.hpp), "
        f"naming a reconstructor of _ostrilo_py_pickle.py")
    rng = random.Random(name)
    for _ in range(5):
        original = SURFACE.make(name, rng)
        twin = how(original)
        assert type(twin) is type(original) and twin is not original
        fold = nan_alike if how is WAYS["protocol-0"] else (lambda s: s)
        assert fold(entry_points.state(SURFACE, twin)) == fold(entry_points.state(SURFACE, original))


# Each scenario runs in a fresh interpreter: it changes sys.modules and copyreg for good.
SCENARIO = """
import copy, importlib, pickle, sys
import ostrilo_ext, ostrilo_py
from ostrilo_py import Vec3d, VecList, geometry
values = [Vec3d(1, 2, 3), VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)]), geometry.Plane(Vec3d(0, 0, 2), 5.0),
          ostrilo_py.AngleDegrees(30), ostrilo_ext.SpatialIndex([[1.0, 2.0, 3.0], [-0.0, 5.0, 6.0]])]
state = lambda o: pickle.dumps(o, protocol=2)
before = [pickle.dumps(v, protocol=p) for v in values for p in (2, 4, 5)]
{change}
for v in values:
    assert state(copy.copy(v)) == state(v) and state(copy.deepcopy(v)) == state(v)
    for p in range(pickle.HIGHEST_PROTOCOL + 1):
        assert state(pickle.loads(pickle.dumps(v, protocol=p))) == state(v), (v, p)
assert [state(pickle.loads(b)) for b in before] == [state(v) for v in values for p in (2, 4, 5)]
print("ok")
"""
CHANGES = {
    "reload": "import _ostrilo_py_pickle\nimportlib.reload(_ostrilo_py_pickle)",
    "reload-twice": "import _ostrilo_py_pickle\nimportlib.reload(importlib.reload(_ostrilo_py_pickle))",
    "removal": 'del sys.modules["_ostrilo_py_pickle"]',
    "removal-then-loads-first": 'del sys.modules["_ostrilo_py_pickle"]\nassert pickle.loads(before[0]) == values[0]',
    "removal-then-reimport-of-ostrilo_py": 'del sys.modules["_ostrilo_py_pickle"], sys.modules["ostrilo_py"]\n'
                                           'import ostrilo_py',
    "reload-of-the-old-companion-helper": "import _ostrilo_ext_pickle\nimportlib.reload(_ostrilo_ext_pickle)",
    "removal-then-reimport-of-ostrilo_ext": 'del sys.modules["_ostrilo_py_pickle"], sys.modules["ostrilo_ext"]\n'
                                            'import ostrilo_ext',
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_pickling_survives_the_helper_being_reloaded_or_removed(change, run_python):
    r = run_python(SCENARIO.format(change=change))
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stdout + r.stderr[-3000:]


def test_a_pickle_loads_before_anything_imported_ostrilo_py(run_python):
    data = pickle.dumps(SURFACE.make("Vec3d"))
    r = run_python(f"import pickle, sys\nv = pickle.loads({data!r})\nprint(type(v).__name__, 'ostrilo_py' in sys.modules)")
    assert r.returncode == 0 and r.stdout.split() == ["Vec3d", "True"], r.stderr[-3000:]


@pytest.mark.parametrize("method, home", [("ostrilo_py.geometry.Plane.distance_to_point", "ostrilo_py.geometry.Plane"),
                                          ("ostrilo_ext.SpatialIndex.query", "ostrilo_ext.SpatialIndex")])
def test_classes_still_refuse_to_be_pickled_by_value_after_a_reload(method, home, run_python):
    r = run_python(
        "import importlib, pickle, _ostrilo_py_pickle, ostrilo_py, ostrilo_ext\n"
        "importlib.reload(_ostrilo_py_pickle)\n"
        f"try:\n    pickle.dumps({method})\n"
        "except pickle.PicklingError as e:\n    print(e)\n")
    assert r.returncode == 0 and f"as {home}," in r.stdout, r.stdout + r.stderr[-3000:]


def test_a_reconstructor_missing_from_the_helper_fails_the_registration_naming_the_fix():
    import _ostrilo_py_pickle
    import ostrilo_ext

    with pytest.raises(TypeError) as info:
        _ostrilo_py_pickle.register(ostrilo_ext, [(ostrilo_ext.SpatialIndex, "no_such_reconstructor", ("points",))])
    assert str(info.value).startswith('ostrilo_ext.SpatialIndex declares Pickled<"no_such_reconstructor", "points">')
    assert "add it to _ostrilo_py_pickle.py" in str(info.value)
    assert getattr(copyreg.dispatch_table[ostrilo_ext.SpatialIndex], "_ostrilo_pickle") == ("spatial_index", None)


# Written by version 0.1.0, whose companion pickled through a helper of its own
# (_ostrilo_ext_pickle): the points [[0, -0, 1.5], [nan, 2, 3], [1e-310, -1e300, inf], [4, 5, 6]].
OLD_SPATIAL_POINTS = [0.0, -0.0, 1.5, math.nan, 2.0, 3.0, 1e-310, -1e300, math.inf, 4.0, 5.0, 6.0]


@pytest.mark.parametrize("protocol", [2, 5])
def test_spatial_index_pickles_of_the_first_release_keep_loading(protocol):
    data = (pathlib.Path(__file__).parent / "data" / f"spatial-index-p{protocol}.pickle").read_bytes()
    index = pickle.loads(data)
    assert type(index).__name__ == "SpatialIndex" and len(index) == 4
    words = lambda values: [struct.pack("<d", v) for v in values]  # noqa: E731
    assert words(c for row in index.points.to_array() for c in row) == words(OLD_SPATIAL_POINTS)
    assert b"_ostrilo_ext_pickle" not in pickle.dumps(index, protocol=protocol)
