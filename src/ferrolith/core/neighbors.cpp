#include "ferrolith/core/neighbors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ferrolith::core {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Sanity bound on bins per direction before the total cap applies.
constexpr double kMaxBinsPerDim = 1048576.0; // 2^20
// A degenerate cell: |det| below this fraction of the product of lengths.
constexpr double kSingularity = 1e-10;

std::string format_distance(double r) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", r);
    return buffer;
}

// The cell rows with non-periodic rows replaced by unit vectors orthogonal to
// the periodic ones, so that fractional coordinates along free directions are
// plain lengths. Returns false when the periodic rows are linearly dependent.
bool search_basis(const Mat3& cell, const std::array<bool, 3>& pbc, Mat3& basis) {
    basis = cell;
    int periodic[3];
    int free_dims[3];
    int np = 0, nf = 0;
    for (int d = 0; d < 3; ++d) {
        (pbc[d] ? periodic[np++] : free_dims[nf++]) = d;
    }
    for (int k = 0; k < np; ++k) {
        if (norm(cell[periodic[k]]) == 0) {
            return false;
        }
    }
    if (np == 3) {
        const double volume = std::fabs(dot(cell[0], cross(cell[1], cell[2])));
        return volume > kSingularity * norm(cell[0]) * norm(cell[1]) * norm(cell[2]);
    }
    if (np == 2) {
        const Vec3& a = cell[periodic[0]];
        const Vec3& b = cell[periodic[1]];
        const Vec3 n = cross(a, b);
        const double area = norm(n);
        if (!(area > kSingularity * norm(a) * norm(b))) {
            return false;
        }
        basis[free_dims[0]] = scale(n, 1.0 / area);
        return true;
    }
    if (np == 1) {
        const Vec3 u = scale(cell[periodic[0]], 1.0 / norm(cell[periodic[0]]));
        // The axis least aligned with u gives a well-conditioned complement.
        int axis = 0;
        for (int d = 1; d < 3; ++d) {
            if (std::fabs(u[d]) < std::fabs(u[axis])) {
                axis = d;
            }
        }
        Vec3 e{0, 0, 0};
        e[axis] = 1;
        Vec3 v = {e[0] - u[axis] * u[0], e[1] - u[axis] * u[1], e[2] - u[axis] * u[2]};
        v = scale(v, 1.0 / norm(v));
        basis[free_dims[0]] = v;
        basis[free_dims[1]] = cross(u, v);
        return true;
    }
    basis = {Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    return true;
}

long floor_div(long a, long b) {
    long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

} // namespace

Status overlap_status(std::size_t a, std::size_t b, double r, double min_distance) {
    const std::string what = a == b
                                 ? "Atom " + std::to_string(a) + " overlaps its own periodic image"
                                 : "Atoms " + std::to_string(std::min(a, b)) + " and " +
                                       std::to_string(std::max(a, b)) + " overlap";
    return Status::fail(what + " (distance " + format_distance(r) + " \u00c5, less than " +
                        format_distance(min_distance) + " \u00c5).");
}

void reduce_lattice(Mat3& cell, const std::array<bool, 3>& pbc) {
    // Pairwise size reduction; each accepted step strictly shortens a vector,
    // so this ends. The bound on rounds only guards against rounding games.
    for (int round = 0; round < 100; ++round) {
        bool changed = false;
        for (int p = 0; p < 3; ++p) {
            for (int q = 0; q < 3; ++q) {
                if (p == q || !pbc[p] || !pbc[q]) {
                    continue;
                }
                const double qq = dot(cell[q], cell[q]);
                if (qq == 0) {
                    continue;
                }
                const double mu = dot(cell[p], cell[q]) / qq;
                if (std::fabs(mu) <= 0.5 + 1e-9) {
                    continue;
                }
                const double k = std::round(mu);
                for (int x = 0; x < 3; ++x) {
                    cell[p][x] -= k * cell[q][x];
                }
                changed = true;
            }
        }
        if (!changed) {
            return;
        }
    }
}

Status build_neighbor_list(const NeighborQuery& q, NeighborList& list) {
    const std::size_t n = q.n_atoms;
    for (std::size_t i = 0; i < 3 * n; ++i) {
        if (!std::isfinite(q.positions[i])) {
            return Status::fail("The position of atom " + std::to_string(i / 3) +
                                " is not a finite number.");
        }
    }
    for (const Vec3& row : q.cell) {
        for (double x : row) {
            if (!std::isfinite(x)) {
                return Status::fail("The cell contains a value that is not a finite number.");
            }
        }
    }
    Mat3 reduced = q.cell;
    reduce_lattice(reduced, q.pbc);
    Mat3 basis;
    if (!search_basis(reduced, q.pbc, basis)) {
        return Status::fail(kZeroVolumeMessage);
    }
    const Mat3 inv = inverse(basis);

    double rc = 0;
    for (std::size_t k = 0; k < q.n_species * q.n_species; ++k) {
        rc = std::max(rc, q.cutoff[k]);
    }

    // Fractional coordinates, wrapped along periodic directions.
    std::vector<double>& frac = list.wrapped; // reused: fractional first, Cartesian later
    frac.resize(3 * n);
    Vec3 lo{0, 0, 0}, hi{0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const double* x = q.positions + 3 * i;
        for (int d = 0; d < 3; ++d) {
            double s = x[0] * inv[0][d] + x[1] * inv[1][d] + x[2] * inv[2][d];
            if (q.pbc[d]) {
                s -= std::floor(s);
                if (s >= 1.0) {
                    s = 0.0; // -tiny rounds to 1.0 after the shift
                }
            }
            frac[3 * i + d] = s;
            if (i == 0 || s < lo[d]) {
                lo[d] = s;
            }
            if (i == 0 || s > hi[d]) {
                hi[d] = s;
            }
        }
    }

    if (q.max_neighbors > 0 && n > 0 && rc > 0) {
        // Atoms per volume times the cutoff sphere, before any memory is
        // spent. The volume is the periodic cell's measure (volume, area or
        // length: the search basis has unit vectors along free directions)
        // times each free extent, taken at least as wide as the sphere.
        double volume = std::fabs(determinant(basis));
        for (int d = 0; d < 3; ++d) {
            if (!q.pbc[d]) {
                volume *= std::max(hi[d] - lo[d], 2.0 * rc);
            }
        }
        const double expected = static_cast<double>(n) * (4.0 / 3.0) * kPi * rc * rc * rc / volume;
        if (!(expected <= static_cast<double>(q.max_neighbors))) {
            return Status::fail(
                "The cell is too small or the structure too dense for the cutoff of " +
                format_distance(rc) + " \u00c5: about " + format_distance(expected) +
                " neighbours per atom are expected, more than the limit of " +
                std::to_string(q.max_neighbors) + " (max_neighbors).");
        }
    }

    // Bins: at least the cutoff high (or a whole periodic height), at most
    // about two per atom so that sparse structures stay cheap.
    std::array<long, 3> nbins{1, 1, 1};
    std::array<double, 3> height{0, 0, 0}; // periodic: Å per unit fraction
    for (int d = 0; d < 3; ++d) {
        double extent;
        if (q.pbc[d]) {
            height[d] = 1.0 / norm(Vec3{inv[0][d], inv[1][d], inv[2][d]});
            extent = height[d];
        } else {
            extent = hi[d] - lo[d];
        }
        const double fit = rc > 0 ? std::min(std::floor(extent / rc), kMaxBinsPerDim) : 1.0;
        nbins[d] = std::max(1L, static_cast<long>(fit));
    }
    const double max_total = std::max(27.0, 2.0 * static_cast<double>(n));
    while (static_cast<double>(nbins[0]) * nbins[1] * nbins[2] > max_total) {
        const double f =
            std::cbrt(max_total / (static_cast<double>(nbins[0]) * nbins[1] * nbins[2]));
        for (long& b : nbins) {
            b = std::max(1L, static_cast<long>(std::floor(static_cast<double>(b) * f)));
        }
    }
    std::array<long, 3> reach{1, 1, 1};
    std::array<double, 3> width{1, 1, 1}; // bin width in fractional units / lengths
    for (int d = 0; d < 3; ++d) {
        if (q.pbc[d]) {
            width[d] = 1.0 / static_cast<double>(nbins[d]);
            reach[d] = std::max(1L, static_cast<long>(std::ceil(
                                        rc * static_cast<double>(nbins[d]) / height[d] - 1e-12)));
        } else {
            const double extent = hi[d] - lo[d];
            width[d] = extent > 0 ? extent / static_cast<double>(nbins[d]) : 1.0;
        }
    }
    const std::size_t total_bins = static_cast<std::size_t>(nbins[0] * nbins[1] * nbins[2]);

    // Counting sort of the atoms by bin.
    list.bin_of.resize(n);
    list.bin_start.assign(total_bins + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t linear = 0;
        for (int d = 0; d < 3; ++d) {
            const double s = q.pbc[d] ? frac[3 * i + d] : frac[3 * i + d] - lo[d];
            long b = static_cast<long>(std::floor(s / width[d]));
            b = std::min(std::max(b, 0L), nbins[d] - 1);
            linear = linear * static_cast<std::size_t>(nbins[d]) + static_cast<std::size_t>(b);
        }
        list.bin_of[i] = linear;
        ++list.bin_start[linear + 1];
    }
    for (std::size_t b = 0; b < total_bins; ++b) {
        list.bin_start[b + 1] += list.bin_start[b];
    }
    list.order.resize(n);
    list.slot_of.resize(n);
    {
        std::vector<std::size_t> fill(list.bin_start.begin(), list.bin_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t slot = fill[list.bin_of[i]]++;
            list.order[slot] = i;
            list.slot_of[i] = slot;
        }
    }
    // Sorted Cartesian positions (wrapped) and species.
    std::vector<double> sorted(3 * n);
    list.species.resize(n);
    for (std::size_t slot = 0; slot < n; ++slot) {
        const std::size_t i = list.order[slot];
        const double* s = &frac[3 * i];
        for (int x = 0; x < 3; ++x) {
            sorted[3 * slot + x] = s[0] * basis[0][x] + s[1] * basis[1][x] + s[2] * basis[2][x];
        }
        list.species[slot] = q.species != nullptr ? q.species[i] : 0;
    }
    list.wrapped.swap(sorted);
    const double* pos = list.wrapped.data();

    // A pair is searched once, under the larger of its two directed cutoffs,
    // and listed for each side whose own cutoff it is within.
    const std::size_t ns = q.n_species;
    std::vector<double> cutsq(ns * ns), search_sq(ns * ns);
    for (std::size_t a = 0; a < ns; ++a) {
        for (std::size_t b = 0; b < ns; ++b) {
            cutsq[a * ns + b] = q.cutoff[a * ns + b] * q.cutoff[a * ns + b];
        }
    }
    for (std::size_t a = 0; a < ns; ++a) {
        for (std::size_t b = 0; b < ns; ++b) {
            search_sq[a * ns + b] = std::max(cutsq[a * ns + b], cutsq[b * ns + a]);
        }
    }
    const double min_sq = q.min_distance * q.min_distance;
    const double rc_sq = rc * rc;

    // Half search: from each bin, the bin offsets that come after zero in
    // lexicographic order, and the bin itself with j > i. Offset d from one
    // side is -d from the other, and within the reach each (bin, image) pair
    // comes from one offset only, so every pair and image is found once.
    //
    // Per direction, the bin and lattice image reached from bin c by offset o.
    struct Step {
        long bin; // -1 outside a non-periodic direction
        long image;
    };
    std::array<std::vector<Step>, 3> steps;
    for (int k = 0; k < 3; ++k) {
        const long width_k = 2 * reach[k] + 1;
        steps[k].resize(static_cast<std::size_t>(nbins[k] * width_k));
        for (long c = 0; c < nbins[k]; ++c) {
            for (long o = -reach[k]; o <= reach[k]; ++o) {
                const long t = c + o;
                Step& st = steps[k][static_cast<std::size_t>(c * width_k + o + reach[k])];
                if (q.pbc[k]) {
                    st.image = floor_div(t, nbins[k]);
                    st.bin = t - st.image * nbins[k];
                } else {
                    st.image = 0;
                    st.bin = (t >= 0 && t < nbins[k]) ? t : -1;
                }
            }
        }
    }
    auto step = [&](int k, long c, long o) -> const Step& {
        return steps[k][static_cast<std::size_t>(c * (2 * reach[k] + 1) + o + reach[k])];
    };
    // Bins next to each other along z hold consecutive slots, so a run of
    // them with one lattice image is scanned as one range.
    struct StencilRun {
        std::size_t first, end; // slots
        Vec3 shift;
        bool from_self; // starts at the bin itself, unshifted: take j > i
    };
    std::vector<StencilRun> stencil;
    std::vector<HalfPair>& half = list.half;
    half.clear();
    const bool count = q.full || q.max_neighbors > 0;
    const std::size_t limit = q.max_neighbors > 0 ? q.max_neighbors : SIZE_MAX;
    list.offsets.assign(n + 1, 0);
    auto too_many = [&](std::size_t atom) {
        return Status::fail("Atom " + std::to_string(atom) + " has more than " +
                            std::to_string(q.max_neighbors) + " neighbours within " +
                            format_distance(rc) +
                            " \u00c5; the structure is far too dense for this potential.");
    };
    for (long bx = 0; bx < nbins[0]; ++bx) {
        for (long by = 0; by < nbins[1]; ++by) {
            for (long bz = 0; bz < nbins[2]; ++bz) {
                const std::size_t here =
                    static_cast<std::size_t>((bx * nbins[1] + by) * nbins[2] + bz);
                if (list.bin_start[here] == list.bin_start[here + 1]) {
                    continue;
                }
                stencil.clear();
                for (long dx = 0; dx <= reach[0]; ++dx) {
                    const Step& sx = step(0, bx, dx);
                    if (sx.bin < 0) {
                        continue;
                    }
                    for (long dy = dx == 0 ? 0 : -reach[1]; dy <= reach[1]; ++dy) {
                        const Step& sy = step(1, by, dy);
                        if (sy.bin < 0) {
                            continue;
                        }
                        const std::size_t column =
                            static_cast<std::size_t>((sx.bin * nbins[1] + sy.bin) * nbins[2]);
                        Vec3 shift_xy;
                        for (int x = 0; x < 3; ++x) {
                            shift_xy[x] = static_cast<double>(sx.image) * basis[0][x] +
                                          static_cast<double>(sy.image) * basis[1][x];
                        }
                        const bool centre_column = dx == 0 && dy == 0;
                        long run_first = -1, run_last = -1, run_image = 0;
                        bool run_self = false;
                        auto close_run = [&]() {
                            if (run_first < 0) {
                                return;
                            }
                            const std::size_t first =
                                list.bin_start[column + static_cast<std::size_t>(run_first)];
                            const std::size_t end =
                                list.bin_start[column + static_cast<std::size_t>(run_last) + 1];
                            if (first < end) {
                                Vec3 shift;
                                for (int x = 0; x < 3; ++x) {
                                    shift[x] =
                                        shift_xy[x] + static_cast<double>(run_image) * basis[2][x];
                                }
                                stencil.push_back({first, end, shift, run_self});
                            }
                            run_first = -1;
                        };
                        for (long dz = centre_column ? 0 : -reach[2]; dz <= reach[2]; ++dz) {
                            const Step& sz = step(2, bz, dz);
                            if (sz.bin < 0) {
                                close_run();
                                continue;
                            }
                            if (run_first >= 0 && sz.image == run_image && sz.bin == run_last + 1) {
                                run_last = sz.bin;
                                continue;
                            }
                            close_run();
                            run_first = run_last = sz.bin;
                            run_image = sz.image;
                            run_self = centre_column && dz == 0;
                        }
                        close_run();
                    }
                }
                for (std::size_t i = list.bin_start[here]; i < list.bin_start[here + 1]; ++i) {
                    const double xi = pos[3 * i], yi = pos[3 * i + 1], zi = pos[3 * i + 2];
                    const double* search_row =
                        &search_sq[static_cast<std::size_t>(list.species[i]) * ns];
                    for (const StencilRun& run : stencil) {
                        const double ox = run.shift[0] - xi;
                        const double oy = run.shift[1] - yi;
                        const double oz = run.shift[2] - zi;
                        const std::size_t first = run.from_self ? i + 1 : run.first;
                        const std::size_t end = run.end;
                        for (std::size_t j = first; j < end; ++j) {
                            const double dx = pos[3 * j] + ox;
                            const double dy = pos[3 * j + 1] + oy;
                            const double dz = pos[3 * j + 2] + oz;
                            const double r2 = dx * dx + dy * dy + dz * dz;
                            // Most candidates fail the plain distance test; the
                            // species lookup is left for the few that pass.
                            if (r2 >= rc_sq || r2 >= search_row[list.species[j]]) {
                                continue;
                            }
                            if (r2 < min_sq) {
                                return overlap_status(list.order[i], list.order[j], std::sqrt(r2),
                                                      q.min_distance);
                            }
                            half.push_back({static_cast<std::uint32_t>(i),
                                            static_cast<std::uint32_t>(j), dx, dy, dz,
                                            std::sqrt(r2)});
                            if (count) {
                                // Full-list sizes, counted as found so that a
                                // far too dense structure stops the search.
                                const std::size_t ti = static_cast<std::size_t>(list.species[i]);
                                const std::size_t tj = static_cast<std::size_t>(list.species[j]);
                                if (r2 < cutsq[ti * ns + tj] && ++list.offsets[i + 1] > limit) {
                                    return too_many(list.order[i]);
                                }
                                if (r2 < cutsq[tj * ns + ti] && ++list.offsets[j + 1] > limit) {
                                    return too_many(list.order[j]);
                                }
                            }
                        }
                    }
                }
            }
        }
    }

    if (!q.full) {
        list.offsets.clear();
        list.index.clear();
        list.delta.clear();
        return success();
    }
    // Full list: each found pair goes to both sides (within their cutoffs).
    for (std::size_t i = 0; i < n; ++i) {
        list.offsets[i + 1] += list.offsets[i];
    }
    const std::size_t total = list.offsets[n];
    list.index.resize(total);
    list.delta.resize(4 * total);
    std::vector<std::size_t>& fill = list.bin_of; // reused as write cursors
    fill.assign(list.offsets.begin(), list.offsets.end() - 1);
    for (const HalfPair& p : half) {
        const std::size_t ti = static_cast<std::size_t>(list.species[p.i]);
        const std::size_t tj = static_cast<std::size_t>(list.species[p.j]);
        const double r2 = p.r * p.r;
        if (r2 < cutsq[ti * ns + tj]) {
            const std::size_t k = fill[p.i]++;
            list.index[k] = p.j;
            double* out = &list.delta[4 * k];
            out[0] = p.dx;
            out[1] = p.dy;
            out[2] = p.dz;
            out[3] = p.r;
        }
        if (r2 < cutsq[tj * ns + ti]) {
            const std::size_t k = fill[p.j]++;
            list.index[k] = p.i;
            double* out = &list.delta[4 * k];
            out[0] = -p.dx;
            out[1] = -p.dy;
            out[2] = -p.dz;
            out[3] = p.r;
        }
    }
    return success();
}

Status find_close_pairs(const double* positions, std::size_t n_atoms, const Mat3& cell,
                        const std::array<bool, 3>& pbc, double radius, NeighborList& list) {
    NeighborQuery query;
    query.n_atoms = n_atoms;
    query.positions = positions;
    query.cell = cell;
    query.pbc = pbc;
    query.cutoff = &radius;
    query.full = false;
    return build_neighbor_list(query, list);
}

} // namespace ferrolith::core
