"""
Kepler's equation: where a planet is at a given time
====================================================

The mean anomaly M grows uniformly with time; the eccentric anomaly E, which
fixes the position on the ellipse, solves the transcendental equation
E - ecc sin(E) = M. Newton-Raphson solves it for each M. The rate dE/dM is
then found twice: by differentiating the solver itself numerically (the
solver is re-entrant, so it may run inside a callable) and from the implicit
derivative 1 / (1 - ecc cos E).
"""
import math

from orbelon_core import Constants, Solver

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
