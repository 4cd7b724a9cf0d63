// ferrolith.properties.elastic: elastic constants by finite strains.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/properties/elastic_fit.hpp"
#include "ferrolith/properties/moduli_record.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
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
constexpr const char* kStrainSet = "strain_set must be 'symmetry' or 'full'";
constexpr const char* kNonFinite =
    "The calculator returned non-finite forces or stress for the structure.";
constexpr const char* kNonFiniteForces =
    "The calculator returned non-finite forces for the cell strained by ";
constexpr const char* kNonFiniteStress =
    "The calculator returned a non-finite stress for the cell strained by ";
constexpr const char* kNoStress =
    "The calculator does not compute stress ('stress' is not among its "
    "implemented_properties), which elastic constants need.";
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
        auto or_none = [](const py::object& x) -> py::object {
            if (x) {
                return x;
            }
            return py::none();
        };
        manager.attr("__exit__")(or_none(e.type()), or_none(e.value()), or_none(e.trace()));
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

// The calculator of a potential given as in `ferrolith optimize`: a bundled
// name ("tersoff", "pth", "gpaw", which get_calculator resolves) or a file's path.
py::object calculator_of(py::object potential) {
    const bool bundled = py::isinstance<py::str>(potential) &&
                         (potential.equal(py::str("tersoff")) || potential.equal(py::str("pth")) ||
                          potential.equal(py::str("gpaw")));
    if (!bundled) {
        bool exists = false;
        try {
            exists = py::bool_(py::module_::import("os.path").attr("isfile")(potential));
        } catch (py::error_already_set&) {
            throw py::type_error("potential must be a name or a path, not " +
                                 fb::type_name(potential));
        }
        if (!exists) {
            throw py::value_error(
                "Unknown potential " + py::repr(potential).cast<std::string>() +
                ": give 'tersoff', 'pth', 'gpaw' or the path of a potential file.");
        }
    }
    return globals["get_calculator"](potential);
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

// What the symmetry of the (relaxed) structure tells: the crystal system, the
// rotation into the standard setting of its space group (spglib's
// std_rotation_matrix) and the operations in Cartesian form. A failed
// analysis leaves the triclinic criteria and no operations.
struct Symmetry {
    fp::CrystalSystem system = fp::CrystalSystem::kTriclinic;
    fp::Matrix3 std_rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    std::vector<fp::CartesianOperation> ops;
    std::vector<fp::Matrix3> rotations; ///< the distinct rotations of `ops`
};

std::array<std::array<int, 3>, 3> int_matrix(const py::handle& array) {
    py::array_t<int, py::array::c_style | py::array::forcecast> a =
        py::array_t<int, py::array::c_style | py::array::forcecast>::ensure(array);
    std::array<std::array<int, 3>, 3> m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = a.data()[3 * i + j];
    return m;
}

Symmetry symmetry_of(const py::object& atoms, double symprec) {
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
    Symmetry symmetry;
    if (dataset.is_none()) {
        return symmetry;
    }
    symmetry.system = fp::crystal_system(dataset.attr("number").cast<int>());
    symmetry.std_rotation = matrix3_of(dataset.attr("std_rotation_matrix"));

    const fp::Matrix3 lattice = matrix3_of(atoms.attr("cell").attr("array"));
    py::array_t<double, py::array::c_style | py::array::forcecast> scaled =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
            atoms.attr("get_scaled_positions")());
    std::vector<std::array<double, 3>> fractional(static_cast<std::size_t>(py::len(atoms)));
    for (std::size_t i = 0; i < fractional.size(); ++i) {
        for (int a = 0; a < 3; ++a) {
            fractional[i][a] = scaled.data()[3 * i + a];
        }
    }
    py::object rotations = dataset.attr("rotations");
    py::object translations = dataset.attr("translations");
    const auto n_ops = static_cast<std::size_t>(py::len(rotations));
    // A supercell repeats each rotation once per lattice translation.
    std::set<std::array<std::array<int, 3>, 3>> distinct;
    for (std::size_t k = 0; k < n_ops; ++k) {
        const auto w = int_matrix(rotations[py::int_(k)]);
        py::array_t<double, py::array::c_style | py::array::forcecast> t =
            py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                translations[py::int_(k)]);
        const auto r = fp::cartesian_rotation(lattice, w);
        if (!r) {
            symmetry.ops.clear();
            symmetry.rotations.clear();
            return symmetry;
        }
        if (distinct.insert(w).second) {
            symmetry.rotations.push_back(*r.value);
        }
        symmetry.ops.push_back(
            {*r.value, fp::fixed_atoms(lattice, fractional, w,
                                       {t.data()[0], t.data()[1], t.data()[2]}, symprec)});
    }
    return symmetry;
}

// "xx +0.50 %": the strain of a state, for messages.
std::string describe(const fp::StrainState& state) {
    static const char* const names[6] = {"xx", "yy", "zz", "yz", "xz", "xy"};
    return std::string(names[state.component]) + " " + format("%+.3g %%", 100.0 * state.strain);
}

bool all_finite(const py::object& array) {
    return py::module_::import("numpy").attr("isfinite")(array).attr("all")().cast<bool>();
}

py::object elastic_tensor(py::object atoms, py::object calculator, py::object potential,
                          py::object strains, py::object relax, py::object fmax_in,
                          py::object steps_in, py::object symprec_in, py::object strain_set) {
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
    fb::require_exact_str(strain_set, "strain_set");
    const std::string set_name = strain_set.cast<std::string>();
    if (set_name != "symmetry" && set_name != "full") {
        throw py::value_error(std::string(kStrainSet) + ", not " +
                              py::repr(strain_set).cast<std::string>() + ".");
    }
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
    py::object runtime_warning = py::module_::import("builtins").attr("RuntimeWarning");
    py::object numpy = py::module_::import("numpy");
    return with_context(limiter, [&]() -> py::object {
        const auto start = Clock::now();
        py::object reference = atoms.attr("copy")();
        reference.attr("calc") = calc;
        if (do_relax) {
            // The optimiser's step log is not ours to print (convergence is
            // checked below).
            py::module_ contextlib = py::module_::import("contextlib");
            py::object sink = py::module_::import("io").attr("StringIO")();
            reference = with_context(contextlib.attr("redirect_stdout")(sink), [&] {
                return globals["optimize_structure"](reference, "fmax"_a = fmax, "steps"_a = steps,
                                                     "trajectory"_a = py::none());
            });
            reference.attr("calc") = calc;
            // The cell filter's criterion: atomic forces, and the virial per atom
            // (V |σ| / N, eV/Å) for the cell.
            const double cell_force =
                numpy.attr("abs")(reference.attr("get_stress")()).attr("max")().cast<double>() *
                reference.attr("get_volume")().cast<double>() /
                static_cast<double>(py::len(reference));
            const double force = std::max(largest_force(reference), cell_force);
            if (!std::isfinite(force)) {
                throw py::value_error(kNonFinite);
            }
            if (force > fmax) {
                // stacklevel 1: C++ adds no Python frame, so the innermost
                // frame is the caller's.
                globals["warn"](
                    "The relaxation of the structure did not converge within " +
                        std::to_string(steps) + " steps (largest force " + format("%.3g", force) +
                        " eV/\u00c5); the tensor is computed around the last structure.",
                    runtime_warning, "stacklevel"_a = 1);
            }
        }
        require_periodic_cell(reference);
        fb::require_finite_structure(reference);

        // The symmetry of the reference decides which strained cells need the
        // calculator; the others are images of computed ones.
        const Symmetry symmetry = symmetry_of(reference, symprec);
        const fp::StrainPlan plan = fp::plan_strains(
            states, set_name == "symmetry" ? symmetry.rotations : std::vector<fp::Matrix3>{});
        const double elapsed0 = seconds_since(start);
        if (elapsed0 > kProgressAfter) {
            fb::print_stderr_line("elastic: structure ready (" + format("%.1f", elapsed0) +
                                  " s); " + std::to_string(plan.computed) +
                                  " strained cells to compute");
        }

        const fp::Matrix3 cell0 = matrix3_of(reference.attr("cell").attr("array"));
        py::object scaled0 = reference.attr("get_scaled_positions")("wrap"_a = false);
        const double gpa = globals["GPa"].cast<double>();
        std::vector<fp::Voigt6> stresses(states.size());
        std::size_t unconverged = 0, unmoved = 0, done = 0;
        // The last computed state: its strain, the internal displacement found
        // (fractional) and whether the relaxation moved the atoms at all.
        int last = -1;
        py::object last_shift = py::none();
        bool last_moved = false;
        double reported = 0.0; // time of the last progress line, s
        for (std::size_t k = 0; k < states.size(); ++k) {
            if (plan.source[k] >= 0) {
                continue;
            }
            py::object strained = reference.attr("copy")();
            strained.attr("calc") = calc;
            strained.attr("set_cell")(numpy_of(fp::strained_cell(cell0, states[k])),
                                      "scale_atoms"_a = true);
            // Internal strain is linear in the strain: a previous state of the
            // same component, scaled, is a close start (fewer steps, and a
            // DFT calculator's wave functions still fit).
            const bool continued = last >= 0 && states[last].component == states[k].component;
            if (continued) {
                const double ratio = states[k].strain / states[last].strain;
                strained.attr("set_scaled_positions")(scaled0 + last_shift * py::float_(ratio));
            }
            if (!all_finite(strained.attr("get_forces")())) {
                throw py::value_error(std::string(kNonFiniteForces) + describe(states[k]) + ".");
            }
            const double initial_force = largest_force(strained);
            // Internal strain: the atoms relax inside the fixed strained cell.
            py::object optimizer = globals["LBFGS"](strained, "logfile"_a = py::none());
            const bool converged =
                py::bool_(optimizer.attr("run")("fmax"_a = fmax, "steps"_a = steps));
            unconverged += converged ? 0 : 1;
            const bool moved =
                optimizer.attr("nsteps").cast<long long>() > 0 || (continued && last_moved);
            // Forces that are there but never acted on: the internal
            // relaxation is missing. (Exactly zero forces are the
            // calculator's answer, not a tolerance's.)
            if (!moved && initial_force > 0.0 &&
                fp::strain_allows_forces(states[k], symmetry.ops,
                                         static_cast<std::size_t>(py::len(strained)))) {
                ++unmoved;
            }
            py::array_t<double, py::array::c_style | py::array::forcecast> stress =
                py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                    strained.attr("get_stress")("voigt"_a = true));
            if (!stress || stress.size() != 6) {
                throw py::value_error("The calculator's stress is not a 6-vector.");
            }
            fp::Voigt6 sigma{};
            for (int i = 0; i < 6; ++i) {
                sigma[i] = stress.data()[i] / gpa;
                if (!std::isfinite(sigma[i])) {
                    throw py::value_error(std::string(kNonFiniteStress) + describe(states[k]) +
                                          ".");
                }
            }
            stresses[k] = sigma;
            py::object shift = strained.attr("get_scaled_positions")("wrap"_a = false) - scaled0;
            last_shift = shift - numpy.attr("round")(shift);
            last = static_cast<int>(k);
            last_moved = moved;
            ++done;
            const double elapsed = seconds_since(start);
            if (elapsed > kProgressAfter &&
                (done == plan.computed || elapsed - reported >= kProgressEvery)) {
                reported = elapsed;
                fb::print_stderr_line("elastic: strained cell " + std::to_string(done) + "/" +
                                      std::to_string(plan.computed) + " (" + describe(states[k]) +
                                      ", " + format("%.1f", elapsed) + " s)");
            }
        }
        for (std::size_t k = 0; k < states.size(); ++k) {
            if (plan.source[k] >= 0) {
                stresses[k] = fp::rotate_stress(stresses[plan.source[k]], plan.rotation[k]);
            }
        }

        const fp::TensorFit fit = fb::value_or_raise(fp::fit_tensor(states, stresses));
        if (unconverged > 0) {
            globals["warn"]("The relaxation at fixed cell did not converge within " +
                                std::to_string(steps) + " steps in " + std::to_string(unconverged) +
                                " of " + std::to_string(plan.computed) +
                                " strained states; the tensor is still computed (fit residual " +
                                format("%.3g", fit.residual) + " GPa).",
                            runtime_warning, "stacklevel"_a = 1);
        }
        if (unmoved > 0) {
            globals["warn"]("The atoms did not relax in " + std::to_string(unmoved) + " of " +
                                std::to_string(plan.computed) +
                                " strained cells although symmetry lets the strain move them: "
                                "their forces were already below fmax (" +
                                format("%.3g", fmax) +
                                " eV/\u00c5), so the tensor lacks the internal relaxation. "
                                "Use larger strains or a smaller fmax.",
                            runtime_warning, "stacklevel"_a = 1);
        }
        const bool stable =
            fp::born_stable(fp::rotate_tensor(fit.cij, symmetry.std_rotation), symmetry.system);
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
    m.attr("warn") = py::module_::import("warnings").attr("warn");
    py::module_ optimization = py::module_::import("ferrolith.optimization");
    m.attr("get_calculator") = optimization.attr("get_calculator");
    m.attr("optimize_structure") = optimization.attr("optimize_structure");
    try {
        m.attr("threadpool_limits") =
            py::module_::import("threadpoolctl").attr("threadpool_limits");
    } catch (py::error_already_set&) {
        m.attr("threadpool_limits") = py::none();
    }

    py::object floating = py::module_::import("builtins").attr("float");
    std::vector<fb::RecordField> fields = fb::moduli_record_fields();
    fields.push_back({"residual", floating, {}});
    fb::make_record_class(m, "ElasticResult", fields,
                          "Elastic tensor (GPa, Voigt order xx, yy, zz, yz, xz, xy), its Voigt, "
                          "Reuss and Hill moduli (GPa), Young's modulus (GPa), Poisson's ratio, "
                          "the Born stability verdict and the RMS fit residual (GPa).");

    m.def("elastic_tensor", &elastic_tensor, "atoms"_a, "calculator"_a = py::none(),
          "potential"_a = py::none(), "strains"_a = py::make_tuple(0.005, 0.01), "relax"_a = true,
          "fmax"_a = 1e-3, "steps"_a = 1000, "symprec"_a = 1e-3, "strain_set"_a = "symmetry",
          R"doc(Computes the elastic tensor of a crystal by finite strains.

Each strain (both signs, every Voigt component) is applied to the cell with
the atoms scaled along; the atoms are then relaxed at fixed cell with ASE's
LBFGS so that internal strain is included, and the stress is read back. With
``strain_set="symmetry"`` a strained cell that a symmetry operation of the
crystal maps onto one already computed is not computed again: its stress is
the rotated stress of that cell (a cubic crystal needs 3 of the 12 cells per
strain magnitude, orthorhombic and hexagonal ones 9, triclinic ones all 12),
and the tensor is the one the full set gives. A relaxation starts from the
internal displacement of the previous cell strained along the same
component, scaled to the new strain. Each
column of the tensor is the least-squares slope of stress against strain
(with intercept, so a small residual stress of the reference cancels); the
tensor is symmetrised.

Args:
    atoms (ase.Atoms): A crystal periodic in three directions. Not modified.
    calculator: An ASE calculator that computes stress.
    potential (str | os.PathLike): Instead of ``calculator``: 'tersoff' or
        'pth' for the bundled potentials, 'gpaw' for DFT with GPAW (PBE,
        plane waves; ``ferrolith.optimization.dft``), or the path of a
        potential file (a .json file: GPAW settings).
    strains (sequence of float): Strain magnitudes, each in (0, 0.1];
        engineering strains for the shear components.
    relax (bool): First relax cell and positions with
        ``ferrolith.optimization.optimize_structure``.
    fmax (float): Force criterion of every relaxation, eV/Å.
    steps (int): Step limit of every relaxation.
    symprec (float): spglib tolerance (Å) for the symmetry operations and
        the crystal system that selects the stability criteria.
    strain_set (str): "symmetry" (compute only the strained cells that
        symmetry does not give; assumes the calculator respects the crystal's
        symmetry) or "full" (every component, sign and magnitude).

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

    ValueError: A calculator that returns non-finite forces or stress, or
        a tensor that is zero (no stiffness: atoms without bonds).

A relaxation that does not converge gives a RuntimeWarning; the tensor is
still computed. So do strained cells whose atoms never moved although
symmetry lets the strain move them (forces below ``fmax`` from the start: a
strain too small for ``fmax``), since the tensor then lacks the internal
relaxation. Progress lines go to standard error once a tensor has taken
more than a few seconds.)doc");
}
