"""
Newton's method: watching the iterates
======================================

``Solver.root_newton(f, x0, tol=1e-07, max_iter=100)`` repeats
``x_new = x - f(x) / dy``, with the slope ``dy`` taken by a central
difference of step 1e-5, until a step is shorter than ``tol``. It returns
only the last estimate; this example recovers every iterate and follows the
distance to the true root, for two simple roots, a double root and two
starts that fail.
"""
import math
from decimal import Decimal, getcontext

import matplotlib.pyplot as plt

from orbelon_core import Solver

getcontext().prec = 40

# %%
# Recovering the iterates
# -----------------------
#
# Each iteration samples ``f`` three times, at ``x``, ``x + 1e-5`` and
# ``x - 1e-5``, in that order, and no sample is reused. A callable that
# records its arguments therefore sees every iterate ``x_k`` as every third
# sample; the value returned is the one iterate never sampled. Nothing is
# re-implemented: these are the very points the solver computed.


def iterates(f, x0, **options):
    """(x_0, x_1, ..., message): the iterates, and the error text if it failed."""
    samples = []

    def recorded(x):
        samples.append(x)
        return f(x)

    try:
        last = Solver.root_newton(recorded, x0, **options)
    except RuntimeError as error:
        return samples[0::3], str(error)
    return samples[0::3] + [last], None


# %%
# The problems
# ------------
#
# The true roots are given to 40 digits, so the distance from an iterate to
# the root is measured exactly, down to the rounding of the final double.

PROBLEMS = {  # name: (f, x0, true root, kind)
    "x^2 - 2 from 1": (lambda x: x * x - 2.0, 1.0, Decimal(2).sqrt(), "simple"),
    "cos x - x from 1": (lambda x: math.cos(x) - x, 1.0,
                         Decimal("0.7390851332151606416553120876738734040134"), "simple"),
    "(x-1)^2 (x+2) from 2": (lambda x: (x - 1.0) ** 2 * (x + 2.0), 2.0, Decimal(1), "double"),
    "x^3 - 2x + 2 from 0": (lambda x: x ** 3 - 2.0 * x + 2.0, 0.0,
                            Decimal("-1.769292354238631415240409464335033492671"), "fails"),
    "atan x from 1.5": (math.atan, 1.5, Decimal(0), "fails"),
}


def distances(name):
    """|x_k - root| for every iterate, and the error text if the solver failed."""
    f, x0, root, _ = PROBLEMS[name]
    xs, message = iterates(f, x0)
    return [float(abs(Decimal(x) - root)) for x in xs], message


RESULTS = {name: distances(name) for name in PROBLEMS}
for name, (errs, message) in RESULTS.items():
    print("%-22s %3d iterates, last error %.1e  %s"
          % (name, len(errs), errs[-1], "-> " + message if message else "returned"))

# %%
# What the numbers say
# --------------------
#
# Near a simple root Newton's error squares at each step (at least as well
# as ``e_{k+1} <= e_k**2`` here), until it reaches the rounding of the
# double nearest the root. At the double root of ``(x-1)^2 (x+2)`` the slope
# vanishes with ``f`` and the error only halves per step; the step length is
# then about the error itself, so the stopping rule ``|step| < tol`` returns
# a root good only to about ``tol``, not to 16 digits.
#
# ``x^3 - 2x + 2`` from 0 falls into the cycle 0, 1, 0, 1, ... and gives up
# after 100 iterations with "Newton-Raphson failed to converge". ``atan x``
# from 1.5 overshoots further at every step (its slope flattens away from 0)
# until the central difference of the flat tail rounds to nothing and the
# solver raises "Zero derivative encountered".

for name in ("x^2 - 2 from 1", "cos x - x from 1"):
    errs, _ = RESULTS[name]
    for e, e_next in zip(errs, errs[1:]):
        if e_next > 1e-15:
            assert e_next <= e * e
errs, _ = RESULTS["(x-1)^2 (x+2) from 2"]
assert all(0.45 < b / a < 0.56 for a, b in zip(errs[1:], errs[2:]))
assert 1e-8 < errs[-1] < 1e-6
assert RESULTS["x^3 - 2x + 2 from 0"][1] == "Newton-Raphson failed to converge"
assert RESULTS["atan x from 1.5"][1] == "Zero derivative encountered"

# %%
# A check on the recording
# ------------------------
#
# With ``tol=inf`` the first step always passes the test, so
# ``root_newton(f, x_k, tol=inf)`` is one Newton step from ``x_k``; each
# recorded iterate must be exactly one such step from the one before.

f, x0, _, _ = PROBLEMS["cos x - x from 1"]
xs, _ = iterates(f, x0)
assert all(Solver.root_newton(f, a, tol=math.inf) == b for a, b in zip(xs, xs[1:]))
print("each recorded iterate is one step of root_newton from the previous one")

# %%
# The figure
# ----------

LABELS = {  # the problems' names, typeset
    "x^2 - 2 from 1": "$x^2 - 2$ from 1",
    "cos x - x from 1": r"$\cos x - x$ from 1",
    "(x-1)^2 (x+2) from 2": "$(x - 1)^2 (x + 2)$ from 2",
    "x^3 - 2x + 2 from 0": "$x^3 - 2x + 2$ from 0",
    "atan x from 1.5": r"$\arctan x$ from 1.5",
}
MARKERS = dict(zip(PROBLEMS, "os^Dv"))  # told apart without their colours too
fig, (left, right) = plt.subplots(2, 1, figsize=(7.0, 8.0), layout="constrained")
for name, (errs, message) in RESULTS.items():
    ax = right if PROBLEMS[name][3] == "fails" else left
    line, = ax.semilogy(range(len(errs)), errs, marker=MARKERS[name], markersize=4,
                        label=LABELS[name])
    if message:
        ax.plot(len(errs) - 1, errs[-1], "x", color=line.get_color(), markersize=12,
                markeredgewidth=2)
        right_end = len(errs) > 50
        ax.annotate(message, (len(errs) - 1, errs[-1]), textcoords="offset points",
                    xytext=(0, 14) if right_end else (12, -4), ha="right" if right_end else "left",
                    color="0.2")
left.axhline(1e-7, color="0.5", linestyle=":", linewidth=1)
left.text(14, 2e-7, "tol = 1e-7", color="0.3")
left.set_title("Converging: the error squared per step, or halved")
right.set_title("Failing: a 2-cycle, and a runaway")
right.set_ylim(0.5, 1e8)
for ax in (left, right):
    ax.set_xlabel("iteration $k$")
    ax.set_ylabel(r"distance to the root $|x_k - x^*|$")
    ax.legend(loc="upper right")

if __name__ == "__main__":
    plt.show()
