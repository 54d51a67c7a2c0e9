"""A small scientific toolkit: dual numbers, 3-vectors and solvers.

Every result is an IEEE-754 double, each operation rounded on its own in the
grouping its docstring states (parenthesised groups first), with no fused
multiply-add, so results agree to the last bit. In the formulas ``s`` and
``t`` are Scalars, ``v`` and ``w`` Vec3s and ``b`` a plain number; ``·`` is
a multiplication rounded on its own.

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
# so each one is spelled out in full. The docstrings follow the numpydoc
# layout (Parameters, Returns, Raises), which editors show as sections on
# hover and the documentation site renders as the reference.

class Scalar:
    """A dual number ``val + d·ε`` (``ε² = 0``): a value and its derivative.

    Arithmetic and the elementary functions apply the sum, product, quotient
    and chain rules as they compute (forward-mode automatic differentiation).
    Seed the independent variable with ``d = 1.0`` and constants with
    ``d = 0.0``; the result's ``d`` is the derivative of the whole expression.
    In the formulas ``s`` is this Scalar, ``t`` another one, and a plain
    number ``b`` stands for the constant ``{b, 0.0}``. Operations never change
    their operands.

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
        """The dual number ``{val, d}``, both stored unchanged.

        Parameters
        ----------
        val
            The value. A ``Scalar`` given here stands for its ``val``: its
            derivative is dropped.
        d
            The derivative with respect to the chosen variable: 1.0 for that
            variable itself, 0.0 (the default) for a constant.
        """
    @property
    def val(self) -> float:
        """The value part; settable."""
    @val.setter
    def val(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def d(self) -> float:
        """The derivative part; settable."""
    @d.setter
    def d(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    def __repr__(self) -> str:
        """``repr(s)`` and ``str(s)``: both parts with six decimals.

        Returns
        -------
        str
            ``"<Scalar val=%f, d=%f>"``, with C printf's ``%f`` ("-0.000000",
            "inf", "-nan"): small numbers print as zero.
        """
    def __float__(self) -> float:
        """``float(s)``: the value part.

        Returns
        -------
        float
            ``s.val``; the derivative is dropped.
        """
    @overload
    def __add__(self, t: Scalar, /) -> Scalar:
        """``s + t``: the sum rule.

        Parameters
        ----------
        t
            The other dual number.

        Returns
        -------
        Scalar
            ``{s.val + t.val, s.d + t.d}``.
        """
    @overload
    def __add__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s + b``: a constant added to the value.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val + b, s.d}``.
        """
    def __radd__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b + s``: the same as ``s + b``.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val + b, s.d}``.
        """
    @overload
    def __sub__(self, t: Scalar, /) -> Scalar:
        """``s - t``: the difference rule.

        Parameters
        ----------
        t
            The other dual number.

        Returns
        -------
        Scalar
            ``{s.val - t.val, s.d - t.d}``.
        """
    @overload
    def __sub__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s - b``: a constant taken from the value.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val - b, s.d}``.
        """
    def __rsub__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b - s``: the value taken from a constant.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{b - s.val, 0.0 - s.d}``: a zero derivative comes out +0.0.
        """
    @overload
    def __mul__(self, t: Scalar, /) -> Scalar:
        """``s * t``: the product rule.

        Parameters
        ----------
        t
            The other dual number.

        Returns
        -------
        Scalar
            ``{s.val·t.val, s.d·t.val + s.val·t.d}``.
        """
    @overload
    def __mul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s * b``: both parts scaled.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val·b, s.d·b}``.
        """
    def __rmul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b * s``: the same as ``s * b``.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val·b, s.d·b}``.
        """
    @overload
    def __truediv__(self, t: Scalar, /) -> Scalar:
        """``s / t``: the quotient rule.

        Parameters
        ----------
        t
            The divisor.

        Returns
        -------
        Scalar
            ``{s.val / t.val, (s.d·t.val - s.val·t.d) / (t.val·t.val)}``.

        Raises
        ------
        RuntimeError
            "Division by zero" when ``|t.val| < 1e-9`` (exactly 1e-9 passes,
            and so does NaN).
        """
    @overload
    def __truediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s / b``: the quotient rule with a constant divisor.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{s.val / b, (s.d·b - s.val·0.0) / (b·b)}``. The ``s.val·0.0``
            term makes the derivative NaN for an infinite or NaN ``s.val``.

        Raises
        ------
        RuntimeError
            "Division by zero" when ``|b| < 1e-9``.
        """
    def __rtruediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``b / s``: a constant divided by a dual number.

        Parameters
        ----------
        b
            A plain number, the constant ``{b, 0.0}``.

        Returns
        -------
        Scalar
            ``{b / s.val, (0.0·s.val - b·s.d) / (s.val·s.val)}``.

        Raises
        ------
        RuntimeError
            "Division by zero" when ``|s.val| < 1e-9``.
        """
    def __neg__(self) -> Scalar:
        """``-s``: both parts negated.

        Returns
        -------
        Scalar
            ``{-s.val, -s.d}``: both sign bits flip, so 0.0 becomes -0.0.
        """
    def __pow__(self, n: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s ** n``: the power rule, for a plain exponent; never raises.

        Parameters
        ----------
        n
            The exponent. A ``Scalar`` stands for its ``val``: its derivative
            is ignored, so ``s ** s`` differentiates as ``s ** s.val``.
            There is no three-argument form and no ``b ** s``.

        Returns
        -------
        Scalar
            ``{pow(s.val, n), (n·pow(s.val, n - 1.0))·s.d}``.
        """
    def __eq__(self, t: Scalar, /) -> bool:  # type: ignore[override]
        """``s == t`` and ``s != t``: the values compared, IEEE-style.

        Parameters
        ----------
        t
            Another Scalar; derivatives are not compared.

        Returns
        -------
        bool
            ``s.val == t.val``: 0.0 equals -0.0, NaN equals nothing.

        Raises
        ------
        TypeError
            For anything but a ``Scalar``, a plain number included.
        """
    def __lt__(self, t: Scalar, /) -> bool:
        """``s < t`` and ``t > s``: the values compared.

        Parameters
        ----------
        t
            Another Scalar; derivatives are not compared.

        Returns
        -------
        bool
            ``s.val < t.val``.

        Raises
        ------
        TypeError
            For anything but a ``Scalar``, a plain number included.
        """
    def sin(self) -> Scalar:
        """The sine, by the chain rule.

        Returns
        -------
        Scalar
            ``{sin(val), cos(val)·d}``.
        """
    def cos(self) -> Scalar:
        """The cosine, by the chain rule.

        Returns
        -------
        Scalar
            ``{cos(val), (-sin(val))·d}``.
        """
    def tan(self) -> Scalar:
        """The tangent as the sine-cosine quotient, not the library tangent.

        Returns
        -------
        Scalar
            ``{sin(val) / cos(val), (1.0 / (cos(val)·cos(val)))·d}``.

        Raises
        ------
        RuntimeError
            "Tan undefined (cos is 0)" when ``|cos(val)| < 1e-9``.
        """
    def exp(self) -> Scalar:
        """The exponential, by the chain rule.

        Returns
        -------
        Scalar
            ``{exp(val), exp(val)·d}``.
        """
    def log(self) -> Scalar:
        """The natural logarithm, by the chain rule.

        Returns
        -------
        Scalar
            ``{log(val), (1.0 / val)·d}``.

        Raises
        ------
        RuntimeError
            "Log domain error" when ``val <= 0.0``, both zeros included.
        """
    def sqrt(self) -> Scalar:
        """The square root, by the chain rule.

        Returns
        -------
        Scalar
            ``{sqrt(val), (0.5 / sqrt(val))·d}``; at ±0.0 the derivative is
            ±inf·d.

        Raises
        ------
        RuntimeError
            "Sqrt of negative number" when ``val < 0.0`` (-0.0 passes).
        """
    def abs(self) -> Scalar:
        """The absolute value, taking the right-hand slope at zero.

        Returns
        -------
        Scalar
            ``{|val|, σ·d}``, σ = 1.0 when ``val >= 0.0`` (both zeros), else
            -1.0 (NaN too).
        """
    def pow(self, n: float | SupportsFloat | SupportsIndex, /) -> Scalar:
        """``s.pow(n)``: the same as ``s ** n``.

        Parameters
        ----------
        n
            The exponent; a ``Scalar`` stands for its ``val``.

        Returns
        -------
        Scalar
            ``{pow(val, n), (n·pow(val, n - 1.0))·d}``.
        """
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """``pickle.dumps(s)``, ``copy.copy(s)``: refused, for every protocol.

        Parameters
        ----------
        protocol
            The pickle protocol.

        Raises
        ------
        TypeError
            "cannot pickle '...' object", as protocol 2 and later raise for
            any object without a way to be rebuilt; protocols 0 and 1 raise
            it here too, unless a subclass defines its own ``__reduce__``.
        """

class Vec3:
    """A vector in three-dimensional space, with its geometry.

    No operation raises for any numbers, only an index other than 0, 1, 2:
    zero vectors get fixed results, and division by zero, inf and NaN follow
    IEEE-754. Sums are evaluated left to right as written. Operations return
    new vectors; only the properties and item assignment change one. In the
    formulas ``v`` is this vector and ``w`` another one.

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
        """The vector ``(x, y, z)``.

        Parameters
        ----------
        x, y, z
            The components; an omitted one is 0.0.
        """
    @property
    def x(self) -> float:
        """The first component; settable."""
    @x.setter
    def x(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def y(self) -> float:
        """The second component; settable."""
    @y.setter
    def y(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    @property
    def z(self) -> float:
        """The third component; settable."""
    @z.setter
    def z(self, value: float | SupportsFloat | SupportsIndex) -> None: ...
    def __repr__(self) -> str:
        """``repr(v)`` and ``str(v)``: the components with six decimals.

        Returns
        -------
        str
            ``"<Vec3 (%f, %f, %f)>"``, with C printf's ``%f``.
        """
    def __getitem__(self, i: int | SupportsIndex, /) -> float:
        """``v[i]``: component 0, 1 or 2 (x, y, z).

        Parameters
        ----------
        i
            0, 1 or 2; there are no negative indices.

        Returns
        -------
        float
            The component.

        Raises
        ------
        IndexError
            With an empty message, for any other index.
        TypeError
            For a float index.
        """
    def __setitem__(
        self,
        i: int | SupportsIndex,
        value: float | SupportsFloat | SupportsIndex,
        /,
    ) -> None:
        """``v[i] = value``: set component 0, 1 or 2.

        Parameters
        ----------
        i
            0, 1 or 2; there are no negative indices.
        value
            The new component.

        Raises
        ------
        IndexError
            With an empty message, for any other index.
        """
    def __add__(self, w: Vec3, /) -> Vec3:
        """``v + w``: the componentwise sum.

        Parameters
        ----------
        w
            The other vector; a number is a ``TypeError``.

        Returns
        -------
        Vec3
            ``(v.x + w.x, v.y + w.y, v.z + w.z)``.
        """
    def __sub__(self, w: Vec3, /) -> Vec3:
        """``v - w``: the componentwise difference.

        Parameters
        ----------
        w
            The other vector; a number is a ``TypeError``.

        Returns
        -------
        Vec3
            ``(v.x - w.x, v.y - w.y, v.z - w.z)``.
        """
    def __mul__(self, b: float | SupportsFloat | SupportsIndex, /) -> Vec3:
        """``v * b``: each component scaled; there is no ``b * v``.

        Parameters
        ----------
        b
            A plain number; a vector is a ``TypeError`` (use ``dot``).

        Returns
        -------
        Vec3
            ``(v.x·b, v.y·b, v.z·b)``.
        """
    def __truediv__(self, b: float | SupportsFloat | SupportsIndex, /) -> Vec3:
        """``v / b``: three divisions, unguarded.

        Parameters
        ----------
        b
            A plain number; 0 gives ±inf or NaN per component, no error.

        Returns
        -------
        Vec3
            ``(v.x / b, v.y / b, v.z / b)``.
        """
    def dot(self, w: Vec3, /) -> float:
        """The dot product, summed left to right.

        Parameters
        ----------
        w
            The other vector.

        Returns
        -------
        float
            ``(v.x·w.x + v.y·w.y) + v.z·w.z``.
        """
    def cross(self, w: Vec3, /) -> Vec3:
        """The right-handed cross product ``v × w``.

        Parameters
        ----------
        w
            The other vector.

        Returns
        -------
        Vec3
            ``(v.y·w.z - v.z·w.y, v.z·w.x - v.x·w.z, v.x·w.y - v.y·w.x)``.
        """
    def magnitude(self) -> float:
        """The length, not rescaled.

        Returns
        -------
        float
            ``sqrt(v.dot(v))``: inf above about 1.34e154, 0.0 below about
            1.57e-162.
        """
    def normalize(self) -> Vec3:
        """The unit vector along ``v``.

        Returns
        -------
        Vec3
            ``(x·r, y·r, z·r)`` with ``r = 1.0 / magnitude``; (0, 0, 0) when
            the magnitude is 0.0.
        """
    def distance(self, w: Vec3, /) -> float:
        """The distance between two points.

        Parameters
        ----------
        w
            The other point.

        Returns
        -------
        float
            ``(v - w).magnitude()``.
        """
    def angle(self, w: Vec3, /) -> float:
        """The angle between two vectors, in radians.

        Parameters
        ----------
        w
            The other vector.

        Returns
        -------
        float
            ``acos(c)`` with ``c = v.dot(w) / (|v|·|w|)`` clamped to [-1, 1];
            0.0 when ``|v|·|w|`` is 0.0. A NaN cosine passes through.
        """
    def reflect(self, n: Vec3, /) -> Vec3:
        """The mirror image in the plane of normal ``n``, for a unit ``n``.

        Parameters
        ----------
        n
            The plane's normal, used as given: normalize it first.

        Returns
        -------
        Vec3
            ``v - n·k`` per component with ``k = v.dot(n) + v.dot(n)``.
        """
    def project(self, w: Vec3, /) -> Vec3:
        """The projection onto the whole line of ``w``.

        Parameters
        ----------
        w
            The direction; it need not be a unit vector.

        Returns
        -------
        Vec3
            ``w·t`` per component with ``t = v.dot(w) / w.dot(w)``; (0, 0, 0)
            when ``w.dot(w)`` is 0.0.
        """
    def to_list(self) -> List[float]:
        """The components as a list.

        Returns
        -------
        list of float
            A new list ``[x, y, z]``.
        """
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """``pickle.dumps(v)``, ``copy.copy(v)``: refused, for every protocol.

        Parameters
        ----------
        protocol
            The pickle protocol.

        Raises
        ------
        TypeError
            "cannot pickle '...' object", as protocol 2 and later raise for
            any object without a way to be rebuilt; protocols 0 and 1 raise
            it here too, unless a subclass defines its own ``__reduce__``.
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
        """The integral of ``f`` over [a, b] by the composite Simpson rule.

        ``h = (b - a) / n``; ``s`` starts as ``f(a) + f(b)`` and, for
        ``i = 1 .. n-1``, becomes ``w·f(i·h + a) + s`` with w = 4.0 for odd
        ``i`` and 2.0 for even ``i``. ``f`` is called n + 1 times, at a, b,
        then the interior nodes in order.

        Parameters
        ----------
        f
            The integrand, called with one float.
        a, b
            The ends of the interval; ``b < a`` gives the signed integral.
        n
            The number of sub-intervals, positive and even.

        Returns
        -------
        float
            ``(h·s) / 3.0``.

        Raises
        ------
        RuntimeError
            "n must be positive and even" for ``n <= 0`` or an odd ``n``,
            before ``f`` is called.
        """
    @staticmethod
    def differentiate(
        f: Callable[[float], float | SupportsFloat | SupportsIndex],
        x: float | SupportsFloat | SupportsIndex,
        h: float | SupportsFloat | SupportsIndex = 1e-05,
    ) -> float:
        """The derivative of ``f`` at ``x`` by a central difference.

        Parameters
        ----------
        f
            The function, called with one float: at ``x + h`` first, then at
            ``x - h``.
        x
            Where to differentiate.
        h
            The step, not checked: 0 gives NaN.

        Returns
        -------
        float
            ``(f(x + h) - f(x - h)) / (2·h)``.
        """
    @staticmethod
    def root_newton(
        f: Callable[[float], float | SupportsFloat | SupportsIndex],
        x0: float | SupportsFloat | SupportsIndex,
        tol: float | SupportsFloat | SupportsIndex = 1e-07,
        max_iter: int | SupportsIndex = 100,
    ) -> float:
        """A root of ``f`` by Newton-Raphson from ``x0``.

        Each iteration takes ``x_new = x - f(x) / dy`` with the slope
        ``dy = (f(x + 1e-5) - f(x - 1e-5)) / 2e-5``, sampling ``f`` at x,
        x + 1e-5, x - 1e-5. Convergence is judged on the step alone, never
        on ``|f(x)|``.

        Parameters
        ----------
        f
            The function, called with one float.
        x0
            The starting point.
        tol
            The step length below which ``x_new`` is returned.
        max_iter
            The number of iterations allowed.

        Returns
        -------
        float
            The first ``x_new`` with ``|x_new - x| < tol``.

        Raises
        ------
        RuntimeError
            "Zero derivative encountered" when ``|dy| < 1e-12``;
            "Newton-Raphson failed to converge" after ``max_iter`` iterations
            (at once if ``max_iter <= 0``).
        """
    def __reduce_ex__(self, protocol: int | SupportsIndex, /) -> object:  # type: ignore[override]
        """What ``object.__reduce_ex__`` gives, except for protocols 0 and 1.

        Instances cannot be pickled: every protocol raises ``TypeError``
        ("cannot pickle '...' object"), as protocol 2 and later do for any
        object without a way to be rebuilt; protocols 0 and 1 raise it here,
        unless the class defines its own ``__reduce__``.
        """
