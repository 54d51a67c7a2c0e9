// C-level fast paths for the hottest operations of the bound classes.
//
// Through the binding library's general dispatcher, `s + 2` costs over a
// microsecond: the first overload fails, its type probes are expensive, and
// the result goes through the general cast. Here the common cases — exact
// Scalar/Vec3 operands with exact float or int numbers — are served straight
// from the type slots and from leaner method objects, and every other case is
// handed to the very same bound methods as before. Nothing a Python program
// can observe changes: the registered methods, their overloads, signatures,
// errors and results stay identical, bit for bit.
//
// Results are created as the binding library creates its own instances (value
// and unique_ptr holder in place, registered in its instance map, freed by its
// own deallocation). That relies on its internal instance layout, which is
// checked here at compile time and once more at import; if the import check
// fails, nothing is installed and the plain bindings serve every call.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "format.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/vec3.hpp"
#include "orbelon/vectorcall.hpp"

#if PYBIND11_VERSION_HEX < 0x03000000 || PYBIND11_VERSION_HEX >= 0x03010000 \
    || PYBIND11_INTERNALS_VERSION != 11
#    error "the fast paths use the instance layout of pybind11 3.0 (internals version 11)"
#endif

namespace orbelon {
namespace fast {

namespace pyd = pybind11::detail;

// ---------------------------------------------------------------------------
// Instances of a bound class

template <class T>
struct Bound {
    static inline PyTypeObject* type = nullptr;
    static inline const pyd::type_info* tinfo = nullptr;
};

template <class T>
bool is(PyObject* o) {
    return Py_TYPE(o) == Bound<T>::type;
}

// The value of an instance of exactly the bound type (simple layout).
template <class T>
T& value(PyObject* o) {
    return *static_cast<T*>(reinterpret_cast<pyd::instance*>(o)->simple_value_holder[0]);
}

// Gives a freshly allocated instance of exactly the bound type its value:
// the state the library's own constructors and casts leave behind.
template <class T>
void adopt(PyObject* self, T* v) {
    auto* inst = reinterpret_cast<pyd::instance*>(self);
    pyd::value_and_holder v_h(inst, Bound<T>::tinfo, 0, 0);
    v_h.value_ptr() = v;
    new (std::addressof(v_h.holder<std::unique_ptr<T>>())) std::unique_ptr<T>(v);
    v_h.set_holder_constructed();
    pyd::register_instance(inst, v, Bound<T>::tinfo);
    v_h.set_instance_registered();
}

// A new instance of exactly the bound type with an empty simple layout, as
// the library's own tp_new leaves it.
template <class T>
PyObject* blank() {
    PyTypeObject* type = Bound<T>::type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* inst = reinterpret_cast<pyd::instance*>(self);
    inst->simple_layout = true;
    inst->simple_value_holder[0] = nullptr;
    inst->simple_holder_constructed = false;
    inst->simple_instance_registered = false;
    inst->owned = true;
    return self;
}

template <class T>
PyObject* make(const T& v) {
    PyObject* self = blank<T>();
    if (!self) return nullptr;
    try {
        adopt(self, new T(v));
    } catch (const std::bad_alloc& e) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    }
    return self;
}

// Runs an operation that may throw the value types' std::runtime_error and
// reports it as the standard translation would: RuntimeError, same text.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return make(f());
    } catch (const std::runtime_error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// The double that an exact float or int converts to, exactly as the binding
// library's float conversion gives it. false for any other object, or for an
// int too large for a double: those go to the full dispatcher.
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

// ---------------------------------------------------------------------------
// The binary-operator protocol, for operands the fast paths do not serve.
//
// The interpreter's own slot functions call __add__/__radd__ only while they
// themselves sit in the slot, so a replaced slot cannot hand its other cases
// back to them. It carries out the same protocol instead, by calling the bound
// methods: the left operand's method, the right operand's reflected method,
// and the right one first when it is a subclass that overrides it.

// type(obj).<name>(obj, *args), or NotImplemented when the type has no such
// attribute.
inline PyObject* call_special(PyObject* obj, PyObject* name, PyObject* const* args, Py_ssize_t n,
                              bool required = false) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!descr) {
        if (PyErr_Occurred()) return nullptr;
        if (required) {
            PyErr_SetObject(PyExc_AttributeError, name);
            return nullptr;
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    Py_INCREF(descr);
    PyObject* func = descr;
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        func = get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        Py_DECREF(descr);
        if (!func) return nullptr;
    }
    PyObject* r = vectorcall(func, args, static_cast<size_t>(n), nullptr);
    Py_DECREF(func);
    return r;
}

// Whether the right operand's type has a reflected method other than the
// left operand's type (Python's own rule for trying a subclass first).
inline int overrides(PyObject* left, PyObject* right, PyObject* name) {
    PyObject* b = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(right)), name);
    if (!b) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    PyObject* a = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(left)), name);
    if (!a) {
        Py_DECREF(b);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 1;
    }
    const int ne = PyObject_RichCompareBool(a, b, Py_NE);
    Py_DECREF(a);
    Py_DECREF(b);
    return ne;
}

template <class Fn>
PyObject* binary_protocol(PyObject* self, PyObject* other, Fn ours, Fn PyNumberMethods::*slot,
                          PyObject* op, PyObject* rop) {
    auto has_ours = [&](PyObject* o) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        return nb && nb->*slot == ours;
    };
    bool do_other = Py_TYPE(self) != Py_TYPE(other) && has_ours(other);
    if (has_ours(self)) {
        if (do_other && PyType_IsSubtype(Py_TYPE(other), Py_TYPE(self))) {
            const int ok = overrides(self, other, rop);
            if (ok < 0) return nullptr;
            if (ok) {
                PyObject* r = call_special(other, rop, &self, 1);
                if (r != Py_NotImplemented) return r;
                Py_DECREF(r);
                do_other = false;
            }
        }
        PyObject* r = call_special(self, op, &other, 1);
        if (r != Py_NotImplemented || Py_TYPE(other) == Py_TYPE(self)) return r;
        Py_DECREF(r);
    }
    if (do_other) return call_special(other, rop, &self, 1);
    Py_RETURN_NOTIMPLEMENTED;
}

struct Names {
    PyObject *add, *radd, *sub, *rsub, *mul, *rmul, *truediv, *rtruediv, *pow, *rpow;
    PyObject *val, *d, *x, *y, *z;
};
inline Names names;

// The slot functions the types had before (the interpreter's generic ones):
// unary slots fall back to them, and Python subclasses are recognised by them.
template <class T>
struct Saved {
    static inline PyNumberMethods nb{};
    static inline reprfunc repr = nullptr;
    static inline initproc init = nullptr;
    static inline newfunc new_ = nullptr;
    static inline binaryfunc subscript = nullptr;
    static inline objobjargproc ass_subscript = nullptr;
    static inline PyObject* fields[3] = {nullptr, nullptr, nullptr};  // the property objects
};

// ---------------------------------------------------------------------------
// Scalar

inline PyObject* scalar_add(PyObject* a, PyObject* b) {
    double x;
    if (is<Scalar>(a)) {
        if (is<Scalar>(b)) return make(value<Scalar>(a) + value<Scalar>(b));
        if (plain_number(b, x)) return make(value<Scalar>(a) + x);
    } else if (is<Scalar>(b) && plain_number(a, x)) {
        return make(value<Scalar>(b) + x);
    }
    return binary_protocol(a, b, &scalar_add, &PyNumberMethods::nb_add, names.add, names.radd);
}

inline PyObject* scalar_subtract(PyObject* a, PyObject* b) {
    double x;
    if (is<Scalar>(a)) {
        if (is<Scalar>(b)) return make(value<Scalar>(a) - value<Scalar>(b));
        if (plain_number(b, x)) return make(value<Scalar>(a) - x);
    } else if (is<Scalar>(b) && plain_number(a, x)) {
        return make(Scalar(x) - value<Scalar>(b));
    }
    return binary_protocol(a, b, &scalar_subtract, &PyNumberMethods::nb_subtract, names.sub,
                           names.rsub);
}

inline PyObject* scalar_multiply(PyObject* a, PyObject* b) {
    double x;
    if (is<Scalar>(a)) {
        if (is<Scalar>(b)) return make(value<Scalar>(a) * value<Scalar>(b));
        if (plain_number(b, x)) return make(value<Scalar>(a) * x);
    } else if (is<Scalar>(b) && plain_number(a, x)) {
        return make(value<Scalar>(b) * x);
    }
    return binary_protocol(a, b, &scalar_multiply, &PyNumberMethods::nb_multiply, names.mul,
                           names.rmul);
}

inline PyObject* scalar_true_divide(PyObject* a, PyObject* b) {
    double x;
    if (is<Scalar>(a)) {
        const Scalar& u = value<Scalar>(a);
        if (is<Scalar>(b)) return guarded([&] { return u / value<Scalar>(b); });
        if (plain_number(b, x)) return guarded([&] { return u / Scalar(x); });
    } else if (is<Scalar>(b) && plain_number(a, x)) {
        return guarded([&] { return Scalar(x) / value<Scalar>(b); });
    }
    return binary_protocol(a, b, &scalar_true_divide, &PyNumberMethods::nb_true_divide,
                           names.truediv, names.rtruediv);
}

inline PyObject* scalar_power(PyObject* a, PyObject* b, PyObject* mod) {
    double x;
    if (mod != Py_None) {
        // Three-argument pow never reflects; it calls __pow__ with both.
        if (Py_TYPE(a)->tp_as_number && Py_TYPE(a)->tp_as_number->nb_power == &scalar_power) {
            PyObject* args[2] = {b, mod};
            return call_special(a, names.pow, args, 2, true);
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (is<Scalar>(a) && plain_number(b, x)) return make(value<Scalar>(a).pow(x));
    return binary_protocol(a, b, &scalar_power, &PyNumberMethods::nb_power, names.pow, names.rpow);
}

inline PyObject* scalar_negative(PyObject* a) {
    if (is<Scalar>(a)) return make(-value<Scalar>(a));
    return Saved<Scalar>::nb.nb_negative(a);
}

// ---------------------------------------------------------------------------
// Vec3

inline PyObject* vec3_add(PyObject* a, PyObject* b) {
    if (is<Vec3>(a) && is<Vec3>(b)) return make(value<Vec3>(a) + value<Vec3>(b));
    return binary_protocol(a, b, &vec3_add, &PyNumberMethods::nb_add, names.add, names.radd);
}

inline PyObject* vec3_subtract(PyObject* a, PyObject* b) {
    if (is<Vec3>(a) && is<Vec3>(b)) return make(value<Vec3>(a) - value<Vec3>(b));
    return binary_protocol(a, b, &vec3_subtract, &PyNumberMethods::nb_subtract, names.sub,
                           names.rsub);
}

inline PyObject* vec3_multiply(PyObject* a, PyObject* b) {
    double x;
    if (is<Vec3>(a) && plain_number(b, x)) return make(value<Vec3>(a) * x);
    return binary_protocol(a, b, &vec3_multiply, &PyNumberMethods::nb_multiply, names.mul,
                           names.rmul);
}

inline PyObject* vec3_true_divide(PyObject* a, PyObject* b) {
    double x;
    if (is<Vec3>(a) && plain_number(b, x)) return make(value<Vec3>(a) / x);
    return binary_protocol(a, b, &vec3_true_divide, &PyNumberMethods::nb_true_divide,
                           names.truediv, names.rtruediv);
}

inline double* vec3_component(PyObject* v, int i) {
    Vec3& u = value<Vec3>(v);
    return i == 0 ? &u.x : i == 1 ? &u.y : i == 2 ? &u.z : nullptr;
}

inline PyObject* vec3_subscript(PyObject* v, PyObject* key) {
    int i;
    if (is<Vec3>(v) && plain_index(key, i)) {
        if (double* c = vec3_component(v, i)) return PyFloat_FromDouble(*c);
        PyErr_SetString(PyExc_IndexError, "");  // as the library's message-less index_error
        return nullptr;
    }
    return Saved<Vec3>::subscript(v, key);
}

inline int vec3_ass_subscript(PyObject* v, PyObject* key, PyObject* item) {
    int i;
    double x;
    if (item && is<Vec3>(v) && plain_index(key, i) && plain_number(item, x)) {
        if (double* c = vec3_component(v, i)) {
            *c = x;
            return 0;
        }
        PyErr_SetString(PyExc_IndexError, "");
        return -1;
    }
    return Saved<Vec3>::ass_subscript(v, key, item);
}

// ---------------------------------------------------------------------------
// Shared by both classes: construction, representation, field reads

// Appends a literal or a number to a representation being built in buf.
struct Text {
    char buf[1024];
    std::size_t n = 0;
    void put(const char* s) {
        while (*s) buf[n++] = *s++;
    }
    void put(double v) { n += static_cast<std::size_t>(format_fixed(buf + n, sizeof buf - n, v)); }
    PyObject* str() const { return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n)); }
};

inline PyObject* scalar_repr(PyObject* self) {
    if (!is<Scalar>(self)) return Saved<Scalar>::repr(self);
    const Scalar& s = value<Scalar>(self);
    Text t;
    t.put("<Scalar val=");
    t.put(s.val);
    t.put(", d=");
    t.put(s.d);
    t.put(">");
    return t.str();
}

inline PyObject* vec3_repr(PyObject* self) {
    if (!is<Vec3>(self)) return Saved<Vec3>::repr(self);
    const Vec3& v = value<Vec3>(self);
    Text t;
    t.put("<Vec3 (");
    t.put(v.x);
    t.put(", ");
    t.put(v.y);
    t.put(", ");
    t.put(v.z);
    t.put(")>");
    return t.str();
}

// Field reads: an interned attribute name that still resolves to the bound
// property is read directly; anything else takes the generic lookup.
template <class T, int N>
PyObject* getattro(PyObject* self, PyObject* name, PyObject* const (&names_)[N],
                   double* (*field)(T&, int)) {
    if (is<T>(self)) {
        for (int i = 0; i < N; ++i) {
            if (name == names_[i] && _PyType_Lookup(Bound<T>::type, name) == Saved<T>::fields[i])
                return PyFloat_FromDouble(*field(value<T>(self), i));
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

inline double* scalar_field(Scalar& s, int i) { return i == 0 ? &s.val : &s.d; }
inline double* vec3_field(Vec3& v, int i) { return i == 0 ? &v.x : i == 1 ? &v.y : &v.z; }

inline PyObject* scalar_getattro(PyObject* self, PyObject* name) {
    PyObject* const fields[2] = {names.val, names.d};
    return getattro<Scalar, 2>(self, name, fields, scalar_field);
}

inline PyObject* vec3_getattro(PyObject* self, PyObject* name) {
    PyObject* const fields[3] = {names.x, names.y, names.z};
    return getattro<Vec3, 3>(self, name, fields, vec3_field);
}

// Construction of exactly the bound type from positional plain numbers; the
// constructor's defaults fill the rest. Anything else goes to the bound
// __init__.
template <class T, int N>
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    auto* inst = reinterpret_cast<pyd::instance*>(self);
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    double v[N] = {};
    bool plain = is<T>(self) && (!kwds || PyDict_GET_SIZE(kwds) == 0) && n >= (N == 2 ? 1 : 0)
                 && n <= N && inst->simple_layout && !inst->simple_holder_constructed;
    for (Py_ssize_t i = 0; plain && i < n; ++i) plain = plain_number(PyTuple_GET_ITEM(args, i), v[i]);
    if (!plain) return Saved<T>::init(self, args, kwds);
    try {
        if constexpr (N == 2) adopt(self, new T(v[0], v[1]));
        else adopt(self, new T(v[0], v[1], v[2]));
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        return -1;
    }
    return 0;
}

// The first instance of a Python subclass gets the same binary slots: a
// subclass on the right of an operator is tried first, and only with these
// slots does it take part in the protocol exactly as it did before.
template <class T>
void adopt_subclass_slots(PyTypeObject* sub) {
    PyNumberMethods* nb = sub->tp_as_number;
    PyNumberMethods* ours = Bound<T>::type->tp_as_number;
    const PyNumberMethods& generic = Saved<T>::nb;
    if (!nb || !(sub->tp_flags & Py_TPFLAGS_HEAPTYPE)) return;
    if (nb->nb_add == generic.nb_add) nb->nb_add = ours->nb_add;
    if (nb->nb_subtract == generic.nb_subtract) nb->nb_subtract = ours->nb_subtract;
    if (nb->nb_multiply == generic.nb_multiply) nb->nb_multiply = ours->nb_multiply;
    if (nb->nb_true_divide == generic.nb_true_divide) nb->nb_true_divide = ours->nb_true_divide;
    if (nb->nb_power == generic.nb_power) nb->nb_power = ours->nb_power;
}

template <class T>
PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (type == Bound<T>::type) return blank<T>();
    adopt_subclass_slots<T>(type);
    return Saved<T>::new_(type, args, kwds);
}

// ---------------------------------------------------------------------------
// Methods: the bound function inside each method descriptor is replaced by
// one with the same name, docstring and owner that serves exact operands
// directly and passes every other call to the original, unchanged.

using FastFn = bool (*)(PyObject* const* args, Py_ssize_t nargs, PyObject*& out);

template <FastFn F>
struct Method {
    static inline PyObject* original = nullptr;
    static inline PyMethodDef def{};

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* out = nullptr;
        if (!kwnames && F(args, nargs, out)) return out;
        return vectorcall(original, args, static_cast<size_t>(nargs), kwnames);
    }
};

// s.f() for a Scalar → Scalar operation that may throw.
template <Scalar (Scalar::*Op)() const>
bool scalar_unary(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 1 || !is<Scalar>(args[0])) return false;
    out = guarded([&] { return (value<Scalar>(args[0]).*Op)(); });
    return true;
}

inline bool scalar_pow_method(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    double x;
    if (n != 2 || !is<Scalar>(args[0]) || !plain_number(args[1], x)) return false;
    out = make(value<Scalar>(args[0]).pow(x));
    return true;
}

inline bool scalar_float(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 1 || !is<Scalar>(args[0])) return false;
    out = PyFloat_FromDouble(value<Scalar>(args[0]).val);
    return true;
}

template <bool (Scalar::*Op)(const Scalar&) const>
bool scalar_compare(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 2 || !is<Scalar>(args[0]) || !is<Scalar>(args[1])) return false;
    out = PyBool_FromLong((value<Scalar>(args[0]).*Op)(value<Scalar>(args[1])));
    return true;
}

template <class R>
PyObject* to_python(const R& r) {
    if constexpr (std::is_same<R, double>::value) return PyFloat_FromDouble(r);
    else return make(r);
}

template <class R, R (Vec3::*Op)() const>
bool vec3_unary(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 1 || !is<Vec3>(args[0])) return false;
    out = to_python((value<Vec3>(args[0]).*Op)());
    return true;
}

template <class R, R (Vec3::*Op)(const Vec3&) const>
bool vec3_binary(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 2 || !is<Vec3>(args[0]) || !is<Vec3>(args[1])) return false;
    out = to_python((value<Vec3>(args[0]).*Op)(value<Vec3>(args[1])));
    return true;
}

inline bool vec3_getitem(PyObject* const* args, Py_ssize_t n, PyObject*& out) {
    if (n != 2 || !is<Vec3>(args[0])) return false;
    int i;
    if (!plain_index(args[1], i)) return false;
    out = vec3_subscript(args[0], args[1]);
    return true;
}

template <FastFn F>
void replace_method(PyTypeObject* type, const char* name) {
    PyObject* descr = PyDict_GetItemString(type->tp_dict, name);
    if (!descr || !PyInstanceMethod_Check(descr)) throw std::runtime_error(name);
    PyObject* func = PyInstanceMethod_GET_FUNCTION(descr);
    if (!PyCFunction_Check(func)) throw std::runtime_error(name);
    auto* cf = reinterpret_cast<PyCFunctionObject*>(func);
    using M = Method<F>;
    M::def = {cf->m_ml->ml_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&M::call)),
              METH_FASTCALL | METH_KEYWORDS, cf->m_ml->ml_doc};
    PyObject* replacement = PyCFunction_NewEx(&M::def, cf->m_self, cf->m_module);
    if (!replacement) throw pybind11::error_already_set();
    M::original = func;  // keeps the reference the descriptor held
    reinterpret_cast<PyInstanceMethodObject*>(descr)->func = replacement;
}

// ---------------------------------------------------------------------------
// Installation

template <class T>
bool bind_type(pybind11::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const pyd::type_info* tinfo = pyd::get_type_info(type);
    if (!tinfo || tinfo->type != type || !tinfo->simple_type || !tinfo->simple_ancestors
        || tinfo->holder_size_in_ptrs > pyd::instance_simple_holder_in_ptrs()
        || !type->tp_as_number || !type->tp_as_mapping)
        return false;
    Bound<T>::type = type;
    Bound<T>::tinfo = tinfo;
    return true;
}

// An instance made by the library's own constructor must look exactly like
// one made here; otherwise the layout is not the one these paths assume.
template <class T>
bool layout_matches(pybind11::handle cls, pybind11::args sample, const T& expect) {
    pybind11::object made = cls(*sample);
    auto* inst = reinterpret_cast<pyd::instance*>(made.ptr());
    if (Py_TYPE(made.ptr())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(pyd::instance))
        || !inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
        || !inst->simple_instance_registered)
        return false;
    auto* v = static_cast<T*>(inst->simple_value_holder[0]);
    auto& holder = *reinterpret_cast<std::unique_ptr<T>*>(&inst->simple_value_holder[1]);
    return v && holder.get() == v && std::memcmp(v, &expect, sizeof(T)) == 0;
}

inline PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

template <class T>
void save(PyTypeObject* type, const char* const* fields, int n) {
    Saved<T>::nb = *type->tp_as_number;
    Saved<T>::repr = type->tp_repr;
    Saved<T>::init = type->tp_init;
    Saved<T>::new_ = type->tp_new;
    Saved<T>::subscript = type->tp_as_mapping->mp_subscript;
    Saved<T>::ass_subscript = type->tp_as_mapping->mp_ass_subscript;
    for (int i = 0; i < n; ++i) Saved<T>::fields[i] = PyDict_GetItemString(type->tp_dict, fields[i]);
}

// Installs the fast paths on the registered Scalar and Vec3 classes. Returns
// false, having changed nothing, when the binding library's instances are not
// laid out as expected.
inline bool install(pybind11::module_& m) {
    namespace py = pybind11;
    py::handle scalar = m.attr("Scalar"), vec3 = m.attr("Vec3");
    if (!bind_type<Scalar>(scalar) || !bind_type<Vec3>(vec3)
        || !layout_matches(scalar, py::make_tuple(1.5, -2.25), Scalar(1.5, -2.25))
        || !layout_matches(vec3, py::make_tuple(1.5, -2.25, 4.0), Vec3(1.5, -2.25, 4.0))) {
        Bound<Scalar>::type = nullptr;
        Bound<Vec3>::type = nullptr;
        return false;
    }

    names = {intern("__add__"), intern("__radd__"), intern("__sub__"), intern("__rsub__"),
             intern("__mul__"), intern("__rmul__"), intern("__truediv__"), intern("__rtruediv__"),
             intern("__pow__"), intern("__rpow__"), intern("val"), intern("d"),
             intern("x"), intern("y"), intern("z")};

    PyTypeObject* st = Bound<Scalar>::type;
    static const char* const scalar_fields[] = {"val", "d"};
    save<Scalar>(st, scalar_fields, 2);
    st->tp_as_number->nb_add = scalar_add;
    st->tp_as_number->nb_subtract = scalar_subtract;
    st->tp_as_number->nb_multiply = scalar_multiply;
    st->tp_as_number->nb_true_divide = scalar_true_divide;
    st->tp_as_number->nb_power = scalar_power;
    st->tp_as_number->nb_negative = scalar_negative;
    st->tp_repr = scalar_repr;
    st->tp_getattro = scalar_getattro;
    st->tp_init = init<Scalar, 2>;
    st->tp_new = new_<Scalar>;
    replace_method<scalar_float>(st, "__float__");
    replace_method<scalar_compare<&Scalar::operator==>>(st, "__eq__");
    replace_method<scalar_compare<&Scalar::operator<>>(st, "__lt__");
    replace_method<scalar_unary<&Scalar::sin>>(st, "sin");
    replace_method<scalar_unary<&Scalar::cos>>(st, "cos");
    replace_method<scalar_unary<&Scalar::tan>>(st, "tan");
    replace_method<scalar_unary<&Scalar::exp>>(st, "exp");
    replace_method<scalar_unary<&Scalar::log>>(st, "log");
    replace_method<scalar_unary<&Scalar::sqrt>>(st, "sqrt");
    replace_method<scalar_unary<&Scalar::abs>>(st, "abs");
    replace_method<scalar_pow_method>(st, "pow");

    PyTypeObject* vt = Bound<Vec3>::type;
    static const char* const vec3_fields[] = {"x", "y", "z"};
    save<Vec3>(vt, vec3_fields, 3);
    vt->tp_as_number->nb_add = vec3_add;
    vt->tp_as_number->nb_subtract = vec3_subtract;
    vt->tp_as_number->nb_multiply = vec3_multiply;
    vt->tp_as_number->nb_true_divide = vec3_true_divide;
    vt->tp_as_mapping->mp_subscript = vec3_subscript;
    vt->tp_as_mapping->mp_ass_subscript = vec3_ass_subscript;
    vt->tp_repr = vec3_repr;
    vt->tp_getattro = vec3_getattro;
    vt->tp_init = init<Vec3, 3>;
    vt->tp_new = new_<Vec3>;
    replace_method<vec3_getitem>(vt, "__getitem__");
    replace_method<vec3_binary<double, &Vec3::dot>>(vt, "dot");
    replace_method<vec3_binary<Vec3, &Vec3::cross>>(vt, "cross");
    replace_method<vec3_unary<double, &Vec3::magnitude>>(vt, "magnitude");
    replace_method<vec3_unary<Vec3, &Vec3::normalize>>(vt, "normalize");
    replace_method<vec3_binary<double, &Vec3::distance>>(vt, "distance");
    replace_method<vec3_binary<double, &Vec3::angle>>(vt, "angle");
    replace_method<vec3_binary<Vec3, &Vec3::reflect>>(vt, "reflect");
    replace_method<vec3_binary<Vec3, &Vec3::project>>(vt, "project");
    return true;
}

}  // namespace fast
}  // namespace orbelon
