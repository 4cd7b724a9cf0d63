// Bond grouping and the Šimůnek bond-strength hardness model.
//
// Plain C++: neighbour pairs and per-atom species ids in, bond types and model
// terms out. Species are small integer ids chosen by the caller (one per
// distinct chemical symbol); the caller maps them back to symbols.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ferrolith::properties {

/// A neighbour list as three parallel arrays: central atom, neighbour atom,
/// distance (Å). Indices follow Python's list rules (see group_bonds).
struct NeighborPairs {
    const std::int64_t* i = nullptr;
    const std::int64_t* j = nullptr;
    const double* d = nullptr;
    std::size_t size = 0;
};

/// The bond types of every atom, stored flat: the types of atom k are the
/// entries offsets[k] .. offsets[k+1]-1, in creation order.
struct BondTable {
    std::vector<std::size_t> offsets;  ///< n_atoms + 1 entries
    std::vector<int> neighbor_species; ///< species id of the neighbour element
    std::vector<double> distance;      ///< mean length of the merged bonds, Å
    std::vector<std::int64_t> count;   ///< number of merged bonds

    std::size_t n_atoms() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::size_t n_types() const { return distance.size(); }
};

/// How bonds of one atom to one element are merged into types.
enum class GroupingRule {
    /// A bond joins the first type of its element whose running mean lies
    /// strictly within the tolerance; otherwise it starts a new type.
    kRunningMean,
    /// One type per element: a bond within the tolerance merges, a shorter one
    /// replaces the type (moved to the end), a longer one is dropped; finally
    /// only types within the tolerance of the atom's shortest type are kept.
    kClosestShell,
};

/// Result of grouping, or the error that the equivalent Python indexing raises.
struct GroupingResult {
    enum class Error { kNone, kNegativeCentralIndex, kIndexOutOfRange };
    Error error = Error::kNone;
    BondTable table;
    /// Coordination number per atom: every neighbour entry (running mean), or
    /// the sum of the kept types' counts (closest shell).
    std::vector<std::int64_t> coordination;
};

/// Groups the neighbour entries of each atom into bond types, visiting the
/// entries in array order. `species[a]` is the species id of atom a.
/// A central index must lie in [0, n_atoms); a neighbour index may be negative
/// down to -n_atoms and then counts from the end, as a Python list index does.
/// Linear in the number of entries times the types per atom.
GroupingResult group_bonds(const NeighborPairs& pairs, const std::vector<int>& species,
                           double tolerance, GroupingRule rule);

/// Per-species mean coordination number rounded half to even, as numpy's
/// rint(mean(...)) gives it; NaN for a species that no atom carries.
/// `n_species` bounds the ids in `species` and sizes the result.
std::vector<double> mean_coordination_by_species(const std::vector<double>& coordination,
                                                 const std::vector<int>& species,
                                                 std::size_t n_species);

/// Supplies the bond-strength parameter e = |Z| / R (0 when R <= 0) of a
/// species. Called at most once per species, in the order in which the model
/// first needs each one; it may throw, and the exception passes through.
using StrengthLookup = std::function<double(int species)>;

/// Inputs of the Šimůnek product for one structure.
struct ProductInputs {
    const BondTable* table = nullptr;
    const std::vector<double>* coordination = nullptr;    ///< cn per atom
    const std::vector<int>* atom_species = nullptr;       ///< species per atom
    const std::vector<double>* species_mean_cn = nullptr; ///< per species (may hold NaN)
    bool low_coordination_correction = true;
};

/// Outcome of the bond product.
struct ProductResult {
    double hv_product = 1.0;       ///< ∏ (term × count)^(1/n) over counted types
    std::size_t n_types = 0;       ///< n, all bond types of all atoms
    bool nan_coordination = false; ///< a neighbour species without atoms was reached
};

/// The geometric-mean bond product of the model, evaluated in atom order and
/// type order exactly as the model's steps state (term by term, so that the
/// result is reproducible to the last bit). With n = 0 nothing is evaluated.
ProductResult bond_product(const ProductInputs& in, const StrengthLookup& strength);

/// The low-coordination correction: 8 × (4 − cn) below 4, cn otherwise.
double corrected_coordination(double cn);

/// Bond-strength parameter e = |Z| / R, or 0 when R is not positive.
double bond_strength_parameter(double valence, double radius);

/// Ionicity factor f = 1 − (k·G/S)² from the e values of the distinct
/// elements (G geometric mean base, S their sum); 1 when S is not positive.
double ionicity_factor(const std::vector<double>& e_per_element);

/// H = C / V × B × exp(−σ f), GPa for the default C.
double simunek_hardness(double C, double volume, double bond_contribution, double sigma,
                        double ionicity);

} // namespace ferrolith::properties
