"""Sphinx configuration of orbelin's reference site.

The API pages come from the docstrings of the installed extension module (one source of truth); the gallery runs
the scripts of examples/ offline, all but the Dask scan, which needs a cluster and ten million solves.
"""

import pathlib
import re
import sys

import orbelin

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "_ext"))

project = "orbelin"
author = "the orbelin developers"
copyright = "the orbelin developers, BSD-3-Clause"
release = orbelin.__version__
version = re.sub(r"^(\d+\.\d+).*", r"\1", release)

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "orbelin_docs",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "gallery/*.ipynb", "gallery/*.py.md5", "gallery/*.codeobj.json"]
templates_path = ["_templates"]
html_static_path = ["_static"]

# API reference: one page per function and class, built from the module's own help texts.
autosummary_generate = True
autodoc_default_options = {"members": False}
numpydoc_show_class_members = False  # each class page lists its attributes from the Attributes section
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Sections the help texts must keep: every parameter documented, known section names, a summary line.
numpydoc_validation_checks = {"PR01", "PR02", "PR03", "PR10", "GL06", "GL07", "SS01", "RT01"}
# Private reconstructors used by pickle are no part of the reference.
numpydoc_validation_exclude = {r"\._rebuild_", r"\.__init__$"}

# The gallery: examples/ run in this build, all but the Dask scan (a cluster and 10^7 solves).
sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "gallery",
    "filename_pattern": r"/(demo|rendezvous|dv_dispersion|porkchop)\.py$",
    "ignore_pattern": r"__init__\.py",
    "reset_argv": "orbelin_docs.reset_argv",
    "image_scrapers": ("matplotlib", "orbelin_docs.saved_chart_scraper"),
    "download_all_examples": False,
    "remove_config_comments": True,
    "min_reported_time": 1,
    "capture_repr": (),
    "matplotlib_animations": False,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "within_subsection_order": "ExampleTitleSortKey",
    # The scripts that print tables instead of drawing share one thumbnail.
    "default_thumb_file": str(ROOT / "docs" / "_static" / "text_output_thumb.png"),
}

html_theme = "pydata_sphinx_theme"
html_title = f"orbelin {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_center": ["sphinx-version"],
}
html_show_sourcelink = False
html_css_files = ["orbelin.css"]
# Pages without sections of their own to navigate: no left sidebar, and the tables get the width.
PROSE = ["index", "install", "which", "validation", "performance", "scaling", "internals", "references"]
html_sidebars = {page: [] for page in PROSE}
