"""Sphinx configuration: user guide, example gallery and API reference.

The build needs no network: no intersphinx inventories, no remote images or
fonts (the theme ships its own), and math in figures is typeset by
matplotlib. The reference is generated from the type stubs that ship in the
wheel, the one place where every signature and docstring is written; what
the reference and the gallery need beyond settings is in _ext/orbelon_docs.py.

Every value here pickles (functions are named by strings), so Sphinx can
tell an unchanged configuration and a warm build re-reads only what changed.
"""
import importlib.metadata
import pathlib
import shutil
import sys

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import orbelon_docs  # noqa: E402

project = "orbelon_core"
author = "the orbelon_core developers"
copyright = "2026, the orbelon_core developers"
version = release = importlib.metadata.version("orbelon_core")

# Where the repository lives once it is published, as its web address: the
# one place to set it. It gives the top bar its link and the pages that say
# how to get the source and where to report a problem their address; while
# it is None the link is left out and those pages say what to do without one.
REPOSITORY = None

extensions = [
    "myst_parser",
    "sphinx.ext.napoleon",
    "sphinx_copybutton",
    "sphinx_codeautolink",
    "sphinx_gallery.gen_gallery",
    "autoapi.extension",
    "orbelon_docs",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# The reference generator writes a page for the package itself; the
# module's target is on the reference's index page instead (reference.md),
# which links the classes and sits in the navigation.
exclude_patterns = ["_build", "_ext", "_templates", "gallery/backreferences",
                    "reference/orbelon_core/index.rst"]
templates_path = ["_templates"]
myst_heading_anchors = 3
myst_enable_extensions = ["deflist", "substitution"]
if REPOSITORY:
    myst_substitutions = {
        "get_source": "clone the repository, [%s](%s)" % (REPOSITORY, REPOSITORY),
        "report_problems": "open an issue in the repository's tracker, [%s/issues](%s/issues)"
                           % (REPOSITORY, REPOSITORY),
    }
else:
    myst_substitutions = {
        "get_source": "ask the maintainers for a clone of the repository, "
                      "which is not yet published",
        "report_problems": "write to the maintainers; once the repository is "
                           "published, its issue tracker is the place",
    }

# --- The theme ---------------------------------------------------------------
# The PyData theme, as numpy, scipy and matplotlib use: see building-docs.md.
html_theme = "pydata_sphinx_theme"
html_title = "orbelon_core %s" % release
html_theme_options = {
    "logo": {"text": "orbelon_core"},
    "navbar_start": ["navbar-logo", "version"],
    # The search as an icon, so that the top bar keeps to one line at 1024
    # pixels; Ctrl+K opens it too.
    "navbar_persistent": ["search-button"],
    "navbar_end": ["theme-switcher", "navbar-icon-links"],
    "icon_links": [{"name": "Source repository", "url": REPOSITORY,
                    "icon": "fa-brands fa-git-alt", "type": "fontawesome"}] if REPOSITORY else [],
    # The gallery's pages give that width to code and figures instead.
    "secondary_sidebar_items": {
        "**": ["page-toc"],
        # Its few headings are not worth the width its code needs.
        "getting-started": [],
        "gallery/index": [],
        **{"gallery/" + name[:-3]: [] for name in orbelon_docs.GALLERY_ORDER},
    },
    "footer_start": ["copyright"],
    "footer_end": ["theme-version"],
    "show_toc_level": 2,
    "show_prev_next": True,
    "navigation_with_keys": False,
}
html_sidebars = {"index": [], "changelog": [], "license": []}
html_static_path = ["_static"]
html_favicon = "_static/favicon.svg"
html_css_files = ["orbelon.css"]
html_show_sourcelink = False
html_copy_source = False
html_context = {"default_mode": "auto"}

# Code: a copy button that leaves out prompts and output, and names linked
# to their reference entries. A continuation prompt with nothing after it
# ("..." alone, the blank line that closes a def) is a prompt too: without
# that line a pasted def runs into the next statement.
copybutton_prompt_text = r">>> |\.\.\.(?: |$)|\$ "
copybutton_prompt_is_regexp = True
codeautolink_concat_default = False

# --- The reference -------------------------------------------------------------
# The stubs live in orbelon_core-stubs/, a name that is not an importable
# package name; the reference reads a copy laid out as the package itself.
# The generator rewrites the reference's pages only when that copy's content
# changed (or, see orbelon_docs, a template of the reference).
STUB_PACKAGE = DOCS / "_build" / "stub-package" / "orbelon_core"
shutil.rmtree(STUB_PACKAGE, ignore_errors=True)
shutil.copytree(ROOT / "orbelon_core-stubs", STUB_PACKAGE)

autoapi_type = "python"
autoapi_dirs = [str(STUB_PACKAGE)]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "reference"
autoapi_add_toctree_entry = False
autoapi_keep_files = True
autoapi_own_page_level = "class"
autoapi_template_dir = "_templates/autoapi"
autoapi_member_order = "bysource"
autoapi_python_class_content = "both"
autoapi_options = ["members", "undoc-members", "special-members", "show-module-summary"]

napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
python_maximum_signature_line_length = 68
toc_object_entries_show_parents = "hide"

# --- The gallery ---------------------------------------------------------------
# The tour draws no figure; its thumbnail is drawn here, once.
TOUR_THUMBNAIL = DOCS / "_build" / "tour-thumbnail.png"
if not TOUR_THUMBNAIL.exists() or TOUR_THUMBNAIL.stat().st_mtime < pathlib.Path(
        orbelon_docs.__file__).stat().st_mtime:
    TOUR_THUMBNAIL.parent.mkdir(parents=True, exist_ok=True)
    orbelon_docs.tour_thumbnail(TOUR_THUMBNAIL)

sphinx_gallery_conf = {
    "examples_dirs": ["../examples"],
    "gallery_dirs": ["gallery"],
    # Every script is run, not only those named plot_*; an unchanged script
    # is not run again on a warm build.
    "filename_pattern": r"\.py$",
    "within_subsection_order": "orbelon_docs.GalleryOrder",
    # One style for every figure, set before each script runs.
    "reset_modules": ("matplotlib", "orbelon_docs.gallery_style"),
    "image_srcset": ["2x"],
    "default_thumb_file": str(TOUR_THUMBNAIL),
    # Which examples use which names, for the reference's entries.
    "doc_module": ("orbelon_core",),
    "minigallery_sort_order": "orbelon_docs.gallery_key",
    "backreferences_dir": "gallery/backreferences",
    "download_all_examples": False,
    "write_computation_times": False,
    "capture_repr": (),
    "remove_config_comments": True,
}
