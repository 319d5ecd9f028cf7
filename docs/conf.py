"""Sphinx configuration of vollan's documentation site (``make docs``, output in build/docs)."""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import plots  # noqa: E402 - the pictures are drawn from the installed package at build time

project = "vollan"
author = "the vollan developers"
copyright = "the vollan developers"  # noqa: A001 - Sphinx reads this name
extensions = ["sphinx.ext.autodoc", "numpydoc", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = "vollan"
myst_heading_anchors = 3
# The members of classes are listed by their own entries in the reference.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
autodoc_typehints = "none"


def setup(app: object) -> None:
    plots.draw(HERE / "_generated")
