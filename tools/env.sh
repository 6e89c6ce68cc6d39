# Sourced by tour.sh and test.sh: picks the interpreter to install into and run with.
# PYTHON, if set, is used as it is. Otherwise the active virtual environment's python3, or else a
# virtual environment .venv in the repository, made on first use (system interpreters often
# refuse installs from pip).
if [ -z "${PYTHON:-}" ]; then
  if python3 -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)' 2>/dev/null; then
    PYTHON=python3
  else
    [ -x .venv/bin/python ] || python3 -m venv .venv
    PYTHON=.venv/bin/python
  fi
fi
