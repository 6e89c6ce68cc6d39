"""The interface records exported by the library, and the committed stubs made from them."""
import json
from pathlib import Path

import ostrilo_py
import pytest
from ostrilo_tools import api_prose, libfile, make_stub

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


def test_counts_match_the_prose(records):
    """One record per module, class and callable that docs/api describes: the prose has a file per
    module and an entry per class (CapWords) and per callable, except that a property's getter and
    setter share one entry and the slots the stubs add without records (buffers, iteration) have
    entries of their own."""
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


def test_committed_stubs_are_current(tmp_path):
    files = make_stub.stub_files(ostrilo_py.__file__)
    stub_dir = ROOT / "stubs" / "ostrilo_py"
    for name, text in files.items():
        assert (stub_dir / name).read_text() == text, f"stubs/ostrilo_py/{name} is stale: run tools/generate/make_stub.py"
