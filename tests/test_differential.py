"""The fast paths are invisible: every corpus case gives the same outcome in
the installed build and in a plain build of the same sources without them.

Each world of the corpus runs in a child interpreter of its own per build; a
case that kills its interpreter is recorded as a crash and the rest of the
world goes on in a new one. Outcomes compare result types, float bits, reprs,
exception types and messages. A few thousand cases normally, every case of
the full corpus (hundreds of thousands) with --long.
"""
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent / "differential"))
import corpus  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
CHILD = Path(__file__).parent / "differential" / "child.py"


def source_digest():
    h = hashlib.sha256(sys.version.encode())
    for path in sorted(ROOT.glob("src/**/*")) + [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml"]:
        if path.is_file():
            h.update(path.name.encode() + path.read_bytes())
    return h.hexdigest()[:16]


@pytest.fixture(scope="session")
def plain_build():
    """A build of these sources with the fast paths off, made once per source state.

    ORBELON_PLAIN_BUILD names one made elsewhere instead: the wheels are tested
    against a plain build by the same compiler, since two compilers may give a
    NaN different signs (docs/wheels.md)."""
    if os.environ.get("ORBELON_PLAIN_BUILD"):
        return Path(os.environ["ORBELON_PLAIN_BUILD"])
    if not (ROOT / "src").is_dir():
        pytest.skip("no sources here to build the plain bindings from (a wheel under test)")
    target = ROOT / "build" / ("plain-%d.%d-%s" % (sys.version_info[:2] + (source_digest(),)))
    if not (target / "done").exists():
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", str(target),
                        "-Ccmake.define.ORBELON_FAST_PATHS=OFF", str(ROOT)], check=True, env=env)
        (target / "done").touch()
    return target


def run_world(setup, cases, path):
    """Outcomes of the cases in one build, crashes included, and the build's status."""
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join([str(path)] + env.get("PYTHONPATH", "").split(os.pathsep))
    world_file = Path(os.environ.get("TMPDIR", "/tmp")) / ("corpus-%d.json" % os.getpid())
    world_file.write_text(json.dumps({"setup": setup, "cases": cases}))
    outcomes, status = [], None
    try:
        while len(outcomes) < len(cases):
            proc = subprocess.run([sys.executable, str(CHILD), str(world_file), str(len(outcomes))],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
            lines = proc.stdout.splitlines()
            if not lines:
                raise AssertionError("the world's setup failed:\n" + proc.stderr)
            status = json.loads(lines[0])["build"]
            outcomes += [json.loads(line) for line in lines[1:]]
            if proc.returncode != 0 and len(outcomes) < len(cases):
                outcomes.append(["crash", proc.returncode, proc.stderr[-300:]])
    finally:
        world_file.unlink()
    return outcomes, status


def pytest_generate_tests(metafunc):
    worlds = list(corpus.worlds(long=metafunc.config.getoption("--long")))
    metafunc.parametrize("name, setup, cases", worlds, ids=[w[0] for w in worlds])


def test_fast_and_plain_builds_agree(name, setup, cases, plain_build):
    fast, fast_status = run_world(setup, cases, None)
    plain, plain_status = run_world(setup, cases, plain_build)
    assert fast_status == ["installed"] and plain_status == ["off"]
    differ = [(case, f, p) for case, f, p in zip(cases, fast, plain) if f != p]
    crashes = [(case, f) for case, f in zip(cases, fast) if f[0] == "crash"]
    crashes += [(case, p) for case, p in zip(cases, plain) if p[0] == "crash"]
    assert not crashes, "%d crashes, the first: %r" % (len(crashes), crashes[0])
    assert not differ, "%d of %d cases differ, the first:\n%s\nfast:  %r\nplain: %r" % (
        (len(differ), len(cases)) + differ[0])
