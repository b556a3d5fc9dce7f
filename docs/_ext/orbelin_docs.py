"""Helpers of the site's build: help texts read as reStructuredText, and the gallery's scripts given their arguments.

The help texts are written for help() in a terminal, so a few of their plain-text habits mean something else to
reStructuredText: |x| for a norm would be a substitution, and a "# Returns" line directly above a bullet list would
swallow the list into its paragraph. They are adjusted here, as the page is rendered, and the texts stay as
help() shows them.
"""

import pathlib
import re
import shutil
import tempfile

# Scripts that save their chart to a file (porkchop.py closes its figure once saved) write it here.
CHARTS = pathlib.Path(tempfile.mkdtemp(prefix="orbelin-docs-"))
ARGUMENTS = {
    "porkchop.py": ["--output", str(CHARTS / "porkchop.png")],
    "dv_dispersion.py": ["--samples", "100000"],  # 10^6 by default: the gallery needs the picture, not the digits
}


def reset_argv(gallery_conf, script_vars):
    return ARGUMENTS.get(pathlib.Path(script_vars["src_file"]).name, [])


def saved_chart_scraper(block, block_vars, gallery_conf):
    """The PNGs a script wrote to CHARTS, moved to where the gallery keeps that script's images."""
    from sphinx_gallery.scrapers import figure_rst

    paths = []
    for chart, path in zip(sorted(CHARTS.glob("*.png")), block_vars["image_path_iterator"]):
        shutil.move(chart, path)
        paths.append(path)
    return figure_rst(paths, gallery_conf["src_dir"])


_BAR = re.compile(r"(?<!\\)\|")


def as_restructured_text(app, what, name, obj, options, lines):
    fixed = []
    for line in lines:
        if fixed and fixed[-1].startswith("# ") and line.startswith("* "):
            fixed.append("")
        fixed.append(line if line.lstrip().startswith(">>>") else _BAR.sub(r"\\|", line))
    lines[:] = fixed


def setup(app):
    # Before numpydoc (priority 500) reads the sections.
    app.connect("autodoc-process-docstring", as_restructured_text, priority=400)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
