"""Every public name has prose, and the stubs carry it as docstrings (docs/api, tools/ostrilo_tools/api_prose.py)."""
import ast
from pathlib import Path

import ostrilo_py
import pytest
from ostrilo_tools import api_prose, make_stub

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def tree():
    return make_stub.Tree(make_stub.read_records(ostrilo_py.__file__), api_prose.load())


def described(tree, module):
    """Entry name -> (parameter names, whether it takes arguments) for everything the records
    place in module: the module itself, its classes, their methods and its functions."""
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
    return names


@pytest.mark.parametrize("module", ["ostrilo_py", "geometry"])
def test_every_public_name_has_prose(tree, module):
    names = described(tree, module)
    prose = tree.prose.get(module, {})
    missing = sorted(set(names) - set(prose))
    stale = sorted(set(prose) - set(names))
    faulty = {n: p for n in sorted(set(names) & set(prose)) if (p := api_prose.problems(prose[n], *names[n]))}
    assert not missing, f"docs/api/{module}.toml has no prose for {missing}"
    assert not stale, f"docs/api/{module}.toml describes names the module does not have: {stale}"
    assert not faulty, f"docs/api/{module}.toml: {faulty}"


@pytest.mark.parametrize("stub", ["__init__.pyi", "geometry.pyi"])
def test_every_stub_definition_carries_a_docstring(stub):
    """The generated stubs, as an editor reads them: every class and def except a property
    setter (editors show the getter's) opens with its docstring."""
    text = make_stub.stub_files(ostrilo_py.__file__)[stub]
    module = ast.parse(text)
    bare = [] if ast.get_docstring(module) else ["<module>"]
    for node in ast.walk(module):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in getattr(node, "decorator_list", []))
            if not setter and not ast.get_docstring(node):
                bare.append(node.name)
    assert not bare, f"{stub}: no docstring on {bare}"
