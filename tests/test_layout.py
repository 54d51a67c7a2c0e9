"""No object takes the class of another module's object, and protocols 0 and
1 of pickle never bring the interpreter down: in the installed build and in
the plain bindings.

Every class of the binding library has the library's one instance layout
while the C++ values behind them differ, so CPython alone would let
`obj.__class__ = Other` through between orbelon_core's classes and those of
any other module on the library (tests/second_module); the methods would
then read a value of the wrong type. The old pickle protocols reduce through
copyreg, which builds the instance's nearest non-heap base from it. Each
case runs in a child interpreter of its own, where a crash is an outcome.
"""
import itertools

import pytest

from builds import run_world

OURS = {"Scalar": "1.5, -2.0", "Vec3": "1.5, -2.0, 4.0"}
THEIRS = {"Label": "'kept'", "Pair": "1.5, -2.0"}
# Python subclasses that add nothing to the layout (__slots__ = ()) or a
# __dict__ and weak references on both sides: CPython compares what lies below.
SUBCLASSES = {"the classes": "", "subclasses with __slots__ = ()": "__slots__ = ()",
              "subclasses with a __dict__": "pass"}

SWAP = '''
import gc
from orbelon_core import Scalar, Vec3
from secondmod import Label, Pair
Mine, Theirs = {ours}, {theirs}
{subclasses}
mine, theirs = Mine({mine_args}), Theirs({theirs_args})
classes = type(mine), type(theirs)
before = repr(mine), repr(theirs)
obj, cls = {swap}
try:
    obj.__class__ = cls
    swapped = "swapped"
except TypeError:
    swapped = "TypeError"
'''
AFTER_SWAP = ["swapped", "(type(mine), type(theirs)) == classes", "(repr(mine), repr(theirs)) == before",
              "isinstance(mine + mine, (Scalar, Vec3)) and isinstance(theirs + theirs, (Label, Pair))",
              "del mine, theirs, obj; gc.collect() >= 0"]


def paths(build, request, second_module):
    return ([request.getfixturevalue("plain_build")] if build == "plain" else []) + [second_module]


def outcome_of(value):
    return ["ok", [type(value).__module__ + "." + type(value).__name__, str(value)]]


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("subclasses", SUBCLASSES)
@pytest.mark.parametrize("ours, theirs, direction", [
    combo + (d,) for combo in itertools.product(OURS, THEIRS) for d in ("to", "from")])
def test_no_class_swap_with_another_module(ours, theirs, direction, subclasses, build, request, second_module):
    body = SUBCLASSES[subclasses]
    setup = SWAP.format(
        ours=ours, theirs=theirs, mine_args=OURS[ours], theirs_args=THEIRS[theirs],
        subclasses="class Mine(Mine): %s\nclass Theirs(Theirs): %s" % (body, body) if body else "",
        swap="mine, type(theirs)" if direction == "to" else "theirs, type(mine)")
    outcomes, _ = run_world(setup, AFTER_SWAP, paths(build, request, second_module))
    expected = [outcome_of("TypeError")] + [outcome_of(True)] * 4
    assert outcomes == expected, list(zip(AFTER_SWAP + ["(the interpreter's exit)"], outcomes))


PICKLES = ["pickle.dumps(x, 0)", "pickle.dumps(x, 1)", "x.__reduce_ex__(0)", "x.__reduce_ex__(1)",
           "pickle.loads(pickle.dumps(x, 0))", "pickle.loads(pickle.dumps(x, 1))", "x"]


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("value", ["Scalar(1.0, 2.0)", "Vec3(1.0, 2.0, 3.0)"])
def test_old_pickle_protocols_raise_or_work(value, build, request, second_module):
    setup = "import pickle\nfrom orbelon_core import Scalar, Vec3\nx = %s\n" % value
    outcomes, _ = run_world(setup, PICKLES, paths(build, request, second_module))
    bad = [(case, o) for case, o in zip(PICKLES + ["(the interpreter's exit)"], outcomes)
           if o[0] == "crash" or (o[0] == "raise" and o[1] != "builtins.TypeError")]
    assert not bad, bad


# Python classes deriving from more than one bound class hold one value per
# bound class; CPython judges their layouts by the first base alone. Every pair
# here is refused, and the instance stays what it was; the last pair (both
# sides holding exactly a Scalar) is the one swap that goes through.
MIXED = '''
from orbelon_core import Scalar, Vec3
from secondmod import Label
class SV(Scalar, Vec3): pass
class VS(Vec3, Scalar): pass
class V(Vec3): pass
class S(Scalar): pass
class SL(Scalar, Label): pass
class S2(Scalar): pass
def made(cls):
    obj = cls.__new__(cls)
    for base in cls.__mro__[1:]:
        if base in (Scalar, Vec3):
            base.__init__(obj, 1.5)
        elif base is Label:
            base.__init__(obj, "text")
    return obj
obj = made({old})
try:
    obj.__class__ = {new}
    swapped = type(obj).__name__
except TypeError as e:
    swapped = str(e)
'''


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("old, new, swapped", [
    ("SV", "V", "__class__ assignment: 'V' object layout differs from 'SV'"),
    ("V", "SV", "__class__ assignment: 'SV' object layout differs from 'V'"),
    ("VS", "V", "__class__ assignment: 'V' object layout differs from 'VS'"),
    ("SV", "VS", "__class__ assignment: 'VS' object layout differs from 'SV'"),
    ("S", "SL", "__class__ assignment: 'SL' object layout differs from 'S'"),
    ("SL", "S", "__class__ assignment: 'S' object layout differs from 'SL'"),
    ("S", "V", "__class__ assignment: 'V' object layout differs from 'S'"),
    ("S", "S2", "S2"),
])
def test_no_class_swap_between_different_bound_types(old, new, swapped, build, request, second_module):
    cases = ["swapped", "repr(obj)", "obj.val if isinstance(obj, Scalar) else obj.x"]
    outcomes, _ = run_world(MIXED.format(old=old, new=new), cases, paths(build, request, second_module))
    assert outcomes[0] == outcome_of(swapped)
    assert [o[0] for o in outcomes] == ["ok"] * 3, outcomes
