// orbelon_core's tables bound the way the binding library binds anything: its
// own metaclass, its own method and property objects, its own dispatch, and
// nothing of the module's own (no descriptors, no metaclass, no fast paths,
// no hardening). The suite compares the module with it (tests/test_stock.py):
// whatever the module shows Python differently from this is either on
// purpose, and listed there, or a fault. The extension is named orbelon_core
// too, so the same code runs against it when its directory comes first.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <tuple>
#include <utility>

#include "orbelon/constants.hpp"
#include "orbelon/scalar.hpp"
#include "python/sampler.hpp"
#include "orbelon/vec3.hpp"
#include "python/rules.hpp"

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;
using orbelon::Vec3;
namespace rules = orbelon::rules;

// A representation comes back to Python as a str, as in the module.
namespace pybind11 {
namespace detail {
template <>
struct type_caster<rules::Text> {
    PYBIND11_TYPE_CASTER(rules::Text, const_name("str"));
    bool load(handle, bool) { return false; }
    static handle cast(const rules::Text& t, return_value_policy, handle) {
        return PyUnicode_FromStringAndSize(t.buf, static_cast<Py_ssize_t>(t.n));
    }
};
}  // namespace detail
}  // namespace pybind11

namespace {

// Each row as the library registers it, and only that.
template <class T>
struct Binder {
    py::class_<T>& cls;

    template <auto... Rules>
    void operator()(const rules::Method<Rules...>& row) {
        (cls.def(row.name, Rules), ...);
    }

    template <auto Member>
    void operator()(const rules::Field<Member>& row) {
        cls.def_readwrite(row.name, Member);
    }

    template <int N, int Required, class Default>
    void operator()(const rules::Init<T, N, Required, Default>& row) {
        init(row, std::make_index_sequence<N>{});
    }

    template <std::size_t I, int N, int Required, class Default>
    static auto parameter(const rules::Init<T, N, Required, Default>& row) {
        if constexpr (I < Required) return py::arg(row.names[I]);
        else return py::arg(row.names[I]) = row.default_value;
    }

    template <int N, int Required, class Default, std::size_t... I>
    void init(const rules::Init<T, N, Required, Default>& row, std::index_sequence<I...>) {
        cls.def(py::init<decltype((void)I, 0.0)...>(), parameter<I>(row)...);
    }
};

template <class T, class Table>
void bind_class(py::module_& m, const char* name, const Table& table) {
    py::class_<T> cls(m, name);
    std::apply([&](const auto&... row) { (Binder<T>{cls}(row), ...); }, table);
}

}  // namespace

PYBIND11_MODULE(orbelon_core, m) {
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    bind_class<Scalar>(m, "Scalar", rules::scalar_surface);
    bind_class<Vec3>(m, "Vec3", rules::vec3_surface);
    py::class_<Solver>(m, "Solver")
        .def_static("integrate", &orbelon::sampled::integrate, py::arg("f"), py::arg("a"), py::arg("b"), py::arg("n") = 100)
        .def_static("differentiate", &orbelon::sampled::differentiate, py::arg("f"), py::arg("x"), py::arg("h") = 1e-05)
        .def_static("root_newton", &orbelon::sampled::root_newton, py::arg("f"), py::arg("x0"), py::arg("tol") = 1e-07,
                    py::arg("max_iter") = 100);
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
