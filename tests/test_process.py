"""The module in a process it shares with others: subinterpreters, a
metaclass call patched and restored, the binding library's metaclass changed
before the import, and the floating-point rounding mode.

Each case that could bring an interpreter down runs in a child of its own.
"""
import ctypes
import platform
import subprocess
import sys

import pytest

from builds import child_env
from orbelon_core import Scalar, Vec3

SUBINTERPRETER = r'''
import _testcapi, sys
code = """
import os
try:
    import orbelon_core
    said = "imported"
except ImportError as e:
    said = "ImportError: %s" % e
os.write(1, ("sub: %s\\n" % said).encode())
"""
_testcapi.run_in_subinterp(code)
import orbelon_core
print("main:", orbelon_core.Scalar(1.0, 2.0) * 2.0, flush=True)
'''


def run_child(code, paths=()):
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=child_env(list(paths)), timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


# Before 3.12 the binding library itself can hang in a subinterpreter, before
# any of the module's code runs: there is nothing of the module's to test.
if sys.version_info >= (3, 12):
    def test_only_the_main_interpreter_imports():
        pytest.importorskip("_testcapi")
        code, out, err = run_child(SUBINTERPRETER)
        assert code == 0, err
        assert out.splitlines() == [
            "sub: ImportError: orbelon_core: only the main interpreter can import this module",
            "main: <Scalar val=2.000000, d=4.000000>"]


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


# The library's metaclass __call__ replaced before the import: by a wrapper of
# another slot (the interpreter then calls that wrapper, which refuses the
# arguments), or by a Python function that calls the original. Either way the
# import works and construction does what the replacement says; once the
# original is back, construction is the library's again.
REPLACED = '''
import sys
import secondmod
Lib = type(secondmod.Label)
original = Lib.__dict__["__call__"]
Lib.__call__ = {replacement}
import orbelon_core
def attempt():
    try:
        return repr(orbelon_core.Scalar(1.0, 2.0))
    except TypeError as e:
        return "TypeError"
before = attempt()
Lib.__call__ = original
print(before, attempt(), flush=True)
'''


@pytest.mark.parametrize("replacement, before", [
    ("type.__dict__['__repr__']", "TypeError"),
    ("lambda cls, *a, **k: original(cls, *a, **k)", "<Scalar val=1.000000, d=2.000000>"),
])
@pytest.mark.parametrize("build", ["installed", "plain"])
def test_library_metaclass_call_replaced_before_import(replacement, before, build, request, second_module):
    paths = ([request.getfixturevalue("plain_build")] if build == "plain" else []) + [second_module]
    code, out, err = run_child(REPLACED.format(replacement=replacement), paths)
    assert code == 0, err
    assert out.strip() == before + " <Scalar val=1.000000, d=2.000000>"


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
