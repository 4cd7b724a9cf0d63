// Filling Voronoi cells with rotated copies of a seed crystal.
#pragma once

#include "ferrolith/build/vec3.hpp"
#include "ferrolith/build/voronoi.hpp"
#include "ferrolith/core/outcome.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ferrolith::build {

/// The crystal repeated in every grain.
struct SeedCrystal {
    Mat3 cell{};                       ///< lattice vectors as rows (Å), non-singular
    std::vector<Vec3> positions;       ///< basis atoms, Cartesian (Å)
    std::vector<std::int64_t> numbers; ///< atomic number of each basis atom
};

/// The atoms of one grain: the seed crystal rotated by `rotation` (lab = R·crystal)
/// with the seed's origin on the grain's node, kept where they fall inside the
/// node's Voronoi cell. Lattice rows are clipped against the cell's planes when the
/// grain is set up, so filling costs one multiply-add per atom, whatever the number
/// of grains.
class GrainLattice {
public:
    /// Prepares the rows; `tie_tolerance` (Å) is how near a plane an atom counts as
    /// on it, where the plane's `inclusive` flag decides. `occupied`, when given,
    /// holds corners (Å, from the node) of a region that contains every atom the
    /// planes admit, such as one lamella of a grain whose `cell.vertices` are the
    /// whole grain's: only rows crossing it are searched. The atoms and their
    /// order are the same either way (the row directions follow `cell.vertices`).
    GrainLattice(const SeedCrystal& seed, const Vec3& node, const Mat3& rotation,
                 const VoronoiCell& cell, double tie_tolerance = 1e-6,
                 const std::vector<Vec3>* occupied = nullptr);

    /// Number of atoms of the grain.
    std::size_t count() const { return count_; }

    /// Writes the grain's atoms: positions (n×3, Å, unwrapped), atomic numbers and
    /// `grain_index` for each, n = count(), and `lamella_index` for each when
    /// `lamella` is not null. Order: lattice rows, then along rows.
    void fill(double* positions, std::int64_t* numbers, std::int64_t* grain,
              std::int64_t grain_index, std::int64_t* lamella = nullptr,
              std::int64_t lamella_index = 0) const;

    /// Frees the rows; fill() writes nothing afterwards.
    void release();

private:
    // A row holds lattice steps k_min..k_max along the inner axis from the
    // point of outer and middle steps i, j and basis atom `basis`; kept small,
    // as a thin lamella has many short rows.
    struct Row {
        std::int32_t i, j;
        std::int32_t k_min, k_max;
        std::uint32_t basis;
    };
    void build_rows();
    void middle_ranges(const std::vector<Vec3>& corners, const Mat3& rotation, const Mat3& inv_cell,
                       const double b_min[3], const double b_max[3]);
    Vec3 row_base(long i, long j, std::size_t basis) const; // position of k = 0 (Å)

    const SeedCrystal* seed_;
    Vec3 node_{};
    int axis_[3] = {0, 1, 2};     // outer, middle, inner lattice vector
    Vec3 lab_axis_[3]{};          // rotated lattice vectors in that order (Å)
    std::vector<Vec3> lab_basis_; // rotated basis positions (Å)
    long lo_[3] = {0, 0, 0};      // lattice index ranges enclosing the cell
    long hi_[3] = {0, 0, 0};
    // Per plane (bounding the row from above, from below, then not at all; the
    // group sizes in n_group_): projections of the outer and middle lattice
    // vectors on its normal, the inverse projection of the inner one, and the
    // plane's bound with the tie rule folded in; per basis atom and plane, the
    // projection of the basis position.
    std::size_t n_group_[3] = {0, 0, 0};
    std::vector<double> proj_outer_, proj_middle_, inv_inner_, bound_;
    std::vector<double> proj_basis_; // basis-major
    // Per outer step (from lo_[0]), the middle steps to search; empty: all.
    std::vector<std::pair<long, long>> middle_range_;
    std::vector<Row> rows_; // the lattice rows inside the cell
    std::size_t count_ = 0;
};

/// Trims a piece of a cell (a cell with extra bounding planes, such as one
/// lamella of a grain) to what can hold atoms, and returns the corners of
/// that region (Å, relative to the node), each plane pushed out by 1e-3 Å so
/// that it holds every atom on or near its faces; empty when nothing is left.
/// Planes that stay clear of the region cannot decide any of its atoms and
/// are dropped from `piece.planes`. A GrainLattice of the trimmed piece, given
/// the corners, holds the same atoms in the same order as one of the whole
/// piece, testing each row against the few faces it can meet.
std::vector<Vec3> trim_cell_piece(VoronoiCell& piece);

/// Atoms that the seed crystal puts into the box (Å): box volume × atoms per
/// seed cell / seed cell volume.
double expected_atom_count(const SeedCrystal& seed, const Vec3& box);

/// Refuses, before anything is drawn or allocated, a generation whose
/// expected atom count exceeds `max_atoms` or whose grains outnumber its
/// expected atoms (a grain holds at least one atom); the message names the
/// estimate.
core::Status check_generation_size(double expected_atoms, double grains, const Vec3& box,
                                   double max_atoms);

/// Bytes this process may use: the smaller of the machine's physical memory
/// and the address-space limit (RLIMIT_AS) when one is set.
double memory_budget_bytes();

/// Refuses, before anything is allocated, a generation whose arrays (about
/// `kBytesPerAtom` per expected atom) and Voronoi cells (about
/// `kBytesPerGrain` per grain) would not fit in `budget` bytes; the message
/// names the estimate.
core::Status check_generation_memory(double expected_atoms, double grains, double budget);

/// Bytes per atom of a generation: positions, atomic number, grain and lamella.
inline constexpr double kBytesPerAtom = 48.0;
/// Bytes per grain of its Voronoi cell, its lattice rows and its draws.
inline constexpr double kBytesPerGrain = 4096.0;

/// Refuses a box with a side shorter than the seed's nearest-neighbour
/// distance `nearest` (Å): it would hold no whole bond of the crystal.
core::Status check_box_lengths(const Vec3& box, double nearest);

/// Refuses a removal radius `radius` (Å) whose sphere holds, at the seed's
/// `density` (atoms/Å³), more than `max_neighbors` atoms, or whose close pairs
/// over `expected_atoms` atoms would not fit in `budget` bytes; the message
/// names the estimate.
core::Status check_removal_radius(double radius, double density, double expected_atoms,
                                  std::size_t max_neighbors, double budget);

/// Maps every position into [0, box) along each axis (periodic wrap), in place.
void wrap_into_box(double* positions, std::size_t n, const Vec3& box);

} // namespace ferrolith::build
