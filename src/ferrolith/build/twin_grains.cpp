#include "ferrolith/build/twin_grains.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace ferrolith::build {

Outcome<std::vector<double>> layer_coordinates(const double* positions, std::size_t n_atoms,
                                               int axis, const LayerIndices& layers) {
    using Result = Outcome<std::vector<double>>;
    if (axis < 0 || axis > 2) {
        return Result::fail("the axis must be 0, 1 or 2");
    }
    const auto n = static_cast<std::int64_t>(n_atoms);
    std::vector<double> coords;
    coords.reserve(layers.size());
    for (std::size_t k = 0; k < layers.size(); ++k) {
        if (layers[k].empty()) {
            return Result::fail("layer " + std::to_string(k) + " holds no atoms");
        }
        double sum = 0.0;
        for (std::int64_t index : layers[k]) {
            if (index < -n || index >= n) {
                return Result::fail("atom index " + std::to_string(index) + " of layer " +
                                    std::to_string(k) + " is out of range");
            }
            const auto i = static_cast<std::size_t>(index < 0 ? index + n : index);
            sum += positions[3 * i + static_cast<std::size_t>(axis)];
        }
        coords.push_back(sum / static_cast<double>(layers[k].size()));
    }
    return Result::ok(std::move(coords));
}

MirrorPlane search_mirror_plane(const std::vector<double>& coords, const ReflectionTest& test) {
    MirrorPlane result;
    const std::size_t n = coords.size();
    if (n < 2) {
        result.kind = MirrorPlane::Kind::kTooFewLayers;
        return result;
    }
    // Candidates i = n-2 .. 2 (none for n <= 3); the highest plane wins.
    for (std::size_t i = n - 2; i >= 2 && i < n; --i) {
        if (test(coords[i], i - 1, i + 1)) {
            result.kind = MirrorPlane::Kind::kThroughLayer;
            result.index = i;
            return result;
        }
    }
    for (std::size_t i = n - 2; i >= 2 && i < n; --i) {
        const double midpoint = (coords[i] + coords[i + 1]) / 2.0;
        if (test(midpoint, i, i + 1)) {
            result.kind = MirrorPlane::Kind::kBetweenLayers;
            result.index = i;
            result.gap = coords[i + 1] - coords[i];
            return result;
        }
    }
    return result;
}

std::vector<std::int64_t> layers_to_delete(const std::vector<double>& coords, std::size_t mirror,
                                           double d_hkl, double nlayers, double gap,
                                           double tol_layer) {
    std::vector<std::int64_t> deleted;
    for (std::size_t k = mirror + 1; k < coords.size(); ++k) {
        deleted.push_back(static_cast<std::int64_t>(k));
    }
    const double thickness = d_hkl * nlayers;
    const double threshold = coords[mirror] - thickness + 0.5 * gap - 0.5 * tol_layer;
    for (std::size_t k = 0; k < coords.size(); ++k) {
        if (coords[k] < threshold) {
            deleted.push_back(static_cast<std::int64_t>(k));
        }
    }
    return deleted;
}

std::vector<std::int64_t> kept_atoms(const LayerIndices& layers,
                                     const std::vector<std::int64_t>& deleted) {
    const auto n = static_cast<std::int64_t>(layers.size());
    std::unordered_set<std::int64_t> normalized;
    for (std::int64_t d : deleted) {
        normalized.insert(d < 0 ? n + d : d);
    }
    std::vector<std::int64_t> kept;
    for (std::int64_t k = 0; k < n; ++k) {
        if (normalized.count(k) == 0) {
            const auto& layer = layers[static_cast<std::size_t>(k)];
            kept.insert(kept.end(), layer.begin(), layer.end());
        }
    }
    return kept;
}

std::vector<std::int64_t> top_layers_to_delete(std::int64_t nl_per_layer, std::int64_t next,
                                               std::int64_t current) {
    std::vector<std::int64_t> deleted;
    for (std::int64_t k = -nl_per_layer * (next - current); k < 0; ++k) {
        deleted.push_back(k);
    }
    return deleted;
}

std::optional<std::pair<double, double>> axis_extent(const double* positions, std::size_t n_atoms,
                                                     int axis) {
    if (n_atoms == 0) {
        return std::nullopt;
    }
    const auto a = static_cast<std::size_t>(axis);
    double lo = positions[a];
    double hi = positions[a];
    for (std::size_t i = 1; i < n_atoms; ++i) {
        lo = std::min(lo, positions[3 * i + a]);
        hi = std::max(hi, positions[3 * i + a]);
    }
    return std::make_pair(lo, hi);
}

StackPlan plan_stack(const std::vector<std::pair<double, double>>& extents, double gap) {
    StackPlan plan;
    double current = 0.0;
    for (const auto& [lo, hi] : extents) {
        plan.total_thickness += hi - lo;
        const double shift = current - lo;
        plan.shift.push_back(shift);
        current = hi + shift + gap;
    }
    plan.total_gap = extents.size() >= 2 ? static_cast<double>(extents.size()) * gap : 0.0;
    return plan;
}

} // namespace ferrolith::build
