"""Writes the exported interface records of the module from the descriptions in its objects.

The class tables of the extension describe every Python-visible function at compile time and
place those descriptions in the section ".ostrilo_interface" of their object files. This step
reads them back, turns them into one compact JSON record per module, class and function, and
writes a C++ source that defines one exported, read-only symbol per record:
"PYO3_INTROSPECTION_1_<n>" holding a 32-bit little-endian length, the JSON text and zero
padding to a multiple of four bytes.

Usage: gen_records.py -o OUTPUT.cpp OBJECT...
"""
from __future__ import annotations

import argparse
import ast
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from elf import ElfFile  # noqa: E402

SECTION = ".ostrilo_interface"
PREFIX = "PYO3_INTROSPECTION_1_"
BUILTINS = {"float", "int", "bool", "str", "list", "tuple", "object", "bytes", "dict", "set"}
ROOT = "ostrilo_py"


def fnv1a64(text: str) -> int:
    h = 0xCBF29CE484222325
    for b in text.encode("utf-8"):
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def ident(kind: str, name: str) -> str:
    return str(fnv1a64(f"{kind}:{name}"))


def name_node(name: str) -> dict:
    return {"type": "name", "id": name}


def attribute(value: dict, attr: str) -> dict:
    return {"type": "attribute", "value": value, "attr": attr}


class Annotations:
    def __init__(self, classes: dict[str, str]):
        self.classes = classes

    def convert(self, text: str) -> dict:
        return self._node(ast.parse(text, mode="eval").body, in_union=False)

    def _dotted(self, node: ast.AST) -> str:
        if isinstance(node, ast.Name):
            return node.id
        if isinstance(node, ast.Attribute):
            return self._dotted(node.value) + "." + node.attr
        raise ValueError(f"unsupported annotation part {ast.dump(node)}")

    def _node(self, node: ast.AST, in_union: bool) -> dict:
        if isinstance(node, ast.Name):
            if node.id in self.classes:
                return {"type": "id", "id": self.classes[node.id]}
            if node.id == "None":
                return {"type": "constant", "kind": "none"} if in_union else name_node("None")
            if node.id in BUILTINS:
                return attribute(name_node("builtins"), node.id)
            raise ValueError(f"unknown annotation name {node.id!r}")
        if isinstance(node, ast.Constant) and node.value is None:
            return {"type": "constant", "kind": "none"} if in_union else name_node("None")
        if isinstance(node, ast.Attribute):
            prefix = self._dotted(node.value)
            return attribute(name_node(prefix), node.attr)
        if isinstance(node, ast.Subscript):
            sl = node.slice
            if isinstance(sl, ast.Tuple):
                slice_node = {"type": "tuple", "elts": [self._node(e, False) for e in sl.elts]}
            else:
                slice_node = self._node(sl, False)
            return {"type": "subscript", "value": self._node(node.value, False), "slice": slice_node}
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return {"type": "binop", "left": self._node(node.left, True), "op": "bitor",
                    "right": self._node(node.right, True)}
        raise ValueError(f"unsupported annotation {ast.dump(node)}")


def read_descriptions(objects: list[str]) -> list[str]:
    lines: list[str] = []
    for obj in objects:
        for blob in ElfFile(obj).section_contents(SECTION):
            text = blob.replace(b"\0", b"\n").decode("utf-8")
            lines.extend(line for line in text.split("\n") if line)
    return lines


def build_records(lines: list[str]) -> list[tuple[str, dict]]:
    """(key, record) pairs; keys are unique and stable."""
    modules: dict[str, list[str]] = {}
    owners: list[tuple[str, str, list[list[str]]]] = []  # (kind "C"/"M", name, function fields)
    current = None
    for line in lines:
        fields = line.split("\t")
        if fields[0] == "R":
            modules[fields[1]] = fields[2].split(",")
        elif fields[0] in ("C", "M"):
            current = (fields[0], fields[1], [])
            owners.append(current)
        elif fields[0] == "F":
            if current is None:
                raise ValueError(f"function outside a class or module: {line!r}")
            current[2].append(fields[1:])
        else:
            raise ValueError(f"unknown description line {line!r}")

    classes = {name: ident("class", name) for kind, name, _ in owners if kind == "C"}
    if len(set(classes.values())) != len(classes):
        raise ValueError("class identifiers collide")
    annotations = Annotations(classes)
    module_ids = {name: ident("module", name) for name in modules}
    function_ids: dict[tuple[str, str], str] = {}
    records: list[tuple[str, dict]] = []

    final = [attribute(name_node("typing"), "final")]
    for kind, name, functions in owners:
        if kind == "C":
            records.append((f"class:{name}", {"type": "class", "id": classes[name], "name": name,
                                              "decorators": final}))
        for fname, receiver, params, returns, decorator in functions:
            arguments: dict = {}
            if receiver:
                arguments["posonlyargs"] = [{"name": receiver}]
            if params:
                args = []
                for p in params.split(";"):
                    pname, _, pann = p.partition("=")
                    args.append({"name": pname, "annotation": annotations.convert(pann)})
                arguments["args"] = args
            record: dict = {"type": "function", "name": fname, "arguments": arguments,
                            "returns": annotations.convert(returns)}
            if kind == "C":
                record["parent"] = classes[name]
                key = f"function:{name}.{fname}" + (f".{decorator}" if decorator == "setter" else "")
            else:
                fid = ident("function", f"{name}.{fname}")
                function_ids[(name, fname)] = fid
                record["id"] = fid
                key = f"function:{name}.{fname}"
            if decorator == "staticmethod":
                record["decorators"] = [name_node("staticmethod")]
            elif decorator == "property":
                record["decorators"] = [name_node("property")]
            elif decorator == "setter":
                record["decorators"] = [attribute(attribute({"type": "id", "id": classes[name]}, fname), "setter")]
            elif decorator:
                raise ValueError(f"unknown decorator {decorator!r}")
            records.append((key, record))

    for mname, members in modules.items():
        ids = []
        for member in members:
            if member in classes:
                ids.append(classes[member])
            elif member in module_ids:
                ids.append(module_ids[member])
            elif (mname, member) in function_ids:
                ids.append(function_ids[(mname, member)])
            else:
                raise ValueError(f"module {mname} lists {member!r}, which nothing describes")
        records.append((f"module:{mname}", {"type": "module", "id": module_ids[mname], "name": mname,
                                            "members": ids, "incomplete": False}))

    keys = [k for k, _ in records]
    if len(set(keys)) != len(keys):
        dup = sorted({k for k in keys if keys.count(k) > 1})
        raise ValueError(f"described twice: {dup}")
    return records


def encode(record: dict) -> bytes:
    text = json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    body = len(text).to_bytes(4, "little") + text
    return body + bytes(-len(body) % 4)


def write_source(records: list[tuple[str, dict]], out: Path) -> None:
    parts = ["// Generated at build time from the class tables; do not edit.\n",
             "// One exported record per module, class and function of the Python interface.\n\n"]
    numbers = set()
    for key, record in sorted(records, key=lambda kr: kr[0]):
        number = fnv1a64("record:" + key)
        if number in numbers:
            raise ValueError(f"record number collision for {key}")
        numbers.add(number)
        data = encode(record)
        sym = f"{PREFIX}{number}"
        body = ",".join(str(b) for b in data)
        parts.append(f'extern "C" [[gnu::visibility("default"), gnu::used]] const unsigned char '
                     f"{sym}[{len(data)}];\n")
        parts.append(f"alignas(4) const unsigned char {sym}[{len(data)}] = {{{body}}};\n")
    text = "".join(parts)
    if not out.exists() or out.read_text() != text:
        out.write_text(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", required=True, type=Path)
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()
    records = build_records(read_descriptions(args.objects))
    write_source(records, args.output)


if __name__ == "__main__":
    main()
