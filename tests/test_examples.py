"""The example scripts run against the installed module and say what they should.

Each example checks its own numbers with assertions; here it must also exit
cleanly and print its key result. The tour's output is pasted in the README,
so the two must not drift apart.
"""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module", autouse=True)
def font_cache():
    """matplotlib says on stderr that it is building its font cache, once per
    machine and version; build it here, so that no example's stderr says so."""
    try:
        import matplotlib.font_manager  # noqa: F401
    except ImportError:
        pass


def run_example(name, tmp_path):
    # A fresh interpreter outside the source tree: only the installed module is
    # seen. Examples that draw a figure draw it off screen.
    done = subprocess.run([sys.executable, str(ROOT / "examples" / name)], cwd=str(tmp_path),
                          env=dict(os.environ, MPLBACKEND="Agg"),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


@pytest.mark.parametrize("name, expected", [
    ("projectile.py", "greatest range at 45.000000000 degrees: 91.7745 m"),
    ("kepler.py", "cos(x) - 1 from x0 = 0 -> Zero derivative encountered"),
    ("work_along_path.py", "work along the helix:         2.751058980385 J"),
])
def test_example(name, expected, tmp_path):
    assert expected in run_example(name, tmp_path).splitlines()


def test_readme_shows_the_tour_as_it_runs(tmp_path):
    out = run_example("tour.py", tmp_path)
    assert out.strip() in (ROOT / "README.md").read_text(encoding="utf-8")
