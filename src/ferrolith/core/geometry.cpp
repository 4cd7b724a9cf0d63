#include "ferrolith/core/geometry.hpp"

#include "ferrolith/core/neighbors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>

namespace ferrolith::core {

namespace {

Vec3 row(const double* positions, std::size_t i) {
    return {positions[3 * i], positions[3 * i + 1], positions[3 * i + 2]};
}

bool all_finite(const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        if (!std::isfinite(values[k])) {
            return false;
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Layers
// ---------------------------------------------------------------------------

Outcome<Layers> group_layers(const double* positions, std::size_t n_atoms, int axis, double tol) {
    if (!(tol > 0.0)) {
        return Outcome<Layers>::fail("the layer tolerance must be positive");
    }
    if (!all_finite(positions, 3 * n_atoms)) {
        return Outcome<Layers>::fail("positions must be finite");
    }
    std::vector<std::size_t> order(n_atoms);
    std::iota(order.begin(), order.end(), std::size_t{0});
    auto coord = [&](std::size_t i) { return positions[3 * i + static_cast<std::size_t>(axis)]; };
    // Ties keep index order, so the result does not depend on the sort.
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return coord(a) < coord(b); });

    Layers layers;
    layers.atoms.reserve(n_atoms);
    layers.offsets.push_back(0);
    for (std::size_t k = 0; k < n_atoms; ++k) {
        if (k > 0 && coord(order[k]) - coord(order[k - 1]) > tol) {
            layers.offsets.push_back(k);
        }
        layers.atoms.push_back(order[k]);
    }
    if (n_atoms > 0) {
        layers.offsets.push_back(n_atoms);
    }
    for (std::size_t l = 0; l + 1 < layers.offsets.size(); ++l) {
        std::sort(layers.atoms.begin() + static_cast<std::ptrdiff_t>(layers.offsets[l]),
                  layers.atoms.begin() + static_cast<std::ptrdiff_t>(layers.offsets[l + 1]));
    }
    return Outcome<Layers>::ok(std::move(layers));
}

// ---------------------------------------------------------------------------
// Reflection
// ---------------------------------------------------------------------------

Vec3 minimum_image_2d(const Vec3& delta, const Vec3& t1, const Vec3& t2) {
    Vec3 u = t1;
    Vec3 v = t2;
    double uu = dot(u, u);
    double vv = dot(v, v);
    if (uu == 0.0 && vv == 0.0) {
        return delta;
    }
    // A zero or parallel second vector leaves a one-dimensional lattice.
    const bool parallel = uu > 0.0 && vv > 0.0 && norm(cross(u, v)) <= 1e-12 * std::sqrt(uu * vv);
    if (uu == 0.0 || vv == 0.0 || parallel) {
        const Vec3 w = (uu == 0.0 || (parallel && vv < uu)) ? v : u;
        const double n = std::round(dot(delta, w) / dot(w, w));
        Vec3 best = sub(delta, scale(w, n));
        for (double m : {n - 1.0, n + 1.0}) {
            const Vec3 c = sub(delta, scale(w, m));
            if (dot(c, c) < dot(best, best)) {
                best = c;
            }
        }
        return best;
    }
    // Gauss (Lagrange) reduction: afterwards the closest lattice point to any
    // target lies next to the target's rounded coefficients.
    for (int guard = 0; guard < 200; ++guard) {
        if (uu > vv) {
            std::swap(u, v);
            std::swap(uu, vv);
        }
        const double m = std::round(dot(u, v) / uu);
        if (m == 0.0) {
            break;
        }
        v = sub(v, scale(u, m));
        vv = dot(v, v);
    }
    const double uv = dot(u, v);
    const double det = uu * vv - uv * uv;
    const double du = dot(delta, u);
    const double dv = dot(delta, v);
    const double a0 = std::round((du * vv - dv * uv) / det);
    const double b0 = std::round((dv * uu - du * uv) / det);
    Vec3 best = delta;
    double best_norm = std::numeric_limits<double>::infinity();
    for (int da = -1; da <= 1; ++da) {
        const double a = a0 + da;
        for (int db = -1; db <= 1; ++db) {
            const double b = b0 + db;
            const Vec3 c = sub(delta, add(scale(u, a), scale(v, b)));
            const double cn = dot(c, c);
            if (cn < best_norm) {
                best_norm = cn;
                best = c;
            }
        }
    }
    return best;
}

namespace {

// Kuhn's augmenting path search for a perfect matching of `first` into
// `second` on the candidate lists.
bool augment(std::size_t i, const std::vector<std::vector<std::size_t>>& candidates,
             std::vector<std::size_t>& partner_of_second, std::vector<char>& visited) {
    constexpr std::size_t kFree = std::numeric_limits<std::size_t>::max();
    for (std::size_t j : candidates[i]) {
        if (visited[j]) {
            continue;
        }
        visited[j] = 1;
        if (partner_of_second[j] == kFree ||
            augment(partner_of_second[j], candidates, partner_of_second, visited)) {
            partner_of_second[j] = i;
            return true;
        }
    }
    return false;
}

} // namespace

Outcome<bool> is_mirror_image(double plane, int axis, double tol, const AtomSet& first,
                              const AtomSet& second, const Vec3& t1, const Vec3& t2) {
    if (!(tol > 0.0)) {
        return Outcome<bool>::fail("the reflection tolerance must be positive");
    }
    if (first.size != second.size) {
        return Outcome<bool>::ok(false);
    }
    std::vector<std::int64_t> elements_a(first.numbers, first.numbers + first.size);
    std::vector<std::int64_t> elements_b(second.numbers, second.numbers + second.size);
    std::sort(elements_a.begin(), elements_a.end());
    std::sort(elements_b.begin(), elements_b.end());
    if (elements_a != elements_b) {
        return Outcome<bool>::ok(false);
    }
    const std::size_t n = first.size;
    const auto ax = static_cast<std::size_t>(axis);
    const double tol2 = tol * tol;
    std::vector<std::vector<std::size_t>> candidates(n);
    for (std::size_t i = 0; i < n; ++i) {
        Vec3 image = row(first.positions, i);
        image[ax] = 2.0 * plane - image[ax];
        for (std::size_t j = 0; j < n; ++j) {
            if (second.numbers[j] != first.numbers[i]) {
                continue;
            }
            const Vec3 d = minimum_image_2d(sub(row(second.positions, j), image), t1, t2);
            if (dot(d, d) <= tol2) {
                candidates[i].push_back(j);
            }
        }
        if (candidates[i].empty()) {
            return Outcome<bool>::ok(false);
        }
    }
    constexpr std::size_t kFree = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> partner_of_second(n, kFree);
    std::vector<char> visited(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::fill(visited.begin(), visited.end(), 0);
        if (!augment(i, candidates, partner_of_second, visited)) {
            return Outcome<bool>::ok(false);
        }
    }
    return Outcome<bool>::ok(true);
}

// ---------------------------------------------------------------------------
// Cells and planes
// ---------------------------------------------------------------------------

double cell_determinant(const Mat3& cell) {
    return dot(cell[0], cross(cell[1], cell[2]));
}

bool cell_is_singular(const Mat3& cell) {
    const double scale_ = norm(cell[0]) * norm(cell[1]) * norm(cell[2]);
    return !(scale_ > 0.0) || !(std::fabs(cell_determinant(cell)) > 1e-12 * scale_);
}

Mat3 reciprocal(const Mat3& cell) {
    const double det = cell_determinant(cell);
    return {scale(cross(cell[1], cell[2]), 1.0 / det), scale(cross(cell[2], cell[0]), 1.0 / det),
            scale(cross(cell[0], cell[1]), 1.0 / det)};
}

Outcome<double> interplanar_spacing(const Mat3& cell, const Vec3& hkl) {
    if (!all_finite(cell[0].data(), 3) || !all_finite(cell[1].data(), 3) ||
        !all_finite(cell[2].data(), 3) || !all_finite(hkl.data(), 3)) {
        return Outcome<double>::fail("the cell and the plane must be finite");
    }
    if (hkl[0] == 0.0 && hkl[1] == 0.0 && hkl[2] == 0.0) {
        return Outcome<double>::fail("the plane (0, 0, 0) has no spacing");
    }
    if (cell_is_singular(cell)) {
        return Outcome<double>::fail("the cell has no volume, so d(hkl) is undefined");
    }
    const Mat3 b = reciprocal(cell);
    const Vec3 g = add(add(scale(b[0], hkl[0]), scale(b[1], hkl[1])), scale(b[2], hkl[2]));
    return Outcome<double>::ok(1.0 / norm(g));
}

void mirror_fractional(double* scaled, std::size_t n_atoms, int axis) {
    for (std::size_t i = 0; i < n_atoms; ++i) {
        double& s = scaled[3 * i + static_cast<std::size_t>(axis)];
        s = 1.0 - s;
    }
}

// ---------------------------------------------------------------------------
// Merging close atoms
// ---------------------------------------------------------------------------

namespace {

// The cell with zero vectors along non-periodic axes replaced by unit vectors
// normal to the others, so that fractional coordinates exist for every cell a
// structure may carry.
Outcome<Mat3> completed_cell(const Mat3& cell, const std::array<bool, 3>& pbc) {
    Mat3 frame = cell;
    std::array<bool, 3> missing{};
    int n_missing = 0;
    for (int i = 0; i < 3; ++i) {
        if (norm(cell[i]) == 0.0) {
            if (pbc[i]) {
                return Outcome<Mat3>::fail("cell vector " + std::to_string(i) +
                                           " is zero but the structure is periodic along it");
            }
            missing[i] = true;
            ++n_missing;
        }
    }
    if (n_missing == 3) {
        frame = {Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    } else if (n_missing == 2) {
        const int k = !missing[0] ? 0 : (!missing[1] ? 1 : 2);
        const Vec3 w = scale(cell[k], 1.0 / norm(cell[k]));
        // Any vector not parallel to w gives an orthonormal completion.
        const Vec3 trial = std::fabs(w[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        Vec3 e1 = cross(w, trial);
        e1 = scale(e1, 1.0 / norm(e1));
        const Vec3 e2 = cross(w, e1);
        frame[(k + 1) % 3] = e1;
        frame[(k + 2) % 3] = e2;
    } else if (n_missing == 1) {
        const int k = missing[0] ? 0 : (missing[1] ? 1 : 2);
        const Vec3 c = cross(cell[(k + 1) % 3], cell[(k + 2) % 3]);
        if (norm(c) > 0.0) {
            frame[k] = scale(c, 1.0 / norm(c));
        }
    }
    if (cell_is_singular(frame)) {
        return Outcome<Mat3>::fail("the cell is singular (its vectors span no volume)");
    }
    return Outcome<Mat3>::ok(frame);
}

// Union-find whose root is always the lowest index of its set.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    }
    std::size_t find(std::size_t i) {
        std::size_t root = i;
        while (parent_[root] != root) {
            root = parent_[root];
        }
        while (parent_[i] != root) {
            const std::size_t next = parent_[i];
            parent_[i] = root;
            i = next;
        }
        return root;
    }
    bool unite(std::size_t a, std::size_t b) {
        const std::size_t ra = find(a);
        const std::size_t rb = find(b);
        if (ra == rb) {
            return false;
        }
        if (ra < rb) {
            parent_[rb] = ra;
        } else {
            parent_[ra] = rb;
        }
        return true;
    }

private:
    std::vector<std::size_t> parent_;
};

// One edge of the spanning forest: atom `to` (at the image that was found
// close) lies at position(from) + displacement.
struct TreeEdge {
    std::size_t from;
    std::size_t to;
    Vec3 displacement;
};

} // namespace

Outcome<MergedAtoms> merge_close_atoms(const double* positions, std::size_t n_atoms,
                                       const Mat3& cell, const std::array<bool, 3>& pbc,
                                       double cutoff) {
    if (!(cutoff >= 0.0) || !std::isfinite(cutoff)) {
        return Outcome<MergedAtoms>::fail("the cutoff must be a finite number >= 0");
    }
    if (!all_finite(positions, 3 * n_atoms)) {
        return Outcome<MergedAtoms>::fail("positions must be finite");
    }
    MergedAtoms merged;
    if (cutoff == 0.0 || n_atoms < 2) {
        for (std::size_t i = 0; i < n_atoms; ++i) {
            merged.representative.push_back(i);
            merged.position.push_back(row(positions, i));
        }
        return Outcome<MergedAtoms>::ok(std::move(merged));
    }
    Outcome<Mat3> framed = completed_cell(cell, pbc);
    if (!framed.value) {
        return Outcome<MergedAtoms>::fail(framed.error);
    }

    // Every close pair once, from the one neighbour search; the spanning
    // forest keeps the first pair that joins two clusters.
    NeighborList list;
    if (Status found = find_close_pairs(positions, n_atoms, cell, pbc, cutoff, list); !found) {
        return found.forward_error<MergedAtoms>();
    }
    DisjointSets sets(n_atoms);
    std::vector<TreeEdge> edges;
    for (const HalfPair& p : list.half) {
        const std::size_t a = list.order[p.i];
        const std::size_t b = list.order[p.j];
        if (a != b && sets.unite(a, b)) {
            edges.push_back({a, b, Vec3{p.dx, p.dy, p.dz}});
        }
    }

    // Place every member relative to its cluster's representative by walking
    // the spanning forest, then average.
    std::vector<std::size_t> adj_start(n_atoms + 1, 0);
    for (const TreeEdge& e : edges) {
        ++adj_start[e.from + 1];
        ++adj_start[e.to + 1];
    }
    std::partial_sum(adj_start.begin(), adj_start.end(), adj_start.begin());
    std::vector<std::pair<std::size_t, Vec3>> adj(2 * edges.size());
    {
        std::vector<std::size_t> fill(adj_start.begin(), adj_start.end() - 1);
        for (const TreeEdge& e : edges) {
            adj[fill[e.from]++] = {e.to, e.displacement};
            adj[fill[e.to]++] = {e.from, scale(e.displacement, -1.0)};
        }
    }
    std::vector<char> placed(n_atoms, 0);
    std::vector<std::size_t> stack;
    std::vector<Vec3> unwrapped(n_atoms);
    for (std::size_t root = 0; root < n_atoms; ++root) {
        if (placed[root]) {
            continue;
        }
        merged.representative.push_back(root);
        unwrapped[root] = row(positions, root);
        placed[root] = 1;
        if (adj_start[root] == adj_start[root + 1]) {
            merged.position.push_back(unwrapped[root]);
            continue;
        }
        Vec3 sum = unwrapped[root];
        std::size_t members = 1;
        stack.assign(1, root);
        while (!stack.empty()) {
            const std::size_t i = stack.back();
            stack.pop_back();
            for (std::size_t k = adj_start[i]; k < adj_start[i + 1]; ++k) {
                const auto& [j, d] = adj[k];
                if (placed[j]) {
                    continue;
                }
                placed[j] = 1;
                unwrapped[j] = add(unwrapped[i], d);
                sum = add(sum, unwrapped[j]);
                ++members;
                stack.push_back(j);
            }
        }
        merged.position.push_back(scale(sum, 1.0 / static_cast<double>(members)));
    }
    return Outcome<MergedAtoms>::ok(std::move(merged));
}

// ---------------------------------------------------------------------------
// Miller planes
// ---------------------------------------------------------------------------

std::vector<Hkl> distinct_planes(int hklmax) {
    std::vector<Hkl> planes;
    if (hklmax < 1) {
        return planes;
    }
    for (int h = -hklmax; h <= hklmax; ++h) {
        for (int k = -hklmax; k <= hklmax; ++k) {
            for (int l = -hklmax; l <= hklmax; ++l) {
                const int first = h != 0 ? h : (k != 0 ? k : l);
                if (first <= 0) {
                    continue; // the zero triple, or the negative of a listed plane
                }
                if (std::gcd(std::gcd(std::abs(h), std::abs(k)), std::abs(l)) != 1) {
                    continue;
                }
                planes.push_back({h, k, l});
            }
        }
    }
    std::stable_sort(planes.begin(), planes.end(), [](const Hkl& a, const Hkl& b) {
        const long long na = 1LL * a[0] * a[0] + 1LL * a[1] * a[1] + 1LL * a[2] * a[2];
        const long long nb = 1LL * b[0] * b[0] + 1LL * b[1] * b[1] + 1LL * b[2] * b[2];
        if (na != nb) {
            return na < nb;
        }
        return a > b;
    });
    return planes;
}

namespace {

// The triple with its first non-zero index positive: one key for a plane and
// its negative.
Hkl one_sign(Hkl h) {
    const int first = h[0] != 0 ? h[0] : (h[1] != 0 ? h[1] : h[2]);
    if (first < 0) {
        h = {-h[0], -h[1], -h[2]};
    }
    return h;
}

} // namespace

std::vector<std::ptrdiff_t> first_equivalent_planes(const std::vector<IntMat3>& rotations,
                                                    const std::vector<Hkl>& planes) {
    // Every image of an earlier plane, keyed to that plane; a group holds
    // the inverse of each of its operations, so images of h under R^-1 (how
    // a plane moves) and under R are the same set.
    std::map<Hkl, std::ptrdiff_t> seen;
    std::vector<std::ptrdiff_t> first(planes.size(), -1);
    for (std::size_t i = 0; i < planes.size(); ++i) {
        const Hkl own = one_sign(planes[i]);
        const auto found = seen.find(own);
        if (found != seen.end()) {
            first[i] = found->second;
            continue;
        }
        const auto index = static_cast<std::ptrdiff_t>(i);
        seen.emplace(own, index);
        for (const IntMat3& r : rotations) {
            Hkl image{};
            for (int c = 0; c < 3; ++c) {
                image[c] = planes[i][0] * r[0][c] + planes[i][1] * r[1][c] + planes[i][2] * r[2][c];
            }
            seen.emplace(one_sign(image), index);
        }
    }
    return first;
}

} // namespace ferrolith::core
