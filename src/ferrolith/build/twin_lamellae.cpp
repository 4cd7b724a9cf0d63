#include "ferrolith/build/twin_lamellae.hpp"

#include "ferrolith/build/twin_grains.hpp"
#include "ferrolith/core/geometry.hpp"
#include "ferrolith/core/twin_rotation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace ferrolith::build {

namespace {

using TwinOutcome = core::Outcome<LamellaTwin>;

// Integer lattice vectors searched for the slab's cell, per index.
constexpr int kSearchRange = 6;

Vec3 lattice_vector(const Mat3& cell, const std::array<int, 3>& u) {
    Vec3 v{};
    for (int r = 0; r < 3; ++r) {
        v = add(v, scale(cell[r], static_cast<double>(u[r])));
    }
    return v;
}

// The shortest lattice vector u with h·u == target, optionally also spanning
// with `other` a 2D cell of area `area`; nothing when none lies in range.
std::optional<Vec3> shortest_vector(const Mat3& cell, const std::array<int, 3>& hkl, int target,
                                    const Vec3* other = nullptr, double area = 0.0) {
    std::optional<Vec3> best;
    for (int a = -kSearchRange; a <= kSearchRange; ++a) {
        for (int b = -kSearchRange; b <= kSearchRange; ++b) {
            for (int c = -kSearchRange; c <= kSearchRange; ++c) {
                if (hkl[0] * a + hkl[1] * b + hkl[2] * c != target ||
                    (a == 0 && b == 0 && c == 0)) {
                    continue;
                }
                const Vec3 v = lattice_vector(cell, {a, b, c});
                if (other != nullptr &&
                    std::fabs(norm(cross(*other, v)) - area) > 1e-6 * std::max(area, 1.0)) {
                    continue;
                }
                if (!best || norm(v) < norm(*best) - 1e-9) {
                    best = v;
                }
            }
        }
    }
    return best;
}

// A slab of the seed, `repeats` periods thick along the normal, in the frame
// (e1, e2, normal): in-plane cell t1, t2 and layers, as the twin kernels read it.
struct SlabData {
    std::vector<double> positions;
    std::vector<std::int64_t> numbers;
    core::SlabView view;
};

SlabData cut_slab(const SeedCrystal& seed, const Mat3& frame, const Vec3& t1, const Vec3& t2,
                  const Vec3& t3, int repeats) {
    SlabData slab;
    const Mat3 super{t1, t2, t3};
    const Mat3 inv_super = inverse(super);
    const Mat3 inv_cell = inverse(seed.cell);
    // Lattice points of the seed inside the cell (t1, t2, t3): one per coset.
    long range[3];
    for (int r = 0; r < 3; ++r) {
        double extent = 0.0;
        for (const Vec3& t : super) {
            extent += std::fabs(mul_transposed(inv_cell, t)[r]);
        }
        range[r] = static_cast<long>(std::ceil(extent)) + 1;
    }
    std::vector<Vec3> points;
    for (long i = -range[0]; i <= range[0]; ++i) {
        for (long j = -range[1]; j <= range[1]; ++j) {
            for (long k = -range[2]; k <= range[2]; ++k) {
                const Vec3 p = add(add(scale(seed.cell[0], static_cast<double>(i)),
                                       scale(seed.cell[1], static_cast<double>(j))),
                                   scale(seed.cell[2], static_cast<double>(k)));
                const Vec3 f = mul_transposed(inv_super, p);
                bool inside = true;
                for (double x : f) {
                    inside = inside && x >= -1e-9 && x < 1.0 - 1e-9;
                }
                if (inside) {
                    points.push_back(p);
                }
            }
        }
    }
    for (int rep = 0; rep < repeats; ++rep) {
        for (const Vec3& p : points) {
            for (std::size_t b = 0; b < seed.positions.size(); ++b) {
                Vec3 f = mul_transposed(inv_super, add(p, seed.positions[b]));
                for (double& x : f) {
                    x -= std::floor(x);
                }
                f[2] += static_cast<double>(rep);
                const Vec3 x = add(add(scale(t1, f[0]), scale(t2, f[1])), scale(t3, f[2]));
                const Vec3 local = mul(frame, x);
                slab.positions.insert(slab.positions.end(), local.begin(), local.end());
                slab.numbers.push_back(seed.numbers[b]);
            }
        }
    }
    slab.view.positions = slab.positions.data();
    slab.view.numbers = slab.numbers.data();
    slab.view.n_atoms = slab.numbers.size();
    slab.view.t1 = mul(frame, t1);
    slab.view.t2 = mul(frame, t2);
    slab.view.t1[2] = slab.view.t2[2] = 0.0;
    return slab;
}

core::Status group_slab_layers(SlabData& slab, double tol) {
    auto layers = core::group_layers(slab.positions.data(), slab.numbers.size(), 2, tol);
    if (!layers) {
        return core::Status::fail(layers.error);
    }
    for (std::size_t k = 0; k < layers.value->count(); ++k) {
        std::vector<std::int64_t> members;
        double z = 0.0;
        for (std::size_t o = layers.value->offsets[k]; o < layers.value->offsets[k + 1]; ++o) {
            const std::size_t a = layers.value->atoms[o];
            members.push_back(static_cast<std::int64_t>(a));
            z += slab.positions[3 * a + 2];
        }
        slab.view.coords.push_back(z / static_cast<double>(members.size()));
        slab.view.layers.push_back(std::move(members));
    }
    return core::success();
}

// The first mirror plane of the slab's layers, as the twin builder searches it.
std::optional<double> mirror_height(const SlabData& slab, double tol) {
    std::vector<std::vector<double>> layer_pos;
    std::vector<std::vector<std::int64_t>> layer_num;
    for (const auto& members : slab.view.layers) {
        std::vector<double> p;
        std::vector<std::int64_t> z;
        for (std::int64_t a : members) {
            const auto i = static_cast<std::size_t>(a);
            p.insert(p.end(), slab.positions.begin() + static_cast<std::ptrdiff_t>(3 * i),
                     slab.positions.begin() + static_cast<std::ptrdiff_t>(3 * i + 3));
            z.push_back(slab.numbers[i]);
        }
        layer_pos.push_back(std::move(p));
        layer_num.push_back(std::move(z));
    }
    const ReflectionTest test = [&](double plane, std::size_t lower, std::size_t upper) {
        const core::AtomSet a{layer_pos[lower].data(), layer_num[lower].data(),
                              layer_num[lower].size()};
        const core::AtomSet b{layer_pos[upper].data(), layer_num[upper].data(),
                              layer_num[upper].size()};
        const auto same = core::is_mirror_image(plane, 2, tol, a, b, slab.view.t1, slab.view.t2);
        return same && *same.value;
    };
    const MirrorPlane found = search_mirror_plane(slab.view.coords, test);
    // Index 0 counts as no plane, as the twin builder's choice of operation has it.
    if (found.index == 0) {
        return std::nullopt;
    }
    const std::vector<double>& z = slab.view.coords;
    if (found.kind == MirrorPlane::Kind::kThroughLayer) {
        return z[found.index];
    }
    if (found.kind == MirrorPlane::Kind::kBetweenLayers) {
        return 0.5 * (z[found.index] + z[found.index + 1]);
    }
    return std::nullopt;
}

Mat3 outer_op(const Vec3& n, double sign) {
    // sign +1: half turn 2nn - I; sign -1: reflection I - 2nn.
    Mat3 m{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const double delta = r == c ? 1.0 : 0.0;
            m[r][c] = sign * (2.0 * n[r] * n[c] - delta);
        }
    }
    return m;
}

} // namespace

TwinOutcome find_lamella_twin(const SeedCrystal& seed, const std::array<int, 3>& hkl_in,
                              TwinOperation operation, double tol) {
    const int common =
        std::gcd(std::gcd(std::abs(hkl_in[0]), std::abs(hkl_in[1])), std::abs(hkl_in[2]));
    if (common == 0) {
        return TwinOutcome::fail("the twin plane needs a non-zero Miller index");
    }
    LamellaTwin twin;
    twin.hkl = {hkl_in[0] / common, hkl_in[1] / common, hkl_in[2] / common};
    const Mat3 rec = core::reciprocal(seed.cell);
    Vec3 g{};
    for (int r = 0; r < 3; ++r) {
        g = add(g, scale(rec[r], static_cast<double>(twin.hkl[r])));
    }
    twin.spacing = 1.0 / norm(g);
    twin.normal = scale(g, twin.spacing);
    const double volume = std::fabs(determinant(seed.cell));
    const std::optional<Vec3> t1 = shortest_vector(seed.cell, twin.hkl, 0);
    std::optional<Vec3> t2;
    if (t1) {
        t2 = shortest_vector(seed.cell, twin.hkl, 0, &*t1, volume / twin.spacing);
    }
    const std::optional<Vec3> t3 = shortest_vector(seed.cell, twin.hkl, 1);
    if (!t1 || !t2 || !t3) {
        return TwinOutcome::fail("the plane's lattice vectors are too long for a twin search");
    }
    twin.period = *t3;
    const Vec3 e1 = scale(*t1, 1.0 / norm(*t1));
    const Mat3 frame{e1, cross(twin.normal, e1), twin.normal};

    const std::size_t n_seed = seed.numbers.size();
    std::vector<double> seed_pos;
    for (const Vec3& p : seed.positions) {
        seed_pos.insert(seed_pos.end(), p.begin(), p.end());
    }
    const auto shell = core::first_shell_radius(seed_pos.data(), n_seed, seed.cell);
    if (!shell) {
        return TwinOutcome::fail(shell.error);
    }
    const int repeats = 6 + static_cast<int>(std::ceil(2.0 * (*shell.value + tol) / twin.spacing));
    SlabData slab = cut_slab(seed, frame, *t1, *t2, *t3, repeats);
    if (auto grouped = group_slab_layers(slab, tol); !grouped) {
        return TwinOutcome::fail(grouped.error);
    }

    if (operation != TwinOperation::kRotation) {
        if (const std::optional<double> z = mirror_height(slab, tol)) {
            twin.mirror = true;
            twin.plane = *z;
            twin.op = outer_op(twin.normal, -1.0);
            twin.shift = scale(twin.normal, 2.0 * *z);
            return TwinOutcome::ok(twin);
        }
        if (operation == TwinOperation::kMirror) {
            return TwinOutcome::fail("Failed to find any valid mirror plane by reflection.");
        }
    }
    const auto symmetric = core::rotation_is_symmetry(seed_pos.data(), seed.numbers.data(), n_seed,
                                                      seed.cell, twin.normal, tol);
    if (!symmetric) {
        return TwinOutcome::fail(symmetric.error);
    }
    if (*symmetric.value) {
        return TwinOutcome::fail(
            "the half turn about the plane normal is a symmetry of the crystal, "
            "so it makes no twin");
    }
    const auto found = core::find_rotation_twin(slab.view, twin.spacing, 1, *shell.value, tol);
    if (!found) {
        return TwinOutcome::fail(found.error);
    }
    if (!*found.value) {
        return TwinOutcome::fail(
            "no two-fold rotation about the plane normal keeps the bulk's bonds across the "
            "boundary");
    }
    const core::RotationTwin& r = **found.value;
    const std::vector<double>& z = slab.view.coords;
    twin.plane = 0.5 * (z[r.top] + z[r.top + 1]);
    // The turned copy of the grain [bottom, top] sits with its bottom layer at
    // layer top + 1: in the seed frame, the half turn about the normal through
    // the origin, then this shift.
    const Vec3 local{r.shift[0], r.shift[1], z[r.top + 1] - z[r.bottom]};
    twin.shift = mul_transposed(frame, local);
    twin.op = outer_op(twin.normal, 1.0);
    return TwinOutcome::ok(twin);
}

std::vector<std::array<int, 3>>
equivalent_planes(const std::array<int, 3>& hkl, const std::vector<std::array<int, 9>>& rotations) {
    std::vector<std::array<int, 3>> out{hkl};
    auto known = [&](const std::array<int, 3>& p) {
        return std::any_of(out.begin(), out.end(), [&](const std::array<int, 3>& q) {
            return (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) ||
                   (p[0] == -q[0] && p[1] == -q[1] && p[2] == -q[2]);
        });
    };
    for (const std::array<int, 9>& w : rotations) {
        // Miller indices are covariant: h' = h W.
        std::array<int, 3> p{};
        for (int c = 0; c < 3; ++c) {
            p[c] = hkl[0] * w[c] + hkl[1] * w[3 + c] + hkl[2] * w[6 + c];
        }
        if (!known(p)) {
            out.push_back(p);
        }
    }
    return out;
}

core::Outcome<std::vector<Lamella>> stack_lamellae(const LamellaTwin& twin, double h_min,
                                                   double h_max, std::int64_t phase,
                                                   const std::vector<std::int64_t>& thickness) {
    using Result = core::Outcome<std::vector<Lamella>>;
    const double d = twin.spacing;
    std::vector<Lamella> out;
    Mat3 op{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    Vec3 shift{};
    double lower =
        twin.plane + (std::floor((h_min - twin.plane) / d) - static_cast<double>(phase)) * d;
    for (std::int64_t layers : thickness) {
        layers = std::max<std::int64_t>(layers, 1);
        const double upper = lower + static_cast<double>(layers) * d;
        out.push_back({lower, upper, op, shift, layers});
        if (upper >= h_max) {
            out.front().lower = -HUGE_VAL;
            out.back().upper = HUGE_VAL;
            return Result::ok(std::move(out));
        }
        // The next lamella is this one's twin across the plane at `upper`: the
        // twin map of plane m of the family, z(m) = plane + m d, carried over by
        // this lamella's own map, whose linear part keeps or flips heights.
        const double sign = dot(twin.normal, mul(op, twin.normal));
        const double m = std::round((sign * (upper - dot(twin.normal, shift)) - twin.plane) / d);
        const Vec3 step = add(twin.shift, scale(twin.period, m));
        shift = add(mul(op, step), shift);
        op = mul(op, twin.op);
        lower = upper;
    }
    return Result::fail("too few lamella thicknesses for the grain");
}

} // namespace ferrolith::build
