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
"""
from __future__ import annotations

import builtins
import re
import textwrap
import tomllib
from pathlib import Path

PROSE_DIR = Path(__file__).resolve().parents[2] / "docs" / "api"
KEYS = {"doc", "params", "returns", "raises"}
# Exceptions an entry may name besides the built-in ones.
OWN_EXCEPTIONS = {"PanicException"}


def load(directory: str | Path = PROSE_DIR) -> dict[str, dict[str, dict]]:
    """Every prose file of the directory: module name -> entry name -> entry."""
    out = {}
    for path in sorted(Path(directory).glob("*.toml")):
        with path.open("rb") as f:
            out[path.stem] = tomllib.load(f)
    return out


def problems(entry: dict, params: list[str], takes_arguments: bool) -> list[str]:
    """What is wrong with one entry, given the parameters its callable takes."""
    out = []
    if set(entry) - KEYS:
        out.append(f"unknown keys {sorted(set(entry) - KEYS)}")
    doc = entry.get("doc", "")
    if not isinstance(doc, str) or not re.search(r"\w.*[.:!?]", doc):
        out.append("no sentence in doc")
    for name in entry.get("params", {}):
        if name not in params:
            out.append(f"describes a parameter {name!r} it does not take")
    if takes_arguments and "raises" not in entry:
        out.append("takes arguments but names no exception")
    for name in entry.get("raises", {}):
        if name not in OWN_EXCEPTIONS and not (isinstance(getattr(builtins, name, None), type)
                                               and issubclass(getattr(builtins, name), BaseException)):
            out.append(f"raises {name!r}, which is no exception")
    return out


def _paragraphs(text: str) -> list[str]:
    return [p for p in re.split(r"\n\s*\n", text.strip()) if p.strip()]


def _is_verbatim(paragraph: str) -> bool:
    first = paragraph.lstrip("\n").splitlines()[0]
    return first.startswith((">>>", " ", "..")) or first.rstrip().endswith("::")


def wrap(text: str, width: int, indent: str = "") -> list[str]:
    """Lines of a reST text, prose paragraphs refilled to width, examples kept as written."""
    lines: list[str] = []
    for p in _paragraphs(text):
        if lines:
            lines.append("")
        if _is_verbatim(p):
            lines += [indent + line if line else "" for line in textwrap.dedent(p).splitlines()]
        else:
            lines += textwrap.wrap(" ".join(p.split()), width, initial_indent=indent, subsequent_indent=indent,
                                   break_on_hyphens=False, break_long_words=False)
    return lines


def docstring(entry: dict, params: list[str], width: int = 96) -> list[str]:
    """The docstring of a stub, as lines without indentation: the prose, then Args, Returns and
    Raises sections in the layout editors render."""
    lines = wrap(entry["doc"], width)
    described = [p for p in params if p in entry.get("params", {})]
    if described:
        lines += ["", "Args:"]
        for p in described:
            lines += wrap(f"{p}: {entry['params'][p]}", width - 4, "    ")
    if entry.get("returns"):
        lines += ["", "Returns:"] + wrap(entry["returns"], width - 4, "    ")
    if entry.get("raises"):
        lines += ["", "Raises:"]
        for name, when in entry["raises"].items():
            lines += wrap(f"{name}: {when}", width - 4, "    ")
    return lines


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
