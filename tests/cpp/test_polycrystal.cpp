// Kernel tests of the polycrystal builder: orientations, periodic Voronoi cells,
// grain filling and the removal of close atoms.
#include "brute_force.hpp"
#include "check.hpp"

#include "ferrolith/build/atom_order.hpp"
#include "ferrolith/build/close_pairs.hpp"
#include "ferrolith/build/grain_fill.hpp"
#include "ferrolith/build/grain_nodes.hpp"
#include "ferrolith/build/orientation.hpp"
#include "ferrolith/build/polycrystal_params.hpp"
#include "ferrolith/build/voronoi.hpp"
#include "ferrolith/io/cfg_writer.hpp"
#include "ferrolith/io/lammps_data.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

using namespace ferrolith::build;
using namespace ferrolith::io;

namespace {

// A small deterministic generator of numbers in [0, 1).
struct Lcg {
    std::uint64_t state;
    double next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

double max_abs_diff(const Mat3& a, const Mat3& b) {
    double d = 0.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            d = std::max(d, std::fabs(a[r][c] - b[r][c]));
        }
    }
    return d;
}

std::vector<Vec3> random_nodes(Lcg& rng, std::size_t n, const Vec3& box) {
    std::vector<Vec3> nodes;
    for (std::size_t k = 0; k < n; ++k) {
        nodes.push_back({rng.next() * box[0], rng.next() * box[1], rng.next() * box[2]});
    }
    return nodes;
}

// Minimum-image displacement from a to b in an orthorhombic box.
Vec3 min_image(const Vec3& a, const Vec3& b, const Vec3& box) {
    Vec3 d = sub(b, a);
    for (int c = 0; c < 3; ++c) {
        d[c] -= box[c] * std::round(d[c] / box[c]);
    }
    return d;
}

SeedCrystal fcc_seed(double a) {
    SeedCrystal seed;
    seed.cell = {Vec3{a, 0, 0}, Vec3{0, a, 0}, Vec3{0, 0, a}};
    seed.positions = {{0, 0, 0}, {0, a / 2, a / 2}, {a / 2, 0, a / 2}, {a / 2, a / 2, 0}};
    seed.numbers = {13, 13, 13, 13};
    return seed;
}

std::size_t fill_count(const SeedCrystal& seed, const std::vector<Vec3>& nodes,
                       const std::vector<Mat3>& rotations, const Vec3& box,
                       std::vector<double>* positions = nullptr) {
    const auto cells = periodic_voronoi(nodes, box);
    std::size_t total = 0;
    for (std::size_t g = 0; g < nodes.size(); ++g) {
        GrainLattice lattice(seed, nodes[g], rotations[g], cells[g]);
        const std::size_t n = lattice.count();
        if (positions) {
            const std::size_t at = positions->size() / 3;
            positions->resize(3 * (at + n));
            std::vector<std::int64_t> numbers(n), grain(n);
            lattice.fill(positions->data() + 3 * at, numbers.data(), grain.data(),
                         static_cast<std::int64_t>(g));
        }
        total += n;
    }
    return total;
}

const Mat3 kIdentity{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};

} // namespace

// ---------------------------------------------------------------------------
// Orientations
// ---------------------------------------------------------------------------

TEST_CASE("euler rotation applies x first, then y, then z") {
    // Rx(90) leaves x alone; Ry(90) then takes it to -z. The other order gives +y.
    const Mat3 r = rotation_from_euler(90.0, 90.0, 0.0);
    const Vec3 x = mul(r, Vec3{1, 0, 0});
    CHECK_NEAR(x[0], 0.0, 1e-12);
    CHECK_NEAR(x[1], 0.0, 1e-12);
    CHECK_NEAR(x[2], -1.0, 1e-12);
    // Right-handed: 90 degrees about z takes x to y.
    const Vec3 y = mul(rotation_from_euler(0.0, 0.0, 90.0), Vec3{1, 0, 0});
    CHECK_NEAR(y[1], 1.0, 1e-12);
}

TEST_CASE("euler angles survive a round trip, also at gimbal lock") {
    Lcg rng{7};
    for (int k = 0; k < 500; ++k) {
        const Vec3 a = euler_from_uniforms(rng.next(), rng.next(), rng.next());
        const Mat3 r = rotation_from_euler(a[0], a[1], a[2]);
        const Vec3 back = euler_from_rotation(r);
        CHECK(max_abs_diff(rotation_from_euler(back[0], back[1], back[2]), r) < 1e-12);
        CHECK_NEAR(back[1], a[1], 1e-9);
    }
    for (double beta : {90.0, -90.0}) {
        const Mat3 r = rotation_from_euler(30.0, beta, 50.0);
        const Vec3 back = euler_from_rotation(r);
        CHECK(max_abs_diff(rotation_from_euler(back[0], back[1], back[2]), r) < 1e-12);
        CHECK_EQ(back[0], 0.0);
    }
}

TEST_CASE("drawn orientations are uniform over rotations") {
    // Under the invariant measure every matrix element has mean 0 and mean
    // square 1/3; a bias in the β draw shows up in the third row.
    Lcg rng{11};
    const int n = 40000;
    Mat3 mean{}, square{};
    for (int k = 0; k < n; ++k) {
        const Vec3 a = euler_from_uniforms(rng.next(), rng.next(), rng.next());
        const Mat3 r = rotation_from_euler(a[0], a[1], a[2]);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                mean[i][j] += r[i][j] / n;
                square[i][j] += r[i][j] * r[i][j] / n;
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            CHECK_NEAR(mean[i][j], 0.0, 0.015);
            CHECK_NEAR(square[i][j], 1.0 / 3.0, 0.015);
        }
    }
}

TEST_CASE("misorientation angle of two rotations") {
    const Mat3 a = rotation_from_euler(10.0, 20.0, 30.0);
    const Mat3 b = mul(a, rotation_from_euler(0.0, 0.0, 25.0));
    CHECK_NEAR(misorientation_angle(a, b), 25.0, 1e-9);
    CHECK_NEAR(misorientation_angle(a, a), 0.0, 1e-6);
}

TEST_CASE("miller direction tokens") {
    auto parsed = [](const char* text) { return parse_miller_direction(text); };
    CHECK((parsed("[100]") == MillerDirection{1, 0, 0}));
    CHECK((parsed("[1-10]") == MillerDirection{1, -1, 0}));
    CHECK((parsed("[-1-1-1]") == MillerDirection{-1, -1, -1}));
    CHECK((parsed("[+11-2]") == MillerDirection{1, 1, -2}));
    CHECK((parsed("[10,-3,1]") == MillerDirection{10, -3, 1}));
    CHECK((parsed("[10_-3_1]") == MillerDirection{10, -3, 1}));
    for (const char* bad : {"[10]", "[1000]", "100", "[1,2]", "[1,2,3,4]", "[a00]", "[1--10]", "[]",
                            "[1-]", "(100)", "[1,,2]"}) {
        CHECK(!parsed(bad));
    }
    CHECK_EQ(format_miller_direction({1, -1, 0}), std::string("[1-10]"));
    CHECK_EQ(format_miller_direction({10, -3, 1}), std::string("[10,-3,1]"));
}

TEST_CASE("decimal numbers for angles") {
    CHECK_EQ(*parse_decimal("45"), 45.0);
    CHECK_EQ(*parse_decimal("-30.5"), -30.5);
    CHECK_EQ(*parse_decimal(".5e1"), 5.0);
    for (const char* bad : {"", "-", "nan", "inf", "1e", "0x10", " 1", "1.5abc", "1e999"}) {
        CHECK(!parse_decimal(bad));
    }
}

TEST_CASE("rotation from miller directions puts each direction on its axis") {
    const Mat3 cubic{Vec3{4, 0, 0}, Vec3{0, 4, 0}, Vec3{0, 0, 4}};
    const RotationResult r = rotation_from_directions({{{1, -1, 0}, {1, 1, -2}, {1, 1, 1}}}, cubic);
    CHECK(r.rotation.has_value());
    const Vec3 z = mul(*r.rotation, Vec3{1, 1, 1});
    CHECK_NEAR(z[0], 0.0, 1e-12);
    CHECK_NEAR(z[1], 0.0, 1e-12);
    CHECK_NEAR(z[2], std::sqrt(3.0), 1e-12);
    CHECK_NEAR(determinant(*r.rotation), 1.0, 1e-12);

    // Directions are taken on the seed's own cell: in a hexagonal cell [100] and
    // [120] are orthogonal, [100] and [010] are not.
    const double a = 3.2, c = 5.2;
    const Mat3 hex{Vec3{a, 0, 0}, Vec3{-a / 2, a * std::sqrt(3.0) / 2, 0}, Vec3{0, 0, c}};
    CHECK(rotation_from_directions({{{1, 0, 0}, {1, 2, 0}, {0, 0, 1}}}, hex).rotation);
    const RotationResult skew = rotation_from_directions({{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, hex);
    CHECK(!skew.rotation);
    CHECK_EQ(skew.error, std::string("directions [100] and [010] are not orthogonal"));

    const RotationResult left =
        rotation_from_directions({{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, cubic);
    CHECK(!left.rotation);
    CHECK(left.error.find("left-handed") != std::string::npos);
    const RotationResult zero =
        rotation_from_directions({{{0, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, cubic);
    CHECK_EQ(zero.error, std::string("direction [000] is zero"));
}

TEST_CASE("orientation tokens of a node record") {
    using Kind = OrientationRequest::Kind;
    CHECK(parse_orientation({"Random"}).kind == Kind::kRandom);
    const OrientationRequest angles = parse_orientation({"45", "30", "-0.5"});
    CHECK(angles.kind == Kind::kAngles);
    CHECK_EQ(angles.angles[2], -0.5);
    CHECK(parse_orientation({"[100]", "[010]", "[001]"}).kind == Kind::kDirections);
    CHECK(parse_orientation({"45", "[010]", "0"}).kind == Kind::kInvalid);
    CHECK(parse_orientation({"45", "30"}).kind == Kind::kInvalid);
    CHECK(parse_orientation({}).kind == Kind::kInvalid);
    CHECK(parse_orientation({"nan", "0", "0"}).kind == Kind::kInvalid);
    CHECK(parse_orientation({"randomly"}).kind == Kind::kInvalid);
}

// ---------------------------------------------------------------------------
// Voronoi cells
// ---------------------------------------------------------------------------

TEST_CASE("a single node owns the whole periodic box") {
    const Vec3 box{10, 12, 14};
    const auto cells = periodic_voronoi({{3, 4, 5}}, box);
    CHECK_NEAR(cells[0].volume, 10.0 * 12 * 14, 1e-9);
    CHECK_EQ(cells[0].vertices.size(), std::size_t{8});
}

TEST_CASE("cells of random nodes tile the box and hold their nearest points") {
    Lcg rng{3};
    const Vec3 box{50, 40, 60};
    for (std::size_t n : {2u, 7u, 60u}) {
        const auto nodes = random_nodes(rng, n, box);
        const auto cells = periodic_voronoi(nodes, box);
        double total = 0.0;
        for (const auto& cell : cells) {
            total += cell.volume;
        }
        CHECK_NEAR(total / (box[0] * box[1] * box[2]), 1.0, 1e-9);
        // Points go to their nearest node by brute force over 27 images; that
        // node's planes admit them and the cell's vertices stay within reach.
        for (int k = 0; k < 300; ++k) {
            const Vec3 x{rng.next() * box[0], rng.next() * box[1], rng.next() * box[2]};
            std::size_t best = 0;
            double best_d = std::numeric_limits<double>::infinity();
            for (std::size_t g = 0; g < n; ++g) {
                const double d = norm(min_image(nodes[g], x, box));
                if (d < best_d) {
                    best_d = d, best = g;
                }
            }
            const Vec3 rel = min_image(nodes[best], x, box);
            for (const CellPlane& plane : cells[best].planes) {
                CHECK(dot(plane.normal, rel) <= plane.distance + 1e-9);
            }
        }
    }
}

TEST_CASE("nodes on an fcc lattice give rhombic dodecahedra") {
    const Vec3 box{20, 20, 20};
    const auto nodes = *lattice_nodes("fcc", box);
    const auto cells = periodic_voronoi(nodes, box);
    for (const auto& cell : cells) {
        CHECK_NEAR(cell.volume, 2000.0, 1e-9);
        CHECK_EQ(cell.vertices.size(), std::size_t{14});
    }
}

TEST_CASE("clipping a cube by a plane through its centre halves it") {
    ConvexPolyhedron cube(Vec3{1, 1, 1});
    const Vec3 n{1 / std::sqrt(2.0), 1 / std::sqrt(2.0), 0};
    CHECK(cube.clip(n, 0.0, 7, 1e-12, 1e-9) == ConvexPolyhedron::ClipResult::kCut);
    CHECK_NEAR(cube.volume(), 4.0, 1e-12);
    const auto ids = cube.face_plane_ids();
    CHECK(std::find(ids.begin(), ids.end(), 7) != ids.end());
    CHECK(cube.clip(Vec3{1, 0, 0}, 5.0, 8, 1e-12, 1e-9) == ConvexPolyhedron::ClipResult::kOutside);
    CHECK(cube.clip(Vec3{-1, 0, 0}, 1.0, 9, 1e-12, 1e-9) == ConvexPolyhedron::ClipResult::kTouch);
}

// ---------------------------------------------------------------------------
// Grain filling
// ---------------------------------------------------------------------------

TEST_CASE("one aligned grain fills a commensurate box exactly once") {
    // Atoms fall exactly on opposite faces of the cell; the tie rule keeps one
    // copy of each, so the count is that of the perfect crystal.
    const double a = 4.0;
    const SeedCrystal seed = fcc_seed(a);
    const Vec3 box{10 * a, 10 * a, 10 * a};
    for (const Vec3& node : {Vec3{0, 0, 0}, Vec3{20, 20, 20}, Vec3{3.3, 17.1, 39.9}}) {
        CHECK_EQ(fill_count(seed, {node}, {kIdentity}, box), std::size_t{4000});
    }
}

TEST_CASE("aligned grains on lattice nodes share face atoms without doubles") {
    // Every grain has the same orientation and its nodes lie on lattice points,
    // so the grains together form one perfect crystal: atoms on shared faces,
    // edges and corners must go to exactly one grain.
    const double a = 4.0;
    const SeedCrystal seed = fcc_seed(a);
    const Vec3 box{8 * a, 8 * a, 8 * a};
    for (const char* lattice : {"fcc", "bcc", "diamond"}) {
        const auto nodes = *lattice_nodes(lattice, box);
        const std::vector<Mat3> rotations(nodes.size(), kIdentity);
        std::vector<double> positions;
        CHECK_EQ(fill_count(seed, nodes, rotations, box, &positions), std::size_t{2048});
        const auto keep = keep_apart(positions.data(), positions.size() / 3, box, 0.1);
        CHECK(std::all_of(keep.begin(), keep.end(), [](std::uint8_t k) { return k == 1; }));
    }
}

TEST_CASE("a trimmed slab of a cell holds the same atoms in the same order") {
    // Slabs of a rotated grain, as twin lamellae cut it: trimming the planes
    // and narrowing the rows to the slab must change nothing, bit for bit,
    // also for slabs that graze the cell or miss it.
    Lcg rng{11};
    const SeedCrystal seed = fcc_seed(3.615);
    const Vec3 box{60, 60, 60};
    const auto nodes = random_nodes(rng, 5, box);
    const auto cells = periodic_voronoi(nodes, box);
    const Mat3 rotation = rotation_from_euler(31.0, -47.0, 112.0);
    const Vec3 normal = scale(Vec3{1, 2, -2}, 1.0 / 3.0);
    auto atoms_of = [&](const GrainLattice& lattice) {
        std::vector<double> positions(3 * lattice.count());
        std::vector<std::int64_t> numbers(lattice.count()), grain(lattice.count());
        lattice.fill(positions.data(), numbers.data(), grain.data(), 0);
        return positions;
    };
    std::size_t total = 0;
    for (std::size_t g = 0; g < nodes.size(); ++g) {
        for (double lower = -60.0; lower < 60.0; lower += 7.3) {
            VoronoiCell piece = cells[g];
            piece.planes.push_back(CellPlane{normal, lower + 7.3, false, 0, {}});
            piece.planes.push_back(CellPlane{scale(normal, -1.0), -lower, true, 0, {}});
            const GrainLattice whole(seed, nodes[g], rotation, piece);
            const std::size_t n_planes = piece.planes.size();
            const std::vector<Vec3> corners = trim_cell_piece(piece);
            CHECK(piece.planes.size() <= n_planes);
            const GrainLattice trimmed(seed, nodes[g], rotation, piece, 1e-6, &corners);
            CHECK_EQ(trimmed.count(), whole.count());
            CHECK(atoms_of(trimmed) == atoms_of(whole));
            total += whole.count();
        }
    }
    // The slabs tile the grains: every atom of the box, once.
    CHECK_EQ(total, fill_count(seed, nodes, std::vector<Mat3>(nodes.size(), rotation), box));
}

TEST_CASE("rotated grains fill their cells at the seed's density") {
    const double a = 4.046;
    const SeedCrystal seed = fcc_seed(a);
    const Vec3 box{60, 60, 60};
    Lcg rng{5};
    const auto nodes = random_nodes(rng, 6, box);
    std::vector<Mat3> rotations;
    for (std::size_t g = 0; g < nodes.size(); ++g) {
        const Vec3 e = euler_from_uniforms(rng.next(), rng.next(), rng.next());
        rotations.push_back(rotation_from_euler(e[0], e[1], e[2]));
    }
    std::vector<double> positions;
    const std::size_t n = fill_count(seed, nodes, rotations, box, &positions);
    const double bulk = 4.0 / (a * a * a) * box[0] * box[1] * box[2];
    CHECK_NEAR(static_cast<double>(n) / bulk, 1.0, 0.01);
    // Each atom is no farther from its own node than from any other.
    const auto cells = periodic_voronoi(nodes, box);
    std::size_t at = 0;
    for (std::size_t g = 0; g < nodes.size(); ++g) {
        const std::size_t count = GrainLattice(seed, nodes[g], rotations[g], cells[g]).count();
        for (std::size_t k = 0; k < count; ++k, ++at) {
            const Vec3 x{positions[3 * at], positions[3 * at + 1], positions[3 * at + 2]};
            const double own = norm(min_image(nodes[g], x, box));
            for (const Vec3& other : nodes) {
                CHECK(own <= norm(min_image(other, x, box)) + 1e-5);
            }
        }
    }
}

TEST_CASE("wrapping maps positions into the half-open box") {
    std::vector<double> p{-1e-17, 10.0, 25.0, -0.5, 3.0, 9.999};
    wrap_into_box(p.data(), 2, Vec3{10, 10, 10});
    CHECK_EQ(p[0], 0.0);
    CHECK_EQ(p[1], 0.0);
    CHECK_NEAR(p[2], 5.0, 1e-12);
    CHECK_NEAR(p[3], 9.5, 1e-12);
    CHECK_EQ(p[5], 9.999);
}

// ---------------------------------------------------------------------------
// Nodes
// ---------------------------------------------------------------------------

TEST_CASE("lattice node sets and checks") {
    const Vec3 box{10, 10, 10};
    CHECK_EQ(lattice_nodes("fcc", box)->size(), std::size_t{4});
    CHECK_EQ(lattice_nodes("bcc", box)->size(), std::size_t{2});
    CHECK_EQ(lattice_nodes("diamond", box)->size(), std::size_t{8});
    CHECK_EQ(lattice_nodes("hcp", box)->size(), std::size_t{4});
    CHECK(!lattice_nodes("sc", box));
    CHECK(inside_box({0, 10, 5}, box));
    CHECK(!inside_box({0, 10.001, 5}, box));
    CHECK(!inside_box({-1e-9, 1, 1}, box));

    // Coincident across the periodic face x = 0 / x = L, and the first such pair.
    const auto pair =
        find_coincident_nodes({{1, 1, 1}, {0, 5, 5}, {2, 2, 2}, {10, 5, 5}, {2, 2, 2}}, box, 1e-4);
    CHECK(pair.has_value());
    CHECK_EQ(pair->first, std::size_t{1});
    CHECK_EQ(pair->second, std::size_t{3});
    CHECK(!find_coincident_nodes({{1, 1, 1}, {1, 1, 1.001}}, box, 1e-4));
}

// ---------------------------------------------------------------------------
// Removing close atoms
// ---------------------------------------------------------------------------

TEST_CASE("a kept atom removes later close atoms, a removed one does not") {
    // 0 keeps, 1 is too close to 0; 2 is close only to the removed 1.
    const std::vector<double> p{0, 5, 5, 1, 5, 5, 2, 5, 5};
    const auto keep = keep_apart(p.data(), 3, Vec3{20, 20, 20}, 1.5);
    CHECK((keep == std::vector<std::uint8_t>{1, 0, 1}));
    // Across the periodic face, and with positions outside the box.
    const std::vector<double> q{0.1, 5, 5, 19.95, 5, 5, -0.2, 5, 5};
    CHECK((keep_apart(q.data(), 3, Vec3{20, 20, 20}, 0.5) == std::vector<std::uint8_t>{1, 0, 0}));
}

TEST_CASE("removing close atoms matches the brute-force rule") {
    Lcg rng{9};
    const Mat3 skewed{Vec3{9, 0, 0}, Vec3{4, 8, 0}, Vec3{-3, 2, 7}};
    const Mat3 cells[] = {{Vec3{12, 0, 0}, Vec3{0, 12, 0}, Vec3{0, 0, 12}},
                          {Vec3{3, 0, 0}, Vec3{0, 30, 0}, Vec3{0, 0, 7}},
                          skewed};
    for (const Mat3& cell : cells) {
        const std::size_t n = 700;
        std::vector<double> p;
        for (std::size_t k = 0; k < n; ++k) {
            const Vec3 f{rng.next() * 1.2 - 0.1, rng.next() * 1.2 - 0.1, rng.next() * 1.2 - 0.1};
            for (int c = 0; c < 3; ++c) {
                p.push_back(f[0] * cell[0][c] + f[1] * cell[1][c] + f[2] * cell[2][c]);
            }
        }
        const double r = 1.3;
        const bool box = cell[1][0] == 0 && cell[2][0] == 0 && cell[2][1] == 0;
        const auto keep = box ? keep_apart(p.data(), n, Vec3{cell[0][0], cell[1][1], cell[2][2]}, r)
                              : keep_apart(p.data(), n, cell, {true, true, true}, r);
        // In index order, an atom goes when a kept earlier atom is closer.
        std::vector<std::vector<std::size_t>> earlier(n);
        for (const brute::Pair& q : brute::pairs(p, cell, {true, true, true}, r, 1)) {
            if (q.j < q.i) {
                earlier[q.i].push_back(q.j);
            }
        }
        std::vector<std::uint8_t> expected(n, 1);
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b : earlier[a]) {
                expected[a] = expected[a] && !expected[b];
            }
        }
        CHECK(keep == expected);
    }
}

TEST_CASE("compacting keeps the rows in order") {
    std::vector<double> p{0, 0, 0, 1, 1, 1, 2, 2, 2};
    std::vector<std::int64_t> z{1, 2, 3}, g{7, 8, 9};
    CHECK_EQ(compact_atoms({0, 1, 1}, p.data(), z.data(), g.data()), std::size_t{2});
    CHECK_EQ(p[0], 1.0);
    CHECK_EQ(p[3], 2.0);
    CHECK_EQ(z[1], 3);
    CHECK_EQ(g[0], 8);
}

// ---------------------------------------------------------------------------
// Structure text
// ---------------------------------------------------------------------------

TEST_CASE("cfg text: header, velocities and auxiliary columns") {
    const Mat3 cell{Vec3{10, 0, 0}, Vec3{0, 11, 0}, Vec3{0, 0, 12}};
    const std::vector<double> grain{3.0, 4.0};
    const std::vector<double> vec{1, 2, 3, 4, 5, 6};
    const std::vector<AuxColumns> aux{{"grain", 1, grain.data()}, {"v", 3, vec.data()}};
    const std::string header = cfg_header(2, cell, false, aux);
    CHECK(header.find("Number of particles = 2\nA = 1.0 Angstrom\nH0(1,1) = 10.000000 A\n") == 0);
    CHECK(header.find(".NO_VELOCITY.\nentry_count = 7\nauxiliary[0] = grain [a.u.]\n"
                      "auxiliary[1] = v_x [a.u.]\n") != std::string::npos);
    CHECK(cfg_header(2, cell, true, {}).find("NO_VELOCITY") == std::string::npos);

    const std::vector<double> scaled{0.5, 0.25, 0.125, 0.0, 1e-7, 0.75};
    const std::vector<std::int64_t> numbers{13, 8};
    std::vector<double> mass(14, 0.0);
    mass[13] = 26.9815385;
    mass[8] = 15.999;
    std::vector<std::string> symbol(14, "");
    symbol[13] = "Al";
    symbol[8] = "O";
    std::string text;
    append_cfg_atoms(text, 1, 2, scaled.data(), nullptr, numbers.data(), aux, mass, symbol);
    CHECK_EQ(text, std::string("15.999000\nO\n0.000000e+00 1.000000e-07 7.500000e-01  "
                               "4.000000e+00 4.000000e+00 5.000000e+00 6.000000e+00\n"));
}

TEST_CASE("lammps data text: types, masses and atom lines") {
    const std::string header =
        lammps_data_header(3, Vec3{10, 11.5, 12}, {"Al", "Ni"}, {26.98, 58.69});
    CHECK(header.find("3 atoms\n2 atom types\n\n0.0                      10  xlo xhi\n") !=
          std::string::npos);
    CHECK(header.find("\nMasses\n\n1                   26.98 # Al\n") != std::string::npos);
    CHECK(header.size() > 15 && header.substr(header.size() - 16) == "Atoms # atomic\n\n");
    const std::vector<double> pos{1, 2, 3, 0.1, 0.2, 0.3};
    const std::vector<std::int64_t> numbers{28, 13};
    std::vector<int> type_of(29, 0);
    type_of[13] = 1;
    type_of[28] = 2;
    std::string text;
    append_lammps_atoms(text, 0, 2, pos.data(), numbers.data(), type_of);
    CHECK_EQ(text, std::string("     1   2                       1                       2"
                               "                       3\n     2   1     0.10000000000000001"
                               "     0.20000000000000001     0.29999999999999999\n"));
}

// ---------------------------------------------------------------------------
// Parameter file and size limits
// ---------------------------------------------------------------------------

TEST_CASE("parameter file: failures name their line and kind") {
    ParamFault fault = ParamFault::kNone;
    auto bad = parse_param_file("box 1 2 3\n# c\nnode 1 x 3 0 0 0\n", &fault);
    CHECK(!bad.has_value());
    CHECK_EQ(bad.line, std::size_t{3});
    CHECK_EQ(bad.error, std::string("node: could not convert string to float: 'x'"));
    CHECK(fault == ParamFault::kBadNumber);
    bad = parse_param_file("\n\n  LATTICE  \n", &fault);
    CHECK_EQ(bad.line, std::size_t{3});
    CHECK(fault == ParamFault::kMissingValue);
    bad = parse_param_file("random 1_000_000_000_000_000_000_000\n", &fault);
    CHECK(!bad.has_value() && fault == ParamFault::kBadNumber);

    const auto good = parse_param_file("node 1 2\r\nbox 5\nnode 3 4 5 a b\nbox 6 7 8 9\n", &fault);
    CHECK(good.has_value() && fault == ParamFault::kNone);
    CHECK(good.value->order == (std::vector<std::string>{"node", "box"}));
    CHECK(*good.value->box == (std::vector<double>{6, 7, 8}));
    CHECK_EQ(good.value->node->size(), std::size_t{2});
    CHECK((*good.value->node)[0].pos == (std::vector<double>{1, 2}));
    CHECK((*good.value->node)[1].orient == (std::vector<std::string>{"a", "b"}));
}

TEST_CASE("shortest float text: Python's repr of a double") {
    // Spellings printed by Python's repr().
    const std::pair<double, const char*> cases[] = {
        {10.0, "10.0"},
        {0.1, "0.1"},
        {-0.0, "-0.0"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {1e16, "1e+16"},
        {1e15, "1000000000000000.0"},
        {123456.789, "123456.789"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {2.5e-7, "2.5e-07"},
    };
    for (const auto& [x, text] : cases) {
        CHECK_EQ(shortest_float_text(x), std::string(text));
        CHECK_EQ(*parse_python_float(shortest_float_text(x)), x);
    }
    const std::string file =
        format_param_file(Vec3{1, 2, 3}, {{Vec3{0.5, 1, 2}, Vec3{10, 0, -45}}});
    const auto back = parse_param_file(file);
    CHECK((*back.value->box == std::vector<double>{1, 2, 3}));
    CHECK(((*back.value->node)[0].orient == std::vector<std::string>{"10.0", "0.0", "-45.0"}));
}

TEST_CASE("generation size: refused past the limit, naming the estimate") {
    SeedCrystal al;
    al.cell = Mat3{Vec3{4, 0, 0}, Vec3{0, 4, 0}, Vec3{0, 0, 4}};
    al.positions = {Vec3{0, 0, 0}, Vec3{2, 2, 0}, Vec3{2, 0, 2}, Vec3{0, 2, 2}};
    al.numbers = {13, 13, 13, 13};
    const Vec3 box{80, 80, 80};
    const double n = expected_atom_count(al, box);
    CHECK_NEAR(n, 32000.0, 1e-9);
    CHECK(check_generation_size(n, 8, box, 32000).has_value());
    const auto over = check_generation_size(n, 8, box, 31999);
    CHECK(over.error.find("about 32,000 atoms") != std::string::npos);
    const auto grains = check_generation_size(n, 32001, box, 1e9);
    CHECK(grains.error.find("32,001 grains") == 0);
    CHECK(!check_generation_size(HUGE_VAL, 8, box, 1e9).has_value());
}

// ---------------------------------------------------------------------------
// Atom order
// ---------------------------------------------------------------------------

TEST_CASE("numpy's order also past the depth limit, where heapsort takes over") {
    // Keys built against median-of-three pivots (McIlroy's adversary) so that
    // the partitions stay lopsided; the reference is numpy.argsort of the keys
    // as strings ("%03d").
    const std::vector<std::uint8_t> keys{
        0,  25, 1,  25, 2,  24, 3,  24, 4,  23, 5,  23, 6,  22, 7,  22, 8,  21, 9,  21,
        10, 11, 29, 28, 29, 28, 27, 27, 26, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
        20, 20, 19, 19, 18, 18, 17, 17, 16, 16, 15, 15, 14, 14, 13, 13, 12, 12, 26, 11};
    const std::vector<std::uint32_t> numpy{
        0,  29, 2,  30, 4,  31, 6,  32, 8,  33, 10, 34, 12, 35, 14, 36, 16, 37, 18, 38,
        20, 39, 21, 59, 56, 57, 55, 54, 52, 53, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
        41, 40, 19, 17, 13, 15, 11, 9,  7,  5,  3,  1,  28, 58, 27, 26, 25, 23, 24, 22};
    CHECK(numpy_argsort_order<std::uint32_t>(keys.data(), keys.size()) == numpy);
    CHECK(numpy_argsort_order<std::uint64_t>(keys.data(), keys.size()) ==
          std::vector<std::uint64_t>(numpy.begin(), numpy.end()));
}

TEST_CASE("rows permuted in place take the rows the order names") {
    const std::vector<std::uint32_t> order{3, 0, 4, 1, 2, 5};
    std::vector<double> xyz;
    std::vector<std::int16_t> tag;
    for (int a = 0; a < 6; ++a) {
        xyz.insert(xyz.end(), {1.0 * a, 10.0 * a, 100.0 * a});
        tag.push_back(static_cast<std::int16_t>(-a));
    }
    permute_rows(order, {{xyz.data(), 3 * sizeof(double)}, {tag.data(), sizeof(std::int16_t)}});
    for (std::size_t a = 0; a < order.size(); ++a) {
        CHECK_EQ(xyz[3 * a + 2], 100.0 * order[a]);
        CHECK_EQ(tag[a], -static_cast<int>(order[a]));
    }
}
