// ferrolith.io.bcs: BCS structure files (space group, lattice parameters and
// the asymmetric unit with Wyckoff positions).
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/text_lines.hpp"
#include "ferrolith/io/bcs_format.hpp"
#include "ferrolith/io/cell_parameters.hpp"
#include "ferrolith/io/text_fields.hpp"

#include <pybind11/numpy.h>

#include <limits>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fio = ferrolith::io;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kAnalysisFailedLine = "!!!ERROR: Symmetry analysis with spglib failed.";
constexpr const char* kAnalysisFailedMessage = "Symmetry analysis with spglib failed.";
constexpr const char* kSupercellLine = "!WARN: The atoms is a supercell";
constexpr const char* kNonFiniteLattice = "Non-finite lattice parameter in BCS file:";
constexpr const char* kNonFiniteCoordinate = "Non-finite coordinate in BCS file:";
constexpr const char* kNonFinitePositions =
    "The lattice parameters and atom lines of the BCS file give non-finite Cartesian "
    "positions: a cell length is too large.";

using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// "BCS file: line <n>", the start of a message about one line.
std::string line_name(std::size_t line) {
    return "BCS file: line " + std::to_string(line);
}

// How many atom lines the count asks for: none for zero or a negative count,
// and more than any file holds for a count beyond the machine's integers.
std::size_t requested_atom_lines(const py::object& count) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow < 0 || (overflow == 0 && n <= 0)) {
        return 0;
    }
    if (overflow > 0) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(n);
}

py::object read_bcs(py::object fd) {
    const fb::TextLines text(fd);
    const std::vector<fio::BcsDataLine> data = fio::bcs_data_lines(text.views());
    auto header = [&](std::size_t k) { return fb::value_or_raise(fio::bcs_header_line(data, k)); };

    const fio::BcsDataLine group_line = header(0);
    const py::object spacegroup = fb::python_int(group_line.text);
    fb::require_space_group_number(spacegroup, line_name(group_line.line));
    const fio::BcsDataLine cell_line = header(1);
    std::vector<double> cell;
    py::list cellpar;
    for (std::string_view field : fio::split_fields(cell_line.text)) {
        cell.push_back(fb::finite_python_float(field, kNonFiniteLattice));
        cellpar.append(cell.back());
    }
    const fio::BcsDataLine count_line = header(2);
    const py::object count = fb::python_int(count_line.text);
    if (!fb::python_greater(count, py::int_(0))) {
        throw py::value_error(line_name(count_line.line) +
                              ": the number of atom lines must be "
                              "positive, not " +
                              py::str(count).cast<std::string>() + ".");
    }

    const std::vector<fio::BcsAtomFields> atom_lines =
        fb::value_or_raise(fio::bcs_atom_fields(data, requested_atom_lines(count)));
    const std::size_t n_read = atom_lines.size();
    py::list symbols;
    FloatArray positions({static_cast<py::ssize_t>(n_read), py::ssize_t{3}});
    auto xyz = positions.mutable_unchecked<2>();
    for (std::size_t i = 0; i < n_read; ++i) {
        symbols.append(fb::str_from_utf8(atom_lines[i].symbol));
        for (std::size_t c = 0; c < 3; ++c) {
            const double x = fb::finite_python_float(atom_lines[i].coords[c], kNonFiniteCoordinate);
            fb::require_fractional_coordinate(x, atom_lines[i].coords[c],
                                              line_name(atom_lines[i].line));
            xyz(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(c)) = x;
        }
    }
    // An empty list, not an empty array: crystal() rejects a file without atoms.
    py::object basis = n_read == 0 ? py::object(py::list()) : py::object(positions);

    fb::value_or_raise(fio::check_cell_parameters(
        cell, "BCS lattice parameters (line " + std::to_string(cell_line.line) + ")",
        cell_line.line));
    py::object atoms = fb::build_finite_structure(
        [&] {
            return globals["crystal"]("symbols"_a = symbols, "basis"_a = basis,
                                      "cellpar"_a = cellpar, "spacegroup"_a = spacegroup);
        },
        kNonFinitePositions);
    fb::require_finite_cell_volume(atoms, "BCS lattice parameters (line " +
                                              std::to_string(cell_line.line) + ")");
    atoms.attr("info")["spacegroup"] = globals["Spacegroup"](spacegroup);
    return atoms;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

[[noreturn]] void raise_analysis_failed() {
    fb::print_line(kAnalysisFailedLine);
    throw py::value_error(kAnalysisFailedMessage);
}

// The symmetry dataset of `atoms`. A failure, whether spglib reports it by
// returning None or by raising, prints the error line and raises ValueError
// (chained to spglib's exception, if any).
py::object symmetry_dataset(py::object atoms, double symprec) {
    py::module_ spglib = py::module_::import("spglib");
    py::object to_spglib_cell = py::module_::import("ase.utils").attr("atoms_to_spglib_cell");
    py::object cell = to_spglib_cell(atoms);
    py::object dataset;
    try {
        dataset = spglib.attr("get_symmetry_dataset")(cell, "symprec"_a = symprec);
    } catch (py::error_already_set& error) {
        // KeyboardInterrupt and the like, and warnings turned into errors,
        // are not analysis failures.
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_Warning)) {
            throw;
        }
        fb::print_line(kAnalysisFailedLine);
        py::raise_from(error, PyExc_ValueError, kAnalysisFailedMessage);
        throw py::error_already_set();
    }
    if (dataset.is_none()) {
        raise_analysis_failed();
    }
    return dataset;
}

std::vector<std::int64_t> index_vector(py::handle values) {
    IndexArray array = IndexArray::ensure(values);
    if (!array) {
        throw py::error_already_set();
    }
    return {array.data(), array.data() + array.size()};
}

// The analysis and the text of the file, before anything is opened.
std::string bcs_text(py::object atoms, double symprec) {
    py::object dataset = symmetry_dataset(atoms, symprec);

    const std::int64_t number = dataset.attr("number").cast<std::int64_t>();
    py::object cellpar_values = globals["Cell"](dataset.attr("std_lattice")).attr("cellpar")();
    FloatArray cellpar_array = FloatArray::ensure(cellpar_values);
    if (!cellpar_array || cellpar_array.size() != 6) {
        throw py::value_error("cellpar() did not return six lattice parameters");
    }
    std::array<double, 6> cellpar{};
    std::copy(cellpar_array.data(), cellpar_array.data() + 6, cellpar.begin());

    FloatArray std_positions = FloatArray::ensure(dataset.attr("std_positions"));
    if (!std_positions || std_positions.ndim() != 2 || std_positions.shape(1) != 3) {
        throw py::value_error("std_positions is not an N x 3 array");
    }
    const std::size_t n_atoms = py::len(atoms);
    const std::size_t n_std = static_cast<std::size_t>(std_positions.shape(0));
    if (n_std != 0 && n_atoms / n_std > 1) {
        fb::print_line(kSupercellLine);
    }

    fio::SymmetryMapping mapping;
    mapping.equivalent_atoms = index_vector(dataset.attr("equivalent_atoms"));
    mapping.mapping_to_primitive = index_vector(dataset.attr("mapping_to_primitive"));
    mapping.std_mapping_to_primitive = index_vector(dataset.attr("std_mapping_to_primitive"));
    if (mapping.equivalent_atoms.size() != n_atoms ||
        mapping.std_mapping_to_primitive.size() != n_std) {
        throw py::value_error("the symmetry dataset does not match the structure");
    }
    const std::vector<fio::BcsOrbit> orbits = fb::value_or_raise(fio::bcs_orbits(mapping));

    py::list wyckoffs(dataset.attr("wyckoffs"));
    py::list symbols(atoms.attr("get_chemical_symbols")());
    auto xyz = std_positions.unchecked<2>();
    std::vector<fio::BcsAtomLine> lines;
    lines.reserve(orbits.size());
    for (const fio::BcsOrbit& orbit : orbits) {
        fio::BcsAtomLine line;
        line.symbol = py::str(symbols[orbit.first_atom]).cast<std::string>();
        line.wyckoff = fio::wyckoff_label(orbit.multiplicity,
                                          py::str(wyckoffs[orbit.first_atom]).cast<std::string>());
        const auto k = static_cast<py::ssize_t>(orbit.std_atom);
        line.position = {xyz(k, 0), xyz(k, 1), xyz(k, 2)};
        lines.push_back(std::move(line));
    }
    return fio::format_bcs(number, cellpar, lines);
}

// Refuses atoms whose fractional coordinates are of absurd magnitude: the
// symmetry analysis wraps them into the cell, where they keep no digit of
// their fractional part, and the file would silently describe another
// structure. A cell without volume is left to the analysis to refuse.
void require_positions_in_cell_reach(py::object atoms) {
    if (py::len(atoms) == 0) {
        return;
    }
    py::object np = globals["np"];
    py::object quiet = np.attr("errstate")("all"_a = "ignore");
    quiet.attr("__enter__")();
    py::object beyond;
    try {
        py::object scaled = atoms.attr("get_scaled_positions")("wrap"_a = false);
        py::object within =
            np.attr("less_equal")(np.attr("abs")(scaled), fio::kMaxFractionalCoordinate);
        beyond = np.attr("flatnonzero")(np.attr("logical_not")(within.attr("all")("axis"_a = 1)));
    } catch (py::error_already_set& error) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        if (error.matches(np.attr("linalg").attr("LinAlgError"))) {
            return;
        }
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    if (py::len(beyond) > 0) {
        throw py::value_error("Atom " + py::str(beyond[py::int_(0)]).cast<std::string>() +
                              " lies beyond +-1e6 cell lengths in fractional coordinates; "
                              "its position cannot be written.");
    }
}

void write_bcs(py::object fd, py::object atoms, py::object symprec) {
    // spglib crashes on NaN or negative tolerances and non-finite structures,
    // and spins for a very long time on a zero tolerance: refuse them first.
    const double tolerance = fb::positive_symprec(symprec, "symprec");
    fb::require_finite_structure(atoms);
    require_positions_in_cell_reach(atoms);
    // Only now is a path opened (and an existing file replaced).
    const py::str text(bcs_text(atoms, tolerance));
    py::object write_text = globals["_write_text"];
    if (fb::is_path_like(fd)) {
        // A failed write (a full disk) leaves the target as it was.
        fb::write_file_atomically(fd, [&](py::object temporary) { write_text(temporary, text); });
    } else {
        write_text(fd, text);
    }
}

void write_text(py::object fd, py::object text) {
    fd.attr("write")(text);
}

} // namespace

PYBIND11_MODULE(bcs, m) {
    globals = fb::Globals(m);
    // Docstrings open with their own "name(args)\n--\n\n" line, which CPython turns
    // into __text_signature__ (inspect.signature) and strips from __doc__.
    py::options options;
    options.disable_function_signatures();
    m.doc() = R"doc(BCS structure files (Bilbao Crystallographic Server format).

``write_bcs`` finds the space group and the asymmetric unit with spglib and
writes the standardized conventional cell as space-group number, lattice
parameters and Wyckoff-labelled atoms; ``read_bcs`` expands such a file back
into the full conventional cell with ASE's space-group machinery. spglib is
imported only when ``write_bcs`` runs.)doc";

    m.attr("np") = py::module_::import("numpy");
    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    m.attr("Cell") = py::module_::import("ase.cell").attr("Cell");
    py::module_ spacegroup = py::module_::import("ase.spacegroup");
    m.attr("crystal") = spacegroup.attr("crystal");
    m.attr("Spacegroup") = spacegroup.attr("Spacegroup");
    py::module_ ase_utils = py::module_::import("ase.utils");
    m.attr("reader") = ase_utils.attr("reader");
    m.attr("writer") = ase_utils.attr("writer");

    py::cpp_function read(&read_bcs, py::name("read_bcs"), py::scope(m), "fd"_a,
                          R"doc(read_bcs(fd)
--

Reads a crystal structure from a Bilbao Crystallographic Server .bcs file.

Comments (from "#" to the end of a line) and blank lines are skipped; the data
lines are the space-group number, the lattice parameters, the number n of atom
lines and n lines "symbol number WP x y z". The asymmetric unit is expanded to
the full conventional cell.

Args:
    fd (str | PathLike | file): Path to the .bcs file, or a file opened for reading text.

Returns:
    Atoms: The structure, with ``info["spacegroup"]`` the ASE Spacegroup.

A UTF-8 byte order mark at the start of the file is skipped.

Raises:
    ValueError: Fewer data lines, atom lines or fields than the format needs
        (the message names the line); a number that cannot be converted; a
        lattice parameter or coordinate that is NaN or infinite; a
        space-group number outside 1-230 or an atom count below 1 (the
        message names the line); a fractional coordinate beyond +-1e6;
        angles that describe no cell, a zero cell vector, a cell of zero or
        infinite volume; Cartesian positions that overflow.)doc");
    m.attr("read_bcs") = ase_utils.attr("reader")(read);

    m.attr("_write_text") = ase_utils.attr("writer")(
        py::cpp_function(&write_text, py::name("_write_text"), py::scope(m), "fd"_a, "text"_a,
                         "_write_text(fd, text)\n--\n\nWrites `text` to `fd`, a path (opened, "
                         "replaced and closed) or an open text file."));

    m.def("write_bcs", &write_bcs, "fd"_a, "atoms"_a, "symprec"_a = 0.01,
          R"doc(write_bcs(fd, atoms, symprec=0.01)
--

Finds the symmetry-inequivalent atoms and writes them to a .bcs file.

spglib finds the space group and the minimal asymmetric unit of the structure;
the asymmetric unit of its standardized conventional cell is written in the
Bilbao Crystallographic Server format, each atom with its Wyckoff position
(multiplicity in the conventional cell and letter). The structure and
``symprec`` are checked and the analysis runs before anything is written; a
path is written through a temporary file beside it, renamed over it at the
end, so a failure (a full disk included) leaves an existing file untouched.

Args:
    fd (str | PathLike | file): Path for the output .bcs file (replaced if it
        exists), or a file opened for writing text.
    atoms (Atoms): The Atoms object to analyse and write.
    symprec (float): Precision tolerance for spglib's symmetry finding (Å).

Raises:
    ValueError: ``symprec`` is not a positive finite number; the cell or a
        position is NaN or infinite; an atom lies beyond 1e6 cell lengths in
        fractional coordinates (its position would be lost); spglib's symmetry analysis failed
        ("Symmetry analysis with spglib failed.", after the line "!!!ERROR:
        Symmetry analysis with spglib failed." is printed).)doc");
}
