// Energy, per-atom energies, forces and virial of the Tersoff potential.
//
//   E   = 1/2 sum_i sum_{j != i} f_c(r_ij) [A exp(-lambda1 r_ij) - b_ij B exp(-lambda2 r_ij)]
//   b_ij = (1 + (beta zeta_ij)^n)^(-1/2n)
//   zeta_ij = sum_{k != i, j} f_c(r_ik) g(theta_ijk) exp[(lambda3 (r_ij - r_ik))^m]
//   g(theta) = gamma (1 + c^2/d^2 - c^2 / (d^2 + (h - cos theta)^2))
//   f_c(r) = 1/2 - 1/2 sin(pi/2 (r - R)/D) on [R - D, R + D], 1 below, 0 above.
//
// The two-body terms and b_ij of pair i-j take entry (i, j, j); the term of
// neighbour k in zeta_ij takes entry (i, j, k), its cutoff f_c(r_ik) included.
// Each term f_c(r_ij)[...]/2 is shared equally by atoms i and j in the
// per-atom energies (the partition LAMMPS reports).
#pragma once

#include "ferrolith/core/neighbors.hpp"
#include "ferrolith/core/outcome.hpp"
#include "ferrolith/optimization/tersoff_params.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace ferrolith::optimization {

/// A structure to evaluate: positions (Å, n x 3 row-major), the element index
/// (into TersoffParameters::elements()) of every atom, cell rows (Å), pbc.
struct TersoffInput {
    std::size_t n_atoms = 0;
    const double* positions = nullptr;
    const int* elements = nullptr;
    std::array<std::array<double, 3>, 3> cell{};
    std::array<bool, 3> pbc{};
    bool want_energies = false; ///< fill TersoffResult::energies
    /// Neighbours of one atom beyond which the structure is refused as far
    /// too dense (see core::NeighborQuery::max_neighbors); 0 for no limit.
    std::size_t max_neighbors = core::kDefaultMaxNeighbors;
};

/// What an evaluation gives.
struct TersoffResult {
    double energy = 0;            ///< total energy, eV
    std::vector<double> energies; ///< per atom, eV (when asked for)
    std::vector<double> forces;   ///< n x 3, eV/Å
    /// sum over interactions of d_a dE/dd_b for every pair vector d (eV), in
    /// Voigt order xx yy zz yz xz xy; divided by the volume it is ASE's stress.
    std::array<double, 6> virial{};
};

/// One neighbour k of the atom being evaluated, as seen from it.
struct NeighborTerm {
    double u[3];    ///< unit vector towards the neighbour
    double r;       ///< distance, Å
    double inv_r;   ///< 1 / r, 1/Å
    double grad[3]; ///< dE/d(x_k - x_i) gathered over every term of the atom, eV/Å
    double fc, dfc; ///< f_c and df_c/dr (1/Å) with the neighbour's own pair entry (i, k, k)
    int element;    ///< element index of the neighbour
};

/// The angular term of neighbour k in zeta_ij, kept between the two passes.
struct AngularTerm {
    double fc, dfc; ///< f_c(r_ik) and its derivative with entry (i, j, k)
    double g, dg;   ///< g(theta) and dg/dcos(theta)
    double cos;     ///< cos(theta_ijk)
    double ex, dex; ///< exp[(lambda3 (r_ij - r_ik))^m] and its derivative by r_ij (1/Å)
    bool active;    ///< k lies within the cutoff of entry (i, j, k)
};

/// Storage reused between evaluations of one calculator.
struct TersoffWorkspace {
    core::NeighborList neighbors;
    std::vector<double> sorted_forces;
    std::vector<double> sorted_energies;
    std::vector<NeighborTerm> near;
    std::vector<AngularTerm> angular;
};

/// Evaluates energy, forces and virial into `result`. Fails for an element
/// index out of range, a missing triplet entry, or a failure of the neighbour
/// search (see core::build_neighbor_list; atoms closer than
/// core::kOverlapDistance overlap), and for a non-finite energy, force or
/// stress (the outcome's line is that of the entry whose extreme parameters
/// caused it).
core::Status evaluate_tersoff(const TersoffParameters& params, const TersoffInput& input,
                              TersoffWorkspace& work, TersoffResult& result);

} // namespace ferrolith::optimization
