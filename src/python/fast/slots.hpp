// The type slots of the fast paths: operators, representation, field reads,
// indexing and construction of exact Scalar and Vec3 operands with exact
// float or int numbers. Every other case goes where the plain bindings send
// it: the protocol port for the binary operators, the slot that was there
// before for the rest.
#pragma once

#include <Python.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "python/internals.hpp"
#include "python/rules.hpp"
#include "python/fast/protocol.hpp"

namespace orbelon {
namespace fast {

using internals::Bound;
using internals::holds;
using internals::make;
using internals::value;

// ---------------------------------------------------------------------------
// Numbers

// The double an exact float or int converts to, exactly as the binding
// library's float conversion gives it. false for anything else, or for an int
// too large for a double: those take the full dispatch.
inline bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        out = PyLong_AsDouble(o);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

// An exact int in the 32-bit range of an index parameter.
inline bool plain_index(PyObject* o, int& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

inline PyObject* to_python(double r) { return PyFloat_FromDouble(r); }
inline PyObject* to_python(bool r) { return PyBool_FromLong(r); }
inline PyObject* to_python(const std::vector<double>& r) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.size()));
    for (std::size_t i = 0; list && i < r.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(r[i]);
        if (!item) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}
template <class T>
PyObject* to_python(const T& r) {
    return make(r);
}

// A rule's result as a Python object; std::runtime_error as RuntimeError.
template <class F>
PyObject* call_rule(F&& f) {
    try {
        return to_python(f());
    } catch (const std::runtime_error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// What a class had before, and whether it still has it

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

// The interpreter gives a class its generic slot functions whenever it is
// created and whenever one of its special methods (or a base's) is assigned.
// Ours go back wherever the generic ones came in, in t and its subclasses,
// so that all of them keep taking part in the protocol as one.
inline void sync(PyTypeObject* t, bool subclasses) {
    if (PyNumberMethods* nb = t->tp_as_number) {
        const PyNumberMethods& generic = Class<Scalar>::generic;
        for (int k = 0; k < 4; ++k)
            if (nb->*binary_slots[k] == generic.*binary_slots[k]) nb->*binary_slots[k] = fast_binary[k];
        if (nb->nb_power == generic.nb_power) nb->nb_power = nb_power;
    }
    if (!subclasses) return;
    PyObject* subs = PyObject_CallMethod(reinterpret_cast<PyObject*>(t), "__subclasses__", nullptr);
    if (!subs) return PyErr_Clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subs); ++i)
        sync(reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(subs, i)), true);
    Py_DECREF(subs);
}

// ---------------------------------------------------------------------------
// Slots of one class

inline PyObject* scalar_negative(PyObject* a) {
    if (holds<Scalar>(a)) return make(rules::neg(value<Scalar>(a)));
    return Class<Scalar>::generic.nb_negative(a);
}

template <class T>
PyObject* repr(PyObject* self) {
    if (!holds<T>(self)) return Class<T>::repr(self);
    rules::Text t;
    rules::describe(t, value<T>(self));
    return PyUnicode_FromStringAndSize(t.buf, static_cast<Py_ssize_t>(t.n));
}

// Field reads: an interned name that still resolves to the bound property.
template <class T>
struct Fields;
template <>
struct Fields<Scalar> {
    static constexpr double Scalar::*member[2] = {&Scalar::val, &Scalar::d};
};
template <>
struct Fields<Vec3> {
    static constexpr double Vec3::*member[3] = {&Vec3::x, &Vec3::y, &Vec3::z};
};

template <class T>
PyObject* getattro(PyObject* self, PyObject* name) {
    using C = Class<T>;
    if (holds<T>(self)) {
        for (int i = 0; i < C::field_count; ++i)
            if (name == names.fields[C::first_field + i] && current<T>().reads[i])
                return PyFloat_FromDouble(value<T>(self).*Fields<T>::member[i]);
    }
    return C::getattro(self, name);
}

// Instances of exactly the class are released here, subclass instances (and
// any other layout) by the library's own deallocation.
template <class T>
void dealloc(PyObject* self) {
    if (Py_TYPE(self) == Bound<T>::type) internals::release<T>(self);
    else Class<T>::dealloc(self);
}

inline PyObject* vec3_subscript(PyObject* v, PyObject* key) {
    int i;
    if (!holds<Vec3>(v) || !plain_index(key, i)) return Class<Vec3>::subscript(v, key);
    if (double* c = rules::component(value<Vec3>(v), i)) return PyFloat_FromDouble(*c);
    PyErr_SetString(PyExc_IndexError, "");  // the library's message-less index_error
    return nullptr;
}

inline int vec3_ass_subscript(PyObject* v, PyObject* key, PyObject* item) {
    int i;
    double x;
    if (!item || !holds<Vec3>(v) || !plain_index(key, i) || !plain_number(item, x))
        return Class<Vec3>::ass_subscript(v, key, item);
    if (double* c = rules::component(value<Vec3>(v), i)) {
        *c = x;
        return 0;
    }
    PyErr_SetString(PyExc_IndexError, "");
    return -1;
}

// Scalar(val[, d]) and Vec3([x[, y[, z]]]) from positional plain numbers, while
// the class still has its bound __new__ and __init__; the constructor's
// defaults fill the rest. false: the metaclass takes the call as before.
template <class T, int Min, int N>
bool construct(PyObject* type, PyObject* args, PyObject* kwargs, PyObject*& out) {
    if (type != reinterpret_cast<PyObject*>(Bound<T>::type) || (kwargs && PyDict_GET_SIZE(kwargs)))
        return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < Min || n > N) return false;
    double v[N];
    for (int i = 0; i < N; ++i) v[i] = N == 2 ? rules::default_d : rules::default_component;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_number(PyTuple_GET_ITEM(args, i), v[i])) return false;
    if (!current<T>().constructs) return false;
    if constexpr (N == 2) out = make(T(v[0], v[1]));
    else out = make(T(v[0], v[1], v[2]));
    return true;
}

}  // namespace fast
}  // namespace orbelon
