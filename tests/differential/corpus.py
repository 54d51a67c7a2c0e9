"""The corpus of the differential test: every way a program can reach the
module, as Python source, grouped into worlds.

A world is setup code plus cases; each world runs in an interpreter of its
own, so what one world does to the classes (patching, deleting, subclassing)
cannot leak into another. Cases are built from tables of operands and
operations; the quick corpus is a fixed sample of the full one.
"""
import itertools
import random
import re
import sys
import textwrap
from pathlib import Path

import second

PRELUDE = '''
import copy, gc, math, operator, pickle
from decimal import Decimal
from fractions import Fraction
import orbelon_core
from orbelon_core import Scalar, Vec3, Solver

class F(float): pass
class I(int): pass
class OnlyFloat:
    def __init__(self, v): self.v = v
    def __float__(self): return self.v
class OnlyIndex:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v
class OnlyInt:
    def __int__(self): return 5
class BadFloat:
    def __float__(self): raise ValueError("no float here")
class BadIndex:
    def __index__(self): raise ZeroDivisionError("no index here")
class WrongFloat:
    def __float__(self): return "not a float"
class IF(int):  # an int whose float is not its value: no plain int
    def __float__(self): return 0.5

class SubS(Scalar): pass
class SubV(Vec3): pass
class SlotS(Scalar): __slots__ = ()
class SlotV(Vec3): __slots__ = ("extra",)
class OpS(Scalar):
    def __add__(self, o): return ("OpS.add", float(self))
    def __radd__(self, o): return ("OpS.radd", float(self))
    def __rmul__(self, o): return NotImplemented
    def __neg__(self): return "OpS.neg"
class NewS(Scalar):
    def __new__(cls, *args, **kwargs): return super().__new__(cls)
class InitS(Scalar):
    def __init__(self, v, d=0.0):
        super().__init__(v * 2, d)
        self.tag = "init"
class TwiceS(Scalar):
    def __init__(self, *args):
        super().__init__(*args)
        super().__init__(7.0, 7.0)
class Both(Vec3, Scalar):
    def __init__(self, x=1.0, d=2.0):
        Vec3.__init__(self, x, x, x)
        Scalar.__init__(self, x, d)
class Tagged(Scalar):
    def __new__(cls, *args): return super().__new__(cls)
    def __getstate__(self): return (self.val, self.d)
    def __setstate__(self, state): Scalar.__init__(self, *state)
'''

# Only the operands need numpy; the other worlds start without it, which
# halves the start of their interpreters.
WITH_NUMPY = '''
try:
    import numpy as np
except ImportError:
    np = None
'''

NUMBERS = ["2.0", "-0.0", "0.0", "1e-10", "math.inf", "-math.inf", "math.nan", "-math.nan", "3", "0",
           "-7", "True", "10**400", "-(2**70)", "2**31", "F(2.5)", "I(3)", "IF(3)", "Fraction(1, 3)",
           "Decimal('2.5')", "OnlyFloat(1.5)", "OnlyIndex(4)", "OnlyInt()", "BadFloat()", "BadIndex()",
           "WrongFloat()", "None", "'x'", "[1.0]", "(1, 2, 3)", "np and np.float64(2.0)",
           "np and np.int64(3)"]
SCALARS = ["Scalar(2.0, 1.0)", "Scalar(-0.0, 3.0)", "Scalar(math.inf, 1.0)", "Scalar(math.nan, -1.0)",
           "Scalar(-math.nan, math.nan)", "Scalar(1e-10, 1.0)", "Scalar(1e-9, -1.0)", "Scalar(-7.5)",
           "SubS(3.0, 1.0)", "SlotS(2.0, 2.0)", "OpS(1.0, 2.0)", "NewS(1.5, 1.0)", "InitS(1.0, 1.0)",
           "TwiceS(1.0, 3.0)", "Both(2.0, 1.0)", "Tagged(1.0, 1.0)"]
# (1, 1, 1) against itself and its opposite: the cosine rounds to just past
# 1 and -1, where angle's clamp decides.
VECTORS = ["Vec3(1, 2, 3)", "Vec3()", "Vec3(-0.0, math.inf, math.nan)", "Vec3(1e200, 1e-170, 3)",
           "Vec3(3, 4, 0)", "Vec3(1, 1, 1)", "Vec3(-1, -1, -1)", "SubV(4, 5, 6)", "SlotV(1, 0, 0)"]
OPERANDS = SCALARS + VECTORS + NUMBERS
# The long corpus adds the edges of the arithmetic itself.
MORE_NUMBERS = ["1e-9", "-1e-9", "5e-324", "1e308", "2**53 + 1", "-1", "0.5", "F(-0.0)", "I(-5)", "2**63",
                "1.5", "-2.5", "1e-300", "-1e300", "Fraction(-7, 2)", "Decimal('-0')", "F(math.inf)",
                "OnlyFloat(math.nan)", "np and np.float32(1.5)"]
MORE_SCALARS = ["Scalar(0.0, 1.0)", "Scalar(1.5707963267948966, 1.0)", "Scalar(-1e-300, 1.0)",
                "Scalar(1e308, 1e308)", "Scalar(-8.0, 1.0)", "SubS(-0.0, -0.0)"]
MORE_VECTORS = ["Vec3(1e-170, 0, 0)", "Vec3(1, -1, 0)", "SubV(0, 0, 0)"]
INDICES = ["0", "1", "2", "3", "-1", "2**31", "-(2**31) - 1", "True", "1.0", "'1'", "OnlyIndex(2)",
           "BadIndex()", "None"]

BINARY = ["a + b", "a - b", "a * b", "a / b", "a ** b", "a // b", "a % b", "a @ b", "a == b", "a != b",
          "a < b", "a <= b", "a > b", "a >= b", "pow(a, b, 3)", "divmod(a, b)"]
IN_PLACE = ["a += b", "a -= b", "a *= b", "a /= b", "a **= b"]
UNARY = ["-a", "+a", "abs(a)", "float(a)", "int(a)", "repr(a)", "str(a)", "hash(a) == object.__hash__(a)",
         "bool(a)", "len(a)", "list(a)", "a.val", "a.d", "a.x", "a.y", "a.z", "a.__dict__", "copy.copy(a)",
         "pickle.loads(pickle.dumps(a))", "a.to_list()", "a.magnitude()", "a.normalize()"]
ITEMS = ["9.5", "7", "10**400", "'x'", "OnlyFloat(1.0)", "Scalar(3.0, 1.0)"]


def surface():
    """(kind, name) of each class's members, in the order of its table in
    src/python/rules.hpp, so that a row added there is compared with no edit
    here. Without the sources (a wheel under test) the installed module's
    class dictionaries say the same by the types of their entries."""
    rules = Path(__file__).resolve().parents[2] / "src" / "python" / "rules.hpp"
    tables = {"Scalar": "scalar_surface", "Vec3": "vec3_surface"}
    if rules.is_file():
        text = rules.read_text()
        found = {}
        for cls, table in tables.items():
            block = re.search(r"\b%s\{(.*?)\n\};" % table, text, re.S).group(1)
            found[cls] = re.findall(r'\b(Method|Field)<.*?>\{"(\w+)"\}', block, re.S)
    else:
        import orbelon_core
        kinds = {"method_descriptor": "Method", "field_descriptor": "Field"}
        found = {cls: [(kinds[type(v).__name__], name) for name, v in vars(getattr(orbelon_core, cls)).items()
                       if type(v).__name__ in kinds] for cls in tables}
    assert all(found.values()), "no members found for %r" % [cls for cls, rows in found.items() if not rows]
    return found


SURFACE = surface()
METHODS = {cls: [name for kind, name in rows if kind == "Method"] for cls, rows in SURFACE.items()}
FIELDS = {cls: [name for kind, name in rows if kind == "Field"] for cls, rows in SURFACE.items()}
# Each method is called with no argument and with one, whatever it takes;
# these with more as well.
MORE_ARGUMENTS = {"__setitem__": (INDICES, ITEMS)}
# The class dictionary's entry called directly, keywords included: the one
# way in that no attribute lookup or operator protocol goes through first.
ENTRY_CALLS = ["{e}({a})", "{e}(self={a})", "{e}({a}, {b})", "{e}(*({a}, {b}))", "{e}({a}, {b}, {b})",
               "{e}({a}, x={b})", "{e}({a}, other={b})", "{e}({a}, **{{'arg0': {b}}})"]
ENTRY_SELVES = ["Scalar(2.0, 1.0)", "Vec3(1, 2, 3)", "SubS(3.0, 1.0)", "SlotV(1, 0, 0)", "None"]
ENTRY_ARGUMENTS = ["2.0", "3", "IF(3)", "0", "Scalar(1.0, 1.0)", "Vec3(1, 1, 1)"]
CONSTRUCTORS = ["Scalar({b})", "Scalar({b}, {b})", "Scalar(val={b})", "Scalar(1.0, d={b})", "Scalar()",
                "Scalar({b}, {b}, {b})", "Scalar({b}, x=1)", "Vec3({b})", "Vec3({b}, {b})",
                "Vec3({b}, {b}, {b})", "Vec3()", "Vec3(y={b})", "Vec3({b}, {b}, {b}, {b})", "SubS({b})",
                "SubV({b}, 1)", "NewS({b})", "InitS({b})", "Scalar.__new__(Scalar)",
                "Vec3.__new__(SubV)", "Scalar.__new__(Vec3)"]


def base_cases(long=False):
    """Operations on fresh operands: a world that changes no class."""
    numbers = NUMBERS + MORE_NUMBERS if long else NUMBERS
    scalars = SCALARS + MORE_SCALARS if long else SCALARS
    vectors = VECTORS + MORE_VECTORS if long else VECTORS
    OPERANDS = scalars + vectors + numbers  # noqa: N806 - the same table, longer
    for a, b in itertools.product(OPERANDS, OPERANDS):
        if a in numbers and b in numbers:
            continue
        for op in BINARY:
            yield "a = %s; b = %s\n%s" % (a, b, op)
        for op in IN_PLACE:
            yield "a = %s; b = %s; c = a\n%s\n(a, b, c)" % (a, b, op)
        yield "a = %s; b = %s\na.__setattr__('val', b)\na" % (a, b)
    for a in scalars + vectors + numbers[:8]:
        for op in UNARY:
            yield "a = %s\n%s" % (a, op)
        for i in INDICES:
            yield "a = %s\na[%s]" % (a, i)
            for b in ITEMS:
                yield "a = %s\na[%s] = %s\na" % (a, i, b)
        yield "a = %s\ndel a[0]" % a
    selves = scalars + vectors + ["None", "2.0"]
    for cls, names in METHODS.items():
        for name in names:
            for a in OPERANDS:
                yield "%s.%s(%s)" % (cls, name, a)  # unbound, any self
            for a, b in itertools.product(selves, OPERANDS):
                yield "%s.%s(%s, %s)" % (cls, name, a, b)
            for a, args in itertools.product(selves, itertools.product(*MORE_ARGUMENTS.get(name, [[]]))):
                if args:
                    yield "%s.%s(%s)" % (cls, name, ", ".join((a,) + args))
            for form, a in itertools.product(ENTRY_CALLS, ENTRY_SELVES):
                entry = "%s.__dict__[%r]" % (cls, name)
                for b in ENTRY_ARGUMENTS if "{b}" in form else [None]:
                    yield form.format(e=entry, a=a, b=b)
    for cls, fields in FIELDS.items():
        for field, a, b in itertools.product(fields, scalars + vectors, OPERANDS):
            yield "a = %s\na.%s = %s\n(a.%s, a)" % (a, field, b, field)
            yield "%s.%s.__get__(%s)" % (cls, field, b)
        for field, a in itertools.product(fields, scalars + vectors):
            yield "a = %s\ndel a.%s" % (a, field)
    for ctor, b in itertools.product(CONSTRUCTORS, OPERANDS):
        yield ctor.replace("{b}", b)


# Worlds that change the classes, each with the cases that then probe them.
PROBES = ["Scalar(1.0, 1.0) + t", "t + Scalar(1.0, 1.0)", "Scalar(1.0, 1.0) * t", "t * 2.0", "2.0 * t",
          "Scalar(2.0, 1.0) - t", "3 - t", "t / Scalar(2.0, 1.0)", "1.0 / t", "t ** 2", "t ** t", "-t",
          "repr(t)", "float(t)", "t.val", "t.d", "t.sin()", "t.pow(2)", "t == Scalar(2.0)",
          "Vec3(1, 2, 3) + v", "v + Vec3(1, 2, 3)", "v * 2.0", "v / 2", "v[1]", "v.x", "repr(v)",
          "v.dot(Vec3(1, 1, 1))", "v.magnitude()",
          # Operators the classes do not define: a slot written into the wrong
          # field would answer one of these.
          "+t", "abs(t)", "~t", "int(t)", "round(t)", "-v", "+v", "abs(v)", "float(v)", "len(v)"]
WORLDS = {
    "operator assigned after the first instance": '''
class P(Scalar): pass
class W(Vec3): pass
t, v = P(2.0, 5.0), W(1, 2, 3)
P.__add__ = lambda s, o: Scalar.__add__(s, o)
W.__add__ = lambda s, o: Vec3.__add__(s, o)
P.__rmul__ = lambda s, o: ("P.rmul", o)
''',
    "__class__ assigned": '''
class P(Scalar): __slots__ = ()
class W(Vec3): __slots__ = ()
class Q(Scalar): pass
t, v = Q(2.0, 5.0), SubV(1, 2, 3)
swaps = []
for obj, cls in [(t, P), (t, SubS), (v, W), (v, SlotV), (Scalar(1.0), Vec3), (Vec3(), Scalar),
                 (Scalar(1.0), Solver), (Vec3(), W), (Scalar(1.0), P), (t, Vec3), (v, Q)]:
    try:
        obj.__class__ = cls
        swaps.append(type(obj).__name__)
    except TypeError as e:
        swaps.append(str(e))
''',
    "a diamond": '''
class N(Vec3, Scalar):
    def __init__(self, x=2.0, d=5.0):
        Vec3.__init__(self, x, x, x)
        Scalar.__init__(self, x, d)
t = v = N()
''',
    "operators patched and restored": '''
saved = Scalar.__add__, Scalar.__radd__, Vec3.__mul__
Scalar.__add__ = lambda s, o: ("patched add", type(o).__name__)
Vec3.__mul__ = lambda s, o: ("patched mul", o)
first = (Scalar(1.0) + 2.0, 2 + Scalar(1.0), Vec3() * 2)
Scalar.__add__, Scalar.__radd__, Vec3.__mul__ = saved
t, v = Scalar(2.0, 1.0), Vec3(1, 2, 3)
''',
    "operators deleted": '''
del Scalar.__radd__, Scalar.__rsub__, Vec3.__sub__
t, v = Scalar(2.0, 1.0), Vec3(1, 2, 3)
''',
    "field properties replaced": '''
seen = []
for i in range(6):
    Scalar.val = property(lambda s, i=i: float(i))
    seen.append(Scalar(9.0).val)
Vec3.x = property(lambda s: "x!")
t, v = Scalar(2.0, 1.0), Vec3(1, 2, 3)
''',
    "field properties deleted": '''
del Scalar.d, Vec3.y
t, v = Scalar(2.0, 1.0), Vec3(1, 2, 3)
''',
    "an instance that never got its value": '''
saved = Scalar.__init__, Vec3.__init__
Scalar.__init__ = lambda self, *a: None
Vec3.__init__ = lambda self, *a: None
t, v = type.__call__(Scalar, 1.0), type.__call__(Vec3, 1.0)
Scalar.__init__, Vec3.__init__ = saved
''',
    "a subclass that skips the base __init__": '''
kept = []
class P(Scalar):
    def __init__(self, *args): kept.append(self)
class W(Vec3):
    def __init__(self, *args): kept.append(self)
for cls in (P, W):
    try:
        cls(1.0)
    except TypeError:
        pass
t, v = kept
''',
    "__init__ and __new__ patched": '''
orig_init = Scalar.__init__
Scalar.__init__ = lambda self, *a: orig_init(self, 42.0)
orig_new = Vec3.__new__
Vec3.__new__ = lambda cls, *a: orig_new(cls)
made = []
for f in (lambda: Scalar(1.0, 2.0), lambda: Vec3(1, 2, 3)):
    try:
        made.append(f())
    except TypeError as e:
        made.append(str(e))
t, v = made
''',
    "the class deleted from the module": '''
sin, dot, S, V = Scalar.sin, Vec3.dot, Scalar, Vec3
del orbelon_core.Scalar, orbelon_core.Vec3, Scalar, Vec3
gc.collect()
class Z: pass
zs = [Z() for _ in range(100)]
Scalar, Vec3 = S, V
t, v = zs[0], zs[1]
''',
    "the library metaclass's __call__ deleted": '''
library = [m for m in type(Scalar).__mro__ if m.__name__ == "pybind11_type"][0]
del library.__call__
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "the metaclass used directly": '''
P = type(Scalar)("P", (Scalar,), {"__radd__": lambda s, o: ("P.radd", o)})
t, v = P(2.0, 5.0), type(Vec3)("W", (Vec3,), {})(1, 2, 3)
''',
    "the metaclass's bases changed": '''
calls = []
class Between(type(Scalar).__mro__[1]):
    def __call__(cls, *args, **kwargs):
        calls.append(cls.__name__)
        return super().__call__(*args, **kwargs)
type(Scalar).__bases__ = (Between,)
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "the metaclass's __call__ patched and restored": '''
from unittest import mock
with mock.patch.object(type(Scalar), "__call__", lambda cls, *a, **k: ("patched", cls.__name__)):
    during = [Scalar(1.0), Vec3(), Scalar(1.0, d=2.0)]
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "one-operand methods replaced, deleted and restored": '''
from unittest import mock
base = Scalar.__mro__[1]
saved = {c: {n: c.__dict__[n] for n in names} for c, names in
         [(Scalar, ("__neg__", "__float__", "__repr__")), (Vec3, ("__getitem__", "__setitem__", "__repr__"))]}
seen = []
def look():
    s, w = Scalar(2.0, 5.0), Vec3(1, 2, 3)
    for f in (lambda: -s, lambda: float(s), lambda: repr(s), lambda: w[1], lambda: w.__setitem__(0, 9.0),
              lambda: repr(w), lambda: w.x):
        try:
            seen.append(f())
        except Exception as e:
            seen.append((type(e).__name__, str(e)))
for cls, methods in saved.items():
    for name in methods:
        setattr(cls, name, lambda *a, name=name: ("replaced", name, len(a)))
look()
for cls, methods in saved.items():
    for name, method in methods.items():
        setattr(cls, name, method)
look()
del Scalar.__neg__, Vec3.__getitem__
look()
Scalar.__neg__, Vec3.__getitem__ = saved[Scalar]["__neg__"], saved[Vec3]["__getitem__"]
base.__neg__ = base.__getitem__ = lambda *a: "on the base"
look()
del base.__neg__, base.__getitem__
with mock.patch.object(Vec3, "__getitem__", lambda s, i: ("mocked", i)):
    look()
look()
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "the library metaclass's __call__ replaced after the import": '''
library = type(Scalar).__mro__[2]
original = library.__dict__["__call__"]
library.__call__ = lambda cls, *args, **kwargs: ("library patched", cls.__name__, args)
during = [Scalar(1.0), Vec3(1, 2), SubS(2.0)]
library.__call__ = original
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "another module's exception translator and implicit conversion": '''
import secondmod
secondmod.translate_runtime_errors()
secondmod.make_ints_convert_to(Scalar)
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
    "calls at the recursion limit": '''
import sys
def depth(f):
    n = [0]
    def down():
        n[0] += 1
        f()
        down()
    try:
        down()
    except RecursionError:
        pass
    return n[0]
sys.setrecursionlimit(300)
s, w = Scalar(2.0, 1.0), Vec3(1, 2, 3)
depths = [depth(f) for f in (lambda: s.sin(), lambda: s + s, lambda: s * 2.0, lambda: -s, lambda: w[1],
                             lambda: w.dot(w), lambda: repr(w), lambda: s.val, lambda: setattr(w, "x", 1.0),
                             lambda: Scalar(1.0), lambda: Vec3(1, 2))]
sys.setrecursionlimit(1000)
t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)
''',
}
WORLD_CASES = {
    "__class__ assigned": ["swaps", "type(t).__name__"],
    "the library metaclass's __call__ replaced after the import": ["during"],
    "the metaclass's bases changed": ["n = len(calls); Scalar(1.0); Vec3(); SubS(2.0); len(calls) - n"],
    "the metaclass's __call__ patched and restored": ["during"],
    "one-operand methods replaced, deleted and restored": ["seen"],
    "calls at the recursion limit": ["depths"],
    "another module's exception translator and implicit conversion": [
        "Scalar(-1.0).log()", "Scalar(1.0) / 0.0", "Scalar(1.0) / Scalar(0.0)", "Vec3()[3]", "Vec3()[3] = 1.0",
        "list(Vec3(1, 2, 3))", "Scalar(math.inf, 1.0) * 2", "Scalar(math.inf, 1.0) + 2", "2 - Scalar(1.0, 1.0)",
        "Scalar(2.0, 1.0).pow(3)", "Scalar(-8.0, 1.0) ** 0.5", "Vec3(1, 2, 3) * 2", "Scalar(3)"],
    "operators patched and restored": ["first"],
    "another module's translator that sets no error": [
        "Scalar(-1.0).log()", "Scalar(1.0) / 0.0", "Scalar(1.0) / Scalar(0.0)", "2.0 / Scalar(0.0)", "Vec3()[3]",
        "Vec3()[3] = 1.0", "Scalar(1.0).tan().d", "Scalar.__dict__['sqrt'](Scalar(-1.0))"],
    "field properties replaced": ["seen"],
    "the class deleted from the module": ["sin(1.0)", "sin(t)", "dot(t, v)", "sin(Scalar(1.0))"],
}


# Worlds of each family in the quick corpus, a fixed sample.
QUICK_WORLDS = 3


def worlds(long=False):
    """(name, setup, cases) for every world; a sample unless long."""
    rnd = random.Random(20261207)
    base = list(base_cases(long))
    if not long:
        base = rnd.sample(base, 4000)
    yield "no class changed", PRELUDE + WITH_NUMPY, base
    for name, setup in WORLDS.items():
        yield name, PRELUDE + setup, WORLD_CASES.get(name, []) + PROBES
    # A translator may "handle" an exception by setting nothing; a debug
    # build's interpreter then ends the process in its own check, in every
    # build alike.
    if not hasattr(sys, "gettotalrefcount"):
        name = "another module's translator that sets no error"
        yield name, PRELUDE + "import secondmod\nsecondmod.swallow_errors()\nt, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)\n", \
            WORLD_CASES[name] + PROBES
    for family in FAMILIES:
        found = list(family(long))
        yield from found if long else rnd.sample(found, min(QUICK_WORLDS, len(found)))


# Families of worlds, each generated from its axes: every combination is a
# world of its own, whose setup builds the family and whose cases are the
# probes above (t and v a Scalar-family and a Vec3-family instance; some
# worlds probe a second pair, made at another moment, as well).
def probes(*pairs):
    """PROBES once for each (t, v) pair of names."""
    return [re.sub(r"\bv\b", v, re.sub(r"\bt\b", t, p)) for t, v in pairs for p in PROBES]


def indent(code, depth):
    return textwrap.indent(textwrap.dedent(code).strip("\n"), " " * depth)


ATTEMPT = '''
def attempt(f):
    try:
        return f()
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)
'''

# Metaclasses derived from the classes' own, or, where the classes have a
# metaclass of their own, from the library's beneath it; with a body that
# takes part in class creation, instance creation or attribute assignment.
META_BASES = {
    "the classes' metaclass": "type(Scalar)",
    "the one beneath it": "type(Scalar).__mro__[1] if type(Scalar).__mro__[1] is not type else type(Scalar)",
}
META_BODIES = {
    "empty": "pass",
    "__new__": '''
        def __new__(mcls, name, bases, ns, **kwargs):
            log.append(("new", name))
            return super().__new__(mcls, name, bases, ns, **kwargs)''',
    "__call__": '''
        def __call__(cls, *args, **kwargs):
            log.append(("call", cls.__name__))
            return super().__call__(*args, **kwargs)''',
    "__setattr__": '''
        def __setattr__(cls, name, value):
            log.append(("setattr", cls.__name__, name))
            super().__setattr__(name, value)''',
    "__init__": '''
        def __init__(cls, name, bases, ns, **kwargs):
            super().__init__(name, bases, ns, **kwargs)
            cls.made_by_init = name''',
    "__prepare__": '''
        @classmethod
        def __prepare__(mcls, name, bases, **kwargs):
            ns = dict(super().__prepare__(name, bases, **kwargs))
            ns["__rmul__"] = lambda s, o: ("prepared rmul", o)
            return ns''',
}
META_ALSO = {"": "", ", with ABCMeta": ", abc.ABCMeta"}
META_SETUP = '''
import abc
log = []
try:
    class Meta({base}{also}):
{body}
    class K(Scalar, metaclass=Meta): pass
    class W(Vec3, metaclass=Meta): pass
except TypeError as e:
    log.append(repr(e))
    K, W = SubS, SubV
t0, v0 = K(2.0, 5.0), W(1, 2, 3)
for cls, name, base in [(K, "__radd__", Scalar), (K, "__mul__", Scalar), (W, "__add__", Vec3),
                        (W, "__getitem__", Vec3)]:
    try:
        setattr(cls, name, base.__dict__[name])
    except TypeError as e:
        log.append(repr(e))
t, v = K(2.0, 5.0), W(1, 2, 3)
'''


def metaclass_worlds(long):
    for (base, b), (body, code), (also, a) in itertools.product(
            META_BASES.items(), META_BODIES.items(), META_ALSO.items()):
        setup = META_SETUP.format(base=b, also=a, body=indent(code, 8))
        yield ("metaclass from %s, %s%s" % (base, body, also), PRELUDE + setup,
               ["log"] + probes(("t0", "v0"), ("t", "v")))


# A plain mixin changed once subclasses and instances exist: first in the
# bases (S2, W2, whose instances t and v are made before the change) or last
# (S, W, whose instances t0 and v0 are made after it).
MIXIN_NAMES = ["__add__", "__radd__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__", "__sub__",
               "__rsub__", "__pow__", "__neg__", "__getitem__", "__repr__", "val"]
MIXIN_LAMBDA = "lambda *args: ('Mixin', len(args))"
MIXIN_CHANGES = {"a lambda": (MIXIN_LAMBDA, ""), "None": ("None", ""), "deleted": (MIXIN_LAMBDA, "del Mixin.{name}")}
MIXIN_SETUP = ATTEMPT + '''
class Mixin: pass
class S(Scalar, Mixin): pass
class S2(Mixin, Scalar): pass
class W(Vec3, Mixin): pass
class W2(Mixin, Vec3): pass
t, v = S2(2.0, 5.0), W2(1, 2, 3)
ops = [lambda: t + 1.0, lambda: 1.0 + t, lambda: t * 2.0, lambda: 2.0 * t, lambda: t / 2.0, lambda: 2.0 / t,
       lambda: t - 1.0, lambda: 1.0 - t, lambda: t ** 2, lambda: -t, lambda: v[1], lambda: repr(t),
       lambda: t.val, lambda: v + v]
warm = [attempt(f) for f in ops]
Mixin.{name} = {value}
during = [attempt(f) for f in ops]
{then}
t0, v0 = S(2.0, 5.0), W(1, 2, 3)
'''


def mixin_worlds(long):
    for name, (change, (value, then)) in itertools.product(MIXIN_NAMES, MIXIN_CHANGES.items()):
        setup = MIXIN_SETUP.format(name=name, value=value, then=then.format(name=name))
        yield ("mixin %s: %s" % (name, change), PRELUDE + setup,
               ["warm", "during"] + probes(("t", "v"), ("t0", "v0")))


# Instances made while the class is still being made, from __set_name__ or
# the base's __init_subclass__, the way copy and pickle make them or not.
HOOKS = {
    "__init_subclass__": '''
        class {name}Base({root}):
            def __init_subclass__(cls, **kwargs):
                super().__init_subclass__(**kwargs)
                early.append(make_{name}(cls))
        class {name}({name}Base):
{body}''',
    "__set_name__": '''
        class {name}Maker:
            def __set_name__(self, owner, attr):
                early.append(make_{name}(owner))
        class {name}({root}):
            maker = {name}Maker()
{body}''',
}
HOOK_MAKERS = {
    "the way copy does": "x = {root}.__new__(cls); {root}.__init__(x, {args})",
    "by calling the class": "x = cls({args})",
    "left without a value": "x = {root}.__new__(cls)",
}
HOOK_BODIES = {"empty": "pass",
               "with operators": "__add__ = lambda s, o: ('add', o)\n__rmul__ = {root}.__dict__['__mul__']"}
HOOK_SETUP = '''
def make_{name}(cls):
    {maker}
    seen.append((attempt(lambda: x + x), attempt(lambda: repr(x))))
    return x
{hook}
'''


def hook_worlds(long):
    for (hook, code), (maker, make), (body, members) in itertools.product(
            HOOKS.items(), HOOK_MAKERS.items(), HOOK_BODIES.items()):
        setup = ATTEMPT + "early, seen = [], []\n"
        for name, root, args in [("K", "Scalar", "2.0, 5.0"), ("W", "Vec3", "1, 2, 3")]:
            fill = dict(name=name, root=root, args=args)
            setup += HOOK_SETUP.format(maker=make.format(**fill), hook=textwrap.dedent(code.format(
                body=indent(members.format(**fill), 12), **fill)), **fill)
        setup += "t, v = early\nt0, v0 = K(2.0, 5.0), W(1, 2, 3)\n"
        yield ("made in %s %s, %s" % (hook, maker, body), PRELUDE + setup,
               ["seen"] + probes(("t", "v"), ("t0", "v0")))


# unittest.mock's patch.object on the metaclass and on the classes: every
# probe once inside the patch (entered and left around each case) and once
# after it, and a class made after the patch is gone.
PATCHES = {
    "the metaclass's __setattr__": "Meta, '__setattr__', spy_setattr",
    "the metaclass's __call__": "Meta, '__call__', spy_call",
    "Scalar.__add__": "Scalar, '__add__', lambda s, o: ('patched add', type(o).__name__)",
    "Vec3.x": "Vec3, 'x', property(lambda s: 'patched x')",
}
PATCHED = {"exact instances": "Scalar(2.0, 5.0), Vec3(1, 2, 3)", "subclass instances": "SubS(2.0, 5.0), SubV(1, 2, 3)"}
PATCH_SETUP = '''
from unittest import mock
calls = []
Meta = type(Scalar)
meta_call = Meta.__call__
# While the metaclass's __setattr__ is a Python function, CPython refuses the
# slot wrapper of the C one it replaced: the spy goes on to the next
# metaclass's, as super() in a metaclass would.
def spy_setattr(cls, name, value):
    calls.append(("setattr", cls.__name__, name))
    super(Meta, cls).__setattr__(name, value)
def spy_call(cls, *args, **kwargs):
    calls.append(("call", cls.__name__))
    return meta_call(cls, *args, **kwargs)
patcher = mock.patch.object({patch})
with patcher:
    t, v = {made}
    try:
        class P(Scalar): pass
        P.__radd__ = Scalar.__dict__["__radd__"]
    except Exception as e:
        calls.append(repr(e))
        P = SubS
'''
AFTER_PATCH = ["class Late(Scalar): pass\nLate.__radd__ = lambda s, o: ('Late.radd', o)\n"
               "(2.0 + Late(1.0), Scalar(1.0) + Late(1.0), Late(1.0) + Scalar(1.0))",
               "P(1.0) + 1.0", "1.0 + P(1.0)", "calls"]


def patch_worlds(long):
    for (patch, args), (made, expr) in itertools.product(PATCHES.items(), PATCHED.items()):
        inside = ["with patcher:\n    r = %s\nr" % p for p in PROBES]
        yield ("mock.patch.object on %s, %s" % (patch, made), PRELUDE + PATCH_SETUP.format(patch=args, made=expr),
               inside + PROBES + AFTER_PATCH)


# A class whose __subclasses__ misbehaves, in the family, then a class
# attribute assigned and a special method changed.
HOSTILE = {"[]": "lambda: []", "a tuple of floats": "lambda: (1.0, 2.0)", "a list of floats": "lambda: [1.0, 2.0]",
           "unrelated classes": "lambda: [Unrelated, int]", "None": "lambda: None", "raising": "refuse"}
HOSTILE_PLACES = {
    "in the class": '''
        class {name}({root}):
            __subclasses__ = staticmethod({fn})''',
    "on its metaclass": '''
        class {name}Meta(type({root})):
            def __subclasses__(cls):
                return ({fn})()
        class {name}({root}, metaclass={name}Meta): pass''',
}
HOSTILE_SETUP = '''
class Unrelated:
    def __add__(self, o):
        return ("Unrelated.add", o)
def refuse():
    raise RuntimeError("no subclasses here")
{sub}
{subw}
class Grand(Sub): pass
Sub.tag = "x"
SubW.tag = "x"
Sub.__radd__ = lambda s, o: ("Sub.radd", o)
t, v = Sub(2.0, 5.0), SubW(1, 2, 3)
'''
AFTER_HOSTILE = ["Unrelated() + 1.0", "Grand(2.0, 5.0) + 1.0", "1.0 + Grand(2.0, 5.0)", "Grand.tag"]


def hostile_worlds(long):
    for (returns, fn), (place, code) in itertools.product(HOSTILE.items(), HOSTILE_PLACES.items()):
        setup = HOSTILE_SETUP.format(sub=textwrap.dedent(code.format(name="Sub", root="Scalar", fn=fn)),
                                     subw=textwrap.dedent(code.format(name="SubW", root="Vec3", fn=fn)))
        yield ("__subclasses__ returning %s, %s" % (returns, place), PRELUDE + setup, PROBES + AFTER_HOSTILE)


# Classes made by the metaclass without a class statement.
MAKERS = {"type.__new__": "type.__new__(type({root}), {name!r}, ({root},), {ns})",
          "the metaclass called": "type({root})({name!r}, ({root},), {ns})"}
NAMESPACES = {"empty": "{{}}", "with __add__": "{{'__add__': lambda s, o: ('add', o)}}",
              "with the base's __add__ as __radd__": "{{'__radd__': {root}.__dict__['__add__']}}",
              "with __slots__": "{{'__slots__': ()}}"}
INSTANCES = {"called": "{var} = {name}({args})",
             "made the way copy does": "{var} = {root}.__new__({name}); {root}.__init__({var}, {args})"}
MADE_SETUP = '''
log = []
try:
    {name} = {make}
except Exception as e:
    log.append(repr(e))
    {name} = {fallback}
{instance}
'''


def made_worlds(long):
    for (maker, make), (ns, space), (instance, inst) in itertools.product(
            MAKERS.items(), NAMESPACES.items(), INSTANCES.items()):
        setup = ""
        for name, var, root, args, fallback in [("X", "t", "Scalar", "2.0, 5.0", "SubS"),
                                                ("Y", "v", "Vec3", "1, 2, 3", "SubV")]:
            fill = dict(name=name, var=var, root=root, args=args, fallback=fallback)
            fill["ns"] = space.format(**fill)
            setup += MADE_SETUP.format(make=make.format(**fill), instance=inst.format(**fill), **fill)
        yield ("class by %s, %s, instances %s" % (maker, ns, instance), PRELUDE + setup, ["log"] + PROBES)


# __class__ assigned to and from the second module's classes (which share
# the binding library with these): both objects must come out as they were.
OURS = {"Scalar": "Scalar(2.0, 5.0)", "Vec3": "Vec3(1, 2, 3)", "a Scalar subclass": "SubS(2.0, 5.0)",
        "a Vec3 subclass": "SubV(1, 2, 3)"}
THEIRS = {"Label": "Label('kept')", "Pair": "Pair(1.5, -2.0)", "a Pair subclass": "PairSub(1.5, -2.0)"}
SWAP_SETUP = '''
mine, theirs = {mine}, {theirs}
t, v = (mine, Vec3(1, 2, 3)) if isinstance(mine, Scalar) else (Scalar(2.0, 5.0), mine)
swaps = []
for obj, cls in [(mine, type(theirs)), (theirs, type(mine))]:
    try:
        obj.__class__ = cls
        swaps.append(type(obj).__name__)
    except Exception as e:
        swaps.append("%s: %s" % (type(e).__name__, e))
del obj
'''
AFTER_SWAP = ["del t, v, mine, theirs; gc.collect() >= 0"]


def swap_worlds(long):
    for (ours, mine), (other, theirs) in itertools.product(OURS.items(), THEIRS.items()):
        yield ("__class__ between %s and %s" % (ours, other),
               PRELUDE + second.SETUP + SWAP_SETUP.format(mine=mine, theirs=theirs),
               ["swaps", "repr(mine)", "repr(theirs)", "theirs + theirs"] + PROBES + AFTER_SWAP)


# Version-tag churn: a class attribute of a subclass assigned and deleted
# over and over, with lookups in between that hand the class new tags, then
# __add__ replaced.
CHURNED = {"a plain attribute": ("tag", "i"), "a special method": ("__mul__", "lambda s, o: ('churn', o)"),
           "a field": ("val", "i")}
CHURN_THEN = {"on the subclass": "K", "on Scalar": "Scalar"}
CHURN_SETUP = '''
class K(Scalar): pass
t, v, e, w = K(2.0, 5.0), Vec3(1, 2, 3), Scalar(2.0, 5.0), Vec3(4, 5, 6)
for i in range({n}):
    K.{attr} = {value}
    x = t + 1.0, t * 2.0, e * 2.0, t.val
    del K.{attr}
    x = t * 2.0, t.val
{cls}.__add__ = lambda s, o: ("replaced add", o)
'''


def churn_worlds(long):
    for (churned, (attr, value)), (then, cls) in itertools.product(CHURNED.items(), CHURN_THEN.items()):
        setup = CHURN_SETUP.format(n=10**5 if long else 2000, attr=attr, value=value, cls=cls)
        yield ("churn of %s, then __add__ replaced %s" % (churned, then), PRELUDE + setup,
               probes(("t", "v"), ("e", "w")))


def second_module_worlds(long):
    yield ("the second module's families beside", PRELUDE + second.SETUP + "t, v = Scalar(2.0, 5.0), Vec3(1, 2, 3)\n",
           second.PROBES + PROBES)


FAMILIES = [metaclass_worlds, mixin_worlds, hook_worlds, patch_worlds, hostile_worlds, made_worlds, swap_worlds,
            churn_worlds, second_module_worlds]
