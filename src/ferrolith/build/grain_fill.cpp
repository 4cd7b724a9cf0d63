#include "ferrolith/build/grain_fill.hpp"

#include "ferrolith/build/grain_statistics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include <sys/resource.h>
#include <unistd.h>

namespace ferrolith::build {

namespace {

// Fractional ranges (crystal frame) of corners given in the lab frame.
void fractional_ranges(const std::vector<Vec3>& corners, const Mat3& rotation, const Mat3& inv_cell,
                       double v_min[3], double v_max[3]) {
    for (int c = 0; c < 3; ++c) {
        v_min[c] = std::numeric_limits<double>::infinity();
        v_max[c] = -std::numeric_limits<double>::infinity();
    }
    for (const Vec3& v : corners) {
        const Vec3 f = mul_transposed(inv_cell, mul_transposed(rotation, v));
        for (int c = 0; c < 3; ++c) {
            v_min[c] = std::min(v_min[c], f[c]);
            v_max[c] = std::max(v_max[c], f[c]);
        }
    }
}

using Point2 = std::array<double, 2>;

double cross2(const Point2& o, const Point2& a, const Point2& b) {
    return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
}

// The convex hull of `points` (Andrew's monotone chain), counter-clockwise.
std::vector<Point2> convex_hull(std::vector<Point2> points) {
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() < 3) {
        return points;
    }
    std::vector<Point2> hull(2 * points.size());
    std::size_t k = 0;
    for (const Point2& p : points) {
        while (k >= 2 && cross2(hull[k - 2], hull[k - 1], p) <= 0.0) {
            --k;
        }
        hull[k++] = p;
    }
    for (std::size_t i = points.size() - 1, lower = k + 1; i > 0; --i) {
        const Point2& p = points[i - 1];
        while (k >= lower && cross2(hull[k - 2], hull[k - 1], p) <= 0.0) {
            --k;
        }
        hull[k++] = p;
    }
    hull.resize(k - 1);
    return hull;
}

} // namespace

// For each outer step i, the middle steps j whose rows can meet the region:
// the region's shadow along the rows is the hull of its corners' outer and
// middle fractional coordinates, and a row of step i lies in the band of
// outer coordinates i + [b_min, b_max] of the basis.
void GrainLattice::middle_ranges(const std::vector<Vec3>& corners, const Mat3& rotation,
                                 const Mat3& inv_cell, const double b_min[3],
                                 const double b_max[3]) {
    const int outer = axis_[0];
    const int middle = axis_[1];
    std::vector<Point2> shadow;
    for (const Vec3& v : corners) {
        const Vec3 f = mul_transposed(inv_cell, mul_transposed(rotation, v));
        shadow.push_back({f[outer], f[middle]});
    }
    const std::vector<Point2> hull = convex_hull(std::move(shadow));
    constexpr double kSlack = 1e-6; // fractional; the range gets a step either side too
    for (long i = lo_[0]; i <= hi_[0]; ++i) {
        const double u0 = static_cast<double>(i) + b_min[outer] - kSlack;
        const double u1 = static_cast<double>(i) + b_max[outer] + kSlack;
        double w_min = HUGE_VAL;
        double w_max = -HUGE_VAL;
        // Each hull edge clipped to the band adds its ends to the range.
        for (std::size_t e = 0; e < hull.size(); ++e) {
            const Point2& p = hull[e];
            const Point2& q = hull[(e + 1) % hull.size()];
            double t0 = 0.0;
            double t1 = 1.0;
            const double du = q[0] - p[0];
            if (du == 0.0) {
                if (p[0] < u0 || p[0] > u1) {
                    continue;
                }
            } else {
                double ta = (u0 - p[0]) / du;
                double tb = (u1 - p[0]) / du;
                if (ta > tb) {
                    std::swap(ta, tb);
                }
                t0 = std::max(t0, ta);
                t1 = std::min(t1, tb);
                if (t0 > t1) {
                    continue;
                }
            }
            for (double t : {t0, t1}) {
                const double w = p[1] + t * (q[1] - p[1]);
                w_min = std::min(w_min, w);
                w_max = std::max(w_max, w);
            }
        }
        long j_lo = lo_[1];
        long j_hi = lo_[1] - 1;
        if (w_min <= w_max) {
            j_lo = std::max(lo_[1], static_cast<long>(std::floor(w_min - b_max[middle])) - 1);
            j_hi = std::min(hi_[1], static_cast<long>(std::ceil(w_max - b_min[middle])) + 1);
        }
        middle_range_.push_back({j_lo, j_hi});
    }
}

GrainLattice::GrainLattice(const SeedCrystal& seed, const Vec3& node, const Mat3& rotation,
                           const VoronoiCell& cell, double tie_tolerance,
                           const std::vector<Vec3>* occupied)
    : seed_(&seed), node_(node) {
    // Fractional ranges of the cell's corners and of the basis, in the crystal frame.
    const Mat3 inv_cell = inverse(seed.cell);
    double v_min[3], v_max[3], b_min[3], b_max[3];
    for (int c = 0; c < 3; ++c) {
        b_min[c] = std::numeric_limits<double>::infinity();
        b_max[c] = -std::numeric_limits<double>::infinity();
    }
    fractional_ranges(cell.vertices, rotation, inv_cell, v_min, v_max);
    for (const Vec3& b : seed.positions) {
        const Vec3 f = mul_transposed(inv_cell, b);
        for (int c = 0; c < 3; ++c) {
            b_min[c] = std::min(b_min[c], f[c]);
            b_max[c] = std::max(b_max[c], f[c]);
        }
    }
    long lo[3], hi[3];
    for (int c = 0; c < 3; ++c) {
        lo[c] = static_cast<long>(std::floor(v_min[c] - b_max[c]));
        hi[c] = static_cast<long>(std::ceil(v_max[c] - b_min[c]));
    }
    // The longest extent runs along the rows: fewest rows, longest runs.
    std::sort(axis_, axis_ + 3, [&](int a, int b) { return hi[a] - lo[a] < hi[b] - lo[b]; });
    for (int k = 0; k < 3; ++k) {
        lo_[k] = lo[axis_[k]];
        hi_[k] = hi[axis_[k]];
        lab_axis_[k] = mul(rotation, seed.cell[axis_[k]]);
    }
    // A part of the cell narrows the outer and middle ranges (a step of margin
    // on each side); rows outside it would hold no atom, so skipping them
    // changes nothing else.
    if (occupied != nullptr) {
        if (occupied->empty()) {
            hi_[0] = lo_[0] - 1;
        } else {
            double o_min[3], o_max[3];
            fractional_ranges(*occupied, rotation, inv_cell, o_min, o_max);
            for (int k = 0; k < 2; ++k) {
                const int a = axis_[k];
                lo_[k] = std::max(lo_[k], static_cast<long>(std::floor(o_min[a] - b_max[a])) - 1);
                hi_[k] = std::min(hi_[k], static_cast<long>(std::ceil(o_max[a] - b_min[a])) + 1);
            }
            middle_ranges(*occupied, rotation, inv_cell, b_min, b_max);
        }
    }
    for (const Vec3& b : seed.positions) {
        lab_basis_.push_back(mul(rotation, b));
    }
    // Planes ordered by how they bound the steps k along a row: from above
    // (normal along the row), from below, or not at all (normal across it).
    // Along a row, a plane whose normal is (nearly) perpendicular to it either
    // admits the whole row or none of it.
    constexpr double kParallel = 1e-12;
    std::vector<std::size_t> order;
    for (int group = 0; group < 3; ++group) {
        for (std::size_t f = 0; f < cell.planes.size(); ++f) {
            const double a = dot(cell.planes[f].normal, lab_axis_[2]);
            const int g = a > kParallel ? 0 : (a < -kParallel ? 1 : 2);
            if (g == group) {
                order.push_back(f);
                n_group_[group] += 1;
            }
        }
    }
    for (std::size_t f : order) {
        const CellPlane& plane = cell.planes[f];
        const double a = dot(plane.normal, lab_axis_[2]);
        proj_outer_.push_back(dot(plane.normal, lab_axis_[0]));
        proj_middle_.push_back(dot(plane.normal, lab_axis_[1]));
        inv_inner_.push_back(std::fabs(a) > kParallel ? 1.0 / a : 0.0);
        bound_.push_back(plane.distance + (plane.inclusive ? tie_tolerance : -tie_tolerance));
    }
    for (const Vec3& b : lab_basis_) {
        for (std::size_t f : order) {
            proj_basis_.push_back(dot(cell.planes[f].normal, b));
        }
    }
    build_rows();
}

namespace {

// floor and ceil of a double within the range of long, inline (the library
// calls cost more than the rest of a row's test).
long floor_to_long(double x) {
    const auto t = static_cast<long>(x);
    return static_cast<double>(t) > x ? t - 1 : t;
}

long ceil_to_long(double x) {
    const auto t = static_cast<long>(x);
    return static_cast<double>(t) < x ? t + 1 : t;
}

} // namespace

Vec3 GrainLattice::row_base(long i, long j, std::size_t basis) const {
    return add(add(node_, lab_basis_[basis]), add(scale(lab_axis_[0], static_cast<double>(i)),
                                                  scale(lab_axis_[1], static_cast<double>(j))));
}

void GrainLattice::build_rows() {
    const std::size_t n_planes = bound_.size();
    const std::size_t n_above = n_group_[0];
    const std::size_t n_bounding = n_group_[0] + n_group_[1];
    std::vector<double> remaining(n_planes);
    // Bounds past the inner range are clamped just outside it: the row is
    // empty either way, and the conversions stay in range.
    const double k_floor = static_cast<double>(lo_[2]) - 1.0;
    const double k_ceiling = static_cast<double>(hi_[2]) + 1.0;
    for (long i = lo_[0]; i <= hi_[0]; ++i) {
        long j_lo = lo_[1];
        long j_hi = hi_[1];
        if (!middle_range_.empty()) {
            std::tie(j_lo, j_hi) = middle_range_[static_cast<std::size_t>(i - lo_[0])];
        }
        for (long j = j_lo; j <= j_hi; ++j) {
            for (std::size_t f = 0; f < n_planes; ++f) {
                remaining[f] = bound_[f] - static_cast<double>(i) * proj_outer_[f] -
                               static_cast<double>(j) * proj_middle_[f];
            }
            for (std::size_t s = 0; s < lab_basis_.size(); ++s) {
                const double* pb = proj_basis_.data() + s * n_planes;
                double k_hi = static_cast<double>(hi_[2]);
                double k_lo = static_cast<double>(lo_[2]);
                for (std::size_t f = 0; f < n_above; ++f) {
                    k_hi = std::min(k_hi, (remaining[f] - pb[f]) * inv_inner_[f]);
                }
                for (std::size_t f = n_above; f < n_bounding; ++f) {
                    k_lo = std::max(k_lo, (remaining[f] - pb[f]) * inv_inner_[f]);
                }
                const long k_min = ceil_to_long(std::min(k_lo, k_ceiling));
                const long k_max = floor_to_long(std::max(k_hi, k_floor));
                if (k_min > k_max) {
                    continue;
                }
                bool admitted = true;
                for (std::size_t f = n_bounding; f < n_planes; ++f) {
                    admitted = admitted && remaining[f] - pb[f] >= 0.0;
                }
                if (!admitted) {
                    continue;
                }
                rows_.push_back(Row{static_cast<std::int32_t>(i), static_cast<std::int32_t>(j),
                                    static_cast<std::int32_t>(k_min),
                                    static_cast<std::int32_t>(k_max),
                                    static_cast<std::uint32_t>(s)});
                count_ += static_cast<std::size_t>(k_max - k_min + 1);
            }
        }
    }
}

void GrainLattice::fill(double* positions, std::int64_t* numbers, std::int64_t* grain,
                        std::int64_t grain_index, std::int64_t* lamella,
                        std::int64_t lamella_index) const {
    std::size_t at = 0;
    const Vec3 step = lab_axis_[2];
    for (const Row& row : rows_) {
        const std::int64_t z = seed_->numbers[row.basis];
        const Vec3 base = row_base(row.i, row.j, row.basis);
        for (long k = row.k_min; k <= row.k_max; ++k) {
            const double kd = static_cast<double>(k);
            double* p = positions + 3 * at;
            p[0] = base[0] + kd * step[0];
            p[1] = base[1] + kd * step[1];
            p[2] = base[2] + kd * step[2];
            numbers[at] = z;
            grain[at] = grain_index;
            if (lamella != nullptr) {
                lamella[at] = lamella_index;
            }
            ++at;
        }
    }
}

void GrainLattice::release() {
    std::vector<Row>().swap(rows_);
}

std::vector<Vec3> trim_cell_piece(VoronoiCell& piece) {
    constexpr double kMargin = 1e-3; // Å, far above the tie tolerance
    constexpr double kClipTolerance = 1e-9;
    Vec3 half{0.0, 0.0, 0.0};
    for (const Vec3& v : piece.vertices) {
        for (int c = 0; c < 3; ++c) {
            half[c] = std::max(half[c], std::fabs(v[c]) + 1.0);
        }
    }
    ConvexPolyhedron region(half);
    for (const CellPlane& p : piece.planes) {
        const double distance = p.distance + kMargin;
        // Every corner beyond the plane: the region is empty.
        if (-region.max_signed_distance(scale(p.normal, -1.0), -distance) > 0.0) {
            piece.planes.clear();
            return {};
        }
        region.clip(p.normal, distance, -1, kClipTolerance, kClipTolerance);
    }
    std::vector<Vec3> corners = region.vertices(kClipTolerance);
    auto clear = [&](const CellPlane& p) {
        double reach = -HUGE_VAL;
        for (const Vec3& v : corners) {
            reach = std::max(reach, dot(p.normal, v) - p.distance);
        }
        return reach < -kMargin;
    };
    piece.planes.erase(std::remove_if(piece.planes.begin(), piece.planes.end(), clear),
                       piece.planes.end());
    return corners;
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

double expected_atom_count(const SeedCrystal& seed, const Vec3& box) {
    const double cell_volume = std::fabs(determinant(seed.cell));
    return box[0] * box[1] * box[2] * static_cast<double>(seed.positions.size()) / cell_volume;
}

namespace {

// "31,000" for counts that print as integers, "6.1e+16" beyond.
std::string count_text(double n) {
    if (n < 1e15) {
        return grouped_integer(static_cast<std::size_t>(std::llround(n)));
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2g", n);
    return buffer;
}

} // namespace

core::Status check_generation_size(double expected_atoms, double grains, const Vec3& box,
                                   double max_atoms) {
    if (!(expected_atoms <= max_atoms)) {
        return core::Status::fail(
            "a box of " + box_text(box) + " Angstrom holds about " + count_text(expected_atoms) +
            " atoms of the seed, more than max_atoms (" + count_text(max_atoms) +
            "); give a smaller box or a larger max_atoms");
    }
    if (grains > std::max(1.0, expected_atoms)) {
        return core::Status::fail(count_text(grains) + " grains in a box of " + box_text(box) +
                                  " Angstrom that holds about " + count_text(expected_atoms) +
                                  " atoms of the seed; a grain needs at least one atom");
    }
    return core::success();
}

namespace {

// "3.5 GB", "512 MB": a byte count for a message.
std::string bytes_text(double bytes) {
    char buffer[32];
    if (bytes >= 1e9) {
        std::snprintf(buffer, sizeof buffer, "%.3g GB", bytes / 1e9);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.3g MB", bytes / 1e6);
    }
    return buffer;
}

std::string length_text(double x) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", x);
    return buffer;
}

} // namespace

double memory_budget_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    double budget = pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page)
                                          : std::numeric_limits<double>::infinity();
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        budget = std::min(budget, static_cast<double>(limit.rlim_cur));
    }
    return budget;
}

core::Status check_generation_memory(double expected_atoms, double grains, double budget) {
    const double atoms_bytes = expected_atoms * kBytesPerAtom;
    const double grain_bytes = grains * kBytesPerGrain;
    if (atoms_bytes + grain_bytes > budget) {
        return core::Status::fail(
            "the generation needs about " + bytes_text(atoms_bytes + grain_bytes) + " (" +
            count_text(expected_atoms) + " atoms at about " + length_text(kBytesPerAtom) +
            " bytes each, " + count_text(grains) + " grains at about " +
            length_text(kBytesPerGrain / 1024.0) + " KB each), more than the " +
            bytes_text(budget) +
            " of memory this process may use; give fewer grains or a "
            "smaller box");
    }
    return core::success();
}

core::Status check_box_lengths(const Vec3& box, double nearest) {
    const char* axes = "xyz";
    for (int c = 0; c < 3; ++c) {
        if (box[c] < nearest) {
            return core::Status::fail(
                std::string("the box length along ") + axes[c] + " (" + length_text(box[c]) +
                " Angstrom) is shorter than the seed's nearest-neighbour distance (" +
                length_text(nearest) +
                " Angstrom); a box must hold at least one bond of the "
                "crystal along every axis");
        }
    }
    return core::success();
}

core::Status check_removal_radius(double radius, double density, double expected_atoms,
                                  std::size_t max_neighbors, double budget) {
    constexpr double kPi = 3.14159265358979323846;
    // Each close pair is held by the neighbour search (40 bytes) and once more
    // by the removal (16 bytes).
    constexpr double kBytesPerPair = 56.0;
    const double neighbors = 4.0 / 3.0 * kPi * radius * radius * radius * density;
    const std::string estimate = "a sphere of radius " + length_text(radius) +
                                 " Angstrom holds about " + count_text(neighbors) +
                                 " atoms at the seed's density (" + length_text(density) +
                                 " atoms/Angstrom^3)";
    if (neighbors > static_cast<double>(max_neighbors)) {
        return core::Status::fail("remove_doubles=" + length_text(radius) + " is too large: " +
                                  estimate + ", more than the " + std::to_string(max_neighbors) +
                                  " neighbours per atom the search allows; atoms closer than "
                                  "the bond length are doubles, so a radius below it is enough");
    }
    const double bytes = 0.5 * neighbors * expected_atoms * kBytesPerPair;
    if (bytes > budget) {
        return core::Status::fail(
            "remove_doubles=" + length_text(radius) + " needs about " + bytes_text(bytes) +
            " for its close pairs (" + estimate + ", for " + count_text(expected_atoms) +
            " atoms), more than the " + bytes_text(budget) + " of memory this process may use");
    }
    return core::success();
}

} // namespace ferrolith::build
