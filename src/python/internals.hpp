// ===========================================================================
// FENCED: the one place that depends on the binding library's private
// instance layout and on the interpreter's internal structures. No other file
// includes pybind11/detail or reaches into an object's memory.
//
// What it mirrors, and what to re-read on an upgrade of either:
//   pybind11/detail/common.h   `struct instance`: the simple layout (one value
//                              pointer, then the holder in place) and its flags.
//   pybind11/detail/class.h    make_default_metaclass (how a metaclass is made
//                              by hand), make_new_python_type (a class object
//                              is allocated by its metaclass's tp_alloc, so a
//                              metaclass may carry fields of its own),
//                              pybind11_meta_call and pybind11_object_new (the
//                              functions construction forwards to),
//                              pybind11_object_dealloc and clear_instance (what
//                              an instance owns), register_instance.
//   pybind11/detail/type_caster_base.h  load_value: a value-less self gets raw
//                              memory from type_info::operator_new.
//   pybind11/pybind11.h        cpp_function::dispatcher: a reference_cast_error
//                              while loading arguments means "next overload".
//   CPython Include/descrobject.h  PyWrapperDescrObject::d_wrapped (the C
//                              function behind a slot wrapper).
//   CPython Objects/typeobject.c  compatible_for_assignment (who may take
//                              whose __class__), update_one_slot (a class's slots
//                              follow its dictionary), PyHeapType_GET_MEMBERS
//                              (__slots__ live after the metaclass's basicsize).
// The gate below stops the build on any other pybind11; check_layout()
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

#ifndef Py_TPFLAGS_HAVE_VECTORCALL  // its name before 3.9
#    define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace orbelon {
namespace internals {

namespace pyd = pybind11::detail;

inline PyTypeObject* as_type(pybind11::handle h) { return reinterpret_cast<PyTypeObject*>(h.ptr()); }

inline PyObject* new_ref(PyObject* o) {  // Py_NewRef, from 3.10 on
    Py_INCREF(o);
    return o;
}

// ---------------------------------------------------------------------------
// Instances: the simple layout of a class with a unique_ptr holder

// An instance of exactly `cls` whose value was constructed.
inline bool holds(PyObject* o, PyTypeObject* cls) {
    return Py_TYPE(o) == cls && reinterpret_cast<pyd::instance*>(o)->simple_holder_constructed;
}

inline void* value_of(PyObject* o) { return reinterpret_cast<pyd::instance*>(o)->simple_value_holder[0]; }

// The bound class of T, held by a strong reference for the module's lifetime.
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

// ---------------------------------------------------------------------------
// Spare instances. A result needs a Python object, a value and its holder, and
// an entry in the library's instance map; an instance of exactly T's class
// that dies keeps all three, so the next result only copies its value in.
// This rests on three of the library's invariants: T's holder is a plain
// std::unique_ptr owning the value at simple_value_holder[0]; the instance map
// entry names that value's address, which stays the same; and every call
// holds the GIL. Only the fast build opens the pool; it is drained at exit.

template <class T>
struct Pool {
    static constexpr int capacity = 32;
    static inline PyObject* spare[capacity] = {};
    static inline int count = 0;
    static inline bool open = false;
    static inline destructor library_dealloc = nullptr;

    // Whether the dying instance was kept.
    static bool keep(PyObject* self) {
        if (!open || count == capacity || Py_TYPE(self) != Bound<T>::type) return false;
        auto* inst = reinterpret_cast<pyd::instance*>(self);
        if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
            || !inst->simple_instance_registered || inst->weakrefs || inst->has_patients || inst->is_alias)
            return false;
        spare[count++] = self;
        return true;
    }

    static void drain() {
        open = false;
        while (count > 0) library_dealloc(spare[--count]);
    }
};

// The class's deallocation: the pool's, then the library's. Each class gets a
// function of its own, which also tells CPython that no two of them, and none
// of them and another module's class, share an instance layout.
template <class T>
void dealloc(PyObject* self) {
    if (!Pool<T>::keep(self)) Pool<T>::library_dealloc(self);
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

// The same, from the pool when it has a spare: only the value is copied in.
template <class T>
inline PyObject* make(const T& v) {
    if (Pool<T>::count == 0) return make_new(v);
    PyObject* self = Pool<T>::spare[--Pool<T>::count];
    _Py_NewReference(self);
    value<T>(self) = v;
    return self;
}

// Takes T's class for the fast paths, or says why not: the class must have
// the simple layout, and an instance made by the library's own constructor
// must look exactly like one made by make().
template <class T>
std::string check_layout(pybind11::handle cls, const T& sample, pybind11::tuple args) {
    PyTypeObject* type = as_type(cls);
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
    if (!v || holder.get() != v || std::memcmp(v, &sample, sizeof(T)) != 0) return "unexpected value or holder";
    Py_INCREF(type);
    Bound<T>::type = type;
    Bound<T>::tinfo = tinfo;
    return "";
}

// ---------------------------------------------------------------------------
// Mends in the bindings, for both builds

// An instance whose __init__ never ran has no value. The library would hand
// its methods fresh uninitialised memory instead (and a Python subclass can
// keep such an instance alive by skipping the base __init__). Refusing that
// allocation makes every method reject the instance as self: the dispatcher
// takes the error as "this overload does not apply", so the caller sees the
// library's own TypeError.
[[noreturn]] inline void* refuse_value(std::size_t) { throw pybind11::reference_cast_error(); }

inline void refuse_lazy_values(pybind11::handle cls) { pyd::get_type_info(as_type(cls))->operator_new = &refuse_value; }

// CPython lets `obj.__class__ = Other` through when the two classes reduce to
// the same layout: the same instance size and a base whose deallocation they
// share. Every bound class, of this module or of any other built on the same
// library, has the library's one size and deallocation, while the C++ values
// behind them differ (a Scalar is 16 bytes, a Vec3 24, another module's class
// anything). A deallocation function of its own for each class stops the
// reduction at the class itself, so CPython refuses with its own TypeError
// any swap but between a class and its Python subclasses; a size of its own
// for each class after the first keeps our classes apart from each other
// (the first keeps the library's size, so that a Python class may still
// derive from it and from one other). The extra bytes are never touched.
// Done before any instance or subclass exists.
template <class T>
void give_own_layout(pybind11::handle cls, Py_ssize_t extra) {
    PyTypeObject* type = as_type(cls);
    Pool<T>::library_dealloc = type->tp_dealloc;
    type->tp_dealloc = &dealloc<T>;
    type->tp_basicsize += extra;
}

// ---------------------------------------------------------------------------
// The module's metaclass: the library's, plus one field in every class
// object, the class's own vectorcall (null for all but the bound classes).

// The library's metaclass and the functions construction forwards to, as the
// library made them; a null function means "someone replaced it before this
// module was imported", and then nothing is ever served in its place.
struct Library {
    static inline PyTypeObject* metaclass = nullptr;
    static inline PyObject* call_descr = nullptr;  // its own __call__, held
    static inline ternaryfunc call = nullptr;      // the C function behind it
    static inline newfunc new_ = nullptr;          // the instances' tp_new
};

// Byte offset of the vectorcall field in a class object.
inline Py_ssize_t construct_offset() { return Library::metaclass->tp_basicsize; }

inline vectorcallfunc& construct_field(PyObject* cls) {
    return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(cls) + construct_offset());
}

// Records the library's metaclass, and the two functions construction goes
// through, as the library made them (its metaclass's own __call__ and its
// base class's own __new__).
inline void find_library() {
    const pyd::internals& library = pyd::get_internals();
    Library::metaclass = library.default_metaclass;
    PyObject* call = PyDict_GetItemString(Library::metaclass->tp_dict, "__call__");
    if (call && Py_TYPE(call) == &PyWrapperDescr_Type) {
        Py_INCREF(call);
        Library::call_descr = call;
        Library::call = reinterpret_cast<ternaryfunc>(reinterpret_cast<PyWrapperDescrObject*>(call)->d_wrapped);
    }
    auto* base = reinterpret_cast<PyTypeObject*>(library.instance_base);
    PyObject* new_ = PyDict_GetItemString(base->tp_dict, "__new__");
    if (new_ && PyCFunction_Check(new_) && PyCFunction_GET_SELF(new_) == library.instance_base)
        Library::new_ = base->tp_new;
}

// A metaclass derived from the library's, made as the library makes its own
// (a heap type filled by hand), with room for the vectorcall field and the
// interpreter told where it is. Returns a new reference.
inline PyTypeObject* make_metaclass(const char* name, ternaryfunc call) {
    pybind11::str name_obj(name);  // a literal: tp_name keeps pointing at it
    // Danger zone, as in the library: until PyType_Ready, nothing may run
    // the garbage collector, which would find a half-made type.
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(PyType_Type.tp_alloc(&PyType_Type, 0));
    if (!heap) throw pybind11::error_already_set();
    heap->ht_name = name_obj.inc_ref().ptr();
    heap->ht_qualname = name_obj.inc_ref().ptr();
    PyTypeObject* type = &heap->ht_type;
    type->tp_name = name;
    Py_INCREF(Library::metaclass);
    type->tp_base = Library::metaclass;
    type->tp_basicsize = Library::metaclass->tp_basicsize + static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_call = call;
    type->tp_vectorcall_offset = construct_offset();
    if (PyType_Ready(type) < 0) throw pybind11::error_already_set();
    pybind11::setattr(reinterpret_cast<PyObject*>(type), "__module__", pybind11::str("orbelon_core"));
    return type;
}

}  // namespace internals
}  // namespace orbelon
