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
// Only the fast build opens a pool; it is drained when its interpreter ends.
#pragma once

#include <type_traits>

#include "python/fence/instance.hpp"

namespace orbelon {
namespace fence {

// The spare instances of one interpreter's class of T.
template <class T>
struct Pool {
    // A spare's old value is overwritten by assignment, never destroyed.
    static_assert(std::is_trivially_copyable_v<T>, "the pool keeps plain values only");

    static constexpr int capacity = 32;
    PyObject* spare[capacity] = {};
    int count = 0;
    bool open = false;
    destructor library_dealloc = nullptr;

    // Whether the dying instance, of exactly `type`, was kept.
    bool keep(PyObject* self, PyTypeObject* type) {
        if (!open || count == capacity || Py_TYPE(self) != type) return false;
        auto* inst = reinterpret_cast<pyd::instance*>(self);
        if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
            || !inst->simple_instance_registered || inst->weakrefs || inst->has_patients || inst->is_alias)
            return false;
        spare[count++] = self;
        return true;
    }

    void drain() {
        open = false;
        while (count > 0) library_dealloc(spare[--count]);
    }

    // A new instance owning a copy of v, from the pool when it has a spare:
    // only the value is copied in.
    [[gnu::always_inline]] PyObject* new_instance(const Bound<T>& bound, const T& v) {
        if (count == 0) return allocate_instance(bound, v);
        PyObject* self = spare[--count];
        _Py_NewReference(self);
        value<T>(self) = v;
        return self;
    }
};

}  // namespace fence
}  // namespace orbelon
