// Constants: four mathematical and five physical constants (SI units).
#pragma once

namespace orbelon {
namespace Constants {

constexpr double pi = 3.141592653589793;     // circumference / diameter
constexpr double e = 2.718281828459045;      // base of the natural logarithm
constexpr double phi = 1.618033988749895;    // golden ratio (1 + √5) / 2
constexpr double gamma = 0.577215664901532;  // Euler–Mascheroni, to 15 decimals
constexpr double c = 299792458.0;            // speed of light in vacuum, m/s (exact)
constexpr double h = 6.62607015e-34;         // Planck constant, J·s (exact)
constexpr double Na = 6.02214076e23;         // Avogadro constant, 1/mol (exact)
constexpr double k = 1.380649e-23;           // Boltzmann constant, J/K (exact)
constexpr double g = 9.80665;                // standard gravity, m/s² (by convention)

}  // namespace Constants
}  // namespace orbelon
