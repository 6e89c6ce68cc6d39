#!/usr/bin/env bash
# Builds the module, installs it with its test dependencies into the current Python environment
# (use a virtual environment) and runs the whole test suite from the repository root.
#   tools/test.sh [pytest arguments...]
# PYTHON selects the interpreter (default: python3); OSTRILO_PIP_ARGS adds pip options, e.g.
#   OSTRILO_PIP_ARGS="-C cmake.define.OSTRILO_SANITIZE=ON" tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
# shellcheck disable=SC2086
"$PY" -m pip install ${OSTRILO_PIP_ARGS:-} ".[test]"
exec "$PY" -m pytest -q "$@"
