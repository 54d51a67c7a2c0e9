"""Sphinx configuration: user guide, example gallery and API reference.

The build needs no network: no intersphinx inventories, no remote images,
and math is written as code rather than rendered by a web script. The
reference is generated from the type stubs that ship in the wheel, which
are the single place where every signature and docstring is written.
"""
import pathlib
import shutil

import autoapi._objects
import autoapi._parser

import orbelon_core

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent

project = "orbelon_core"
author = "the orbelon_core developers"
copyright = "the orbelon_core developers"
version = release = orbelon_core.__doc__.split()[1].lstrip("v")

extensions = ["myst_parser", "sphinx_gallery.gen_gallery", "autoapi.extension"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {
    "description": "Dual numbers, 3-vectors and solvers in C++",
    "fixed_sidebar": True,
    "page_width": "1140px",
    "body_max_width": "none",
}
html_static_path = []
pygments_style = "sphinx"
myst_heading_anchors = 3

# The stubs live in orbelon_core-stubs/, a name that is not an importable
# package name; the reference reads a copy laid out as the package itself.
STUB_PACKAGE = DOCS / "_build" / "stub-package" / "orbelon_core"
shutil.rmtree(STUB_PACKAGE, ignore_errors=True)
shutil.copytree(ROOT / "orbelon_core-stubs", STUB_PACKAGE)

autoapi_type = "python"
autoapi_dirs = [str(STUB_PACKAGE)]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "reference"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_python_class_content = "class"
autoapi_options = ["members", "undoc-members", "special-members", "show-module-summary"]

sphinx_gallery_conf = {
    "examples_dirs": ["../examples"],
    "gallery_dirs": ["gallery"],
    # Every script is run, not only those named plot_*.
    "filename_pattern": r"\.py$",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "write_computation_times": False,
    "capture_repr": (),
    "remove_config_comments": True,
}


# The stubs give each overload its own docstring (the product rule for
# Scalar * Scalar, the plain scaling for Scalar * float), but the reference
# generator keeps only the last one. Keep them all, each under the
# parameters it belongs to.
_parse_child = autoapi._parser._parse_child


def _overload_entry(data):
    params = autoapi._objects._format_args(data["args"], True, "self").replace(", /", "")
    lines = (data["doc"] or "").strip("\n").splitlines() or [""]
    return ["With ``%s``:" % params] + ["   " + line if line else "" for line in lines] + [""]


def _parse_child_keeping_overload_docs(child_data, overloads):
    grouped = overloads.get(child_data.get("name"))
    if grouped is None or not child_data.get("is_overload"):
        return _parse_child(child_data, overloads)
    entries = grouped.setdefault("_overload_entries", _overload_entry(grouped))
    entries += _overload_entry(child_data)
    result = _parse_child(child_data, overloads)
    grouped["doc"] = "\n".join(entries)
    return result


autoapi._parser._parse_child = _parse_child_keeping_overload_docs
