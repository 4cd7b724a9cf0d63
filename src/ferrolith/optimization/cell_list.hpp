// Full neighbour lists of periodic, partly periodic and free structures,
// found with a cell list.
//
// The cell may have any shape: the periodic lattice vectors are first reduced
// to short, nearly orthogonal ones (the same lattice, so the same images), and
// the search then visits as many neighbouring bins as the bin heights need, so
// cells thinner than the cutoff and atoms that see several images of one
// neighbour are handled. Atoms are sorted by bin; every result is indexed by
// that sorted order, and `order` maps it back to the caller's atoms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::optimization {

/// What to search: n atoms with positions (Å, row-major n x 3), cell rows
/// (Å), periodic flags and species ids in [0, n_species).
struct NeighborQuery {
    std::size_t n_atoms = 0;
    const double* positions = nullptr;           ///< n x 3, Å
    const int* species = nullptr;                ///< n species ids
    std::array<std::array<double, 3>, 3> cell{}; ///< lattice vectors as rows, Å
    std::array<bool, 3> pbc{};
    std::size_t n_species = 0;
    /// Cutoff (Å) for neighbours of species t2 around an atom of species t1,
    /// at cutoff[t1 * n_species + t2]; 0 for none. Pairs closer than the
    /// cutoff (strictly) are listed.
    const double* cutoff = nullptr;
    /// Two atoms (or an atom and an image of itself) closer than this (Å) are
    /// reported as overlapping.
    double min_distance = 0.1;
    /// More neighbours than this around one atom is reported as an error
    /// (a structure far too dense); 0 for no limit.
    std::size_t max_neighbors = 0;
};

/// A pair found by the search, once: slots i and j (Å: x_j + shift - x_i, r).
struct HalfPair {
    std::uint32_t i, j;
    double dx, dy, dz, r;
};

/// A full neighbour list: every pair appears once from each side, once per
/// periodic image within the cutoff. Indices are sorted slots (see `order`).
struct NeighborList {
    std::vector<std::size_t> order;   ///< sorted slot -> caller's atom index
    std::vector<int> species;         ///< species id per sorted slot
    std::vector<std::size_t> offsets; ///< neighbours of slot i: offsets[i]..offsets[i+1]-1
    std::vector<std::uint32_t> index; ///< neighbour's sorted slot
    std::vector<double> delta;        ///< per neighbour: x_j + image shift - x_i (Å), then r (Å)

    // Reused storage of the search (kept to avoid reallocating per call).
    std::vector<double> wrapped; ///< n x 3 positions wrapped into the cell, sorted
    std::vector<std::size_t> bin_of;
    std::vector<std::size_t> bin_start;
    std::vector<HalfPair> half;
};

/// Outcome of a search: empty message when it succeeded.
struct NeighborStatus {
    std::string message; ///< what went wrong, as a sentence naming the atoms
    /// True when the search succeeded.
    bool ok() const { return message.empty(); }
};

/// The message of a cell whose periodic vectors span no volume.
inline constexpr const char* kZeroVolumeMessage = "Unit cell volume is zero.";

/// Builds the full neighbour list of `query` into `list` (storage reused).
/// Fails on non-finite positions or cell, a cell whose periodic vectors are
/// linearly dependent (kZeroVolumeMessage), overlapping atoms and too many
/// neighbours. Time linear in the atoms for a bounded density.
NeighborStatus build_neighbor_list(const NeighborQuery& query, NeighborList& list);

/// Shortens the periodic rows of `cell` (pbc[d] set) by subtracting integer
/// multiples of one another until no such step shortens any of them; spans
/// the same lattice. Non-periodic rows are left as they are.
void reduce_lattice(std::array<std::array<double, 3>, 3>& cell, const std::array<bool, 3>& pbc);

} // namespace ferrolith::optimization
