// Extended XYZ atom lines laid out exactly as ASE's writer lays them out, in
// chunks of atoms, for structures of millions of atoms.
#pragma once

#include "ferrolith/io/cfg_writer.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::io {

/// Appends the lines of atoms [begin, end): the symbol of the atomic number
/// ("%-2s"), the Cartesian position (n×3, Å, "%16.8f" each), then each
/// column in order, integers as "%8d" and floats as "%16.8f", one space
/// between fields. `symbol_of` is indexed by atomic number.
void append_extxyz_atoms(std::string& out, std::size_t begin, std::size_t end,
                         const double* positions, const std::int64_t* numbers,
                         const std::vector<std::string>& symbol_of,
                         const std::vector<AuxColumns>& columns);

} // namespace ferrolith::io
