"""Bit-level comparison of doubles: the module's results are exact."""
import math
import struct


def bits(x):
    return struct.pack("<d", x)


def same(x, y):
    """True when x and y are the same double, sign of zero included.

    Any two NaNs count as the same: their payload is not part of the contract.
    """
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return bits(x) == bits(y)


def assert_scalar(s, val, d):
    assert same(s.val, val) and same(s.d, d), (s.val, s.d, val, d)


def assert_vec(v, x, y, z):
    got = (v.x, v.y, v.z)
    assert all(same(a, b) for a, b in zip(got, (x, y, z))), (got, (x, y, z))


def agree(x, y):
    """Same type and value; floats as by same(), lists and tuples item by item."""
    if type(x) is float and type(y) is float:
        return same(x, y)
    if isinstance(x, (tuple, list)) and type(x) is type(y):
        return len(x) == len(y) and all(agree(a, b) for a, b in zip(x, y))
    return type(x) is type(y) and x == y


# Counts of the model comparisons made in this run, for the summary line.
tally = {"compared": 0, "mismatched": 0}


class Num:
    """A number-like object that only knows __float__."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Half(float):
    """A float subclass: accepted only in the converting pass."""
