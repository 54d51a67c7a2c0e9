// The metaclass of Scalar, Vec3 and Solver, the same in both builds: the
// library's, with a field in each class object for the class's own
// vectorcall, through which the fast build serves construction, and beneath
// it a base that makes every class: orbelon_type, orbelon_type_base, then the
// library's metaclass.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include "python/fence/metaclass.hpp"
#include "python/state.hpp"

namespace orbelon {
namespace metaclass {

using fence::new_ref;

// The State a class of ours names; the running interpreter's for a class made
// where nothing named it (on 3.8 and 3.9 Python code can make one past
// class_new below).
inline State* state_for(PyObject* cls) {
    State* state = state_of(fence::as_type(cls));
    return state ? state : interpreter_state();
}

// type(cls).__call__, as super(orbelon_type, cls).__call__ finds it: the
// library's own function while the metaclass chain is the one this module
// made, and otherwise whatever Python code has put in its way, found by
// CPython's own super().
inline PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    State* state = state_for(cls);
    if (!state) {
        PyErr_SetString(PyExc_RuntimeError, "orbelon_core: the interpreter has ended");
        return nullptr;
    }
    Metaclasses& meta = state->meta;
    fence::restore_vectorcall(meta.type, meta_call);
    if (fence::library_call_is_next(state->library, Py_TYPE(cls), meta.type, meta.base)) {
        if (state->holding && Py_TYPE(cls) == meta.type && meta.type->tp_mro != meta.checked_mro) {
            Py_XDECREF(meta.checked_mro);
            meta.checked_mro = new_ref(meta.type->tp_mro);
        }
        return state->library.call(cls, args, kwargs);
    }
    if (!state->library.call || !state->library.new_) fence::find_library_functions(state->library);
    PyObject* super = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), meta.type, cls, nullptr);
    if (!super) return nullptr;
    PyObject* call = PyObject_GetAttrString(super, "__call__");
    Py_DECREF(super);
    if (!call) return nullptr;
    PyObject* r = PyObject_Call(call, args, kwargs);
    Py_DECREF(call);
    return r;
}

// Whether calling `cls`, an instance of this metaclass, reaches the library's
// metaclass call without passing through anything of Python's.
inline bool calls_library(const State& state, PyObject* cls) {
    PyTypeObject* meta = Py_TYPE(cls);
    return meta == state.meta.type && meta->tp_call == meta_call && meta->tp_mro == state.meta.checked_mro
           && state.library.metaclass->tp_call == state.library.call;
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
// type.__new__, named in its room with the interpreter's State, and given the
// deallocator that keeps it apart from every class holding other bound types
// (fence::keep_apart). Nothing can make one without this: a metaclass's
// __new__ must end in its static base's, and CPython refuses type.__new__(M)
// for M on ours ("not safe"). A __new__ of a metaclass listed after ours in
// M's bases would be passed over unseen, so M is refused instead, naming it.
inline PyObject* class_new(PyTypeObject* meta, PyObject* args, PyObject* kwds) {
    State* state = interpreter_state();
    if (!state) {
        PyErr_SetString(PyExc_RuntimeError, "orbelon_core: the interpreter has ended");
        return nullptr;
    }
    PyObject* mro = meta->tp_mro;
    bool after = false;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (after && t != &PyType_Type && t != &PyBaseObject_Type && fence::defines(t, "__new__"))
            return PyErr_Format(PyExc_TypeError,
                                "%s: list %s before orbelon_type among the bases, or its __new__ would not run",
                                meta->tp_name, t->tp_name);
        after = after || t == state->meta.base;
    }
    PyObject* cls = PyType_Type.tp_new(meta, args, kwds);
    if (cls && PyObject_TypeCheck(cls, state->meta.base)) {
        name_state(fence::as_type(cls), state);
        if (fence::keep_apart(state->apart, fence::as_type(cls)) < 0) Py_CLEAR(cls);
    }
    return cls;
}

// The library's deallocation of a class, in a function of its own: CPython's
// layout check then stops at the base, so that no assignment to
// orbelon_type.__bases__ can take the base out of its MRO. As the
// deallocation of a heap type's instances, it releases the class's reference
// to its metaclass, which the library's does not. The class's State loses a
// user.
inline void base_dealloc(PyObject* cls) {
    State* state = state_of(fence::as_type(cls));
    PyTypeObject* meta = Py_TYPE(cls);
    PyTypeObject* library = nullptr;  // the base of the deepest class with this deallocation: orbelon_type_base's
    for (PyTypeObject* t = meta; t; t = t->tp_base)
        if (t->tp_dealloc == base_dealloc) library = t->tp_base;
    library->tp_dealloc(cls);
    Py_DECREF(meta);
    if (state) state->leave();
}

// Makes the metaclasses, once per interpreter: an import that failed after
// making them leaves them for the next attempt. The base is immutable where
// the interpreter allows (3.10 on), so that its __new__ stays the one above;
// its room names each class's State and holds the class's own vectorcall,
// which orbelon_type calls its classes through.
inline void make_metaclasses(State& state) {
    Metaclasses& meta = state.meta;
    if (meta.type) return;
    if (!meta.init_name && !(meta.init_name = PyUnicode_InternFromString("__init__")))
        throw pybind11::error_already_set();
    state.library = fence::find_library();
    if (!meta.base)
        meta.base = fence::make_heap_metaclass(
            {"orbelon_type_base", state.library.metaclass, true, false, nullptr, class_new, base_dealloc, true});
    meta.type = fence::make_heap_metaclass({"orbelon_type", meta.base, false, true, meta_call});
    if (fence::library_call_is_next(state.library, meta.type, meta.type, meta.base))
        meta.checked_mro = new_ref(meta.type->tp_mro);
}

// The class object's own vectorcall, for classes whose metaclass is exactly
// orbelon_type.
inline void set_construct(State& state, PyObject* cls, vectorcallfunc f) {
    if (Py_TYPE(cls) != state.meta.type) pybind11::pybind11_fail("a class's own vectorcall set through another metaclass");
    fence::room(cls).construct = f;
}

}  // namespace metaclass
}  // namespace orbelon
