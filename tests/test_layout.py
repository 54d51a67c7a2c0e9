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


# Every way to copyreg's reduction for protocols 0 and 1, which, given the
# library's base, could only abort.
PICKLES = ["pickle.dumps(x, 0)", "pickle.dumps(x, 1)", "x.__reduce_ex__(0)", "x.__reduce_ex__(1)",
           "pickle.loads(pickle.dumps(x, 0))", "pickle.loads(pickle.dumps(x, 1))", "x.__reduce__()",
           "object.__reduce_ex__(x, 1)", "object.__reduce__(x)", "copyreg._reduce_ex(x, 1)", "x"]


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("value", ["Scalar(1.0, 2.0)", "Vec3(1.0, 2.0, 3.0)", "type('S', (Scalar,), {})(1.0)",
                                   "Solver.__new__(Solver)"])
def test_old_pickle_protocols_raise_or_work(value, build, request, second_module):
    setup = "import copyreg, pickle\nfrom orbelon_core import Scalar, Solver, Vec3\nx = %s\n" % value
    outcomes, _ = run_world(setup, PICKLES, paths(build, request, second_module))
    bad = [(case, o) for case, o in zip(PICKLES + ["(the interpreter's exit)"], outcomes)
           if o[0] == "crash" or (o[0] == "raise" and o[1] != "builtins.TypeError")]
    assert not bad, bad


# Python classes deriving from more than one bound class hold one value per
# bound class; CPython judges their layouts by the first base alone. Every pair
# here is refused, by every route to the assignment, and the instance stays
# what it was; the last pair (both sides holding exactly a Scalar) is the one
# swap that goes through. Through the class, the class's own __class__ refuses
# it in CPython's words; CPython's own setter, reached past it, refuses it
# itself, since the deallocators differ.
MIXED = '''
import gc
from orbelon_core import Scalar, Vec3
from secondmod import Label
class SV(Scalar, Vec3): pass
class VS(Vec3, Scalar): pass
class V(Vec3): pass
class S(Scalar): pass
class SL(Scalar, Label): pass
class S2(Scalar): pass
class Mixin:
    __class__ = object.__dict__["__class__"]
def made(cls):
    obj = cls.__new__(cls)
    for base in cls.__mro__:
        if base in (Scalar, Vec3):
            base.__init__(obj, 1.5)
        elif base is Label:
            base.__init__(obj, "text")
    return obj
def unguarded(obj):  # the classes' own __class__ taken out of their dictionaries
    for cls in type(obj).__mro__[:-1]:
        for d in gc.get_referents(vars(cls)):
            if isinstance(d, dict):
                d.pop("__class__", None)
        cls._unguarded = None  # tells CPython that the class changed
        del cls._unguarded
    return obj
def mixed_in(obj):  # an instance of a class that finds object's __class__ first
    new = type(obj).__name__ + "M"
    globals()[new] = type(new, (Mixin, type(obj)), {{}})
    return made(globals()[new])
obj = {route}(made({old}))
try:
    {assign}
    swapped = type(obj).__name__
except TypeError as e:
    swapped = str(e)
'''
ROUTES = {
    "through the class": ("", "obj.__class__ = {new}"),
    "by object's setter": ("", "object.__dict__['__class__'].__set__(obj, {new})"),
    "with a mixin's": ("mixed_in", "obj.__class__ = {new}"),
    "with the guard taken out": ("unguarded", "obj.__class__ = {new}"),
}
SWAPS = [
    ("SV", "V", "__class__ assignment: 'V' object layout differs from 'SV'"),
    ("V", "SV", "__class__ assignment: 'SV' object layout differs from 'V'"),
    ("VS", "V", "__class__ assignment: 'V' object layout differs from 'VS'"),
    ("SV", "VS", "__class__ assignment: 'VS' object layout differs from 'SV'"),
    ("S", "SL", "__class__ assignment: 'SL' object layout differs from 'S'"),
    ("SL", "S", "__class__ assignment: 'S' object layout differs from 'SL'"),
    ("S", "V", "__class__ assignment: 'V' object layout differs from 'S'"),
    ("Scalar", "Vec3", "__class__ assignment: 'orbelon_core.Vec3' object layout differs from 'orbelon_core.Scalar'"),
    ("Vec3", "Scalar", "__class__ assignment: 'orbelon_core.Scalar' object layout differs from 'orbelon_core.Vec3'"),
    ("S", "S2", "S2"),
]


@pytest.mark.parametrize("build", ["installed", "plain"])
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("old, new, swapped", SWAPS)
def test_no_class_swap_between_different_bound_types(old, new, swapped, route, build, request, second_module):
    wrap, assign = ROUTES[route]
    setup = MIXED.format(old=old, route=wrap, assign=assign.format(new=new))
    cases = ["swapped", "repr(obj)", "obj.val if isinstance(obj, Scalar) else obj.x", "del obj; gc.collect() >= 0"]
    outcomes, _ = run_world(setup, cases, paths(build, request, second_module))
    assert [o[0] for o in outcomes] == ["ok"] * 4, outcomes
    if route == "through the class" or swapped == new:
        assert outcomes[0] == outcome_of(swapped)
    else:
        assert outcomes[0][1][1].startswith("__class__ assignment: "), outcomes[0]
