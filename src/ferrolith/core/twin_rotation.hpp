// Two-fold rotation twins: a grain cut from a slab and its copy turned by 180°
// about the slab normal, stacked so that every bond across the boundary keeps
// the bulk's lengths and element pairs.
//
// Plain C++: positions are row-major N×3 arrays in Å; the slab normal is the
// z axis and its two in-plane lattice vectors lie in the xy plane; a layer is
// a list of atom indices (a negative index counts from the end, as in numpy),
// layers are ordered by increasing z. The rotation is x -> R x + shift with
// R = diag(-1, -1, 1); `shift` lies in the plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ferrolith/core/geometry.hpp"
#include "ferrolith/core/outcome.hpp"

namespace ferrolith::core {

/// Atom indices of each layer, ordered by increasing z.
using LayerList = std::vector<std::vector<std::int64_t>>;

/// A slab as the rotation search reads it. The pointers must outlive the view.
struct SlabView {
    const double* positions = nullptr;     ///< N×3, Å
    const std::int64_t* numbers = nullptr; ///< N atomic numbers
    std::size_t n_atoms = 0;
    Vec3 t1{}; ///< first in-plane lattice vector (Å, z component 0)
    Vec3 t2{}; ///< second in-plane lattice vector (Å, z component 0)
    LayerList layers;
    std::vector<double> coords; ///< mean z (Å) of each layer, increasing
};

/// Radius (Å) that encloses the first coordination shell of a periodic crystal
/// and nothing beyond: the cutoff of first_shell_of (core/shells.hpp), the
/// rule the hardness model's automatic bond cutoff uses too. Fails for a
/// singular or non-finite cell, non-finite positions, no atoms, or two atoms
/// on top of each other.
Outcome<double> first_shell_radius(const double* positions, std::size_t n_atoms, const Mat3& cell);

/// Shortest distance (Å) between two atoms of a periodic crystal, images
/// included. Same failures as first_shell_radius.
Outcome<double> nearest_neighbour_distance(const double* positions, std::size_t n_atoms,
                                           const Mat3& cell);

/// True when the 180° rotation about `normal` (a Cartesian direction) maps the
/// periodic crystal onto itself up to a translation: then turning a grain
/// about that axis reproduces the crystal (or a translation boundary) and
/// cannot form a twin. `tol` is in Å. Fails for a singular cell, a zero or
/// non-finite normal, or a tolerance that is not positive.
Outcome<bool> rotation_is_symmetry(const double* positions, const std::int64_t* numbers,
                                   std::size_t n_atoms, const Mat3& cell, const Vec3& normal,
                                   double tol);

/// The in-plane shift (Å) that makes the grain of slab layers bottom..top a
/// rotation twin with its turned copy: the copy, placed so that its bottom
/// layer takes the place of layer top + 1, must give every atom of the grain
/// (in the periodic bicrystal of grain and copy, repeated along z) the same
/// neighbours within `shell` Å, element by element and distance by distance
/// within `tol` Å, as it has in the slab. Atoms farther than `shell` from the
/// grain's faces keep their neighbours anyway and are not compared. Shifts are
/// tried in order of the atoms of layer top + 1; the first that works is
/// returned. None when no shift works, or when the slab holds less than
/// `shell` of crystal below layer `bottom` or above layer `top` (the
/// reference neighbours would be cut off). Fails for layer indices out of
/// range, bottom > top, an empty layer, or a shell or tolerance not positive.
Outcome<std::optional<Vec3>> rotation_twin_shift(const SlabView& slab, std::size_t bottom,
                                                 std::size_t top, double shell, double tol);

/// Where the search placed a rotation twin.
struct RotationTwin {
    std::size_t bottom = 0;             ///< lowest layer of the grain
    std::size_t top = 0;                ///< highest layer of the grain
    double gap = 0.0;                   ///< z spacing (Å) of layer top and top + 1
    Vec3 shift{};                       ///< see rotation_twin_shift
    std::size_t layers_per_spacing = 0; ///< atomic layers per d(hkl)
};

/// Searches the slab for a rotation twin whose grain is `nlayers` spacings
/// `d_hkl` (Å) thick. Candidate cuts, between layers c and c + 1, are tried
/// widest spacing first (spacings within `tol` count as equal), and the
/// highest cut first among equal spacings: the widest spacing crosses the
/// fewest bonds. The grain of cut c keeps the layers at or above
/// z(c) - nlayers * d_hkl + gap / 2 - tol / 2 up to c, i.e. exactly nlayers
/// spacings of crystal. None when no cut gives a twin.
Outcome<std::optional<RotationTwin>> find_rotation_twin(const SlabView& slab, double d_hkl,
                                                        std::int64_t nlayers, double shell,
                                                        double tol);

/// Turns N×3 positions in place: (x, y, z) -> (-x + shift_x, -y + shift_y, z).
void rotate_half_turn(double* positions, std::size_t n_atoms, const Vec3& shift);

} // namespace ferrolith::core
