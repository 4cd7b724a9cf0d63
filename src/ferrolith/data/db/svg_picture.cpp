#include "ferrolith/data/db/svg_picture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace ferrolith::data {

namespace {

std::array<double, 3> apply(const Matrix3& m, double x, double y, double z) {
    return {m[0][0] * x + m[0][1] * y + m[0][2] * z, m[1][0] * x + m[1][1] * y + m[1][2] * z,
            m[2][0] * x + m[2][1] * y + m[2][2] * z};
}

bool cell_is_zero(const Matrix3& cell) {
    for (const auto& row : cell) {
        for (double v : row) {
            if (v != 0.0) {
                return false;
            }
        }
    }
    return true;
}

// The eight corners of the cell, corner k = (k&1)a + (k>>1&1)b + (k>>2&1)c.
std::array<std::array<double, 3>, 8> cell_corners(const Matrix3& cell) {
    std::array<std::array<double, 3>, 8> corners{};
    for (int k = 0; k < 8; ++k) {
        for (int d = 0; d < 3; ++d) {
            corners[k][d] =
                (k & 1) * cell[0][d] + (k >> 1 & 1) * cell[1][d] + (k >> 2 & 1) * cell[2][d];
        }
    }
    return corners;
}

// Pairs of corners that differ in exactly one cell vector.
constexpr int kEdges[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                               {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};

bool sizes_agree(const PictureInput& in) {
    const std::size_t n = in.radii.size();
    return in.positions.size() == 3 * n && in.colors.size() == 3 * n && in.species.size() == n;
}

struct Frame {
    double scale = 1.0; // pixels per Å
    double x0 = 0.0;    // rotated x shown at the left margin
    double y1 = 0.0;    // rotated y shown at the top margin
    double pad_x = 0.0; // extra left offset that centres the drawing
    double pad_y = 0.0;
};

Frame frame(const PictureInput& in, const PictureView& view,
            const std::vector<std::array<double, 3>>& rotated,
            const std::vector<std::array<double, 3>>& corners) {
    double xmin = std::numeric_limits<double>::infinity(), ymin = xmin;
    double xmax = -xmin, ymax = -xmin;
    for (std::size_t i = 0; i < rotated.size(); ++i) {
        const double r = in.radii[i];
        xmin = std::min(xmin, rotated[i][0] - r);
        xmax = std::max(xmax, rotated[i][0] + r);
        ymin = std::min(ymin, rotated[i][1] - r);
        ymax = std::max(ymax, rotated[i][1] + r);
    }
    for (const auto& c : corners) {
        xmin = std::min(xmin, c[0]);
        xmax = std::max(xmax, c[0]);
        ymin = std::min(ymin, c[1]);
        ymax = std::max(ymax, c[1]);
    }
    Frame f;
    if (!(xmin <= xmax)) { // nothing to draw
        return f;
    }
    const double span = std::max({xmax - xmin, ymax - ymin, 1e-6});
    const double usable = std::max(1.0, view.size - 2.0 * view.margin);
    f.scale = usable / span;
    f.x0 = xmin;
    f.y1 = ymax;
    f.pad_x = view.margin + 0.5 * (usable - (xmax - xmin) * f.scale);
    f.pad_y = view.margin + 0.5 * (usable - (ymax - ymin) * f.scale);
    return f;
}

struct Scene {
    std::vector<std::array<double, 3>> atoms;   // rotated positions
    std::vector<std::array<double, 3>> corners; // rotated cell corners (empty without a cell)
    Frame f;
};

Scene build_scene(const PictureInput& in, const PictureView& view) {
    Scene s;
    const std::size_t n = in.radii.size();
    s.atoms.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        s.atoms.push_back(apply(view.rotation, in.positions[3 * i], in.positions[3 * i + 1],
                                in.positions[3 * i + 2]));
    }
    if (in.show_cell && !cell_is_zero(in.cell)) {
        for (const auto& c : cell_corners(in.cell)) {
            s.corners.push_back(apply(view.rotation, c[0], c[1], c[2]));
        }
    }
    s.f = frame(in, view, s.atoms, s.corners);
    return s;
}

std::vector<ProjectedAtom> place(const Scene& s, const PictureInput& in) {
    std::vector<ProjectedAtom> out;
    out.reserve(s.atoms.size());
    for (std::size_t i = 0; i < s.atoms.size(); ++i) {
        const auto& p = s.atoms[i];
        out.push_back({s.f.pad_x + (p[0] - s.f.x0) * s.f.scale,
                       s.f.pad_y + (s.f.y1 - p[1]) * s.f.scale, in.radii[i] * s.f.scale, p[2]});
    }
    return out;
}

void append(std::string& out, const char* format, double a, double b = 0, double c = 0,
            double d = 0) {
    char buffer[160];
    const int len = std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
    out.append(buffer, static_cast<std::size_t>(std::max(0, len)));
}

int channel(double v) {
    return static_cast<int>(std::lround(255.0 * std::clamp(v, 0.0, 1.0)));
}

void append_color(std::string& out, double r, double g, double b) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", channel(r), channel(g), channel(b));
    out += buffer;
}

} // namespace

Matrix3 view_rotation(const std::array<double, 3>& direction, const std::array<double, 3>& up) {
    auto norm = [](const std::array<double, 3>& v) {
        return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    };
    auto cross = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                     a[0] * b[1] - a[1] * b[0]};
    };
    const double length = norm(direction);
    if (!(length > 0.0) || !std::isfinite(length)) {
        return Matrix3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    }
    const std::array<double, 3> z{direction[0] / length, direction[1] / length,
                                  direction[2] / length};
    std::array<double, 3> x = cross(up, z);
    if (norm(x) < 1e-9 * std::max(1.0, norm(up))) {
        // `up` is useless: take the coordinate axis least aligned with the view.
        std::array<double, 3> axis{0, 0, 0};
        int k = 0;
        for (int d = 1; d < 3; ++d) {
            if (std::fabs(z[d]) < std::fabs(z[k])) {
                k = d;
            }
        }
        axis[k] = 1.0;
        x = cross(axis, z);
    }
    const double xn = norm(x);
    x = {x[0] / xn, x[1] / xn, x[2] / xn};
    const std::array<double, 3> y = cross(z, x);
    return Matrix3{{x, y, z}};
}

std::vector<ProjectedAtom> project_atoms(const PictureInput& input, const PictureView& view,
                                         double* scale) {
    if (!sizes_agree(input)) {
        return {};
    }
    const Scene s = build_scene(input, view);
    if (scale != nullptr) {
        *scale = s.f.scale;
    }
    return place(s, input);
}

std::string render_svg(const PictureInput& input, const PictureView& view) {
    if (!sizes_agree(input) || view.size < 16) {
        return {};
    }
    const Scene s = build_scene(input, view);
    const std::vector<ProjectedAtom> atoms = place(s, input);
    auto screen = [&](const std::array<double, 3>& p) {
        return std::array<double, 2>{s.f.pad_x + (p[0] - s.f.x0) * s.f.scale,
                                     s.f.pad_y + (s.f.y1 - p[1]) * s.f.scale};
    };

    // Everything drawn, far to near: atoms (index ≥ 0) and cell edges (-1 - edge).
    std::vector<std::pair<double, long>> order;
    order.reserve(atoms.size() + 12);
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        order.emplace_back(atoms[i].depth, static_cast<long>(i));
    }
    if (!s.corners.empty()) {
        for (long e = 0; e < 12; ++e) {
            const double mid = 0.5 * (s.corners[kEdges[e][0]][2] + s.corners[kEdges[e][1]][2]);
            order.emplace_back(mid, -1 - e);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::string out;
    out.reserve(400 + 90 * order.size());
    append(out,
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
           "viewBox=\"0 0 %.0f %.0f\">\n",
           view.size, view.size, view.size, view.size);

    // One shading per colour group: a light spot up-left fading to a darker rim.
    std::map<int, std::size_t> first_of_species;
    for (std::size_t i = 0; i < input.species.size(); ++i) {
        first_of_species.emplace(input.species[i], i);
    }
    out += "<defs>\n";
    for (const auto& [species, i] : first_of_species) {
        const double r = input.colors[3 * i], g = input.colors[3 * i + 1],
                     b = input.colors[3 * i + 2];
        out += "<radialGradient id=\"s" + std::to_string(species) +
               "\" cx=\"0.4\" cy=\"0.4\" r=\"0.65\" fx=\"0.32\" fy=\"0.3\">";
        out += "<stop offset=\"0\" stop-color=\"";
        append_color(out, 0.45 + 0.55 * r, 0.45 + 0.55 * g, 0.45 + 0.55 * b);
        out += "\"/><stop offset=\"0.55\" stop-color=\"";
        append_color(out, r, g, b);
        out += "\"/><stop offset=\"1\" stop-color=\"";
        append_color(out, 0.55 * r, 0.55 * g, 0.55 * b);
        out += "\"/></radialGradient>\n";
    }
    out += "</defs>\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";

    for (const auto& [depth, item] : order) {
        if (item >= 0) {
            const ProjectedAtom& a = atoms[static_cast<std::size_t>(item)];
            append(out, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" ", a.x, a.y, a.r);
            out += "fill=\"url(#s" + std::to_string(input.species[static_cast<std::size_t>(item)]) +
                   ")\" stroke=\"#333333\" stroke-width=\"0.6\"/>\n";
        } else {
            const long e = -1 - item;
            const auto p = screen(s.corners[kEdges[e][0]]);
            const auto q = screen(s.corners[kEdges[e][1]]);
            append(out, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" ", p[0], p[1], q[0],
                   q[1]);
            out += "stroke=\"#555555\" stroke-width=\"1\" stroke-dasharray=\"4 3\"/>\n";
        }
    }
    out += "</svg>\n";
    return out;
}

} // namespace ferrolith::data
