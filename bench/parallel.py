"""Both cores from one process: the same mixed workload in the main
interpreter alone and through InterpreterPoolExecutor (Python 3.14 on).

    scripts/dev.sh bench --parallel [--quick] [--instructions]

A job is Scalar arithmetic and functions, Vec3 geometry and a Solver call
over a Python function. Each round runs the same jobs in the main
interpreter, then in a pool of one worker, then in a pool of two; the pools
are started and warmed before the rounds. The figures are throughputs
relative to the main interpreter's, medians over the rounds, all measured in
this one run: a loaded machine moves all three alike.

With --instructions, callgrind counts what one call costs (the empty loop's
instructions subtracted) in the main interpreter alone, in the main
interpreter while a subinterpreter that imported the module is alive, and in
that subinterpreter: a served call costs the same in all three, while the
binding library's own dispatch (the class form Scalar.sin(s)) costs more in
every interpreter once the process has seen a second one.
"""
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def job(n):
    """n steps of the workload; a checksum, so that nothing is left unused."""
    from orbelon_core import Scalar, Solver, Vec3
    total = 0.0
    for i in range(n):
        s = Scalar(0.5 + i * 1e-6, 1.0)
        y = (s * s + 2.0).sin() / (s + 3.0) - s.exp() * 0.25
        v = Vec3(1.0, y.val, y.d)
        w = v.cross(Vec3(0.0, 1.0, 0.5)).normalize()
        total += y.d + w.dot(v) + v.angle(w) + v.reflect(w).magnitude()
        if i % 50 == 0:
            total += Solver.integrate(lambda x: x * x * 0.5, 0.0, 1.0, 20)
    return total


def run(jobs, n, pool=None):
    """Seconds for `jobs` jobs of n steps, in this interpreter or the pool."""
    start = time.perf_counter()
    if pool is None:
        results = [job(n) for _ in range(jobs)]
    else:
        results = list(pool.map(job, [n] * jobs))
    elapsed = time.perf_counter() - start
    assert len(set(results)) == 1
    return elapsed


def main(quick=False):
    if sys.version_info < (3, 14):
        sys.exit("the parallel benchmark needs Python 3.14 or newer (InterpreterPoolExecutor)")
    from concurrent.futures import InterpreterPoolExecutor

    # The workers import this file: put its folder on their path. (exec is a
    # builtin, which the pool hands to each worker by name.)
    setup = "import sys; sys.path.insert(0, %r)" % HERE
    jobs, n, rounds = (8, 20000, 3) if quick else (8, 100000, 7)
    ratios = {"1 worker": [], "2 workers": []}
    with InterpreterPoolExecutor(1, initializer=exec, initargs=(setup,)) as one, \
            InterpreterPoolExecutor(2, initializer=exec, initargs=(setup,)) as two:
        run(2, 10, one), run(4, 10, two)  # every worker started and warm
        for _ in range(rounds):
            alone = run(jobs, n)
            ratios["1 worker"].append(alone / run(jobs, n, one))
            ratios["2 workers"].append(alone / run(jobs, n, two))
    print("Throughput against the main interpreter alone (%d jobs of %d steps, median of %d rounds, %d cores):"
          % (jobs, n, rounds, os.cpu_count() or 1))
    for name, values in ratios.items():
        print("  InterpreterPoolExecutor, %-9s %.2f  (%s)" % (name, statistics.median(values),
                                                             " ".join("%.2f" % v for v in values)))
    return {name: statistics.median(values) for name, values in ratios.items()}


# One loop, in a bare interpreter under callgrind: `where` is "main",
# "main+sub" (a subinterpreter alive beside) or "sub" (in that subinterpreter).
COUNTED = {"s * 2.0": "s * 2.0", "-s": "-s", "s.sin()": "s.sin()", "s.val": "s.val",
           "Scalar.sin(s) (the library's)": "Scalar.sin(s)"}
LOOP = '''
import sys
from concurrent import interpreters
where, statement, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
code = ("from orbelon_core import Scalar, Vec3\\ns, t = Scalar(1.5, 2.0), Scalar(0.5, 1.0)\\n"
        "a, b = Vec3(1, 2, 3), Vec3(4, 5, 6)\\nf = lambda: " + statement + "\\nfor _ in range(n): f()\\n")
if where == "main":
    exec(code, {"n": n})
else:
    sub = interpreters.create()
    sub.exec("import orbelon_core")
    if where == "main+sub":
        exec(code, {"n": n})
    else:
        sub.prepare_main(n=n)
        sub.exec(code)
    sub.close()
'''


def instructions(where, statement, n=5000):
    counts = []
    for loops in (n, 2 * n):
        out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                              "-c", LOOP, where, statement, str(loops)],
                             capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0")).stderr
        counts.append(int(re.search(r"Collected : (\d+)", out).group(1)))
    return (counts[1] - counts[0]) / n


def count_instructions():
    places = ["main", "main+sub", "sub"]
    # The loop and one global's lookup, which the interpreters' globals make
    # cost differently: what is left is the call.
    empty = {where: instructions(where, "s") for where in places}
    print("Instructions per call (callgrind; the loop and a global's lookup subtracted):")
    print("  %-32s %12s %20s %18s" % ("", "main alone", "main, a sub alive", "in the sub"))
    for name, statement in COUNTED.items():
        print("  %-32s %12.0f %20.0f %18.0f" % ((name,) + tuple(instructions(w, statement) - empty[w] for w in places)))


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    import parallel  # the workers find job() by this module's name, not __main__
    if "--instructions" in sys.argv:
        parallel.count_instructions()
    else:
        parallel.main(quick="--quick" in sys.argv)
