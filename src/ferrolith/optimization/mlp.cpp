#include "ferrolith/optimization/mlp.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace ferrolith::optimization {

namespace {

constexpr double kPi = 3.14159265358979323846;

/// Cosine cutoff and its derivative at r < rc.
inline void cosine_cutoff(double r, double rc, double& f, double& df) {
    const double x = kPi * r / rc;
    f = 0.5 * (std::cos(x) + 1.0);
    df = -0.5 * std::sin(x) * kPi / rc;
}

/// Gaussians exp(-eta (r-mu)^2) fc(r) and their r-derivatives, interleaved
/// (value, derivative) into out.
inline void gaussian_basis(double r, double rc, const std::vector<double>& mu,
                           const std::vector<double>& eta, double* out) {
    double f, df;
    cosine_cutoff(r, rc, f, df);
    for (std::size_t n = 0; n < mu.size(); ++n) {
        const double d = r - mu[n];
        const double e = std::exp(-eta[n] * d * d);
        out[2 * n] = e * f;
        out[2 * n + 1] = e * (df - 2.0 * eta[n] * d * f);
    }
}

core::Status species_error(std::size_t i, int sp, int n_species) {
    return core::Status::fail("atom " + std::to_string(i) + " has species id " +
                              std::to_string(sp) + ", outside 0.." + std::to_string(n_species - 1));
}

// The neighbour list of the calling thread, reused between evaluations so
// that its storage (several MB for thousands of atoms) is allocated once.
core::NeighborList& thread_list() {
    thread_local core::NeighborList list;
    return list;
}

core::Status fail(const char* message) {
    return core::Status::fail(message);
}

/// Element-mixed channels: out[k] = sum_a w[k][a] in[a] over blocks of
/// `block` values (`out` resized and zeroed), or with `transpose` the adjoint,
/// out[a] += sum_k w[k][a] in[k] (`out` already sized).
void mix_channels(const std::vector<std::vector<double>>& w, const double* in, std::size_t block,
                  bool transpose, std::vector<double>& out) {
    if (!transpose)
        out.assign(w.size() * block, 0.0);
    for (std::size_t k = 0; k < w.size(); ++k)
        for (std::size_t a = 0; a < w[k].size(); ++a) {
            const double weight = w[k][a];
            if (weight == 0.0)
                continue;
            const double* from = in + (transpose ? k : a) * block;
            double* to = out.data() + (transpose ? a : k) * block;
            for (std::size_t x = 0; x < block; ++x)
                to[x] += weight * from[x];
        }
}

constexpr std::size_t kMaxFourBodyOrders = 32;
constexpr std::size_t kMaxFourBodyMixtures = 8;

/// Exponent triples (x, y, z) with x + y + z = k and their multiplicity
/// k! / (x! y! z!): the ordered index tuples of length k they stand for.
std::vector<std::pair<std::array<int, 3>, double>> index_multisets(int k) {
    std::vector<std::pair<std::array<int, 3>, double>> out;
    for (int x = k; x >= 0; --x)
        for (int y = k - x; y >= 0; --y) {
            const int z = k - x - y;
            out.push_back(
                {{x, y, z},
                 std::round(std::tgamma(k + 1.0) /
                            (std::tgamma(x + 1.0) * std::tgamma(y + 1.0) * std::tgamma(z + 1.0)))});
        }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Descriptor
// ---------------------------------------------------------------------------

core::Status validate_descriptor(const DescriptorParams& p) {
    if (p.n_species < 1)
        return fail("the descriptor needs at least one element");
    if (!(p.radial_cutoff > 0.0) || !std::isfinite(p.radial_cutoff))
        return fail("the radial cutoff must be a positive number");
    if (!(p.angular_cutoff > 0.0) || !(p.angular_cutoff <= p.radial_cutoff))
        return fail("the angular cutoff must be positive and at most the radial cutoff");
    if (p.radial_centers.empty() || p.radial_centers.size() != p.radial_eta.size())
        return fail("radial centres and eta must be non-empty lists of equal length");
    if (p.angular_centers.empty() || p.angular_centers.size() != p.angular_eta.size())
        return fail("angular centres and eta must be non-empty lists of equal length");
    for (const auto* v : {&p.radial_centers, &p.radial_eta, &p.angular_centers, &p.angular_eta})
        for (double x : *v)
            if (!std::isfinite(x))
                return fail("descriptor parameters must be finite numbers");
    for (const auto* v : {&p.radial_eta, &p.angular_eta})
        for (double x : *v)
            if (x < 0.0)
                return fail("eta must not be negative");
    if (p.max_order < 1 || p.max_order > 8)
        return fail("the angular order must lie between 1 and 8");
    if (p.four_body_orders.empty() != p.four_body_mixtures.empty())
        return fail("four-body terms need both their orders and their element mixtures");
    if (p.four_body_orders.size() > kMaxFourBodyOrders)
        return fail("at most 32 four-body orders");
    for (const auto& o : p.four_body_orders)
        if (o[0] < 1 || o[2] > p.max_order || o[0] > o[1] || o[1] > o[2] || o[2] > o[0] + o[1] ||
            (o[0] + o[1] + o[2]) % 2 != 0)
            return fail("four-body orders (l1, l2, l3) need 1 <= l1 <= l2 <= l3 <= l1 + l2, "
                        "l3 at most the angular order, and an even sum");
    if (p.four_body_mixtures.size() > kMaxFourBodyMixtures)
        return fail("at most 8 four-body element mixtures");
    for (const auto& row : p.four_body_mixtures) {
        if (row.size() != static_cast<std::size_t>(p.n_species))
            return fail("each four-body element mixture needs one weight per element");
        for (double w : row)
            if (!std::isfinite(w))
                return fail("four-body element mixtures must be finite numbers");
    }
    return core::success();
}

Descriptor::Descriptor(DescriptorParams params) : p_(std::move(params)) {
    for (int l = 1; l <= p_.max_order; ++l)
        for (int px = l; px >= 0; --px)
            for (int qy = l - px; qy >= 0; --qy) {
                const int tz = l - px - qy;
                double w = std::tgamma(l + 1.0) /
                           (std::tgamma(px + 1.0) * std::tgamma(qy + 1.0) * std::tgamma(tz + 1.0));
                monomials_.push_back({px, qy, tz, l, std::round(w)});
            }
    const std::size_t ns = p_.n_species, na = p_.angular_centers.size();
    for (std::size_t n = 0; n < na; ++n)
        for (std::size_t m = n; m < na; ++m)
            if (m == n || p_.cross_channels)
                same_pairs_.push_back({n, m});
    for (std::size_t n = 0; n < na; ++n)
        for (std::size_t m = 0; m < na; ++m)
            if (m == n || p_.cross_channels)
                mixed_pairs_.push_back({n, m});
    // element pairs (a, b), a <= b, in row order: (0,0), (0,1), ..., (1,1), ...
    offsets_.assign(ns * ns, 0);
    size_ = ns * p_.radial_centers.size();
    for (std::size_t a = 0; a < ns; ++a)
        for (std::size_t b = a; b < ns; ++b) {
            offsets_[a * ns + b] = offsets_[b * ns + a] = size_;
            size_ += channel_pairs(a, b).size() * p_.max_order;
        }
    build_four_body();
}

std::size_t Descriptor::monomial_index(int p, int q, int t) const {
    for (std::size_t m = 0; m < monomials_.size(); ++m)
        if (monomials_[m].p == p && monomials_[m].q == q && monomials_[m].t == t)
            return m;
    return monomials_.size(); // not reached for orders validate_descriptor accepts
}

void Descriptor::build_four_body() {
    four_body_offset_ = size_;
    const std::size_t na = p_.angular_centers.size(), S = monomials_.size();
    const std::size_t channels = p_.four_body_mixtures.size() * na;
    for (std::size_t o = 0; o < p_.four_body_orders.size(); ++o) {
        const auto [l1, l2, l3] = p_.four_body_orders[o];
        // indices shared by tensors 1 and 2, 1 and 3, 2 and 3
        const auto shared12 = index_multisets((l1 + l2 - l3) / 2);
        const auto shared13 = index_multisets((l1 + l3 - l2) / 2);
        const auto shared23 = index_multisets((l2 + l3 - l1) / 2);
        std::vector<ContractionTerm> terms;
        for (const auto& [i, wi] : shared12)
            for (const auto& [j, wj] : shared13)
                for (const auto& [k, wk] : shared23)
                    terms.push_back({wi * wj * wk,
                                     monomial_index(i[0] + j[0], i[1] + j[1], i[2] + j[2]),
                                     monomial_index(i[0] + k[0], i[1] + k[1], i[2] + k[2]),
                                     monomial_index(j[0] + k[0], j[1] + k[1], j[2] + k[2])});
        // products of the same three components, summed
        std::sort(terms.begin(), terms.end(),
                  [](const ContractionTerm& x, const ContractionTerm& y) {
                      return std::tie(x.i1, x.i2, x.i3) < std::tie(y.i1, y.i2, y.i3);
                  });
        std::vector<ContractionTerm> merged;
        for (const ContractionTerm& t : terms)
            if (!merged.empty() && merged.back().i1 == t.i1 && merged.back().i2 == t.i2 &&
                merged.back().i3 == t.i3)
                merged.back().weight += t.weight;
            else
                merged.push_back(t);
        contractions_.push_back(std::move(merged));
        // channel c = mixture * na + angular function; a contraction is
        // symmetric in two tensors of equal order, so those take c1 <= c2
        for (std::size_t c1 = 0; c1 < channels; ++c1)
            for (std::size_t c2 = l1 == l2 ? c1 : 0; c2 < channels; ++c2)
                for (std::size_t c3 = l2 == l3 ? c2 : 0; c3 < channels; ++c3) {
                    const bool same_function = c1 % na == c2 % na && c2 % na == c3 % na;
                    if (same_function || p_.four_body_cross)
                        four_body_.push_back({o, c1 * S, c2 * S, c3 * S});
                }
    }
    size_ += four_body_.size();
}

void Descriptor::four_body_forward(EnvironmentScratch& ws, double* desc) const {
    if (four_body_.empty())
        return;
    const std::size_t na = p_.angular_centers.size(), S = monomials_.size();
    const std::size_t block = na * S;
    const auto& mixtures = p_.four_body_mixtures;
    mix_channels(mixtures, ws.moments.data(), block, false, ws.mixed);
    double* out = desc + four_body_offset_;
    for (std::size_t q = 0; q < four_body_.size(); ++q) {
        const FourBodyEntry& e = four_body_[q];
        const double *x1 = &ws.mixed[e.c1], *x2 = &ws.mixed[e.c2], *x3 = &ws.mixed[e.c3];
        double sum = 0.0;
        for (const ContractionTerm& t : contractions_[e.contraction])
            sum += t.weight * x1[t.i1] * x2[t.i2] * x3[t.i3];
        out[q] = sum;
    }
}

void Descriptor::four_body_adjoint(const double* grad, EnvironmentScratch& ws) const {
    if (four_body_.empty())
        return;
    const std::size_t na = p_.angular_centers.size(), S = monomials_.size();
    const std::size_t block = na * S;
    const auto& mixtures = p_.four_body_mixtures;
    ws.mixed_adj.assign(mixtures.size() * block, 0.0);
    const double* g = grad + four_body_offset_;
    for (std::size_t q = 0; q < four_body_.size(); ++q) {
        if (g[q] == 0.0)
            continue;
        const FourBodyEntry& e = four_body_[q];
        const double *x1 = &ws.mixed[e.c1], *x2 = &ws.mixed[e.c2], *x3 = &ws.mixed[e.c3];
        double *g1 = &ws.mixed_adj[e.c1], *g2 = &ws.mixed_adj[e.c2], *g3 = &ws.mixed_adj[e.c3];
        for (const ContractionTerm& t : contractions_[e.contraction]) {
            const double w = g[q] * t.weight;
            g1[t.i1] += w * x2[t.i2] * x3[t.i3];
            g2[t.i2] += w * x1[t.i1] * x3[t.i3];
            g3[t.i3] += w * x1[t.i1] * x2[t.i2];
        }
    }
    mix_channels(mixtures, ws.mixed_adj.data(), block, true, ws.moment_adj);
}

void Descriptor::four_body_tangent(EnvironmentScratch& ws, double* out) const {
    if (four_body_.empty())
        return;
    const std::size_t na = p_.angular_centers.size(), S = monomials_.size();
    const std::size_t block = na * S;
    const auto& mixtures = p_.four_body_mixtures;
    mix_channels(mixtures, ws.moment_tangent.data(), block, false, ws.mixed_tangent);
    double* o = out + four_body_offset_;
    for (std::size_t q = 0; q < four_body_.size(); ++q) {
        const FourBodyEntry& e = four_body_[q];
        const double *x1 = &ws.mixed[e.c1], *x2 = &ws.mixed[e.c2], *x3 = &ws.mixed[e.c3];
        const double *d1 = &ws.mixed_tangent[e.c1], *d2 = &ws.mixed_tangent[e.c2],
                     *d3 = &ws.mixed_tangent[e.c3];
        double sum = 0.0;
        for (const ContractionTerm& t : contractions_[e.contraction])
            sum += t.weight * (d1[t.i1] * x2[t.i2] * x3[t.i3] + x1[t.i1] * d2[t.i2] * x3[t.i3] +
                               x1[t.i1] * x2[t.i2] * d3[t.i3]);
        o[q] += sum;
    }
}

std::size_t Descriptor::angular_offset(int a, int b) const {
    return offsets_[a * p_.n_species + b];
}

core::Status Descriptor::neighbor_list(const StructureView& s, core::NeighborList& list) const {
    for (std::size_t i = 0; i < s.n; ++i)
        if (s.species[i] < 0 || s.species[i] >= p_.n_species)
            return species_error(i, s.species[i], p_.n_species);
    core::NeighborQuery q;
    q.n_atoms = s.n;
    q.positions = s.positions;
    q.cell = s.cell;
    q.pbc = s.pbc;
    q.cutoff = &p_.radial_cutoff;
    q.min_distance = core::kOverlapDistance;
    q.max_neighbors = s.max_neighbors;
    return core::build_neighbor_list(q, list);
}

void Descriptor::gather(const core::NeighborList& list, std::size_t i,
                        EnvironmentScratch& ws) const {
    const std::size_t slot = list.slot_of[i];
    const std::size_t first = list.offsets[slot];
    const std::size_t nn = list.offsets[slot + 1] - first;
    ws.neighbors.resize(nn);
    for (std::size_t k = 0; k < nn; ++k) {
        const double* d = &list.delta[4 * (first + k)];
        ws.neighbors[k] = {
            static_cast<int>(list.order[list.index[first + k]]), {d[0], d[1], d[2]}, d[3]};
    }
}

void Descriptor::environment(const int* species, EnvironmentScratch& ws, double* desc) const {
    const std::size_t nr = p_.radial_centers.size(), na = p_.angular_centers.size();
    const std::size_t S = monomials_.size(), ns = p_.n_species;
    const int L = p_.max_order;
    const std::size_t nn = ws.neighbors.size();
    // Neighbours within the angular cutoff first, so that the loops below
    // take the same branch for long runs.
    std::partition(ws.neighbors.begin(), ws.neighbors.end(),
                   [rc = p_.angular_cutoff](const Neighbor& nb) { return nb.distance < rc; });
    // per-neighbour angular data is written and read only within rc_a
    ws.radial.resize(2 * nr * nn);
    ws.angular.resize(2 * na * nn);
    ws.monomials.resize(S * nn);
    ws.monomial_grad.resize(3 * S * nn);
    ws.radial_sums.assign(ns * nr, 0.0);
    ws.moments.assign(ns * na * S, 0.0);

    double pw[3][9]; // powers 0..L of the unit-vector components
    for (std::size_t k = 0; k < nn; ++k) {
        const Neighbor& nb = ws.neighbors[k];
        const int a = species[nb.index];
        double* rad = &ws.radial[2 * nr * k];
        gaussian_basis(nb.distance, p_.radial_cutoff, p_.radial_centers, p_.radial_eta, rad);
        for (std::size_t n = 0; n < nr; ++n)
            ws.radial_sums[a * nr + n] += rad[2 * n];
        if (nb.distance >= p_.angular_cutoff)
            continue;
        double* ang = &ws.angular[2 * na * k];
        gaussian_basis(nb.distance, p_.angular_cutoff, p_.angular_centers, p_.angular_eta, ang);
        for (int c = 0; c < 3; ++c) {
            pw[c][0] = 1.0;
            const double u = nb.vector[c] / nb.distance;
            for (int e = 1; e <= L; ++e)
                pw[c][e] = pw[c][e - 1] * u;
        }
        double* u = &ws.monomials[S * k];
        double* gu = &ws.monomial_grad[3 * S * k];
        for (std::size_t m = 0; m < S; ++m) {
            const Monomial& mo = monomials_[m];
            u[m] = pw[0][mo.p] * pw[1][mo.q] * pw[2][mo.t];
            gu[3 * m] = mo.p ? mo.p * pw[0][mo.p - 1] * pw[1][mo.q] * pw[2][mo.t] : 0.0;
            gu[3 * m + 1] = mo.q ? mo.q * pw[0][mo.p] * pw[1][mo.q - 1] * pw[2][mo.t] : 0.0;
            gu[3 * m + 2] = mo.t ? mo.t * pw[0][mo.p] * pw[1][mo.q] * pw[2][mo.t - 1] : 0.0;
        }
        for (std::size_t n = 0; n < na; ++n) {
            double* mom = &ws.moments[(a * na + n) * S];
            const double h = ang[2 * n];
            for (std::size_t m = 0; m < S; ++m)
                mom[m] += h * u[m];
        }
    }

    std::copy(ws.radial_sums.begin(), ws.radial_sums.end(), desc);
    for (std::size_t a = 0; a < ns; ++a)
        for (std::size_t b = a; b < ns; ++b) {
            double* out = desc + angular_offset(a, b);
            const auto& pairs = channel_pairs(a, b);
            for (std::size_t q = 0; q < pairs.size(); ++q) {
                const double* ma = &ws.moments[(a * na + pairs[q].n) * S];
                const double* mb = &ws.moments[(b * na + pairs[q].m) * S];
                double* o = out + q * L;
                std::fill(o, o + L, 0.0);
                for (std::size_t m = 0; m < S; ++m)
                    o[monomials_[m].order - 1] += monomials_[m].weight * ma[m] * mb[m];
            }
        }
    if (!four_body_.empty())
        four_body_forward(ws, desc);
}

void Descriptor::scatter(const int* species, std::size_t i, const double* grad_desc,
                         EnvironmentScratch& ws, double* grad_pos, Matrix3& virial,
                         double* atom_virial) const {
    const std::size_t nr = p_.radial_centers.size(), na = p_.angular_centers.size();
    const std::size_t S = monomials_.size(), ns = p_.n_species;
    const int L = p_.max_order;
    // adjoints of the radial sums and of the moment tensors
    ws.radial_adj.assign(grad_desc, grad_desc + ns * nr);
    ws.moment_adj.assign(ns * na * S, 0.0);
    for (std::size_t a = 0; a < ns; ++a)
        for (std::size_t b = a; b < ns; ++b) {
            const double* g = grad_desc + angular_offset(a, b);
            const auto& pairs = channel_pairs(a, b);
            for (std::size_t q = 0; q < pairs.size(); ++q) {
                const std::size_t ia = (a * na + pairs[q].n) * S, ib = (b * na + pairs[q].m) * S;
                const double* ma = &ws.moments[ia];
                const double* mb = &ws.moments[ib];
                double* ga = &ws.moment_adj[ia];
                double* gb = &ws.moment_adj[ib];
                for (std::size_t m = 0; m < S; ++m) {
                    const double c = g[q * L + monomials_[m].order - 1] * monomials_[m].weight;
                    ga[m] += c * mb[m];
                    gb[m] += c * ma[m];
                }
            }
        }
    if (!four_body_.empty())
        four_body_adjoint(grad_desc, ws);

    for (std::size_t k = 0; k < ws.neighbors.size(); ++k) {
        const Neighbor& nb = ws.neighbors[k];
        const int a = species[nb.index];
        const double r = nb.distance;
        const double rhat[3] = {nb.vector[0] / r, nb.vector[1] / r, nb.vector[2] / r};
        // dE/dr along rhat, and the part perpendicular from the angular terms
        double along = 0.0;
        const double* rad = &ws.radial[2 * nr * k];
        for (std::size_t n = 0; n < nr; ++n)
            along += ws.radial_adj[a * nr + n] * rad[2 * n + 1];
        double g[3] = {0.0, 0.0, 0.0};
        if (r < p_.angular_cutoff) {
            const double* ang = &ws.angular[2 * na * k];
            const double* u = &ws.monomials[S * k];
            const double* gu = &ws.monomial_grad[3 * S * k];
            for (std::size_t n = 0; n < na; ++n) {
                const double* adj = &ws.moment_adj[(a * na + n) * S];
                double pu = 0.0, lu = 0.0, q[3] = {0.0, 0.0, 0.0};
                for (std::size_t m = 0; m < S; ++m) {
                    pu += adj[m] * u[m];
                    lu += adj[m] * monomials_[m].order * u[m];
                    q[0] += adj[m] * gu[3 * m];
                    q[1] += adj[m] * gu[3 * m + 1];
                    q[2] += adj[m] * gu[3 * m + 2];
                }
                // d/dR [h(r) u(R/r)] = h' u rhat + h (grad u - l u rhat) / r
                along += ang[2 * n + 1] * pu - ang[2 * n] * lu / r;
                const double hr = ang[2 * n] / r;
                for (int c = 0; c < 3; ++c)
                    g[c] += hr * q[c];
            }
        }
        for (int c = 0; c < 3; ++c)
            g[c] += along * rhat[c];
        // R = r_j - r_i: the gradient acts on j with +, on i with -
        double* gj = grad_pos + 3 * nb.index;
        double* gi = grad_pos + 3 * i;
        for (int c = 0; c < 3; ++c) {
            gj[c] += g[c];
            gi[c] -= g[c];
            for (int d = 0; d < 3; ++d)
                virial[c][d] += nb.vector[c] * g[d];
        }
        if (atom_virial) {
            // Voigt order xx yy zz yz xz xy, symmetrised as the total is
            const double* v = nb.vector;
            const double w[6] = {v[0] * g[0],
                                 v[1] * g[1],
                                 v[2] * g[2],
                                 0.5 * (v[1] * g[2] + v[2] * g[1]),
                                 0.5 * (v[0] * g[2] + v[2] * g[0]),
                                 0.5 * (v[0] * g[1] + v[1] * g[0])};
            double* wi = atom_virial + 6 * i;
            double* wj = atom_virial + 6 * nb.index;
            for (int c = 0; c < 6; ++c) {
                wi[c] += 0.5 * w[c];
                wj[c] += 0.5 * w[c];
            }
        }
    }
}

core::Status Descriptor::compute(const StructureView& s, std::vector<double>& out) const {
    core::NeighborList& cells = thread_list();
    if (core::Status status = neighbor_list(s, cells); !status)
        return status;
    out.assign(s.n * size_, 0.0);
    EnvironmentScratch ws;
    for (std::size_t i = 0; i < s.n; ++i) {
        gather(cells, i, ws);
        environment(s.species, ws, &out[i * size_]);
    }
    return core::success();
}

core::Status Descriptor::backward(const StructureView& s, const double* grad_desc,
                                  std::vector<double>& grad_pos, Matrix3& virial) const {
    core::NeighborList& cells = thread_list();
    if (core::Status status = neighbor_list(s, cells); !status)
        return status;
    grad_pos.assign(3 * s.n, 0.0);
    virial = Matrix3{};
    EnvironmentScratch ws;
    std::vector<double> desc(size_);
    for (std::size_t i = 0; i < s.n; ++i) {
        gather(cells, i, ws);
        environment(s.species, ws, desc.data());
        scatter(s.species, i, grad_desc + i * size_, ws, grad_pos.data(), virial);
    }
    return core::success();
}

core::Status Descriptor::tangent(const StructureView& s, const double* displacement,
                                 const Matrix3& strain, std::vector<double>& out) const {
    core::NeighborList& cells = thread_list();
    if (core::Status status = neighbor_list(s, cells); !status)
        return status;
    const std::size_t nr = p_.radial_centers.size(), na = p_.angular_centers.size();
    const std::size_t S = monomials_.size(), ns = p_.n_species;
    const int L = p_.max_order;
    out.assign(s.n * size_, 0.0);
    EnvironmentScratch ws;
    std::vector<double> desc(size_);
    for (std::size_t i = 0; i < s.n; ++i) {
        gather(cells, i, ws);
        environment(s.species, ws, desc.data());
        double* d = &out[i * size_];
        ws.moment_tangent.assign(ns * na * S, 0.0);
        for (std::size_t k = 0; k < ws.neighbors.size(); ++k) {
            const Neighbor& nb = ws.neighbors[k];
            const int a = s.species[nb.index];
            const double r = nb.distance;
            double dR[3];
            for (int c = 0; c < 3; ++c)
                dR[c] = displacement[3 * nb.index + c] - displacement[3 * i + c] +
                        strain[c][0] * nb.vector[0] + strain[c][1] * nb.vector[1] +
                        strain[c][2] * nb.vector[2];
            const double dr =
                (nb.vector[0] * dR[0] + nb.vector[1] * dR[1] + nb.vector[2] * dR[2]) / r;
            const double* rad = &ws.radial[2 * nr * k];
            for (std::size_t n = 0; n < nr; ++n)
                d[a * nr + n] += rad[2 * n + 1] * dr;
            if (r >= p_.angular_cutoff)
                continue;
            const double* ang = &ws.angular[2 * na * k];
            const double* u = &ws.monomials[S * k];
            const double* gu = &ws.monomial_grad[3 * S * k];
            for (std::size_t m = 0; m < S; ++m) {
                // change of u(R/r): (grad u . dR - l u dr) / r
                const double du = (gu[3 * m] * dR[0] + gu[3 * m + 1] * dR[1] +
                                   gu[3 * m + 2] * dR[2] - monomials_[m].order * u[m] * dr) /
                                  r;
                for (std::size_t n = 0; n < na; ++n)
                    ws.moment_tangent[(a * na + n) * S + m] +=
                        ang[2 * n + 1] * dr * u[m] + ang[2 * n] * du;
            }
        }
        for (std::size_t a = 0; a < ns; ++a)
            for (std::size_t b = a; b < ns; ++b) {
                double* o = d + angular_offset(a, b);
                const auto& pairs = channel_pairs(a, b);
                for (std::size_t q = 0; q < pairs.size(); ++q) {
                    const std::size_t ia = (a * na + pairs[q].n) * S;
                    const std::size_t ib = (b * na + pairs[q].m) * S;
                    for (std::size_t m = 0; m < S; ++m)
                        o[q * L + monomials_[m].order - 1] +=
                            monomials_[m].weight * (ws.moment_tangent[ia + m] * ws.moments[ib + m] +
                                                    ws.moments[ia + m] * ws.moment_tangent[ib + m]);
                }
            }
        four_body_tangent(ws, d);
    }
    return core::success();
}

// ---------------------------------------------------------------------------
// Networks
// ---------------------------------------------------------------------------

core::Status validate_model(const ModelParams& p) {
    if (core::Status status = validate_descriptor(p.descriptor); !status)
        return status;
    const std::size_t n_in = Descriptor(p.descriptor).size();
    if (p.networks.size() != static_cast<std::size_t>(p.descriptor.n_species))
        return core::Status::fail("expected " + std::to_string(p.descriptor.n_species) +
                                  " networks, one per element, got " +
                                  std::to_string(p.networks.size()));
    if (!std::isfinite(p.energy_scale))
        return fail("the energy scale must be a finite number");
    for (std::size_t e = 0; e < p.networks.size(); ++e) {
        const SpeciesNetwork& net = p.networks[e];
        const std::string who = "network " + std::to_string(e);
        if (net.input_mean.size() != n_in || net.input_scale.size() != n_in)
            return core::Status::fail(who + ": input normalisation must have " +
                                      std::to_string(n_in) + " entries");
        if (net.layers.empty())
            return core::Status::fail(who + " has no layers");
        int width = static_cast<int>(n_in);
        for (std::size_t l = 0; l < net.layers.size(); ++l) {
            const DenseLayer& layer = net.layers[l];
            if (layer.n_in != width)
                return core::Status::fail(who + ", layer " + std::to_string(l) + ": expects " +
                                          std::to_string(layer.n_in) +
                                          " inputs, the previous layer gives " +
                                          std::to_string(width));
            if (layer.n_out < 1 ||
                layer.weight.size() != static_cast<std::size_t>(layer.n_in) * layer.n_out ||
                layer.bias.size() != static_cast<std::size_t>(layer.n_out))
                return core::Status::fail(who + ", layer " + std::to_string(l) +
                                          ": weight and bias sizes disagree");
            for (const auto* v : {&layer.weight, &layer.bias})
                for (double x : *v)
                    if (!std::isfinite(x))
                        return core::Status::fail(who + ", layer " + std::to_string(l) +
                                                  ": non-finite weights");
            width = layer.n_out;
        }
        if (width != 1)
            return core::Status::fail(who + ": the last layer must have one output");
        for (std::size_t k = 0; k < n_in; ++k)
            if (!std::isfinite(net.input_mean[k]) || !std::isfinite(net.input_scale[k]))
                return core::Status::fail(who + ": non-finite input normalisation");
        if (!std::isfinite(net.energy_shift))
            return core::Status::fail(who + ": non-finite energy shift");
    }
    return core::success();
}

core::Outcome<std::vector<SpeciesNetwork>> fold_shared_network(const SharedNetwork& shared,
                                                               std::size_t descriptor_size) {
    using Result = core::Outcome<std::vector<SpeciesNetwork>>;
    const std::size_t ns = shared.embeddings.size();
    if (ns == 0 || shared.energy_shifts.size() != ns)
        return Result::fail("the shared network needs one embedding and one energy shift per "
                            "element");
    if (shared.layers.empty())
        return Result::fail("the shared network has no layers");
    const std::size_t width = shared.embeddings[0].size();
    for (const auto& e : shared.embeddings) {
        if (e.size() != width)
            return Result::fail("the element embeddings differ in length");
        for (double x : e)
            if (!std::isfinite(x))
                return Result::fail("the element embeddings must be finite numbers");
    }
    const DenseLayer& first = shared.layers[0];
    const std::size_t n_in = descriptor_size + width;
    if (static_cast<std::size_t>(first.n_in) != n_in ||
        first.weight.size() != n_in * static_cast<std::size_t>(first.n_out) ||
        first.bias.size() != static_cast<std::size_t>(first.n_out))
        return Result::fail("the first layer of the shared network must read " +
                            std::to_string(descriptor_size) + " descriptor entries and " +
                            std::to_string(width) + " embedding entries");
    std::vector<SpeciesNetwork> out(ns);
    for (std::size_t e = 0; e < ns; ++e) {
        SpeciesNetwork& net = out[e];
        net.layers = shared.layers;
        net.input_mean = shared.input_mean;
        net.input_scale = shared.input_scale;
        net.energy_shift = shared.energy_shifts[e];
        DenseLayer& layer = net.layers[0];
        layer.n_in = static_cast<int>(descriptor_size);
        layer.weight.clear();
        for (int o = 0; o < first.n_out; ++o) {
            const double* row = &first.weight[o * n_in];
            layer.weight.insert(layer.weight.end(), row, row + descriptor_size);
            for (std::size_t k = 0; k < width; ++k)
                layer.bias[o] += row[descriptor_size + k] * shared.embeddings[e][k];
        }
    }
    return Result::ok(std::move(out));
}

Model::Model(ModelParams params) : p_(std::move(params)), descriptor_(p_.descriptor) {
    for (const SpeciesNetwork& net : p_.networks) {
        FastNetwork fast;
        fast.energy_shift = net.energy_shift;
        for (std::size_t l = 0; l < net.layers.size(); ++l) {
            const DenseLayer& layer = net.layers[l];
            FastLayer f{layer.n_in, layer.n_out, layer.weight, {}, layer.bias};
            if (l == 0) {
                // W ((d - mean) * scale) + b = (W diag(scale)) d + (b - W diag(scale) mean)
                for (int o = 0; o < f.n_out; ++o)
                    for (int k = 0; k < f.n_in; ++k) {
                        double& w = f.weight[static_cast<std::size_t>(o) * f.n_in + k];
                        w *= net.input_scale[k];
                        f.bias[o] -= w * net.input_mean[k];
                    }
            }
            f.weight_t.resize(f.weight.size());
            for (int o = 0; o < f.n_out; ++o)
                for (int k = 0; k < f.n_in; ++k)
                    f.weight_t[static_cast<std::size_t>(k) * f.n_out + o] =
                        f.weight[static_cast<std::size_t>(o) * f.n_in + k];
            fast.layers.push_back(std::move(f));
        }
        fast_.push_back(std::move(fast));
    }
}

namespace {

inline double activate(Activation f, double x, double& slope) {
    if (f == Activation::kTanh) {
        const double t = std::tanh(x);
        slope = 1.0 - t * t;
        return t;
    }
    const double sig = 1.0 / (1.0 + std::exp(-x));
    slope = sig * (1.0 + x * (1.0 - sig));
    return x * sig;
}

} // namespace

double Model::run_network(int species, const double* desc, double* grad, NetworkScratch& ws) const {
    const FastNetwork& net = fast_[species];
    const std::size_t depth = net.layers.size();
    ws.act.resize(depth + 1);
    ws.slope.resize(depth + 1);
    const std::size_t n_in = static_cast<std::size_t>(net.layers[0].n_in);
    for (std::size_t l = 0; l < depth; ++l) {
        const FastLayer& layer = net.layers[l];
        const bool hidden = l + 1 < depth;
        auto& out = ws.act[l + 1];
        auto& slope = ws.slope[l + 1];
        out.assign(layer.bias.begin(), layer.bias.end());
        slope.resize(layer.n_out);
        // the first layer reads the descriptor in place
        const double* x = l == 0 ? desc : ws.act[l].data();
        double* z = out.data();
        for (int k = 0; k < layer.n_in; ++k) {
            const double xk = x[k];
            const double* w = &layer.weight_t[static_cast<std::size_t>(k) * layer.n_out];
            for (int o = 0; o < layer.n_out; ++o)
                z[o] += w[o] * xk;
        }
        if (hidden)
            for (int o = 0; o < layer.n_out; ++o)
                z[o] = activate(p_.activation, z[o], slope[o]);
    }
    const double energy = net.energy_shift + p_.energy_scale * ws.act[depth][0];
    if (!grad)
        return energy;
    // backward: delta holds d output / d pre-activation of the current layer
    ws.delta.assign(1, 1.0);
    for (std::size_t l = depth; l-- > 0;) {
        const FastLayer& layer = net.layers[l];
        ws.below.assign(layer.n_in, 0.0);
        for (int o = 0; o < layer.n_out; ++o) {
            const double g = ws.delta[o];
            const double* w = &layer.weight[static_cast<std::size_t>(o) * layer.n_in];
            for (int k = 0; k < layer.n_in; ++k)
                ws.below[k] += g * w[k];
        }
        if (l > 0)
            for (int k = 0; k < layer.n_in; ++k)
                ws.below[k] *= ws.slope[l][k];
        std::swap(ws.delta, ws.below);
    }
    for (std::size_t k = 0; k < n_in; ++k)
        grad[k] = p_.energy_scale * ws.delta[k];
    return energy;
}

double Model::atomic_energy(int species, const double* desc, double* grad) const {
    NetworkScratch ws;
    return run_network(species, desc, grad, ws);
}

double Model::atom_energy(const int* species, std::size_t i, AtomScratch& ws, double* grad_pos,
                          Matrix3& virial, double* atom_virial) const {
    const std::size_t nd = descriptor_.size();
    ws.desc.resize(nd);
    ws.grad.resize(nd);
    descriptor_.environment(species, ws.env, ws.desc.data());
    const double energy =
        run_network(species[i], ws.desc.data(), grad_pos ? ws.grad.data() : nullptr, ws.net);
    if (grad_pos)
        descriptor_.scatter(species, i, ws.grad.data(), ws.env, grad_pos, virial, atom_virial);
    return energy;
}

core::Status Model::evaluate(const StructureView& s, bool gradients, Evaluation& out) const {
    core::NeighborList& cells = thread_list();
    if (core::Status status = descriptor_.neighbor_list(s, cells); !status)
        return status;
    out = Evaluation();
    out.energies.assign(s.n, 0.0);
    if (gradients)
        out.forces.assign(3 * s.n, 0.0);
    AtomScratch ws;
    for (std::size_t i = 0; i < s.n; ++i) {
        descriptor_.gather(cells, i, ws.env);
        out.energies[i] =
            atom_energy(s.species, i, ws, gradients ? out.forces.data() : nullptr, out.virial);
        out.energy += out.energies[i];
    }
    if (gradients) {
        // scatter accumulated dE/dr; forces are its negative
        for (double& f : out.forces)
            f = -f;
        for (int a = 0; a < 3; ++a)
            for (int b = a + 1; b < 3; ++b)
                out.virial[a][b] = out.virial[b][a] = 0.5 * (out.virial[a][b] + out.virial[b][a]);
    }
    return core::success();
}

} // namespace ferrolith::optimization
