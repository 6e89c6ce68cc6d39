"""The built library's dynamic symbol table holds the entry point and the interface records only."""
import re
import shutil
import subprocess

import ostrilo_py
import pytest

ALLOWED_PREFIX = "PYO3_INTROSPECTION_1_"


def dynamic_symbols(path):
    """Names of the defined symbols in the dynamic symbol table, from nm or else readelf."""
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
        names = []
        for line in out.stdout.splitlines():
            fields = line.split()
            if len(fields) >= 3:  # value, type, name
                names.append(fields[2])
            elif len(fields) == 2:  # absolute symbols may print without a value
                names.append(fields[1])
        return names
    if shutil.which("readelf"):
        out = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True, check=True)
        names = []
        for line in out.stdout.splitlines():
            # Num: Value Size Type Bind Vis Ndx Name
            fields = line.split()
            if len(fields) >= 8 and re.fullmatch(r"\d+:", fields[0]) and fields[6] != "UND":
                if fields[3] in ("SECTION", "FILE") or not fields[7]:
                    continue
                names.append(fields[7])
        return names
    pytest.skip("neither nm nor readelf is installed")


def test_only_entry_point_and_records_are_exported():
    names = [n.split("@")[0] for n in dynamic_symbols(ostrilo_py.__file__)]
    assert "PyInit_ostrilo_py" in names
    stray = sorted(n for n in names if n != "PyInit_ostrilo_py" and not n.startswith(ALLOWED_PREFIX))
    assert stray == [], f"unexpected exported symbols: {stray[:20]}"
