// FENCED (see fence.hpp): instances of the simple layout, and the guards every
// build puts on its classes.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "python/fence/fence.hpp"

namespace orbelon {
namespace internals {

// ---------------------------------------------------------------------------
// The simple layout of a class with a unique_ptr holder

// An instance of exactly `cls` whose value was constructed.
inline bool holds(PyObject* o, PyTypeObject* cls) {
    return Py_TYPE(o) == cls && reinterpret_cast<pyd::instance*>(o)->simple_holder_constructed;
}

inline void* value_of(PyObject* o) { return reinterpret_cast<pyd::instance*>(o)->simple_value_holder[0]; }

// The bound class of T, once its layout has been checked; held by a strong
// reference for the module's lifetime.
template <class T>
struct Bound {
    static inline PyTypeObject* type = nullptr;
    static inline const pyd::type_info* tinfo = nullptr;
};

template <class T>
inline bool holds(PyObject* o) {
    return holds(o, Bound<T>::type);
}

template <class T>
inline T& value(PyObject* o) {
    return *static_cast<T*>(value_of(o));
}

// Whether another module has made anything implicitly convertible to one of
// the bound classes Ts (py::implicitly_convertible).
template <class... Ts>
inline bool converts_implicitly() {
    return ((Bound<Ts>::tinfo && !Bound<Ts>::tinfo->implicit_conversions.empty()) || ...);
}

// A new instance of T's class owning a copy of v, exactly as the library's
// constructor leaves one: allocated by the class, the value behind a
// unique_ptr holder in place, registered in the library's instance map.
template <class T>
[[gnu::noinline]] PyObject* make_new(const T& v) {
    T* p = new (std::nothrow) T(v);
    if (!p) return PyErr_NoMemory();
    PyObject* self = Bound<T>::type->tp_alloc(Bound<T>::type, 0);  // zeroed: no flags set
    if (!self) {
        delete p;
        return nullptr;
    }
    auto* inst = reinterpret_cast<pyd::instance*>(self);
    inst->simple_layout = inst->owned = true;
    inst->simple_value_holder[0] = p;
    new (&inst->simple_value_holder[1]) std::unique_ptr<T>(p);
    inst->simple_holder_constructed = true;
    try {
        pyd::register_instance(inst, p, Bound<T>::tinfo);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);  // not registered: the library's deallocation only frees it
        return PyErr_NoMemory();
    }
    inst->simple_instance_registered = true;
    return self;
}

// Why the fast paths cannot take T's class, or "" when they can: the class
// must have the simple layout with its weak references where the library's
// instance keeps them, and an instance made by the library's own constructor
// from `args` must look exactly like one make_new() makes of `sample`.
// Changes nothing.
template <class T>
std::string layout_problem(pybind11::handle cls, const T& sample, pybind11::tuple args) {
    PyTypeObject* type = as_type(cls);
    const pyd::type_info* tinfo = pyd::get_type_info(type);
    if (!tinfo || tinfo->type != type || !tinfo->simple_type || !tinfo->simple_ancestors
        || tinfo->holder_size_in_ptrs > pyd::instance_simple_holder_in_ptrs())
        return "not a simple-layout class";
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) || type->tp_dictoffset)
        return "instances with a __dict__ or garbage collection";
#ifdef Py_TPFLAGS_MANAGED_WEAKREF
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_WEAKREF)) return "weak references managed by the interpreter";
#endif
    if (type->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(pyd::instance, weakrefs)))
        return "weak references kept elsewhere";
    // Made by the class's own __new__ and __init__: the metaclass call may
    // be someone else's by now.
    auto made = pybind11::reinterpret_steal<pybind11::object>(type->tp_new(type, args.ptr(), nullptr));
    if (!made || type->tp_init(made.ptr(), args.ptr(), nullptr) < 0) throw pybind11::error_already_set();
    auto* inst = reinterpret_cast<pyd::instance*>(made.ptr());
    if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
        || !inst->simple_instance_registered || inst->has_patients || inst->weakrefs)
        return "unexpected instance flags";
    auto* v = static_cast<T*>(inst->simple_value_holder[0]);
    auto& holder = *reinterpret_cast<std::unique_ptr<T>*>(&inst->simple_value_holder[1]);
    if (!v || holder.get() != v || std::memcmp(v, &sample, sizeof(T)) != 0) return "unexpected value or holder";
    return "";
}

// Takes T's class for the fast paths; only after layout_problem() said "".
template <class T>
void take_class(pybind11::handle cls) {
    Bound<T>::type = as_type(cls.inc_ref());
    Bound<T>::tinfo = pyd::get_type_info(Bound<T>::type);
}

// ---------------------------------------------------------------------------
// Guards, for both builds

// An instance whose __init__ never ran has no value. The library would hand
// its methods fresh uninitialised memory instead (and a Python subclass can
// keep such an instance alive by skipping the base __init__). Refusing that
// allocation makes every method reject the instance as self: the dispatcher
// takes the error as "this overload does not apply", so the caller sees the
// library's own TypeError.
[[noreturn]] inline void* refuse_value(std::size_t) { throw pybind11::reference_cast_error(); }

inline void refuse_lazy_values(pybind11::handle cls) { pyd::get_type_info(as_type(cls))->operator_new = &refuse_value; }

// `obj.__class__ = cls`. CPython lets a swap through when the two classes
// reduce to the same layout base, which says nothing of the C++ values
// behind a bound class: every class on the library has the library's one
// instance size, and a Python class deriving from two bound classes holds
// both values. So a swap is refused, with CPython's own words, unless both
// classes hold the very same bound types in the same order; then CPython's
// own assignment decides. The getter is object's: the instance's type.
struct ClassAttribute {
    static inline PyObject* object_class = nullptr;  // object.__dict__['__class__'], held

    static PyObject* get(PyObject* self, void*) { return new_ref(as_object(Py_TYPE(self))); }

    static int set(PyObject* self, PyObject* cls, void*) {
        if (cls && PyType_Check(cls)) {
            PyTypeObject* from = Py_TYPE(self);
            auto* to = reinterpret_cast<PyTypeObject*>(cls);
            bool same = false;
            try {
                same = pyd::all_type_info(from) == pyd::all_type_info(to);
            } catch (...) {
                translate_current_exception();
                return -1;
            }
            if (!same) {
                PyErr_Format(PyExc_TypeError, "__class__ assignment: '%s' object layout differs from '%s'",
                             to->tp_name, from->tp_name);
                return -1;
            }
        }
        return Py_TYPE(object_class)->tp_descr_set(object_class, self, cls);
    }
};

inline PyGetSetDef class_attribute[] = {
    {"__class__", ClassAttribute::get, ClassAttribute::set, "the object's class", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline void guard_class_assignment(pybind11::handle cls) {
    if (!ClassAttribute::object_class) {
        PyObject* found = _PyType_Lookup(&PyBaseObject_Type, pybind11::str("__class__").ptr());
        if (!found || !Py_TYPE(found)->tp_descr_set) pybind11::pybind11_fail("object has no __class__ to assign");
        ClassAttribute::object_class = new_ref(found);
    }
    pybind11::object descr = pybind11::reinterpret_steal<pybind11::object>(PyDescr_NewGetSet(as_type(cls), class_attribute));
    if (!descr) throw pybind11::error_already_set();
    // Into the dictionary itself: assigning __class__ on the class would
    // reach type's own __class__, the class's class.
    if (PyDict_SetItemString(as_type(cls)->tp_dict, "__class__", descr.ptr()) < 0) throw pybind11::error_already_set();
    PyType_Modified(as_type(cls));
}

}  // namespace internals
}  // namespace orbelon
