"""Writes the type stubs of ostrilo_py from the interface records of its built library.

Reads the exported "PYO3_INTROSPECTION_1_*" symbols out of the library file (it never imports
the module), rebuilds the module tree and writes a stub package: ostrilo_py/__init__.pyi,
ostrilo_py/geometry.pyi and the py.typed marker. Each stub's docstring is the prose entry of
its name in docs/api (tools/ostrilo_tools/api_prose.py), the same text the reference pages show.

Run it as tools/generate/make_stub.py LIBRARY [OUTPUT_DIR] (default OUTPUT_DIR: stubs/ostrilo_py),
with --check to compare instead (exit 1 when the files differ).
"""
from __future__ import annotations

import argparse
import json
import keyword
import re
import sys
from pathlib import Path

from . import api_prose, libfile

PREFIX = "PYO3_INTROSPECTION_1_"
ROOT = "ostrilo_py"

# What works at run time without a record of its own. A Vec3d iterates and unpacks through
# __getitem__ (the sequence protocol), which type checkers know only as __iter__; the buffer
# protocol is a type slot, which the interpreter shows as __buffer__ from Python 3.12 on.
BUFFER = ["if sys.version_info >= (3, 12):",
          "    def __buffer__(self, flags: builtins.int, /) -> builtins.memoryview: ...",
          "    def __release_buffer__(self, buffer: builtins.memoryview, /) -> None: ..."]
EXTRA_MEMBERS = {
    "Vec3d": ["def __iter__(self) -> collections.abc.Iterator[builtins.float]: ...", *BUFFER],
    "Quat": BUFFER,
    "VecList": BUFFER,
}

# Stub-only types for what a parameter accepts beyond its record's annotation. VecList(list)
# reads an (n, 3) buffer of float64 or float32 before it tries a sequence; no annotation can say
# "a buffer of doubles", so checkers are told of arrays (through the attribute every numpy array
# has, on every Python) and, from 3.12, of any buffer. Shape and item type are checked at run time.
STUB_TYPES = [
    "@typing.type_check_only",
    "class _ArrayOfDoubles(typing.Protocol):",
    '    """An ``(n, 3)`` array of float64 or float32 that exports its data through the buffer',
    "    protocol, such as a numpy array. Its shape and item type are checked when it is read; any",
    '    other array is read as a sequence of `Vec3d`."""',
    "    @property",
    "    def __array_interface__(self) -> builtins.dict[builtins.str, typing.Any]:",
    '        """The array\'s description of its data (numpy\'s array interface)."""',
    "",
    "if sys.version_info >= (3, 12):",
    "    _BufferOfDoubles: typing.TypeAlias = _ArrayOfDoubles | collections.abc.Buffer",
    "else:",
    "    _BufferOfDoubles: typing.TypeAlias = _ArrayOfDoubles",
]
# (function, parameter): (the record's annotation, the stub's); the first is checked, so that a
# change of the record is not hidden.
WIDENED = {
    ("VecList.__new__", "list"): ("collections.abc.Sequence[Vec3d]",
                                  "collections.abc.Sequence[Vec3d] | VecList | _BufferOfDoubles"),
}


def extra_def(line: str) -> tuple[str, str, list[str], str] | None:
    """(indent, name, parameter names, result) of an EXTRA_MEMBERS line that defines a method."""
    m = re.fullmatch(r"(\s*)def (\w+)\((.*)\) -> (.*): \.\.\.", line)
    if not m:
        return None
    params = [p.split(":")[0].strip() for p in m.group(3).split(",")[1:]]
    return m.group(1), m.group(2), [p for p in params if p and p != "/"], m.group(4)


def read_records(library: str | Path) -> list[dict]:
    """The records of the library, checked for their framing."""
    lib = libfile.read(library)
    records = []
    for sym in lib.exports:
        if not sym.name.startswith(PREFIX):
            continue
        raw = lib.symbol_bytes(sym)
        n = int.from_bytes(raw[:4], "little")
        if (4 + n + 3) // 4 * 4 != len(raw) or any(raw[4 + n:]):
            raise ValueError(f"{sym.name}: bad length or padding")
        records.append(json.loads(raw[4:4 + n].decode("utf-8")))
    return records


class Tree:
    def __init__(self, records: list[dict], prose: dict[str, dict[str, dict]] | None = None):
        self.prose = prose or {}
        self.by_id = {r["id"]: r for r in records if "id" in r}
        self.modules = [r for r in records if r["type"] == "module"]
        self.classes = [r for r in records if r["type"] == "class"]
        self.methods: dict[str, list[dict]] = {}
        for r in records:
            if r["type"] == "function" and "parent" in r:
                self.methods.setdefault(r["parent"], []).append(r)
        self.module_of: dict[str, str] = {}
        for m in self.modules:
            for member in m["members"]:
                self.module_of[member] = m["name"]
        # A class registered in no module (the list iterator) cannot be imported: its stub name
        # is private, as typeshed names such classes.
        for c in self.classes:
            if c["id"] not in self.module_of:
                c["name"] = "_" + c["name"]

    def expr(self, node: dict, module: str) -> str:
        t = node["type"]
        if t == "name":
            return node["id"]
        if t == "attribute":
            return f"{self.expr(node['value'], module)}.{node['attr']}"
        if t == "id":
            target = self.by_id[node["id"]]
            home = self.module_of.get(node["id"], ROOT)
            return target["name"] if home == module else f"{self.qualified_module(home)}.{target['name']}"
        if t == "subscript":
            return f"{self.expr(node['value'], module)}[{self.expr(node['slice'], module)}]"
        if t == "tuple":
            return ", ".join(self.expr(e, module) for e in node["elts"])
        if t == "binop":
            return f"{self.expr(node['left'], module)} | {self.expr(node['right'], module)}"
        if t == "constant":
            return "None"
        raise ValueError(f"unknown node {node}")

    def qualified_module(self, name: str) -> str:
        return ROOT if name == ROOT else f"{ROOT}.{name}"

    def docstring(self, module: str, name: str, indent: str, params: list[str] | None = None) -> list[str]:
        """The docstring of the stub of `name` from its prose entry; none without one."""
        entry = self.prose.get(module, {}).get(name)
        return api_prose.quoted(api_prose.docstring(entry, params or []), indent) if entry else []

    def function(self, f: dict, module: str, indent: str, owner: str | None = None) -> list[str]:
        lines = []
        setter = False
        for d in f.get("decorators", []):
            if d["type"] == "attribute" and d["attr"] == "setter":
                setter = True
                lines.append(f"{indent}@{d['value']['attr']}.setter")
            else:
                lines.append(f"{indent}@{self.expr(d, module)}")
        args = f["arguments"]
        params = [p["name"] for p in args.get("posonlyargs", [])]
        positional_only = False
        qualified = f["name"] if owner is None else f"{owner}.{f['name']}"
        for a in args.get("args", []):
            name = a["name"]
            annotation = self.expr(a["annotation"], module)
            if (qualified, name) in WIDENED:
                recorded, annotation = WIDENED[qualified, name]
                if self.expr(a["annotation"], module) != recorded:
                    raise ValueError(f"{qualified}({name}): the record now says "
                                     f"{self.expr(a['annotation'], module)}, not {recorded}: update WIDENED")
            text = f"{name}: {annotation}"
            if keyword.iskeyword(name):
                # A parameter named after a keyword can only be passed by position in typed code.
                text = f"{name}_: {annotation}"
                positional_only = True
            elif positional_only:
                params.append("/")
                positional_only = False
            params.append(text)
        if positional_only or (f["name"].startswith("__") and f["name"] != "__new__" and len(params) > 1):
            # Special methods are type slots, which take their operands by position only.
            params.append("/")
        ignore = "  # type: ignore[override]" if f["name"] in {"__eq__", "__ne__"} else ""
        returns = f["returns"]
        if f["name"] == "__next__" and returns["type"] == "binop" and returns["right"]["type"] == "constant":
            # The native slot signals the end of iteration with "no object": typed code sees
            # StopIteration, never None.
            returns = returns["left"]
        ret = self.expr(returns, module)
        name = f["name"] if owner is None else f"{owner}.{f['name']}"
        doc = [] if setter else self.docstring(module, name, indent + "    ", [a["name"] for a in args.get("args", [])])
        head = f"{indent}def {f['name']}({', '.join(params)}) -> {ret}:"
        lines += [head + ignore] + doc if doc else [f"{head} ...{ignore}"]
        return lines

    def klass(self, c: dict, module: str) -> list[str]:
        # A class registered nowhere has a private name in the stubs; its prose is under its own name.
        lines = ["@typing.final", f"class {c['name']}:"] + self.docstring(module, c["name"].lstrip("_"), "    ")
        methods = sorted(self.methods.get(c["id"], []),
                         key=lambda f: (f["name"] != "__new__", not f["name"].startswith("__"), f["name"],
                                        any(d.get("attr") == "setter" for d in f.get("decorators", []))))
        for f in methods:
            lines += self.function(f, module, "    ", c["name"].lstrip("_"))
        lines += self.extra_members(module, c["name"])
        return lines + [""]

    def extra_members(self, module: str, cls: str) -> list[str]:
        """The EXTRA_MEMBERS lines of cls, indented into the class, each def with its docstring."""
        out = []
        for line in EXTRA_MEMBERS.get(cls, []):
            d = extra_def(line)
            doc = self.docstring(module, f"{cls}.{d[1]}", "    " + d[0] + "    ", d[2]) if d else []
            out += ["    " + (line.removesuffix(" ...") if doc else line), *doc]
        return out

    def module_text(self, m: dict) -> str:
        name = m["name"]
        out = ["# Generated by tools/generate/make_stub.py from the interface records of the built library and the",
               "# prose of docs/api.", *self.docstring(name, name, ""), ""]
        out += ["import builtins", "import collections.abc", *(["import sys"] if name == ROOT else []), "import typing", ""]
        if name != ROOT:
            out += [f"import {ROOT}", ""]
        else:
            out += [f"from {ROOT} import geometry as geometry", ""]
            out += ["", *STUB_TYPES, ""]
        out.append(f"__all__ = {[self.by_id[i]['name'] for i in m['members']]!r}".replace("'", '"'))
        out.append("")
        body: list[str] = []
        for member in m["members"]:
            rec = self.by_id[member]
            if rec["type"] == "class":
                body += [""] + self.klass(rec, name)
            elif rec["type"] == "function":
                body += [""] + self.function(rec, name, "") + [""]
        if name == ROOT:  # classes that belong to no module are defined with the root
            for c in self.classes:
                if c["id"] not in self.module_of:
                    body += [""] + self.klass(c, name)
        text = "\n".join(out + body).rstrip() + "\n"
        while "\n\n\n\n" in text:
            text = text.replace("\n\n\n\n", "\n\n\n")
        return text


def stub_files(library: str | Path, prose_dir: str | Path = api_prose.PROSE_DIR) -> dict[str, str]:
    tree = Tree(read_records(library), api_prose.load(prose_dir))
    files = {"py.typed": ""}
    for m in tree.modules:
        files["__init__.pyi" if m["name"] == ROOT else f"{m['name']}.pyi"] = tree.module_text(m)
    return files


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("library")
    parser.add_argument("output", nargs="?", default=str(Path(__file__).resolve().parents[2] / "stubs" / ROOT))
    args = parser.parse_args()
    out = Path(args.output)
    files = stub_files(args.library)
    if args.check:
        stale = [n for n, t in files.items() if not (out / n).exists() or (out / n).read_text() != t]
        for n in stale:
            print(f"stale: {out / n}")
        return 1 if stale else 0
    out.mkdir(parents=True, exist_ok=True)
    for n, t in files.items():
        (out / n).write_text(t)
    return 0


if __name__ == "__main__":
    sys.exit(main())
