"""
Work done on a bead threaded on a helical wire
==============================================

The bead climbs one turn of a helix of radius R and pitch H while a swirling
force (-y, x, 0)·S and its weight (0, 0, -m g) act on it. The work is the line
integral W = integral of F(r(t)) . r'(t) dt over t in [0, 2 pi]. The path's
velocity r'(t) comes from evaluating r on a Scalar seeded with d = 1, the dot
product from Vec3, and the integral from Simpson's rule. Exactly,
W = 2 pi S R^2 - m g H: the swirl does work on every turn, while the weight's
share depends only on the height, the same along a straight line.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Constants, Scalar, Solver, Vec3

R, H = 0.5, 2.0  # helix radius and pitch, m
S = 3.0          # strength of the swirl, N/m
MASS = 0.1       # kg


def helix(t):
    """The point and the velocity of the helix at parameter t."""
    s = Scalar(t, 1.0)
    x, y, z = s.cos() * R, s.sin() * R, s * (H / (2.0 * Constants.pi))
    return Vec3(x.val, y.val, z.val), Vec3(x.d, y.d, z.d)


def line(t):
    """Straight up the axis from (R, 0, 0) to (R, 0, H), over the same t."""
    return Vec3(R, 0.0, H * t / (2.0 * Constants.pi)), Vec3(0.0, 0.0, H / (2.0 * Constants.pi))


def swirl(r):
    return Vec3(-r.y, r.x, 0.0) * S


def weight(r):
    return Vec3(0.0, 0.0, -MASS * Constants.g)


def work(force, path):
    def power(t):
        r, v = path(t)
        return force(r).dot(v)
    return Solver.integrate(power, 0.0, 2.0 * Constants.pi, n=200)


exact = 2.0 * math.pi * S * R * R - MASS * Constants.g * H
total = work(lambda r: swirl(r) + weight(r), helix)
for label, value in [
    ("work along the helix", total),
    ("  of which the swirl", work(swirl, helix)),
    ("  of which the weight", work(weight, helix)),
    ("weight, straight up instead", work(weight, line)),
    ("swirl, straight up instead", work(swirl, line)),
    ("exactly, along the helix", exact),
]:
    print("%-28s %15.12f J" % (label + ":", value))
assert abs(total - exact) < 1e-12
assert abs(work(weight, helix) - work(weight, line)) < 1e-12

# %%
# The figure
# ----------
#
# The helix with the two forces at twelve points along it, both drawn to one
# scale, ``ARROW`` metres of arrow per newton, so their lengths compare as
# the forces do: the swirl, ``S R = 1.5`` N, is half as long again as the
# weight, ``m g = 0.98`` N. The swirl is always along the wire's horizontal
# direction, so it pushes the bead forward the whole way round; the weight
# points straight down, and only the height climbed decides its share.

ARROW = 0.2  # metres of arrow per newton, for every force drawn

fig = plt.figure(figsize=(7.0, 6.0), layout="constrained")
# An orthographic view with equal scales on all three axes, so that a length
# on the plot reads the same in any direction.
ax = fig.add_subplot(projection="3d", proj_type="ortho")
ts = np.linspace(0.0, 2.0 * Constants.pi, 200)
points = [helix(t)[0] for t in ts]
# The wire near black, darker than either force, so it stays apart from
# them in greyscale too.
ax.plot([p.x for p in points], [p.y for p in points], [p.z for p in points], color="0.15",
        label="the wire: one turn, radius %g m, pitch %g m" % (R, H))
STOPS = [helix(t)[0] for t in np.linspace(0.0, 2.0 * Constants.pi, 12, endpoint=False)]
for force, color, label in [(swirl, "C1", r"swirl $S\,(-y, x, 0)$, %.2f N" % (S * R)),
                            (weight, "C0", r"weight $(0, 0, -m g)$, %.2f N" % (MASS * Constants.g))]:
    arrows = [force(r) * ARROW for r in STOPS]
    ax.quiver([r.x for r in STOPS], [r.y for r in STOPS], [r.z for r in STOPS],
              [a.x for a in arrows], [a.y for a in arrows], [a.z for a in arrows],
              color=color, arrow_length_ratio=0.25, linewidth=1.5, label=label)
ax.set_title(r"$W = 2\pi S R^2 - m g H = %.6f$ J" % exact)
ax.set_xlabel("x (m)")
ax.set_ylabel("y (m)")
ax.set_zlabel("z (m)", labelpad=14)  # clear of the tick labels beside it
ax.set_xlim(-0.65, 0.65)
ax.set_ylim(-0.65, 0.65)
ax.set_zlim(-0.25, 2.05)
ax.set_aspect("equal")
ax.set_xticks([-0.5, 0.0, 0.5])
ax.set_yticks([-0.5, 0.0, 0.5])
# Below the box rather than over its top, with room for the x label, which
# sits further out than the layout allows for.
fig.legend(loc="outside lower center", title="arrows: %g m per newton" % ARROW)
fig.get_layout_engine().set(h_pad=0.1)

if __name__ == "__main__":
    plt.show()
