// Thinning out atoms that sit too close to each other, with the one
// neighbour search of the kernels.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrolith::build {

/// Decides which atoms to keep so that no two kept atoms are closer than `radius`
/// (Å) over the periodic images of `cell` (rows, Å, any shape) along the axes
/// with `pbc` set: atoms are taken in index order and an atom is dropped when a
/// kept atom before it lies closer than `radius` (any image). Positions (n×3,
/// Å) may lie outside the cell. Keeps every atom for non-finite input or a cell
/// without volume. Linear cost at bounded density.
std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Mat3& cell,
                                     const std::array<bool, 3>& pbc, double radius);

/// keep_apart in the periodic orthorhombic box `box` (Å). With radius at most
/// half the smallest box length, only the nearest image of a pair can be closer.
std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Vec3& box,
                                     double radius);

/// Moves the kept rows of `positions` (n×3), `numbers` and `grain` to the front,
/// in order, and returns how many were kept.
std::size_t compact_atoms(const std::vector<std::uint8_t>& keep, double* positions,
                          std::int64_t* numbers, std::int64_t* grain);

/// Moves the kept entries of one more per-atom array to the front, in order.
void compact_values(const std::vector<std::uint8_t>& keep, std::int64_t* values);

} // namespace ferrolith::build
