# The ostrilo_py documentation site: tools/docs.sh builds it into build/docs/html.
import sys
from pathlib import Path

# The site's own extension, and the helpers it shares with the tests (tools/ostrilo_tools).
HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE / "_ext"), str(HERE.parent / "tools")]

project = "ostrilo_py"
author = "the ostrilo_py developers"
copyright = "the ostrilo_py developers"
release = "0.1.0"

extensions = ["ostrilo_docs", "sphinx.ext.doctest"]
default_role = "py:obj"  # `Vec3d.normalize` links to its reference entry
primary_domain = "py"
exclude_patterns = ["_build", "api"]
html_theme = "alabaster"
html_theme_options = {"description": "Exact 3-D vector mathematics for Python", "page_width": "1240px"}
html_title = "ostrilo_py"
html_show_sourcelink = False
python_display_short_literal_types = True
add_module_names = False
toc_object_entries = False
doctest_global_setup = """
import importlib.util
from ostrilo_py import *
from ostrilo_py import geometry
# Buffers, pickling and copying come with the helper module installed beside the extension.
INTEROP = importlib.util.find_spec("_ostrilo_py_pickle") is not None
"""
