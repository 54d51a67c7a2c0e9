// Installing the fast paths, all or nothing: every assumption is checked
// before anything changes, and on a failed check nothing is installed and the
// reason is returned, so that the plain bindings serve every call.
#pragma once

#include <Python.h>

#include <string>

#include "python/fast/methods.hpp"

namespace orbelon {
namespace fast {

// The library's metaclass: the fast paths stand in front of three of its
// slots (instance creation, class creation, class attribute assignment), and
// each hands every other class straight to the slot it replaced.
struct Metaclass {
    static inline PyTypeObject* type = nullptr;
    static inline ternaryfunc call = nullptr;
    static inline newfunc new_ = nullptr;
    static inline setattrofunc setattro = nullptr;

    static void install(ternaryfunc c, newfunc n, setattrofunc s) {
        call = type->tp_call;
        new_ = type->tp_new;
        setattro = type->tp_setattro;
        type->tp_call = c;
        type->tp_new = n;
        type->tp_setattro = s;
    }
};

// ---------------------------------------------------------------------------
// The metaclass slots

inline bool in_family(PyTypeObject* t) {
    return PyType_IsSubtype(t, Bound<Scalar>::type) || PyType_IsSubtype(t, Bound<Vec3>::type);
}

// Instance creation: Scalar(...) and Vec3(...) from plain numbers directly.
// A subclass gets its binary slots back first, in case it was made or changed
// in a way no other hook saw.
inline PyObject* meta_call(PyObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* out;
    if (construct<Scalar, 1, 2>(type, args, kwargs, out) || construct<Vec3, 0, 3>(type, args, kwargs, out))
        return out;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (in_family(t)) sync(t, false);
    return Metaclass::call(type, args, kwargs);
}

// Class creation: a new subclass takes the shared binary slots.
inline PyObject* meta_new(PyTypeObject* meta, PyObject* args, PyObject* kwargs) {
    PyObject* cls = Metaclass::new_(meta, args, kwargs);
    if (cls && PyType_Check(cls) && in_family(reinterpret_cast<PyTypeObject*>(cls)))
        sync(reinterpret_cast<PyTypeObject*>(cls), false);
    return cls;
}

// Class attribute assignment: the interpreter has just put its generic slot
// functions back wherever a special method changed, in the class and all its
// subclasses, and an operator method may no longer be the bound one.
template <class T>
void resync(PyTypeObject* changed) {
    if (!PyType_IsSubtype(changed, Bound<T>::type) && !PyType_IsSubtype(Bound<T>::type, changed)) return;
    sync(Bound<T>::type, true);
}

inline int meta_setattro(PyObject* cls, PyObject* name, PyObject* v) {
    const int r = Metaclass::setattro(cls, name, v);
    if (r == 0 && PyType_Check(cls)) {
        resync<Scalar>(reinterpret_cast<PyTypeObject*>(cls));
        resync<Vec3>(reinterpret_cast<PyTypeObject*>(cls));
    }
    return r;
}

// ---------------------------------------------------------------------------
// Installation

template <class T>
void save(PyTypeObject* type, int first_field, int n) {
    using C = Class<T>;
    C::first_field = first_field;
    C::field_count = n;
    C::dealloc = type->tp_dealloc;
    C::generic = *type->tp_as_number;
    C::repr = type->tp_repr;
    C::getattro = type->tp_getattro;
    C::new_ = type->tp_new;
    if (type->tp_as_mapping) {
        C::subscript = type->tp_as_mapping->mp_subscript;
        C::ass_subscript = type->tp_as_mapping->mp_ass_subscript;
    }
    // Strong references: an object that is held cannot be freed and its
    // address given to a different one.
    C::init = _PyType_Lookup(type, names.init);
    Py_XINCREF(C::init);
    for (int i = 0; i < n; ++i) {
        C::fields[i] = _PyType_Lookup(type, names.fields[first_field + i]);
        Py_XINCREF(C::fields[i]);
    }
    for (int k = 0; k < 5; ++k)
        for (int r = 0; r < 2; ++r) {
            C::operators[k][r] = _PyType_Lookup(type, names.binary[k][r]);
            Py_XINCREF(C::operators[k][r]);
        }
}

inline std::string check(PyTypeObject* st, PyTypeObject* vt) {
    static const char* const scalar_methods[] = {"__float__", "__eq__", "__lt__", "sin", "cos", "tan",
                                                 "exp", "log", "sqrt", "abs", "pow"};
    static const char* const vec3_methods[] = {"__getitem__", "dot", "cross", "magnitude", "normalize",
                                               "distance", "angle", "reflect", "project", "to_list"};
    for (const char* name : scalar_methods)
        if (std::string why = internals::check_method(st, name); !why.empty()) return why;
    for (const char* name : vec3_methods)
        if (std::string why = internals::check_method(vt, name); !why.empty()) return why;
    if (!st->tp_as_number || !vt->tp_as_number || !vt->tp_as_mapping) return "number or mapping slots missing";
    const PyNumberMethods &s = *st->tp_as_number, &v = *vt->tp_as_number;
    for (auto slot : binary_slots)
        if (!(s.*slot) || s.*slot != v.*slot) return "the classes' generic binary slots differ";
    if (!s.nb_power || !s.nb_negative || v.nb_power) return "unexpected power or negation slots";
    const PyTypeObject* meta = Metaclass::type;
    if (!meta->tp_call || !meta->tp_new || !meta->tp_setattro) return "metaclass slots missing";
    return "";
}

inline std::string install(pybind11::module_& m) {
    namespace py = pybind11;
    py::handle scalar = m.attr("Scalar"), vec3 = m.attr("Vec3");
    if (Bound<Scalar>::type) return "already installed by another interpreter";
    std::string why = internals::adopt_class(scalar, Scalar(1.5, -2.25), py::make_tuple(1.5, -2.25));
    if (why.empty()) why = internals::adopt_class(vec3, Vec3(1.5, -2.25, 4.0), py::make_tuple(1.5, -2.25, 4.0));
    Metaclass::type = internals::library_metaclass(scalar);
    if (why.empty() && (!Metaclass::type || Metaclass::type != Py_TYPE(vec3.ptr())))
        why = "not the library's metaclass";
    if (why.empty()) why = check(Bound<Scalar>::type, Bound<Vec3>::type);
    if (!why.empty()) {
        internals::drop<Scalar>();
        internals::drop<Vec3>();
        return why;
    }

    auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
    for (int k = 0; k < 5; ++k)
        for (int r = 0; r < 2; ++r) names.binary[k][r] = intern(binary_names[k][r]);
    names.init = intern("__init__");
    const char* const field_names[] = {"val", "d", "x", "y", "z"};
    for (int i = 0; i < 5; ++i) names.fields[i] = intern(field_names[i]);

    PyTypeObject* st = Bound<Scalar>::type;
    save<Scalar>(st, 0, 2);
    st->tp_dealloc = dealloc<Scalar>;
    for (int k = 0; k < 4; ++k) st->tp_as_number->*binary_slots[k] = fast_binary[k];
    st->tp_as_number->nb_power = nb_power;
    st->tp_as_number->nb_negative = scalar_negative;
    st->tp_repr = repr<Scalar>;
    st->tp_getattro = getattro<Scalar>;
    replace_method<unary<Scalar, rules::to_float>>(st, "__float__");
    replace_method<binary<Scalar, rules::eq::call>>(st, "__eq__");
    replace_method<binary<Scalar, rules::lt::call>>(st, "__lt__");
    replace_method<unary<Scalar, rules::scalar_functions[0].fn>>(st, "sin");
    replace_method<unary<Scalar, rules::scalar_functions[1].fn>>(st, "cos");
    replace_method<unary<Scalar, rules::scalar_functions[2].fn>>(st, "tan");
    replace_method<unary<Scalar, rules::scalar_functions[3].fn>>(st, "exp");
    replace_method<unary<Scalar, rules::scalar_functions[4].fn>>(st, "log");
    replace_method<unary<Scalar, rules::scalar_functions[5].fn>>(st, "sqrt");
    replace_method<unary<Scalar, rules::scalar_functions[6].fn>>(st, "abs");
    replace_method<with_number<Scalar, rules::pow_::call>>(st, "pow");

    PyTypeObject* vt = Bound<Vec3>::type;
    save<Vec3>(vt, 2, 3);
    vt->tp_dealloc = dealloc<Vec3>;
    for (int k = 0; k < 4; ++k) vt->tp_as_number->*binary_slots[k] = fast_binary[k];
    vt->tp_as_mapping->mp_subscript = vec3_subscript;
    vt->tp_as_mapping->mp_ass_subscript = vec3_ass_subscript;
    vt->tp_repr = repr<Vec3>;
    vt->tp_getattro = getattro<Vec3>;
    replace_method<vec3_getitem>(vt, "__getitem__");
    replace_method<binary<Vec3, rules::dot::call>>(vt, "dot");
    replace_method<binary<Vec3, rules::cross::call>>(vt, "cross");
    replace_method<unary<Vec3, rules::magnitude::call>>(vt, "magnitude");
    replace_method<unary<Vec3, rules::normalize::call>>(vt, "normalize");
    replace_method<binary<Vec3, rules::distance::call>>(vt, "distance");
    replace_method<binary<Vec3, rules::angle::call>>(vt, "angle");
    replace_method<binary<Vec3, rules::reflect::call>>(vt, "reflect");
    replace_method<binary<Vec3, rules::project::call>>(vt, "project");
    replace_method<unary<Vec3, rules::to_list::call>>(vt, "to_list");

    Metaclass::install(meta_call, meta_new, meta_setattro);
    return "";
}

}  // namespace fast
}  // namespace orbelon
