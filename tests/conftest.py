"""Suite-wide options and builds: `--long` turns the quick proofs into the
full ones; `plain_build`, `stock_build` and `second_module` are the builds
the suite makes for itself (tests/builds.py).

Without it the property tests draw a fixed, derandomized set of examples and
the leak tests make 2*10^4 calls per operation, so the suite stays fast and
repeatable. With it the property tests draw fresh random examples, 10^6
comparisons in all, and the leak tests make 10^6 calls per operation.
"""
import gzip
import os
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

import builds
from helpers import tally

settings.register_profile(
    "quick", derandomize=True, database=None, deadline=None, max_examples=100,
    print_blob=True)
settings.register_profile(
    "long", database=None, deadline=None, max_examples=20000, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow])


def pytest_addoption(parser):
    parser.addoption("--long", action="store_true",
                     help="run the long proofs: 10^6 compared cases, 10^6 calls per leak check")


def pytest_configure(config):
    settings.load_profile("long" if config.getoption("--long") else "quick")


def pytest_report_header():
    """Which interpreter ran, down to its build: Debian's interpreters
    (scripts/debian-python.sh) are not pinned, so their package's revision
    is named too."""
    debug = ", debug build" if hasattr(sys, "gettotalrefcount") else ""
    lines = ["interpreter: %s%s" % (" ".join(sys.version.split()), debug)]
    changelog = Path(sys.base_prefix, "share/doc/python%d.%d/changelog.Debian.gz" % sys.version_info[:2])
    if changelog.exists():
        with gzip.open(str(changelog), "rt") as f:
            lines.append("Debian package: " + f.readline().split(";")[0])
    return lines


@pytest.fixture(scope="session")
def long_run(request):
    return request.config.getoption("--long")


@pytest.fixture(scope="session")
def plain_build():
    """A build of these sources with the fast paths off, made once per source state.

    ORBELON_PLAIN_BUILD names one made elsewhere instead: the wheels are tested
    against a plain build by the same compiler, since two compilers may give a
    NaN different signs (docs/wheels.md)."""
    if os.environ.get("ORBELON_PLAIN_BUILD"):
        return Path(os.environ["ORBELON_PLAIN_BUILD"])
    target = builds.plain_build()
    if target is None:
        pytest.skip("no sources here to build the plain bindings from (a wheel under test)")
    return target


@pytest.fixture(scope="session")
def stock_build():
    """The tables bound by the library alone (tests/stock_module), built once
    per source state.

    ORBELON_STOCK_BUILD names one made elsewhere instead, as the wheel round
    trip does, by the wheel's own compiler."""
    if os.environ.get("ORBELON_STOCK_BUILD"):
        return Path(os.environ["ORBELON_STOCK_BUILD"])
    target = builds.stock_build()
    if target is None:
        pytest.skip("no sources here to build the stock binding from (a wheel under test)")
    return target


@pytest.fixture(scope="session")
def second_module():
    """The directory of the second module (tests/second_module), built once.

    ORBELON_SECOND_MODULE names one made elsewhere instead, as the release does
    for a wheel it tests under emulation, where no compiler runs."""
    if os.environ.get("ORBELON_SECOND_MODULE"):
        return Path(os.environ["ORBELON_SECOND_MODULE"])
    return builds.second_module()


def pytest_terminal_summary(terminalreporter):
    if tally["compared"]:
        terminalreporter.write_line(
            "compared with the model: %(compared)d cases, %(mismatched)d mismatched" % tally)
