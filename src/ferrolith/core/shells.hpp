// First coordination shell of a structure from its interatomic distances.
//
// Plain C++: a neighbour list (central atom, distance) in, one bond cutoff out.
// The rule, per atom: sort its neighbour distances; its first shell is the
// nearest neighbour and every further neighbour reached through steps of at
// most kShellStep (10 %) between consecutive sorted distances, and never beyond
// kShellReach (1.3) times the nearest distance. The structure's cutoff lies
// halfway between the longest first-shell bond of any atom and the next longer
// interatomic distance. When every atom's second shell lies beyond every first
// shell (diamond, zinc blende, wurtzite, rock salt, ...) that cutoff separates
// the first and second shells of every atom; otherwise it still keeps every
// first shell whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferrolith/core/outcome.hpp"
#include "ferrolith/core/vec3.hpp"

#include <array>

namespace ferrolith::core {

/// Largest ratio between consecutive sorted distances within one first shell.
inline constexpr double kShellStep = 1.10;
/// A first shell never reaches beyond this multiple of the nearest distance.
inline constexpr double kShellReach = 1.30;
/// An atom is bonded when its nearest neighbour lies within this multiple of
/// the sum of the two atoms' bond (covalent) radii; ionic and metallic
/// crystals stay within 1.15 of it, a gas or a lone atom in a box far beyond.
inline constexpr double kBondReach = 1.5;

/// The first-shell cutoff of a structure and what it was derived from.
struct FirstShell {
    double cutoff = 0.0;    ///< bond cutoff, Å: halfway between `inner` and `next`
    double inner = 0.0;     ///< longest first-shell bond of any atom, Å
    double next = 0.0;      ///< shortest distance longer than `inner`, Å (inf: none seen)
    bool separated = false; ///< every atom's second shell lies beyond `inner`
    /// Every atom had a neighbour beyond its first shell within the probe
    /// radius, so no shell was cut short by the search.
    bool complete = false;
};

/// Analyses the pairs (i[k], d[k]) of a neighbour list found within
/// `probe_radius` (Å); every atom 0..n_atoms-1 should appear as a centre.
/// Fails when an atom has no neighbour at all or an index is out of range.
/// When `complete` is false the caller should search again with a larger
/// probe radius (the result is then a lower bound). O(P log P) for P pairs.
Outcome<FirstShell> first_shell(const std::int64_t* i, const double* d, std::size_t n_pairs,
                                std::size_t n_atoms, double probe_radius);

/// The first shell of the atoms at `positions` (Å, n x 3) in `cell` with
/// periodic flags `pbc`, from the one neighbour search: the probe radius
/// starts at `first_probe` Å and grows by half until every atom's shell is
/// complete or `max_probe` is reached. Fails as first_shell and the search do,
/// and for two atoms on top of each other. With `bond_radius` (Å per atom),
/// it also fails when an atom's nearest neighbour lies beyond kBondReach
/// times the sum of their radii: such a structure (a gas, a lone atom in a
/// box) has no first shell of bonds, and its "shell" would be a cutoff
/// across empty space.
Outcome<FirstShell> first_shell_of(const double* positions, std::size_t n_atoms, const Mat3& cell,
                                   const std::array<bool, 3>& pbc, double first_probe,
                                   double max_probe, const double* bond_radius = nullptr);

} // namespace ferrolith::core
