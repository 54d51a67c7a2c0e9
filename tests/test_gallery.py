"""The numbers behind the gallery's figures.

Each gallery script computes what it draws with small functions; here the
script is run headlessly, in the gallery's style, and those numbers are held
to the claims its text and figure make. Pixels are not compared; what a
number can say about a figure is checked: every axis is labelled, text is
legible at the size the site shows it, and forces share one arrow scale.
"""
import functools
import itertools
import math
import os
import pathlib
import runpy
import types

import pytest

os.environ["MPLBACKEND"] = "Agg"
matplotlib = pytest.importorskip("matplotlib")
plt = pytest.importorskip("matplotlib.pyplot")
np = pytest.importorskip("numpy")

from orbelon_core import Solver, Vec3  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
GALLERY = ["simpson_convergence.py", "difference_step.py", "newton_convergence.py",
           "projectile.py", "reflect_project.py", "kepler.py", "work_along_path.py"]


# The site shows a figure at its own width (100 dpi), or at the article
# column's width where that is narrower: some 700 pixels on a 1024-pixel
# screen. There, text of 10 pixels is about the smallest that reads easily.
COLUMN_PX = 700
SMALLEST_TEXT_PX = 10.0


@functools.lru_cache(maxsize=None)
def script(name):
    """The script run as a module: its checks pass and its figures are drawn,
    kept in `figures`."""
    with plt.style.context(str(EXAMPLES / "gallery.mplstyle")):
        module = types.SimpleNamespace(**runpy.run_path(str(EXAMPLES / name), run_name=name[:-3]))
        module.figures = [plt.figure(number) for number in plt.get_fignums()]
        for fig in module.figures:
            fig.canvas.draw()  # tick labels are made when drawn, in the style
    plt.close("all")
    return module


@pytest.mark.parametrize("name", GALLERY)
def test_every_axis_is_labelled(name):
    figures = script(name).figures
    assert figures
    for fig in figures:
        for ax in fig.axes:
            assert ax.has_data()
            # Panels stacked on one x axis share the bottom panel's label.
            xlabel = " ".join(a.get_xlabel() for a in ax.get_shared_x_axes().get_siblings(ax))
            labels = [xlabel, ax.get_ylabel()] + (
                [ax.get_zlabel()] if hasattr(ax, "get_zlabel") else [])
            assert all(label.strip() for label in labels), (ax.get_title(), labels)


@pytest.mark.parametrize("name", GALLERY)
def test_text_is_legible_where_the_site_shows_it(name):
    for fig in script(name).figures:
        shown = min(1.0, COLUMN_PX / (fig.get_figwidth() * fig.dpi))
        texts = [t for t in fig.findobj(matplotlib.text.Text)
                 if t.get_visible() and t.get_text().strip()]
        smallest = min(texts, key=lambda t: t.get_fontsize())
        assert smallest.get_fontsize() * fig.dpi / 72.0 * shown >= SMALLEST_TEXT_PX, \
            smallest.get_text()


def lightness(rgba):
    """CIE L* of a colour laid on white: 0 is black, 100 white."""
    rgb = np.asarray(rgba[:3]) * rgba[3] + (1.0 - rgba[3])
    linear = np.where(rgb <= 0.04045, rgb / 12.92, ((rgb + 0.055) / 1.055) ** 2.4)
    y = float(linear @ [0.2126, 0.7152, 0.0722])
    return 116.0 * np.cbrt(y) - 16.0 if y > 0.008856 else 903.3 * y


def look(artist):
    """What tells a series from another once hue is gone: its marker, dash
    pattern (per unit of width), line width and lightness."""
    if isinstance(artist, matplotlib.lines.Line2D):
        marker = artist.get_marker() if artist.get_marker() not in (None, "", " ", "None") else None
        drawn = artist.get_linestyle() not in ("None", "", " ")
        width = artist.get_linewidth() if drawn else None
        style = matplotlib.collections.LineCollection(
            [], linestyles=[artist.get_linestyle() if drawn else "-"], linewidths=[1.0]
        ).get_linestyle()[0]
        rgba = matplotlib.colors.to_rgba(artist.get_color(), artist.get_alpha())
    else:  # a collection: a 3-D quiver's arrows
        marker, width = None, float(artist.get_linewidth()[0])
        style, rgba = artist.get_linestyle()[0], artist.get_edgecolor()[0]
        style = (style[0], None if style[1] is None else [d / width for d in style[1]])
    dashes = None if style[1] is None else tuple(round(float(d), 2) for d in style[1])
    return marker, dashes, width, lightness(rgba)


# Greyscale keeps only lightness, and the red-green colour blindnesses keep
# it nearly so; a step of 20 in L* shows between two thin lines, and a width
# half as large again shows too.
@pytest.mark.parametrize("name", GALLERY)
def test_series_are_told_apart_without_colour(name):
    for fig in script(name).figures:
        for ax in fig.axes:
            handles, labels = ax.get_legend_handles_labels()
            looks = [look(h) for h in handles]
            for i, j in itertools.combinations(range(len(looks)), 2):
                (m1, d1, w1, l1), (m2, d2, w2, l2) = looks[i], looks[j]
                alike = (m1 == m2 and d1 == d2 and abs(l1 - l2) < 20.0
                         and (w1 is None) == (w2 is None)
                         and (w1 is None or max(w1, w2) < 1.5 * min(w1, w2)))
                assert not alike, (labels[i], labels[j])


@pytest.mark.parametrize("name", GALLERY)
def test_no_point_on_log_axes_is_silently_dropped(name):
    # A NaN, or a zero on log axes, leaves a gap in the curve that nothing
    # explains; such a value is to be drawn somewhere and said so.
    for fig in script(name).figures:
        for ax in fig.axes:
            if ax.get_yscale() != "log":
                continue
            low, high = ax.get_ylim()
            for line in ax.get_lines():
                if line.get_transform() is ax.transData:  # not an axhline or axvline
                    y = np.asarray(line.get_ydata(), dtype=float)
                    assert np.all((y >= low) & (y <= high)), (line.get_label(), y)


def test_helix_forces_share_one_arrow_scale():
    w = script("work_along_path.py")
    ax, = w.figures[0].axes
    assert ax.get_aspect() == "equal"  # a metre is as long on every axis
    scales = []
    for arrows, force in zip([c for c in ax.collections if c.get_label()], (w.swirl, w.weight)):
        # A 3D quiver draws its shafts first, then two strokes per head.
        shafts = np.asarray(arrows._segments3d[:len(w.STOPS)])
        lengths = np.linalg.norm(shafts[:, 1] - shafts[:, 0], axis=1)
        scales += list(lengths / np.array([force(r).magnitude() for r in w.STOPS]))
    assert len(scales) == 2 * len(w.STOPS)
    assert scales == pytest.approx([w.ARROW] * len(scales), rel=1e-12)


@pytest.mark.parametrize("case, slope", [
    ("exp(x) on [0, 1]", -4.0),
    ("1/(1+x) on [0, 1]", -4.0),
    ("sin(x) on [0, pi]", -4.0),
    ("1/(1+x^2) on [0, 1]", -6.0),   # f''' vanishes at both ends
    ("sqrt(x) on [0, 1]", -1.5),     # not smooth at 0
])
def test_simpson_rate(case, slope):
    s = script("simpson_convergence.py")
    assert s.fitted_slope(s.NS, s.errors(case)) == pytest.approx(slope, abs=0.1)


def test_simpson_periodic_integrand_beats_every_power():
    s = script("simpson_convergence.py")
    errs = dict(zip(s.NS, s.errors("exp(cos x) on [0, 2 pi]")))
    # At n = 8 the error is still large; at n = 32 the sum is exact, as the
    # figure's label says, and after that off by rounding alone. An h^4 rate
    # from n = 8 would leave about errs[8] / 256 at n = 32.
    assert errs[8] > 1e-3 and errs[32] == 0.0
    assert all(errs[n] < 2e-14 for n in s.NS if n > 32)


def test_difference_error_follows_the_model():
    d = script("difference_step.py")
    steps, errs = d.STEPS, d.ERRORS
    # Down to 1e-4, on the truncation term to within half a percent, as the
    # text says; nearer the optimum, not.
    truncation = steps >= 1e-4
    assert (errs[truncation] / d.truncation_error(steps[truncation])) == pytest.approx(1.0, abs=0.005)
    near = (steps > 1.2e-5) & (steps < 1.6e-5)
    assert abs(errs[near] / d.truncation_error(steps[near]) - 1.0).max() > 0.1
    # Left of the optimum, rounding: the model bounds the scatter, and the
    # error grows like 1/h.
    assert all(errs <= 1.01 * d.model_error(steps))
    rounding = steps <= 1e-8
    slope = np.polyfit(np.log(steps[rounding]), np.log(errs[rounding]), 1)[0]
    assert slope == pytest.approx(-1.0, abs=0.15)


def test_difference_default_step_is_near_the_optimum():
    d = script("difference_step.py")
    assert d.BEST / 10.0 < d.optimal_step() < d.BEST * 10.0
    assert d.optimal_step() == pytest.approx(1e-5, rel=0.1)
    assert d.DEFAULT_ERROR < d.model_error(d.optimal_step()) < 1e-10


@pytest.mark.parametrize("x", [-2.0, 0.3, 1.0, 4.0])
def test_scalar_derivative_is_exact_to_rounding(x):
    d = script("difference_step.py")
    assert d.autodiff_error(x) <= 2.0 * np.spacing(abs(d.exact_derivative(x)))


@pytest.mark.parametrize("name", ["x^2 - 2 from 1", "cos x - x from 1"])
def test_newton_error_squares_near_a_simple_root(name):
    errs, message = script("newton_convergence.py").distances(name)
    assert message is None and errs[-1] < 1e-16
    steps = [(e, e_next) for e, e_next in zip(errs, errs[1:]) if e_next > 1e-15]
    assert len(steps) >= 3 and all(e_next <= e * e for e, e_next in steps)


def test_newton_double_root_halves_and_stops_near_tol():
    errs, message = script("newton_convergence.py").distances("(x-1)^2 (x+2) from 2")
    assert message is None
    assert all(b / a == pytest.approx(0.5, abs=0.06) for a, b in zip(errs[1:], errs[2:]))
    assert 1e-8 < errs[-1] < 1e-6


@pytest.mark.parametrize("name, message, count", [
    ("x^3 - 2x + 2 from 0", "Newton-Raphson failed to converge", 100),
    ("atan x from 1.5", "Zero derivative encountered", 7),
])
def test_newton_failures_are_shown(name, message, count):
    errs, got = script("newton_convergence.py").distances(name)
    assert (got, len(errs)) == (message, count)


def test_newton_iterates_are_the_solvers_own():
    n = script("newton_convergence.py")
    f = lambda x: x * x - 2.0  # noqa: E731
    xs, _ = n.iterates(f, 1.0)
    # Every iterate but the first is one Newton step from the one before,
    # and failing after k iterations means the k-th was not yet converged.
    assert all(Solver.root_newton(f, a, tol=math.inf) == b for a, b in zip(xs, xs[1:]))
    for k in range(1, len(xs) - 1):
        with pytest.raises(RuntimeError, match="failed to converge"):
            Solver.root_newton(f, 1.0, max_iter=k)
    assert Solver.root_newton(f, 1.0, max_iter=len(xs) - 1) == xs[-1]


def test_projectile_autodiff_matches_the_derivative_by_hand():
    p = script("projectile.py")
    table = p.slopes([math.radians(a) for a in range(0, 91, 5)])
    rng, autodiff, by_hand, numeric = table.T
    assert max(abs(autodiff - by_hand)) <= 3e-14   # one ulp of the largest slope
    assert 1e-10 < max(abs(numeric - by_hand)) < 1e-7
    assert rng.argmax() == 9  # 45 degrees
    assert p.best == pytest.approx(math.pi / 4, abs=1e-12)


@pytest.mark.parametrize("steps", [5, 12])
def test_kepler_equal_areas_in_equal_times(steps):
    k = script("kepler.py")
    anomalies = [k.eccentric_anomaly(2.0 * math.pi * i / steps) for i in range(steps)] + [2.0 * math.pi]
    areas = [k.swept_area(a, b) for a, b in zip(anomalies, anomalies[1:])]
    # Each is the ellipse's area pi a b over the number of steps, to within
    # Simpson's error on 200 sub-intervals.
    assert all(area == pytest.approx(math.pi * k.B / steps, rel=1e-10) for area in areas)


@pytest.mark.parametrize("v, n", [
    ((1.0, -1.5, 2.0), (0.3, 1.0, 0.4)),
    ((2.0, 1.0, 0.5), (0.1, 0.05, 1.0)),
    ((-3.0, 0.25, 7.0), (1.0, 1.0, 1.0)),
])
def test_reflection_and_projection_geometry(v, n):
    g = script("reflect_project.py")
    v, n = Vec3(*v), Vec3(*n)
    mirror = g.mirror_checks(v, n.normalize())
    assert mirror.pop("length ratio |r| / |v|") == pytest.approx(1.0, abs=1e-15)
    assert all(abs(value) < 1e-14 * v.magnitude() for value in mirror.values())
    assert all(abs(value) < 1e-14 * v.magnitude() ** 2 for value in g.projection_checks(v, n).values())
    doubled = v.reflect(n.normalize() * 2.0).magnitude() / v.magnitude()
    assert doubled == pytest.approx(math.sqrt(1.0 + 48.0 * math.cos(v.angle(n)) ** 2), rel=1e-14)
