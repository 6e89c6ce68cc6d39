"""Finishes a macOS library that zig linked, as Apple's linker would have left it:

    macho_finish.py LIBRARY [LINK FLAGS...]

zig's Mach-O linker does not read the exported-symbols list (-Wl,-exported_symbols_list,FILE) and
has no option to drop local symbols and the debug map (the object files' paths). So, after the
link (zig-macos-rules.cmake runs this as the link's second command):

1. the export trie is rewritten to hold only the names the list allows (its `*` and `?`
   patterns as ld64 reads them); the rest, zig's weak operators new and delete and the image
   header symbols, are no longer seen by the loader;
2. llvm-strip (LLVM_STRIP, or llvm-strip-19 / llvm-strip on PATH) removes the debug map and the
   local symbols, and signs the result again (ad hoc, as the linker did): an arm64 Mac loads
   nothing whose signature does not match its bytes. The hidden operators stay in the symbol
   table, as the calls to them are bound through it, but the loader finds exports through the
   trie only.

The records are data in a section of their own and exported by name, so they stay.
"""
from __future__ import annotations

import fnmatch
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import libfile  # noqa: E402

LC_DYLD_INFO, LC_DYLD_INFO_ONLY, LC_DYLD_EXPORTS_TRIE = 0x22, 0x80000022, 0x80000033


def uleb(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def read_trie(data: bytes, start: int) -> dict[str, bytes]:
    """Every name of an export trie with its terminal information, as the bytes it has there."""
    out = {}
    stack = [(start, b"")]
    while stack:
        node, prefix = stack.pop()
        size, p = libfile._uleb(data, node)
        if size:
            out[prefix.decode()] = data[p:p + size]
        p += size
        children = data[p]
        p += 1
        for _ in range(children):
            end = data.index(b"\0", p)
            edge = data[p:end]
            child, p = libfile._uleb(data, end + 1)
            stack.append((start + child, prefix + edge))
    return out


def build_trie(exports: dict[str, bytes]) -> bytes:
    """An export trie of the names: a radix tree (no two edges of a node share a first byte, as
    the loader's walk requires), laid out until every node's offset is stable."""
    nodes: list[tuple[bytes | None, list[tuple[bytes, int]]]] = []

    def make(names: list[bytes], depth: int) -> int:
        index = len(nodes)
        terminal = next((exports[n.decode()] for n in names if len(n) == depth), None)
        nodes.append((terminal, []))
        rest = [n for n in names if len(n) > depth]
        groups: dict[int, list[bytes]] = {}
        for n in rest:
            groups.setdefault(n[depth], []).append(n)
        for first in sorted(groups):
            group = groups[first]
            common = os.path.commonprefix([n[depth:] for n in group])
            nodes[index][1].append((common, make(group, depth + len(common))))
        return index

    make(sorted(n.encode() for n in exports), 0)
    offsets = [0] * len(nodes)
    while True:
        blobs, at, moved = [], 0, False
        for i, (terminal, children) in enumerate(nodes):
            if offsets[i] != at:
                offsets[i], moved = at, True
            blob = bytearray(uleb(len(terminal)) + terminal if terminal is not None else b"\0")
            blob.append(len(children))
            for edge, child in children:
                blob += edge + b"\0" + uleb(offsets[child])
            blobs.append(bytes(blob))
            at += len(blob)
        if not moved:
            return b"".join(blobs)


def exported_list(flags: list[str]) -> list[str]:
    """The patterns of the exported-symbols list named among the link flags, which hand it to the
    linker as -Wl,-exported_symbols_list,FILE or as -Xlinker pairs."""
    linker: list[str] = []
    flags = iter(flags)
    for flag in flags:
        if flag.startswith("-Wl,"):
            linker += flag.split(",")[1:]
        elif flag == "-Xlinker":
            linker.append(next(flags, ""))
    if "-exported_symbols_list" not in linker[:-1]:
        raise SystemExit("macho_finish.py: no -exported_symbols_list among the link flags")
    path = linker[linker.index("-exported_symbols_list") + 1]
    lines = Path(path).read_text().splitlines()
    return [s for s in (line.split("#", 1)[0].strip() for line in lines) if s]


def restrict_exports(data: bytearray, patterns: list[str]) -> tuple[list[str], list[str]]:
    """Rewrites the export trie in place to the names the patterns match: (kept, hidden)."""
    ncmds, = struct.unpack_from("<I", data, 16)
    at, where = 32, None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, at)
        if cmd in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
            where = at + 44  # export_off at +40, export_size at +44
        elif cmd == LC_DYLD_EXPORTS_TRIE:
            where = at + 12  # dataoff at +8, datasize at +12
        at += size
    if where is None:
        raise SystemExit("macho_finish.py: the library has no export trie")
    offset, = struct.unpack_from("<I", data, where - 4)
    size, = struct.unpack_from("<I", data, where)
    exports = read_trie(bytes(data), offset)
    kept = {n: info for n, info in exports.items() if any(fnmatch.fnmatchcase(n, p) for p in patterns)}
    trie = build_trie(kept)
    trie += bytes(-len(trie) % 8)
    if len(trie) > size:
        raise SystemExit("macho_finish.py: the new export trie is larger than the old one")
    data[offset:offset + size] = trie + bytes(size - len(trie))
    struct.pack_into("<I", data, where, len(trie))
    return sorted(kept), sorted(set(exports) - set(kept))


def llvm_strip() -> str:
    for name in (os.environ.get("LLVM_STRIP"), "llvm-strip-19", "llvm-strip"):
        if name and shutil.which(name):
            return shutil.which(name)
    raise SystemExit("macho_finish.py: no llvm-strip (Debian's llvm-19) to strip the library with")


def main(argv: list[str]) -> int:
    library, flags = Path(argv[0]), argv[1:]
    data = bytearray(library.read_bytes())
    kept, hidden = restrict_exports(data, exported_list(flags))
    library.write_bytes(data)
    # -x: local symbols; -S: the debug map.
    subprocess.run([llvm_strip(), "-x", "-S", str(library)], check=True)
    print(f"{library.name}: exports {len(kept)} names, hid {len(hidden)}, stripped and signed again")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
