"""A program that embeds Python and restarts its interpreter gets a working module each time.

ostrilo-py/tests/embed_rounds.cpp runs three interpreter runtimes one after another in one
process (Py_Initialize, import, use every class, Py_FinalizeEx), as applications that restart
their interpreter do. Before, the second runtime was handed the first one's class objects and
submodule, freed by its finalisation: an AttributeError from the pickle helper and, in about half
the runs, a crash. ctest runs the same program beside the native tests; this test compiles it
against the interpreter running the tests, so every interpreter and build CI tests (the sanitizer
build included) runs it too.
"""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import ostrilo_py
import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "ostrilo-py" / "tests" / "embed_rounds.cpp"


def _python_library():
    """The directory holding the interpreter's shared library, and the library's link name."""
    name = f"python{sysconfig.get_config_var('LDVERSION')}"
    dirs = [sysconfig.get_config_var("LIBDIR"), Path(sys.base_prefix) / "lib",
            Path(sys.base_prefix) / "lib" / (sysconfig.get_config_var("MULTIARCH") or "")]
    for d in dirs:
        if d and (Path(d) / f"lib{name}.so").exists():
            return Path(d), name
    return None, name


@pytest.fixture(scope="module")
def embedder(tmp_path_factory):
    cxx = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
    libdir, name = _python_library()
    if cxx is None or libdir is None:
        pytest.skip("needs a C++ compiler and the interpreter's shared library")
    exe = tmp_path_factory.mktemp("embed") / "embed_rounds"
    cmd = [cxx, "-std=c++20", "-O1", f"-I{sysconfig.get_paths()['include']}", str(SOURCE), "-o", str(exe),
           f"-L{libdir}", f"-l{name}", f"-Wl,-rpath,{libdir}", "-Wl,--disable-new-dtags"]
    loader = libdir / "ld-linux-x86-64.so.2"
    if loader.exists():  # an interpreter in a private prefix with its own C library (CI's 3.14)
        cmd += [f"-Wl,--dynamic-linker={loader}", "-Wl,--allow-shlib-undefined"]
    built = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr[-3000:]
    return exe


def test_three_interpreter_runtimes_in_one_process(embedder):
    where = str(Path(ostrilo_py.__file__).parent)
    env = dict(os.environ, PYTHONHOME=sys.base_prefix)
    env.pop("PYTHONPATH", None)
    r = subprocess.run([str(embedder), where, "3"], capture_output=True, text=True, env=env, timeout=300)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-4000:]
    assert [line for line in r.stdout.splitlines() if line.startswith("round")] == [
        "round 0 ok", "round 1 ok", "round 2 ok"]
