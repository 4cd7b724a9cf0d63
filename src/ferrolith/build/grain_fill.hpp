// Filling Voronoi cells with rotated copies of a seed crystal.
#pragma once

#include "ferrolith/build/vec3.hpp"
#include "ferrolith/build/voronoi.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrolith::build {

/// The crystal repeated in every grain.
struct SeedCrystal {
    Mat3 cell{};                        ///< lattice vectors as rows (Å), non-singular
    std::vector<Vec3> positions;        ///< basis atoms, Cartesian (Å)
    std::vector<std::int64_t> numbers;  ///< atomic number of each basis atom
};

/// The atoms of one grain: the seed crystal rotated by `rotation` (lab = R·crystal)
/// with the seed's origin on the grain's node, kept where they fall inside the
/// node's Voronoi cell. Lattice rows are clipped against the cell's planes, so the
/// cost is one multiply-add per atom plus a little per row, whatever the number of
/// grains.
class GrainLattice {
public:
    /// Prepares the rows; `tie_tolerance` (Å) is how near a plane an atom counts as
    /// on it, where the plane's `inclusive` flag decides.
    GrainLattice(const SeedCrystal& seed, const Vec3& node, const Mat3& rotation,
                 const VoronoiCell& cell, double tie_tolerance = 1e-6);

    /// Number of atoms of the grain.
    std::size_t count() const;

    /// Writes the grain's atoms: positions (n×3, Å, unwrapped), atomic numbers and
    /// `grain_index` for each, n = count(). Order: lattice rows, then along rows.
    void fill(double* positions, std::int64_t* numbers, std::int64_t* grain,
              std::int64_t grain_index) const;

private:
    struct Row {
        Vec3 base;    // position of k = 0 (Å)
        long k_min;   // first and last lattice step along the row
        long k_max;
        std::size_t basis;
    };
    template <class Visit>
    void for_each_row(Visit&& visit) const;

    const SeedCrystal* seed_;
    Vec3 node_{};
    int axis_[3] = {0, 1, 2};       // outer, middle, inner lattice vector
    Vec3 lab_axis_[3]{};            // rotated lattice vectors in that order (Å)
    std::vector<Vec3> lab_basis_;   // rotated basis positions (Å)
    long lo_[3] = {0, 0, 0};        // lattice index ranges enclosing the cell
    long hi_[3] = {0, 0, 0};
    // Per plane: projections of the three lattice vectors on its normal and the
    // plane's bound with the tie rule folded in; per basis atom and plane, the
    // projection of the basis position.
    std::vector<double> proj_outer_, proj_middle_, proj_inner_, bound_;
    std::vector<double> proj_basis_; // basis-major
};

/// Maps every position into [0, box) along each axis (periodic wrap), in place.
void wrap_into_box(double* positions, std::size_t n, const Vec3& box);

} // namespace ferrolith::build
