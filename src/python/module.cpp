// The Python face of the toolkit: the module definition and every binding.
//
// The value types know nothing of Python, and the rules of the surface are
// written once in rules.hpp; this file only names them for Python. Operators
// are bound as plain methods (no operator marking), so an operand no overload
// accepts raises TypeError from the method itself. Overloads of one name are
// registered Scalar-first: the dispatcher tries them in this order, exact
// types before conversions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "orbelon/constants.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/solver.hpp"
#include "orbelon/vec3.hpp"
#include "python/internals.hpp"
#include "python/rules.hpp"
#if ORBELON_FAST_PATHS
#    include "python/fast/install.hpp"
#endif

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;
using orbelon::Vec3;
namespace rules = orbelon::rules;

namespace {

template <class T>
py::str represent(const T& v) {
    rules::Text t;
    rules::describe(t, v);
    return py::str(t.buf, t.n);
}

void register_scalar(py::module_& m) {
    py::class_<Scalar> cls(m, "Scalar");
    cls.def(py::init<double, double>(), py::arg("val"), py::arg("d") = rules::default_d)
        .def_readwrite("val", &Scalar::val)
        .def_readwrite("d", &Scalar::d)
        .def("__repr__", &represent<Scalar>)
        .def("__float__", &rules::to_float);
    for (const rules::ScalarOperator& op : rules::scalar_operators)
        cls.def(op.name, op.with_scalar).def(op.name, op.with_number).def(op.reflected_name, op.reflected);
    cls.def("__neg__", &rules::neg)
        .def("__pow__", &rules::pow_::call)
        .def("__eq__", &rules::eq::call)
        .def("__lt__", &rules::lt::call);
    for (const rules::ScalarFunction& f : rules::scalar_functions) cls.def(f.name, f.fn);
    cls.def("pow", &rules::pow_::call);
}

void register_vec3(py::module_& m) {
    constexpr int zero = rules::default_component;
    py::class_<Vec3>(m, "Vec3")
        .def(py::init<double, double, double>(), py::arg("x") = zero, py::arg("y") = zero, py::arg("z") = zero)
        .def_readwrite("x", &Vec3::x)
        .def_readwrite("y", &Vec3::y)
        .def_readwrite("z", &Vec3::z)
        .def("__repr__", &represent<Vec3>)
        .def("__getitem__",
             [](Vec3& v, int i) {
                 if (double* c = rules::component(v, i)) return *c;
                 throw py::index_error();  // no message, no wrap-around
             })
        .def("__setitem__",
             [](Vec3& v, int i, double d) {
                 if (double* c = rules::component(v, i)) *c = d;
                 else throw py::index_error();
             })
        .def("__add__", &rules::vec_add::call)
        .def("__sub__", &rules::vec_sub::call)
        .def("__mul__", &rules::vec_mul::call)
        .def("__truediv__", &rules::vec_div::call)
        .def("dot", &rules::dot::call)
        .def("cross", &rules::cross::call)
        .def("magnitude", &rules::magnitude::call)
        .def("normalize", &rules::normalize::call)
        .def("distance", &rules::distance::call)
        .def("angle", &rules::angle::call)
        .def("reflect", &rules::reflect::call)
        .def("project", &rules::project::call)
        .def("to_list", &rules::to_list::call);
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

// Mends to the binding library's defaults, in both builds: a value-less
// instance is refused as self, and no class can take another's __class__.
void harden(py::module_& m) {
    for (const char* name : {"Scalar", "Vec3", "Solver"}) orbelon::internals::refuse_lazy_values(m.attr(name));
    orbelon::internals::give_distinct_layouts({m.attr("Scalar"), m.attr("Vec3"), m.attr("Solver")});
}

// The fast paths stand in front of the bindings above, or are off in a plain
// build. Which one, and why a check refused them, is reported as the audit
// event "orbelon_core.fast_paths" (sys.addaudithook), for the tests to see.
void register_fast_paths(py::module_& m) {
#if ORBELON_FAST_PATHS
    const std::string why = orbelon::fast::install(m);
    const std::string status = why.empty() ? "installed" : "refused: " + why;
#else
    (void)m;
    const std::string status = "off";
#endif
    if (PySys_Audit("orbelon_core.fast_paths", "s", status.c_str()) < 0) throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(orbelon_core, m) {
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    register_scalar(m);
    register_vec3(m);
    register_solver(m);
    register_constants(m);
    harden(m);
    register_fast_paths(m);
}
