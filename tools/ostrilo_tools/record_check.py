"""What the interface records of a library say about themselves, checked without a count kept
anywhere else: each record is exported under the number its own content names, every record it
refers to is there, and every record is reachable from a module's record. The wheel check runs
this on each library it ships; how many records ostrilo_py has is pinned by its test
(tests/test_introspection.py), not here.
"""
from __future__ import annotations

import json
from pathlib import Path

from . import libfile

PREFIX = "PYO3_INTROSPECTION_1_"


def fnv1a64(text: str) -> int:
    h = 0xCBF29CE484222325
    for byte in text.encode("utf-8"):
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def read_numbered(library: str | Path) -> dict[int, dict]:
    """The records of a library by the number in their symbol's name."""
    lib = libfile.read(library)
    out = {}
    for sym in lib.exports:
        if sym.name.startswith(PREFIX):
            raw = lib.symbol_bytes(sym)
            n = int.from_bytes(raw[:4], "little")
            out[int(sym.name[len(PREFIX):])] = json.loads(raw[4:4 + n].decode("utf-8"))
    return out


def _ids(node):
    """The identifiers an annotation tree refers to."""
    if isinstance(node, dict):
        if node.get("type") == "id":
            yield node["id"]
        for v in node.values():
            yield from _ids(v)
    elif isinstance(node, list):
        for v in node:
            yield from _ids(v)


def _is_setter(record: dict) -> bool:
    return any(d.get("attr") == "setter" for d in record.get("decorators", []))


def problems(numbered: dict[int, dict], beneath: dict[int, dict] | None = None) -> list[str]:
    """What is wrong with a library's records, as readable lines (none: they are whole). The
    records of the library it builds on (`beneath`: ostrilo_py's, for the companion, whose
    annotations name ostrilo_py's classes) resolve references too."""
    out = []
    records = list(numbered.values())
    by_id = {r["id"]: r for r in [*(beneath or {}).values(), *records] if "id" in r}
    own = {r["id"]: r for r in records if "id" in r}
    modules = [r for r in records if r["type"] == "module"]
    if not modules:
        return ["no module record"]
    member_of = {m: mod["name"] for mod in modules for m in mod["members"]}
    named_in_annotations = {i for r in records for i in _ids({k: v for k, v in r.items() if k != "id"})}
    for number, r in sorted(numbered.items()):
        kind, name = r["type"], r["name"]
        if kind == "module":
            key = f"module:{name}"
            missing = [m for m in r["members"] if m not in own]
            if missing:
                out.append(f"module {name}: {len(missing)} member(s) without a record: {missing[:3]}")
        elif kind == "class":
            key = f"class:{name}"
            if r["id"] not in member_of and r["id"] not in named_in_annotations:
                out.append(f"class {name}: in no module and named by no annotation")
        elif "parent" in r:
            owner = own.get(r["parent"])
            if owner is None:
                out.append(f"method {name}: its class (id {r['parent']}) has no record")
                continue
            key = f"function:{owner['name']}.{name}" + (".setter" if _is_setter(r) else "")
        else:
            if r["id"] not in member_of:
                out.append(f"function {name}: in no module")
                continue
            key = f"function:{member_of[r['id']]}.{name}"
        if fnv1a64("record:" + key) != number:
            out.append(f"{key}: exported under {PREFIX}{number}, not under the number its content names")
        unresolved = [i for i in _ids({k: v for k, v in r.items() if k != "id"}) if i not in by_id]
        if unresolved:
            out.append(f"{key}: refers to {unresolved[:3]}, which have no record")
    return out
