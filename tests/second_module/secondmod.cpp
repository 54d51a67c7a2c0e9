// A second module on the same binding library, for the tests: classes of
// another extension that share the library's metaclass and instance layout
// with orbelon_core's, so that the suite can show that importing orbelon_core
// (or failing to) changes nothing for them, and that no object can take the
// class of the other module's; and a way to register an exception translator
// that, like the library's registry, every module on the library shares.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {

// A value that owns memory: reading another class's value as one of these
// would not go unnoticed.
struct Label {
    std::string text;
};

// Two doubles, the size of orbelon_core's Scalar.
struct Pair {
    double a = 0.0, b = 0.0;
};

std::string quoted(const std::string& s) { return py::repr(py::str(s)).cast<std::string>(); }

// What py::implicitly_convertible<int, C>() registers for a class C that
// this module knows only from Python: an exact int is converted by calling C.
PyObject* int_to(PyObject* obj, PyTypeObject* type) {
    static bool busy = false;
    if (busy || !py::detail::make_caster<int>().load(obj, false)) return nullptr;
    busy = true;
    PyObject* r = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(type), obj, nullptr);
    busy = false;
    if (!r) PyErr_Clear();
    return r;
}

}  // namespace

PYBIND11_MODULE(secondmod, m) {
    // From then on, a std::runtime_error that reaches the library's dispatch
    // in any module (orbelon_core's included) is a ValueError; that includes
    // the library's own error types, which derive from it.
    m.def("translate_runtime_errors", [] {
        py::register_exception_translator([](std::exception_ptr p) {
            try {
                if (p) std::rethrow_exception(p);
            } catch (const std::runtime_error& e) {
                PyErr_SetString(PyExc_ValueError, e.what());
            }
        });
    });
    // From then on, every exception that reaches the library's dispatch is
    // "handled" by setting nothing, which the library allows a translator to
    // do: the function then returns NULL with no error set.
    m.def("swallow_errors", [] { py::register_exception_translator([](std::exception_ptr) {}); });
    py::class_<Label>(m, "Label")
        .def(py::init<std::string>(), py::arg("text") = "")
        .def_readwrite("text", &Label::text)
        .def("__add__", [](const Label& x, const Label& y) { return Label{x.text + y.text}; })
        .def("__repr__", [](const Label& x) { return "Label(" + quoted(x.text) + ")"; });
    py::class_<Pair>(m, "Pair")
        .def(py::init<double, double>(), py::arg("a") = 0.0, py::arg("b") = 0.0)
        .def_readwrite("a", &Pair::a)
        .def_readwrite("b", &Pair::b)
        .def("__add__", [](const Pair& x, const Pair& y) { return Pair{x.a + y.a, x.b + y.b}; })
        .def("__repr__", [](const Pair& p) {
            return "Pair(" + py::repr(py::float_(p.a)).cast<std::string>() + ", "
                   + py::repr(py::float_(p.b)).cast<std::string>() + ")";
        });
    // Ints made implicitly convertible to a bound class of another module, as
    // py::implicitly_convertible<int, C>() would from a module that knows C.
    m.def("make_ints_convert_to", [](py::type cls) {
        py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr()))->implicit_conversions.push_back(int_to);
    });
}
