// ferrolith.optimization.tersoff: the Tersoff potential as an ASE calculator.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/calculator.hpp"
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
    std::vector<int> element_indices(const fb::IntArray& numbers) const {
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

    /// Energy, per-atom energies, forces and virial of a structure; at most
    /// `max_neighbors` neighbours per atom (0: no limit).
    fb::CalculatorOutput run(const fb::AtomsArrays& atoms, std::size_t max_neighbors) {
        const std::vector<int> elements = element_indices(atoms.numbers);
        fo::TersoffInput input;
        input.n_atoms = atoms.n;
        input.positions = atoms.positions.data();
        input.elements = elements.data();
        input.cell = atoms.cell;
        input.pbc = atoms.pbc;
        input.want_energies = true;
        input.max_neighbors = max_neighbors;
        fo::TersoffResult result;
        ferrolith::core::Status status;
        bool out_of_memory = false;
        {
            // Other Python threads may run meanwhile; the shared workspace is
            // used by one evaluation at a time.
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(*busy_);
            try {
                status = fo::evaluate_tersoff(params_, input, work_, result);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
        }
        if (out_of_memory) {
            fb::raise_memory_error("the neighbour list of this structure of " +
                                   std::to_string(atoms.n) + " atoms");
        }
        if (!status && status.line != 0) {
            // Parameters at fault: the file and line, as for a parse error.
            throw py::value_error(path_ + ", line " + std::to_string(status.line) + ": " +
                                  status.error);
        }
        fb::value_or_raise(std::move(status));
        return {result.energy, std::move(result.energies), std::move(result.forces), result.virial};
    }

    /// Energy (eV), per-atom energies, forces (eV/Å) and virial (eV) of `atoms`.
    py::dict evaluate(py::object atoms, py::object max_neighbors) {
        const fb::AtomsArrays arrays = fb::atoms_arrays(atoms);
        fb::CalculatorOutput out = run(arrays, fb::checked_max_neighbors(max_neighbors));
        py::array_t<double> energies(static_cast<py::ssize_t>(arrays.n));
        std::copy(out.energies.begin(), out.energies.end(), energies.mutable_data());
        py::array_t<double> virial(6);
        std::copy(out.virial.begin(), out.virial.end(), virial.mutable_data());
        py::dict d;
        d["energy"] = out.energy;
        d["energies"] = energies;
        d["forces"] = fb::matrix(out.forces, arrays.n, 3);
        d["virial"] = virial;
        return d;
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
    auto params = fo::TersoffParameters::parse(content.cast<std::string>());
    if (!params) {
        throw py::value_error(name + ", line " + std::to_string(params.line) + ": " + params.error);
    }
    return std::make_unique<TersoffPotential>(std::move(*params.value), name);
}

// --- TersoffCalculator (an ASE Calculator subclass built at init) ---

void calculator_init(py::object self, py::object potential) {
    self.attr("potential") = py::isinstance<TersoffPotential>(potential)
                                 ? potential
                                 : py::cast(read_potential(potential));
}

fb::CalculatorOutput calculator_evaluate(py::object self, const fb::AtomsArrays& atoms) {
    TersoffPotential& pot = self.attr("potential").cast<TersoffPotential&>();
    return pot.run(atoms, fb::max_neighbors_of(self));
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
    m.attr("MAX_CUTOFF") = fo::kMaxTersoffCutoff;
    py::module_ ase_data = py::module_::import("ase.data");
    m.attr("atomic_numbers") = ase_data.attr("atomic_numbers");
    m.attr("chemical_symbols") = ase_data.attr("chemical_symbols");

    py::class_<TersoffPotential>(m, "TersoffPotential", R"doc(The parameters of a Tersoff file.

Read with ``TersoffPotential(path)``. Entries are lines (or runs of lines) of
17 words: three element names, then m, gamma, lambda3, c, d, costheta0, n,
beta, lambda2, B, R, D, lambda1, A in LAMMPS "metal" units (eV, Å); "#"
starts a comment. A malformed file raises ValueError naming the line, and so
does a cutoff R + D beyond ``MAX_CUTOFF`` (10 Å), longer than any bond.)doc")
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
        .def("evaluate", &TersoffPotential::evaluate, "atoms"_a, "max_neighbors"_a = 500,
             R"doc(Evaluates ``atoms`` and returns a dict: "energy" (eV), "energies" (eV per
atom), "forces" (eV/Å, n x 3) and "virial" (eV, Voigt order xx yy zz yz xz
xy; divided by the cell volume it is ASE's stress). More than
``max_neighbors`` neighbours around one atom (0: no limit) is a ValueError.)doc")
        .def("__repr__", [](const TersoffPotential& p) {
            return "TersoffPotential(" + py::repr(py::str(p.path())).cast<std::string>() + ")";
        });

    py::object cls = fb::make_calculator_class(
        m, "TersoffCalculator", R"doc(ASE calculator for a Tersoff potential.

    calc = TersoffCalculator("BNC.tersoff")
    atoms.calc = calc
    atoms.get_potential_energy(), atoms.get_forces(), atoms.get_stress()

Implements energy, free_energy (the same), energies (per atom), forces and
stress (eV/Å³, Voigt order xx yy zz yz xz xy). Periodic, partly periodic and
free structures are handled, with cells of any shape. The stress is given
whenever the cell spans a volume (for a partly periodic structure, the
virial over the volume of its cell); a cell without volume has none
(PropertyNotImplementedError). Atoms closer than 0.1 Å are refused, and so is
a structure where an atom would have more than ``max_neighbors`` neighbours
within the cutoff (estimated first from the atoms per volume, then counted).)doc",
        "potential", R"doc(Reads the Tersoff file ``potential`` (a path, or a TersoffPotential);
``max_neighbors`` (default 500, 0 for no limit) bounds the neighbours of one
atom; other keywords go to ASE's Calculator.)doc",
        calculator_init, calculator_evaluate);
    cls.attr("__repr__") =
        py::cpp_function(calculator_repr, py::name("__repr__"), py::is_method(cls));
    m.attr("TersoffCalculator") = cls;
}
