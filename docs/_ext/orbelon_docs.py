"""The site's own Sphinx extension: what the reference and the gallery need
beyond configuration.

- The reference is read from the type stubs. Their overloads each carry a
  numpydoc docstring; the reference generator would keep only the last, so
  the overloads' sections are merged into one entry here.
- Signatures spell each number parameter as ``float | SupportsFloat |
  SupportsIndex`` so that an editor shows what it takes; the reference
  shortens that to ``FloatLike``, defined on the reference's index page.
- ``.. operations:: orbelon_core.Scalar`` opens each class page with a table
  of what the class supports, in Python notation, each row linked to its
  entry, and what a reader might try that it does not support.
- ``.. gallery-uses:: NAME`` lists, once for a class or module page, the
  gallery examples that use NAME or any of its members.
- The gallery's order, its matplotlib style and the tour's thumbnail; the
  gallery's figures shown on other pages get their 2x files as well.
- The module's target is on the reference's index page, which search leaves
  to the landing page of the same name.
- Checks of the written pages: every figure has a 2x source, and every link
  to the module lands on a page that links its four members.
- Warm builds: a change to the site's own files (configuration, templates,
  style sheet, this file) redoes every page, which Sphinx alone would not.

Everything here is referred to from conf.py by name, never as a function
object, so that the configuration pickles and a warm build stays warm.
"""
import ast
import functools
import hashlib
import html
import json
import os
import pathlib
import re

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx import addnodes
from sphinx.domains.python import PythonDomain
from sphinx.util import logging

logger = logging.getLogger(__name__)

DOCS = pathlib.Path(__file__).resolve().parents[1]
ROOT = DOCS.parent
STUBS = ROOT / "orbelon_core-stubs" / "__init__.pyi"
EXAMPLES = ROOT / "examples"

FLOAT_LIKE = "float | SupportsFloat | SupportsIndex"


# --- The reference: overloads and the FloatLike alias ----------------------

SECTION = re.compile(r"^([A-Z][a-z]+)\n-+\n", re.M)


def merge_numpydoc(docs):
    """One numpydoc docstring from several: the summaries one after the
    other, then each section (Parameters, Returns, Raises) with the entries
    of every docstring that has it, in order."""
    summaries, sections = [], {}
    for doc in docs:
        parts = SECTION.split(doc)
        summaries.append(parts[0].strip())
        for name, body in zip(parts[1::2], parts[2::2]):
            sections.setdefault(name, []).append(body.strip("\n"))
    text = "\n\n".join(s for s in summaries if s)
    for name, bodies in sections.items():
        text += "\n\n%s\n%s\n%s" % (name, "-" * len(name), "\n".join(bodies))
    return text + "\n"


def _shorten(annotation):
    return annotation.replace(FLOAT_LIKE, "FloatLike") if annotation else annotation


def _patch_parser():
    import autoapi._parser

    original = autoapi._parser._parse_child
    if getattr(original, "orbelon", False):
        return

    def parse_child(child_data, overloads):
        if "args" in child_data:
            child_data["args"] = [(prefix, name, _shorten(annotation), default)
                                  for prefix, name, annotation, default in child_data["args"]]
            child_data["return_annotation"] = _shorten(child_data.get("return_annotation"))
        grouped = overloads.get(child_data.get("name"))
        if grouped is not None and child_data.get("is_overload"):
            docs = grouped.setdefault("overload_docs", [grouped["doc"]])
            docs.append(child_data["doc"])
            result = original(child_data, overloads)
            grouped["doc"] = merge_numpydoc(docs)
            return result
        return original(child_data, overloads)

    parse_child.orbelon = True
    autoapi._parser._parse_child = parse_child


def _site_digest():
    inputs = [DOCS / "conf.py", pathlib.Path(__file__)]
    inputs += sorted(p for folder in ("_templates", "_static")
                     for p in (DOCS / folder).rglob("*") if p.is_file())
    return hashlib.sha256(b"".join(path.read_bytes() for path in inputs)).hexdigest()


def notice_site_changes(app):
    """A warm build redoes the pages whose sources changed. When the
    configuration, a template, the style sheet or this extension changed,
    every page is read and written again instead, and the reference
    generator rewrites its pages, which by itself it would do only for a
    changed stub. The build information is made stale too, so that every
    extension sees every page as outdated: sphinx-codeautolink links the code
    of the pages it finds outdated, and keeps no record of a Markdown page's
    code from one build to the next."""
    digest = _site_digest()
    app.env.orbelon_site_changed = getattr(app.env, "orbelon_site_digest", None) != digest
    if app.env.orbelon_site_changed:
        info = pathlib.Path(app.outdir, ".buildinfo")
        if info.exists():
            info.write_text("# Sphinx build info version 1\n# stale\nconfig: -\ntags: -\n")
        app.env.autoapi_source_hashes = None
        app.env.orbelon_site_digest = digest


def outdated_when_the_site_changed(app, env, added, changed, removed):
    return sorted(env.found_docs) if env.orbelon_site_changed else []


def skip_member(app, what, name, obj, skip, options):
    # Solver has no instances, so it has nothing to pickle; that a Scalar is
    # unhashable is said in its table of operations.
    if name in ("orbelon_core.Solver.__reduce_ex__", "orbelon_core.Scalar.__hash__"):
        return True
    return None


# --- The operations table ---------------------------------------------------

# How Python spells a call of each special method, for a receiver {s}, an
# operand {o} (another object of the class, or a number) and a number {n}.
NOTATION = {
    "__init__": "{cls}({params})",
    "__repr__": "repr({s}), str({s})",
    "__float__": "float({s})",
    "__add__": "{s} + {o}", "__radd__": "{n} + {s}",
    "__sub__": "{s} - {o}", "__rsub__": "{n} - {s}",
    "__mul__": "{s} * {o}", "__rmul__": "{n} * {s}",
    "__truediv__": "{s} / {o}", "__rtruediv__": "{n} / {s}",
    "__neg__": "-{s}",
    "__pow__": "{s} ** {o}",
    "__eq__": "{s} == {o}, {s} != {o}",
    "__lt__": "{s} < {o}, {o} > {s}",
    "__getitem__": "{s}[i]",
    "__setitem__": "{s}[i] = {n}",
    "__reduce_ex__": "pickle.dumps({s}), copy.copy({s})",
}

# What a reader may try that no method of the class serves, shown when the
# class has the first method and lacks the second, with what Python does.
MISSING = [
    ("__add__", "__neg__", "-{s}", "not supported: TypeError"),
    ("__add__", "__pos__", "+{s}", "not supported: TypeError"),
    ("__add__", "__abs__", "abs({s})", "not supported: TypeError"),
    ("__mul__", "__rmul__", "{n} * {s}", "not supported: TypeError"),
    ("__pow__", "__rpow__", "{n} ** {s}", "not supported: TypeError"),
    ("__lt__", "__le__", "{s} <= {t}, {s} >= {t}", "not supported: TypeError"),
    ("__getitem__", "__len__", "len({s})", "not supported: TypeError"),
    ("__getitem__", "__iter__", "list({s}), x, y, z = {s}",
     "supported, through ``{s}[0]``, ``{s}[1]``, ``{s}[2]``"),
    ("__add__", "__eq__", "{s} == {t}", "identity, not equality: ``True`` only for the same object"),
    ("__add__", "__iadd__", "{s} += {t}", "supported, and rebinds ``{s}`` to the new object ``{s} + {t}``"),
    ("__hash__ = None", "", "hash({s})", "not supported: unhashable, TypeError"),
]

# The receiver, another object of the class and a number, as the notation
# writes them.
OPERANDS = {"Scalar": ("s", "t", "2"), "Vec3": ("v", "w", "2.0")}


@functools.lru_cache(maxsize=None)
def _stub_classes():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _summary(doc):
    """The first sentence of a docstring, without its leading notation."""
    line = (doc or "").strip().split("\n\n")[0].replace("\n", " ")
    line = re.sub(r"^``[^`]*``(?:, ``[^`]*``)*(?: and ``[^`]*``)?: ", "", line)
    return line[:1].upper() + line[1:]


def _params(func):
    """The parameters as a call writes them: name, or name=default."""
    args = func.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    return ", ".join(arg.arg + ("" if default is None else "=" + ast.unparse(default))
                     for arg, default in zip(positional, defaults) if arg.arg != "self")


def operation_rows(cls_name):
    """(notation, target or None, summary) for each operation of the class."""
    cls = _stub_classes()[cls_name]
    s, t, n = OPERANDS.get(cls_name, (cls_name, cls_name, "2"))
    full = "orbelon_core." + cls_name
    rows, names = [], set()
    for node in cls.body:
        if isinstance(node, ast.AnnAssign) and node.target.id == "__hash__":
            names.add("__hash__ = None")
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = [ast.unparse(d) for d in node.decorator_list]
        if any(d.endswith(".setter") for d in decorators):
            continue
        names.add(node.name)
        doc = ast.get_docstring(node)
        # The constructor is documented on the class, as numpydoc has it.
        target = full if node.name == "__init__" else full + "." + node.name
        if "property" in decorators:
            rows.append(("%s.%s" % (s, node.name), target, _summary(doc)))
        elif node.name in NOTATION:
            if node.name == "__reduce_ex__" and cls_name == "Solver":
                continue
            first = (node.args.posonlyargs + node.args.args)[1:2]
            operand = t if first and ast.unparse(first[0].annotation) == cls_name else n
            notation = NOTATION[node.name].format(
                cls=cls_name, params=_params(node), s=s, o=operand, n=n)
            rows.append((notation, target, _summary(doc)))
        elif "staticmethod" in decorators:
            notation = "%s.%s(%s)" % (cls_name, node.name, _params(node))
            rows.append((notation, target, _summary(doc)))
        else:
            notation = "%s.%s(%s)" % (s, node.name, _params(node))
            rows.append((notation, target, _summary(doc)))
    if "__init__" not in names and cls_name not in OPERANDS:
        rows.insert(0, ("%s()" % cls_name, None, "Not supported: TypeError, there are no instances"))
    for present, absent, notation, what in MISSING:
        if present in names and absent not in names:
            text = what.format(s=s, t=t)
            rows.append((notation.format(s=s, t=t, n=n), None, text[:1].upper() + text[1:]))
    return rows


def _xref(target, text):
    ref = addnodes.pending_xref("", refdomain="py", reftype="obj", reftarget=target,
                                refexplicit=True, refwarn=True)
    ref += nodes.literal(text, text)
    return ref


def _table(header, rows):
    table = nodes.table(classes=["operations"])
    group = nodes.tgroup(cols=len(header))
    table += group
    for width in (45, 55):
        group += nodes.colspec(colwidth=width)
    head = nodes.thead()
    body = nodes.tbody()
    group += head
    group += body
    for target, cells in [(head, [header]), (body, rows)]:
        for cells_of_row in cells:
            row = nodes.row()
            for cell in cells_of_row:
                entry = nodes.entry()
                entry += nodes.paragraph("", "", *cell) if isinstance(cell, list) \
                    else nodes.paragraph(text=cell)
                row += entry
            target += row
    return table


class Operations(Directive):
    """A table of the class's operations in Python notation."""

    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        self.state.document.settings.env.note_dependency(str(STUBS))
        rows = []
        for notation, target, summary in operation_rows(name.rsplit(".", 1)[1]):
            cell = [_xref(target, notation)] if target else [nodes.literal(notation, notation)]
            text, messages = self.state.inline_text(summary, self.lineno)
            rows.append([cell, text + messages])
        return [_table(["Operation", "What it gives"], rows)]


class GalleryUses(Directive):
    """The gallery examples that use an object or any of its members, as
    thumbnails under a rubric: one block for a class's page rather than one
    per member, which would show the same cards a dozen times over. The tour uses
    everything, and is left out."""

    required_arguments = 1
    left_out = ("tour.py",)

    def run(self):
        from sphinx_gallery.directives import MiniGallery

        env = self.state.document.settings.env
        conf = env.config.sphinx_gallery_conf
        found = pathlib.Path(env.srcdir, conf["backreferences_dir"], "backreferences_all.json")
        env.note_dependency(str(found))
        uses = json.loads(found.read_text()) if found.exists() else {}
        name = self.arguments[0]
        examples = {os.path.relpath(os.path.join(folder, script), env.srcdir)
                    for key, found_in in uses.items()
                    if key == name or key.startswith(name + ".")
                    for script, folder, *_ in found_in if script not in self.left_out}
        if not examples:
            return []
        # Named by path, the examples come once each, in the gallery's order
        # (minigallery_sort_order in conf.py).
        gallery = MiniGallery(self.name, [" ".join(sorted(examples))], {}, [], self.lineno,
                              self.content_offset, self.block_text, self.state,
                              self.state_machine)
        return [nodes.rubric(text="Used in the gallery")] + gallery.run()


# --- The gallery -------------------------------------------------------------


def leave_gallery_code_to_the_gallery(app, doctree):
    """The gallery links the names in its examples' code itself; code links
    elsewhere come from sphinx-codeautolink, which must not link the same
    code a second time."""
    if app.env.docname.startswith("gallery/"):
        from sphinx_codeautolink.extension.directive import SkipMarker

        doctree.insert(0, SkipMarker("file"))


# The tour first, then how the methods behave at their limits, then worked
# problems from physics.
GALLERY_ORDER = [
    "tour.py",
    "simpson_convergence.py",
    "difference_step.py",
    "newton_convergence.py",
    "reflect_project.py",
    "projectile.py",
    "kepler.py",
    "work_along_path.py",
]
STYLE = EXAMPLES / "gallery.mplstyle"


def gallery_key(filename):
    """The examples' order: GALLERY_ORDER, then any new script by name."""
    name = pathlib.Path(filename).name
    if name in GALLERY_ORDER:
        return (0, GALLERY_ORDER.index(name), name)
    return (1, 0, name)


class GalleryOrder:
    """sphinx-gallery's sort key for the gallery's own page, which it wants
    as a class."""

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        return gallery_key(filename)

    def __repr__(self):
        return "GalleryOrder"


def gallery_style(gallery_conf, fname, when=None):
    """Before each example: matplotlib's defaults, then the gallery's style."""
    import matplotlib.pyplot as plt

    plt.rcdefaults()
    plt.style.use(str(STYLE))


def tour_thumbnail(path):
    """The tour draws no figure; its thumbnail shows what a Scalar gives: a
    function and, from one evaluation, the tangent at a point."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    from orbelon_core import Scalar

    def f(x):
        return (x.sin() * x.exp() + 1.0 / x) ** 2 if isinstance(x, Scalar) else \
            (np.sin(x) * np.exp(x) + 1.0 / x) ** 2

    with plt.style.context(str(STYLE)):
        fig, ax = plt.subplots(figsize=(4.0, 2.8), layout="constrained")
        xs = np.linspace(2.2, 3.6, 200)
        ax.plot(xs, f(xs), linewidth=2.5)
        y = f(Scalar(3.0, 1.0))
        ax.plot(xs, y.val + y.d * (xs - 3.0), "--", linewidth=2)
        ax.plot(3.0, y.val, "o", color="k", markersize=7)
        ax.set_ylim(-40.0, 160.0)
        ax.set_xticks([])
        ax.set_yticks([])
        ax.text(0.04, 0.9, "Scalar(3.0, 1.0)", transform=ax.transAxes, fontsize=14,
                family="monospace")
        fig.savefig(path, dpi=100)
        plt.close(fig)


def figures_at_2x(app, doctree):
    """A guide page shows a gallery figure as a plain Markdown image, which
    would be the 1x file alone, soft on a 2x screen. sphinx-gallery writes
    the file for each density in image_srcset beside it; here such an image
    becomes sphinx-gallery's own image node with all of them as its srcset,
    as on the figure's gallery page."""
    env = app.env
    if env.docname.startswith("gallery/"):
        return
    from sphinx_gallery.directives import imgsgnode

    # sphinx-gallery keeps them as floats once it has read its configuration.
    densities = [float(str(d).rstrip("x")) for d in env.config.sphinx_gallery_conf["image_srcset"]]
    for image in list(doctree.findall(nodes.image)):
        relative, path = env.relfn2path(image["uri"], env.docname)
        if not re.match(r"gallery/images/sphx_glr_.*\.png$", relative):
            continue
        srcset = ["/" + relative]
        for density in densities:
            if density == 1.0:
                continue
            # sphinx-gallery's naming: sphx_glr_x_001_2_00x.png for 2x.
            suffix = ("_%.2fx" % density).replace(".", "_")
            dense = pathlib.Path(relative).with_name(pathlib.Path(relative).stem + suffix + ".png")
            if pathlib.Path(env.srcdir, dense).exists():
                srcset.append("/%s %.2fx" % (dense.as_posix(), density))
                env.note_dependency(str(pathlib.Path(env.srcdir, dense)))
        if len(srcset) == 1:
            continue  # check_written_pages says so
        node = imgsgnode()
        node["uri"] = "/" + relative
        # sphinx-gallery writes the text into the tag as it is.
        node["alt"] = html.escape(image.get("alt", ""), quote=True)
        node["class"] = ["sphx-glr-single-img"]
        node["srcset"] = ", ".join(srcset)
        env.note_dependency(path)
        image.replace_self(node)


class OrbelonPythonDomain(PythonDomain):
    """Python's domain, but with the module itself left out of search: its
    target is on the reference's index page, and the landing page of the
    same name is what a search for "orbelon_core" should find, once."""

    def get_objects(self):
        for name, shown, kind, docname, anchor, priority in super().get_objects():
            if kind == "module" and name == "orbelon_core":
                priority = -1
            yield name, shown, kind, docname, anchor, priority


HREF = re.compile(r'<a\b[^>]*\bhref="([^"]*)"')
IMG = re.compile(r"<img\b[^>]*>")


def _links(page, text):
    """(file, fragment) for each link of a page to a page of the site."""
    for href in HREF.findall(text):
        if re.match(r"[a-z]+:", href):
            continue
        path, _, fragment = html.unescape(href).partition("#")
        yield (page.parent / path).resolve() if path else page, fragment


def check_written_pages(app, exception):
    """What the reader sees, checked on the written pages: each figure has
    a source for a 2x screen (thumbnails aside), and each link to the module
    lands on a page that links its four members."""
    if exception is not None or app.builder.format != "html":
        return
    out = pathlib.Path(app.outdir).resolve()
    # The pages of this build, not what an earlier build left in the folder.
    names = [app.builder.get_target_uri(doc) for doc in sorted(app.env.found_docs)]
    names += ["genindex.html", "py-modindex.html"]
    pages = {(out / name).resolve(): (out / name).read_text(encoding="utf-8")
             for name in names if (out / name).exists()}
    for page, text in pages.items():
        for tag in IMG.findall(text):
            src = re.search(r'\bsrc="([^"]*)"', tag).group(1)
            # The figures; not the theme's icons, nor the thumbnails, which
            # sphinx-gallery makes at one size.
            if not src.rpartition("/")[0].endswith("_images") or "_thumb" in src:
                continue
            srcset = re.search(r'\bsrcset="([^"]*)"', tag)
            dense = [entry.split()[0] for entry in (srcset.group(1) if srcset else "").split(",")
                     if len(entry.split()) == 2 and float(entry.split()[1].rstrip("x")) >= 2]
            if not any((page.parent / entry).exists() for entry in dense):
                logger.warning("%s: the image %s has no 2x source",
                               page.relative_to(out), src, type="orbelon", subtype="hidpi")

    python = app.env.domains["py"]
    module = python.modules["orbelon_core"]
    members = {name: (out / app.builder.get_target_uri(python.objects[name].docname)).resolve()
               for name in ("orbelon_core." + member
                            for member in ("Scalar", "Vec3", "Solver", "Constants"))}
    landings = {}
    for page, text in pages.items():
        for target, fragment in _links(page, text):
            if fragment == module.node_id:
                landings.setdefault(target, page)
    for landing, page in landings.items():
        linked = {target for target, _ in _links(landing, pages.get(landing, ""))}
        missing = [name for name, member in members.items() if member not in linked]
        if landing not in pages:
            missing = ["anything: it is not a page of this build"]
        if missing:
            logger.warning("%s links orbelon_core to %s, which does not link %s",
                           page.relative_to(out), os.path.relpath(landing, out),
                           ", ".join(missing), type="orbelon", subtype="module")


def setup(app):
    _patch_parser()
    # Before the reference generator and sphinx-codeautolink, which take
    # their look at what is outdated at the default priority.
    app.connect("builder-inited", notice_site_changes, priority=400)
    app.connect("env-get-outdated", outdated_when_the_site_changed)
    app.connect("autoapi-skip-member", skip_member)
    # Before sphinx-codeautolink reads the code blocks, at priority 490.
    app.connect("doctree-read", leave_gallery_code_to_the_gallery, priority=480)
    # Before Sphinx collects the page's images, at the default priority:
    # sphinx-gallery's node copies its files itself.
    app.connect("doctree-read", figures_at_2x, priority=450)
    app.connect("build-finished", check_written_pages)
    app.add_domain(OrbelonPythonDomain, override=True)
    app.add_directive("operations", Operations)
    app.add_directive("gallery-uses", GalleryUses)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
