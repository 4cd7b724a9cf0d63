// ferrolith.optimization.tersoff: the Tersoff potential as an ASE calculator.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/optimization/tersoff_eval.hpp"
#include "ferrolith/optimization/tersoff_params.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fo = ferrolith::optimization;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr int kMaxAtomicNumber = 119;

/// A parsed Tersoff file with the storage its evaluations reuse.
class TersoffPotential {
public:
    TersoffPotential(fo::TersoffParameters params, std::string path)
        : params_(std::move(params)), path_(std::move(path)) {
        element_of_z_.fill(-1);
        py::dict numbers = globals["atomic_numbers"];
        const auto& names = params_.elements();
        for (std::size_t e = 0; e < names.size(); ++e) {
            py::str name(names[e]);
            if (numbers.contains(name)) {
                const int z = numbers[name].cast<int>();
                if (z >= 0 && z < kMaxAtomicNumber) {
                    element_of_z_[static_cast<std::size_t>(z)] = static_cast<int>(e);
                }
            }
        }
    }

    const fo::TersoffParameters& params() const { return params_; }
    const std::string& path() const { return path_; }

    /// Element index of every atom, or a ValueError naming the elements the
    /// file lacks and the triplet it misses.
    std::vector<int> element_indices(const py::array_t<long long>& numbers) const {
        const std::size_t n = static_cast<std::size_t>(numbers.size());
        const long long* z = numbers.data();
        std::vector<int> index(n);
        std::vector<long long> unknown;
        std::vector<char> seen(params_.n_elements(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const int e = (z[i] >= 0 && z[i] < kMaxAtomicNumber)
                              ? element_of_z_[static_cast<std::size_t>(z[i])]
                              : -1;
            if (e < 0) {
                if (std::find(unknown.begin(), unknown.end(), z[i]) == unknown.end()) {
                    unknown.push_back(z[i]);
                }
                continue;
            }
            index[i] = e;
            seen[static_cast<std::size_t>(e)] = 1;
        }
        if (!unknown.empty()) {
            py::list symbols = globals["chemical_symbols"];
            std::string names;
            for (long long u : unknown) {
                names += names.empty() ? "" : ", ";
                names += (u >= 0 && u < static_cast<long long>(py::len(symbols)))
                             ? symbols[static_cast<std::size_t>(u)].cast<std::string>()
                             : "atomic number " + std::to_string(u);
            }
            throw py::value_error("The Tersoff potential " + path_ + " has no parameters for " +
                                  names + "; it covers " + covered() + ".");
        }
        std::vector<int> present;
        for (std::size_t e = 0; e < seen.size(); ++e) {
            if (seen[e]) {
                present.push_back(static_cast<int>(e));
            }
        }
        if (const auto missing = params_.missing_triplet(present)) {
            const auto& names = params_.elements();
            throw py::value_error(
                "The Tersoff potential " + path_ + " has no entry for the element triplet " +
                names[static_cast<std::size_t>((*missing)[0])] + " " +
                names[static_cast<std::size_t>((*missing)[1])] + " " +
                names[static_cast<std::size_t>((*missing)[2])] + ", which this structure needs.");
        }
        return index;
    }

    /// Energy (eV), per-atom energies, forces (eV/Å) and virial (eV) of `atoms`.
    py::dict evaluate(py::object atoms) {
        using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
        using IntArray = py::array_t<long long, py::array::c_style | py::array::forcecast>;
        DoubleArray positions = DoubleArray::ensure(atoms.attr("positions"));
        IntArray numbers = IntArray::ensure(atoms.attr("numbers"));
        DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
        py::object pbc = atoms.attr("pbc");
        const std::size_t n = static_cast<std::size_t>(numbers.size());
        if (!positions || !numbers || !cell || positions.ndim() != 2 || positions.shape(1) != 3 ||
            static_cast<std::size_t>(positions.shape(0)) != n || cell.size() != 9) {
            throw py::value_error("atoms must have n x 3 positions, n atomic numbers and a 3 x 3 "
                                  "cell");
        }
        const std::vector<int> elements = element_indices(numbers);

        fo::TersoffInput input;
        input.n_atoms = n;
        input.positions = positions.data();
        input.elements = elements.data();
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                input.cell[r][c] = cell.data()[3 * r + c];
            }
            input.pbc[r] = py::bool_(pbc[py::int_(r)]);
        }
        input.want_energies = true;
        fo::TersoffResult result;
        std::string error;
        {
            // Other Python threads may run meanwhile; the shared workspace is
            // used by one evaluation at a time.
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(*busy_);
            error = fo::evaluate_tersoff(params_, input, work_, result);
        }
        if (!error.empty()) {
            throw py::value_error(error);
        }

        py::array_t<double> forces({static_cast<py::ssize_t>(n), py::ssize_t{3}});
        std::copy(result.forces.begin(), result.forces.end(), forces.mutable_data());
        py::array_t<double> energies(static_cast<py::ssize_t>(n));
        std::copy(result.energies.begin(), result.energies.end(), energies.mutable_data());
        py::array_t<double> virial(6);
        std::copy(result.virial.begin(), result.virial.end(), virial.mutable_data());
        py::dict out;
        out["energy"] = result.energy;
        out["energies"] = energies;
        out["forces"] = forces;
        out["virial"] = virial;
        return out;
    }

    std::string covered() const {
        std::string text;
        for (const std::string& name : params_.elements()) {
            text += text.empty() ? name : ", " + name;
        }
        return text;
    }

private:
    fo::TersoffParameters params_;
    std::string path_;
    std::array<int, kMaxAtomicNumber> element_of_z_{};
    fo::TersoffWorkspace work_;
    std::unique_ptr<std::mutex> busy_ = std::make_unique<std::mutex>();
};

// Reads and parses a Tersoff file; errors name the file and line.
std::unique_ptr<TersoffPotential> read_potential(py::object path) {
    py::object fspath = py::module_::import("os").attr("fspath");
    py::object text_path = fspath(path);
    if (!py::isinstance<py::str>(text_path)) {
        throw py::type_error("potential must be a str or path, not " + fb::type_name(path));
    }
    const std::string name = text_path.cast<std::string>();
    // Numbers and names are ASCII; comments may carry any encoding.
    py::object file = globals["open"](text_path, "encoding"_a = "utf-8", "errors"_a = "replace");
    py::object content;
    try {
        content = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    fo::ParseError error;
    auto params = fo::TersoffParameters::parse(content.cast<std::string>(), error);
    if (!params) {
        throw py::value_error(name + ", line " + std::to_string(error.line) + ": " + error.message);
    }
    return std::make_unique<TersoffPotential>(std::move(*params), name);
}

// --- TersoffCalculator methods (an ASE Calculator subclass built at init) ---

void calculator_init(py::object self, py::object potential, py::kwargs kwargs) {
    py::object pot = py::isinstance<TersoffPotential>(potential)
                         ? potential
                         : py::cast(read_potential(potential));
    self.attr("potential") = pot;
    globals["Calculator"].attr("__init__")(self, **kwargs);
}

double cell_volume(const py::object& atoms) {
    return std::fabs(atoms.attr("cell").attr("volume").cast<double>());
}

void calculator_calculate(py::object self, py::object atoms, py::object properties,
                          py::object system_changes) {
    globals["Calculator"].attr("calculate")(self, atoms, properties, system_changes);
    py::object current = self.attr("atoms");
    TersoffPotential& pot = self.attr("potential").cast<TersoffPotential&>();
    py::dict out = pot.evaluate(current);

    py::dict results;
    results["energy"] = out["energy"];
    results["free_energy"] = out["energy"];
    results["energies"] = out["energies"];
    results["forces"] = out["forces"];
    const double volume = cell_volume(current);
    const bool want_stress = py::bool_(properties.attr("__contains__")("stress"));
    if (volume > 0) {
        auto virial = out["virial"].cast<py::array_t<double>>();
        py::array_t<double> stress(6);
        for (py::ssize_t k = 0; k < 6; ++k) {
            stress.mutable_data()[k] = virial.data()[k] / volume;
        }
        results["stress"] = stress;
    } else if (want_stress) {
        throw py::value_error("The stress needs a cell of nonzero volume; this structure's cell "
                              "has none.");
    }
    self.attr("results") = results;
}

py::str calculator_repr(py::object self) {
    TersoffPotential& pot = self.attr("potential").cast<TersoffPotential&>();
    return py::str("TersoffCalculator({!r})").format(pot.path());
}

} // namespace

PYBIND11_MODULE(tersoff, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The Tersoff potential: a reader of LAMMPS-format parameter files and an
ASE calculator giving energy, per-atom energies, forces and stress.

The energy follows the usual Tersoff form with LAMMPS's parameter rules: the
two-body terms and the bond order of pair i-j use entry (i, j, j); the
angular term of neighbour k in the bond order of i-j uses entry (i, j, k),
its cutoff included. Results agree with LAMMPS's ``pair_style tersoff``.)doc";

    py::module_ calc_mod = py::module_::import("ase.calculators.calculator");
    m.attr("Calculator") = calc_mod.attr("Calculator");
    m.attr("all_changes") = calc_mod.attr("all_changes");
    py::module_ ase_data = py::module_::import("ase.data");
    m.attr("atomic_numbers") = ase_data.attr("atomic_numbers");
    m.attr("chemical_symbols") = ase_data.attr("chemical_symbols");

    py::class_<TersoffPotential>(m, "TersoffPotential", R"doc(The parameters of a Tersoff file.

Read with ``TersoffPotential(path)``. Entries are lines (or runs of lines) of
17 words: three element names, then m, gamma, lambda3, c, d, costheta0, n,
beta, lambda2, B, R, D, lambda1, A in LAMMPS "metal" units (eV, Å); "#"
starts a comment. A malformed file raises ValueError naming the line.)doc")
        .def(py::init([](py::object path) { return read_potential(path); }), "path"_a,
             R"doc(Reads the Tersoff file at ``path`` (str or path object).)doc")
        .def_property_readonly(
            "path", [](const TersoffPotential& p) { return p.path(); },
            R"doc(The file the parameters were read from.)doc")
        .def_property_readonly(
            "elements", [](const TersoffPotential& p) { return p.params().elements(); },
            R"doc(Element names in the order of their first appearance in the file.)doc")
        .def_property_readonly(
            "cutoff", [](const TersoffPotential& p) { return p.params().max_cutoff(); },
            R"doc(The largest cutoff R + D of any entry, in Å.)doc")
        .def(
            "entry",
            [](const TersoffPotential& p, const std::string& e1, const std::string& e2,
               const std::string& e3) {
                const auto& params = p.params();
                const int i = params.element_index(e1), j = params.element_index(e2),
                          k = params.element_index(e3);
                const int index = (i < 0 || j < 0 || k < 0) ? -1 : params.entry_index(i, j, k);
                if (index < 0) {
                    fb::raise_key_error(py::make_tuple(e1, e2, e3));
                }
                const fo::TersoffEntry& e = params.entries()[static_cast<std::size_t>(index)];
                py::dict d;
                d["m"] = e.m;
                d["gamma"] = e.gamma;
                d["lambda3"] = e.lambda3;
                d["c"] = e.c;
                d["d"] = e.d;
                d["costheta0"] = e.h;
                d["n"] = e.n;
                d["beta"] = e.beta;
                d["lambda2"] = e.lambda2;
                d["B"] = e.B;
                d["R"] = e.R;
                d["D"] = e.D;
                d["lambda1"] = e.lambda1;
                d["A"] = e.A;
                return d;
            },
            "e1"_a, "e2"_a, "e3"_a,
            R"doc(The parameters of the triplet entry (e1, e2, e3) as a dict; KeyError if the
file has none.)doc")
        .def("evaluate", &TersoffPotential::evaluate, "atoms"_a,
             R"doc(Evaluates ``atoms`` and returns a dict: "energy" (eV), "energies" (eV per
atom), "forces" (eV/Å, n x 3) and "virial" (eV, Voigt order xx yy zz yz xz
xy; divided by the cell volume it is ASE's stress).)doc")
        .def("__repr__", [](const TersoffPotential& p) {
            return "TersoffPotential(" + py::repr(py::str(p.path())).cast<std::string>() + ")";
        });

    // The calculator is a true subclass of ASE's Calculator, so ASE's caching,
    // check_state and get_* machinery apply unchanged.
    py::object calculator = m.attr("Calculator");
    py::dict body;
    body["__module__"] = m.attr("__name__");
    body["__doc__"] = R"doc(ASE calculator for a Tersoff potential.

    calc = TersoffCalculator("BNC.tersoff")
    atoms.calc = calc
    atoms.get_potential_energy(), atoms.get_forces(), atoms.get_stress()

Implements energy, free_energy (the same), energies (per atom), forces and
stress (eV/Å³, Voigt order xx yy zz yz xz xy). Periodic, partly periodic and
free structures are handled, with cells of any shape.)doc";
    body["implemented_properties"] =
        py::make_tuple("energy", "free_energy", "energies", "forces", "stress");
    body["default_parameters"] = py::dict();
    py::object cls = py::module_::import("builtins")
                         .attr("type")("TersoffCalculator", py::make_tuple(calculator), body);
    cls.attr("__qualname__") = "TersoffCalculator";
    // pybind11 treats any function named "__init__" as a constructor of one of
    // its own classes, so the initialiser carries another name.
    cls.attr("__init__") = py::cpp_function(
        calculator_init, py::name("init_tersoff_calculator"), py::is_method(cls), "potential"_a,
        R"doc(Reads the Tersoff file ``potential`` (a path, or a TersoffPotential); other
keywords go to ASE's Calculator.)doc");
    cls.attr("calculate") = py::cpp_function(
        calculator_calculate, py::name("calculate"), py::is_method(cls), "atoms"_a = py::none(),
        "properties"_a = py::make_tuple("energy"), "system_changes"_a = m.attr("all_changes"),
        R"doc(Computes every implemented property of ``atoms`` into ``self.results``.)doc");
    cls.attr("__repr__") =
        py::cpp_function(calculator_repr, py::name("__repr__"), py::is_method(cls));
    m.attr("TersoffCalculator") = cls;
}
