// FENCED (see fence.hpp): spare instances.
//
// A result needs a Python object, a value and its holder, and an entry in the
// library's instance map. An instance of exactly T's class that dies keeps
// all three, so the next result only copies its value in. What this rests on:
//   the library: T's holder is a plain std::unique_ptr owning the value at
//     simple_value_holder[0]; the instance map entry names that value's
//     address, which stays the same; every call holds the GIL.
//   the interpreter: a type's tp_dealloc may keep an object whose count fell
//     to zero instead of freeing it, and _Py_NewReference makes such an object
//     live again (its count 1, and in a debug build its references counted
//     again), as CPython's own free lists do; an object of a type without
//     garbage collection is in no GC list; weak references to a dying object
//     are cleared by its deallocation, which is why an instance that has any
//     is never kept (nor one with keep-alive patients).
// Only the fast build opens the pool; it is drained at exit.
#pragma once

#include <type_traits>

#include "python/fence/instance.hpp"

namespace orbelon {
namespace internals {

template <class T>
struct Pool {
    // A spare's old value is overwritten by assignment, never destroyed.
    static_assert(std::is_trivially_copyable_v<T>, "the pool keeps plain values only");

    static constexpr int capacity = 32;
    static inline PyObject* spare[capacity] = {};
    static inline int count = 0;
    static inline bool open = false;
    static inline destructor library_dealloc = nullptr;

    // Whether the dying instance was kept.
    static bool keep(PyObject* self) {
        if (!open || count == capacity || Py_TYPE(self) != Bound<T>::type) return false;
        auto* inst = reinterpret_cast<pyd::instance*>(self);
        if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
            || !inst->simple_instance_registered || inst->weakrefs || inst->has_patients || inst->is_alias)
            return false;
        spare[count++] = self;
        return true;
    }

    static void drain() {
        open = false;
        while (count > 0) library_dealloc(spare[--count]);
    }
};

// The class's deallocation: the pool's, then the library's. (It also makes
// CPython's layout check stop at the class: a Python class deriving from it
// is never judged by the library's base alone.)
template <class T>
void dealloc(PyObject* self) {
    if (!Pool<T>::keep(self)) Pool<T>::library_dealloc(self);
}

// Done once, at registration, before any instance or subclass exists; CPython
// never writes an existing class's tp_dealloc again.
template <class T>
void give_own_dealloc(pybind11::handle cls) {
    PyTypeObject* type = as_type(cls);
    Pool<T>::library_dealloc = type->tp_dealloc;
    type->tp_dealloc = &dealloc<T>;
}

// A new instance owning a copy of v, from the pool when it has a spare: only
// the value is copied in.
template <class T>
inline PyObject* make(const T& v) {
    if (Pool<T>::count == 0) return make_new(v);
    PyObject* self = Pool<T>::spare[--Pool<T>::count];
    _Py_NewReference(self);
    value<T>(self) = v;
    return self;
}

}  // namespace internals
}  // namespace orbelon
