"""A short tour of orbelon_core: what each part does, on real numbers."""
import orbelon_core
from orbelon_core import Scalar

print(orbelon_core.__doc__)
print()

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
