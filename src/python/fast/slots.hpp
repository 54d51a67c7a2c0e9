// The slots of one class: negation, representation, field reads, indexing,
// deallocation and construction of exact instances. Every other case goes to
// the slot function the class had before.
#pragma once

#include <Python.h>

#include "python/fast/operators.hpp"

namespace orbelon {
namespace fast {

inline PyObject* scalar_negative(PyObject* a) {
    if (holds<Scalar>(a)) return make(rules::neg(value<Scalar>(a)));
    return Class<Scalar>::generic.nb_negative(a);
}

template <class T>
PyObject* repr(PyObject* self) {
    if (!holds<T>(self)) return Class<T>::repr(self);
    rules::Text t;
    rules::describe(t, value<T>(self));
    return PyUnicode_FromStringAndSize(t.buf, static_cast<Py_ssize_t>(t.n));
}

// Field reads: an interned name that still resolves to the bound property.
template <class T>
struct Fields;
template <>
struct Fields<Scalar> {
    static constexpr double Scalar::*member[2] = {&Scalar::val, &Scalar::d};
};
template <>
struct Fields<Vec3> {
    static constexpr double Vec3::*member[3] = {&Vec3::x, &Vec3::y, &Vec3::z};
};

template <class T>
PyObject* getattro(PyObject* self, PyObject* name) {
    using C = Class<T>;
    if (holds<T>(self)) {
        for (int i = 0; i < C::field_count; ++i)
            if (name == names.fields[C::first_field + i] && current<T>().reads[i])
                return PyFloat_FromDouble(value<T>(self).*Fields<T>::member[i]);
    }
    return C::getattro(self, name);
}

// Instances of exactly the class are released here, subclass instances (and
// any other layout) by the library's own deallocation.
template <class T>
void dealloc(PyObject* self) {
    if (Py_TYPE(self) == Bound<T>::type) internals::release<T>(self);
    else Class<T>::dealloc(self);
}

inline PyObject* vec3_subscript(PyObject* v, PyObject* key) {
    int i;
    if (!holds<Vec3>(v) || !plain_index(key, i)) return Class<Vec3>::subscript(v, key);
    if (double* c = rules::component(value<Vec3>(v), i)) return PyFloat_FromDouble(*c);
    PyErr_SetString(PyExc_IndexError, "");  // the library's message-less index_error
    return nullptr;
}

inline int vec3_ass_subscript(PyObject* v, PyObject* key, PyObject* item) {
    int i;
    double x;
    if (!item || !holds<Vec3>(v) || !plain_index(key, i) || !plain_number(item, x))
        return Class<Vec3>::ass_subscript(v, key, item);
    if (double* c = rules::component(value<Vec3>(v), i)) {
        *c = x;
        return 0;
    }
    PyErr_SetString(PyExc_IndexError, "");
    return -1;
}

// Scalar(val[, d]) and Vec3([x[, y[, z]]]) from positional plain numbers, while
// the class still has its bound __new__ and __init__; the constructor's
// defaults fill the rest. false: the metaclass takes the call as before.
template <class T, int Min, int N>
bool construct(PyObject* type, PyObject* args, PyObject* kwargs, PyObject*& out) {
    if (type != reinterpret_cast<PyObject*>(Bound<T>::type) || (kwargs && PyDict_GET_SIZE(kwargs)))
        return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < Min || n > N) return false;
    double v[N];
    for (int i = 0; i < N; ++i) v[i] = N == 2 ? rules::default_d : rules::default_component;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_number(PyTuple_GET_ITEM(args, i), v[i])) return false;
    if (!current<T>().constructs) return false;
    if constexpr (N == 2) out = make(T(v[0], v[1]));
    else out = make(T(v[0], v[1], v[2]));
    return true;
}

}  // namespace fast
}  // namespace orbelon
