"""A small scientific toolkit: dual numbers, 3-vectors and solvers.

Every result is an IEEE-754 double, each operation rounded on its own in the
grouping its docstring states (parenthesised groups first), with no fused
multiply-add, so results agree to the last bit. In the formulas, ``a`` is the
receiver, ``o`` another object of the same class and ``b`` a plain number.

A number parameter, ``float | SupportsFloat | SupportsIndex``, takes a
float, an int or bool, or anything with ``__float__`` or ``__index__`` (a
``Scalar`` then stands for its ``val``), never a str. A count or an index,
``int | SupportsIndex``, takes an int or anything with ``__index__``, never a
float; a ``Fraction`` or ``Decimal`` does get through, truncated.

Operators are plain methods: an operand that no overload accepts raises
``TypeError`` from the method itself (never ``NotImplemented``), so Python
does not go on to try the other operand's reflected method. Only constructors
and the ``Solver`` methods take keyword arguments.
"""
from typing import Callable, ClassVar, List, SupportsFloat, SupportsIndex, overload

from . import Constants as Constants

# No type aliases: an editor shows a parameter's type as it is written here,
# so each one is spelled out in full.

class Scalar:
    """A dual number ``val + d·ε`` (``ε² = 0``): a value and its derivative.

    Arithmetic and the elementary functions apply the sum, product, quotient
    and chain rules as they compute (forward-mode automatic differentiation).
    Seed the independent variable with ``d = 1.0`` and constants with
    ``d = 0.0``; the result's ``d`` is the derivative of the whole expression.
    A plain number ``b`` taking part in an operation is the constant
    ``{b, 0.0}``. Operations never change their operands.

    Errors are ``RuntimeError`` with fixed texts: "Division by zero",
    "Tan undefined (cos is 0)", "Log domain error", "Sqrt of negative number".
    Everything else follows IEEE-754 silently (inf and NaN propagate).

    ``==`` and ``<`` compare values only and accept only a ``Scalar``;
    ``!=`` and ``>`` follow from them, ``<=`` and ``>=`` are unsupported.
    Unhashable. No ``abs()``, unary ``+``, reflected power or in-place
    operators (``s += 1`` rebinds ``s`` to a new object).
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        val: float | SupportsFloat | SupportsIndex,
        d: float | SupportsFloat | SupportsIndex = 0.0,
    ) -> None:
        """The dual number ``{val, d}``, stored unchanged; ``d`` defaults to 0.0.

        A ``Scalar`` given as ``val`` stands for its ``val``: its derivative
        is dropped.
        """
    @property
    def val(self) -> float:
        """The value part."""
    @val.setter
    def val(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def d(self) -> float:
        """The derivative part."""
    @d.setter
    def d(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    def __repr__(self) -> str:
        """``"<Scalar val=%f, d=%f>"``, with C printf's ``%f`` ("-0.000000", "inf", "-nan")."""
    def __float__(self) -> float:
        """The value part ``val``."""
    @overload
    def __add__(self, o: Scalar, /) -> Scalar:
        """``{a.val + o.val, a.d + o.d}``."""
    @overload
    def __add__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``{a.val + b, a.d}``."""
    def __radd__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b + a``, the same as ``a + b``: ``{a.val + b, a.d}``."""
    @overload
    def __sub__(self, o: Scalar, /) -> Scalar:
        """``{a.val - o.val, a.d - o.d}``."""
    @overload
    def __sub__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``{a.val - b, a.d}``."""
    def __rsub__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b - a = {b - a.val, 0.0 - a.d}``: a zero derivative comes out +0.0."""
    @overload
    def __mul__(self, o: Scalar, /) -> Scalar:
        """Product rule: ``{a.val·o.val, a.d·o.val + a.val·o.d}``."""
    @overload
    def __mul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``{a.val·b, a.d·b}``."""
    def __rmul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b * a``, the same as ``a * b``: ``{a.val·b, a.d·b}``."""
    @overload
    def __truediv__(self, o: Scalar, /) -> Scalar:
        """Quotient rule: ``{a.val / o.val, (a.d·o.val - a.val·o.d) / (o.val·o.val)}``.

        Raises ``RuntimeError("Division by zero")`` when ``|o.val| < 1e-9``
        (exactly 1e-9 passes, and so does NaN).
        """
    @overload
    def __truediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``a / {b, 0.0} = {a.val / b, (a.d·b - a.val·0.0) / (b·b)}``.

        The ``a.val·0.0`` term makes the derivative NaN for an infinite or
        NaN ``a.val``. Raises ``RuntimeError("Division by zero")`` when
        ``|b| < 1e-9``.
        """
    def __rtruediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``{b, 0.0} / a = {b / a.val, (0.0·a.val - b·a.d) / (a.val·a.val)}``.

        Raises ``RuntimeError("Division by zero")`` when ``|a.val| < 1e-9``.
        """
    def __neg__(self) -> Scalar:
        """``{-a.val, -a.d}``: both sign bits flip, so 0.0 becomes -0.0."""
    def __pow__(self, n: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``{pow(a.val, n), (n·pow(a.val, n - 1.0))·a.d}``; never raises.

        A ``Scalar`` exponent stands for its ``val`` (its derivative is
        ignored). There is no three-argument form and no ``b ** a``.
        """
    def __eq__(self, o: Scalar, /) -> bool:  # type: ignore[override]
        """``a.val == o.val`` (IEEE: 0.0 == -0.0, NaN equals nothing).

        Derivatives are not compared. Anything but a ``Scalar`` raises
        ``TypeError``.
        """
    def __lt__(self, o: Scalar, /) -> bool:
        """``a.val < o.val``; derivatives are not compared. Only a ``Scalar``."""
    def sin(self) -> Scalar:
        """``{sin(val), cos(val)·d}``."""
    def cos(self) -> Scalar:
        """``{cos(val), (-sin(val))·d}``."""
    def tan(self) -> Scalar:
        """``{sin(val) / cos(val), (1.0 / (cos(val)·cos(val)))·d}``.

        The value is the sine-cosine quotient, not the library tangent.
        Raises ``RuntimeError("Tan undefined (cos is 0)")`` when
        ``|cos(val)| < 1e-9``.
        """
    def exp(self) -> Scalar:
        """``{exp(val), exp(val)·d}``."""
    def log(self) -> Scalar:
        """``{log(val), (1.0 / val)·d}``, the natural logarithm.

        Raises ``RuntimeError("Log domain error")`` when ``val <= 0.0``
        (both zeros included).
        """
    def sqrt(self) -> Scalar:
        """``{sqrt(val), (0.5 / sqrt(val))·d}``; at ±0.0 the derivative is ±inf·d.

        Raises ``RuntimeError("Sqrt of negative number")`` when ``val < 0.0``
        (-0.0 passes).
        """
    def abs(self) -> Scalar:
        """``{|val|, σ·d}``, σ = 1.0 when ``val >= 0.0`` (both zeros), else -1.0 (NaN too)."""
    def pow(self, n: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """The same as ``a ** n``: ``{pow(val, n), (n·pow(val, n - 1.0))·d}``."""
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """What ``object.__reduce_ex__`` gives, except for protocols 0 and 1.

        Instances cannot be pickled: every protocol raises ``TypeError``
        ("cannot pickle '...' object"), as protocol 2 and later do for any
        object without a way to be rebuilt; protocols 0 and 1 raise it here,
        unless the class defines its own ``__reduce__``.
        """

class Vec3:
    """A vector in three-dimensional space, with its geometry.

    No operation raises for any numbers, only an index other than 0, 1, 2:
    zero vectors get fixed results, and division by zero, inf and NaN follow
    IEEE-754. Sums are evaluated left to right as written. Operations return
    new vectors; only the properties and item assignment change one.

    Scaling is ``v * b`` only (no ``b * v``); there is no negation,
    comparison (``==`` is identity), ``len()`` or in-place operator.
    Iteration and unpacking work through ``__getitem__``.
    """

    def __init__(
        self,
        x: float | SupportsFloat | SupportsIndex = 0,
        y: float | SupportsFloat | SupportsIndex = 0,
        z: float | SupportsFloat | SupportsIndex = 0,
    ) -> None:
        """The vector ``(x, y, z)``; omitted components are 0.0."""
    @property
    def x(self) -> float:
        """The first component."""
    @x.setter
    def x(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def y(self) -> float:
        """The second component."""
    @y.setter
    def y(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def z(self) -> float:
        """The third component."""
    @z.setter
    def z(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    def __repr__(self) -> str:
        """``"<Vec3 (%f, %f, %f)>"``, with C printf's ``%f``."""
    def __getitem__(self, i: int | SupportsIndex, /) -> float:
        """Component 0, 1 or 2 (x, y, z).

        Any other index, negative ones included, raises ``IndexError`` with
        an empty message; a float index raises ``TypeError``.
        """
    def __setitem__(
        self,
        i: int | SupportsIndex,
        value: float | SupportsFloat | SupportsIndex,
        /,
    ) -> None:
        """Set component 0, 1 or 2; any other index raises an empty ``IndexError``."""
    def __add__(self, o: Vec3, /) -> Vec3:
        """``(a.x + o.x, a.y + o.y, a.z + o.z)``."""
    def __sub__(self, o: Vec3, /) -> Vec3:
        """``(a.x - o.x, a.y - o.y, a.z - o.z)``."""
    def __mul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Vec3:
        """``(a.x·b, a.y·b, a.z·b)``."""
    def __truediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Vec3:
        """``(a.x / b, a.y / b, a.z / b)``: three divisions, unguarded (``/ 0`` gives ±inf or NaN)."""
    def dot(self, o: Vec3, /) -> float:
        """``(a.x·o.x + a.y·o.y) + a.z·o.z``."""
    def cross(self, o: Vec3, /) -> Vec3:
        """Right-handed ``a × o = (a.y·o.z - a.z·o.y, a.z·o.x - a.x·o.z, a.x·o.y - a.y·o.x)``."""
    def magnitude(self) -> float:
        """``sqrt(a.dot(a))``, not rescaled: inf above about 1.34e154, 0.0 below about 1.57e-162."""
    def normalize(self) -> Vec3:
        """``(x·r, y·r, z·r)`` with ``r = 1.0 / magnitude``; (0, 0, 0) when the magnitude is 0.0."""
    def distance(self, o: Vec3, /) -> float:
        """``(a - o).magnitude()``."""
    def angle(self, o: Vec3, /) -> float:
        """``acos(c)`` in radians, ``c = a.dot(o) / (|a|·|o|)`` clamped to [-1, 1].

        Returns 0.0 when ``|a|·|o|`` is 0.0; a NaN cosine passes through.
        """
    def reflect(self, n: Vec3, /) -> Vec3:
        """``a - n·k`` per component with ``k = a.dot(n) + a.dot(n)``.

        The mirror image of ``a`` in the plane of normal ``n`` when ``n`` is a
        unit vector; ``n`` is used as given, not normalized.
        """
    def project(self, o: Vec3, /) -> Vec3:
        """``o·t`` per component with ``t = a.dot(o) / o.dot(o)``; (0, 0, 0) when ``o.dot(o)`` is 0.0."""
    def to_list(self) -> List[float]:
        """A new list ``[x, y, z]``."""
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """What ``object.__reduce_ex__`` gives, except for protocols 0 and 1.

        Instances cannot be pickled: every protocol raises ``TypeError``
        ("cannot pickle '...' object"), as protocol 2 and later do for any
        object without a way to be rebuilt; protocols 0 and 1 raise it here,
        unless the class defines its own ``__reduce__``.
        """

class Solver:
    """Integration, differentiation and root finding over a Python callable.

    A namespace of static methods: ``Solver()`` raises ``TypeError``
    ("orbelon_core.Solver: No constructor defined!"). Each sample calls ``f``
    with one float; its result may be anything with ``__float__`` or
    ``__index__`` (a ``Scalar`` gives its ``val``), otherwise the method raises
    ``RuntimeError("Unable to cast Python instance of type ...")``. An exception
    raised by ``f`` propagates unchanged. NaN and inf are not checked.
    """

    @staticmethod
    def integrate(
        f: Callable[[float], float | SupportsFloat | SupportsIndex],
        a: float | SupportsFloat | SupportsIndex,
        b: float | SupportsFloat | SupportsIndex,
        n: int | SupportsIndex = 100,
    ) -> float:
        """Composite Simpson rule over [a, b] on ``n`` sub-intervals: ``(h·s) / 3.0``.

        ``h = (b - a) / n``; ``s`` starts as ``f(a) + f(b)`` and, for
        ``i = 1 .. n-1``, becomes ``w·f(i·h + a) + s`` with w = 4.0 for odd
        ``i`` and 2.0 for even ``i``. ``f`` is called n + 1 times, at a, b,
        then the interior nodes in order. ``b < a`` gives the signed integral.

        Raises ``RuntimeError("n must be positive and even")`` for ``n <= 0``
        or odd ``n``, before calling ``f``.
        """
    @staticmethod
    def differentiate(
        f: Callable[[float], float | SupportsFloat | SupportsIndex],
        x: float | SupportsFloat | SupportsIndex,
        h: float | SupportsFloat | SupportsIndex = 1e-05,
    ) -> float:
        """Central difference ``(f(x + h) - f(x - h)) / (2·h)``, ``f(x + h)`` sampled first.

        ``h`` is not checked: ``h = 0`` gives NaN.
        """
    @staticmethod
    def root_newton(
        f: Callable[[float], float | SupportsFloat | SupportsIndex],
        x0: float | SupportsFloat | SupportsIndex,
        tol: float | SupportsFloat | SupportsIndex = 1e-07,
        max_iter: int | SupportsIndex = 100,
    ) -> float:
        """Newton-Raphson from ``x0``: ``x_new = x - f(x) / dy``, returned once ``|x_new - x| < tol``.

        ``dy = (f(x + 1e-5) - f(x - 1e-5)) / 2e-5``; each iteration samples
        ``f`` at x, x + 1e-5, x - 1e-5. Convergence is judged on the step
        alone, never on ``|f(x)|``.

        Raises ``RuntimeError("Zero derivative encountered")`` when
        ``|dy| < 1e-12``, and ``RuntimeError("Newton-Raphson failed to
        converge")`` after ``max_iter`` iterations (at once if
        ``max_iter <= 0``).
        """
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """What ``object.__reduce_ex__`` gives, except for protocols 0 and 1.

        Instances cannot be pickled: every protocol raises ``TypeError``
        ("cannot pickle '...' object"), as protocol 2 and later do for any
        object without a way to be rebuilt; protocols 0 and 1 raise it here,
        unless the class defines its own ``__reduce__``.
        """
