"""The module in a process it shares with others: a metaclass call patched
and restored, the binding library's metaclass changed before the import,
and the floating-point rounding mode. (Other interpreters of the process:
test_interpreters.py.)

Each case that could bring an interpreter down runs in a child of its own.
"""
import ctypes
import platform
import subprocess
import sys
import textwrap

import pytest

from builds import child_env
from orbelon_core import Scalar, Vec3

def run_child(code, paths=()):
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=child_env(list(paths)), timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


# From 3.12 on, assigning __call__ on a type clears its vectorcall flag for
# good; construction must come back to its own vectorcall once the patch is
# undone, or every later construction would take the slow road.
def test_construction_comes_back_after_patching_the_metaclass_call():
    from unittest import mock
    meta = type(Scalar)
    with mock.patch.object(meta, "__call__", lambda cls, *a, **k: "patched"):
        assert Scalar(1.0) == "patched"
    assert repr(Scalar(1.0, 2.0)) == "<Scalar val=1.000000, d=2.000000>"
    assert meta.__flags__ & (1 << 11), "the metaclass calls its classes through tp_call only"


# The library's metaclass __call__, or its base's __new__, replaced before
# the import, then put back. Replaced by a wrapper of another slot (the
# interpreter then calls that wrapper, which refuses the arguments), by a
# Python function that calls the original, or by another builtin of the base:
# either way the import works and construction does what the replacement
# says. Once the original is back, construction is the library's again, and
# reaches the recursion limit at the depth it reaches with nothing replaced.
# (A replaced __new__ leaves CPython refusing the original ever after: the
# base's tp_new stays the generic one, which the original's check rejects.)
REPLACED = '''
import sys
import secondmod
library = {target}
original = library.__dict__["{name}"]
setattr(library, "{name}", {replacement})
import orbelon_core
def attempt():
    try:
        return repr(orbelon_core.Scalar(1.0, 2.0))
    except TypeError as e:
        return "TypeError"
def depth():
    n = [0]
    def down():
        n[0] += 1
        orbelon_core.Scalar(1.0)
        down()
    try:
        down()
    except RecursionError:
        pass
    return n[0]
before = attempt()
setattr(library, "{name}", original)
print(before, attempt(), depth() if attempt() != "TypeError" else "", flush=True)
'''
SCALAR = "<Scalar val=1.000000, d=2.000000>"
META, BASE = "type(secondmod.Label)", "secondmod.Label.__mro__[1]"


def replaced(build, request, second_module, target, name, replacement):
    paths = ([request.getfixturevalue("plain_build")] if build == "plain" else []) + [second_module]
    code, out, err = run_child(REPLACED.format(target=target, name=name, replacement=replacement), paths)
    assert code == 0, err
    return out.split()


@pytest.mark.parametrize("target, name, replacement, before, after", [
    (META, "__call__", "type.__dict__['__repr__']", "TypeError", SCALAR),
    (META, "__call__", "lambda cls, *a, **k: original(cls, *a, **k)", SCALAR, SCALAR),
    (BASE, "__new__", "lambda cls, *a, **k: original(cls)", "TypeError", "TypeError"),
    (BASE, "__new__", BASE + ".mro", "TypeError", "TypeError"),
])
@pytest.mark.parametrize("build", ["installed", "plain"])
def test_library_replaced_before_import(target, name, replacement, before, after, build, request, second_module):
    out = replaced(build, request, second_module, target, name, replacement)
    assert " ".join(out[:-1] if after == SCALAR else out) == " ".join([before, after])
    if after == SCALAR:
        nothing_replaced = replaced(build, request, second_module, target, name, "original")
        assert out[-1] == nothing_replaced[-1], "the recursion limit is reached at another depth"


# The metaclass chain as Python code may change it. Every class is made by
# the metaclass's base, which no metaclass's __new__ can pass over: CPython
# refuses type.__new__ on it, a metaclass whose __new__ comes after it is
# refused, and from 3.10 on the base itself cannot be changed.
CHAIN = {
    "a metaclass put between": ("""
calls = []
class Between(type(Scalar).__mro__[1]):
    def __call__(cls, *args, **kwargs):
        calls.append(cls.__name__)
        return super().__call__(*args, **kwargs)
type(Scalar).__bases__ = (Between,)
class SubS(Scalar): pass
Scalar(1.0), Vec3(), SubS(2.0)
said = calls""", "['Scalar', 'Vec3', 'SubS']"),
    "type.__new__ on the metaclass": ("said = type.__new__(type(Scalar), 'X', (Scalar,), {})",
                                      "TypeError: type.__new__(orbelon_type) is not safe, use orbelon_type.__new__()"),
    "ABCMeta after it": ("class M(type(Scalar), abc.ABCMeta): pass\nsaid = M('X', (Scalar,), {})",
                         "TypeError: M: list ABCMeta before orbelon_type among the bases, or its __new__ would not run"),
    "ABCMeta before it": ("class M(abc.ABCMeta, type(Scalar)): pass\n"
                          "said = M('X', (Scalar,), {'f': abc.abstractmethod(lambda self: 0)}).__abstractmethods__",
                          "frozenset({'f'})"),
    "the base's __new__ replaced": ("type(Scalar).__mro__[1].__new__ = type.__new__\nsaid = 'replaced'",
                                    "TypeError: cannot set '__new__' attribute of immutable type 'orbelon_type_base'"
                                    if sys.version_info >= (3, 10) else "replaced"),
}


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("change", CHAIN)
def test_metaclass_chain(change, build, request):
    paths = [request.getfixturevalue("plain_build")] if build == "plain" else []
    code, expected = CHAIN[change]
    body = "import abc\nfrom orbelon_core import Scalar, Vec3\ntry:\n%s\nexcept TypeError as e:\n    said = '%%s: %%s' %% (type(e).__name__, e)\nprint(said)\n"
    status, out, err = run_child(body % textwrap.indent(code.strip("\n"), "    "), paths)
    assert status == 0, err
    assert out.strip() == expected


# <fenv.h>'s FE_TONEAREST, FE_DOWNWARD, FE_UPWARD and FE_TOWARDZERO: each
# architecture has its own (the bits of its control register).
ROUNDING_MODES = {
    "x86_64": (0x000, 0x400, 0x800, 0xC00),
    "aarch64": (0x000, 0x800000, 0x400000, 0xC00000),
}[platform.machine()]


# The representation is printf's "%f" in every rounding mode: the C library
# rounds the last decimal in the current mode.
@pytest.mark.parametrize("mode", range(4), ids=["nearest", "down", "up", "toward zero"])
def test_repr_follows_the_rounding_mode(mode):
    mode = ROUNDING_MODES[mode]
    libc = ctypes.CDLL(None)
    values = [0.1, -0.1, 2.0 / 3.0, 1e-7, 123456.0000005, 5e-7]
    expected, got = [], []
    buf = ctypes.create_string_buffer(64)
    saved = libc.fegetround()
    try:
        assert libc.fesetround(mode) == 0
        for x in values:
            libc.snprintf(buf, 64, b"%f", ctypes.c_double(x))
            expected.append(buf.value.decode())
            got.append(repr(Scalar(x)).split("=")[1].split(",")[0])
        got.append(repr(Vec3(*values[:3])))
    finally:
        libc.fesetround(saved)
    assert got[:-1] == expected
    assert got[-1] == "<Vec3 (%s)>" % ", ".join(expected[:3])
