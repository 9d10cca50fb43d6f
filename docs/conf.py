"""Sphinx configuration: the velora documentation, Markdown pages (MyST) and the API reference
generated from the installed package (autodoc). `make docs` builds it with warnings as errors."""

from __future__ import annotations

import velora

project = "velora"
author = "the velora authors"
copyright = "the velora authors"
release = velora.__version__
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
root_doc = "index"
exclude_patterns = ["_build", "conftest.py"]

# The reference documents the package as installed; signatures keep the type aliases' names.
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_type_aliases = {
    "Buffer": "velora.keys.Buffer",
    "Recipients": "velora.types.Recipients",
    "Identities": "velora.types.Identities",
    "KeySource": "velora.loaders.KeySource",
}
autodoc_default_options = {"members": True, "undoc-members": False, "show-inheritance": True}
default_role = "code"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

html_theme = "alabaster"
html_title = f"velora {release}"
html_static_path: list[str] = []
