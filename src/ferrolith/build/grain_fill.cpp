#include "ferrolith/build/grain_fill.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ferrolith::build {

GrainLattice::GrainLattice(const SeedCrystal& seed, const Vec3& node, const Mat3& rotation,
                           const VoronoiCell& cell, double tie_tolerance)
    : seed_(&seed), node_(node) {
    // Fractional ranges of the cell's corners and of the basis, in the crystal frame.
    const Mat3 inv_cell = inverse(seed.cell);
    double v_min[3], v_max[3], b_min[3], b_max[3];
    for (int c = 0; c < 3; ++c) {
        v_min[c] = b_min[c] = std::numeric_limits<double>::infinity();
        v_max[c] = b_max[c] = -std::numeric_limits<double>::infinity();
    }
    for (const Vec3& v : cell.vertices) {
        const Vec3 f = mul_transposed(inv_cell, mul_transposed(rotation, v));
        for (int c = 0; c < 3; ++c) {
            v_min[c] = std::min(v_min[c], f[c]);
            v_max[c] = std::max(v_max[c], f[c]);
        }
    }
    for (const Vec3& b : seed.positions) {
        const Vec3 f = mul_transposed(inv_cell, b);
        for (int c = 0; c < 3; ++c) {
            b_min[c] = std::min(b_min[c], f[c]);
            b_max[c] = std::max(b_max[c], f[c]);
        }
    }
    long lo[3], hi[3];
    for (int c = 0; c < 3; ++c) {
        lo[c] = static_cast<long>(std::floor(v_min[c] - b_max[c])) - 1;
        hi[c] = static_cast<long>(std::ceil(v_max[c] - b_min[c])) + 1;
    }
    // The longest extent runs along the rows: fewest rows, longest runs.
    std::sort(axis_, axis_ + 3, [&](int a, int b) { return hi[a] - lo[a] < hi[b] - lo[b]; });
    for (int k = 0; k < 3; ++k) {
        lo_[k] = lo[axis_[k]];
        hi_[k] = hi[axis_[k]];
        lab_axis_[k] = mul(rotation, seed.cell[axis_[k]]);
    }
    for (const Vec3& b : seed.positions) {
        lab_basis_.push_back(mul(rotation, b));
    }
    for (const CellPlane& plane : cell.planes) {
        proj_outer_.push_back(dot(plane.normal, lab_axis_[0]));
        proj_middle_.push_back(dot(plane.normal, lab_axis_[1]));
        proj_inner_.push_back(dot(plane.normal, lab_axis_[2]));
        bound_.push_back(plane.distance + (plane.inclusive ? tie_tolerance : -tie_tolerance));
    }
    for (const Vec3& b : lab_basis_) {
        for (const CellPlane& plane : cell.planes) {
            proj_basis_.push_back(dot(plane.normal, b));
        }
    }
}

template <class Visit>
void GrainLattice::for_each_row(Visit&& visit) const {
    const std::size_t n_planes = bound_.size();
    const std::size_t n_basis = lab_basis_.size();
    std::vector<double> remaining(n_planes);
    // Along a row, a plane whose normal is (nearly) perpendicular to it bounds no
    // step: it either admits the whole row or none of it.
    constexpr double kParallel = 1e-12;
    for (long i = lo_[0]; i <= hi_[0]; ++i) {
        for (long j = lo_[1]; j <= hi_[1]; ++j) {
            for (std::size_t f = 0; f < n_planes; ++f) {
                remaining[f] = bound_[f] - static_cast<double>(i) * proj_outer_[f] -
                               static_cast<double>(j) * proj_middle_[f];
            }
            for (std::size_t s = 0; s < n_basis; ++s) {
                const double* pb = proj_basis_.data() + s * n_planes;
                double k_lo = static_cast<double>(lo_[2]);
                double k_hi = static_cast<double>(hi_[2]);
                bool empty = false;
                for (std::size_t f = 0; f < n_planes && !empty; ++f) {
                    const double rhs = remaining[f] - pb[f];
                    const double a = proj_inner_[f];
                    if (a > kParallel) {
                        k_hi = std::min(k_hi, rhs / a);
                    } else if (a < -kParallel) {
                        k_lo = std::max(k_lo, rhs / a);
                    } else if (rhs < 0.0) {
                        empty = true;
                    }
                    empty = empty || k_lo > k_hi;
                }
                if (empty) {
                    continue;
                }
                const long k_min = static_cast<long>(std::ceil(k_lo));
                const long k_max = static_cast<long>(std::floor(k_hi));
                if (k_min > k_max) {
                    continue;
                }
                const Vec3 base = add(add(node_, lab_basis_[s]),
                                      add(scale(lab_axis_[0], static_cast<double>(i)),
                                          scale(lab_axis_[1], static_cast<double>(j))));
                visit(Row{base, k_min, k_max, s});
            }
        }
    }
}

std::size_t GrainLattice::count() const {
    std::size_t total = 0;
    for_each_row([&](const Row& row) {
        total += static_cast<std::size_t>(row.k_max - row.k_min + 1);
    });
    return total;
}

void GrainLattice::fill(double* positions, std::int64_t* numbers, std::int64_t* grain,
                        std::int64_t grain_index) const {
    std::size_t at = 0;
    const Vec3 step = lab_axis_[2];
    for_each_row([&](const Row& row) {
        const std::int64_t z = seed_->numbers[row.basis];
        for (long k = row.k_min; k <= row.k_max; ++k) {
            const double kd = static_cast<double>(k);
            double* p = positions + 3 * at;
            p[0] = row.base[0] + kd * step[0];
            p[1] = row.base[1] + kd * step[1];
            p[2] = row.base[2] + kd * step[2];
            numbers[at] = z;
            grain[at] = grain_index;
            ++at;
        }
    });
}

void wrap_into_box(double* positions, std::size_t n, const Vec3& box) {
    for (std::size_t a = 0; a < n; ++a) {
        for (int c = 0; c < 3; ++c) {
            double& x = positions[3 * a + c];
            if (x < 0.0 || x >= box[c]) {
                x -= box[c] * std::floor(x / box[c]);
                // A tiny negative x can round up to exactly the box length.
                if (x >= box[c]) {
                    x = 0.0;
                }
            }
        }
    }
}

} // namespace ferrolith::build
