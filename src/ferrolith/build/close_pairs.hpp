// Thinning out atoms that sit too close to each other, with a cell list.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrolith::build {

/// Decides which atoms to keep so that no two kept atoms are closer than `radius`
/// (Å) in the periodic orthorhombic box `box` (Å): atoms are taken in index order
/// and an atom is dropped when a kept atom before it lies closer than `radius`.
/// Positions (n×3, Å) may lie outside the box. Requires radius ≤ half the smallest
/// box length. Linear cost: a cell list with cells of at least `radius`.
std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Vec3& box,
                                     double radius);

/// Moves the kept rows of `positions` (n×3), `numbers` and `grain` to the front,
/// in order, and returns how many were kept.
std::size_t compact_atoms(const std::vector<std::uint8_t>& keep, double* positions,
                          std::int64_t* numbers, std::int64_t* grain);

} // namespace ferrolith::build
