// Solver: integration, differentiation and root finding over a function of
// one double, f(x) -> double, called once per sample in the order written
// below. Whatever f throws leaves the routine unchanged.
#pragma once

#include <cmath>
#include <stdexcept>

namespace orbelon {

struct Solver {
    // Composite Simpson rule on n sub-intervals (n positive and even):
    // (h/3)·[f(a) + f(b) + Σ 4 f(x_odd) + Σ 2 f(x_even)], h = (b − a)/n.
    // Each node is i·h + a, never accumulated, so rounding does not drift.
    template <class F>
    static double integrate(F&& f, double a, double b, int n) {
        if (n <= 0 || n % 2 != 0) throw std::runtime_error("n must be positive and even");
        const double h = (b - a) / static_cast<double>(n);
        double s = f(a);
        s = s + f(b);
        for (int i = 1; i < n; ++i) {
            const double w = (i % 2 == 1) ? 4.0 : 2.0;
            s = w * f(static_cast<double>(i) * h + a) + s;
        }
        return (h * s) / 3.0;
    }

    // Central difference: f'(x) ≈ (f(x + h) − f(x − h)) / (2h). The step is
    // used as given; zero, negative or non-finite steps are plain IEEE.
    template <class F>
    static double differentiate(F&& f, double x, double h_val) {
        const double yp = f(x + h_val);
        const double ym = f(x - h_val);
        return (yp - ym) / (2 * h_val);
    }

    // Newton-Raphson with the central-difference slope at step 1e-5:
    // x ← x − f(x)/f'(x), until one step is shorter than tol.
    // Convergence is judged on the step alone, never on |f(x)|.
    template <class F>
    static double root_newton(F&& f, double x0, double tol, int max_iter) {
        double x = x0;
        for (int i = 0; i < max_iter; ++i) {
            const double y = f(x);
            const double dy = differentiate(f, x, 1e-5);
            // Quiet comparisons: a NaN slope or step passes, raising no flag.
            if (std::isless(std::fabs(dy), 1e-12)) throw std::runtime_error("Zero derivative encountered");
            const double x_new = x - y / dy;
            if (std::isless(std::fabs(x_new - x), tol)) return x_new;
            x = x_new;
        }
        throw std::runtime_error("Newton-Raphson failed to converge");
    }
};

}  // namespace orbelon
