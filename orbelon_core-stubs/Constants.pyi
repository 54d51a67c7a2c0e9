"""Four mathematical and five physical constants (SI units), as floats.

Ordinary module attributes: they can be rebound, and nothing restores them.
Also importable by its dotted name: ``from orbelon_core.Constants import g``.
"""

pi: float
"""3.141592653589793, the ratio of a circle's circumference to its diameter (``math.pi``)."""
e: float
"""2.718281828459045, the base of the natural logarithm (``math.e``)."""
phi: float
"""1.618033988749895, the golden ratio (1 + √5) / 2."""
gamma: float
"""0.577215664901532, the Euler–Mascheroni constant to 15 decimals (not the nearest double)."""
c: float
"""299792458.0 m/s, the speed of light in vacuum (exact)."""
h: float
"""6.62607015e-34 J·s, the Planck constant (exact)."""
k: float
"""1.380649e-23 J/K, the Boltzmann constant (exact)."""
Na: float
"""6.02214076e+23 1/mol, the Avogadro constant (exact)."""
g: float
"""9.80665 m/s², the standard acceleration of gravity (conventional)."""
