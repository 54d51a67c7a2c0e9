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
    if (!Library::new_ && new_ && PyCFunction_Check(new_) && PyCFunction_GET_SELF(new_) == as_object(Library::object))
        Library::new_ = Library::object->tp_new;
}

inline void find_library() {
    const pyd::internals& library = pyd::get_internals();
    Library::metaclass = library.default_metaclass;
    Library::object = reinterpret_cast<PyTypeObject*>(library.instance_base);
    find_library_functions();
}

// Whether the next __call__ after `ours` along `meta`'s MRO is the library's
// own function: the MRO ends (ours, the library's metaclass, type, object) and
// the library's slot still holds its function, which CPython keeps in step
// with that class's dictionary. Only pointers are compared: no Python code
// runs while the tuple is read.
inline bool library_call_is_next(PyTypeObject* meta, PyTypeObject* ours) {
    PyObject* mro = meta->tp_mro;
    if (!mro || !Library::call || Library::metaclass->tp_call != Library::call) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    return n >= 4 && PyTuple_GET_ITEM(mro, n - 4) == as_object(ours)
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

// A metaclass derived from the library's, made as the library makes its own
// (a heap type filled by hand), with room for the vectorcall field and the
// interpreter told where it is. Returns a new reference.
inline PyTypeObject* make_heap_metaclass(const char* name, ternaryfunc call) {
    pybind11::str name_obj(name);  // a literal: tp_name keeps pointing at it
    // Danger zone, as in the library: until PyType_Ready, nothing may run
    // the garbage collector, which would find a half-made type.
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(PyType_Type.tp_alloc(&PyType_Type, 0));
    if (!heap) throw pybind11::error_already_set();
    heap->ht_name = name_obj.inc_ref().ptr();
    heap->ht_qualname = name_obj.inc_ref().ptr();
    PyTypeObject* type = &heap->ht_type;
    type->tp_name = name;
    Py_INCREF(Library::metaclass);
    type->tp_base = Library::metaclass;
    type->tp_basicsize = Library::metaclass->tp_basicsize + static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_call = call;
    type->tp_vectorcall_offset = Library::metaclass->tp_basicsize;
    if (PyType_Ready(type) < 0) {
        Py_DECREF(type);
        throw pybind11::error_already_set();
    }
    pybind11::setattr(as_object(type), "__module__", pybind11::str("orbelon_core"));
    return type;
}

}  // namespace internals
}  // namespace orbelon
