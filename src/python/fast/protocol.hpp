// The interpreter's binary-operator protocol, for the operands the fast paths
// do not serve themselves.
//
// A class whose __add__ is a plain method gets the interpreter's generic slot
// function, which carries out the protocol by calling the methods. Once our
// own function sits in the slot, the generic one is never reached for those
// classes again, so this file carries out the same protocol with the same
// calls in the same order.
//
// It mirrors CPython's Objects/typeobject.c: SLOT1BINFULL (the binary slots),
// slot_nb_power (three-argument pow), method_is_overloaded and call_maybe /
// lookup_maybe_method. Where that code asks "is the other operand's slot the
// generic one?", this one asks "is it ours?": every class that would have the
// generic slot has ours instead (see sync() in slots.hpp).
#pragma once

#include <Python.h>

#include "orbelon/vectorcall.hpp"

namespace orbelon {
namespace fast {
namespace protocol {

// type(obj).<name>(obj, *args), or NotImplemented when the type has no such
// attribute (call_maybe). `required` makes a missing one an AttributeError
// (call_method, for three-argument pow).
inline PyObject* call_special(PyObject* obj, PyObject* name, PyObject* const* args, Py_ssize_t n,
                              bool required = false) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!descr) {
        if (PyErr_Occurred()) return nullptr;
        if (required) {
            PyErr_SetObject(PyExc_AttributeError, name);
            return nullptr;
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    Py_INCREF(descr);
    PyObject* func = descr;
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        func = get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        Py_DECREF(descr);
        if (!func) return nullptr;
    }
    PyObject* r = vectorcall(func, args, static_cast<size_t>(n));
    Py_DECREF(func);
    return r;
}

// Whether the right operand's class has a reflected method other than the
// left operand's class has (method_is_overloaded).
inline int overloaded(PyObject* left, PyObject* right, PyObject* name) {
    PyObject* b = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(right)), name);
    if (!b) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    PyObject* a = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(left)), name);
    if (!a) {
        Py_DECREF(b);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 1;
    }
    const int ne = PyObject_RichCompareBool(a, b, Py_NE);
    Py_DECREF(a);
    Py_DECREF(b);
    return ne;
}

// SLOT1BINFULL with `ours` in the place of the generic slot function.
template <class Fn>
PyObject* binary(PyObject* self, PyObject* other, Fn ours, Fn PyNumberMethods::*slot, PyObject* op,
                 PyObject* rop) {
    auto has_ours = [&](PyObject* o) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        return nb && nb->*slot == ours;
    };
    bool do_other = Py_TYPE(self) != Py_TYPE(other) && has_ours(other);
    if (has_ours(self)) {
        if (do_other && PyType_IsSubtype(Py_TYPE(other), Py_TYPE(self))) {
            const int ok = overloaded(self, other, rop);
            if (ok < 0) return nullptr;
            if (ok) {
                PyObject* r = call_special(other, rop, &self, 1);
                if (r != Py_NotImplemented) return r;
                Py_DECREF(r);
                do_other = false;
            }
        }
        PyObject* r = call_special(self, op, &other, 1);
        if (r != Py_NotImplemented || Py_TYPE(other) == Py_TYPE(self)) return r;
        Py_DECREF(r);
    }
    if (do_other) return call_special(other, rop, &self, 1);
    Py_RETURN_NOTIMPLEMENTED;
}

// slot_nb_power with a modulus: never reflected, __pow__ gets both arguments.
inline PyObject* ternary_power(PyObject* self, PyObject* other, PyObject* mod, ternaryfunc ours,
                               PyObject* pow_name) {
    PyNumberMethods* nb = Py_TYPE(self)->tp_as_number;
    if (nb && nb->nb_power == ours) {
        PyObject* args[2] = {other, mod};
        return call_special(self, pow_name, args, 2, true);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

}  // namespace protocol
}  // namespace fast
}  // namespace orbelon
