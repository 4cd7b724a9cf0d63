// ferrolith.core._geometry: geometry functions for slabs and periodic cells,
// re-exported by the package ferrolith.core.
#include "ferrolith/_binding/arrays.hpp"
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/core/geometry.hpp"
#include "ferrolith/core/neighbors.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fc = ferrolith::core;
using namespace pybind11::literals;

namespace {

using fb::DoubleArray;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// An integer argument (int, numpy integer; not bool) as Python's operator.index reads it.
long long index_argument(py::handle obj, const char* name) {
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) {
        throw py::type_error(std::string(name) + " must be an integer, not " + fb::type_name(obj));
    }
    const long long value =
        PyLong_AsLongLong(py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr())).ptr());
    if (value == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return value;
}

int axis_argument(py::handle obj) {
    const long long axis = index_argument(obj, "direction");
    if (axis < 0 || axis > 2) {
        throw py::value_error("direction must be 0 (x), 1 (y) or 2 (z), not " +
                              std::to_string(axis));
    }
    return static_cast<int>(axis);
}

// An N×3 float array (a copy only when the input is not already one).
DoubleArray positions_argument(py::handle obj, const char* name) {
    DoubleArray array = DoubleArray::ensure(obj);
    if (!array) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an N x 3 array of numbers, not " +
                             fb::type_name(obj));
    }
    if (array.size() == 0) {
        return DoubleArray(std::vector<py::ssize_t>{0, 3});
    }
    if (array.ndim() != 2 || array.shape(1) != 3) {
        throw py::value_error(std::string(name) + " must have shape (N, 3), not " +
                              py::str(py::handle(array).attr("shape")).cast<std::string>());
    }
    return array;
}

fc::Mat3 cell_argument(py::handle obj, const char* name) {
    DoubleArray array = DoubleArray::ensure(obj);
    if (!array) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be a 3 x 3 cell, not " +
                             fb::type_name(obj));
    }
    if (array.ndim() != 2 || array.shape(0) != 3 || array.shape(1) != 3) {
        throw py::value_error(std::string(name) + " must be a 3 x 3 cell");
    }
    fc::Mat3 cell{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            cell[i][j] = array.at(i, j);
        }
    }
    return cell;
}

double positive_tolerance(py::handle obj, const char* name) {
    const double tol = fb::to_float(obj, name);
    if (!(tol > 0.0) || !std::isfinite(tol)) {
        throw py::value_error(std::string(name) + " must be a positive number, not " +
                              py::repr(py::float_(tol)).cast<std::string>());
    }
    return tol;
}

// ---------------------------------------------------------------------------

py::list get_layers(py::object positions, py::object direction, py::object tol) {
    const DoubleArray pos = positions_argument(positions, "positions");
    const int axis = axis_argument(direction);
    const double tolerance = positive_tolerance(tol, "tol");
    const auto n = static_cast<std::size_t>(pos.shape(0));
    fc::Layers layers = fb::value_or_raise(fc::group_layers(pos.data(), n, axis, tolerance));
    py::list result(layers.count());
    for (std::size_t k = 0; k < layers.count(); ++k) {
        const std::size_t begin = layers.offsets[k];
        const std::size_t size = layers.offsets[k + 1] - begin;
        py::array_t<py::ssize_t> indices(static_cast<py::ssize_t>(size));
        auto* out = indices.mutable_data();
        for (std::size_t m = 0; m < size; ++m) {
            out[m] = static_cast<py::ssize_t>(layers.atoms[begin + m]);
        }
        result[k] = std::move(indices);
    }
    return result;
}

struct LayerData {
    DoubleArray positions;
    IndexArray numbers;
    fc::AtomSet view() const {
        return {positions.data(), numbers.data(), static_cast<std::size_t>(positions.shape(0))};
    }
};

LayerData layer_argument(py::handle atoms, const char* name) {
    LayerData data{positions_argument(atoms.attr("positions"), name),
                   IndexArray::ensure(atoms.attr("numbers"))};
    if (!data.numbers || data.numbers.ndim() != 1 ||
        data.numbers.shape(0) != data.positions.shape(0)) {
        PyErr_Clear();
        throw py::value_error(std::string(name) + " must have one atomic number per atom");
    }
    return data;
}

bool check_reflection_symmetry(py::object plane, py::object direction, py::object tol,
                               py::object atoms1, py::object atoms2) {
    const double plane_coord = fb::to_float(plane, "plane");
    const int axis = axis_argument(direction);
    const double tolerance = positive_tolerance(tol, "tol");
    const LayerData first = layer_argument(atoms1, "atoms1");
    const LayerData second = layer_argument(atoms2, "atoms2");
    const fc::Mat3 cell = cell_argument(atoms1.attr("cell"), "atoms1.cell");
    const fc::Vec3& t1 = cell[static_cast<std::size_t>((axis + 1) % 3)];
    const fc::Vec3& t2 = cell[static_cast<std::size_t>((axis + 2) % 3)];
    return fb::value_or_raise(
        fc::is_mirror_image(plane_coord, axis, tolerance, first.view(), second.view(), t1, t2));
}

double compute_d_hkl(py::object bulk, py::object plane) {
    py::object cell = py::hasattr(bulk, "cell") ? bulk.attr("cell") : bulk;
    const fc::Mat3 m = cell_argument(cell, "bulk.cell");
    DoubleArray hkl = DoubleArray::ensure(plane);
    if (!hkl || hkl.ndim() != 1 || hkl.shape(0) != 3) {
        PyErr_Clear();
        throw py::value_error("plane must hold three Miller indices");
    }
    return fb::value_or_raise(fc::interplanar_spacing(m, {hkl.at(0), hkl.at(1), hkl.at(2)}));
}

py::array_t<double> mirror_array(py::object positions, py::object direction) {
    const DoubleArray pos = positions_argument(positions, "positions");
    const int axis = axis_argument(direction);
    py::array_t<double> result({pos.shape(0), py::ssize_t{3}});
    std::copy(pos.data(), pos.data() + pos.size(), result.mutable_data());
    fc::mirror_fractional(result.mutable_data(), static_cast<std::size_t>(pos.shape(0)), axis);
    return result;
}

py::object average_atoms(py::object atoms, py::object cutoff) {
    const double cut = fb::to_float(cutoff, "cutoff");
    const DoubleArray pos = positions_argument(atoms.attr("positions"), "atoms.positions");
    const fc::Mat3 cell = cell_argument(atoms.attr("cell"), "atoms.cell");
    py::sequence pbc_seq = atoms.attr("pbc");
    const std::array<bool, 3> pbc{py::bool_(pbc_seq[0]), py::bool_(pbc_seq[1]),
                                  py::bool_(pbc_seq[2])};
    const auto n = static_cast<std::size_t>(pos.shape(0));
    fc::Outcome<fc::MergedAtoms> outcome;
    {
        py::gil_scoped_release release;
        outcome = fc::merge_close_atoms(pos.data(), n, cell, pbc, cut);
    }
    const fc::MergedAtoms merged = fb::value_or_raise(std::move(outcome));
    const auto m = static_cast<py::ssize_t>(merged.representative.size());
    if (static_cast<std::size_t>(m) == n) {
        // Nothing merged: a plain copy is the same structure, and much cheaper
        // than selecting every atom.
        return atoms.attr("copy")();
    }
    py::array_t<py::ssize_t> keep(m);
    py::array_t<double> new_positions({m, py::ssize_t{3}});
    auto* k = keep.mutable_data();
    auto* p = new_positions.mutable_data();
    for (py::ssize_t i = 0; i < m; ++i) {
        k[i] = static_cast<py::ssize_t>(merged.representative[static_cast<std::size_t>(i)]);
        const fc::Vec3& r = merged.position[static_cast<std::size_t>(i)];
        std::copy(r.begin(), r.end(), p + 3 * i);
    }
    py::object result = atoms[keep];
    result.attr("positions") = new_positions;
    return result;
}

py::list get_all_hkl(py::object hklmax) {
    const long long n = index_argument(hklmax, "hklmax");
    if (n < 1) {
        throw py::value_error("hklmax must be a positive integer, not " + std::to_string(n));
    }
    if (n > 100) {
        throw py::value_error("hklmax must be at most 100, not " + std::to_string(n));
    }
    std::vector<fc::Hkl> planes;
    {
        py::gil_scoped_release release;
        planes = fc::distinct_planes(static_cast<int>(n));
    }
    py::list result(planes.size());
    for (std::size_t i = 0; i < planes.size(); ++i) {
        result[i] = py::make_tuple(planes[i][0], planes[i][1], planes[i][2]);
    }
    return result;
}

// Test-only view of the one neighbour search: every ordered pair (i, j,
// image) closer than `cutoff`, in the caller's atom indices, with the vector
// from i to j's image, as ase.neighborlist.neighbor_list("ijD") gives them.
py::tuple neighbor_pairs(py::object positions, py::object cell, py::object pbc, double cutoff) {
    const DoubleArray pos = DoubleArray::ensure(positions);
    const DoubleArray c = DoubleArray::ensure(cell);
    if (!pos || !c || pos.ndim() != 2 || pos.shape(1) != 3 || c.size() != 9) {
        throw py::value_error("positions must be n x 3 and the cell 3 x 3");
    }
    fc::NeighborQuery q;
    q.n_atoms = static_cast<std::size_t>(pos.shape(0));
    q.positions = pos.data();
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) {
            q.cell[r][k] = c.data()[3 * r + k];
        }
        q.pbc[r] = py::bool_(pbc[py::int_(r)]);
    }
    q.cutoff = &cutoff;
    fc::NeighborList list;
    fb::value_or_raise(fc::build_neighbor_list(q, list));
    const std::size_t total = list.index.size();
    py::array_t<long long> i(static_cast<py::ssize_t>(total));
    py::array_t<long long> j(static_cast<py::ssize_t>(total));
    py::array_t<double> d({total, std::size_t{3}});
    for (std::size_t slot = 0; slot < q.n_atoms; ++slot) {
        for (std::size_t k = list.offsets[slot]; k < list.offsets[slot + 1]; ++k) {
            i.mutable_data()[k] = static_cast<long long>(list.order[slot]);
            j.mutable_data()[k] = static_cast<long long>(list.order[list.index[k]]);
            std::copy(&list.delta[4 * k], &list.delta[4 * k] + 3, d.mutable_data() + 3 * k);
        }
    }
    return py::make_tuple(i, j, d);
}

} // namespace

PYBIND11_MODULE(_geometry, m) {
    m.doc() = R"doc(Geometry functions for slabs and periodic cells.

Layers of atoms along an axis, the mirror test between two layers, the
interplanar spacing d(hkl), the reflection of fractional coordinates, the
merging of close atoms and the list of distinct Miller planes. Lengths are in
Angstroms; ``direction`` is an axis index (0 = x, 1 = y, 2 = z). The package
``ferrolith.core`` re-exports every function.)doc";

    m.def("get_layers", &get_layers, "positions"_a, "direction"_a = 2, "tol"_a = 0.1,
          R"doc(Groups atoms into layers normal to an axis.

Args:
    positions: N x 3 array of Cartesian coordinates (Angstrom).
    direction (int): The axis normal to the layers (0=x, 1=y, 2=z).
    tol (float): Largest coordinate difference (Angstrom) within a layer; > 0.

Returns:
    list of numpy integer arrays: the layers in increasing coordinate order,
    each holding the indices of its atoms in increasing order. Use them as
    ``positions[layer, direction]``, ``atoms[layer]`` or ``list.extend(layer)``.

Grouping rule (single linkage): the coordinates along ``direction`` are
sorted, and two atoms adjacent in that order share a layer when their
coordinates differ by at most ``tol``. A chain of close coordinates is
therefore one layer even if its ends lie more than ``tol`` apart; a gap
larger than ``tol`` always separates two layers. The result does not depend
on the order of the atoms.

Raises:
    ValueError: ``tol`` <= 0, non-finite positions, a direction other than
        0, 1, 2 or an array that is not N x 3.)doc");

    m.def("check_reflection_symmetry", &check_reflection_symmetry, "plane"_a, "direction"_a,
          "tol"_a, "atoms1"_a, "atoms2"_a,
          R"doc(Tests whether one layer is the mirror image of another.

Args:
    plane (float): Coordinate of the mirror plane along ``direction`` (Angstrom).
    direction (int): The axis normal to the plane (0=x, 1=y, 2=z).
    tol (float): Largest distance (Angstrom) between an atom's mirror image
        and its partner; > 0.
    atoms1, atoms2 (Atoms): The two layers.

Returns:
    bool: True when both hold the same number of atoms of every element and
    every atom of ``atoms1`` has its own partner of the same element in
    ``atoms2`` (one-to-one) within ``tol`` of its mirror image across the
    plane. In-plane displacements are compared periodically: they are
    reduced to their shortest image over the two cell vectors of ``atoms1``
    other than ``direction``, for any angle between them (the periodicity
    flags are not consulted; zero cell vectors are ignored).)doc");

    m.def("compute_d_hkl", &compute_d_hkl, "bulk"_a, "plane"_a,
          R"doc(Interplanar spacing d(hkl) of a lattice.

Args:
    bulk: An Atoms (its cell is used), a Cell or a 3 x 3 array of row vectors.
    plane: Three Miller indices (h, k, l) relative to that cell.

Returns:
    float: d = 1 / |h b1 + k b2 + l b3| in Angstrom, with b_i the reciprocal
    vectors of the cell (a_i . b_j = delta_ij); valid for any cell shape,
    triclinic included. Indices with a common factor n give d / n.

Raises:
    ValueError: The plane (0, 0, 0), or a cell without volume.)doc");

    m.def("mirror_array", &mirror_array, "positions"_a, "direction"_a = 2,
          R"doc(Reflects fractional coordinates along one axis.

Args:
    positions: N x 3 array of fractional coordinates.
    direction (int): The axis to reflect (0, 1 or 2).

Returns:
    numpy.ndarray: A new N x 3 array in which column ``direction`` holds
    1 - s (the reflection across the cell's mid-plane, mapping [0, 1) onto
    (0, 1]); the other columns are copied. The input is not changed.)doc");

    m.def("average_atoms", &average_atoms, "atoms"_a, "cutoff"_a,
          R"doc(Merges atoms that lie closer to each other than a cutoff.

Args:
    atoms (Atoms): The structure; not changed.
    cutoff (float): Distance (Angstrom) below which two atoms merge; 0 merges
        nothing.

Returns:
    Atoms: A new structure with one atom per cluster of close atoms. Clusters
    are transitive (a chain of close pairs is one cluster) and distances
    include every periodic image along the periodic axes, for any cell shape.
    Each merged atom is the cluster's lowest-index atom (its element, tag,
    momentum and other per-atom values), placed at the centroid of the
    members, each member taken at the periodic image reached through the
    chain of close pairs from that atom. Atoms keep their relative order;
    unmerged atoms keep their positions exactly; nothing is wrapped. Cell,
    periodicity and info are copied; a calculator is not.

A cell list makes the cost linear in the number of atoms.

Raises:
    ValueError: A negative cutoff, non-finite positions, a zero cell vector
        along a periodic axis or a singular cell.)doc");

    m.def("_neighbor_pairs", &neighbor_pairs, "positions"_a, "cell"_a, "pbc"_a, "cutoff"_a,
          R"doc(Test-only: the pairs (i, j, D) of the kernels' neighbour search.)doc");
    m.def("get_all_hkl", &get_all_hkl, "hklmax"_a,
          R"doc(The distinct lattice planes with indices up to a bound.

Args:
    hklmax (int): Largest magnitude of any Miller index; 1 to 100.

Returns:
    list of tuple[int, int, int]: every (h, k, l) with max(|h|, |k|, |l|) <=
    hklmax whose indices have no common factor (a multiple repeats a
    smaller plane), once, with its first non-zero index positive (a triple
    and its negative are the same plane). Ordered by increasing
    h^2 + k^2 + l^2, ties by decreasing (h, k, l): (1, 0, 0), (0, 1, 0),
    (0, 0, 1), (1, 1, 0), (1, 0, 1), (1, 0, -1), (1, -1, 0), ...)doc");
}
