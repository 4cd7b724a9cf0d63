// Twin lamellae inside a grain: the coherent twin of a seed crystal across one
// family of lattice planes, found with the twin builder's kernels, and the
// stack of parent and twin lamellae that fills a grain between planes of that
// family.
//
// Plain C++. The twin is a map of the seed's own frame (Å): the crystal X and
// its twin Q·X + S meet coherently on the plane at height `plane` along the
// unit normal (lower side X, upper side the twin), and on every plane of the
// same family that a lattice translation carries it to (height + m·spacing).
#pragma once

#include "ferrolith/build/grain_fill.hpp"
#include "ferrolith/build/vec3.hpp"
#include "ferrolith/core/outcome.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::build {

/// How a twin is made from the crystal: as the twin builder's `operation`.
enum class TwinOperation { kAuto, kMirror, kRotation };

/// The coherent twin of a seed crystal across one plane family.
struct LamellaTwin {
    std::array<int, 3> hkl{}; ///< Miller indices of the plane (common factor removed)
    Vec3 normal{};            ///< unit plane normal, seed frame
    double spacing = 0.0;     ///< d(hkl), Å
    Vec3 period{};            ///< lattice vector with normal·period = spacing (Å)
    double plane = 0.0;       ///< height (Å) along `normal` of one twin plane
    Mat3 op{};                ///< linear part of the twin map (half turn or reflection)
    Vec3 shift{};             ///< translation part of the twin map (Å)
    bool mirror = false;      ///< the map is the reflection across the plane
};

/// Finds the twin of `seed` across planes (hkl), by the twin builder's rules:
/// a slab of the seed is cut parallel to the plane; "mirror" takes the first
/// mirror plane of its layers (core::is_mirror_image, search_mirror_plane),
/// "rotation" the two-fold rotation about the normal that keeps the bulk's
/// bonds across the boundary (core::find_rotation_twin), "auto" the mirror when
/// one exists above the lowest layer, else the rotation. `tol` (Å) groups atoms
/// into layers and matches positions. Fails with the reason when no twin exists
/// or the indices are all zero.
core::Outcome<LamellaTwin> find_lamella_twin(const SeedCrystal& seed, const std::array<int, 3>& hkl,
                                             TwinOperation operation, double tol);

/// The distinct planes symmetry-equivalent to (hkl): h·W for every point
/// operation W (integer matrices acting on fractional coordinates, as spglib
/// gives them), a plane and its negative counted once; (hkl) first.
std::vector<std::array<int, 3>> equivalent_planes(const std::array<int, 3>& hkl,
                                                  const std::vector<std::array<int, 9>>& rotations);

/// One lamella of a grain: the heights (Å, along the twin normal, relative to
/// the grain's node) between which it lies, and the map x -> op·x + shift of
/// the seed frame that gives its crystal.
struct Lamella {
    double lower = 0.0; ///< the first lamella of a grain starts at or below the grain
    double upper = 0.0; ///< the last ends at or above it
    Mat3 op{};
    Vec3 shift{};
    std::int64_t layers = 0; ///< thickness in spacings d(hkl)
};

/// Stacks lamellae over the heights [h_min, h_max] of a grain (Å): the first
/// boundary lies `phase` spacings below the lowest twin plane under h_min, and
/// lamella k is `thickness[k]` spacings thick (each at least 1), alternately
/// parent crystal and twin, each twin of the one below across a plane of the
/// family. Stops with the first lamella that reaches h_max; fails when
/// `thickness` runs out before that.
core::Outcome<std::vector<Lamella>> stack_lamellae(const LamellaTwin& twin, double h_min,
                                                   double h_max, std::int64_t phase,
                                                   const std::vector<std::int64_t>& thickness);

} // namespace ferrolith::build
