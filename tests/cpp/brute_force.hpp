// The one brute-force neighbour reference of the kernel tests: every pair of
// atoms over a box of periodic images, the slow way. The neighbour search, the
// potentials, the merging of close atoms and the thinning of close atoms are
// all checked against it (and the search itself against ASE's neighbor_list
// in the Python tests).
#pragma once

#include "ferrolith/core/vec3.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace brute {

/// Atom j's image seen from atom i: d = x_j + image - x_i (Å), r = |d|.
struct Pair {
    std::size_t i, j;
    ferrolith::core::Vec3 d;
    double r;
};

/// Every ordered pair (i, j, image) with r < cutoff over the images -reach..reach
/// of the periodic axes (an atom's own images included, itself excluded).
inline std::vector<Pair> pairs(const std::vector<double>& positions,
                               const ferrolith::core::Mat3& cell, const std::array<bool, 3>& pbc,
                               double cutoff, int reach) {
    std::vector<Pair> out;
    const std::size_t n = positions.size() / 3;
    int range[3];
    for (int d = 0; d < 3; ++d) {
        range[d] = pbc[d] ? reach : 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (int a = -range[0]; a <= range[0]; ++a) {
                for (int b = -range[1]; b <= range[1]; ++b) {
                    for (int c = -range[2]; c <= range[2]; ++c) {
                        if (i == j && a == 0 && b == 0 && c == 0) {
                            continue;
                        }
                        ferrolith::core::Vec3 d{};
                        for (int x = 0; x < 3; ++x) {
                            d[x] = positions[3 * j + x] - positions[3 * i + x] + a * cell[0][x] +
                                   b * cell[1][x] + c * cell[2][x];
                        }
                        const double r = std::sqrt(ferrolith::core::dot(d, d));
                        if (r < cutoff) {
                            out.push_back({i, j, d, r});
                        }
                    }
                }
            }
        }
    }
    return out;
}

} // namespace brute
