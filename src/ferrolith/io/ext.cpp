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

void write_ext(py::object filename, py::object atoms, py::args args, py::kwargs kwargs) {
    if (has_bcs_suffix(filename)) {
        globals["write_bcs"](filename, atoms, *args, **kwargs);
    } else {
        globals["ase_write"](filename, atoms, *args, **kwargs);
    }
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
``ferrolith.io.bcs`` handles it. Import ``read``, ``write`` and ``Trajectory``
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
    m.def("_write_ext", &write_ext, "filename"_a, "atoms"_a,
          R"doc(_write_ext(filename, atoms, *args, **kwargs)
--

Writes a ".bcs" file with write_bcs, any other file with ASE's write.

Args:
    filename: The file name.
    atoms: The structure; further positional and keyword arguments are passed
        on to the chosen writer (``symprec`` for write_bcs).)doc");

    py::object decorate = m.attr("extended_func_decorator");
    m.attr("read") = decorate(m.attr("ase_read"), m.attr("_read_ext"));
    m.attr("write") = decorate(m.attr("ase_write"), m.attr("_write_ext"));
    py::list all;
    all.append("read");
    all.append("write");
    all.append("Trajectory");
    m.attr("__all__") = all;
}
