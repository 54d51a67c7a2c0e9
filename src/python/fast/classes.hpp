// What the fast paths keep of each bound class: the slot functions it had
// before, the attributes it was bound with, and whether it still has them.
#pragma once

#include <Python.h>

#include "python/internals.hpp"

namespace orbelon {
namespace fast {

using internals::Bound;

struct Names {
    PyObject* binary[5][2];
    PyObject* init;
    PyObject* fields[5];  // val, d, x, y, z
};
inline Names names;

// Whether the class still finds its bound __new__/__init__, field properties
// and operator methods, as of its version tag `tag`.
struct State {
    unsigned int tag = 0;
    bool constructs = false;
    bool reads[3] = {};
    bool operates[5] = {};
};

template <class T>
struct Class {
    static inline PyNumberMethods generic{};  // the interpreter's slot functions
    static inline reprfunc repr = nullptr;
    static inline getattrofunc getattro = nullptr;
    static inline binaryfunc subscript = nullptr;
    static inline objobjargproc ass_subscript = nullptr;
    static inline destructor dealloc = nullptr;
    static inline newfunc new_ = nullptr;
    // What it was bound with, held: a held object cannot be freed and its
    // address given to another.
    static inline PyObject* init = nullptr;
    static inline PyObject* fields[3] = {};
    static inline PyObject* operators[5][2] = {};  // __op__ and __rop__, or null
    static inline int first_field = 0, field_count = 0;
    static inline State state;
};

// The class's state, checked again whenever the class (or a base) changed.
template <class T>
const State& current() {
    using C = Class<T>;
    PyTypeObject* t = Bound<T>::type;
    State& s = C::state;
    if (s.tag != 0 && s.tag == internals::version_tag(t)) return s;
    s.constructs = t->tp_new == C::new_ && _PyType_Lookup(t, names.init) == C::init;
    for (int i = 0; i < C::field_count; ++i)
        s.reads[i] = _PyType_Lookup(t, names.fields[C::first_field + i]) == C::fields[i];
    for (int k = 0; k < 5; ++k)
        s.operates[k] = _PyType_Lookup(t, names.binary[k][0]) == C::operators[k][0]
                        && _PyType_Lookup(t, names.binary[k][1]) == C::operators[k][1];
    s.tag = internals::version_tag(t);
    return s;
}

}  // namespace fast
}  // namespace orbelon
