// ===========================================================================
// FENCED: src/python/fence/ is the one place that depends on the binding
// library's private layout and on the interpreter's internal structures. No
// file outside it includes pybind11/detail or reaches into an object's memory.
//
//   fence.hpp      the version gate and this checklist
//   instance.hpp   the simple instance layout, checked at import; the class
//                  guards every build gets (lazy values, __class__, a
//                  deallocator per list of bound types)
//   pool.hpp       spare instances
//   metaclass.hpp  the library's metaclass and the functions construction
//                  reaches; the room in each class object (its State and its
//                  own vectorcall); what the library keeps for an interpreter,
//                  let go at its end
//   module.hpp     the module's entry, as PYBIND11_MODULE writes it
//
// What it mirrors, and what to re-read on an upgrade of either:
//   pybind11/detail/common.h   `struct instance`: the simple layout (one value
//                              pointer, then the holder in place), its flags
//                              and its weakrefs field.
//   pybind11/detail/class.h    make_default_metaclass (a metaclass made by
//                              hand), make_new_python_type (a class object is
//                              allocated by its metaclass's tp_alloc, so a
//                              metaclass may carry fields of its own),
//                              pybind11_meta_call, pybind11_meta_getattro and
//                              pybind11_object_new (what construction and class
//                              attribute access reach), pybind11_object_dealloc
//                              and clear_instance (what an instance owns),
//                              register_instance.
//   pybind11/detail/type_caster_base.h  load_value (a value-less self gets raw
//                              memory from type_info::operator_new),
//                              all_type_info (the bound types of a class, in
//                              the order its instances hold their values).
//   pybind11/detail/exception_translation.h  try_translate_exceptions.
//   pybind11/cast.h            the float and int casters (what fast/convert.hpp
//                              and the sampler take exactly as they do) and,
//                              with pybind11.h, the dispatcher's two passes
//                              (exact types, then conversions).
//   pybind11/detail/internals.h  the registry per interpreter (internals,
//                              local_internals), kept for ever by design, with
//                              its three types and the function record type.
//   pybind11/detail/common.h and pybind11.h  PYBIND11_MODULE, init_slots and the
//                              module cache (fence/module.hpp); def_submodule
//                              (module.cpp makes the submodule itself).
//   pybind11/pybind11.h        cpp_function::dispatcher: a reference_cast_error
//                              while loading arguments means "next overload";
//                              every other exception goes to the translators.
//   CPython Include/descrobject.h  PyWrapperDescrObject (d_base, d_wrapped: the
//                              slot a wrapper stands for, and its C function).
//   CPython Objects/typeobject.c  object_set_class and compatible_for_assignment
//                              (who may take whose __class__: the same tp_free
//                              first), type_new (the tp_free a class starts
//                              with), tp_new_wrapper (a __new__ must end in its
//                              static base's: "not safe"), update_one_slot
//                              (a class's slots follow its dictionary; a
//                              dictionary entry that is no wrapper of CPython's
//                              gives the generic slot; the __new__ wrapper
//                              leaves tp_new as it is), type_setattro (from
//                              3.12, assigning __call__ clears the vectorcall
//                              flag), PyHeapType_GET_MEMBERS (__slots__ live
//                              after the metaclass's basicsize).
//   CPython Objects/object.c   _Py_Dealloc and _Py_NewReference (pool.hpp).
//   CPython Objects/typeobject.c  type_dealloc, which does not release a
//                              class's reference to its metaclass (the library's
//                              metaclass ends there); _PyType_Lookup (lookup).
//   CPython Python/pystate.c   the end of an interpreter: its dictionary cleared,
//                              then one last collection; an interpreter with its
//                              own allocator keeps its memory if a block outlives
//                              it (Objects/obmalloc.c).
//   CPython Lib/copyreg.py     _reduce_ex: rebuilds from the first class whose
//                              __new__ is a builtin bound to it (module.cpp
//                              gives each class one).
//   CPython Include/longintrepr.h  an int's digits (small_int below).
//   CPython 3.8 Include/ceval.h  Py_EnterRecursiveCall and Py_LeaveRecursiveCall
//                              (RecursionLevels below).
// The gate below stops the build on any other pybind11; the import checks
// repeat the layout assumptions on live objects. After an upgrade, re-read
// the list above and run the suite: its differential test compares this build
// with the plain bindings case by case, and its stock comparison both with a
// binding that does none of this.
// ===========================================================================
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include "python/compat.hpp"

#if PYBIND11_VERSION_HEX < 0x03000000 || PYBIND11_VERSION_HEX >= 0x03010000 \
    || PYBIND11_INTERNALS_VERSION != 11
#    error "src/python/fence mirrors pybind11 3.0 (internals version 11): re-read it before upgrading"
#endif

namespace orbelon {
namespace fence {

namespace pyd = pybind11::detail;

inline PyTypeObject* as_type(pybind11::handle h) { return reinterpret_cast<PyTypeObject*>(h.ptr()); }
inline PyObject* as_object(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

using orbelon::new_ref;
using orbelon::running_interpreter;

// `name` along `type`'s MRO, as attribute lookup finds it (borrowed), or
// null with no error set. CPython's own lookup, cached per type.
inline PyObject* lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

inline PyObject* lookup(PyTypeObject* type, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* found = lookup(type, key);
    Py_DECREF(key);
    return found;
}

// Whether `name` is in `type`'s own dictionary. From 3.12 on a static type
// keeps its dictionary per interpreter, out of tp_dict.
inline bool defines(PyTypeObject* type, const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyType_GetDict(type);
#else
    PyObject* dict = new_ref(type->tp_dict);
#endif
    const bool found = dict && PyDict_GetItemString(dict, name);
    Py_XDECREF(dict);
    return found;
}

// An exact int of at most one digit (below 2^30 in magnitude), read in place;
// false for anything else. The digits are CPython's own layout: the sign in
// ob_size until 3.12, the compact-value API from 3.12 on.
inline bool small_int(PyObject* o, long& v) {
    if (!PyLong_CheckExact(o)) return false;
    auto* l = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX < 0x030C0000
    const Py_ssize_t size = Py_SIZE(l);
    if (size < -1 || size > 1) return false;
    v = static_cast<long>(size) * static_cast<long>(l->ob_digit[0]);
    return true;
#else
    if (!PyUnstable_Long_IsCompact(l)) return false;
    v = static_cast<long>(PyUnstable_Long_CompactValue(l));
    return true;
#endif
}

// The library's translation of the exception being handled, as its
// dispatcher does it: a pending Python error restored, everything else
// through the registered translators (another module's included).
inline PyObject* translate_current_exception() {
    try {
        throw;
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (...) {
        pyd::try_translate_exceptions();
    }
    return nullptr;
}

// N levels of recursion counted against the limit, as N nested calls of C
// functions would count them until 3.12 (from 3.12 on the limit counts Python
// frames only, and this counts nothing). ok() is false when the limit was
// reached, with RecursionError set.
//
// On 3.8 only its effects are reproduced, with one read of the thread state:
// a served call runs no Python code while it would hold the levels, so below
// the limit, with no overflow being recovered from, entering and leaving them
// changes nothing anyone sees, and is skipped. Otherwise the levels are
// entered and left one by one, as the C API's macros do.
template <int N>
class RecursionLevels {
#if PY_VERSION_HEX < 0x030C0000
    static constexpr const char* where = " while calling a Python object";
    int entered_ = 0;
    bool ok_ = true;

#    if PY_VERSION_HEX < 0x03090000
    PyThreadState* const ts_ = _PyThreadState_UncheckedGet();

    [[gnu::noinline]] void enter() {
        while (entered_ < N && !(++ts_->recursion_depth > _Py_CheckRecursionLimit && _Py_CheckRecursiveCall(where)))
            ++entered_;
        ok_ = entered_ == N;
    }
    [[gnu::noinline]] void leave() {
        const int limit = _Py_CheckRecursionLimit;
        for (; entered_ > 0; --entered_)
            if (--ts_->recursion_depth < (limit > 200 ? limit - 50 : 3 * (limit >> 2))) ts_->overflowed = 0;
    }

public:
    [[gnu::always_inline]] RecursionLevels() {
        if (ts_->recursion_depth + N > _Py_CheckRecursionLimit || ts_->overflowed) enter();
    }
    [[gnu::always_inline]] ~RecursionLevels() {
        if (entered_) leave();
    }
#    else
public:
    RecursionLevels() {
        while (entered_ < N && Py_EnterRecursiveCall(where) == 0) ++entered_;
        ok_ = entered_ == N;
    }
    ~RecursionLevels() {
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }
#    endif
    RecursionLevels(const RecursionLevels&) = delete;
    RecursionLevels& operator=(const RecursionLevels&) = delete;
    bool ok() const { return ok_; }
#else
public:
    bool ok() const { return true; }
#endif
};

}  // namespace fence
}  // namespace orbelon
