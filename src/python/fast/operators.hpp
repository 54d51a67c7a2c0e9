// The binary operators: one slot function per operator, shared by Scalar,
// Vec3 and every subclass, serving exact operands by the rules and handing
// the rest to the protocol.
#pragma once

#include <Python.h>

#include "python/fast/classes.hpp"
#include "python/fast/convert.hpp"
#include "python/fast/protocol.hpp"
#include "python/rules.hpp"

namespace orbelon {
namespace fast {

using internals::holds;
using internals::value;

// The binary slots, one row each: all bound classes and their subclasses
// share one function per slot, so that the protocol sees them all as one.
enum Binary { Add, Sub, Mul, Div, Pow };
inline constexpr const char* binary_names[5][2] = {{"__add__", "__radd__"},
                                                   {"__sub__", "__rsub__"},
                                                   {"__mul__", "__rmul__"},
                                                   {"__truediv__", "__rtruediv__"},
                                                   {"__pow__", "__rpow__"}};
inline constexpr binaryfunc PyNumberMethods::*binary_slots[4] = {
    &PyNumberMethods::nb_add, &PyNumberMethods::nb_subtract, &PyNumberMethods::nb_multiply,
    &PyNumberMethods::nb_true_divide};

// Scalar ∘ Scalar, Scalar ∘ number and number ∘ Scalar, by the table's rules.
template <int K>
bool serve_scalar(PyObject* a, PyObject* b, PyObject*& out) {
    constexpr const rules::ScalarOperator& rule = rules::scalar_operators[K];
    double x;
    if (holds<Scalar>(a)) {
        if (!current<Scalar>().operates[K]) return false;
        if (holds<Scalar>(b)) out = call_rule([&] { return rule.with_scalar(value<Scalar>(a), value<Scalar>(b)); });
        else if (plain_number(b, x)) out = call_rule([&] { return rule.with_number(value<Scalar>(a), x); });
        else return false;
        return true;
    }
    if (holds<Scalar>(b) && plain_number(a, x) && current<Scalar>().operates[K]) {
        out = call_rule([&] { return rule.reflected(value<Scalar>(b), x); });
        return true;
    }
    return false;
}

// Vec3 ± Vec3, Vec3 ∗ number, Vec3 / number.
template <int K>
bool serve_vec3(PyObject* a, PyObject* b, PyObject*& out) {
    if (!holds<Vec3>(a) || !current<Vec3>().operates[K]) return false;
    double x;
    if constexpr (K == Add || K == Sub) {
        if (!holds<Vec3>(b)) return false;
        out = make((K == Add ? rules::vec_add::call : rules::vec_sub::call)(value<Vec3>(a), value<Vec3>(b)));
    } else {
        if (!plain_number(b, x)) return false;
        out = make((K == Mul ? rules::vec_mul::call : rules::vec_div::call)(value<Vec3>(a), x));
    }
    return true;
}

template <int K>
PyObject* nb_binary(PyObject* a, PyObject* b) {
    PyObject* out;
    if (serve_scalar<K>(a, b, out) || serve_vec3<K>(a, b, out)) return out;
    return protocol::binary(a, b, &nb_binary<K>, binary_slots[K], names.binary[K][0], names.binary[K][1]);
}

inline PyObject* nb_power(PyObject* a, PyObject* b, PyObject* mod) {
    if (mod != Py_None) return protocol::ternary_power(a, b, mod, &nb_power, names.binary[Pow][0]);
    double x;
    if (holds<Scalar>(a) && plain_number(b, x) && current<Scalar>().operates[Pow])
        return make(rules::pow_::call(value<Scalar>(a), x));
    return protocol::binary(a, b, &nb_power, &PyNumberMethods::nb_power, names.binary[Pow][0],
                            names.binary[Pow][1]);
}

inline constexpr binaryfunc fast_binary[4] = {nb_binary<Add>, nb_binary<Sub>, nb_binary<Mul>,
                                              nb_binary<Div>};

}  // namespace fast
}  // namespace orbelon
