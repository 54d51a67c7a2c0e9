"""
Kepler's equation: where a planet is at a given time
====================================================

The mean anomaly M grows uniformly with time; the eccentric anomaly E, which
fixes the position on the ellipse, solves the transcendental equation
E - ecc sin(E) = M. Newton-Raphson solves it for each M. The rate dE/dM is
then found twice: by differentiating the solver itself numerically (the
solver is re-entrant, so it may run inside a callable) and from the implicit
derivative 1 / (1 - ecc cos E).

Then the planet is placed at twelve equally spaced times, and the area swept
from the Sun between each pair of positions is integrated numerically:
equal times sweep equal areas (Kepler's second law).
"""
import math

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Constants, Scalar, Solver

ECC = 0.6  # eccentricity of the orbit


def eccentric_anomaly(m):
    return Solver.root_newton(lambda e: e - ECC * math.sin(e) - m, x0=m, tol=1e-13)


print("eccentricity %.2f" % ECC)
print("    M (rad)      E (rad)     residual        dE/dM   numerically  true anomaly (deg)")
for fraction in (0.05, 0.25, 0.5, 0.75):
    m = 2.0 * Constants.pi * fraction
    e = eccentric_anomaly(m)
    residual = e - ECC * math.sin(e) - m
    rate = 1.0 / (1.0 - ECC * math.cos(e))
    rate_numeric = Solver.differentiate(eccentric_anomaly, m, h=1e-4)
    # The true anomaly: the angle at the focus, from the eccentric anomaly.
    nu = 2.0 * math.atan2(math.sqrt(1.0 + ECC) * math.sin(e / 2.0),
                          math.sqrt(1.0 - ECC) * math.cos(e / 2.0))
    print("%11.6f  %11.9f  %11.1e  %11.7f  %11.7f  %18.4f"
          % (m, e, residual, rate, rate_numeric, math.degrees(nu) % 360.0))
    assert abs(residual) < 1e-12
    assert abs(rate_numeric - rate) < 1e-6 * rate

# Convergence needs a slope: cos(x) - 1 vanishes at 0, but so does its slope,
# and the method stops there with an error rather than divide by it.
try:
    Solver.root_newton(lambda x: math.cos(x) - 1.0, x0=0.0)
except RuntimeError as error:
    print("cos(x) - 1 from x0 = 0 ->", error)

# %%
# Equal areas in equal times
# --------------------------
#
# With the Sun at the origin (a focus) and semi-major axis 1, the position
# at eccentric anomaly E is ``(cos E - ecc, sqrt(1 - ecc^2) sin E)``. Seeding
# E with ``d = 1`` gives the velocity ``dr/dE`` too, and the area swept is the
# integral of half the cross product ``x dy/dE - y dx/dE`` over E.

B = math.sqrt(1.0 - ECC * ECC)  # semi-minor axis


def position(e):
    """The point on the orbit and its derivative with respect to E."""
    s = Scalar(e, 1.0)
    x, y = s.cos() - ECC, s.sin() * B
    return (x.val, y.val), (x.d, y.d)


def swept_area(e1, e2):
    def rate(e):
        (x, y), (dx, dy) = position(e)
        return 0.5 * (x * dy - y * dx)
    return Solver.integrate(rate, e1, e2, n=200)


STEPS = 12
ANOMALIES = [eccentric_anomaly(2.0 * Constants.pi * k / STEPS) for k in range(STEPS)]
ANOMALIES.append(2.0 * Constants.pi)
AREAS = [swept_area(e1, e2) for e1, e2 in zip(ANOMALIES, ANOMALIES[1:])]
print("area swept in each twelfth of the period: %.12f to %.12f (pi a b / 12 = %.12f)"
      % (min(AREAS), max(AREAS), math.pi * B / STEPS))
assert max(abs(area - math.pi * B / STEPS) for area in AREAS) < 1e-12

fig, ax = plt.subplots(figsize=(7.0, 5.0), layout="constrained")
for k, (e1, e2) in enumerate(zip(ANOMALIES, ANOMALIES[1:])):
    arc = np.linspace(e1, e2, 30)
    xs = np.concatenate([[0.0], np.cos(arc) - ECC, [0.0]])
    ys = np.concatenate([[0.0], B * np.sin(arc), [0.0]])
    # White edges part the sectors where their two tints look alike, as in
    # greyscale.
    ax.fill(xs, ys, facecolor="C0" if k % 2 else "C1", alpha=0.35, edgecolor="white",
            linewidth=1.0)
ring = np.linspace(0.0, 2.0 * math.pi, 200)
ax.plot(np.cos(ring) - ECC, B * np.sin(ring), color="0.3", linewidth=1)
ax.plot([position(e)[0][0] for e in ANOMALIES[:-1]], [position(e)[0][1] for e in ANOMALIES[:-1]],
        "ko", markersize=4, label="the planet every 1/12 of the period")
ax.plot(0.0, 0.0, "*", color="gold", markersize=16, markeredgecolor="k", label="the Sun, at a focus")
ax.set_aspect("equal")
ax.set_xlabel("$x / a$: distance from the Sun in semi-major axes $a$")
ax.set_ylabel("$y / a$")
ax.set_title("Twelve sectors of equal area, swept in equal times ($e = %.1f$)" % ECC)
ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=2)

if __name__ == "__main__":
    plt.show()
