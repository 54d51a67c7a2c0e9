"""
Simpson's rule: how fast the error falls
========================================

``Solver.integrate(f, a, b, n)`` applies the composite Simpson rule on ``n``
sub-intervals of width ``h = (b - a) / n``. For an integrand with four
continuous derivatives the error is about ``h**4 (f'''(b) - f'''(a)) / 180``:
doubling ``n`` divides it by 16, a slope of -4 on log-log axes.

That formula also says when the rule does better or worse than -4, and this
example measures six integrands to show all three cases: ordinary smooth
functions (slope -4), functions whose third derivatives agree at the two
ends (the ``h**4`` term cancels), and a function that is not smooth at all.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Solver


def bessel_i0(x):
    """The modified Bessel function I0(x), summed from its power series."""
    term, total, k = 1.0, 0.0, 0
    while total + term != total:
        total += term
        k += 1
        term *= (x / 2.0) ** 2 / (k * k)
    return total


# %%
# The integrands and their exact integrals
# ----------------------------------------
#
# ``exp(cos x)`` over a whole period integrates to ``2 pi I0(1)``.

CASES = {  # name: (f, a, b, exact integral)
    "exp(x) on [0, 1]": (math.exp, 0.0, 1.0, math.e - 1.0),
    "1/(1+x) on [0, 1]": (lambda x: 1.0 / (1.0 + x), 0.0, 1.0, math.log(2.0)),
    "sin(x) on [0, pi]": (math.sin, 0.0, math.pi, 2.0),
    "1/(1+x^2) on [0, 1]": (lambda x: 1.0 / (1.0 + x * x), 0.0, 1.0, math.pi / 4.0),
    "exp(cos x) on [0, 2 pi]": (lambda x: math.exp(math.cos(x)), 0.0, 2.0 * math.pi,
                                2.0 * math.pi * bessel_i0(1.0)),
    "sqrt(x) on [0, 1]": (math.sqrt, 0.0, 1.0, 2.0 / 3.0),
}
NS = [2 ** k for k in range(1, 13)]  # n = 2, 4, ..., 4096


def errors(name, ns=NS):
    """|Simpson's estimate - exact| for each n."""
    f, a, b, exact = CASES[name]
    return [abs(Solver.integrate(f, a, b, n) - exact) for n in ns]


def fitted_slope(ns, errs, floor=1e-12):
    """Least-squares slope of log(error) against log(n).

    Only n >= 8 with an error above ``floor`` count: for fewer nodes the
    higher powers of h still weigh in, and below about 1e-13 the error is the
    rounding of the sum, not the rule's, and stops falling.
    """
    kept = [(n, e) for n, e in zip(ns, errs) if n >= 8 and e > floor]
    return float(np.polyfit(np.log([n for n, _ in kept]), np.log([e for _, e in kept]), 1)[0])


# %%
# The measured rates
# ------------------
#
# The first three integrands have ``f'''(b) != f'''(a)`` and converge at the
# textbook rate. For ``1/(1+x^2)`` the third derivative, ``-24x(x^2-1) /
# (1+x^2)^4``, vanishes at both 0 and 1, so the ``h**4`` term is zero and the
# next one, ``h**6``, takes over. ``exp(cos x)`` over a full period is the
# extreme case: every odd derivative agrees at the two ends, so every power of
# ``h`` cancels and the error falls faster than any power: at n = 32 the sum
# is exact, and from n = 64 on it is off by rounding, about 1e-15 to 1e-14.
# ``sqrt(x)`` has an infinite derivative at 0, the error analysis
# does not apply, and the rate drops to ``h**1.5``.

ERRORS = {name: errors(name) for name in CASES}
SLOPES = {name: fitted_slope(NS, errs) for name, errs in ERRORS.items()}
for name, errs in ERRORS.items():
    rate = "no power law" if name.startswith("exp(cos") else "slope %6.2f" % SLOPES[name]
    print("%-24s %-13s error at n=32: %.1e" % (name, rate, errs[NS.index(32)]))

for name in ("exp(x) on [0, 1]", "1/(1+x) on [0, 1]", "sin(x) on [0, pi]"):
    assert abs(SLOPES[name] + 4.0) < 0.1
assert abs(SLOPES["1/(1+x^2) on [0, 1]"] + 6.0) < 0.2
assert abs(SLOPES["sqrt(x) on [0, 1]"] + 1.5) < 0.1
assert all(e < 2e-14 for e in ERRORS["exp(cos x) on [0, 2 pi]"][NS.index(32):])

# %%
# The figure
# ----------
#
# Each integrand has a marker of its own as well as a colour. An error of
# exactly 0.0 has no place on log axes; rather than leave a gap, it is drawn
# on the bottom edge and marked "0 exactly" (the periodic case at n = 32,
# ``1/(1+x^2)`` at n = 4096). The grey band is where the rounding of the sum,
# about 1e-16 per term, hides the rule's own error. The dashed line is a
# slope of -4 for comparison, set between the curves rather than on one.

LABELS = {  # the integrands' names, typeset
    "exp(x) on [0, 1]": "$e^x$ on $[0, 1]$",
    "1/(1+x) on [0, 1]": "$1 / (1 + x)$ on $[0, 1]$",
    "sin(x) on [0, pi]": r"$\sin x$ on $[0, \pi]$",
    "1/(1+x^2) on [0, 1]": "$1 / (1 + x^2)$ on $[0, 1]$",
    "exp(cos x) on [0, 2 pi]": r"$e^{\cos x}$ on $[0, 2\pi]$",
    "sqrt(x) on [0, 1]": r"$\sqrt{x}$ on $[0, 1]$",
}
MARKERS = dict(zip(CASES, "os^DvP"))
BOTTOM = 1e-17  # the lower edge of the plot, where an error of 0.0 is drawn
fig, ax = plt.subplots(figsize=(7.0, 6.4), layout="constrained")
for name, errs in ERRORS.items():
    if name.startswith("exp(cos"):
        label = LABELS[name] + ": exact at $n = 32$, rounding after"
    else:
        label = "%s: slope $%.2f$" % (LABELS[name], SLOPES[name])
    # Unclipped and above the axis line, so that a marker on the bottom edge
    # is drawn whole.
    ax.loglog(NS, [max(e, BOTTOM) for e in errs], marker=MARKERS[name], markersize=6,
              label=label, clip_on=False, zorder=3)
    for n in (n for n, e in zip(NS, errs) if e == 0.0):
        ax.annotate("0 exactly", (n, BOTTOM), xytext=(-8, 6), textcoords="offset points",
                    ha="right", color="0.2")
# Through e^x at n = 8, raised twentyfold to run between the curves.
reference = [20.0 * ERRORS["exp(x) on [0, 1]"][2] * (8.0 / n) ** 4 for n in NS[:10]]
ax.loglog(NS[:10], reference, "k--", linewidth=1.2, label="slope $-4$: error $\\propto h^4$")
ax.axhspan(BOTTOM, 1e-14, color="0.88", zorder=0)
ax.text(2.2, 2e-16, "rounding of the sum", color="0.3")
ax.set_ylim(BOTTOM, 1.0)
ax.set_xlabel("sub-intervals $n$")
ax.set_ylabel(r"error $|S_n - \int_a^b f\,dx|$")
ax.set_title("Composite Simpson: the error against $n$")
fig.legend(loc="outside lower center", ncols=2)

if __name__ == "__main__":
    plt.show()
