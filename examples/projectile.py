"""How sensitive is a projectile's range to its launch angle?

On flat ground and without drag, a shot at speed v and angle theta lands at
R(theta) = v^2 sin(2 theta) / g. Evaluating R on a Scalar seeded with
d = 1 gives dR/dtheta alongside R; it is checked here against the analytic
2 v^2 cos(2 theta) / g and against a central difference. Newton's method on
dR/dtheta then finds the angle of greatest range, which must be 45 degrees.
"""
import math

from orbelon_core import Constants, Scalar, Solver

V = 30.0  # launch speed, m/s


def flight_range(theta):
    """R(theta) in metres, for a Scalar angle theta in radians."""
    return (theta * 2.0).sin() * (V * V / Constants.g)


print("launch speed %.1f m/s, g = %r m/s^2" % (V, Constants.g))
print("dR/dtheta in m/rad, three ways:")
print("angle  range (m)            autodiff            analytic  central difference")
for degrees in (15, 30, 45, 60, 75):
    theta = math.radians(degrees)
    r = flight_range(Scalar(theta, 1.0))
    analytic = 2.0 * V * V * math.cos(2.0 * theta) / Constants.g
    numeric = Solver.differentiate(lambda t: flight_range(Scalar(t)), theta)
    print("%5d  %9.4f  %18.12f  %18.12f  %18.12f" % (degrees, r.val, r.d, analytic, numeric))
    assert abs(r.d - analytic) <= 1e-12 * max(1.0, abs(analytic))
    assert abs(numeric - analytic) <= 1e-6 * max(1.0, abs(analytic))

# The range is greatest where its derivative vanishes.
best = Solver.root_newton(lambda t: flight_range(Scalar(t, 1.0)).d, x0=0.5, tol=1e-12)
print("greatest range at %.9f degrees: %.4f m" % (math.degrees(best), flight_range(Scalar(best)).val))
assert abs(best - math.pi / 4) < 1e-9
