#include "ferrolith/properties/elastic_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace ferrolith::properties {

namespace {

// Voigt index of the tensor index pair (i, j).
constexpr int kVoigt[3][3] = {{0, 5, 4}, {5, 1, 3}, {4, 3, 2}};
// Tensor index pairs of the Voigt indices.
constexpr int kPair[6][2] = {{0, 0}, {1, 1}, {2, 2}, {1, 2}, {0, 2}, {0, 1}};

std::string number_text(double x) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", x);
    return buffer;
}

} // namespace

core::Outcome<std::vector<StrainState>> strain_states(const std::vector<double>& magnitudes) {
    using Result = core::Outcome<std::vector<StrainState>>;
    if (magnitudes.empty()) {
        return Result::fail("strains must hold at least one strain magnitude.");
    }
    for (std::size_t k = 0; k < magnitudes.size(); ++k) {
        const double s = magnitudes[k];
        if (!(s > 0.0) || !(s <= kMaxStrain)) {
            return Result::fail("strains must be positive numbers up to " +
                                number_text(kMaxStrain) + ", not " + number_text(s) + ".");
        }
        for (std::size_t m = 0; m < k; ++m) {
            if (magnitudes[m] == s) {
                return Result::fail("strains must be distinct, not " + number_text(s) + " twice.");
            }
        }
    }
    std::vector<StrainState> states;
    for (int component = 0; component < 6; ++component) {
        for (double s : magnitudes) {
            states.push_back({component, -s});
            states.push_back({component, s});
        }
    }
    return Result::ok(std::move(states));
}

Matrix3 deformation_gradient(const StrainState& state) {
    Matrix3 f{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    const int i = kPair[state.component][0];
    const int j = kPair[state.component][1];
    if (i == j) {
        f[i][i] += state.strain;
    } else {
        f[i][j] += 0.5 * state.strain;
        f[j][i] += 0.5 * state.strain;
    }
    return f;
}

Matrix3 strained_cell(const Matrix3& cell, const StrainState& state) {
    const Matrix3 f = deformation_gradient(state);
    Matrix3 out{};
    for (int v = 0; v < 3; ++v) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                out[v][i] += f[i][j] * cell[v][j];
            }
        }
    }
    return out;
}

Matrix3 strain_tensor(const StrainState& state) {
    Matrix3 e = deformation_gradient(state);
    for (int i = 0; i < 3; ++i) {
        e[i][i] -= 1.0;
    }
    return e;
}

namespace {

Matrix3 rotate_matrix(const Matrix3& m, const Matrix3& r) {
    Matrix3 out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int p = 0; p < 3; ++p)
                for (int q = 0; q < 3; ++q)
                    out[i][j] += r[i][p] * m[p][q] * r[j][q];
    return out;
}

double largest_difference(const Matrix3& a, const Matrix3& b) {
    double d = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            d = std::max(d, std::abs(a[i][j] - b[i][j]));
    return d;
}

core::Outcome<Matrix3> inverse3(const Matrix3& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!std::isfinite(det) || det == 0.0) {
        return core::Outcome<Matrix3>::fail("The cell is singular.");
    }
    Matrix3 inv{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            // Cofactor of m[j][i] over the determinant.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            inv[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    }
    return core::Outcome<Matrix3>::ok(inv);
}

} // namespace

Voigt6 rotate_stress(const Voigt6& sigma, const Matrix3& r) {
    Matrix3 m{};
    for (int a = 0; a < 6; ++a) {
        m[kPair[a][0]][kPair[a][1]] = m[kPair[a][1]][kPair[a][0]] = sigma[a];
    }
    const Matrix3 out = rotate_matrix(m, r);
    Voigt6 v{};
    for (int a = 0; a < 6; ++a) {
        v[a] = out[kPair[a][0]][kPair[a][1]];
    }
    return v;
}

core::Outcome<Matrix3> cartesian_rotation(const Matrix3& cell,
                                          const std::array<std::array<int, 3>, 3>& w) {
    // Cartesian x = Aᵀ f, so x' = Aᵀ W f = Aᵀ W A⁻ᵀ x.
    Matrix3 at{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            at[i][j] = cell[j][i];
    core::Outcome<Matrix3> at_inv = inverse3(at);
    if (!at_inv) {
        return at_inv;
    }
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int p = 0; p < 3; ++p)
                for (int q = 0; q < 3; ++q)
                    r[i][j] += at[i][p] * w[p][q] * (*at_inv.value)[q][j];
    return core::Outcome<Matrix3>::ok(r);
}

std::vector<bool> fixed_atoms(const Matrix3& cell,
                              const std::vector<std::array<double, 3>>& fractional,
                              const std::array<std::array<int, 3>, 3>& w,
                              const std::array<double, 3>& t, double tolerance) {
    std::vector<bool> fixes(fractional.size(), false);
    for (std::size_t i = 0; i < fractional.size(); ++i) {
        std::array<double, 3> d{};
        for (int a = 0; a < 3; ++a) {
            d[a] = t[a] - fractional[i][a];
            for (int b = 0; b < 3; ++b) {
                d[a] += w[a][b] * fractional[i][b];
            }
            d[a] -= std::round(d[a]);
        }
        double squared = 0.0;
        for (int x = 0; x < 3; ++x) {
            const double c = d[0] * cell[0][x] + d[1] * cell[1][x] + d[2] * cell[2][x];
            squared += c * c;
        }
        fixes[i] = squared <= tolerance * tolerance;
    }
    return fixes;
}

StrainPlan plan_strains(const std::vector<StrainState>& states,
                        const std::vector<Matrix3>& rotations) {
    const Matrix3 identity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    StrainPlan plan;
    plan.source.assign(states.size(), -1);
    plan.rotation.assign(states.size(), identity);
    std::vector<std::size_t> computed;
    for (std::size_t k = 0; k < states.size(); ++k) {
        const Matrix3 target = strain_tensor(states[k]);
        const double tolerance = 1e-6 * std::abs(states[k].strain);
        for (std::size_t c = 0; c < computed.size() && plan.source[k] < 0; ++c) {
            const Matrix3 strain = strain_tensor(states[computed[c]]);
            for (const Matrix3& r : rotations) {
                if (largest_difference(rotate_matrix(strain, r), target) <= tolerance) {
                    plan.source[k] = static_cast<int>(computed[c]);
                    plan.rotation[k] = r;
                    break;
                }
            }
        }
        if (plan.source[k] < 0) {
            computed.push_back(k);
        }
    }
    plan.computed = computed.size();
    return plan;
}

bool strain_allows_forces(const StrainState& state, const std::vector<CartesianOperation>& ops,
                          std::size_t n_atoms) {
    if (ops.empty()) {
        return true; // no symmetry known: nothing pins the atoms
    }
    const Matrix3 strain = strain_tensor(state);
    const double tolerance = 1e-6 * std::abs(state.strain);
    // Operations that survive the strain; of those, each atom's site group.
    std::vector<const CartesianOperation*> kept;
    for (const CartesianOperation& op : ops) {
        if (largest_difference(rotate_matrix(strain, op.rotation), strain) <= tolerance) {
            kept.push_back(&op);
        }
    }
    for (std::size_t i = 0; i < n_atoms; ++i) {
        // The mean of a group's rotations projects onto its invariant vectors;
        // its trace is their number.
        double trace = 0.0;
        int count = 0;
        for (const CartesianOperation* op : kept) {
            if (i < op->fixes.size() && op->fixes[i]) {
                trace += op->rotation[0][0] + op->rotation[1][1] + op->rotation[2][2];
                ++count;
            }
        }
        if (count == 0 || trace / count > 0.5) {
            return true;
        }
    }
    return false;
}

core::Outcome<TensorFit> fit_tensor(const std::vector<StrainState>& states,
                                    const std::vector<Voigt6>& stresses) {
    using Result = core::Outcome<TensorFit>;
    if (states.size() != stresses.size()) {
        return Result::fail("one stress is needed per strained state.");
    }
    Matrix6 c{};
    double squared = 0.0;
    std::size_t n_values = 0;
    for (int j = 0; j < 6; ++j) {
        // Least squares with intercept over the states that strain component j.
        double n = 0, se = 0, see = 0;
        Voigt6 ss{}, ses{};
        for (std::size_t k = 0; k < states.size(); ++k) {
            if (states[k].component != j) {
                continue;
            }
            const double e = states[k].strain;
            n += 1;
            se += e;
            see += e * e;
            for (int i = 0; i < 6; ++i) {
                if (!std::isfinite(stresses[k][i])) {
                    return Result::fail("The calculator returned a non-finite stress.");
                }
                ss[i] += stresses[k][i];
                ses[i] += e * stresses[k][i];
            }
        }
        const double spread = see - se * se / std::max(n, 1.0);
        if (n < 2 || !(spread > 0)) {
            return Result::fail("Each strain component needs at least two distinct strains.");
        }
        Voigt6 intercept{};
        for (int i = 0; i < 6; ++i) {
            c[i][j] = (ses[i] - se * ss[i] / n) / spread;
            intercept[i] = (ss[i] - c[i][j] * se) / n;
        }
        for (std::size_t k = 0; k < states.size(); ++k) {
            if (states[k].component != j) {
                continue;
            }
            for (int i = 0; i < 6; ++i) {
                const double r = stresses[k][i] - intercept[i] - c[i][j] * states[k].strain;
                squared += r * r;
                ++n_values;
            }
        }
    }
    TensorFit fit;
    double largest = 0.0;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            fit.cij[i][j] = 0.5 * (c[i][j] + c[j][i]);
            fit.asymmetry = std::max(fit.asymmetry, 0.5 * std::abs(c[i][j] - c[j][i]));
            largest = std::max(largest, std::abs(fit.cij[i][j]));
        }
    }
    if (!(largest > kZeroTensor)) {
        return Result::fail("The elastic tensor is zero: the stress does not change with strain "
                            "(atoms without bonds, or a calculator that returns no stress).");
    }
    fit.residual = std::sqrt(squared / static_cast<double>(n_values));
    return Result::ok(fit);
}

core::Outcome<Matrix6> invert(const Matrix6& m) {
    std::array<std::array<double, 12>, 6> a{};
    double scale = 0.0;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            a[i][j] = m[i][j];
            scale = std::max(scale, std::abs(m[i][j]));
        }
        a[i][6 + i] = 1.0;
    }
    for (int col = 0; col < 6; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 6; ++r) {
            if (std::abs(a[r][col]) > std::abs(a[pivot][col])) {
                pivot = r;
            }
        }
        // Relative to the matrix's size: a pivot at rounding level is zero.
        if (!(std::abs(a[pivot][col]) > 1e-12 * scale)) {
            return core::Outcome<Matrix6>::fail("The elastic tensor is singular.");
        }
        std::swap(a[col], a[pivot]);
        const double p = a[col][col];
        for (double& x : a[col]) {
            x /= p;
        }
        for (int r = 0; r < 6; ++r) {
            if (r != col && a[r][col] != 0.0) {
                const double factor = a[r][col];
                for (int k = 0; k < 12; ++k) {
                    a[r][k] -= factor * a[col][k];
                }
            }
        }
    }
    Matrix6 inv{};
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            inv[i][j] = a[i][6 + j];
        }
    }
    return core::Outcome<Matrix6>::ok(inv);
}

Moduli voigt_reuss_hill(const Matrix6& c) {
    Moduli m;
    const double diag = c[0][0] + c[1][1] + c[2][2];
    const double off = c[0][1] + c[0][2] + c[1][2];
    const double shear = c[3][3] + c[4][4] + c[5][5];
    m.bulk_voigt = (diag + 2.0 * off) / 9.0;
    m.shear_voigt = (diag - off + 3.0 * shear) / 15.0;
    const core::Outcome<Matrix6> inverse = invert(c);
    if (inverse) {
        const Matrix6& s = *inverse.value;
        const double sdiag = s[0][0] + s[1][1] + s[2][2];
        const double soff = s[0][1] + s[0][2] + s[1][2];
        const double sshear = s[3][3] + s[4][4] + s[5][5];
        m.bulk_reuss = 1.0 / (sdiag + 2.0 * soff);
        m.shear_reuss = 15.0 / (4.0 * sdiag - 4.0 * soff + 3.0 * sshear);
    } else {
        m.bulk_reuss = m.shear_reuss = std::numeric_limits<double>::quiet_NaN();
    }
    m.bulk_hill = 0.5 * (m.bulk_voigt + m.bulk_reuss);
    m.shear_hill = 0.5 * (m.shear_voigt + m.shear_reuss);
    const double b = m.bulk_hill, g = m.shear_hill;
    m.young = 9.0 * b * g / (3.0 * b + g);
    m.poisson = (3.0 * b - 2.0 * g) / (2.0 * (3.0 * b + g));
    return m;
}

CrystalSystem crystal_system(int n) {
    if (n >= 195 && n <= 230)
        return CrystalSystem::kCubic;
    if (n >= 168)
        return n <= 194 ? CrystalSystem::kHexagonal : CrystalSystem::kTriclinic;
    if (n >= 149)
        return CrystalSystem::kRhombohedralHigh;
    if (n >= 143)
        return CrystalSystem::kRhombohedralLow;
    if (n >= 89)
        return CrystalSystem::kTetragonalHigh;
    if (n >= 75)
        return CrystalSystem::kTetragonalLow;
    if (n >= 16)
        return CrystalSystem::kOrthorhombic;
    if (n >= 3)
        return CrystalSystem::kMonoclinic;
    return CrystalSystem::kTriclinic;
}

const char* crystal_system_name(CrystalSystem system) {
    switch (system) {
    case CrystalSystem::kCubic:
        return "cubic";
    case CrystalSystem::kHexagonal:
        return "hexagonal";
    case CrystalSystem::kRhombohedralHigh:
    case CrystalSystem::kRhombohedralLow:
        return "trigonal";
    case CrystalSystem::kTetragonalHigh:
    case CrystalSystem::kTetragonalLow:
        return "tetragonal";
    case CrystalSystem::kOrthorhombic:
        return "orthorhombic";
    case CrystalSystem::kMonoclinic:
        return "monoclinic";
    case CrystalSystem::kTriclinic:
        break;
    }
    return "triclinic";
}

Matrix6 rotate_tensor(const Matrix6& c, const Matrix3& r) {
    // Through the fourth-rank tensor: C'_ijkl = R_ip R_jq R_kr R_ls C_pqrs.
    double full[3][3][3][3];
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q)
            for (int s = 0; s < 3; ++s)
                for (int t = 0; t < 3; ++t)
                    full[p][q][s][t] = c[kVoigt[p][q]][kVoigt[s][t]];
    Matrix6 out{};
    for (int a = 0; a < 6; ++a) {
        const int i = kPair[a][0], j = kPair[a][1];
        for (int b = 0; b < 6; ++b) {
            const int k = kPair[b][0], l = kPair[b][1];
            double sum = 0.0;
            for (int p = 0; p < 3; ++p)
                for (int q = 0; q < 3; ++q) {
                    const double rr = r[i][p] * r[j][q];
                    if (rr == 0.0)
                        continue;
                    for (int s = 0; s < 3; ++s)
                        for (int t = 0; t < 3; ++t)
                            sum += rr * r[k][s] * r[l][t] * full[p][q][s][t];
                }
            out[a][b] = sum;
        }
    }
    return out;
}

bool positive_definite(const Matrix6& c) {
    // Cholesky factorisation succeeds exactly when every leading minor is positive.
    double l[6][6] = {};
    for (int j = 0; j < 6; ++j) {
        double d = c[j][j];
        for (int k = 0; k < j; ++k)
            d -= l[j][k] * l[j][k];
        if (!(d > 0.0))
            return false;
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < 6; ++i) {
            double s = 0.5 * (c[i][j] + c[j][i]);
            for (int k = 0; k < j; ++k)
                s -= l[i][k] * l[j][k];
            l[i][j] = s / l[j][j];
        }
    }
    return true;
}

bool born_stable(const Matrix6& c, CrystalSystem system) {
    // Indices are zero-based: c[0][0] is C11, c[3][3] is C44.
    const double c11 = c[0][0], c12 = c[0][1], c13 = c[0][2], c33 = c[2][2];
    const double c44 = c[3][3], c66 = c[5][5];
    switch (system) {
    case CrystalSystem::kCubic:
        return c11 - c12 > 0 && c11 + 2 * c12 > 0 && c44 > 0;
    case CrystalSystem::kHexagonal:
        return c11 > std::abs(c12) && 2 * c13 * c13 < c33 * (c11 + c12) && c44 > 0 && c11 - c12 > 0;
    case CrystalSystem::kTetragonalHigh:
    case CrystalSystem::kTetragonalLow: {
        const double c16 = c[0][5];
        // C16 vanishes in Laue class 4/mmm, so one set of conditions serves both.
        return c11 > std::abs(c12) && 2 * c13 * c13 < c33 * (c11 + c12) && c44 > 0 && c66 > 0 &&
               2 * c16 * c16 < c66 * (c11 - c12);
    }
    case CrystalSystem::kRhombohedralHigh:
    case CrystalSystem::kRhombohedralLow: {
        const double c14 = c[0][3], c15 = c[0][4];
        // C15 vanishes in Laue class -3m; C66 = (C11 - C12) / 2 in both.
        return c11 > std::abs(c12) && c44 > 0 && c13 * c13 < 0.5 * c33 * (c11 + c12) &&
               c14 * c14 + c15 * c15 < 0.5 * c44 * (c11 - c12);
    }
    case CrystalSystem::kOrthorhombic: {
        const double c22 = c[1][1], c23 = c[1][2], c55 = c[4][4];
        return c11 > 0 && c11 * c22 > c12 * c12 &&
               c11 * c22 * c33 + 2 * c12 * c13 * c23 - c11 * c23 * c23 - c22 * c13 * c13 -
                       c33 * c12 * c12 >
                   0 &&
               c44 > 0 && c55 > 0 && c66 > 0;
    }
    case CrystalSystem::kMonoclinic:
    case CrystalSystem::kTriclinic:
        break;
    }
    return positive_definite(c);
}

} // namespace ferrolith::properties
