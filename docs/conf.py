"""Sphinx configuration of the vexel_ckf documentation.

The site builds offline: no intersphinx, no remote images, no other network
lookups. `sphinx-build -W -b html docs docs/_build` treats every warning as
an error, numpydoc's docstring checks included.
"""

import os
import sys
from importlib import metadata

try:  # the installed package, or the source tree with its built extensions copied in
    import vexel_ckf  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "python")))

project = "vexel_ckf"
author = "vexel_ckf developers"
copyright = "vexel_ckf developers, MIT licence"
try:
    release = metadata.version("vexel_ckf")
except metadata.PackageNotFoundError:
    release = "0+unknown"
version = release

extensions = ["sphinx.ext.autodoc", "numpydoc"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list = []

autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "none"  # signatures as written; types are in the Parameters sections

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Every public function and method documents its parameters, returns and
# raised exceptions; a missing parameter or Returns section fails the build.
numpydoc_validation_checks = {"PR01", "PR02", "PR03", "RT01", "RT02", "SS03", "GL02", "GL03"}
# The result tuples document their fields one by one instead of as parameters.
numpydoc_validation_exclude = {r"\.__", r"\._", r"Result$", r"Result\.", r"\.LogLikelihood$", r"\.LogLikelihood\."}
