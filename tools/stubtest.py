"""Runs mypy's stubtest on the installed ostrilo_py against its shipped stubs.

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
sys.argv = [sys.argv[0], "ostrilo_py", "--allowlist", str(allowlist), *sys.argv[1:]]
sys.exit(main())
