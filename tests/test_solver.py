import math
import signal
import subprocess
import sys
import time

import pytest

from helpers import same
from orbelon_core import Scalar, Solver


class Recorder:
    """A callable that records where it was sampled."""

    def __init__(self, f):
        self.f = f
        self.points = []

    def __call__(self, x):
        assert type(x) is float
        self.points.append(x)
        return self.f(x)


def simpson(f, a, b, n):
    """The rule in the exact grouping the module uses."""
    h = (b - a) / n
    s = f(a) + f(b)
    for i in range(1, n):
        s = (4.0 if i % 2 else 2.0) * f(i * h + a) + s
    return (h * s) / 3.0


def test_integrate_cube_exactly():
    f = Recorder(lambda x: x ** 3)
    assert same(Solver.integrate(f, 0.0, 1.0, 2), 0.25)
    assert f.points == [0.0, 1.0, 0.5]


@pytest.mark.parametrize("f, a, b, n", [
    (math.sin, 0.0, math.pi, 100),
    (math.exp, -1.3, 2.7, 38),
    (lambda x: 1.0 / (1.0 + x * x), 0.0, 1.0, 1000),
    (math.sqrt, 0.1, 0.7, 6),
])
def test_integrate_matches_the_rule_bit_for_bit(f, a, b, n):
    assert same(Solver.integrate(f, a, b, n), simpson(f, a, b, n))


def test_integrate_defaults_and_keywords():
    f = Recorder(math.cos)
    result = Solver.integrate(f=f, a=0, b=1)
    assert len(f.points) == 101 and f.points[:2] == [0.0, 1.0]
    assert same(result, simpson(math.cos, 0.0, 1.0, 100))


def test_integrate_reversed_and_empty_intervals():
    assert same(Solver.integrate(lambda x: x, 1.0, 0.0, 2), -0.5)
    f = Recorder(lambda x: -1.0)
    assert same(Solver.integrate(f, 2.0, 2.0, 4), -0.0)
    assert f.points == [2.0] * 5


@pytest.mark.parametrize("n", [0, -2, 3, -1])
def test_integrate_refuses_bad_n_before_sampling(n):
    f = Recorder(math.sin)
    with pytest.raises(RuntimeError, match="^n must be positive and even$"):
        Solver.integrate(f, 0.0, 1.0, n)
    assert f.points == []


@pytest.mark.parametrize("n", [10.0, 2 ** 31, "10", None])
def test_integrate_int_parameter_rejects(n):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        Solver.integrate(math.sin, 0.0, 1.0, n)


def test_differentiate():
    f = Recorder(lambda x: x * x)
    assert abs(Solver.differentiate(f, 3) - 6.0) < 1e-9
    assert f.points == [3 + 1e-5, 3 - 1e-5]
    yp, ym = 3.001 ** 2, 2.999 ** 2
    assert same(Solver.differentiate(lambda x: x * x, 3.0, h=0.001), (yp - ym) / (2 * 0.001))


def test_differentiate_step_is_not_validated():
    assert math.isnan(Solver.differentiate(math.sin, 1.0, 0.0))
    f = Recorder(math.exp)
    assert same(Solver.differentiate(f, 1.0, -0.01), Solver.differentiate(math.exp, 1.0, 0.01))
    assert f.points == [1.0 - 0.01, 1.0 + 0.01]


def test_root_newton_sqrt2():
    f = Recorder(lambda x: x * x - 2)
    assert same(Solver.root_newton(f, 1.0), math.sqrt(2.0))
    assert len(f.points) == 15
    assert f.points[:3] == [1.0, 1.0 + 1e-5, 1.0 - 1e-5]


def test_root_newton_exact_root_needs_a_zero_step():
    f = Recorder(lambda x: x - 2)
    assert same(Solver.root_newton(f, x0=2, tol=1e-7, max_iter=100), 2.0)
    assert len(f.points) == 3


@pytest.mark.parametrize("f, x0, kwargs, message, calls", [
    (lambda x: x * x - 2, 1.0, {"max_iter": 1}, "Newton-Raphson failed to converge", 3),
    (lambda x: x * x - 2, 1.0, {"tol": 0.0}, "Newton-Raphson failed to converge", 300),
    (lambda x: x * x - 2, 1.0, {"max_iter": 0}, "Newton-Raphson failed to converge", 0),
    (lambda x: x * x - 2, 1.0, {"max_iter": -5}, "Newton-Raphson failed to converge", 0),
    (lambda x: 7.0, 1.0, {}, "Zero derivative encountered", 3),
    (lambda x: x * x, 0.0, {}, "Zero derivative encountered", 3),
    (lambda x: math.nan, 1.0, {"max_iter": 4}, "Newton-Raphson failed to converge", 12),
])
def test_root_newton_failures(f, x0, kwargs, message, calls):
    rec = Recorder(f)
    with pytest.raises(RuntimeError, match="^%s$" % message):
        Solver.root_newton(rec, x0, **kwargs)
    assert len(rec.points) == calls


def test_nan_propagates():
    assert math.isnan(Solver.integrate(lambda x: math.nan, 0.0, 1.0))
    assert math.isnan(Solver.differentiate(lambda x: math.nan, 0.0))


@pytest.mark.parametrize("method, args", [
    (Solver.integrate, (0.0, 1.0)), (Solver.differentiate, (0.5,)), (Solver.root_newton, (0.5,)),
])
def test_callable_exception_passes_through_unchanged(method, args):
    error = ValueError("bad sample")

    def f(x):
        raise error

    with pytest.raises(ValueError) as info:
        method(f, *args)
    assert info.value is error
    assert any(entry.frame.code.raw is f.__code__ for entry in info.traceback)


@pytest.mark.parametrize("result", ["1.0", None, [1.0], 1j])
def test_non_numeric_result_is_a_cast_error(result):
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        Solver.integrate(lambda x: result, 0.0, 1.0, 2)


@pytest.mark.parametrize("result, value", [(2, 2.0), (True, 1.0), (Scalar(2.5, 9.0), 2.5)])
def test_numeric_results_are_accepted(result, value):
    assert same(Solver.integrate(lambda x: result, 0.0, 3.0, 2), 3.0 * value)


def test_signature_errors():
    with pytest.raises(TypeError, match="No constructor defined!$") as info:
        Solver()
    assert str(info.value) == "orbelon_core.Solver: No constructor defined!"
    with pytest.raises(TypeError):
        Solver.integrate(42, 0.0, 1.0)
    with pytest.raises(TypeError):
        Solver.differentiate(math.sin, 1.0, step=0.1)
    with pytest.raises(TypeError):
        Solver.root_newton(math.sin)


def test_reentrant():
    # The integrand of an integral is itself an integral: ∫₀¹ ∫₀^y x dx dy = 1/6.
    inner = lambda y: Solver.integrate(lambda x: x, 0.0, y, 2)  # noqa: E731
    assert Solver.integrate(inner, 0.0, 1.0, 2) == pytest.approx(1 / 6, rel=1e-15)


def test_reference_counts_unchanged():
    result = 1234567.5  # not cached by the interpreter
    f = lambda x: result  # noqa: E731
    before = sys.getrefcount(f), sys.getrefcount(result)
    for _ in range(3):
        Solver.integrate(f, 0.0, 1.0, 1000)
        Solver.differentiate(f, 0.0)
        with pytest.raises(RuntimeError):
            Solver.root_newton(f, 0.0)
    assert (sys.getrefcount(f), sys.getrefcount(result)) == before


def test_ctrl_c_stops_a_long_integration():
    code = ("import math, sys, orbelon_core\n"
            "print('ready', flush=True)\n"
            "try:\n"
            "    orbelon_core.Solver.integrate(math.sin, 0.0, 1.0, 2 * 10 ** 9)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', flush=True)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert out == "interrupted\n"
