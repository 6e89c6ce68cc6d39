#!/usr/bin/env bash
# Checks the cibuildwheel workflow (.github/workflows/wheels.yml), which cannot run here: it must
# be a valid workflow by the published schema, and cibuildwheel must accept its build selectors
# and name the wheels we mean for macOS and Windows.
set -euo pipefail
source "$(dirname "$0")/common.sh"
WF=$REPO/.github/workflows/wheels.yml
V=$CACHE/ci-config
if [ "$(cat "$V/.pins" 2>/dev/null)" != "check-jsonschema==0.39.0 cibuildwheel==4.3.5 pyyaml==6.0.3" ]; then
  rm -rf "$V"; "${PYTHON:-python3}" -m venv "$V"
  "$V/bin/python" -m pip install -q --disable-pip-version-check check-jsonschema==0.39.0 cibuildwheel==4.3.5 pyyaml==6.0.3 >&2
  echo "check-jsonschema==0.39.0 cibuildwheel==4.3.5 pyyaml==6.0.3" >"$V/.pins"
fi
"$V/bin/check-jsonschema" --builtin-schema vendor.github-workflows "$WF"
# The cibuildwheel step's settings, as the runner would pass them.
eval "$("$V/bin/python" - "$WF" <<'PY'
import shlex, sys, yaml
wf = yaml.safe_load(open(sys.argv[1]))
step = next(s for s in wf["jobs"]["build"]["steps"] if s.get("uses", "").startswith("pypa/cibuildwheel@"))
print(f"ACTION_VERSION={shlex.quote(step['uses'].split('@v')[1])}")
for k, v in step["env"].items():
    print(f"export {k}={shlex.quote(str(v))}")
PY
)"
[ "$ACTION_VERSION" = "4.3.5" ] || die "the workflow uses cibuildwheel $ACTION_VERSION, checked here with 4.3.5"
want="cp311 cp313 cp314 cp314t cp315"
for plat in macos:arm64 windows:AMD64; do
  got=$("$V/bin/cibuildwheel" --print-build-identifiers --platform "${plat%%:*}" --archs "${plat#*:}" | cut -d- -f1 | xargs)
  [ "$got" = "$want" ] || die "cibuildwheel would build [$got] on ${plat%%:*}, not [$want]"
  echo "${plat%%:*}: $got"
done
