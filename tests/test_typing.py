"""The type stubs shipped in the wheel: true to the module, and found by type checkers.

The module's classes are built by the binding library, which gives them no
Python-readable signatures, so stubtest can only check which names exist.
The signatures themselves are checked here against the lines the binding
library generates in each method's __doc__.
"""
import ast
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import orbelon_core

HERE = pathlib.Path(__file__).resolve().parent
STUBS = pathlib.Path(orbelon_core.__file__).parent / "orbelon_core-stubs"


def run(args, cwd):
    return subprocess.run(args, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


def test_stubtest_passes(tmp_path):
    pytest.importorskip("mypy.stubtest")
    done = run([sys.executable, "-m", "mypy.stubtest", "orbelon_core",
                "--allowlist", str(HERE / "stubtest_allowlist.txt")], tmp_path)
    assert done.returncode == 0, done.stdout


# The binding library's spelling of a parameter type, and the stubs' for it.
# Its int caster advertises SupportsInt: it refuses a float but takes
# anything else int() takes, truncating a Fraction or a Decimal. The stubs
# promise what is meant, an int or an index, so a checker flags the rest.
STUB_TYPE = {
    "typing.SupportsFloat | typing.SupportsIndex": "float | SupportsFloat | SupportsIndex",
    "typing.SupportsInt | typing.SupportsIndex": "int | SupportsIndex",
    "collections.abc.Callable": "Callable[[float], float | SupportsFloat | SupportsIndex]",
    "list[float]": "List[float]",
}


def runtime_overloads(func):
    """[(params, return)] from the generated __doc__; params as (name, type, default)."""
    found = []
    for params, returns in re.findall(r"^(?:\d+\. )?\w+\((.*)\) -> (.*)$", func.__doc__, re.M):
        params = [re.match(r"(\w+): ([^=]+?)(?: = (.+))?$", p).groups()
                  for p in re.split(r", (?=\w+: )", params)]
        found.append(([p for p in params if p[0] != "self"], returns))
    return found


def stub_overloads(func, source):
    """The same shape from one stub definition; a positional-only name reads as arg<i>."""
    args = func.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = []
    for arg, default in zip(positional, defaults):
        if arg.arg != "self":
            name = "arg%d" % len(params) if arg in args.posonlyargs else arg.arg
            params.append((name, ast.get_source_segment(source, arg.annotation),
                           default and ast.get_source_segment(source, default)))
    return params, ast.get_source_segment(source, func.returns)


@pytest.mark.parametrize("name", ["Scalar", "Vec3", "Solver"])
def test_stub_signatures_match_the_module(name):
    source = (STUBS / "__init__.pyi").read_text(encoding="utf-8")
    cls = next(node for node in ast.parse(source).body
               if isinstance(node, ast.ClassDef) and node.name == name)
    assert ast.get_docstring(cls)
    methods = {}
    for node in cls.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = [ast.get_source_segment(source, d) for d in node.decorator_list]
        if any(d.endswith(".setter") for d in decorators):
            continue  # documented on its getter
        assert ast.get_docstring(node), "%s.%s has no docstring" % (name, node.name)
        if "property" not in decorators:
            methods.setdefault(node.name, []).append(stub_overloads(node, source))
    runtime = getattr(orbelon_core, name)
    for method, overloads in methods.items():
        expected = [([(n, STUB_TYPE.get(t, t.replace("orbelon_core.", "")), d) for n, t, d in params],
                     STUB_TYPE.get(r, r.replace("orbelon_core.", "")))
                    for params, r in runtime_overloads(getattr(runtime, method))]
        assert overloads == expected, method
    # Every bound method has a stub, except the binding library's own conduit,
    # Solver's placeholder constructor and __new__, CPython's own wrapper
    # (the constructor's signature is __init__'s).
    bound = {k for k, v in vars(runtime).items() if callable(v) or isinstance(v, staticmethod)}
    assert bound - set(methods) <= {"_pybind11_conduit_v1_", "__init__", "__new__"}


# Checked by both type checkers from a directory outside the source tree, so
# that they can only find the stubs in the installed wheel. Each reveal_type
# names the type it must show; lines marked "error" must be reported, and no
# other line may be.
SNIPPET = '''\
import math

import orbelon_core
from orbelon_core import Constants, Scalar, Solver, Vec3
from orbelon_core.Constants import g

x = Scalar(3.0, d=1.0)
reveal_type(Scalar(1.0) * 2)  # Scalar
reveal_type(2 - x.sin() / x)  # Scalar
reveal_type(x ** Scalar(2.0))  # Scalar
reveal_type(x.val)  # float
reveal_type(x < x)  # bool
v = Vec3(1, 2, z=3)
reveal_type(v[0])  # float
reveal_type(v * x - v.cross(v))  # Vec3
reveal_type(v.to_list())  # List[float]
reveal_type(Solver.root_newton(lambda t: Scalar(t).sin(), x0=3))  # float
reveal_type(Constants.g * g * orbelon_core.Constants.pi)  # float
x.val = 2
v[2] = x
a = x * "2"  # error
b = 2 * v  # error
c = v * v  # error
d = abs(x)  # error
e = x.pow(n=2)  # error
f = v[1.0]  # error
h = Solver.integrate(lambda t: str(t), 0, 1)  # error
i = Solver.integrate(math.sin, 0, 1, n=2.0)  # error
'''


def expectations():
    reveals, errors = {}, set()
    for number, line in enumerate(SNIPPET.splitlines(), 1):
        if line.startswith("reveal_type("):
            reveals[number] = line.rsplit("# ", 1)[1]
        elif line.endswith("# error"):
            errors.add(number)
    return reveals, errors


def plain(type_name):
    """A revealed type without module prefixes: orbelon_core.Scalar -> Scalar."""
    return re.sub(r"\b(?:builtins|orbelon_core)\.", "", type_name).replace("list[", "List[")


def checker(module):
    """The command that runs a type checker: from the environment that
    ORBELON_TYPECHECK_PYTHON names (scripts/dev.sh keeps one for all
    interpreters), else from this interpreter. Either way it is pointed at
    this interpreter, so it checks against the stubs installed here."""
    python = os.environ.get("ORBELON_TYPECHECK_PYTHON")
    if not python:
        pytest.importorskip(module)
    return [python or sys.executable, "-m", module]


def mypy_diagnostics(tmp_path):
    done = run(checker("mypy") + [
        "--python-executable", sys.executable, "--python-version", "%d.%d" % sys.version_info[:2],
        "--strict", "--no-incremental", "--no-error-summary", "--hide-error-context", "snippet.py",
    ], tmp_path)
    reveals, errors = {}, set()
    for line, kind, message in re.findall(r"^snippet\.py:(\d+): (\w+): (.*)$", done.stdout, re.M):
        revealed = re.match(r'Revealed type is "(.*)"$', message)
        if revealed:
            reveals[int(line)] = plain(revealed.group(1))
        elif kind == "error":
            errors.add(int(line))
    return reveals, errors


def basedpyright_diagnostics(tmp_path):
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    done = subprocess.run(checker("basedpyright") + [
        "--outputjson", "--pythonpath", sys.executable, "snippet.py",
    ], cwd=str(tmp_path), stdout=subprocess.PIPE, universal_newlines=True)
    reveals, errors = {}, set()
    for diagnostic in json.loads(done.stdout)["generalDiagnostics"]:
        line = diagnostic["range"]["start"]["line"] + 1
        revealed = re.match(r'Type of ".*" is "(.*)"$', diagnostic["message"])
        if revealed:
            reveals[line] = plain(revealed.group(1))
        elif diagnostic["severity"] == "error":
            errors.add(line)
    return reveals, errors


@pytest.mark.parametrize("diagnose", [mypy_diagnostics, basedpyright_diagnostics],
                         ids=["mypy", "basedpyright"])
def test_type_checkers_use_the_installed_stubs(diagnose, tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET)
    assert diagnose(tmp_path) == expectations()
