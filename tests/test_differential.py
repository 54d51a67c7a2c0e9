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
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "differential"))
import corpus  # noqa: E402
from builds import run_world  # noqa: E402


def pytest_generate_tests(metafunc):
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
