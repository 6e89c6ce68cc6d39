#!/usr/bin/env bash
# Checks the hosted-runner workflow (.github/workflows/wheels.yml) and its cibuildwheel settings
# ([tool.cibuildwheel] in pyproject.toml), which cannot run here: the workflow must be valid by
# the published schema; cibuildwheel itself must read the settings as building, for macOS arm64,
# macOS x86-64 and Windows x64, the interpreters tools/wheels/build.sh builds Linux wheels for;
# the workflow's Linux job must build exactly build.sh's wheels; and the runners must be those of
# the three platforms.
set -euo pipefail
source "$(dirname "$0")/common.sh"
WF=$REPO/.github/workflows/wheels.yml
V=$CACHE/ci-config
PINS="check-jsonschema==0.39.0 cibuildwheel==4.3.5 pyyaml==6.0.3"
if [ "$(cat "$V/.pins" 2>/dev/null)" != "$PINS" ]; then
  rm -rf "$V"; "${PYTHON:-python3}" -m venv "$V"
  "$V/bin/python" -m pip install -q --disable-pip-version-check $PINS >&2
  echo "$PINS" >"$V/.pins"
fi
"$V/bin/check-jsonschema" --builtin-schema vendor.github-workflows "$WF"

# build.sh's wheel list (its ALL array), and the interpreters in it.
ALL=$(sed -n '/^ALL=(/,/)/p' "$REPO/tools/wheels/build.sh" | tr -d '()' | sed 's/^ALL=//' | xargs)
[ -n "$ALL" ] || die "no ALL=(...) list in tools/wheels/build.sh"
want=$(for w in $ALL; do echo "${w#*-}"; done | sort -uV | xargs)

eval "$("$V/bin/python" - "$WF" <<'PY'
import shlex, sys, yaml
wf = yaml.safe_load(open(sys.argv[1]))
steps = wf["jobs"]["cibuildwheel"]["steps"]
step = next(s for s in steps if s.get("uses", "").startswith("pypa/cibuildwheel@"))
print(f"ACTION_VERSION={shlex.quote(step['uses'].split('@v')[1])}")
print(f"RUNNERS={shlex.quote(' '.join(wf['jobs']['cibuildwheel']['strategy']['matrix']['os']))}")
build = next(s["run"] for s in wf["jobs"]["linux"]["steps"] if "tools/wheels/build.sh" in s.get("run", ""))
print(f"LINUX_WHEELS={shlex.quote(' '.join(build.split('tools/wheels/build.sh', 1)[1].split()))}")
PY
)"
[ "$ACTION_VERSION" = "4.3.5" ] || die "the workflow uses cibuildwheel $ACTION_VERSION, checked here with 4.3.5"
[ "$LINUX_WHEELS" = "$ALL" ] || die "the workflow's Linux job builds [$LINUX_WHEELS], build.sh's list is [$ALL]"
echo "linux: $LINUX_WHEELS"
# macos-14 and later are arm64, macos-NN-intel x86-64 (macos-13, the older x86-64 label, is
# retired); windows-* x64.
[[ " $RUNNERS " =~ \ macos-1[4-9]\  ]] && [[ " $RUNNERS " =~ \ macos-1[5-9]-intel\  ]] && [[ " $RUNNERS " == *" windows-"* ]] \
  || die "the runners [$RUNNERS] are not macOS arm64, macOS x86-64 and Windows"
cd "$REPO"
for plat in macos:arm64 macos:x86_64 windows:AMD64; do
  got=$("$V/bin/cibuildwheel" --print-build-identifiers --platform "${plat%%:*}" --archs "${plat#*:}" | cut -d- -f1 | sort -uV | xargs)
  [ "$got" = "$want" ] || die "cibuildwheel would build [$got] for $plat, build.sh builds [$want]"
  echo "$plat: $got"
done
