import importlib
import math
import sys

import pytest

from helpers import bits
import orbelon_core
from orbelon_core import Constants

TABLE = [
    ("pi", "400921FB54442D18"),
    ("e", "4005BF0A8B145769"),
    ("phi", "3FF9E3779B97F4A8"),
    ("gamma", "3FE2788CFC6FB611"),
    ("c", "41B1DE784A000000"),
    ("h", "390B860BDE023111"),
    ("k", "3B30B0E6D55E647C"),
    ("Na", "44DFE185CA57C517"),
    ("g", "40239D013A92A305"),
]


@pytest.mark.parametrize("name, hexbits", TABLE)
def test_exact_bits(name, hexbits):
    value = getattr(Constants, name)
    assert type(value) is float
    assert bits(value)[::-1].hex().upper() == hexbits


def test_values_as_users_know_them():
    assert Constants.pi == math.pi and Constants.e == math.e
    assert Constants.phi == (1 + 5 ** 0.5) / 2
    assert Constants.gamma == 0.577215664901532 != 0.5772156649015329
    assert Constants.c == 299792458.0
    assert (Constants.h, Constants.k, Constants.Na, Constants.g) == \
        (6.62607015e-34, 1.380649e-23, 6.02214076e+23, 9.80665)


def test_attribute_order():
    names = [n for n in vars(Constants) if not n.startswith("__")]
    assert names == [name for name, _ in TABLE]


def test_submodule_identity():
    assert Constants.__doc__ is None
    assert Constants.__name__ == "orbelon_core.Constants"
    assert Constants.__file__ == orbelon_core.__file__
    assert sys.modules["orbelon_core.Constants"] is Constants
    import orbelon_core.Constants as again
    from orbelon_core.Constants import Na
    assert again is Constants and Na == 6.02214076e+23


def test_user_assignment_survives_reload():
    saved = Constants.g
    try:
        Constants.g = 10.0
        importlib.reload(orbelon_core)
        assert orbelon_core.Constants is Constants and Constants.g == 10.0
    finally:
        Constants.g = saved


def test_module_attribute_order():
    names = [n for n in vars(orbelon_core) if not n.startswith("__")]
    assert names == ["Scalar", "Vec3", "Solver", "Constants"]
    keys = list(vars(orbelon_core))
    assert keys.index("__doc__") < keys.index("Scalar")
