"""Directives of the ostrilo_py site.

``.. ostrilo-api:: MODULE`` writes the reference of a module: the signatures come from the
interface records of the installed library (the ones the stubs are generated from) or, where the
prose gives typed signatures, from those (one line each, the stub's private aliases written out),
the prose from docs/api/MODULE.toml (the one the stubs' docstrings are generated from). With
``:members: NAME ...`` it writes only those members, without the module's own entry, so that a
page can put its members under headings of its own; ``:members:`` with no names writes only the
module's entry. ``tests/test_docs.py`` checks that a page's directives name every member once.

``.. tour-output:: FUNCTION`` runs that function of examples/tour.py and shows what it prints.
"""
from __future__ import annotations

import contextlib
import importlib
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


def _tree(module: str) -> make_stub.Tree:
    import ostrilo_py

    records = make_stub.read_records(ostrilo_py.__file__)
    if module in {r["name"] for r in records if r["type"] == "module"}:
        return make_stub.Tree(records, api_prose.load())
    library = importlib.import_module(module).__file__  # the companion, which names ostrilo_py's classes
    return make_stub.Tree(make_stub.read_records(library), api_prose.load(), records)


def _annotation(tree: make_stub.Tree, node: dict, module: str) -> str:
    text = tree.expr(node, module)
    for prefix in ("builtins.", "collections.abc.", "numpy.typing.", "typing."):
        text = text.replace(prefix, "")
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


def _names(text: str) -> list[str]:
    return (text or "").split()


class ApiDirective(SphinxDirective):
    required_arguments = 1
    option_spec = {"members": _names}

    def run(self) -> list[nodes.Node]:
        module = self.arguments[0]
        tree = _tree(module)
        prose = tree.prose[module]
        qualified = tree.qualified_module(module)
        self.env.note_dependency(str(api_prose.PROSE_DIR / f"{module}.toml"))
        record = next(m for m in tree.modules if m["name"] == module)
        members = [tree.by_id[i] for i in record["members"]]
        if module == make_stub.ROOT:  # classes that belong to no module are documented with the root
            members += [c for c in tree.classes if c["id"] not in tree.module_of]
        if "members" in self.options:
            chosen = self.options["members"]
            unknown = set(chosen) - {m["name"].lstrip("_") for m in members}
            if unknown:
                raise self.error(f"{module} has no members {sorted(unknown)}")
            members = sorted((m for m in members if m["name"].lstrip("_") in chosen),
                             key=lambda m: chosen.index(m["name"].lstrip("_")))
            # The module's entry is written once, by the directive that names no members; a
            # directive with members is under the module it set (py:currentmodule, for links).
            lines = [f".. py:currentmodule:: {qualified}", ""]
            if not chosen:
                lines = [f".. py:module:: {qualified}", ""] + _doc(prose[module], "") + [""]
        else:
            lines = [f".. py:module:: {qualified}", ""] + _doc(prose[module], "") + [""]
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
        defaults = {a["name"]: a["default"] for a in f["arguments"].get("args", []) if "default" in a}
        returns = f["returns"]
        if f["name"] == "__next__" and returns["type"] == "binop":
            returns = returns["left"]
        sig = ", ".join(f"{n}: {a}" + (f" = {defaults[n]}" if n in defaults else "") for n, a in params)
        return f"({sig}) -> {_annotation(tree, returns, module)}", params

    def signatures(self, tree, f, module, key) -> tuple[list[str], list[tuple[str, str]]]:
        """The signature lines of f (several where the prose gives overloads) and its parameters
        with their types (as the one signature, or the overloads' joined, give them)."""
        sigs, types = [], {}
        for form, _ in tree.typed_signatures(f, module, key, expand=True):
            sig, params = self.signature(tree, form, module)
            sigs.append(sig)
            for name, annotation in params:
                if annotation not in types.setdefault(name, []):
                    types[name].append(annotation)
        return sigs, [(name, " | ".join(t)) for name, t in types.items()]

    def function(self, tree, f, module, prose, key, indent) -> list[str]:
        kind = _kind(f)
        entry = prose[key]
        sigs, params = self.signatures(tree, f, module, key)
        # Several signatures: one line each, the later ones indented under the first.
        more = [f"{indent}{' ' * 18}{f['name']}{sig}" for sig in sigs[1:]]
        if kind == "property":
            lines = [f"{indent}.. py:property:: {f['name']}", f"{indent}   :type: {sigs[0].split(' -> ')[1]}"]
        elif kind == "staticmethod":
            lines = [f"{indent}.. py:method:: {f['name']}{sigs[0]}", *more, f"{indent}   :staticmethod:"]
        elif indent:
            lines = [f"{indent}.. py:method:: {f['name']}{sigs[0]}", *more]
        else:
            lines = [f".. py:function:: {f['name']}{sigs[0]}", *more]
        lines += [""] + _doc(entry, indent + "   ") + [""] + _fields(entry, params, indent + "   ") + [""]
        return lines

    def klass(self, tree, c, module, prose) -> list[str]:
        methods = tree.methods.get(c["id"], [])
        ctor = next((f for f in methods if f["name"] == "__new__"), None)
        name = c["name"].lstrip("_")  # a class registered nowhere has a private name in the stubs
        sigs, params = self.signatures(tree, ctor, module, f"{name}.__new__") if ctor else ([""], [])
        more = [f"{' ' * 15}{name}{sig.split(' -> ')[0]}" for sig in sigs[1:]]
        lines = [f".. py:class:: {name}{sigs[0].split(' -> ')[0]}", *more, "   :final:", ""]
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
    """`Vec3d`, `VecList.rotate`, `Plane.distance`, `geometry.plane_line`, `slerp`: names written
    as a user of the modules writes them link to their reference entries on every page."""
    if node.get("refdomain") != "py":
        return None
    domain = env.get_domain("py")
    target = node["reftarget"].lstrip("~.")
    for full in (f"ostrilo_py.{target}", f"ostrilo_py.geometry.{target}", f"ostrilo_ext.{target}"):
        if full in domain.objects:
            return domain.resolve_xref(env, node["refdoc"], app.builder, "obj", full, node, contnode)
    return None


def setup(app):
    app.add_directive("ostrilo-api", ApiDirective)
    app.add_directive("tour-output", TourOutputDirective)
    app.connect("missing-reference", resolve_short_names)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
