"""
A tour of orbelon_core
======================

What each part does, on real numbers: derivatives from ``Scalar``, the three
solvers over plain Python functions, ``Vec3`` geometry and the constants.
It opens with the release installed; the README shows the output of the
release it describes.
"""
import importlib.metadata
import math

from orbelon_core import Constants, Scalar, Solver, Vec3

print("orbelon_core", importlib.metadata.version("orbelon_core"))
print()

# %%
# Scalar: derivatives for free
# ----------------------------

print("== Scalar: derivatives for free ==")
x = Scalar(3.0, 1.0)  # the variable x at 3, seeded with dx/dx = 1
print("x           =", x)
print("x * x       =", x * x, "  (d/dx x^2 = 2x = 6)")
y = (x.sin() * x.exp() + 1.0 / x) ** 2
print("(sin(x)e^x + 1/x)^2 =", y)
r = Scalar(2.0, 1.0).sqrt()
print("sqrt(2)     =", r, "  (d/dx sqrt(x) = 1/(2 sqrt x))")
try:
    x / Scalar(0.0)
except RuntimeError as e:
    print("x / 0       -> RuntimeError:", e)
print()

# %%
# Solver: integrals, derivatives and roots of any callable
# --------------------------------------------------------

print("== Solver: integrals, derivatives and roots of any callable ==")
area = Solver.integrate(math.sin, 0.0, math.pi)
print("integral of sin over [0, pi]      =", area)
print("integral of x^3 over [0, 1], n=2  =", Solver.integrate(lambda t: t ** 3, 0.0, 1.0, 2))
print("d/dx exp(x) at x = 1              =", Solver.differentiate(math.exp, 1.0), " (e =", math.e, ")")
root = Solver.root_newton(lambda t: math.cos(t) - t, x0=1.0)
print("root of cos(x) = x                =", root)
print("root of x^2 - 2 from x0 = 1       =", Solver.root_newton(lambda t: t * t - 2, 1.0),
      "== sqrt(2):", Solver.root_newton(lambda t: t * t - 2, 1.0) == math.sqrt(2))
try:
    Solver.root_newton(lambda t: 7.0, 0.0)
except RuntimeError as e:
    print("root of a constant                -> RuntimeError:", e)
print()

# %%
# Vec3: geometry in three dimensions
# ----------------------------------

print("== Vec3: geometry in three dimensions ==")
a, b = Vec3(1, 2, 3), Vec3(4, 5, 6)
print("a, b             =", a, b)
print("a + b            =", a + b)
print("a . b            =", a.dot(b))
print("a x b            =", a.cross(b))
print("|a|              =", a.magnitude())
print("a / |a|          =", a.normalize())
print("angle(a, b)      =", a.angle(b), "rad")
print("a mirrored in xz =", a.reflect(Vec3(0, 1, 0)))
print("a onto b         =", a.project(b))
print("a as a list      =", a.to_list(), " a[2] =", a[2])
print()

# %%
# Constants
# ---------

print("== Constants ==")
for name in ("pi", "e", "phi", "gamma", "c", "h", "k", "Na", "g"):
    print("%-6s = %r" % (name, getattr(Constants, name)))
# Thermal energy at room temperature, and the fall time from 20 m, with its
# sensitivity to the height computed alongside.
print("kT at 293.15 K = %.6e J" % (Constants.k * 293.15))
height = Scalar(20.0, 1.0)
t = (height * 2.0 / Constants.g).sqrt()
print("fall from 20 m:", t, " (seconds, and seconds per metre)")
