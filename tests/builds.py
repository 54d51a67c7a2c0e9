"""The builds the suite makes for itself, and the child interpreters it runs
code in.

Three builds besides the installed module: the plain bindings (the same
sources with the fast paths off), the stock binding of tests/stock_module (the
same tables bound by the library alone, nothing of the module's own) and the
second module of tests/second_module, a small extension on the same pinned
binding library. Each is installed with
`pip install --target` into build/, once per interpreter and source state:
a later run whose digest matches reuses it.
"""
import ctypes
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SECOND = Path(__file__).parent / "second_module"
STOCK = Path(__file__).parent / "stock_module"
CHILD = Path(__file__).parent / "differential" / "child.py"
# Whether this process runs under AddressSanitizer (scripts/dev.sh sanitize).
SANITIZED = hasattr(ctypes.CDLL(None), "__asan_init")


def digest(paths):
    h = hashlib.sha256(sys.version.encode())
    for path in paths:
        if path.is_file():
            h.update(path.name.encode() + path.read_bytes())
    return h.hexdigest()[:16]


def source_digest():
    return digest(sorted(ROOT.glob("src/**/*")) + [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml"])


def install(source, kind, key, *options):
    """Builds `source` into build/KIND-X.Y-KEY unless it is there already."""
    target = ROOT / "build" / ("%s-%d.%d-%s" % ((kind,) + sys.version_info[:2] + (key,)))
    if not (target / "done").exists():
        # The sanitizer runtime preloaded for the suite would be loaded into
        # the compiler and the build tools too.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", str(target)]
                       + list(options) + [str(source)], check=True, env=env)
        (target / "done").touch()
    return target


def plain_build():
    """orbelon_core from these sources with the fast paths off, or None where
    there are no sources (a wheel under test)."""
    if not (ROOT / "src").is_dir():
        return None
    return install(ROOT, "plain", source_digest(), "-Ccmake.define.ORBELON_FAST_PATHS=OFF")


def stock_build():
    """orbelon_core's tables bound by the library alone, or None where there
    are no sources. It includes the project's headers, so its key covers
    src/ as well as its own files."""
    if not (ROOT / "src").is_dir():
        return None
    key = digest(sorted(STOCK.glob("*.*")) + sorted(ROOT.glob("src/**/*")))
    return install(STOCK, "stock", key, "-Ccmake.define.ORBELON_SRC=%s" % (ROOT / "src"))


def second_module():
    """The directory holding the built second module, `secondmod`."""
    return install(SECOND, "second", digest(sorted(SECOND.glob("*.*"))))


def child_env(paths):
    """The environment of a child interpreter that finds `paths` first."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(p) for p in paths if p] + env.get("PYTHONPATH", "").split(os.pathsep))
    return env


def run_world(setup, cases, paths, own_gil=False):
    """Outcomes of the cases in a child interpreter that finds `paths` first,
    or in a subinterpreter of it with its own GIL, crashes included, and what
    the build reported of itself.

    A case that kills its interpreter is recorded as a crash and the rest go
    on in a new one, which runs the setup again. An interpreter that dies
    after its last case (in a deallocation at exit, say) adds a crash as one
    more outcome.
    """
    env = child_env(paths)
    world_file = Path(os.environ.get("TMPDIR", "/tmp")) / ("corpus-%d.json" % os.getpid())
    world_file.write_text(json.dumps({"setup": setup, "cases": cases}))
    outcomes, status = [], None
    try:
        while len(outcomes) < len(cases):
            proc = subprocess.run([sys.executable, str(CHILD), str(world_file), str(len(outcomes))]
                                  + (["--own-gil"] if own_gil else []),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
            lines = proc.stdout.splitlines()
            if not lines:
                raise AssertionError("the world's setup failed (exit status %d):\n%s" % (proc.returncode, proc.stderr))
            status = json.loads(lines[0])["build"]
            outcomes += [json.loads(line) for line in lines[1:]]
            if proc.returncode != 0:
                outcomes.append(["crash", proc.returncode, proc.stderr[-300:]])
    finally:
        world_file.unlink()
    return outcomes, status
