// ferrolith.io.ext: ASE's generic read and write, extended so that ".bcs"
// files are handled by the BCS reader and writer when ASE cannot handle them.
#include "ferrolith/_binding/binding.hpp"

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

// The file name's last suffix, in lower case, is ".bcs" (pathlib's reading
// of the suffix: "model.bcs.gz" and "model_bcs" are not BCS files).
bool has_bcs_suffix(const py::object& filename) {
    py::object suffix = globals["Path"](filename).attr("suffix").attr("lower")();
    return suffix.equal(py::str(".bcs"));
}

py::object read_ext(py::object filename, py::args args, py::kwargs kwargs) {
    fb::require_exact_str(filename, "filename");
    if (has_bcs_suffix(filename)) {
        return globals["read_bcs"](filename); // index, format and the like do not apply
    }
    return globals["ase_read"](filename, *args, **kwargs);
}

// ASE formats that write more than the one file named (a directory, or a
// second file beside it named after the first): they are written in place.
bool writes_several_files(const py::object& format) {
    return py::bool_(globals["MULTI_FILE_FORMATS"].attr("__contains__")(format));
}

// ASE's write, with a path written through a temporary file renamed over it
// at the end, so that a failure (a bad keyword, a full disk) leaves an
// existing file as it was. The format is guessed from the real name first, as
// ASE would. Open files, standard output ("-") and bytes names go to ASE as
// they are.
py::object write_ase(py::args args, py::kwargs kwargs) {
    py::dict arguments = globals["WRITE_SIGNATURE"].attr("bind")(*args, **kwargs).attr("arguments");
    py::object filename = arguments["filename"];
    // What ASE takes for a file name: a str or a pathlib path.
    const bool path =
        PyUnicode_Check(filename.ptr()) || py::isinstance(filename, globals["PurePath"]);
    if (!path || py::str("-").equal(filename)) {
        return globals["ase_write"](*args, **kwargs);
    }
    py::object name = globals["fspath"](filename);
    py::object format = arguments.attr("get")("format", py::none());
    if (format.is_none()) {
        format = globals["filetype"](name, "read"_a = false);
    }
    if (writes_several_files(format)) {
        return globals["ase_write"](*args, **kwargs);
    }
    // The call to make on the temporary file: name and images first, the
    // rest by keyword.
    py::dict named;
    for (auto item : arguments) {
        const std::string key = py::str(item.first).cast<std::string>();
        if (key == "kwargs") {
            for (auto extra : py::reinterpret_borrow<py::dict>(item.second)) {
                named[extra.first] = extra.second;
            }
        } else if (key != "filename" && key != "images") {
            named[item.first] = item.second;
        }
    }
    named["format"] = format;
    py::object images = arguments["images"];
    const bool append = py::bool_(arguments.attr("get")("append", false));
    py::object result = py::none(); // what some of ASE's writers return
    fb::write_file_atomically(name, [&](py::object temporary) {
        if (append && globals["isfile"](name).cast<bool>()) {
            globals["copyfile"](name, temporary); // appended to a copy, renamed over the original
        }
        result = globals["ase_write"](temporary, images, **named);
    });
    return result;
}

py::object write_ext(py::object filename, py::object atoms, py::args args, py::kwargs kwargs) {
    if (has_bcs_suffix(filename)) {
        globals["write_bcs"](filename, atoms, *args, **kwargs);
        return py::none();
    }
    return globals["_write_ase"](filename, atoms, *args, **kwargs);
}

} // namespace

PYBIND11_MODULE(ext, m) {
    globals = fb::Globals(m);
    // Docstrings open with their own "name(args)\n--\n\n" line, which CPython turns
    // into __text_signature__ (inspect.signature) and strips from __doc__.
    py::options options;
    options.disable_function_signatures();
    m.doc() = R"doc(ASE's structure reader and writer, extended with BCS files.

``read`` and ``write`` have the names, signatures and documentation of
``ase.io.read`` and ``ase.io.write``. ASE is tried first; when it fails on a
file whose name ends in ".bcs" (any case), the BCS reader or writer of
``ferrolith.io.bcs`` handles it. ``write`` to a path writes a temporary file
beside it and renames it over the path at the end, so a failure (a bad
keyword, a full disk) leaves an existing file as it was; ``append=True``
appends to a copy. Formats that write more than one file (pov, xtd,
bundletrajectory) are written in place. Import ``read``, ``write`` and ``Trajectory``
from here instead of from ``ase.io``.)doc";

    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    py::module_ typing = py::module_::import("typing");
    m.attr("List") = typing.attr("List");
    m.attr("Union") = typing.attr("Union");
    m.attr("Atoms") = py::module_::import("ase.atoms").attr("Atoms");

    py::module_ ase_io = py::module_::import("ase.io");
    m.attr("ase_read") = ase_io.attr("read");
    m.attr("ase_write") = ase_io.attr("write");
    m.attr("Trajectory") = ase_io.attr("Trajectory");
    m.attr("filetype") = py::module_::import("ase.io.formats").attr("filetype");
    // The arguments of a write are ASE's, whatever ase_write is replaced by.
    m.attr("WRITE_SIGNATURE") =
        py::module_::import("inspect").attr("signature")(m.attr("ase_write"));
    py::module_ os = py::module_::import("os");
    m.attr("fspath") = os.attr("fspath");
    m.attr("PurePath") = py::module_::import("pathlib").attr("PurePath");
    m.attr("isfile") = os.attr("path").attr("isfile");
    m.attr("copyfile") = py::module_::import("shutil").attr("copyfile");
    // pov: a .pov and an .ini file; xtd: an .arc file beside it for several
    // images; bundletrajectory: a directory.
    m.attr("MULTI_FILE_FORMATS") =
        py::module_::import("builtins")
            .attr("frozenset")(py::make_tuple("pov", "xtd", "bundletrajectory"));
    py::module_ bcs = py::module_::import("ferrolith.io.bcs");
    m.attr("read_bcs") = bcs.attr("read_bcs");
    m.attr("write_bcs") = bcs.attr("write_bcs");
    m.attr("extended_func_decorator") =
        py::module_::import("ferrolith.core.decorators").attr("extended_func_decorator");

    m.def("_read_ext", &read_ext, "filename"_a,
          R"doc(_read_ext(filename, *args, **kwargs)
--

Reads a ".bcs" file with read_bcs, any other file with ASE's read.

Args:
    filename (str): The file name; it must be exactly a str.
    *args, **kwargs: Passed on to ASE's read; ignored for ".bcs" files.

Returns:
    Union[Atoms, List[Atoms]]: What the chosen reader returns.

Raises:
    TypeError: ``filename`` is not a str (a path object, bytes, None, a subclass of str).)doc");
    m.def("_write_ase", &write_ase,
          R"doc(_write_ase(*args, **kwargs)
--

ASE's write (same arguments), with a path written through a temporary file
beside it that is renamed over the path at the end: a failure, a bad keyword
or a full disk, leaves an existing file as it was. ``append=True`` appends to
a copy of the file. Open files, "-" (standard output) and the formats that
write more than one file (``MULTI_FILE_FORMATS``) are written as ASE writes
them.)doc");
    m.def("_write_ext", &write_ext, "filename"_a, "atoms"_a,
          R"doc(_write_ext(filename, atoms, *args, **kwargs)
--

Writes a ".bcs" file with write_bcs, any other file with _write_ase.

Args:
    filename: The file name.
    atoms: The structure; further positional and keyword arguments are passed
        on to the chosen writer (``symprec`` for write_bcs).)doc");

    py::object decorate = m.attr("extended_func_decorator");
    m.attr("read") = decorate(m.attr("ase_read"), m.attr("_read_ext"));
    // The atomic write stands in for ASE's, under ASE's name, signature and
    // documentation.
    m.attr("write") = decorate(m.attr("_write_ase"), m.attr("_write_ext"));
    py::module_::import("functools").attr("update_wrapper")(m.attr("write"), m.attr("ase_write"));
    py::list all;
    all.append("read");
    all.append("write");
    all.append("Trajectory");
    m.attr("__all__") = all;
}
