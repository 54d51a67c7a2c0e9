"""Another module built on the same binding library behaves the same whether
orbelon_core is imported before it, after it, not at all, or fails to import.

The two modules share the library's metaclass and its registry of classes,
so anything orbelon_core does to either at import (or leaves half done when
its import fails) would show in the other module's classes. The second
module's probes (tests/differential/second.py) run in a child interpreter per
import order and build, and must give the outcomes they give with no
orbelon_core at all.

A failed import is forced by an audit hook that raises on the event through
which the module reports its build, or on its import of atexit; importing it
again must then either work or raise an ImportError that is not the library's
complaint about a class registered twice.
"""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent / "differential"))
import second  # noqa: E402
from builds import run_world  # noqa: E402
from orbelon_core import Scalar, Vec3  # noqa: E402

IMPORT = "import orbelon_core\n"
REFUSE = '''
import sys
refused = []
def _refuse(event, args):
    if event == "orbelon_core.fast_paths" and not refused:
        refused.append(args)
        raise RuntimeError("refused by the test")
sys.addaudithook(_refuse)
try:
    import orbelon_core
    first = "imported"
except Exception as e:
    first = "; ".join("%s: %s" % (type(x).__name__, x) for x in (e, e.__cause__ or e.__context__) if x)
try:
    import orbelon_core
    retry = "imported: %r %r" % (orbelon_core.Scalar(1.5, 2.0) + 1.0, orbelon_core.Vec3(1, 2, 3) * 2.0)
except ImportError as e:
    retry = "ImportError: %s" % e
'''
# The same refusal where a sandbox would make it: the import of atexit, which
# the module registers its exit work with.
REFUSE_ATEXIT = REFUSE.replace(
    'event == "orbelon_core.fast_paths"', 'event == "import" and args[0] == "atexit"').replace(
    "import sys\n", "import sys\nsys.modules.pop('atexit', None)\n", 1)
ORDERS = {
    "imported before": IMPORT + second.SETUP,
    "imported between the import and the setup": "import secondmod\n" + IMPORT + second.SETUP,
    "imported after the setup": second.SETUP + IMPORT,
    "failing before": REFUSE + second.SETUP,
    "failing after the setup": second.SETUP + REFUSE,
    "failing at its import of atexit": REFUSE_ATEXIT + second.SETUP,
}


@pytest.fixture(scope="module")
def alone(second_module):
    outcomes, _ = run_world(second.SETUP, second.PROBES, [second_module])
    assert not [o for o in outcomes if o[0] == "crash"], outcomes
    return outcomes


def ok(text):
    return ["ok", ["builtins.str", text]]


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("order", ORDERS)
def test_second_module_is_unaffected(order, build, alone, second_module, request):
    paths = [request.getfixturevalue("plain_build")] if build == "plain" else []
    failing = order.startswith("failing")
    cases = second.PROBES + (["first", "retry"] if failing else [])
    outcomes, status = run_world(ORDERS[order], cases, paths + [second_module])
    assert status and set(status) == {"off" if build == "plain" else "installed"}
    crashes = [(case, o) for case, o in zip(cases + ["(the interpreter's exit)"], outcomes) if o[0] == "crash"]
    assert not crashes, "%d crashes, the first: %r" % (len(crashes), crashes[0])
    problems = []
    if failing:
        first, retry = outcomes[-2:]
        if not (first[0] == "ok" and "RuntimeError: refused by the test" in first[1][1]):
            problems.append("the first import was not refused by the hook: %r" % (first,))
        # Refused before anything was registered, so the import may be tried
        # again, and then works.
        if retry != ok("imported: %r %r" % (Scalar(1.5, 2.0) + 1.0, Vec3(1, 2, 3) * 2.0)):
            problems.append("importing again after the failed import: %r" % (retry,))
    differ = [(case, a, o) for case, a, o in zip(cases, alone, outcomes) if a != o]
    if differ:
        problems.append("%d probes differ, the first:\n%s\nalone: %r\nhere:  %r" % ((len(differ),) + differ[0]))
    assert not problems, "\n".join(problems)
