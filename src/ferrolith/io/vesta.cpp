// ferrolith.io.vesta: VESTA structure files, read into ASE Atoms and written
// back line for line.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/text_lines.hpp"
#include "ferrolith/io/cell_parameters.hpp"
#include "ferrolith/io/text_fields.hpp"
#include "ferrolith/io/vesta_format.hpp"

#include <pybind11/numpy.h>

#include <optional>
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
constexpr const char* kNonFinitePositions =
    "The CELLP and STRUC blocks give non-finite Cartesian positions: a cell length or "
    "coordinate is too large.";
// The space-group field of a file without a GROUP block ("1 1 P 1"): space group 1.
constexpr std::string_view kDefaultGroup = "1";
// Instance attribute of VestaData recording the file's block order, set only
// when a key comes back after other blocks (a file with several phases).
constexpr const char* kFileOrderAttribute = "_file_order";

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

// The file's runs of block keys, (key, number of lines) in file order.
py::list file_order(const fio::VestaBlocks& blocks) {
    py::list runs;
    for (const fio::VestaRun& run : blocks.runs) {
        runs.append(py::make_tuple(fb::str_from_utf8(blocks.keys[run.key]), run.count));
    }
    return runs;
}

void warn_about_phases(std::size_t phases) {
    const std::string message = "VESTA file holds " + std::to_string(phases) +
                                " phases; only the first becomes the structure (all are kept "
                                "in vesta_data and written back).";
    // Level 2: the caller of read_vesta, past ASE's file-opening wrapper.
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 2) != 0) {
        throw py::error_already_set();
    }
}

// Lines of the block `key` that describe the structure: those of the first
// phase. Empty when the block is absent.
std::vector<std::size_t> structure_lines(const fio::VestaBlocks& blocks, std::string_view key) {
    const auto found = blocks.find(key);
    return found ? blocks.first_phase_lines(*found) : std::vector<std::size_t>{};
}

py::object read_vesta(py::object fd) {
    const fb::TextLines text(fd);
    const std::vector<std::string_view>& lines = text.views();
    const fio::VestaBlocks blocks = fio::split_vesta_blocks(lines);

    py::object vesta_data = globals["VestaData"]();
    store_blocks(vesta_data, text, blocks);
    if (!blocks.keys_in_file_order()) {
        vesta_data.attr(kFileOrderAttribute) = file_order(blocks);
    }

    // Cell: every number of the CELLP line is converted, the first six are used.
    const std::vector<std::size_t> cellp = structure_lines(blocks, "CELLP");
    if (cellp.empty()) {
        throw py::value_error(kNoCellMessage);
    }
    std::vector<double> cell;
    py::list cellpar;
    for (std::string_view field : fb::value_or_raise(fio::vesta_cell_fields(lines, cellp))) {
        if (cellpar.size() < 6) {
            cell.push_back(fb::finite_python_float(field, kNonFiniteCell));
            cellpar.append(cell.back());
        } else {
            fb::python_float(field); // converted all the same
        }
    }

    const std::vector<std::size_t> struc = structure_lines(blocks, "STRUC");
    if (struc.empty()) {
        throw py::value_error(kNoSitesMessage);
    }

    const std::vector<std::size_t> group = structure_lines(blocks, "GROUP");
    const std::string_view group_field =
        group.empty() ? kDefaultGroup : fb::value_or_raise(fio::vesta_group_field(lines, group));
    const py::object spacegroup = fb::python_int(group_field);
    if (!group.empty()) {
        // GROUP 0 or 231 would silently give the sites alone as a P1 cell.
        fb::require_space_group_number(spacegroup,
                                       "GROUP block: line " + std::to_string(group[1] + 1));
    }

    const std::vector<fio::VestaSiteFields> sites = fio::vesta_site_fields(lines, struc);
    py::array_t<double> positions({static_cast<py::ssize_t>(sites.size()), py::ssize_t{3}});
    {
        auto xyz = positions.mutable_unchecked<2>();
        for (std::size_t i = 0; i < sites.size(); ++i) {
            const std::string where = "STRUC block: line " + std::to_string(sites[i].line + 1);
            for (std::size_t c = 0; c < 3; ++c) {
                const double x = fb::finite_python_float(sites[i].coords[c], kNonFiniteSite);
                fb::require_fractional_coordinate(x, sites[i].coords[c], where);
                xyz(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(c)) = x;
            }
        }
    }
    py::list symbols = site_symbols(sites);
    // An empty list, not an empty array, so that the constructors reject a file
    // without sites instead of building an empty structure.
    py::object basis = sites.empty() ? py::object(py::list()) : py::object(positions);

    const std::size_t cell_line = cellp[1] + 1;
    fb::value_or_raise(fio::check_cell_parameters(
        cell, "CELLP block (line " + std::to_string(cell_line) + ")", cell_line));
    py::object atoms = fb::build_finite_structure(
        [&] {
            if (spacegroup > py::int_(1)) {
                // The sites are the asymmetric unit, expanded in the first setting.
                return globals["crystal"](symbols, "basis"_a = basis, "spacegroup"_a = spacegroup,
                                          "cell"_a = cellpar);
            }
            return globals["Atoms"]("symbols"_a = symbols, "scaled_positions"_a = basis,
                                    "cell"_a = cellpar, "pbc"_a = true);
        },
        kNonFinitePositions);
    fb::require_finite_cell_volume(atoms, "CELLP block (line " + std::to_string(cell_line) + ")");
    atoms.attr("info")["vesta_data"] = vesta_data;
    if (blocks.phases > 1) {
        warn_about_phases(blocks.phases);
    }
    return atoms;
}

// "raw_blocks['KEY'][i]", naming a stored line in messages.
std::string line_name(py::handle key, std::size_t index) {
    return "raw_blocks[" + py::repr(key).cast<std::string>() + "][" + std::to_string(index) + "]";
}

// The stored lines of `vesta_data` in the order they are written: the file's
// own order when it was recorded and still describes raw_blocks, else block by
// block in key order. Every line must be a str.
py::list lines_to_write(py::object vesta_data) {
    py::object raw_blocks = vesta_data.attr("raw_blocks");
    py::list keys(raw_blocks.attr("keys")());
    std::vector<py::object> blocks;
    blocks.reserve(keys.size());
    for (py::handle key : keys) {
        blocks.push_back(raw_blocks[key]);
    }

    py::list ordered;
    auto append = [&](std::size_t k, std::size_t index, py::handle line) {
        if (!PyUnicode_Check(line.ptr())) {
            throw py::type_error(line_name(keys[k], index) + " must be a str, not " +
                                 fb::type_name(line));
        }
        ordered.append(line);
    };

    // The file's order applies while raw_blocks still holds lists under str
    // keys, with the lines counted when the file was read.
    py::object recorded = py::getattr(vesta_data, kFileOrderAttribute, py::none());
    std::optional<std::vector<fio::VestaSlice>> slices;
    if (PyList_Check(recorded.ptr())) {
        std::vector<std::string> names;
        std::vector<std::size_t> sizes;
        bool plain = true;
        for (std::size_t k = 0; k < blocks.size() && plain; ++k) {
            plain = PyUnicode_Check(keys[k].ptr()) && PyList_Check(blocks[k].ptr());
            if (plain) {
                names.push_back(keys[k].cast<std::string>());
                sizes.push_back(py::len(blocks[k]));
            }
        }
        std::vector<std::pair<std::string, std::size_t>> runs;
        for (py::handle run : recorded) {
            if (!plain) {
                break;
            }
            plain = PyTuple_Check(run.ptr()) && PyTuple_GET_SIZE(run.ptr()) == 2 &&
                    PyUnicode_Check(PyTuple_GET_ITEM(run.ptr(), 0)) &&
                    PyLong_Check(PyTuple_GET_ITEM(run.ptr(), 1));
            if (plain) {
                const long long count = PyLong_AsLongLong(PyTuple_GET_ITEM(run.ptr(), 1));
                if (count < 0) {
                    PyErr_Clear(); // overflow or negative: not a count read from a file
                    plain = false;
                    break;
                }
                runs.emplace_back(py::reinterpret_borrow<py::str>(PyTuple_GET_ITEM(run.ptr(), 0))
                                      .cast<std::string>(),
                                  static_cast<std::size_t>(count));
            }
        }
        if (plain) {
            slices = fio::vesta_file_order(names, sizes, runs).value;
        }
    }

    if (slices) {
        for (const fio::VestaSlice& slice : *slices) {
            py::list block = py::reinterpret_borrow<py::list>(blocks[slice.key]);
            for (std::size_t i = slice.begin; i < slice.begin + slice.count; ++i) {
                append(slice.key, i, block[i]);
            }
        }
    } else {
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            std::size_t index = 0;
            for (py::handle line : blocks[k]) {
                append(k, index++, line);
            }
        }
    }
    return ordered;
}

// The stored lines of `vesta_data`, in one write: a refused line leaves an
// open file as it was.
void write_blocks(py::object fd, py::object vesta_data) {
    py::list lines = lines_to_write(vesta_data);
    fd.attr("write")(py::str("").attr("join")(lines));
}

void write_vesta(py::object fd, py::object atoms) {
    py::object vesta_data = atoms.attr("info").attr("get")("vesta_data");
    if (!py::isinstance(vesta_data, globals["VestaData"])) {
        throw py::value_error(kNoVestaDataMessage);
    }
    py::object write_blocks = globals["_write_blocks"];
    if (fb::is_path_like(fd)) {
        // A failure part-way (a refused line, a full disk) leaves the target as it was.
        fb::write_file_atomically(
            fd, [&](py::object temporary) { write_blocks(temporary, vesta_data); });
    } else {
        write_blocks(fd, vesta_data);
    }
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

A file with several phases (several CRYSTAL blocks) gives the structure of the
first phase, with a UserWarning; all its lines are kept and written back.

Raises:
    ValueError: The file has no CELLP block ("CELLP block not found in VESTA
        file.") or no STRUC block ("STRUC block not found in VESTA file."); a
        CELLP or GROUP block lacks its data line (the message names the line);
        a number cannot be converted; a cell parameter or coordinate is NaN or
        infinite; the GROUP number is not one of the 230 space groups; a
        fractional coordinate lies beyond +-1e6; the cell angles describe no
        cell, a cell vector is zero or the cell's volume is zero or infinite;
        or the Cartesian positions overflow.)doc");
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

The stored lines of ``atoms.info["vesta_data"]`` are written as they were
read, in the file's own order (a file with several phases comes back as it
was); the positions, cell and symbols of ``atoms`` are not consulted. When
``raw_blocks`` has been changed, its blocks are written one after the other in
key order. A path is written through a temporary file beside it, renamed over
it at the end: on any failure an existing file is left as it was. An open file
gets all the text in one write.

Args:
    fd (str | PathLike | file): Path for the output file, or a file opened for writing text.
    atoms (Atoms): Atoms object that must contain a 'vesta_data' key in its info dictionary.

Raises:
    ValueError: ``atoms.info`` holds no VestaData ("Atoms object does not
        contain valid VestaData in its info dictionary."); nothing is written
        and no file is opened.
    TypeError: A stored line is not a str (the message names it).)doc");
}
