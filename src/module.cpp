// The Python face of the toolkit: the module definition and every binding.
//
// The value types know nothing of Python; this file only names their
// operations for Python. Operators are bound as plain methods (no operator
// marking), so an operand no overload accepts raises TypeError from the
// method itself. Overloads of one name are registered Scalar-first: the
// dispatcher tries them in this order, exact types before conversions.
#include <pybind11/pybind11.h>

#include <cstdio>
#include <string>

#include "orbelon/scalar.hpp"
#include "orbelon/solver.hpp"

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;

namespace {

// A double as printf's "%f" writes it: fixed notation, six decimals, and the
// C library's own spelling of -0, inf and nan (with the sign of a NaN).
std::string fixed(double v) {
    char buf[512];  // %f of the largest double needs 316 characters
    const int n = std::snprintf(buf, sizeof buf, "%f", v);
    return std::string(buf, static_cast<std::size_t>(n));
}

void register_scalar(py::module_& m) {
    py::class_<Scalar>(m, "Scalar")
        .def(py::init<double, double>(), py::arg("val"), py::arg("d") = 0.0)
        .def_readwrite("val", &Scalar::val)
        .def_readwrite("d", &Scalar::d)
        .def("__repr__",
             [](const Scalar& a) { return "<Scalar val=" + fixed(a.val) + ", d=" + fixed(a.d) + ">"; })
        .def("__float__", [](const Scalar& a) { return a.val; })
        .def("__add__", [](const Scalar& a, const Scalar& o) { return a + o; })
        .def("__add__", [](const Scalar& a, double b) { return a + b; })
        .def("__radd__", [](const Scalar& a, double b) { return a + b; })
        .def("__sub__", [](const Scalar& a, const Scalar& o) { return a - o; })
        .def("__sub__", [](const Scalar& a, double b) { return a - b; })
        .def("__rsub__", [](const Scalar& a, double b) { return Scalar(b) - a; })
        .def("__mul__", [](const Scalar& a, const Scalar& o) { return a * o; })
        .def("__mul__", [](const Scalar& a, double b) { return a * b; })
        .def("__rmul__", [](const Scalar& a, double b) { return a * b; })
        .def("__truediv__", [](const Scalar& a, const Scalar& o) { return a / o; })
        .def("__truediv__", [](const Scalar& a, double b) { return a / Scalar(b); })
        .def("__rtruediv__", [](const Scalar& a, double b) { return Scalar(b) / a; })
        .def("__neg__", [](const Scalar& a) { return -a; })
        .def("__pow__", &Scalar::pow)
        .def("__eq__", &Scalar::operator==)
        .def("__lt__", &Scalar::operator<)
        .def("sin", &Scalar::sin)
        .def("cos", &Scalar::cos)
        .def("tan", &Scalar::tan)
        .def("exp", &Scalar::exp)
        .def("log", &Scalar::log)
        .def("sqrt", &Scalar::sqrt)
        .def("abs", &Scalar::abs)
        .def("pow", &Scalar::pow);
}

// A namespace of static routines: no constructor is bound, so Solver()
// raises the binding library's "No constructor defined!".
void register_solver(py::module_& m) {
    py::class_<Solver>(m, "Solver")
        .def_static("integrate", &Solver::integrate,
                    py::arg("f"), py::arg("a"), py::arg("b"), py::arg("n") = 100)
        .def_static("differentiate", &Solver::differentiate,
                    py::arg("f"), py::arg("x"), py::arg("h") = 1e-05)
        .def_static("root_newton", &Solver::root_newton,
                    py::arg("f"), py::arg("x0"), py::arg("tol") = 1e-07, py::arg("max_iter") = 100);
}

}  // namespace

PYBIND11_MODULE(orbelon_core, m) {
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    register_scalar(m);
    register_solver(m);
}
