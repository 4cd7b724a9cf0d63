// ferrolith.optimization.relax: calculators from potential files, and
// structure relaxation with ASE's optimisers.
#include "ferrolith/_binding/binding.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

// "kind: description" lines of every supported kind, for error messages.
std::string supported_kinds() {
    std::string text = "Supported potentials:";
    py::dict kinds = globals["POTENTIAL_KINDS"];
    for (auto item : kinds) {
        text += "\n  " + py::str(item.first).cast<std::string>() + ": " +
                py::str(item.second).cast<std::string>();
    }
    return text;
}

[[noreturn]] void raise_with(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The kind of potential stored at `path`: by suffix, else by content.
std::string potential_kind(py::object potential) {
    py::object path = globals["Path"](potential);
    const std::string suffix = lower(path.attr("suffix").cast<std::string>());
    const std::string text = py::str(potential).cast<std::string>();
    if (suffix == ".pth") {
        return "pth";
    }
    if (!py::bool_(path.attr("exists")())) {
        raise_with(PyExc_FileNotFoundError,
                   "No potential file at '" + text + "'. " + supported_kinds());
    }
    if (!py::bool_(path.attr("is_file")())) {
        raise_with(PyExc_ValueError,
                   "The potential '" + text + "' is not a file. " + supported_kinds());
    }
    if (suffix == ".tersoff") {
        return "tersoff";
    }
    if (suffix == ".json") {
        return "gpaw";
    }
    // Unknown suffix: PyTorch saves zip archives (or pickles); a Tersoff file
    // is text that reads as one.
    py::object file = path.attr("open")("rb");
    std::string magic;
    try {
        magic = py::bytes(file.attr("read")(4));
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    if (magic.rfind("PK\x03\x04", 0) == 0 || (!magic.empty() && magic[0] == '\x80')) {
        return "pth";
    }
    try {
        globals["TersoffPotential"](path);
        return "tersoff";
    } catch (py::error_already_set&) {
    }
    raise_with(PyExc_ValueError,
               "Cannot tell which kind of potential '" + text + "' is. " + supported_kinds());
}

// The bundled potentials by the names the command takes.
constexpr const char* kBundled[][2] = {
    {"tersoff", "BNC.tersoff"}, {"pth", "BCN-qz-v0.0.1.pth"}, {"gpaw", "gpaw-pbe.json"}};

py::object get_calculator(py::object potential) {
    if (!py::isinstance<py::str>(potential) && !py::isinstance(potential, globals["PathLike"])) {
        throw py::type_error("potential must be a str or path, not " + fb::type_name(potential));
    }
    for (const auto& [name, file] : kBundled) {
        if (potential.equal(py::str(name))) {
            potential = py::str(globals["Path"](globals["files"].attr("__file__"))
                                    .attr("parent")
                                    .attr("__truediv__")(file));
            break;
        }
    }
    const std::string kind = potential_kind(potential);
    py::dict factories = globals["CALCULATORS"];
    if (!factories.contains(kind)) {
        raise_with(PyExc_ValueError, "No calculator is registered for potentials of kind '" + kind +
                                         "'. " + supported_kinds());
    }
    return factories[py::str(kind)](py::str(potential));
}

// The optimiser class named `method`, matched without regard to case.
py::object find_optimizer(const std::string& method) {
    py::dict optimizers = globals["OPTIMIZERS"];
    const std::string wanted = lower(method);
    std::string known;
    for (auto item : optimizers) {
        const std::string name = py::str(item.first).cast<std::string>();
        if (lower(name) == wanted) {
            return py::reinterpret_borrow<py::object>(item.second);
        }
        known += known.empty() ? name : ", " + name;
    }
    throw py::value_error("Unknown optimization method '" + method + "'. Known methods: " + known +
                          ".");
}

long long non_negative_steps(py::handle steps) {
    if (PyBool_Check(steps.ptr()) || !PyIndex_Check(steps.ptr())) {
        throw py::type_error("steps must be an integer, not " + fb::type_name(steps));
    }
    const long long value = fb::int64_of(steps, "steps");
    if (value < 0) {
        throw py::value_error("steps must not be negative, got " + std::to_string(value) + ".");
    }
    return value;
}

// What the optimiser moves: the structure itself when nothing is periodic,
// else the structure with its cell (strain components that stay within the
// periodic directions, ASE's FrechetCellFilter at `pressure` GPa).
py::object relaxation_target(py::object atoms, double pressure, bool cell_aware) {
    py::object pbc = atoms.attr("pbc");
    bool periodic[3];
    for (int d = 0; d < 3; ++d) {
        periodic[d] = py::bool_(pbc[py::int_(d)]);
    }
    if (!(periodic[0] || periodic[1] || periodic[2])) {
        if (cell_aware) {
            throw py::value_error("The optimization method CellAwareBFGS relaxes the cell and "
                                  "needs a structure with at least one periodic direction.");
        }
        return atoms;
    }
    py::list mask;
    for (bool flag : {periodic[0], periodic[1], periodic[2], periodic[1] && periodic[2],
                      periodic[0] && periodic[2], periodic[0] && periodic[1]}) {
        mask.append(py::bool_(flag));
    }
    py::dict filter_options;
    filter_options["mask"] = mask;
    filter_options["scalar_pressure"] = pressure * globals["GPa"].cast<double>();
    if (cell_aware) {
        // Its Hessian model assumes the unscaled cell coordinates.
        filter_options["exp_cell_factor"] = 1.0;
    }
    return globals["FrechetCellFilter"](atoms, **filter_options);
}

// The largest force (eV/Å) on the degrees of freedom of `target`: what the
// optimisers compare with fmax.
double largest_force(py::handle target) {
    py::object forces = target.attr("get_forces")();
    py::object numpy = py::module_::import("numpy");
    return numpy.attr("sqrt")((forces * forces).attr("sum")(1).attr("max")()).cast<double>();
}

double relaxation_residual(py::object atoms, py::object pressure_in, py::object method_in) {
    if (!py::isinstance(atoms, globals["Atoms"])) {
        throw py::type_error("atoms must be an ase.Atoms, not " + fb::type_name(atoms));
    }
    const double pressure = fb::to_float(pressure_in, "pressure");
    if (!std::isfinite(pressure)) {
        throw py::value_error("pressure must be a finite number of GPa, got " +
                              py::repr(pressure_in).cast<std::string>() + ".");
    }
    fb::require_exact_str(method_in, "method");
    if (atoms.attr("calc").is_none()) {
        throw py::value_error("The structure has no calculator; attach one first, e.g. "
                              "atoms.calc = get_calculator(potential).");
    }
    py::object optimizer_class = find_optimizer(method_in.cast<std::string>());
    const bool cell_aware = optimizer_class.attr("__name__").cast<std::string>() == "CellAwareBFGS";
    return largest_force(relaxation_target(atoms, pressure, cell_aware));
}

py::object optimize_structure(py::object atoms, py::object fmax_in, py::object method_in,
                              py::object steps_in, py::object pressure_in, py::object trajectory) {
    if (!py::isinstance(atoms, globals["Atoms"])) {
        throw py::type_error("atoms must be an ase.Atoms, not " + fb::type_name(atoms));
    }
    const double fmax = fb::to_float(fmax_in, "fmax");
    if (!(fmax >= 0) || std::isinf(fmax)) {
        throw py::value_error("fmax must be a non-negative number of eV/\u00c5, got " +
                              py::repr(fmax_in).cast<std::string>() + ".");
    }
    fb::require_exact_str(method_in, "method");
    const long long steps = non_negative_steps(steps_in);
    const double pressure = fb::to_float(pressure_in, "pressure");
    if (!std::isfinite(pressure)) {
        throw py::value_error("pressure must be a finite number of GPa, got " +
                              py::repr(pressure_in).cast<std::string>() + ".");
    }
    if (atoms.attr("calc").is_none()) {
        throw py::value_error("The structure has no calculator; attach one first, e.g. "
                              "atoms.calc = get_calculator(potential).");
    }
    py::object optimizer_class = find_optimizer(method_in.cast<std::string>());

    // The caller's structure stays as it was; the relaxed copy shares its
    // calculator.
    py::object relaxed = atoms.attr("copy")();
    relaxed.attr("calc") = atoms.attr("calc");

    const bool cell_aware = optimizer_class.attr("__name__").cast<std::string>() == "CellAwareBFGS";
    py::object target = relaxation_target(relaxed, pressure, cell_aware);
    if (target.is(relaxed) && pressure != 0.0) {
        fb::print_line("Note: the structure has no periodic direction; the pressure is ignored.");
    }

    py::object stdout_ = py::module_::import("sys").attr("stdout");
    py::object optimizer =
        optimizer_class(target, "logfile"_a = stdout_, "trajectory"_a = trajectory);
    // Each step solves a few 3x3 and 9x9 systems: threads of a multi-threaded
    // BLAS only fight over the cores there (several times slower), so BLAS
    // runs on one thread while relaxing.
    py::object one_thread = globals["threadpool_limits"]("limits"_a = 1, "user_api"_a = "blas");
    py::object warnings = globals["warnings"];
    py::object caught = warnings.attr("catch_warnings")();
    bool converged;
    {
        std::vector<py::object> contexts{one_thread, caught, optimizer};
        std::size_t entered = 0;
        auto leave = [&](py::object type, py::object value, py::object trace) {
            while (entered > 0) {
                contexts[--entered].attr("__exit__")(type, value, trace);
            }
        };
        try {
            py::object opt;
            for (py::object& context : contexts) {
                opt = context.attr("__enter__")();
                ++entered;
                if (context.is(caught)) {
                    // The cell filter takes the matrix logarithm of the cell's
                    // deformation; scipy warns whenever its own relative error
                    // estimate exceeds 1000 machine epsilons (2e-13), far below
                    // what moves an atom or changes the stress, and so at
                    // nearly every step.
                    warnings.attr("filterwarnings")(
                        "ignore", "message"_a = "logm result may be inaccurate",
                        "category"_a = py::reinterpret_borrow<py::object>(PyExc_RuntimeWarning));
                }
            }
            converged = py::bool_(opt.attr("run")("fmax"_a = fmax, "steps"_a = steps));
        } catch (py::error_already_set& e) {
            leave(e.type(), e.value(), e.trace());
            throw;
        } catch (...) {
            leave(py::none(), py::none(), py::none());
            throw;
        }
        leave(py::none(), py::none(), py::none());
    }
    if (!converged) {
        const double largest = largest_force(target);
        char text[256];
        std::snprintf(text, sizeof text,
                      "Warning: the optimization did not converge within %lld steps "
                      "(largest force %.4f eV/\u00c5, fmax %g eV/\u00c5).",
                      steps, largest, fmax);
        fb::print_line(text);
    }
    return relaxed;
}

} // namespace

PYBIND11_MODULE(relax, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Calculators from potential files and structure relaxation.

``get_calculator(potential)`` picks the ASE calculator for a potential file;
``optimize_structure`` relaxes atomic positions and the periodic cell
together with one of ASE's optimisers at a target pressure.)doc";

    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("PathLike") = py::module_::import("os").attr("PathLike");
    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    m.attr("FrechetCellFilter") = py::module_::import("ase.filters").attr("FrechetCellFilter");
    m.attr("GPa") = py::module_::import("ase.units").attr("GPa");
    m.attr("files") = py::module_::import("ferrolith.data.files");
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("threadpool_limits") = py::module_::import("threadpoolctl").attr("threadpool_limits");
    py::module_ tersoff = py::module_::import("ferrolith.optimization.tersoff");
    m.attr("TersoffPotential") = tersoff.attr("TersoffPotential");
    m.attr("TersoffCalculator") = tersoff.attr("TersoffCalculator");

    // Every optimiser class that ase.optimize exports, by its name.
    py::module_ ase_optimize = py::module_::import("ase.optimize");
    py::object base = py::module_::import("ase.optimize.optimize").attr("Optimizer");
    py::object issubclass = py::module_::import("builtins").attr("issubclass");
    py::object isclass = py::module_::import("inspect").attr("isclass");
    py::dict optimizers;
    for (py::handle name : ase_optimize.attr("__all__")) {
        py::object obj = ase_optimize.attr(name);
        if (py::bool_(isclass(obj)) && py::bool_(issubclass(obj, base))) {
            optimizers[name] = obj;
        }
    }
    m.attr("OPTIMIZERS") = optimizers;

    py::dict kinds;
    kinds["tersoff"] = "a Tersoff parameter file in the LAMMPS format (such as BNC.tersoff)";
    kinds["pth"] = "a machine-learned potential saved as a .pth file";
    kinds["gpaw"] = "GPAW settings in a .json file (DFT: PBE, plane waves; needs GPAW: "
                    "pip install 'ferrolith[dft]')";
    m.attr("POTENTIAL_KINDS") = kinds;

    m.attr("load_ml_calculator") =
        py::module_::import("ferrolith.optimization._mlp").attr("load_ml_calculator");
    py::dict factories;
    factories["tersoff"] = m.attr("TersoffCalculator");
    factories["pth"] = m.attr("load_ml_calculator");
    m.attr("load_gpaw_calculator") =
        py::module_::import("ferrolith.optimization.dft").attr("load_gpaw_calculator");
    factories["gpaw"] = m.attr("load_gpaw_calculator");
    m.attr("CALCULATORS") = factories;

    m.def("potential_kind", &potential_kind, "potential"_a,
          R"doc(The kind of the potential file ``potential``: "tersoff", "pth" or "gpaw",
from its suffix (".tersoff", ".pth", ".json") or, for another suffix, its content.
FileNotFoundError for a missing file, ValueError for an unknown kind; both
messages list the supported kinds.)doc");
    m.def("get_calculator", &get_calculator, "potential"_a,
          R"doc(Returns the ASE calculator of the potential file ``potential`` (str or path).

The names "tersoff" and "pth" stand for the bundled potentials, as for the
``optimize`` command: the Tersoff B-N-C file and the machine-learned B-C-N
model beside ``ferrolith.data.files``; "gpaw" for DFT with GPAW at the
settings of ``gpaw-pbe.json`` there (see ``ferrolith.optimization.dft``).

The kind of file (see ``potential_kind``) selects the calculator class in
``CALCULATORS``: a Tersoff file gives a ``TersoffCalculator``, a ".pth"
machine-learned potential an ``MLCalculator`` (read without PyTorch;
ValueError for a file of another format), a ".json" file of GPAW settings a
``GPAWCalculator`` (ImportError naming the ``dft`` extra when GPAW is
missing). A
missing file or an unknown kind raises an error listing the supported kinds.)doc");
    m.def("relaxation_residual", &relaxation_residual, "atoms"_a, "pressure"_a = 0.0,
          "method"_a = "LBFGS",
          R"doc(The largest force (eV/Å) left on ``atoms`` as ``optimize_structure`` measures it.

The structure must carry a calculator. Atomic forces and, along the periodic
directions, the cell's generalised forces (ASE's FrechetCellFilter at
``pressure`` GPa, weighted as for the optimiser ``method``) count; a
relaxation has converged when this is at most its ``fmax``. The calculator's
results for the structure as it is are reused, so after a relaxation this
costs no new evaluation.)doc");
    m.def("optimize_structure", &optimize_structure, "atoms"_a, "fmax"_a = 0.05,
          "method"_a = "LBFGS", "steps"_a = 5000, "pressure"_a = 0.0, "trajectory"_a = "opt.traj",
          R"doc(Relaxes ``atoms`` (which must carry a calculator) and returns the relaxed copy.

Atomic positions and, along the periodic directions, the cell relax together
(ASE's FrechetCellFilter at ``pressure`` GPa) with the ASE optimiser named
``method`` (matched without regard to case; see ``OPTIMIZERS``) until every
force is below ``fmax`` eV/Å or ``steps`` steps have been taken. The
optimiser's log goes to standard output, each step is written to the
``trajectory`` file (None for none), and a warning line is printed when the
force criterion was not met. BLAS runs on one thread while relaxing (its
threads only slow down the small solves of each step), and scipy's "logm
result may be inaccurate" warning, harmless here, is silenced. The input structure is not changed; the
returned one shares its calculator.)doc");
}
