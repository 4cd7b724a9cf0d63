// Arithmetic of the coherent twin builder: layer coordinates, the order of the
// mirror plane search, the automatic choice of layers to delete, the atoms a
// grain keeps and the stacking of grains along the axis.
//
// Plain C++: positions are row-major N×3 arrays in Å; a layer is a list of
// atom indices (a negative index counts from the end, as in numpy); layer
// indices are positions in the list of layers ordered by coordinate.
#pragma once

#include "ferrolith/core/geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ferrolith::build {

using core::Outcome;

/// Atom indices of each layer, in the caller's layer order.
using LayerIndices = std::vector<std::vector<std::int64_t>>;

/// Mean coordinate (Å) along `axis` of the atoms of each layer. Fails for an
/// empty layer or an index outside [-n_atoms, n_atoms).
Outcome<std::vector<double>> layer_coordinates(const double* positions, std::size_t n_atoms,
                                               int axis, const LayerIndices& layers);

/// Where the mirror plane search ended.
struct MirrorPlane {
    enum class Kind {
        kTooFewLayers,  ///< fewer than 2 layers: nothing to compare
        kNotFound,      ///< every candidate failed (or there was none)
        kThroughLayer,  ///< the plane passes through layer `index`
        kBetweenLayers, ///< the plane lies midway between `index` and `index` + 1
    };
    Kind kind = Kind::kNotFound;
    std::size_t index = 0; ///< layer at or just below the plane
    double gap = 0.0;      ///< spacing (Å) of the two layers for kBetweenLayers, else 0
};

/// Answers whether layer `upper` mirrors layer `lower` across the plane at
/// coordinate `plane` (Å). May throw; the exception passes through.
using ReflectionTest = std::function<bool(double plane, std::size_t lower, std::size_t upper)>;

/// The mirror plane search over layers at `coords` (Å, increasing), with n
/// layers. Planes through a layer are tried first, for i = n-2 down to 2,
/// comparing layers i-1 and i+1 across coords[i]; then planes between layers,
/// for i = n-2 down to 2, comparing layers i and i+1 across their midpoint.
/// The first success wins. Layer 1 is never a centre and layer 0 never
/// compared; with 2 or 3 layers there is no candidate.
MirrorPlane search_mirror_plane(const std::vector<double>& coords, const ReflectionTest& test);

/// The automatic deletion list of a slab whose layers lie at `coords` (Å,
/// increasing) with its mirror plane at layer `mirror` (0 < mirror < n):
/// every layer above the mirror layer, then every layer strictly below
/// threshold = coords[mirror] - d_hkl * nlayers + gap / 2 - tol_layer / 2,
/// both in ascending order. `d_hkl`, `gap` and `tol_layer` are in Å,
/// `nlayers` in spacings d(hkl).
std::vector<std::int64_t> layers_to_delete(const std::vector<double>& coords, std::size_t mirror,
                                           double d_hkl, double nlayers, double gap,
                                           double tol_layer);

/// The atoms a grain keeps: the indices of every layer whose position is not
/// among `deleted`, layer after layer. A negative entry of `deleted` counts
/// from the end (-1 is the top layer); entries outside [-n_layers, n_layers)
/// match nothing.
std::vector<std::int64_t> kept_atoms(const LayerIndices& layers,
                                     const std::vector<std::int64_t>& deleted);

/// The layers deleted from the top of the next grain (the mirror of the
/// current one): k, k+1, ..., -1 with k = -nl_per_layer * (next - current),
/// empty when k >= 0. `nl_per_layer` is minus the atomic layers per d(hkl);
/// `next` and `current` are grain thicknesses in spacings d(hkl).
std::vector<std::int64_t> top_layers_to_delete(std::int64_t nl_per_layer, std::int64_t next,
                                               std::int64_t current);

/// Lowest and highest coordinate (Å) of the atoms along `axis`; none for no atoms.
std::optional<std::pair<double, double>> axis_extent(const double* positions, std::size_t n_atoms,
                                                     int axis);

/// How grains are placed along the axis.
struct StackPlan {
    std::vector<double> shift;    ///< added to each grain's coordinates along the axis, Å
    double total_thickness = 0.0; ///< sum of the grains' extents, Å
    double total_gap = 0.0;       ///< n_grains * gap for two grains or more, else 0, Å
};

/// Stacks grains with extents (lowest, highest) from 0 upwards: each grain's
/// lowest atom goes to the running position, which then moves to the grain's
/// highest atom plus `gap` (Å).
StackPlan plan_stack(const std::vector<std::pair<double, double>>& extents, double gap);

} // namespace ferrolith::build
