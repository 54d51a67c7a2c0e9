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
#include "python/sampler.hpp"
#include "orbelon/vec3.hpp"
#include "python/descriptors.hpp"
#include "python/fence/instance.hpp"
#include "python/fence/module.hpp"
#include "python/metaclass.hpp"
#include "python/rules.hpp"
#include "python/state.hpp"
#if ORBELON_FAST_PATHS
#    include "python/fast/calls.hpp"
#    include "python/fast/slots.hpp"
#endif

namespace py = pybind11;
using orbelon::Scalar;
using orbelon::Solver;
using orbelon::State;
using orbelon::Vec3;
namespace rules = orbelon::rules;
namespace descriptors = orbelon::descriptors;
namespace fence = orbelon::fence;
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
constexpr descrgetfunc field_get = orbelon::fast::field_get;
constexpr descrsetfunc field_set = orbelon::fast::field_set;
#else
template <class T, std::size_t I, class Row>
constexpr vectorcallfunc call(const Row&) {
    return descriptors::call_library;
}
constexpr descrgetfunc field_get = descriptors::field_library_get;
constexpr descrsetfunc field_set = descriptors::field_library_set;
#endif

// ---------------------------------------------------------------------------
// The rows of a table, registered; each knows its place I in the table.

template <class T>
struct Binder {
    State& state;
    py::class_<T>& cls;
    vectorcallfunc construct = nullptr;  // the fast build's, from the Init row
    std::vector<descriptors::FieldDescr*> fields = {};

    template <std::size_t I, auto... Rules>
    void row(const rules::Method<Rules...>& row) {
        (cls.def(row.name, Rules), ...);
        PyObject* descr = descriptors::adopt_method(state.method_type, &state, cls, row.name, call<T, I>(row));
#if ORBELON_FAST_PATHS
        orbelon::fast::OwnSlots<T>::template offer<I, Rules...>(state.of<T>().slots, row.slot, descr);
#else
        (void)descr;
#endif
    }

    template <std::size_t, auto Member>
    void row(const rules::Field<Member>& row) {
        cls.def_readwrite(row.name, Member);
        fields.push_back(descriptors::adopt_field<T>(state.field_type, cls, row.name, Member));
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
        else return py::arg(row.names[I]) = row.default_value;
    }

    template <std::size_t Row, int N, int Required, class Default, std::size_t... I>
    void init(const rules::Init<T, N, Required, Default>& row, std::index_sequence<I...>) {
        cls.def(py::init<decltype((void)I, 0.0)...>(), parameter<I>(row)...);
#if ORBELON_FAST_PATHS
        construct = call<T, Row>(row);
        orbelon::ClassState<T>& c = state.of<T>();
        Py_XSETREF(c.init, py::object(cls.attr("__dict__")["__init__"]).release().ptr());
        c.default_value = static_cast<double>(row.default_value);
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
// (The definition is the same C function and text in every interpreter,
// made once by the first.)
void give_own_new(const State& state, py::handle cls) {
    py::object object_new = py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__new__");
    if (fence::as_type(cls)->tp_new != state.library.new_ || !PyCFunction_Check(object_new.ptr())) return;
    static const std::string doc = "__new__" + object_new.attr("__text_signature__").cast<std::string>()
                                   + "\n--\n\n" + object_new.attr("__doc__").cast<std::string>();
    static PyMethodDef def{"__new__", PyCFunction_GetFunction(object_new.ptr()), PyCFunction_GetFlags(object_new.ptr()),
                           doc.c_str()};
    auto own_new = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, cls.ptr(), nullptr));
    if (!own_new) throw py::error_already_set();
    py::setattr(cls, "__new__", own_new);
}

// What every class gets, in both builds: a self without a value is refused,
// __class__ never moves to a class holding other C++ values, the class has a
// deallocation of its own (the pool's way in), and the old pickle protocols
// cannot reach the library's base.
template <class T>
void harden(State& state, py::class_<T>& cls) {
    fence::refuse_lazy_values<T>(cls);
    fence::guard_class_assignment(cls);
    orbelon::give_own_dealloc<T>(state, cls);
    if (fence::keep_apart(state.apart, fence::as_type(cls)) < 0) throw py::error_already_set();
    refuse_old_pickle_protocols(cls);
    give_own_new(state, cls);
}

// A class of the interpreter's orbelon_type, naming its State from the start.
template <class T>
py::class_<T> new_class(State& state, py::module_& m, const char* name) {
    py::class_<T> cls(m, name, py::metaclass(reinterpret_cast<PyObject*>(state.meta.type)));
    orbelon::name_state(fence::as_type(cls), &state);
    return cls;
}

// The class of T, registered from its table. In the fast build the library's
// instance layout is checked first; a layout the fast paths do not know fails
// the import, loudly, rather than running slow or wrong. The fast paths then
// take the class once a probe instance made by the library's own functions
// agrees with them: if it cannot be made so (a program replaced the library
// base's __new__ before the import), the class is left to the library alone.
template <class T, class Table>
void bind_class(State& state, py::module_& m, const char* name, const Table& table, const T& probe,
                py::tuple probe_args) {
    py::class_<T> cls = new_class<T>(state, m, name);
    Binder<T> binder{state, cls};
    binder.rows(table, std::make_index_sequence<std::tuple_size_v<Table>>{});
    harden<T>(state, cls);
#if ORBELON_FAST_PATHS
    const std::string why = fence::layout_problem(cls);
    if (!why.empty()) throw std::runtime_error(std::string("orbelon_core: ") + name + ": " + why);
    if (!fence::probe_agrees(state.library, cls, probe, probe_args)) return;
    orbelon::ClassState<T>& c = state.of<T>();
    fence::take_class(c.bound, cls);
    c.pool.open = true;
    for (descriptors::FieldDescr* field : binder.fields) field->served = fence::as_type(cls);
    if (binder.construct) metaclass::set_construct(state, cls.ptr(), binder.construct);
    orbelon::fast::OwnSlots<T>::write(c.slots, fence::as_type(cls));
#else
    (void)probe, (void)probe_args;
#endif
}

// ---------------------------------------------------------------------------
// The parts, in registration order

void register_scalar(State& state, py::module_& m) {
    bind_class(state, m, "Scalar", rules::scalar_surface, Scalar(1.5, -2.25), py::make_tuple(1.5, -2.25));
}

void register_vec3(State& state, py::module_& m) {
    bind_class(state, m, "Vec3", rules::vec3_surface, Vec3(1.5, -2.25, 4.0), py::make_tuple(1.5, -2.25, 4.0));
}

// A namespace of static routines: no constructor is bound, so Solver()
// raises the binding library's "No constructor defined!".
void register_solver(State& state, py::module_& m) {
    py::class_<Solver> cls = new_class<Solver>(state, m, "Solver");
    cls.def_static("integrate", &orbelon::sampled::integrate, py::arg("f"), py::arg("a"), py::arg("b"), py::arg("n") = 100)
        .def_static("differentiate", &orbelon::sampled::differentiate, py::arg("f"), py::arg("x"), py::arg("h") = 1e-05)
        .def_static("root_newton", &orbelon::sampled::root_newton, py::arg("f"), py::arg("x0"), py::arg("tol") = 1e-07,
                    py::arg("max_iter") = 100);
    harden<Solver>(state, cls);
}

// A plain submodule, entered in sys.modules as orbelon_core.Constants so that
// `from orbelon_core.Constants import h` works, with its parent's __file__:
// what the library's def_submodule makes, without the reference to the file
// name that it keeps for ever (which would keep a subinterpreter's memory).
void register_constants(py::module_& m) {
    namespace C = orbelon::Constants;
    const std::string name = py::str(m.attr("__name__")).cast<std::string>() + ".Constants";
    auto c = py::reinterpret_borrow<py::module_>(PyImport_AddModule(name.c_str()));
    if (!c) throw py::error_already_set();
    py::object file = py::getattr(m, "__file__", py::none());
    if (!file.is_none()) c.attr("__file__") = file;
    m.attr("Constants") = c;
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

// Which build this is, as the audit event "orbelon_core.fast_paths"
// (sys.addaudithook), for the tests to see. Raised before anything is
// registered, so that a hook refusing it fails the import with nothing
// left behind.
void announce_build() {
    const char* status = ORBELON_FAST_PATHS ? "installed" : "off";
    if (PySys_Audit("orbelon_core.fast_paths", "s", status) < 0) throw py::error_already_set();
}

// The interpreter's State with the module's own types: the metaclass of the
// bound classes and the two descriptor types. Everything it holds is let go
// at the interpreter's exit. What can fail on its own (an audit hook refusing
// the import of atexit) comes first.
State& prepare_state() {
    py::object at_exit = py::module_::import("atexit").attr("register");
    State& state = orbelon::import_state();
    if (!state.method_type) state.method_type = descriptors::make_method_type();
    if (!state.field_type) state.field_type = descriptors::make_field_type(field_get, field_set);
    metaclass::make_metaclasses(state);
    State* held = &state;
    at_exit(py::cpp_function([held] { held->let_go(); }));
    return state;
}

void init_module(py::module_& m) {
    announce_build();
    State& state = prepare_state();
    m.doc() = "Orbelon v0.4.0 C++ Scientific Engine with Auto-Diff";
    register_scalar(state, m);
    register_vec3(state, m);
    register_solver(state, m);
    register_constants(m);
}

}  // namespace

PYBIND11_PLUGIN_IMPL(orbelon_core) {
    PYBIND11_CHECK_PYTHON_VERSION
    return fence::module_definition<init_module>("orbelon_core");
}
