#include "ferrolith/build/grain_nodes.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace ferrolith::build {

std::optional<std::vector<Vec3>> lattice_nodes(std::string_view name, const Vec3& box) {
    std::vector<Vec3> fractional;
    if (name == "fcc") {
        fractional = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
    } else if (name == "bcc") {
        fractional = {{0, 0, 0}, {0.5, 0.5, 0.5}};
    } else if (name == "diamond") {
        fractional = {{0, 0, 0},          {0.5, 0.5, 0},      {0.5, 0, 0.5},
                      {0, 0.5, 0.5},      {0.25, 0.25, 0.25}, {0.75, 0.75, 0.25},
                      {0.75, 0.25, 0.75}, {0.25, 0.75, 0.75}};
    } else if (name == "hcp") {
        fractional = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 1.0 / 6.0, 0.5}, {0, 2.0 / 3.0, 0.5}};
    } else {
        return std::nullopt;
    }
    std::vector<Vec3> nodes;
    for (const Vec3& f : fractional) {
        nodes.push_back({f[0] * box[0], f[1] * box[1], f[2] * box[2]});
    }
    return nodes;
}

bool inside_box(const Vec3& p, const Vec3& box) {
    for (int c = 0; c < 3; ++c) {
        if (!(p[c] >= 0.0 && p[c] <= box[c])) {
            return false;
        }
    }
    return true;
}

std::optional<std::pair<std::size_t, std::size_t>>
find_coincident_nodes(const std::vector<Vec3>& nodes, const Vec3& box, double tolerance) {
    struct Entry {
        Vec3 p;
        std::size_t node;
    };
    std::vector<Entry> entries;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        Vec3 p = nodes[k];
        for (int c = 0; c < 3; ++c) {
            p[c] -= box[c] * std::floor(p[c] / box[c]);
        }
        entries.push_back({p, k});
        // Nodes near x = 0 meet nodes near x = L across the periodic face.
        if (p[0] < tolerance) {
            entries.push_back({Vec3{p[0] + box[0], p[1], p[2]}, k});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.p[0] < b.p[0]; });
    std::optional<std::pair<std::size_t, std::size_t>> best;
    for (std::size_t a = 0; a < entries.size(); ++a) {
        for (std::size_t b = a + 1; b < entries.size(); ++b) {
            if (entries[b].p[0] - entries[a].p[0] >= tolerance) {
                break;
            }
            if (entries[a].node == entries[b].node) {
                continue;
            }
            double d2 = 0.0;
            for (int c = 0; c < 3; ++c) {
                double d = std::fabs(entries[b].p[c] - entries[a].p[c]);
                if (c > 0) {
                    d = std::min(d, box[c] - d);
                }
                d2 += d * d;
            }
            if (d2 < tolerance * tolerance) {
                const auto pair = std::minmax(entries[a].node, entries[b].node);
                const std::pair<std::size_t, std::size_t> found{pair.first, pair.second};
                if (!best || found.second < best->second ||
                    (found.second == best->second && found.first < best->first)) {
                    best = found;
                }
            }
        }
    }
    return best;
}

} // namespace ferrolith::build
