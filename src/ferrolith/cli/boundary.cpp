// ferrolith.cli.boundary: the `boundary` subcommand (coherent twin boundaries).
#include "ferrolith/_binding/binding.hpp"

#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kHelp = "Create a coherent grain boundary.";
const std::string kRule(60, '=');

void register_parser(py::object subparsers) {
    py::object parser =
        subparsers.attr("add_parser")("boundary", "help"_a = kHelp, "description"_a = kHelp,
                                      "formatter_class"_a = globals["CombinedFormatter"]);
    py::object builtins = py::module_::import("builtins");
    py::object int_ = builtins.attr("int");
    py::object float_ = builtins.attr("float");
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
    add("--supercell", "type"_a = int_, "nargs"_a = 3, "default"_a = fb::list_of(1, 1, 1),
        "help"_a = "The supercell of the final structure.");
    add("--write_grains", "action"_a = "store_true",
        "help"_a = "If set, write grain structures to files.");
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

private:
    py::object tqdm_;
    py::object bar_;
};

std::string plane_label(py::handle plane) {
    return py::str(plane[py::int_(0)]).cast<std::string>() + "-" +
           py::str(plane[py::int_(1)]).cast<std::string>() + "-" +
           py::str(plane[py::int_(2)]).cast<std::string>();
}

void main_(py::object args) {
    py::object bulk;
    py::object filename = args.attr("filename");
    if (py::bool_(filename)) {
        bulk = filename; // every builder reads the file itself
    } else {
        bulk = py::module_::import("ase.build").attr("bulk")("C", "diamond", "a"_a = 3.56);
    }
    py::object get_all_hkl = py::module_::import("ferrolith.core").attr("get_all_hkl");

    py::list planes;
    if (fb::python_greater(args.attr("hklmax"), py::int_(0))) {
        planes = py::list(get_all_hkl(args.attr("hklmax")));
    } else {
        planes.append(args.attr("plane"));
    }

    PlaneProgress progress(planes.size());
    for (py::handle plane : planes) {
        py::object gb = globals["CoherentTwinBoundary"](
            "bulk"_a = bulk, "plane"_a = py::tuple(py::reinterpret_borrow<py::object>(plane)),
            "layers"_a = args.attr("layers"), "tol_surface"_a = args.attr("tol_surface"),
            "tol_layer"_a = args.attr("tol_layer"),
            "average_cutoff"_a = args.attr("average_cutoff"),
            "delete_layers"_a = args.attr("delete_layers"), "gap"_a = args.attr("gap"),
            "vacuum"_a = args.attr("vacuum"), "symprec"_a = args.attr("symprec"));
        py::object final_gb;
        try {
            final_gb = gb.attr("create")("supercell"_a = args.attr("supercell"));
        } catch (py::error_already_set& error) {
            // A plane without a twin is skipped silently; only ordinary
            // exceptions, so Ctrl-C still ends the command.
            if (!error.matches(PyExc_Exception)) {
                throw;
            }
            progress.step();
            continue;
        }
        const std::string hkl = plane_label(plane);

        if (py::bool_(args.attr("write_grains"))) {
            py::object write = globals["write"];
            std::size_t index = 0;
            for (py::handle grain : gb.attr("grains")) {
                write("grain_" + hkl + "_" + std::to_string(index++) + ".vasp", grain,
                      "format"_a = "vasp");
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
        globals["write"](output, final_gb);
        progress.print(" Written to file " + py::str(output).cast<std::string>() + ".");
        progress.step();
    }
}

} // namespace

PYBIND11_MODULE(boundary, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The ``boundary`` subcommand: coherent twin boundaries from the command line.

Builds a twin boundary for one Miller plane (``--plane``) or for every plane up
to ``--hklmax`` and writes each to a structure file.)doc";

    m.attr("CombinedFormatter") = py::module_::import("ferrolith.cli").attr("CombinedFormatter");
    m.attr("CoherentTwinBoundary") =
        py::module_::import("ferrolith.build.twin").attr("CoherentTwinBoundary");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("write") = py::module_::import("ase.io").attr("write");

    m.def("register_parser", &register_parser, "subparsers"_a,
          R"doc(Adds the ``boundary`` sub-parser and its options to ``subparsers``.)doc");
    m.def("main", &main_, "args"_a,
          R"doc(Builds and writes the twin boundaries that the parsed ``args`` ask for.

For each plane: construct ``CoherentTwinBoundary``, ``create`` it (a plane for
which that fails is skipped silently), optionally write the grains to
``grain_<h-k-l>_<i>.vasp``, then print the banner and write the result.)doc");
}
