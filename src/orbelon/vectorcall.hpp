// The C API's vectorcall under its 3.8 and its later name.
#pragma once

#include <Python.h>

namespace orbelon {

// f(*args) with the arguments on the caller's stack: no tuple is built.
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames = nullptr) {
#if PY_VERSION_HEX < 0x03090000
    return _PyObject_Vectorcall(f, args, nargsf, kwnames);
#else
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
#endif
}

}  // namespace orbelon
