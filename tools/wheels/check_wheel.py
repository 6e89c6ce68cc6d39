"""Checks a built wheel before it is kept: what it is named, what it holds and what its library
needs from the system and shows to it.

    check_wheel.py WHEEL...

For each wheel: the tags are the manylinux2014 ones for the library's own processor; the
libraries' (ostrilo_py and its companion ostrilo_ext) file names carry the interpreter's ABI (a
free-threaded wheel's libraries were compiled for the free-threaded object layout); each exports
its entry point and its interface records only, and those records are whole (each under the
number its content names, every record they refer to present: tools/ostrilo_tools/record_check.py),
and ostrilo_py's stubs in the wheel are the ones its records make; every glibc symbol it needs is
at most version 2.17 and no C++ runtime is needed from the system; no build-machine path is left
in it; the licence and version metadata agree with the repository. How many records ostrilo_py
has is its test's business (tests/test_introspection.py), not a number kept here.
Prints one line per wheel; exits non-zero if any check fails.
"""
from __future__ import annotations

import email.parser
import io
import re
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

REPO = Path(__file__).resolve().parents[2]
# A program, not a module: the helpers' package is found in the repository's tools/.
sys.path.insert(0, str(REPO / "tools"))
from ostrilo_tools import make_stub, record_check  # noqa: E402

MAX_GLIBC = (2, 17)
RECORD_PREFIX = record_check.PREFIX
# The libraries of a wheel: ostrilo_py, and its companion, whose records build on ostrilo_py's.
LIBRARIES = ("ostrilo_py", "ostrilo_ext")
# What manylinux2014 lets a wheel take from the system, less what this library has no use for.
SYSTEM_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
               "ld-linux-x86-64.so.2", "ld-linux-armhf.so.3", "ld-linux-aarch64.so.1"}
MACHINES = {"x86_64": ("EM_X86_64", 64), "armv7l": ("EM_ARM", 32), "aarch64": ("EM_AARCH64", 64)}
MULTIARCH = {"x86_64": "x86_64-linux-gnu", "armv7l": "arm-linux-gnueabihf", "aarch64": "aarch64-linux-gnu"}
EF_ARM_ABI_FLOAT_HARD = 0x400
# Reference-count operations of the free-threaded object layout, called from inline code.
FREE_THREADED_ONLY = {"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount"}
BUILD_PATHS = (b"/tmp/", b"/work/", b"/root/", b"/home/", b"site-packages", b"/opt/")
NAME = re.compile(r"^ostrilo_py-(?P<version>[^-]+)-(?P<py>cp3\d+)-(?P<abi>cp3\d+t?)-(?P<plat>[^-]+)\.whl$")


def project_version() -> str:
    return tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]


def glibc_version(name: str) -> tuple[int, ...] | None:
    m = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)*)", name)
    return tuple(int(p) for p in m.group(1).split(".")) if m else None


def check_library(data: bytes, arch: str, free_threaded: bool, module: str = "ostrilo_py") -> list[str]:
    problems = []
    elf = ELFFile(io.BytesIO(data))
    machine, bits = MACHINES[arch]
    if elf["e_machine"] != machine or elf.elfclass != bits:
        problems.append(f"library is {elf['e_machine']}/{elf.elfclass}-bit, not {arch}")
    if arch == "armv7l" and not elf["e_flags"] & EF_ARM_ABI_FLOAT_HARD:
        problems.append("library is not hard-float")

    needed = set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {t.needed for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
    if needed - SYSTEM_LIBS:
        problems.append(f"needs libraries outside manylinux2014's: {sorted(needed - SYSTEM_LIBS)}")

    # Versions asked of other libraries (libc's GLIBC_x.y; a C++ runtime's GLIBCXX_/CXXABI_).
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for verneed, auxes in section.iter_versions():
                for aux in auxes:
                    v = glibc_version(aux.name)
                    if v is None:
                        problems.append(f"needs {aux.name} of {verneed.name}")
                    elif v > MAX_GLIBC:
                        problems.append(f"needs {aux.name} (newer than glibc 2.17)")

    dynsym = elf.get_section_by_name(".dynsym")
    defined = {s.name for s in dynsym.iter_symbols() if s.name and s["st_shndx"] != "SHN_UNDEF"}
    undefined = {s.name for s in dynsym.iter_symbols() if s.name and s["st_shndx"] == "SHN_UNDEF"}
    records = {n for n in defined if n.startswith(RECORD_PREFIX)}
    entry = f"PyInit_{module}"
    stray = defined - records - {entry}
    if entry not in defined:
        problems.append(f"{module}: no {entry}")
    if stray:
        problems.append(f"{module} exports more than the entry point and the records: {sorted(stray)[:10]}")
    if not records:
        problems.append(f"{module}: no interface records")
    if bool(undefined & FREE_THREADED_ONLY) != free_threaded:
        layout = "free-threaded" if undefined & FREE_THREADED_ONLY else "standard"
        problems.append(f"library was compiled for the {layout} object layout")
    if elf.get_section_by_name(".symtab") is not None or any(
            s.name.startswith(".debug") for s in elf.iter_sections()):
        problems.append("library is not stripped")
    for path in BUILD_PATHS:
        at = data.find(path)
        if at >= 0:
            context = data[max(0, at - 40):at + 60].split(b"\0")
            problems.append(f"build path in the library: {next(c for c in context if path in c)!r}")
    return problems


def check_wheel(path: Path) -> list[str]:
    m = NAME.match(path.name)
    if not m:
        return [f"unexpected file name {path.name}"]
    problems = []
    version, py, abi, plat = m["version"], m["py"], m["abi"], m["plat"]
    arch = next((a for a in MACHINES if plat.endswith("_" + a)), None)
    if arch is None:
        return [f"unknown platform {plat}"]
    if sorted(plat.split(".")) != [f"manylinux2014_{arch}", f"manylinux_2_17_{arch}"]:
        problems.append(f"platform tag {plat}, not manylinux_2_17_{arch} and manylinux2014_{arch}")
    if abi not in (py, py + "t"):
        problems.append(f"ABI tag {abi} does not go with {py}")
    free_threaded = abi.endswith("t")
    if version != project_version():
        problems.append(f"version {version}, pyproject.toml says {project_version()}")
    if f"## {version}" not in (REPO / "CHANGELOG.md").read_text():
        problems.append(f"CHANGELOG.md has no entry for {version}")

    soabi = f"cpython-{py[2:]}{'t' if free_threaded else ''}-{MULTIARCH[arch]}"
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        libs = [n for n in names if n.endswith(".so")]
        expected_libs = sorted(f"{m}.{soabi}.so" for m in LIBRARIES)
        if sorted(libs) != expected_libs:
            problems.append(f"libraries {libs}, expected {expected_libs}")
        for stub in ("ostrilo_py/__init__.pyi", "ostrilo_py/geometry.pyi", "ostrilo_py/py.typed",
                     "ostrilo_ext/__init__.pyi", "ostrilo_ext/py.typed", "_ostrilo_py_shared.py"):
            if stub not in names:
                problems.append(f"no {stub}")
        dist_info = f"ostrilo_py-{version}.dist-info"
        meta = email.parser.Parser().parsestr(z.read(f"{dist_info}/METADATA").decode())
        if meta["License-Expression"] != "MIT" or meta.get_all("License-File") != ["LICENSE"]:
            problems.append("METADATA lacks License-Expression: MIT / License-File: LICENSE")
        if z.read(f"{dist_info}/licenses/LICENSE") != (REPO / "LICENSE").read_bytes():
            problems.append("the wheel's LICENSE differs from the repository's")
        wheel_meta = z.read(f"{dist_info}/WHEEL").decode()
        tags = sorted(line.split(": ", 1)[1] for line in wheel_meta.splitlines() if line.startswith("Tag: "))
        expected = sorted(f"{py}-{abi}-{p}" for p in plat.split("."))
        if tags != expected:
            problems.append(f"WHEEL tags {tags}, file name says {expected}")
        for lib in libs:
            problems += check_library(z.read(lib), arch, free_threaded, lib.split(".", 1)[0])
        if sorted(libs) == expected_libs:
            problems += check_records(z, {m: f"{m}.{soabi}.so" for m in LIBRARIES})
    return problems


def check_records(z: zipfile.ZipFile, libs: dict[str, str]) -> list[str]:
    """The libraries' records are whole, and ostrilo_py's shipped stubs are the ones they make (a
    record lost on the way shows there as a missing name)."""
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        paths = {m: Path(tmp) / lib for m, lib in libs.items()}
        numbered = {}
        for m, path in paths.items():
            path.write_bytes(z.read(libs[m]))
            numbered[m] = record_check.read_numbered(path)
        for m, records in numbered.items():
            beneath = numbered["ostrilo_py"] if m != "ostrilo_py" else None
            problems += [f"{m} records: {p}" for p in record_check.problems(records, beneath)]
        for name, text in make_stub.stub_files(paths["ostrilo_py"]).items():
            if f"ostrilo_py/{name}" in z.namelist() and z.read(f"ostrilo_py/{name}").decode() != text:
                problems.append(f"ostrilo_py/{name} in the wheel is not the stub its library's records make")
    return problems


def main(argv: list[str]) -> int:
    failed = 0
    for arg in argv:
        problems = check_wheel(Path(arg))
        if problems:
            failed += 1
            print(f"FAIL {Path(arg).name}")
            for p in problems:
                print(f"     {p}")
        else:
            print(f"ok   {Path(arg).name}")
    return 1 if failed or not argv else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
