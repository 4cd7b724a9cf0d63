// Kernel tests of the Tersoff file reader, the neighbour search and the
// energy/forces/virial evaluation.
#include "check.hpp"

#include "ferrolith/optimization/cell_list.hpp"
#include "ferrolith/optimization/tersoff_eval.hpp"
#include "ferrolith/optimization/tersoff_params.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace fo = ferrolith::optimization;

namespace {

using Cell = std::array<std::array<double, 3>, 3>;

// Carbon (Lindsay-Broido) and boron nitride entries of the B-N-C potential.
const char* const kCarbon =
    "C C C 3.0 1.0 0.0 3.8049e4 4.3484 -0.93000 0.72751 1.5724e-7 2.2119 430.00 1.95 0.15 "
    "3.4879 1393.6\n";
const char* const kBoronNitride =
    "N B B 3.0 1.0 0.0 25000 4.3484 -0.89000 0.72751 1.25724e-7 2.199 340.00 1.95 0.05 3.568 "
    "1380.0\n"
    "N B N 3.0 1.0 0.0 25000 4.3484 -0.89000 0.72751 1.25724e-7 2.199 340.00 1.95 0.05 3.568 "
    "1380.0\n"
    "B N B 3.0 1.0 0.0 25000 4.3484 -0.89000 0.72751 1.25724e-7 2.199 340.00 1.95 0.05 3.568 "
    "1380.0\n"
    "B N N 3.0 1.0 0.0 25000 4.3484 -0.89000 0.72751 1.25724e-7 2.199 340.00 1.95 0.05 3.568 "
    "1380.0\n"
    "N N B 3.0 1.0 0.0 17.7959 5.9484 0.00000 0.6184432 0.019251 2.6272721 138.77866 2.0 0.1 "
    "2.8293093 128.86866\n"
    "N N N 3.0 1.0 0.0 17.7959 5.9484 0.00000 0.6184432 0.019251 2.6272721 138.77866 2.0 0.1 "
    "2.8293093 128.86866\n"
    "B B B 3.0 1.0 0.0 0.52629 0.001587 0.5 3.9929061 1.6e-6 2.0774982 43.132016 2.0 0.1 "
    "2.2372578 40.0520156\n"
    "B B N 3.0 1.0 0.0 0.52629 0.001587 0.5 3.9929061 1.6e-6 2.0774982 43.132016 2.0 0.1 "
    "2.2372578 40.0520156\n";

fo::TersoffParameters parse_ok(const std::string& text) {
    fo::ParseError error;
    auto params = fo::TersoffParameters::parse(text, error);
    CHECK(params.has_value());
    if (!params) {
        std::fprintf(stderr, "unexpected parse error, line %zu: %s\n", error.line,
                     error.message.c_str());
        return *fo::TersoffParameters::parse(kCarbon, error);
    }
    return *params;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Structure {
    std::vector<double> positions;
    std::vector<int> elements;
    Cell cell{};
    std::array<bool, 3> pbc{true, true, true};
};

// Zincblende (two elements) or diamond (one) conventional cell, repeated and
// rattled.
Structure zincblende(double a, int first, int second, int repeat, double rattle, unsigned seed) {
    const double basis[8][3] = {{0, 0, 0},          {0, 0.5, 0.5},      {0.5, 0, 0.5},
                                {0.5, 0.5, 0},      {0.25, 0.25, 0.25}, {0.25, 0.75, 0.75},
                                {0.75, 0.25, 0.75}, {0.75, 0.75, 0.25}};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-rattle, rattle);
    Structure s;
    for (int x = 0; x < repeat; ++x) {
        for (int y = 0; y < repeat; ++y) {
            for (int z = 0; z < repeat; ++z) {
                for (int b = 0; b < 8; ++b) {
                    s.positions.push_back((x + basis[b][0]) * a + jitter(rng));
                    s.positions.push_back((y + basis[b][1]) * a + jitter(rng));
                    s.positions.push_back((z + basis[b][2]) * a + jitter(rng));
                    s.elements.push_back(b < 4 ? first : second);
                }
            }
        }
    }
    s.cell = {{{repeat * a, 0, 0}, {0, repeat * a, 0}, {0, 0, repeat * a}}};
    return s;
}

fo::TersoffResult evaluate(const fo::TersoffParameters& params, const Structure& s,
                           std::string* error = nullptr) {
    fo::TersoffInput in;
    in.n_atoms = s.elements.size();
    in.positions = s.positions.data();
    in.elements = s.elements.data();
    in.cell = s.cell;
    in.pbc = s.pbc;
    in.want_energies = true;
    fo::TersoffWorkspace work;
    fo::TersoffResult result;
    const std::string message = fo::evaluate_tersoff(params, in, work, result);
    if (error != nullptr) {
        *error = message;
    } else {
        CHECK(message.empty());
    }
    return result;
}

// Every (i, j, r) within `cutoff` over images -reach..reach, the slow way.
std::vector<std::tuple<std::size_t, std::size_t, double>>
brute_force_pairs(const Structure& s, double cutoff, int reach) {
    std::vector<std::tuple<std::size_t, std::size_t, double>> pairs;
    const std::size_t n = s.elements.size();
    int range[3];
    for (int d = 0; d < 3; ++d) {
        range[d] = s.pbc[d] ? reach : 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (int a = -range[0]; a <= range[0]; ++a) {
                for (int b = -range[1]; b <= range[1]; ++b) {
                    for (int c = -range[2]; c <= range[2]; ++c) {
                        if (i == j && a == 0 && b == 0 && c == 0) {
                            continue;
                        }
                        double d2 = 0;
                        for (int x = 0; x < 3; ++x) {
                            const double dx = s.positions[3 * j + x] - s.positions[3 * i + x] +
                                              a * s.cell[0][x] + b * s.cell[1][x] +
                                              c * s.cell[2][x];
                            d2 += dx * dx;
                        }
                        if (d2 < cutoff * cutoff) {
                            pairs.emplace_back(i, j, std::sqrt(d2));
                        }
                    }
                }
            }
        }
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

// Searches `s` (one species) with `cutoff`; the status message is returned.
std::string search(const Structure& s, double cutoff, fo::NeighborList& list,
                   double min_distance = 0.01, std::size_t max_neighbors = 0) {
    fo::NeighborQuery q;
    q.n_atoms = s.elements.size();
    q.positions = s.positions.data();
    q.species = s.elements.data();
    q.cell = s.cell;
    q.pbc = s.pbc;
    q.n_species = 1;
    q.cutoff = &cutoff;
    q.min_distance = min_distance;
    q.max_neighbors = max_neighbors;
    return fo::build_neighbor_list(q, list).message;
}

std::vector<std::tuple<std::size_t, std::size_t, double>> listed_pairs(const Structure& s,
                                                                       double cutoff) {
    fo::NeighborList list;
    CHECK(search(s, cutoff, list).empty());
    std::vector<std::tuple<std::size_t, std::size_t, double>> pairs;
    for (std::size_t slot = 0; slot < s.elements.size(); ++slot) {
        for (std::size_t k = list.offsets[slot]; k < list.offsets[slot + 1]; ++k) {
            const double* d = &list.delta[4 * k];
            CHECK_NEAR(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), d[3], 1e-12);
            pairs.emplace_back(list.order[slot], list.order[list.index[k]], d[3]);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

void check_same_pairs(const std::vector<std::tuple<std::size_t, std::size_t, double>>& got,
                      const std::vector<std::tuple<std::size_t, std::size_t, double>>& want) {
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

Structure random_structure(const Cell& cell, std::array<bool, 3> pbc, std::size_t n,
                           unsigned seed) {
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
        s.elements.push_back(0);
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// File reader
// ---------------------------------------------------------------------------

TEST_CASE("tersoff file: comments, blank lines and entries continued over lines") {
    const std::string text = "# header\n\n"
                             "C C C   3.0 1.0 0.0 3.8049e4 # first part\n"
                             "   4.3484 -0.93000 0.72751\n"
                             "\t1.5724e-7 2.2119 430.00 1.95 0.15 3.4879 1393.6  \r\n"
                             "# trailer\n";
    const fo::TersoffParameters p = parse_ok(text);
    CHECK_EQ(p.elements().size(), 1u);
    CHECK_EQ(p.entries().size(), 1u);
    const fo::TersoffEntry& e = p.entries()[0];
    CHECK_EQ(e.line, 3u);
    CHECK_EQ(e.m, 3);
    CHECK_EQ(e.c, 3.8049e4);
    CHECK_EQ(e.h, -0.93);
    CHECK_EQ(e.beta, 1.5724e-7);
    CHECK_EQ(e.A, 1393.6);
    CHECK_NEAR(e.cut, 2.1, 1e-15);
    CHECK_EQ(p.entry_index(0, 0, 0), 0);
}

TEST_CASE("tersoff file: elements in order of appearance, every triplet indexed") {
    const fo::TersoffParameters p = parse_ok(kBoronNitride);
    CHECK(p.elements() == (std::vector<std::string>{"N", "B"}));
    const int n = p.element_index("N"), b = p.element_index("B");
    CHECK_EQ(p.element_index("C"), -1);
    CHECK_EQ(p.entries()[static_cast<std::size_t>(p.entry_index(b, n, n))].line, 4u);
    CHECK_EQ(p.entries()[static_cast<std::size_t>(p.entry_index(b, b, n))].line, 8u);
    CHECK(!p.missing_triplet({n, b}).has_value());
    CHECK_NEAR(p.max_cutoff(), 2.1, 1e-15);
}

TEST_CASE("tersoff file: a missing triplet is named") {
    std::string text = kBoronNitride;
    text.erase(text.find("B N B"), text.find("B N N") - text.find("B N B"));
    const fo::TersoffParameters p = parse_ok(text);
    const int n = p.element_index("N"), b = p.element_index("B");
    const auto missing = p.missing_triplet({n, b});
    CHECK(missing.has_value());
    CHECK(*missing == (std::array<int, 3>{b, n, b}));
    CHECK(!p.missing_triplet({n}).has_value());
}

TEST_CASE("tersoff file: malformed files give the line and the fault") {
    const std::string good_tail = " 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1 1\n";
    struct Case {
        std::string text;
        std::size_t line;
        const char* fault;
    };
    const Case cases[] = {
        {"# only comments\n\n", 2, "no Tersoff entries"},
        {"\nC C C 3.0 1.0 0.0 x 1 0 1 1 1 1 2.0 0.1 1 1\n", 2, "'x' of parameter c"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1 1 7\n", 1, "has 18 words"},
        {"C C C" + good_tail + "C C\nC 3.0 1.0\n", 2, "starting on line 2 ends after 5 words"},
        {"C C C 2.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1 1\n", 1, "m = 2.0 must be 1 or 3"},
        {"C C C 3.0 1.0 0.0 1 0 0 1 1 1 1 2.0 0.1 1 1\n", 1, "d = 0 must be positive"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 -1 2.0 0.1 1 1\n", 1, "B = -1 must not be negative"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 2.5 1 1\n", 1, "D = 2.5 must not exceed R"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 inf 1\n", 1, "'inf' of parameter lambda1"},
        {"C C C" + good_tail + "\nC C C" + good_tail, 3,
         "duplicate entry for C C C (first "
         "given on line 1)"},
    };
    for (const Case& c : cases) {
        fo::ParseError error;
        const auto p = fo::TersoffParameters::parse(c.text, error);
        CHECK(!p.has_value());
        CHECK_EQ(error.line, c.line);
        if (!contains(error.message, c.fault)) {
            std::fprintf(stderr, "message: %s\nexpected part: %s\n", error.message.c_str(),
                         c.fault);
            CHECK(false);
        }
    }
}

// ---------------------------------------------------------------------------
// Neighbour search
// ---------------------------------------------------------------------------

TEST_CASE("neighbour list: matches brute force in cells of every shape") {
    struct Case {
        Cell cell;
        std::array<bool, 3> pbc;
        double cutoff;
        int reach; // images the brute force must visit
    };
    const Case cases[] = {
        // orthorhombic, several bins per direction
        {{{{9.0, 0, 0}, {0, 8.0, 0}, {0, 0, 7.5}}}, {true, true, true}, 2.5, 1},
        // strongly skewed triclinic cell
        {{{{6.0, 0, 0}, {5.1, 4.0, 0}, {-2.0, 3.3, 5.0}}}, {true, true, true}, 2.3, 3},
        // thinner than the cutoff: several images of the same atom
        {{{{1.3, 0, 0}, {0.4, 1.6, 0}, {0.2, 0.3, 1.9}}}, {true, true, true}, 2.9, 4},
        // a slab: periodic in x, y only
        {{{{4.0, 0, 0}, {1.0, 4.5, 0}, {0, 0, 6.0}}}, {true, true, false}, 3.0, 2},
        // a wire along a skewed axis
        {{{{2.0, 1.0, 0.5}, {0, 5.0, 0}, {0, 0, 5.0}}}, {true, false, false}, 3.1, 3},
        // a free cluster
        {{{{5.0, 0, 0}, {0, 5.0, 0}, {0, 0, 5.0}}}, {false, false, false}, 2.5, 0},
    };
    unsigned seed = 11;
    for (const Case& c : cases) {
        const Structure s = random_structure(c.cell, c.pbc, 24, seed++);
        check_same_pairs(listed_pairs(s, c.cutoff), brute_force_pairs(s, c.cutoff, c.reach));
    }
}

TEST_CASE("neighbour list: a zero cell along free directions is fine") {
    Structure s =
        random_structure({{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, {false, false, false}, 16, 5);
    const auto want = brute_force_pairs(s, 2.0, 0);
    s.cell = Cell{};
    check_same_pairs(listed_pairs(s, 2.0), want);
}

TEST_CASE("neighbour list: lattice reduction keeps the lattice and shortens the basis") {
    Cell cell = {{{3.0, 0, 0}, {0, 3.0, 0}, {0, 0, 3.0}}};
    // a3 -> a3 + 40 a1 - 25 a2: the same lattice, a needle-like basis
    for (int x = 0; x < 3; ++x) {
        cell[2][x] += 40 * cell[0][x] - 25 * cell[1][x];
    }
    fo::reduce_lattice(cell, {true, true, true});
    for (const auto& row : cell) {
        CHECK_NEAR(std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]), 3.0, 1e-12);
    }
    const double det = cell[0][0] * (cell[1][1] * cell[2][2] - cell[1][2] * cell[2][1]) -
                       cell[0][1] * (cell[1][0] * cell[2][2] - cell[1][2] * cell[2][0]) +
                       cell[0][2] * (cell[1][0] * cell[2][1] - cell[1][1] * cell[2][0]);
    CHECK_NEAR(std::fabs(det), 27.0, 1e-9);
}

TEST_CASE("neighbour list: bad structures are reported") {
    auto status_of = [](const Structure& s) {
        fo::NeighborList list;
        return search(s, 2.0, list, 0.1, 50);
    };
    Structure s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.positions[4] = std::nan("");
    CHECK(contains(status_of(s), "position of atom 1 is not a finite number"));

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.cell[2][2] = std::numeric_limits<double>::infinity();
    CHECK(contains(status_of(s), "cell contains a value that is not a finite number"));

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    s.cell[2] = {3.0, 3.0, 0.0}; // in the plane of the other two
    CHECK_EQ(status_of(s), std::string(fo::kZeroVolumeMessage));
    s.pbc = {true, true, false}; // not periodic along it: no volume needed
    CHECK(status_of(s).empty());

    s = random_structure({{{6, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 3, 2);
    for (int x = 0; x < 3; ++x) {
        s.positions[6 + x] = s.positions[x] + 6.0 * (x == 0) + 0.01; // image of atom 0, nearly
    }
    CHECK(contains(status_of(s), "Atoms 0 and 2 overlap"));

    s = random_structure({{{0.05, 0, 0}, {0, 6, 0}, {0, 0, 6}}}, {true, true, true}, 1, 2);
    CHECK(contains(status_of(s), "Atom 0 overlaps its own periodic image"));

    s = random_structure({{{0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}}}, {true, true, true}, 1, 2);
    CHECK(contains(status_of(s), "has more than 50 neighbours"));
}

// ---------------------------------------------------------------------------
// Energy, forces, virial
// ---------------------------------------------------------------------------

TEST_CASE("tersoff: Newton's third law, per-atom energies and basis independence") {
    const fo::TersoffParameters p = parse_ok(kCarbon);
    Structure s = zincblende(3.567, 0, 0, 2, 0.1, 9);
    const fo::TersoffResult r = evaluate(p, s);
    double sum[3] = {0, 0, 0}, e_sum = 0;
    for (std::size_t i = 0; i < s.elements.size(); ++i) {
        for (int x = 0; x < 3; ++x) {
            sum[x] += r.forces[3 * i + x];
        }
        e_sum += r.energies[i];
    }
    for (double f : sum) {
        CHECK_NEAR(f, 0.0, 1e-10);
    }
    CHECK_NEAR(e_sum, r.energy, 1e-10);

    // The same crystal described by the basis a1, a2, a3 + 2 a1 - a2, with the
    // atoms shifted by lattice vectors: nothing may change.
    Structure t = s;
    for (int x = 0; x < 3; ++x) {
        t.cell[2][x] += 2 * s.cell[0][x] - s.cell[1][x];
    }
    for (std::size_t i = 0; i < s.elements.size(); ++i) {
        const int shift = static_cast<int>(i % 3) - 1;
        for (int x = 0; x < 3; ++x) {
            t.positions[3 * i + x] += shift * t.cell[2][x];
        }
    }
    const fo::TersoffResult u = evaluate(p, t);
    CHECK_NEAR(u.energy, r.energy, 1e-9);
    for (std::size_t k = 0; k < r.forces.size(); ++k) {
        CHECK_NEAR(u.forces[k], r.forces[k], 1e-9);
    }
    for (int v = 0; v < 6; ++v) {
        CHECK_NEAR(u.virial[v], r.virial[v], 1e-8);
    }
}

TEST_CASE("tersoff: elements outside the file and missing triplets are reported") {
    std::string text = kBoronNitride;
    text.erase(text.find("N N B"), text.find("N N N") - text.find("N N B"));
    const fo::TersoffParameters p = parse_ok(text);
    std::string error;
    Structure s = zincblende(3.6, p.element_index("B"), p.element_index("N"), 1, 0, 1);
    evaluate(p, s, &error);
    CHECK_EQ(error, std::string("The potential has no entry for the element triplet N N B."));
    s.elements[0] = 7;
    evaluate(p, s, &error);
    CHECK(contains(error, "Atom 0 has element index 7"));
}
