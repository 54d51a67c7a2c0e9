"""
Central differences: choosing the step
======================================

``Solver.differentiate(f, x, h=1e-05)`` returns ``(f(x + h) - f(x - h)) /
(2·h)``. Two errors pull the step in opposite directions:

- truncation: the difference quotient is off by about ``h**2 |f'''(x)| / 6``,
  so a smaller step is better;
- rounding: ``f(x + h)`` and ``f(x - h)`` each carry an error of about
  ``eps |f(x)|`` (``eps = 2.2e-16``), and the quotient divides their
  difference by ``2·h``, so a smaller step is worse, like ``eps |f(x)| / h``.

The total is smallest at ``h* = (3 eps |f(x)| / |f'''(x)|) ** (1/3)``, about
1e-5 when ``f`` and its third derivative are of similar size: that is where
the default step comes from. Even there about a third of the digits are lost.
A ``Scalar`` seeded with ``d = 1.0`` has no step and loses none.
"""
import math
import sys

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Scalar, Solver

EPS = sys.float_info.epsilon
X = 1.0


def f(x):
    """e^x sin x, for a float or a Scalar."""
    if isinstance(x, Scalar):
        return x.exp() * x.sin()
    return math.exp(x) * math.sin(x)


def exact_derivative(x):
    return math.exp(x) * (math.sin(x) + math.cos(x))


def third_derivative(x):
    return 2.0 * math.exp(x) * (math.cos(x) - math.sin(x))


# %%
# Measured error against the model
# --------------------------------
#
# 121 steps from 1e-1 down to 1e-13, ten to a decade.

STEPS = np.logspace(-1, -13, 121)


def difference_errors(steps=STEPS, x=X):
    return np.array([abs(Solver.differentiate(f, x, h) - exact_derivative(x)) for h in steps])


def truncation_error(h, x=X):
    """The leading term of the difference quotient's error: h^2 |f'''| / 6."""
    return h * h * abs(third_derivative(x)) / 6.0


def model_error(h, x=X):
    """Truncation plus rounding: h^2 |f'''| / 6 + eps |f| / h."""
    return truncation_error(h, x) + EPS * abs(f(x)) / h


def optimal_step(x=X):
    """The step that minimizes model_error."""
    return (3.0 * EPS * abs(f(x)) / abs(third_derivative(x))) ** (1.0 / 3.0)


def autodiff_error(x=X):
    """|d - f'(x)| for f evaluated on a Scalar seeded with d = 1.0."""
    return abs(f(Scalar(x, 1.0)).d - exact_derivative(x))


ERRORS = difference_errors()
BEST = STEPS[int(np.argmin(ERRORS))]
H_STAR = optimal_step()
DEFAULT_ERROR = abs(Solver.differentiate(f, X) - exact_derivative(X))
ULP = float(np.spacing(exact_derivative(X)))

print("f(x) = e^x sin x at x = %g, f'(x) = %.17g" % (X, exact_derivative(X)))
print("predicted best step h* = %.2e, model error there %.1e" % (H_STAR, model_error(H_STAR)))
print("best step measured     = %.2e, error %.1e" % (BEST, ERRORS.min()))
print("default step 1e-05     : error %.1e" % DEFAULT_ERROR)
print("Scalar autodiff        : error %.1e (one ulp of f'(x) is %.1e)" % (autodiff_error(), ULP))
assert abs(math.log10(BEST / H_STAR)) < 1.0
assert DEFAULT_ERROR < 2.0 * model_error(H_STAR)
assert autodiff_error() <= ULP
LONG_STEPS = STEPS >= 1e-4
assert np.all(abs(ERRORS[LONG_STEPS] / truncation_error(STEPS[LONG_STEPS]) - 1.0) < 0.005)

# %%
# The figure
# ----------
#
# From ``h = 1e-1`` down to ``1e-4`` the points follow the truncation term
# (slope 2) to within half a percent; the most, 0.46 % at ``h = 0.1``, is
# the next term of the series, ``h**4 |f'''''| / 120``. Nearer ``h*`` the
# rounding error joins in and the points leave that line, by 20 % at
# ``h = 1.6e-5`` and 50 % at ``1.3e-5``. Left of ``h*`` they scatter below
# the rounding term (slope -1), which bounds them: the rounding errors of the
# two samples partly cancel by chance, so a lucky step can beat the model by
# a decade, but no step is reliably better than one near ``h*``, and here
# ``h*`` and the default step nearly coincide. The autodiff error is drawn at
# one ulp of ``f'(1)``, the most it is off here; it is in fact exactly 0.

fig, ax = plt.subplots(figsize=(7.0, 5.6), layout="constrained")
ax.loglog(STEPS, ERRORS, "o", markersize=3, label="$D_h$ = Solver.differentiate(f, 1.0, h)")
ax.loglog(STEPS, model_error(STEPS), "k--", linewidth=1,
          label=r"model: $h^2 |f'''| / 6 + \varepsilon |f| / h$")
ax.axvline(H_STAR, color="C2", linewidth=1,
           label=r"$h^* = %.1f \times 10^{-6}$, the model's optimum" % (H_STAR * 1e6))
ax.axvline(1e-5, color="C3", linestyle=":",
           label=r"default $h = 10^{-5}$: error $%.0f \times 10^{-11}$" % (DEFAULT_ERROR * 1e11))
ax.axhline(ULP, color="C4", linestyle="-.",
           label="Scalar(1.0, 1.0): error at most 1 ulp, no step")
ax.set_xlabel("step $h$")
ax.set_ylabel("error of the estimate, $|D_h - f'(1)|$")
ax.set_title(r"The derivative of $e^x \sin x$ at $x = 1$")
ax.set_ylim(1e-16, 1e-1)
# Below the plot, where it hides none of the points.
fig.legend(loc="outside lower center", ncols=2)

if __name__ == "__main__":
    plt.show()
