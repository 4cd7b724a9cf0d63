// Kernel tests of the Tersoff file reader and the energy/forces/virial
// evaluation.
#include "check.hpp"

#include "ferrolith/optimization/tersoff_eval.hpp"
#include "ferrolith/optimization/tersoff_params.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
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
    auto params = fo::TersoffParameters::parse(text);
    CHECK(params.has_value());
    if (!params) {
        std::fprintf(stderr, "unexpected parse error, line %zu: %s\n", params.line,
                     params.error.c_str());
        return *fo::TersoffParameters::parse(kCarbon).value;
    }
    return *params.value;
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
    const ferrolith::core::Status status = fo::evaluate_tersoff(params, in, work, result);
    if (error != nullptr) {
        *error = status.error;
    } else {
        CHECK(status.has_value());
    }
    return result;
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
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 9.95 0.1 1 1\n", 1, "R + D beyond 10"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 1e308 1e300 1 1\n", 1, "R + D beyond 10"},
        {"C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 inf 1\n", 1, "'inf' of parameter lambda1"},
        {"C C C" + good_tail + "\nC C C" + good_tail, 3,
         "duplicate entry for C C C (first "
         "given on line 1)"},
    };
    for (const Case& c : cases) {
        const auto p = fo::TersoffParameters::parse(c.text);
        CHECK(!p.has_value());
        CHECK_EQ(p.line, c.line);
        if (!contains(p.error, c.fault)) {
            std::fprintf(stderr, "message: %s\nexpected part: %s\n", p.error.c_str(), c.fault);
            CHECK(false);
        }
    }
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
