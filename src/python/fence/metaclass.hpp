// FENCED (see fence.hpp): the library's metaclass as the library made it, and
// the metaclass of this module's classes built on it by hand.
#pragma once

#include <cstddef>

#include "python/fence/fence.hpp"

namespace orbelon {
namespace fence {

// The library's metaclass and the two functions construction reaches, as the
// library made them in one interpreter. A null function means someone
// replaced it before this module was imported there.
struct Library {
    pyd::internals* registry = nullptr;     // the library's registry in that interpreter
    pyd::local_internals* local = nullptr;  // and this module's part of it
    PyTypeObject* metaclass = nullptr;  // borrowed: the library's registry holds it
    ternaryfunc call = nullptr;         // its tp_call: pybind11_meta_call
    newfunc new_ = nullptr;             // the instances' tp_new: pybind11_object_new
    PyTypeObject* object = nullptr;     // the instances' base, pybind11_object (borrowed)
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
inline void find_library_functions(Library& library) {
    if (!library.call
        && is_own_call_wrapper(PyDict_GetItemString(library.metaclass->tp_dict, "__call__"), library.metaclass))
        library.call = library.metaclass->tp_call;
    PyObject* new_ = PyDict_GetItemString(library.object->tp_dict, "__new__");
    if (!library.new_ && is_own_new_wrapper(new_, library.object)) library.new_ = library.object->tp_new;
}

// The library as it stands in the running interpreter. Its metaclass must
// keep its fields where CPython's type keeps them, so that the room below
// lies at one offset in every class object.
inline Library find_library() {
    pyd::internals& registry = pyd::get_internals();
    Library library;
    library.registry = &registry;
    library.local = &pyd::get_local_internals();
    library.metaclass = registry.default_metaclass;
    library.object = reinterpret_cast<PyTypeObject*>(registry.instance_base);
    if (library.metaclass->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject)))
        pybind11::pybind11_fail("the library's metaclass has fields of its own");
    generic_new();  // learnt once, here, where a failure fails the import
    find_library_functions(library);
    return library;
}

// The end of an interpreter, once its dictionary is cleared and only the
// last collection is to come. The library keeps its registry for ever, with
// a reference to each of its three types, and the module's part of it keeps
// the type of its function records: they are let go here. And the
// library's metaclass deallocates a class without releasing the class's
// reference to it (pybind11_meta_dealloc ends in type's own tp_dealloc), so
// it would outlive its base class: that reference is released once the base
// class is gone, by a weak reference's callback. The base class goes in a
// collection made here, so that the interpreter's last one finds the
// metaclass unreachable. (The module's own metaclass base deallocates its
// classes itself: metaclass::base_dealloc.) The pointers stay: the library
// still compares them while the last objects go, and makes nothing new
// after this.
inline PyObject* release_metaclass(PyObject* metaclass, PyObject* weakref) {
    Py_DECREF(metaclass);  // the dead class's reference, which the library kept
    Py_DECREF(weakref);    // and with it this function
    Py_RETURN_NONE;
}

inline void release_registry(const Library& library) {
    pyd::internals* registry = library.registry;
    if (!registry || !registry->instance_base || !registry->default_metaclass) return;
    static PyMethodDef def{"release_metaclass", reinterpret_cast<PyCFunction>(release_metaclass), METH_O, nullptr};
    PyObject* callback = PyCFunction_NewEx(&def, as_object(registry->default_metaclass), nullptr);
    PyObject* watch = callback ? PyWeakref_NewRef(registry->instance_base, callback) : nullptr;
    Py_XDECREF(callback);
    if (!watch) {
        PyErr_Clear();  // nothing let go: the interpreter keeps its memory, as before
        return;
    }
    Py_CLEAR(library.local->function_record_py_type);  // the module's own: made again if ever needed
    Py_DECREF(as_object(registry->static_property_type));
    Py_DECREF(registry->instance_base);
    Py_DECREF(as_object(registry->default_metaclass));
    PyGC_Collect();
}

// Whether the next __call__ after `ours` along `meta`'s MRO is the library's
// own function: the MRO ends (ours, `base`, the library's metaclass, type,
// object) and the library's slot still holds its function, which CPython
// keeps in step with that class's dictionary. Only pointers are compared: no
// Python code runs while the tuple is read.
inline bool library_call_is_next(const Library& library, PyTypeObject* meta, PyTypeObject* ours,
                                 PyTypeObject* base) {
    PyObject* mro = meta->tp_mro;
    if (!mro || !library.call || library.metaclass->tp_call != library.call) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    return n >= 5 && PyTuple_GET_ITEM(mro, n - 5) == as_object(ours) && PyTuple_GET_ITEM(mro, n - 4) == as_object(base)
           && PyTuple_GET_ITEM(mro, n - 3) == as_object(library.metaclass)
           && PyTuple_GET_ITEM(mro, n - 2) == as_object(&PyType_Type)
           && PyTuple_GET_ITEM(mro, n - 1) == as_object(&PyBaseObject_Type);
}

// What every class object of the module's metaclasses holds after the
// library's metaclass's fields (which are CPython's type's: find_library()).
// A Python metaclass deriving from them keeps any __slots__ of its own after
// this room, so it lies at one offset in every class the module can meet.
struct ClassRoom {
    void* state;               // the interpreter's state the class belongs to, or null
    vectorcallfunc construct;  // the class object's own vectorcall (orbelon_type's classes)
};

inline ClassRoom& room(PyObject* cls) {
    return *reinterpret_cast<ClassRoom*>(reinterpret_cast<char*>(cls) + sizeof(PyHeapTypeObject));
}
inline ClassRoom& room(PyTypeObject* cls) { return room(as_object(cls)); }

constexpr Py_ssize_t construct_offset = sizeof(PyHeapTypeObject) + offsetof(ClassRoom, construct);

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
    bool room = false;       // the class objects' ClassRoom, after the base's fields
    bool vectorcall = false;  // the class objects are called through ClassRoom::construct
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
    if (parts.room) type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(ClassRoom));
    if (parts.vectorcall) {
        type->tp_vectorcall_offset = construct_offset;
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

}  // namespace fence
}  // namespace orbelon
