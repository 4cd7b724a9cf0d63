// Kernel tests: bond grouping, the Šimůnek product and the moduli models.
#include "check.hpp"

#include "ferrolith/core/shells.hpp"
#include "ferrolith/data/element_table.hpp"
#include "ferrolith/properties/cij_text.hpp"
#include "ferrolith/properties/elastic_fit.hpp"
#include "ferrolith/properties/moduli.hpp"
#include "ferrolith/properties/simunek.hpp"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fp = ferrolith::properties;

namespace {

struct Pairs {
    std::vector<std::int64_t> i, j;
    std::vector<double> d;
    fp::NeighborPairs view() const { return {i.data(), j.data(), d.data(), i.size()}; }
};

} // namespace

TEST_CASE("running mean merges against the drifting mean") {
    // Atom 0 bonds to species 1 at 1.60, 1.75, 1.85 (all merge), then 2.10.
    Pairs p{{0, 0, 0, 0}, {1, 2, 3, 4}, {1.60, 1.75, 1.85, 2.10}};
    const std::vector<int> species{0, 1, 1, 1, 1};
    auto r = fp::group_bonds(p.view(), species, 0.2, fp::GroupingRule::kRunningMean);
    CHECK(r.error == fp::GroupingResult::Error::kNone);
    CHECK_EQ(r.table.offsets[1], 2u);
    CHECK_EQ(r.table.count[0], 3);
    CHECK_NEAR(r.table.distance[0], 5.2 / 3.0, 1e-15);
    CHECK_EQ(r.table.count[1], 1);
    CHECK_EQ(r.coordination[0], 4);
    CHECK_EQ(r.coordination[1], 0);
}

TEST_CASE("a zero tolerance never merges in the running mean") {
    Pairs p{{0, 0}, {1, 1}, {1.5, 1.5}};
    auto r = fp::group_bonds(p.view(), {0, 0}, 0.0, fp::GroupingRule::kRunningMean);
    CHECK_EQ(r.table.n_types(), 2u);
}

TEST_CASE("entries out of order are grouped per atom in array order") {
    Pairs p{{1, 0, 1, 0}, {0, 1, 0, 1}, {2.0, 1.0, 2.05, 1.02}};
    auto r = fp::group_bonds(p.view(), {0, 0}, 0.1, fp::GroupingRule::kRunningMean);
    CHECK_EQ(r.table.offsets[1], 1u);
    CHECK_NEAR(r.table.distance[0], 1.01, 1e-12);
    CHECK_NEAR(r.table.distance[1], 2.025, 1e-12);
}

TEST_CASE("closest shell keeps the nearest element and recounts") {
    // Atom 0: O (species 1) at 1.6 twice, N (species 2) at 2.0.
    Pairs p{{0, 0, 0}, {1, 1, 2}, {1.6, 1.6, 2.0}};
    auto r = fp::group_bonds(p.view(), {0, 1, 2}, 0.2, fp::GroupingRule::kClosestShell);
    CHECK_EQ(r.table.offsets[1], 1u);
    CHECK_EQ(r.table.neighbor_species[0], 1);
    CHECK_EQ(r.coordination[0], 2);
}

TEST_CASE("closest shell replaces a longer type and moves it to the end") {
    // species 1 at 2.1, species 2 at 1.9, then species 1 at 1.6 replaces.
    Pairs p{{0, 0, 0}, {1, 2, 1}, {2.1, 1.9, 1.6}};
    auto r = fp::group_bonds(p.view(), {0, 1, 2}, 0.2, fp::GroupingRule::kClosestShell);
    // After replacement: [species 2 @ 1.9, species 1 @ 1.6]; the filter keeps
    // types within 0.2 of 1.6, i.e. both (1.9 - 1.6 = 0.3 is dropped).
    CHECK_EQ(r.table.offsets[1], 1u);
    CHECK_EQ(r.table.neighbor_species[0], 1);
    CHECK_NEAR(r.table.distance[0], 1.6, 0.0);
}

TEST_CASE("bad indices are reported, not read") {
    Pairs negative{{-1}, {0}, {1.0}};
    CHECK(fp::group_bonds(negative.view(), {0}, 0.1, fp::GroupingRule::kRunningMean).error ==
          fp::GroupingResult::Error::kNegativeCentralIndex);
    Pairs beyond{{0}, {5}, {1.0}};
    CHECK(fp::group_bonds(beyond.view(), {0, 0}, 0.1, fp::GroupingRule::kRunningMean).error ==
          fp::GroupingResult::Error::kIndexOutOfRange);
    Pairs wrapped{{0}, {-1}, {1.0}}; // a Python list index counting from the end
    auto r = fp::group_bonds(wrapped.view(), {0, 7}, 0.1, fp::GroupingRule::kRunningMean);
    CHECK(r.error == fp::GroupingResult::Error::kNone);
    CHECK_EQ(r.table.neighbor_species[0], 7);
}

TEST_CASE("mean coordination rounds half to even") {
    auto mean = fp::mean_coordination_by_species({2, 3, 3, 4, 0}, {0, 0, 1, 1, 1}, 3);
    CHECK_EQ(mean[0], 2.0); // 2.5 -> 2
    CHECK_EQ(mean[1], 2.0); // 7/3 -> 2
    CHECK(std::isnan(mean[2]));
    CHECK_EQ(fp::mean_coordination_by_species({3, 4}, {0, 0}, 1)[0], 4.0); // 3.5 -> 4
}

TEST_CASE("diamond silicon product is e / (4 d) per factor") {
    // Eight atoms, each with one type of count 4 at distance d.
    const double d = 2.35;
    fp::BondTable table;
    table.offsets = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    table.neighbor_species.assign(8, 0);
    table.distance.assign(8, d);
    table.count.assign(8, 4);
    const std::vector<double> cn(8, 4.0);
    const std::vector<int> species(8, 0);
    const auto mean = fp::mean_coordination_by_species(cn, species, 1);
    int lookups = 0;
    fp::ProductInputs in{&table, &cn, &species, &mean, true};
    auto r = fp::bond_product(in, [&](int) {
        ++lookups;
        return 4.0 / 1.32;
    });
    CHECK_EQ(lookups, 1);
    CHECK_EQ(r.n_types, 8u);
    CHECK_NEAR(r.hv_product, (4.0 / 1.32) / (4.0 * d), 1e-14);
}

TEST_CASE("low-coordination correction") {
    CHECK_EQ(fp::corrected_coordination(3.0), 8.0);
    CHECK_EQ(fp::corrected_coordination(0.0), 32.0);
    CHECK_EQ(fp::corrected_coordination(4.0), 4.0);
    CHECK_EQ(fp::bond_strength_parameter(-4.0, 2.0), 2.0);
    CHECK_EQ(fp::bond_strength_parameter(4.0, 0.0), 0.0);
    CHECK_EQ(fp::ionicity_factor({2.0}), 0.0);
    CHECK_EQ(fp::ionicity_factor({0.0, 0.0}), 1.0);
    CHECK(fp::ionicity_factor({1.0, 4.0}) > 0.0);
}

TEST_CASE("python power semantics") {
    auto p = fp::python_pow(-8.0, 1.0 / 3.0);
    CHECK(p.is_complex);
    CHECK_NEAR(p.re, 1.0, 1e-12);
    CHECK_NEAR(p.im, std::sqrt(3.0), 1e-12);
    CHECK(!fp::python_pow(-2.0, 3.0).is_complex);
    CHECK_EQ(fp::python_pow(-2.0, 3.0).re, -8.0);
    CHECK(fp::python_pow(0.0, -1.0).error == fp::ArithmeticError::kZeroToNegative);
    CHECK(fp::python_pow(1e300, 2.0).error == fp::ArithmeticError::kOverflow);
    CHECK_EQ(fp::python_pow(-INFINITY, 0.5).re, INFINITY);
    CHECK(fp::python_div(1.0, 0.0).error == fp::ArithmeticError::kDivisionByZero);
}

TEST_CASE("moduli models give their worked values") {
    CHECK_NEAR(fp::chen_hardness(409.0, 400.0).re, 66.214, 5e-4);
    CHECK_NEAR(fp::tian_hardness(409.0, 400.0).re, 66.662, 5e-4);
    CHECK_NEAR(fp::jiang_from_shear(409.0), 60.324, 5e-4);
    CHECK_NEAR(fp::jiang_from_young(1000.0), 60.680, 5e-4);
    CHECK_EQ(fp::chen_hardness(-10.0, 100.0).re, 0.0);
    CHECK(fp::tian_hardness(-10.0, 100.0).is_complex);
    CHECK(fp::chen_hardness(1.0, 0.0).error == fp::ArithmeticError::kDivisionByZero);
    const double nu = fp::poisson_from_shear_bulk(409.0, 400.0).re;
    CHECK_NEAR(nu, 0.11871, 1e-5);
    const double chi = fp::mazhnik_poisson_factor(nu).re;
    CHECK_NEAR(fp::mazhnik_hardness(chi, fp::young_from_shear(409.0, nu)), 74.263, 5e-4);
    CHECK_NEAR(fp::mazhnik_poisson_factor(0.15).re, 0.75933, 1e-5);
    CHECK(!fp::poisson_in_typical_range(0.5));
    CHECK(fp::poisson_in_typical_range(0.4999));
    CHECK(!fp::poisson_in_typical_range(NAN));
}

TEST_CASE("element table is ordered and complete") {
    const auto& table = ferrolith::data::kElements;
    CHECK_EQ(table.size(), 109u);
    int previous = 0;
    for (const auto& e : table) {
        CHECK(e.atomic_num > previous);
        CHECK(e.atomic_num != 107);
        previous = e.atomic_num;
    }
    CHECK_EQ(table.back().atomic_num, 110);
}

TEST_CASE("first shell: cutoff between shells, incomplete search, shells that overlap") {
    // Two atoms with a diamond-like pattern: 4 bonds at 1.54, 12 at 2.52.
    std::vector<std::int64_t> i;
    std::vector<double> d;
    for (std::int64_t a = 0; a < 2; ++a) {
        for (int k = 0; k < 16; ++k) {
            i.push_back(a);
            d.push_back(k < 4 ? 1.54 + 0.001 * a : 2.52);
        }
    }
    auto s = ferrolith::core::first_shell(i.data(), d.data(), i.size(), 2, 3.0);
    CHECK(s && s.value->complete && s.value->separated);
    CHECK_NEAR(s.value->cutoff, (1.541 + 2.52) / 2, 1e-12);

    // Atom 1 sees only its first shell: the search must grow.
    std::vector<std::int64_t> i2{0, 0, 1, 1};
    std::vector<double> d2{1.0, 2.0, 1.05, 1.1};
    auto t = ferrolith::core::first_shell(i2.data(), d2.data(), 4, 2, 1.5);
    CHECK(t && !t.value->complete);

    // Atom 0's second neighbour (1.3) lies inside atom 1's first shell (1.4):
    // no radius separates them; the cutoff keeps every first shell whole.
    std::vector<std::int64_t> i3{0, 0, 1, 1};
    std::vector<double> d3{1.0, 1.3, 1.4, 2.0};
    auto u = ferrolith::core::first_shell(i3.data(), d3.data(), 4, 2, 3.0);
    CHECK(u && !u.value->separated);
    CHECK_NEAR(u.value->cutoff, 1.7, 1e-12);

    // An atom without neighbours, and the reach limit of a shell.
    std::vector<std::int64_t> i4{0};
    std::vector<double> d4{1.0};
    CHECK(!ferrolith::core::first_shell(i4.data(), d4.data(), 1, 2, 3.0));
    std::vector<std::int64_t> i5{0, 0, 0, 0};
    std::vector<double> d5{1.0, 1.09, 1.19, 1.305};
    auto v = ferrolith::core::first_shell(i5.data(), d5.data(), 4, 1, 3.0);
    CHECK(v && v.value->inner == 1.19);
}

TEST_CASE("elastic fit: strain set, exact recovery with residual stress, rotation") {
    CHECK(!fp::strain_states({}));
    CHECK(!fp::strain_states({0.01, 0.0}));
    CHECK(!fp::strain_states({0.2}));
    CHECK(!fp::strain_states({std::nan("")}));
    CHECK(!fp::strain_states({0.01, 0.01}));
    auto states = fp::strain_states({0.005, 0.01});
    CHECK(states && states.value->size() == 24u);

    // Stress = C ε + σ0 for an anisotropic C and a residual stress σ0.
    fp::Matrix6 c{};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            c[i][j] = (i == j ? 300.0 : 0.0) + 10.0 / (1 + i + j);
    std::vector<fp::Voigt6> stresses;
    for (const auto& s : *states.value) {
        fp::Voigt6 sigma{};
        for (int i = 0; i < 6; ++i)
            sigma[i] = c[i][s.component] * s.strain + 0.3 * i;
        stresses.push_back(sigma);
    }
    auto fit = fp::fit_tensor(*states.value, stresses);
    CHECK(fit);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            CHECK_NEAR(fit.value->cij[i][j], c[i][j], 1e-9);
    CHECK(fit.value->residual < 1e-9);
    stresses.pop_back();
    CHECK(!fp::fit_tensor(*states.value, stresses));

    // A rotation and its inverse give the tensor back; a singular C has no Reuss average.
    const double a = 0.4;
    fp::Matrix3 r{{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}};
    fp::Matrix3 rt{
        {{r[0][0], r[1][0], r[2][0]}, {r[0][1], r[1][1], r[2][1]}, {r[0][2], r[1][2], r[2][2]}}};
    const fp::Matrix6 back = fp::rotate_tensor(fp::rotate_tensor(c, r), rt);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            CHECK_NEAR(back[i][j], c[i][j], 1e-9);
    fp::Matrix6 singular{};
    singular[0][0] = 1.0;
    CHECK(std::isnan(fp::voigt_reuss_hill(singular).bulk_reuss));
    CHECK(fp::crystal_system(227) == fp::CrystalSystem::kCubic);
    CHECK(fp::crystal_system(194) == fp::CrystalSystem::kHexagonal);
    CHECK(fp::crystal_system(148) == fp::CrystalSystem::kRhombohedralLow);
    CHECK(fp::crystal_system(2) == fp::CrystalSystem::kTriclinic);
}

TEST_CASE("tensor text: CRLF lines, comma separators and a partly labelled block") {
    const std::vector<std::string_view> text{
        "1,0,0,0,0,0\r\n", "0 2 0 0 0 0\r\n",     "# c\r\n", "0 0 3 0 0 0\r\n", "0 0 0 4 0 0\r\n",
        "0 0 0 0 5 0\r\n", "0 0 0 0 0 6 # xy\r\n"};
    auto m = fp::parse_matrix_text(text);
    CHECK(m.has_value());
    CHECK_EQ((*m.value)[5][5], 6.0);
    // VASP's XY row and column land on Voigt 6 (index 5).
    const std::vector<std::string_view> outcar{" TOTAL ELASTIC MODULI (kBar)",
                                               " Direction XX YY ZZ XY YZ ZX",
                                               " ----",
                                               " XX 10 0 0 70 0 0",
                                               " YY 0 20 0 0 0 0",
                                               " ZZ 0 0 30 0 0 0",
                                               " XY 70 0 0 40 0 0",
                                               " YZ 0 0 0 0 50 0",
                                               " XX 0 0 0 0 0 60"};
    auto repeated = fp::parse_outcar_moduli(outcar);
    CHECK(!repeated.has_value());
    CHECK_EQ(repeated.line, 9u);
}

TEST_CASE("Zener's ratio only for cubic tensors") {
    fp::Matrix6 c{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            c[i][j] = i == j ? 300.0 : 100.0;
        c[i + 3][i + 3] = 150.0;
    }
    CHECK_NEAR(fp::zener_ratio(c), 1.5, 1e-15);
    c[2][2] = 250.0; // tetragonal
    CHECK(std::isnan(fp::zener_ratio(c)));
}

namespace {

// The 48 signed permutation matrices (point group m-3m with the cube axes
// along x, y, z).
std::vector<fp::Matrix3> cubic_rotations() {
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    std::vector<fp::Matrix3> out;
    for (const auto& p : perms)
        for (int signs = 0; signs < 8; ++signs) {
            fp::Matrix3 m{};
            for (int i = 0; i < 3; ++i)
                m[i][p[i]] = (signs >> i & 1) ? -1.0 : 1.0;
            out.push_back(m);
        }
    return out;
}

} // namespace

TEST_CASE("symmetry plan: a cubic crystal computes 3 of 12 cells and recovers C exactly") {
    auto states = fp::strain_states({0.005, 0.01});
    const auto rotations = cubic_rotations();
    const fp::StrainPlan plan = fp::plan_strains(*states.value, rotations);
    CHECK_EQ(plan.computed, 6u);
    CHECK_EQ(fp::plan_strains(*states.value, {}).computed, 24u);

    // Stresses of a cubic C for the computed cells, the rest carried over.
    fp::Matrix6 c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            c[i][j] = i == j ? 500.0 : 120.0;
    c[3][3] = c[4][4] = c[5][5] = 300.0;
    std::vector<fp::Voigt6> stresses(states.value->size());
    for (std::size_t k = 0; k < stresses.size(); ++k) {
        const auto& s = (*states.value)[k];
        if (plan.source[k] < 0)
            for (int i = 0; i < 6; ++i)
                stresses[k][i] = c[i][s.component] * s.strain;
    }
    for (std::size_t k = 0; k < stresses.size(); ++k)
        if (plan.source[k] >= 0)
            stresses[k] = fp::rotate_stress(stresses[plan.source[k]], plan.rotation[k]);
    auto fit = fp::fit_tensor(*states.value, stresses);
    CHECK(fit);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            CHECK_NEAR(fit.value->cij[i][j], c[i][j], 1e-9);

    // No stiffness at all is refused.
    std::vector<fp::Voigt6> zero(states.value->size());
    CHECK(!fp::fit_tensor(*states.value, zero));
}

TEST_CASE("strain_allows_forces: site symmetry after the strain") {
    // One atom whose site group is the whole group: Oh (with inversion) or
    // Td (the diamond site: operations whose nonzero entries multiply to +1).
    std::vector<fp::CartesianOperation> oh, td;
    for (const auto& r : cubic_rotations()) {
        oh.push_back({r, {true}});
        double product = 1.0;
        for (const auto& row : r)
            for (double x : row)
                product *= x == 0.0 ? 1.0 : x;
        if (product > 0)
            td.push_back({r, {true}});
    }
    CHECK_EQ(td.size(), 24u);
    const fp::StrainState stretch{0, 0.01}, shear{3, 0.01};
    CHECK(!fp::strain_allows_forces(stretch, oh, 1));
    CHECK(!fp::strain_allows_forces(shear, oh, 1));
    CHECK(!fp::strain_allows_forces(stretch, td, 1));
    CHECK(fp::strain_allows_forces(shear, td, 1)); // diamond's internal strain
    CHECK(fp::strain_allows_forces(shear, {}, 1)); // nothing known
}
