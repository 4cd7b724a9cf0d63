// Kernel tests: the view rotation and the SVG picture of a structure.
#include "check.hpp"

#include "ferrolith/data/db/svg_picture.hpp"

#include <cmath>
#include <string>

namespace fd = ferrolith::data;

namespace {

double dot(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// Two atoms on the x axis, one of species 14 and one of species 8, in a cubic cell.
fd::PictureInput pair(double cell_edge) {
    fd::PictureInput in;
    in.positions = {0.0, 0.0, 0.0, 2.0, 0.0, 0.0};
    in.radii = {1.0, 0.5};
    in.colors = {0.9, 0.8, 0.6, 1.0, 0.0, 0.0};
    in.species = {14, 8};
    for (int i = 0; i < 3; ++i) {
        in.cell[i][i] = cell_edge;
    }
    return in;
}

} // namespace

TEST_CASE("view rotation is orthonormal and looks from the given direction") {
    const std::array<double, 3> direction{0.45, -1.0, 0.55};
    const fd::Matrix3 r = fd::view_rotation(direction, {0.0, 0.0, 1.0});
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            CHECK_NEAR(dot(r[i], r[j]), i == j ? 1.0 : 0.0, 1e-12);
        }
    }
    const double norm = std::sqrt(dot(direction, direction));
    CHECK_NEAR(dot(r[2], direction), norm, 1e-12); // the eye lies on +z
    CHECK(r[1][2] > 0.0);                          // world z is shown upwards
    CHECK_NEAR(r[0][2], 0.0, 1e-12);               // and never sideways
    // right-handed: x × y = z
    CHECK_NEAR(r[0][1] * r[1][2] - r[0][2] * r[1][1], r[2][0], 1e-12);
}

TEST_CASE("view rotation survives an up parallel to the view and a zero direction") {
    const fd::Matrix3 r = fd::view_rotation({0.0, 0.0, 2.0}, {0.0, 0.0, 1.0});
    CHECK_NEAR(r[2][2], 1.0, 1e-12);
    CHECK_NEAR(dot(r[0], r[1]), 0.0, 1e-12);
    CHECK_NEAR(dot(r[0], r[0]), 1.0, 1e-12);
    const fd::Matrix3 identity = fd::view_rotation({0.0, 0.0, 0.0}, {0.0, 0.0, 1.0});
    CHECK_EQ(identity[0][0], 1.0);
    CHECK_EQ(identity[1][1], 1.0);
}

TEST_CASE("projection fits the drawing into the picture and keeps distances in scale") {
    fd::PictureInput in = pair(0.0); // no cell: the atoms alone are framed
    fd::PictureView view;
    view.size = 200;
    view.margin = 10.0;
    double scale = 0.0;
    const auto atoms = fd::project_atoms(in, view, &scale);
    CHECK_EQ(atoms.size(), 2u);
    // x extent is 3.5 Å (from -1 to 2.5), the larger one: it spans the usable 180 px
    CHECK_NEAR(scale, 180.0 / 3.5, 1e-12);
    CHECK_NEAR(atoms[0].x - atoms[0].r, 10.0, 1e-9);
    CHECK_NEAR(atoms[1].x + atoms[1].r, 190.0, 1e-9);
    CHECK_NEAR(atoms[1].x - atoms[0].x, 2.0 * scale, 1e-9);
    CHECK_NEAR(atoms[0].y, 100.0, 1e-9); // centred vertically
    CHECK_NEAR(atoms[0].r, scale, 1e-9);
}

TEST_CASE("picture draws every atom, one shading per species and the cell edges") {
    fd::PictureInput in = pair(4.0);
    const std::string svg = fd::render_svg(in, fd::PictureView{});
    CHECK(svg.rfind("<svg ", 0) == 0);
    CHECK_EQ(count(svg, "<circle"), 2u);
    CHECK_EQ(count(svg, "<radialGradient"), 2u);
    CHECK_EQ(count(svg, "url(#s14)"), 1u);
    CHECK_EQ(count(svg, "<line"), 12u);
    in.show_cell = false;
    CHECK_EQ(count(fd::render_svg(in, fd::PictureView{}), "<line"), 0u);
}

TEST_CASE("nearer atoms are drawn after the ones behind them") {
    fd::PictureInput in = pair(0.0);
    fd::PictureView view;                           // identity: +z points at the eye
    in.positions = {0.0, 0.0, 1.0, 0.5, 0.0, -1.0}; // the first atom is nearer
    const std::string svg = fd::render_svg(in, view);
    CHECK(svg.find("url(#s8)") < svg.find("url(#s14)"));
}

TEST_CASE("inconsistent input gives no picture") {
    fd::PictureInput in = pair(4.0);
    in.colors.pop_back();
    CHECK(fd::render_svg(in, fd::PictureView{}).empty());
    CHECK(fd::project_atoms(in, fd::PictureView{}).empty());
    fd::PictureInput ok = pair(4.0);
    fd::PictureView tiny;
    tiny.size = 4;
    CHECK(fd::render_svg(ok, tiny).empty());
}

TEST_CASE("an empty structure still draws its cell") {
    fd::PictureInput in;
    for (int i = 0; i < 3; ++i) {
        in.cell[i][i] = 3.0;
    }
    const std::string svg = fd::render_svg(in, fd::PictureView{});
    CHECK_EQ(count(svg, "<circle"), 0u);
    CHECK_EQ(count(svg, "<line"), 12u);
}
