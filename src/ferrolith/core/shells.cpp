#include "ferrolith/core/shells.hpp"

#include "ferrolith/core/neighbors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace ferrolith::core {

namespace {
// Closer than this (Å) two atoms are one point: no shell can be told.
constexpr double kCoincident = 1e-6;
} // namespace

Outcome<FirstShell> first_shell(const std::int64_t* i, const double* d, std::size_t n_pairs,
                                std::size_t n_atoms, double probe_radius) {
    using Result = Outcome<FirstShell>;
    if (n_atoms == 0) {
        return Result::fail("The structure has no atoms.");
    }
    // Distances grouped per centre (counting sort by centre).
    std::vector<std::size_t> offsets(n_atoms + 1, 0);
    for (std::size_t k = 0; k < n_pairs; ++k) {
        if (i[k] < 0 || static_cast<std::size_t>(i[k]) >= n_atoms) {
            return Result::fail("neighbour index out of range");
        }
        if (!std::isfinite(d[k])) {
            return Result::fail("The structure has non-finite interatomic distances.");
        }
        ++offsets[static_cast<std::size_t>(i[k]) + 1];
    }
    for (std::size_t a = 0; a < n_atoms; ++a) {
        offsets[a + 1] += offsets[a];
    }
    std::vector<double> by_atom(n_pairs);
    std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t k = 0; k < n_pairs; ++k) {
        by_atom[fill[static_cast<std::size_t>(i[k])]++] = d[k];
    }

    FirstShell shell;
    shell.complete = true;
    // Smallest distance that lies beyond some atom's own first shell.
    double beyond_any = std::numeric_limits<double>::infinity();
    for (std::size_t a = 0; a < n_atoms; ++a) {
        auto begin = by_atom.begin() + static_cast<std::ptrdiff_t>(offsets[a]);
        auto end = by_atom.begin() + static_cast<std::ptrdiff_t>(offsets[a + 1]);
        if (begin == end) {
            return Result::fail("Atom " + std::to_string(a) + " has no neighbour within " +
                                std::to_string(probe_radius) + " \u00c5.");
        }
        std::sort(begin, end);
        const double nearest = *begin;
        auto last = begin;
        while (last + 1 != end && *(last + 1) <= *last * kShellStep &&
               *(last + 1) <= nearest * kShellReach) {
            ++last;
        }
        shell.inner = std::max(shell.inner, *last);
        if (last + 1 == end) {
            shell.complete = false; // the shell may go on past the probe radius
        } else {
            beyond_any = std::min(beyond_any, *(last + 1));
        }
    }
    shell.separated = beyond_any > shell.inner;
    // The next distance above `inner`: with separated shells the shortest
    // beyond-shell distance; otherwise search every pair.
    double next = std::numeric_limits<double>::infinity();
    if (shell.separated) {
        next = beyond_any;
    } else {
        for (double x : by_atom) {
            if (x > shell.inner && x < next) {
                next = x;
            }
        }
    }
    shell.next = next;
    shell.cutoff = std::isfinite(next) ? 0.5 * (shell.inner + next) : shell.inner * kShellStep;
    return Result::ok(shell);
}

namespace {
// Fails for the first atom whose nearest neighbour in the half list lies
// beyond kBondReach times the sum of the two bond radii.
Status require_bonded(const NeighborList& list, std::size_t n_atoms, const double* bond_radius) {
    std::vector<double> ratio(n_atoms, std::numeric_limits<double>::infinity());
    std::vector<double> nearest(n_atoms, std::numeric_limits<double>::infinity());
    std::vector<double> reach(n_atoms, 0.0);
    for (const HalfPair& p : list.half) {
        const std::size_t a = list.order[p.i];
        const std::size_t b = list.order[p.j];
        const double sum = bond_radius[a] + bond_radius[b];
        const double r = sum > 0 ? p.r / sum : std::numeric_limits<double>::infinity();
        for (std::size_t atom : {a, b}) {
            if (r < ratio[atom]) {
                ratio[atom] = r;
                nearest[atom] = p.r;
                reach[atom] = kBondReach * sum;
            }
        }
    }
    for (std::size_t a = 0; a < n_atoms; ++a) {
        if (!(ratio[a] <= kBondReach)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "Atom %zu has no bonded neighbour: the nearest lies %.3g \u00c5 away, "
                          "beyond %.3g \u00c5",
                          a, nearest[a], reach[a]);
            return Status::fail(std::string(text) +
                                " (1.5 times the sum of the covalent radii). A gas or a lone "
                                "atom has no first shell of bonds.");
        }
    }
    return success();
}
} // namespace

Outcome<FirstShell> first_shell_of(const double* positions, std::size_t n_atoms, const Mat3& cell,
                                   const std::array<bool, 3>& pbc, double first_probe,
                                   double max_probe, const double* bond_radius) {
    double probe = first_probe;
    std::vector<std::int64_t> centre;
    std::vector<double> distance;
    NeighborList list;
    while (true) {
        const Status found = find_close_pairs(positions, n_atoms, cell, pbc, probe, list);
        if (!found) {
            return found.forward_error<FirstShell>();
        }
        // Each pair once in the half list: a distance of both atoms (an atom
        // and its own image: the image on either side).
        centre.clear();
        distance.clear();
        for (const HalfPair& p : list.half) {
            const auto a = static_cast<std::int64_t>(list.order[p.i]);
            const auto b = static_cast<std::int64_t>(list.order[p.j]);
            if (p.r < kCoincident) {
                return Outcome<FirstShell>::fail("Atoms " + std::to_string(std::min(a, b)) +
                                                 " and " + std::to_string(std::max(a, b)) +
                                                 " lie on top of each other.");
            }
            centre.insert(centre.end(), {a, b});
            distance.insert(distance.end(), {p.r, p.r});
        }
        Outcome<FirstShell> shell =
            first_shell(centre.data(), distance.data(), centre.size(), n_atoms, probe);
        if (probe >= max_probe || (shell && shell.value->complete)) {
            if (shell && bond_radius != nullptr) {
                if (Status bonded = require_bonded(list, n_atoms, bond_radius); !bonded) {
                    return bonded.forward_error<FirstShell>();
                }
            }
            return shell;
        }
        probe = std::min(1.5 * probe, max_probe);
    }
}

} // namespace ferrolith::core
