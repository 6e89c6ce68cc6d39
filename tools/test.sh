#!/usr/bin/env bash
# Builds and installs ostrilo_py with its test dependencies, then runs the whole test suite
# from the repository root.
#   tools/test.sh [pytest arguments...]
# The interpreter: PYTHON, the active virtual environment, or .venv (made on first use).
# OSTRILO_PIP_ARGS adds pip options, e.g.
#   OSTRILO_PIP_ARGS="-C cmake.define.OSTRILO_SANITIZE=ON" tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
# shellcheck disable=SC2086
"$PYTHON" -m pip install ${OSTRILO_PIP_ARGS:-} ".[test]"
exec "$PYTHON" -m pytest -q "$@"
