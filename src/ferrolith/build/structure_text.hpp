// Text of large structures in the formats MD codes read (AtomEye CFG, LAMMPS
// data), laid out exactly as ASE's writers lay them out, but in chunks of atoms
// so that millions of atoms are written in seconds with little extra memory.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::build {

/// A per-atom array written as extra columns: n×width values, row-major.
struct AuxColumns {
    std::string name;
    std::size_t width = 1; ///< 1 for a plain array
    const double* values = nullptr;
};

/// Header of an AtomEye extended CFG file: particle count, cell (rows, Å),
/// whether velocities follow the positions, entry count and the auxiliary
/// column names.
std::string cfg_header(std::size_t n_atoms, const Mat3& cell, bool velocities,
                       const std::vector<AuxColumns>& aux);

/// Appends the CFG records of atoms [begin, end): mass (amu) and symbol of the
/// atomic number, scaled position (n×3), velocity (n×3, Å/(ASE time unit)) when
/// `velocities` is not null, then the auxiliary columns. `mass_of` and
/// `symbol_of` are indexed by atomic number.
void append_cfg_atoms(std::string& out, std::size_t begin, std::size_t end, const double* scaled,
                      const double* velocities, const std::int64_t* numbers,
                      const std::vector<AuxColumns>& aux, const std::vector<double>& mass_of,
                      const std::vector<std::string>& symbol_of);

/// Header of a LAMMPS data file (atom style atomic, metal units) for an
/// orthorhombic box of edge lengths `box` (Å) with the atom types of `species`
/// (in type order) and their masses (amu), up to the "Atoms # atomic" line.
std::string lammps_data_header(std::size_t n_atoms, const Vec3& box,
                               const std::vector<std::string>& species,
                               const std::vector<double>& masses);

/// Appends the LAMMPS "Atoms" lines of atoms [begin, end): id (1-based), type
/// (type_of[atomic number]) and position (n×3, Å).
void append_lammps_atoms(std::string& out, std::size_t begin, std::size_t end,
                         const double* positions, const std::int64_t* numbers,
                         const std::vector<int>& type_of);

} // namespace ferrolith::build
