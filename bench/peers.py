"""Pure-Python twins of the module's types, written as a user would write them."""
import math


class PyDual:
    __slots__ = ("val", "d")

    def __init__(self, val, d=0.0):
        self.val = val
        self.d = d

    def __add__(self, o):
        if isinstance(o, PyDual):
            return PyDual(self.val + o.val, self.d + o.d)
        return PyDual(self.val + o, self.d)

    __radd__ = __add__

    def __sub__(self, o):
        if isinstance(o, PyDual):
            return PyDual(self.val - o.val, self.d - o.d)
        return PyDual(self.val - o, self.d)

    def __rsub__(self, b):
        return PyDual(b - self.val, 0.0 - self.d)

    def __mul__(self, o):
        if isinstance(o, PyDual):
            return PyDual(self.val * o.val, self.d * o.val + self.val * o.d)
        return PyDual(self.val * o, self.d * o)

    __rmul__ = __mul__

    def __truediv__(self, o):
        if not isinstance(o, PyDual):
            o = PyDual(o)
        if abs(o.val) < 1e-9:
            raise RuntimeError("Division by zero")
        return PyDual(self.val / o.val, (self.d * o.val - self.val * o.d) / (o.val * o.val))

    def __rtruediv__(self, b):
        return PyDual(b).__truediv__(self)

    def __neg__(self):
        return PyDual(-self.val, -self.d)

    def __float__(self):
        return self.val

    def __pow__(self, n):
        return PyDual(math.pow(self.val, n), (n * math.pow(self.val, n - 1.0)) * self.d)

    def __repr__(self):
        return "<Scalar val=%f, d=%f>" % (self.val, self.d)

    def sin(self):
        return PyDual(math.sin(self.val), math.cos(self.val) * self.d)

    def exp(self):
        e = math.exp(self.val)
        return PyDual(e, e * self.d)


class PyVec3:
    __slots__ = ("x", "y", "z")

    def __init__(self, x=0.0, y=0.0, z=0.0):
        self.x = x
        self.y = y
        self.z = z

    def __add__(self, o):
        return PyVec3(self.x + o.x, self.y + o.y, self.z + o.z)

    def __mul__(self, s):
        return PyVec3(self.x * s, self.y * s, self.z * s)

    def __getitem__(self, i):
        if i == 0:
            return self.x
        if i == 1:
            return self.y
        if i == 2:
            return self.z
        raise IndexError()

    def __setitem__(self, i, v):
        if i == 0:
            self.x = float(v)
        elif i == 1:
            self.y = float(v)
        elif i == 2:
            self.z = float(v)
        else:
            raise IndexError()

    def __repr__(self):
        return "<Vec3 (%f, %f, %f)>" % (self.x, self.y, self.z)

    def dot(self, o):
        return (self.x * o.x + self.y * o.y) + self.z * o.z

    def cross(self, o):
        return PyVec3(self.y * o.z - self.z * o.y, self.z * o.x - self.x * o.z,
                      self.x * o.y - self.y * o.x)

    def magnitude(self):
        return math.sqrt(self.dot(self))

    def normalize(self):
        m = self.magnitude()
        if m == 0.0:
            return PyVec3()
        r = 1.0 / m
        return PyVec3(self.x * r, self.y * r, self.z * r)


def simpson(f, a, b, n=100):
    h = (b - a) / n
    s = f(a) + f(b)
    for i in range(1, n):
        s = (4.0 if i % 2 else 2.0) * f(i * h + a) + s
    return (h * s) / 3.0


def newton(f, x0, tol=1e-7, max_iter=100):
    x = x0
    for _ in range(max_iter):
        y = f(x)
        dy = (f(x + 1e-5) - f(x - 1e-5)) / 2e-5
        if abs(dy) < 1e-12:
            raise RuntimeError("Zero derivative encountered")
        x_new = x - y / dy
        if abs(x_new - x) < tol:
            return x_new
        x = x_new
    raise RuntimeError("Newton-Raphson failed to converge")
