"""Each built library exports its entry point and its interface records only (read by the one
reader of ELF, Mach-O and PE, tools/ostrilo_tools/libfile.py), and that reader agrees with the
system's nm where there is one."""
import shutil
import subprocess

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
