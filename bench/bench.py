"""Speed of orbelon_core against the peers a user would pick instead.

    scripts/dev.sh bench [--quick] [--callgrind] [--only-instructions]
    scripts/dev.sh bench --parallel [--quick] [--instructions]   (parallel.py)

Every case runs in this one process: per operation, the median over
interleaved rounds, with the empty loop's time subtracted. Ratios compare
peers measured in the same run, so a noisy machine moves them much less than
the absolute times. With --callgrind, instructions per operation are counted
too (a loop of N and of 2N iterations under valgrind, differenced), which
does not move with the machine's load at all.

Among the peers is the floor (bench/floor, module orbelon_floor): the same
Scalar and Vec3 written by hand against the C API, the cost of the
operations with nothing between the interpreter's slots and the arithmetic.
With --callgrind a second table sets orbelon's instructions against the
floor's and the __slots__ twin's and checks the goals for each operation
(FLOOR_GOALS). --only-instructions prints that table alone, for orbelon, the
floor and the twin, without timing anything: a few minutes instead of the
full run.
"""
import argparse
import concurrent.futures
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

VEC3_SETUP = {
    "orbelon": "from orbelon_core import Vec3 as V\na = V(1.0, 2.0, 3.0)\nb = V(4.0, 5.0, 6.0)",
    "floor": "from orbelon_floor import Vec3 as V\na = V(1.0, 2.0, 3.0)\nb = V(4.0, 5.0, 6.0)",
    "pygame": "from pygame.math import Vector3 as V\na = V(1.0, 2.0, 3.0)\nb = V(4.0, 5.0, 6.0)",
    "glm": "import glm\nV = glm.vec3\na = V(1.0, 2.0, 3.0)\nb = V(4.0, 5.0, 6.0)",
    "numpy": "import numpy as np\na = np.array([1.0, 2.0, 3.0])\nb = np.array([4.0, 5.0, 6.0])",
    "python": "from peers import PyVec3 as V\na = V(1.0, 2.0, 3.0)\nb = V(4.0, 5.0, 6.0)",
}
# operation -> statement per peer (None: same as the first form)
VEC3_OPS = {
    "construct": {"numpy": "np.array([1.0, 2.0, 3.0])", None: "V(1.0, 2.0, 3.0)"},
    "a + b": {None: "a + b"},
    "a * 2.0": {None: "a * 2.0"},
    "dot": {"glm": "glm.dot(a, b)", None: "a.dot(b)"},
    "cross": {"glm": "glm.cross(a, b)", "numpy": "np.cross(a, b)", None: "a.cross(b)"},
    "magnitude": {"glm": "glm.length(a)", "numpy": "np.linalg.norm(a)", None: "a.magnitude()"},
    "normalize": {"glm": "glm.normalize(a)", "numpy": "a / np.linalg.norm(a)",
                  None: "a.normalize()"},
    "repr": {None: "repr(a)"},
    "a[0]": {None: "a[0]"},
    "a[1]": {None: "a[1]"},
    "a[1] = 2.5": {None: "a[1] = 2.5"},
    "a.x": {"numpy": "a[0]", None: "a.x"},
}

SCALAR_SETUP = {
    "orbelon": "from orbelon_core import Scalar as S\ns = S(2.0, 1.0)\nt = S(3.0, 1.0)",
    "floor": "from orbelon_floor import Scalar as S\ns = S(2.0, 1.0)\nt = S(3.0, 1.0)",
    "python": "from peers import PyDual as S\ns = S(2.0, 1.0)\nt = S(3.0, 1.0)",
}
SCALAR_OPS = ["S(1.0, 2.0)", "s + t", "s * t", "s * 2.0", "s + 2.5", "s + 2", "s - 2", "2.0 - s",
              "s / t", "s / 2.0", "s.sin()", "s ** 3", "-s", "float(s)", "s.val", "repr(s)",
              "(s * t + 2.0) / (s - 0.5) * s.sin() + s ** 2 - t.exp()"]
TEN_OPS = SCALAR_OPS[-1]

SOLVER_SETUP = """
import math
import numpy as np
from orbelon_core import Solver
from peers import simpson as py_simpson, newton as py_newton
from scipy.integrate import simpson
from scipy.optimize import newton
square = lambda x: x * x
parabola = lambda x: x * x - 2
slope = lambda x: 2 * x
sin = math.sin
N = {n}
steps = range(N + 1)
"""
SOLVER_CASES = {
    ("integrate math.sin", "orbelon"): "Solver.integrate(math.sin, 0.0, 1.0, N)",
    ("integrate math.sin", "python"): "py_simpson(math.sin, 0.0, 1.0, N)",
    ("integrate math.sin", "scipy"):
        "xs = np.linspace(0.0, 1.0, N + 1)\n"
        "simpson(np.array([math.sin(x) for x in xs.tolist()]), x=xs)",
    ("integrate math.sin", "bare loop"): "for _ in steps: sin(0.5)",
    ("integrate x*x", "orbelon"): "Solver.integrate(square, 0.0, 1.0, N)",
    ("integrate x*x", "python"): "py_simpson(square, 0.0, 1.0, N)",
    ("integrate x*x", "scipy"):
        "xs = np.linspace(0.0, 1.0, N + 1)\n"
        "simpson(np.array([square(x) for x in xs.tolist()]), x=xs)",
    ("integrate x*x", "bare loop"): "for _ in steps: square(0.5)",
    ("root_newton x*x-2", "orbelon"): "Solver.root_newton(parabola, 1.0)",
    ("root_newton x*x-2", "python"): "py_newton(parabola, 1.0)",
    ("root_newton x*x-2", "scipy secant"): "newton(parabola, 1.0)",
    ("root_newton x*x-2", "scipy fprime"): "newton(parabola, 1.0, fprime=slope)",
}

# Instructions per sample of the integrations against the bare calling loop,
# counted at a smaller n in a setup without numpy and scipy: under valgrind
# their import alone would take longer than the count.
SOLVER_COUNT_N = 10 ** 4
SOLVER_COUNT_SETUP = """
import math
from orbelon_core import Solver
square = lambda x: x * x
sin = math.sin
N = %d
steps = range(N + 1)
""" % SOLVER_COUNT_N
SOLVER_COUNTED = [("integrate math.sin", "orbelon"), ("integrate math.sin", "bare loop"),
                  ("integrate x*x", "orbelon"), ("integrate x*x", "bare loop")]

# Goals for orbelon's instructions per operation over the floor's, on 3.8 and
# from 3.9 on. From 3.9 the interpreter calls a type through its vectorcall,
# which the floor takes and which makes constructing it much cheaper there.
FLOOR_GOALS = [
    (("s + 2.5", "s + 2", "s - 2", "2.0 - s", "s * 2.0", "s / 2.0", "s ** 3"), 1.15, 1.15),
    (("s + t", "s * t", "a + b", "a * 2.0"), 1.9, 1.6),
    (("s.sin()", "dot", "cross", "normalize", "magnitude"), 1.25, 1.25),
    (("s.val", "a.x", "a[0]", "a[1]", "a[1] = 2.5", "-s", "float(s)", "repr", "repr(s)"), 1.0, 1.0),
    (("S(1.0, 2.0)", "construct"), 0.7, 1.5),
]
SOLVER_GOAL = 1.05  # integrate's instructions per sample over the bare loop's


def available(peer):
    module = {"pygame": "pygame", "glm": "glm", "numpy": "numpy", "scipy": "scipy",
              "floor": "orbelon_floor"}.get(peer)
    if module is None:
        return True
    try:
        os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
        __import__(module)
        return True
    except ImportError:
        return False


def micro_cases(peers=None):
    """(group, operation, peer, setup, statement) for the value types."""
    cases = []
    for op, forms in VEC3_OPS.items():
        for peer, setup in VEC3_SETUP.items():
            cases.append(("Vec3", op, peer, setup, forms.get(peer, forms[None])))
    for op in SCALAR_OPS:
        name = "ten operations" if op == TEN_OPS else op
        for peer, setup in SCALAR_SETUP.items():
            cases.append(("Scalar", name, peer, setup, op))
    return [c for c in cases if (peers is None or c[2] in peers) and available(c[2])]


def same_results():
    """Where the floor and orbelon disagree, as "statement: orbelon vs floor"
    texts: the floor must compute what orbelon does, to the last bit."""
    def bits(r):
        if isinstance(r, float):
            return r.hex()
        if isinstance(r, str):
            return r
        return tuple(getattr(r, f).hex() for f in ("val", "d", "x", "y", "z") if hasattr(r, f))

    differ = []
    statements = [(VEC3_SETUP, forms[None]) for forms in VEC3_OPS.values()] + \
        [(SCALAR_SETUP, op) for op in SCALAR_OPS + ["s / 0.0", "s - t", "2 / s"]]
    for setups, stmt in statements:
        got = []
        for peer in ("orbelon", "floor"):
            scope = {}
            exec(setups[peer], scope)
            try:
                got.append(bits(eval(stmt, scope)))
            except Exception as e:
                got.append("%s: %s" % (type(e).__name__, e))
        if got[0] != got[1]:
            differ.append("%s: %r vs %r" % (stmt, got[0], got[1]))
    return differ


def solver_cases(n):
    setup = SOLVER_SETUP.format(n=n)
    return [("Solver", op, peer, setup, stmt) for (op, peer), stmt in SOLVER_CASES.items()
            if available("scipy") or "scipy" not in peer and "scipy" not in setup]


def measure(cases, number, rounds):
    """Median seconds per execution of each case, empty loop subtracted."""
    timers = [timeit.Timer(stmt, setup) for (_, _, _, setup, stmt) in cases]
    empty = timeit.Timer("pass")
    samples = [[] for _ in cases]
    empties = []
    for _ in range(rounds):
        empties.append(empty.timeit(number) / number)
        for i, timer in enumerate(timers):
            samples[i].append(timer.timeit(number) / number)
    base = statistics.median(empties)
    return [max(statistics.median(s) - base, 0.0) for s in samples]


# One loop under valgrind, in a bare interpreter: importing this script (and
# statistics, subprocess, ...) would take valgrind longer than the loop.
CHILD = "import sys, timeit; sys.path.insert(0, sys.argv[1]); " \
        "timeit.Timer(sys.argv[3], sys.argv[2]).timeit(int(sys.argv[4]))"


def instructions(case, number):
    """Instructions per execution: callgrind totals for 2N and N runs, differenced."""
    totals = []
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict layouts in both runs
    for n in (number, 2 * number):
        out = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", CHILD, HERE, case[3], case[4], str(n)],
            capture_output=True, text=True, check=True, env=env).stderr
        totals.append(int(re.search(r"Collected : (\d+)", out).group(1)))
    return (totals[1] - totals[0]) / number


def count_all(runs):
    """instructions(case, number) of every (case, number), the valgrind runs
    spread over the cores: the counts do not depend on the machine's load."""
    print("counting the instructions of %d cases under callgrind ..." % len(runs), flush=True)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        return list(pool.map(lambda run: instructions(*run), runs))


def table(results, key, unit, scale):
    lines = []
    for group, ops in results.items():
        peers = []
        for per_peer in ops.values():
            peers += [p for p in per_peer if p not in peers]
        head = "%-22s" % group + "".join("%17s" % p for p in peers)
        lines += [head, "-" * len(head)]
        for op, per_peer in ops.items():
            ref = per_peer.get("orbelon", {}).get(key)
            row = "%-22s" % op
            for p in peers:
                v = per_peer.get(p, {}).get(key)
                if v is None:
                    row += "%17s" % "-"
                elif p == "orbelon" or not ref:
                    row += "%14.4g %s" % (v * scale, unit)
                else:
                    row += "%17s" % ("%.4g (%.2gx)" % (v * scale, v / ref) if v / ref < 10
                                     else "%.4g (%.0fx)" % (v * scale, v / ref))
            lines.append(row)
        lines.append("")
    return "\n".join(lines)


def floor_table(results, empty_loop):
    """orbelon's instructions per operation over the floor's and the twin's,
    each goal of FLOOR_GOALS checked on its line: the text and the checks.
    Every count includes the timeit loop's own instructions, given below."""
    later = sys.version_info >= (3, 9)
    goals = {op: (g313 if later else g38) for ops, g38, g313 in FLOOR_GOALS for op in ops}
    head = "%-26s%10s%10s%10s%9s%9s  %s" % ("instructions", "orbelon", "floor", "python",
                                           "/floor", "/python", "goal for /floor")
    lines, checks = [head, "-" * len(head)], []

    def check(name, ratio, goal):
        checks.append((name, ratio, "<=", goal))
        return "  <= %-5g %s" % (goal, "ok" if ratio <= goal else "MISS")

    for group in ("Scalar", "Vec3"):
        for op, peers in results.get(group, {}).items():
            me, floor, py = (peers.get(p, {}).get("instructions")
                             for p in ("orbelon", "floor", "python"))
            if me is None:
                continue
            row = "%-26s" % ("%s %s" % (group, op))
            row += "".join("%10s" % ("-" if v is None else "%.0f" % v) for v in (me, floor, py))
            row += "".join("%9s" % ("-" if not v else "%.2f" % (me / v)) for v in (floor, py))
            if op in goals and floor:
                row += check("%s %s instructions within %gx of the floor" % (group, op, goals[op]),
                             me / floor, goals[op])
            lines.append(row)
    lines.append("(each count includes the loop's own %.0f instructions an iteration)"
                 % empty_loop)
    head = "%-26s%10s%10s%9s" % ("per sample (n = %d)" % SOLVER_COUNT_N, "orbelon", "bare loop",
                                 "/bare")
    lines += ["", head, "-" * len(head)]
    for f in dict(SOLVER_COUNTED):
        me, bare = (results.get("Solver", {}).get(f, {}).get(p, {}).get("instructions per sample")
                    for p in ("orbelon", "bare loop"))
        if me is not None and bare:
            lines.append("%-26s%10.1f%10.1f%9.2f" % ("Solver." + f, me, bare, me / bare) + check(
                "%s instructions per sample within %gx of the bare loop" % (f, SOLVER_GOAL),
                me / bare, SOLVER_GOAL))
    return "\n".join(lines) + "\n", checks


def targets(results):
    """The goals, as ratios measured in this run."""
    checks = []

    def t(group, op, peer="orbelon"):
        return results[group][op].get(peer, {}).get("time")

    for group, ops in (("Vec3", VEC3_OPS), ("Scalar", None)):
        for op in results[group]:
            me, py = t(group, op), t(group, op, "python")
            if op in ("a.x", "s.val"):
                checks.append(("%s %s within 1.5x of __slots__" % (group, op), me / py, "<=", 1.5))
            elif op in ("construct", "S(1.0, 2.0)"):
                checks.append(("%s %s 1.5x faster than Python" % (group, op), py / me, ">=", 1.5))
            else:
                checks.append(("%s %s 2x faster than Python" % (group, op), py / me, ">=", 2.0))
            if group == "Vec3" and t(group, op, "pygame"):
                checks.append(("Vec3 %s within 2x of pygame" % op, me / t(group, op, "pygame"),
                               "<=", 2.0))
    for f in ("integrate math.sin", "integrate x*x"):
        checks.append((f + " within 1.1x of the bare loop",
                       t("Solver", f) / t("Solver", f, "bare loop"), "<=", 1.1))
    r = "root_newton x*x-2"
    checks.append((r + " 1.5x faster than Python", t("Solver", r, "python") / t("Solver", r),
                   ">=", 1.5))
    if t("Solver", r, "scipy secant"):
        checks.append((r + " 50x faster than scipy",
                       min(t("Solver", r, "scipy secant"), t("Solver", r, "scipy fprime"))
                       / t("Solver", r), ">=", 50.0))
    return checks


def main():
    if "--parallel" in sys.argv:
        sys.argv.remove("--parallel")
        import parallel  # its workers find the workload by that module's name
        return parallel.count_instructions() if "--instructions" in sys.argv else parallel.main("--quick" in sys.argv)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, smaller n")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions")
    parser.add_argument("--only-instructions", action="store_true",
                        help="only count instructions, of orbelon, the floor and the __slots__ "
                             "twin, against the floor's goals; no timing")
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"))
    args = parser.parse_args()

    timed = not args.only_instructions
    counted = args.callgrind or args.only_instructions
    rounds = 5 if args.quick else 15
    n = 10 ** 5 if args.quick else 10 ** 6
    print("Python %s on %s, %s" % (platform.python_version(), platform.machine(),
                                   platform.processor() or platform.platform()), flush=True)
    if not available("floor"):
        print("no floor: orbelon_floor is not installed (scripts/dev.sh bench installs it)")
    else:
        differ = same_results()
        if differ:
            sys.exit("the floor and orbelon_core disagree:\n  " + "\n  ".join(differ))

    results, loops, empty_loop = {}, None, None

    def put(case, key, value):
        results.setdefault(case[0], {}).setdefault(case[1], {}).setdefault(case[2], {})[key] = value

    if timed:
        micro, solver = micro_cases(), solver_cases(n)
        times = measure(micro, 20000, rounds) + measure(solver[:8], 1, max(rounds // 3, 3)) \
            + measure(solver[8:], 500, rounds)
        for case, secs in zip(micro + solver, times):
            put(case, "time", secs)
    if counted:
        micro = micro_cases(None if timed else ("orbelon", "floor", "python"))
        solver = [("Solver", op, peer, SOLVER_COUNT_SETUP, SOLVER_CASES[op, peer])
                  for op, peer in SOLVER_COUNTED]
        # Loops of 5000 give the same counts as of 20000 to a tenth of an
        # instruction, in a quarter of the time.
        loops = 5000 if args.quick or args.only_instructions else 20000
        empty = ("loop", "empty", "", "", "pass")
        counts = count_all([(case, loops) for case in micro + [empty]]
                           + [(case, 4) for case in solver])
        empty_loop = counts.pop(len(micro))
        for case, count in zip(micro + solver, counts):
            if case[0] == "Solver":
                put(case, "instructions per sample", count / (SOLVER_COUNT_N + 1))
            else:
                put(case, "instructions", count)

    checks = []
    if timed:
        print("\nTime per operation (ratio: peer time / orbelon time; above 1 is slower than us)\n")
        print(table({g: o for g, o in results.items() if g != "Solver"}, "time", "ns", 1e9))
        print(table({"Solver (n = %d)" % n: results["Solver"]}, "time", "us", 1e6))
    if timed and counted:
        print("Instructions per operation (callgrind)\n")
        print(table({g: o for g, o in results.items() if g != "Solver"}, "instructions", "in", 1))
    if counted:
        text, checks = floor_table(results, empty_loop)
        print("\nInstructions per operation against the floor and the __slots__ twin (callgrind)\n")
        print(text)
    if timed:
        timed_checks = targets(results)
        checks += timed_checks
        print("Targets")
        for name, value, rel, goal in timed_checks:
            ok = value <= goal if rel == "<=" else value >= goal
            print("  %-4s %-52s %6.2f (%s %g)" % ("ok" if ok else "MISS", name, value, rel, goal))
    with open(args.json, "w") as f:
        json.dump({"python": platform.python_version(), "machine": platform.platform(),
                   "n": n if timed else None, "rounds": rounds if timed else None,
                   "count_loops": loops,
                   "empty_loop_instructions": empty_loop, "results": results,
                   "targets": [{"name": c[0], "value": c[1], "goal": "%s %g" % c[2:]}
                               for c in checks]}, f, indent=1)
    print("\nwritten to", args.json)


if __name__ == "__main__":
    main()
