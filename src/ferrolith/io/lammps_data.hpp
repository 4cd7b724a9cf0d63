// LAMMPS data text (atom style atomic, metal units), laid out exactly as ASE's
// writer lays it out, in chunks of atoms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::io {

/// Header of a LAMMPS data file for an orthorhombic box of edge lengths `box`
/// (Å) with the atom types of `species` (in type order) and their masses (amu),
/// up to the "Atoms # atomic" line.
std::string lammps_data_header(std::size_t n_atoms, const std::array<double, 3>& box,
                               const std::vector<std::string>& species,
                               const std::vector<double>& masses);

/// Appends the "Atoms" lines of atoms [begin, end): id (1-based), type
/// (type_of[atomic number]) and position (n×3, Å).
void append_lammps_atoms(std::string& out, std::size_t begin, std::size_t end,
                         const double* positions, const std::int64_t* numbers,
                         const std::vector<int>& type_of);

/// Appends one line per atom of [begin, end) of a per-atom side file: the
/// atom's id in the data file (1-based) and its value in each column.
void append_per_atom_rows(std::string& out, std::size_t begin, std::size_t end,
                          const std::vector<const std::int64_t*>& columns);

} // namespace ferrolith::io
