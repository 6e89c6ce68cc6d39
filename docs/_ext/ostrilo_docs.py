"""Directives of the ostrilo_py site.

``.. ostrilo-api:: MODULE`` writes the reference of a module: the signatures come from the
interface records of the installed library (the ones the stubs are generated from), the prose
from docs/api/MODULE.toml (the one the stubs' docstrings are generated from).

``.. tour-output:: FUNCTION`` runs that function of examples/tour.py and shows what it prints.
"""
from __future__ import annotations

import contextlib
import importlib.util
import io
import re
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from ostrilo_tools import api_prose, make_stub
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]

KIND_ORDER = {"class": 0, "property": 1, "staticmethod": 2, "method": 3, "special": 4}


def _tree() -> make_stub.Tree:
    import ostrilo_py

    return make_stub.Tree(make_stub.read_records(ostrilo_py.__file__), api_prose.load())


def _annotation(tree: make_stub.Tree, node: dict, module: str) -> str:
    text = tree.expr(node, module).replace("builtins.", "").replace("typing.", "")
    return re.sub(r"\b_(?=[A-Z])", "", text)  # a class registered nowhere: its runtime name


def _kind(f: dict) -> str:
    decorators = [d.get("id") or d.get("attr") for d in f.get("decorators", [])]
    if "setter" in decorators:
        return "setter"
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "staticmethod"
    return "special" if f["name"].startswith("__") else "method"


def _fields(entry: dict, params: list[tuple[str, str]], indent: str) -> list[str]:
    out = []
    for name, annotation in params:
        text = " ".join(entry.get("params", {}).get(name, "").split())
        out.append(f"{indent}:param {name}: {text}".rstrip())
        out.append(f"{indent}:type {name}: {annotation}")
    if entry.get("returns"):
        out.append(f"{indent}:returns: {' '.join(entry['returns'].split())}")
    for exc, when in entry.get("raises", {}).items():
        out.append(f"{indent}:raises {exc}: {' '.join(when.split())}")
    return out


def _doc(entry: dict, indent: str) -> list[str]:
    return api_prose.wrap(entry["doc"], 10_000, indent)


class ApiDirective(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        module = self.arguments[0]
        tree = _tree()
        prose = tree.prose[module]
        qualified = tree.qualified_module(module)
        self.env.note_dependency(str(api_prose.PROSE_DIR / f"{module}.toml"))
        lines = [f".. py:module:: {qualified}", ""] + _doc(prose[module], "") + [""]
        record = next(m for m in tree.modules if m["name"] == module)
        members = [tree.by_id[i] for i in record["members"]]
        if module == make_stub.ROOT:  # classes that belong to no module are documented with the root
            members += [c for c in tree.classes if c["id"] not in tree.module_of]
        for rec in members:
            if rec["type"] == "class":
                lines += self.klass(tree, rec, module, prose)
            elif rec["type"] == "function":
                lines += self.function(tree, rec, module, prose, rec["name"], "")
        text = StringList(lines, source=f"docs/api/{module}.toml")
        node = nodes.section()
        node.document = self.state.document
        self.state.nested_parse(text, 0, node)
        return node.children

    def signature(self, tree, f, module) -> tuple[str, list[tuple[str, str]]]:
        params = [(a["name"], _annotation(tree, a["annotation"], module)) for a in f["arguments"].get("args", [])]
        returns = f["returns"]
        if f["name"] == "__next__" and returns["type"] == "binop":
            returns = returns["left"]
        sig = ", ".join(f"{n}: {a}" for n, a in params)
        return f"({sig}) -> {_annotation(tree, returns, module)}", params

    def function(self, tree, f, module, prose, key, indent) -> list[str]:
        kind = _kind(f)
        entry = prose[key]
        sig, params = self.signature(tree, f, module)
        if kind == "property":
            lines = [f"{indent}.. py:property:: {f['name']}", f"{indent}   :type: {sig.split(' -> ')[1]}"]
        elif kind == "staticmethod":
            lines = [f"{indent}.. py:method:: {f['name']}{sig}", f"{indent}   :staticmethod:"]
        elif indent:
            lines = [f"{indent}.. py:method:: {f['name']}{sig}"]
        else:
            lines = [f".. py:function:: {f['name']}{sig}"]
        lines += [""] + _doc(entry, indent + "   ") + [""] + _fields(entry, params, indent + "   ") + [""]
        return lines

    def klass(self, tree, c, module, prose) -> list[str]:
        methods = tree.methods.get(c["id"], [])
        ctor = next((f for f in methods if f["name"] == "__new__"), None)
        sig, params = self.signature(tree, ctor, module) if ctor else ("", [])
        name = c["name"].lstrip("_")  # a class registered nowhere has a private name in the stubs
        lines = [f".. py:class:: {name}{sig.split(' -> ')[0]}", "   :final:", ""]
        lines += _doc(prose[name], "   ") + [""]
        if ctor:
            entry = prose[f"{name}.__new__"]
            lines += _doc(entry, "   ") + [""] + _fields(entry, params, "   ") + [""]
        else:
            lines += ["   Python code cannot make instances of this class.", ""]
        rest = [f for f in methods if f["name"] != "__new__" and _kind(f) != "setter"]
        rest.sort(key=lambda f: (KIND_ORDER[_kind(f)], f["name"]))
        for f in rest:
            lines += self.function(tree, f, module, prose, f"{name}.{f['name']}", "   ")
        # Type slots that have no record of their own (iteration, the buffer protocol).
        for line in make_stub.EXTRA_MEMBERS.get(c["name"], []):
            if d := make_stub.extra_def(line):
                method, result = d[1], d[3].replace("builtins.", "")
                entry = prose[f"{name}.{method}"]
                params = line.split("(", 1)[1].rsplit(") ->", 1)[0].split(",")[1:]  # after self
                args = [(a.split(":")[0].strip(), a.split(":")[1].strip().replace("builtins.", "")) for a in params if ":" in a]
                text = ", ".join(f"{n}: {a}" for n, a in args)
                lines += [f"   .. py:method:: {method}({text}) -> {result}", ""] + _doc(entry, "      ") + [""]
                lines += _fields(entry, args, "      ") + [""]
        return lines


class TourOutputDirective(SphinxDirective):
    """What one function of the guided tour prints, run while the page is built."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        path = ROOT / "examples" / "tour.py"
        self.env.note_dependency(str(path))
        spec = importlib.util.spec_from_file_location("ostrilo_tour", path)
        tour = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(tour)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            getattr(tour, self.arguments[0])()
        block = nodes.literal_block(out.getvalue().strip("\n"), out.getvalue().strip("\n"))
        block["language"] = "text"
        return [block]


def resolve_short_names(app, env, node, contnode):
    """`Vec3d`, `VecList.rotate`, `Plane.distance`, `geometry.plane_line`: names written as a
    user of the module writes them link to their reference entries on every page."""
    if node.get("refdomain") != "py":
        return None
    domain = env.get_domain("py")
    target = node["reftarget"].lstrip("~.")
    for full in (f"ostrilo_py.{target}", f"ostrilo_py.geometry.{target}"):
        if full in domain.objects:
            return domain.resolve_xref(env, node["refdoc"], app.builder, "obj", full, node, contnode)
    return None


def setup(app):
    app.add_directive("ostrilo-api", ApiDirective)
    app.add_directive("tour-output", TourOutputDirective)
    app.connect("missing-reference", resolve_short_names)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
