// ferrolith.properties.elastic: elastic constants by finite strains.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/properties/elastic_fit.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fp = ferrolith::properties;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kOneSource = "Give exactly one of calculator or potential.";
constexpr const char* kNotPeriodic =
    "Elastic constants need a structure periodic in all three directions with a cell of "
    "non-zero volume.";
constexpr const char* kNoStress =
    "The calculator does not compute stress ('stress' is not among its "
    "implemented_properties), which elastic constants need.";
constexpr const char* kMlPotentialFile = "BCN-qz-v0.0.1.pth";
constexpr const char* kTersoffFile = "BNC.tersoff";
// Progress lines start once a tensor has taken this long (s).
constexpr double kProgressAfter = 3.0;
// ... and come at most this often (s), plus the last state.
constexpr double kProgressEvery = 1.0;

using Clock = std::chrono::steady_clock;

// Runs `body` inside the Python context manager `manager` (a `with` block).
template <typename Body> py::object with_context(py::object manager, Body&& body) {
    manager.attr("__enter__")();
    py::object result;
    try {
        result = body();
    } catch (py::error_already_set& e) {
        manager.attr("__exit__")(e.type(), e.value(), e.trace());
        throw;
    }
    manager.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string format(const char* pattern, double x) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, x);
    return buffer;
}

// The calculator of a potential named as the optimize command names them: the
// bundled Tersoff or machine-learned potential, else a file path.
py::object calculator_of(py::object potential) {
    py::object path = potential;
    if (py::isinstance<py::str>(potential) &&
        (potential.equal(py::str("tersoff")) || potential.equal(py::str("pth")))) {
        const char* bundled = potential.equal(py::str("pth")) ? kMlPotentialFile : kTersoffFile;
        py::object directory = globals["Path"](globals["files"].attr("__file__")).attr("parent");
        path = py::str(directory.attr("__truediv__")(bundled));
    } else {
        py::object os_path = py::module_::import("os.path");
        bool exists = false;
        try {
            exists = py::bool_(os_path.attr("isfile")(potential));
        } catch (py::error_already_set&) {
            throw py::type_error("potential must be a name or a path, not " +
                                 fb::type_name(potential));
        }
        if (!exists) {
            throw py::value_error("Unknown potential " + py::repr(potential).cast<std::string>() +
                                  ": give 'tersoff', 'pth' or the path of a potential file.");
        }
    }
    return globals["get_calculator"](path);
}

void require_stress(const py::object& calc) {
    py::object properties = py::getattr(calc, "implemented_properties", py::none());
    if (properties.is_none() || !properties.contains("stress")) {
        throw py::value_error(kNoStress);
    }
}

void require_periodic_cell(const py::object& atoms) {
    const bool periodic =
        py::module_::import("builtins").attr("all")(atoms.attr("pbc")).cast<bool>();
    if (!periodic || atoms.attr("cell").attr("rank").cast<int>() != 3) {
        throw py::value_error(kNotPeriodic);
    }
}

std::vector<double> strain_magnitudes(const py::object& strains) {
    if (!py::isinstance<py::sequence>(strains) || py::isinstance<py::str>(strains)) {
        throw py::type_error("strains must be a sequence of numbers, not " +
                             fb::type_name(strains));
    }
    std::vector<double> values;
    for (py::handle s : strains) {
        values.push_back(fb::to_float(s, "strains"));
    }
    return values;
}

fp::Matrix3 matrix3_of(const py::object& array) {
    py::array_t<double, py::array::c_style | py::array::forcecast> a =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!a || a.size() != 9) {
        throw py::value_error("expected a 3x3 matrix");
    }
    fp::Matrix3 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = a.data()[3 * i + j];
        }
    }
    return m;
}

py::array_t<double> numpy_of(const fp::Matrix3& m) {
    py::array_t<double> out({3, 3});
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out.mutable_at(i, j) = m[i][j];
        }
    }
    return out;
}

// Largest atomic force (eV/Å) of a structure with a calculator attached.
double largest_force(const py::object& atoms) {
    py::object forces = atoms.attr("get_forces")();
    py::object numpy = py::module_::import("numpy");
    if (py::len(atoms) == 0) {
        return 0.0;
    }
    return numpy.attr("sqrt")((forces * forces).attr("sum")(1).attr("max")()).cast<double>();
}

// The crystal system of the structure and the rotation into the standard
// setting of its space group (spglib's std_rotation_matrix).
std::pair<fp::CrystalSystem, fp::Matrix3> symmetry_of(const py::object& atoms, double symprec) {
    fp::Matrix3 identity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    fb::require_finite_structure(atoms);
    py::object cell = globals["atoms_to_spglib_cell"](atoms);
    // spglib warns on every call unless the caller opted into its new error
    // handling; that choice is the user's, so the warning stays out of our call.
    py::module_ warnings = py::module_::import("warnings");
    py::object dataset;
    try {
        dataset = with_context(warnings.attr("catch_warnings")(), [&] {
            warnings.attr("filterwarnings")("ignore", "message"_a = "Set OLD_ERROR_HANDLING",
                                            "category"_a = py::handle(PyExc_DeprecationWarning));
            return globals["spglib"].attr("get_symmetry_dataset")(cell, "symprec"_a = symprec);
        });
    } catch (py::error_already_set& error) {
        // A failed analysis (spglib's new error handling raises) leaves the
        // general criterion; interrupts and the like pass through.
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_Warning)) {
            throw;
        }
        dataset = py::none();
    }
    if (dataset.is_none()) {
        return {fp::CrystalSystem::kTriclinic, identity};
    }
    const int number = dataset.attr("number").cast<int>();
    return {fp::crystal_system(number), matrix3_of(dataset.attr("std_rotation_matrix"))};
}

py::object elastic_tensor(py::object atoms, py::object calculator, py::object potential,
                          py::object strains, py::object relax, py::object fmax_in,
                          py::object steps_in, py::object symprec_in) {
    // Arguments, in order; nothing is computed before all pass.
    if (!py::isinstance(atoms, globals["Atoms"])) {
        throw py::type_error("atoms must be an ase.Atoms, not " + fb::type_name(atoms));
    }
    fb::require_finite_structure(atoms);
    require_periodic_cell(atoms);
    const std::vector<fp::StrainState> states =
        fb::value_or_raise(fp::strain_states(strain_magnitudes(strains)));
    const double fmax = fb::to_float(fmax_in, "fmax");
    if (!(fmax > 0) || std::isinf(fmax)) {
        throw py::value_error("fmax must be a positive finite number of eV/\u00c5, not " +
                              py::repr(fmax_in).cast<std::string>() + ".");
    }
    const long long steps = fb::require_exact_int(steps_in, "steps");
    if (steps < 1) {
        throw py::value_error("steps must be at least 1, not " + std::to_string(steps) + ".");
    }
    const double symprec = fb::positive_symprec(symprec_in);
    if (calculator.is_none() == potential.is_none()) {
        throw py::value_error(kOneSource);
    }
    py::object calc = calculator.is_none() ? calculator_of(potential) : calculator;
    require_stress(calc);
    const bool do_relax = py::bool_(relax);

    // Limit BLAS threads: the optimisers' many small solves only fight over cores.
    py::object limits = globals["threadpool_limits"];
    py::object limiter = limits.is_none() ? py::module_::import("contextlib").attr("nullcontext")()
                                          : limits("limits"_a = 1, "user_api"_a = "blas");
    return with_context(limiter, [&]() -> py::object {
        const auto start = Clock::now();
        py::object reference = atoms.attr("copy")();
        reference.attr("calc") = calc;
        if (do_relax) {
            // The optimiser's step log is not ours to print (convergence is
            // checked below), and scipy's "logm result may be inaccurate" at
            // rounding-level errors of the cell filter's matrix logarithm is
            // harmless.
            py::module_ contextlib = py::module_::import("contextlib");
            py::object sink = py::module_::import("io").attr("StringIO")();
            py::module_ warnings = py::module_::import("warnings");
            reference = with_context(contextlib.attr("redirect_stdout")(sink), [&] {
                return with_context(warnings.attr("catch_warnings")(), [&] {
                    warnings.attr("filterwarnings")("ignore",
                                                    "message"_a = "logm result may be inaccurate");
                    return globals["optimize_structure"](
                        reference, "fmax"_a = fmax, "steps"_a = steps, "trajectory"_a = py::none());
                });
            });
            reference.attr("calc") = calc;
            // The cell filter's criterion: atomic forces, and the virial per atom
            // (V |σ| / N, eV/Å) for the cell.
            py::object numpy = py::module_::import("numpy");
            const double cell_force =
                numpy.attr("abs")(reference.attr("get_stress")()).attr("max")().cast<double>() *
                reference.attr("get_volume")().cast<double>() /
                static_cast<double>(py::len(reference));
            const double force = std::max(largest_force(reference), cell_force);
            if (force > fmax) {
                // stacklevel 1: C++ adds no Python frame, so the innermost
                // frame is the caller's.
                globals["warn"](
                    "The relaxation of the structure did not converge within " +
                        std::to_string(steps) + " steps (largest force " + format("%.3g", force) +
                        " eV/\u00c5); the tensor is computed around the last structure.",
                    py::module_::import("builtins").attr("RuntimeWarning"), "stacklevel"_a = 1);
            }
            const double elapsed = seconds_since(start);
            if (elapsed > kProgressAfter) {
                fb::print_stderr_line("elastic: structure relaxed (" + format("%.1f", elapsed) +
                                      " s); " + std::to_string(states.size()) +
                                      " strained states to go");
            }
        }
        require_periodic_cell(reference);
        fb::require_finite_structure(reference);

        const fp::Matrix3 cell0 = matrix3_of(reference.attr("cell").attr("array"));
        const double gpa = globals["GPa"].cast<double>();
        std::vector<fp::Voigt6> stresses;
        std::size_t unconverged = 0;
        double reported = 0.0; // time of the last progress line, s
        for (std::size_t k = 0; k < states.size(); ++k) {
            py::object strained = reference.attr("copy")();
            strained.attr("calc") = calc;
            strained.attr("set_cell")(numpy_of(fp::strained_cell(cell0, states[k])),
                                      "scale_atoms"_a = true);
            // Internal strain: the atoms relax inside the fixed strained cell.
            py::object optimizer = globals["LBFGS"](strained, "logfile"_a = py::none());
            const bool converged =
                py::bool_(optimizer.attr("run")("fmax"_a = fmax, "steps"_a = steps));
            unconverged += converged ? 0 : 1;
            py::array_t<double, py::array::c_style | py::array::forcecast> stress =
                py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                    strained.attr("get_stress")("voigt"_a = true));
            if (!stress || stress.size() != 6) {
                throw py::value_error("The calculator's stress is not a 6-vector.");
            }
            fp::Voigt6 sigma{};
            for (int i = 0; i < 6; ++i) {
                sigma[i] = stress.data()[i] / gpa;
            }
            stresses.push_back(sigma);
            const double elapsed = seconds_since(start);
            const bool last = k + 1 == states.size();
            if (elapsed > kProgressAfter && (last || elapsed - reported >= kProgressEvery)) {
                reported = elapsed;
                fb::print_stderr_line("elastic: strained state " + std::to_string(k + 1) + "/" +
                                      std::to_string(states.size()) + " (" +
                                      format("%.1f", elapsed) + " s)");
            }
        }

        const fp::TensorFit fit = fb::value_or_raise(fp::fit_tensor(states, stresses));
        if (unconverged > 0) {
            globals["warn"]("The relaxation at fixed cell did not converge within " +
                                std::to_string(steps) + " steps in " + std::to_string(unconverged) +
                                " of " + std::to_string(states.size()) +
                                " strained states; the tensor is still computed (fit residual " +
                                format("%.3g", fit.residual) + " GPa).",
                            py::module_::import("builtins").attr("RuntimeWarning"),
                            "stacklevel"_a = 1);
        }
        const auto [system, rotation] = symmetry_of(reference, symprec);
        const bool stable = fp::born_stable(fp::rotate_tensor(fit.cij, rotation), system);
        const fp::Moduli m = fp::voigt_reuss_hill(fit.cij);

        py::array_t<double> cij({6, 6});
        for (int i = 0; i < 6; ++i) {
            for (int j = 0; j < 6; ++j) {
                cij.mutable_at(i, j) = fit.cij[i][j];
            }
        }
        py::object result = globals["ElasticResult"](
            "cij"_a = cij, "bulk_voigt"_a = m.bulk_voigt, "bulk_reuss"_a = m.bulk_reuss,
            "bulk_hill"_a = m.bulk_hill, "shear_voigt"_a = m.shear_voigt,
            "shear_reuss"_a = m.shear_reuss, "shear_hill"_a = m.shear_hill, "young"_a = m.young,
            "poisson"_a = m.poisson, "stable"_a = stable, "residual"_a = fit.residual);
        return result;
    });
}

} // namespace

PYBIND11_MODULE(elastic, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Elastic constants of a crystal by finite strains.

``elastic_tensor`` strains the cell along each Voigt component by ± each
strain magnitude, relaxes the atoms inside every strained cell (internal
strain), reads the stress from an ASE calculator and fits stress against
strain. The result carries the 6×6 tensor in GPa, the Voigt, Reuss and Hill
bulk and shear moduli, Young's modulus, Poisson's ratio and the Born
stability verdict for the crystal system that spglib finds.)doc";

    // Names resolved at call time; replace them on the module to change them.
    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    m.attr("LBFGS") = py::module_::import("ase.optimize").attr("LBFGS");
    m.attr("GPa") = py::module_::import("ase.units").attr("GPa");
    m.attr("atoms_to_spglib_cell") = py::module_::import("ase.utils").attr("atoms_to_spglib_cell");
    m.attr("spglib") = py::module_::import("spglib");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("warn") = py::module_::import("warnings").attr("warn");
    py::module_ optimization = py::module_::import("ferrolith.optimization");
    m.attr("get_calculator") = optimization.attr("get_calculator");
    m.attr("optimize_structure") = optimization.attr("optimize_structure");
    m.attr("files") = py::module_::import("ferrolith.data.files");
    try {
        m.attr("threadpool_limits") =
            py::module_::import("threadpoolctl").attr("threadpool_limits");
    } catch (py::error_already_set&) {
        m.attr("threadpool_limits") = py::none();
    }

    py::object builtins = py::module_::import("builtins");
    py::object floating = builtins.attr("float");
    std::vector<fb::RecordField> fields{{"cij", py::module_::import("numpy").attr("ndarray"), {}}};
    for (const char* name : {"bulk_voigt", "bulk_reuss", "bulk_hill", "shear_voigt", "shear_reuss",
                             "shear_hill", "young", "poisson"}) {
        fields.push_back({name, floating, {}});
    }
    fields.push_back({"stable", builtins.attr("bool"), {}});
    fields.push_back({"residual", floating, {}});
    fb::make_record_class(m, "ElasticResult", fields,
                          "Elastic tensor (GPa, Voigt order xx, yy, zz, yz, xz, xy), its Voigt, "
                          "Reuss and Hill moduli (GPa), Young's modulus (GPa), Poisson's ratio, "
                          "the Born stability verdict and the RMS fit residual (GPa).");

    m.def("elastic_tensor", &elastic_tensor, "atoms"_a, "calculator"_a = py::none(),
          "potential"_a = py::none(), "strains"_a = py::make_tuple(0.005, 0.01), "relax"_a = true,
          "fmax"_a = 1e-3, "steps"_a = 1000, "symprec"_a = 1e-3,
          R"doc(Computes the elastic tensor of a crystal by finite strains.

Each strain (both signs, every Voigt component) is applied to the cell with
the atoms scaled along; the atoms are then relaxed at fixed cell with ASE's
LBFGS so that internal strain is included, and the stress is read back. Each
column of the tensor is the least-squares slope of stress against strain
(with intercept, so a small residual stress of the reference cancels); the
tensor is symmetrised.

Args:
    atoms (ase.Atoms): A crystal periodic in three directions. Not modified.
    calculator: An ASE calculator that computes stress.
    potential (str | os.PathLike): Instead of ``calculator``: 'tersoff' or
        'pth' for the bundled potentials, or the path of a potential file.
    strains (sequence of float): Strain magnitudes, each in (0, 0.1];
        engineering strains for the shear components.
    relax (bool): First relax cell and positions with
        ``ferrolith.optimization.optimize_structure``.
    fmax (float): Force criterion of every relaxation, eV/Å.
    steps (int): Step limit of every relaxation.
    symprec (float): spglib tolerance (Å) for the crystal system that
        selects the stability criteria.

Returns:
    ElasticResult: The tensor ``cij`` (6×6 numpy array, GPa), ``bulk_voigt``,
    ``bulk_reuss``, ``bulk_hill``, ``shear_voigt``, ``shear_reuss``,
    ``shear_hill``, ``young`` (GPa), ``poisson``, ``stable`` (Born criteria of
    Mouhat & Coudert, PRB 90, 224104 (2014), for the crystal system, in its
    standard orientation) and ``residual`` (RMS fit residual, GPa).

Raises:
    TypeError: ``atoms`` is not an ase.Atoms, or an argument has the wrong type.
    ValueError: No periodic cell, non-finite numbers, a strain that is not
        positive, not exactly one of calculator and potential, an unknown
        potential, or a calculator without stress.

A relaxation that does not converge gives a RuntimeWarning; the tensor is
still computed. Progress lines go to standard error once a tensor has taken
more than a few seconds.)doc");
}
