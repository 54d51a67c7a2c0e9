"""
Projectile range and its sensitivity to the launch angle
========================================================

On flat ground and without drag, a shot at speed v and angle theta lands at
R(theta) = v^2 sin(2 theta) / g. Evaluating R on a Scalar seeded with
d = 1 gives dR/dtheta alongside R; it is checked here against the analytic
2 v^2 cos(2 theta) / g and against a central difference. Newton's method on
dR/dtheta then finds the angle of greatest range, which must be 45 degrees.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Constants, Scalar, Solver

V = 30.0  # launch speed, m/s


def flight_range(theta):
    """R(theta) in metres, for a Scalar angle theta in radians."""
    return (theta * 2.0).sin() * (V * V / Constants.g)


def analytic_slope(theta):
    """dR/dtheta by hand, in m/rad."""
    return 2.0 * V * V * math.cos(2.0 * theta) / Constants.g


def slopes(thetas):
    """R, dR/dtheta by autodiff, analytically and by a central difference."""
    rows = []
    for theta in thetas:
        r = flight_range(Scalar(theta, 1.0))
        numeric = Solver.differentiate(lambda t: flight_range(Scalar(t)).val, theta)
        rows.append((r.val, r.d, analytic_slope(theta), numeric))
    return np.array(rows)


print("launch speed %.1f m/s, g = %r m/s^2" % (V, Constants.g))
print("dR/dtheta in m/rad, three ways:")
print("angle  range (m)            autodiff            analytic  central difference")
for degrees in (15, 30, 45, 60, 75):
    r, autodiff, analytic, numeric = slopes([math.radians(degrees)])[0]
    print("%5d  %9.4f  %18.12f  %18.12f  %18.12f" % (degrees, r, autodiff, analytic, numeric))
    assert abs(autodiff - analytic) <= 1e-12 * max(1.0, abs(analytic))
    assert abs(numeric - analytic) <= 1e-6 * max(1.0, abs(analytic))

# The range is greatest where its derivative vanishes.
best = Solver.root_newton(lambda t: flight_range(Scalar(t, 1.0)).d, x0=0.5, tol=1e-12)
print("greatest range at %.9f degrees: %.4f m" % (math.degrees(best), flight_range(Scalar(best)).val))
assert abs(best - math.pi / 4) < 1e-9

# %%
# Over the whole range of angles
# ------------------------------
#
# The autodiff derivative is the analytic one up to the rounding of the last
# bit (most angles agree exactly); the central difference is about a million
# times further off, as its step of 1e-5 allows.

ANGLES = np.linspace(0.0, math.pi / 2.0, 91)
TABLE = slopes(ANGLES)
AUTODIFF_ERROR = np.abs(TABLE[:, 1] - TABLE[:, 2])
NUMERIC_ERROR = np.abs(TABLE[:, 3] - TABLE[:, 2])
print("over 0..90 degrees: autodiff off by at most %.1e m/rad (%d of %d exact), "
      "central difference by up to %.1e m/rad"
      % (AUTODIFF_ERROR.max(), np.sum(AUTODIFF_ERROR == 0.0), len(ANGLES), NUMERIC_ERROR.max()))
assert np.all(AUTODIFF_ERROR <= np.spacing(np.abs(TABLE[:, 2]).max()))

# %%
# The figure
# ----------
#
# One quantity per panel, each with its unit: the range in metres, its
# derivative in metres per radian (the Scalar's ``d``, with the derivative
# worked out by hand on top of it), and how far each derivative is from the
# one by hand. Exact agreement (an error of 0.0) is drawn on the bottom line.

FLOOR = 1e-16
angle_degrees = np.degrees(ANGLES)
fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(7.0, 8.0), sharex=True,
                                          layout="constrained")
top.plot(angle_degrees, TABLE[:, 0], label="Scalar val")
top.axvline(math.degrees(best), color="C2", linestyle=":",
            label="greatest range, by root_newton on d: %.6f°" % math.degrees(best))
top.set_ylabel("range $R$ (m)")
top.set_title("A %g m/s shot: its range and its sensitivity to the angle" % V)
top.legend(loc="lower center")
middle.plot(angle_degrees, TABLE[:, 1], color="C1", label="Scalar d")
middle.plot(angle_degrees[::5], TABLE[::5, 2], "k+", markersize=9,
            label=r"by hand: $2 v^2 \cos(2\theta) / g$")
middle.axhline(0.0, color="0.5", linewidth=0.8)
middle.axvline(math.degrees(best), color="C2", linestyle=":")
middle.set_ylabel(r"$dR/d\theta$ (m/rad)")
middle.legend(loc="upper right")
bottom.semilogy(angle_degrees, np.maximum(AUTODIFF_ERROR, FLOOR), "o", markersize=3,
                color="C1", label="|Scalar d - by hand| (bottom line: exactly equal)")
bottom.semilogy(angle_degrees, NUMERIC_ERROR, "s", markersize=3, color="C4",
                label="|Solver.differentiate - by hand|")
bottom.set_ylim(FLOOR / 3.0, 1e-4)
bottom.set_xlabel(r"launch angle $\theta$ (degrees)")
bottom.set_ylabel(r"error in $dR/d\theta$ (m/rad)")
bottom.set_xticks(range(0, 91, 15))
bottom.legend(loc="upper center")

if __name__ == "__main__":
    plt.show()
