#include "ferrolith/io/bcs_format.hpp"

#include "ferrolith/io/text_fields.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace ferrolith::io {

std::vector<std::string_view> bcs_data_lines(const std::vector<std::string_view>& lines) {
    std::vector<std::string_view> data;
    for (std::string_view line : lines) {
        const std::size_t hash = line.find('#');
        if (hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = strip(line);
        if (!line.empty()) {
            data.push_back(line);
        }
    }
    return data;
}

BcsOrbits bcs_orbits(const SymmetryMapping& mapping) {
    BcsOrbits result;
    const std::size_t n = mapping.equivalent_atoms.size();
    if (mapping.mapping_to_primitive.size() != n) {
        result.error = "equivalent_atoms and mapping_to_primitive differ in length";
        return result;
    }

    // Orbits in ascending order of their representative, with their first atom.
    std::map<std::int64_t, std::size_t> orbit_of_value;
    for (std::int64_t value : mapping.equivalent_atoms) {
        orbit_of_value.emplace(value, 0);
    }
    std::size_t orbit_count = 0;
    for (auto& entry : orbit_of_value) {
        entry.second = orbit_count++;
    }
    std::vector<std::size_t> first_atom(orbit_count, n);
    std::vector<std::size_t> orbit_of_atom(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t orbit = orbit_of_value[mapping.equivalent_atoms[j]];
        orbit_of_atom[j] = orbit;
        first_atom[orbit] = std::min(first_atom[orbit], j);
    }

    // Every primitive atom lies on exactly one orbit.
    std::unordered_map<std::int64_t, std::size_t> orbit_of_primitive;
    for (std::size_t j = 0; j < n; ++j) {
        auto [found, inserted] =
            orbit_of_primitive.emplace(mapping.mapping_to_primitive[j], orbit_of_atom[j]);
        if (!inserted && found->second != orbit_of_atom[j]) {
            result.error = "primitive atom " + std::to_string(mapping.mapping_to_primitive[j]) +
                           " belongs to two orbits";
            return result;
        }
    }

    // Count the conventional-cell atoms of each orbit and find the first
    // conventional atom of each primitive atom.
    std::vector<std::int64_t> multiplicity(first_atom.size(), 0);
    std::unordered_map<std::int64_t, std::size_t> first_std_of_primitive;
    const auto& std_map = mapping.std_mapping_to_primitive;
    for (std::size_t k = 0; k < std_map.size(); ++k) {
        first_std_of_primitive.emplace(std_map[k], k); // keeps the lowest k
        auto orbit = orbit_of_primitive.find(std_map[k]);
        if (orbit != orbit_of_primitive.end()) {
            ++multiplicity[orbit->second];
        }
    }

    result.orbits.reserve(first_atom.size());
    for (std::size_t orbit = 0; orbit < first_atom.size(); ++orbit) {
        const std::int64_t primitive = mapping.mapping_to_primitive[first_atom[orbit]];
        auto std_atom = first_std_of_primitive.find(primitive);
        if (std_atom == first_std_of_primitive.end()) {
            result.error = "no atom of the standardized cell maps to primitive atom " +
                           std::to_string(primitive);
            result.orbits.clear();
            return result;
        }
        result.orbits.push_back({first_atom[orbit], multiplicity[orbit], std_atom->second});
    }
    return result;
}

std::string wyckoff_label(std::int64_t multiplicity, std::string_view letter) {
    std::string label = std::to_string(multiplicity);
    label.append(letter);
    return label;
}

std::string format_bcs(std::int64_t number, const std::array<double, 6>& cellpar,
                       const std::vector<BcsAtomLine>& atoms) {
    std::string out;
    out.reserve(256 + atoms.size() * 48);
    out.append("# Space Group ITA number\n");
    out.append(std::to_string(number)).push_back('\n');
    out.append("# Lattice parameters (lengths in angstroms and angles in degrees)\n");
    for (int k = 0; k < 6; ++k) {
        if (k > 0) {
            out.push_back(' ');
        }
        append_fixed(out, cellpar[static_cast<std::size_t>(k)], k < 3 ? 6 : 2);
    }
    out.push_back('\n');
    out.append("# Number of independent atoms in the asymmetric unit\n");
    out.append(std::to_string(atoms.size())).push_back('\n');
    out.append("# [atom type] [number] [WP] [x] [y] [z]\n");
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        const BcsAtomLine& atom = atoms[i];
        append_left_aligned(out, atom.symbol, 2);
        out.push_back(' ');
        append_left_aligned(out, std::to_string(i + 1), 2);
        out.push_back(' ');
        append_left_aligned(out, atom.wyckoff, 4);
        for (double x : atom.position) {
            out.push_back(' ');
            append_fixed(out, x, 6);
        }
        out.push_back('\n');
    }
    return out;
}

} // namespace ferrolith::io
