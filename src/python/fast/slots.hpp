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

#include <cstddef>
#include <string_view>

#include "python/fast/calls.hpp"

namespace orbelon {
namespace fast {

// How many arguments a rule takes, self included.
template <class R, class... P>
constexpr std::size_t arity(R (*)(P...)) {
    return sizeof...(P);
}
template <std::size_t N, auto... Rules>
constexpr bool takes = ((arity(Rules) == N) || ...);

// The slots of T's class, each calling the row's method directly (the same
// call its descriptor makes, inlined here) with the descriptor for whatever
// it hands on to the library.
template <class T>
struct OwnSlots {
    // The class's own descriptors behind the slots, held, and the slot
    // functions for them, from the rows; written by write().
    static inline PyObject *repr = nullptr, *neg = nullptr, *to_float = nullptr, *getitem = nullptr,
                           *setitem = nullptr;
    static inline reprfunc tp_repr = nullptr;
    static inline unaryfunc nb_negative = nullptr, nb_float = nullptr;
    static inline binaryfunc mp_subscript = nullptr;
    static inline objobjargproc mp_ass_subscript = nullptr;
    static inline objobjargproc generic_ass_subscript = nullptr;  // for `del v[i]`

    template <PyObject** Descr, std::size_t I, auto... Rules>
    static PyObject* unary(PyObject* self) {
        return call_method<T, I, Rules...>(*Descr, &self, 1, nullptr);
    }
    template <PyObject** Descr, std::size_t I, auto... Rules>
    static PyObject* binary(PyObject* self, PyObject* key) {
        PyObject* args[2] = {self, key};
        return call_method<T, I, Rules...>(*Descr, args, 2, nullptr);
    }
    template <PyObject** Descr, std::size_t I, auto... Rules>
    static int assign(PyObject* self, PyObject* key, PyObject* value) {
        if (!value) return generic_ass_subscript(self, key, value);
        PyObject* args[3] = {self, key, value};
        PyObject* r = call_method<T, I, Rules...>(*Descr, args, 3, nullptr);
        Py_XDECREF(r);
        return r ? 0 : -1;
    }

    // Row I of T's table, with its descriptor: the rows named after one of
    // the slots are kept for write().
    template <std::size_t I, auto... Rules>
    static void offer(const char* name, PyObject* descr) {
        const std::string_view n(name);
        if constexpr (takes<1, Rules...>) {
            if (n == "__repr__") repr = descr, tp_repr = unary<&repr, I, Rules...>;
            if (n == "__neg__") neg = descr, nb_negative = unary<&neg, I, Rules...>;
            if (n == "__float__") to_float = descr, nb_float = unary<&to_float, I, Rules...>;
        }
        if constexpr (takes<2, Rules...>)
            if (n == "__getitem__") getitem = descr, mp_subscript = binary<&getitem, I, Rules...>;
        if constexpr (takes<3, Rules...>)
            if (n == "__setitem__") setitem = descr, mp_ass_subscript = assign<&setitem, I, Rules...>;
    }

    // Once, after registration, before any subclass exists. The descriptors
    // are held here too, so that a slot never calls one that Python code has
    // since taken out of the class dictionary.
    static void write(PyTypeObject* type) {
        for (PyObject* d : {repr, neg, to_float, getitem, setitem}) Py_XINCREF(d);
        if (tp_repr) type->tp_repr = tp_repr;
        if (nb_negative) type->tp_as_number->nb_negative = nb_negative;
        if (nb_float) type->tp_as_number->nb_float = nb_float;
        if (mp_subscript) type->tp_as_mapping->mp_subscript = mp_subscript;
        if (mp_ass_subscript) {
            generic_ass_subscript = type->tp_as_mapping->mp_ass_subscript;
            type->tp_as_mapping->mp_ass_subscript = mp_ass_subscript;
        }
    }
};

}  // namespace fast
}  // namespace orbelon
