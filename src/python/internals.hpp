// ===========================================================================
// FENCED: the one place that depends on the binding library's private
// instance layout and on the interpreter's internal rules. No other file
// includes pybind11/detail or reaches into an object's memory.
//
// What it mirrors, and what to re-read on an upgrade of either:
//   pybind11/detail/common.h   `struct instance`: the simple layout, one value
//                              pointer then the holder in place, and its flags.
//   pybind11/detail/class.h    make_new_instance (a blank instance),
//                              pybind11_object_dealloc and clear_instance (what
//                              an instance owns), pybind11_meta_call (the check
//                              that __init__ built the holder).
//   pybind11/detail/type_caster_base.h  load_value: a value-less self gets raw
//                              memory from type_info::operator_new.
//   pybind11/pybind11.h        cpp_function::dispatcher: a reference_cast_error
//                              while loading arguments means "next overload".
//   CPython Objects/typeobject.c  compatible_for_assignment and
//                              same_slots_added (who may take whose __class__);
//                              update_one_slot (assigning a special method puts
//                              the generic slot function back); PyType_Modified
//                              and assign_version_tag (a class's version tag
//                              changes whenever it or a base changes).
// The gate below stops the build on any other pybind11; adopt_class()
// repeats the layout assumptions on a live instance at import. After an
// upgrade, re-read the list above and run the suite: its differential test
// compares this build with the plain bindings case by case.
// ===========================================================================
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#if PYBIND11_VERSION_HEX < 0x03000000 || PYBIND11_VERSION_HEX >= 0x03010000 \
    || PYBIND11_INTERNALS_VERSION != 11
#    error "internals.hpp mirrors pybind11 3.0 (internals version 11): re-read it before upgrading"
#endif

namespace orbelon {
namespace internals {

namespace pyd = pybind11::detail;

// ---------------------------------------------------------------------------
// Mends in the bindings, for both builds

// An instance whose __init__ never ran has no value. The library would hand
// its methods fresh uninitialised memory instead (and a Python subclass can
// keep such an instance alive by skipping the base __init__). Refusing that
// allocation makes every method reject the instance as self: the dispatcher
// takes the error as "this overload does not apply", so the caller sees the
// library's own TypeError.
[[noreturn]] inline void* refuse_value(std::size_t) { throw pybind11::reference_cast_error(); }

inline void refuse_lazy_values(pybind11::handle cls) {
    pyd::get_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr()))->operator_new = &refuse_value;
}

// CPython lets `obj.__class__ = Other` through when both classes have the same
// instance layout, and every bound class has the library's one layout, while
// the C++ values behind them differ (a Scalar is 16 bytes, a Vec3 24). An
// instance size of its own for each class after the first makes CPython
// refuse the swap with its own TypeError; the extra bytes are never touched.
// (The first keeps the library's size, so a Python class may still derive
// from it and from one other.) Done before any instance or subclass exists.
inline void give_distinct_layouts(std::initializer_list<pybind11::handle> classes) {
    Py_ssize_t extra = 0;
    for (pybind11::handle cls : classes) {
        reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_basicsize += extra;
        extra += static_cast<Py_ssize_t>(sizeof(void*));
    }
}

// ---------------------------------------------------------------------------
// Instances, for the fast paths

// The bound class of T, held by a strong reference for the module's lifetime.
template <class T>
struct Bound {
    static inline PyTypeObject* type = nullptr;
    static inline const pyd::type_info* tinfo = nullptr;
};

// An instance of exactly T's class that holds its value.
template <class T>
inline bool holds(PyObject* o) {
    return Py_TYPE(o) == Bound<T>::type && reinterpret_cast<pyd::instance*>(o)->simple_holder_constructed;
}

template <class T>
inline T& value(PyObject* o) {
    return *static_cast<T*>(reinterpret_cast<pyd::instance*>(o)->simple_value_holder[0]);
}

// A new instance of T's class owning a copy of v: allocated by the class,
// the value behind a unique_ptr holder in place and registered in the
// library's instance map, exactly as the library's constructor leaves it.
template <class T>
PyObject* make(const T& v) {
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
        Py_DECREF(self);  // not registered: release() only frees the value
        return PyErr_NoMemory();
    }
    inst->simple_instance_registered = true;
    return self;
}

// The instance's value and holder released, as the library's own
// deallocation does for an instance of exactly T's class (which has no
// __dict__ and is not garbage-collected): out of the instance map, the
// holder destroyed (and with it the value), weak references cleared, the
// memory given back.
template <class T>
void release(PyObject* self) {
    auto* inst = reinterpret_cast<pyd::instance*>(self);
    void* v = inst->simple_value_holder[0];
    if (v && inst->simple_instance_registered && !pyd::deregister_instance(inst, v, Bound<T>::tinfo))
        pybind11::pybind11_fail("orbelon_core: tried to deallocate an unregistered instance");
    if (inst->simple_holder_constructed)
        reinterpret_cast<std::unique_ptr<T>*>(&inst->simple_value_holder[1])->~unique_ptr();
    else if (inst->owned)
        ::operator delete(v);  // raw memory the library allocated, if any
    if (inst->weakrefs) PyObject_ClearWeakRefs(self);
    if (inst->has_patients) pyd::clear_patients(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The class's version tag, or 0 when it has none. The interpreter drops the
// tag whenever the class or one of its bases changes and hands out a new one
// at the next lookup, never the same number twice, so an unchanged tag means
// an unchanged class. (Before 3.12 a dropped tag is marked by a flag; from
// 3.12 on the tag itself becomes 0 and the flag is no longer kept.)
inline unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Takes T's class for the fast paths, or says why not: the class must have
// the simple layout, and an instance made by the library's own constructor
// must look exactly like one made by make().
template <class T>
std::string adopt_class(pybind11::handle cls, const T& sample, pybind11::tuple args) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const pyd::type_info* tinfo = pyd::get_type_info(type);
    if (!tinfo || tinfo->type != type || !tinfo->simple_type || !tinfo->simple_ancestors
        || tinfo->holder_size_in_ptrs > pyd::instance_simple_holder_in_ptrs())
        return "not a simple-layout class";
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) || type->tp_dictoffset)
        return "instances with a __dict__ or garbage collection";
    pybind11::object made = cls(*args);
    auto* inst = reinterpret_cast<pyd::instance*>(made.ptr());
    if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
        || !inst->simple_instance_registered || inst->has_patients)
        return "unexpected instance flags";
    auto* v = static_cast<T*>(inst->simple_value_holder[0]);
    auto& holder = *reinterpret_cast<std::unique_ptr<T>*>(&inst->simple_value_holder[1]);
    if (!v || holder.get() != v || std::memcmp(v, &sample, sizeof(T)) != 0)
        return "unexpected value or holder";
    Py_INCREF(type);
    Bound<T>::type = type;
    Bound<T>::tinfo = tinfo;
    return "";
}

template <class T>
void drop() {
    Py_CLEAR(Bound<T>::type);
    Bound<T>::tinfo = nullptr;
}

// ---------------------------------------------------------------------------
// Methods: the library binds each as a builtin function inside an instance
// method descriptor in the class's dictionary.

// Why the method `name` of the class is not such a descriptor, or "".
inline std::string check_method(PyTypeObject* type, const char* name) {
    PyObject* descr = PyDict_GetItemString(type->tp_dict, name);
    if (!descr || !PyInstanceMethod_Check(descr) || !PyCFunction_Check(PyInstanceMethod_GET_FUNCTION(descr)))
        return std::string(type->tp_name) + "." + name + " is not a bound method";
    return "";
}

// A builtin function calling `call`, with the name, docstring, self and
// module of the method's own: a new reference, or null with an error set.
inline PyObject* stand_in(PyTypeObject* type, const char* name, PyMethodDef* def, PyCFunction call) {
    auto* own = reinterpret_cast<PyCFunctionObject*>(
        PyInstanceMethod_GET_FUNCTION(PyDict_GetItemString(type->tp_dict, name)));
    *def = {own->m_ml->ml_name, call, METH_FASTCALL | METH_KEYWORDS, own->m_ml->ml_doc};
    return PyCFunction_NewEx(def, own->m_self, own->m_module);
}

// Puts `function` in the place of the method's own and returns the one it
// replaced; the caller takes over the descriptor's reference to it.
inline PyObject* swap_function(PyTypeObject* type, const char* name, PyObject* function) {
    auto* descr = reinterpret_cast<PyInstanceMethodObject*>(PyDict_GetItemString(type->tp_dict, name));
    PyObject* own = descr->func;
    descr->func = function;
    return own;
}

// The library's metaclass, shared by every bound class (and by other modules
// built on the same library version), if cls has it; null otherwise.
inline PyTypeObject* library_metaclass(pybind11::handle cls) {
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    return meta == pyd::get_internals().default_metaclass ? meta : nullptr;
}

}  // namespace internals
}  // namespace orbelon
