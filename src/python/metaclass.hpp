// The metaclass of Scalar, Vec3 and Solver, the same in both builds: the
// library's, with a field in each class object for the class's own
// vectorcall, through which the fast build serves construction, and beneath
// it a base that makes every class: orbelon_type, orbelon_type_base, then the
// library's metaclass.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include "python/fence/metaclass.hpp"

namespace orbelon {
namespace metaclass {

using internals::Library;
using internals::new_ref;

struct Meta {
    static inline PyTypeObject* type = nullptr;  // orbelon_core.orbelon_type
    static inline PyTypeObject* base = nullptr;  // orbelon_core.orbelon_type_base
    // Its MRO when last seen to end in the library's metaclass, held: while
    // its tp_mro is still this very tuple (a tuple never changes), the check
    // need not be made again.
    static inline PyObject* checked_mro = nullptr;
    static inline PyObject* call_name = nullptr;  // interned
    static inline PyObject* init_name = nullptr;
};

// type(cls).__call__, as super(orbelon_type, cls).__call__ finds it: the
// library's own function while the metaclass chain is the one this module
// made, and otherwise whatever Python code has put in its way, found by
// CPython's own super().
inline PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    internals::restore_vectorcall(Meta::type, meta_call);
    if (internals::library_call_is_next(Py_TYPE(cls), Meta::type, Meta::base)) {
        if (Py_TYPE(cls) == Meta::type && Meta::type->tp_mro != Meta::checked_mro) {
            Py_XDECREF(Meta::checked_mro);
            Meta::checked_mro = new_ref(Meta::type->tp_mro);
        }
        return Library::call(cls, args, kwargs);
    }
    if (!Library::call || !Library::new_) internals::find_library_functions();
    PyObject* super = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), Meta::type, cls, nullptr);
    if (!super) return nullptr;
    PyObject* call = PyObject_GetAttr(super, Meta::call_name);
    Py_DECREF(super);
    if (!call) return nullptr;
    PyObject* r = PyObject_Call(call, args, kwargs);
    Py_DECREF(call);
    return r;
}

// Whether calling `cls`, an instance of this metaclass, reaches the library's
// metaclass call without passing through anything of Python's.
inline bool calls_library(PyObject* cls) {
    PyTypeObject* meta = Py_TYPE(cls);
    return meta == Meta::type && meta->tp_call == meta_call && meta->tp_mro == Meta::checked_mro
           && Library::metaclass->tp_call == Library::call;
}

// A call of `cls` that its own vectorcall does not serve, made the way the
// interpreter makes a call without one: through the metaclass's tp_call.
inline PyObject* call_through_metaclass(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf), nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, new_ref(args[i]));
    PyObject* kwargs = nkw ? PyDict_New() : nullptr;
    for (Py_ssize_t i = 0; kwargs && i < nkw; ++i)
        if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0) Py_CLEAR(kwargs);
    PyObject* r = nullptr;
    if ((kwargs || !nkw) && Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        r = Py_TYPE(cls)->tp_call(cls, tuple, kwargs);
        Py_LeaveRecursiveCall();
    }
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return r;
}

// ---------------------------------------------------------------------------
// The base: where classes are made

// A class of any metaclass deriving from ours is made here, by CPython's own
// type.__new__, and then given the deallocator that keeps it apart from every
// class holding other bound types (internals::keep_apart). Nothing can make
// one without this: a metaclass's __new__ must end in its static base's, and
// CPython refuses type.__new__(M) for M on ours ("not safe"). A __new__ of a
// metaclass listed after ours in M's bases would be passed over unseen, so M
// is refused instead, naming it.
inline PyObject* class_new(PyTypeObject* meta, PyObject* args, PyObject* kwds) {
    PyObject* mro = meta->tp_mro;
    bool after = false;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (after && t != &PyType_Type && t != &PyBaseObject_Type && internals::defines(t, "__new__"))
            return PyErr_Format(PyExc_TypeError, "%s: list %s before %s among the bases, or its __new__ would not run",
                                meta->tp_name, t->tp_name, Meta::type->tp_name);
        after = after || t == Meta::base;
    }
    PyObject* cls = PyType_Type.tp_new(meta, args, kwds);
    if (cls && PyObject_TypeCheck(cls, Meta::base) && internals::keep_apart(internals::as_type(cls)) < 0)
        Py_CLEAR(cls);
    return cls;
}

// The library's deallocation of a class, in a function of its own: CPython's
// layout check then stops at the base, so that no assignment to
// orbelon_type.__bases__ can take the base out of its MRO.
inline void base_dealloc(PyObject* cls) { Library::metaclass->tp_dealloc(cls); }

// Makes the metaclass, once per process: an import that failed after making
// it leaves it for the next attempt. The base is immutable where the
// interpreter allows (3.10 on), so that its __new__ stays the one above.
inline void make() {
    if (Meta::type) return;
    Meta::call_name = PyUnicode_InternFromString("__call__");
    Meta::init_name = PyUnicode_InternFromString("__init__");
    if (!Meta::call_name || !Meta::init_name) throw pybind11::error_already_set();
    internals::find_library();
    if (!Meta::base) {
        Meta::base = internals::make_heap_metaclass(
            {"orbelon_type_base", Library::metaclass, 0, nullptr, class_new, base_dealloc, true});
    }
    Meta::type = internals::make_heap_metaclass(
        {"orbelon_type", Meta::base, static_cast<Py_ssize_t>(sizeof(vectorcallfunc)), meta_call});
    if (internals::library_call_is_next(Meta::type, Meta::type, Meta::base))
        Meta::checked_mro = new_ref(Meta::type->tp_mro);
}

}  // namespace metaclass
}  // namespace orbelon
