#include "ferrolith/io/bcs_format.hpp"

#include "ferrolith/io/text_fields.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace ferrolith::io {

std::vector<BcsDataLine> bcs_data_lines(const std::vector<std::string_view>& lines) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::vector<BcsDataLine> data;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (i == 0 && line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
        const std::size_t hash = line.find('#');
        if (hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = strip(line);
        if (!line.empty()) {
            data.push_back({line, i + 1});
        }
    }
    return data;
}

core::Outcome<BcsDataLine> bcs_header_line(const std::vector<BcsDataLine>& data, std::size_t k) {
    if (k < data.size()) {
        return core::Outcome<BcsDataLine>::ok(data[k]);
    }
    if (data.empty()) {
        return core::Outcome<BcsDataLine>::fail("BCS file has no data lines: the space-group "
                                                "number is missing.");
    }
    static const char* const kWhat[] = {"space-group number", "lattice parameters",
                                        "number of atom lines"};
    const std::size_t last = data.back().line;
    return core::Outcome<BcsDataLine>::fail("BCS file ends after line " + std::to_string(last) +
                                                " without the " + kWhat[k < 3 ? k : 2] + ".",
                                            last);
}

core::Outcome<std::vector<BcsAtomFields>> bcs_atom_fields(const std::vector<BcsDataLine>& data,
                                                          std::size_t count) {
    using Result = core::Outcome<std::vector<BcsAtomFields>>;
    constexpr std::size_t kFirst = 3;
    const std::size_t available = data.size() > kFirst ? data.size() - kFirst : 0;
    if (count > available) {
        const BcsDataLine& declared = data[kFirst - 1];
        return Result::fail("BCS file: line " + std::to_string(declared.line) + " asks for " +
                                std::string(declared.text) + " atom lines, but " +
                                std::to_string(available) + " follow.",
                            declared.line);
    }
    std::vector<BcsAtomFields> atoms;
    atoms.reserve(count);
    std::vector<std::string_view> fields;
    for (std::size_t i = 0; i < count; ++i) {
        const BcsDataLine& line = data[kFirst + i];
        split_fields(line.text, fields);
        if (fields.size() < 6) {
            return Result::fail("BCS file: atom line " + std::to_string(line.line) + " has only " +
                                    std::to_string(fields.size()) +
                                    " of the 6 fields symbol, number, WP, x, y, z.",
                                line.line);
        }
        atoms.push_back({fields[0], {fields[3], fields[4], fields[5]}, line.line});
    }
    return Result::ok(std::move(atoms));
}

core::Outcome<std::vector<BcsOrbit>> bcs_orbits(const SymmetryMapping& mapping) {
    using Result = core::Outcome<std::vector<BcsOrbit>>;
    const std::size_t n = mapping.equivalent_atoms.size();
    if (mapping.mapping_to_primitive.size() != n) {
        return Result::fail("inconsistent symmetry dataset: equivalent_atoms and "
                            "mapping_to_primitive differ in length");
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
            return Result::fail("inconsistent symmetry dataset: primitive atom " +
                                std::to_string(mapping.mapping_to_primitive[j]) +
                                " belongs to two orbits");
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

    std::vector<BcsOrbit> orbits;
    orbits.reserve(first_atom.size());
    for (std::size_t orbit = 0; orbit < first_atom.size(); ++orbit) {
        const std::int64_t primitive = mapping.mapping_to_primitive[first_atom[orbit]];
        auto std_atom = first_std_of_primitive.find(primitive);
        if (std_atom == first_std_of_primitive.end()) {
            return Result::fail("inconsistent symmetry dataset: no atom of the standardized cell "
                                "maps to primitive atom " +
                                std::to_string(primitive));
        }
        orbits.push_back({first_atom[orbit], multiplicity[orbit], std_atom->second});
    }
    return Result::ok(std::move(orbits));
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
