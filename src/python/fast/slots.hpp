// Slots of Scalar and Vec3 themselves that call the class's own descriptor
// directly, without the generic slot's method lookup.
//
// Only slots whose generic form looks one method up on the object's type and
// calls it with self (and no second operand that could take precedence) are
// written, once, after registration: repr(), -s, float(s), v[i], v[i] = x.
// CPython derives such a slot again from the class dictionaries along the MRO
// whenever one of its names is assigned or deleted on the class or on any
// base, or the bases change, and every subclass derives its own when it is
// made; since the dictionary entry is none of CPython's own wrappers, it
// always derives the generic form. So a slot written here runs only while the
// class's own descriptor is what the generic slot would find, and after any
// change it is the generic slot again, for good: it can fall back, never go
// stale. Binary and comparison slots stay generic, since there the other
// operand's class may go first.
#pragma once

#include <Python.h>

#include "python/descriptors.hpp"

namespace orbelon {
namespace fast {

template <class T>
struct OwnSlots {
    // The class's own descriptors behind the slots, held.
    static inline PyObject* repr = nullptr;
    static inline PyObject* neg = nullptr;
    static inline PyObject* to_float = nullptr;
    static inline PyObject* getitem = nullptr;
    static inline PyObject* setitem = nullptr;
    static inline objobjargproc generic_ass_subscript = nullptr;  // for `del v[i]`

    static PyObject* call(PyObject* descr, PyObject* const* args, size_t n) {
        return descriptors::method_of(descr)->vectorcall(descr, args, n, nullptr);
    }

    static PyObject* tp_repr(PyObject* self) { return call(repr, &self, 1); }
    static PyObject* nb_negative(PyObject* self) { return call(neg, &self, 1); }
    static PyObject* nb_float(PyObject* self) { return call(to_float, &self, 1); }
    static PyObject* mp_subscript(PyObject* self, PyObject* key) {
        PyObject* args[2] = {self, key};
        return call(getitem, args, 2);
    }
    static int mp_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
        if (!value) return generic_ass_subscript(self, key, value);
        PyObject* args[3] = {self, key, value};
        PyObject* r = call(setitem, args, 3);
        Py_XDECREF(r);
        return r ? 0 : -1;
    }

    // The class's descriptor `name`, held, or null when the class has none.
    static PyObject* own(PyTypeObject* type, const char* name) {
        PyObject* d = PyDict_GetItemString(type->tp_dict, name);
        if (!d || Py_TYPE(d) != &descriptors::method_type) return nullptr;
        Py_INCREF(d);
        return d;
    }

    // Once, at registration, before any subclass exists.
    static void write(PyTypeObject* type) {
        if ((repr = own(type, "__repr__"))) type->tp_repr = tp_repr;
        if ((neg = own(type, "__neg__"))) type->tp_as_number->nb_negative = nb_negative;
        if ((to_float = own(type, "__float__"))) type->tp_as_number->nb_float = nb_float;
        if ((getitem = own(type, "__getitem__"))) type->tp_as_mapping->mp_subscript = mp_subscript;
        if ((setitem = own(type, "__setitem__"))) {
            generic_ass_subscript = type->tp_as_mapping->mp_ass_subscript;
            type->tp_as_mapping->mp_ass_subscript = mp_ass_subscript;
        }
    }
};

}  // namespace fast
}  // namespace orbelon
