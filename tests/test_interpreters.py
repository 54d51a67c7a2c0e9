"""The module in every interpreter of a process: subinterpreters sharing the
main GIL and, from 3.12 on, with a GIL of their own, each with a module, its
classes and its state of its own, computing what the main interpreter
computes, giving back all they took when they end.

Each case runs in a child process of its own, where a crash is an outcome.
"""
import subprocess
import sys
import textwrap

import pytest

from builds import SANITIZED, child_env

OWN_GIL = sys.version_info >= (3, 12)
POOL = sys.version_info >= (3, 14)

# What each interpreter computes: Scalar arithmetic and functions, Vec3
# geometry, a Solver over a Python function, a Python subclass, an error.
WORK = '''
import orbelon_core as o
class S(o.Scalar): pass
def work(x):
    s = o.Scalar(x, 1.0)
    v = o.Vec3(x, 2.0, -1.0)
    try:
        o.Vec3(1, 2, 3)[3]
    except IndexError as e:
        error = type(e).__name__
    return repr([(s * s + 2.0).sin() / (s - 3), float(-s), s.pow(2.5), v.cross(o.Vec3(0, 1, 0)).normalize(),
                 v.angle(o.Vec3(1, 0, 0)), v.reflect(o.Vec3(0, 0, 1)), v[1], S(x) + 1,
                 o.Solver.integrate(lambda t: t * t * x, 0.0, 1.0, 10), error])
'''

# Running code in another interpreter, sharing the GIL ("legacy") or with its
# own, by whatever the interpreter offers.
SUB = '''
import os
def in_subinterpreter(code, own_gil):
    try:
        import _interpreters as api  # 3.13 on
        i = api.create("isolated" if own_gil else "legacy")
        failed = api.exec(i, code)
        api.destroy(i)
        if failed:
            raise RuntimeError(failed.formatted)
    except ImportError:
        import _xxsubinterpreters as api  # 3.12
        i = api.create(isolated=own_gil)
        try:
            api.run_string(i, code)
        finally:
            api.destroy(i)
'''


def run_child(code, paths=(), timeout=300):
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=child_env(list(paths)), timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


def reported(code):
    """Code for a subinterpreter that writes what `code` leaves in `said`."""
    return code + "\nimport os\nos.write(1, (said + '\\n').encode())\n"


# ---------------------------------------------------------------------------
# Importing and computing

# Each interpreter computes `work` for the same inputs, subinterpreters
# before and after the main interpreter imports the module; every line must
# be the main interpreter's.
ORDERS = {
    "before the main interpreter": "{sub}\n",
    "after the main interpreter": "import orbelon_core\n{sub}\n",
    "twice, the main interpreter between": "{sub}\nimport orbelon_core\n{sub}\n",
}


if OWN_GIL:
    @pytest.mark.parametrize("own_gil", [True, False], ids=["own GIL", "shared GIL"])
    @pytest.mark.parametrize("order", ORDERS)
    @pytest.mark.parametrize("build", ["installed", "plain"])
    def test_subinterpreters_compute_what_the_main_one_does(order, own_gil, build, request):
        paths = [request.getfixturevalue("plain_build")] if build == "plain" else []
        sub = "in_subinterpreter(%r, %r)" % (reported(WORK + "said = work(0.75)"), own_gil)
        code = SUB + ORDERS[order].format(sub=sub) + WORK + "print(work(0.75))\n"
        status, out, err = run_child(code, paths)
        assert status == 0, err
        lines = out.splitlines()
        assert len(lines) == order.count("twice") + 2 and len(set(lines)) == 1, lines


# Before 3.12 the library keeps one registry for the process and, imported in
# another interpreter, waits for ever on the GIL that interpreter's thread
# already holds (the stock binding shows it): the module refuses that import
# before the library is reached, and the main interpreter still imports it.
if not OWN_GIL:
    def test_before_3_12_subinterpreters_are_refused():
        pytest.importorskip("_testcapi")
        code = reported("try:\n    import orbelon_core\n    said = 'imported'\nexcept ImportError as e:\n    said = str(e)")
        status, out, err = run_child("import _testcapi\n_testcapi.run_in_subinterp(%r)\n" % code
                                     + "import orbelon_core\nprint(orbelon_core.Scalar(1.0, 2.0) * 2.0)\n")
        assert status == 0, err
        assert out.splitlines() == [
            "orbelon_core: only the main interpreter can import this module before Python 3.12 "
            "(the binding library would wait for ever in another one)",
            "<Scalar val=2.000000, d=4.000000>"]


    def test_before_3_12_the_library_itself_hangs_in_a_subinterpreter(stock_build):
        pytest.importorskip("_testcapi")
        with pytest.raises(subprocess.TimeoutExpired):
            run_child("import _testcapi\n_testcapi.run_in_subinterp('import orbelon_core')\n", [stock_build], timeout=15)


# No object of one interpreter is used by another: every object the module
# holds (its classes, their metaclasses, the descriptor types, the library's
# types beneath them) is a different object in a subinterpreter, while both
# are alive; and an instance handed to another interpreter is refused.
IDENTITIES = '''
import orbelon_core as o
held = [o, o.Scalar, o.Vec3, o.Solver, o.Constants, type(o.Scalar), type(o.Scalar.__dict__["sin"]),
        type(o.Scalar.__dict__["val"]), o.Scalar.__dict__["sin"], o.Scalar.__new__] + list(type(o.Scalar).__mro__[:-2]) \
       + list(o.Scalar.__mro__[:-1])
'''


if OWN_GIL:
    @pytest.mark.parametrize("own_gil", [True, False], ids=["own GIL", "shared GIL"])
    def test_no_object_is_shared_between_interpreters(own_gil):
        sub = reported(IDENTITIES + "said = ' '.join(str(id(x)) for x in held)")
        code = SUB + IDENTITIES + "in_subinterpreter(%r, %r)\nprint(' '.join(str(id(x)) for x in held))\n" % (sub, own_gil)
        status, out, err = run_child(code)
        assert status == 0, err
        theirs, ours = (set(line.split()) for line in out.splitlines())
        assert len(ours) == len(theirs) and not ours & theirs


# ---------------------------------------------------------------------------
# A pool of interpreters (3.14 on)

POOLED = '''
from concurrent.futures import InterpreterPoolExecutor
import concurrent.interpreters as interpreters
import orbelon_core as o
from work import work

def refused(f):
    try:
        f()
        return "accepted"
    except Exception as e:
        return type(e).__name__

if __name__ == "__main__":
    inputs = [0.25 * i for i in range(8)]
    with InterpreterPoolExecutor(max_workers=2) as pool:
        assert list(pool.map(work, inputs)) == [work(x) for x in inputs]
        print(refused(lambda: pool.submit(float, o.Scalar(1.0)).result()),
              refused(lambda: pool.submit(o.Scalar, 1.0).result()),
              refused(lambda: interpreters.create_queue().put(o.Vec3())))
'''


if POOL:
    @pytest.mark.parametrize("build", ["installed", "plain"])
    def test_interpreter_pool_computes_and_objects_stay_home(build, request, tmp_path):
        paths = [request.getfixturevalue("plain_build")] if build == "plain" else []
        (tmp_path / "work.py").write_text(WORK)  # the workers import what they run
        status, out, err = run_child(POOLED, paths + [tmp_path])
        assert status == 0, err
        assert out.split() == ["NotShareableError"] * 3, out


# ---------------------------------------------------------------------------
# Nothing left behind

# Rounds of create, import, compute and destroy, against as many rounds that
# only import math: the resident memory grows by CPython's own growth and at
# most 50 KB a round more, the reference total (debug builds) not at all, and
# the main interpreter computes the same throughout. (Before 3.14 CPython
# itself keeps all the memory of every interpreter with its own GIL, some
# 1.7 MB each: there the memory says nothing of the module.)
ROUNDS = '''
import gc, sys
def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
def rounds(n, code):
    for _ in range(n):
        in_subinterpreter(code, {own_gil})
        assert work(0.5) == expected
    gc.collect()
expected = work(0.5)
growth = []
for code in ["import math", {round!r}]:
    rounds(10, code)
    before, refs = rss(), getattr(sys, "gettotalrefcount", int)()
    rounds({n}, code)
    growth += [rss() - before, getattr(sys, "gettotalrefcount", int)() - refs]
print(*growth)
'''


if OWN_GIL:
    @pytest.mark.parametrize("own_gil", [True, False], ids=["own GIL", "shared GIL"])
    def test_interpreters_end_with_nothing_left_behind(own_gil):
        n = 20 if SANITIZED else 200
        code = SUB + WORK + ROUNDS.format(own_gil=own_gil, round=WORK + "work(0.5)", n=n)
        status, out, err = run_child(code)
        assert status == 0, err
        cpython_kb, cpython_refs, kb, refs = map(int, out.split())
        assert refs - cpython_refs <= n // 10, "%d references more than CPython's own" % (refs - cpython_refs)
        if not SANITIZED and cpython_kb < 1000 * n:  # where CPython gives an interpreter's memory back
            assert kb - cpython_kb <= 50 * n, "%d KB more than CPython's own in %d rounds" % (kb - cpython_kb, n)
