"""Each built library exports its entry point and its interface records only (read by the one
reader of ELF, Mach-O and PE, tools/ostrilo_tools/libfile.py), and that reader agrees with the
system's nm where there is one."""
import importlib.util
import random
import shutil
import subprocess
from pathlib import Path

import ostrilo_ext
import ostrilo_py
import pytest
from ostrilo_tools import libfile

RECORD_PREFIX = "PYO3_INTROSPECTION_1_"
MODULES = [ostrilo_py, ostrilo_ext]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_only_entry_point_and_records_are_exported(module):
    names = [s.name for s in libfile.read(module.__file__).exports]
    entry = f"PyInit_{module.__name__}"
    assert entry in names
    stray = sorted(n for n in names if n != entry and not n.startswith(RECORD_PREFIX))
    assert stray == [], f"unexpected exported symbols: {stray[:20]}"
    assert len(names) == len(set(names))


def nm_exports(path, fmt):
    """The defined global symbols nm lists, as C names; None without an nm for the format."""
    nm = shutil.which("nm")
    if nm is None or fmt == "PE":
        return None
    args = [nm, "-D", "--defined-only", path] if fmt == "ELF" else [nm, "-gU", path]
    out = subprocess.run(args, capture_output=True, text=True)
    if out.returncode != 0:
        return None
    names = set()
    for line in out.stdout.splitlines():
        fields = line.split()
        if len(fields) >= 2:  # [value] type name; absolute symbols may print without a value
            name = fields[-1].split("@")[0]
            names.add(name[1:] if fmt == "Mach-O" and name.startswith("_") else name)
    return names


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_reader_agrees_with_nm(module):
    lib = libfile.read(module.__file__)
    listed = nm_exports(module.__file__, lib.format)
    if listed is None:
        pytest.skip(f"no nm for {lib.format} here")
    assert {s.name for s in lib.exports} == listed


def load_macho_finish():
    path = Path(__file__).resolve().parents[1] / "tools" / "wheels" / "macho_finish.py"
    if not path.exists():
        pytest.skip("tools/wheels is not beside the tests")
    spec = importlib.util.spec_from_file_location("macho_finish", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def loader_lookup(trie, name):
    """A name's terminal bytes as the macOS loader finds them: from the root, the one edge that
    the rest of the name starts with, never going back; None if the walk ends elsewhere."""
    node, rest = 0, name.encode()
    while True:
        size, p = libfile._uleb(trie, node)
        if not rest:
            return trie[p:p + size] if size else None
        p += size
        count, p = trie[p], p + 1
        for _ in range(count):
            end = trie.index(b"\0", p)
            edge = trie[p:end]
            child, p = libfile._uleb(trie, end + 1)
            if rest.startswith(edge):
                node, rest = child, rest[len(edge):]
                break
        else:
            return None


# The records' numbers have any number of digits, so one record's name can begin another's: the
# loader walks to the first edge that fits and never back, so the trie must split there.
NAME_SETS = {
    "records sharing prefixes": ["_PyInit_ostrilo_py", "_PYO3_INTROSPECTION_1_12", "_PYO3_INTROSPECTION_1_123",
                                 "_PYO3_INTROSPECTION_1_1234", "_PYO3_INTROSPECTION_1_13", "_PYO3_INTROSPECTION_1_2"],
    "one name": ["_PyInit_ostrilo_ext"],
    "random": sorted({"_" + "".join(random.Random(7 + k).choices("0123", k=1 + k % 9)) for k in range(300)}),
}


@pytest.mark.parametrize("names", NAME_SETS.values(), ids=NAME_SETS.keys())
def test_macos_export_trie_finds_every_name_the_loaders_way(names):
    finish = load_macho_finish()
    # Terminal bytes as the linker writes them: flags, then an address of a few ULEB bytes.
    exports = {n: b"\0" + finish.uleb(1000 * i + 3) for i, n in enumerate(names)}
    trie = finish.build_trie(exports)
    assert {n: loader_lookup(trie, n) for n in names} == exports
    assert finish.read_trie(trie, 0) == exports
    assert loader_lookup(trie, names[0] + "x") is None
