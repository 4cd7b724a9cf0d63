// The one neighbour search of the kernels: half or full neighbour lists of
// periodic, partly periodic and free structures, found with a cell list.
//
// The cell may have any shape: the periodic lattice vectors are first reduced
// to short, nearly orthogonal ones (the same lattice, so the same images), and
// the search then visits as many neighbouring bins as the bin heights need, so
// cells thinner than the cutoff and atoms that see several images of one
// neighbour are handled. Atoms are sorted by bin; every result is indexed by
// that sorted order ("slots"), and `order` maps it back to the caller's atoms.
//
// Every pair closer than its cutoff is listed once per periodic image, an atom
// with its own periodic images included.
#pragma once

#include "ferrolith/core/outcome.hpp"
#include "ferrolith/core/vec3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrolith::core {

/// Closest approach (Å) below which the interatomic potentials reject two
/// atoms (or an atom and its own image) as overlapping.
inline constexpr double kOverlapDistance = 0.1;
/// Default limit on the neighbours of one atom within a potential's cutoff:
/// beyond it a structure is rejected as far too dense (a cell given in the
/// wrong units, say) before its neighbour list can take much memory.
inline constexpr std::size_t kDefaultMaxNeighbors = 500;

/// What to search: n atoms with positions (Å, row-major n x 3), cell rows
/// (Å), periodic flags and species ids in [0, n_species).
struct NeighborQuery {
    std::size_t n_atoms = 0;
    const double* positions = nullptr; ///< n x 3, Å
    const int* species = nullptr;      ///< n species ids; null: every atom has species 0
    Mat3 cell{};                       ///< lattice vectors as rows, Å
    std::array<bool, 3> pbc{};
    std::size_t n_species = 1;
    /// Cutoff (Å) for neighbours of species t2 around an atom of species t1,
    /// at cutoff[t1 * n_species + t2]; 0 for none. Pairs closer than the
    /// cutoff (strictly) are listed.
    const double* cutoff = nullptr;
    /// Two atoms (or an atom and an image of itself) closer than this (Å) are
    /// reported as overlapping; 0 accepts any distance.
    double min_distance = 0.0;
    /// More neighbours than this around one atom is reported as an error
    /// (a structure far too dense), checked first from an estimate (atoms per
    /// volume times the cutoff sphere) and then while the pairs are found, so
    /// the list never grows past n * max_neighbors entries; 0 for no limit.
    std::size_t max_neighbors = 0;
    /// Build the full list (offsets, index, delta) from the half list.
    bool full = true;
};

/// A pair found by the search, once: slots i <= j (Å: x_j + shift - x_i, r).
/// i == j is an atom and one of its own periodic images.
struct HalfPair {
    std::uint32_t i, j;
    double dx, dy, dz, r;
};

/// The result of a search. `half` lists every pair once (within the larger of
/// its two directed cutoffs); the full list has every pair once from each
/// side whose own cutoff it is within. Indices are sorted slots.
struct NeighborList {
    std::vector<std::size_t> order;   ///< sorted slot -> caller's atom index
    std::vector<std::size_t> slot_of; ///< caller's atom index -> sorted slot
    std::vector<int> species;         ///< species id per sorted slot
    std::vector<HalfPair> half;       ///< every pair once
    std::vector<std::size_t> offsets; ///< full list: neighbours of slot i at offsets[i]..[i+1]-1
    std::vector<std::uint32_t> index; ///< full list: the neighbour's sorted slot
    std::vector<double> delta;        ///< full list: x_j + image shift - x_i (Å), then r (Å)

    // Reused storage of the search (kept to avoid reallocating per call).
    std::vector<double> wrapped; ///< n x 3 positions wrapped into the cell, sorted
    std::vector<std::size_t> bin_of;
    std::vector<std::size_t> bin_start;
};

/// The failure of atoms `a` and `b` (caller's indices; equal for an atom and
/// its own image) found `r` Å apart, closer than `min_distance` Å.
Status overlap_status(std::size_t a, std::size_t b, double r, double min_distance);

/// The message of a cell whose periodic vectors span no volume.
inline constexpr const char* kZeroVolumeMessage = "Unit cell volume is zero.";

/// Builds the neighbour lists of `query` into `list` (storage reused). Fails
/// on non-finite positions or cell, a cell whose periodic vectors are linearly
/// dependent (kZeroVolumeMessage), overlapping atoms and too many neighbours;
/// messages are sentences naming the atoms. Time linear in the atoms for a
/// bounded density.
Status build_neighbor_list(const NeighborQuery& query, NeighborList& list);

/// Every pair of atoms (one species) closer than `radius` (Å), once, as the
/// half list of `list`: the query of the kernels that look for close or
/// coincident atoms. Fails as build_neighbor_list does.
Status find_close_pairs(const double* positions, std::size_t n_atoms, const Mat3& cell,
                        const std::array<bool, 3>& pbc, double radius, NeighborList& list);

/// Shortens the periodic rows of `cell` (pbc[d] set) by subtracting integer
/// multiples of one another until no such step shortens any of them; spans
/// the same lattice. Non-periodic rows are left as they are.
void reduce_lattice(Mat3& cell, const std::array<bool, 3>& pbc);

} // namespace ferrolith::core
