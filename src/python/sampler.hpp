// The Solver routines over a Python callable: each sample is one call of it
// with one float, and its result is taken as a double the way the binding
// library's float conversion takes it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "orbelon/solver.hpp"
#include "python/compat.hpp"

namespace orbelon {
namespace sampled {

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

// f as the routines call it. The vectorcall costs no more than the
// interpreter's own call; the argument tuple is never built. Long loops over
// a builtin never give the interpreter a chance to see Ctrl-C, so it looks
// for pending signals every few thousand samples (never before the first).
class Sampler {
    const pybind11::function& f_;
    long long samples_ = 0;

public:
    explicit Sampler(const pybind11::function& f) : f_(f) {}

    double operator()(double x) {
        if (samples_ != 0 && (samples_ & 4095) == 0 && PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        ++samples_;
        auto arg = pybind11::reinterpret_steal<pybind11::object>(PyFloat_FromDouble(x));
        if (!arg) throw pybind11::error_already_set();
        PyObject* args[2] = {nullptr, arg.ptr()};
        auto y = pybind11::reinterpret_steal<pybind11::object>(
            vectorcall(f_.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
        if (!y) throw pybind11::error_already_set();
        if (PyFloat_CheckExact(y.ptr())) return PyFloat_AS_DOUBLE(y.ptr());
        return to_double(y);
    }
};

// The routines as they are bound.
inline double integrate(const pybind11::function& f, double a, double b, int n) {
    return Solver::integrate(Sampler(f), a, b, n);
}
inline double differentiate(const pybind11::function& f, double x, double h) {
    return Solver::differentiate(Sampler(f), x, h);
}
inline double root_newton(const pybind11::function& f, double x0, double tol, int max_iter) {
    return Solver::root_newton(Sampler(f), x0, tol, max_iter);
}

}  // namespace sampled
}  // namespace orbelon
