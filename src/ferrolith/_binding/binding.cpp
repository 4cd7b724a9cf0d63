#include "ferrolith/_binding/binding.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace ferrolith::binding {

using namespace pybind11::literals;

py::object lookup_global(py::handle module, const char* name) {
    PyObject* dict = PyModule_GetDict(module.ptr()); // borrowed
    if (dict == nullptr) {
        throw py::error_already_set();
    }
    PyObject* value = PyDict_GetItemString(dict, name); // borrowed, no error set
    if (value != nullptr) {
        return py::reinterpret_borrow<py::object>(value);
    }
    py::object builtins = py::module_::import("builtins");
    if (py::hasattr(builtins, name)) {
        return builtins.attr(name);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::module_ module_named(const char* dotted_name) {
    return py::module_::import(dotted_name);
}

void write_stdout(std::string_view text) {
    py::object stdout_ = py::module_::import("sys").attr("stdout");
    if (stdout_.is_none()) {
        return; // print() is silent without a stdout (pythonw, closed stream)
    }
    stdout_.attr("write")(py::str(text.data(), text.size()));
}

void print_line(std::string_view text) {
    py::object stdout_ = py::module_::import("sys").attr("stdout");
    if (stdout_.is_none()) {
        return;
    }
    py::object write = stdout_.attr("write");
    write(py::str(text.data(), text.size()));
    write(py::str("\n"));
}

void print_stderr_line(std::string_view text) {
    py::object stderr_ = py::module_::import("sys").attr("stderr");
    if (stderr_.is_none()) {
        return;
    }
    py::object write = stderr_.attr("write");
    write(py::str(text.data(), text.size()));
    write(py::str("\n"));
}

std::string type_name(py::handle obj) {
    return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

namespace {
[[noreturn]] void raise_type_error(const char* arg_name, const char* expected, py::handle obj) {
    throw py::type_error(std::string(arg_name) + " must be " + expected + ", not " +
                         type_name(obj));
}
} // namespace

void require_exact_list(py::handle obj, const char* arg_name) {
    if (!PyList_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a list", obj);
    }
}

void require_exact_tuple(py::handle obj, const char* arg_name) {
    if (!PyTuple_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a tuple", obj);
    }
}

void require_exact_dict(py::handle obj, const char* arg_name) {
    if (!PyDict_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a dict", obj);
    }
}

void require_exact_str(py::handle obj, const char* arg_name) {
    if (!PyUnicode_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a str", obj);
    }
}

long long require_exact_int(py::handle obj, const char* arg_name) {
    if (!PyLong_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "an int", obj);
    }
    return int64_of(obj, arg_name);
}

std::string describe_int(py::handle value) {
    std::string text = py::str(value).cast<std::string>();
    if (text.size() > 24) {
        const std::size_t digits = text.size() - (text.front() == '-' ? 1 : 0);
        return "an integer of " + std::to_string(digits) + " digits";
    }
    return text;
}

long long int64_of(py::handle obj, const char* arg_name) {
    py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!as_int) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0) {
        raise_int_too_large(as_int, arg_name);
    }
    return value;
}

void raise_int_too_large(py::handle value, const char* arg_name) {
    PyErr_SetString(PyExc_OverflowError, (std::string(arg_name) + " = " + describe_int(value) +
                                          " is too large: it must fit in a 64-bit integer")
                                             .c_str());
    throw py::error_already_set();
}

double to_float(py::handle obj, const char* arg_name) {
    if (PyFloat_CheckExact(obj.ptr())) {
        return PyFloat_AS_DOUBLE(obj.ptr());
    }
    // Strings, None and containers have neither __float__ nor __index__; only
    // real numbers get through, which is what "declared as float" means.
    PyTypeObject* type = Py_TYPE(obj.ptr());
    const bool numeric =
        type->tp_as_number != nullptr &&
        (type->tp_as_number->nb_float != nullptr || type->tp_as_number->nb_index != nullptr);
    if (!numeric) {
        raise_type_error(arg_name, "a real number", obj);
    }
    double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError) && PyLong_Check(obj.ptr())) {
            // int(10**400): say which argument, not only "int too large".
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError,
                            (std::string(arg_name) + " = " + describe_int(obj) +
                             " is too large to convert to a float")
                                .c_str());
        }
        throw py::error_already_set();
    }
    return value;
}

std::optional<double> to_float_or_none(py::handle obj, const char* arg_name) {
    if (obj.is_none()) {
        return std::nullopt;
    }
    return to_float(obj, arg_name);
}

std::optional<double> exact_float_or_none(py::handle obj, const char* arg_name) {
    if (obj.is_none()) {
        return std::nullopt;
    }
    if (!PyFloat_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a float or None", obj);
    }
    return PyFloat_AS_DOUBLE(obj.ptr());
}

void require_dict_or_none(py::handle obj, const char* arg_name) {
    if (!obj.is_none() && !PyDict_CheckExact(obj.ptr())) {
        raise_type_error(arg_name, "a dict or None", obj);
    }
}

bool python_greater(py::handle a, py::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

py::object make_record_class(py::module_& module, const char* class_name,
                             const std::vector<RecordField>& fields, const char* doc) {
    py::module_ dataclasses = py::module_::import("dataclasses");
    py::list field_list;
    for (const RecordField& field : fields) {
        if (field.deflt) {
            py::object default_field = dataclasses.attr("field")("default"_a = *field.deflt);
            field_list.append(py::make_tuple(field.name, field.type, default_field));
        } else {
            field_list.append(py::make_tuple(field.name, field.type));
        }
    }
    py::dict namespace_;
    namespace_["__doc__"] = py::str(doc);
    py::object cls =
        dataclasses.attr("make_dataclass")(class_name, field_list, "namespace"_a = namespace_);
    cls.attr("__module__") = module.attr("__name__");
    cls.attr("__qualname__") = py::str(class_name);
    module.attr(class_name) = cls;
    return cls;
}

void raise_memory_error(const std::string& what) {
    PyErr_SetString(
        PyExc_MemoryError,
        ("Out of memory: " + what + " is too large for this machine's memory.").c_str());
    throw py::error_already_set();
}

void translate_bad_alloc() {
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const std::bad_alloc&) {
            PyErr_SetString(PyExc_MemoryError,
                            "Out of memory: the input (a structure, a cutoff or a parameter "
                            "table) needs more memory than this machine has.");
        }
    });
}

void raise_key_error(py::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw py::error_already_set();
}

void raise_float_division_by_zero() {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
}

namespace {
// True for texts that Python and std::from_chars read identically:
// [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?
bool is_plain_decimal(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    auto digits = [&](size_t& k) {
        const size_t start = k;
        while (k < n && s[k] >= '0' && s[k] <= '9') {
            ++k;
        }
        return k - start;
    };
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    size_t mantissa = digits(i);
    if (i < n && s[i] == '.') {
        ++i;
        mantissa += digits(i);
    }
    if (mantissa == 0) {
        return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        if (digits(i) == 0) {
            return false;
        }
    }
    return i == n;
}
} // namespace

double python_float(std::string_view text) {
    if (is_plain_decimal(text)) {
        std::string_view body = text;
        if (!body.empty() && body.front() == '+') {
            body.remove_prefix(1); // from_chars has no leading '+'
        }
        double value = 0.0;
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
        if (ec == std::errc() && end == body.data() + body.size()) {
            return value;
        }
        // Out-of-range exponents and the like: Python decides.
    }
    py::str as_str(text.data(), text.size());
    PyObject* result = PyFloat_FromString(as_str.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    const double value = PyFloat_AS_DOUBLE(result);
    Py_DECREF(result);
    return value;
}

py::object python_int(std::string_view text) {
    // Fast path: optional sign and up to 18 digits, which int() reads the same.
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (!body.empty() && body.size() <= 18 &&
        body.find_first_not_of("0123456789") == std::string_view::npos) {
        long long value = 0;
        std::from_chars(body.data(), body.data() + body.size(), value);
        return py::int_(negative ? -value : value);
    }
    py::str as_str(text.data(), text.size());
    PyObject* result = PyLong_FromUnicodeObject(as_str.ptr(), 10);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

std::string python_format(py::handle value, const char* format_spec) {
    py::str spec_str(format_spec);
    PyObject* result = PyObject_Format(value.ptr(), spec_str.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(result).cast<std::string>();
}

double positive_symprec(py::handle obj, const char* arg_name) {
    const double value = to_float(obj, arg_name);
    if (!(value > 0.0) || !std::isfinite(value)) {
        throw py::value_error(std::string(arg_name) + " must be a positive finite number, not " +
                              py::repr(py::float_(value)).cast<std::string>());
    }
    return value;
}

namespace {
bool all_finite(py::handle array_like) {
    py::object np = py::module_::import("numpy");
    py::object values = np.attr("asarray")(array_like, "dtype"_a = np.attr("float64"));
    return np.attr("isfinite")(values).attr("all")().cast<bool>();
}
} // namespace

void require_finite_structure(py::handle atoms) {
    if (!all_finite(atoms.attr("cell").attr("array"))) {
        throw py::value_error("The cell of the structure holds non-finite numbers.");
    }
    if (!all_finite(atoms.attr("positions"))) {
        throw py::value_error("The structure has non-finite atomic positions.");
    }
}

namespace {
// Clean-up after a failed write: the write's own error is what the caller
// must see, so a failure to remove the temporary file is not reported.
void remove_quietly(py::handle path) {
    try {
        py::module_::import("os").attr("unlink")(path);
    } catch (py::error_already_set&) {
    }
}
} // namespace

bool is_path_like(py::handle target) {
    return PyUnicode_Check(target.ptr()) || PyBytes_Check(target.ptr()) ||
           py::isinstance(target, py::module_::import("os").attr("PathLike"));
}

void write_file_atomically(py::handle target, const std::function<void(py::object)>& write) {
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    py::object name = os.attr("fsdecode")(target);
    // A symbolic link stays a link: the file it points to is replaced. A
    // device or named pipe (/dev/stdout, a FIFO) cannot be renamed over and
    // is written in place.
    py::object real = os_path.attr("realpath")(name);
    if (os_path.attr("exists")(real).cast<bool>() && !os_path.attr("isfile")(real).cast<bool>()) {
        write(name);
        return;
    }
    py::object final_path = py::module_::import("pathlib").attr("Path")(real);
    py::object folder = final_path.attr("parent");
    py::object stem = final_path.attr("stem");
    py::object suffix = final_path.attr("suffix");
    // The temporary file lives beside the target, so the final rename stays
    // on one file system and is atomic.
    py::tuple made =
        py::module_::import("tempfile")
            .attr("mkstemp")("dir"_a = folder, "prefix"_a = py::str(".") + stem + py::str("."),
                             "suffix"_a = suffix);
    os.attr("close")(made[0]);
    py::object temporary = made[1];
    try {
        write(temporary);
        // mkstemp creates the file private; give it the mode an ordinary
        // write would have, or the mode of the file it replaces.
        int mode;
        if (final_path.attr("exists")().cast<bool>()) {
            mode = py::module_::import("stat")
                       .attr("S_IMODE")(os.attr("stat")(final_path).attr("st_mode"))
                       .cast<int>();
        } else {
            const int mask = os.attr("umask")(0).cast<int>();
            os.attr("umask")(mask);
            mode = 0666 & ~mask;
        }
        os.attr("chmod")(temporary, mode);
        const int fd = os.attr("open")(temporary, os.attr("O_RDONLY")).cast<int>();
        try {
            os.attr("fsync")(fd);
        } catch (...) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
        os.attr("replace")(temporary, final_path);
    } catch (...) {
        remove_quietly(temporary);
        throw;
    }
}

} // namespace ferrolith::binding
