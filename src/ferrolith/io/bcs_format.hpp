// The BCS structure file: space-group number, lattice parameters and the
// atoms of the asymmetric unit with their Wyckoff positions.
//
// Written form (line feeds, no blank lines):
//   # Space Group ITA number
//   <number>
//   # Lattice parameters (lengths in angstroms and angles in degrees)
//   <a> <b> <c> <alpha> <beta> <gamma>          lengths .6f, angles .2f
//   # Number of independent atoms in the asymmetric unit
//   <n>
//   # [atom type] [number] [WP] [x] [y] [z]
//   <symbol:<2> <i:<2> <WP:<4> <x> <y> <z>      coordinates .6f
// Read form: text from the first '#' on is a comment, lines are stripped and
// empty ones dropped; what remains are the data lines. A UTF-8 byte order
// mark at the start of the file is skipped.
#pragma once

#include "ferrolith/core/outcome.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::io {

/// One data line of a BCS file.
struct BcsDataLine {
    std::string_view text; ///< the line cut at '#' and stripped, never empty
    std::size_t line;      ///< 1-based line number in the file
};

/// The data lines of a BCS file: each line cut at its first '#', stripped of
/// whitespace at both ends (Python's str.strip()), empty results dropped.
/// Views point into `lines`.
std::vector<BcsDataLine> bcs_data_lines(const std::vector<std::string_view>& lines);

/// Data line `k` of the header (0: space-group number, 1: lattice parameters,
/// 2: number of atom lines), or a failure saying which one the file lacks.
core::Outcome<BcsDataLine> bcs_header_line(const std::vector<BcsDataLine>& data, std::size_t k);

/// The fields of one atom line that the reader uses.
struct BcsAtomFields {
    std::string_view symbol;                ///< field 1
    std::array<std::string_view, 3> coords; ///< fields 4-6: fractional x, y, z (text)
    std::size_t line;                       ///< 1-based line number in the file
};

/// The first `count` atom lines, which follow the three header lines. Fails,
/// naming the line, when the file has fewer atom lines than the count on data
/// line 3 asks for, or an atom line has fewer than six fields.
core::Outcome<std::vector<BcsAtomFields>> bcs_atom_fields(const std::vector<BcsDataLine>& data,
                                                          std::size_t count);

/// Symmetry of a structure as a symmetry finder reports it, per atom of the
/// structure and per atom of the standardized conventional cell.
struct SymmetryMapping {
    /// For each atom, the index of the representative atom of its orbit.
    std::vector<std::int64_t> equivalent_atoms;
    /// For each atom, the index of its atom in the primitive cell.
    std::vector<std::int64_t> mapping_to_primitive;
    /// For each atom of the standardized conventional cell, the index of its
    /// atom in the same primitive cell.
    std::vector<std::int64_t> std_mapping_to_primitive;
};

/// One orbit (set of symmetry-equivalent atoms) of a structure.
struct BcsOrbit {
    std::size_t first_atom;    ///< lowest index of an atom of the orbit in the structure
    std::int64_t multiplicity; ///< atoms of the orbit in the standardized conventional cell
    std::size_t std_atom;      ///< first atom of the standardized cell on the orbit's
                               ///< primitive atom (its coordinates describe the orbit)
};

/// The orbits of a structure, in ascending order of their representative
/// index, and the multiplicity of each in the standardized conventional cell:
/// the number of its atoms whose primitive atom belongs to the orbit. Unlike
/// counting the orbit's atoms in the structure, this holds for primitive cells
/// and for cells that are not whole multiples of the conventional cell. Fails
/// when the mapping is inconsistent (sizes differ, an orbit's primitive atom
/// has no image in the standardized cell, a primitive atom in two orbits).
core::Outcome<std::vector<BcsOrbit>> bcs_orbits(const SymmetryMapping& mapping);

/// One atom line of a BCS file.
struct BcsAtomLine {
    std::string symbol;               ///< chemical symbol
    std::string wyckoff;              ///< Wyckoff label: multiplicity and letter, e.g. "4a"
    std::array<double, 3> position{}; ///< fractional coordinates in the conventional cell
};

/// The Wyckoff label of an orbit: its multiplicity immediately followed by the letter.
std::string wyckoff_label(std::int64_t multiplicity, std::string_view letter);

/// The complete text of a BCS file: space group `number`, lattice parameters
/// `cellpar` (a, b, c in Å; alpha, beta, gamma in degrees) and the atom lines
/// numbered from 1.
std::string format_bcs(std::int64_t number, const std::array<double, 6>& cellpar,
                       const std::vector<BcsAtomLine>& atoms);

} // namespace ferrolith::io
