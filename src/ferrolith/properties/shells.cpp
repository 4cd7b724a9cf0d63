#include "ferrolith/properties/shells.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace ferrolith::properties {

core::Outcome<FirstShell> first_shell(const std::int64_t* i, const double* d, std::size_t n_pairs,
                                      std::size_t n_atoms, double probe_radius) {
    using Result = core::Outcome<FirstShell>;
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

} // namespace ferrolith::properties
