// Shared support for ferrolith's extension modules.
//
// One home for what every binding needs: module globals resolved at call time,
// printing through sys.stdout, exact-type argument checks, record classes and
// exceptions with exact payloads. Kernels never include this header.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolith/core/outcome.hpp"

namespace ferrolith::binding {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------

/// Resolves `name` as Python resolves a global of `module`: the module's own
/// namespace first, then builtins; NameError when neither has it. Called on
/// every use, so `monkeypatch.setattr(module, name, fake)` takes effect.
py::object lookup_global(py::handle module, const char* name);

/// The module object registered under `dotted_name` in sys.modules, imported if
/// it is not there yet.
py::module_ module_named(const char* dotted_name);

/// Registers, for every ferrolith module, the translation of a std::bad_alloc
/// that no guard_memory caught into a MemoryError with a sentence instead of
/// pybind11's bare "std::bad_alloc". Called by Globals at module init
/// (repeats are harmless).
void translate_bad_alloc();

/// A handle on one extension module's namespace, for looking names up at call
/// time. Meant for a namespace-scope static set in the module's init: it keeps
/// one reference to the module for the life of the process and releases
/// nothing at exit, when the interpreter may already be gone. Setting it up
/// also registers translate_bad_alloc, so that every module has it.
class Globals {
public:
    Globals() = default;
    explicit Globals(py::handle module) : module_(module.inc_ref()) { translate_bad_alloc(); }
    /// The current value of the module-level name (see lookup_global).
    py::object operator[](const char* name) const { return lookup_global(module_, name); }
    py::module_ module() const { return py::reinterpret_borrow<py::module_>(module_); }

private:
    py::handle module_;
};

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

/// Writes `text` and a line feed to the current sys.stdout, as print() does.
void print_line(std::string_view text);

/// Writes `text` as it is (no line feed added) to the current sys.stdout.
void write_stdout(std::string_view text);

/// Writes `text` and a line feed to the current sys.stderr: notes and warnings
/// that must not mix with a command's fixed standard output.
void print_stderr_line(std::string_view text);

// ---------------------------------------------------------------------------
// Argument checks. Messages follow CPython's wording: "<name> must be <what>,
// not <type>".
// ---------------------------------------------------------------------------

/// `type(obj).__name__`.
std::string type_name(py::handle obj);

/// Raises TypeError unless `obj` is exactly a list (subclasses rejected).
void require_exact_list(py::handle obj, const char* arg_name);
/// Raises TypeError unless `obj` is exactly a tuple.
void require_exact_tuple(py::handle obj, const char* arg_name);
/// Raises TypeError unless `obj` is exactly a dict.
void require_exact_dict(py::handle obj, const char* arg_name);
/// Raises TypeError unless `obj` is exactly a str.
void require_exact_str(py::handle obj, const char* arg_name);
/// Raises TypeError unless `obj` is exactly an int (bool rejected); an int
/// beyond 64 bits raises OverflowError naming the argument (int64_of).
long long require_exact_int(py::handle obj, const char* arg_name);

/// An integer (int, numpy integer, anything with __index__) as a 64-bit
/// integer: TypeError for a non-integer, OverflowError "<arg_name> = <value>
/// is too large: it must fit in a 64-bit integer" beyond 64 bits.
long long int64_of(py::handle obj, const char* arg_name);

/// Raises the OverflowError of int64_of for the Python int `value`.
[[noreturn]] void raise_int_too_large(py::handle value, const char* arg_name);

/// The decimal text of the Python int `value`, or "an integer of N digits"
/// when that text would be long (messages about 10**400 stay short).
std::string describe_int(py::handle value);

/// A number declared as float: int, float, bool and anything with __float__ or
/// __index__ (numpy scalars) are converted; anything else raises TypeError,
/// an int beyond the doubles OverflowError naming the argument.
double to_float(py::handle obj, const char* arg_name);

/// Same as to_float but None passes through as an empty optional.
std::optional<double> to_float_or_none(py::handle obj, const char* arg_name);

/// A value declared as an optional float: exactly a float (no subclass, no int)
/// or None; anything else raises TypeError naming the argument.
std::optional<double> exact_float_or_none(py::handle obj, const char* arg_name);

/// True when `obj` is None or exactly a dict; raises TypeError otherwise.
void require_dict_or_none(py::handle obj, const char* arg_name);

/// A new Python list of the given values, e.g. list_of(1, 1, 1) for an
/// argparse default.
template <typename... T> py::list list_of(T&&... items) {
    py::list list;
    (list.append(py::cast(std::forward<T>(items))), ...);
    return list;
}

/// `a > b` evaluated by Python (rich comparison).
bool python_greater(py::handle a, py::handle b);

/// A positive, finite symmetry tolerance (Å) for spglib, which crashes on NaN
/// or negative values and spins for a very long time on 0. Ints are accepted;
/// anything else raises TypeError, a value out of range ValueError
/// "<arg_name> must be a positive finite number, not <value>".
double positive_symprec(py::handle obj, const char* arg_name = "symprec");

/// Raises ValueError unless the cell and every position of the ASE Atoms
/// `atoms` are finite numbers ("The cell of the structure holds non-finite
/// numbers." / "The structure has non-finite atomic positions."). Checked
/// before a structure reaches spglib or a file writer.
void require_finite_structure(py::handle atoms);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

/// True for a file name (str, bytes or os.PathLike), false for an open file.
bool is_path_like(py::handle target);

/// Writes the file `target` (a path) in one atomic step: `write` is called
/// with the path of a temporary file in the target's folder (its name keeps
/// the target's suffix, so format guessing by name still works) and, once it
/// returns, the temporary file is flushed to disk and renamed over `target`
/// (keeping an existing target's permissions). On any exception, including
/// KeyboardInterrupt and a full disk, the temporary file is removed and
/// `target` is left as it was. A symbolic link is followed (the link stays,
/// the file it points to is replaced); an existing target that is not a
/// regular file (a device such as /dev/stdout, a named pipe) is written in
/// place, since it cannot be replaced by renaming.
void write_file_atomically(py::handle target, const std::function<void(py::object)>& write);

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

/// One field of a record class.
struct RecordField {
    const char* name;
    py::object type;                 ///< annotation (a Python type)
    std::optional<py::object> deflt; ///< default value, if any
};

/// Builds a dataclass named `class_name` with the given fields and docstring,
/// owned by `module` (its __module__ and qualified name point there), and sets
/// it as a module attribute. Dataclasses give field-wise equality, the
/// name=value repr, no hash, fields() and asdict().
py::object make_record_class(py::module_& module, const char* class_name,
                             const std::vector<RecordField>& fields, const char* doc);

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

/// The value of a kernel outcome; a failed one raises ValueError with its message.
template <typename T> T value_or_raise(core::Outcome<T>&& outcome) {
    if (!outcome.value) {
        throw py::value_error(outcome.error);
    }
    return std::move(*outcome.value);
}

/// Raises MemoryError "Out of memory: <what> is too large for this
/// machine's memory." — `what` names the table, list or structure.
[[noreturn]] void raise_memory_error(const std::string& what);

/// Runs `work`; a std::bad_alloc inside it becomes raise_memory_error(what),
/// so no path ends in a bare "std::bad_alloc".
template <typename F> decltype(auto) guard_memory(const std::string& what, F&& work) {
    try {
        return std::forward<F>(work)();
    } catch (const std::bad_alloc&) {
        raise_memory_error(what);
    }
}

/// Raises KeyError whose single argument is `key` (as a dict lookup does).
[[noreturn]] void raise_key_error(py::handle key);

/// Raises ZeroDivisionError with CPython's text for float division.
[[noreturn]] void raise_float_division_by_zero();

// ---------------------------------------------------------------------------
// Python's own number conversions, for text formats whose interface says
// "converted to float" / "converted to an integer".
// ---------------------------------------------------------------------------

/// float(text) exactly as Python does it (underscores, blanks, inf/nan, ...);
/// raises Python's ValueError on failure. Plain decimal numbers take a fast
/// path that gives the same double.
double python_float(std::string_view text);

/// int(text) exactly as Python does it; raises Python's ValueError on failure.
/// Returns the Python int (arbitrary size).
py::object python_int(std::string_view text);

/// format(value, format_spec) as Python computes it, e.g. python_format(x, ".3f").
std::string python_format(py::handle value, const char* format_spec);

} // namespace ferrolith::binding
