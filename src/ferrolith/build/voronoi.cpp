#include "ferrolith/build/voronoi.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace ferrolith::build {

namespace {

double polygon_area(const Vec3* polygon, std::size_t n) {
    Vec3 sum{};
    for (std::size_t k = 0; k < n; ++k) {
        sum = add(sum, cross(polygon[k], polygon[(k + 1) % n]));
    }
    return 0.5 * norm(sum);
}

long floor_div(long a, long b) {
    const long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Ties between a node and its own periodic images go to the image in the
// lexicographically positive direction, so exactly one of two opposite faces is
// inclusive.
bool positive_image(const std::array<int, 3>& m) {
    for (int c = 0; c < 3; ++c) {
        if (m[c] != 0) {
            return m[c] > 0;
        }
    }
    return false;
}

} // namespace

ConvexPolyhedron::ConvexPolyhedron(const Vec3& h) {
    reset(h);
}

void ConvexPolyhedron::reset(const Vec3& h) {
    const double x = h[0], y = h[1], z = h[2];
    verts_ = {
        Vec3{-x, -y, -z}, Vec3{-x, -y, z}, Vec3{-x, y, z}, Vec3{-x, y, -z}, // -x
        Vec3{x, -y, -z},  Vec3{x, y, -z},  Vec3{x, y, z},  Vec3{x, -y, z},  // +x
        Vec3{-x, -y, -z}, Vec3{x, -y, -z}, Vec3{x, -y, z}, Vec3{-x, -y, z}, // -y
        Vec3{-x, y, -z},  Vec3{-x, y, z},  Vec3{x, y, z},  Vec3{x, y, -z},  // +y
        Vec3{-x, -y, -z}, Vec3{-x, y, -z}, Vec3{x, y, -z}, Vec3{x, -y, -z}, // -z
        Vec3{-x, -y, z},  Vec3{x, -y, z},  Vec3{x, y, z},  Vec3{-x, y, z},  // +z
    };
    start_ = {0, 4, 8, 12, 16, 20, 24};
    face_id_ = {0, 1, 2, 3, 4, 5};
}

double ConvexPolyhedron::max_signed_distance(const Vec3& normal, double distance) const {
    double s_max = -std::numeric_limits<double>::infinity();
    for (const Vec3& v : verts_) {
        s_max = std::max(s_max, dot(normal, v) - distance);
    }
    return s_max;
}

ConvexPolyhedron::ClipResult ConvexPolyhedron::clip(const Vec3& normal, double distance,
                                                    int plane_id, double cut_tolerance,
                                                    double touch_tolerance) {
    const double s_max = max_signed_distance(normal, distance);
    if (s_max < -touch_tolerance) {
        return ClipResult::kOutside;
    }
    if (s_max <= cut_tolerance) {
        return ClipResult::kTouch;
    }
    next_verts_.clear();
    next_start_.assign(1, 0);
    next_id_.clear();
    cap_.clear();
    for (std::size_t f = 0; f + 1 < start_.size(); ++f) {
        const Vec3* poly = verts_.data() + start_[f];
        const std::size_t n = start_[f + 1] - start_[f];
        const std::size_t first = next_verts_.size();
        // Sutherland-Hodgman against the plane; points on the plane also go to
        // the new face.
        for (std::size_t a = 0; a < n; ++a) {
            const Vec3& va = poly[a];
            const Vec3& vb = poly[(a + 1) % n];
            const double sa = dot(normal, va) - distance;
            const double sb = dot(normal, vb) - distance;
            if (sa <= cut_tolerance) {
                // Consecutive duplicates (a crossing next to a vertex on the plane)
                // are dropped.
                if (next_verts_.size() == first ||
                    norm(sub(va, next_verts_.back())) > cut_tolerance) {
                    next_verts_.push_back(va);
                }
                if (sa >= -cut_tolerance) {
                    cap_.push_back(va);
                }
            }
            if ((sa < -cut_tolerance && sb > cut_tolerance) ||
                (sa > cut_tolerance && sb < -cut_tolerance)) {
                const Vec3 p = add(va, scale(sub(vb, va), sa / (sa - sb)));
                if (next_verts_.size() == first ||
                    norm(sub(p, next_verts_.back())) > cut_tolerance) {
                    next_verts_.push_back(p);
                }
                cap_.push_back(p);
            }
        }
        while (next_verts_.size() > first + 1 &&
               norm(sub(next_verts_[first], next_verts_.back())) <= cut_tolerance) {
            next_verts_.pop_back();
        }
        if (next_verts_.size() - first >= 3) {
            next_start_.push_back(next_verts_.size());
            next_id_.push_back(face_id_[f]);
        } else {
            next_verts_.resize(first);
        }
    }
    // The new face: the points on the plane, merged and ordered by angle.
    std::size_t unique = 0;
    for (std::size_t k = 0; k < cap_.size(); ++k) {
        bool seen = false;
        for (std::size_t m = 0; m < unique && !seen; ++m) {
            seen = norm(sub(cap_[k], cap_[m])) <= cut_tolerance;
        }
        if (!seen) {
            cap_[unique++] = cap_[k];
        }
    }
    if (unique >= 3) {
        Vec3 centre{};
        for (std::size_t k = 0; k < unique; ++k) {
            centre = add(centre, cap_[k]);
        }
        centre = scale(centre, 1.0 / static_cast<double>(unique));
        const Vec3 helper = std::fabs(normal[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        Vec3 u = cross(normal, helper);
        u = scale(u, 1.0 / norm(u));
        const Vec3 w = cross(normal, u);
        by_angle_.clear();
        for (std::size_t k = 0; k < unique; ++k) {
            const Vec3 d = sub(cap_[k], centre);
            by_angle_.emplace_back(std::atan2(dot(d, w), dot(d, u)), k);
        }
        std::sort(by_angle_.begin(), by_angle_.end());
        for (const auto& entry : by_angle_) {
            next_verts_.push_back(cap_[entry.second]);
        }
        next_start_.push_back(next_verts_.size());
        next_id_.push_back(plane_id);
    }
    verts_.swap(next_verts_);
    start_.swap(next_start_);
    face_id_.swap(next_id_);
    return ClipResult::kCut;
}

double ConvexPolyhedron::max_vertex_distance() const {
    double r2 = 0.0;
    for (const Vec3& v : verts_) {
        r2 = std::max(r2, dot(v, v));
    }
    return std::sqrt(r2);
}

std::vector<Vec3> ConvexPolyhedron::vertices(double tolerance) const {
    // Each corner appears once per face meeting there: sort along x and merge
    // the copies, which lie within the tolerance of each other.
    std::vector<Vec3> sorted = verts_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Vec3& a, const Vec3& b) { return a[0] < b[0]; });
    std::vector<Vec3> out;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        bool seen = false;
        for (std::size_t m = out.size(); m > 0; --m) {
            const Vec3& earlier = out[m - 1];
            if (sorted[k][0] - earlier[0] > tolerance) {
                break;
            }
            seen = seen || norm(sub(sorted[k], earlier)) <= tolerance;
        }
        if (!seen) {
            out.push_back(sorted[k]);
        }
    }
    return out;
}

double ConvexPolyhedron::volume() const {
    // Pyramids from the origin (inside) over each face.
    double v = 0.0;
    for (std::size_t f = 0; f + 1 < start_.size(); ++f) {
        const Vec3* poly = verts_.data() + start_[f];
        const std::size_t n = start_[f + 1] - start_[f];
        Vec3 normal{};
        for (std::size_t k = 0; k < n; ++k) {
            normal = add(normal, cross(poly[k], poly[(k + 1) % n]));
        }
        const double length = norm(normal);
        if (length > 0.0) {
            v += polygon_area(poly, n) * std::fabs(dot(scale(normal, 1.0 / length), poly[0])) / 3.0;
        }
    }
    return v;
}

std::vector<VoronoiCell> periodic_voronoi(const std::vector<Vec3>& nodes, const Vec3& box) {
    const std::size_t n = nodes.size();
    std::vector<VoronoiCell> cells(n);
    if (n == 0) {
        return cells;
    }
    const double scale_length = std::max({box[0], box[1], box[2]});
    const double cut_tol = 1e-10 * scale_length;
    // Planes this close to a cell settle ties on its surface; an extra plane costs
    // nothing but a missing one could give a point on an edge to two grains.
    const double touch_tol = 1e-5 + cut_tol;

    // Bins of about two nodes each.
    const double volume = box[0] * box[1] * box[2];
    const double width = std::cbrt(2.0 * volume / static_cast<double>(n));
    std::array<long, 3> nb{};
    for (int c = 0; c < 3; ++c) {
        nb[c] = std::max(1L, static_cast<long>(std::floor(box[c] / width)));
    }
    auto bin_coord = [&](const Vec3& p, int c) {
        const long b = static_cast<long>(std::floor(p[c] / box[c] * static_cast<double>(nb[c])));
        return std::clamp(b, 0L, nb[c] - 1);
    };
    std::vector<std::vector<std::size_t>> bins(static_cast<std::size_t>(nb[0] * nb[1] * nb[2]));
    auto bin_index = [&](long x, long y, long z) {
        return static_cast<std::size_t>((x * nb[1] + y) * nb[2] + z);
    };
    for (std::size_t k = 0; k < n; ++k) {
        bins[bin_index(bin_coord(nodes[k], 0), bin_coord(nodes[k], 1), bin_coord(nodes[k], 2))]
            .push_back(k);
    }

    ConvexPolyhedron poly(scale(box, 0.5));
    for (std::size_t g = 0; g < n; ++g) {
        const Vec3& p = nodes[g];
        poly.reset(scale(box, 0.5));
        std::vector<CellPlane> candidates;
        for (int c = 0; c < 3; ++c) {
            for (int sign : {-1, 1}) {
                CellPlane plane;
                plane.normal[c] = sign;
                plane.distance = 0.5 * box[c];
                plane.neighbor = g;
                plane.image[c] = sign;
                plane.inclusive = sign > 0;
                candidates.push_back(plane);
            }
        }
        const long b[3] = {bin_coord(p, 0), bin_coord(p, 1), bin_coord(p, 2)};
        double r_max = poly.max_vertex_distance();
        // Shells of bins around the node's bin (the first takes the 27 nearest
        // bins at once); within a shell the nearest nodes clip first, so the
        // cell shrinks fast and farther nodes are dismissed by distance alone.
        struct Candidate {
            double dist;
            std::size_t node;
            std::array<int, 3> image;
            Vec3 d;
        };
        std::vector<Candidate> shell_nodes;
        for (long shell = 1;; ++shell) {
            shell_nodes.clear();
            for (long ox = -shell; ox <= shell; ++ox) {
                for (long oy = -shell; oy <= shell; ++oy) {
                    for (long oz = -shell; oz <= shell; ++oz) {
                        const long ring = std::max({std::labs(ox), std::labs(oy), std::labs(oz)});
                        if (shell > 1 && ring != shell) {
                            continue;
                        }
                        const long o[3] = {b[0] + ox, b[1] + oy, b[2] + oz};
                        std::array<int, 3> image{};
                        long bin[3];
                        for (int c = 0; c < 3; ++c) {
                            const long q = floor_div(o[c], nb[c]);
                            image[c] = static_cast<int>(q);
                            bin[c] = o[c] - q * nb[c];
                        }
                        for (std::size_t h : bins[bin_index(bin[0], bin[1], bin[2])]) {
                            if (h == g && image == std::array<int, 3>{0, 0, 0}) {
                                continue;
                            }
                            Vec3 q = nodes[h];
                            for (int c = 0; c < 3; ++c) {
                                q[c] += image[c] * box[c];
                            }
                            const Vec3 d = sub(q, p);
                            const double dist2 = dot(d, d);
                            // Too far to reach the cell as it stands: skip early.
                            if (0.25 * dist2 > (r_max + touch_tol) * (r_max + touch_tol)) {
                                continue;
                            }
                            shell_nodes.push_back({std::sqrt(dist2), h, image, d});
                        }
                    }
                }
            }
            std::sort(shell_nodes.begin(), shell_nodes.end(),
                      [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
            for (const Candidate& c : shell_nodes) {
                if (0.5 * c.dist > r_max + touch_tol) {
                    break; // sorted: the rest are farther still
                }
                CellPlane plane;
                plane.normal = scale(c.d, 1.0 / c.dist);
                plane.distance = 0.5 * c.dist;
                plane.neighbor = c.node;
                plane.image = c.image;
                plane.inclusive = c.node == g ? positive_image(c.image) : g < c.node;
                const auto result =
                    poly.clip(plane.normal, plane.distance, static_cast<int>(candidates.size()),
                              cut_tol, touch_tol);
                if (result != ConvexPolyhedron::ClipResult::kOutside) {
                    candidates.push_back(plane);
                    if (result == ConvexPolyhedron::ClipResult::kCut) {
                        r_max = poly.max_vertex_distance();
                    }
                }
            }
            // Nodes in bins beyond this shell are at least `reach` away, so their
            // bisectors lie beyond every vertex.
            double reach = std::numeric_limits<double>::infinity();
            for (int c = 0; c < 3; ++c) {
                const double w = box[c] / static_cast<double>(nb[c]);
                reach = std::min({reach, static_cast<double>(b[c] + shell + 1) * w - p[c],
                                  p[c] - static_cast<double>(b[c] - shell) * w});
            }
            if (reach > 2.0 * (r_max + touch_tol)) {
                break;
            }
        }
        VoronoiCell& cell = cells[g];
        for (const CellPlane& plane : candidates) {
            if (poly.max_signed_distance(plane.normal, plane.distance) >= -touch_tol) {
                cell.planes.push_back(plane);
            }
        }
        cell.vertices = poly.vertices(cut_tol);
        cell.volume = poly.volume();
    }
    return cells;
}

} // namespace ferrolith::build
