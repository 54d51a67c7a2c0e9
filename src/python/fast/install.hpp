// Installing the fast paths, all or nothing: every assumption is checked
// before anything changes, and on a failed check nothing is installed and the
// reason is returned, so that the plain bindings serve every call.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "python/fast/metaclass.hpp"
#include "python/fast/methods.hpp"

namespace orbelon {
namespace fast {

// Saves what the class had before and what it was bound with, then puts in
// the slots both classes share.
template <class T>
PyTypeObject* take_over(int first_field, int n) {
    PyTypeObject* type = Bound<T>::type;
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
    type->tp_dealloc = dealloc<T>;
    for (int k = 0; k < 4; ++k) type->tp_as_number->*binary_slots[k] = fast_binary[k];
    type->tp_repr = repr<T>;
    type->tp_getattro = getattro<T>;
    return type;
}

// The methods served by stand-ins, one row each.
inline std::vector<Replacement> methods(PyTypeObject* st, PyTypeObject* vt) {
    namespace r = rules;
    const auto& f = r::scalar_functions;
    return {prepare<unary<Scalar, r::to_float>>(st, "__float__"),
            prepare<binary<Scalar, r::eq::call>>(st, "__eq__"),
            prepare<binary<Scalar, r::lt::call>>(st, "__lt__"),
            prepare<unary<Scalar, f[0].fn>>(st, f[0].name),
            prepare<unary<Scalar, f[1].fn>>(st, f[1].name),
            prepare<unary<Scalar, f[2].fn>>(st, f[2].name),
            prepare<unary<Scalar, f[3].fn>>(st, f[3].name),
            prepare<unary<Scalar, f[4].fn>>(st, f[4].name),
            prepare<unary<Scalar, f[5].fn>>(st, f[5].name),
            prepare<unary<Scalar, f[6].fn>>(st, f[6].name),
            prepare<with_number<Scalar, r::pow_::call>>(st, "pow"),
            prepare<vec3_getitem>(vt, "__getitem__"),
            prepare<binary<Vec3, r::dot::call>>(vt, "dot"),
            prepare<binary<Vec3, r::cross::call>>(vt, "cross"),
            prepare<unary<Vec3, r::magnitude::call>>(vt, "magnitude"),
            prepare<unary<Vec3, r::normalize::call>>(vt, "normalize"),
            prepare<binary<Vec3, r::distance::call>>(vt, "distance"),
            prepare<binary<Vec3, r::angle::call>>(vt, "angle"),
            prepare<binary<Vec3, r::reflect::call>>(vt, "reflect"),
            prepare<binary<Vec3, r::project::call>>(vt, "project"),
            prepare<unary<Vec3, r::to_list::call>>(vt, "to_list")};
}

// Why the classes' slots are not as the fast paths expect them, or "".
inline std::string check(PyTypeObject* st, PyTypeObject* vt) {
    if (!st->tp_as_number || !vt->tp_as_number || !vt->tp_as_mapping) return "number or mapping slots missing";
    const PyNumberMethods &s = *st->tp_as_number, &v = *vt->tp_as_number;
    for (auto slot : binary_slots)
        if (!(s.*slot) || s.*slot != v.*slot) return "the classes' generic binary slots differ";
    if (!s.nb_power || !s.nb_negative || v.nb_power) return "unexpected power or negation slots";
    const PyTypeObject* meta = Metaclass::type;
    if (!meta->tp_call || !meta->tp_new || !meta->tp_setattro) return "metaclass slots missing";
    return "";
}

// Interns the names the slots compare by identity; false if out of memory.
inline bool intern_names() {
    auto intern = [](PyObject*& out, const char* s) { return (out = PyUnicode_InternFromString(s)) != nullptr; };
    bool ok = intern(names.init, "__init__");
    for (int k = 0; k < 5; ++k)
        for (int r = 0; r < 2; ++r) ok = ok && intern(names.binary[k][r], binary_names[k][r]);
    const char* const fields[] = {"val", "d", "x", "y", "z"};
    for (int i = 0; i < 5; ++i) ok = ok && intern(names.fields[i], fields[i]);
    if (!ok) PyErr_Clear();
    return ok;
}

// Installs the fast paths on the registered classes, or changes nothing and
// says why not.
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
    if (why.empty() && !intern_names()) why = "out of memory";
    std::vector<Replacement> stand_ins;
    if (why.empty()) stand_ins = methods(Bound<Scalar>::type, Bound<Vec3>::type);
    for (const Replacement& r : stand_ins)
        if (why.empty()) why = r.why;
    if (!why.empty()) {
        for (const Replacement& r : stand_ins) Py_XDECREF(r.function);
        internals::drop<Scalar>();
        internals::drop<Vec3>();
        return why;
    }

    // Every check passed: from here on nothing can fail.
    PyTypeObject* st = take_over<Scalar>(0, 2);
    st->tp_as_number->nb_power = nb_power;
    st->tp_as_number->nb_negative = scalar_negative;
    PyTypeObject* vt = take_over<Vec3>(2, 3);
    vt->tp_as_mapping->mp_subscript = vec3_subscript;
    vt->tp_as_mapping->mp_ass_subscript = vec3_ass_subscript;

    for (const Replacement& r : stand_ins) commit(r);
    Metaclass::install(meta_call, meta_new, meta_setattro);
    return "";
}

}  // namespace fast
}  // namespace orbelon
