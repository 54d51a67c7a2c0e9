"""Every operation against the pure-Python model in model.py, bit for bit.

Hypothesis draws doubles from the whole range, weighted towards the places
where an implementation goes wrong: signed zeros, infinities, NaN,
subnormals, the 1e-9 guard, the poles of tan, huge and tiny magnitudes. A
result must be the same double (two NaNs count as equal); a refused input
must raise RuntimeError with the model's message.
"""
import math
import struct

from hypothesis import given, strategies as st

import model as M
from helpers import agree, tally
from orbelon_core import Scalar, Solver, Vec3

inf, nan = math.inf, math.nan


def ulps(x, k):
    """The double k steps from x, away from zero for k > 0 (x finite, nonzero)."""
    bits = struct.unpack("<q", struct.pack("<d", abs(x)))[0] + k
    return math.copysign(struct.unpack("<d", struct.pack("<q", bits))[0], x)


signs = st.sampled_from([1.0, -1.0])
ieee_specials = st.sampled_from([0.0, -0.0, inf, -inf, nan, -nan])
edges = st.sampled_from([
    1.0, -1.0, 0.5, 2.0, 3.0, math.pi, -math.pi,
    5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,  # subnormal edges
    1.7976931348623157e308, -1.7976931348623157e308,
    1.34e154, 1.57e-162, 1e200, 1e-170,  # where a square overflows or underflows
])
# |x| within a few ulps of the 1e-9 guard, both sides, both signs.
around_guard = st.builds(lambda k, s: s * ulps(1e-9, k), st.integers(-3, 3), signs)
# Near the poles of tan, where |cos| crosses the guard.
poles = st.integers(-4, 4).map(lambda k: math.pi / 2 + k * math.pi)
near_pole = st.one_of(
    st.builds(ulps, poles, st.integers(-3, 3)),
    st.builds(lambda p, e: p + e, poles, st.floats(-3e-9, 3e-9)),
)
# Any binade, subnormal to the largest.
magnitudes = st.builds(lambda m, e, s: s * math.ldexp(m, e),
                       st.floats(1.0, 2.0, exclude_max=True), st.integers(-1074, 1023), signs)
small = st.one_of(st.integers(-8, 8).map(float), st.floats(-10.0, 10.0))
doubles = st.one_of(ieee_specials, edges, st.floats(), around_guard, near_pole, magnitudes, small)
# A plain operand: the float overloads take ints and bools in their converting pass.
numbers = st.one_of(doubles, st.integers(-2 ** 64, 2 ** 64), st.booleans())
scalars = st.tuples(doubles, doubles)
vectors = st.tuples(doubles, doubles, doubles)
# Two vectors, or a vector and a multiple of it, whose cosine may round past
# 1 or -1.
vector_pairs = st.one_of(st.tuples(vectors, vectors),
                         st.builds(lambda a, k: (a, tuple(x * k for x in a)), vectors, small))


def S(x):
    assert type(x) is Scalar
    return (x.val, x.d)


def V(x):
    assert type(x) is Vec3
    return (x.x, x.y, x.z)


def F(x):
    assert type(x) is float
    return x


def outcome(call, *args):
    try:
        return "returns", call(*args)
    except (M.Refused, RuntimeError) as e:
        return "RuntimeError", str(e)
    except IndexError as e:
        return "IndexError", str(e)


def check(name, run, model, objects, values):
    """run(*objects) on the module must give what model(*values) gives."""
    got, want = outcome(run, *objects), outcome(model, *values)
    tally["compared"] += 1
    if not agree(got, want):
        tally["mismatched"] += 1
        raise AssertionError("%s: module %r, model %r" % (name, got, want))


SCALAR_PAIR = {
    "a + o": (lambda a, o: S(a + o), M.s_add),
    "a - o": (lambda a, o: S(a - o), M.s_sub),
    "a * o": (lambda a, o: S(a * o), M.s_mul),
    "a / o": (lambda a, o: S(a / o), M.s_div),
    # A Scalar exponent stands for its value.
    "a ** o": (lambda a, o: S(a ** o), lambda a, o: M.s_pow(a, o[0])),
    "a == o": (lambda a, o: a == o, lambda a, o: a[0] == o[0]),
    "a != o": (lambda a, o: a != o, lambda a, o: not a[0] == o[0]),
    "a < o": (lambda a, o: a < o, lambda a, o: a[0] < o[0]),
    "a > o": (lambda a, o: a > o, lambda a, o: o[0] < a[0]),
}

SCALAR_NUMBER = {
    "a + b": (lambda a, b: S(a + b), M.s_add_f),
    "b + a": (lambda a, b: S(b + a), M.s_add_f),
    "a - b": (lambda a, b: S(a - b), M.s_sub_f),
    "b - a": (lambda a, b: S(b - a), M.s_rsub_f),
    "a * b": (lambda a, b: S(a * b), M.s_mul_f),
    "b * a": (lambda a, b: S(b * a), M.s_mul_f),
    "a / b": (lambda a, b: S(a / b), M.s_div_f),
    "b / a": (lambda a, b: S(b / a), M.s_rdiv_f),
    "a ** b": (lambda a, b: S(a ** b), M.s_pow),
    "a.pow(b)": (lambda a, b: S(a.pow(b)), M.s_pow),
}

SCALAR_ALONE = {
    "-a": (lambda a: S(-a), M.s_neg),
    "a.sin()": (lambda a: S(a.sin()), M.s_sin),
    "a.cos()": (lambda a: S(a.cos()), M.s_cos),
    "a.tan()": (lambda a: S(a.tan()), M.s_tan),
    "a.exp()": (lambda a: S(a.exp()), M.s_exp),
    "a.log()": (lambda a: S(a.log()), M.s_log),
    "a.sqrt()": (lambda a: S(a.sqrt()), M.s_sqrt),
    "a.abs()": (lambda a: S(a.abs()), M.s_abs),
    "float(a)": (lambda a: F(float(a)), lambda a: a[0]),
    "repr(a)": (repr, M.s_repr),
    "str(a)": (str, M.s_repr),
}

VEC_PAIR = {
    "a + o": (lambda a, o: V(a + o), M.v_add),
    "a - o": (lambda a, o: V(a - o), M.v_sub),
    "a.dot(o)": (lambda a, o: F(a.dot(o)), M.v_dot),
    "a.cross(o)": (lambda a, o: V(a.cross(o)), M.v_cross),
    "a.distance(o)": (lambda a, o: F(a.distance(o)), M.v_distance),
    "a.angle(o)": (lambda a, o: F(a.angle(o)), M.v_angle),
    "a.reflect(o)": (lambda a, o: V(a.reflect(o)), M.v_reflect),
    "a.project(o)": (lambda a, o: V(a.project(o)), M.v_project),
}

VEC_NUMBER = {
    "a * b": (lambda a, b: V(a * b), M.v_mul),
    "a / b": (lambda a, b: V(a / b), M.v_div),
}

VEC_ALONE = {
    "a.magnitude()": (lambda a: F(a.magnitude()), M.v_magnitude),
    "a.normalize()": (lambda a: V(a.normalize()), M.v_normalize),
    "a.to_list()": (lambda a: a.to_list(), list),
    "list(a)": (list, list),  # iteration through __getitem__ up to the IndexError
    "repr(a)": (repr, M.v_repr),
}


# Each example goes through every operation of its table: drawing the
# example costs far more than the calls, and a failure names the operation.

@given(a=scalars, o=scalars)
def test_scalar_with_scalar(a, o):
    x, y = Scalar(*a), Scalar(*o)
    for name, (run, model) in SCALAR_PAIR.items():
        check(name, run, model, (x, y), (a, o))
    assert agree(S(x), a) and agree(S(y), o)  # operands untouched


@given(a=scalars, b=numbers)
def test_scalar_with_number(a, b):
    x = Scalar(*a)
    for name, (run, model) in SCALAR_NUMBER.items():
        check(name, run, model, (x, b), (a, float(b)))
    assert agree(S(x), a)


@given(a=scalars)
def test_scalar_alone(a):
    x = Scalar(*a)
    for name, (run, model) in SCALAR_ALONE.items():
        check(name, run, model, (x,), (a,))
    assert agree(S(x), a)


@given(pair=vector_pairs)
def test_vec3_with_vec3(pair):
    a, o = pair
    x, y = Vec3(*a), Vec3(*o)
    for name, (run, model) in VEC_PAIR.items():
        check(name, run, model, (x, y), (a, o))
    assert agree(V(x), a) and agree(V(y), o)


@given(a=vectors, b=numbers)
def test_vec3_with_number(a, b):
    x = Vec3(*a)
    for name, (run, model) in VEC_NUMBER.items():
        check(name, run, model, (x, b), (a, float(b)))
    assert agree(V(x), a)


@given(a=vectors)
def test_vec3_alone(a):
    x = Vec3(*a)
    for name, (run, model) in VEC_ALONE.items():
        check(name, run, model, (x,), (a,))
    assert agree(V(x), a)


def assign(v, i, b):
    v[i] = b
    return V(v)


@given(a=vectors, i=st.integers(-4, 5), b=numbers)
def test_vec3_items(a, i, b):
    check("a[i]", lambda v, i: F(v[i]), M.v_getitem, (Vec3(*a), i), (a, i))
    check("a[i] = b", assign, M.v_setitem, (Vec3(*a), i, b), (a, i, float(b)))


# Solver ---------------------------------------------------------------------

FORMS = {
    "poly": lambda x, c: (c[2] * x + c[1]) * x + c[0],
    "sin": lambda x, c: c[0] * M.sin(c[1] * x + c[2]),
    "exp": lambda x, c: M.exp(c[1] * x) - c[0],
    "kink": lambda x, c: abs(x - c[0]) * c[1] + c[2],
    "const": lambda x, c: c[0],
}


class Fn:
    """A deterministic function of one double that records where it was sampled."""

    def __init__(self, form, coeffs):
        self.form, self.coeffs, self.points = form, coeffs, []

    def __call__(self, x):
        self.points.append(x)
        return FORMS[self.form](x, self.coeffs)

    def fresh(self):
        return Fn(self.form, self.coeffs)

    def __repr__(self):
        return "Fn(%r, %r)" % (self.form, self.coeffs)


coeffs = st.one_of(small, doubles)
functions = st.builds(Fn, st.sampled_from(sorted(FORMS)), st.tuples(coeffs, coeffs, coeffs))


def solve(name, run, model, f):
    """Same result and the same samples, in the same order."""
    mine, theirs = f.fresh(), f.fresh()
    check(name, lambda: F(run(mine)), lambda: model(theirs), (), ())
    assert agree(mine.points, theirs.points)


@given(f=functions, a=doubles, b=doubles, n=st.one_of(st.none(), st.integers(-3, 40)))
def test_integrate(f, a, b, n):
    kw = {} if n is None else {"n": n}
    solve("integrate", lambda g: Solver.integrate(g, a, b, **kw),
          lambda g: M.integrate(g, a, b, 100 if n is None else n), f)


@given(f=functions, x=doubles, h=st.one_of(st.none(), doubles))
def test_differentiate(f, x, h):
    kw = {} if h is None else {"h": h}
    solve("differentiate", lambda g: Solver.differentiate(g, x, **kw),
          lambda g: M.differentiate(g, x, 1e-05 if h is None else h), f)


@given(f=functions, x0=st.one_of(small, doubles),
       tol=st.one_of(st.none(), st.sampled_from([0.0, 1e-3, 1e-12, inf, nan, -1.0]), doubles),
       max_iter=st.one_of(st.none(), st.integers(-2, 30)))
def test_root_newton(f, x0, tol, max_iter):
    kw = {k: v for k, v in (("tol", tol), ("max_iter", max_iter)) if v is not None}
    solve("root_newton", lambda g: Solver.root_newton(g, x0, **kw),
          lambda g: M.root_newton(g, x0, 1e-07 if tol is None else tol,
                                  100 if max_iter is None else max_iter), f)
