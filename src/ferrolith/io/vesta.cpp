// ferrolith.io.vesta: VESTA structure files, read into ASE Atoms and written
// back line for line.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/text_lines.hpp"
#include "ferrolith/io/text_fields.hpp"
#include "ferrolith/io/vesta_format.hpp"

#include <pybind11/numpy.h>

#include <unordered_map>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fio = ferrolith::io;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kNoCellMessage = "CELLP block not found in VESTA file.";
constexpr const char* kNoSitesMessage = "STRUC block not found in VESTA file.";
constexpr const char* kNoVestaDataMessage =
    "Atoms object does not contain valid VestaData in its info dictionary.";
constexpr const char* kNonFiniteCell = "Non-finite number in the CELLP block:";
constexpr const char* kNonFiniteSite = "Non-finite number in the STRUC block:";
// The GROUP line of a file without a GROUP block: space group 1.
constexpr std::string_view kDefaultGroupLine = "1 1 P 1";

[[noreturn]] void raise_list_index_error() {
    throw py::index_error("list index out of range");
}

// The second line of a block (the first after its keyword line).
std::string_view second_line(const fb::TextLines& text, const std::vector<std::size_t>& block) {
    if (block.size() < 2) {
        raise_list_index_error();
    }
    return text.views()[block[1]];
}

// Fills vesta_data.raw_blocks: per key, the list of the file's own line objects.
void store_blocks(py::object vesta_data, const fb::TextLines& text,
                  const fio::VestaBlocks& blocks) {
    py::object raw_blocks = vesta_data.attr("raw_blocks");
    const py::list& objects = text.objects();
    for (std::size_t k = 0; k < blocks.keys.size(); ++k) {
        const std::vector<std::size_t>& indices = blocks.lines[k];
        py::list lines(indices.size());
        for (std::size_t i = 0; i < indices.size(); ++i) {
            lines[i] = objects[indices[i]];
        }
        raw_blocks[py::str(blocks.keys[k])] = lines;
    }
}

// Chemical symbols of the site lines; the str of each distinct symbol is made once.
py::list site_symbols(const std::vector<fio::VestaSiteFields>& sites) {
    py::list symbols(sites.size());
    std::unordered_map<std::string_view, py::str> made;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        auto found = made.find(sites[i].symbol);
        if (found == made.end()) {
            found = made.emplace(sites[i].symbol, fb::str_from_utf8(sites[i].symbol)).first;
        }
        symbols[i] = found->second;
    }
    return symbols;
}

py::object read_vesta(py::object fd) {
    const fb::TextLines text(fd);
    const std::vector<std::string_view>& lines = text.views();
    const fio::VestaBlocks blocks = fio::split_vesta_blocks(lines);

    py::object vesta_data = globals["VestaData"]();
    store_blocks(vesta_data, text, blocks);

    // Cell: every number of the CELLP line is converted, the first six are used.
    const auto cellp = blocks.find("CELLP");
    if (!cellp) {
        throw py::value_error(kNoCellMessage);
    }
    py::list cellpar;
    for (std::string_view field : fio::split_fields(second_line(text, blocks.lines[*cellp]))) {
        if (cellpar.size() < 6) {
            cellpar.append(fb::finite_python_float(field, kNonFiniteCell));
        } else {
            fb::python_float(field); // converted all the same
        }
    }

    const auto struc = blocks.find("STRUC");
    if (!struc) {
        throw py::value_error(kNoSitesMessage);
    }

    const auto group = blocks.find("GROUP");
    const std::string_view group_line =
        group ? second_line(text, blocks.lines[*group]) : kDefaultGroupLine;
    const std::vector<std::string_view> group_fields = fio::split_fields(group_line);
    if (group_fields.empty()) {
        raise_list_index_error();
    }
    const py::object spacegroup = fb::python_int(group_fields[0]);

    const std::vector<fio::VestaSiteFields> sites =
        fio::vesta_site_fields(lines, blocks.lines[*struc]);
    py::array_t<double> positions({static_cast<py::ssize_t>(sites.size()), py::ssize_t{3}});
    {
        auto xyz = positions.mutable_unchecked<2>();
        for (std::size_t i = 0; i < sites.size(); ++i) {
            for (std::size_t c = 0; c < 3; ++c) {
                xyz(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(c)) =
                    fb::finite_python_float(sites[i].coords[c], kNonFiniteSite);
            }
        }
    }
    py::list symbols = site_symbols(sites);
    // An empty list, not an empty array, so that the constructors reject a file
    // without sites instead of building an empty structure.
    py::object basis = sites.empty() ? py::object(py::list()) : py::object(positions);

    py::object atoms;
    if (spacegroup > py::int_(1)) {
        // The sites are the asymmetric unit, expanded in the first setting.
        atoms = globals["crystal"](symbols, "basis"_a = basis, "spacegroup"_a = spacegroup,
                                   "cell"_a = cellpar);
    } else {
        atoms = globals["Atoms"]("symbols"_a = symbols, "scaled_positions"_a = basis,
                                 "cell"_a = cellpar, "pbc"_a = true);
    }
    atoms.attr("info")["vesta_data"] = vesta_data;
    return atoms;
}

// The stored lines of `vesta_data`, block by block, as they are.
void write_blocks(py::object fd, py::object vesta_data) {
    py::object write = fd.attr("write");
    py::object blocks = vesta_data.attr("raw_blocks").attr("values")();
    for (py::handle block : blocks) {
        for (py::handle line : block) {
            write(line);
        }
    }
}

void write_vesta(py::object fd, py::object atoms) {
    py::object vesta_data = atoms.attr("info").attr("get")("vesta_data");
    if (!py::isinstance(vesta_data, globals["VestaData"])) {
        throw py::value_error(kNoVestaDataMessage);
    }
    // Only now is a path opened, so a refused structure leaves an existing file alone.
    globals["_write_blocks"](fd, vesta_data);
}

PyObject* vesta_data_init(PyObject* self, PyObject* /*no arguments*/) {
    PyObject* blocks = PyDict_New();
    if (blocks == nullptr) {
        return nullptr;
    }
    const int status = PyObject_SetAttrString(self, "raw_blocks", blocks);
    Py_DECREF(blocks);
    if (status != 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kInitDef = {"__init__", vesta_data_init, METH_NOARGS,
                        "__init__($self, /)\n--\n\nCreates an empty store: raw_blocks is {}."};

// VestaData is a plain Python class (its only base is object), so instances
// pickle, copy and deep-copy as Atoms.info expects.
py::object make_vesta_data_class(py::module_& m) {
    py::module_ builtins = py::module_::import("builtins");
    py::dict namespace_;
    namespace_["__module__"] = m.attr("__name__");
    namespace_["__qualname__"] = "VestaData";
    namespace_["__doc__"] =
        R"doc(Holds the data of a VESTA file that the Atoms object does not use.

Every line of the file is kept, grouped by block, so that writing back can
reconstruct the file it came from.

Attributes:
    raw_blocks (dict[str, list[str]]): block key to the block's lines, each
        line as read (terminator included), the keyword line first. Keys are
        in the order of their first appearance in the file; the lines before
        the first keyword line are under "#VESTA_FORMAT_VERSION".)doc";
    py::object cls =
        builtins.attr("type")("VestaData", py::make_tuple(builtins.attr("object")), namespace_);
    // A method descriptor of its own: pybind11 would treat any function named
    // __init__ as the constructor of one of its own classes.
    PyObject* init = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &kInitDef);
    if (init == nullptr) {
        throw py::error_already_set();
    }
    cls.attr("__init__") = py::reinterpret_steal<py::object>(init);
    cls.attr("__repr__") = py::cpp_function(
        [](py::object self) {
            py::list keys(self.attr("raw_blocks").attr("keys")());
            return py::str("VestaData with blocks: ") + py::repr(keys);
        },
        py::name("__repr__"), py::is_method(cls),
        "__repr__($self, /)\n--\n\n\"VestaData with blocks: \" and the list of block keys.");
    return cls;
}

} // namespace

PYBIND11_MODULE(vesta, m) {
    globals = fb::Globals(m);
    // Docstrings open with their own "name(args)\n--\n\n" line, which CPython turns
    // into __text_signature__ (inspect.signature) and strips from __doc__.
    py::options options;
    options.disable_function_signatures();
    m.doc() = R"doc(VESTA structure files.

``read_vesta`` builds an ASE ``Atoms`` from the cell (CELLP), space group
(GROUP) and sites (STRUC) of a VESTA file and keeps every line of the file in a
``VestaData`` under ``atoms.info["vesta_data"]``; ``write_vesta`` writes those
lines back, reproducing the file that was read.)doc";

    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    m.attr("crystal") = py::module_::import("ase.spacegroup").attr("crystal");
    py::module_ ase_utils = py::module_::import("ase.utils");
    m.attr("reader") = ase_utils.attr("reader");
    m.attr("writer") = ase_utils.attr("writer");
    m.attr("re") = py::module_::import("re");

    m.attr("VestaData") = make_vesta_data_class(m);

    // ASE's reader/writer give the file handling: a path is opened (and
    // closed), an open text file is passed through.
    py::cpp_function read(&read_vesta, py::name("read_vesta"), py::scope(m), "fd"_a,
                          R"doc(read_vesta(fd)
--

Reads a VESTA file, creates an ASE Atoms object and stores the remaining VESTA data in the info entry vesta_data.

Args:
    fd (str | PathLike | file): Path to the VESTA file, or a file opened for reading text.

Returns:
    Atoms: An ASE Atoms object with the crystal structure and VESTA metadata
    (``atoms.info["vesta_data"]``, a VestaData).

Raises:
    ValueError: The file has no CELLP block ("CELLP block not found in VESTA
        file.") or no STRUC block ("STRUC block not found in VESTA file."), a
        number in it cannot be converted, or a cell parameter or coordinate is
        NaN or infinite.
    IndexError: A CELLP or GROUP block without its data line.)doc");
    m.attr("read_vesta") = ase_utils.attr("reader")(read);

    m.attr("_write_blocks") = ase_utils.attr("writer")(py::cpp_function(
        &write_blocks, py::name("_write_blocks"), py::scope(m), "fd"_a, "vesta_data"_a,
        "_write_blocks(fd, vesta_data)\n--\n\nWrites the stored lines of `vesta_data` to `fd`, a "
        "path (opened, replaced and "
        "closed) or an open text file."));

    m.def("write_vesta", &write_vesta, "fd"_a, "atoms"_a,
          R"doc(write_vesta(fd, atoms)
--

Writes an ASE Atoms object with associated VestaData to a VESTA file.

The stored lines of ``atoms.info["vesta_data"]`` are written block by block;
the positions, cell and symbols of ``atoms`` are not consulted, so the output is
the file that was read.

Args:
    fd (str | PathLike | file): Path for the output file, or a file opened for writing text.
    atoms (Atoms): Atoms object that must contain a 'vesta_data' key in its info dictionary.

Raises:
    ValueError: ``atoms.info`` holds no VestaData ("Atoms object does not
        contain valid VestaData in its info dictionary."); nothing is written
        and no file is opened.)doc");
}
