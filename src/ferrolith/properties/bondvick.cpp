// ferrolith.properties.bondvick: structure-based hardness (Šimůnek model).
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/calculator.hpp"
#include "ferrolith/core/shells.hpp"
#include "ferrolith/properties/simunek.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fp = ferrolith::properties;
namespace core = ferrolith::core;
using namespace pybind11::literals;

namespace {

constexpr const char* kNoBondsMessage = "No bonds found within the given cutoff radius.";
constexpr const char* kZeroVolumeMessage = "Unit cell volume is zero.";
constexpr double kMinVolume = 1e-6;

fb::Globals globals;

// ---------------------------------------------------------------------------
// Species: distinct chemical symbols as small ids, with the Python str of each
// kept for records, reports and table lookups.
// ---------------------------------------------------------------------------
class SpeciesMap {
public:
    int id_of(py::handle symbol) {
        // The symbols of one structure are usually the same few str objects;
        // compare identities before contents.
        for (std::size_t k = 0; k < objects_.size(); ++k) {
            if (objects_[k].ptr() == symbol.ptr()) {
                return static_cast<int>(k);
            }
        }
        std::string key = py::str(symbol).cast<std::string>();
        auto found = by_text_.find(key);
        if (found != by_text_.end()) {
            return found->second;
        }
        const int id = static_cast<int>(objects_.size());
        objects_.push_back(py::reinterpret_borrow<py::object>(symbol));
        by_text_.emplace(std::move(key), id);
        return id;
    }
    const py::object& symbol(int id) const { return objects_[static_cast<std::size_t>(id)]; }
    std::size_t size() const { return objects_.size(); }

private:
    std::vector<py::object> objects_;
    std::unordered_map<std::string, int> by_text_;
};

std::vector<int> species_of_atoms(const py::list& symbols, SpeciesMap& species) {
    std::vector<int> ids;
    ids.reserve(symbols.size());
    for (py::handle s : symbols) {
        ids.push_back(species.id_of(s));
    }
    return ids;
}

// ---------------------------------------------------------------------------
// Bond analysis
// ---------------------------------------------------------------------------

struct Analysis {
    py::list symbols;
    SpeciesMap species;
    std::vector<int> atom_species;
    fp::GroupingResult grouping;
};

std::string format_distance(double d) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", d);
    return buffer;
}

void print_report(const Analysis& a, fp::GroupingRule rule) {
    fb::print_line("\n--- Bond Analysis Verbose Info ---");
    const fp::BondTable& table = a.grouping.table;
    for (std::size_t k = 0; k < table.n_atoms(); ++k) {
        const std::string symbol = py::str(a.symbols[k]).cast<std::string>();
        const std::string atom_line = "Atom " + std::to_string(k) + " (" + symbol +
                                      "): Total CN = " + std::to_string(a.grouping.coordination[k]);
        const bool empty = table.offsets[k] == table.offsets[k + 1];
        if (rule == fp::GroupingRule::kClosestShell && empty) {
            fb::print_line("  No bonds found within cutoff.");
        }
        fb::print_line(atom_line);
        if (rule == fp::GroupingRule::kRunningMean && empty) {
            fb::print_line("  No bonds found within cutoff.");
        }
        for (std::size_t t = table.offsets[k]; t < table.offsets[k + 1]; ++t) {
            const std::string neighbor =
                py::str(a.species.symbol(table.neighbor_species[t])).cast<std::string>();
            fb::print_line("  - Bond to " + neighbor +
                           ": count (nsij) = " + std::to_string(table.count[t]) + ", dist \u2248 " +
                           format_distance(table.distance[t]) + " \u00c5");
        }
    }
    fb::print_line("----------------------------------\n");
}

// Most neighbours per atom, and pairs in all, that a bond analysis takes:
// beyond them the cutoff (or the cell) is in the wrong units, and the
// neighbour list would fill the memory before anything is found.
constexpr double kMaxNeighborsPerAtom = 1000.0;
constexpr double kMaxNeighborPairs = 2e7;
constexpr double kMaxHeightOverCutoff = 1e6;
constexpr double kAseMinBin = 3.0;       // Å, the smallest bin of ASE's neighbor_list
constexpr double kMaxSearchPasses = 1e5; // a second or so of ASE's bin passes
constexpr double kPi = 3.14159265358979323846;

std::string rounded(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

// Refuses a cutoff that takes in far more neighbours than any bond analysis
// needs, from atoms per volume times the cutoff sphere (periodic cells) or
// every pair (free structures), before any neighbour is searched for.
void check_neighbor_estimate(py::handle atoms, double rcut) {
    if (!(rcut > 0.0) || !std::isfinite(rcut)) {
        if (std::isinf(rcut)) {
            throw py::value_error("rcut must be finite, not inf");
        }
        return; // no pair lies within a cutoff that is not positive
    }
    const fb::AtomsArrays arrays = fb::atoms_arrays(atoms);
    const double n = static_cast<double>(arrays.n);
    const bool periodic = arrays.pbc[0] && arrays.pbc[1] && arrays.pbc[2];
    const bool free = !arrays.pbc[0] && !arrays.pbc[1] && !arrays.pbc[2];
    double per_atom = 0.0;
    double passes = 1.0;
    if (periodic) {
        const double volume = fb::cell_volume(arrays.cell);
        if (!(volume > 0.0)) {
            return; // the neighbour search refuses it
        }
        per_atom = n * (4.0 / 3.0) * kPi * rcut * rcut * rcut / volume;
        // ASE's cell list counts bins as heights over the cutoff: past a
        // million per direction their product overflows. Its bins are at
        // least 3 Å wide, and a cell much thinner than a bin is searched
        // through (2 bin / height + 1)^3 neighbouring bins, one numpy pass each.
        const double bin = std::max(rcut, kAseMinBin);
        for (int d = 0; d < 3; ++d) {
            const double height = volume / core::norm(core::cross(arrays.cell[(d + 1) % 3],
                                                                  arrays.cell[(d + 2) % 3]));
            if (!(height <= kMaxHeightOverCutoff * rcut)) {
                throw py::value_error("The cell is " + rounded(height) +
                                      " \u00c5 high along lattice vector " + std::to_string(d) +
                                      ", more than a million times rcut = " + rounded(rcut) +
                                      " \u00c5: is the cell, or the cutoff, in the wrong units?");
            }
            const double bins = std::max(1.0, std::floor(height / bin));
            passes *= 2.0 * std::ceil(bin * bins / height) + 1.0;
        }
    } else if (free && arrays.n > 0) {
        // The box around the atoms, at least as wide as the cutoff sphere.
        double volume = 1.0;
        for (int d = 0; d < 3; ++d) {
            double lo = arrays.positions.data()[d];
            double hi = lo;
            for (std::size_t i = 1; i < arrays.n; ++i) {
                lo = std::min(lo, arrays.positions.data()[3 * i + d]);
                hi = std::max(hi, arrays.positions.data()[3 * i + d]);
            }
            volume *= std::max(hi - lo, 2.0 * rcut);
        }
        per_atom = std::min(n - 1.0, n * (4.0 / 3.0) * kPi * rcut * rcut * rcut / volume);
    } else {
        return;
    }
    if (!(per_atom <= kMaxNeighborsPerAtom) || !(per_atom * n <= kMaxNeighborPairs)) {
        throw py::value_error("rcut = " + rounded(rcut) + " \u00c5 takes in about " +
                              rounded(per_atom) + " neighbours per atom (" + rounded(per_atom * n) +
                              " pairs) at this structure's density; a bond analysis takes at most "
                              "1000 per atom and 20 million in all. Is the "
                              "cutoff, or the cell, in the wrong units?");
    }
    if (!(passes <= kMaxSearchPasses)) {
        throw py::value_error("The cell is too small for the neighbour search: its heights are far "
                              "below its bins (rcut, at least 3 \u00c5 wide), which it would "
                              "search through " +
                              rounded(passes) + " times. Is the cell in the wrong units?");
    }
}

// Symbols, neighbour list and grouping; prints the report when verbose.
Analysis analyze(py::object self, py::object atoms, double rcut, double tolerance,
                 fp::GroupingRule rule) {
    Analysis a;
    a.symbols = py::list(atoms.attr("get_chemical_symbols")());
    a.atom_species = species_of_atoms(a.symbols, a.species);
    const std::size_t n_atoms = py::len(atoms);
    if (a.atom_species.size() != n_atoms) {
        throw py::value_error("get_chemical_symbols() returned " +
                              std::to_string(a.atom_species.size()) + " symbols for " +
                              std::to_string(n_atoms) + " atoms");
    }

    check_neighbor_estimate(atoms, rcut);
    py::tuple ijd =
        fb::guard_memory("the neighbour list of rcut = " + rounded(rcut) + " \u00c5", [&] {
            return py::tuple(globals["neighbor_list"]("ijd", atoms, py::float_(rcut)));
        });
    using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using DistArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
    IndexArray i = IndexArray::ensure(ijd[0]);
    IndexArray j = IndexArray::ensure(ijd[1]);
    DistArray d = DistArray::ensure(ijd[2]);
    if (!i || !j || !d || i.ndim() != 1 || j.size() != i.size() || d.size() != i.size()) {
        throw py::value_error("neighbor_list returned arrays of unequal length");
    }
    fp::NeighborPairs pairs{i.data(), j.data(), d.data(), static_cast<std::size_t>(i.size())};
    {
        py::gil_scoped_release release;
        a.grouping = fp::group_bonds(pairs, a.atom_species, tolerance, rule);
    }
    using Error = fp::GroupingResult::Error;
    if (a.grouping.error == Error::kNegativeCentralIndex) {
        throw py::value_error("'list' argument must have no negative elements");
    }
    if (a.grouping.error == Error::kIndexOutOfRange) {
        throw py::index_error("list index out of range");
    }
    if (py::bool_(self.attr("verbose"))) {
        print_report(a, rule);
    }
    return a;
}

// The Python result of an analysis: BondType records and a numpy array.
py::tuple analysis_to_python(const Analysis& a) {
    py::object bond_type = globals["BondType"];
    const fp::BondTable& table = a.grouping.table;
    py::list grouped(table.n_atoms());
    for (std::size_t k = 0; k < table.n_atoms(); ++k) {
        py::list types;
        for (std::size_t t = table.offsets[k]; t < table.offsets[k + 1]; ++t) {
            types.append(bond_type(a.species.symbol(table.neighbor_species[t]),
                                   py::float_(table.distance[t]), py::int_(table.count[t])));
        }
        grouped[k] = types;
    }
    py::array_t<std::int64_t> cn(static_cast<py::ssize_t>(a.grouping.coordination.size()));
    std::copy(a.grouping.coordination.begin(), a.grouping.coordination.end(), cn.mutable_data());
    return py::make_tuple(grouped, cn);
}

py::tuple analyze_bonds_method(py::object self, py::object atoms, py::object rcut,
                               py::object tolerance, fp::GroupingRule rule) {
    const double rcut_value = fb::to_float(rcut, "rcut");
    const double tolerance_value = fb::to_float(tolerance, "tolerance");
    return analysis_to_python(analyze(self, atoms, rcut_value, tolerance_value, rule));
}

// Reads what an overriding _analyze_bonds returned into the kernel's form:
// the bond types of each listed atom and the coordination number of every atom.
void analysis_from_python(py::handle result, Analysis& a, std::vector<double>& cn) {
    py::sequence parts = py::reinterpret_borrow<py::sequence>(result);
    py::sequence grouped = py::reinterpret_borrow<py::sequence>(parts[0]);
    py::object cn_total = parts[1];
    if (py::len(grouped) > a.atom_species.size()) {
        throw py::index_error("list index out of range");
    }
    fp::BondTable& table = a.grouping.table;
    table.offsets.assign(1, 0);
    for (py::handle types : grouped) {
        for (py::handle t : types) {
            table.neighbor_species.push_back(a.species.id_of(t.attr("neighbor_sym")));
            table.distance.push_back(
                fb::to_float(t.attr("representative_distance"), "representative_distance"));
            table.count.push_back(t.attr("count").cast<std::int64_t>());
        }
        table.offsets.push_back(table.distance.size());
    }
    cn.clear();
    for (std::size_t k = 0; k < a.atom_species.size(); ++k) {
        cn.push_back(fb::to_float(cn_total[py::int_(k)], "total_coordination_numbers"));
    }
}

// ---------------------------------------------------------------------------
// Hardness
// ---------------------------------------------------------------------------

// The structure's own volume. A structure without three cell vectors has
// none: recent ASE versions raise for it where older ones reported 0, and both
// mean a zero volume here.
double cell_volume(const py::object& atoms) {
    try {
        return atoms.attr("get_volume")().cast<double>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        const int rank = atoms.attr("cell").attr("rank").cast<int>();
        if (rank == 3) {
            throw;
        }
        return 0.0;
    }
}

bool uses_builtin_analysis(const py::object& self) {
    py::object bound = self.attr("_analyze_bonds");
    if (!py::hasattr(bound, "__func__")) {
        return false;
    }
    py::object cls = globals["SimunekHardnessCalculator"];
    py::object builtin = cls.attr("__dict__")["_analyze_bonds"];
    // pybind11 stores methods as instancemethod wrappers around the function.
    py::object builtin_func = py::getattr(builtin, "__func__", builtin);
    py::object bound_func = bound.attr("__func__");
    return bound_func.is(builtin_func);
}

py::object calculate_hardness_impl(py::object self, py::object atoms, py::object rcut,
                                   py::object tolerance, py::object element_params,
                                   py::object lowcn) {
    const double rcut_value = fb::to_float(rcut, "rcut");
    const double tolerance_value = fb::to_float(tolerance, "tolerance");
    fb::require_dict_or_none(element_params, "element_params");

    if (!py::isinstance(atoms, globals["Atoms"])) {
        atoms = globals["ase_read"](atoms);
    }
    py::object params = element_params;
    if (params.is_none() || py::len(params) == 0) {
        params = globals["ELEMENT_PARAMS"];
    }

    Analysis a;
    std::vector<double> cn;
    if (uses_builtin_analysis(self)) {
        a = analyze(self, atoms, rcut_value, tolerance_value, fp::GroupingRule::kRunningMean);
        cn.assign(a.grouping.coordination.begin(), a.grouping.coordination.end());
    } else {
        a.symbols = py::list(atoms.attr("get_chemical_symbols")());
        a.atom_species = species_of_atoms(a.symbols, a.species);
        py::object result =
            self.attr("_analyze_bonds")(atoms, py::float_(rcut_value), py::float_(tolerance_value));
        analysis_from_python(result, a, cn);
    }

    const fp::BondTable& table = a.grouping.table;
    if (table.n_types() == 0) {
        py::dict failure;
        failure["error"] = kNoBondsMessage;
        return std::move(failure);
    }

    // The mean covers the structure's own atoms; a neighbour symbol that no
    // atom carries has none (NaN).
    const std::vector<double> mean_cn =
        fp::mean_coordination_by_species(cn, a.atom_species, a.species.size());

    auto strength = [&](int sp) {
        py::object entry = params[a.species.symbol(sp)];
        const double z = fb::to_float(entry["Z"], "Z");
        const double r = fb::to_float(entry["R"], "R");
        return fp::bond_strength_parameter(z, r);
    };
    fp::ProductInputs inputs;
    inputs.table = &table;
    inputs.coordination = &cn;
    inputs.atom_species = &a.atom_species;
    inputs.species_mean_cn = &mean_cn;
    inputs.low_coordination_correction = py::bool_(lowcn);
    const fp::ProductResult product = fp::bond_product(inputs, strength);
    if (product.nan_coordination) {
        throw py::value_error("cannot convert float NaN to integer");
    }

    const double volume = cell_volume(atoms);
    if (volume < kMinVolume) {
        throw py::value_error(kZeroVolumeMessage);
    }
    const double n = static_cast<double>(product.n_types);
    const double bond_contribution = product.hv_product * n / 2.0;

    // Distinct symbols in code-point order (Python's sorted()).
    py::list unique_symbols =
        py::module_::import("builtins")
            .attr("sorted")(py::module_::import("builtins").attr("set")(a.symbols));
    std::vector<double> e_per_element;
    for (py::handle s : unique_symbols) {
        py::object entry = params[s];
        e_per_element.push_back(fp::bond_strength_parameter(fb::to_float(entry["Z"], "Z"),
                                                            fb::to_float(entry["R"], "R")));
    }
    const double f = fp::ionicity_factor(e_per_element);
    const double hardness =
        fp::simunek_hardness(fb::to_float(self.attr("C"), "C"), volume, bond_contribution,
                             fb::to_float(self.attr("sigma"), "sigma"), f);

    py::dict result;
    result["ionicity_factor"] = f;
    result["bond_contribution"] = bond_contribution;
    result["total_bonds_type"] = py::int_(product.n_types);
    result["hardness"] = hardness;
    return std::move(result);
}

// ---------------------------------------------------------------------------
// First coordination shell
// ---------------------------------------------------------------------------

// Search radii: the first probe reaches about 1.5 mean atomic spacings (past
// the second shell of close-packed, diamond-type and rock-salt crystals alike),
// then grows by half until every atom's second shell is seen, up to
// max(kShellProbeLimit, twice the first probe).
constexpr double kShellFirstProbe = 1.5;
constexpr double kShellProbeLimit = 10.0;
constexpr double kShellProbeNoCell = 3.0;

double first_shell_cutoff(py::object atoms) {
    if (!py::isinstance(atoms, globals["Atoms"])) {
        throw py::type_error("atoms must be an ase.Atoms object, not " + fb::type_name(atoms));
    }
    fb::require_finite_structure(atoms);
    const fb::AtomsArrays arrays = fb::atoms_arrays(atoms);
    if (arrays.n == 0) {
        throw py::value_error("The structure has no atoms.");
    }
    double probe = kShellProbeNoCell;
    const bool periodic = arrays.pbc[0] && arrays.pbc[1] && arrays.pbc[2];
    const double volume = fb::cell_volume(arrays.cell);
    if (periodic && volume > 0.0) {
        probe = kShellFirstProbe * std::cbrt(volume / static_cast<double>(arrays.n));
    }
    const double limit = std::max(kShellProbeLimit, 2.0 * probe);
    // Covalent radii (ASE's table) tell a bonded first shell from a gas.
    py::object radii = globals["covalent_radii"][atoms.attr("numbers")];
    const fb::DoubleArray bond_radius = fb::DoubleArray::ensure(radii);
    if (!bond_radius || static_cast<std::size_t>(bond_radius.size()) != arrays.n) {
        throw py::value_error("covalent_radii gave no radius per atom");
    }
    return fb::value_or_raise(core::first_shell_of(arrays.positions.data(), arrays.n, arrays.cell,
                                                   arrays.pbc, probe, limit, bond_radius.data()))
        .cutoff;
}

// Instance state lives in Python-visible attributes so that subclasses and
// callers see and may replace it as with any Python object.
struct SimunekHardnessCalculator {
    py::object C;
    py::object sigma;
    py::object verbose;
};

constexpr const char* kAnalyzeDoc = R"doc(Analyzes the atomic structure to find and categorize bonds

Args:
    atoms: The atomic structure (ASE Atoms).
    rcut (float): The cutoff radius for finding neighbors.
    tolerance (float): The distance tolerance to consider bonds as the same type.

Returns:
    tuple: (grouped_bonds_by_atom, total_coordination_numbers))doc";

} // namespace

PYBIND11_MODULE(bondvick, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Vickers hardness of a crystal from its atomic structure.

The Šimůnek bond-strength model: bonds found with ASE's neighbour list are
grouped into bond types per atom, each type's strength comes from the
valences and radii of ``ELEMENT_PARAMS``, and the contributions are combined
into a hardness in GPa.)doc";

    // Names resolved at call time; replace them on the module to change them.
    py::module_ ase_io = py::module_::import("ase.io");
    m.attr("ase_read") = ase_io.attr("read");
    m.attr("neighbor_list") = py::module_::import("ase.neighborlist").attr("neighbor_list");
    m.attr("covalent_radii") = py::module_::import("ase.data").attr("covalent_radii");
    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");

    py::dict elements = py::module_::import("ferrolith.data.elements").attr("ELEMENTS");
    py::dict element_params;
    for (auto item : elements) {
        py::dict entry;
        entry["Z"] = item.second.attr("valence");
        entry["R"] = item.second.attr("hard_rad");
        element_params[item.first] = entry;
    }
    m.attr("ELEMENT_PARAMS") = element_params;

    py::object builtins = py::module_::import("builtins");
    fb::make_record_class(m, "BondType",
                          {{"neighbor_sym", builtins.attr("str"), {}},
                           {"representative_distance", builtins.attr("float"), {}},
                           {"count", builtins.attr("int"), py::int_(1)}},
                          "Represents a unique type of bond for a central atom.");

    m.def("first_shell_cutoff", &first_shell_cutoff, "atoms"_a,
          R"doc(Bond cutoff (Å) that takes in the first coordination shell of every atom.

The rule: for each atom, its neighbour distances are sorted; its first shell
is the nearest neighbour and every further neighbour reached through steps of
at most 10 % between consecutive distances, never beyond 1.3 times the nearest
distance. The cutoff lies halfway between the longest first-shell bond of any
atom and the next longer interatomic distance. For crystals whose second
shells lie beyond every first shell (diamond, zinc blende, wurtzite, rock salt,
...), it therefore separates the first and second shells of every atom, and
the hardness at this cutoff equals the hardness at any cutoff between them.

Args:
    atoms (ase.Atoms): The structure (finite cell and positions).

Returns:
    float: The cutoff radius in Å, for ``rcut`` of the hardness methods.

Raises:
    TypeError: ``atoms`` is not an ASE Atoms object.
    ValueError: No atoms, non-finite numbers, an atom without neighbours
        within the search radius (at least 10 Å), or an atom whose nearest
        neighbour lies beyond 1.5 times the sum of their covalent radii (a
        gas, a lone atom in a box: no first shell of bonds).)doc");

    py::class_<SimunekHardnessCalculator>(
        m, "SimunekHardnessCalculator", py::dynamic_attr(),
        R"doc(Calculates the hardness of a crystal based on its atomic structure using the Simunek method.

References:
    - Phys. Rev. Lett. 96, 085501 (2006)
    - Phys. Rev. B 75, 172108 (2007))doc")
        .def(py::init([](py::object C, py::object sigma, py::object verbose) {
                 return SimunekHardnessCalculator{py::float_(fb::to_float(C, "C")),
                                                  py::float_(fb::to_float(sigma, "sigma")),
                                                  verbose};
             }),
             "C"_a = 1450.0, "sigma"_a = 2.8, "verbose"_a = false,
             R"doc(Args:
    C (float): Model constant.
    sigma (float): Model constant.
    verbose (bool): If True, prints detailed bond analysis.)doc")
        .def_readwrite("C", &SimunekHardnessCalculator::C)
        .def_readwrite("sigma", &SimunekHardnessCalculator::sigma)
        .def_readwrite("verbose", &SimunekHardnessCalculator::verbose)
        .def(
            "_analyze_bonds",
            [](py::object self, py::object atoms, py::object rcut, py::object tolerance) {
                return analyze_bonds_method(self, atoms, rcut, tolerance,
                                            fp::GroupingRule::kRunningMean);
            },
            "atoms"_a, "rcut"_a, "tolerance"_a, kAnalyzeDoc)
        .def(
            "_analyze_bonds_closest",
            [](py::object self, py::object atoms, py::object rcut, py::object tolerance) {
                return analyze_bonds_method(self, atoms, rcut, tolerance,
                                            fp::GroupingRule::kClosestShell);
            },
            "atoms"_a, "rcut"_a, "tolerance"_a, kAnalyzeDoc)
        .def("_calculate_hardness", &calculate_hardness_impl, "atoms"_a, "rcut"_a = 2.0,
             "tolerance"_a = 0.2, "element_params"_a = py::none(), "lowcn"_a = true,
             R"doc(Performs the main hardness calculation.

Returns a dictionary with "ionicity_factor", "bond_contribution",
"total_bonds_type" and "hardness", or {"error": message} when no bonds are
found within the cutoff.)doc")
        .def(
            "calculate_hardness",
            [](py::object self, py::object atoms, py::object rcut, py::object tolerance,
               py::object element_params, py::kwargs kwargs) {
                const double rcut_value = fb::to_float(rcut, "rcut");
                const double tolerance_value = fb::to_float(tolerance, "tolerance");
                fb::require_dict_or_none(element_params, "element_params");
                py::object result = self.attr("_calculate_hardness")(
                    "atoms"_a = atoms, "rcut"_a = rcut_value, "tolerance"_a = tolerance_value,
                    "element_params"_a = element_params, **kwargs);
                if (result.contains("error")) {
                    py::object message = result["error"];
                    PyErr_SetObject(PyExc_ValueError, message.ptr());
                    throw py::error_already_set();
                }
                return py::object(result["hardness"]);
            },
            "atoms"_a, "rcut"_a = 2.0, "tolerance"_a = 0.2, "element_params"_a = py::none(),
            R"doc(Calculates the Vickers hardness (GPa) of a structure.

Args:
    atoms: An ASE Atoms object, or a path that ASE's reader accepts.
    rcut (float): Cutoff radius for the bond analysis, in Angstroms.
    tolerance (float): Distance tolerance for grouping bonds into types.
    element_params (dict | None): Table of {"Z", "R"} per symbol to use
        instead of ELEMENT_PARAMS.
    **kwargs: Passed to _calculate_hardness (lowcn).

Raises:
    ValueError: No bonds within the cutoff, or a zero cell volume.)doc");
}
