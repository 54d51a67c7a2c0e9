// The Python face of the toolkit: the module definition and every binding.
//
// The value types know nothing of Python; this file only names their
// operations for Python. Operators are bound as plain methods (no operator
// marking), so an operand no overload accepts raises TypeError from the
// method itself. Overloads of one name are registered Scalar-first: the
// dispatcher tries them in this order, exact types before conversions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "fast_paths.hpp"
#include "format.hpp"
#include "orbelon/constants.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/solver.hpp"
#include "orbelon/vec3.hpp"

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;
using orbelon::Vec3;
using orbelon::fixed;

namespace {

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

// Component i of v: 0, 1, 2 for x, y, z. No wrap-around; anything else is an
// IndexError with no message.
double& component(Vec3& v, int i) {
    switch (i) {
        case 0: return v.x;
        case 1: return v.y;
        case 2: return v.z;
        default: throw py::index_error();
    }
}

void register_vec3(py::module_& m) {
    py::class_<Vec3>(m, "Vec3")
        .def(py::init<double, double, double>(), py::arg("x") = 0, py::arg("y") = 0, py::arg("z") = 0)
        .def_readwrite("x", &Vec3::x)
        .def_readwrite("y", &Vec3::y)
        .def_readwrite("z", &Vec3::z)
        .def("__repr__",
             [](const Vec3& v) {
                 return "<Vec3 (" + fixed(v.x) + ", " + fixed(v.y) + ", " + fixed(v.z) + ")>";
             })
        .def("__getitem__", [](Vec3& v, int i) { return component(v, i); })
        .def("__setitem__", [](Vec3& v, int i, double d) { component(v, i) = d; })
        .def("__add__", &Vec3::operator+)
        .def("__sub__", &Vec3::operator-)
        .def("__mul__", &Vec3::operator*)
        .def("__truediv__", &Vec3::operator/)
        .def("dot", &Vec3::dot)
        .def("cross", &Vec3::cross)
        .def("magnitude", &Vec3::magnitude)
        .def("normalize", &Vec3::normalize)
        .def("distance", &Vec3::distance)
        .def("angle", &Vec3::angle)
        .def("reflect", &Vec3::reflect)
        .def("project", &Vec3::project)
        .def("to_list", &Vec3::to_list);
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

// A plain submodule, entered in sys.modules as orbelon_core.Constants so that
// `from orbelon_core.Constants import h` works.
void register_constants(py::module_& m) {
    namespace C = orbelon::Constants;
    py::module_ c = m.def_submodule("Constants");
    c.attr("pi") = C::pi;
    c.attr("e") = C::e;
    c.attr("phi") = C::phi;
    c.attr("gamma") = C::gamma;
    c.attr("c") = C::c;
    c.attr("h") = C::h;
    c.attr("k") = C::k;
    c.attr("Na") = C::Na;
    c.attr("g") = C::g;
}

}  // namespace

PYBIND11_MODULE(orbelon_core, m) {
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    register_scalar(m);
    register_vec3(m);
    register_solver(m);
    register_constants(m);
    orbelon::fast::install(m);  // last: it stands in front of the methods above
}
