"""Pickling of every public class, as the class tables declare it, and a pickle helper that
survives being reloaded or removed from sys.modules."""
import copy
import math
import pickle
import random
import struct
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import entry_points  # noqa: E402

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
import ostrilo_py
from ostrilo_py import Vec3d, VecList, geometry
values = [Vec3d(1, 2, 3), VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)]), geometry.Plane(Vec3d(0, 0, 2), 5.0),
          ostrilo_py.AngleDegrees(30)]
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
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_pickling_survives_the_helper_being_reloaded_or_removed(change, run_python):
    r = run_python(SCENARIO.format(change=change))
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stdout + r.stderr[-3000:]


def test_a_pickle_loads_before_anything_imported_ostrilo_py(run_python):
    data = pickle.dumps(SURFACE.make("Vec3d"))
    r = run_python(f"import pickle, sys\nv = pickle.loads({data!r})\nprint(type(v).__name__, 'ostrilo_py' in sys.modules)")
    assert r.returncode == 0 and r.stdout.split() == ["Vec3d", "True"], r.stderr[-3000:]


def test_classes_still_refuse_to_be_pickled_by_value_after_a_reload(run_python):
    r = run_python(
        "import importlib, pickle, _ostrilo_py_pickle, ostrilo_py\n"
        "importlib.reload(_ostrilo_py_pickle)\n"
        "try:\n    pickle.dumps(ostrilo_py.geometry.Plane.distance_to_point)\n"
        "except pickle.PicklingError as e:\n    print(e)\n")
    assert r.returncode == 0 and "as ostrilo_py.geometry.Plane" in r.stdout, r.stdout + r.stderr[-3000:]
