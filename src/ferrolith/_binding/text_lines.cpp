#include "ferrolith/_binding/text_lines.hpp"

#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/io/cell_parameters.hpp"

#include <cmath>

namespace ferrolith::binding {

TextLines::TextLines(py::handle fd) {
    // A fresh list: the views below point into these str objects, which must
    // outlive any list the file object might keep and change.
    objects_ = py::list(fd.attr("readlines")());
    views_.reserve(objects_.size());
    for (py::handle line : objects_) {
        if (!PyUnicode_Check(line.ptr())) {
            throw py::type_error("expected str lines from a text file, not " + type_name(line));
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
        if (data != nullptr) {
            views_.emplace_back(data, static_cast<std::size_t>(size));
            continue;
        }
        PyErr_Clear(); // lone surrogates: keep them through "surrogatepass"
        PyObject* bytes = PyUnicode_AsEncodedString(line.ptr(), "utf-8", "surrogatepass");
        if (bytes == nullptr) {
            throw py::error_already_set();
        }
        encoded_.emplace_back(PyBytes_AS_STRING(bytes),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        Py_DECREF(bytes);
        views_.emplace_back(encoded_.back());
    }
}

double finite_python_float(std::string_view text, const char* message) {
    const double value = python_float(text);
    if (!std::isfinite(value)) {
        throw py::value_error(std::string(message) + " " +
                              py::repr(str_from_utf8(text)).cast<std::string>());
    }
    return value;
}

void require_space_group_number(py::handle number, const std::string& where) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0 || n < 1 || n > 230) {
        throw py::value_error(where + ": the space-group number " +
                              py::str(number).cast<std::string>() + " is not between 1 and 230.");
    }
}

void require_fractional_coordinate(double value, std::string_view text, const std::string& where) {
    if (std::abs(value) > io::kMaxFractionalCoordinate) {
        throw py::value_error(where + ": the fractional coordinate " +
                              py::repr(str_from_utf8(text)).cast<std::string>() +
                              " is beyond +-1e6, which places no atom in the cell.");
    }
}

void require_finite_cell_volume(py::handle atoms, const std::string& where) {
    using namespace pybind11::literals;
    py::object np = py::module_::import("numpy");
    py::object quiet = np.attr("errstate")("all"_a = "ignore");
    quiet.attr("__enter__")();
    double volume = 0.0;
    try {
        volume = np.attr("linalg").attr("det")(atoms.attr("cell").attr("array")).cast<double>();
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    if (!std::isfinite(volume)) {
        throw py::value_error(where + ": the cell volume is infinite.");
    }
}

py::str str_from_utf8(std::string_view text) {
    PyObject* result =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(result);
}

py::object build_finite_structure(const std::function<py::object()>& build, const char* message) {
    using namespace pybind11::literals;
    py::object quiet =
        py::module_::import("numpy").attr("errstate")("over"_a = "ignore", "invalid"_a = "ignore");
    quiet.attr("__enter__")();
    py::object atoms;
    try {
        atoms = build();
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    try {
        require_finite_structure(atoms);
    } catch (const py::value_error&) {
        throw py::value_error(message); // the reader's words: which numbers are at fault
    }
    return atoms;
}

} // namespace ferrolith::binding
