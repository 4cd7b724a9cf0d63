#include "ferrolith/build/voronoi.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace ferrolith::build {

namespace {

// Drops consecutive duplicates (cyclically) from a polygon.
void merge_close_neighbours(std::vector<Vec3>& polygon, double tolerance) {
    std::vector<Vec3> out;
    out.reserve(polygon.size());
    for (const Vec3& v : polygon) {
        if (out.empty() || norm(sub(v, out.back())) > tolerance) {
            out.push_back(v);
        }
    }
    while (out.size() > 1 && norm(sub(out.front(), out.back())) <= tolerance) {
        out.pop_back();
    }
    polygon.swap(out);
}

double polygon_area(const std::vector<Vec3>& polygon) {
    Vec3 sum{};
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        sum = add(sum, cross(polygon[k], polygon[(k + 1) % polygon.size()]));
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
    const double x = h[0], y = h[1], z = h[2];
    faces_ = {
        {0, {Vec3{-x, -y, -z}, Vec3{-x, -y, z}, Vec3{-x, y, z}, Vec3{-x, y, -z}}},
        {1, {Vec3{x, -y, -z}, Vec3{x, y, -z}, Vec3{x, y, z}, Vec3{x, -y, z}}},
        {2, {Vec3{-x, -y, -z}, Vec3{x, -y, -z}, Vec3{x, -y, z}, Vec3{-x, -y, z}}},
        {3, {Vec3{-x, y, -z}, Vec3{-x, y, z}, Vec3{x, y, z}, Vec3{x, y, -z}}},
        {4, {Vec3{-x, -y, -z}, Vec3{-x, y, -z}, Vec3{x, y, -z}, Vec3{x, -y, -z}}},
        {5, {Vec3{-x, -y, z}, Vec3{x, -y, z}, Vec3{x, y, z}, Vec3{-x, y, z}}},
    };
}

double ConvexPolyhedron::max_signed_distance(const Vec3& normal, double distance) const {
    double s_max = -std::numeric_limits<double>::infinity();
    for (const Face& f : faces_) {
        for (const Vec3& v : f.polygon) {
            s_max = std::max(s_max, dot(normal, v) - distance);
        }
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
    std::vector<Vec3> cap;
    std::vector<Face> kept;
    kept.reserve(faces_.size() + 1);
    for (Face& face : faces_) {
        const std::vector<Vec3>& poly = face.polygon;
        std::vector<Vec3> out;
        out.reserve(poly.size() + 1);
        for (std::size_t a = 0; a < poly.size(); ++a) {
            const Vec3& va = poly[a];
            const Vec3& vb = poly[(a + 1) % poly.size()];
            const double sa = dot(normal, va) - distance;
            const double sb = dot(normal, vb) - distance;
            if (sa <= cut_tolerance) {
                out.push_back(va);
                if (sa >= -cut_tolerance) {
                    cap.push_back(va);
                }
            }
            if ((sa < -cut_tolerance && sb > cut_tolerance) ||
                (sa > cut_tolerance && sb < -cut_tolerance)) {
                const Vec3 p = add(va, scale(sub(vb, va), sa / (sa - sb)));
                out.push_back(p);
                cap.push_back(p);
            }
        }
        merge_close_neighbours(out, cut_tolerance);
        if (out.size() >= 3) {
            kept.push_back({face.plane_id, std::move(out)});
        }
    }
    // The new face: the points on the plane, merged and ordered by angle.
    std::vector<Vec3> unique;
    for (const Vec3& p : cap) {
        const bool seen = std::any_of(unique.begin(), unique.end(), [&](const Vec3& q) {
            return norm(sub(p, q)) <= cut_tolerance;
        });
        if (!seen) {
            unique.push_back(p);
        }
    }
    if (unique.size() >= 3) {
        Vec3 centre{};
        for (const Vec3& p : unique) {
            centre = add(centre, p);
        }
        centre = scale(centre, 1.0 / static_cast<double>(unique.size()));
        const Vec3 helper = std::fabs(normal[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        Vec3 u = cross(normal, helper);
        u = scale(u, 1.0 / norm(u));
        const Vec3 w = cross(normal, u);
        std::vector<std::pair<double, Vec3>> by_angle;
        for (const Vec3& p : unique) {
            const Vec3 d = sub(p, centre);
            by_angle.emplace_back(std::atan2(dot(d, w), dot(d, u)), p);
        }
        std::sort(by_angle.begin(), by_angle.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<Vec3> polygon;
        for (const auto& entry : by_angle) {
            polygon.push_back(entry.second);
        }
        kept.push_back({plane_id, std::move(polygon)});
    }
    faces_.swap(kept);
    return ClipResult::kCut;
}

double ConvexPolyhedron::max_vertex_distance() const {
    double r = 0.0;
    for (const Face& f : faces_) {
        for (const Vec3& v : f.polygon) {
            r = std::max(r, norm(v));
        }
    }
    return r;
}

std::vector<int> ConvexPolyhedron::face_plane_ids() const {
    std::vector<int> ids;
    for (const Face& f : faces_) {
        ids.push_back(f.plane_id);
    }
    return ids;
}

std::vector<Vec3> ConvexPolyhedron::vertices(double tolerance) const {
    std::vector<Vec3> out;
    for (const Face& f : faces_) {
        for (const Vec3& v : f.polygon) {
            const bool seen = std::any_of(out.begin(), out.end(), [&](const Vec3& q) {
                return norm(sub(v, q)) <= tolerance;
            });
            if (!seen) {
                out.push_back(v);
            }
        }
    }
    return out;
}

double ConvexPolyhedron::volume() const {
    // Pyramids from the origin (inside) over each face.
    double v = 0.0;
    for (const Face& f : faces_) {
        const double area = polygon_area(f.polygon);
        Vec3 n{};
        for (std::size_t k = 0; k < f.polygon.size(); ++k) {
            n = add(n, cross(f.polygon[k], f.polygon[(k + 1) % f.polygon.size()]));
        }
        const double length = norm(n);
        if (length > 0.0) {
            v += area * std::fabs(dot(scale(n, 1.0 / length), f.polygon[0])) / 3.0;
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
    double w_min = std::numeric_limits<double>::infinity();
    for (int c = 0; c < 3; ++c) {
        nb[c] = std::max(1L, static_cast<long>(std::floor(box[c] / width)));
        w_min = std::min(w_min, box[c] / static_cast<double>(nb[c]));
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

    for (std::size_t g = 0; g < n; ++g) {
        const Vec3& p = nodes[g];
        ConvexPolyhedron poly(scale(box, 0.5));
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
        for (long shell = 0;; ++shell) {
            for (long ox = -shell; ox <= shell; ++ox) {
                for (long oy = -shell; oy <= shell; ++oy) {
                    for (long oz = -shell; oz <= shell; ++oz) {
                        if (std::max({std::labs(ox), std::labs(oy), std::labs(oz)}) != shell) {
                            continue;
                        }
                        const long o[3] = {b[0] + ox, b[1] + oy, b[2] + oz};
                        std::array<int, 3> image{};
                        long cell[3];
                        for (int c = 0; c < 3; ++c) {
                            const long q = floor_div(o[c], nb[c]);
                            image[c] = static_cast<int>(q);
                            cell[c] = o[c] - q * nb[c];
                        }
                        for (std::size_t h : bins[bin_index(cell[0], cell[1], cell[2])]) {
                            if (h == g && image == std::array<int, 3>{0, 0, 0}) {
                                continue;
                            }
                            Vec3 q = nodes[h];
                            for (int c = 0; c < 3; ++c) {
                                q[c] += image[c] * box[c];
                            }
                            const Vec3 d = sub(q, p);
                            const double dist = norm(d);
                            if (0.5 * dist > r_max + touch_tol) {
                                continue;
                            }
                            CellPlane plane;
                            plane.normal = scale(d, 1.0 / dist);
                            plane.distance = 0.5 * dist;
                            plane.neighbor = h;
                            plane.image = image;
                            plane.inclusive = h == g ? positive_image(image) : g < h;
                            const auto result =
                                poly.clip(plane.normal, plane.distance,
                                          static_cast<int>(candidates.size()), cut_tol, touch_tol);
                            if (result != ConvexPolyhedron::ClipResult::kOutside) {
                                candidates.push_back(plane);
                                r_max = poly.max_vertex_distance();
                            }
                        }
                    }
                }
            }
            // Nodes in bins beyond this shell are at least shell·w_min away, so their
            // bisectors lie beyond every vertex.
            if (static_cast<double>(shell) * w_min > 2.0 * (r_max + touch_tol)) {
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
