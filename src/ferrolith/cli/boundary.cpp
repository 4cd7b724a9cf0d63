// ferrolith.cli.boundary: the `boundary` subcommand (coherent twin boundaries).
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/core/geometry.hpp"
#include "ferrolith/core/twin_rotation.hpp"

#include <pybind11/numpy.h>

#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kHelp = "Create a coherent grain boundary.";
const std::string kRule(60, '=');
constexpr const char* kPrefix = "ferrolith boundary: ";
// Default ceiling on the atoms of one result (the builder's own default).
constexpr long long kMaxAtoms = 1000000;
// Position tolerance (Angstrom) of the symmetry searches: the result's space
// group against the bulk's, and the bulk's point group for equivalent planes.
constexpr double kSpaceGroupTolerance = 1e-3;
// Largest result (atoms before the supercell, which keeps the space group)
// whose space group is compared with the bulk's. spglib's search grows faster
// than the square of the atom count (a 2,720-atom diamond {111} twin took
// 69 s on a busy 2-core machine, building it 0.05 s), so larger results are
// not compared.
constexpr long long kSpaceGroupMaxAtoms = 1000;
constexpr const char* kNoMirror = "Failed to find any valid mirror plane by reflection.";

void register_parser(py::object subparsers) {
    py::object parser =
        subparsers.attr("add_parser")("boundary", "help"_a = kHelp, "description"_a = kHelp,
                                      "formatter_class"_a = globals["CombinedFormatter"]);
    py::object builtins = py::module_::import("builtins");
    py::object int_ = builtins.attr("int");
    // Non-finite numbers and counts below 1 are refused while parsing.
    py::object float_ = globals["finite_float"];
    py::object count = globals["positive_int"];
    py::object str_ = builtins.attr("str");
    py::object add = parser.attr("add_argument");

    add("-f", "--filename", "type"_a = str_,
        "help"_a = "Path to the input file for the bulk crystal structure (e.g., VASP POSCAR).");
    add("-o", "--output", "type"_a = str_, "default"_a = "grain_gb.vasp",
        "help"_a = "The output file for the grain boundary.");
    add("--plane", "type"_a = int_, "nargs"_a = 3, "default"_a = fb::list_of(1, 1, 1),
        "help"_a = "Miller indices of the twinning plane.");
    add("--layers", "type"_a = int_, "nargs"_a = "+", "default"_a = fb::list_of(3),
        "help"_a = "Number of layers for each grain.\n"
                   "If one value is given, a standard two-grain twin boundary is created. \n"
                   "If multiple values are given, a multi-grain boundary is created.");
    add("--hklmax", "type"_a = int_, "default"_a = 0,
        "help"_a = "The max number of hkl for all possible planes.");
    add("--tol_surface", "type"_a = float_, "default"_a = 0.02,
        "help"_a = "Tolerance for surface creation function.");
    add("--tol_layer", "type"_a = float_, "default"_a = 0.1,
        "help"_a = "Tolerance for grouping atoms into layers in Angstroms.");
    add("--average_cutoff", "type"_a = float_, "default"_a = 0.2,
        "help"_a = "Cutoff distance for merging nearby atoms.");
    add("--delete_layers", "type"_a = int_, "nargs"_a = "*", "default"_a = py::list(),
        "help"_a = "List of layer indices to delete from the surface.");
    add("--gap", "type"_a = float_, "default"_a = 0.0,
        "help"_a = "Separation gap between the two grains in Angstroms.");
    add("--symprec", "type"_a = float_, "default"_a = 0,
        "help"_a = "Precision for spglib symmetry finding.");
    add("--vacuum", "type"_a = float_, "default"_a = 0,
        "help"_a = "Amount of vacuum to add when stack the grains in Angstroms.");
    add("--supercell", "type"_a = count, "nargs"_a = 3, "default"_a = fb::list_of(1, 1, 1),
        "help"_a = "The supercell of the final structure.");
    add("--write_grains", "action"_a = "store_true",
        "help"_a = "If set, write grain structures to files.");
    add("--operation", "choices"_a = fb::list_of("mirror", "rotation", "auto"),
        "default"_a = "mirror",
        "help"_a = "How each twinned grain is made from its neighbour:\n"
                   "mirror: reflected across a plane between mirror-image layers;\n"
                   "rotation: turned by 180 degrees about the plane normal\n"
                   "(zincblende, e.g. c-BN, GaAs, 3C-SiC, and fcc metals on 1 1 1);\n"
                   "auto: the mirror where the crystal has one, else the rotation.");
    add("--max_atoms", "type"_a = count, "default"_a = kMaxAtoms,
        "help"_a = "Refuse a plane whose result is estimated to hold more atoms\n"
                   "(atoms per spacing d(hkl) x 2 x sum of --layers x --supercell).");
    parser.attr("set_defaults")("command"_a = "boundary");
}

// A progress bar on standard error while several planes are built, when a
// person is watching; standard output is left exactly as without it.
class PlaneProgress {
public:
    PlaneProgress(std::size_t n_planes) {
        py::object stderr_ = py::module_::import("sys").attr("stderr");
        if (n_planes < 2 || stderr_.is_none() || !py::bool_(stderr_.attr("isatty")())) {
            return;
        }
        try {
            tqdm_ = py::module_::import("tqdm").attr("tqdm");
        } catch (py::error_already_set&) {
            return; // no progress bar without tqdm
        }
        bar_ = tqdm_("total"_a = n_planes, "desc"_a = "boundary", "unit"_a = "plane",
                     "file"_a = stderr_, "leave"_a = false);
    }
    ~PlaneProgress() {
        if (bar_) {
            try {
                bar_.attr("close")();
            } catch (py::error_already_set& error) {
                error.discard_as_unraisable(__func__);
            }
        }
    }
    PlaneProgress(const PlaneProgress&) = delete;
    PlaneProgress& operator=(const PlaneProgress&) = delete;

    void step() {
        if (bar_) {
            bar_.attr("update")(1);
        }
    }
    // Lines go to sys.stdout as they would without a bar; tqdm only lifts the
    // bar out of the way on a terminal.
    void print(const std::string& line) {
        if (bar_) {
            tqdm_.attr("write")(line, "file"_a = py::module_::import("sys").attr("stdout"));
        } else {
            fb::print_line(line);
        }
    }

    // Notes go to sys.stderr, lifted out of the bar's way like the lines above.
    void note(const std::string& line) {
        if (bar_) {
            tqdm_.attr("write")(line, "file"_a = py::module_::import("sys").attr("stderr"));
        } else {
            fb::print_stderr_line(line);
        }
    }

private:
    py::object tqdm_;
    py::object bar_;
};

std::string plane_label(py::handle plane) {
    return py::str(plane[py::int_(0)]).cast<std::string>() + "-" +
           py::str(plane[py::int_(1)]).cast<std::string>() + "-" +
           py::str(plane[py::int_(2)]).cast<std::string>();
}

// Calls spglib's `function` on the structure's cell; spglib's notice about
// its error handling is not the user's concern here.
py::object call_spglib(const char* function, py::handle atoms) {
    fb::require_finite_structure(atoms);
    py::object cell = py::module_::import("ase.utils").attr("atoms_to_spglib_cell")(atoms);
    py::module_ warnings = py::module_::import("warnings");
    py::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    py::object found;
    try {
        warnings.attr("simplefilter")("ignore",
                                      "category"_a = py::handle(PyExc_DeprecationWarning));
        found =
            py::module_::import("spglib").attr(function)(cell, "symprec"_a = kSpaceGroupTolerance);
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    return found;
}

// "Fd-3m (227)" for the structure, or an empty string when spglib finds none.
std::string space_group(py::handle atoms) {
    py::object found = call_spglib("get_spacegroup", atoms);
    return found.is_none() ? std::string() : py::str(found).cast<std::string>();
}

bool is_atoms(py::handle obj) {
    return py::isinstance(obj, py::module_::import("ase").attr("Atoms"));
}

// The bulk crystal a builder read, or None (a replaced builder may not say).
py::object bulk_of(py::handle gb) {
    py::object bulk = py::getattr(gb, "bulk", py::none());
    return is_atoms(bulk) ? bulk : py::none();
}

// For each plane, the position of the earlier plane it repeats under the
// bulk's point group, or -1; all -1 when spglib finds no symmetry.
std::vector<std::ptrdiff_t> repeated_planes(py::handle bulk, py::handle planes) {
    std::vector<ferrolith::core::Hkl> hkl;
    for (py::handle plane : planes) {
        hkl.push_back({plane[py::int_(0)].cast<int>(), plane[py::int_(1)].cast<int>(),
                       plane[py::int_(2)].cast<int>()});
    }
    std::vector<ferrolith::core::IntMat3> rotations;
    py::object dataset = call_spglib("get_symmetry_dataset", bulk);
    if (!dataset.is_none()) {
        using IntArray = py::array_t<int, py::array::c_style | py::array::forcecast>;
        IntArray found = IntArray::ensure(dataset.attr("rotations"));
        for (py::ssize_t n = 0; n < found.shape(0); ++n) {
            ferrolith::core::IntMat3 r{};
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    r[i][j] = found.at(n, i, j);
                }
            }
            rotations.push_back(r);
        }
    }
    return ferrolith::core::first_equivalent_planes(rotations, hkl);
}

// The bulk's space group when the result has it too (no twin formed), else
// an empty string. The result before its supercell is compared: a supercell
// keeps the space group. A result too large for a quick search is written
// unchecked, with a note when `progress` is given.
std::string bulk_group_again(py::handle gb, py::handle result, const std::string& bulk_group,
                             const std::string& hkl, PlaneProgress* progress) {
    if (bulk_group.empty() || !is_atoms(result)) {
        return {};
    }
    py::object structure = py::getattr(gb, "grain_boundary", py::none());
    if (!is_atoms(structure)) {
        structure = py::reinterpret_borrow<py::object>(result);
    }
    const auto n_atoms = static_cast<long long>(py::len(structure));
    if (n_atoms > kSpaceGroupMaxAtoms) {
        if (progress == nullptr) {
            return {};
        }
        progress->note(std::string(kPrefix) + "note: plane " + hkl +
                       " not compared with the bulk's space group (" +
                       fb::python_format(py::int_(n_atoms), ",") + " atoms, more than " +
                       fb::python_format(py::int_(kSpaceGroupMaxAtoms), ",") + ").");
        return {};
    }
    return space_group(structure) == bulk_group ? bulk_group : std::string();
}

// The shortest interatomic distance (Angstrom) of the periodic bulk.
double nearest_neighbour(py::handle bulk) {
    using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
    fb::require_finite_structure(bulk);
    DoubleArray pos = DoubleArray::ensure(bulk.attr("positions"));
    DoubleArray cell = DoubleArray::ensure(bulk.attr("cell").attr("array"));
    ferrolith::core::Mat3 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = cell.at(i, j);
        }
    }
    return fb::value_or_raise(ferrolith::core::nearest_neighbour_distance(
        pos.data(), static_cast<std::size_t>(pos.shape(0)), m));
}

// Merging with a cutoff at or beyond the bond length merges bonded atoms, and
// transitively the whole crystal.
void check_average_cutoff(py::handle args, py::handle gb) {
    const double cutoff = fb::to_float(args.attr("average_cutoff"), "average_cutoff");
    if (!(cutoff > 0.0) || !py::hasattr(gb, "bulk") ||
        !py::isinstance(gb.attr("bulk"), py::module_::import("ase").attr("Atoms"))) {
        return;
    }
    const double nearest = nearest_neighbour(gb.attr("bulk"));
    if (cutoff >= nearest) {
        throw py::value_error(
            "--average_cutoff " + fb::python_format(py::float_(cutoff), "g") +
            " would merge bonded atoms and collapse the crystal: the bulk's nearest neighbours "
            "are " +
            fb::python_format(py::float_(nearest), ".3f") +
            " A apart. Give a value below that (0 switches merging off).");
    }
}

// Out-of-range --delete_layers entries, for the slab the builder cuts.
std::string delete_layers_problem(py::handle gb, py::handle args, py::handle get_layers) {
    py::object deleted = args.attr("delete_layers");
    if (py::len(deleted) == 0 || !py::hasattr(gb, "_cut_slab")) {
        return {};
    }
    py::object slab = gb.attr("_cut_slab")();
    const auto n = static_cast<long long>(py::len(
        get_layers(slab.attr("positions"), "direction"_a = 2, "tol"_a = args.attr("tol_layer"))));
    for (py::handle entry : deleted) {
        const long long k = entry.cast<long long>();
        if (k < -n || k >= n) {
            return "--delete_layers index " + std::to_string(k) +
                   " is out of range: the cut slab has " + std::to_string(n) + " layers (indices " +
                   std::to_string(-n) + " to " + std::to_string(n - 1) + ")";
        }
    }
    return {};
}

void make_parent_folder(py::handle output) {
    globals["Path"](output).attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
}

// Writes `atoms` to the path `output` in one step: a failed write leaves an
// existing file untouched. The format is taken from the final name (ASE
// guesses it from names such as POSCAR that the temporary file lacks),
// unless `format` names one.
void write_atomically(py::handle output, py::handle atoms, py::object format) {
    if (format.is_none()) {
        format = py::module_::import("ase.io.formats").attr("filetype")(output, "read"_a = false);
    }
    py::object write = globals["write"];
    fb::write_file_atomically(
        output, [&](py::object temporary) { write(temporary, atoms, "format"_a = format); });
}

py::object main_(py::object args) {
    py::object bulk;
    py::object filename = args.attr("filename");
    if (py::bool_(filename)) {
        bulk = filename; // every builder reads the file itself
    } else {
        bulk = py::module_::import("ase.build").attr("bulk")("C", "diamond", "a"_a = 3.56);
    }
    py::module_ core = py::module_::import("ferrolith.core");
    py::object get_all_hkl = core.attr("get_all_hkl");

    py::list planes;
    if (fb::python_greater(args.attr("hklmax"), py::int_(0))) {
        planes = py::list(get_all_hkl(args.attr("hklmax")));
    } else {
        planes.append(args.attr("plane"));
    }
    // Options added after the first release; a hand-built namespace may lack them.
    py::object operation = py::getattr(args, "operation", py::str("mirror"));
    py::object max_atoms = py::getattr(args, "max_atoms", py::int_(kMaxAtoms));

    PlaneProgress progress(planes.size());
    auto make_builder = [&](py::handle plane, py::object operation_) {
        return globals["CoherentTwinBoundary"](
            "bulk"_a = bulk, "plane"_a = py::tuple(py::reinterpret_borrow<py::object>(plane)),
            "layers"_a = args.attr("layers"), "tol_surface"_a = args.attr("tol_surface"),
            "tol_layer"_a = args.attr("tol_layer"),
            "average_cutoff"_a = args.attr("average_cutoff"),
            "delete_layers"_a = args.attr("delete_layers"), "gap"_a = args.attr("gap"),
            "vacuum"_a = args.attr("vacuum"), "symprec"_a = args.attr("symprec"),
            "operation"_a = operation_, "max_atoms"_a = max_atoms);
    };
    // Whether the two-fold rotation makes a twin where the mirror search
    // failed: then the reason points to it.
    auto rotation_twin_exists = [&](py::handle plane, const std::string& bulk_group,
                                    const std::string& hkl) {
        try {
            py::object gb = make_builder(plane, py::str("rotation"));
            py::object result = gb.attr("create")("supercell"_a = fb::list_of(1, 1, 1));
            return bulk_group_again(gb, result, bulk_group, hkl, nullptr).empty();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) {
                throw;
            }
            return false;
        }
    };

    std::size_t written = 0;
    bool checked_bulk = false;
    std::string bulk_group;
    std::vector<std::ptrdiff_t> repeats(planes.size(), -1);
    for (std::size_t index = 0; index < planes.size(); ++index) {
        py::handle plane = planes[index];
        const std::string hkl = plane_label(plane);
        if (repeats[index] >= 0) {
            // The bulk's symmetry maps an earlier plane onto this one: the
            // same boundary, built already (or failing alike).
            progress.note(std::string(kPrefix) + "plane " + hkl + " skipped: equivalent to plane " +
                          plane_label(planes[static_cast<std::size_t>(repeats[index])]) +
                          " by the bulk crystal's symmetry.");
            progress.step();
            continue;
        }
        py::object gb = make_builder(plane, operation);
        if (!checked_bulk) {
            // The same bulk for every plane.
            check_average_cutoff(args, gb);
            py::object bulk_atoms = bulk_of(gb);
            if (!bulk_atoms.is_none()) {
                bulk_group = space_group(bulk_atoms);
                if (planes.size() > 1) {
                    repeats = repeated_planes(bulk_atoms, planes);
                }
            }
            checked_bulk = true;
        }
        py::object final_gb;
        std::string reason;
        try {
            reason = delete_layers_problem(gb, args, core.attr("get_layers"));
            if (reason.empty()) {
                final_gb = gb.attr("create")("supercell"_a = args.attr("supercell"));
            }
        } catch (py::error_already_set& error) {
            // Only ordinary exceptions: Ctrl-C still ends the command.
            if (!error.matches(PyExc_Exception)) {
                throw;
            }
            reason = py::str(error.value()).cast<std::string>();
            if (reason.empty()) {
                reason = py::str(error.type().attr("__name__")).cast<std::string>();
            }
            if (reason == kNoMirror && operation.equal(py::str("mirror")) &&
                rotation_twin_exists(plane, bulk_group, hkl)) {
                reason += " A rotation twin exists for this plane: try --operation rotation "
                          "(or auto).";
            }
        }
        if (final_gb) {
            const std::string own = bulk_group_again(gb, final_gb, bulk_group, hkl, &progress);
            if (!own.empty()) {
                reason = "the result has the bulk crystal's own space group " + own +
                         ": no twin formed.";
                final_gb = py::object();
            }
        }
        if (!final_gb) {
            // A plane without a twin is skipped, with its reason on standard error.
            progress.note(std::string(kPrefix) + "plane " + hkl + " skipped: " + reason);
            progress.step();
            continue;
        }

        if (py::bool_(args.attr("write_grains"))) {
            std::size_t grain_index = 0;
            for (py::handle grain : gb.attr("grains")) {
                write_atomically(
                    py::str("grain_" + hkl + "_" + std::to_string(grain_index++) + ".vasp"), grain,
                    py::str("vasp"));
            }
        }

        py::object output = args.attr("output");
        if (planes.size() > 1) {
            py::object path = globals["Path"](output);
            const std::string stem = py::str(path.attr("stem")).cast<std::string>();
            const std::string suffix = py::str(path.attr("suffix")).cast<std::string>();
            output = path.attr("with_name")(stem + "_" + hkl + suffix);
        }

        progress.print(kRule);
        progress.print(" Success: Grain boundary " + hkl);
        make_parent_folder(output);
        write_atomically(output, final_gb, py::none());
        progress.print(" Written to file " + py::str(output).cast<std::string>() + ".");
        ++written;
        progress.step();
    }
    if (written == 0) {
        return py::int_(1); // every plane failed: the reasons are on standard error
    }
    return py::none();
}

} // namespace

PYBIND11_MODULE(boundary, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The ``boundary`` subcommand: coherent twin boundaries from the command line.

Builds a twin boundary for one Miller plane (``--plane``) or for every plane up
to ``--hklmax`` and writes each to a structure file.)doc";

    py::module_ cli = py::module_::import("ferrolith.cli");
    m.attr("CombinedFormatter") = cli.attr("CombinedFormatter");
    m.attr("finite_float") = cli.attr("finite_float");
    m.attr("positive_int") = cli.attr("positive_int");
    m.attr("CoherentTwinBoundary") =
        py::module_::import("ferrolith.build.twin").attr("CoherentTwinBoundary");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("write") = py::module_::import("ase.io").attr("write");

    m.def("register_parser", &register_parser, "subparsers"_a,
          R"doc(Adds the ``boundary`` sub-parser and its options to ``subparsers``.)doc");
    m.def("main", &main_, "args"_a,
          R"doc(Builds and writes the twin boundaries that the parsed ``args`` ask for.

For each plane: construct ``CoherentTwinBoundary``, ``create`` it (a plane for
which that fails is skipped, with one line on standard error naming the plane
and the reason), optionally write the grains to ``grain_<h-k-l>_<i>.vasp``,
then print the banner and write the result (its folder is created; every file
is written to a temporary file that replaces the target only when complete).

A plane that the bulk's point group (spglib) maps onto an earlier one is
skipped, naming that plane; so is a plane whose result has the bulk crystal's
own space group (no twin formed; checked for results of up to 1,000 atoms
before the supercell). When the mirror search fails where the two-fold
rotation makes a twin, the reason says to try ``--operation rotation``.

Returns:
    None when at least one plane was written; 1 (the exit status) when none
    was.

Raises:
    ValueError: ``--average_cutoff`` at or beyond the bulk's nearest-neighbour
        distance, which would merge the whole crystal.)doc");
}
