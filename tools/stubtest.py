"""Runs mypy's stubtest on the installed ostrilo_py (and its companion ostrilo_ext, when it is
installed) against their shipped stubs.

The geometry submodule exists only as an attribute of ostrilo_py (it is never entered into
sys.modules, so it cannot be imported by name); it is entered here for the duration of the check
so that its stub is compared with it as well.

Usage: python tools/stubtest.py   (extra arguments go to stubtest)
"""
import sys
from pathlib import Path

import ostrilo_py
from mypy.stubtest import main

sys.modules["ostrilo_py.geometry"] = ostrilo_py.geometry
allowlist = Path(__file__).resolve().parent.parent / "stubs" / "stubtest-allowlist.txt"
try:
    import ostrilo_ext  # noqa: F401

    modules = ["ostrilo_py", "ostrilo_ext"]
except ImportError:
    modules = ["ostrilo_py"]
sys.argv = [sys.argv[0], *modules, "--allowlist", str(allowlist), *sys.argv[1:]]
sys.exit(main())
