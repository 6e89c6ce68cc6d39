"""The interface records exported by the library, and the committed stubs made from them."""
import json
from pathlib import Path

import ostrilo_py
import pytest
from ostrilo_tools import api_prose, entry_points, libfile, make_stub, record_check, stub_allowlist

ROOT = Path(__file__).resolve().parent.parent

PREFIX = "PYO3_INTROSPECTION_1_"


@pytest.fixture(scope="module")
def symbols():
    lib = libfile.read(ostrilo_py.__file__)
    syms = [s for s in lib.exports if s.name.startswith(PREFIX)]
    return lib, syms


@pytest.fixture(scope="module")
def records():
    return make_stub.read_records(ostrilo_py.__file__)


def test_framing_and_padding(symbols):
    lib, syms = symbols
    for s in syms:
        assert s.name[len(PREFIX):].isdigit() and int(s.name[len(PREFIX):]) < 2**64
        raw = lib.symbol_bytes(s)
        n = int.from_bytes(raw[:4], "little")
        assert s.size == (4 + n + 3) // 4 * 4
        assert raw[4 + n:] == bytes(s.size - 4 - n)
        text = raw[4:4 + n].decode("utf-8")
        assert text == json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False)
    assert len({s.name for s in syms}) == len(syms)


def test_the_interface_is_its_164_records(records):
    """ostrilo_py's public interface is fixed: a record more or fewer (a module, class or callable)
    is a change of that interface. This is the one place that counts them."""
    assert len(records) == 164


def drop(numbered, key):
    return {n: r for n, r in numbered.items() if n != record_check.fnv1a64("record:" + key)}


# The check the wheels go through, against libraries that lost a record or show one under a wrong
# name: records are whole without a count kept beside them.
DAMAGE = {
    "whole": (lambda core: core, []),
    "a class lost": (lambda core: drop(core, "class:Quat"), ["module ostrilo_py: 1 member(s) without a record",
                                                             "method __new__: its class", "Vec3d.to_quat: refers to"]),
    "a module function lost": (lambda core: drop(core, "function:geometry.plane_line"),
                               ["module geometry: 1 member(s) without a record"]),
    "a record under another number": (lambda core: {n + (r.get("name") == "dot"): r for n, r in core.items()},
                                      ["function:Vec3d.dot: exported under", "function:VecList.dot: exported under"]),
}


@pytest.mark.parametrize("damage, found", DAMAGE.values(), ids=DAMAGE.keys())
def test_the_records_check_finds_what_a_library_lost(damage, found):
    core = record_check.read_numbered(ostrilo_py.__file__)
    problems = record_check.problems(damage(core))
    assert all(any(f in p for p in problems) for f in found) and bool(problems) == bool(found), problems
    ext = pytest.importorskip("ostrilo_ext")
    assert record_check.problems(record_check.read_numbered(ext.__file__), core) == []


def test_the_reflected_operators_the_stubs_leave_out_are_derived_and_answer_not_implemented(records):
    """stubtest allows the reflected operators that the records imply without listing them: each
    such method answers NotImplemented for every operand of another type (the interpreter calls a
    reflected method only then), so the stub rightly leaves it out; and no class has a reflected
    method beyond its records and those."""
    surface = entry_points.Surface()
    ext = pytest.importorskip("ostrilo_ext")
    left_out = stub_allowlist.unrecorded_reflected(records + make_stub.read_records(ext.__file__))
    assert left_out, "the records have operators without a reflected form"
    recorded = {(e.owner, e.name) for e in surface.entries}
    for name in surface.classes:
        cls = surface.cls(name)
        reflected = {f"__r{op}__" for op in stub_allowlist.BINARY}
        extra = {(name, m) for m in vars(cls) if m in reflected and (name, m) not in recorded}
        assert extra <= {(c, m) for _, c, m in left_out}, extra
    for module, name, method in left_out:
        assert module == ostrilo_py.__name__ and surface.cls(name).__name__ == name
        receiver = surface.make(name)
        others = [1.5, 2, -0.0, *(surface.make(c) for c in ("Vec3d", "VecList", "Quat", "AngleRadians"))]
        for other in (o for o in others if type(o) is not type(receiver)):
            assert getattr(receiver, method)(other) is NotImplemented, (name, method, other)


def test_counts_match_the_prose(records):
    """One record per module, class and callable that docs/api describes, over both libraries: the
    prose has a file per module and an entry per class (CapWords) and per callable, except that a
    property's getter and setter share one entry and the slots the stubs add without records
    (buffers, iteration) have entries of their own."""
    import ostrilo_ext

    records = records + make_stub.read_records(ostrilo_ext.__file__)
    prose = api_prose.load()
    entries = [name for module in prose.values() for name in module if name not in prose]
    classes = [n for n in entries if "." not in n and n[0].isupper()]
    callables = [n for n in entries if n not in classes]
    unrecorded = [line for lines in make_stub.EXTRA_MEMBERS.values() for line in lines if make_stub.extra_def(line)]
    setters = [r for r in records if r["type"] == "function" and r.get("decorators", [{}])[0].get("attr") == "setter"]
    kinds = [r["type"] for r in records]
    assert kinds.count("module") == len(prose)
    assert kinds.count("class") == len(classes)
    assert kinds.count("function") == len(callables) - len(unrecorded) + len(setters)
    assert len(classes) >= 8 and len(callables) >= 100  # the prose was read


def walk(node):
    if isinstance(node, dict):
        if node.get("type") == "id":
            yield node["id"]
        for v in node.values():
            yield from walk(v)
    elif isinstance(node, list):
        for v in node:
            yield from walk(v)


def test_references_resolve_and_owners_are_consistent(records):
    ids = [r["id"] for r in records if "id" in r]
    assert len(ids) == len(set(ids))
    defined = set(ids)
    for r in records:
        refs = list(walk(r))
        refs += r.get("members", []) + ([r["parent"]] if "parent" in r else [])
        assert set(refs) <= defined, r
        if r["type"] == "function":
            assert ("parent" in r) != ("id" in r), r


def test_module_members_in_registration_order(records):
    by_id = {r["id"]: r for r in records if "id" in r}
    modules = {r["name"]: [by_id[m]["name"] for m in r["members"]] for r in records if r["type"] == "module"}
    assert modules == {"ostrilo_py": ostrilo_py.__all__, "geometry": ostrilo_py.geometry.__all__}
    assert all(r["incomplete"] is False for r in records if r["type"] == "module")


def runtime_classes():
    classes = {n: getattr(ostrilo_py, n) for n in ostrilo_py.__all__ if isinstance(getattr(ostrilo_py, n), type)}
    classes.update({n: getattr(ostrilo_py.geometry, n) for n in ostrilo_py.geometry.__all__
                    if isinstance(getattr(ostrilo_py.geometry, n), type)})
    classes["VecListIterator"] = type(iter(ostrilo_py.VecList.empty()))
    return classes


def test_functions_per_class_match_the_runtime(records):
    classes = {r["id"]: r["name"] for r in records if r["type"] == "class"}
    described: dict[str, set[str]] = {name: set() for name in classes.values()}
    for r in records:
        if r["type"] == "function" and "parent" in r:
            described[classes[r["parent"]]].add(r["name"])
    for name, cls in runtime_classes().items():
        own = {a for a in vars(cls) if a not in ("__doc__", "__module__", "__hash__", "__new__")}
        # The interpreter adds every comparison wrapper for a rich comparison slot, __ne__ derived
        # from __eq__, the reflected forms of each number slot, and (3.12+) the buffer slots' methods.
        implied = {"__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__radd__", "__rsub__", "__rtruediv__",
                   "__rmul__", "__getitem__", "__len__", "__iter__", "__next__", "__buffer__", "__release_buffer__"}
        assert described[name] - {"__new__", "__hash__"} <= own | {"__hash__"}, name
        assert own - implied <= described[name], name


@pytest.mark.parametrize("module_name", ["ostrilo_py", "ostrilo_ext"])
def test_committed_stubs_are_current(module_name):
    import importlib

    files = make_stub.stub_files(importlib.import_module(module_name).__file__)
    stub_dir = ROOT / "stubs" / module_name
    for name, text in files.items():
        assert (stub_dir / name).read_text() == text, f"stubs/{module_name}/{name} is stale: run tools/generate/make_stub.py"


@pytest.mark.parametrize("module_name", ["ostrilo_py", "ostrilo_ext"])
def test_text_signatures_say_what_the_records_say(module_name):
    """inspect.signature reads the docstring's text signature; a call by keyword uses the entry's
    own names. Both must be the record's parameters, with its defaults."""
    import importlib
    import inspect

    module = importlib.import_module(module_name)
    recs = make_stub.read_records(module.__file__)
    classes = {r["id"]: r["name"] for r in recs if r["type"] == "class"}
    owners = runtime_classes()
    owners.update({n: getattr(module, n) for n in classes.values() if hasattr(module, n)})
    checked = 0
    for r in recs:
        if r["type"] != "function" or r.get("decorators") or (r["name"].startswith("__") and r["name"] != "__new__"):
            continue
        args = r["arguments"].get("args", [])
        if "parent" in r:
            owner = owners[classes[r["parent"]]]
            target = owner if r["name"] == "__new__" else getattr(owner, r["name"])
        else:
            target = getattr(module, r["name"], None) or getattr(ostrilo_py.geometry, r["name"])
        sig = inspect.signature(target)
        params = [p for p in sig.parameters.values() if p.name not in ("self", "$self")]
        assert [p.name for p in params] == [a["name"] for a in args], r["name"]
        for p, a in zip(params, args):
            expected = inspect.Parameter.empty if "default" not in a else eval(a["default"])  # noqa: S307
            assert p.default == expected and type(p.default) is type(expected), (r["name"], p.name)
        checked += 1
    assert checked >= 15
