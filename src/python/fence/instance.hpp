// FENCED (see fence.hpp): instances of the simple layout, and the guards every
// build puts on its classes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/fence/fence.hpp"
#include "python/fence/metaclass.hpp"

namespace orbelon {
namespace fence {

// ---------------------------------------------------------------------------
// The simple layout of a class with a unique_ptr holder

// An instance of exactly `cls` whose value was constructed.
inline bool holds(PyObject* o, PyTypeObject* cls) {
    return Py_TYPE(o) == cls && reinterpret_cast<pyd::instance*>(o)->simple_holder_constructed;
}

inline void* value_of(PyObject* o) { return reinterpret_cast<pyd::instance*>(o)->simple_value_holder[0]; }

// The bound class of T in one interpreter, once its layout has been checked
// and the fast paths took it: held until the interpreter ends, then null.
template <class T>
struct Bound {
    PyTypeObject* type = nullptr;
    const pyd::type_info* tinfo = nullptr;
};

template <class T>
inline T& value(PyObject* o) {
    return *static_cast<T*>(value_of(o));
}

// Whether another module has made anything implicitly convertible to a
// bound class (py::implicitly_convertible).
template <class T>
inline bool converts_implicitly(const Bound<T>& bound) {
    return bound.tinfo && !bound.tinfo->implicit_conversions.empty();
}

// A new instance of T's class owning a copy of v, exactly as the library's
// constructor leaves one: allocated by the class, the value behind a
// unique_ptr holder in place, registered in the library's instance map.
template <class T>
[[gnu::noinline]] PyObject* allocate_instance(const Bound<T>& bound, const T& v) {
    T* p = new (std::nothrow) T(v);
    if (!p) return PyErr_NoMemory();
    PyObject* self = bound.type->tp_alloc(bound.type, 0);  // zeroed: no flags set
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
        pyd::register_instance(inst, p, bound.tinfo);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);  // not registered: the library's deallocation only frees it
        return PyErr_NoMemory();
    }
    inst->simple_instance_registered = true;
    return self;
}

// Why the fast paths cannot take T's class, or "" when they can: the class
// must have the simple layout with its weak references where the library's
// instance keeps them. Changes nothing.
inline std::string layout_problem(pybind11::handle cls) {
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
    return "";
}

// Whether an instance made by the library's own __new__ and the class's
// __init__ from `args` looks exactly like one allocate_instance() makes of
// `probe`.
// false, with nothing raised, when it cannot be made so: the class's tp_new
// is no longer the library's (a program replaced the library base's __new__
// before this module was imported), or making it raised. Throws when one is
// made and differs: the library's layout is not the one mirrored here.
template <class T>
bool probe_agrees(const Library& library, pybind11::handle cls, const T& probe, pybind11::tuple args) {
    PyTypeObject* type = as_type(cls);
    if (!library.new_ || type->tp_new != library.new_) return false;
    auto made = pybind11::reinterpret_steal<pybind11::object>(type->tp_new(type, args.ptr(), nullptr));
    if (!made || type->tp_init(made.ptr(), args.ptr(), nullptr) < 0) {
        PyErr_Clear();
        return false;
    }
    auto* inst = reinterpret_cast<pyd::instance*>(made.ptr());
    if (!inst->simple_layout || !inst->owned || !inst->simple_holder_constructed
        || !inst->simple_instance_registered || inst->has_patients || inst->weakrefs)
        pybind11::pybind11_fail("the library's instances have unexpected flags");
    auto* v = static_cast<T*>(inst->simple_value_holder[0]);
    auto& holder = *reinterpret_cast<std::unique_ptr<T>*>(&inst->simple_value_holder[1]);
    if (!v || holder.get() != v || std::memcmp(v, &probe, sizeof(T)) != 0)
        pybind11::pybind11_fail("the library's instances hold their values elsewhere");
    return true;
}

// Takes T's class for the fast paths; only after layout_problem() said "".
template <class T>
void take_class(Bound<T>& bound, pybind11::handle cls) {
    bound.type = as_type(cls.inc_ref());
    bound.tinfo = pyd::get_type_info(bound.type);
}

// ---------------------------------------------------------------------------
// Guards, for both builds

// An instance whose __init__ never ran has no value. The library would hand
// its methods fresh uninitialised memory instead (and a Python subclass can
// keep such an instance alive by skipping the base __init__). Refusing that
// allocation refuses the instance wherever it is an argument, at once, with a
// TypeError of its own that no translator changes. (Taken as "this overload
// does not apply", the refusal would end in the library's TypeError, whose
// text takes the repr of every argument: refused again, down to the
// recursion limit.)
// The text is the same in every interpreter, made by the first.
template <class T>
struct NoValue {
    static const std::string& message(const char* class_name = nullptr) {
        static const std::string text = std::string(class_name) + " object has no value: its __init__ was never called";
        return text;
    }
    [[noreturn]] static void* refuse(std::size_t) {
        PyErr_SetString(PyExc_TypeError, message().c_str());
        throw pybind11::error_already_set();
    }
};

template <class T>
void refuse_lazy_values(pybind11::handle cls) {
    NoValue<T>::message(as_type(cls)->tp_name);
    pyd::get_type_info(as_type(cls))->operator_new = &NoValue<T>::refuse;
}

// ---------------------------------------------------------------------------
// Classes kept apart by CPython's own check
//
// CPython lets `obj.__class__ = cls` through only when the old and the new
// class free their instances with the same tp_free (compatible_for_assignment,
// "deallocator differs"), and then judges their layouts by their bases alone:
// a class's tp_dealloc is compared with its own base's, never with a
// sibling's, and every class on the library has the library's instance size.
// So the layout check cannot tell `class Y(Scalar)` from `class X(Scalar,
// Vec3)`, which holds a second value; the deallocators can. Every class that
// holds bound values frees its instances through a function standing for the
// list of bound types it holds (the library's all_type_info, in the order its
// instances hold their values): classes with the same list share one, two
// lists never do. Each function frees as the class's own tp_free did: the
// collector's for a class with garbage collection, the allocator's otherwise.

// Never folded into one another: GCC's noipa forbids it, and clang folds no
// functions itself.
#if defined(__clang__)
#    define ORBELON_NEVER_FOLDED [[gnu::noinline]]
#else
#    define ORBELON_NEVER_FOLDED [[gnu::noipa]]
#endif
template <std::size_t I>
ORBELON_NEVER_FOLDED void free_apart(void* p) {
    if (PyType_IS_GC(Py_TYPE(static_cast<PyObject*>(p)))) PyObject_GC_Del(p);
    else PyObject_Free(p);
}

template <std::size_t... I>
constexpr std::array<freefunc, sizeof...(I)> frees_apart(std::index_sequence<I...>) {
    return {&free_apart<I>...};
}

constexpr std::size_t apart_capacity = 64;
constexpr std::array<freefunc, apart_capacity> frees_apart_all = frees_apart(std::make_index_sequence<apart_capacity>{});

// The lists of bound types one interpreter's classes hold: lists[i] is freed
// by frees_apart_all[i]. Classes of two interpreters never meet, so each
// numbers its own lists.
struct Apart {
    std::vector<std::vector<PyTypeObject*>> lists;

    static bool replaceable(freefunc f) {
        return f == PyObject_Free || f == PyObject_GC_Del
               || std::find(frees_apart_all.begin(), frees_apart_all.end(), f) != frees_apart_all.end();
    }
};

// Gives `cls` the deallocator of its list of bound types; a class holding
// none keeps its own. Only a class whose tp_free is the interpreter's default
// (or one of these) is changed. Returns -1 with an exception set on failure.
inline int keep_apart(Apart& apart, PyTypeObject* cls) {
    try {
        std::vector<PyTypeObject*> bound;
        for (const pyd::type_info* t : pyd::all_type_info(cls)) bound.push_back(t->type);
        if (bound.empty() || !Apart::replaceable(cls->tp_free)) return 0;
        auto found = std::find(apart.lists.begin(), apart.lists.end(), bound);
        if (found == apart.lists.end()) {
            if (apart.lists.size() == apart_capacity) {
                PyErr_Format(PyExc_TypeError,
                             "orbelon_core: more than %d different combinations of bound classes in one interpreter",
                             static_cast<int>(apart_capacity));
                return -1;
            }
            found = apart.lists.insert(found, std::move(bound));
        }
        cls->tp_free = frees_apart_all[static_cast<std::size_t>(found - apart.lists.begin())];
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// `obj.__class__ = cls`, through the class: the same refusal in CPython's
// usual words ("object layout differs") before CPython's own check, which
// would name the deallocator. Both classes must hold the very same bound
// types in the same order; then CPython's own assignment decides, through
// object's own __class__ of the running interpreter. The getter is object's:
// the instance's type.
struct ClassAttribute {
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
        PyObject* object_class = lookup(&PyBaseObject_Type, "__class__");
        if (!object_class || !Py_TYPE(object_class)->tp_descr_set) {
            PyErr_SetString(PyExc_SystemError, "object has no __class__ to assign");
            return -1;
        }
        return Py_TYPE(object_class)->tp_descr_set(object_class, self, cls);
    }
};

inline PyGetSetDef class_attribute[] = {
    {"__class__", ClassAttribute::get, ClassAttribute::set, "the object's class", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline void guard_class_assignment(pybind11::handle cls) {
    pybind11::object descr = pybind11::reinterpret_steal<pybind11::object>(PyDescr_NewGetSet(as_type(cls), class_attribute));
    if (!descr) throw pybind11::error_already_set();
    // Into the dictionary itself: assigning __class__ on the class would
    // reach type's own __class__, the class's class.
    if (PyDict_SetItemString(as_type(cls)->tp_dict, "__class__", descr.ptr()) < 0) throw pybind11::error_already_set();
    PyType_Modified(as_type(cls));
}

}  // namespace fence
}  // namespace orbelon
