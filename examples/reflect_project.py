"""
Reflection and projection in three dimensions
=============================================

``v.reflect(n)`` returns ``v - n·k`` with ``k = 2 (v . n)``, and
``v.project(w)`` returns ``w·t`` with ``t = (v . w) / (w . w)``. The first is
a mirror image only when ``n`` is a unit vector: the method uses ``n`` as
given and does not normalize it. The second never needs a unit vector. This
example draws both, checks the geometry they promise, and shows what a
normal of length 2 does instead.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

from orbelon_core import Vec3

V = Vec3(2.0, 1.0, 0.5)               # the vector to reflect
N = Vec3(0.1, 0.05, 1.0).normalize()  # unit normal of the mirror plane
U = Vec3(1.0, 2.0, 1.5)               # the vector to project
W = Vec3(0.8, 0.2, -0.1)              # the direction to project onto


def mirror_checks(v, n):
    """For a unit n: length kept, normal component flipped, tangential kept."""
    r = v.reflect(n)
    return {
        "length ratio |r| / |v|": r.magnitude() / v.magnitude(),
        "(r . n) + (v . n)": r.dot(n) + v.dot(n),
        "|(r - v) x n|": (r - v).cross(n).magnitude(),
        "angle(v, n) + angle(r, n) - pi": v.angle(n) + r.angle(n) - math.pi,
    }


def projection_checks(v, w):
    """The projection lies along w, and what is left of v is square to it."""
    p = v.project(w)
    return {
        "|p x w|": p.cross(w).magnitude(),
        "(v - p) . w": (v - p).dot(w),
        "p unchanged by scaling w by 7": (p - v.project(w * 7.0)).magnitude(),
    }


# %%
# The checks
# ----------
#
# Each quantity is zero up to rounding (the ratio is shown less 1). With the
# normal doubled, ``k`` doubles too and the normal component of ``v`` is
# pushed back four times over: the result is no mirror image, and its length
# is ``|v| sqrt(1 + 48 cos^2 a)``, ``a`` the angle between ``v`` and ``n``.

MIRROR = mirror_checks(V, N)
PROJECTION = projection_checks(U, W)
LONG_NORMAL_RATIO = V.reflect(N * 2.0).magnitude() / V.magnitude()
for name, value in list(MIRROR.items()) + list(PROJECTION.items()):
    print("%-32s % .1e" % (name, value - (1.0 if name.startswith("length") else 0.0)))
print("with |n| = 2, |r| / |v| = %.4f, not 1" % LONG_NORMAL_RATIO)
assert abs(MIRROR["length ratio |r| / |v|"] - 1.0) < 1e-15
assert all(abs(value) < 1e-14 for name, value in MIRROR.items() if not name.startswith("length"))
assert all(abs(value) < 1e-14 for value in PROJECTION.values())
assert abs(LONG_NORMAL_RATIO - math.sqrt(1.0 + 48.0 * math.cos(V.angle(N)) ** 2)) < 1e-14

# %%
# Reflection
# ----------
#
# The mirror plane (pale), its unit normal, ``v``, its reflection in the
# plane, and the result with the normal doubled (dashed), which overshoots
# the mirror image and grows. Both figures use an orthographic view with one
# scale on all three axes, so that lengths and right angles read true, and
# keep their legends below the box.


def arrow(ax, tip, color, label, tail=Vec3(), **style):
    d = tip - tail
    style.setdefault("linewidth", 2)
    ax.quiver(tail.x, tail.y, tail.z, d.x, d.y, d.z, color=color, arrow_length_ratio=0.12,
              label=label, **style)


def plane(ax, n, size=2.5):
    """A square patch of the plane through 0 with normal n."""
    u = n.cross(Vec3(1.0, 0.0, 0.0)).normalize()
    t = n.cross(u)
    corners = [u * (a * size) + t * (b * size) for a, b in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
    grid = np.array([[corners[0].to_list(), corners[1].to_list()],
                     [corners[3].to_list(), corners[2].to_list()]])
    ax.plot_surface(grid[..., 0], grid[..., 1], grid[..., 2], color="C0", alpha=0.15)


def axes_3d(fig, zlim):
    ax = fig.add_subplot(projection="3d", proj_type="ortho")
    ax.set_xlim(-2.5, 2.5)
    ax.set_ylim(-2.5, 2.5)
    ax.set_zlim(*zlim)
    ax.set_aspect("equal")
    ax.set_xlabel("$x$")
    ax.set_ylabel("$y$")
    ax.set_zlabel("$z$")
    return ax


fig = plt.figure(figsize=(7.0, 6.0), layout="constrained")
ax = axes_3d(fig, (-6.0, 2.0))
plane(ax, N)
arrow(ax, N, "C0", "unit normal $n$")
arrow(ax, V, "k", "$v$")
arrow(ax, V.reflect(N), "C1", "v.reflect(n): the mirror image")
arrow(ax, V.reflect(N * 2.0), "C3", "v.reflect(n * 2): %.1f times longer" % LONG_NORMAL_RATIO,
      linestyle="--")
mirror = V.reflect(N)
ax.plot([V.x, mirror.x], [V.y, mirror.y], [V.z, mirror.z], color="0.4", linestyle=":",
        linewidth=1.2, label="$v$ to its image: along $n$, halved by the plane")
ax.set_title("Reflection: a mirror only for a unit normal")
fig.legend(loc="outside lower center", ncols=2)
# Room between the legend and the x label, which sits further out than the
# layout allows for.
fig.get_layout_engine().set(h_pad=0.1)

# %%
# Projection
# ----------
#
# Another ``v``, its projection onto the line of ``w`` (onto the whole line:
# ``p`` may be longer than ``w``), and the remainder ``v - p`` meeting that
# line at a right angle.

fig_projection = plt.figure(figsize=(7.0, 5.0), layout="constrained")
ax = axes_3d(fig_projection, (-1.0, 2.0))
p = U.project(W)
line_end = W * 3.0
ax.plot([-line_end.x, line_end.x], [-line_end.y, line_end.y], [-line_end.z, line_end.z],
        color="0.5", linestyle=":", label="the line of $w$")
arrow(ax, U, "k", "$v$")
arrow(ax, p, "C2", "p = v.project(w), beyond the tip of $w$", linewidth=7, alpha=0.45)
arrow(ax, W, "C0", "$w$")
arrow(ax, U, "C4", "v - p, square to $w$", tail=p, linestyle="--")
along, across = W.normalize() * 0.25, (U - p).normalize() * 0.25
corner = [p + along, p + along + across, p + across]
ax.plot([c.x for c in corner], [c.y for c in corner], [c.z for c in corner], color="0.3",
        linewidth=1)
ax.set_title("Projection: $v = p + (v - p)$")
fig_projection.legend(loc="outside lower center", ncols=2)

if __name__ == "__main__":
    plt.show()
