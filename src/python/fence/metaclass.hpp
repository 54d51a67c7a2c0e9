// FENCED (see fence.hpp): the library's metaclass as the library made it, and
// the metaclass of this module's classes built on it by hand.
#pragma once

#include <cstddef>

#include "python/fence/fence.hpp"

namespace orbelon {
namespace internals {

// The library's metaclass and the two functions construction reaches, as the
// library made them. A null function means someone replaced it before this
// module was imported.
struct Library {
    static inline PyTypeObject* metaclass = nullptr;
    static inline ternaryfunc call = nullptr;  // its tp_call: pybind11_meta_call
    static inline newfunc new_ = nullptr;      // the instances' tp_new: pybind11_object_new
    static inline PyTypeObject* object = nullptr;  // the instances' base, pybind11_object
};

// Whether `descr` is the slot wrapper PyType_Ready made for `type`'s own
// tp_call: a wrapper of the __call__ slot, made for this type, around the
// function the slot holds now.
inline bool is_own_call_wrapper(PyObject* descr, PyTypeObject* type) {
    if (!descr || Py_TYPE(descr) != &PyWrapperDescr_Type) return false;
    auto* w = reinterpret_cast<PyWrapperDescrObject*>(descr);
    return w->d_common.d_type == type && w->d_base->offset == offsetof(PyHeapTypeObject, ht_type.tp_call)
           && w->d_wrapped == reinterpret_cast<void*>(type->tp_call);
}

// The tp_new CPython gives a class whose __new__ is anything but the
// wrapper of a C function (slot_tp_new, which looks __new__ up again on
// every call), learnt from a class made for the purpose. A class keeps it
// even after the wrapper is put back: CPython then leaves tp_new as it is.
inline newfunc generic_new() {
    static const newfunc generic = [] {
        pybind11::dict ns;
        ns["__new__"] = pybind11::module_::import("builtins").attr("len");
        pybind11::object probe = pybind11::handle(as_object(&PyType_Type))("probe", pybind11::tuple(), ns);
        return as_type(probe)->tp_new;
    }();
    return generic;
}

// Whether `descr` is the __new__ CPython gave `type` for a tp_new of its own:
// object's __new__ wrapper bound to `type`, while the slot holds a C function.
inline bool is_own_new_wrapper(PyObject* descr, PyTypeObject* type) {
    static const PyCFunction wrapper =
        PyCFunction_GetFunction(pybind11::handle(as_object(&PyBaseObject_Type)).attr("__new__").ptr());
    return descr && PyCFunction_Check(descr) && PyCFunction_GET_SELF(descr) == as_object(type)
           && PyCFunction_GET_FUNCTION(descr) == wrapper && type->tp_new != generic_new();
}

// Records the library's metaclass call and its instances' __new__ where the
// library's classes hold them still. Either may have been replaced before
// this module was imported (a program wrapping the metaclass's __call__, say);
// construction is then never served, and this is tried again on every call
// that goes the slow way, so that it is served again once they are back.
inline void find_library_functions() {
    if (!Library::call
        && is_own_call_wrapper(PyDict_GetItemString(Library::metaclass->tp_dict, "__call__"), Library::metaclass))
        Library::call = Library::metaclass->tp_call;
    PyObject* new_ = PyDict_GetItemString(Library::object->tp_dict, "__new__");
    if (!Library::new_ && is_own_new_wrapper(new_, Library::object)) Library::new_ = Library::object->tp_new;
}

inline void find_library() {
    const pyd::internals& library = pyd::get_internals();
    Library::metaclass = library.default_metaclass;
    Library::object = reinterpret_cast<PyTypeObject*>(library.instance_base);
    generic_new();  // learnt once, here, where a failure fails the import
    find_library_functions();
}

// Whether the next __call__ after `ours` along `meta`'s MRO is the library's
// own function: the MRO ends (ours, `base`, the library's metaclass, type,
// object) and the library's slot still holds its function, which CPython
// keeps in step with that class's dictionary. Only pointers are compared: no
// Python code runs while the tuple is read.
inline bool library_call_is_next(PyTypeObject* meta, PyTypeObject* ours, PyTypeObject* base) {
    PyObject* mro = meta->tp_mro;
    if (!mro || !Library::call || Library::metaclass->tp_call != Library::call) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    return n >= 5 && PyTuple_GET_ITEM(mro, n - 5) == as_object(ours) && PyTuple_GET_ITEM(mro, n - 4) == as_object(base)
           && PyTuple_GET_ITEM(mro, n - 3) == as_object(Library::metaclass)
           && PyTuple_GET_ITEM(mro, n - 2) == as_object(&PyType_Type)
           && PyTuple_GET_ITEM(mro, n - 1) == as_object(&PyBaseObject_Type);
}

// The class object's own vectorcall: a field after everything the library's
// metaclass holds, for classes whose metaclass is exactly `meta`.
inline vectorcallfunc& construct_field(PyObject* cls) {
    return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(cls) + Library::metaclass->tp_basicsize);
}

inline void set_construct(PyObject* cls, PyTypeObject* meta, vectorcallfunc f) {
    if (Py_TYPE(cls) != meta || meta->tp_vectorcall_offset != Library::metaclass->tp_basicsize)
        pybind11::pybind11_fail("a class's own vectorcall set through another metaclass");
    construct_field(cls) = f;
}

// From 3.12 on, CPython clears a type's vectorcall flag whenever __call__ is
// assigned on it and never sets it again; `meta` calls its classes through
// the field again once its call is `call` once more.
inline void restore_vectorcall(PyTypeObject* meta, ternaryfunc call) {
    if (meta->tp_call == call) meta->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
}

// What a metaclass of the module's differs in from its base. A null slot is
// inherited.
struct MetaclassParts {
    const char* name;  // a literal: tp_name keeps pointing at it
    PyTypeObject* base;
    Py_ssize_t vectorcall_field = 0;  // the class objects' own vectorcall, after the base's fields
    ternaryfunc call = nullptr;
    newfunc new_ = nullptr;
    destructor dealloc = nullptr;
    bool immutable = false;  // where the interpreter can make a class immutable (3.10 on)
};

// A metaclass derived from `parts.base`, made as the library makes its own (a
// heap type filled by hand). Returns a new reference.
inline PyTypeObject* make_heap_metaclass(const MetaclassParts& parts) {
    pybind11::str name_obj(parts.name);
    // Danger zone, as in the library: until PyType_Ready, nothing may run
    // the garbage collector, which would find a half-made type.
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(PyType_Type.tp_alloc(&PyType_Type, 0));
    if (!heap) throw pybind11::error_already_set();
    heap->ht_name = name_obj.inc_ref().ptr();
    heap->ht_qualname = name_obj.inc_ref().ptr();
    PyTypeObject* type = &heap->ht_type;
    type->tp_name = parts.name;
    Py_INCREF(parts.base);
    type->tp_base = parts.base;
    type->tp_basicsize = parts.base->tp_basicsize;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HEAPTYPE;
    if (parts.vectorcall_field) {
        type->tp_vectorcall_offset = parts.base->tp_basicsize;
        type->tp_basicsize += parts.vectorcall_field;
        type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    }
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (parts.immutable) type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    type->tp_call = parts.call;
    type->tp_new = parts.new_;
    type->tp_dealloc = parts.dealloc;
    if (PyType_Ready(type) < 0) {
        Py_DECREF(type);
        throw pybind11::error_already_set();
    }
    // Through the dictionary: an immutable type refuses setattr.
    if (PyDict_SetItemString(type->tp_dict, "__module__", pybind11::str("orbelon_core").ptr()) < 0) {
        Py_DECREF(type);
        throw pybind11::error_already_set();
    }
    PyType_Modified(type);
    return type;
}

}  // namespace internals
}  // namespace orbelon
