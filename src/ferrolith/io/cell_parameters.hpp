// Checks on the six lattice parameters (a, b, c in Å; alpha, beta, gamma in
// degrees) that the text structure formats give, before ASE builds a cell
// from them.
#pragma once

#include "ferrolith/core/outcome.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::io {

/// Succeeds when ASE's cell construction from lattice parameters builds a
/// cell in which fractional positions can be placed: given 1 (a = b = c), 3
/// (a, b, c) or 6 numbers (a, b, c in Å; alpha, beta, gamma in degrees), gamma
/// must not be 0 (a parallel to b), the third vector's height above the a-b
/// plane must be real, and no cell vector may be zero. The arithmetic is ASE's
/// own, step for step, so the two agree to the last bit at the boundary.
/// Other counts are left to ASE. On failure the message starts with `where`
/// and the outcome carries `line` (1-based, 0 when unknown).
core::Status check_cell_parameters(const std::vector<double>& cellpar, std::string_view where,
                                   std::size_t line);

} // namespace ferrolith::io
