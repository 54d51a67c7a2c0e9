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

#include "python/fast/calls.hpp"
#include "python/rules.hpp"

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
// it hands on to the library. The class names its State in its room, and the
// State holds the descriptors (SlotDescrs).
template <class T>
struct OwnSlots {
    template <PyObject* SlotDescrs::*Descr, std::size_t I, auto... Rules>
    static PyObject* unary(PyObject* self) {
        State& state = *state_of(Py_TYPE(self));
        return call_method<T, I, Rules...>(state, state.of<T>().slots.*Descr, &self, 1, nullptr);
    }
    template <PyObject* SlotDescrs::*Descr, std::size_t I, auto... Rules>
    static PyObject* binary(PyObject* self, PyObject* key) {
        State& state = *state_of(Py_TYPE(self));
        PyObject* args[2] = {self, key};
        return call_method<T, I, Rules...>(state, state.of<T>().slots.*Descr, args, 2, nullptr);
    }
    template <PyObject* SlotDescrs::*Descr, std::size_t I, auto... Rules>
    static int assign(PyObject* self, PyObject* key, PyObject* value) {
        State& state = *state_of(Py_TYPE(self));
        SlotDescrs& slots = state.of<T>().slots;
        if (!value) return slots.generic_ass_subscript(self, key, value);
        PyObject* args[3] = {self, key, value};
        PyObject* r = call_method<T, I, Rules...>(state, slots.*Descr, args, 3, nullptr);
        Py_XDECREF(r);
        return r ? 0 : -1;
    }

    // Row I of T's table, with its descriptor: a row that stands for a slot
    // is kept, and its descriptor held, for write(). A slot whose arity the
    // row's rules do not have does not compile.
    template <std::size_t I, auto... Rules>
    static void offer(SlotDescrs& slots, rules::Slot slot, PyObject* descr) {
        using rules::Slot;
        if (slot == Slot::none) return;
        if constexpr (takes<1, Rules...>) {
            if (slot == Slot::repr) slots.repr = new_ref(descr), slots.tp_repr = unary<&SlotDescrs::repr, I, Rules...>;
            if (slot == Slot::negative)
                slots.neg = new_ref(descr), slots.nb_negative = unary<&SlotDescrs::neg, I, Rules...>;
            if (slot == Slot::to_float)
                slots.to_float = new_ref(descr), slots.nb_float = unary<&SlotDescrs::to_float, I, Rules...>;
        }
        if constexpr (takes<2, Rules...>)
            if (slot == Slot::subscript)
                slots.getitem = new_ref(descr), slots.mp_subscript = binary<&SlotDescrs::getitem, I, Rules...>;
        if constexpr (takes<3, Rules...>)
            if (slot == Slot::assign_subscript)
                slots.setitem = new_ref(descr), slots.mp_ass_subscript = assign<&SlotDescrs::setitem, I, Rules...>;
    }

    // Once, after registration, before any subclass exists. The descriptors
    // are held, so that a slot never calls one that Python code has since
    // taken out of the class dictionary.
    static void write(SlotDescrs& slots, PyTypeObject* type) {
        if (slots.tp_repr) type->tp_repr = slots.tp_repr;
        if (slots.nb_negative) type->tp_as_number->nb_negative = slots.nb_negative;
        if (slots.nb_float) type->tp_as_number->nb_float = slots.nb_float;
        if (slots.mp_subscript) type->tp_as_mapping->mp_subscript = slots.mp_subscript;
        if (slots.mp_ass_subscript) {
            slots.generic_ass_subscript = type->tp_as_mapping->mp_ass_subscript;
            type->tp_as_mapping->mp_ass_subscript = slots.mp_ass_subscript;
        }
    }
};

}  // namespace fast
}  // namespace orbelon
