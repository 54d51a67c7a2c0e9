import math

import pytest

from helpers import assert_vec, same
from orbelon_core import Scalar, Vec3

inf, nan = math.inf, math.nan


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


@pytest.mark.parametrize("expr, want", [
    (lambda: Vec3(1, 2, 3) + Vec3(4, 5, 6), (5, 7, 9)),
    (lambda: Vec3(1, 2, 3) - Vec3(4, 5, 6), (-3, -3, -3)),
    (lambda: Vec3(1, 2, 3) * 2, (2, 4, 6)),
    (lambda: Vec3(1, 2, 3) * Scalar(2.0, 1.0), (2, 4, 6)),
    (lambda: Vec3(1, -1, 0) / 0, (inf, -inf, nan)),
    (lambda: Vec3(0.1, 0.2, 0.3) / 3, (0.1 / 3, 0.2 / 3, 0.3 / 3)),
    (lambda: Vec3(1, 2, 3).cross(Vec3(4, 5, 6)), (-3, 6, -3)),
    (lambda: Vec3(1, 0, 0).cross(Vec3(0, 1, 0)), (0, 0, 1)),
    (lambda: Vec3(0, 1, 0).cross(Vec3(1, 0, 0)), (0, 0, -1)),
    (lambda: Vec3().normalize(), (0, 0, 0)),
    (lambda: Vec3(1e-170, 0, 0).normalize(), (0, 0, 0)),
    (lambda: Vec3(1e200, 0, 0).normalize(), (0, 0, 0)),
    (lambda: Vec3(3, 4, 0).normalize(), (0.6000000000000001, 0.8, 0.0)),
    (lambda: Vec3(1, -1, 0).reflect(Vec3(0, 1, 0)), (1, 1, 0)),
    (lambda: Vec3(1, -1, 0).reflect(Vec3(0, 2, 0)), (1, 7, 0)),
    (lambda: Vec3(3, 4, 5).project(Vec3(2, 0, 0)), (3, 0, 0)),
    (lambda: Vec3(1, 2, 3).project(Vec3(0, 0, 0)), (0, 0, 0)),
    (lambda: Vec3(1, 2, 3).project(Vec3(0, 0, 5)), (0, 0, 3)),
])
def test_vector_results(expr, want):
    assert_vec(expr(), *map(float, want))


@pytest.mark.parametrize("expr, want", [
    (lambda: Vec3(1, 2, 3).dot(Vec3(4, 5, 6)), 32.0),
    (lambda: Vec3(x=1, y=2, z=3).dot(Vec3(4, 5, 6)), 32.0),
    (lambda: Vec3(1, 2, 2).magnitude(), 3.0),
    (lambda: Vec3().magnitude(), 0.0),
    (lambda: Vec3(1e200, 0, 0).magnitude(), inf),
    (lambda: Vec3(1e-170, 0, 0).magnitude(), 0.0),
    (lambda: Vec3(1, 2, 3).distance(Vec3(1, 2, 3)), 0.0),
    (lambda: Vec3().distance(Vec3(3, 4, 0)), 5.0),
    (lambda: Vec3(1, 0, 0).angle(Vec3(0, 1, 0)), math.pi / 2),
    (lambda: Vec3(1, 0, 0).angle(Vec3(-2, 0, 0)), math.pi),
    # Cosines that round to just past 1 and -1: the clamp gives 0 and pi, not NaN.
    (lambda: Vec3(1, 1, 1).angle(Vec3(1, 1, 1)), 0.0),
    (lambda: Vec3(1, 1, 1).angle(Vec3(-1, -1, -1)), math.pi),
    (lambda: Vec3().angle(Vec3(1, 2, 3)), 0.0),
    (lambda: Vec3().angle(Vec3(1e200, 0, 0)), nan),
    (lambda: Vec3(nan, 0, 0).magnitude(), nan),
])
def test_scalar_results(expr, want):
    assert same(expr(), want)


# Inputs where another grouping, or three divisions in place of one
# reciprocal, changes the last bit.
SAMPLES = [(3.0, 4.0, 0.0), (0.1, 0.2, 0.3), (1e-3, 7.0, 1e8), (3.3, -4.4, 5.5), (0.7, 0.11, 0.013)]


@pytest.mark.parametrize("a", SAMPLES)
@pytest.mark.parametrize("b", SAMPLES[::-1])
def test_groupings_bit_for_bit(a, b):
    va, vb = Vec3(*a), Vec3(*b)
    assert same(va.dot(vb), dot(a, b))
    assert same(va.magnitude(), math.sqrt(dot(a, a)))
    r = 1.0 / math.sqrt(dot(a, a))
    assert_vec(va.normalize(), a[0] * r, a[1] * r, a[2] * r)
    c = min(max(dot(a, b) / (math.sqrt(dot(a, a)) * math.sqrt(dot(b, b))), -1.0), 1.0)
    assert same(va.angle(vb), math.acos(c))
    k = dot(a, b) + dot(a, b)
    assert_vec(va.reflect(vb), a[0] - b[0] * k, a[1] - b[1] * k, a[2] - b[2] * k)
    t = dot(a, b) / dot(b, b)
    assert_vec(va.project(vb), b[0] * t, b[1] * t, b[2] * t)


def test_reciprocal_matters():
    # Guard against the cases above being vacuous.
    assert any(not same(c * (1.0 / math.sqrt(dot(a, a))), c / math.sqrt(dot(a, a)))
               for a in SAMPLES for c in a)


def test_repr():
    assert repr(Vec3()) == "<Vec3 (0.000000, 0.000000, 0.000000)>"
    assert str(Vec3(1, 2, 3)) == "<Vec3 (1.000000, 2.000000, 3.000000)>"
    assert repr(Vec3(1e20, 1e-7, -0.0)) == \
        "<Vec3 (100000000000000000000.000000, 0.000000, -0.000000)>"
    assert repr(Vec3(0.1, 1 / 3, 2.5e-7)) == "<Vec3 (0.100000, 0.333333, 0.000000)>"
    assert repr(Vec3(inf, -inf, 0)) == "<Vec3 (inf, -inf, 0.000000)>"


def test_constructor_defaults_and_conversions():
    assert_vec(Vec3(), 0.0, 0.0, 0.0)
    assert_vec(Vec3(1, 2), 1.0, 2.0, 0.0)
    assert_vec(Vec3(y=5), 0.0, 5.0, 0.0)
    assert_vec(Vec3(Scalar(2.0, 1.0), True, 0), 2.0, 1.0, 0.0)
    for bad in ("1", None, Vec3()):
        with pytest.raises(TypeError):
            Vec3(bad)


def test_indexing():
    v = Vec3(1, 2, 3)
    assert [v[0], v[1], v[2]] == [1.0, 2.0, 3.0]
    assert v.__setitem__(2, 7) is None
    assert v.z == 7.0 and type(v.z) is float
    for i in (3, -1, -4, 2 ** 31 - 1):
        with pytest.raises(IndexError) as info:
            v[i]
        assert str(info.value) == ""
        with pytest.raises(IndexError):
            v[i] = 9.0
    for i in (1.0, "1", 2 ** 40, None):
        with pytest.raises(TypeError):
            v[i]
    with pytest.raises(TypeError):
        v[0] = "x"
    assert_vec(v, 1.0, 2.0, 7.0)


def test_sequence_behaviour():
    v = Vec3(1, 2, 3)
    assert list(v) == [1.0, 2.0, 3.0]
    x, y, z = v
    assert (x, y, z) == (1.0, 2.0, 3.0)
    with pytest.raises(TypeError):
        len(v)
    first = v.to_list()
    first[0] = 99.0
    assert v.to_list() == [1.0, 2.0, 3.0] and v.to_list() is not v.to_list()


def test_properties_are_read_write():
    v = Vec3()
    v.x, v.y, v.z = 1, Scalar(2.0, 5.0), 3.5
    assert_vec(v, 1.0, 2.0, 3.5)
    with pytest.raises(TypeError):
        v.y = "2"
    with pytest.raises(AttributeError):
        v.w = 1.0
    assert_vec(v, 1.0, 2.0, 3.5)


@pytest.mark.parametrize("expr", [
    lambda v: 2 * v, lambda v: v * v, lambda v: v + 1, lambda v: v - (1, 2, 3),
    lambda v: -v, lambda v: v / v, lambda v: v.dot((1, 2, 3)), lambda v: v.dot(o=v),
    lambda v: abs(v), lambda v: hash(v) and v < v, lambda v: v.cross(None),
])
def test_unsupported_forms_raise_type_error(expr):
    with pytest.raises(TypeError):
        expr(Vec3(1, 2, 3))


def test_identity_semantics():
    v = Vec3(1, 2, 3)
    assert not (v == Vec3(1, 2, 3)) and v == v
    w = v
    v += Vec3(1, 1, 1)
    assert_vec(w, 1.0, 2.0, 3.0)
    assert_vec(v, 2.0, 3.0, 4.0)
    for result in (w.normalize(), w.cross(w), w.reflect(w), w.project(w), w + w, w - w,
                   w * 1.0, w / 1.0):
        assert result is not w
    assert_vec(w, 1.0, 2.0, 3.0)
