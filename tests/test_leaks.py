"""Many calls of every operation and every error path leave nothing behind.

Each case is called many times after a warm-up: the C/C++ heap, counted
exactly by glibc, must stay where it was (within 1 KB in all), the resident
memory of the process within 1 MB and the reference counts of everything passed
in must not move; under a debug build, neither may the interpreter's count of
all references. 2*10^4 calls per case normally, 10^6 with --long.
"""
import ctypes
import gc
import os
import re
import sys

import pytest

from builds import SANITIZED
from orbelon_core import Scalar, Solver, Vec3

QUICK, LONG = 2 * 10 ** 4, 10 ** 6
WARM_UP = 2000
SLACK = 1 << 20  # bytes of resident memory a run may gain
HEAP_SLACK = 1024  # bytes the interpreter's own tables may take on the C heap once
# Under AddressSanitizer freed memory sits in a quarantine by design, so only
# the reference counts are checked there (SANITIZED).

# A call with keywords makes the binding library intern every parameter name.
# A name nothing else keeps interned ("x0") is created and dropped on each
# call, and that churn makes the interpreter's table of interned strings grow
# once, by up to a few MB, after tens of thousands of calls: bounded, and not
# ours. Keeping the names interned here takes that out of the measurement.
PARAMETER_NAMES = [sys.intern(name) for name in
                   ("val", "d", "x", "y", "z", "f", "a", "b", "n", "h", "x0", "tol", "max_iter")]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def heap():
    """Bytes in use on the C/C++ heap (glibc's count, exact to the byte).

    Python's own small objects live in its arenas, outside this count, so the
    values the module allocates with new show up here and nowhere else.
    """
    if _mallinfo2 is None:  # not glibc: the resident memory check remains
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def total_refs():
    """Every reference the interpreter holds, in a debug build; else 0."""
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


def identity(x):
    return x


def linear(x):
    return x - 2.0


def constant(x):
    return 7.5


def text(x):
    return "not a number"


def huge(x):
    return 10 ** 400


def raising(x):
    raise ValueError("bad sample")  # a new exception each time, no traceback to grow


s, t, zero = Scalar(1.25, 0.5), Scalar(2.5, -1.0), Scalar(0.0, 1.0)
v, w = Vec3(1.5, -2.0, 0.25), Vec3(0.5, 4.0, -3.0)
b = 1234.5  # not a cached object
bad = BadFloat()
big = 2 ** 40
ARGS = [s, t, zero, v, w, b, bad, big, identity, linear, constant, text, huge, raising]


def set_val():
    s.val = 1.25


def set_x():
    v.x = 1.5


def set_item():
    v[2] = 0.25


def set_bad_item():
    v[-1] = b


# name, call, and for an error path the exception and the start of its text
CASES = [
    ("Scalar()", lambda: Scalar(b, d=b), None, None),
    ("Scalar.val", lambda: s.val, None, None),
    ("Scalar.val =", set_val, None, None),
    ("repr(Scalar)", lambda: repr(s), None, None),
    ("float(Scalar)", lambda: float(s), None, None),
    ("s + t", lambda: s + t, None, None),
    ("s + b", lambda: s + b, None, None),
    ("b + s", lambda: b + s, None, None),
    ("s - t", lambda: s - t, None, None),
    ("s - b", lambda: s - b, None, None),
    ("b - s", lambda: b - s, None, None),
    ("s * t", lambda: s * t, None, None),
    ("s * b", lambda: s * b, None, None),
    ("b * s", lambda: b * s, None, None),
    ("s / t", lambda: s / t, None, None),
    ("s / b", lambda: s / b, None, None),
    ("b / s", lambda: b / s, None, None),
    ("-s", lambda: -s, None, None),
    ("s ** b", lambda: s ** b, None, None),
    ("s.pow(t)", lambda: s.pow(t), None, None),
    ("s == t", lambda: s == t, None, None),
    ("s < t", lambda: s < t, None, None),
    ("s.sin()", lambda: s.sin(), None, None),
    ("s.cos()", lambda: s.cos(), None, None),
    ("s.tan()", lambda: s.tan(), None, None),
    ("s.exp()", lambda: s.exp(), None, None),
    ("s.log()", lambda: s.log(), None, None),
    ("s.sqrt()", lambda: s.sqrt(), None, None),
    ("s.abs()", lambda: s.abs(), None, None),
    ("Vec3()", lambda: Vec3(b, y=b), None, None),
    ("Vec3.x", lambda: v.x, None, None),
    ("Vec3.x =", set_x, None, None),
    ("repr(Vec3)", lambda: repr(v), None, None),
    ("v[1]", lambda: v[1], None, None),
    ("v[2] =", set_item, None, None),
    ("v + w", lambda: v + w, None, None),
    ("v - w", lambda: v - w, None, None),
    ("v * b", lambda: v * b, None, None),
    ("v / b", lambda: v / b, None, None),
    ("v.dot(w)", lambda: v.dot(w), None, None),
    ("v.cross(w)", lambda: v.cross(w), None, None),
    ("v.magnitude()", lambda: v.magnitude(), None, None),
    ("v.normalize()", lambda: v.normalize(), None, None),
    ("v.distance(w)", lambda: v.distance(w), None, None),
    ("v.angle(w)", lambda: v.angle(w), None, None),
    ("v.reflect(w)", lambda: v.reflect(w), None, None),
    ("v.project(w)", lambda: v.project(w), None, None),
    ("v.to_list()", lambda: v.to_list(), None, None),
    ("integrate", lambda: Solver.integrate(identity, 0.0, b, 4), None, None),
    ("differentiate", lambda: Solver.differentiate(identity, b), None, None),
    ("root_newton", lambda: Solver.root_newton(linear, 2.0), None, None),
    # The module's own errors, one for each message.
    ("s / zero", lambda: s / zero, RuntimeError, "Division by zero"),
    ("s / 0.0", lambda: s / 0.0, RuntimeError, "Division by zero"),
    ("b / zero", lambda: b / zero, RuntimeError, "Division by zero"),
    ("tan at pole", lambda: Scalar(1.5707963267948966).tan(), RuntimeError,
     "Tan undefined (cos is 0)"),
    ("log(0)", lambda: zero.log(), RuntimeError, "Log domain error"),
    ("sqrt(-1)", lambda: (-s).sqrt(), RuntimeError, "Sqrt of negative number"),
    ("integrate odd n", lambda: Solver.integrate(identity, 0.0, b, 3), RuntimeError,
     "n must be positive and even"),
    ("newton flat", lambda: Solver.root_newton(constant, b), RuntimeError,
     "Zero derivative encountered"),
    ("newton no iterations", lambda: Solver.root_newton(linear, b, max_iter=0), RuntimeError,
     "Newton-Raphson failed to converge"),
    # The binding library's errors.
    ("s + str", lambda: s + "x", TypeError, "__add__(): incompatible function arguments"),
    ("v + number", lambda: v + b, TypeError, "__add__(): incompatible function arguments"),
    ("s == number", lambda: s == b, TypeError, "__eq__(): incompatible function arguments"),
    ("Scalar(bad)", lambda: Scalar(bad), TypeError, "__init__(): incompatible constructor"),
    ("v.dot(keyword)", lambda: v.dot(o=w), TypeError, "dot(): incompatible function arguments"),
    ("integrate(not callable)", lambda: Solver.integrate(b, 0.0, 1.0), TypeError,
     "integrate(): incompatible function arguments"),
    ("v[2**40]", lambda: v[big], TypeError, "__getitem__(): incompatible function arguments"),
    ("v[3]", lambda: v[3], IndexError, ""),
    ("v[-1] =", set_bad_item, IndexError, ""),
    ("callable returns str", lambda: Solver.integrate(text, 0.0, 1.0, 2), RuntimeError,
     "Unable to cast Python instance of type <class 'str'> to C++ type 'double'"),
    ("callable returns 10**400", lambda: Solver.differentiate(huge, b), RuntimeError,
     "Unable to cast Python instance of type <class 'int'> to C++ type 'double'"),
    ("callable raises", lambda: Solver.root_newton(raising, b), ValueError, "bad sample"),
]


def repeat(call, error, times):
    if error is None:
        for _ in range(times):
            call()
    else:
        for _ in range(times):
            try:
                call()
            except error:
                pass


@pytest.mark.parametrize("name, call, error, message", CASES, ids=[c[0] for c in CASES])
def test_flat(name, call, error, message, long_run):
    if error is None:
        result, alone = call(), object()
        # A new object, owned by us alone: it has just the references a fresh
        # local has. (Counted against one, since from 3.14 the interpreter may
        # lend a local to a call without counting it.)
        if not isinstance(result, (bool, type(None))):
            assert sys.getrefcount(result) == sys.getrefcount(alone)
        del result
    else:
        with pytest.raises(error, match="^" + re.escape(message)):
            call()
    repeat(call, error, WARM_UP)
    gc.collect()
    calls = LONG if long_run else QUICK
    refs, before, heap_before = [sys.getrefcount(a) for a in ARGS], resident(), heap()
    total_before = total_refs()
    repeat(call, error, calls)
    gc.collect()
    grown, heap_grown = resident() - before, heap() - heap_before
    total_grown = total_refs() - total_before
    after = [sys.getrefcount(a) for a in ARGS]
    moved = [(a, x, y) for a, x, y in zip(ARGS, refs, after) if x != y]
    assert not moved, "%s: reference counts moved: %r" % (name, moved)
    # The interpreter's own caches take a few references once (20 at most
    # seen); a reference lost per call would take one per call.
    assert total_grown < 100, "%s: %d references more over %d calls" % (name, total_grown, calls)
    assert grown < SLACK or SANITIZED, "%s: resident memory grew by %d bytes" % (name, grown)
    # A lost value costs 16 bytes or more a call, hundreds of KB in all.
    assert heap_grown < HEAP_SLACK or SANITIZED, \
        "%s: the C/C++ heap grew by %d bytes over %d calls" % (name, heap_grown, calls)
