// ferrolith.core.decorators: joins a base function and an extension function
// into one callable that falls back to the extension when the base fails.
#include "ferrolith/_binding/binding.hpp"

#include <cstdio>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

// The exception being raised, taken off the error indicator with its traceback.
py::object take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return py::reinterpret_steal<py::object>(value);
#endif
}

// Makes `exception` the one being handled (what sys.exc_info() reports and
// what a newly raised exception takes as its __context__), as inside an
// `except` block, and restores the previous one when it goes out of scope.
class HandlingScope {
public:
    explicit HandlingScope(const py::object& exception) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()));
        PyObject* traceback = PyException_GetTraceback(exception.ptr()); // new reference
        Py_INCREF(type);
        Py_INCREF(exception.ptr());
        PyErr_SetExcInfo(type, exception.ptr(), traceback); // steals all three
    }
    ~HandlingScope() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

// The callable made by extended_func_decorator. It owns the two functions
// and nothing else that changes, so calls from several threads do not meet.
// Attributes such as __name__ and __wrapped__ live in the instance dict, where
// functools.wraps puts them.
struct ExtendedFunction {
    py::object func;
    py::object func_ext;

    py::object call(const py::args& args, const py::kwargs& kwargs) const {
        // Each function gets its own copy of the keyword arguments.
        py::dict base_kwargs = py::reinterpret_steal<py::dict>(PyDict_Copy(kwargs.ptr()));
        PyObject* result = PyObject_Call(func.ptr(), args.ptr(), base_kwargs.ptr());
        if (result != nullptr) {
            return py::reinterpret_steal<py::object>(result);
        }
        // Any exception at all, KeyboardInterrupt and SystemExit included,
        // hands over to the extension without a trace of its own.
        py::object base_error = take_raised_exception();
        py::dict ext_kwargs = py::reinterpret_steal<py::dict>(PyDict_Copy(kwargs.ptr()));
        PyObject* ext_result = nullptr;
        {
            HandlingScope scope(base_error);
            ext_result = PyObject_Call(func_ext.ptr(), args.ptr(), ext_kwargs.ptr());
        }
        if (ext_result == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(ext_result);
    }
};

py::object extended_func_decorator(py::object func, py::object func_ext) {
    py::object wrapper = py::cast(ExtendedFunction{std::move(func), std::move(func_ext)});
    const ExtendedFunction& self = wrapper.cast<const ExtendedFunction&>();
    // What the wrapper is before wraps() gives it the base function's identity.
    wrapper.attr("__name__") = "wrapper";
    wrapper.attr("__qualname__") = "extended_func_decorator.<locals>.wrapper";
    wrapper.attr("__module__") = globals.module().attr("__name__");
    wrapper.attr("__doc__") = py::none();
    py::object P = globals["P"];
    py::dict annotations;
    annotations["args"] = P.attr("args");
    annotations["kwargs"] = P.attr("kwargs");
    annotations["return"] = globals["R"];
    wrapper.attr("__annotations__") = annotations;
    return globals["functools"].attr("wraps")(self.func)(wrapper);
}

} // namespace

PYBIND11_MODULE(decorators, m) {
    globals = fb::Globals(m);
    // Docstrings open with their own "name(args)\n--\n\n" line, which CPython turns
    // into __text_signature__ (inspect.signature) and strips from __doc__.
    py::options options;
    options.disable_function_signatures();
    m.doc() = R"doc(Function decorators.

``extended_func_decorator(func, func_ext)`` joins a base function and an
extension into one callable with the base function's identity: the base
function is tried first and the extension takes over whenever it fails.)doc";

    py::module_ typing = py::module_::import("typing");
    m.attr("functools") = py::module_::import("functools");
    m.attr("Callable") = typing.attr("Callable");
    m.attr("TypeVar") = typing.attr("TypeVar");
    // Interpreters before 3.10 have ParamSpec only in typing_extensions.
    m.attr("ParamSpec") = py::hasattr(typing, "ParamSpec")
                              ? typing.attr("ParamSpec")
                              : py::module_::import("typing_extensions").attr("ParamSpec");
    m.attr("P") = m.attr("ParamSpec")("P");
    m.attr("R") = m.attr("TypeVar")("R");

    py::class_<ExtendedFunction>(
        m, "_ExtendedFunction", py::dynamic_attr(),
        R"doc(A base function extended by a fallback (see extended_func_decorator).)doc")
        .def("__call__", &ExtendedFunction::call)
        // Bound like a plain function when stored on a class.
        .def(
            "__get__",
            [](py::object self, py::object instance, py::object) -> py::object {
                if (instance.is_none()) {
                    return self;
                }
                return py::module_::import("types").attr("MethodType")(self, instance);
            },
            "instance"_a, "owner"_a = py::none())
        // Functions are copied by reference; so is this.
        .def("__copy__", [](py::object self) { return self; })
        .def(
            "__deepcopy__", [](py::object self, py::object) { return self; }, "memo"_a)
        .def("__repr__", [](py::object self) {
            const std::string name = py::str(py::getattr(self, "__qualname__", py::str("?")));
            char address[32];
            std::snprintf(address, sizeof address, "%p", static_cast<void*>(self.ptr()));
            return "<function " + name + " at " + address + ">";
        });

    m.def("extended_func_decorator", &extended_func_decorator, "func"_a, "func_ext"_a,
          R"doc(extended_func_decorator(func, func_ext)
--

Joins a base function and an extension function into one callable.

The returned wrapper carries the identity of ``func`` as ``functools.wraps``
gives it (name, qualified name, module, docstring, annotations, ``__dict__``
entries and ``__wrapped__``). A call tries ``func`` first with all arguments
(and a fresh copy of the keyword arguments) and returns its result, ``None``
included. If ``func`` raises anything at all, KeyboardInterrupt included, the
exception is discarded and ``func_ext`` is called with the same arguments; its
result is returned, or its exception propagates with the base function's
exception as its ``__context__``. The wrapper keeps no state and may be called
from several threads at once.

Args:
    func (Callable[P, R]): The base function, tried first.
    func_ext: The extension, called with the same arguments when ``func`` fails.

Returns:
    Callable[P, R]: The wrapper.

Example:
    >>> read = extended_func_decorator(ase_read, _read_ext))doc");
}
