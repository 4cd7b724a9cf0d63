#include "ferrolith/optimization/tersoff_eval.hpp"

#include <algorithm>
#include <cmath>

namespace ferrolith::optimization {

namespace {

constexpr double kPi = 3.14159265358979323846;
// exp() of more than this overflows or is taken as infinite; of less than its
// negative, as zero.
constexpr double kExpLimit = 69.0776;

// f_c(r) and df_c/dr for an entry's taper; r is known to be below R + D.
inline void cutoff_function(const TersoffEntry& p, double r, double& fc, double& dfc) {
    if (r <= p.R - p.D) {
        fc = 1.0;
        dfc = 0.0;
        return;
    }
    const double arg = 0.5 * kPi * (r - p.R) / p.D;
    fc = 0.5 * (1.0 - std::sin(arg));
    dfc = -0.25 * kPi / p.D * std::cos(arg);
}

// b = (1 + x)^(-1/2n) with x = (beta zeta)^n, and db/dzeta. For beta zeta
// above 1 it is written as t^(-1/2) (1 + t^-n)^(-1/2n) so that nothing
// overflows; log(1 + x) needs no log1p, as its absolute error (not its
// relative one) is what reaches b.
inline void bond_order(const TersoffEntry& p, double zeta, double& b, double& db) {
    const double t = p.beta * zeta;
    if (!(t > 0)) {
        b = 1.0;
        db = 0.0;
        return;
    }
    const double log_t = std::log(t);
    const double inv_2n = 0.5 / p.n;
    if (log_t > 0) {
        const double y = std::exp(-p.n * log_t);
        b = std::exp(-0.5 * log_t - inv_2n * std::log(1.0 + y));
        db = -0.5 * b / (zeta * (1.0 + y));
    } else {
        const double x = std::exp(p.n * log_t);
        b = std::exp(-inv_2n * std::log(1.0 + x));
        db = -0.5 * b * x / ((1.0 + x) * zeta);
    }
}

// exp[(lambda3 (r_ij - r_ik))^m] and its derivative by r_ij.
inline void distance_term(const TersoffEntry& p, double rij, double rik, double& ex, double& dex) {
    if (p.lambda3 == 0.0) {
        ex = 1.0;
        dex = 0.0;
        return;
    }
    const double base = p.lambda3 * (rij - rik);
    const double arg = p.m == 3 ? base * base * base : base;
    if (arg > kExpLimit) {
        ex = 1e30;
        dex = 0.0;
        return;
    }
    if (arg < -kExpLimit) {
        ex = 0.0;
        dex = 0.0;
        return;
    }
    ex = std::exp(arg);
    dex = ex * (p.m == 3 ? 3.0 * p.lambda3 * base * base : p.lambda3);
}

// Applies the energy gradient g = dE/dd of the pair vector d = x_j - x_i:
// force -g on j and +g on i (accumulated in fi), and d (x) g, symmetrised, to
// the virial (Voigt order xx yy zz yz xz xy).
inline void apply_pair_gradient(const double* d, const double* g, double* fj, double* fi,
                                double* virial) {
    for (int x = 0; x < 3; ++x) {
        fj[x] -= g[x];
        fi[x] += g[x];
    }
    virial[0] += d[0] * g[0];
    virial[1] += d[1] * g[1];
    virial[2] += d[2] * g[2];
    virial[3] += 0.5 * (d[1] * g[2] + d[2] * g[1]);
    virial[4] += 0.5 * (d[0] * g[2] + d[2] * g[0]);
    virial[5] += 0.5 * (d[0] * g[1] + d[1] * g[0]);
}

// Per-call lookup tables over the elements present.
struct Tables {
    std::size_t ne = 0;
    std::vector<const TersoffEntry*> entry; ///< (i, j, k), null when absent
    std::vector<char> own_cut;              ///< (i, j, k) tapers like (i, k, k)
    std::vector<double> cutoff;             ///< list cutoff per (i, k), Å

    const TersoffEntry* at(int i, int j, int k) const {
        return entry[(static_cast<std::size_t>(i) * ne + static_cast<std::size_t>(j)) * ne +
                     static_cast<std::size_t>(k)];
    }
    bool same_cut(int i, int j, int k) const {
        return own_cut[(static_cast<std::size_t>(i) * ne + static_cast<std::size_t>(j)) * ne +
                       static_cast<std::size_t>(k)] != 0;
    }
};

Tables make_tables(const TersoffParameters& params, const std::vector<int>& present) {
    Tables t;
    t.ne = params.n_elements();
    const std::size_t ne = t.ne;
    t.entry.assign(ne * ne * ne, nullptr);
    t.own_cut.assign(ne * ne * ne, 0);
    t.cutoff.assign(ne * ne, 0.0);
    for (int i : present) {
        for (int j : present) {
            for (int k : present) {
                const std::size_t slot =
                    (static_cast<std::size_t>(i) * ne + static_cast<std::size_t>(j)) * ne +
                    static_cast<std::size_t>(k);
                const TersoffEntry& e =
                    params.entries()[static_cast<std::size_t>(params.entry_index(i, j, k))];
                t.entry[slot] = &e;
                double& cut =
                    t.cutoff[static_cast<std::size_t>(i) * ne + static_cast<std::size_t>(k)];
                cut = std::max(cut, e.cut);
            }
        }
    }
    for (int i : present) {
        for (int j : present) {
            for (int k : present) {
                const TersoffEntry* e = t.at(i, j, k);
                const TersoffEntry* own = t.at(i, k, k);
                t.own_cut[(static_cast<std::size_t>(i) * ne + static_cast<std::size_t>(j)) * ne +
                          static_cast<std::size_t>(k)] = e->R == own->R && e->D == own->D;
            }
        }
    }
    return t;
}

} // namespace

core::Status evaluate_tersoff(const TersoffParameters& params, const TersoffInput& in,
                              TersoffWorkspace& work, TersoffResult& result) {
    const std::size_t n = in.n_atoms;
    const std::size_t ne = params.n_elements();

    std::vector<char> seen(ne, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const int e = in.elements[i];
        if (e < 0 || static_cast<std::size_t>(e) >= ne) {
            return core::Status::fail("Atom " + std::to_string(i) + " has element index " +
                                      std::to_string(e) + ", outside the potential's " +
                                      std::to_string(ne) + " elements.");
        }
        seen[static_cast<std::size_t>(e)] = 1;
    }
    std::vector<int> present;
    for (std::size_t e = 0; e < ne; ++e) {
        if (seen[e]) {
            present.push_back(static_cast<int>(e));
        }
    }
    if (const auto missing = params.missing_triplet(present)) {
        const auto& names = params.elements();
        return core::Status::fail("The potential has no entry for the element triplet " +
                                  names[static_cast<std::size_t>((*missing)[0])] + " " +
                                  names[static_cast<std::size_t>((*missing)[1])] + " " +
                                  names[static_cast<std::size_t>((*missing)[2])] + ".");
    }
    const Tables tables = make_tables(params, present);

    core::NeighborQuery query;
    query.n_atoms = n;
    query.positions = in.positions;
    query.species = in.elements;
    query.cell = in.cell;
    query.pbc = in.pbc;
    query.n_species = ne;
    query.cutoff = tables.cutoff.data();
    query.min_distance = core::kOverlapDistance;
    query.max_neighbors = in.max_neighbors;
    core::NeighborList& list = work.neighbors;
    if (core::Status status = core::build_neighbor_list(query, list); !status) {
        return status;
    }

    work.sorted_forces.assign(3 * n, 0.0);
    work.sorted_energies.assign(n, 0.0);
    double* force = work.sorted_forces.data();
    double virial[6] = {0, 0, 0, 0, 0, 0};
    // Finite but extreme parameters (costheta0 = -1e308, A = 1e308) overflow
    // to infinities and NaN: the entry where a term first stops being finite
    // is named, else the one of the largest bond energy, whose sum overflowed.
    std::size_t bad_line = 0;
    std::size_t largest_line = 0;
    double largest_term = -1.0;

    for (std::size_t i = 0; i < n; ++i) {
        const int ti = list.species[i];
        const std::size_t begin = list.offsets[i];
        const std::size_t nn = list.offsets[i + 1] - begin;
        if (nn == 0) {
            continue;
        }
        if (work.near.size() < nn) {
            work.near.resize(nn);
            work.angular.resize(nn);
        }
        NeighborTerm* near = work.near.data();
        AngularTerm* ang = work.angular.data();
        const double* delta = &list.delta[4 * begin];
        for (std::size_t a = 0; a < nn; ++a) {
            NeighborTerm& t = near[a];
            t.r = delta[4 * a + 3];
            t.inv_r = 1.0 / t.r;
            t.u[0] = delta[4 * a] * t.inv_r;
            t.u[1] = delta[4 * a + 1] * t.inv_r;
            t.u[2] = delta[4 * a + 2] * t.inv_r;
            t.grad[0] = t.grad[1] = t.grad[2] = 0.0;
            t.element = list.species[list.index[begin + a]];
            const TersoffEntry& own = *tables.at(ti, t.element, t.element);
            if (t.r < own.cut) {
                cutoff_function(own, t.r, t.fc, t.dfc);
            } else {
                t.fc = 0.0;
                t.dfc = 0.0;
            }
        }

        double energy_i = 0.0;
        double fi[3] = {0.0, 0.0, 0.0};
        for (std::size_t a = 0; a < nn; ++a) {
            const NeighborTerm& j = near[a];
            const TersoffEntry& pij = *tables.at(ti, j.element, j.element);
            if (!(j.r < pij.cut)) {
                continue;
            }
            // zeta_ij and the angular terms, kept for the force pass.
            double zeta = 0.0;
            for (std::size_t b = 0; b < nn; ++b) {
                AngularTerm& t = ang[b];
                t.active = false;
                if (b == a) {
                    continue;
                }
                const NeighborTerm& k = near[b];
                const TersoffEntry& p = *tables.at(ti, j.element, k.element);
                if (!(k.r < p.cut)) {
                    continue;
                }
                t.active = true;
                if (tables.same_cut(ti, j.element, k.element)) {
                    t.fc = k.fc;
                    t.dfc = k.dfc;
                } else {
                    cutoff_function(p, k.r, t.fc, t.dfc);
                }
                t.cos = j.u[0] * k.u[0] + j.u[1] * k.u[1] + j.u[2] * k.u[2];
                const double hc = p.h - t.cos;
                const double q = p.d2 + hc * hc;
                t.g = p.gamma * (1.0 + p.c2_over_d2 - p.c2 / q);
                t.dg = -2.0 * p.gamma * p.c2 * hc / (q * q);
                distance_term(p, j.r, k.r, t.ex, t.dex);
                zeta += t.fc * t.g * t.ex;
                if (bad_line == 0 && !(std::isfinite(zeta) && std::isfinite(t.dg))) {
                    bad_line = p.line;
                }
            }

            const double vr = pij.A * std::exp(-pij.lambda1 * j.r);
            const double va = pij.B * std::exp(-pij.lambda2 * j.r);
            double b_ij, db_ij;
            bond_order(pij, zeta, b_ij, db_ij);
            const double v = vr - b_ij * va;
            // The bond's energy is shared equally by its two atoms.
            const double bond_energy = 0.5 * j.fc * v;
            energy_i += 0.5 * bond_energy;
            work.sorted_energies[list.index[begin + a]] += 0.5 * bond_energy;
            const double dE_dr =
                0.5 * (j.dfc * v + j.fc * (-pij.lambda1 * vr + b_ij * pij.lambda2 * va));
            const double dE_dzeta = -0.5 * j.fc * va * db_ij;
            if (bad_line == 0 &&
                !(std::isfinite(energy_i) && std::isfinite(dE_dr) && std::isfinite(dE_dzeta))) {
                bad_line = pij.line;
            }
            if (std::abs(bond_energy) > largest_term) {
                largest_term = std::abs(bond_energy);
                largest_line = pij.line;
            }

            // Gradients by the pair vectors: along u_j for the radial terms,
            // and from each angle towards the other neighbour's direction.
            NeighborTerm& jw = near[a];
            double along_j = dE_dr;
            double across_j[3] = {0.0, 0.0, 0.0};
            if (dE_dzeta != 0.0) {
                for (std::size_t b = 0; b < nn; ++b) {
                    const AngularTerm& t = ang[b];
                    if (!t.active) {
                        continue;
                    }
                    NeighborTerm& k = near[b];
                    // d(zeta term) by cos(theta), r_ij and r_ik, times dE/dzeta.
                    const double c_cos = dE_dzeta * t.fc * t.ex * t.dg;
                    const double c_rj = dE_dzeta * t.fc * t.g * t.dex;
                    const double c_rk = dE_dzeta * (t.dfc * t.g * t.ex - t.fc * t.g * t.dex);
                    along_j += c_rj - c_cos * t.cos * j.inv_r;
                    const double along_k = c_rk - c_cos * t.cos * k.inv_r;
                    const double across_k = c_cos * k.inv_r;
                    for (int x = 0; x < 3; ++x) {
                        across_j[x] += c_cos * k.u[x];
                        k.grad[x] += along_k * k.u[x] + across_k * j.u[x];
                    }
                }
            }
            for (int x = 0; x < 3; ++x) {
                jw.grad[x] += along_j * j.u[x] + j.inv_r * across_j[x];
            }
            if (bad_line == 0 && !(std::isfinite(jw.grad[0]) && std::isfinite(jw.grad[1]) &&
                                   std::isfinite(jw.grad[2]))) {
                bad_line = pij.line;
            }
        }
        for (std::size_t b = 0; b < nn; ++b) {
            apply_pair_gradient(&delta[4 * b], near[b].grad, force + 3 * list.index[begin + b], fi,
                                virial);
        }
        for (int x = 0; x < 3; ++x) {
            force[3 * i + x] += fi[x];
        }
        work.sorted_energies[i] += energy_i;
    }

    // Back to the caller's atom order.
    result.forces.resize(3 * n);
    result.energy = 0.0;
    for (std::size_t slot = 0; slot < n; ++slot) {
        const std::size_t atom = list.order[slot];
        for (int x = 0; x < 3; ++x) {
            result.forces[3 * atom + x] = force[3 * slot + x];
        }
        result.energy += work.sorted_energies[slot];
    }
    if (in.want_energies) {
        result.energies.resize(n);
        for (std::size_t slot = 0; slot < n; ++slot) {
            result.energies[list.order[slot]] = work.sorted_energies[slot];
        }
    } else {
        result.energies.clear();
    }
    std::copy(virial, virial + 6, result.virial.begin());
    const auto finite = [](double x) { return std::isfinite(x); };
    if (!(std::isfinite(result.energy) &&
          std::all_of(result.forces.begin(), result.forces.end(), finite) &&
          std::all_of(result.virial.begin(), result.virial.end(), finite))) {
        const std::size_t line = bad_line != 0 ? bad_line : largest_line;
        return core::Status::fail("the parameters of the entry on this line give a non-finite "
                                  "energy, force or stress for this structure (a value beyond "
                                  "the range of double precision)",
                                  line);
    }
    return core::success();
}

} // namespace ferrolith::optimization
