// Geometry kernels for crystal slabs and periodic cells: layers along an axis,
// mirror tests between layers, interplanar spacings, merging of close atoms and
// the enumeration of distinct Miller planes.
//
// Plain C++: positions are row-major N×3 arrays of doubles in Å, cells are
// three row vectors in Å, fractional coordinates are in units of the cell
// vectors. Axes are 0 (x), 1 (y) and 2 (z).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ferrolith/core/outcome.hpp"
#include "ferrolith/core/vec3.hpp"

namespace ferrolith::core {

// ---------------------------------------------------------------------------
// Layers
// ---------------------------------------------------------------------------

/// Atomic layers stored flat: layer k holds atoms[offsets[k] .. offsets[k+1]-1].
struct Layers {
    std::vector<std::size_t> atoms;   ///< atom indices, ascending within each layer
    std::vector<std::size_t> offsets; ///< count() + 1 entries, offsets[0] == 0
    std::size_t count() const { return offsets.empty() ? 0 : offsets.size() - 1; }
};

/// Groups atoms into layers normal to `axis` by single linkage of their
/// coordinates along it: after sorting the coordinates, two neighbours in that
/// order share a layer when they differ by at most `tol` Å, so a chain of close
/// coordinates forms one layer even when its ends lie more than `tol` apart.
/// Layers come in increasing coordinate order; the indices of one layer are
/// ascending. Fails for tol <= 0 (or NaN) and for non-finite coordinates.
/// O(N log N).
Outcome<Layers> group_layers(const double* positions, std::size_t n_atoms, int axis, double tol);

// ---------------------------------------------------------------------------
// Reflection across a plane
// ---------------------------------------------------------------------------

/// One layer of atoms: positions (N×3, Å) and atomic numbers.
struct AtomSet {
    const double* positions = nullptr;
    const std::int64_t* numbers = nullptr;
    std::size_t size = 0;
};

/// Cartesian displacement `delta` (Å) reduced to its shortest image under the
/// 2D lattice spanned by `t1` and `t2`. Zero vectors are ignored, a vector
/// parallel to the other counts once; any angle between them is handled (the
/// basis is Gauss-reduced before the search).
Vec3 minimum_image_2d(const Vec3& delta, const Vec3& t1, const Vec3& t2);

/// True when `second` is the mirror image of `first` across the plane at
/// coordinate `plane` (Å) normal to `axis`: both hold the same number of atoms
/// of every element, and each atom of `first` has its own partner in `second`
/// (a one-to-one matching) of the same element whose position lies within
/// `tol` Å (distance <= tol) of the atom's mirror image. Displacements are
/// reduced by minimum_image_2d over the in-plane translations `t1`, `t2`.
/// Matching is exact (augmenting paths), so crowded layers cannot fool it.
/// Fails for tol <= 0 or NaN.
Outcome<bool> is_mirror_image(double plane, int axis, double tol, const AtomSet& first,
                              const AtomSet& second, const Vec3& t1, const Vec3& t2);

// ---------------------------------------------------------------------------
// Cells and planes
// ---------------------------------------------------------------------------

/// Volume of the cell (Å³), signed by the handedness of its vectors.
double cell_determinant(const Mat3& cell);

/// True when the cell spans no volume: |det| is below 1e-12 of the product of
/// the vector lengths (or a vector is zero).
bool cell_is_singular(const Mat3& cell);

/// The reciprocal vectors b_i (rows, 1/Å, without the factor 2π), so that
/// a_i · b_j = δ_ij. The cell must not be singular.
Mat3 reciprocal(const Mat3& cell);

/// Interplanar spacing d(hkl) = 1 / |h b1 + k b2 + l b3| (Å) of the lattice
/// of `cell`, any cell shape. Indices may be any real numbers; a plane with a
/// common factor n gives d/n as usual. Fails for a singular cell, a plane of
/// zeros, or non-finite input.
Outcome<double> interplanar_spacing(const Mat3& cell, const Vec3& hkl);

/// Reflects fractional coordinates along `axis` in place: s -> 1 - s for
/// every row of the N×3 array, i.e. the reflection across the cell's mid-plane
/// s = 1/2, which maps [0, 1) onto (0, 1]. Other columns are untouched.
void mirror_fractional(double* scaled, std::size_t n_atoms, int axis);

// ---------------------------------------------------------------------------
// Merging close atoms
// ---------------------------------------------------------------------------

/// Atoms after merging: one entry per cluster of close atoms.
struct MergedAtoms {
    /// Lowest original index of each cluster, ascending. The merged atom takes
    /// this atom's element and every other per-atom property.
    std::vector<std::size_t> representative;
    /// Position of each merged atom (Å): the centroid of the cluster's members,
    /// each member placed at the periodic image that the chain of close pairs
    /// leading to it from the representative selects. Atoms that merged with
    /// nothing keep their input position exactly; nothing is wrapped.
    std::vector<Vec3> position;
};

/// Merges every pair of atoms closer than `cutoff` Å (distance < cutoff),
/// transitively: a chain of close atoms becomes one atom. Distances are taken
/// over all periodic images along the axes with `pbc` set, for any cell shape
/// (any cutoff, also one larger than the cell). Zero cell vectors along
/// non-periodic axes are allowed (a molecule without a cell). Pairs come from
/// the one neighbour search (core/neighbors.hpp), so the cost is linear in
/// the number of atoms at bounded density. A cutoff of 0 merges nothing. Fails for a negative or
/// NaN cutoff, non-finite positions, a zero vector along a periodic axis and a
/// singular cell.
Outcome<MergedAtoms> merge_close_atoms(const double* positions, std::size_t n_atoms,
                                       const Mat3& cell, const std::array<bool, 3>& pbc,
                                       double cutoff);

// ---------------------------------------------------------------------------
// Miller planes
// ---------------------------------------------------------------------------

/// Miller indices of one plane.
using Hkl = std::array<int, 3>;

/// The distinct lattice planes whose indices are at most `hklmax` in
/// magnitude: each (h, k, l) with gcd(|h|, |k|, |l|) = 1 (a common factor only
/// repeats a smaller plane), listed once with its first non-zero index
/// positive (a triple and its negative are the same plane). Order: increasing
/// h² + k² + l², ties in decreasing lexicographic order of (h, k, l); for
/// hklmax = 1 this starts (1,0,0), (0,1,0), (0,0,1), (1,1,0), (1,0,1),
/// (1,0,-1), (1,-1,0). Empty for hklmax < 1.
std::vector<Hkl> distinct_planes(int hklmax);

/// A point-group operation as it acts on fractional coordinates (x' = R x),
/// in the basis of the cell that the Miller indices refer to; stored by rows.
using IntMat3 = std::array<std::array<int, 3>, 3>;

/// For each plane of `planes`, the position of the first earlier plane that
/// the crystal's point group `rotations` maps onto it, or -1 for the first
/// plane of its kind. Miller indices transform as a row vector, (h k l) R, and
/// a triple and its negative are one plane. The group must be closed (as
/// spglib returns it); an empty list makes every plane distinct.
/// O(planes × rotations).
std::vector<std::ptrdiff_t> first_equivalent_planes(const std::vector<IntMat3>& rotations,
                                                    const std::vector<Hkl>& planes);

} // namespace ferrolith::core
