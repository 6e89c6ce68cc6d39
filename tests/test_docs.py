"""Every public name has prose, and the stubs, the companion's docstrings and the reference pages
carry it (docs/api, tools/ostrilo_tools/api_prose.py)."""
import ast
import functools
import re
from pathlib import Path

import ostrilo_ext
import ostrilo_py
import pytest
from ostrilo_tools import api_prose, make_stub

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["ostrilo_py", "geometry", "ostrilo_ext"]


@functools.cache
def tree_of(module):
    """The records of the library that holds module (the companion's with ostrilo_py's, whose classes
    it names) and the prose."""
    py = make_stub.read_records(ostrilo_py.__file__)
    if module == "ostrilo_ext":
        return make_stub.Tree(make_stub.read_records(ostrilo_ext.__file__), api_prose.load(), py)
    return make_stub.Tree(py, api_prose.load())


def described(tree, module):
    """Entry name -> (parameter names, whether it takes arguments, their defaults) for everything
    the records place in module: the module itself, its classes, their methods and its functions."""
    names = {module: ([], False)}
    classes = [r for r in tree.classes if tree.module_of.get(r["id"], make_stub.ROOT) == module]
    for c in classes:
        name = c["name"].lstrip("_")  # a class registered nowhere has a private name in the stubs
        names[name] = ([], False)
        for f in tree.methods.get(c["id"], []):
            params = [a["name"] for a in f["arguments"].get("args", [])]
            key = f"{name}.{f['name']}"
            old = names.get(key, ([], False))
            names[key] = (old[0] + params, old[1] or bool(params))  # a property's getter and setter
        for line in make_stub.EXTRA_MEMBERS.get(c["name"], []):
            if d := make_stub.extra_def(line):
                names[f"{name}.{d[1]}"] = (d[2], bool(d[2]))
    for m in tree.modules:
        if m["name"] == module:
            for member in m["members"]:
                f = tree.by_id[member]
                if f["type"] == "function":
                    params = [a["name"] for a in f["arguments"].get("args", [])]
                    names[f["name"]] = (params, bool(params))
    defaults = {}
    for c in [c for c in tree.classes if tree.module_of.get(c["id"], make_stub.ROOT) == module]:
        for f in tree.methods.get(c["id"], []):
            defaults[f"{c['name'].lstrip('_')}.{f['name']}"] = f
    for m in (m for m in tree.modules if m["name"] == module):
        defaults.update({tree.by_id[i]["name"]: tree.by_id[i] for i in m["members"] if tree.by_id[i]["type"] == "function"})
    return {n: (params, takes, {a["name"]: a["default"] for a in defaults[n]["arguments"].get("args", []) if "default" in a}
                if n in defaults else {}) for n, (params, takes) in names.items()}


@pytest.mark.parametrize("module", MODULES)
def test_every_public_name_has_prose(module):
    tree = tree_of(module)
    names = described(tree, module)
    prose = tree.prose.get(module, {})
    missing = sorted(set(names) - set(prose))
    stale = sorted(set(prose) - set(names))
    faulty = {n: p for n in sorted(set(names) & set(prose)) if (p := api_prose.problems(prose[n], *names[n], module=n == module))}
    assert not missing, f"docs/api/{module}.toml has no prose for {missing}"
    assert not stale, f"docs/api/{module}.toml describes names the module does not have: {stale}"
    assert not faulty, f"docs/api/{module}.toml: {faulty}"


@pytest.mark.parametrize("library, stub", [(ostrilo_py, "__init__.pyi"), (ostrilo_py, "geometry.pyi"),
                                           (ostrilo_ext, "__init__.pyi")])
def test_every_stub_definition_carries_a_docstring(library, stub):
    """The generated stubs, as an editor reads them: every class and def except a property
    setter (editors show the getter's) opens with its docstring; of overloads, one does."""
    text = make_stub.stub_files(library.__file__)[stub]
    module = ast.parse(text)
    bare = [] if ast.get_docstring(module) else ["<module>"]
    for scope in [module] + [n for n in ast.walk(module) if isinstance(n, ast.ClassDef)]:
        defs = [n for n in scope.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
        documented = {n.name for n in defs if ast.get_docstring(n)}
        for node in defs:
            setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
            if not setter and node.name not in documented:
                bare.append(node.name)
    assert not bare, f"{library.__name__}/{stub}: no docstring on {bare}"


@pytest.mark.parametrize(
    "signatures, problem",
    [
        # A signature in other names than the function's: inspect and the keyword call would disagree.
        (["(p: Quat, q: Quat) -> Quat"], "signature takes ['p', 'q'], the function ['a', 'b', 'tol']"),
        (["(a: Quat, b: Quat, tol: float = 0.5) -> Quat"], "signature gives 'tol' the default 0.5, the function 1e-09"),
        (["(a: Quat, b: Quat, tol: float) -> Quat"], "signature leaves out the default of 'tol' (1e-09)"),
        (["(a: Quat, b: Quat, *, tol: float = 1e-09) -> Quat"], "signature with /, * or **"),
        (["(a, b: Quat, tol: float = 1e-09) -> Quat"], "signature without a type for every parameter"),
        (["a: Quat"], "no signature: 'a: Quat'"),
        # An overload may leave a default out (its narrower form takes the argument).
        (["(a: Quat, b: Quat, tol: float) -> Quat", "(a: Quat, b: Quat, tol: float = 1e-09) -> int"], None),
    ],
)
def test_signatures_of_the_prose_are_held_to_the_function(signatures, problem):
    entry = {"doc": "Something.", "raises": {}, "signatures": signatures}
    found = api_prose.problems(entry, ["a", "b", "tol"], True, {"tol": "1e-09"})
    assert [p for p in found if problem and p.startswith(problem)] if problem else not found, found


@pytest.mark.parametrize(
    "rest, text",
    [
        ("``compose(a, b).rotate(v)`` equals ``b.rotate(a.rotate(v))``", "compose(a, b).rotate(v) equals b.rotate(a.rotate(v))"),
        ("``conj(q) / |q|**2``, within 2**-52 of `Quat`", "conj(q) / |q|**2, within 2**-52 of Quat"),
        ("see :doc:`the conventions <../conventions>` and :class:`~Plane`", "see the conventions and Plane"),
    ],
)
def test_help_text_is_the_prose_without_markup(rest, text):
    assert api_prose.plain(rest) == text


def test_the_companion_docstrings_are_its_prose():
    """The build makes the docstrings from docs/api/ostrilo_ext.toml: each is its text signature,
    then the entry's help text (a class's: its own, then its constructor's)."""
    prose = api_prose.load()["ostrilo_ext"]
    checked = 0
    for key, entry in prose.items():
        owner, _, name = key.rpartition(".")
        if name.startswith("__"):
            continue  # slots, whose docstrings are the interpreter's
        if key == "ostrilo_ext":
            target = ostrilo_ext
        else:
            target = getattr(getattr(ostrilo_ext, owner), name) if owner else getattr(ostrilo_ext, key)
        expected = api_prose.help_text(entry)
        if isinstance(target, type):
            expected += "\n\n" + api_prose.help_text(prose[f"{key}.__new__"])
        assert target.__doc__ == expected, key
        checked += 1
    assert checked >= 25


def test_the_reference_page_lists_every_member_of_the_companion_once():
    """The page puts the members under headings, each heading's directive naming its own."""
    page = (ROOT / "docs" / "reference" / "ostrilo_ext.rst").read_text()
    named = [n for block in re.findall(r"\.\. ostrilo-api:: ostrilo_ext\n((?:   :.*\n)*)", page)
             for n in re.findall(r":members:(.*)", block)[0].split()]
    assert sorted(named) == sorted(ostrilo_ext.__all__)
    assert len(named) == len(set(named))
