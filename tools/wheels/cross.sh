#!/usr/bin/env bash
# macOS and Windows, checked on this Linux machine as far as it reaches (the CI job `cross`):
#
# 1. Both modules cross-built by zig from the sdist into wheels for macOS x86-64 and arm64 and
#    for Windows x86-64 (CPython 3.11): macOS libraries that leave the interpreter's symbols to
#    the loader (-undefined dynamic_lookup), finished after the link as Apple's linker would
#    leave them (tools/wheels/macho_finish.py: only the exported-symbols list's names exported,
#    stripped, signed again), a Windows .pyd linked against an import library of
#    python311.dll. Each wheel goes through tools/wheels/check_wheel.py (tags, file names,
#    exports, loaded libraries, the macOS version), and each library's interface records, read
#    back by the repository's reader (tools/ostrilo_tools/libfile.py), must be those of the
#    Linux x86-64 wheel that tools/wheels/build.sh builds from the same sdist.
# 2. The C++ tests of the numerical core and of the list loops (drevan/tests/test_core_bits.cpp,
#    ostrilo-py/tests/test_list_loops.cpp, drevan/tests/test_drevan.cpp) and of the processor
#    count and the worker pool's platform layer (test_cpu_count) built by zig for Windows and for
#    Linux: each passes its own checks under wine and natively, and the two print the same
#    digests of the results' bits.
#
# Not done here, and said so: nothing is run on macOS (no macOS on Linux), the Windows .pyd is
# never imported (no Windows CPython here), and macOS builds read the Linux headers of the same
# processor (CPython's macOS pyconfig.h is made by configure on a Mac; the object layout is the
# same). The real wheels are built and tested on hosted runners (.github/workflows/wheels.yml).
#
# Inputs: zig and the build backend as tools/wheels/build.sh has them (WHEELS_CACHE); the
# Windows headers (Include/ and PC/pyconfig.h) from Debian's CPython 3.11 source package; the
# Linux headers from Debian's libpython3.11-dev (amd64, arm64); wine64 and llvm-strip-19 (llvm-19)
# from Debian.
# Environment: WHEELS_CACHE, CROSS_OUT (default build/cross in the repository).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$REPO"

OUT=${CROSS_OUT:-$REPO/build/cross}
VER=3.11
PYTAG=cp311
rm -rf "$OUT"; mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
T0=$(date +%s)
step() { say "$* ($(( $(date +%s) - T0 ))s)"; }

tools_env
build_env "$VER"
command -v "${LLVM_STRIP:-llvm-strip-19}" >/dev/null || command -v llvm-strip >/dev/null \
  || die "no llvm-strip to finish the macOS libraries with (Debian's llvm-19)"

# --- the Windows headers and import library ----------------------------------------------------
# CPython's Windows include folder is Include/ plus PC/pyconfig.h. python311.dll's exports are
# every function and datum the headers declare PyAPI_FUNC/PyAPI_DATA (what the DLL exports, as
# Py_BUILD_CORE builds it); an import library made from them links exactly the modules whose
# every interpreter symbol is declared for extensions.
windows_headers() {
  local dir=$CACHE/windows-$VER A=$CACHE/apt/src-bookworm
  WIN_INCLUDE=$dir/include
  WIN_IMPLIB=$dir/libs/python${VER/./}.lib
  [ -f "$WIN_INCLUDE/Python.h" ] && [ -f "$WIN_IMPLIB" ] && return 0
  rm -rf "$dir"; mkdir -p "$dir/src" "$dir/libs" "$A/lists/partial" "$A/archives/partial" "$A/parts"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) bookworm main" >"$A/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$A/sources.list" -o "Dir::Etc::SourceParts=$A/parts"
              -o "Dir::Etc::Preferences=$A/parts/none" -o "Dir::Etc::PreferencesParts=$A/parts"
              -o "Dir::State::Lists=$A/lists" -o "Dir::Cache=$A" -o "Dir::State::status=/dev/null"
              -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update >&2
  (cd "$dir/src" && apt-get -qq "${opts[@]}" source --download-only "python$VER" >&2)
  local tarball; tarball=$(ls "$dir"/src/python"$VER"_*.orig.tar.* | head -n 1)
  mkdir -p "$dir/x"
  tar -xf "$tarball" -C "$dir/x" --strip-components=1 --wildcards '*/Include/*' '*/PC/pyconfig.h'
  grep -Eq "define PY_MINOR_VERSION[[:space:]]+${VER#*.}\$" "$dir/x/Include/patchlevel.h" || die "$tarball is not CPython $VER"
  mv "$dir/x/Include" "$WIN_INCLUDE"
  cp "$dir/x/PC/pyconfig.h" "$WIN_INCLUDE/pyconfig.h"
  "$TOOLS/bin/python" - "$WIN_INCLUDE" "python${VER/./}.dll" >"$dir/libs/python.def" <<'PY'
import re, sys
from pathlib import Path
funcs, data = set(), set()
for h in Path(sys.argv[1]).rglob("*.h"):
    text = re.sub(r"/\*.*?\*/", " ", h.read_text(encoding="utf-8", errors="replace"), flags=re.S)
    funcs |= set(re.findall(r"PyAPI_FUNC\s*\((?:[^()]|\([^()]*\))*\)\s*(\w+)\s*\(", text))
    data |= set(re.findall(r"PyAPI_DATA\s*\((?:[^()]|\([^()]*\))*\)\s*(\w+)", text))
print(f"LIBRARY {sys.argv[2]}\nEXPORTS")
for name in sorted(funcs - data):
    print(f"    {name}")
for name in sorted(data):
    print(f"    {name} DATA")
PY
  "$ZIG" dlltool -m i386:x86-64 -d "$dir/libs/python.def" -l "$WIN_IMPLIB"
  rm -rf "$dir/x" "$dir/src"
  echo "python${VER/./}.dll: $(grep -c '^    ' "$dir/libs/python.def") exports declared by the headers" >&2
}

# --- the wheels --------------------------------------------------------------------------------
step "sdist"
"$TOOLS/bin/python" -m build --sdist --no-isolation --outdir "$WORK/sdist" . >"$WORK/sdist.log" 2>&1 \
  || { cat "$WORK/sdist.log" >&2; die "the sdist failed"; }
SDIST=$(ls "$WORK"/sdist/*.tar.gz)

cross_wheel() {  # name zig-target host-platform ext-suffix include [cmake defines...]
  local name=$1 target=$2 host=$3 suffix=$4 include=$5; shift 5
  local src=$CACHE/src/cross-$name launch=() defines=()
  rm -rf "$src"; mkdir -p "$src"
  tar -xzf "$SDIST" -C "$src" --strip-components=1
  if command -v ccache >/dev/null; then
    launch=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=true
            CCACHE_COMPILERCHECK=content CCACHE_DIR="${CCACHE_DIR:-$CACHE/ccache}")
  fi
  for d in "$@"; do defines+=(-C "cmake.define.$d"); done
  env -u CCACHE_BASEDIR "${launch[@]}" OSTRILO_ZIG="$ZIG" OSTRILO_ZIG_TARGET="$target" OSTRILO_ZIG_CPU=baseline \
    _PYTHON_HOST_PLATFORM="$host" SETUPTOOLS_EXT_SUFFIX="$suffix" \
    "$BUILD_PY" -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check -w "$OUT/$name" \
      -C build-dir="$src/build" \
      -C cmake.toolchain-file="$REPO/tools/wheels/zig-toolchain.cmake" \
      -C cmake.python-hints=false \
      -C cmake.define.Python_EXECUTABLE="$BUILD_PY" \
      -C cmake.define.Python_INCLUDE_DIR="$include" "${defines[@]}" \
      "$src" >"$WORK/$name.log" 2>&1 \
    || { tail -n 40 "$WORK/$name.log" >&2; die "$name: the build failed (log above)"; }
  ls "$OUT/$name"/*.whl
}

step "Windows headers and python${VER/./}.lib"
locked "windows-$VER" windows_headers || die "no Windows headers for CPython $VER"
WIN_INCLUDE=$CACHE/windows-$VER/include
WIN_IMPLIB=$CACHE/windows-$VER/libs/python${VER/./}.lib
# CMake takes a python311.lib with no python311.dll beside it for a static interpreter, and links
# the build machine's own libraries for it (-ldl -lm): an empty stand-in by that name says it is
# an import library. Nothing reads the file.
touch "${WIN_IMPLIB%.lib}.dll"

WHEELS=()
for arch in x86_64 aarch64; do
  parse_name "$arch-$PYTAG"  # the Linux headers of that processor
  python_headers
  mac=${arch/aarch64/arm64}
  step "macOS $mac"
  WHEELS+=("$(cross_wheel "macos-$mac" "$arch-macos.11.0" "macosx-11.0-$mac" ".cpython-${PYTAG#cp}-darwin.so" "$PY_INCLUDE")")
done
step "Windows x86-64"
WHEELS+=("$(cross_wheel windows-amd64 x86_64-windows-gnu win-amd64 ".$PYTAG-win_amd64.pyd" "$WIN_INCLUDE" \
  "Python_LIBRARY=$WIN_IMPLIB")")

# After the others: CI's wheels job builds the same wheel from the same sources meanwhile (one
# build at a time, under build.sh's lock), and ccache then has every object of it.
step "the Linux x86-64 wheel, whose records the others must have (tools/wheels/build.sh)"
WHEELHOUSE="$OUT/linux" "$REPO/tools/wheels/build.sh" "x86_64-$PYTAG" >"$WORK/linux.log" 2>&1 \
  || { tail -n 30 "$WORK/linux.log" >&2; die "the Linux wheel failed"; }

step "the wheels' checks (tools/wheels/check_wheel.py)"
"$TOOLS/bin/python" "$REPO/tools/wheels/check_wheel.py" "${WHEELS[@]}"

step "the interface records of every library, against the Linux wheel's"
"$TOOLS/bin/python" - "$OUT"/linux/*.whl "${WHEELS[@]}" <<'PY'
import json, sys, zipfile
sys.path.insert(0, "tools")
from ostrilo_tools import libfile, make_stub

def records(wheel):
    out = {}
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.endswith((".so", ".pyd")):
                data = z.read(name)
                lib = libfile.read(data)
                recs = make_stub.read_records(data)
                exported = sorted(s.name for s in lib.exports)
                out[name.split(".", 1)[0]] = (lib, recs, exported)
    return out

def canonical(recs):
    return sorted(json.dumps(r, sort_keys=True) for r in recs)

reference = records(sys.argv[1])
failed = False
for wheel in sys.argv[2:]:
    for module, (lib, recs, exported) in records(wheel).items():
        ref_lib, ref_recs, ref_exported = reference[module]
        # As sets: each record is whole in itself, and the linker chooses the order of sections.
        same = canonical(recs) == canonical(ref_recs)
        same_names = exported == ref_exported
        print(f"{'ok  ' if same and same_names else 'FAIL'} {module:12} {lib.format:6} {lib.machine:7} "
              f"{len(recs)} records {'equal to' if same else 'DIFFERENT from'} Linux's, "
              f"exports {'the same names' if same_names else sorted(set(exported) ^ set(ref_exported))[:5]}")
        failed |= not (same and same_names)
sys.exit(1 if failed else 0)
PY

# --- the C++ tests under wine -----------------------------------------------------------------
step "the C++ tests of the core, the list loops and the processor count, for Windows (wine) and Linux"
command -v wine64 >/dev/null || command -v wine >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine64 >&2; }
WINE=$(command -v wine64 || command -v wine)
FLAGS=(-std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -fno-math-errno -Wall -Wextra -Werror
       -Idrevan/include -Iostrilo-py/src)
CORE=(drevan/src/*.cpp)
POOL=(ostrilo-py/src/list_kernels.cpp ostrilo-py/src/worker_pool.cpp ostrilo-py/src/os_threads.cpp ostrilo-py/src/cpu_count.cpp)
for t in x86_64-windows-gnu x86_64-linux-gnu.2.17; do
  d=$WORK/native-$t; mkdir -p "$d"; exe=; [[ $t == *windows* ]] && exe=.exe
  "$ZIG" c++ -target "$t" "${FLAGS[@]}" drevan/tests/test_core_bits.cpp "${CORE[@]}" -o "$d/test_core_bits$exe" &
  "$ZIG" c++ -target "$t" "${FLAGS[@]}" drevan/tests/test_drevan.cpp "${CORE[@]}" -o "$d/test_drevan$exe" &
  "$ZIG" c++ -target "$t" "${FLAGS[@]}" ostrilo-py/tests/test_list_loops.cpp "${POOL[@]}" "${CORE[@]}" -o "$d/test_list_loops$exe"
  wait
  "$ZIG" c++ -target "$t" "${FLAGS[@]}" ostrilo-py/tests/test_cpu_count.cpp ostrilo-py/src/cpu_count.cpp -o "$d/test_cpu_count$exe"
done
export WINEPREFIX=${WINEPREFIX:-$CACHE/wine} WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || "$WINE" wineboot --init >/dev/null 2>&1 || true
run_all() {  # dir runner...
  local d=$1 ext=; shift; [ $# -gt 0 ] && ext=.exe
  "$@" "$d/test_core_bits$ext" tests/data/trig-hard-cases.txt
  "$@" "$d/test_list_loops$ext"
  "$@" "$d/test_drevan$ext"
  "$@" "$d/test_cpu_count$ext"
}
rc=0
run_all "$WORK/native-x86_64-linux-gnu.2.17" >"$WORK/linux.out" 2>&1 || rc=1
run_all "$WORK/native-x86_64-windows-gnu" "$WINE" >"$WORK/windows.raw" 2>&1 || rc=1
tr -d '\r' <"$WORK/windows.raw" >"$WORK/windows.out"
grep -E 'passed|FAILED|pool threads' "$WORK/windows.out" | sed 's/^/windows: /'
grep -E 'passed|FAILED|pool threads' "$WORK/linux.out" | sed 's/^/linux:   /'
[ $rc -eq 0 ] || { tail -n 20 "$WORK/windows.out" "$WORK/linux.out" >&2; die "a C++ test failed (above)"; }
if ! diff <(grep '^digest' "$WORK/linux.out") <(grep '^digest' "$WORK/windows.out"); then
  die "the Windows build computes other bits than the Linux build (the digests above differ)"
fi
echo "$(grep -c '^digest' "$WORK/windows.out") digests of results' bits: Windows (wine $("$WINE" --version 2>/dev/null)) = Linux"
step "done"
