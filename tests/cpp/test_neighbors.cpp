// Kernel tests of the one neighbour search against the brute-force reference.
#include "brute_force.hpp"
#include "check.hpp"

#include "ferrolith/core/neighbors.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace fc = ferrolith::core;

namespace {

using Triple = std::tuple<std::size_t, std::size_t, double>;

struct Structure {
    std::vector<double> positions;
    std::vector<int> species;
    fc::Mat3 cell{};
    std::array<bool, 3> pbc{true, true, true};
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Searches `s` with one cutoff per species pair; the failure message is returned.
std::string search(const Structure& s, const std::vector<double>& cutoff, fc::NeighborList& list,
                   double min_distance = 0.01, std::size_t max_neighbors = 0, bool full = true) {
    fc::NeighborQuery q;
    q.n_atoms = s.species.size();
    q.positions = s.positions.data();
    q.species = s.species.data();
    q.cell = s.cell;
    q.pbc = s.pbc;
    q.n_species = static_cast<std::size_t>(std::lround(std::sqrt(cutoff.size())));
    q.cutoff = cutoff.data();
    q.min_distance = min_distance;
    q.max_neighbors = max_neighbors;
    q.full = full;
    return fc::build_neighbor_list(q, list).error;
}

std::vector<Triple> listed_pairs(const Structure& s, const std::vector<double>& cutoff) {
    fc::NeighborList list;
    CHECK(search(s, cutoff, list).empty());
    std::vector<Triple> pairs;
    for (std::size_t slot = 0; slot < s.species.size(); ++slot) {
        CHECK_EQ(list.slot_of[list.order[slot]], slot);
        for (std::size_t k = list.offsets[slot]; k < list.offsets[slot + 1]; ++k) {
            const double* d = &list.delta[4 * k];
            CHECK_NEAR(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), d[3], 1e-12);
            pairs.emplace_back(list.order[slot], list.order[list.index[k]], d[3]);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

// The brute-force pairs within the directed cutoff of their species.
std::vector<Triple> reference_pairs(const Structure& s, const std::vector<double>& cutoff,
                                    int reach) {
    const std::size_t ns = static_cast<std::size_t>(std::lround(std::sqrt(cutoff.size())));
    const double largest = *std::max_element(cutoff.begin(), cutoff.end());
    std::vector<Triple> pairs;
    for (const brute::Pair& p : brute::pairs(s.positions, s.cell, s.pbc, largest, reach)) {
        const auto ti = static_cast<std::size_t>(s.species[p.i]);
        const auto tj = static_cast<std::size_t>(s.species[p.j]);
        if (p.r < cutoff[ti * ns + tj]) {
            pairs.emplace_back(p.i, p.j, p.r);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

void check_same_pairs(const std::vector<Triple>& got, const std::vector<Triple>& want) {
    CHECK_EQ(got.size(), want.size());
    if (got.size() != want.size()) {
        return;
    }
    for (std::size_t k = 0; k < got.size(); ++k) {
        CHECK_EQ(std::get<0>(got[k]), std::get<0>(want[k]));
        CHECK_EQ(std::get<1>(got[k]), std::get<1>(want[k]));
        CHECK_NEAR(std::get<2>(got[k]), std::get<2>(want[k]), 1e-9);
    }
}

Structure random_structure(const fc::Mat3& cell, std::array<bool, 3> pbc, std::size_t n,
                           unsigned seed, int n_species = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.2, 1.2); // some atoms outside the cell
    Structure s;
    s.cell = cell;
    s.pbc = pbc;
    for (std::size_t i = 0; i < n; ++i) {
        const double f[3] = {u(rng), u(rng), u(rng)};
        for (int x = 0; x < 3; ++x) {
            s.positions.push_back(f[0] * cell[0][x] + f[1] * cell[1][x] + f[2] * cell[2][x]);
        }
        s.species.push_back(static_cast<int>(i % static_cast<std::size_t>(n_species)));
    }
    return s;
}

} // namespace

TEST_CASE("neighbour list: matches brute force in cells of every shape") {
    struct Case {
        fc::Mat3 cell;
        std::array<bool, 3> pbc;
        std::vector<double> cutoff; // per species pair, not symmetric
        int reach;                  // images the brute force must visit
    };
    const Case cases[] = {
        // orthorhombic, several bins per direction
        {{{{9.0, 0, 0}, {0, 8.0, 0}, {0, 0, 7.5}}}, {true, true, true}, {2.5}, 1},
        // strongly skewed triclinic cell, two species with directed cutoffs
        {{{{6.0, 0, 0}, {5.1, 4.0, 0}, {-2.0, 3.3, 5.0}}},
         {true, true, true},
         {2.3, 1.4, 2.0, 0.9},
         3},
        // thinner than the cutoff: several images of the same atom
        {{{{1.3, 0, 0}, {0.4, 1.6, 0}, {0.2, 0.3, 1.9}}}, {true, true, true}, {2.9}, 4},
        // a slab: periodic in x, y only
        {{{{4.0, 0, 0}, {1.0, 4.5, 0}, {0, 0, 6.0}}}, {true, true, false}, {3.0}, 2},
        // a wire along a skewed axis
        {{{{2.0, 1.0, 0.5}, {0, 5.0, 0}, {0, 0, 5.0}}}, {true, false, false}, {3.1}, 3},
        // a free cluster
        {{{{5.0, 0, 0}, {0, 5.0, 0}, {0, 0, 5.0}}}, {false, false, false}, {2.5}, 0},
        // small triclinic cells, cutoff twice their size, mixed periodicity
        {{{{2.1, 0, 0}, {0.9, 1.9, 0}, {0.4, -0.6, 2.3}}}, {true, true, true}, {4.3}, 8},
        {{{{2.1, 0, 0}, {0.9, 1.9, 0}, {0.4, -0.6, 2.3}}}, {true, false, true}, {4.3}, 8},
    };
    unsigned seed = 11;
    for (const Case& c : cases) {
        const int ns = static_cast<int>(std::lround(std::sqrt(c.cutoff.size())));
        const std::size_t n = c.reach == 8 ? 3 : 24;
        const Structure s = random_structure(c.cell, c.pbc, n, seed++, ns);
        check_same_pairs(listed_pairs(s, c.cutoff), reference_pairs(s, c.cutoff, c.reach));
        // The half list holds each pair once, under the larger directed cutoff.
        fc::NeighborList half;
        CHECK(search(s, c.cutoff, half, 0.01, 0, false).empty());
        std::vector<double> wide(c.cutoff.size());
        for (std::size_t a = 0; a < wide.size(); ++a) {
            const std::size_t t = (a % ns) * ns + a / ns; // the transposed entry
            wide[a] = std::max(c.cutoff[a], c.cutoff[t]);
        }
        CHECK_EQ(2 * half.half.size(), reference_pairs(s, wide, c.reach).size());
        CHECK(half.offsets.empty());
    }
}

TEST_CASE("neighbour list: a zero cell along free directions is fine") {
    Structure s =
        random_structure({{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, {false, false, false}, 16, 5);
    const auto want = reference_pairs(s, {2.0}, 0);
    s.cell = fc::Mat3{};
    check_same_pairs(listed_pairs(s, {2.0}), want);
}

TEST_CASE("neighbour list: lattice reduction keeps the lattice and shortens the basis") {
    fc::Mat3 cell = {{{3.0, 0, 0}, {0, 3.0, 0}, {0, 0, 3.0}}};
    // a3 -> a3 + 40 a1 - 25 a2: the same lattice, a needle-like basis
    for (int x = 0; x < 3; ++x) {
        cell[2][x] += 40 * cell[0][x] - 25 * cell[1][x];
    }
    fc::reduce_lattice(cell, {true, true, true});
    for (const auto& row : cell) {
        CHECK_NEAR(fc::norm(row), 3.0, 1e-12);
    }
    CHECK_NEAR(std::fabs(fc::determinant(cell)), 27.0, 1e-9);
}

TEST_CASE("neighbour list: bad structures are reported") {
    auto status_of = [](const Structure& s) {
        fc::NeighborList list;
        return search(s, {2.0}, list, 0.1, 50);
    };
    Structure s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.positions[4] = std::nan("");
    CHECK(contains(status_of(s), "position of atom 1 is not a finite number"));

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.cell[2][2] = std::numeric_limits<double>::infinity();
    CHECK(contains(status_of(s), "cell contains a value that is not a finite number"));

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.cell[2] = {3.0, 3.0, 0.0}; // in the plane of the other two
    CHECK_EQ(status_of(s), std::string(fc::kZeroVolumeMessage));
    s.pbc = {true, true, false}; // not periodic along it: no volume needed
    CHECK(status_of(s).empty());
    s.cell[1] = {12.0, 0.0, 0.0}; // parallel to the first: a slab without area
    CHECK_EQ(status_of(s), std::string(fc::kZeroVolumeMessage));

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    for (int x = 0; x < 3; ++x) {
        s.positions[6 + x] = s.positions[x] + 6.0 * (x == 0) + 0.01; // image of atom 0, nearly
    }
    CHECK(contains(status_of(s), "Atoms 0 and 2 overlap"));

    s = random_structure({{{0.05, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 1, 2);
    CHECK(contains(status_of(s), "Atom 0 overlaps its own periodic image"));

    // Far too dense on average: refused from the estimate, before any search.
    s = random_structure({{{0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}}}, {true, true, true}, 1, 2);
    CHECK(contains(status_of(s), "too small or the structure too dense for the cutoff of 2"));
    CHECK(contains(status_of(s), "more than the limit of 50"));
    // Sparse on average, crowded around one atom: refused while searching.
    s = Structure{};
    s.pbc = {false, false, false};
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.1, 1.1);
    s.positions = {0, 0, 0};
    s.species = {0};
    while (s.species.size() < 60) {
        const fc::Vec3 p{u(rng), u(rng), u(rng)};
        if (fc::norm(p) < 1.9 && fc::norm(p) > 0.3) {
            s.positions.insert(s.positions.end(), p.begin(), p.end());
            s.species.push_back(0);
        }
    }
    CHECK(contains(status_of(s), "has more than 50 neighbours within 2"));
}
