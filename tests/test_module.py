import ast
import importlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import orbelon_core

DOC = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff"


def test_docstring():
    assert orbelon_core.__doc__ == DOC


# Each licence file a build carries, with a phrase of its text: the project's
# own, and the notices of what the release wheels link in statically.
LICENCES = {
    "LICENSE": "MIT License",
    "LICENSES/pybind11/LICENSE": "Redistribution and use in source and binary forms",
    "LICENSES/libcxx/LICENSE.TXT": "The libc++ library is dual licensed",
    "LICENSES/libcxxabi/LICENSE.TXT": "The libc++abi library is dual licensed",
    "LICENSES/libunwind/LICENSE.TXT": "The libunwind library is dual licensed",
    "LICENSES/zig/LICENSE": "The MIT License (Expat)",
}


def test_installed_metadata():
    # What pip shows and what a wheel must carry: the licence texts
    # themselves, and an expression that covers them. (The version is
    # pyproject.toml's; the docstring's text stays as it is.)
    dist = importlib.metadata.distribution("orbelon_core")
    assert dist.metadata["License-Expression"] == "MIT AND BSD-3-Clause AND Apache-2.0 WITH LLVM-exception"
    assert dist.metadata["Author"] == "The orbelon_core developers"
    files = {"/".join(f.parts[f.parts.index("licenses") + 1:]): f
             for f in dist.files if "licenses" in f.parts}
    assert set(files) == set(LICENCES)
    for name, phrase in LICENCES.items():
        assert phrase in files[name].read_text(encoding="utf-8"), name


@pytest.mark.parametrize("name", ["Scalar", "Vec3", "Solver"])
def test_class_identity(name):
    cls = getattr(orbelon_core, name)
    assert cls.__module__ == "orbelon_core"
    assert cls.__qualname__ == name


def test_instances_take_no_new_attributes():
    with pytest.raises(AttributeError):
        orbelon_core.Scalar(1.0).colour = "red"


def test_reload_and_reimport_keep_the_same_objects():
    scalar = orbelon_core.Scalar
    assert importlib.reload(orbelon_core) is orbelon_core
    assert orbelon_core.Scalar is scalar
    del sys.modules["orbelon_core"]
    try:
        again = importlib.import_module("orbelon_core")
        assert again is orbelon_core
        assert again.Scalar is scalar
    finally:
        sys.modules["orbelon_core"] = orbelon_core


def _machine(exe):
    """The ELF machine field of an executable: an emulated interpreter's differs."""
    with open(str(exe), "rb") as f:
        return f.read(20)[18:20]


def _other_interpreters():
    """Interpreters of another minor version than the one the module was built
    for, on the same machine."""
    built = "%d.%d" % sys.version_info[:2]
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    found = {}
    for exe in sorted(root.glob("versions/3.*/bin/python3.*")):
        minor = exe.parent.parent.name.rsplit(".", 1)[0]
        if (exe.name == "python" + minor and minor != built and int(minor.split(".")[1]) > 8
                and _machine(exe) == _machine(sys.executable)):
            found[minor] = exe
    return list(found.values())


def test_version_guard_refuses_other_interpreters(tmp_path):
    others = _other_interpreters()
    if not others:
        pytest.skip("no other interpreter under pyenv")
    built = "%d.%d" % sys.version_info[:2]
    # The file name carries the build's ABI tag; a plain ".so" is what any
    # interpreter will try to load.
    (tmp_path / "orbelon_core.so").write_bytes(pathlib.Path(orbelon_core.__file__).read_bytes())
    # Resolve the C API lazily, as a loader may: the guard runs before any
    # function that the other interpreter lacks (those of a newer C API) is
    # called, and it is the guard that must refuse the module.
    code = (
        "import os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        "try:\n"
        "    import orbelon_core\n"
        "except ImportError as e:\n"
        "    print(repr(str(e))); print(repr(sys.version))\n"
        "else:\n"
        "    print('imported')\n"
    )
    out = subprocess.run([str(others[-1]), "-c", code], cwd=str(tmp_path),
                         capture_output=True, text=True, check=True).stdout.splitlines()
    message, version = (ast.literal_eval(line) for line in out)
    assert message == (
        "Python version mismatch: module was compiled for Python %s, but the interpreter "
        "version is incompatible: %s." % (built, version))
    assert sysconfig.get_config_var("EXT_SUFFIX") in orbelon_core.__file__
