// FENCED (see fence.hpp): the module's entry, written as the library's
// PYBIND11_MODULE writes it (pybind11/detail/common.h: PYBIND11_MODULE_PYINIT
// and PYBIND11_MODULE_EXEC; pybind11/pybind11.h: init_slots and the module
// cache), declaring that each interpreter, with its own GIL or not, gets a
// module of its own. The cache keeps one module per interpreter: importing it
// again there gives the same module, and a failed import may be tried again.
//
// Before 3.12 the library keeps one registry for the whole process, found by
// taking the GIL through the main interpreter's thread state: in another
// interpreter, whose thread already holds the GIL, that waits for ever. So
// there the import is refused before the library is reached.
#pragma once

#include "python/fence/fence.hpp"

namespace orbelon {
namespace fence {

using ModuleInit = void (*)(pybind11::module_&);

template <ModuleInit Init>
int exec_module(PyObject* module) {
    try {
        pyd::ensure_internals();
        auto m = pybind11::reinterpret_borrow<pybind11::module_>(module);
        if (!pyd::get_cached_module(m.attr("__spec__").attr("name"))) {
            Init(m);
            pyd::cache_completed_module(m);
        }
        return 0;
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return -1;
}

// The module's definition, for its PyInit function.
template <ModuleInit Init>
PyObject* module_definition(const char* name) {
#if PY_VERSION_HEX < 0x030C0000
    if (running_interpreter() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError,
                     "%s: only the main interpreter can import this module before Python 3.12 "
                     "(the binding library would wait for ever in another one)",
                     name);
        return nullptr;
    }
#endif
    try {
        pyd::ensure_internals();
        static pyd::slots_array slots
            = pyd::init_slots(&exec_module<Init>, pybind11::multiple_interpreters::per_interpreter_gil());
        static PyModuleDef def{PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr, slots.data(), nullptr, nullptr, nullptr};
        return PyModuleDef_Init(&def);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

}  // namespace fence
}  // namespace orbelon
