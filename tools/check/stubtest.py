"""Runs mypy's stubtest on the installed ostrilo_py (and its companion ostrilo_ext, when it is
installed) against their shipped stubs.

The geometry submodule exists only as an attribute of ostrilo_py (it is never entered into
sys.modules, so it cannot be imported by name); it is entered here for the duration of the check
so that its stub is compared with it as well.

What stubtest is told to allow comes from two places: the interface records of each library,
for what they imply (the reflected operators the interpreter adds, which the stubs leave out:
tools/ostrilo_tools/stub_allowlist.py), and stubs/stubtest-allowlist.txt for the rest, each entry
with its reason.

Usage: python tools/check/stubtest.py   (extra arguments go to stubtest)
"""
import sys
import tempfile
from pathlib import Path

import ostrilo_py
from mypy.stubtest import main

REPO = Path(__file__).resolve().parents[2]
# A program, not a module: the helpers' package is found in the repository's tools/.
sys.path.insert(0, str(REPO / "tools"))
from ostrilo_tools import make_stub, stub_allowlist  # noqa: E402

sys.modules["ostrilo_py.geometry"] = ostrilo_py.geometry
allowlist = REPO / "stubs" / "stubtest-allowlist.txt"
libraries = [ostrilo_py]
try:
    import ostrilo_ext

    libraries.append(ostrilo_ext)
except ModuleNotFoundError as e:
    if e.name != "ostrilo_ext":
        raise
derived = [line for m in libraries for line in stub_allowlist.allowlist_lines(make_stub.read_records(m.__file__))]
with tempfile.NamedTemporaryFile("w", suffix=".txt", prefix="stubtest-derived-") as implied:
    implied.write("\n".join(derived) + "\n")
    implied.flush()
    sys.argv = [sys.argv[0], *(m.__name__ for m in libraries), "--allowlist", str(allowlist), "--allowlist",
                implied.name, *sys.argv[1:]]
    status = main()
sys.exit(status)
