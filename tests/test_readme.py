"""Every Python example in the README runs and prints what the README shows.

A ```python block is a script: it must run cleanly in a fresh interpreter,
and when a ```text block follows it directly, print exactly that. A ```pycon
block is an interactive session, checked the way doctest checks one. Each
block stands alone, as a reader would paste it. (The ```sh blocks are the
commands that run this suite, and the tour's output has its own test.)
"""
import doctest
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n(?:\s*^```text\n(.*?)^```\n)?", re.M | re.S)


def blocks():
    text = README.read_text(encoding="utf-8")
    for match in BLOCK.finditer(text):
        language, code, output = match.groups()
        if language in ("python", "pycon"):
            line = text.count("\n", 0, match.start()) + 2
            yield pytest.param(language, code, output, line, id="README.md:%d" % line)


@pytest.mark.parametrize("language, code, output, line", list(blocks()))
def test_readme_example(language, code, output, line, tmp_path):
    if language == "python":
        done = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        assert done.returncode == 0, done.stderr
        assert done.stderr == ""
        if output is not None:
            assert done.stdout == output
    else:
        session = doctest.DocTestParser().get_doctest(code, {}, "README", str(README), line - 1)
        report = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(session, out=report.append)
        assert runner.failures == 0, "".join(report)


def test_no_example_is_skipped_unseen():
    # A fence spelt otherwise (```py, ```python3, ```console) would not run.
    fences = re.findall(r"^```(\w*)$", README.read_text(encoding="utf-8"), re.M)
    assert set(fences) <= {"", "python", "pycon", "text", "sh"}
