"""The second module's classes put through what a program may do to classes
of the binding library: the setup both tests/test_second_module.py and the
differential corpus run, and the probes that show its outcome.

`secondmod` (tests/second_module) is built on the same release of the library
as orbelon_core, so the two share the library's metaclass and its registry:
whatever orbelon_core does to either must leave these classes as they were.
"""

SETUP = '''
import abc, copy, gc
import secondmod
from secondmod import Label, Pair

Lib = type(Label)  # the library's metaclass

# A wrapper on the library metaclass's __call__: it sees every instance of
# this module's classes being made (other classes' are not its business).
made = []
_lib_call = Lib.__call__
def _watching_call(cls, *args, **kwargs):
    if issubclass(cls, (Label, Pair)):
        made.append(cls.__name__)
    return _lib_call(cls, *args, **kwargs)
Lib.__call__ = _watching_call

class LabelSub(Label):
    def shout(self):
        return self.text.upper()

class PairSub(Pair):
    def __add__(self, other):
        return ("PairSub.add", Pair.__add__(self, other))

# Each family on its own: one that cannot be made is an outcome (the probes
# that use it raise NameError), not the end of the setup.
broken = []
try:
    class LibABCMeta(Lib, abc.ABCMeta): pass

    class AbstractPair(Pair, metaclass=LibABCMeta):
        @abc.abstractmethod
        def norm(self): ...

    class ConcretePair(AbstractPair):
        def norm(self):
            return abs(self.a) + abs(self.b)
except Exception as e:
    broken.append(("ABCMeta", repr(e)))

try:
    Raw = type.__new__(Lib, "Raw", (Label,), {})
except Exception as e:
    broken.append(("type.__new__", repr(e)))

try:
    class NewMeta(Lib):
        def __new__(mcls, name, bases, ns, **kwargs):
            ns["created_by"] = mcls.__name__
            return super().__new__(mcls, name, bases, ns, **kwargs)

    class PairN(Pair, metaclass=NewMeta): pass
except Exception as e:
    broken.append(("__new__", repr(e)))

seen = []
try:
    class WatchMeta(Lib):
        def __setattr__(cls, name, value):
            seen.append(("set", name))
            super().__setattr__(name, value)
        def __delattr__(cls, name):
            seen.append(("del", name))
            super().__delattr__(name)

    class Watched(Label, metaclass=WatchMeta): pass

    Watched.note = "noted"
    Watched.__add__ = lambda self, other: ("Watched.add", other.text)
    first_add = Watched("w") + Label("l")
    del Watched.__add__
except Exception as e:
    broken.append(("__setattr__", repr(e)))
'''

PROBES = [
    "broken",
    "Label('a') + Label('b')", "repr(Label(\"it's\"))", "Label().text", "Label('a') + 1", "1 + Label('a')",
    "Pair(1.0, 2.0) + Pair(0.5, -0.0)", "Pair(1.0, 2.0).b", "Pair('x')",
    "p = Pair(1.0, 2.0); p.a = 5.0; p", "p = Pair(); p.a = 'x'", "p = Label('a'); p.text = 'b'; p",
    "del Pair().a", "LabelSub('a').shout()", "LabelSub('a') + Label('b')", "Label('a') + LabelSub('b')",
    "PairSub(1.0, 1.0) + Pair(1.0, 1.0)", "Pair(1.0, 1.0) + PairSub(1.0, 1.0)",
    "AbstractPair(1.0, 2.0)", "ConcretePair(1.0, -2.0).norm()", "isinstance(ConcretePair(), AbstractPair)",
    "issubclass(Pair, AbstractPair)", "Raw('r') + Raw('s')", "type(Raw('r')).__name__",
    "PairN(1.0, 2.0).created_by", "PairN(1.0, 2.0) + Pair(1.0, 1.0)", "first_add", "seen",
    "Watched('w') + Label('l')", "Watched.note", "copy.copy(Label('a'))", "copy.deepcopy(Pair(1.0, 2.0))",
    "sorted(vars(Label))", "sorted(vars(Pair))", "[c.__name__ for c in type(Label).__mro__]",
    "[type(Pair.__dict__[k]).__name__ for k in ('__init__', '__add__', 'a', '__repr__')]",
    "[c.__name__ for c in ConcretePair.__mro__]", "Lib.__call__ is _watching_call",
    "gc.collect() >= 0", "made",
]
