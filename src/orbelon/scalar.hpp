// Scalar: a dual number val + d·ε with ε² = 0.
//
// Carrying the derivative alongside the value makes every expression built
// from these operations differentiate itself (forward-mode automatic
// differentiation): seed the independent variable with d = 1 and constants
// with d = 0, and the result's d is the derivative of the whole expression.
//
// Each rule is written in exactly the grouping it must be evaluated in; with
// no fused multiply-add and no reassociation the results are reproducible to
// the last bit. Every comparison that may meet a NaN is a quiet one
// (std::isless and friends): a plain `<` raises the invalid flag for a NaN
// under some compilers and not others, and a program that traps on it would
// see builds differ.
#pragma once

#include <cmath>
#include <stdexcept>

namespace orbelon {

struct Scalar {
    double val;  // the value
    double d;    // its derivative

    // Divisors (and tan's cosine) smaller in magnitude than this are refused.
    static constexpr double guard = 1e-9;

    constexpr Scalar(double val, double d = 0.0) : val(val), d(d) {}

    // (u + v)' = u' + v'
    Scalar operator+(const Scalar& o) const { return {val + o.val, d + o.d}; }
    // (u + b)' = u'
    Scalar operator+(double o) const { return {val + o, d}; }

    // (u − v)' = u' − v'
    Scalar operator-(const Scalar& o) const { return {val - o.val, d - o.d}; }
    // (u − b)' = u'
    Scalar operator-(double o) const { return {val - o, d}; }

    // (u·v)' = u'·v + u·v'
    Scalar operator*(const Scalar& o) const { return {val * o.val, d * o.val + val * o.d}; }
    // (u·b)' = u'·b
    Scalar operator*(double o) const { return {val * o, d * o}; }

    // (u / v)' = (u'·v − u·v') / v²
    // A constant divisor goes through the same rule as {b, 0}, so the u·0 term
    // is kept: it turns an infinite or NaN value into a NaN derivative.
    Scalar operator/(const Scalar& o) const {
        if (std::isless(std::fabs(o.val), guard)) throw std::runtime_error("Division by zero");
        return {val / o.val, (d * o.val - val * o.d) / (o.val * o.val)};
    }

    // (−u)' = −u'; flips both sign bits, so 0 becomes −0.
    Scalar operator-() const { return {-val, -d}; }

    // (uⁿ)' = (n·uⁿ⁻¹)·u'. No domain check: pow's NaN and inf flow through.
    Scalar pow(double n) const { return {std::pow(val, n), (n * std::pow(val, n - 1.0)) * d}; }

    // sin' = cos
    Scalar sin() const { return {std::sin(val), std::cos(val) * d}; }
    // cos' = −sin
    Scalar cos() const { return {std::cos(val), (-std::sin(val)) * d}; }

    // tan = sin / cos (the quotient, not the library tangent), tan' = 1 / cos².
    // Refused where cos is within the guard of zero; a NaN cosine passes.
    Scalar tan() const {
        const double s = std::sin(val), c = std::cos(val);
        if (std::isless(std::fabs(c), guard)) throw std::runtime_error("Tan undefined (cos is 0)");
        return {s / c, (1.0 / (c * c)) * d};
    }

    // exp' = exp
    Scalar exp() const {
        const double e = std::exp(val);
        return {e, e * d};
    }

    // log' = 1 / u; both zeros are outside the domain, NaN passes.
    Scalar log() const {
        if (std::islessequal(val, 0.0)) throw std::runtime_error("Log domain error");
        return {std::log(val), (1.0 / val) * d};
    }

    // sqrt' = 0.5 / sqrt(u); at ±0 the derivative is ±inf times d.
    Scalar sqrt() const {
        if (std::isless(val, 0.0)) throw std::runtime_error("Sqrt of negative number");
        const double r = std::sqrt(val);
        return {r, (0.5 / r) * d};
    }

    // |u|' = sign(u)·u', taking sign(±0) = +1 and sign(NaN) = −1.
    Scalar abs() const { return {std::fabs(val), (std::isgreaterequal(val, 0.0) ? 1.0 : -1.0) * d}; }

    // Comparisons look at the values only; derivatives play no part.
    bool operator==(const Scalar& o) const { return val == o.val; }
    bool operator<(const Scalar& o) const { return std::isless(val, o.val); }
};

}  // namespace orbelon
