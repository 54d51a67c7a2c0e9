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
# The helix with the two forces at twelve points along it. The swirl is
# always along the wire's horizontal direction, so it pushes the bead
# forward the whole way round; the weight points straight down, and only the
# height climbed decides its share.

fig = plt.figure(figsize=(7, 6))
ax = fig.add_subplot(projection="3d")
ts = np.linspace(0.0, 2.0 * Constants.pi, 200)
points = [helix(t)[0] for t in ts]
ax.plot([p.x for p in points], [p.y for p in points], [p.z for p in points], color="0.3",
        label="the wire: one turn, radius %g m, pitch %g m" % (R, H))
for i, t in enumerate(np.linspace(0.0, 2.0 * Constants.pi, 12, endpoint=False)):
    r, _ = helix(t)
    push, pull = swirl(r) * 0.1, weight(r) * 0.25
    ax.quiver(r.x, r.y, r.z, push.x, push.y, push.z, color="tab:orange", arrow_length_ratio=0.3,
              label="swirl (-y, x, 0)·S" if i == 0 else None)
    ax.quiver(r.x, r.y, r.z, pull.x, pull.y, pull.z, color="tab:blue", arrow_length_ratio=0.3,
              label="weight (0, 0, -m g)" if i == 0 else None)
ax.set_title("W = 2 pi S R^2 - m g H = %.6f J" % exact)
ax.set_xlabel("x (m)")
ax.set_ylabel("y (m)")
ax.set_zlabel("z (m)")
ax.set_box_aspect((1.0, 1.0, 1.6))
ax.legend(fontsize=8, loc="upper left")
fig.tight_layout()
