// AtomEye extended CFG text, laid out exactly as ASE's writer lays it out, in
// chunks of atoms, so that millions of atoms are written in seconds with
// little extra memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::io {

/// A per-atom array written as extra columns: n×width values, row-major.
struct AuxColumns {
    std::string name;
    std::size_t width = 1; ///< 1 for a plain array
    const double* values = nullptr;
    /// Integer columns are read as they are held (no copy as doubles) when
    /// `values` is null; written as the doubles they convert to.
    const std::int64_t* integers = nullptr;
};

/// Header of a CFG file: particle count, cell (rows, Å), whether velocities
/// follow the positions, entry count and the auxiliary column names.
std::string cfg_header(std::size_t n_atoms, const std::array<std::array<double, 3>, 3>& cell,
                       bool velocities, const std::vector<AuxColumns>& aux);

/// Appends the CFG records of atoms [begin, end): mass (amu) and symbol of the
/// atomic number, scaled position (n×3), velocity (n×3, Å/(ASE time unit)) when
/// `velocities` is not null, then the auxiliary columns. `mass_of` and
/// `symbol_of` are indexed by atomic number.
void append_cfg_atoms(std::string& out, std::size_t begin, std::size_t end, const double* scaled,
                      const double* velocities, const std::int64_t* numbers,
                      const std::vector<AuxColumns>& aux, const std::vector<double>& mass_of,
                      const std::vector<std::string>& symbol_of);

} // namespace ferrolith::io
