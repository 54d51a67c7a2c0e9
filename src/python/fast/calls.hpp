// The fast build's calls, generated from the rows of the surface tables: each
// serves the calls whose operands it can convert exactly as the library would
// (exact instances, exact floats and ints, positional arguments) and hands
// every other call, unchanged, to the library.
#pragma once

#include <Python.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/descriptors.hpp"
#include "python/fast/convert.hpp"
#include "python/metaclass.hpp"
#include "python/rules.hpp"

namespace orbelon {
namespace fast {

// A served call counts the levels of recursion the library's own call would:
// a method one (the call of its function), a property's function or a
// construction two.
template <int N>
using Level = fence::RecursionLevels<N>;

// ---------------------------------------------------------------------------
// Methods

// A rule with a large result (a representation's text, 1 KB) is called out
// of line, so that the result takes stack only while it is made. Inlined, it
// would sit in the frame of every call that hands on to the library, and the
// library can come back: its error text takes the repr of its arguments,
// whose __repr__ may call here again, down to the interpreter's recursion
// limit. Before 3.14 that limit counts levels, not bytes, and 10^4 levels of
// 1 KB more than the generic slot's overflow an 8 MB stack.
template <class R>
constexpr bool large_result = sizeof(R) > 64;
template <>
constexpr bool large_result<void> = false;

template <class F>
[[gnu::noinline]] PyObject* call_rule_apart(State& state, F&& f, PyObject* const& descr) {
    return call_rule(state, std::forward<F>(f), descr);
}

// A rule whose result is a new instance is called where the compiler finds
// best; any other rule in the call itself. (Each is what callgrind counts
// fewest instructions for, on 3.8 and 3.15 alike.)
template <class R>
constexpr bool makes_instance = std::is_same_v<R, Scalar> || std::is_same_v<R, Vec3>;

template <class F>
[[gnu::always_inline]] inline PyObject* call_rule_anywhere(State& state, F&& f, PyObject* const& descr) {
    return call_rule(state, std::forward<F>(f), descr);
}

template <std::size_t Row, auto Rule, class R, class... P, std::size_t... I>
[[gnu::always_inline]] inline bool serve(State& state, PyObject* const& descr, PyObject* const* args, PyObject*& out, R (*)(P...),
           std::index_sequence<I...>) {
    std::tuple<Arg<P>...> in;
    if (!(std::get<I>(in).load(state, args[I]) && ...)) return false;
    const Level<1> level;
    auto rule = [&]() -> R { return Rule(std::get<I>(in).get()...); };
    if (!level.ok()) {
        out = nullptr;
    } else if constexpr (large_result<R>) {
        out = call_rule_apart(state, rule, descr);
    } else if constexpr (makes_instance<R>) {
        out = call_rule_anywhere(state, rule, descr);
    } else {
        out = call_rule(state, rule, descr);
    }
    return true;
}

// Serves self.name(*args) by `Rule` if every argument converts; for row Row
// of the table only, so that two rows with the same rules (__pow__ and pow)
// are compiled each on its own, as every other row is.
template <std::size_t Row, auto Rule, class R, class... P>
[[gnu::always_inline]] inline bool serve(State& state, PyObject* const& descr, PyObject* const* args, Py_ssize_t n, PyObject*& out, R (*f)(P...)) {
    return n == static_cast<Py_ssize_t>(sizeof...(P))
           && serve<Row, Rule>(state, descr, args, out, f, std::index_sequence_for<P...>{});
}

// A method's call, by its descriptor in its interpreter's State: the first
// overload whose operands convert serves it, in the order the library tries
// them. The library's first pass takes exact types only and its second
// converts; the operands taken here are the ones for which both passes land
// on this same overload.
template <class T, std::size_t I, auto... Rules>
[[gnu::always_inline]] inline PyObject* call_method(State& state, PyObject* descr, PyObject* const* args,
                                                   size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* out = nullptr;
    if (!kwnames && (serve<I, Rules>(state, descr, args, n, out, Rules) || ...)) return out;
    return descriptors::call_library(descr, args, nargsf, kwnames);
}

// The descriptor's vectorcall.
template <class T, std::size_t I, auto... Rules>
PyObject* call_method(PyObject* descr, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_method<T, I, Rules...>(*descriptors::method_of(descr)->state, descr, args, nargsf, kwnames);
}

template <class T, std::size_t I, auto... Rules>
constexpr vectorcallfunc call(const rules::Method<Rules...>&) {
    return call_method<T, I, Rules...>;
}

// ---------------------------------------------------------------------------
// Fields: a float read from, or written into, an exact instance in place.

inline descriptors::FieldDescr* field_of(PyObject* descr) { return reinterpret_cast<descriptors::FieldDescr*>(descr); }

inline double& field_value(PyObject* descr, PyObject* obj) {
    return *reinterpret_cast<double*>(static_cast<char*>(fence::value_of(obj)) + field_of(descr)->offset);
}

inline PyObject* field_get(PyObject* descr, PyObject* obj, PyObject* type) {
    if (obj && fence::holds(obj, field_of(descr)->served)) {
        const Level<2> level;
        return level.ok() ? PyFloat_FromDouble(field_value(descr, obj)) : nullptr;
    }
    return descriptors::field_library_get(descr, obj, type);
}

inline int field_set(PyObject* descr, PyObject* obj, PyObject* v) {
    double x;
    if (v && fence::holds(obj, field_of(descr)->served) && plain_number(v, x)) {
        const Level<2> level;
        if (!level.ok()) return -1;
        field_value(descr, obj) = x;
        return 0;
    }
    return descriptors::field_library_set(descr, obj, v);
}

// ---------------------------------------------------------------------------
// Construction

// Whether calling `cls` would reach nothing but the library's own functions:
// the library's metaclass call (metaclass::calls_library), its __new__ and
// the class's bound __init__. Each slot read here is one the interpreter keeps
// in step with the class dictionaries.
template <class T>
bool constructs_plainly(State& state, PyObject* cls) {
    const ClassState<T>& c = state.of<T>();
    PyTypeObject* t = c.bound.type;
    return cls == reinterpret_cast<PyObject*>(t) && metaclass::calls_library(state, cls) && state.library.new_
           && t->tp_new == state.library.new_ && fence::lookup(t, state.meta.init_name) == c.init;
}

// T(*args) from positional plain numbers; the constructor's defaults fill
// the rest. The class's room names its State.
template <class T, int N, int Required, class Default, std::size_t... I>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    std::index_sequence<I...>) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    State& state = *state_of(fence::as_type(cls));
    if (!kwnames && n >= Required && n <= N && constructs_plainly<T>(state, cls)) {
        double v[N] = {((void)I, state.of<T>().default_value)...};
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < n; ++i) ok = plain_number(args[i], v[i]);
        if (ok) {
            const Level<2> level;
            return level.ok() ? new_instance(state, T(v[I]...)) : nullptr;
        }
    }
    return metaclass::call_through_metaclass(cls, args, nargsf, kwnames);
}

template <class T, int N, int Required, class Default>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return construct<T, N, Required, Default>(cls, args, nargsf, kwnames, std::make_index_sequence<N>{});
}

template <class, std::size_t, class T, int N, int Required, class Default>
constexpr vectorcallfunc call(const rules::Init<T, N, Required, Default>&) {
    return construct<T, N, Required, Default>;
}

}  // namespace fast
}  // namespace orbelon
