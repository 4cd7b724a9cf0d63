// ferrolith.cli.optimize: the `optimize` subcommand (structure relaxation).
#include "ferrolith/_binding/binding.hpp"

#include <stdexcept>
#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kCommand = "optimize";
constexpr const char* kDescription = "Optimize the atomic structure";
constexpr const char* kPotentialHelp =
    "The potential file of the calculator. There same default potentials.\n"
    "'pth':     pre-trained BCN ML potential.\n"
    "'tersoff': pre-trained BCN tersoff potential.\n";
constexpr const char* kMlPotentialFile = "BCN-qz-v0.0.1.pth";
constexpr const char* kTersoffFile = "BNC.tersoff";
constexpr const char* kRule = "------------------------------------------------------------";
constexpr const char* kPrefix = "ferrolith optimize: ";
// Exit status of a run that wrote its result without reaching --fmax.
constexpr int kNotConverged = 2;

void register_parser(py::object subparsers) {
    py::object parser = subparsers.attr("add_parser")(
        kCommand, "help"_a = kDescription, "description"_a = kDescription,
        "formatter_class"_a = globals["CombinedFormatter"]);
    py::object str = py::module_::import("builtins").attr("str");
    py::object float_ = globals["finite_float"];
    py::object int_ = py::module_::import("builtins").attr("int");
    py::object add = parser.attr("add_argument");
    add("-f", "--filename", "type"_a = str,
        "help"_a = "Path to the input file for the bulk crystal structure (e.g., VASP POSCAR).");
    add("-o", "--output", "type"_a = str, "default"_a = "optimized.vasp",
        "help"_a = "Path to save the optimized structure file.");
    add("--potential", "default"_a = "tersoff", "help"_a = kPotentialHelp);
    add("--method", "default"_a = "LBFGS",
        "help"_a = "Optimization algorithm (e.g., LBFGS, FIRE, BFGS).");
    add("--fmax", "type"_a = float_, "default"_a = 0.05,
        "help"_a = "Convergence criterion for forces.");
    add("--steps", "type"_a = int_, "default"_a = 5000,
        "help"_a = "Maximum number of optimization steps.");
    add("--pressure", "type"_a = float_, "default"_a = 0.0, "help"_a = "Target pressure (GPa).");
    add("--trajectory", "default"_a = "opt.traj",
        "help"_a = "Path to save optimization trajectory.");
    parser.attr("set_defaults")("command"_a = kCommand);
}

// The output's format key: its suffix with the dot, or else its stem.
py::object output_format(py::object output) {
    py::object outp = globals["Path"](output);
    py::object suffix = outp.attr("suffix");
    if (py::len(suffix) > 0) {
        return suffix;
    }
    return outp.attr("stem");
}

// The potential handed to get_calculator: a bundled one by name, else the
// text as typed.
py::object resolve_potential(py::object potential) {
    const char* bundled = nullptr;
    if (potential.equal(py::str("pth"))) {
        bundled = kMlPotentialFile;
    } else if (potential.equal(py::str("tersoff"))) {
        bundled = kTersoffFile;
    } else {
        return potential;
    }
    py::object directory = globals["Path"](globals["files"].attr("__file__")).attr("parent");
    return py::str(directory.attr("__truediv__")(bundled));
}

// The ASE format the output is written in: "vasp" for the names poscar and
// contcar (which ASE cannot guess), else what ASE makes of the name. Checked,
// with the output's folder, before the relaxation, so that no run is lost to
// a name that cannot be written.
py::object checked_output_format(py::object output, py::object output_fmt) {
    const std::string shown = py::str(output).cast<std::string>();
    py::object format;
    if (output_fmt.equal(py::str("poscar")) || output_fmt.equal(py::str("contcar"))) {
        format = py::str("vasp");
    } else {
        try {
            format = globals["filetype"](output, "read"_a = false);
        } catch (py::error_already_set&) {
            throw py::value_error("Cannot tell the format of the output '" + shown +
                                  "' from its name; use a suffix that ASE writes, such as "
                                  ".vasp, .cif or .xyz, or the name poscar or contcar.");
        }
    }
    py::dict ioformats = globals["ioformats"];
    if (!ioformats.contains(format)) {
        throw py::value_error("Cannot tell the format of the output '" + shown +
                              "' from its name; use a suffix that ASE writes, such as "
                              ".vasp, .cif or .xyz, or the name poscar or contcar.");
    }
    if (!py::bool_(ioformats[format].attr("can_write"))) {
        throw py::value_error("ASE cannot write the format '" +
                              py::str(format).cast<std::string>() + "' of the output '" + shown +
                              "'.");
    }
    py::object path = globals["Path"](output);
    if (py::bool_(path.attr("is_dir")())) {
        throw py::value_error("The output '" + shown + "' is a folder.");
    }
    // The folder is created as the other commands create theirs, and must
    // take a new file (the result is written beside the output, then renamed).
    py::object folder = path.attr("parent");
    folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    py::module_::import("tempfile").attr("TemporaryFile")("dir"_a = folder).attr("close")();
    return format;
}

// The argparse error of a missing -f, as the parser itself would report it:
// usage and message on standard error, exit status 2.
[[noreturn]] void missing_filename() {
    py::object parser = globals["argparse"].attr("ArgumentParser")("prog"_a = "ferrolith");
    py::object subparsers = parser.attr("add_subparsers")();
    register_parser(subparsers);
    subparsers.attr("choices")[kCommand].attr("error")(
        "the following arguments are required: -f/--filename");
    throw std::logic_error("ArgumentParser.error returned"); // it raises SystemExit
}

// The exit status of the written result: 2 with a warning on standard error
// when the largest force left is above --fmax, else None. A structure
// without a calculator (a replaced optimiser) cannot be judged.
py::object convergence_status(py::handle args, py::handle optimized_atoms) {
    if (!py::hasattr(optimized_atoms, "calc") || optimized_atoms.attr("calc").is_none()) {
        return py::none();
    }
    const double fmax = fb::to_float(args.attr("fmax"), "fmax");
    const double residual = fb::to_float(
        globals["relaxation_residual"](optimized_atoms, "pressure"_a = args.attr("pressure"),
                                       "method"_a = args.attr("method")),
        "residual");
    if (residual <= fmax) {
        return py::none();
    }
    fb::print_stderr_line(
        std::string(kPrefix) + "warning: the relaxation did not converge within " +
        py::str(args.attr("steps")).cast<std::string>() + " steps: the largest force left is " +
        fb::python_format(py::float_(residual), ".4g") + " eV/\u00c5, above --fmax " +
        fb::python_format(py::float_(fmax), "g") + "; the last structure was written to " +
        py::str(args.attr("output")).cast<std::string>() + ".");
    return py::int_(kNotConverged);
}

py::object main_(py::object args) {
    py::object output_fmt = output_format(args.attr("output"));
    py::object format = checked_output_format(args.attr("output"), output_fmt);
    fb::print_line("Reading initial structure from: " +
                   py::str(args.attr("filename")).cast<std::string>());
    if (args.attr("filename").is_none()) {
        missing_filename();
    }
    py::object initial_atoms = globals["read"](args.attr("filename"));

    py::object potential = resolve_potential(args.attr("potential"));
    py::object calc = globals["get_calculator"](potential);
    initial_atoms.attr("calc") = calc;

    py::object optimized_atoms = globals["optimize_structure"](
        initial_atoms, "fmax"_a = args.attr("fmax"), "method"_a = args.attr("method"),
        "steps"_a = args.attr("steps"), "pressure"_a = args.attr("pressure"),
        "trajectory"_a = args.attr("trajectory"));

    py::dict output_options;
    for (const char* vasp_name : {".vasp", "poscar", "contcar"}) {
        if (output_fmt.equal(py::str(vasp_name))) {
            output_options["vasp5"] = true;
            output_options["direct"] = true;
            break;
        }
    }
    output_options["format"] = format;
    fb::write_file_atomically(args.attr("output"), [&](py::object temporary) {
        globals["write"](temporary, optimized_atoms, **output_options);
    });

    fb::print_line(kRule);
    fb::print_line("Optimization finished.");
    fb::print_line("Final optimized structure written to: " +
                   py::str(args.attr("output")).cast<std::string>());
    return convergence_status(args, optimized_atoms);
}

} // namespace

PYBIND11_MODULE(optimize, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The ``optimize`` command: relax a structure with a pre-trained potential.

Reads a structure file, attaches the calculator of the chosen potential (the
bundled Tersoff or machine-learned potential by name, or a file), relaxes
positions and cell with ``ferrolith.optimization.optimize_structure`` and
writes the result; VASP outputs get the VASP 5 header and fractional
coordinates.)doc";

    m.attr("argparse") = py::module_::import("argparse");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    py::module_ ase_io = py::module_::import("ase.io");
    m.attr("read") = ase_io.attr("read");
    m.attr("write") = ase_io.attr("write");
    m.attr("files") = py::module_::import("ferrolith.data.files");
    py::module_ optimization = py::module_::import("ferrolith.optimization");
    m.attr("get_calculator") = optimization.attr("get_calculator");
    m.attr("optimize_structure") = optimization.attr("optimize_structure");
    m.attr("relaxation_residual") = optimization.attr("relaxation_residual");
    py::module_ formats = py::module_::import("ase.io.formats");
    m.attr("filetype") = formats.attr("filetype");
    m.attr("ioformats") = formats.attr("ioformats");
    py::module_ host = py::module_::import("ferrolith.cli");
    m.attr("CombinedFormatter") = host.attr("CombinedFormatter");
    m.attr("finite_float") = host.attr("finite_float");

    m.def("register_parser", &register_parser, "subparsers"_a,
          R"doc(Adds the ``optimize`` sub-parser and its options to ``subparsers``.)doc");
    m.def("main", &main_, "args"_a,
          R"doc(Runs the command with the parsed options ``args``: reads ``args.filename``,
relaxes it with the calculator of ``args.potential`` and writes
``args.output``.

The output's name is checked first (a format ASE can write, a folder that
takes a new file), so that a bad name fails before the relaxation; the
result is written whole or not at all (an existing file stays as it was when
the write fails). The names poscar and contcar are written as VASP files.

Returns:
    None when the relaxed structure meets ``args.fmax``; 2 (the exit status)
    when the step limit ended the relaxation first: the last structure is
    still written, and a warning on standard error names the largest force
    left and the steps taken.

Raises:
    SystemExit: without ``args.filename``, after the first line, with the
        argument parser's usage and error (status 2).)doc");
}
