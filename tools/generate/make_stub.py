"""Writes the type stubs of a module (ostrilo_py, ostrilo_ext) from the interface records of its
built library and the prose of docs/api.

    python tools/generate/make_stub.py LIBRARY [OUTPUT_DIR]           (default OUTPUT_DIR: stubs/<module>)
    python tools/generate/make_stub.py --check LIBRARY [OUTPUT_DIR]   exit 1 when the files differ

The work is tools/ostrilo_tools/make_stub.py's, which the tests and the site import.
"""
import sys
from pathlib import Path

if __name__ == "__main__":
    # A program, not a module: the helpers' package is found beside this folder.
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from ostrilo_tools.make_stub import main

    sys.exit(main())
