// The C API under the names of the interpreter at hand: what a later version
// spells otherwise, or adds, for the versions before it.
#pragma once

#include <Python.h>

#ifndef Py_TPFLAGS_HAVE_VECTORCALL  // its name before 3.9
#    define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if PY_VERSION_HEX < 0x030C0000
#    include <structmember.h>  // T_PYSSIZET and READONLY, in Python.h from 3.12 on as below
#    define Py_T_PYSSIZET T_PYSSIZET
#    define Py_READONLY READONLY
#endif

namespace orbelon {

inline PyObject* new_ref(PyObject* o) {  // Py_NewRef, from 3.10 on
    Py_INCREF(o);
    return o;
}

// f(*args) with the arguments on the caller's stack: no tuple is built.
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames = nullptr) {
#if PY_VERSION_HEX < 0x03090000
    return _PyObject_Vectorcall(f, args, nargsf, kwnames);
#else
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
#endif
}

// The running interpreter (PyInterpreterState_Get from 3.9 on).
inline PyInterpreterState* running_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return _PyInterpreterState_Get();
#endif
}

// A type's short name, as __name__ gives it (PyType_GetName from 3.11 on);
// a new reference, or null with an exception set.
inline PyObject* type_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
#endif
}

}  // namespace orbelon
