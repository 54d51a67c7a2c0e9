"""A pure-Python model of the module's arithmetic, written from the rules.

Python floats are IEEE doubles and each operation below is rounded on its
own, in the grouping the C++ uses, so the model and the module must agree to
the last bit. The elementary functions come from the same C maths library the
module calls (Python's math module has its own pow and special cases), and
"%f" from the same C library's printf.

Values are plain tuples: a Scalar is (val, d), a Vec3 is (x, y, z). A guard
raises Refused with the exact text the module must raise as RuntimeError.
"""
import ctypes
import ctypes.util
import math

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sin", "cos", "exp", "log", "acos"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]
_libm.pow.restype = ctypes.c_double
_libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]
sin, cos, exp, log, acos, pow = (_libm.sin, _libm.cos, _libm.exp, _libm.log,
                                 _libm.acos, _libm.pow)

_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_libc.snprintf.restype = ctypes.c_int

GUARD = 1e-9


class Refused(Exception):
    """A guard refused the input; str() is the module's message."""


def fmt(v):
    """v as C's printf "%f" writes it ("-nan" included)."""
    buf = ctypes.create_string_buffer(512)
    _libc.snprintf(buf, 512, b"%f", ctypes.c_double(v))
    return buf.value.decode()


def div(a, b):
    """IEEE division: Python raises where C gives ±inf or NaN."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


# Scalar --------------------------------------------------------------------

def s_add(a, o):
    return (a[0] + o[0], a[1] + o[1])


def s_sub(a, o):
    return (a[0] - o[0], a[1] - o[1])


def s_mul(a, o):
    return (a[0] * o[0], a[1] * o[0] + a[0] * o[1])


def s_div(a, o):
    if abs(o[0]) < GUARD:
        raise Refused("Division by zero")
    return (a[0] / o[0], (a[1] * o[0] - a[0] * o[1]) / (o[0] * o[0]))


def s_add_f(a, b):  # a + b and b + a
    return (a[0] + b, a[1])


def s_sub_f(a, b):  # a - b
    return (a[0] - b, a[1])


def s_rsub_f(a, b):  # b - a, from a true zero: {b, 0} - a
    return s_sub((b, 0.0), a)


def s_mul_f(a, b):  # a * b and b * a
    return (a[0] * b, a[1] * b)


def s_div_f(a, b):  # a / {b, 0}: keeps the a.val * 0.0 term
    return s_div(a, (b, 0.0))


def s_rdiv_f(a, b):  # {b, 0} / a
    return s_div((b, 0.0), a)


def s_pow(a, n):
    return (pow(a[0], n), (n * pow(a[0], n - 1.0)) * a[1])


def s_neg(a):
    return (-a[0], -a[1])


def s_sin(a):
    return (sin(a[0]), cos(a[0]) * a[1])


def s_cos(a):
    return (cos(a[0]), (-sin(a[0])) * a[1])


def s_tan(a):
    s, c = sin(a[0]), cos(a[0])
    if abs(c) < GUARD:
        raise Refused("Tan undefined (cos is 0)")
    return (s / c, (1.0 / (c * c)) * a[1])


def s_exp(a):
    e = exp(a[0])
    return (e, e * a[1])


def s_log(a):
    if a[0] <= 0.0:
        raise Refused("Log domain error")
    return (log(a[0]), (1.0 / a[0]) * a[1])


def s_sqrt(a):
    if a[0] < 0.0:
        raise Refused("Sqrt of negative number")
    r = math.sqrt(a[0])  # correctly rounded, as is the IEEE square root
    return (r, div(0.5, r) * a[1])


def s_abs(a):
    return (abs(a[0]), (1.0 if a[0] >= 0.0 else -1.0) * a[1])


def s_repr(a):
    return "<Scalar val=%s, d=%s>" % (fmt(a[0]), fmt(a[1]))


# Vec3 ----------------------------------------------------------------------

def v_add(a, o):
    return (a[0] + o[0], a[1] + o[1], a[2] + o[2])


def v_sub(a, o):
    return (a[0] - o[0], a[1] - o[1], a[2] - o[2])


def v_mul(a, s):
    return (a[0] * s, a[1] * s, a[2] * s)


def v_div(a, s):
    return (div(a[0], s), div(a[1], s), div(a[2], s))


def v_dot(a, o):
    return (a[0] * o[0] + a[1] * o[1]) + a[2] * o[2]


def v_cross(a, o):
    return (a[1] * o[2] - a[2] * o[1], a[2] * o[0] - a[0] * o[2], a[0] * o[1] - a[1] * o[0])


def v_magnitude(a):
    return math.sqrt(v_dot(a, a))


def v_normalize(a):
    m = v_magnitude(a)
    if m == 0.0:
        return (0.0, 0.0, 0.0)
    r = 1.0 / m
    return (a[0] * r, a[1] * r, a[2] * r)


def v_distance(a, o):
    return v_magnitude(v_sub(a, o))


def v_angle(a, o):
    m = v_magnitude(a) * v_magnitude(o)
    if m == 0.0:
        return 0.0
    c = v_dot(a, o) / m
    if c > 1.0:
        c = 1.0
    if c < -1.0:
        c = -1.0
    return acos(c)


def v_reflect(a, n):
    dn = v_dot(a, n)
    k = dn + dn
    return (a[0] - n[0] * k, a[1] - n[1] * k, a[2] - n[2] * k)


def v_project(a, o):
    denom = v_dot(o, o)
    if denom == 0.0:
        return (0.0, 0.0, 0.0)
    t = v_dot(a, o) / denom
    return (o[0] * t, o[1] * t, o[2] * t)


def v_getitem(a, i):
    if not 0 <= i <= 2:
        raise IndexError()  # no wrap-around for negative indices
    return a[i]


def v_setitem(a, i, s):
    v_getitem(a, i)  # the same bounds check
    v = list(a)
    v[i] = s
    return tuple(v)


def v_repr(a):
    return "<Vec3 (%s, %s, %s)>" % (fmt(a[0]), fmt(a[1]), fmt(a[2]))


# Solver --------------------------------------------------------------------
# f is the same Python callable the module is given; only the routine's own
# arithmetic and the order of the samples are modelled.

def integrate(f, a, b, n):
    if n <= 0 or n % 2 != 0:
        raise Refused("n must be positive and even")
    h = (b - a) / float(n)
    s = float(f(a))
    s = s + float(f(b))
    for i in range(1, n):
        w = 4.0 if i % 2 == 1 else 2.0
        s = w * float(f(float(i) * h + a)) + s
    return (h * s) / 3.0


def differentiate(f, x, h):
    yp = float(f(x + h))
    ym = float(f(x - h))
    return div(yp - ym, 2.0 * h)


def root_newton(f, x0, tol, max_iter):
    x = x0
    for _ in range(max_iter):
        y = float(f(x))
        dy = differentiate(f, x, 1e-5)
        if abs(dy) < 1e-12:
            raise Refused("Zero derivative encountered")
        x_new = x - y / dy  # dy is nonzero here: NaN or at least 1e-12
        if abs(x_new - x) < tol:
            return x_new
        x = x_new
    raise Refused("Newton-Raphson failed to converge")
