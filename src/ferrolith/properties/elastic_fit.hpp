// Elastic constants by finite strains: the strain set, the stress-strain fit,
// the Voigt/Reuss/Hill averages and the Born stability criteria.
//
// Plain C++: cells, strains and stresses in, tensors and moduli out. Tensors
// are 6×6 in Voigt order xx, yy, zz, yz, xz, xy with engineering shear
// strains (γ_yz = 2 ε_yz); stresses and moduli are in GPa, positive in
// tension (the sign ASE's get_stress uses).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "ferrolith/core/outcome.hpp"

namespace ferrolith::properties {

/// A Voigt 6-vector (stress in GPa or strain).
using Voigt6 = std::array<double, 6>;
/// A 6×6 Voigt matrix: C[i][j], GPa.
using Matrix6 = std::array<std::array<double, 6>, 6>;
/// A 3×3 matrix; cells hold their lattice vectors as rows, Å.
using Matrix3 = std::array<std::array<double, 3>, 3>;

/// Largest strain magnitude accepted: beyond it the fit leaves the linear regime.
inline constexpr double kMaxStrain = 0.1;

/// Largest |C_ij| (GPa) of a tensor taken as zero: no stiffness at all.
inline constexpr double kZeroTensor = 1e-6;

/// One strained state: engineering strain `strain` on Voigt component
/// `component` (0..5), all other components zero.
struct StrainState {
    int component = 0;
    double strain = 0.0;
};

/// The strain set: for each component 0..5 and each magnitude in the given
/// order, the states −s and +s. Fails unless there is at least one magnitude,
/// each finite with 0 < s <= kMaxStrain, and no two equal.
core::Outcome<std::vector<StrainState>> strain_states(const std::vector<double>& magnitudes);

/// Deformation gradient F = I + ε of a state, the engineering shear split
/// equally between ε_ij and ε_ji (a symmetric F: no rotation).
Matrix3 deformation_gradient(const StrainState& state);

/// The strained cell: each lattice vector (row) a becomes F a.
Matrix3 strained_cell(const Matrix3& cell, const StrainState& state);

/// The strain of a state as a symmetric 3×3 tensor ε = F − I.
Matrix3 strain_tensor(const StrainState& state);

/// A Voigt stress in the frame rotated by r: σ' = R σ Rᵀ.
Voigt6 rotate_stress(const Voigt6& sigma, const Matrix3& r);

/// A symmetry operation of a crystal: its rotation in Cartesian coordinates
/// and the atoms it leaves in place (modulo lattice translations).
struct CartesianOperation {
    Matrix3 rotation{};        ///< x' = R x, orthogonal for a symmetric cell
    std::vector<bool> fixes{}; ///< fixes[i]: the operation carries atom i onto itself
};

/// Cartesian form R = Aᵀ W A⁻ᵀ of a rotation W in fractional coordinates of the
/// cell A (lattice vectors as rows, Å). Fails for a singular cell.
core::Outcome<Matrix3> cartesian_rotation(const Matrix3& cell,
                                          const std::array<std::array<int, 3>, 3>& w);

/// For each atom, whether the operation f' = W f + t (fractional positions)
/// carries it onto itself modulo lattice translations, within `tolerance`
/// (Å, measured in the cell `cell`). Linear in the number of atoms.
std::vector<bool> fixed_atoms(const Matrix3& cell,
                              const std::vector<std::array<double, 3>>& fractional,
                              const std::array<std::array<int, 3>, 3>& w,
                              const std::array<double, 3>& t, double tolerance);

/// How the stress of each state of a strain set is obtained: computed, or
/// carried over from a computed state whose strain a symmetry operation maps
/// onto this one (σ = R σ_source Rᵀ; the relaxed strained crystals are images
/// of one another, so the stress is exact, not an approximation).
struct StrainPlan {
    std::vector<int> source{}; ///< per state: −1 when computed, else the computed state
    std::vector<Matrix3>
        rotation{};           ///< per state: R of the carried-over stress (identity if computed)
    std::size_t computed = 0; ///< states that need the calculator
};

/// The plan for `states` under the point-group rotations `rotations`
/// (Cartesian; the identity may be among them). A state is carried over when
/// some R maps an earlier computed state's strain onto its strain within
/// 1e-6 of the strain magnitude. With no rotations every state is computed.
StrainPlan plan_strains(const std::vector<StrainState>& states,
                        const std::vector<Matrix3>& rotations);

/// True when some atom may carry a force once the crystal is strained: the
/// operations that keep both the atom in place and the strain unchanged leave
/// a non-zero vector invariant. False when symmetry pins every atom, so the
/// strain cannot move them.
bool strain_allows_forces(const StrainState& state, const std::vector<CartesianOperation>& ops,
                          std::size_t n_atoms);

/// The fitted tensor and how well the stresses lie on straight lines.
struct TensorFit {
    Matrix6 cij{};          ///< symmetrised tensor (C + Cᵀ)/2, GPa
    double residual = 0.0;  ///< RMS deviation of the stresses from their fitted lines, GPa
    double asymmetry = 0.0; ///< largest |C_ij − C_ji| / 2 before symmetrising, GPa
};

/// Fits stress against strain: column j of C is the least-squares slope
/// (with intercept, so a residual stress of the reference cell cancels) of
/// each stress component over the states that strain component j.
/// `stresses[k]` belongs to `states[k]`. Fails on unequal lengths, a
/// component strained at fewer than two distinct strains, non-finite stress,
/// or a tensor with no entry above kZeroTensor.
core::Outcome<TensorFit> fit_tensor(const std::vector<StrainState>& states,
                                    const std::vector<Voigt6>& stresses);

/// Isotropic moduli of a tensor, GPa (Poisson's ratio dimensionless).
struct Moduli {
    double bulk_voigt = 0.0, bulk_reuss = 0.0, bulk_hill = 0.0;
    double shear_voigt = 0.0, shear_reuss = 0.0, shear_hill = 0.0;
    double young = 0.0;   ///< 9 B G / (3 B + G) from the Hill averages
    double poisson = 0.0; ///< (3 B − 2 G) / (2 (3 B + G)) from the Hill averages
};

/// Voigt (from C), Reuss (from S = C⁻¹) and Hill (their mean) averages.
/// A singular C gives NaN for the Reuss, Hill and derived values.
Moduli voigt_reuss_hill(const Matrix6& c);

/// The inverse of a 6×6 matrix (Gaussian elimination with partial pivoting);
/// fails for a singular matrix.
core::Outcome<Matrix6> invert(const Matrix6& m);

/// Crystal systems, with the Laue-class split that the stability criteria need.
enum class CrystalSystem {
    kTriclinic,
    kMonoclinic,
    kOrthorhombic,
    kTetragonalLow,    ///< Laue class 4/m (space groups 75-88)
    kTetragonalHigh,   ///< Laue class 4/mmm (89-142)
    kRhombohedralLow,  ///< Laue class -3 (143-148)
    kRhombohedralHigh, ///< Laue class -3m (149-167)
    kHexagonal,        ///< 168-194
    kCubic,            ///< 195-230
};

/// The crystal system of an international space-group number (1-230);
/// triclinic for anything out of range.
CrystalSystem crystal_system(int spacegroup_number);

/// Lower-case name of a crystal system ("cubic", "hexagonal", "trigonal", ...).
const char* crystal_system_name(CrystalSystem system);

/// The tensor in a rotated frame: C' for Cartesian coordinates x' = R x
/// (R orthogonal), through the 6×6 Bond matrix.
Matrix6 rotate_tensor(const Matrix6& c, const Matrix3& r);

/// Born stability for the crystal system, with the necessary and sufficient
/// conditions of Mouhat & Coudert, Phys. Rev. B 90, 224104 (2014), for a
/// tensor in the standard setting of its system (c along z; for cubic crystals
/// the cube axes along x, y, z). Monoclinic and triclinic crystals use the
/// general condition: all eigenvalues of C positive (Sylvester's criterion).
bool born_stable(const Matrix6& c, CrystalSystem system);

/// True when C is positive definite (every leading principal minor positive).
bool positive_definite(const Matrix6& c);

} // namespace ferrolith::properties
