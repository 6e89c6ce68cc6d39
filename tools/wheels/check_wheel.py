"""Checks a built wheel before it is kept: what it is named, what it holds and what its library
needs from the system and shows to it.

    check_wheel.py WHEEL...

For each wheel: the tags are those of its platform (manylinux2014, macOS, Windows) for the
libraries' own processor; the libraries' (ostrilo_py and its companion ostrilo_ext) file names
carry the interpreter's ABI (a free-threaded wheel's libraries were compiled for the
free-threaded object layout); each exports its entry point and its interface records only, and those records are whole (each
under the number its content names, every record they refer to present:
tools/ostrilo_tools/record_check.py), and ostrilo_py's stubs in the wheel are the ones its records
make; on
Linux every glibc symbol it needs is at most version 2.17 and no C++ runtime is needed from the
system; on macOS it loads only the system's libraries, leaves the interpreter's symbols to the
loader and runs on the macOS its tag names; on Windows it loads the interpreter's DLL of its
version and otherwise only system DLLs or DLLs the wheel carries; no build-machine path is left
in it; the licence and version metadata agree with the repository. Every library is read by the
repository's reader of ELF, Mach-O and PE (tools/ostrilo_tools/libfile.py). How many records ostrilo_py has is its test's business
(tests/test_introspection.py), not a number kept here.
Prints one line per wheel; exits non-zero if any check fails.
"""
from __future__ import annotations

import email.parser
import re
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from ostrilo_tools import libfile, make_stub, record_check  # noqa: E402

MAX_GLIBC = (2, 17)
RECORD_PREFIX = record_check.PREFIX
# The libraries of a wheel: ostrilo_py, and its companion, whose records build on ostrilo_py's.
LIBRARIES = ("ostrilo_py", "ostrilo_ext")
# What manylinux2014 lets a wheel take from the system, less what this library has no use for.
SYSTEM_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
               "ld-linux-x86-64.so.2", "ld-linux-armhf.so.3", "ld-linux-aarch64.so.1"}
# The reader's name of each wheel platform's processor, and its word size.
MACHINES = {"x86_64": ("x86_64", 64), "armv7l": ("arm", 32), "aarch64": ("aarch64", 64),
            "arm64": ("aarch64", 64), "amd64": ("x86_64", 64)}
MULTIARCH = {"x86_64": "x86_64-linux-gnu", "armv7l": "arm-linux-gnueabihf", "aarch64": "aarch64-linux-gnu"}
# What a macOS library may load: the C library and the C++ runtime of the system.
MACOS_LIBS = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
# What a Windows library may load besides the interpreter's DLL: the system's, the C runtime's
# parts that every Windows 10 has, and the C++ runtime's that CPython itself installs.
WINDOWS_LIBS = {"kernel32.dll", "vcruntime140.dll", "vcruntime140_1.dll"}
EF_ARM_ABI_FLOAT_HARD = 0x400
# Reference-count operations of the free-threaded object layout, called from inline code.
FREE_THREADED_ONLY = {"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount"}
BUILD_PATHS = (b"/tmp/", b"/work/", b"/root/", b"/home/", b"site-packages", b"/opt/", b"/Users/")
NAME = re.compile(r"^ostrilo_py-(?P<version>[^-]+)-(?P<py>cp3\d+)-(?P<abi>cp3\d+t?)-(?P<plat>[^-]+)\.whl$")
MACOS_TAG = re.compile(r"^macosx_(?P<major>\d+)_(?P<minor>\d+)_(?P<arch>x86_64|arm64)$")


def project_version() -> str:
    return tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]


def glibc_version(name: str) -> tuple[int, ...] | None:
    m = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)*)", name)
    return tuple(int(p) for p in m.group(1).split(".")) if m else None


def check_library(data: bytes, arch: str, free_threaded: bool, module: str = "ostrilo_py",
                  py: str = "", bundled: frozenset[str] = frozenset()) -> list[str]:
    """The checks of one library: `arch` is the wheel's processor, `py` its interpreter tag
    (cp311), `bundled` the file names of the DLLs the wheel carries (Windows)."""
    problems = []
    lib = libfile.read(data)
    machine, bits = MACHINES[arch]
    if lib.machine != machine or lib.bits != bits:
        problems.append(f"library is {lib.format} {lib.machine}/{lib.bits}-bit, not {arch}")

    if lib.format == "ELF":
        problems += check_elf(lib, arch)
    elif lib.format == "Mach-O":
        problems += check_macho(lib, arch)
    else:
        problems += check_pe(lib, py, bundled)

    defined = {s.name for s in lib.exports}
    records = {n for n in defined if n.startswith(RECORD_PREFIX)}
    entry = f"PyInit_{module}"
    stray = defined - records - {entry}
    if entry not in defined:
        problems.append(f"{module}: no {entry}")
    if stray:
        problems.append(f"{module} exports more than the entry point and the records: {sorted(stray)[:10]}")
    if not records:
        problems.append(f"{module}: no interface records")
    if bool(lib.imports & FREE_THREADED_ONLY) != free_threaded:
        layout = "free-threaded" if lib.imports & FREE_THREADED_ONLY else "standard"
        problems.append(f"library was compiled for the {layout} object layout")
    if not lib.stripped:
        problems.append("library is not stripped")
    for path in BUILD_PATHS:
        at = data.find(path)
        if at >= 0:
            context = data[max(0, at - 40):at + 60].split(b"\0")
            problems.append(f"build path in the library: {next(c for c in context if path in c)!r}")
    return problems


def check_elf(lib: libfile.Library, arch: str) -> list[str]:
    problems = []
    if arch == "armv7l" and not lib.elf_flags & EF_ARM_ABI_FLOAT_HARD:
        problems.append("library is not hard-float")
    if set(lib.needed) - SYSTEM_LIBS:
        problems.append(f"needs libraries outside manylinux2014's: {sorted(set(lib.needed) - SYSTEM_LIBS)}")
    # Versions asked of other libraries (libc's GLIBC_x.y; a C++ runtime's GLIBCXX_/CXXABI_).
    for library, version in lib.version_needs:
        v = glibc_version(version)
        if v is None:
            problems.append(f"needs {version} of {library}")
        elif v > MAX_GLIBC:
            problems.append(f"needs {version} (newer than glibc 2.17)")
    return problems


def check_macho(lib: libfile.Library, arch: str) -> list[str]:
    # The interpreter's symbols are left to the loader (-undefined dynamic_lookup): no library
    # of the interpreter is loaded, so the module works with any build of its version.
    problems = []
    # An arm64 Mac loads only signed code (the linker signs ad hoc); a library changed after
    # its link (stripped, say) must have been signed again.
    if lib.signature_matches is False or (arch == "arm64" and lib.signature_matches is None):
        problems.append("the code signature does not match the library" if lib.signature_matches is False
                        else "an arm64 library without a code signature")
    if lib.macho_filetype not in (6, 8):  # MH_DYLIB, MH_BUNDLE
        problems.append(f"Mach-O file type {lib.macho_filetype}, not a bundle or dylib")
    if set(lib.needed) - MACOS_LIBS:
        problems.append(f"loads libraries other than the system's: {sorted(set(lib.needed) - MACOS_LIBS)}")
    return problems


def check_pe(lib: libfile.Library, py: str, bundled: frozenset[str]) -> list[str]:
    problems = []
    python_dll = f"python{py[2:]}.dll"
    needed = {n.lower() for n in lib.needed}
    if python_dll not in needed:
        problems.append(f"does not load {python_dll}: {sorted(lib.needed)}")
    other = {n for n in needed - {python_dll} - WINDOWS_LIBS
             if not n.startswith("api-ms-win-crt-") and n not in bundled}
    if other:
        problems.append(f"loads DLLs that are neither the system's nor in the wheel: {sorted(other)}")
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
    system = "macos" if plat.startswith("macosx_") else "windows" if plat.startswith("win_") else "linux"
    if system == "linux" and sorted(plat.split(".")) != [f"manylinux2014_{arch}", f"manylinux_2_17_{arch}"]:
        problems.append(f"platform tag {plat}, not manylinux_2_17_{arch} and manylinux2014_{arch}")
    if system == "macos" and not MACOS_TAG.match(plat):
        problems.append(f"platform tag {plat}, not one macOS version and processor")
    if system == "windows" and plat != "win_amd64":
        problems.append(f"platform tag {plat}, not win_amd64")
    if abi not in (py, py + "t"):
        problems.append(f"ABI tag {abi} does not go with {py}")
    free_threaded = abi.endswith("t")
    if version != project_version():
        problems.append(f"version {version}, pyproject.toml says {project_version()}")
    if f"## {version}" not in (REPO / "CHANGELOG.md").read_text():
        problems.append(f"CHANGELOG.md has no entry for {version}")

    t = "t" if free_threaded else ""
    suffix = {"linux": f".cpython-{py[2:]}{t}-{MULTIARCH.get(arch)}.so", "macos": f".cpython-{py[2:]}{t}-darwin.so",
              "windows": f".{py}{t}-win_amd64.pyd"}[system]
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        libs = [n for n in names if n.endswith((".so", ".pyd"))]
        bundled = frozenset(Path(n).name.lower() for n in names if n.lower().endswith(".dll"))
        expected_libs = sorted(f"{m}{suffix}" for m in LIBRARIES)
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
            data = z.read(lib)
            problems += check_library(data, arch, free_threaded, lib.split(".", 1)[0], py, bundled)
            if system == "macos":
                # The tag promises the macOS versions the wheel installs on: the library must load there.
                built_for = libfile.read(data).min_macos
                m = MACOS_TAG.match(plat)
                if m and built_for and built_for > (int(m["major"]), int(m["minor"])):
                    problems.append(f"{lib} needs macOS {built_for[0]}.{built_for[1]}, the tag says {plat}")
        if sorted(libs) == expected_libs:
            problems += check_records(z, {m: f"{m}{suffix}" for m in LIBRARIES})
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
