"""The C-level fast paths against the bound methods they stand in for.

Operators, construction, field reads and several methods are served by fast
paths for exact Scalar/Vec3 operands and exact float/int numbers. Each must be
indistinguishable from the binding library's own dispatch: `a * b` against
`Scalar.__mul__(a, b)`, a method on a Scalar against the same method on a
subclass instance (which always takes the full dispatch).
"""
import math
import operator
import weakref

import pytest

from helpers import Half, Num, same
from orbelon_core import Scalar, Vec3

inf, nan = math.inf, math.nan


class SubScalar(Scalar):
    pass


class SubVec3(Vec3):
    pass


def outcome(call):
    """What a call produced, in a form that compares results bit for bit."""
    try:
        r = call()
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        # Messages that name the operand's class read the same for a subclass.
        text = str(e).replace("SubScalar", "orbelon_core.Scalar")
        text = text.replace("SubVec3", "orbelon_core.Vec3")
        return ("raise", type(e), text)
    if isinstance(r, Scalar):
        return (type(r), r.val.hex() if not math.isnan(r.val) else "nan",
                r.d.hex() if not math.isnan(r.d) else "nan")
    if isinstance(r, Vec3):
        return (type(r),) + tuple("nan" if math.isnan(c) else c.hex() for c in (r.x, r.y, r.z))
    if isinstance(r, float):
        return (float, "nan" if math.isnan(r) else r.hex())
    if isinstance(r, list):
        return (list,) + tuple(outcome(lambda: c) for c in r)
    return (type(r), r)


SCALARS = [Scalar(2.0, 1.0), Scalar(-0.0, 3.0), Scalar(inf, 1.0), Scalar(nan, 2.0),
           Scalar(1e-10, 1.0), Scalar(1e-9, -1.0), Scalar(-7.5, 0.0), SubScalar(3.0, 1.0)]
NUMBERS = [2.0, -0.0, 0.0, 1e-10, 3, 0, True, 10 ** 400, -(2 ** 70), Half(2.5), Num(4.0),
           nan, inf, "x", None]

BINARY = [
    (operator.add, "__add__", "__radd__"),
    (operator.sub, "__sub__", "__rsub__"),
    (operator.mul, "__mul__", "__rmul__"),
    (operator.truediv, "__truediv__", "__rtruediv__"),
    (operator.pow, "__pow__", "__rpow__"),
]


def reference(cls, name, a, b):
    """The bound method called explicitly; a TypeError when there is none."""
    def call():
        method = getattr(cls, name, None)
        if method is None:
            raise TypeError("no " + name)
        return method(a, b)
    return call


@pytest.mark.parametrize("op, name, rname", BINARY)
def test_scalar_on_the_left(op, name, rname):
    for a in SCALARS:
        for b in SCALARS + NUMBERS:
            if isinstance(b, Scalar) and type(b) is not type(a) and not isinstance(a, type(b)):
                continue  # a subclass on the right is tried first: see below
            assert outcome(lambda: op(a, b)) == outcome(reference(type(a), name, a, b)), (a, b)


@pytest.mark.parametrize("op, name, rname", BINARY)
def test_number_on_the_left(op, name, rname):
    for a in NUMBERS:
        for b in SCALARS:
            got = outcome(lambda: op(a, b))
            want = outcome(reference(type(b), rname, b, a))
            if want[0] == "raise" and want[1] is TypeError and not hasattr(Scalar, rname):
                assert got[0] == "raise" and got[1] is TypeError
            else:
                assert got == want, (a, b)


@pytest.mark.parametrize("op, name, rname", BINARY)
def test_subclass_on_the_right(op, name, rname):
    s, sub = Scalar(2.0, 1.0), SubScalar(3.0, 1.0)
    assert outcome(lambda: op(s, sub)) == outcome(lambda: getattr(Scalar, name)(s, sub))


def test_subclass_overriding_the_reflected_method_goes_first():
    class R(Scalar):
        def __rmul__(self, other):
            return "reflected"

        def __add__(self, other):
            return NotImplemented

    assert Scalar(1.0) * R(2.0) == "reflected"
    assert outcome(lambda: R(2.0, 1.0) * 3.0) == outcome(lambda: Scalar.__mul__(R(2.0, 1.0), 3.0))
    with pytest.raises(TypeError):
        R(1.0) + "x"  # R.__add__ declines, str has no __radd__ for it


def test_three_argument_pow():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pow(Scalar(2.0), 2, 3)
    with pytest.raises(TypeError):
        pow(2, Scalar(2.0), 3)


@pytest.mark.parametrize("s", SCALARS)
def test_negation(s):
    assert outcome(lambda: -s) == outcome(lambda: Scalar.__neg__(s))


@pytest.mark.parametrize("name", ["sin", "cos", "tan", "exp", "log", "sqrt", "abs", "__float__"])
@pytest.mark.parametrize("v", [0.0, -0.0, 1.0, -2.0, 1.5707963267948966, 1e-300, inf, -inf, nan])
def test_scalar_methods_against_the_full_dispatch(name, v):
    fast, full = Scalar(v, 1.5), SubScalar(v, 1.5)
    got = outcome(lambda: getattr(fast, name)())
    want = outcome(lambda: getattr(full, name)())
    assert got == want


@pytest.mark.parametrize("n", [3, 0.5, -1, True, Num(2.0), Scalar(3.0, 5.0), "x", 10 ** 400])
def test_scalar_pow_method(n):
    assert outcome(lambda: Scalar(2.0, 1.0).pow(n)) == outcome(lambda: SubScalar(2.0, 1.0).pow(n))


@pytest.mark.parametrize("other", [Scalar(1.0, 5.0), Scalar(2.0), Scalar(nan), SubScalar(1.0),
                                   1.0, None])
def test_comparisons(other):
    s = Scalar(1.0, 2.0)
    for op in (operator.eq, operator.lt, operator.ne, operator.gt):
        assert outcome(lambda: op(s, other)) == outcome(lambda: op(SubScalar(1.0, 2.0), other))


VECTORS = [Vec3(1, 2, 3), Vec3(), Vec3(-0.0, inf, nan), Vec3(1e200, 1e-170, 3), SubVec3(4, 5, 6)]


@pytest.mark.parametrize("name", ["dot", "cross", "distance", "angle", "reflect", "project"])
def test_vec3_binary_methods(name):
    for a in VECTORS:
        for b in VECTORS + [1.0, None, (1, 2, 3)]:
            got = outcome(lambda: getattr(a, name)(b))
            want = outcome(lambda: getattr(SubVec3(a.x, a.y, a.z), name)(b))
            assert got == want, (a, b)


@pytest.mark.parametrize("name", ["magnitude", "normalize", "to_list", "__repr__"])
def test_vec3_unary_methods(name):
    for a in VECTORS:
        assert outcome(lambda: getattr(a, name)()) == \
            outcome(lambda: getattr(SubVec3(a.x, a.y, a.z), name)())


@pytest.mark.parametrize("op, name", [(operator.add, "__add__"), (operator.sub, "__sub__"),
                                      (operator.mul, "__mul__"), (operator.truediv, "__truediv__")])
def test_vec3_operators(op, name):
    for a in VECTORS:
        for b in VECTORS + NUMBERS:
            assert outcome(lambda: op(a, b)) == outcome(reference(Vec3, name, a, b)), (a, b)


def test_vec3_indexing_against_the_full_dispatch():
    v, sub = Vec3(1, 2, 3), SubVec3(1, 2, 3)
    for i in [0, 1, 2, 3, -1, 2 ** 31, -(2 ** 31) - 1, 2 ** 31 - 1, True, 1.0, "1", None]:
        assert outcome(lambda: v[i]) == outcome(lambda: sub[i])
        assert outcome(lambda: v.__getitem__(i)) == outcome(lambda: Vec3.__getitem__(sub, i))
        for item in [9.5, 7, 10 ** 400, "x", Num(1.0)]:
            w, wsub = Vec3(1, 2, 3), SubVec3(1, 2, 3)

            def assign(target):
                target[i] = item
                return target

            assert outcome(lambda: assign(w)) == \
                outcome(lambda: Vec3(*assign(wsub).to_list())), (i, item)
    with pytest.raises(IndexError) as info:
        v[3]
    assert info.value.args == ("",)  # the same exception object shape as the library's
    with pytest.raises(AttributeError):
        del v[0]


def test_constructors_match():
    for args, kwargs in [((1.0, 2.0), {}), ((1,), {}), ((True, Num(2.0)), {}), ((), {"val": 1.0}),
                         ((1.0,), {"d": 2}), ((), {}), (("x",), {}), ((1.0, 2.0, 3.0), {}),
                         ((10 ** 400,), {})]:
        got = outcome(lambda: Scalar(*args, **kwargs))
        want = outcome(lambda: SubScalar(*args, **kwargs))
        assert got[1:] == want[1:]
    for args in [(), (1,), (1.0, 2.0), (1, 2, 3), (1, 2, 3, 4), ("x",), (nan, -0.0, inf)]:
        got, want = outcome(lambda: Vec3(*args)), outcome(lambda: SubVec3(*args))
        assert got[1:] == want[1:]


def test_results_are_full_instances():
    s = Scalar(1.0, 2.0) + Scalar(3.0, 4.0)
    s.__init__(9.0)  # a second __init__ is ignored, as for any bound instance
    assert (s.val, s.d) == (4.0, 6.0)
    r = weakref.ref(s)
    assert r() is s
    del s
    assert r() is None
    v = Vec3(1.0, 2.0, 3.0)
    v.__init__(0.0)
    assert v.to_list() == [1.0, 2.0, 3.0]


def test_field_reads_follow_the_class_attribute():
    v = Vec3(1, 2, 3)
    assert getattr(v, "".join(["x"])) == 1.0
    original = Vec3.__dict__["x"]
    Vec3.x = property(lambda self: 42.0)
    try:
        assert v.x == 42.0
    finally:
        Vec3.x = original
    assert v.x == 1.0
    with pytest.raises(AttributeError):
        v.w


def _c_fixed(x, _libc=[]):
    import ctypes
    if not _libc:
        _libc.append(ctypes.CDLL(None))
    buf = ctypes.create_string_buffer(400)
    _libc[0].snprintf(buf, 400, b"%f", ctypes.c_double(x))
    return buf.value.decode()


def _awkward_doubles(count):
    import random
    import struct
    rnd = random.Random(20261207)
    yield from [0.0078125, -0.0078125, 2.5e-7, 5e-7, 0.5, -1e-7, 1.0000005, 1 / 3, 1e300, -1e20,
                4503599627370495.5, 9007199254740991.0, 9007199254740992.0, 5e-324, inf, -nan]
    for _ in range(count):
        k = rnd.random()
        if k < 0.3:  # any bit pattern
            yield struct.unpack("<d", rnd.getrandbits(64).to_bytes(8, "little"))[0]
        elif k < 0.6:  # short binary fractions: exact ties at the sixth decimal
            yield rnd.randint(-2 ** 40, 2 ** 40) / 2 ** rnd.randint(0, 30)
        else:
            yield rnd.uniform(-1e6, 1e6) * 10.0 ** rnd.randint(-12, 12)


def test_repr_digits_match_the_c_library():
    values = list(_awkward_doubles(6000))
    for i in range(0, len(values) - 2, 3):
        x, y, z = values[i:i + 3]
        want = "<Vec3 (%s, %s, %s)>" % (_c_fixed(x), _c_fixed(y), _c_fixed(z))
        assert repr(Vec3(x, y, z)) == want
        assert repr(SubVec3(x, y, z)) == want  # the bound __repr__ formats the same way
        assert repr(Scalar(x, y)) == "<Scalar val=%s, d=%s>" % (_c_fixed(x), _c_fixed(y))


def test_fast_paths_are_installed():
    # The import-time checks leave the plain bindings in place when one fails,
    # which no comparison would notice; the module says which it did as an
    # audit event.
    import subprocess
    import sys
    code = ("import sys\n"
            "sys.addaudithook(lambda e, a: e == 'orbelon_core.fast_paths' and print(*a))\n"
            "import orbelon_core")
    status = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert status.stdout == "installed\n"
