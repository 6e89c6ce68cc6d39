#!/usr/bin/env bash
# Builds and installs ostrilo_py into the current Python environment, then runs the tour.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q ".[tour]"
exec "$PYTHON" examples/tour.py
