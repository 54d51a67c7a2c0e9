// What the module holds in one interpreter: each interpreter that imports it
// has a State of its own, and no Python object of one is ever reached from
// another.
//
// Every path finds its State from what it is handed, never by asking which
// interpreter runs: a method descriptor names it, and every class of the
// module's metaclasses names it in its room (fence/metaclass.hpp); a slot or
// a deallocation reaches it through the instance's class. Only making a class
// and importing look it up in the interpreter's own dictionary.
//
// Lifetime. The interpreter's dictionary holds the State through a capsule,
// and every class naming it keeps it too (`users`). When the interpreter
// ends (its atexit, or at the latest its dictionary's clearing, after which
// CPython collects once more), the State lets go of every Python object it
// holds: the classes and descriptors, which would otherwise keep one another
// alive through it, and the types. From then on nothing is served, every
// call goes to the library, and the pointers it keeps are borrowed from
// objects that outlive every reader. The last class to go frees it. At the
// dictionary's clearing the library's own registry lets go of its types too
// (fence::release_registry): an interpreter with its own GIL gives its
// memory back only if none of its objects outlives it.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include "orbelon/scalar.hpp"
#include "orbelon/solver.hpp"
#include "orbelon/vec3.hpp"
#include "python/fence/instance.hpp"
#include "python/fence/metaclass.hpp"
#include "python/fence/pool.hpp"

namespace orbelon {

// The method descriptors behind the slots the fast build writes on a class,
// held, and the slot functions made for them from the rows.
struct SlotDescrs {
    PyObject *repr = nullptr, *neg = nullptr, *to_float = nullptr, *getitem = nullptr, *setitem = nullptr;
    reprfunc tp_repr = nullptr;
    unaryfunc nb_negative = nullptr, nb_float = nullptr;
    binaryfunc mp_subscript = nullptr;
    objobjargproc mp_ass_subscript = nullptr;
    objobjargproc generic_ass_subscript = nullptr;  // for `del v[i]`
};

// One bound class in one interpreter.
template <class T>
struct ClassState {
    fence::Bound<T> bound;
    fence::Pool<T> pool;
    PyObject* init = nullptr;    // the library's __init__, held: construction is served while the class finds it
    double default_value = 0.0;  // of the constructor's parameters
    SlotDescrs slots;

    // The class's slots are derived again by CPython, from its dictionary:
    // the generic ones, calling the descriptors there.
    void let_go() {
        pool.drain();
        if (PyTypeObject* type = bound.type) {
            for (const char* name : {"__repr__", "__neg__", "__float__", "__getitem__", "__setitem__"}) {
                PyObject* entry = PyDict_GetItemString(type->tp_dict, name);
                Py_XINCREF(entry);
                if (entry && PyObject_SetAttrString(fence::as_object(type), name, entry) < 0) PyErr_Clear();
                Py_XDECREF(entry);
            }
        }
        for (PyObject** held : {&init, &slots.repr, &slots.neg, &slots.to_float, &slots.getitem, &slots.setitem})
            Py_CLEAR(*held);
        bound.tinfo = nullptr;
        Py_CLEAR(bound.type);
    }
};

// The module's metaclasses in one interpreter.
struct Metaclasses {
    PyTypeObject* type = nullptr;  // orbelon_core.orbelon_type
    PyTypeObject* base = nullptr;  // orbelon_core.orbelon_type_base
    // Its MRO when last seen to end in the library's metaclass, held: while
    // its tp_mro is still this very tuple (a tuple never changes), the check
    // need not be made again.
    PyObject* checked_mro = nullptr;
    PyObject* init_name = nullptr;  // "__init__", interned
};

struct State {
    fence::Library library;
    Metaclasses meta;
    PyTypeObject* method_type = nullptr;
    PyTypeObject* field_type = nullptr;
    ClassState<Scalar> scalar;
    ClassState<Vec3> vec3;
    ClassState<Solver> solver;
    fence::Apart apart;
    bool holding = true;  // until the interpreter ends
    int users = 1;        // the interpreter's dictionary, and each class naming it

    template <class T>
    ClassState<T>& of() {
        if constexpr (std::is_same_v<T, Scalar>) return scalar;
        else if constexpr (std::is_same_v<T, Vec3>) return vec3;
        else return solver;
    }

    // Whether another module has made anything implicitly convertible to a
    // bound class: the library's converting pass would then take an int for
    // an earlier overload's Scalar or Vec3 parameter.
    bool converts_implicitly() const {
        return fence::converts_implicitly(scalar.bound) || fence::converts_implicitly(vec3.bound);
    }

    // The interpreter is ending: everything held is let go, once. The
    // metaclasses and types stay named, borrowed from the classes and
    // descriptors that use them.
    void let_go() {
        if (!holding) return;
        holding = false;
        scalar.let_go();
        vec3.let_go();
        solver.let_go();
        Py_CLEAR(meta.checked_mro);
        Py_CLEAR(meta.init_name);
        for (PyTypeObject* type : {meta.type, meta.base, method_type, field_type}) Py_XDECREF(type);
    }

    void use() { ++users; }
    void leave() {
        if (--users == 0) delete this;
    }
};

// The State a class of the module's metaclasses names (null if none).
inline State* state_of(PyTypeObject* cls) { return static_cast<State*>(fence::room(cls).state); }

inline void name_state(PyTypeObject* cls, State* state) {
    if (fence::room(cls).state || !state) return;
    fence::room(cls).state = state;
    state->use();
}

// The running interpreter's State, or null: only where no object names it.
constexpr const char* state_key = "orbelon_core.state";

inline State* interpreter_state() {
    PyObject* dict = PyInterpreterState_GetDict(fence::running_interpreter());
    PyObject* capsule = dict ? PyDict_GetItemString(dict, state_key) : nullptr;
    return capsule ? static_cast<State*>(PyCapsule_GetPointer(capsule, state_key)) : nullptr;
}

// The running interpreter's State, made on its first import there. An import
// that failed leaves it for the next attempt.
inline State& import_state() {
    if (State* state = interpreter_state()) return *state;
    PyObject* dict = PyInterpreterState_GetDict(fence::running_interpreter());
    if (!dict) pybind11::pybind11_fail("the interpreter has no dictionary");
    auto* state = new State;
    auto capsule = pybind11::reinterpret_steal<pybind11::object>(PyCapsule_New(state, state_key, [](PyObject* c) {
        auto* s = static_cast<State*>(PyCapsule_GetPointer(c, state_key));
        s->let_go();
        fence::release_registry(s->library);
        s->leave();
    }));
    if (!capsule) {
        delete state;
        throw pybind11::error_already_set();
    }
    if (PyDict_SetItemString(dict, state_key, capsule.ptr()) < 0) throw pybind11::error_already_set();
    return *state;
}

// ---------------------------------------------------------------------------
// Instances

// A new instance of T's class owning a copy of v.
template <class T>
[[gnu::always_inline]] inline PyObject* new_instance(State& state, const T& v) {
    ClassState<T>& c = state.of<T>();
    return c.pool.new_instance(c.bound, v);
}

// The class's deallocation: the pool's, then the library's. It also makes
// CPython's layout check stop at the class: a Python class deriving from it
// is never judged by the library's base alone. An instance of a Python
// subclass comes here too, its class naming the same State (one made past
// class_new, on 3.8 and 3.9, names none: its bases lead to the bound class).
template <class T>
void dealloc(PyObject* self) {
    State* state = state_of(Py_TYPE(self));
    if (!state) {
        PyTypeObject* cls = Py_TYPE(self);
        while (cls->tp_dealloc != &dealloc<T>) cls = cls->tp_base;
        state = state_of(cls);
    }
    ClassState<T>& c = state->of<T>();
    if (!c.pool.keep(self, c.bound.type)) c.pool.library_dealloc(self);
}

// Done once, at registration, before any instance or subclass exists; CPython
// never writes an existing class's tp_dealloc again.
template <class T>
void give_own_dealloc(State& state, pybind11::handle cls) {
    PyTypeObject* type = fence::as_type(cls);
    state.of<T>().pool.library_dealloc = type->tp_dealloc;
    type->tp_dealloc = &dealloc<T>;
}

}  // namespace orbelon
