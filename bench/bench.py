"""Speed of orbelon_core against the peers a user would pick instead.

    scripts/dev.sh bench [--quick] [--callgrind]

Every case runs in this one process: per operation, the median over
interleaved rounds, with the empty loop's time subtracted. Ratios compare
peers measured in the same run, so a noisy machine moves them much less than
the absolute times. With --callgrind, instructions per operation are counted
too (a loop of N and of 2N iterations under valgrind, differenced), which
does not move with the machine's load at all.
"""
import argparse
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
    "a[1]": {None: "a[1]"},
    "a.x": {"numpy": "a[0]", None: "a.x"},
}

SCALAR_SETUP = {
    "orbelon": "from orbelon_core import Scalar as S\ns = S(2.0, 1.0)\nt = S(3.0, 1.0)",
    "python": "from peers import PyDual as S\ns = S(2.0, 1.0)\nt = S(3.0, 1.0)",
}
SCALAR_OPS = ["S(1.0, 2.0)", "s * t", "s * 2.0", "s + 2.5", "s + 2", "2.0 - s", "s / t",
              "s.sin()", "s ** 3", "s.val",
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


def available(peer):
    module = {"pygame": "pygame", "glm": "glm", "numpy": "numpy", "scipy": "scipy"}.get(peer)
    if module is None:
        return True
    try:
        os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
        __import__(module)
        return True
    except ImportError:
        return False


def micro_cases():
    """(group, operation, peer, setup, statement) for the value types."""
    cases = []
    for op, forms in VEC3_OPS.items():
        for peer, setup in VEC3_SETUP.items():
            cases.append(("Vec3", op, peer, setup, forms.get(peer, forms[None])))
    for op in SCALAR_OPS:
        name = "ten operations" if op == TEN_OPS else op
        for peer, setup in SCALAR_SETUP.items():
            cases.append(("Scalar", name, peer, setup, op))
    return [c for c in cases if available(c[2])]


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


def instructions(case, number):
    """Instructions per execution: callgrind totals for 2N and N runs, differenced."""
    totals = []
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict layouts in both runs
    for n in (number, 2 * number):
        out = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, __file__, "--child", json.dumps(list(case[3:])), str(n)],
            capture_output=True, text=True, check=True, env=env).stderr
        totals.append(int(re.search(r"Collected : (\d+)", out).group(1)))
    return (totals[1] - totals[0]) / number


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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, smaller n")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions")
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:  # one loop under valgrind
        setup, stmt = json.loads(args.child[0])
        timeit.Timer(stmt, setup).timeit(int(args.child[1]))
        return

    rounds = 5 if args.quick else 15
    n = 10 ** 5 if args.quick else 10 ** 6
    micro, solver = micro_cases(), solver_cases(n)
    print("Python %s on %s, %s" % (platform.python_version(), platform.machine(),
                                   platform.processor() or platform.platform()), flush=True)
    times = measure(micro, 20000, rounds) + measure(solver[:8], 1, max(rounds // 3, 3)) \
        + measure(solver[8:], 500, rounds)

    results = {}
    for (group, op, peer, _, _), secs in zip(micro + solver, times):
        results.setdefault(group, {}).setdefault(op, {})[peer] = {"time": secs}
    if args.callgrind:
        for case in micro:
            results[case[0]][case[1]][case[2]]["instructions"] = instructions(case, 20000)

    print("\nTime per operation (ratio: peer time / orbelon time; above 1 is slower than us)\n")
    print(table({g: o for g, o in results.items() if g != "Solver"}, "time", "ns", 1e9))
    print(table({"Solver (n = %d)" % n: results["Solver"]}, "time", "us", 1e6))
    if args.callgrind:
        print("Instructions per operation (callgrind)\n")
        print(table({g: o for g, o in results.items() if g != "Solver"}, "instructions", "in", 1))
    checks = targets(results)
    print("Targets")
    for name, value, rel, goal in checks:
        ok = value <= goal if rel == "<=" else value >= goal
        print("  %-4s %-52s %6.2f (%s %g)" % ("ok" if ok else "MISS", name, value, rel, goal))
    with open(args.json, "w") as f:
        json.dump({"python": platform.python_version(), "machine": platform.platform(),
                   "n": n, "rounds": rounds, "results": results,
                   "targets": [{"name": c[0], "value": c[1], "goal": "%s %g" % c[2:]}
                               for c in checks]}, f, indent=1)
    print("\nwritten to", args.json)


if __name__ == "__main__":
    main()
