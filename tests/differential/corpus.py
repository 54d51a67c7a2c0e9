"""The corpus of the differential test: every way a program can reach the
module, as Python source, grouped into worlds.

A world is setup code plus cases; each world runs in an interpreter of its
own, so what one world does to the classes (patching, deleting, subclassing)
cannot leak into another. Cases are built from tables of operands and
operations; the quick corpus is a fixed sample of the full one.
"""
import itertools
import random

PRELUDE = '''
import copy, gc, math, operator, pickle
from decimal import Decimal
from fractions import Fraction
import orbelon_core
from orbelon_core import Scalar, Vec3, Solver
try:
    import numpy as np
except ImportError:
    np = None

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

NUMBERS = ["2.0", "-0.0", "0.0", "1e-10", "math.inf", "-math.inf", "math.nan", "-math.nan", "3", "0",
           "-7", "True", "10**400", "-(2**70)", "2**31", "F(2.5)", "I(3)", "Fraction(1, 3)",
           "Decimal('2.5')", "OnlyFloat(1.5)", "OnlyIndex(4)", "OnlyInt()", "BadFloat()", "BadIndex()",
           "WrongFloat()", "None", "'x'", "[1.0]", "(1, 2, 3)", "np and np.float64(2.0)",
           "np and np.int64(3)"]
SCALARS = ["Scalar(2.0, 1.0)", "Scalar(-0.0, 3.0)", "Scalar(math.inf, 1.0)", "Scalar(math.nan, -1.0)",
           "Scalar(-math.nan, math.nan)", "Scalar(1e-10, 1.0)", "Scalar(1e-9, -1.0)", "Scalar(-7.5)",
           "SubS(3.0, 1.0)", "SlotS(2.0, 2.0)", "OpS(1.0, 2.0)", "NewS(1.5, 1.0)", "InitS(1.0, 1.0)",
           "TwiceS(1.0, 3.0)", "Both(2.0, 1.0)", "Tagged(1.0, 1.0)"]
VECTORS = ["Vec3(1, 2, 3)", "Vec3()", "Vec3(-0.0, math.inf, math.nan)", "Vec3(1e200, 1e-170, 3)",
           "Vec3(3, 4, 0)", "SubV(4, 5, 6)", "SlotV(1, 0, 0)"]
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
METHODS = {
    "Scalar": ["__repr__", "__float__", "__neg__", "sin", "cos", "tan", "exp", "log", "sqrt", "abs"],
    "Vec3": ["__repr__", "magnitude", "normalize", "to_list"],
}
METHODS_WITH_ARG = {
    "Scalar": ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__",
               "__rtruediv__", "__pow__", "__eq__", "__lt__", "pow"],
    "Vec3": ["__add__", "__sub__", "__mul__", "__truediv__", "__getitem__", "dot", "cross", "distance",
             "angle", "reflect", "project"],
}
FIELDS = {"Scalar": ["val", "d"], "Vec3": ["x", "y", "z"]}
CONSTRUCTORS = ["Scalar(b)", "Scalar(b, b)", "Scalar(val=b)", "Scalar(1.0, d=b)", "Scalar()",
                "Scalar(b, b, b)", "Scalar(b, x=1)", "Vec3(b)", "Vec3(b, b)", "Vec3(b, b, b)", "Vec3()",
                "Vec3(y=b)", "Vec3(b, b, b, b)", "SubS(b)", "SubV(b, 1)", "NewS(b)", "InitS(b)",
                "Scalar.__new__(Scalar)", "Vec3.__new__(SubV)", "Scalar.__new__(Vec3)"]


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
            for b in ["9.5", "7", "10**400", "'x'", "OnlyFloat(1.0)", "Scalar(3.0, 1.0)"]:
                yield "a = %s\na[%s] = %s\na" % (a, i, b)
        yield "a = %s\ndel a[0]" % a
    for cls, names in METHODS.items():
        for name, a in itertools.product(names, OPERANDS):
            yield "%s.%s(%s)" % (cls, name, a)  # unbound, any self
    for cls, names in METHODS_WITH_ARG.items():
        for name, a, b in itertools.product(names, scalars + vectors + ["None", "2.0"], OPERANDS):
            yield "%s.%s(%s, %s)" % (cls, name, a, b)
    for cls, fields in FIELDS.items():
        for field, a, b in itertools.product(fields, scalars + vectors, OPERANDS):
            yield "a = %s\na.%s = %s\n(a.%s, a)" % (a, field, b, field)
            yield "%s.%s.__get__(%s)" % (cls, field, b)
        for field, a in itertools.product(fields, scalars + vectors):
            yield "a = %s\ndel a.%s" % (a, field)
    for ctor, b in itertools.product(CONSTRUCTORS, OPERANDS):
        yield ctor.replace("b", b)


# Worlds that change the classes, each with the cases that then probe them.
PROBES = ["Scalar(1.0, 1.0) + t", "t + Scalar(1.0, 1.0)", "Scalar(1.0, 1.0) * t", "t * 2.0", "2.0 * t",
          "Scalar(2.0, 1.0) - t", "3 - t", "t / Scalar(2.0, 1.0)", "1.0 / t", "t ** 2", "t ** t", "-t",
          "repr(t)", "float(t)", "t.val", "t.d", "t.sin()", "t.pow(2)", "t == Scalar(2.0)",
          "Vec3(1, 2, 3) + v", "v + Vec3(1, 2, 3)", "v * 2.0", "v / 2", "v[1]", "v.x", "repr(v)",
          "v.dot(Vec3(1, 1, 1))", "v.magnitude()"]
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
    "the metaclass used directly": '''
P = type(Scalar)("P", (Scalar,), {"__radd__": lambda s, o: ("P.radd", o)})
t, v = P(2.0, 5.0), type(Vec3)("W", (Vec3,), {})(1, 2, 3)
''',
}
WORLD_CASES = {
    "__class__ assigned": ["swaps", "type(t).__name__"],
    "operators patched and restored": ["first"],
    "field properties replaced": ["seen"],
    "the class deleted from the module": ["sin(1.0)", "sin(t)", "dot(t, v)", "sin(Scalar(1.0))"],
}


def worlds(long=False):
    """(name, setup, cases) for every world; a sample unless long."""
    rnd = random.Random(20261207)
    base = list(base_cases(long))
    if not long:
        base = rnd.sample(base, 4000)
    yield "no class changed", PRELUDE, base
    for name, setup in WORLDS.items():
        yield name, PRELUDE + setup, WORLD_CASES.get(name, []) + PROBES
