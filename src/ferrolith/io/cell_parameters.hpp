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

/// Largest magnitude of a fractional coordinate the readers and writers take;
/// at 1e6 the wrapped coordinate still keeps ten decimal digits.
inline constexpr double kMaxFractionalCoordinate = 1e6;

/// Succeeds when ASE's cell construction from lattice parameters builds a
/// cell in which fractional positions can be placed: given 1 (a = b = c), 3
/// (a, b, c) or 6 numbers (a, b, c in Å; alpha, beta, gamma in degrees), gamma
/// must not be 0 (a parallel to b), the third vector's height above the a-b
/// plane must be real, no cell vector may be zero, and the cell's volume
/// must be at least 1e-30 Å^3 and at least 1e-6 of a b c (not a flat cell
/// whose angles only round off to a cell). The arithmetic is ASE's
/// own, step for step, so the two agree to the last bit at the boundary.
/// Other counts are left to ASE.
/// On failure the message starts with `where` and the outcome carries `line`
/// (1-based, 0 when unknown).
///
/// Fractional coordinates beyond kMaxFractionalCoordinate in magnitude are
/// refused by the readers: wrapped into the cell they keep no digit of their
/// fractional part, and distinct sites collapse onto one.
core::Status check_cell_parameters(const std::vector<double>& cellpar, std::string_view where,
                                   std::size_t line);

} // namespace ferrolith::io
