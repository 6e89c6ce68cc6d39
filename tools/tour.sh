#!/usr/bin/env bash
# Builds and installs ostrilo_py, then runs the guided tour (examples/tour.py).
# The interpreter: PYTHON, the active virtual environment, or .venv (made on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
"$PYTHON" -m pip install -q ".[tour]"
exec "$PYTHON" examples/tour.py
