"""What mypy's stubtest is told to allow (tools/check/stubtest.py), as far as the interface records
say it: the reflected operators that the interpreter exposes and the stubs leave out.

A binary number slot serves both operand orders, so the interpreter gives a class that declares
`__add__` a `__radd__` as well. Where the class table declares no reflected form, that method
answers NotImplemented for every operand of another type, the only ones the interpreter calls it
with (the other operand's own method, or the interpreter's TypeError, decides), and the stub does
not declare it: the records' operator entries without their reflected twin are exactly those
methods. What the records cannot say stays hand-written, with
its reason, in stubs/stubtest-allowlist.txt.
"""
from __future__ import annotations

import re

# The binary number operators; each has a reflected form, __r<name>__. Every operator of our
# class tables is a number slot (Binary<Py_nb_...>), never a sequence slot, which has none.
BINARY = ("add", "sub", "mul", "truediv", "floordiv", "mod", "divmod", "pow", "matmul", "lshift", "rshift", "and",
          "or", "xor")


def module_paths(records: list[dict]) -> dict[str, str]:
    """Module identifier -> import path ("ostrilo_py.geometry" for the submodule)."""
    modules = {r["id"]: r for r in records if r["type"] == "module"}
    parent = {m: mid for mid, r in modules.items() for m in r["members"] if m in modules}

    def path(mid):
        return modules[mid]["name"] if mid not in parent else f"{path(parent[mid])}.{modules[mid]['name']}"

    return {mid: path(mid) for mid in modules}


def unrecorded_reflected(records: list[dict]) -> list[tuple[str, str, str]]:
    """(module path, class, method) for each reflected operator the interpreter exposes without a
    record of its own."""
    paths = module_paths(records)
    home = {m: paths[r["id"]] for r in records if r["type"] == "module" for m in r["members"]}
    top = next(p for p in paths.values() if "." not in p)
    classes = {r["id"]: r["name"] for r in records if r["type"] == "class"}
    methods: dict[str, set[str]] = {cid: set() for cid in classes}
    for r in records:
        if r["type"] == "function" and r.get("parent") in methods:
            methods[r["parent"]].add(r["name"])
    out = []
    for cid, names in methods.items():
        for op in BINARY:
            if f"__{op}__" in names and f"__r{op}__" not in names:
                out.append((home.get(cid, top), classes[cid], f"__r{op}__"))
    return sorted(out)


def allowlist_lines(records: list[dict]) -> list[str]:
    """The allow-list entries (regular expressions, one a line) for the methods above."""
    return [re.escape(f"{module}.{cls}.{method}") for module, cls, method in unrecorded_reflected(records)]
