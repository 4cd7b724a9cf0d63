// Kernel tests: layers, reflection, d(hkl), merging of close atoms, Miller planes.
#include "brute_force.hpp"
#include "check.hpp"

#include "ferrolith/core/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <set>
#include <vector>

namespace fc = ferrolith::core;

namespace {

// A small deterministic generator of numbers in [0, 1).
struct Lcg {
    std::uint64_t state;
    double next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

double norm(const fc::Vec3& v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

std::vector<double> flat(const std::vector<fc::Vec3>& rows) {
    std::vector<double> out;
    for (const auto& r : rows) {
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// The brute-force pairs over images -2..2, then union-find: the slow
// reference for merging.
std::vector<std::size_t> brute_force_roots(const std::vector<fc::Vec3>& pos, const fc::Mat3& cell,
                                           double cutoff) {
    std::vector<std::size_t> parent(pos.size());
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    auto find = [&](std::size_t i) {
        while (parent[i] != i) {
            i = parent[i];
        }
        return i;
    };
    for (const brute::Pair& p : brute::pairs(flat(pos), cell, {true, true, true}, cutoff, 2)) {
        const std::size_t ri = find(p.i), rj = find(p.j);
        parent[std::max(ri, rj)] = std::min(ri, rj);
    }
    std::vector<std::size_t> roots;
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (find(i) == i) {
            roots.push_back(i);
        }
    }
    return roots;
}

} // namespace

// ---------------------------------------------------------------------------
// Layers
// ---------------------------------------------------------------------------

TEST_CASE("layers chain close coordinates and split at gaps above the tolerance") {
    // z: 0.5, 0.0, 1.25, 0.25, 1.0 -> sorted 0, .25, .5 | 1.0, 1.25 (gap 0.5 > 0.25 splits).
    const std::vector<double> pos{0, 0, 0.5, 0, 0, 0.0, 0, 0, 1.25, 0, 0, 0.25, 0, 0, 1.0};
    auto out = fc::group_layers(pos.data(), 5, 2, 0.25);
    CHECK(out.value);
    const fc::Layers& l = *out.value;
    CHECK_EQ(l.count(), 2u);
    CHECK((std::vector<std::size_t>(l.atoms.begin(), l.atoms.begin() + 3) ==
           std::vector<std::size_t>{0, 1, 3}));
    CHECK((std::vector<std::size_t>(l.atoms.begin() + 3, l.atoms.end()) ==
           std::vector<std::size_t>{2, 4}));
    // A difference equal to the tolerance still joins; the chain spans 0.5 > tol.
    auto exact = fc::group_layers(pos.data(), 5, 2, 0.5);
    CHECK_EQ(exact.value->count(), 1u);
}

TEST_CASE("layers reject a tolerance that is not positive and non-finite positions") {
    const std::vector<double> pos{0, 0, 0};
    CHECK(!fc::group_layers(pos.data(), 1, 2, 0.0).value);
    CHECK(!fc::group_layers(pos.data(), 1, 2, -1.0).value);
    CHECK(!fc::group_layers(pos.data(), 1, 2, std::nan("")).value);
    const std::vector<double> bad{0, 0, std::nan("")};
    CHECK(!fc::group_layers(bad.data(), 1, 2, 0.1).value);
    CHECK_EQ(fc::group_layers(nullptr, 0, 2, 0.1).value->count(), 0u);
}

// ---------------------------------------------------------------------------
// Minimum image and reflection
// ---------------------------------------------------------------------------

TEST_CASE("2D minimum image matches an exhaustive search on skewed lattices") {
    Lcg rng{7};
    const fc::Vec3 t1{3.0, 0.0, 0.0};
    for (const fc::Vec3& t2 :
         {fc::Vec3{1.5, 2.6, 0.0}, fc::Vec3{17.3, 0.4, 0.0}, fc::Vec3{-29.0, 1.1, 0.0}}) {
        for (int trial = 0; trial < 200; ++trial) {
            const fc::Vec3 d{40 * rng.next() - 20, 40 * rng.next() - 20, rng.next()};
            // For each b the best a is the rounded projection on t1 (along x).
            double best = 1e300;
            for (int b = -300; b <= 300; ++b) {
                const double a0 = std::round((d[0] - b * t2[0]) / t1[0]);
                for (double a = a0 - 1; a <= a0 + 1; a += 1) {
                    fc::Vec3 c{};
                    for (int k = 0; k < 3; ++k) {
                        c[k] = d[k] - a * t1[k] - b * t2[k];
                    }
                    best = std::min(best, norm(c));
                }
            }
            const fc::Vec3 r = fc::minimum_image_2d(d, t1, t2);
            // The result differs from d by a lattice vector: integer coefficients.
            const double cb = (d[1] - r[1]) / t2[1];
            const double ca = (d[0] - r[0] - cb * t2[0]) / t1[0];
            CHECK_NEAR(cb, std::round(cb), 1e-9);
            CHECK_NEAR(ca, std::round(ca), 1e-9);
            CHECK_NEAR(norm(fc::minimum_image_2d(d, t1, t2)), best, 1e-9);
        }
    }
    // Zero and parallel vectors leave a 1D lattice.
    CHECK_NEAR(norm(fc::minimum_image_2d({2.9, 0, 0}, {0, 0, 0}, {1, 0, 0})), 0.1, 1e-12);
    CHECK_NEAR(norm(fc::minimum_image_2d({2.9, 0, 0}, {2, 0, 0}, {1, 0, 0})), 0.1, 1e-12);
}

namespace {
struct Layer {
    std::vector<double> pos;
    std::vector<std::int64_t> z;
    fc::AtomSet view() const { return {pos.data(), z.data(), z.size()}; }
};
const fc::Vec3 kA{4, 0, 0};
const fc::Vec3 kB{2, 3.4641016151377544, 0};
} // namespace

TEST_CASE("a layer mirrors its image across the plane, periodically in-plane") {
    const Layer low{{0, 0, 1.0, 1, 1, 1.0}, {6, 6}};
    // Same in-plane sites, one moved by a lattice vector, at z = 3.
    const Layer high{{1 + 4, 1, 3.0, 0 - 2, 0 - 3.4641016151377544, 3.0}, {6, 6}};
    CHECK(*fc::is_mirror_image(2.0, 2, 0.1, low.view(), high.view(), kA, kB).value);
    CHECK(*fc::is_mirror_image(2.04, 2, 0.1, low.view(), high.view(), kA, kB).value);
    CHECK(!*fc::is_mirror_image(2.2, 2, 0.1, low.view(), high.view(), kA, kB).value);
    const Layer other_element{{0, 0, 3.0, 1, 1, 3.0}, {6, 14}};
    CHECK(!*fc::is_mirror_image(2.0, 2, 0.1, low.view(), other_element.view(), kA, kB).value);
    const Layer fewer{{0, 0, 3.0}, {6}};
    CHECK(!*fc::is_mirror_image(2.0, 2, 0.1, low.view(), fewer.view(), kA, kB).value);
    CHECK(!fc::is_mirror_image(2.0, 2, 0.0, low.view(), high.view(), kA, kB).value);
}

TEST_CASE("reflection needs a one-to-one matching, found by augmenting paths") {
    // a(0) may pair with p(0.04) or q(-0.04); b(0.08) only with p. Pairing a
    // with p first would strand b; the matching must move a to q.
    const Layer first{{0, 0, 0, 0.08, 0, 0}, {1, 1}};
    const Layer second{{0.04, 0, 0, -0.04, 0, 0}, {1, 1}};
    CHECK(*fc::is_mirror_image(0.0, 2, 0.1, first.view(), second.view(), kA, kB).value);
    // Both first atoms near the same single partner: no distinct partners.
    const Layer crowded{{0.04, 0, 0, 1.5, 1.5, 0}, {1, 1}};
    CHECK(!*fc::is_mirror_image(0.0, 2, 0.1, first.view(), crowded.view(), kA, kB).value);
}

// ---------------------------------------------------------------------------
// Cells and planes
// ---------------------------------------------------------------------------

TEST_CASE("d(hkl) of cubic, hexagonal and triclinic cells") {
    const fc::Mat3 cubic{fc::Vec3{4, 0, 0}, fc::Vec3{0, 4, 0}, fc::Vec3{0, 0, 4}};
    CHECK_NEAR(*fc::interplanar_spacing(cubic, {1, 0, 0}).value, 4.0, 1e-12);
    CHECK_NEAR(*fc::interplanar_spacing(cubic, {1, 1, 1}).value, 4.0 / std::sqrt(3.0), 1e-12);
    CHECK_NEAR(*fc::interplanar_spacing(cubic, {2, 0, 0}).value, 2.0, 1e-12);
    const fc::Mat3 hex{fc::Vec3{3, 0, 0}, fc::Vec3{-1.5, 1.5 * std::sqrt(3.0), 0},
                       fc::Vec3{0, 0, 5}};
    CHECK_NEAR(*fc::interplanar_spacing(hex, {0, 0, 1}).value, 5.0, 1e-12);
    CHECK_NEAR(*fc::interplanar_spacing(hex, {1, 0, 0}).value, 1.5 * std::sqrt(3.0), 1e-12);
    // Triclinic: distance from the origin to the plane through a1/h, a2/k, a3/l.
    const fc::Mat3 tri{fc::Vec3{3.1, 0.2, -0.4}, fc::Vec3{0.9, 4.2, 0.3}, fc::Vec3{-0.7, 1.1, 5.3}};
    for (const fc::Vec3& hkl : {fc::Vec3{1, 2, 3}, fc::Vec3{-2, 1, 1}, fc::Vec3{1, 1, -3}}) {
        fc::Vec3 p[3];
        for (int i = 0; i < 3; ++i) {
            for (int k = 0; k < 3; ++k) {
                p[i][k] = tri[i][k] / hkl[i];
            }
        }
        const fc::Vec3 u{p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
        const fc::Vec3 v{p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
        const fc::Vec3 n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                         u[0] * v[1] - u[1] * v[0]};
        const double expected =
            std::fabs(n[0] * p[0][0] + n[1] * p[0][1] + n[2] * p[0][2]) / norm(n);
        CHECK_NEAR(*fc::interplanar_spacing(tri, hkl).value, expected, 1e-12);
    }
    CHECK(!fc::interplanar_spacing(cubic, {0, 0, 0}).value);
    const fc::Mat3 flat_cell{fc::Vec3{1, 0, 0}, fc::Vec3{0, 1, 0}, fc::Vec3{1, 1, 0}};
    CHECK(!fc::interplanar_spacing(flat_cell, {1, 0, 0}).value);
    CHECK(!fc::interplanar_spacing(fc::Mat3{}, {1, 0, 0}).value);
}

TEST_CASE("mirroring reflects only the chosen column") {
    std::vector<double> s{0.25, 0.5, 0.0, 0.1, 0.2, 0.9};
    fc::mirror_fractional(s.data(), 2, 2);
    CHECK((s == std::vector<double>{0.25, 0.5, 1.0, 0.1, 0.2, 1.0 - 0.9}));
}

// ---------------------------------------------------------------------------
// Merging close atoms
// ---------------------------------------------------------------------------

TEST_CASE("merging is transitive and places the atom at the centroid") {
    const std::vector<double> pos{0, 0, 0, 5, 5, 5, 0.15, 0, 0, 0.30, 0, 0, 0.45, 0, 0};
    const fc::Mat3 cell{fc::Vec3{10, 0, 0}, fc::Vec3{0, 10, 0}, fc::Vec3{0, 0, 10}};
    auto out = fc::merge_close_atoms(pos.data(), 5, cell, {true, true, true}, 0.2);
    const fc::MergedAtoms& m = *out.value;
    CHECK((m.representative == std::vector<std::size_t>{0, 1}));
    CHECK_NEAR(m.position[0][0], 0.225, 1e-12);
    CHECK_EQ(m.position[1][0], 5.0); // untouched atoms keep their position exactly
    // A distance equal to the cutoff does not merge.
    auto at_cutoff = fc::merge_close_atoms(pos.data(), 3, cell, {true, true, true}, 0.15);
    CHECK_EQ(at_cutoff.value->representative.size(), 3u);
}

TEST_CASE("merging sees periodic images only along periodic axes") {
    const std::vector<double> pos{0.05, 1, 1, 9.95, 1, 1};
    const fc::Mat3 cell{fc::Vec3{10, 0, 0}, fc::Vec3{0, 10, 0}, fc::Vec3{0, 0, 10}};
    auto periodic = fc::merge_close_atoms(pos.data(), 2, cell, {true, false, false}, 0.2);
    CHECK_EQ(periodic.value->representative.size(), 1u);
    CHECK_NEAR(periodic.value->position[0][0], 0.0, 1e-12); // 0.05 and -0.05
    auto open = fc::merge_close_atoms(pos.data(), 2, cell, {false, true, true}, 0.2);
    CHECK_EQ(open.value->representative.size(), 2u);
    // A cell shorter than the cutoff, and a molecule without a cell.
    const fc::Mat3 tiny{fc::Vec3{1, 0, 0}, fc::Vec3{0, 10, 0}, fc::Vec3{0, 0, 10}};
    const std::vector<double> two{0.1, 0, 0, 0.6, 3, 0};
    CHECK_EQ(fc::merge_close_atoms(two.data(), 2, tiny, {true, true, true}, 3.1)
                 .value->representative.size(),
             1u);
    CHECK_EQ(fc::merge_close_atoms(two.data(), 2, fc::Mat3{}, {false, false, false}, 3.1)
                 .value->representative.size(),
             1u);
}

TEST_CASE("merging rejects bad cutoffs and cells") {
    const std::vector<double> pos{0, 0, 0, 1, 1, 1};
    const fc::Mat3 cell{fc::Vec3{10, 0, 0}, fc::Vec3{0, 10, 0}, fc::Vec3{0, 0, 10}};
    CHECK(!fc::merge_close_atoms(pos.data(), 2, cell, {true, true, true}, -0.1).value);
    CHECK(!fc::merge_close_atoms(pos.data(), 2, fc::Mat3{}, {true, false, false}, 0.1).value);
    const fc::Mat3 flat_cell{fc::Vec3{1, 0, 0}, fc::Vec3{0, 1, 0}, fc::Vec3{1, 1, 0}};
    CHECK(!fc::merge_close_atoms(pos.data(), 2, flat_cell, {true, true, true}, 0.1).value);
    CHECK_EQ(fc::merge_close_atoms(pos.data(), 2, cell, {true, true, true}, 0.0)
                 .value->representative.size(),
             2u);
}

TEST_CASE("merging agrees with all pairs over images in a skewed periodic cell") {
    const fc::Mat3 cell{fc::Vec3{6.0, 0, 0}, fc::Vec3{4.5, 5.0, 0}, fc::Vec3{-2.0, 1.5, 5.5}};
    Lcg rng{42};
    for (const double cutoff : {0.3, 0.8, 1.4}) {
        std::vector<fc::Vec3> pos;
        for (int i = 0; i < 300; ++i) {
            // Fractional coordinates in [-0.2, 1.2): some atoms outside the cell.
            const double s[3] = {1.4 * rng.next() - 0.2, 1.4 * rng.next() - 0.2,
                                 1.4 * rng.next() - 0.2};
            fc::Vec3 r{};
            for (int k = 0; k < 3; ++k) {
                r[k] = s[0] * cell[0][k] + s[1] * cell[1][k] + s[2] * cell[2][k];
            }
            pos.push_back(r);
        }
        const std::vector<double> xyz = flat(pos);
        auto out = fc::merge_close_atoms(xyz.data(), pos.size(), cell, {true, true, true}, cutoff);
        CHECK(out.value->representative == brute_force_roots(pos, cell, cutoff));
    }
}

// ---------------------------------------------------------------------------
// Miller planes
// ---------------------------------------------------------------------------

TEST_CASE("distinct planes: primitive, one sign, ordered by length then decreasing") {
    CHECK_EQ(fc::distinct_planes(1).size(), 13u);
    CHECK(fc::distinct_planes(0).empty());
    for (int n : {2, 3}) {
        // Count the primitive vectors of the cube independently: half of them.
        std::size_t primitive = 0;
        for (int h = -n; h <= n; ++h) {
            for (int k = -n; k <= n; ++k) {
                for (int l = -n; l <= n; ++l) {
                    primitive += std::gcd(std::gcd(std::abs(h), std::abs(k)), std::abs(l)) == 1;
                }
            }
        }
        const auto planes = fc::distinct_planes(n);
        CHECK_EQ(planes.size(), primitive / 2);
        std::set<fc::Hkl> seen;
        for (std::size_t i = 0; i < planes.size(); ++i) {
            const fc::Hkl& p = planes[i];
            CHECK(seen.insert(p).second);
            CHECK(seen.count({-p[0], -p[1], -p[2]}) == 0);
            if (i > 0) {
                const fc::Hkl& q = planes[i - 1];
                const int nq = q[0] * q[0] + q[1] * q[1] + q[2] * q[2];
                const int np = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
                CHECK(nq < np || (nq == np && q > p));
            }
        }
    }
    const auto first = fc::distinct_planes(1);
    CHECK((first[0] == fc::Hkl{1, 0, 0} && first[3] == fc::Hkl{1, 1, 0} &&
           first[6] == fc::Hkl{1, -1, 0} && first[12] == fc::Hkl{1, -1, -1}));
}

TEST_CASE("equivalent planes: the cube's group joins the permutations and signs of hkl") {
    // The 48 signed permutation matrices: the point group m-3m of a cubic cell.
    std::vector<fc::IntMat3> cubic;
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& p : perms) {
        for (int signs = 0; signs < 8; ++signs) {
            fc::IntMat3 r{};
            for (int row = 0; row < 3; ++row) {
                r[row][p[row]] = (signs >> row & 1) != 0 ? -1 : 1;
            }
            cubic.push_back(r);
        }
    }
    const auto planes = fc::distinct_planes(2);
    const auto first = fc::first_equivalent_planes(cubic, planes);
    CHECK_EQ(first.size(), planes.size());
    // Independent key: the sorted absolute indices name a cubic plane family.
    auto family = [](fc::Hkl h) {
        for (int& v : h) {
            v = std::abs(v);
        }
        std::sort(h.begin(), h.end());
        return h;
    };
    std::set<fc::Hkl> families;
    for (std::size_t i = 0; i < planes.size(); ++i) {
        if (first[i] < 0) {
            CHECK(families.insert(family(planes[i])).second);
        } else {
            CHECK(static_cast<std::size_t>(first[i]) < i);
            CHECK(first[static_cast<std::size_t>(first[i])] == -1);
            CHECK(family(planes[static_cast<std::size_t>(first[i])]) == family(planes[i]));
        }
    }
    // {100} {110} {111} {210} {211} {221}
    CHECK_EQ(families.size(), 6u);
    // Without symmetry every listed plane is its own.
    for (std::ptrdiff_t f : fc::first_equivalent_planes({}, planes)) {
        CHECK_EQ(f, -1);
    }
}
