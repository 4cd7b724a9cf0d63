// Statistics of a generated polycrystal's grains: the summary lines of a
// verbose run and the grain table written beside the structure.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::build {

/// Atoms of each of `n_grains` grains, from the grain index of every atom
/// (indices outside [0, n_grains) are not counted).
std::vector<std::size_t> atoms_per_grain(const std::int64_t* grain, std::size_t n_atoms,
                                         std::size_t n_grains);

/// Diameter (Å) of the sphere of volume `volume` (Å³).
double equivalent_diameter(double volume);

/// "1,234,567": an integer with thousands separated by commas.
std::string grouped_integer(std::size_t n);

/// "80 x 80 x 80": the box lengths in the shortest "%g" form.
std::string box_text(const Vec3& box);

/// Three lines: mean, smallest and largest grain volume (Å³), equivalent
/// diameter (Å) and atom count, for grains of the given Voronoi volumes and
/// atom counts (one each per grain, at least one grain); `n_atoms` is the
/// structure's total.
std::vector<std::string> grain_summary_lines(const std::vector<double>& volumes,
                                             const std::vector<std::size_t>& counts,
                                             std::size_t n_atoms);

/// The twin lamellae of one grain, for the grain table.
struct GrainTwins {
    std::size_t twins = 0; ///< twin boundaries crossing the grain
    double mean_spacing =
        0.0; ///< mean thickness (Å) of the lamellae lying whole inside; NaN if none
};

/// The grain table: a commented header, then per grain its index, node (Å),
/// orientation angles (degrees about x, then y, then z), atom count, Voronoi
/// volume (Å³) and equivalent diameter (Å); with `twins`, also the grain's
/// twin count and mean twin spacing (Å).
std::string grain_table_text(const Vec3& box, const std::vector<Vec3>& nodes,
                             const std::vector<Vec3>& angles,
                             const std::vector<std::size_t>& counts,
                             const std::vector<double>& volumes,
                             const std::vector<GrainTwins>* twins = nullptr);

} // namespace ferrolith::build
