#include "ferrolith/build/close_pairs.hpp"

#include "ferrolith/core/neighbors.hpp"

#include <algorithm>
#include <utility>

namespace ferrolith::build {

std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Mat3& cell,
                                     const std::array<bool, 3>& pbc, double radius) {
    std::vector<std::uint8_t> keep(n, 1);
    if (n < 2 || !(radius > 0.0)) {
        return keep;
    }
    // Every close pair once from the one neighbour search; usually only a few
    // atoms at the grain boundaries have any.
    core::NeighborList list;
    if (!core::find_close_pairs(positions, n, cell, pbc, radius, list)) {
        return keep; // non-finite input or a cell without volume: nothing to compare
    }
    std::vector<std::pair<std::size_t, std::size_t>> close; // (earlier, later) atom
    close.reserve(list.half.size());
    for (const core::HalfPair& p : list.half) {
        const std::size_t a = list.order[p.i];
        const std::size_t b = list.order[p.j];
        if (a != b) {
            close.emplace_back(std::min(a, b), std::max(a, b));
        }
    }
    // In atom order, a kept atom drops the later atoms too close to it.
    std::sort(close.begin(), close.end());
    for (const auto& [a, b] : close) {
        if (keep[a]) {
            keep[b] = 0;
        }
    }
    return keep;
}

std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Vec3& box,
                                     double radius) {
    const Mat3 cell{Vec3{box[0], 0, 0}, Vec3{0, box[1], 0}, Vec3{0, 0, box[2]}};
    return keep_apart(positions, n, cell, {true, true, true}, radius);
}
std::size_t compact_atoms(const std::vector<std::uint8_t>& keep, double* positions,
                          std::int64_t* numbers, std::int64_t* grain) {
    std::size_t out = 0;
    for (std::size_t a = 0; a < keep.size(); ++a) {
        if (!keep[a]) {
            continue;
        }
        if (out != a) {
            positions[3 * out] = positions[3 * a];
            positions[3 * out + 1] = positions[3 * a + 1];
            positions[3 * out + 2] = positions[3 * a + 2];
            numbers[out] = numbers[a];
            grain[out] = grain[a];
        }
        ++out;
    }
    return out;
}

void compact_values(const std::vector<std::uint8_t>& keep, std::int64_t* values) {
    std::size_t out = 0;
    for (std::size_t a = 0; a < keep.size(); ++a) {
        if (keep[a]) {
            values[out++] = values[a];
        }
    }
}

} // namespace ferrolith::build
