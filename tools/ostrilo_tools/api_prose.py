"""The prose of the Python interface: one entry per module, class and callable, kept in
docs/api/<module>.toml. The stub generator turns each entry into the docstring of its stub, and
the documentation site renders the same entry on the reference pages, so an editor's hover and
the reference say the same thing.

An entry is a TOML table under the name of what it describes, relative to its module
("Vec3d", "Vec3d.dot", "Vec3d.__add__", "Plane.xy", "circle_circle"; the module's own entry is
its name, "ostrilo_py" or "geometry"). A property has one entry for its getter and its setter.

    doc      required: what it is or does, one sentence at least (reST; `Name` for a name,
             ``code`` for code)
    params   a table: parameter name -> what it means (the types come from the interface records)
    returns  what the result is
    raises   a table: exception name -> when; required for everything that takes arguments
             (an empty table: it raises nothing of its own)
    signatures  a list of typed signatures, "(a: Quat, t: Sequence[float]) -> list[Quat]", for
             the stub where the record's annotations say less than the function does: one replaces
             the record's, several are the stub's overloads (the docstring goes on the last). Their
             parameters are the record's, in its order; a default, where written, is the record's
             (an overload may leave it out). Types are written as in a stub that imports `builtins`,
             `collections.abc` and `typing` by name ("float", "Sequence", "Literal"); a trailing
             "# type: ignore[...]" is kept for the checkers.

The module's own entry may also hold
    aliases  a table: name -> type, the stub's private type aliases ("_Rows"), which signatures
             may use; the reference pages write them out.

The same entry, reduced to plain text, follows the text signature in the docstrings of a module
whose build turns its prose into a header (help_text, tools/generate/make_prose_header.py).
"""
from __future__ import annotations

import ast
import builtins
import re
import textwrap
import tomllib
from dataclasses import dataclass
from pathlib import Path

PROSE_DIR = Path(__file__).resolve().parents[2] / "docs" / "api"
KEYS = {"doc", "params", "returns", "raises", "signatures"}
MODULE_KEYS = KEYS | {"aliases"}
# Exceptions an entry may name besides the built-in ones.
OWN_EXCEPTIONS = {"PanicException"}


def load(directory: str | Path = PROSE_DIR) -> dict[str, dict[str, dict]]:
    """Every prose file of the directory: module name -> entry name -> entry."""
    out = {}
    for path in sorted(Path(directory).glob("*.toml")):
        with path.open("rb") as f:
            out[path.stem] = tomllib.load(f)
    return out


def problems(entry: dict, params: list[str], takes_arguments: bool, defaults: dict[str, str] | None = None,
             module: bool = False) -> list[str]:
    """What is wrong with one entry, given the parameters its callable takes (in order) and their
    defaults (parameter name -> the Python text of its default, as the records give it)."""
    out = []
    if set(entry) - (MODULE_KEYS if module else KEYS):
        out.append(f"unknown keys {sorted(set(entry) - (MODULE_KEYS if module else KEYS))}")
    doc = entry.get("doc", "")
    if not isinstance(doc, str) or not re.search(r"\w.*[.:!?]", doc):
        out.append("no sentence in doc")
    for name in entry.get("params", {}):
        if name not in params:
            out.append(f"describes a parameter {name!r} it does not take")
    described = [p for p in entry.get("params", {}) if p in params]
    if described != [p for p in params if p in described]:
        out.append(f"describes its parameters in another order than {params}")
    if takes_arguments and "raises" not in entry:
        out.append("takes arguments but names no exception")
    for name in entry.get("raises", {}):
        if name not in OWN_EXCEPTIONS and not (isinstance(getattr(builtins, name, None), type)
                                               and issubclass(getattr(builtins, name), BaseException)):
            out.append(f"raises {name!r}, which is no exception")
    for text in entry.get("signatures", []):
        try:
            out += signature(text).problems(params, defaults or {}, len(entry["signatures"]) > 1)
        except ValueError as e:
            out.append(str(e))
    for name, text in entry.get("aliases", {}).items():
        if not name.startswith("_"):
            out.append(f"alias {name!r} is not private (it would be a name of the module)")
        try:
            ast.parse(text, mode="eval")
        except SyntaxError:
            out.append(f"alias {name!r} is no type expression: {text!r}")
    return out


@dataclass
class Signature:
    """A typed signature of a prose entry: its parameters (name, annotation, default text or
    None), its result, and the comment it carries for the checkers ("" when none)."""

    params: list[tuple[str, ast.expr, str | None]]
    returns: ast.expr
    comment: str

    def problems(self, names: list[str], defaults: dict[str, str], overload: bool) -> list[str]:
        out = []
        own = [p[0] for p in self.params]
        if own != names:
            out.append(f"signature takes {own}, the function {names}")
        for name, _, default in self.params:
            if default is not None and default != defaults.get(name):
                out.append(f"signature gives {name!r} the default {default}, the function "
                           f"{defaults.get(name, 'none')}")
            elif default is None and name in defaults and not overload:
                out.append(f"signature leaves out the default of {name!r} ({defaults[name]})")
        return out


def signature(text: str) -> Signature:
    """The parsed form of a signature of an entry's "signatures"; ValueError when it is none."""
    code, hash_, comment = text.partition("#")
    try:
        fn = ast.parse(f"def _{code.strip()}: ...").body[0]
    except SyntaxError:
        raise ValueError(f"no signature: {text!r}") from None
    a = fn.args
    if a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg:
        raise ValueError(f"signature with /, * or ** (every parameter is positional or keyword): {text!r}")
    if fn.returns is None or any(p.annotation is None for p in a.args):
        raise ValueError(f"signature without a type for every parameter and the result: {text!r}")
    defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    return Signature([(p.arg, p.annotation, d) for p, d in zip(a.args, defaults)], fn.returns,
                     (hash_ + comment).strip())


def _paragraphs(text: str) -> list[str]:
    return [p for p in re.split(r"\n\s*\n", text.strip()) if p.strip()]


def _is_verbatim(paragraph: str) -> bool:
    first = paragraph.lstrip("\n").splitlines()[0]
    return first.startswith((">>>", " ", "..")) or first.rstrip().endswith("::")


def plain(text: str) -> str:
    """A reST text as plain text: roles, ``code`` and `names` lose their markup."""
    text = re.sub(r":[\w:]+:`([^`<]*?)\s*<[^`>]*>`", r"\1", text)  # :doc:`the title <target>`
    text = re.sub(r":[\w:]+:`[~.]?([^`]*)`", r"\1", text)  # :class:`Vec3d`
    text = re.sub(r"``(.+?)``", r"\1", text, flags=re.S)
    return re.sub(r"(?<![\w`])`([^`]+)`(?!`)", r"\1", text)


def _is_list(paragraph: str) -> bool:
    return paragraph.lstrip("\n").startswith(("- ", "* "))


def wrap(text: str, width: int, indent: str = "", as_plain: bool = False, hang: str | None = None) -> list[str]:
    """Lines of a reST text, prose paragraphs refilled to width (bullet lists item by item),
    examples kept as written; as_plain drops the inline markup of the prose (not of examples);
    hang indents the lines after a paragraph's first (default: as the first)."""
    lines: list[str] = []
    fill = dict(width=width, break_on_hyphens=False, break_long_words=False)
    for p in _paragraphs(text):
        if lines:
            lines.append("")
        if _is_verbatim(p):
            lines += [indent + line if line else "" for line in textwrap.dedent(p).splitlines()]
            continue
        if as_plain:
            p = re.sub(r"\s*::$", ":", plain(p))
        if _is_list(p):
            for item in re.split(r"\n(?=[-*] )", textwrap.dedent(p).strip()):
                lines += textwrap.wrap(" ".join(item[2:].split()), initial_indent=indent + item[:2],
                                       subsequent_indent=indent + "  ", **fill)
        else:
            lines += textwrap.wrap(" ".join(p.split()), initial_indent=indent,
                                   subsequent_indent=indent if hang is None else hang, **fill)
    return lines


def docstring(entry: dict, params: list[str], width: int = 96, as_plain: bool = False,
              args_heading: str = "Args:", hang: str | None = None) -> list[str]:
    """The docstring of a stub, as lines without indentation: the prose, then Args, Returns and
    Raises sections in the layout editors render (an item's later lines indented by hang)."""
    lines = wrap(entry["doc"], width, as_plain=as_plain)
    described = [p for p in params if p in entry.get("params", {})]
    if described:
        lines += ["", args_heading]
        for p in described:
            lines += wrap(f"{p}: {entry['params'][p]}", width - 4, "    ", as_plain, hang)
    if entry.get("returns"):
        lines += ["", "Returns:"] + wrap(entry["returns"], width - 4, "    ", as_plain)
    if entry.get("raises"):
        lines += ["", "Raises:"]
        for name, when in entry["raises"].items():
            lines += wrap(f"{name}: {when}", width - 4, "    ", as_plain, hang)
    return lines


def help_text(entry: dict, width: int = 88) -> str:
    """What help() shows of an entry after the text signature: the prose as plain text, then
    Parameters (in the order the entry gives them, which is the function's), Returns and Raises."""
    return "\n".join(docstring(entry, list(entry.get("params", {})), width, True, "Parameters:", " " * 8))


def quoted(lines: list[str], indent: str) -> list[str]:
    """lines as a triple-quoted docstring at indent."""
    text = "\n".join(lines)
    if '"""' in text or text.endswith('"'):
        raise ValueError(f"cannot quote {text[:40]!r}...")
    text = text.replace("\\", "\\\\")
    body = [indent + line if line else "" for line in text.splitlines()]
    if len(body) == 1:
        return [f'{indent}"""{text}"""']
    return [f'{indent}"""{body[0][len(indent):]}'] + body[1:] + [f'{indent}"""']
