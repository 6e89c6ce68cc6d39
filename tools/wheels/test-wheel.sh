#!/usr/bin/env bash
# Installs built wheels into fresh virtual environments with no compiler on PATH and tests them
# on their own platform:
#   x86_64   natively, the whole suite, under the interpreter of the wheel's version;
#   armv7l   the whole suite in the Debian armhf root (ARMHF_ROOT, /opt/armhf; made if missing)
#            through qemu-user (Debian 12, CPython 3.11); cp314 wheels in a Debian unstable
#            root (ARMHF_SID_ROOT, /opt/armhf-sid), whose CPython is 3.14; manylinux wheels and the
#            linux_armv7l test wheels that Debian's cross g++ builds (WHEEL_CC=gcc tools/wheels/build.sh);
#   aarch64  import and the golden results in a Debian arm64 root (ARM64_ROOT) through
#            qemu-user; the whole suite with WHEEL_TEST_FULL=1.
#
#   tools/wheels/test-wheel.sh wheelhouse/ostrilo_py-*.whl [-- pytest arguments]
#   tools/wheels/test-wheel.sh --prepare-root armv7l-cp311   only makes the root for such wheels
#                            (the interpreter and the test tools, no compiler), if it is missing
#
# A wheel that cannot be run here (no free-threaded interpreter, no interpreter of that version
# for that processor) is reported NOT TESTED and does not fail the run (a test function returns 4). Exit status: 0 when every
# wheel that could be tested passed.
set -euo pipefail
source "$(dirname "$0")/common.sh"

WHEELS=()
PREPARE=()
while [ $# -gt 0 ]; do
  case $1 in
    --prepare-root) PREPARE+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) WHEELS+=("$(readlink -f "$1")"); shift ;;
  esac
done
PYTEST_ARGS=("$@")
[ ${#WHEELS[@]} -gt 0 ] || [ ${#PREPARE[@]} -gt 0 ] || die "usage: test-wheel.sh WHEEL... [-- pytest arguments] | --prepare-root ARCH"
WORK=$(mktemp -d)
MOUNTED=()
cleanup() {
  local m
  for m in "${MOUNTED[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

# The sources as they are, for what the suite compares against (stubs, generated tables, the
# pytest configuration); never a built library: the module must come from the wheel.
copy_tests() {  # dest
  mkdir -p "$1"
  (cd "$REPO" && git ls-files -z --cached --others --exclude-standard | grep -zv '\.so$' \
     | tar --null -T - -cf -) | tar -xf - -C "$1"
}

# A folder of symlinks to the few programs the suite runs (nm and readelf read the library's
# symbols): with it and the environment's bin as the whole PATH, no compiler can be found.
no_compiler_path() {  # root-prefix dir -> PATH value (as seen inside root-prefix)
  local root=$1 dir=$2 t d
  mkdir -p "$root$dir"
  for t in sh nm readelf; do
    for d in /usr/bin /bin; do
      if [ -x "$root$d/$t" ]; then ln -sf "$d/$t" "$root$dir/$t"; break; fi
    done
  done
}

check_no_compiler() {  # PATH [chroot-root]
  local path=$1 root=${2:-}
  local cmd='for c in cc c++ gcc g++ clang clang++ zig; do if command -v "$c" >/dev/null; then echo "compiler on PATH: $(command -v "$c")"; exit 1; fi; done'
  if [ -n "$root" ]; then chroot "$root" /usr/bin/env -i PATH="$path" /bin/sh -c "$cmd"
  else env -i PATH="$path" /bin/sh -c "$cmd"; fi
}

# Asserted before the suite runs: the module comes from the wheel in the environment.
WHERE='import ostrilo_py, sys; assert ostrilo_py.__file__.startswith(sys.prefix), ostrilo_py.__file__; print("ostrilo_py from", ostrilo_py.__file__)'

test_native() {  # wheel
  local whl=$1 py venv=$WORK/venv-$PYTAG$FT tests=$WORK/src-$PYTAG$FT bin=$WORK/bin
  if [ -n "$FT" ]; then
    echo "NOT TESTED: $(basename "$whl") (no free-threaded CPython $VER here)"; return 4
  fi
  py=$(host_python "$VER") || { echo "NOT TESTED: $(basename "$whl") (no CPython $VER here)"; return 4; }
  make_venv "$py" "$venv" || return 1
  # The test tools from the index as binaries; the module from the wheel, never from the sources.
  if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: "$whl[test]"; then
    # Some optional test tool has no binary for this interpreter yet: the core ones, and the
    # tests of the rest skip themselves.
    echo "note: not every test extra has a binary for CPython $VER; installing the core test tools" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
      "$whl" pytest hypothesis numpy mpmath || return 1
  fi
  copy_tests "$tests" || return 1
  no_compiler_path "" "$bin"
  check_no_compiler "$venv/bin:$bin" || return 1
  (cd "$tests" && env -i HOME="$WORK" LANG=C.UTF-8 PATH="$venv/bin:$bin" PYTHONDONTWRITEBYTECODE=1 \
     python -c "$WHERE" \
   && env -i HOME="$WORK" LANG=C.UTF-8 PATH="$venv/bin:$bin" PYTHONDONTWRITEBYTECODE=1 \
     python -m pytest -q -p no:cacheprovider "${PYTEST_ARGS[@]}")
}

# What the suite needs in a root, and nothing to build with: the module comes from the wheel.
ROOT_PACKAGES=python3,python3-venv,python3-pytest,python3-hypothesis,python3-numpy,python3-mpmath,binutils
# Debian's CPython of a wheel's version: bookworm has 3.11, unstable 3.14 (armv7l only: the
# published aarch64 wheels are checked on bookworm). Sets ROOT and SUITE.
root_for() {  # uses ARCH VER
  case $ARCH-$VER in
    armv7l-3.11)  ROOT=$ARMHF_ROOT; SUITE=bookworm ;;
    armv7l-3.14)  ROOT=$ARMHF_SID_ROOT; SUITE=sid ;;
    aarch64-*)    ROOT=$ARM64_ROOT; SUITE=bookworm ;;
    *)            ROOT=$ARMHF_ROOT; SUITE=bookworm ;;
  esac
}

# A Debian root for another processor, made without running its package scripts under the
# emulator (a full debootstrap spends a quarter of an hour there): debootstrap's first stage
# fetches the packages with their dependencies and lays out the base; the packages are then
# unpacked here, and the few things their scripts would have done are done by hand (the BLAS and
# LAPACK alternatives numpy loads, the account files, the loader's cache, and the bytecode, which
# the host's CPython of the same version writes, as bytecode is the same on every processor).
make_root() {  # debian-arch root multiarch suite
  local debarch=$1 root=$2 multiarch=$3 suite=$4 deb py d ver
  command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap >&2; }
  # A procfs left mounted by a run that was killed: down before the old root goes.
  if [ -d "$root/proc" ] && ! [ -L "$root/proc" ] && mountpoint -q "$root/proc"; then umount -l "$root/proc" || return 1; fi
  rm -rf "$root"
  debootstrap --foreign --arch="$debarch" --variant=minbase --include="$ROOT_PACKAGES" \
    "$suite" "$root" "$(debian_mirror)" || return 1
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root" || return 1
  done
  rm -rf "$root"/var/cache/apt/archives/*.deb "$root/debootstrap"
  # In a container debootstrap makes proc a symbolic link to /proc, which inside the root points
  # at itself: a folder for the root's own procfs instead.
  if [ -L "$root/proc" ]; then rm -f "$root/proc"; mkdir "$root/proc"; fi
  for d in blas lapack; do
    ln -sf "$d/lib$d.so.3" "$root/usr/lib/$multiarch/lib$d.so.3"
  done
  cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
  cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
  # pip loads the system's certificate bundle even to install from a file (newer pip does so at
  # start): the build machine's, as the ca-certificates scripts would have made one.
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$root/etc/ssl/certs"; cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
  fi
  chroot "$root" /sbin/ldconfig || return 1
  ver=$(chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
  if py=$(host_python "$ver"); then
    "$py" -m compileall -q -j 2 -s "$root" -p / "$root/usr/lib/python3" "$root/usr/lib/python$ver" >/dev/null || true
  fi
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root python3 -c 'import pytest, numpy, hypothesis, mpmath'
}

ensure_root() {  # arch root suite
  local arch=$1 root=$2 suite=$3 debarch multiarch
  case $arch in
    armv7l)  debarch=armhf; multiarch=arm-linux-gnueabihf; ensure_binfmt qemu-arm || return 3 ;;
    aarch64) debarch=arm64; multiarch=aarch64-linux-gnu; ensure_binfmt qemu-aarch64 || return 3 ;;
  esac
  if ! [ -x "$root/usr/bin/python3" ] || [ -L "$root/proc" ] \
     || ! chroot "$root" python3 -c 'import pytest, numpy, hypothesis, mpmath' 2>/dev/null; then
    say "preparing the $debarch root at $root"
    make_root "$debarch" "$root" "$multiarch" "$suite" >"$WORK/$debarch-$suite-setup.log" 2>&1 \
      || { tail -n 20 "$WORK/$debarch-$suite-setup.log" >&2; rm -rf "$root"; return 3; }
  fi
  # A procfs of its own, not a bind of the host's: taking it down again cannot touch the host's.
  [ -d "$root/proc" ] && ! [ -L "$root/proc" ] || { echo "$root/proc is not a folder" >&2; return 3; }
  if ! mountpoint -q "$root/proc"; then mount -t proc proc "$root/proc"; MOUNTED+=("$root/proc"); fi
}

test_in_root() {  # wheel full(0/1)
  local whl=$1 full=$2 rc=0 d=/root/ostrilo-wheel-test ver root
  root_for
  root=$ROOT
  ensure_root "$ARCH" "$root" "$SUITE" || rc=$?
  if [ $rc -ne 0 ]; then echo "NOT TESTED: $(basename "$whl") (the $ARCH root could not be set up)"; return 4; fi
  ver=$(chroot "$root" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ -n "$FT" ] || [ "$ver" != "$VER" ]; then
    echo "NOT TESTED: $(basename "$whl") (the $ARCH root has CPython $ver only)"; return 4
  fi
  rm -rf "$root$d"; mkdir -p "$root$d"
  copy_tests "$root$d/src"
  cp "$whl" "$root$d/"
  no_compiler_path "$root" "$d/bin"
  # The root's own test tools (numpy, pytest, hypothesis, mpmath) and the wheel, nothing else.
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    python3 -m venv --system-site-packages "$d/venv" || return 1
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    "$d/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$d/$(basename "$whl")" \
    || return 1
  check_no_compiler "$d/venv/bin:$d/bin" "$root" || return 1
  local run=(chroot "$root" /usr/bin/env -i PATH="$d/venv/bin:$d/bin" HOME=/root LANG=C.UTF-8
             PYTHONDONTWRITEBYTECODE=1 OSTRILO_EMULATED=1)
  "${run[@]}" sh -c "cd $d/src && python -c '$WHERE'" || return 1
  if [ "$full" = 1 ]; then
    "${run[@]}" sh -c "cd $d/src && python -m pytest -q -p no:cacheprovider ${PYTEST_ARGS[*]:-}"
  else
    "${run[@]}" sh -c "cd $d/src && python -m pytest -q -p no:cacheprovider tests/test_golden.py tests/test_module.py tests/test_exports.py"
  fi
}

for name in "${PREPARE[@]}"; do
  parse_name "$name"
  [ "$ARCH" != x86_64 ] || die "--prepare-root: armv7l-cp3XX or aarch64-cp3XX"
  root_for
  ensure_root "$ARCH" "$ROOT" "$SUITE"
done

# The test functions run under `||`, where errexit is off: every step that must stop them says so.
failed=0
for whl in "${WHEELS[@]}"; do
  b=$(basename "$whl")
  [[ "$b" =~ ^ostrilo_py-[^-]+-(cp3[0-9]+)-(cp3[0-9]+t?)-.*_(x86_64|armv7l|aarch64)\.whl$ ]] || die "not one of our wheels: $b"
  parse_name "${BASH_REMATCH[3]}-${BASH_REMATCH[2]}"
  say "testing $b"
  t0=$(date +%s)
  rc=0
  case $ARCH in
    x86_64)  test_native "$whl" || rc=$? ;;
    armv7l)  test_in_root "$whl" 1 || rc=$? ;;
    aarch64) test_in_root "$whl" "${WHEEL_TEST_FULL:-0}" || rc=$? ;;
  esac
  case $rc in
    0) echo "passed: $b ($(( $(date +%s) - t0 ))s)" ;;
    4) ;;  # reported NOT TESTED above
    *) echo "FAILED: $b (${rc})"; failed=$((failed + 1)) ;;
  esac
done
[ $failed -eq 0 ]
