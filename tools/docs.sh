#!/usr/bin/env bash
# Builds the documentation site into build/docs/html: installs ostrilo_py with its docs extra,
# runs every example on the pages against the built module, then writes the HTML. Any Sphinx
# warning fails the build.
#   tools/docs.sh [sphinx-build arguments...]
# The interpreter: PYTHON, the active virtual environment, or .venv (made on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
# shellcheck disable=SC2086
"$PYTHON" -m pip install -q ${OSTRILO_PIP_ARGS:-} ".[docs]"
rm -rf build/docs
for builder in doctest html; do
  "$PYTHON" -m sphinx -W --keep-going -q -b "$builder" -d build/docs/doctrees docs "build/docs/$builder" "$@"
done
echo "site: build/docs/html/index.html"
