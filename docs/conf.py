# Sphinx configuration of the tarnu documentation. `make docs` builds it
# with warnings as errors, against the tarnu installed in the venv.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

project = "tarnu"
author = "the tarnu developers"
copyright = "the tarnu developers"

import tarnu  # noqa: E402  (the installed package, not the source tree)

release = tarnu.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "stubdoc",
]

# The guides and API pages are found by glob toctrees; the README is for
# people reading the source tree.
exclude_patterns = ["_build", "README.md"]
templates_path = []
html_static_path = []
html_theme = "alabaster"
html_title = f"tarnu {release}"

# Python code blocks are highlighted as Python by default.
highlight_language = "python3"
pygments_style = "sphinx"

# Docstrings name the constants and classes in prose; the API reference
# renders the signatures of the stubs (see _ext/stubdoc.py).
autodoc_member_order = "bysource"
autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "show-inheritance": True,
}
autodoc_typehints = "signature"
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# "Attributes:" sections become fields; autodoc documents the attributes
# themselves.
napoleon_use_ivar = True
