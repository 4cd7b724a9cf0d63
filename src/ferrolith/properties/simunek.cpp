#include "ferrolith/properties/simunek.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace ferrolith::properties {

namespace {

// Entry positions grouped by central atom, keeping array order within each
// atom (a stable counting sort): each atom's types depend only on its own
// entries in order, so atoms can then be processed one after another.
std::vector<std::size_t> entries_by_atom(const NeighborPairs& pairs, std::size_t n_atoms,
                                         std::vector<std::size_t>& starts) {
    starts.assign(n_atoms + 1, 0);
    for (std::size_t e = 0; e < pairs.size; ++e) {
        ++starts[static_cast<std::size_t>(pairs.i[e]) + 1];
    }
    for (std::size_t a = 0; a < n_atoms; ++a) {
        starts[a + 1] += starts[a];
    }
    std::vector<std::size_t> order(pairs.size);
    std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t e = 0; e < pairs.size; ++e) {
        order[fill[static_cast<std::size_t>(pairs.i[e])]++] = e;
    }
    return order;
}

struct Type {
    int species;
    double distance;
    std::int64_t count;
};

void merge(Type& t, double d) {
    const auto n = static_cast<double>(t.count);
    t.distance = (t.distance * n + d) / (n + 1.0);
    ++t.count;
}

void group_running_mean(std::vector<Type>& types, int species, double d, double tolerance) {
    for (Type& t : types) {
        if (t.species == species && std::fabs(t.distance - d) < tolerance) {
            merge(t, d);
            return;
        }
    }
    types.push_back({species, d, 1});
}

void group_closest(std::vector<Type>& types, int species, double d, double tolerance) {
    for (std::size_t pos = 0; pos < types.size(); ++pos) {
        Type& t = types[pos];
        if (t.species != species) {
            continue;
        }
        if (std::fabs(d - t.distance) < tolerance) {
            merge(t, d);
        } else if (d < t.distance) {
            types.erase(types.begin() + static_cast<std::ptrdiff_t>(pos));
            types.push_back({species, d, 1});
        }
        return; // merged, replaced or skipped: the first type of the element decides
    }
    types.push_back({species, d, 1});
}

// Keeps the types within `tolerance` of the atom's shortest type.
void keep_nearest_shell(std::vector<Type>& types, double tolerance) {
    if (types.empty()) {
        return;
    }
    double min_dist = types.front().distance;
    for (const Type& t : types) {
        min_dist = std::fmin(min_dist, t.distance);
    }
    std::vector<Type> kept;
    for (const Type& t : types) {
        if (!(t.distance - min_dist > tolerance)) {
            kept.push_back(t);
        }
    }
    types.swap(kept);
}

} // namespace

GroupingResult group_bonds(const NeighborPairs& pairs, const std::vector<int>& species,
                           double tolerance, GroupingRule rule) {
    GroupingResult result;
    const std::size_t n_atoms = species.size();
    const auto n = static_cast<std::int64_t>(n_atoms);

    // The coordination count comes first and rejects negative central indices;
    // the per-entry indexing then rejects anything out of range.
    for (std::size_t e = 0; e < pairs.size; ++e) {
        if (pairs.i[e] < 0) {
            result.error = GroupingResult::Error::kNegativeCentralIndex;
            return result;
        }
    }
    for (std::size_t e = 0; e < pairs.size; ++e) {
        if (pairs.j[e] < -n || pairs.j[e] >= n || pairs.i[e] >= n) {
            result.error = GroupingResult::Error::kIndexOutOfRange;
            return result;
        }
    }

    result.coordination.assign(n_atoms, 0);
    for (std::size_t e = 0; e < pairs.size; ++e) {
        ++result.coordination[static_cast<std::size_t>(pairs.i[e])];
    }

    std::vector<std::size_t> starts;
    const std::vector<std::size_t> order = entries_by_atom(pairs, n_atoms, starts);

    BondTable& table = result.table;
    table.offsets.assign(n_atoms + 1, 0);
    table.neighbor_species.reserve(n_atoms);
    table.distance.reserve(n_atoms);
    table.count.reserve(n_atoms);

    std::vector<Type> types;
    for (std::size_t a = 0; a < n_atoms; ++a) {
        types.clear();
        for (std::size_t k = starts[a]; k < starts[a + 1]; ++k) {
            const std::size_t e = order[k];
            std::int64_t j = pairs.j[e];
            if (j < 0) {
                j += n;
            }
            const int sp = species[static_cast<std::size_t>(j)];
            if (rule == GroupingRule::kRunningMean) {
                group_running_mean(types, sp, pairs.d[e], tolerance);
            } else {
                group_closest(types, sp, pairs.d[e], tolerance);
            }
        }
        if (rule == GroupingRule::kClosestShell) {
            keep_nearest_shell(types, tolerance);
            std::int64_t cn = 0;
            for (const Type& t : types) {
                cn += t.count;
            }
            result.coordination[a] = cn;
        }
        for (const Type& t : types) {
            table.neighbor_species.push_back(t.species);
            table.distance.push_back(t.distance);
            table.count.push_back(t.count);
        }
        table.offsets[a + 1] = table.distance.size();
    }
    return result;
}

std::vector<double> mean_coordination_by_species(const std::vector<double>& coordination,
                                                 const std::vector<int>& species,
                                                 std::size_t n_species) {
    std::vector<double> sum(n_species, 0.0);
    std::vector<std::size_t> atoms(n_species, 0);
    for (std::size_t a = 0; a < species.size(); ++a) {
        const auto sp = static_cast<std::size_t>(species[a]);
        sum[sp] += coordination[a];
        ++atoms[sp];
    }
    std::vector<double> mean(n_species, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t sp = 0; sp < n_species; ++sp) {
        if (atoms[sp] > 0) {
            // nearbyint rounds half to even in the default rounding mode, as rint.
            mean[sp] = std::nearbyint(sum[sp] / static_cast<double>(atoms[sp]));
        }
    }
    return mean;
}

double corrected_coordination(double cn) {
    return cn < 4.0 ? 8.0 * (4.0 - cn) : cn;
}

double bond_strength_parameter(double valence, double radius) {
    return radius > 0.0 ? std::fabs(valence) / radius : 0.0;
}

ProductResult bond_product(const ProductInputs& in, const StrengthLookup& strength) {
    const BondTable& table = *in.table;
    const std::vector<double>& cn = *in.coordination;
    ProductResult result;
    result.n_types = table.n_types();
    if (result.n_types == 0) {
        return result;
    }
    const double exponent = 1.0 / static_cast<double>(result.n_types);

    std::vector<std::optional<double>> e_cache;
    auto e_of = [&](int sp) {
        const auto idx = static_cast<std::size_t>(sp);
        if (idx >= e_cache.size()) {
            e_cache.resize(idx + 1);
        }
        if (!e_cache[idx]) {
            e_cache[idx] = strength(sp);
        }
        return *e_cache[idx];
    };

    for (std::size_t a = 0; a < table.n_atoms(); ++a) {
        const double cn_i_base = cn[a];
        if (cn_i_base == 0.0) {
            continue;
        }
        const double e_i = e_of((*in.atom_species)[a]);
        const double cn_i =
            in.low_coordination_correction ? corrected_coordination(cn_i_base) : cn_i_base;
        for (std::size_t t = table.offsets[a]; t < table.offsets[a + 1]; ++t) {
            const int sp_j = table.neighbor_species[t];
            const double cn_j_base = (*in.species_mean_cn)[static_cast<std::size_t>(sp_j)];
            if (std::isnan(cn_j_base)) {
                result.nan_coordination = true;
                return result;
            }
            const double cn_j =
                in.low_coordination_correction ? corrected_coordination(cn_j_base) : cn_j_base;
            const double dist = table.distance[t];
            if (cn_j == 0.0 || dist < 1e-6) {
                continue;
            }
            const double e_j = e_of(sp_j);
            const double term = std::sqrt(e_i * e_j) / (cn_i * cn_j * dist);
            result.hv_product *= std::pow(term * static_cast<double>(table.count[t]), exponent);
        }
    }
    return result;
}

double ionicity_factor(const std::vector<double>& e_per_element) {
    const std::size_t k = e_per_element.size();
    double product = 1.0;
    double sum = 0.0;
    for (double e : e_per_element) {
        product *= e;
        sum += e;
    }
    const double geometric = k > 0 ? std::pow(product, 1.0 / static_cast<double>(k)) : 0.0;
    if (!(sum > 0.0)) {
        return 1.0;
    }
    return 1.0 - std::pow(static_cast<double>(k) * geometric / sum, 2.0);
}

double simunek_hardness(double C, double volume, double bond_contribution, double sigma,
                        double ionicity) {
    return C / volume * bond_contribution * std::exp(-1.0 * sigma * ionicity);
}

} // namespace ferrolith::properties
