// In front of the library's metaclass: instance creation of exact Scalar and
// Vec3 from plain numbers, and the binary slots of every subclass kept in
// step with the classes'.
#pragma once

#include <Python.h>

#include "python/fast/slots.hpp"

namespace orbelon {
namespace fast {

// The library's metaclass: the fast paths stand in front of three of its
// slots (instance creation, class creation, class attribute assignment), and
// each hands every other class straight to the slot it replaced.
struct Metaclass {
    static inline PyTypeObject* type = nullptr;
    static inline ternaryfunc call = nullptr;
    static inline newfunc new_ = nullptr;
    static inline setattrofunc setattro = nullptr;

    static void install(ternaryfunc c, newfunc n, setattrofunc s) {
        call = type->tp_call;
        new_ = type->tp_new;
        setattro = type->tp_setattro;
        type->tp_call = c;
        type->tp_new = n;
        type->tp_setattro = s;
    }
};

// The interpreter gives a class its generic slot functions whenever it is
// created and whenever one of its special methods (or a base's) is assigned.
// Ours go back wherever the generic ones came in, in t and its subclasses,
// so that all of them keep taking part in the protocol as one.
inline void sync(PyTypeObject* t, bool subclasses) {
    if (PyNumberMethods* nb = t->tp_as_number) {
        const PyNumberMethods& generic = Class<Scalar>::generic;
        for (int k = 0; k < 4; ++k)
            if (nb->*binary_slots[k] == generic.*binary_slots[k]) nb->*binary_slots[k] = fast_binary[k];
        if (nb->nb_power == generic.nb_power) nb->nb_power = nb_power;
    }
    if (!subclasses) return;
    PyObject* subs = PyObject_CallMethod(reinterpret_cast<PyObject*>(t), "__subclasses__", nullptr);
    if (!subs) return PyErr_Clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subs); ++i)
        sync(reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(subs, i)), true);
    Py_DECREF(subs);
}

inline bool in_family(PyTypeObject* t) {
    return PyType_IsSubtype(t, Bound<Scalar>::type) || PyType_IsSubtype(t, Bound<Vec3>::type);
}

// Instance creation: Scalar(...) and Vec3(...) from plain numbers directly.
// A subclass gets its binary slots back first, in case it was made or changed
// in a way no other hook saw.
inline PyObject* meta_call(PyObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* out;
    if (construct<Scalar, 1, 2>(type, args, kwargs, out) || construct<Vec3, 0, 3>(type, args, kwargs, out))
        return out;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (in_family(t)) sync(t, false);
    return Metaclass::call(type, args, kwargs);
}

// Class creation: a new subclass takes the shared binary slots.
inline PyObject* meta_new(PyTypeObject* meta, PyObject* args, PyObject* kwargs) {
    PyObject* cls = Metaclass::new_(meta, args, kwargs);
    if (cls && PyType_Check(cls) && in_family(reinterpret_cast<PyTypeObject*>(cls)))
        sync(reinterpret_cast<PyTypeObject*>(cls), false);
    return cls;
}

// Class attribute assignment: the interpreter has just put its generic slot
// functions back wherever a special method changed, in the class and all its
// subclasses (or, for a base, in all of the family).
template <class T>
void resync(PyTypeObject* changed) {
    if (!PyType_IsSubtype(changed, Bound<T>::type) && !PyType_IsSubtype(Bound<T>::type, changed)) return;
    sync(Bound<T>::type, true);
}

inline int meta_setattro(PyObject* cls, PyObject* name, PyObject* v) {
    const int r = Metaclass::setattro(cls, name, v);
    if (r == 0 && PyType_Check(cls)) {
        resync<Scalar>(reinterpret_cast<PyTypeObject*>(cls));
        resync<Vec3>(reinterpret_cast<PyTypeObject*>(cls));
    }
    return r;
}

}  // namespace fast
}  // namespace orbelon
