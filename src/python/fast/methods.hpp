// Methods: the bound function inside a method descriptor is replaced by one
// with the same name, docstring, owner and module that serves exact operands
// itself and passes every other call, unchanged, to the function it replaced.
// Signatures, overloads and error texts therefore stay the library's own.
#pragma once

#include <Python.h>

#include <string>

#include "python/fast/slots.hpp"

namespace orbelon {
namespace fast {

// Serves a call with positional arguments, or returns false to pass it on.
using Serve = bool (*)(PyObject* const* args, Py_ssize_t nargs, PyObject*& out);

template <Serve F>
struct Method {
    static inline PyObject* original = nullptr;  // held for the module's lifetime
    static inline PyMethodDef def{};

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* out = nullptr;
        if (!kwnames && F(args, nargs, out)) return out;
        return vectorcall(original, args, static_cast<size_t>(nargs), kwnames);
    }
};

// self.f(): a rule of self alone.
template <class T, auto Rule>
bool unary(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 1 || !holds<T>(args[0])) return false;
    out = call_rule([&] { return Rule(value<T>(args[0])); });
    return true;
}

// self.f(other) with other of the same class.
template <class T, auto Rule>
bool binary(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 2 || !holds<T>(args[0]) || !holds<T>(args[1])) return false;
    out = call_rule([&] { return Rule(value<T>(args[0]), value<T>(args[1])); });
    return true;
}

// self.f(x) with x a plain number.
template <class T, auto Rule>
bool with_number(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    double x;
    if (n != 2 || !holds<T>(args[0]) || !plain_number(args[1], x)) return false;
    out = call_rule([&] { return Rule(value<T>(args[0]), x); });
    return true;
}

inline bool vec3_getitem(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    int i;
    if (n != 2 || !holds<Vec3>(args[0]) || !plain_index(args[1], i)) return false;
    out = vec3_subscript(args[0], args[1]);
    return true;
}

// One method to replace, prepared before anything changes: `function` is the
// stand-in, or `why` says why there is none.
struct Replacement {
    PyTypeObject* type;
    const char* name;
    PyObject** original;
    PyObject* function = nullptr;
    std::string why;
};

template <Serve F>
Replacement prepare(PyTypeObject* type, const char* name) {
    using M = Method<F>;
    Replacement r{type, name, &M::original, nullptr, internals::check_method(type, name)};
    if (!r.why.empty()) return r;
    r.function = internals::stand_in(type, name, &M::def,
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&M::call)));
    if (!r.function) {
        PyErr_Clear();
        r.why = std::string("no stand-in for ") + type->tp_name + "." + name;
    }
    return r;
}

inline void commit(const Replacement& r) { *r.original = internals::swap_function(r.type, r.name, r.function); }

}  // namespace fast
}  // namespace orbelon
