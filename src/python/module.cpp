// The Python face of the toolkit: the module definition and every binding.
//
// The value types know nothing of Python, and the surface of each class is a
// table in rules.hpp; this file registers the tables with the binding
// library, row by row in table order, and puts the module's own descriptors
// in front of what the library made (descriptors.hpp). Operators are bound as
// plain methods (no operator marking), so an operand no overload accepts
// raises TypeError from the method itself. Overloads of one name are
// registered Scalar-first: the dispatcher tries them in this order, exact
// types before conversions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "orbelon/constants.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/solver.hpp"
#include "orbelon/vec3.hpp"
#include "python/descriptors.hpp"
#include "python/fence/instance.hpp"
#include "python/fence/pool.hpp"
#include "python/metaclass.hpp"
#include "python/rules.hpp"
#if ORBELON_FAST_PATHS
#    include "python/fast/calls.hpp"
#    include "python/fast/slots.hpp"
#endif

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;
using orbelon::Vec3;
namespace rules = orbelon::rules;
namespace descriptors = orbelon::descriptors;
namespace internals = orbelon::internals;
namespace metaclass = orbelon::metaclass;

// A representation comes back to Python as a str.
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

// ---------------------------------------------------------------------------
// What each build puts behind the descriptors

#if ORBELON_FAST_PATHS
template <class T, std::size_t I, class Row>
constexpr vectorcallfunc call(const Row& row) {
    return orbelon::fast::call<T, I>(row);
}
PyTypeObject field_type = descriptors::make_field_type(orbelon::fast::field_get, orbelon::fast::field_set);
#else
template <class T, std::size_t I, class Row>
constexpr vectorcallfunc call(const Row&) {
    return descriptors::call_library;
}
PyTypeObject field_type =
    descriptors::make_field_type(descriptors::field_library_get, descriptors::field_library_set);
#endif

// ---------------------------------------------------------------------------
// The rows of a table, registered; each knows its place I in the table.

template <class T>
struct Binder {
    py::class_<T>& cls;
    vectorcallfunc construct = nullptr;  // the fast build's, from the Init row
    std::vector<descriptors::FieldDescr*> fields = {};

    template <std::size_t I, auto... Rules>
    void row(const rules::Method<Rules...>& row) {
        (cls.def(row.name, Rules), ...);
        PyObject* descr = descriptors::adopt_method(cls, row.name, call<T, I>(row));
#if ORBELON_FAST_PATHS
        orbelon::fast::Adopted<T, I>::descr = internals::new_ref(descr);
        orbelon::fast::OwnSlots<T>::template offer<I, Rules...>(row.name, descr);
#else
        (void)descr;
#endif
    }

    template <std::size_t, auto Member>
    void row(const rules::Field<Member>& row) {
        cls.def_readwrite(row.name, Member);
        fields.push_back(descriptors::adopt_field<T>(field_type, cls, row.name, Member));
    }

    template <std::size_t I, int N, int Required, class Default>
    void row(const rules::Init<T, N, Required, Default>& row) {
        init<I>(row, std::make_index_sequence<N>{});
    }

    template <class Table, std::size_t... I>
    void rows(const Table& table, std::index_sequence<I...>) {
        (row<I>(std::get<I>(table)), ...);
    }

    template <std::size_t I, int N, int Required, class Default>
    static auto parameter(const rules::Init<T, N, Required, Default>& row) {
        if constexpr (I < Required) return py::arg(row.names[I]);
        else return py::arg(row.names[I]) = row.fallback;
    }

    template <std::size_t Row, int N, int Required, class Default, std::size_t... I>
    void init(const rules::Init<T, N, Required, Default>& row, std::index_sequence<I...>) {
        cls.def(py::init<decltype((void)I, 0.0)...>(), parameter<I>(row)...);
#if ORBELON_FAST_PATHS
        construct = call<T, Row>(row);
        orbelon::fast::Init<T>::original = cls.attr("__dict__")["__init__"].ptr();
        Py_INCREF(orbelon::fast::Init<T>::original);
        orbelon::fast::Init<T>::fallback = static_cast<double>(row.fallback);
#endif
    }
};

// Pickling protocols 0 and 1 go through copyreg, which rebuilds an object
// from the first class along its MRO whose __new__ is a builtin bound to that
// class. For a bound class that is the library's common base: from Python
// 3.12 on copyreg calls it with the object, and it aborts the interpreter,
// since it cannot make an instance; before 3.12 the pickle is made but can
// never be loaded. Those protocols are refused, on every version, with the
// TypeError the later protocols give; a class with its own __reduce__, and
// every later protocol, get object's.
template <class T>
void refuse_old_pickle_protocols(py::class_<T>& cls) {
    cls.def("__reduce_ex__", [](py::handle self, int protocol) -> py::object {
        py::handle object(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        const bool own_reduce = !py::type::handle_of(self).attr("__reduce__").is(object.attr("__reduce__"));
        if (protocol < 2 && !own_reduce)
            throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
        return object.attr("__reduce_ex__")(self, protocol);
    });
}

// The same reduction is reached without pickle: s.__reduce__(),
// object.__reduce_ex__(s, 1), copyreg._reduce_ex(s, 1). So the class gets a
// __new__ of its own, the very builtin CPython gives a class whose tp_new is
// its own (object's __new__ wrapper, bound to the class), which leaves its
// tp_new as it is. copyreg then stops at the class: its own instances are
// refused ("cannot pickle"), and a Python subclass's are rebuilt from it.
// Only while the class's tp_new is the library's: another would be called by
// this wrapper, and it may be a Python __new__ that finds the wrapper again.
void give_own_new(py::handle cls) {
    static PyMethodDef def{"__new__", nullptr, 0, nullptr};
    static std::string doc;
    py::object object_new = py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__new__");
    if (internals::as_type(cls)->tp_new != internals::Library::new_ || !PyCFunction_Check(object_new.ptr())) return;
    if (!def.ml_meth) {
        doc = "__new__" + object_new.attr("__text_signature__").cast<std::string>() + "\n--\n\n"
              + object_new.attr("__doc__").cast<std::string>();
        def.ml_doc = doc.c_str();
        def.ml_flags = PyCFunction_GetFlags(object_new.ptr());
        def.ml_meth = PyCFunction_GetFunction(object_new.ptr());
    }
    auto own_new = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, cls.ptr(), nullptr));
    if (!own_new) throw py::error_already_set();
    py::setattr(cls, "__new__", own_new);
}

// What every class gets, in both builds: a self without a value is refused,
// __class__ never moves to a class holding other C++ values, the class has a
// deallocation of its own (the pool's way in), and the old pickle protocols
// cannot reach the library's base.
template <class T>
void harden(py::class_<T>& cls) {
    internals::refuse_lazy_values<T>(cls);
    internals::guard_class_assignment(cls);
    internals::give_own_dealloc<T>(cls);
    if (internals::keep_apart(internals::as_type(cls)) < 0) throw py::error_already_set();
    refuse_old_pickle_protocols(cls);
    give_own_new(cls);
}

py::metaclass orbelon_type() { return py::metaclass(reinterpret_cast<PyObject*>(metaclass::Meta::type)); }

// The class of T, registered from its table. In the fast build the library's
// instance layout is checked first; a layout the fast paths do not know fails
// the import, loudly, rather than running slow or wrong. The fast paths then
// take the class once a sample instance made by the library's own functions
// agrees with them: if it cannot be made so (a program replaced the library
// base's __new__ before the import), the class is left to the library alone.
template <class T, class Table>
void bind_class(py::module_& m, const char* name, const Table& table, const T& sample, py::tuple sample_args) {
    py::class_<T> cls(m, name, orbelon_type());
    Binder<T> binder{cls};
    binder.rows(table, std::make_index_sequence<std::tuple_size_v<Table>>{});
    harden<T>(cls);
#if ORBELON_FAST_PATHS
    const std::string why = internals::layout_problem(cls);
    if (!why.empty()) throw std::runtime_error(std::string("orbelon_core: ") + name + ": " + why);
    if (!internals::sample_agrees(cls, sample, sample_args)) return;
    internals::take_class<T>(cls);
    internals::Pool<T>::open = true;
    for (descriptors::FieldDescr* field : binder.fields) field->served = internals::as_type(cls);
    if (binder.construct) internals::set_construct(cls.ptr(), metaclass::Meta::type, binder.construct);
    orbelon::fast::OwnSlots<T>::write(internals::as_type(cls));
#else
    (void)sample, (void)sample_args;
#endif
}

// ---------------------------------------------------------------------------
// The parts, in registration order

void register_scalar(py::module_& m) {
    bind_class(m, "Scalar", rules::scalar_surface, Scalar(1.5, -2.25), py::make_tuple(1.5, -2.25));
}

void register_vec3(py::module_& m) {
    bind_class(m, "Vec3", rules::vec3_surface, Vec3(1.5, -2.25, 4.0), py::make_tuple(1.5, -2.25, 4.0));
}

// A namespace of static routines: no constructor is bound, so Solver()
// raises the binding library's "No constructor defined!".
void register_solver(py::module_& m) {
    py::class_<Solver> cls(m, "Solver", orbelon_type());
    cls.def_static("integrate", &Solver::integrate, py::arg("f"), py::arg("a"), py::arg("b"), py::arg("n") = 100)
        .def_static("differentiate", &Solver::differentiate, py::arg("f"), py::arg("x"), py::arg("h") = 1e-05)
        .def_static("root_newton", &Solver::root_newton, py::arg("f"), py::arg("x0"), py::arg("tol") = 1e-07,
                    py::arg("max_iter") = 100);
    harden<Solver>(cls);
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

// Set once an import has succeeded: the classes are registered with the
// library for the whole process, so a second import (after its module was
// removed from sys.modules) could only fail halfway. An import that failed
// before registering a class (an audit hook refusing it, say) may be tried
// again, and then behaves like a first one.
bool initialised = false;

// Only the main interpreter may import the module: its classes and the
// library's registry of them belong to one interpreter, and an import in a
// subinterpreter must not keep the main one from importing it.
void refuse_second_import() {
    if (PyThreadState_Get()->interp != PyInterpreterState_Main())
        throw py::import_error("orbelon_core: only the main interpreter can import this module");
    if (initialised) throw py::import_error("orbelon_core: initialised once per process only");
}

// Which build this is, as the audit event "orbelon_core.fast_paths"
// (sys.addaudithook), for the tests to see. Raised before anything is
// registered, so that a hook refusing it fails the import with nothing
// left behind.
void announce_build() {
    const char* status = ORBELON_FAST_PATHS ? "installed" : "off";
    if (PySys_Audit("orbelon_core.fast_paths", "s", status) < 0) throw py::error_already_set();
}

// The module's own types: the metaclass of the bound classes and the two
// descriptor types; the spare instances given back at exit. What can fail
// on its own (an audit hook refusing the import of atexit) comes first.
void prepare_types() {
    py::object at_exit = py::module_::import("atexit").attr("register");
    if (PyType_Ready(&descriptors::method_type) < 0 || PyType_Ready(&field_type) < 0) throw py::error_already_set();
    metaclass::make();
    at_exit(py::cpp_function([] {
        internals::Pool<Scalar>::drain();
        internals::Pool<Vec3>::drain();
    }));
}

}  // namespace

PYBIND11_MODULE(orbelon_core, m) {
    refuse_second_import();
    announce_build();
    prepare_types();
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    register_scalar(m);
    register_vec3(m);
    register_solver(m);
    register_constants(m);
    initialised = true;
}
