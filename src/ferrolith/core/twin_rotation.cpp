#include "ferrolith/core/twin_rotation.hpp"

#include "ferrolith/core/neighbors.hpp"
#include "ferrolith/core/shells.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace ferrolith::core {

namespace {

Vec3 at(const double* positions, std::size_t i) {
    return {positions[3 * i], positions[3 * i + 1], positions[3 * i + 2]};
}

bool finite_cell(const Mat3& cell) {
    for (const Vec3& row : cell) {
        for (double v : row) {
            if (!std::isfinite(v)) {
                return false;
            }
        }
    }
    return true;
}

Status check_crystal(const double* positions, std::size_t n_atoms, const Mat3& cell) {
    if (n_atoms == 0) {
        return Status::fail("the crystal holds no atoms");
    }
    if (!finite_cell(cell) || cell_is_singular(cell)) {
        return Status::fail("the crystal's cell is singular or not finite");
    }
    for (std::size_t k = 0; k < 3 * n_atoms; ++k) {
        if (!std::isfinite(positions[k])) {
            return Status::fail("the crystal has non-finite atomic positions");
        }
    }
    return success();
}

// Every pair distance (Å) of the periodic crystal below `radius`, images
// included, sorted (from the one neighbour search).
Outcome<std::vector<double>> pair_distances(const double* positions, std::size_t n_atoms,
                                            const Mat3& cell, double radius) {
    NeighborList list;
    const Status found =
        find_close_pairs(positions, n_atoms, cell, {true, true, true}, radius, list);
    if (!found) {
        return found.forward_error<std::vector<double>>();
    }
    std::vector<double> out;
    out.reserve(list.half.size());
    for (const HalfPair& pair : list.half) {
        out.push_back(pair.r);
    }
    std::sort(out.begin(), out.end());
    return Outcome<std::vector<double>>::ok(std::move(out));
}

// A search radius sure to hold the shortest distance at least twice over: no
// packing is denser than close packing, whose neighbour distance is
// (sqrt(2) V / N)^(1/3) < 1.123 (V / N)^(1/3).
double search_radius(std::size_t n_atoms, const Mat3& cell) {
    const double volume = std::abs(cell_determinant(cell));
    return 2.5 * std::cbrt(volume / static_cast<double>(n_atoms));
}

Outcome<std::vector<double>> crystal_distances(const double* positions, std::size_t n_atoms,
                                               const Mat3& cell) {
    using Result = Outcome<std::vector<double>>;
    const Status ok = check_crystal(positions, n_atoms, cell);
    if (!ok) {
        return ok.forward_error<std::vector<double>>();
    }
    auto found = pair_distances(positions, n_atoms, cell, search_radius(n_atoms, cell));
    if (!found) {
        return found;
    }
    std::vector<double>& d = *found.value;
    if (d.empty()) {
        return Result::fail("the crystal has no neighbours within reach");
    }
    if (d.front() < 1e-6) {
        return Result::fail("two atoms of the crystal lie on top of each other");
    }
    return Result::ok(std::move(d));
}

// An atom's neighbours: (atomic number, distance in Å), sorted.
using Environment = std::vector<std::pair<std::int64_t, double>>;

bool same_environment(Environment a, Environment b, double tol) {
    if (a.size() != b.size()) {
        return false;
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].first != b[k].first || std::abs(a[k].second - b[k].second) > tol) {
            return false;
        }
    }
    return true;
}

// The in-plane lattice of a slab: reduction of displacements to their nearest
// image and the number of images to scan around it for a given radius.
class PlaneLattice {
public:
    PlaneLattice(const Vec3& t1, const Vec3& t2) : t1_(t1), t2_(t2) {
        const Vec3 n = cross(t1, t2);
        const double area2 = dot(n, n);
        // Dual vectors within the plane: u1 · t1 = 1, u1 · t2 = 0, ...
        u1_ = cross(t2, n);
        u2_ = cross(n, t1);
        for (int k = 0; k < 3; ++k) {
            u1_[k] /= area2;
            u2_[k] /= area2;
        }
    }
    bool valid() const { return norm(u1_) > 0 && std::isfinite(norm(u1_)) && norm(u2_) > 0; }
    void reduce(Vec3& d) const {
        const double a = std::round(d[0] * u1_[0] + d[1] * u1_[1]);
        const double b = std::round(d[0] * u2_[0] + d[1] * u2_[1]);
        d[0] -= a * t1_[0] + b * t2_[0];
        d[1] -= a * t1_[1] + b * t2_[1];
    }
    std::pair<int, int> reach(double radius) const {
        return {static_cast<int>(std::ceil(radius * norm(u1_))) + 1,
                static_cast<int>(std::ceil(radius * norm(u2_))) + 1};
    }
    const Vec3& t1() const { return t1_; }
    const Vec3& t2() const { return t2_; }

private:
    Vec3 t1_, t2_, u1_{}, u2_{};
};

// Points ordered by z, so that a neighbour search reads only a slice of them.
struct ZIndex {
    std::vector<std::size_t> order; ///< point indices by increasing z
    std::vector<double> z;          ///< their z, increasing
    explicit ZIndex(const std::vector<Vec3>& points) : order(points.size()) {
        for (std::size_t q = 0; q < order.size(); ++q) {
            order[q] = q;
        }
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return points[a][2] < points[b][2]; });
        for (std::size_t q : order) {
            z.push_back(points[q][2]);
        }
    }
};

// Adds the neighbours of `centre` among `points` (positions and numbers) that
// lie closer than `radius`, over in-plane images and, when `period` > 0, over
// images along z repeated every `period` Å.
void add_neighbours(Environment& env, const Vec3& centre, const std::vector<Vec3>& points,
                    const std::vector<std::int64_t>& numbers, const ZIndex& index,
                    const PlaneLattice& lattice, double radius, double period) {
    const auto [n1, n2] = lattice.reach(radius);
    const Vec3& t1 = lattice.t1();
    const Vec3& t2 = lattice.t2();
    const int mz = period > 0.0 ? static_cast<int>(std::ceil(radius / period)) + 1 : 0;
    for (int m = -mz; m <= mz; ++m) {
        const double lift = m * period;
        const auto first =
            std::lower_bound(index.z.begin(), index.z.end(), centre[2] - radius - lift);
        const auto last =
            std::upper_bound(index.z.begin(), index.z.end(), centre[2] + radius - lift);
        for (auto it = first; it != last; ++it) {
            const std::size_t q = index.order[static_cast<std::size_t>(it - index.z.begin())];
            Vec3 base = sub(points[q], centre);
            base[2] += lift;
            lattice.reduce(base);
            for (int a = -n1; a <= n1; ++a) {
                for (int b = -n2; b <= n2; ++b) {
                    const double dx = base[0] + a * t1[0] + b * t2[0];
                    const double dy = base[1] + a * t1[1] + b * t2[1];
                    const double r = std::sqrt(dx * dx + dy * dy + base[2] * base[2]);
                    if (r > 1e-9 && r < radius) {
                        env.emplace_back(numbers[q], r);
                    }
                }
            }
        }
    }
}

Outcome<std::vector<std::size_t>> layer_atoms(const SlabView& slab, std::size_t k) {
    using Result = Outcome<std::vector<std::size_t>>;
    const auto n = static_cast<std::int64_t>(slab.n_atoms);
    std::vector<std::size_t> out;
    for (std::int64_t index : slab.layers[k]) {
        if (index < -n || index >= n) {
            return Result::fail("atom index " + std::to_string(index) + " of layer " +
                                std::to_string(k) + " is out of range");
        }
        out.push_back(static_cast<std::size_t>(index < 0 ? index + n : index));
    }
    if (out.empty()) {
        return Result::fail("layer " + std::to_string(k) + " holds no atoms");
    }
    return Result::ok(std::move(out));
}

} // namespace

Outcome<double> nearest_neighbour_distance(const double* positions, std::size_t n_atoms,
                                           const Mat3& cell) {
    auto d = crystal_distances(positions, n_atoms, cell);
    if (!d) {
        return d.forward_error<double>();
    }
    return Outcome<double>::ok(d.value->front());
}

Outcome<double> first_shell_radius(const double* positions, std::size_t n_atoms, const Mat3& cell) {
    const Status ok = check_crystal(positions, n_atoms, cell);
    if (!ok) {
        return ok.forward_error<double>();
    }
    const double probe = search_radius(n_atoms, cell);
    Outcome<FirstShell> shell =
        first_shell_of(positions, n_atoms, cell, {true, true, true}, probe, 4.0 * probe);
    if (!shell) {
        return shell.forward_error<double>();
    }
    return Outcome<double>::ok(shell.value->cutoff);
}

Outcome<bool> rotation_is_symmetry(const double* positions, const std::int64_t* numbers,
                                   std::size_t n_atoms, const Mat3& cell, const Vec3& normal,
                                   double tol) {
    const Status ok = check_crystal(positions, n_atoms, cell);
    if (!ok) {
        return ok.forward_error<bool>();
    }
    const double length = norm(normal);
    if (!(length > 0.0) || !std::isfinite(length)) {
        return Outcome<bool>::fail("the rotation axis must be a non-zero, finite direction");
    }
    if (!(tol > 0.0) || !std::isfinite(tol)) {
        return Outcome<bool>::fail("the tolerance must be a positive number");
    }
    const Vec3 n{normal[0] / length, normal[1] / length, normal[2] / length};
    // R v = 2 (n · v) n - v.
    auto rotate = [&](const Vec3& v) {
        const double s = 2.0 * dot(n, v);
        return Vec3{s * n[0] - v[0], s * n[1] - v[1], s * n[2] - v[2]};
    };
    const Mat3 rec = reciprocal(cell);
    // Distance (Å) from `v` to the nearest lattice vector.
    auto off_lattice = [&](const Vec3& v) {
        Vec3 r = v;
        for (int k = 0; k < 3; ++k) {
            const double f = std::round(dot(v, rec[k]));
            for (int c = 0; c < 3; ++c) {
                r[c] -= f * cell[k][c];
            }
        }
        double best = norm(r);
        // The rounded cell is not always the nearest in a skewed cell.
        for (int a = -1; a <= 1; ++a) {
            for (int b = -1; b <= 1; ++b) {
                for (int c = -1; c <= 1; ++c) {
                    Vec3 s = r;
                    for (int m = 0; m < 3; ++m) {
                        s[m] += a * cell[0][m] + b * cell[1][m] + c * cell[2][m];
                    }
                    best = std::min(best, norm(s));
                }
            }
        }
        return best;
    };
    // A turned lattice that is not the lattice itself is a new orientation.
    for (const Vec3& row : cell) {
        if (off_lattice(rotate(row)) > tol) {
            return Outcome<bool>::ok(false);
        }
    }
    std::vector<Vec3> turned(n_atoms);
    for (std::size_t i = 0; i < n_atoms; ++i) {
        turned[i] = rotate(at(positions, i));
    }
    for (std::size_t j = 0; j < n_atoms; ++j) {
        if (numbers[j] != numbers[0]) {
            continue;
        }
        const Vec3 u = sub(at(positions, j), turned[0]);
        bool all = true;
        for (std::size_t i = 0; i < n_atoms && all; ++i) {
            Vec3 moved{turned[i][0] + u[0], turned[i][1] + u[1], turned[i][2] + u[2]};
            bool matched = false;
            for (std::size_t k = 0; k < n_atoms && !matched; ++k) {
                matched =
                    numbers[k] == numbers[i] && off_lattice(sub(moved, at(positions, k))) <= tol;
            }
            all = matched;
        }
        if (all) {
            return Outcome<bool>::ok(true);
        }
    }
    return Outcome<bool>::ok(false);
}

Outcome<std::optional<Vec3>> rotation_twin_shift(const SlabView& slab, std::size_t bottom,
                                                 std::size_t top, double shell, double tol) {
    using Result = Outcome<std::optional<Vec3>>;
    const std::size_t n_layers = slab.layers.size();
    if (slab.coords.size() != n_layers) {
        return Result::fail("one coordinate per layer is needed");
    }
    if (bottom > top || top >= n_layers) {
        return Result::fail("the grain's layers " + std::to_string(bottom) + ".." +
                            std::to_string(top) + " do not lie within the " +
                            std::to_string(n_layers) + " layers of the slab");
    }
    if (!(shell > 0.0) || !std::isfinite(shell) || !(tol > 0.0) || !std::isfinite(tol)) {
        return Result::fail("the shell radius and the tolerance must be positive numbers");
    }
    const PlaneLattice lattice(slab.t1, slab.t2);
    if (!lattice.valid()) {
        return Result::fail("the slab's in-plane cell vectors span no area");
    }
    // The slab must hold the reference neighbours of every face atom.
    if (top + 1 >= n_layers || slab.coords[bottom] - slab.coords.front() < shell + tol ||
        slab.coords.back() - slab.coords[top] < shell + tol) {
        return Result::ok(std::nullopt);
    }

    std::vector<std::size_t> grain;
    for (std::size_t k = bottom; k <= top; ++k) {
        auto atoms = layer_atoms(slab, k);
        if (!atoms) {
            return atoms.forward_error<std::optional<Vec3>>();
        }
        grain.insert(grain.end(), atoms.value->begin(), atoms.value->end());
    }
    auto bottom_atoms = layer_atoms(slab, bottom);
    auto next_atoms = layer_atoms(slab, top + 1);
    if (!bottom_atoms || !next_atoms) {
        return (bottom_atoms ? next_atoms : bottom_atoms).forward_error<std::optional<Vec3>>();
    }

    // Face atoms: those whose neighbours can change. Their reference
    // neighbours come from the whole slab.
    const double lo = slab.coords[bottom];
    const double hi = slab.coords[top];
    std::vector<Vec3> slab_points(slab.n_atoms);
    std::vector<std::int64_t> slab_numbers(slab.numbers, slab.numbers + slab.n_atoms);
    for (std::size_t i = 0; i < slab.n_atoms; ++i) {
        slab_points[i] = at(slab.positions, i);
    }
    const ZIndex slab_index(slab_points);
    std::vector<std::size_t> faces;
    std::vector<Environment> reference;
    for (std::size_t i : grain) {
        const double z = slab.positions[3 * i + 2];
        if (z - lo < shell + tol || hi - z < shell + tol) {
            faces.push_back(i);
            Environment env;
            add_neighbours(env, slab_points[i], slab_points, slab_numbers, slab_index, lattice,
                           shell, 0.0);
            reference.push_back(std::move(env));
        }
    }

    // The bicrystal: the grain and its turned copy, whose bottom layer sits
    // where layer top + 1 sits in the slab; repeated along z.
    const double rise = slab.coords[top + 1] - slab.coords[bottom];
    const double period = 2.0 * rise;
    std::vector<Vec3> points;
    std::vector<std::int64_t> numbers;
    for (std::size_t i : grain) {
        points.push_back(slab_points[i]);
        numbers.push_back(slab.numbers[i]);
    }
    const std::size_t n_grain = points.size();
    points.resize(2 * n_grain);
    numbers.resize(2 * n_grain);

    // The copy's heights do not depend on the shift: one ordering serves all.
    for (std::size_t q = 0; q < n_grain; ++q) {
        points[n_grain + q] = {0.0, 0.0, points[q][2] + rise};
    }
    const ZIndex index(points);

    const std::size_t anchor = bottom_atoms.value->front();
    for (std::size_t target : *next_atoms.value) {
        if (slab.numbers[target] != slab.numbers[anchor]) {
            continue;
        }
        // R(anchor) + shift lands on the target atom in the plane.
        const Vec3 shift{slab.positions[3 * target] + slab.positions[3 * anchor],
                         slab.positions[3 * target + 1] + slab.positions[3 * anchor + 1], 0.0};
        for (std::size_t q = 0; q < n_grain; ++q) {
            const Vec3& p = points[q];
            points[n_grain + q] = {-p[0] + shift[0], -p[1] + shift[1], p[2] + rise};
            numbers[n_grain + q] = numbers[q];
        }
        bool twin = true;
        for (std::size_t f = 0; f < faces.size() && twin; ++f) {
            Environment env;
            add_neighbours(env, slab_points[faces[f]], points, numbers, index, lattice, shell,
                           period);
            twin = same_environment(std::move(env), reference[f], tol);
        }
        if (twin) {
            return Result::ok(shift);
        }
    }
    return Result::ok(std::nullopt);
}

Outcome<std::optional<RotationTwin>> find_rotation_twin(const SlabView& slab, double d_hkl,
                                                        std::int64_t nlayers, double shell,
                                                        double tol) {
    using Result = Outcome<std::optional<RotationTwin>>;
    const std::size_t n = slab.coords.size();
    if (!(d_hkl > 0.0) || !std::isfinite(d_hkl) || nlayers < 1) {
        return Result::fail("the grain thickness must be a positive number of spacings");
    }
    if (n < 2) {
        return Result::ok(std::nullopt);
    }
    // Rank the cuts: distinct spacings (within tol) widest first, then the
    // highest cut first.
    std::vector<double> gaps(n - 1);
    for (std::size_t c = 0; c + 1 < n; ++c) {
        gaps[c] = slab.coords[c + 1] - slab.coords[c];
    }
    std::vector<double> levels(gaps);
    std::sort(levels.begin(), levels.end(), std::greater<>());
    std::vector<double> distinct;
    for (double g : levels) {
        if (distinct.empty() || distinct.back() - g > tol) {
            distinct.push_back(g);
        }
    }
    auto rank = [&](double g) {
        std::size_t r = 0;
        while (r + 1 < distinct.size() && distinct[r] - g > tol) {
            ++r;
        }
        return r;
    };
    std::vector<std::size_t> order(n - 1);
    for (std::size_t c = 0; c + 1 < n; ++c) {
        order[c] = c;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const std::size_t ra = rank(gaps[a]);
        const std::size_t rb = rank(gaps[b]);
        return ra != rb ? ra < rb : a > b;
    });

    const double thickness = d_hkl * static_cast<double>(nlayers);
    for (std::size_t c : order) {
        const double gap = gaps[c];
        const double threshold = slab.coords[c] - thickness + 0.5 * gap - 0.5 * tol;
        const double one = slab.coords[c] - d_hkl + 0.5 * gap - 0.5 * tol;
        std::size_t bottom = c;
        while (bottom > 0 && slab.coords[bottom - 1] >= threshold) {
            --bottom;
        }
        if (bottom == 0) {
            continue; // no crystal left below the grain for the reference
        }
        std::size_t per_spacing = 0;
        for (std::size_t k = 0; k <= c; ++k) {
            per_spacing += slab.coords[k] >= one ? 1 : 0;
        }
        auto shift = rotation_twin_shift(slab, bottom, c, shell, tol);
        if (!shift) {
            return shift.forward_error<std::optional<RotationTwin>>();
        }
        if (*shift.value) {
            return Result::ok(RotationTwin{bottom, c, gap, **shift.value, per_spacing});
        }
    }
    return Result::ok(std::nullopt);
}

void rotate_half_turn(double* positions, std::size_t n_atoms, const Vec3& shift) {
    for (std::size_t i = 0; i < n_atoms; ++i) {
        positions[3 * i] = -positions[3 * i] + shift[0];
        positions[3 * i + 1] = -positions[3 * i + 1] + shift[1];
    }
}

} // namespace ferrolith::core
