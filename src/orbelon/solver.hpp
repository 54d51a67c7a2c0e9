// Solver: integration, differentiation and root finding over a Python callable.
//
// Every sample of the function is one call of the callable with one float.
// The callable's own exceptions leave the routine unchanged, and a result
// that is not a number raises the binding library's cast error.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "vectorcall.hpp"

namespace orbelon {

namespace detail {

// A sample's result as a double, as the library's float conversion takes it:
// a float, else anything with __float__ (or __index__), else the library's
// cast error. Only a RecursionError raised by the conversion is kept, as
// itself: the library would drop it and carry on, which on 3.8, at the
// interpreter's recursion limit, ends the process.
[[gnu::noinline]] inline double to_double(const pybind11::object& y) {
    auto raise_recursion = [] {
        if (PyErr_ExceptionMatches(PyExc_RecursionError)) throw pybind11::error_already_set();
        PyErr_Clear();
    };
    const double v = PyFloat_AsDouble(y.ptr());
    if (!(v == -1.0 && PyErr_Occurred())) return v;
    raise_recursion();
    if (PyNumber_Check(y.ptr())) {
        auto number = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Float(y.ptr()));
        if (!number) raise_recursion();
        if (number && PyFloat_Check(number.ptr())) return PyFloat_AS_DOUBLE(number.ptr());
    }
    const std::string type = pybind11::str(pybind11::type::handle_of(y));
    throw pybind11::cast_error("Unable to cast Python instance of type " + type + " to C++ type 'double'");
}

// f(p) as a double. The vectorcall costs no more than the interpreter's own
// call; the argument tuple is never built.
inline double sample(const pybind11::function& f, double p) {
    auto arg = pybind11::reinterpret_steal<pybind11::object>(PyFloat_FromDouble(p));
    if (!arg) throw pybind11::error_already_set();
    PyObject* args[2] = {nullptr, arg.ptr()};
    auto y = pybind11::reinterpret_steal<pybind11::object>(
        orbelon::vectorcall(f.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!y) throw pybind11::error_already_set();
    if (PyFloat_CheckExact(y.ptr())) return PyFloat_AS_DOUBLE(y.ptr());
    return to_double(y);
}

// Long loops over a builtin never give the interpreter a chance to see
// Ctrl-C, so look for pending signals every few thousand iterations (never
// before the first sample).
inline void check_signals(long long i) {
    if (i != 0 && (i & 4095) == 0 && PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

}  // namespace detail

struct Solver {
    // Composite Simpson rule on n sub-intervals (n positive and even):
    // (h/3)·[f(a) + f(b) + Σ 4 f(x_odd) + Σ 2 f(x_even)], h = (b − a)/n.
    // Each node is i·h + a, never accumulated, so rounding does not drift.
    static double integrate(const pybind11::function& f, double a, double b, int n) {
        if (n <= 0 || n % 2 != 0) throw std::runtime_error("n must be positive and even");
        const double h = (b - a) / static_cast<double>(n);
        double s = detail::sample(f, a);
        s = s + detail::sample(f, b);
        for (int i = 1; i < n; ++i) {
            detail::check_signals(i);
            const double w = (i % 2 == 1) ? 4.0 : 2.0;
            s = w * detail::sample(f, static_cast<double>(i) * h + a) + s;
        }
        return (h * s) / 3.0;
    }

    // Central difference: f'(x) ≈ (f(x + h) − f(x − h)) / (2h). The step is
    // used as given; zero, negative or non-finite steps are plain IEEE.
    static double differentiate(const pybind11::function& f, double x, double h_val) {
        const double yp = detail::sample(f, x + h_val);
        const double ym = detail::sample(f, x - h_val);
        return (yp - ym) / (2 * h_val);
    }

    // Newton-Raphson with the central-difference slope at step 1e-5:
    // x ← x − f(x)/f'(x), until one step is shorter than tol.
    // Convergence is judged on the step alone, never on |f(x)|.
    static double root_newton(const pybind11::function& f, double x0, double tol, int max_iter) {
        double x = x0;
        for (int i = 0; i < max_iter; ++i) {
            detail::check_signals(i);
            const double y = detail::sample(f, x);
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
