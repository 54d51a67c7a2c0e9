// The class-dictionary entries of the bound classes: the same types in both
// builds.
//
// The library binds a method as an instancemethod around its dispatcher and a
// field as a property. Each is wrapped here in a descriptor of the module's
// own. Attribute access on the class or an instance gives what the library's
// object gives, and any attribute the descriptor lacks is the library
// object's; the interpreter calls a method descriptor directly where it calls
// a method with self first: `s.sin()`, and the generic slots behind `s + t`,
// `repr(v)`, `v[0]`. That call goes to the descriptor's vectorcall: in the fast
// build it serves exact operands itself and hands everything else to the
// library; in the plain build it only hands on. Every number slot stays the
// interpreter's own, so whatever Python code does to a class or its bases, the
// interpreter finds the right method first, and only then may the descriptor
// run. (Where a stock binding still differs, docs/guarantees.md lists it.)
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "python/fence/fence.hpp"
#include "python/compat.hpp"

namespace orbelon {
struct State;

namespace descriptors {

using fence::new_ref;

// ---------------------------------------------------------------------------
// What both kinds hold: the library's object they stand for, their name and
// their class. They take part in garbage collection, as CPython's own
// descriptors do (the library's object may lead back to the class): they are
// traversed, and a cycle through one is broken at its class's dictionary, so
// what they hold is never null.

struct Descr {
    PyObject_HEAD
    PyObject* original;  // the library's instancemethod or property
    PyObject* name;
    PyTypeObject* owner;
};

inline Descr* head(PyObject* descr) { return reinterpret_cast<Descr*>(descr); }

inline int descr_traverse(PyObject* descr, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(descr));
    Py_VISIT(head(descr)->original);
    Py_VISIT(head(descr)->owner);
    return 0;
}

inline void descr_dealloc(PyObject* descr) {
    PyTypeObject* type = Py_TYPE(descr);
    PyObject_GC_UnTrack(descr);
    Py_XDECREF(head(descr)->original);
    Py_XDECREF(head(descr)->owner);
    Py_XDECREF(head(descr)->name);
    type->tp_free(descr);
    Py_DECREF(type);  // an instance of a heap type holds its type
}

// Its own attributes first, then the library object's (an instancemethod's
// __func__ and its function's, a property's fget and fset).
inline PyObject* descr_getattro(PyObject* descr, PyObject* name) {
    PyObject* r = PyObject_GenericGetAttr(descr, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
    PyErr_Clear();
    return PyObject_GetAttr(head(descr)->original, name);
}

inline PyObject* descr_name(PyObject* descr, void*) { return new_ref(head(descr)->name); }
inline PyObject* descr_objclass(PyObject* descr, void*) {
    return new_ref(reinterpret_cast<PyObject*>(head(descr)->owner));
}
inline PyObject* descr_qualname(PyObject* descr, void*) {
    PyObject* owner = type_name(head(descr)->owner);
    PyObject* qualname = owner ? PyUnicode_FromFormat("%U.%U", owner, head(descr)->name) : nullptr;
    Py_XDECREF(owner);
    return qualname;
}
inline PyObject* descr_doc(PyObject* descr, void*) { return PyObject_GetAttrString(head(descr)->original, "__doc__"); }

inline PyGetSetDef descr_getset[] = {
    {"__doc__", descr_doc, nullptr, nullptr, nullptr},
    {"__name__", descr_name, nullptr, nullptr, nullptr},
    {"__qualname__", descr_qualname, nullptr, nullptr, nullptr},
    {"__objclass__", descr_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type of one kind of descriptor, made in each interpreter from its slots
// (so that no two interpreters share one): the slots every kind has, then
// its own. It cannot be instantiated from Python, nor changed from 3.10 on.
// Returns a new reference.
inline PyTypeObject* make_descr_type(const char* name, int size, std::vector<PyType_Slot> slots, unsigned long flags,
                                     Py_ssize_t vectorcall_offset = 0) {
    slots.insert(slots.end(), {{Py_tp_dealloc, reinterpret_cast<void*>(descr_dealloc)},
                               {Py_tp_getattro, reinterpret_cast<void*>(descr_getattro)},
                               {Py_tp_traverse, reinterpret_cast<void*>(descr_traverse)},
                               {Py_tp_getset, descr_getset}});
#if PY_VERSION_HEX >= 0x03090000
    PyMemberDef members[] = {{"__vectorcalloffset__", Py_T_PYSSIZET, vectorcall_offset, Py_READONLY, nullptr},
                             {nullptr, 0, 0, 0, nullptr}};
    if (vectorcall_offset) slots.push_back({Py_tp_members, members});
#endif
    slots.push_back({0, nullptr});
    flags |= Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
    PyType_Spec made{name, size, 0, static_cast<unsigned int>(flags), slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&made));
    if (!type) throw pybind11::error_already_set();
#ifndef Py_TPFLAGS_IMMUTABLETYPE
    type->tp_new = nullptr;  // before 3.10, the way to refuse instances
#endif
#if PY_VERSION_HEX < 0x03090000
    type->tp_vectorcall_offset = vectorcall_offset;  // no member names it before 3.9
#endif
    return type;
}

// A descriptor of `type` for the library's object `name` of `cls`, after
// checking that the object is of the kind expected. Nothing is left behind
// when any step fails.
template <class D>
pybind11::object make_descr(PyTypeObject* type, pybind11::handle cls, const char* name, bool (*expected)(PyObject*)) {
    pybind11::object original = cls.attr("__dict__")[name];
    if (!expected(original.ptr())) pybind11::pybind11_fail(std::string(name) + " is not what the library binds");
    pybind11::str name_obj(name);
    D* d = PyObject_GC_New(D, type);
    if (!d) throw pybind11::error_already_set();
    d->head.original = original.release().ptr();
    d->head.name = name_obj.release().ptr();
    d->head.owner = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
    PyObject_GC_Track(d);
    return pybind11::reinterpret_steal<pybind11::object>(reinterpret_cast<PyObject*>(d));
}

// ---------------------------------------------------------------------------
// Methods

struct MethodDescr {
    Descr head;
    vectorcallfunc vectorcall;  // the interpreter's way in
    PyObject* function;         // the library's function inside its instancemethod (held by it)
    State* state;               // its interpreter's, kept by its class
};

inline MethodDescr* method_of(PyObject* descr) { return reinterpret_cast<MethodDescr*>(descr); }

// The library's own function, called the way the method would call it.
[[gnu::noinline]] inline PyObject* call_library(PyObject* descr, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall(method_of(descr)->function, args, nargsf, kwnames);
}

// The failure the library's function reports when an exception translator
// (another module's may "handle" an exception by setting nothing) left no
// error: the interpreter's own SystemError, naming that function. It is
// raised by calling a function of the same name and self that returns NULL.
inline PyObject* returns_null(PyObject*, PyObject*) { return nullptr; }

[[gnu::noinline]] inline PyObject* report_no_error(PyObject* descr) {
    PyObject* function = method_of(descr)->function;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    PyMethodDef def{name ? PyUnicode_AsUTF8(name) : nullptr, returns_null, METH_NOARGS, nullptr};
    PyObject* stand_in = def.ml_name ? PyCFunction_NewEx(&def, PyCFunction_GET_SELF(function), nullptr) : nullptr;
    PyObject* r = stand_in ? PyObject_CallObject(stand_in, nullptr) : nullptr;
    Py_XDECREF(stand_in);
    Py_XDECREF(name);
    return r;
}

// On the class, the library's method itself; on an instance, what the
// library's method gives (a bound method of its function).
inline PyObject* method_get(PyObject* descr, PyObject* obj, PyObject* type) {
    PyObject* original = head(descr)->original;
    if (!obj) return new_ref(original);
    return Py_TYPE(original)->tp_descr_get(original, obj, type);
}

inline PyObject* method_repr(PyObject* descr) {
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", head(descr)->name, head(descr)->owner->tp_name);
}

// METHOD_DESCRIPTOR: the interpreter may call it with self first instead of
// making a bound method to call.
inline PyTypeObject* make_method_type() {
    return make_descr_type("orbelon_core.method_descriptor", sizeof(MethodDescr),
                           {{Py_tp_repr, reinterpret_cast<void*>(method_repr)},
                            {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                            {Py_tp_descr_get, reinterpret_cast<void*>(method_get)}},
                           Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL, offsetof(MethodDescr, vectorcall));
}

inline bool is_instancemethod(PyObject* o) { return PyInstanceMethod_Check(o); }

// Puts a method descriptor calling `vectorcall` in the place of the
// library's method `name` of `cls`, naming `state`; returns it.
inline PyObject* adopt_method(PyTypeObject* method_type, State* state, pybind11::handle cls, const char* name,
                              vectorcallfunc vectorcall) {
    pybind11::object d = make_descr<MethodDescr>(method_type, cls, name, is_instancemethod);
    method_of(d.ptr())->vectorcall = vectorcall;
    method_of(d.ptr())->state = state;
    method_of(d.ptr())->function = PyInstanceMethod_GET_FUNCTION(head(d.ptr())->original);
    pybind11::setattr(cls, name, d);
    return d.ptr();
}

// ---------------------------------------------------------------------------
// Fields

struct FieldDescr {
    Descr head;
    Py_ssize_t offset;     // of the double inside the C++ value
    PyTypeObject* served;  // the class whose instances the fast build reads in place, if any (held by head.owner)
};

// The library's property, read, written or deleted as it would be.
inline PyObject* field_library_get(PyObject* descr, PyObject* obj, PyObject* type) {
    PyObject* original = head(descr)->original;
    return Py_TYPE(original)->tp_descr_get(original, obj, type);
}
inline int field_library_set(PyObject* descr, PyObject* obj, PyObject* value) {
    PyObject* original = head(descr)->original;
    return Py_TYPE(original)->tp_descr_set(original, obj, value);
}

inline PyObject* field_repr(PyObject* descr) {
    return PyUnicode_FromFormat("<field '%U' of '%s' objects>", head(descr)->name, head(descr)->owner->tp_name);
}

// The slot functions are the build's: the fast build's serve exact instances
// and hand the rest on, the plain build's only hand on.
inline PyTypeObject* make_field_type(descrgetfunc get, descrsetfunc set) {
    return make_descr_type("orbelon_core.field_descriptor", sizeof(FieldDescr),
                           {{Py_tp_repr, reinterpret_cast<void*>(field_repr)},
                            {Py_tp_descr_get, reinterpret_cast<void*>(get)},
                            {Py_tp_descr_set, reinterpret_cast<void*>(set)}},
                           0);
}

// Where `member` lies in a T, measured on a T.
template <class T>
Py_ssize_t offset_of(double T::*member) {
    static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>);
    const T probe = [] {
        if constexpr (std::is_constructible_v<T, double, double, double>) return T(0.0, 0.0, 0.0);
        else return T(0.0);
    }();
    return reinterpret_cast<const char*>(&(probe.*member)) - reinterpret_cast<const char*>(&probe);
}

inline bool is_property(PyObject* o) { return PyObject_TypeCheck(o, &PyProperty_Type); }

// Puts a field descriptor in the place of the library's property `name`;
// returns it.
template <class T>
FieldDescr* adopt_field(PyTypeObject* field_type, pybind11::handle cls, const char* name, double T::*member) {
    pybind11::object d = make_descr<FieldDescr>(field_type, cls, name, is_property);
    auto* field = reinterpret_cast<FieldDescr*>(d.ptr());
    field->offset = offset_of(member);
    field->served = nullptr;
    pybind11::setattr(cls, name, d);
    return field;
}

}  // namespace descriptors
}  // namespace orbelon
