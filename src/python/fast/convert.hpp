// Numbers in and results out, as the binding library's conversions give them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "python/internals.hpp"

namespace orbelon {
namespace fast {

using internals::make;

// The double an exact float or int converts to, exactly as the binding
// library's float conversion gives it. false for anything else, or for an int
// too large for a double: those take the full dispatch.
inline bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
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
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

inline PyObject* to_python(double r) { return PyFloat_FromDouble(r); }
inline PyObject* to_python(bool r) { return PyBool_FromLong(r); }
inline PyObject* to_python(const std::vector<double>& r) {
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
template <class T>
PyObject* to_python(const T& r) {
    return make(r);
}

// A rule's result as a Python object, its exceptions as the standard
// translation gives them: std::runtime_error as RuntimeError with its text,
// std::bad_alloc (to_list's one allocation) as MemoryError. None may escape
// into the interpreter's C frames.
template <class F>
PyObject* call_rule(F&& f) {
    try {
        return to_python(f());
    } catch (const std::runtime_error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    }
    return nullptr;
}

}  // namespace fast
}  // namespace orbelon
