// The fast build's entries, generated from the rows of the surface tables:
// each serves the calls whose operands it can convert exactly as the library
// would (exact instances, exact floats and ints, positional arguments) and
// forwards every other call, unchanged, to the library.
#pragma once

#include <Python.h>

#include <cstddef>
#include <tuple>
#include <utility>

#include "python/descriptors.hpp"
#include "python/fast/convert.hpp"
#include "python/rules.hpp"

namespace orbelon {
namespace fast {

// ---------------------------------------------------------------------------
// Methods

template <auto Rule, class R, class... P, std::size_t... I>
bool serve(PyObject* const* args, PyObject*& out, R (*)(P...), std::index_sequence<I...>) {
    std::tuple<Arg<P>...> in;
    if (!(std::get<I>(in).load(args[I]) && ...)) return false;
    out = call_rule([&]() -> R { return Rule(std::get<I>(in).get()...); });
    return true;
}

// Serves self.name(*args) by `Rule` if every argument converts.
template <auto Rule, class R, class... P>
bool serve(PyObject* const* args, Py_ssize_t n, PyObject*& out, R (*f)(P...)) {
    return n == static_cast<Py_ssize_t>(sizeof...(P))
           && serve<Rule>(args, out, f, std::index_sequence_for<P...>{});
}

// A method's entry: the first overload whose operands convert serves the
// call, in the order the library tries them. The library's first pass takes
// exact types only and its second converts; the operands taken here are the
// ones for which both passes land on this same overload.
template <auto... Rules>
PyObject* method(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* out = nullptr;
    if (!kwnames && (serve<Rules>(args, n, out, Rules) || ...)) return out;
    return descriptors::forward(self, args, nargsf, kwnames);
}

template <auto... Rules>
constexpr vectorcallfunc entry(const rules::Method<Rules...>&) {
    return method<Rules...>;
}

// ---------------------------------------------------------------------------
// Fields: a float read from, or written into, an exact instance in place.

inline double& field(PyObject* self, PyObject* obj) {
    auto* f = reinterpret_cast<descriptors::Field*>(self);
    return *reinterpret_cast<double*>(static_cast<char*>(internals::value_of(obj)) + f->offset);
}

inline PyObject* field_get(PyObject* self, PyObject* obj, PyObject* type) {
    if (obj && internals::holds(obj, descriptors::entry_of(self)->owner))
        return PyFloat_FromDouble(field(self, obj));
    return descriptors::field_forward_get(self, obj, type);
}

inline int field_set(PyObject* self, PyObject* obj, PyObject* v) {
    double x;
    if (v && internals::holds(obj, descriptors::entry_of(self)->owner) && plain_number(v, x)) {
        field(self, obj) = x;
        return 0;
    }
    return descriptors::field_forward_set(self, obj, v);
}

// ---------------------------------------------------------------------------
// Construction

// The library's __init__ of each class, held (construction is served only
// while the class still finds it), and the default of its parameters.
template <class T>
struct Init {
    static inline PyObject* original = nullptr;
    static inline double fallback = 0.0;
};

// Whether calling `cls` would reach nothing but the library's own functions:
// this metaclass's __call__, the library's metaclass __call__, its __new__
// and the class's bound __init__. Each slot read here is one the interpreter
// keeps in step with the class dictionaries.
template <class T>
bool constructs_plainly(PyObject* cls) {
    using internals::Library;
    PyTypeObject* t = internals::Bound<T>::type;
    return cls == reinterpret_cast<PyObject*>(t) && Py_TYPE(cls) == descriptors::Meta::type
           && descriptors::Meta::type->tp_call == descriptors::meta_call && Library::call
           && Library::metaclass->tp_call == Library::call && Library::new_ && t->tp_new == Library::new_
           && _PyType_Lookup(t, descriptors::names.init) == Init<T>::original;
}

// T(*args) from positional plain numbers; the constructor's defaults fill
// the rest.
template <class T, int N, int Required, class Default, std::size_t... I>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    std::index_sequence<I...>) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (!kwnames && n >= Required && n <= N && constructs_plainly<T>(cls)) {
        double v[N] = {((void)I, Init<T>::fallback)...};
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < n; ++i) ok = plain_number(args[i], v[i]);
        if (ok) return make(T(v[I]...));
    }
    return descriptors::call_through_metaclass(cls, args, nargsf, kwnames);
}

template <class T, int N, int Required, class Default>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return construct<T, N, Required, Default>(cls, args, nargsf, kwnames, std::make_index_sequence<N>{});
}

template <class T, int N, int Required, class Default>
constexpr vectorcallfunc entry(const rules::Init<T, N, Required, Default>&) {
    return construct<T, N, Required, Default>;
}

}  // namespace fast
}  // namespace orbelon
