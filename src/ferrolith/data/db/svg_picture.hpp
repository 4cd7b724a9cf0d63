// A still picture of a structure as SVG text: atoms as shaded discs seen along
// a chosen direction, with the unit cell's edges, drawn back to front.
//
// Plain C++: positions, radii, colours and the cell in; SVG text out.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace ferrolith::data {

/// A 3×3 matrix, row-major.
using Matrix3 = std::array<std::array<double, 3>, 3>;

/// The rotation of a camera that looks at the structure from `direction`
/// (pointing from the structure towards the eye) with `up` shown upwards:
/// rotated x points right, y up and z towards the eye. An `up` parallel to
/// `direction` is replaced by the axis least aligned with it; a zero
/// `direction` gives the identity.
Matrix3 view_rotation(const std::array<double, 3>& direction, const std::array<double, 3>& up);

/// What the picture shows.
struct PictureInput {
    std::vector<double> positions; ///< N×3 Cartesian positions, Å, row-major
    std::vector<double> radii;     ///< N disc radii, Å
    std::vector<double> colors;    ///< N×3 RGB colours, each in [0, 1]
    std::vector<int> species;      ///< N ids of the colour group (e.g. atomic numbers), ≥ 0
    Matrix3 cell{};                ///< cell vectors as rows, Å; all zero for none
    bool show_cell = true;         ///< draw the 12 cell edges when the cell is not zero
};

/// How the picture is framed.
struct PictureView {
    Matrix3 rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; ///< applied before projecting on x–y
    int size = 400;      ///< width and height of the square picture, pixels (≥ 16)
    double margin = 8.0; ///< empty border around the drawing, pixels
};

/// Screen placement of one atom (after rotation and scaling): centre in
/// pixels (y downwards), radius in pixels and depth (larger is nearer).
struct ProjectedAtom {
    double x, y, r, depth;
};

/// The atoms as the picture places them, in input order; `scale` receives the
/// pixels per Å used. Exposed for tests of the framing.
std::vector<ProjectedAtom> project_atoms(const PictureInput& input, const PictureView& view,
                                         double* scale = nullptr);

/// The picture as a standalone SVG document. Atoms nearer the viewer cover
/// those behind; each cell edge is drawn at the depth of its midpoint.
/// Inconsistent input sizes give an empty string.
std::string render_svg(const PictureInput& input, const PictureView& view);

} // namespace ferrolith::data
