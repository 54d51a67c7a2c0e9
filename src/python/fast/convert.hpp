// Arguments in and results out, as the binding library's conversions give
// them, for the operands the fast paths take: exact instances of the bound
// classes, exact floats and ints. Anything else is not converted here, and
// the call goes to the library.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>  // builtin_exception: the library's error types

#include <cstdint>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "python/descriptors.hpp"
#include "python/fence/fence.hpp"
#include "python/fence/pool.hpp"
#include "python/rules.hpp"
#include "python/state.hpp"

namespace orbelon {
namespace fast {

using fence::holds;
using fence::value;

// The double an exact float or int converts to, exactly as the binding
// library's float conversion gives it. false for anything else, or for an int
// too large for a double: those take the full dispatch.
inline bool plain_number(PyObject* o, double& out) {
    long small;
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (fence::small_int(o, small)) {
        out = static_cast<double>(small);  // exact: below 2^30
        return true;
    }
    if (PyLong_CheckExact(o)) {
        out = PyLong_AsDouble(o);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

// An exact int in the 32-bit range of an index parameter.
inline bool plain_index(PyObject* o, int& out) {
    long v;
    if (fence::small_int(o, v)) {
        out = static_cast<int>(v);  // below 2^30 in magnitude
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

// One parameter of a rule, loaded from its argument, with the interpreter's
// State for what the bound classes are. Only these types have a loader; a
// rule with any other parameter type does not compile into a fast call.
template <class P>
struct Arg {
    static_assert(sizeof(P) == 0, "a rule's parameter type has no fast conversion: give it an Arg<> here");
};
template <class T>
struct Arg<const T&> {  // an exact instance that holds its value
    T* p = nullptr;
    bool load(State& s, PyObject* o) { return holds(o, s.of<T>().bound.type) && (p = &value<T>(o), true); }
    const T& get() const { return *p; }
};
template <class T>
struct Arg<T&> {  // the same, to be changed in place
    T* p = nullptr;
    bool load(State& s, PyObject* o) { return holds(o, s.of<T>().bound.type) && (p = &value<T>(o), true); }
    T& get() const { return *p; }
};
// A float, or an int while no other module has made an int convertible to a
// bound class: the library's converting pass would then take an int for an
// earlier overload's Scalar or Vec3 parameter instead of this number.
template <>
struct Arg<double> {
    double v = 0.0;
    [[gnu::always_inline]] bool load(State& s, PyObject* o) {
        long small;
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (fence::small_int(o, small)) {
            v = static_cast<double>(small);
            return !s.converts_implicitly();
        }
        return load_other(s, o);
    }
    [[gnu::noinline]] bool load_other(State& s, PyObject* o) { return !s.converts_implicitly() && plain_number(o, v); }
    double get() const { return v; }
};
template <>
struct Arg<int> {
    int v = 0;
    bool load(State&, PyObject* o) { return plain_index(o, v); }
    int get() const { return v; }
};

// Only these result types have a conversion; any other fails to compile
// rather than taking the nearest overload (a const char* would be a bool).
template <class R>
PyObject* to_python(State&, const R&) {
    static_assert(sizeof(R) == 0, "a rule's result type has no fast conversion: give it a to_python() here");
    return nullptr;
}
inline PyObject* to_python(State&, double r) { return PyFloat_FromDouble(r); }
inline PyObject* to_python(State&, bool r) { return PyBool_FromLong(r); }
inline PyObject* to_python(State&, const rules::Text& t) {
    return PyUnicode_FromStringAndSize(t.buf, static_cast<Py_ssize_t>(t.n));
}
inline PyObject* to_python(State&, const std::vector<double>& r) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.size()));
    for (std::size_t i = 0; list && i < r.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(r[i]);
        if (!item) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}
[[gnu::always_inline]] inline PyObject* to_python(State& s, const Scalar& r) { return new_instance(s, r); }
[[gnu::always_inline]] inline PyObject* to_python(State& s, const Vec3& r) { return new_instance(s, r); }

// A rule's result as a Python object; an exception it throws as the library's
// dispatcher translates it (with every translator another module registered).
// None may escape into the interpreter's C frames. A translator may "handle"
// an exception by setting nothing (another module's may): the failure is then
// the SystemError the plain call gets, naming the library's function behind
// `descr`. Only that rare path reads `descr`.
template <class F>
[[gnu::always_inline]] inline PyObject* call_rule(State& state, F&& f, PyObject* const& descr) {
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            Py_RETURN_NONE;
        } else {
            return to_python(state, f());
        }
    } catch (...) {
        fence::translate_current_exception();
        return PyErr_Occurred() ? nullptr : descriptors::report_no_error(descr);
    }
}

}  // namespace fast
}  // namespace orbelon
