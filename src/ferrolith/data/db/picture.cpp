// ferrolith.data.db.picture: still pictures of structures for the web viewer.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/data/db/svg_picture.hpp"

#include <pybind11/numpy.h>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fd = ferrolith::data;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<long long, py::array::c_style | py::array::forcecast>;

std::vector<double> flat(py::handle obj, std::size_t expected, const char* what) {
    DoubleArray a = DoubleArray::ensure(obj);
    if (!a || static_cast<std::size_t>(a.size()) != expected) {
        throw py::value_error(std::string(what) + " has the wrong shape");
    }
    return {a.data(), a.data() + a.size()};
}

std::array<double, 3> vector3(py::handle obj, const char* name) {
    if (!PySequence_Check(obj.ptr()) || PyUnicode_Check(obj.ptr()) || py::len(obj) != 3) {
        throw py::type_error(std::string(name) + " must be a sequence of three numbers");
    }
    py::sequence items = py::reinterpret_borrow<py::sequence>(obj);
    const std::string label(name);
    return {fb::to_float(items[0], (label + "[0]").c_str()),
            fb::to_float(items[1], (label + "[1]").c_str()),
            fb::to_float(items[2], (label + "[2]").c_str())};
}

py::str render_svg(py::object atoms, py::object size, py::object direction, py::object up,
                   py::object show_cell, py::object radius_scale) {
    const long long pixels = fb::require_exact_int(size, "size");
    if (pixels < 16 || pixels > 8192) {
        throw py::value_error("size must be between 16 and 8192 pixels");
    }
    const std::array<double, 3> eye = vector3(direction, "direction");
    const std::array<double, 3> upward = vector3(up, "up");
    if (eye[0] == 0.0 && eye[1] == 0.0 && eye[2] == 0.0) {
        throw py::value_error("direction must not be zero");
    }
    const double scale = fb::to_float(radius_scale, "radius_scale");
    if (!(scale > 0.0)) {
        throw py::value_error("radius_scale must be positive");
    }

    IntArray numbers = IntArray::ensure(atoms.attr("get_atomic_numbers")());
    if (!numbers || numbers.ndim() != 1) {
        throw py::value_error("atomic numbers must be a one-dimensional array");
    }
    const std::size_t n = static_cast<std::size_t>(numbers.size());
    fd::PictureInput input;
    input.positions = flat(atoms.attr("get_positions")(), 3 * n, "positions");
    const std::vector<double> cell = flat(atoms.attr("get_cell")().attr("array"), 9, "cell");
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            input.cell[i][j] = cell[3 * i + j];
        }
    }
    input.show_cell = py::bool_(show_cell);

    // Colours and radii by atomic number, from the module's tables.
    DoubleArray colors = DoubleArray::ensure(globals["jmol_colors"]);
    DoubleArray radii = DoubleArray::ensure(globals["covalent_radii"]);
    if (!colors || !radii || colors.ndim() != 2 || colors.shape(1) != 3) {
        throw py::value_error("jmol_colors must be an N x 3 array and covalent_radii an array");
    }
    input.radii.reserve(n);
    input.colors.reserve(3 * n);
    input.species.reserve(n);
    const long long* z = numbers.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (z[i] < 0 || z[i] >= colors.shape(0) || z[i] >= radii.size()) {
            throw py::value_error("atomic number " + std::to_string(z[i]) + " has no colour");
        }
        input.species.push_back(static_cast<int>(z[i]));
        input.radii.push_back(scale * radii.at(z[i]));
        for (int c = 0; c < 3; ++c) {
            input.colors.push_back(colors.at(z[i], c));
        }
    }

    fd::PictureView view;
    view.size = static_cast<int>(pixels);
    view.rotation = fd::view_rotation(eye, upward);
    std::string svg;
    {
        py::gil_scoped_release release;
        svg = fd::render_svg(input, view);
    }
    return py::str(svg);
}

} // namespace

PYBIND11_MODULE(picture, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Still pictures of structures, drawn on the server as SVG.

The web viewer shows them beside its interactive 3D view: atoms are shaded
discs in the Jmol colours, sized by covalent radius, seen from the same
oblique direction as the interactive view first shows, with the cell's edges
dashed.)doc";

    // Tables resolved at call time; replace them on the module to restyle.
    py::module_ ase_data = py::module_::import("ase.data");
    m.attr("jmol_colors") = py::module_::import("ase.data.colors").attr("jmol_colors");
    m.attr("covalent_radii") = ase_data.attr("covalent_radii");

    m.def("render_svg", &render_svg, "atoms"_a, py::kw_only(), "size"_a = 400,
          "direction"_a = py::make_tuple(0.45, -1.0, 0.55), "up"_a = py::make_tuple(0.0, 0.0, 1.0),
          "show_cell"_a = true, "radius_scale"_a = 0.7,
          R"doc(The structure as an SVG document (str).

Args:
    atoms: An ASE Atoms object.
    size (int): Width and height of the square picture, in pixels (16 to 8192).
    direction (tuple): Where the eye is, seen from the structure (Cartesian,
        any length); the default looks from the front, a little above and to
        the side, as the interactive view first does.
    up (tuple): The direction shown upwards (projected on the picture).
    show_cell (bool): Draw the cell's edges (when the cell is not zero).
    radius_scale (float): Disc radius as a multiple of the covalent radius.)doc");
}
