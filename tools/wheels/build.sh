#!/usr/bin/env bash
# Builds the sdist and binary wheels into wheelhouse/: manylinux2014 (glibc 2.17 and newer)
# wheels for x86-64, 32-bit ARM hard-float (armv7l) and aarch64, each compiled from the sdist by
# zig's clang for that target, with its own libc++ linked in. Every wheel is checked before it is
# kept (auditwheel, tools/wheels/check_wheel.py, twine).
#
#   tools/wheels/build.sh                 the sdist and every wheel below
#   tools/wheels/build.sh x86_64-cp311 armv7l-cp311     the sdist and the wheels named
#   tools/wheels/build.sh --twice x86_64-cp311          builds each wheel twice; fails unless the bytes agree
#
# Wheels: x86_64-cp311 x86_64-cp313 x86_64-cp314 x86_64-cp315 x86_64-cp314t
#         armv7l-cp311 armv7l-cp314 armv7l-cp314t aarch64-cp311 aarch64-cp314
# The build backend runs under an interpreter of the wheel's version (pyenv's, one on PATH,
# OSTRILO_PYTHON_3_14=..., or Debian's binaries through the shared installer); the target's
# headers come from Debian's packages for that architecture. A free-threaded wheel is built by the
# standard interpreter of its version against the free-threaded headers and tagged accordingly.
# WHEEL_CC=gcc builds test wheels with Debian's cross g++ instead (armv7l only, tagged linux_armv7l
# and not for distribution: they need the build machine's C++ runtime), so the results of a gcc
# build are checked on 32-bit ARM too.
# Environment: WHEELS_CACHE (tools, headers, build environments; default ~/.cache/ostrilo-wheels),
# WHEELHOUSE (default wheelhouse/ in the repository), SOURCE_DATE_EPOCH (default: the commit's time),
# CCACHE_DIR (compilations go through ccache when it is installed; default WHEELS_CACHE/ccache).
# tools/wheels/test-wheel.sh installs and tests the wheels.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$REPO"

ALL=(x86_64-cp311 x86_64-cp313 x86_64-cp314 x86_64-cp315 x86_64-cp314t
     armv7l-cp311 armv7l-cp314 armv7l-cp314t aarch64-cp311 aarch64-cp314)
TWICE=
NAMES=()
for a in "$@"; do
  case $a in
    --twice) TWICE=1 ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) parse_name "$a"; NAMES+=("$a") ;;
  esac
done
[ ${#NAMES[@]} -gt 0 ] || NAMES=("${ALL[@]}")

OUT=${WHEELHOUSE:-$REPO/wheelhouse}
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || date +%s)}
mkdir -p "$OUT"
WORK=$(mktemp -d)
[ -n "${WHEELS_KEEP_WORK:-}" ] || trap 'rm -rf "$WORK"' EXIT

tools_env

# --- the sdist: what every wheel is built from ------------------------------------------------
VERSION=$("$TOOLS/bin/python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
SDIST=$OUT/ostrilo_py-$VERSION.tar.gz
say "sdist"
"$TOOLS/bin/python" -m build --sdist --no-isolation --outdir "$WORK/sdist" . >"$WORK/sdist.log" 2>&1 \
  || { cat "$WORK/sdist.log" >&2; die "the sdist failed"; }
mv "$WORK"/sdist/ostrilo_py-"$VERSION".tar.gz "$SDIST"
"$TOOLS/bin/python" -m twine check --strict "$SDIST"

# --- one wheel ----------------------------------------------------------------------------------
compile_wheel() {  # name toolchain source-folder out-folder
  local name=$1 toolchain=$2 src=$3 raw=$4 launch=()
  rm -rf "$src"; mkdir -p "$src"
  tar -xzf "$SDIST" -C "$src" --strip-components=1
  if command -v ccache >/dev/null && [ -z "$TWICE" ]; then
    # No CCACHE_BASEDIR: it would rewrite the source paths the compiler sees to relative ones,
    # which end up in the library (assertion texts), and the folder's path never changes anyway.
    launch=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=true
            CCACHE_COMPILERCHECK=content CCACHE_DIR="${CCACHE_DIR:-$CACHE/ccache}")
  fi
  env -u CCACHE_BASEDIR "${launch[@]}" OSTRILO_ZIG="$ZIG" OSTRILO_ZIG_TARGET="$ZIG_TARGET" OSTRILO_ZIG_CPU="$ZIG_CPU" \
    _PYTHON_HOST_PLATFORM="linux-$ARCH" SETUPTOOLS_EXT_SUFFIX=".$SOABI.so" \
    "$BUILD_PY" -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check -w "$raw" \
      -C build-dir="$src/build" \
      -C cmake.toolchain-file="$REPO/tools/wheels/$toolchain-toolchain.cmake" \
      -C cmake.python-hints=false \
      -C cmake.define.Python_EXECUTABLE="$BUILD_PY" \
      -C cmake.define.Python_INCLUDE_DIR="$PY_INCLUDE" \
      "$src" >"$WORK/$name.log" 2>&1 \
    || { tail -n 40 "$WORK/$name.log" >&2; die "$name: the build failed (log above)"; }
}

build_one() {  # name dest-dir -> path of the checked wheel
  local name=$1 dest=$2 raw fixed whl
  parse_name "$name"
  build_env "$VER"
  python_headers
  raw=$WORK/raw-$name; fixed=$WORK/fixed-$name
  rm -rf "$raw" "$fixed"; mkdir -p "$raw" "$fixed" "$dest"
  local toolchain=zig
  if [ "${WHEEL_CC:-zig}" = gcc ]; then
    [ "$ARCH" = armv7l ] || die "$name: WHEEL_CC=gcc builds armv7l wheels only"
    command -v arm-linux-gnueabihf-g++ >/dev/null || die "arm-linux-gnueabihf-g++ is missing (Debian's g++-arm-linux-gnueabihf)"
    say "$name: Debian's arm-linux-gnueabihf-g++ ($(arm-linux-gnueabihf-g++ -dumpversion)), headers $PY_INCLUDE"
    toolchain=gcc-armhf
  else
    say "$name: $ZIG_TARGET, -mcpu=$ZIG_CPU, headers $PY_INCLUDE"
  fi
  # The sdist is unpacked into a folder of this wheel's own that keeps its path from build to
  # build (pip's would be a new temporary one each time), so that ccache in front of the compiler
  # finds what an earlier build of the same sources compiled. --twice compiles everything twice.
  local src=$CACHE/src/$name-$toolchain
  locked "src-$name-$toolchain" compile_wheel "$name" "$toolchain" "$src" "$raw" || die "$name: the build failed"
  if [ "$toolchain" = gcc-armhf ]; then  # a test build: no manylinux tag, no distribution checks
    whl=$(ls "$raw"/*.whl)
    mv "$whl" "$dest/"
    echo "$dest/$(basename "$whl")"
    return 0
  fi
  whl=$(ls "$raw"/*.whl)
  if [ -n "$FT" ]; then  # built by the standard interpreter of that version: give it its ABI tag
    "$TOOLS/bin/python" -m wheel tags --remove --abi-tag "$ABITAG" "$whl" >/dev/null
    whl=$(ls "$raw"/*.whl)
  fi
  # Tags the wheel manylinux2014, and refuses if the library needs anything newer.
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat auto --only-plat -w "$fixed" "$whl" >"$WORK/$name.repair.log" 2>&1 \
    || { cat "$WORK/$name.repair.log" >&2; die "$name: auditwheel repair refused the wheel"; }
  whl=$(ls "$fixed"/*.whl)
  "$TOOLS/bin/auditwheel" show "$whl" >"$WORK/$name.show" 2>&1 || true
  tr -s ' \n' '  ' <"$WORK/$name.show" | grep -q "consistent with the following platform tag: \"manylinux_2_17_$ARCH\"" \
    || { cat "$WORK/$name.show" >&2; die "$name: auditwheel show does not give manylinux_2_17_$ARCH"; }
  "$TOOLS/bin/python" "$REPO/tools/wheels/check_wheel.py" "$whl" >&2 || die "$name: the wheel failed its checks"
  "$TOOLS/bin/python" -m twine check --strict "$whl" >&2 || die "$name: twine check failed"
  mv "$whl" "$dest/"
  echo "$dest/$(basename "$whl")"
}

declare -a BUILT
for name in "${NAMES[@]}"; do
  t0=$(date +%s)
  whl=$(build_one "$name" "$WORK/out")
  if [ -n "$TWICE" ]; then
    again=$(build_one "$name" "$WORK/again")
    cmp "$whl" "$again" || die "$name: two builds of the same sources differ"
    echo "$name: two builds give the same bytes ($(sha256sum "$whl" | cut -c1-16))" >&2
  fi
  mv -f "$whl" "$OUT/"
  BUILT+=("$(printf '%-16s %-62s %7s bytes %4ss' "$name" "$(basename "$whl")" "$(stat -c %s "$OUT/$(basename "$whl")")" "$(( $(date +%s) - t0 ))")")
done

say "built into $OUT"
printf '%s\n' "${BUILT[@]}" "sdist            $(basename "$SDIST")"
