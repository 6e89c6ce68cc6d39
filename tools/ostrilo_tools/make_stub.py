"""Writes the type stubs of a module from the interface records of its built library.

Reads the exported "PYO3_INTROSPECTION_1_*" symbols out of the library file (it never imports
the module), rebuilds the module tree and writes a stub package: for ostrilo_py
ostrilo_py/__init__.pyi, ostrilo_py/geometry.pyi and the py.typed marker; for the companion
ostrilo_ext/__init__.pyi and py.typed. Each stub's docstring is the prose entry of its name in
docs/api (tools/ostrilo_tools/api_prose.py), the same text the reference pages show; where the
prose gives typed signatures, they replace the record's annotations (checked against its names
and defaults). The companion's records name ostrilo_py's classes, whose records are read from
ostrilo_py's library beside it; its stub imports them by name.

Run it as tools/generate/make_stub.py LIBRARY [OUTPUT_DIR] (default OUTPUT_DIR: stubs/<module>),
with --check to compare instead (exit 1 when the files differ).
"""
from __future__ import annotations

import argparse
import ast
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


# Names a signature or alias of the prose may use unqualified, as the stubs write them.
QUALIFIED = {
    **{n: f"builtins.{n}" for n in ("bool", "bytes", "dict", "float", "int", "list", "memoryview", "object", "slice",
                                      "str", "tuple", "type")},
    **{n: f"collections.abc.{n}" for n in ("Buffer", "Callable", "Iterable", "Iterator", "Sequence")},
    **{n: f"typing.{n}" for n in ("Any", "Literal")},
}
# Modules a type of the prose may name by attribute ("numpy.typing.NDArray"), and what each needs
# imported.
MODULES = {"numpy": "numpy", "numpy.typing": "numpy.typing", "math": "math"}


def library_beside(library: str | Path, module: str) -> Path:
    """The library of `module` in the folder of `library` (the companion's records name ostrilo_py's
    classes, whose library is installed and built beside it)."""
    found = sorted(Path(library).resolve().parent.glob(f"{module}.*.so")) + sorted(
        Path(library).resolve().parent.glob(f"{module}.so"))
    if not found:
        raise FileNotFoundError(f"no {module} library beside {library}")
    return found[0]


class Tree:
    def __init__(self, records: list[dict], prose: dict[str, dict[str, dict]] | None = None,
                 imported: list[dict] = ()):
        """records: one library's; imported: the records of a library whose classes these name
        (ostrilo_py's, for the companion), read for their names only."""
        self.prose = prose or {}
        self.by_id = {r["id"]: r for r in [*imported, *records] if "id" in r}
        self.modules = [r for r in records if r["type"] == "module"]
        self.classes = [r for r in records if r["type"] == "class"]
        self.methods: dict[str, list[dict]] = {}
        for r in records:
            if r["type"] == "function" and "parent" in r:
                self.methods.setdefault(r["parent"], []).append(r)
        every_module = [r for r in [*imported, *records] if r["type"] == "module"]
        self.module_of: dict[str, str] = {}
        for m in every_module:
            for member in m["members"]:
                self.module_of[member] = m["name"]
        # A module that is a member of another is its submodule (ostrilo_py.geometry).
        self.qualified: dict[str, str] = {}
        for m in every_module:
            name, parent = m["name"], self.module_of.get(m["id"])
            while parent is not None:
                name = f"{parent}.{name}"
                parent = self.module_of.get(next(x["id"] for x in every_module if x["name"] == parent))
            self.qualified[m["name"]] = name
        # The classes of the imported library, by name, which a stub imports by name.
        self.foreign = {r["name"]: r["id"] for r in imported if r["type"] == "class" and r["id"] in self.module_of}
        self.imports: set[str] = set()  # of the module being written: the foreign class ids it names
        # A class registered in no module (the list iterator) cannot be imported: its stub name
        # is private, as typeshed names such classes.
        for c in self.classes:
            if c["id"] not in self.module_of:
                c["name"] = "_" + c["name"]

    def expr(self, node: dict, module: str) -> str:
        t = node["type"]
        if t == "text":  # a type the prose wrote, already qualified (typed_signatures)
            return node["text"]
        if t == "name":
            return node["id"]
        if t == "attribute":
            return f"{self.expr(node['value'], module)}.{node['attr']}"
        if t == "id":
            target = self.by_id[node["id"]]
            home = self.module_of.get(node["id"], ROOT)
            if node["id"] in self.foreign.values():
                self.imports.add(node["id"])
                return target["name"]
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
        return self.qualified.get(name, name)

    def aliases(self, module: str) -> dict[str, str]:
        return self.prose.get(module, {}).get(module, {}).get("aliases", {})

    def qualify(self, node: ast.expr, module: str, expand: bool = False) -> str:
        """A type the prose wrote, as the stub of `module` writes it: builtins and the names of
        collections.abc and typing qualified, ostrilo_py's classes by name (imported), the
        module's aliases by name or, with expand, written out (for the reference pages)."""
        own = {self.by_id[i]["name"] for m in self.modules if m["name"] == module for i in m["members"]}
        aliases = self.aliases(module)

        def walk(n: ast.AST) -> ast.AST:
            if isinstance(n, ast.Attribute):
                dotted = ast.unparse(n)
                root = dotted.rsplit(".", 1)[0]
                if root not in MODULES:
                    raise ValueError(f"{dotted}: a type from a module the stub does not import")
                self.imports.add(MODULES[root])
                return n
            if isinstance(n, ast.Name):
                if n.id in QUALIFIED:
                    return ast.parse(QUALIFIED[n.id], mode="eval").body
                if n.id in aliases:
                    return walk(ast.parse(aliases[n.id], mode="eval").body) if expand else n
                if n.id in self.foreign and n.id not in own:
                    self.imports.add(self.foreign[n.id])
                    return n
                if n.id in own or n.id == "None":
                    return n
                raise ValueError(f"{n.id}: a type the stub of {module} does not know")
            for field, value in ast.iter_fields(n):
                if isinstance(value, ast.AST):
                    setattr(n, field, walk(value))
                elif isinstance(value, list):
                    setattr(n, field, [walk(v) if isinstance(v, ast.AST) else v for v in value])
            return n

        return ast.unparse(walk(ast.parse(ast.unparse(node), mode="eval").body))

    def typed_signatures(self, f: dict, module: str, key: str, expand: bool = False) -> list[tuple[dict, str]]:
        """The forms of the function record f for its stub: [(f, "")] when its prose entry `key`
        gives no signatures, else one record per signature, with the prose's types (as "text"
        nodes) and defaults, and the comment the signature carries. ValueError when a signature
        does not match the record's names and defaults."""
        texts = self.prose.get(module, {}).get(key, {}).get("signatures", [])
        if not texts:
            return [(f, "")]
        args = f["arguments"].get("args", [])
        defaults = {a["name"]: a["default"] for a in args if "default" in a}
        out = []
        for text in texts:
            sig = api_prose.signature(text)
            if bad := sig.problems([a["name"] for a in args], defaults, len(texts) > 1):
                raise ValueError(f"{module}.{key}: {'; '.join(bad)}")
            forms = []
            for name, annotation, default in sig.params:
                a = {"name": name, "annotation": {"type": "text", "text": self.qualify(annotation, module, expand)}}
                forms.append(a | ({"default": default} if default is not None else {}))
            returns = {"type": "text", "text": self.qualify(sig.returns, module, expand)}
            out.append((f | {"arguments": f["arguments"] | {"args": forms}, "returns": returns}, sig.comment))
        return out

    def docstring(self, module: str, name: str, indent: str, params: list[str] | None = None) -> list[str]:
        """The docstring of the stub of `name` from its prose entry; none without one."""
        entry = self.prose.get(module, {}).get(name)
        return api_prose.quoted(api_prose.docstring(entry, params or []), indent) if entry else []

    def function(self, f: dict, module: str, indent: str, owner: str | None = None) -> list[str]:
        qualified = f["name"] if owner is None else f"{owner}.{f['name']}"
        forms = self.typed_signatures(f, module, qualified)
        lines = []
        for n, (form, comment) in enumerate(forms):
            last = n == len(forms) - 1
            if len(forms) > 1:
                lines.append(f"{indent}@typing.overload")
            lines += self.one_function(form, module, indent, qualified, last, comment)
        return lines

    def one_function(self, f: dict, module: str, indent: str, qualified: str, with_doc: bool = True,
                     comment: str = "") -> list[str]:
        """One def of the stub; its docstring (the prose of `qualified`) only with_doc."""
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
        for a in args.get("args", []):
            name = a["name"]
            annotation = self.expr(a["annotation"], module)
            if (qualified, name) in WIDENED:
                recorded, annotation = WIDENED[qualified, name]
                if self.expr(a["annotation"], module) != recorded:
                    raise ValueError(f"{qualified}({name}): the record now says "
                                     f"{self.expr(a['annotation'], module)}, not {recorded}: update WIDENED")
            default = f" = {a['default']}" if "default" in a else ""
            if default.startswith(" = math."):  # a default the frame writes as math.inf
                self.imports.add("math")
            text = f"{name}: {annotation}{default}"
            if keyword.iskeyword(name):
                # A parameter named after a keyword can only be passed by position in typed code.
                text = f"{name}_: {annotation}{default}"
                positional_only = True
            elif positional_only:
                params.append("/")
                positional_only = False
            params.append(text)
        if positional_only or (f["name"].startswith("__") and f["name"] != "__new__" and len(params) > 1):
            # Special methods are type slots, which take their operands by position only.
            params.append("/")
        ignore = "  # type: ignore[override]" if f["name"] in {"__eq__", "__ne__"} else ""
        if comment:
            ignore = f"  {comment}"
        returns = f["returns"]
        if f["name"] == "__next__" and returns["type"] == "binop" and returns["right"]["type"] == "constant":
            # The native slot signals the end of iteration with "no object": typed code sees
            # StopIteration, never None.
            returns = returns["left"]
        ret = self.expr(returns, module)
        with_doc = with_doc and not setter
        doc = self.docstring(module, qualified, indent + "    ", [a["name"] for a in args.get("args", [])]) if with_doc else []
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
        qualified = self.qualified_module(name)
        self.imports = set()
        head = ["# Generated by tools/generate/make_stub.py from the interface records of the built library and the",
                "# prose of docs/api.", *self.docstring(name, name, ""), ""]
        head += ["import builtins", "import collections.abc", *(["import sys"] if name == ROOT else []), "import typing", ""]
        out: list[str] = []
        if "." in qualified:  # a submodule names the classes of its package through it
            out += [f"import {qualified.split('.')[0]}", ""]
        for sub in (r for r in self.modules if self.module_of.get(r["id"]) == name):
            out += [f"from {qualified} import {sub['name']} as {sub['name']}", ""]
        if name == ROOT:
            out += ["", *STUB_TYPES, ""]
        out.append(f"__all__ = {[self.by_id[i]['name'] for i in m['members']]!r}".replace("'", '"'))
        out.append("")
        for alias, text in self.aliases(name).items():
            out.append(f"{alias}: typing.TypeAlias = {self.qualify(ast.parse(text, mode='eval').body, name)}")
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
        # What the types above named: modules, then the imported library's classes by name.
        modules = sorted(i for i in self.imports if i in MODULES.values())
        if modules:
            head += [f"import {i}" for i in modules] + [""]
        by_module: dict[str, list[str]] = {}
        for i in self.imports - set(modules):
            by_module.setdefault(self.qualified_module(self.module_of[i]), []).append(self.by_id[i]["name"])
        if by_module:
            head += [f"from {mod} import {', '.join(sorted(names))}" for mod, names in sorted(by_module.items())] + [""]
        text = "\n".join(head + out + body).rstrip() + "\n"
        while "\n\n\n\n" in text:
            text = text.replace("\n\n\n\n", "\n\n\n")
        return text


def stub_files(library: str | Path, prose_dir: str | Path = api_prose.PROSE_DIR) -> dict[str, str]:
    """File name -> text of the stub package of the library's module. A library whose records
    name classes it does not define reads them from ostrilo_py's library beside it."""
    records = read_records(library)
    ids = {r["id"] for r in records if "id" in r}
    named = {i for r in records for i in _ids(r)}
    imported = read_records(library_beside(library, ROOT)) if named - ids else []
    tree = Tree(records, api_prose.load(prose_dir), imported)
    files = {"py.typed": ""}
    for m in tree.modules:
        files["__init__.pyi" if m["id"] not in tree.module_of else f"{m['name']}.pyi"] = tree.module_text(m)
    return files


def root_module(library: str | Path) -> str:
    """The name of the top module of a library (the one no other module has as a member)."""
    records = read_records(library)
    members = {i for r in records if r["type"] == "module" for i in r["members"]}
    return next(r["name"] for r in records if r["type"] == "module" and r["id"] not in members)


def _ids(node) -> list[str]:
    """The ids a record's types refer to."""
    if isinstance(node, dict):
        own = [node["id"]] if node.get("type") == "id" else []
        return own + [i for v in node.values() for i in _ids(v)]
    if isinstance(node, list):
        return [i for v in node for i in _ids(v)]
    return []


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("library")
    parser.add_argument("output", nargs="?", help="default: stubs/<module>")
    args = parser.parse_args()
    out = Path(args.output or Path(__file__).resolve().parents[2] / "stubs" / root_module(args.library))
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
