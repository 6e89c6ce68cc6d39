"""Writes the C++ header of a module's docstring prose from docs/api/<module>.toml.

    python tools/generate/make_prose_header.py PROSE_TOML OUTPUT_HEADER [--namespace ostrilo::ext]

The header holds kProse, one ProseEntry per entry of the file, keyed by the entry's name
("compose", "SpatialIndex.query"), its text what help() shows after the text signature: the prose
as plain text, then Parameters, Returns and Raises (tools/ostrilo_tools/api_prose.py, help_text).
The frame puts it into the docstrings (frame/prose.hpp). The build runs this with the build
machine's Python (3.11 or newer, the standard library only) whenever the prose file or this
program changes.
"""
import argparse
import sys
import tomllib
from pathlib import Path

# The helpers' package beside this folder (it needs the standard library only).
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import api_prose  # noqa: E402

DELIMITER = "prose"  # of the raw string literals: R"prose(...)prose"


def header(prose: dict[str, dict], source: str, namespace: str) -> str:
    lines = [
        "#pragma once",
        f"// Generated from {source} by tools/generate/make_prose_header.py: do not edit.",
        '#include "frame/prose.hpp"',
        f"namespace {namespace} {{",
        "inline constexpr ProseEntry kProse[] = {",
    ]
    for key, entry in prose.items():
        text = api_prose.help_text(entry)
        if f"){DELIMITER}\"" in text or "\0" in text:
            raise ValueError(f"{key}: the prose holds the end of a raw string, ){DELIMITER}\"")
        if '"' in key or "\\" in key:
            raise ValueError(f"{key!r}: no entry name of a module")
        lines.append(f'    {{"{key}", R"{DELIMITER}({text}){DELIMITER}"}},')
    lines += ["};", f"}}  // namespace {namespace}", ""]
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("prose", type=Path, help="docs/api/<module>.toml")
    parser.add_argument("output", type=Path, help="the header to write")
    parser.add_argument("--namespace", default="ostrilo::ext", help="of kProse (default: ostrilo::ext)")
    args = parser.parse_args()
    with args.prose.open("rb") as f:
        prose = tomllib.load(f)
    text = header(prose, f"docs/api/{args.prose.name}", args.namespace)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
