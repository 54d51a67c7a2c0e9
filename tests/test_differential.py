"""The fast paths are invisible: every corpus case gives the same outcome in
the installed build and in a plain build of the same sources without them.

Each world of the corpus runs in a child interpreter of its own per build; a
case that kills its interpreter is recorded as a crash and the rest of the
world goes on in a new one. Outcomes compare result types, float bits, reprs,
exception types and messages. A few thousand cases normally, every case of
the full corpus (hundreds of thousands) with --long. Both builds find the
second module (tests/second_module), for the worlds that mix the two.
"""
import itertools
import resource
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent / "differential"))
import corpus  # noqa: E402
from builds import SANITIZED, child_env, run_world  # noqa: E402


def pytest_generate_tests(metafunc):
    if "cases" not in metafunc.fixturenames:
        return
    worlds = list(corpus.worlds(long=metafunc.config.getoption("--long")))
    metafunc.parametrize("name, setup, cases", worlds, ids=[w[0] for w in worlds])


def test_fast_and_plain_builds_agree(name, setup, cases, plain_build, second_module):
    fast, fast_status = run_world(setup, cases, [second_module])
    plain, plain_status = run_world(setup, cases, [plain_build, second_module])
    assert fast_status == ["installed"] and plain_status == ["off"]
    # An outcome past the last case is a crash at the interpreter's exit.
    cases = cases + ["(the interpreter's exit)"]
    differ = [(case, f, p) for case, f, p in itertools.zip_longest(cases, fast, plain) if f != p]
    crashes = [("fast", case, f) for case, f in zip(cases, fast) if f[0] == "crash"]
    crashes += [("plain", case, p) for case, p in zip(cases, plain) if p[0] == "crash"]
    assert not crashes, "%d crashes, the first: %r" % (len(crashes), crashes[0])
    assert not differ, "%d of %d cases differ, the first:\n%s\nfast:  %r\nplain: %r" % (
        (len(differ), len(cases) - 1) + differ[0])


# Each level of a recursion through the bindings must take no more stack in
# the fast build than in the plain one: before 3.14 the interpreter's limit
# counts levels, not bytes, so a few hundred bytes more per level can
# overflow a stack the plain build stays within. Here each level hands a call
# the fast build cannot serve to the library, whose error text takes the
# repr of its argument, which recurses.
DEEPEST = """
from orbelon_core import Scalar
class Deep:
    def __repr__(self):
        try:
            Scalar.__dict__["__repr__"](self)
        except TypeError:
            pass
        return "deep"
repr(Deep())
"""


def survives(paths, stack):
    """Whether DEEPEST runs to its end, finding `paths` first, on a main
    thread's stack of `stack` bytes (or the most the process may have)."""
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    stack = stack if hard == resource.RLIM_INFINITY else min(stack, hard)
    return subprocess.run([sys.executable, "-c", DEEPEST], env=child_env(paths),
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_STACK, (stack, hard)),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's frames are its own")
def test_fast_build_recurses_within_the_plain_builds_stack(plain_build):
    # The least stack the plain build needs, to 64 KB, by bisection.
    low, high = 64 << 10, 16 << 20
    assert survives([plain_build], high)
    while high - low > 64 << 10:
        mid = (low + high) // 2
        low, high = (low, mid) if survives([plain_build], mid) else (mid, high)
    assert survives([], high + high // 8), "the fast build overflows %d KB of stack" % ((high + high // 8) >> 10)


# The same answers in a subinterpreter with its own GIL as in the main
# interpreter, bit for bit: the base world's cases, without numpy, which
# does not load there. (concurrent.interpreters is new in 3.14.)
if sys.version_info >= (3, 14):
    def test_subinterpreter_and_main_interpreter_agree():
        name, setup, cases = next(corpus.worlds())
        setup = corpus.PRELUDE + "np = None\n"
        main, main_status = run_world(setup, cases, [])
        sub, sub_status = run_world(setup, cases, [], own_gil=True)
        assert main_status == sub_status == ["installed"]
        differ = [(case, m, s) for case, m, s in itertools.zip_longest(cases, main, sub) if m != s]
        assert not differ, "%d cases differ, the first: %r" % (len(differ), differ[0])
