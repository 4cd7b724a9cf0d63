#include "ferrolith/optimization/mlp_cells.hpp"

#include <algorithm>
#include <cmath>

namespace ferrolith::optimization {

namespace {

double dot3(const double* a, const double* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

/// Inverts a symmetric positive-definite matrix of size 1..3 (row-major);
/// false when it is singular to working precision.
bool invert_gram(std::vector<double>& g, int m) {
    if (m == 1) {
        if (!(g[0] > 0.0))
            return false;
        g[0] = 1.0 / g[0];
        return true;
    }
    if (m == 2) {
        const double det = g[0] * g[3] - g[1] * g[2];
        if (!(det > 1e-12 * g[0] * g[3]))
            return false;
        g = {g[3] / det, -g[1] / det, -g[2] / det, g[0] / det};
        return true;
    }
    const double a = g[0], b = g[1], c = g[2], d = g[3], e = g[4], f = g[5], h = g[6], k = g[7],
                 l = g[8];
    const double det = a * (e * l - f * k) - b * (d * l - f * h) + c * (d * k - e * h);
    if (!(det > 1e-12 * a * e * l))
        return false;
    g = {(e * l - f * k) / det, (c * k - b * l) / det, (b * f - c * e) / det,
         (f * h - d * l) / det, (a * l - c * h) / det, (c * d - a * f) / det,
         (d * k - e * h) / det, (b * h - a * k) / det, (a * e - b * d) / det};
    return true;
}

} // namespace

std::optional<std::string> CellList::build(const double* positions, std::size_t n,
                                           const Matrix3& cell, const std::array<bool, 3>& pbc,
                                           double cutoff, CellList& out) {
    out = CellList();
    out.cutoff_ = cutoff;
    for (std::size_t k = 0; k < 3 * n; ++k)
        if (!std::isfinite(positions[k]))
            return "positions must be finite numbers (atom " + std::to_string(k / 3) +
                   " has a NaN or infinite coordinate)";
    for (const auto& row : cell)
        for (double x : row)
            if (!std::isfinite(x))
                return std::string("the cell must hold finite numbers");

    // Dual vectors of the periodic directions within their own span: b_k . a_l
    // = delta_kl. They give fractional coordinates for wrapping and the plane
    // spacing 1/|b_k| that decides how many images the cutoff reaches.
    std::vector<int> periodic;
    for (int k = 0; k < 3; ++k)
        if (pbc[k])
            periodic.push_back(k);
    const int m = static_cast<int>(periodic.size());
    std::vector<std::array<double, 3>> dual(m);
    if (m > 0) {
        std::vector<double> gram(m * m);
        for (int p = 0; p < m; ++p)
            for (int q = 0; q < m; ++q)
                gram[p * m + q] = dot3(cell[periodic[p]].data(), cell[periodic[q]].data());
        if (!invert_gram(gram, m))
            return std::string("the cell has zero volume in its periodic directions");
        for (int p = 0; p < m; ++p)
            for (int c = 0; c < 3; ++c) {
                double s = 0.0;
                for (int q = 0; q < m; ++q)
                    s += gram[p * m + q] * cell[periodic[q]][c];
                dual[p][c] = s;
            }
    }

    // Wrap every atom into the home cell along the periodic directions.
    std::vector<double> wrapped(positions, positions + 3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        double* r = &wrapped[3 * i];
        for (int p = 0; p < m; ++p) {
            const double shift = std::floor(dot3(dual[p].data(), r));
            for (int c = 0; c < 3; ++c)
                r[c] -= shift * cell[periodic[p]][c];
        }
    }

    // Images whose fractional coordinates lie within the cutoff slab around
    // the home cell; the home positions come first.
    std::array<int, 3> reach{0, 0, 0};
    std::array<double, 3> slab{0.0, 0.0, 0.0};
    for (int p = 0; p < m; ++p) {
        const double inv_spacing = std::sqrt(dot3(dual[p].data(), dual[p].data()));
        slab[p] = cutoff * inv_spacing;
        reach[periodic[p]] = static_cast<int>(std::ceil(slab[p]));
    }
    // A cell far smaller than the cutoff would need an absurd number of
    // images (a structure given in the wrong units, say): refuse it.
    double expected = static_cast<double>(n);
    for (int p = 0; p < m; ++p)
        expected *= 1.0 + 2.0 * slab[p];
    if (expected > 2e7)
        return "the cell is too small for the cutoff of " + std::to_string(cutoff) + " Å: about " +
               std::to_string(static_cast<long long>(expected)) +
               " periodic images would be needed";
    out.home_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.home_[i] = i;
        out.image_pos_.insert(out.image_pos_.end(), &wrapped[3 * i], &wrapped[3 * i] + 3);
        out.image_atom_.push_back(static_cast<int>(i));
    }
    for (int s0 = -reach[0]; s0 <= reach[0]; ++s0)
        for (int s1 = -reach[1]; s1 <= reach[1]; ++s1)
            for (int s2 = -reach[2]; s2 <= reach[2]; ++s2) {
                if (s0 == 0 && s1 == 0 && s2 == 0)
                    continue;
                double t[3];
                for (int c = 0; c < 3; ++c)
                    t[c] = s0 * cell[0][c] + s1 * cell[1][c] + s2 * cell[2][c];
                for (std::size_t i = 0; i < n; ++i) {
                    const double q[3] = {wrapped[3 * i] + t[0], wrapped[3 * i + 1] + t[1],
                                         wrapped[3 * i + 2] + t[2]};
                    bool keep = true;
                    for (int p = 0; p < m && keep; ++p) {
                        const double f = dot3(dual[p].data(), q);
                        keep = f >= -slab[p] && f < 1.0 + slab[p];
                    }
                    if (keep) {
                        out.image_pos_.insert(out.image_pos_.end(), q, q + 3);
                        out.image_atom_.push_back(static_cast<int>(i));
                    }
                }
            }

    // Cubic bins of edge >= cutoff over the bounding box of all entries; the
    // edge grows when a sparse, spread-out structure would need too many bins.
    const std::size_t entries = out.image_atom_.size();
    std::array<double, 3> lo{0, 0, 0}, hi{0, 0, 0};
    if (entries > 0) {
        for (int c = 0; c < 3; ++c)
            lo[c] = hi[c] = out.image_pos_[c];
        for (std::size_t e = 0; e < entries; ++e)
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::min(lo[c], out.image_pos_[3 * e + c]);
                hi[c] = std::max(hi[c], out.image_pos_[3 * e + c]);
            }
    }
    out.origin_ = lo;
    double edge = std::max(cutoff, 1e-6);
    const double max_bins = 8.0 * static_cast<double>(entries) + 64.0;
    for (;;) {
        double total = 1.0;
        for (int c = 0; c < 3; ++c)
            total *= std::max(1.0, std::floor((hi[c] - lo[c]) / edge));
        if (total <= max_bins)
            break;
        edge *= 1.5;
    }
    out.bin_size_ = edge;
    for (int c = 0; c < 3; ++c)
        out.dims_[c] = static_cast<int>(std::max(1.0, std::floor((hi[c] - lo[c]) / edge)));
    const std::size_t n_bins = static_cast<std::size_t>(out.dims_[0]) * out.dims_[1] * out.dims_[2];
    std::vector<std::size_t> bin(entries);
    out.bin_start_.assign(n_bins + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) {
        const auto b = out.bin_of(&out.image_pos_[3 * e]);
        bin[e] = (static_cast<std::size_t>(b[0]) * out.dims_[1] + b[1]) * out.dims_[2] + b[2];
        ++out.bin_start_[bin[e] + 1];
    }
    for (std::size_t b = 0; b < n_bins; ++b)
        out.bin_start_[b + 1] += out.bin_start_[b];
    out.bin_entries_.resize(entries);
    std::vector<std::size_t> fill(out.bin_start_.begin(), out.bin_start_.end() - 1);
    for (std::size_t e = 0; e < entries; ++e)
        out.bin_entries_[fill[bin[e]]++] = e;
    return std::nullopt;
}

std::array<int, 3> CellList::bin_of(const double* p) const {
    std::array<int, 3> b{};
    for (int c = 0; c < 3; ++c) {
        // the last bin absorbs the remainder of the box
        const int k = static_cast<int>(std::floor((p[c] - origin_[c]) / bin_size_));
        b[c] = std::clamp(k, 0, dims_[c] - 1);
    }
    return b;
}

void CellList::neighbors(std::size_t i, std::vector<Neighbor>& out) const {
    out.clear();
    const std::size_t self = home_[i];
    const double* p = &image_pos_[3 * self];
    const auto b = bin_of(p);
    const double cut2 = cutoff_ * cutoff_;
    for (int x = std::max(0, b[0] - 1); x <= std::min(dims_[0] - 1, b[0] + 1); ++x)
        for (int y = std::max(0, b[1] - 1); y <= std::min(dims_[1] - 1, b[1] + 1); ++y)
            for (int z = std::max(0, b[2] - 1); z <= std::min(dims_[2] - 1, b[2] + 1); ++z) {
                const std::size_t bin = (static_cast<std::size_t>(x) * dims_[1] + y) * dims_[2] + z;
                for (std::size_t k = bin_start_[bin]; k < bin_start_[bin + 1]; ++k) {
                    const std::size_t e = bin_entries_[k];
                    if (e == self)
                        continue;
                    const double d[3] = {image_pos_[3 * e] - p[0], image_pos_[3 * e + 1] - p[1],
                                         image_pos_[3 * e + 2] - p[2]};
                    const double r2 = dot3(d, d);
                    if (r2 < cut2)
                        out.push_back({image_atom_[e], {d[0], d[1], d[2]}, std::sqrt(r2)});
                }
            }
}

} // namespace ferrolith::optimization
