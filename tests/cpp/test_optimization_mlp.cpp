// Kernel tests of the machine-learned potential: forces, virial and tangents
// of a random network against finite differences of the energy and the
// descriptors.
#include "check.hpp"
#include "ferrolith/optimization/mlp.hpp"
#include "ferrolith/optimization/mlp_text.hpp"

#include <cmath>
#include <random>
#include <tuple>
#include <utility>

namespace fo = ferrolith::optimization;

namespace {

fo::ModelParams random_model(std::mt19937& rng, fo::Activation act, bool cross = false,
                             bool four_body = false) {
    std::normal_distribution<double> normal(0.0, 0.3);
    fo::ModelParams p;
    p.descriptor.n_species = 2;
    p.descriptor.radial_cutoff = 3.5;
    p.descriptor.radial_centers = {1.0, 1.8, 2.6};
    p.descriptor.radial_eta = {2.0, 2.0, 1.0};
    p.descriptor.angular_cutoff = 3.0;
    p.descriptor.angular_centers = {1.4, 2.2};
    p.descriptor.angular_eta = {3.0, 1.5};
    p.descriptor.max_order = 4;
    p.descriptor.cross_channels = cross;
    if (four_body) {
        p.descriptor.four_body_orders = {{1, 1, 2}, {2, 2, 2}, {1, 2, 3}, {2, 3, 3}};
        p.descriptor.four_body_mixtures = {{1.0, 1.0}, {-1.0, 0.5}};
        p.descriptor.four_body_cross = cross;
    }
    p.activation = act;
    p.energy_scale = 0.8;
    const int nd = static_cast<int>(fo::Descriptor(p.descriptor).size());
    for (int e = 0; e < 2; ++e) {
        fo::SpeciesNetwork net;
        int width = nd;
        for (int out : {6, 5, 1}) {
            fo::DenseLayer l;
            l.n_in = width;
            l.n_out = out;
            for (int k = 0; k < width * out; ++k)
                l.weight.push_back(normal(rng));
            for (int k = 0; k < out; ++k)
                l.bias.push_back(normal(rng));
            net.layers.push_back(l);
            width = out;
        }
        net.input_mean.assign(nd, 0.5);
        net.input_scale.assign(nd, 0.7);
        net.energy_shift = -3.0 - e;
        p.networks.push_back(net);
    }
    return p;
}

struct Sample {
    std::vector<double> pos;
    std::vector<int> species;
    fo::Matrix3 cell;
    std::array<bool, 3> pbc{true, true, true};
    fo::StructureView view() const {
        fo::StructureView s;
        s.positions = pos.data();
        s.species = species.data();
        s.n = species.size();
        s.cell = cell;
        s.pbc = pbc;
        return s;
    }
};

/// A small, strained, rattled zincblende-like cell with two species.
Sample sample(std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, 0.08);
    Sample s;
    s.cell = {{{0.0, 1.8, 1.85}, {1.75, 0.05, 1.8}, {1.8, 1.8, 0.0}}};
    const double frac[4][3] = {{0, 0, 0}, {0.25, 0.25, 0.25}, {0.5, 0.5, 0.1}, {0.7, 0.2, 0.6}};
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 3; ++k) {
            double x = 0.0;
            for (int a = 0; a < 3; ++a)
                x += frac[i][a] * s.cell[a][k];
            s.pos.push_back(x + noise(rng));
        }
        s.species.push_back(i % 2);
    }
    return s;
}

double energy_of(const fo::Model& m, const Sample& s) {
    fo::Evaluation ev;
    CHECK(m.evaluate(s.view(), false, ev));
    return ev.energy;
}

} // namespace

TEST_CASE("mlp forces and virial are derivatives of the energy") {
    std::mt19937 rng(5);
    for (auto [act, cross, four_body] : {std::tuple{fo::Activation::kTanh, false, false},
                                         std::tuple{fo::Activation::kSilu, false, false},
                                         std::tuple{fo::Activation::kSilu, true, false},
                                         std::tuple{fo::Activation::kSilu, true, true},
                                         std::tuple{fo::Activation::kTanh, false, true}}) {
        const fo::ModelParams params = random_model(rng, act, cross, four_body);
        CHECK(fo::validate_model(params).has_value());
        const fo::Model model(params);
        Sample s = sample(rng);
        fo::Evaluation ev;
        CHECK(model.evaluate(s.view(), true, ev));
        double sum = 0.0;
        for (double e : ev.energies)
            sum += e;
        CHECK_NEAR(sum, ev.energy, 1e-12);
        const double h = 1e-5;
        for (std::size_t k = 0; k < s.pos.size(); ++k) {
            Sample p = s, m = s;
            p.pos[k] += h;
            m.pos[k] -= h;
            const double fd = -(energy_of(model, p) - energy_of(model, m)) / (2 * h);
            CHECK_NEAR(ev.forces[k], fd, 1e-7);
        }
        // virial: dE/d(eps_ab) for positions and cell strained by (1 + eps)
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                double e_pm[2];
                for (int sgn = 0; sgn < 2; ++sgn) {
                    Sample t = s;
                    const double d = sgn ? -h : h;
                    for (std::size_t i = 0; i < s.species.size(); ++i)
                        t.pos[3 * i + a] += d * s.pos[3 * i + b];
                    for (int r = 0; r < 3; ++r)
                        t.cell[r][a] += d * s.cell[r][b];
                    e_pm[sgn] = energy_of(model, t);
                }
                CHECK_NEAR(ev.virial[a][b], (e_pm[0] - e_pm[1]) / (2 * h), 1e-7);
            }
    }
}

TEST_CASE("mlp descriptor tangent is the adjoint of its backward pass") {
    std::mt19937 rng(11);
    for (bool cross : {false, true}) {
        const fo::ModelParams params = random_model(rng, fo::Activation::kTanh, cross);
        const fo::Descriptor desc(params.descriptor);
        Sample s = sample(rng);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::vector<double> v(s.pos.size()), g(s.species.size() * desc.size());
        for (double& x : v)
            x = normal(rng);
        for (double& x : g)
            x = normal(rng);
        fo::Matrix3 strain{};
        for (auto& row : strain)
            for (double& x : row)
                x = 0.2 * normal(rng);
        std::vector<double> jv, jt_g;
        fo::Matrix3 virial;
        CHECK(desc.tangent(s.view(), v.data(), strain, jv));
        CHECK(desc.backward(s.view(), g.data(), jt_g, virial));
        double lhs = 0.0, rhs = 0.0;
        for (std::size_t k = 0; k < g.size(); ++k)
            lhs += g[k] * jv[k];
        for (std::size_t k = 0; k < v.size(); ++k)
            rhs += jt_g[k] * v[k];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                rhs += virial[b][a] * strain[a][b];
        CHECK_NEAR(lhs, rhs, 1e-9 * (1.0 + std::fabs(lhs)));
        // and the tangent is the derivative of the descriptors
        const double h = 1e-6;
        std::vector<double> dp, dm;
        Sample p = s, m = s;
        for (std::size_t k = 0; k < v.size(); ++k) {
            p.pos[k] += h * v[k];
            m.pos[k] -= h * v[k];
        }
        CHECK(desc.tangent(s.view(), v.data(), fo::Matrix3{}, jv));
        CHECK(desc.compute(p.view(), dp));
        CHECK(desc.compute(m.view(), dm));
        for (std::size_t k = 0; k < jv.size(); ++k)
            CHECK_NEAR(jv[k], (dp[k] - dm[k]) / (2 * h), 1e-6 * (1.0 + std::fabs(jv[k])));
    }
}

TEST_CASE("mlp cross-channel descriptor extends the diagonal one") {
    // 2 species, 3 radial and 2 angular functions, L = 4: the diagonal blocks
    // hold 2 channel pairs, the cross blocks 3 for equal and 4 for mixed elements
    std::mt19937 rng(13);
    fo::DescriptorParams diag = random_model(rng, fo::Activation::kTanh).descriptor;
    fo::DescriptorParams all = diag;
    all.cross_channels = true;
    const fo::Descriptor d1(diag), d2(all);
    CHECK_EQ(d1.size(), std::size_t(2 * 3 + 3 * 2 * 4));
    CHECK_EQ(d2.size(), std::size_t(2 * 3 + (3 + 4 + 3) * 4));
    Sample s = sample(rng);
    std::vector<double> a, b;
    CHECK(d1.compute(s.view(), a));
    CHECK(d2.compute(s.view(), b));
    // radial terms agree; the (0,0) block of the cross descriptor starts with
    // the pair (0,0), then (0,1), then (1,1), which is the second diagonal term
    for (std::size_t i = 0; i < s.species.size(); ++i) {
        const double* x = &a[i * d1.size()];
        const double* y = &b[i * d2.size()];
        for (int k = 0; k < 6; ++k)
            CHECK_NEAR(x[k], y[k], 1e-14);
        for (int l = 0; l < 4; ++l) {
            CHECK_NEAR(x[6 + l], y[6 + l], 1e-14);
            CHECK_NEAR(x[6 + 4 + l], y[6 + 8 + l], 1e-14);
        }
    }
}

TEST_CASE("mlp energy of a supercell is the cell energy times its size") {
    std::mt19937 rng(3);
    const fo::Model model(random_model(rng, fo::Activation::kSilu));
    Sample s = sample(rng);
    Sample big;
    big.cell = s.cell;
    for (int r = 0; r < 3; ++r)
        big.cell[0][r] *= 2.0;
    for (int rep = 0; rep < 2; ++rep)
        for (std::size_t i = 0; i < s.species.size(); ++i) {
            for (int k = 0; k < 3; ++k)
                big.pos.push_back(s.pos[3 * i + k] + rep * s.cell[0][k]);
            big.species.push_back(s.species[i]);
        }
    CHECK_NEAR(energy_of(model, big), 2.0 * energy_of(model, s), 1e-9);
}

TEST_CASE("mlp reports overlapping atoms and foreign species") {
    std::mt19937 rng(1);
    const fo::Model model(random_model(rng, fo::Activation::kTanh));
    Sample s = sample(rng);
    s.pbc = {false, false, false};
    for (int k = 0; k < 3; ++k)
        s.pos[3 + k] = s.pos[k];
    fo::Evaluation ev;
    auto err = model.evaluate(s.view(), true, ev);
    CHECK(!err && err.error.find("overlap") != std::string::npos);
    Sample t = sample(rng);
    t.species[2] = 7;
    err = model.evaluate(t.view(), true, ev);
    CHECK(!err && err.error.find("species") != std::string::npos);
    fo::ModelParams bad = random_model(rng, fo::Activation::kTanh);
    bad.networks[1].layers[1].n_in = 3;
    CHECK(!fo::validate_model(bad).has_value());
}

TEST_CASE("mlp evaluated from a simulator's list with ghost atoms equals the periodic evaluation") {
    // A simulator's view: the cell's atoms, then ghost copies of them in the
    // images around it, and full neighbour lists of the cell's atoms only.
    std::mt19937 rng(9);
    const fo::Model model(random_model(rng, fo::Activation::kSilu, true));
    const Sample s = sample(rng);
    const std::size_t n = s.species.size();
    std::vector<double> x(s.pos);
    std::vector<int> species(s.species), owner;
    for (std::size_t i = 0; i < n; ++i)
        owner.push_back(static_cast<int>(i));
    const int reach = 3; // images up to 3 cells away cover the 3.5 Å cutoff
    for (int a = -reach; a <= reach; ++a)
        for (int b = -reach; b <= reach; ++b)
            for (int c = -reach; c <= reach; ++c) {
                if (a == 0 && b == 0 && c == 0)
                    continue;
                for (std::size_t i = 0; i < n; ++i) {
                    for (int k = 0; k < 3; ++k)
                        x.push_back(s.pos[3 * i + k] + a * s.cell[0][k] + b * s.cell[1][k] +
                                    c * s.cell[2][k]);
                    species.push_back(s.species[i]);
                    owner.push_back(static_cast<int>(i));
                }
            }
    const std::size_t total = species.size();
    fo::Model::AtomScratch ws;
    std::vector<double> grad(3 * total, 0.0), atom_virial(6 * total, 0.0);
    fo::Matrix3 virial{};
    double energy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        ws.env.neighbors.clear();
        for (std::size_t j = 0; j < total; ++j) {
            fo::Neighbor nb{
                static_cast<int>(j),
                {x[3 * j] - x[3 * i], x[3 * j + 1] - x[3 * i + 1], x[3 * j + 2] - x[3 * i + 2]},
                0.0};
            nb.distance = std::sqrt(nb.vector[0] * nb.vector[0] + nb.vector[1] * nb.vector[1] +
                                    nb.vector[2] * nb.vector[2]);
            if (j != i && nb.distance < model.descriptor().cutoff())
                ws.env.neighbors.push_back(nb);
        }
        energy += model.atom_energy(species.data(), i, ws, grad.data(), virial, atom_virial.data());
    }
    fo::Evaluation ev;
    CHECK(model.evaluate(s.view(), true, ev));
    CHECK_NEAR(energy, ev.energy, 1e-12 * std::fabs(ev.energy));
    // ghost forces belong to the atoms they are images of
    std::vector<double> forces(3 * n, 0.0);
    double trace = 0.0;
    for (std::size_t j = 0; j < total; ++j) {
        for (int k = 0; k < 3; ++k)
            forces[3 * owner[j] + k] -= grad[3 * j + k];
        trace += atom_virial[6 * j] + atom_virial[6 * j + 1] + atom_virial[6 * j + 2];
    }
    for (std::size_t k = 0; k < 3 * n; ++k)
        CHECK_NEAR(forces[k], ev.forces[k], 1e-12);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            CHECK_NEAR(0.5 * (virial[a][b] + virial[b][a]), ev.virial[a][b], 1e-12);
    CHECK_NEAR(trace, ev.virial[0][0] + ev.virial[1][1] + ev.virial[2][2], 1e-12);
}

TEST_CASE("mlp parameter text reads back to the same model and names bad lines") {
    std::mt19937 rng(4);
    const fo::NamedModel three_body{{"B", "N"}, random_model(rng, fo::Activation::kTanh, true)};
    CHECK(fo::format_model_text(three_body).find("ferrolith-mlp-parameters 1\n") !=
          std::string::npos);
    const fo::NamedModel named{{"B", "N"}, random_model(rng, fo::Activation::kTanh, true, true)};
    const std::string text = fo::format_model_text(named);
    auto back = fo::parse_model_text(text);
    CHECK(back.has_value());
    CHECK(back.value->params.descriptor.four_body_orders ==
          named.params.descriptor.four_body_orders);
    CHECK(back.value->elements == named.elements);
    const Sample s = sample(rng);
    fo::Evaluation a, b;
    CHECK(fo::Model(named.params).evaluate(s.view(), true, a));
    CHECK(fo::Model(back.value->params).evaluate(s.view(), true, b));
    CHECK(a.energy == b.energy && a.forces == b.forces); // bit for bit
    // a damaged number, a truncated file and a foreign file fail with their line
    std::string bad = text;
    bad.replace(bad.find("energy_scale ") + 13, 3, "x.5");
    auto err = fo::parse_model_text(bad);
    CHECK(!err && err.line == 5 && err.error.find("not a number") != std::string::npos);
    err = fo::parse_model_text(text.substr(0, text.size() / 2));
    CHECK(!err && err.line > 10);
    err = fo::parse_model_text("ferrolith-mlp 3\n");
    CHECK(!err && err.line == 1);
}
