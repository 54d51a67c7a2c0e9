"""Every Python example in the README and on the documentation site runs and
prints what the page shows.

A ```python block is a script: saved as a file, it must run cleanly in a
fresh interpreter, and when a ```text block follows it directly, print
exactly that. A script whose first line says "# Python 3.14 and newer" is
run there only, and one that says "# Needs dask.distributed" where that is
installed (the documentation's extra, which scripts/dev.sh docs runs them
with). A ```pycon
block is an interactive session, checked the way doctest checks one. Each
block stands alone, as a reader would paste it. (The ```sh blocks are the
commands that run this suite, a ```text block alone is output or a formula,
and the tour's output has its own test.) The site's pages are read from
docs/ where it is there: a wheel's test run copies the README only.

A ```pycon block is also what the site's copy button puts on the clipboard,
pasted into the interactive interpreter: the prompts it strips are those of
docs/conf.py, and a line it drops can break the paste.
"""
import ast
import doctest
import importlib
import json
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted(
    page for page in (ROOT / "docs").rglob("*.md")
    if not {"_build", "gallery"} & set(page.relative_to(ROOT / "docs").parts))
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n(?:\s*^```text\n(.*?)^```\n)?", re.M | re.S)


def runs_here(code):
    """Whether this interpreter has what the script's first line asks for."""
    first = code.split("\n", 1)[0]
    version = re.match(r"# Python (\d+)\.(\d+) and newer$", first)
    if version:
        return sys.version_info >= tuple(map(int, version.groups()))
    module = re.match(r"# Needs ([\w.]+)$", first)
    if module:
        try:
            importlib.import_module(module.group(1))
        except ImportError:
            return False
    return True


def blocks():
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        name = page.relative_to(ROOT).as_posix()
        for match in BLOCK.finditer(text):
            language, code, output = match.groups()
            if language in ("python", "pycon") and runs_here(code):
                line = text.count("\n", 0, match.start()) + 2
                yield pytest.param(language, code, output, page, line, id="%s:%d" % (name, line))


@pytest.mark.parametrize("language, code, output, page, line", list(blocks()))
def test_example(language, code, output, page, line, tmp_path):
    if language == "python":
        script = tmp_path / "example.py"  # a file, as a reader runs it: process pools import it again
        script.write_text(code, encoding="utf-8")
        done = subprocess.run([sys.executable, str(script)], cwd=str(tmp_path),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        assert done.returncode == 0, done.stderr
        assert done.stderr == ""
        if output is not None:
            assert done.stdout == output
    else:
        session = doctest.DocTestParser().get_doctest(code, {}, page.name, str(page), line - 1)
        report = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(session, out=report.append)
        assert runner.failures == 0, "".join(report)


CONF = ROOT / "docs" / "conf.py"


def copied(code):
    """What the site's copy button copies of a block, as sphinx-copybutton
    does it: with a prompt anywhere, only the lines that start with one
    (stripped of it) and the empty lines; and no trailing newline."""
    prompt = next(node.value.value for node in ast.parse(CONF.read_text(encoding="utf-8")).body
                  if isinstance(node, ast.Assign)
                  and getattr(node.targets[0], "id", None) == "copybutton_prompt_text")
    pattern = re.compile("^(%s)(.*)" % prompt)
    lines, prompted = [], False
    for line in code.split("\n"):
        match = pattern.match(line)
        if match:
            lines.append(match.group(2))
            prompted = True
        elif not line.strip():
            lines.append(line)
    text = "\n".join(lines) if prompted else code
    return text[:-1] if text.endswith("\n") else text


# The interactive interpreter, fed line by line as a paste feeds it; each
# error, a syntax error included, is reported as its exception's name.
PASTE = """
import code, json, sys
errors = []
class Console(code.InteractiveConsole):
    def showsyntaxerror(self, *args, **kwargs):
        errors.append("SyntaxError")
    def showtraceback(self):
        errors.append(sys.exc_info()[0].__name__)
console = Console()
for line in sys.stdin.read().split("\\n") + [""]:
    console.push(line)
sys.stderr.write(json.dumps(errors))
"""


@pytest.mark.skipif(not CONF.exists(), reason="the site's configuration is not here")
@pytest.mark.parametrize("language, code, output, page, line",
                         [block for block in blocks() if block.values[0] == "pycon"])
def test_copy_button_pastes_into_the_interpreter(language, code, output, page, line, tmp_path):
    # The exceptions the session shows, and no other: a def that runs into
    # the next statement is a SyntaxError here, and a NameError after it.
    expected = [example.exc_msg.split(":")[0].split(".")[-1] for example in
                doctest.DocTestParser().get_examples(code) if example.exc_msg]
    done = subprocess.run([sys.executable, "-c", PASTE], input=copied(code), cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert json.loads(done.stderr) == expected, copied(code)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.relative_to(ROOT).as_posix())
def test_no_example_is_skipped_unseen(page):
    # A fence spelt otherwise (```py, ```python3, ```console, or a MyST code
    # directive such as ```{code-block} python) would not run.
    fences = re.findall(r"^```(\S*)", page.read_text(encoding="utf-8"), re.M)
    assert {f for f in fences if not f.startswith("{")} <= {"", "python", "pycon", "text", "sh"}
    assert not {f for f in fences if f.startswith("{")} & {
        "{code}", "{code-block}", "{code-cell}", "{sourcecode}", "{doctest}"}
