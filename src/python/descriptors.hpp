// The class-dictionary entries of the bound classes, and their metaclass: the
// same types in both builds.
//
// The library binds a method as an instancemethod around its dispatcher and a
// field as a property. Each is wrapped here in a descriptor of the module's
// own that shows Python exactly what the library's object shows (attribute
// access on the class or an instance goes to the library's object), and that
// the interpreter calls directly where it calls a method with self first:
// `s.sin()`, and the generic slots behind `s + t`, `repr(v)`, `v[0]`. A call
// goes to the descriptor's entry function: in the fast build, the entry serves
// exact operands itself and forwards everything else; in the plain build it
// only forwards. Every number slot stays the interpreter's own, so whatever
// Python code does to a class or its bases, the interpreter finds the right
// method first, and only then may the entry run.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <type_traits>

#include "orbelon/vectorcall.hpp"
#include "python/internals.hpp"

namespace orbelon {
namespace descriptors {

using internals::Library;
using internals::new_ref;

struct Names {
    PyObject* call = nullptr;
    PyObject* init = nullptr;
};
inline Names names;

// ---------------------------------------------------------------------------
// What both kinds of entry hold: the library's object they stand for, their
// name and their class.

struct Entry {
    PyObject_HEAD
    PyObject* original;  // the library's instancemethod or property, held
    PyObject* name;
    PyTypeObject* owner;
};

inline Entry* entry_of(PyObject* self) { return reinterpret_cast<Entry*>(self); }

inline void entry_dealloc(PyObject* self) {
    Entry* e = entry_of(self);
    Py_XDECREF(e->original);
    Py_XDECREF(e->name);
    Py_XDECREF(reinterpret_cast<PyObject*>(e->owner));
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* entry_doc(PyObject* self, void*) { return PyObject_GetAttrString(entry_of(self)->original, "__doc__"); }
inline PyObject* entry_name(PyObject* self, void*) { return new_ref(entry_of(self)->name); }
inline PyObject* entry_objclass(PyObject* self, void*) { return new_ref(reinterpret_cast<PyObject*>(entry_of(self)->owner)); }
inline PyObject* entry_qualname(PyObject* self, void*) {
    return PyUnicode_FromFormat("%s.%U", _PyType_Name(entry_of(self)->owner), entry_of(self)->name);
}

inline PyGetSetDef entry_getset[] = {
    {"__doc__", entry_doc, nullptr, nullptr, nullptr},
    {"__name__", entry_name, nullptr, nullptr, nullptr},
    {"__qualname__", entry_qualname, nullptr, nullptr, nullptr},
    {"__objclass__", entry_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type of one kind of entry; each kind adds its own slots.
inline PyTypeObject entry_type(const char* name, Py_ssize_t size) {
    PyTypeObject t{};
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;  // a static type: never freed
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_dealloc = entry_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_getset = entry_getset;
    return t;
}

// Makes an entry of `type` for the library's object `name` of `cls`, after
// checking that the object is of the kind expected.
template <class E>
E* make_entry(PyTypeObject& type, pybind11::handle cls, const char* name, bool (*expected)(PyObject*)) {
    pybind11::object original = cls.attr("__dict__")[name];
    if (!expected(original.ptr())) pybind11::pybind11_fail(std::string(name) + " is not what the library binds");
    E* e = PyObject_New(E, &type);
    if (!e) throw pybind11::error_already_set();
    e->head.original = original.release().ptr();
    e->head.name = pybind11::str(name).release().ptr();
    e->head.owner = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
    return e;
}

inline void put(pybind11::handle cls, const char* name, void* entry) {
    pybind11::setattr(cls, name, pybind11::reinterpret_steal<pybind11::object>(static_cast<PyObject*>(entry)));
}

// ---------------------------------------------------------------------------
// Methods

struct Method {
    Entry head;
    vectorcallfunc entry;  // the interpreter's way in
    PyObject* function;    // the library's function inside its instancemethod
};

// The library's own function, called the way the method would call it.
inline PyObject* forward(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall(reinterpret_cast<Method*>(self)->function, args, nargsf, kwnames);
}

// On the class, the library's method itself; on an instance, what the
// library's method gives (a bound method of its function).
inline PyObject* method_get(PyObject* self, PyObject* obj, PyObject* type) {
    PyObject* original = entry_of(self)->original;
    if (!obj) return new_ref(original);
    return Py_TYPE(original)->tp_descr_get(original, obj, type);
}

inline PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", entry_of(self)->name, entry_of(self)->owner->tp_name);
}

inline PyTypeObject method_type = [] {
    PyTypeObject t = entry_type("orbelon_core.method_descriptor", sizeof(Method));
    t.tp_vectorcall_offset = offsetof(Method, entry);
    t.tp_repr = method_repr;
    t.tp_call = PyVectorcall_Call;
    // METHOD_DESCRIPTOR: the interpreter may call it with self first instead
    // of making a bound method to call.
    t.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_descr_get = method_get;
    return t;
}();

inline bool is_instancemethod(PyObject* o) { return PyInstanceMethod_Check(o); }

// Puts a method descriptor with `entry` in the place of the library's method
// `name` of `cls`.
inline void adopt_method(pybind11::handle cls, const char* name, vectorcallfunc entry) {
    auto* m = make_entry<Method>(method_type, cls, name, is_instancemethod);
    m->entry = entry;
    m->function = PyInstanceMethod_GET_FUNCTION(m->head.original);
    put(cls, name, m);
}

// ---------------------------------------------------------------------------
// Fields

struct Field {
    Entry head;
    Py_ssize_t offset;  // of the double inside the C++ value
};

// The library's property, read, written or deleted as it would be.
inline PyObject* field_forward_get(PyObject* self, PyObject* obj, PyObject* type) {
    PyObject* original = entry_of(self)->original;
    return Py_TYPE(original)->tp_descr_get(original, obj, type);
}
inline int field_forward_set(PyObject* self, PyObject* obj, PyObject* value) {
    PyObject* original = entry_of(self)->original;
    return Py_TYPE(original)->tp_descr_set(original, obj, value);
}

inline PyObject* field_repr(PyObject* self) {
    return PyUnicode_FromFormat("<field '%U' of '%s' objects>", entry_of(self)->name, entry_of(self)->owner->tp_name);
}

// The slot functions are the build's: the fast build's serve exact instances
// and forward the rest, the plain build's only forward.
inline PyTypeObject make_field_type(descrgetfunc get, descrsetfunc set) {
    PyTypeObject t = entry_type("orbelon_core.field_descriptor", sizeof(Field));
    t.tp_repr = field_repr;
    t.tp_descr_get = get;
    t.tp_descr_set = set;
    return t;
}

template <class T>
Py_ssize_t offset_of(double T::*member) {
    static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>);
    alignas(T) static unsigned char probe[sizeof(T)];
    const T& value = *reinterpret_cast<const T*>(probe);
    return reinterpret_cast<const unsigned char*>(&(value.*member)) - probe;
}

inline bool is_property(PyObject* o) { return PyObject_TypeCheck(o, &PyProperty_Type); }

// Puts a field descriptor in the place of the library's property `name`.
template <class T>
void adopt_field(PyTypeObject& field_type, pybind11::handle cls, const char* name, double T::*member) {
    auto* f = make_entry<Field>(field_type, cls, name, is_property);
    f->offset = offset_of(member);
    put(cls, name, f);
}

// ---------------------------------------------------------------------------
// The metaclass

struct Meta {
    static inline PyTypeObject* type = nullptr;
};

// type(cls).__call__ as the next class along the metaclass's MRO has it,
// which is what super().__call__ would find: the library's own function when
// it is still there, or whatever Python code put in its place.
inline PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyObject* mro = Py_TYPE(cls)->tp_mro;
    PyObject* next = nullptr;
    bool past = false;
    for (Py_ssize_t i = 0; mro && !next && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!past) {
            past = base == Meta::type;
            continue;
        }
        // A static builtin type (type, object) keeps no tp_dict from 3.12
        // on; type's own __call__ is the fallback below.
        if (!base->tp_dict) continue;
        next = PyDict_GetItemWithError(base->tp_dict, names.call);
        if (!next && PyErr_Occurred()) return nullptr;
    }
    if (next == Library::call_descr && Library::call) return Library::call(cls, args, kwargs);
    if (!next) return PyType_Type.tp_call(cls, args, kwargs);
    Py_INCREF(next);
    PyObject* bound = next;
    if (descrgetfunc get = Py_TYPE(next)->tp_descr_get) {
        bound = get(next, cls, reinterpret_cast<PyObject*>(Py_TYPE(cls)));
        Py_DECREF(next);
        if (!bound) return nullptr;
    }
    PyObject* r = PyObject_Call(bound, args, kwargs);
    Py_DECREF(bound);
    return r;
}

// A call of `cls` that its own vectorcall does not serve, made the way the
// interpreter makes a call without one: through the metaclass's tp_call.
inline PyObject* call_through_metaclass(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf), nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, new_ref(args[i]));
    PyObject* kwargs = nkw ? PyDict_New() : nullptr;
    for (Py_ssize_t i = 0; kwargs && i < nkw; ++i)
        if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0) Py_CLEAR(kwargs);
    PyObject* r = nullptr;
    if ((kwargs || !nkw) && Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        r = Py_TYPE(cls)->tp_call(cls, tuple, kwargs);
        Py_LeaveRecursiveCall();
    }
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return r;
}

// The metaclass of Scalar, Vec3 and Solver: the library's, with a field in
// each class object for the class's own vectorcall.
inline PyTypeObject* make_metaclass() {
    names.call = PyUnicode_InternFromString("__call__");
    names.init = PyUnicode_InternFromString("__init__");
    if (!names.call || !names.init) throw pybind11::error_already_set();
    internals::find_library();
    Meta::type = internals::make_metaclass("orbelon_type", meta_call);
    return Meta::type;
}

}  // namespace descriptors
}  // namespace orbelon
