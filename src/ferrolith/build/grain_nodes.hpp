// Grain nodes: lattice arrangements and the checks nodes must pass.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace ferrolith::build {

/// Nodes of one conventional cell of the named lattice stretched over the box
/// (Å): "fcc" 4 nodes, "bcc" 2, "diamond" 8, "hcp" 4 (orthohexagonal cell, ideal
/// when the box is a × √3a × c). Empty for any other name.
std::optional<std::vector<Vec3>> lattice_nodes(std::string_view name, const Vec3& box);

/// Whether `p` lies in the closed box [0, box] (Å).
bool inside_box(const Vec3& p, const Vec3& box);

/// The first pair (i < j, ordered by j then i) of nodes closer than `tolerance`
/// (Å) in the periodic box, if any. Sort-and-sweep along x: near-linear cost.
std::optional<std::pair<std::size_t, std::size_t>>
find_coincident_nodes(const std::vector<Vec3>& nodes, const Vec3& box, double tolerance);

} // namespace ferrolith::build
