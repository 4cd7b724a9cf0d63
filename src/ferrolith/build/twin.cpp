// ferrolith.build.twin: coherent twin boundaries from a bulk crystal.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/build/twin_grains.hpp"
#include "ferrolith/core/geometry.hpp"
#include "ferrolith/core/twin_rotation.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fbuild = ferrolith::build;
namespace fcore = ferrolith::core;
using namespace pybind11::literals;

namespace {

constexpr const char* kNoMirrorMessage = "Failed to find any valid mirror plane by reflection.";
constexpr const char* kDirectionMessage = "Only support z direction, where 'direction=2'";
constexpr const char* kOperationMessage = "operation must be 'mirror', 'rotation' or 'auto', not ";
// Default ceiling on the atoms of one result: a few hundred MB of working memory
// (12 million atoms took 2.7 GB).
constexpr long long kDefaultMaxAtoms = 1000000;
// Symmetry precisions at or below this leave the stacked cell as it is.
constexpr double kSymprecOff = 1e-20;
// The surface cutter's vacuum; the slab is trimmed into grains afterwards.
constexpr double kSlabVacuum = 10.0;

fb::Globals globals;
// The default lists of the constructor. A builder given one of them gets a
// fresh copy, so sorting or editing one builder's list never leaks into the
// defaults of the next (kept alive for the life of the process on purpose).
py::handle default_layers;
py::handle default_delete_layers;

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

struct CoherentTwinBoundary {
    py::object bulk;
    py::object plane;
    py::object layers;
    py::object tol_surface;
    py::object tol_layer;
    py::object average_cutoff;
    py::object delete_layers;
    py::object gap;
    py::object vacuum;
    py::object direction;
    py::object symprec;
    py::object grains;
    py::object grain_boundary;
    py::object operation;
    py::object max_atoms;
    // The operation the last generation used ("mirror" or "rotation"), or None.
    py::object used_operation = py::none();
};

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

// An integer as Python's operator.index reads it (int, numpy integers; not bool).
std::int64_t integer(py::handle obj, const std::string& what) {
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) {
        throw py::type_error(what + " must be integers, not " + fb::type_name(obj));
    }
    // Beyond 64 bits the message names the argument the indices belong to.
    return fb::int64_of(obj, what == "Miller indices" ? "plane" : what.c_str());
}

std::vector<std::int64_t> integers(py::handle seq, const std::string& what) {
    std::vector<std::int64_t> values;
    for (py::handle item : seq) {
        values.push_back(integer(item, what));
    }
    return values;
}

py::list python_list(const std::vector<std::int64_t>& values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        out[i] = py::int_(values[i]);
    }
    return out;
}

// The stacking axis as an index into positions.
int axis_of(py::handle direction) {
    const std::int64_t axis = integer(direction, "direction");
    if (axis < 0 || axis > 2) {
        throw py::value_error(kDirectionMessage);
    }
    return static_cast<int>(axis);
}

DoubleArray positions_of(py::handle atoms) {
    DoubleArray pos = DoubleArray::ensure(atoms.attr("positions"));
    if (!pos || (pos.size() > 0 && (pos.ndim() != 2 || pos.shape(1) != 3))) {
        PyErr_Clear();
        throw py::value_error("positions must be an N x 3 array");
    }
    return pos;
}

std::size_t atom_count(const DoubleArray& pos) {
    return pos.size() == 0 ? 0 : static_cast<std::size_t>(pos.shape(0));
}

// Layers as get_layers returned them (to select atoms with) and as indices.
struct Layers {
    std::vector<py::object> objects;
    fbuild::LayerIndices indices;
};

Layers layers_of(py::handle atoms, py::handle direction, py::handle tol) {
    py::object found =
        globals["get_layers"](atoms.attr("positions"), "direction"_a = direction, "tol"_a = tol);
    Layers layers;
    for (py::handle layer : found) {
        IndexArray idx = IndexArray::ensure(layer);
        if (!idx || idx.ndim() > 1) {
            PyErr_Clear();
            throw py::type_error("get_layers must return sequences of atom indices");
        }
        layers.objects.push_back(py::reinterpret_borrow<py::object>(layer));
        layers.indices.emplace_back(idx.data(), idx.data() + idx.size());
    }
    return layers;
}

std::vector<double> coordinates_of(const DoubleArray& pos, int axis, const Layers& layers) {
    return fb::value_or_raise(
        fbuild::layer_coordinates(pos.data(), atom_count(pos), axis, layers.indices));
}

bool is_zero(py::handle value) {
    return py::reinterpret_borrow<py::object>(value).equal(py::int_(0));
}

// ---------------------------------------------------------------------------
// Constructor
// ---------------------------------------------------------------------------

void check_plane(py::handle plane) {
    if (py::len(plane) != 3) {
        throw py::value_error("plane must hold three Miller indices, not " +
                              std::to_string(py::len(plane)));
    }
    const std::vector<std::int64_t> hkl = integers(plane, "Miller indices");
    if (hkl[0] == 0 && hkl[1] == 0 && hkl[2] == 0) {
        throw py::value_error(
            "plane (0, 0, 0) is not a lattice plane: at least one Miller index must be non-zero");
    }
}

void check_layers(py::handle layers) {
    if (py::len(layers) == 0) {
        throw py::value_error("layers must hold the thickness of at least one grain");
    }
    for (std::int64_t n : integers(layers, "layers")) {
        if (n < 1) {
            throw py::value_error(
                "layers must hold positive grain thicknesses (in d(hkl) spacings), not " +
                std::to_string(n));
        }
    }
}

void check_positive(double value, const char* name) {
    if (!(value > 0.0) || !std::isfinite(value)) {
        throw py::value_error(std::string(name) + " must be a positive number, not " +
                              py::repr(py::float_(value)).cast<std::string>());
    }
}

void check_bulk(py::handle bulk) {
    if (!py::isinstance(bulk, globals["Atoms"])) {
        throw py::type_error("bulk must be an Atoms or a file ASE can read as one, not " +
                             fb::type_name(bulk));
    }
    if (py::len(bulk) == 0) {
        throw py::value_error("bulk holds no atoms");
    }
    DoubleArray cell = DoubleArray::ensure(bulk.attr("cell"));
    if (!cell || cell.ndim() != 2 || cell.shape(0) != 3 || cell.shape(1) != 3) {
        PyErr_Clear();
        throw py::value_error("bulk must have a 3 x 3 cell");
    }
    ferrolith::core::Mat3 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = cell.at(i, j);
        }
    }
    fb::require_finite_structure(bulk);
    if (ferrolith::core::cell_is_singular(m)) {
        throw py::value_error(
            "bulk has no unit cell (its cell vectors span no volume); a twin boundary needs "
            "a periodic crystal");
    }
}

// The operation as given: exactly a str naming one of the three.
void check_operation(py::handle operation) {
    fb::require_exact_str(operation, "operation");
    const std::string name = operation.cast<std::string>();
    if (name != "mirror" && name != "rotation" && name != "auto") {
        throw py::value_error(kOperationMessage + py::repr(operation).cast<std::string>());
    }
}

// max_atoms: a positive int, or None for no ceiling.
void check_max_atoms(py::handle max_atoms) {
    if (max_atoms.is_none()) {
        return;
    }
    if (fb::require_exact_int(max_atoms, "max_atoms") < 1) {
        throw py::value_error("max_atoms must be a positive integer or None, not " +
                              py::repr(max_atoms).cast<std::string>());
    }
}

void check_finite(double value, const char* name) {
    if (!std::isfinite(value)) {
        throw py::value_error(std::string(name) + " must be a finite number, not " +
                              py::repr(py::float_(value)).cast<std::string>());
    }
}

// Lengths beyond this overflow the cell arithmetic (squares of lengths).
constexpr double kLongestLength = 1e6;

void check_length(double value, const char* name) {
    if (std::abs(value) > kLongestLength) {
        throw py::value_error(std::string(name) + " must be at most 1e6 Angstrom in size, not " +
                              py::repr(py::float_(value)).cast<std::string>());
    }
}

CoherentTwinBoundary construct(py::object bulk, py::object plane, py::object layers,
                               py::object tol_surface, py::object tol_layer,
                               py::object average_cutoff, py::object delete_layers, py::object gap,
                               py::object vacuum, py::object direction, py::object symprec,
                               py::object operation, py::object max_atoms) {
    // Types first, before any work.
    check_operation(operation);
    check_max_atoms(max_atoms);
    fb::require_exact_tuple(plane, "plane");
    fb::require_exact_list(layers, "layers");
    const double tol_surface_v = fb::to_float(tol_surface, "tol_surface");
    const double tol_layer_v = fb::to_float(tol_layer, "tol_layer");
    const double average_cutoff_v = fb::to_float(average_cutoff, "average_cutoff");
    fb::require_exact_list(delete_layers, "delete_layers");
    const double gap_v = fb::to_float(gap, "gap");
    const double vacuum_v = fb::to_float(vacuum, "vacuum");
    const long long direction_v = fb::require_exact_int(direction, "direction");
    const double symprec_v = fb::to_float(symprec, "symprec");

    // (py::list(x) of a list would be the same object, not a copy.)
    if (layers.is(default_layers)) {
        layers = py::reinterpret_steal<py::object>(PySequence_List(layers.ptr()));
    }
    if (delete_layers.is(default_delete_layers)) {
        delete_layers = py::reinterpret_steal<py::object>(PySequence_List(delete_layers.ptr()));
    }
    CoherentTwinBoundary self;
    self.plane = plane;
    self.layers = layers;
    self.direction = direction;
    self.vacuum = py::float_(vacuum_v);
    self.tol_surface = py::float_(tol_surface_v);
    self.tol_layer = py::float_(tol_layer_v);
    self.average_cutoff = py::float_(average_cutoff_v);
    self.symprec = py::float_(symprec_v);
    self.delete_layers = delete_layers;
    self.gap = py::float_(gap_v);
    self.bulk = py::isinstance(bulk, globals["Atoms"]) ? bulk : globals["read"](bulk);
    layers.attr("sort")("reverse"_a = true); // the caller's list too
    self.grains = py::list();
    self.grain_boundary = py::none();
    self.operation = operation;
    self.max_atoms = max_atoms;
    if (direction_v != 2) {
        throw py::value_error(kDirectionMessage);
    }

    // Values the builder cannot work with, reported before any slab is cut.
    check_bulk(self.bulk);
    check_plane(plane);
    check_layers(layers);
    integers(delete_layers, "delete_layers");
    check_positive(tol_surface_v, "tol_surface");
    check_positive(tol_layer_v, "tol_layer");
    check_finite(average_cutoff_v, "average_cutoff");
    check_finite(gap_v, "gap");
    check_finite(vacuum_v, "vacuum");
    check_finite(symprec_v, "symprec");
    check_length(gap_v, "gap");
    check_length(vacuum_v, "vacuum");
    if (!(vacuum_v >= 0.0)) {
        throw py::value_error("vacuum must be zero or positive, not " +
                              py::repr(py::float_(vacuum_v)).cast<std::string>());
    }
    return self;
}

// ---------------------------------------------------------------------------
// Mirror plane search and mirroring
// ---------------------------------------------------------------------------

// The reflection test of ferrolith.core evaluated on layers of one grain
// without building an Atoms per layer: the same kernel, the same inputs
// (positions, atomic numbers, the grain's in-plane cell vectors).
class DirectReflection {
public:
    DirectReflection(py::handle grain, const DoubleArray& pos, const Layers& layers, int axis,
                     double tol)
        : pos_(pos), layers_(layers), axis_(axis), tol_(tol),
          numbers_(IndexArray::ensure(grain.attr("numbers"))) {
        DoubleArray cell = DoubleArray::ensure(grain.attr("cell"));
        for (int k = 0; k < 3; ++k) {
            t1_[k] = cell.at((axis + 1) % 3, k);
            t2_[k] = cell.at((axis + 2) % 3, k);
        }
    }
    bool mirrors(double plane, std::size_t lower, std::size_t upper) {
        gather(layers_.indices[lower], first_pos_, first_z_);
        gather(layers_.indices[upper], second_pos_, second_z_);
        return fb::value_or_raise(ferrolith::core::is_mirror_image(
            plane, axis_, tol_, {first_pos_.data(), first_z_.data(), first_z_.size()},
            {second_pos_.data(), second_z_.data(), second_z_.size()}, t1_, t2_));
    }

private:
    void gather(const std::vector<std::int64_t>& layer, std::vector<double>& p,
                std::vector<std::int64_t>& z) {
        const auto n = static_cast<std::int64_t>(atom_count(pos_));
        p.clear();
        z.clear();
        for (std::int64_t index : layer) {
            const auto i = static_cast<std::size_t>(index < 0 ? index + n : index);
            p.insert(p.end(), pos_.data() + 3 * i, pos_.data() + 3 * i + 3);
            z.push_back(numbers_.at(static_cast<py::ssize_t>(i)));
        }
    }
    const DoubleArray& pos_;
    const Layers& layers_;
    int axis_;
    double tol_;
    IndexArray numbers_;
    ferrolith::core::Vec3 t1_{};
    ferrolith::core::Vec3 t2_{};
    std::vector<double> first_pos_, second_pos_;
    std::vector<std::int64_t> first_z_, second_z_;
};

py::tuple find_mirror_plane(py::object /*self*/, py::object grain, py::object direction,
                            py::object tol) {
    fb::require_exact_int(direction, "direction");
    const py::float_ tolerance(fb::to_float(tol, "tol"));
    const DoubleArray pos = positions_of(grain);
    const Layers layers = layers_of(grain, direction, tolerance);
    if (layers.indices.size() < 2) {
        return py::make_tuple(py::none(), 0.0);
    }
    const int axis = axis_of(direction);
    const std::vector<double> coords = coordinates_of(pos, axis, layers);
    py::object check = globals["check_reflection_symmetry"];
    fbuild::ReflectionTest test;
    std::optional<DirectReflection> direct;
    if (check.is(fb::module_named("ferrolith.core._geometry").attr("check_reflection_symmetry")) &&
        static_cast<double>(tolerance) > 0.0 && std::isfinite(static_cast<double>(tolerance))) {
        direct.emplace(grain, pos, layers, axis, static_cast<double>(tolerance));
        test = [&](double plane, std::size_t lower, std::size_t upper) {
            return direct->mirrors(plane, lower, upper);
        };
    } else {
        test = [&](double plane, std::size_t lower, std::size_t upper) {
            py::object same = check(plane, direction, tolerance, grain[layers.objects[lower]],
                                    grain[layers.objects[upper]]);
            return static_cast<bool>(py::bool_(same));
        };
    }
    const fbuild::MirrorPlane found = fbuild::search_mirror_plane(coords, test);
    switch (found.kind) {
    case fbuild::MirrorPlane::Kind::kTooFewLayers:
        return py::make_tuple(py::none(), 0.0);
    case fbuild::MirrorPlane::Kind::kNotFound:
        return py::make_tuple(py::none(), 0);
    default:
        return py::make_tuple(found.index, found.gap);
    }
}

py::object mirror_grain(py::object self, py::object grain) {
    py::object copy = grain.attr("copy")();
    py::object scaled = copy.attr("get_scaled_positions")();
    py::object mirrored = globals["mirror_array"](scaled, "direction"_a = self.attr("direction"));
    copy.attr("set_scaled_positions")(globals["np"].attr("mod")(mirrored, 1));
    return copy;
}

// ---------------------------------------------------------------------------
// Layer deletion and grains
// ---------------------------------------------------------------------------

py::object guess_delete_layers(py::object self, py::object grain, py::object nlayers,
                               py::object index) {
    py::object delete_layers = self.attr("delete_layers");
    py::object gap = self.attr("gap");
    py::object result = delete_layers;
    if (!py::bool_(delete_layers)) {
        py::object direction = self.attr("direction");
        py::object tol_layer = self.attr("tol_layer");
        const DoubleArray pos = positions_of(grain);
        const Layers layers = layers_of(grain, direction, tol_layer);
        if (index.is_none()) {
            py::tuple found = self.attr("find_mirror_plane")(grain, direction, "tol"_a = tol_layer);
            index = found[0];
            gap = found[1];
        }
        if (index.is_none() || is_zero(index)) {
            throw py::value_error(kNoMirrorMessage);
        }
        const std::vector<double> coords = coordinates_of(pos, axis_of(direction), layers);
        const std::int64_t mirror = integer(index, "the mirror layer index");
        if (mirror < 0 || static_cast<std::size_t>(mirror) >= coords.size()) {
            throw py::index_error("mirror layer index " + std::to_string(mirror) +
                                  " is out of range for " + std::to_string(coords.size()) +
                                  " layers");
        }
        const double d_hkl =
            fb::to_float(globals["compute_d_hkl"](self.attr("bulk"), self.attr("plane")), "d_hkl");
        result = python_list(fbuild::layers_to_delete(
            coords, static_cast<std::size_t>(mirror), d_hkl, fb::to_float(nlayers, "nlayers"),
            fb::to_float(gap, "gap"), fb::to_float(tol_layer, "tol_layer")));
    }
    if (py::reinterpret_borrow<py::object>(self.attr("gap")).equal(py::float_(0.0))) {
        self.attr("gap") = gap;
    }
    return result;
}

py::object cut_slab(py::object self, std::int64_t repeats) {
    return globals["surface"](self.attr("bulk"), self.attr("plane"), repeats,
                              "vacuum"_a = kSlabVacuum, "tol"_a = self.attr("tol_surface"));
}

std::int64_t thickest(py::handle layers) {
    const std::vector<std::int64_t> values = integers(layers, "layers");
    if (values.empty()) {
        throw py::value_error("layers must hold the thickness of at least one grain");
    }
    return *std::max_element(values.begin(), values.end());
}

// The grains of a mirror twin, from the slab `surf` and its search result.
py::object mirror_grains(py::object self, py::object surf, py::tuple found) {
    py::object layers = self.attr("layers");
    py::object direction = self.attr("direction");
    py::object tol_layer = self.attr("tol_layer");
    Layers surf_layers = layers_of(surf, direction, tol_layer);
    py::object index = found[0];
    if (is_zero(self.attr("gap"))) {
        self.attr("gap") = found[1];
    }
    py::object guess = self.attr("_guess_delete_layers");
    const auto d1 = py::len(guess(surf, 1, "index"_a = index));
    const auto d2 = py::len(guess(surf, 2, "index"_a = index));
    const auto nl_per_layer = static_cast<std::int64_t>(d2) - static_cast<std::int64_t>(d1);

    py::list grains;
    self.attr("grains") = grains;
    std::vector<std::int64_t> deleted =
        integers(guess(surf, layers[py::int_(0)], "index"_a = index), "delete_layers");
    const std::vector<std::int64_t> thickness = integers(layers, "layers");
    for (std::size_t il = 0; il < thickness.size(); ++il) {
        const std::vector<std::int64_t> keep = fbuild::kept_atoms(surf_layers.indices, deleted);
        py::array_t<std::int64_t> keep_array(static_cast<py::ssize_t>(keep.size()));
        std::copy(keep.begin(), keep.end(), keep_array.mutable_data());
        py::object grain = surf[keep_array];
        grains.append(grain);
        if (il + 1 < thickness.size()) {
            surf = self.attr("mirror_grain")(grain);
            surf_layers = layers_of(surf, direction, tol_layer);
            deleted = fbuild::top_layers_to_delete(nl_per_layer, thickness[il + 1], thickness[il]);
        }
    }
    for (std::size_t i = thickness.size(); i-- > 0;) {
        grains.append(self.attr("mirror_grain")(grains[i]));
    }
    return std::move(grains);
}

// ---------------------------------------------------------------------------
// Rotation twins
// ---------------------------------------------------------------------------

fcore::Mat3 cell_of(py::handle atoms) {
    DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
    if (!cell || cell.ndim() != 2 || cell.shape(0) != 3 || cell.shape(1) != 3) {
        PyErr_Clear();
        throw py::value_error("the structure must have a 3 x 3 cell");
    }
    fcore::Mat3 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = cell.at(i, j);
        }
    }
    return m;
}

std::string plane_text(py::handle plane) {
    const std::vector<std::int64_t> hkl = integers(plane, "Miller indices");
    return "(" + std::to_string(hkl[0]) + ", " + std::to_string(hkl[1]) + ", " +
           std::to_string(hkl[2]) + ")";
}

[[noreturn]] void no_rotation_twin(py::handle self, const std::string& why) {
    const std::string plane = plane_text(self.attr("plane"));
    if (py::str(self.attr("operation")).cast<std::string>() == "auto") {
        throw py::value_error("No coherent twin for plane " + plane +
                              ": neither a mirror plane nor a two-fold rotation was found (" + why +
                              ").");
    }
    throw py::value_error("No coherent twin for plane " + plane +
                          ": no two-fold rotation about the plane normal was found (" + why + ").");
}

// A slab's arrays as the rotation kernels read them; keeps the arrays alive.
struct Slab {
    DoubleArray positions;
    IndexArray numbers;
    fcore::SlabView view;
};

Slab slab_view(py::handle atoms, const Layers& layers) {
    Slab slab{positions_of(atoms), IndexArray::ensure(atoms.attr("numbers")), {}};
    const fcore::Mat3 cell = cell_of(atoms);
    slab.view.positions = slab.positions.data();
    slab.view.numbers = slab.numbers.data();
    slab.view.n_atoms = atom_count(slab.positions);
    slab.view.t1 = {cell[0][0], cell[0][1], 0.0};
    slab.view.t2 = {cell[1][0], cell[1][1], 0.0};
    slab.view.layers = layers.indices;
    slab.view.coords = coordinates_of(slab.positions, 2, layers);
    return slab;
}

// A copy of `atoms` turned by 180 degrees about z and shifted in the plane,
// wrapped back into its in-plane cell.
py::object turned_copy(py::handle atoms, const fcore::Vec3& shift) {
    py::object copy = atoms.attr("copy")();
    const DoubleArray pos = positions_of(copy);
    py::array_t<double> moved({static_cast<py::ssize_t>(atom_count(pos)), py::ssize_t{3}});
    std::copy(pos.data(), pos.data() + pos.size(), moved.mutable_data());
    fcore::rotate_half_turn(moved.mutable_data(), atom_count(pos), shift);
    copy.attr("positions") = moved;
    py::object scaled = copy.attr("get_scaled_positions")("wrap"_a = false);
    py::object np = globals["np"];
    py::object in_plane =
        scaled[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, 2, 1))];
    scaled[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, 2, 1))] =
        np.attr("mod")(in_plane, 1);
    copy.attr("set_scaled_positions")(scaled);
    return copy;
}

py::object select_layers(py::handle atoms, const Layers& layers, std::size_t bottom,
                         std::size_t top) {
    std::vector<std::int64_t> deleted;
    for (std::size_t k = 0; k < layers.indices.size(); ++k) {
        if (k < bottom || k > top) {
            deleted.push_back(static_cast<std::int64_t>(k));
        }
    }
    const std::vector<std::int64_t> keep = fbuild::kept_atoms(layers.indices, deleted);
    py::array_t<std::int64_t> keep_array(static_cast<py::ssize_t>(keep.size()));
    std::copy(keep.begin(), keep.end(), keep_array.mutable_data());
    return atoms[keep_array];
}

// The grains of a two-fold rotation twin. Each grain is stacked with its copy
// turned about the normal through an axis of its own, found so that the bonds
// across the boundary are the bulk's; a grain after the first is the turned
// copy of its predecessor without its top layers, as with the mirror.
py::object rotation_grains(py::object self) {
    py::object bulk = self.attr("bulk");
    py::object plane = self.attr("plane");
    py::object layers = self.attr("layers");
    py::object direction = self.attr("direction");
    py::object tol_layer = self.attr("tol_layer");
    const double tol = fb::to_float(tol_layer, "tol_layer");
    const std::vector<std::int64_t> thickness = integers(layers, "layers");
    if (thickness.empty()) {
        throw py::value_error("layers must hold the thickness of at least one grain");
    }

    const DoubleArray bulk_pos = positions_of(bulk);
    const IndexArray bulk_numbers = IndexArray::ensure(bulk.attr("numbers"));
    const fcore::Mat3 bulk_cell = cell_of(bulk);
    const double shell = fb::value_or_raise(
        fcore::first_shell_radius(bulk_pos.data(), atom_count(bulk_pos), bulk_cell));
    const std::vector<std::int64_t> hkl = integers(plane, "Miller indices");
    const fcore::Mat3 rec = fcore::reciprocal(bulk_cell);
    fcore::Vec3 normal{};
    for (int k = 0; k < 3; ++k) {
        normal[k] = static_cast<double>(hkl[0]) * rec[0][k] +
                    static_cast<double>(hkl[1]) * rec[1][k] +
                    static_cast<double>(hkl[2]) * rec[2][k];
    }
    if (fb::value_or_raise(fcore::rotation_is_symmetry(
            bulk_pos.data(), bulk_numbers.data(), atom_count(bulk_pos), bulk_cell, normal, tol))) {
        no_rotation_twin(self, "the half turn about the normal is a symmetry of the crystal, "
                               "so the turned grain is the crystal again");
    }

    // The slab is cut thicker than for the mirror by what the comparison of
    // neighbours needs: one shell of crystal on either side of the grain.
    const double d_hkl = fb::to_float(globals["compute_d_hkl"](bulk, plane), "d_hkl");
    std::int64_t repeats = thickest(layers) + 3;
    if (py::len(self.attr("delete_layers")) == 0) {
        repeats += std::max<std::int64_t>(
            0, static_cast<std::int64_t>(std::ceil((2.0 * shell + 2.0 * tol) / d_hkl)) - 2);
    }
    py::object surf = cut_slab(self, repeats);
    const Layers surf_layers = layers_of(surf, direction, tol_layer);
    Slab slab = slab_view(surf, surf_layers);
    const std::size_t n_layers = surf_layers.indices.size();

    std::size_t bottom = 0;
    std::size_t top = 0;
    double gap = 0.0;
    fcore::Vec3 shift{};
    std::int64_t nl_per_layer = 0;
    const std::vector<std::int64_t> explicit_deleted =
        integers(self.attr("delete_layers"), "delete_layers");
    if (explicit_deleted.empty()) {
        const auto found = fb::value_or_raise(
            fcore::find_rotation_twin(slab.view, d_hkl, thickness[0], shell, tol));
        if (!found) {
            no_rotation_twin(self, "no cut of the slab keeps the bulk's bonds across the boundary");
        }
        bottom = found->bottom;
        top = found->top;
        gap = found->gap;
        shift = found->shift;
        nl_per_layer = -static_cast<std::int64_t>(found->layers_per_spacing);
    } else {
        // The grain is what the explicit list leaves: one block of layers.
        std::vector<bool> kept(n_layers, true);
        const auto n = static_cast<std::int64_t>(n_layers);
        for (std::int64_t k : explicit_deleted) {
            const std::int64_t index = k < 0 ? k + n : k;
            if (index >= 0 && index < n) {
                kept[static_cast<std::size_t>(index)] = false;
            }
        }
        const auto first = std::find(kept.begin(), kept.end(), true);
        if (first == kept.end()) {
            throw py::value_error("delete_layers removes every layer of the cut slab");
        }
        bottom = static_cast<std::size_t>(first - kept.begin());
        top = n_layers - 1 -
              static_cast<std::size_t>(std::find(kept.rbegin(), kept.rend(), true) - kept.rbegin());
        if (std::find(kept.begin() + static_cast<std::ptrdiff_t>(bottom),
                      kept.begin() + static_cast<std::ptrdiff_t>(top),
                      false) != kept.begin() + static_cast<std::ptrdiff_t>(top)) {
            throw py::value_error(
                "with operation='rotation', delete_layers must leave one unbroken block of layers");
        }
        const auto found =
            fb::value_or_raise(fcore::rotation_twin_shift(slab.view, bottom, top, shell, tol));
        if (!found) {
            no_rotation_twin(self, "the layers that delete_layers leaves keep no bulk bonds "
                                   "across the boundary, or leave no crystal beside them");
        }
        gap = slab.view.coords[top + 1] - slab.view.coords[top];
        shift = *found;
    }
    if (py::reinterpret_borrow<py::object>(self.attr("gap")).equal(py::float_(0.0))) {
        self.attr("gap") = py::float_(gap);
    }

    py::list grains;
    self.attr("grains") = grains;
    std::vector<fcore::Vec3> shifts;
    for (std::size_t il = 0; il < thickness.size(); ++il) {
        grains.append(select_layers(surf, surf_layers, bottom, top));
        shifts.push_back(shift);
        if (il + 1 < thickness.size()) {
            // The whole slab is turned, so the next grain keeps the crystal
            // above and below it that the comparison of neighbours reads.
            surf = turned_copy(surf, shift);
            slab = slab_view(surf, surf_layers);
            const std::size_t trimmed =
                fbuild::top_layers_to_delete(nl_per_layer, thickness[il + 1], thickness[il]).size();
            if (trimmed > top - bottom) {
                throw py::value_error("grain " + std::to_string(il + 1) + " would hold no layers");
            }
            top -= trimmed;
            const auto next =
                fb::value_or_raise(fcore::rotation_twin_shift(slab.view, bottom, top, shell, tol));
            if (!next) {
                no_rotation_twin(self, "grain " + std::to_string(il + 1) +
                                           " keeps no bulk bonds across its boundary");
            }
            shift = *next;
        }
    }
    for (std::size_t i = thickness.size(); i-- > 0;) {
        grains.append(turned_copy(grains[i], shifts[i]));
    }
    return std::move(grains);
}

// ---------------------------------------------------------------------------
// Generation and the atom budget
// ---------------------------------------------------------------------------

// Atoms of the result, estimated from the inputs alone: the bulk's atoms per
// spacing d(hkl) (its atom count, divided by the common factor of the
// indices), times the 2 x sum(layers) spacings of the stack, times the
// supercell.
void check_atom_budget(py::handle self, double supercell_factor) {
    py::object max_atoms = self.attr("max_atoms");
    if (max_atoms.is_none()) {
        return;
    }
    const long long limit = fb::require_exact_int(max_atoms, "max_atoms");
    const std::vector<std::int64_t> hkl = integers(self.attr("plane"), "Miller indices");
    std::int64_t common = 0;
    for (std::int64_t v : hkl) {
        common = std::gcd(common, v < 0 ? -v : v);
    }
    double spacings = 0.0;
    for (std::int64_t n : integers(self.attr("layers"), "layers")) {
        spacings += static_cast<double>(n);
    }
    const double per_spacing = static_cast<double>(py::len(self.attr("bulk"))) /
                               static_cast<double>(std::max<std::int64_t>(common, 1));
    const double estimate = per_spacing * 2.0 * spacings * supercell_factor;
    if (estimate > static_cast<double>(limit)) {
        throw py::value_error(
            "The twin boundary would hold about " +
            fb::python_format(py::float_(estimate), ",.0f") + " atoms (" +
            fb::python_format(py::float_(per_spacing), "g") + " per spacing d(hkl) x " +
            fb::python_format(py::float_(2.0 * spacings), "g") + " spacings x supercell " +
            fb::python_format(py::float_(supercell_factor), "g") + "), more than max_atoms=" +
            std::to_string(limit) + "; pass a larger max_atoms (or None) to build it.");
    }
}

py::object generate_grains(py::object self) {
    check_operation(self.attr("operation"));
    check_atom_budget(self, 1.0);
    CoherentTwinBoundary& state = self.cast<CoherentTwinBoundary&>();
    const std::string operation = py::str(self.attr("operation")).cast<std::string>();
    if (operation == "rotation") {
        py::object grains = rotation_grains(self);
        state.used_operation = py::str("rotation");
        return grains;
    }
    py::object direction = self.attr("direction");
    py::object surf = cut_slab(self, thickest(self.attr("layers")) + 3);
    py::tuple found =
        self.attr("find_mirror_plane")(surf, direction, "tol"_a = self.attr("tol_layer"));
    if (operation == "auto" && (found[0].is_none() || is_zero(found[0]))) {
        py::object grains = rotation_grains(self);
        state.used_operation = py::str("rotation");
        return grains;
    }
    py::object grains = mirror_grains(self, surf, found);
    state.used_operation = py::str("mirror");
    return grains;
}

// ---------------------------------------------------------------------------
// Stacking
// ---------------------------------------------------------------------------

py::object primitive_cell(py::object atoms, py::handle symprec_obj) {
    // spglib crashes on non-finite numbers and spins on a zero tolerance.
    const double symprec = fb::positive_symprec(symprec_obj, "symprec");
    fb::require_finite_structure(atoms);
    py::object spglib = py::module_::import("spglib");
    py::object to_spglib = py::module_::import("ase.utils").attr("atoms_to_spglib_cell");
    py::object cell = to_spglib(atoms);
    // spglib warns on every call unless the caller opted into its new error
    // handling; that choice is the user's, so the warning stays out of our call.
    py::module_ warnings = py::module_::import("warnings");
    py::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    py::object found;
    try {
        warnings.attr("filterwarnings")("ignore", "message"_a = "Set OLD_ERROR_HANDLING",
                                        "category"_a = py::handle(PyExc_DeprecationWarning));
        found = spglib.attr("find_primitive")(cell, "symprec"_a = symprec);
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    if (found.is_none()) {
        throw py::value_error("spglib found no primitive cell of the twin boundary with symprec=" +
                              py::repr(py::float_(symprec)).cast<std::string>());
    }
    // The bicrystal is periodic in all three directions, and so is its primitive cell.
    return globals["Atoms"]("cell"_a = found[py::int_(0)],
                            "scaled_positions"_a = found[py::int_(1)],
                            "numbers"_a = found[py::int_(2)], "pbc"_a = true);
}

py::object stack_grains(py::object self, py::object grains, py::object gap) {
    fb::require_exact_list(grains, "grains");
    py::object atoms_type = globals["Atoms"];
    for (py::handle grain : grains) {
        if (!py::isinstance(grain, atoms_type)) {
            throw py::type_error("grains must be a list of Atoms, not a list holding " +
                                 fb::type_name(grain));
        }
    }
    const double gap_v = fb::to_float(gap, "gap");
    if (py::len(grains) == 0) {
        throw py::index_error("stack_grains needs at least one grain");
    }
    py::object direction = self.attr("direction");
    const int axis = axis_of(direction);

    std::vector<std::pair<double, double>> extents;
    for (py::handle grain : grains) {
        const DoubleArray pos = positions_of(grain);
        const auto extent = fbuild::axis_extent(pos.data(), atom_count(pos), axis);
        if (!extent) {
            throw py::value_error("grain " + std::to_string(extents.size()) +
                                  " holds no atoms; delete_layers removed every layer");
        }
        extents.push_back(*extent);
    }
    const fbuild::StackPlan plan = fbuild::plan_stack(extents, gap_v);

    const double vacuum = fb::to_float(self.attr("vacuum"), "vacuum");
    py::list cellpar(grains[py::int_(0)].attr("cell").attr("cellpar")());
    cellpar[axis] = py::float_(plan.total_thickness + plan.total_gap + vacuum);
    py::object final_cell = globals["Cell"].attr("fromcellpar")(cellpar);
    py::object final_atoms = atoms_type("pbc"_a = true, "cell"_a = final_cell);
    std::size_t k = 0;
    for (py::handle grain : grains) {
        py::object copy = grain.attr("copy")();
        DoubleArray pos = positions_of(copy);
        py::array_t<double> moved({static_cast<py::ssize_t>(atom_count(pos)), py::ssize_t{3}});
        std::copy(pos.data(), pos.data() + pos.size(), moved.mutable_data());
        double* m = moved.mutable_data();
        for (std::size_t i = 0; i < atom_count(pos); ++i) {
            m[3 * i + static_cast<std::size_t>(axis)] += plan.shift[k];
        }
        copy.attr("positions") = moved;
        final_atoms.attr("extend")(copy);
        ++k;
    }
    if (vacuum > 0.0) {
        final_atoms.attr("center")("axis"_a = direction, "vacuum"_a = vacuum / 2.0);
    }
    const double average_cutoff = fb::to_float(self.attr("average_cutoff"), "average_cutoff");
    if (average_cutoff > 0.0) {
        final_atoms = globals["average_atoms"](final_atoms, average_cutoff);
    }
    const double symprec = fb::to_float(self.attr("symprec"), "symprec");
    if (symprec > kSymprecOff) {
        final_atoms = primitive_cell(final_atoms, self.attr("symprec"));
    }
    self.attr("grain_boundary") = final_atoms;
    return final_atoms;
}

py::object create(py::object self, py::object supercell) {
    if (py::len(supercell) != 3) {
        throw py::value_error("supercell must hold three integers, not " +
                              std::to_string(py::len(supercell)));
    }
    double factor = 1.0;
    for (std::int64_t n : integers(supercell, "supercell entries")) {
        factor *= static_cast<double>(n);
    }
    check_atom_budget(self, std::max(factor, 1.0));
    CoherentTwinBoundary& state = self.cast<CoherentTwinBoundary&>();
    state.used_operation = py::none();
    self.attr("generate_grains")();
    py::object structure =
        self.attr("stack_grains")(self.attr("grains"), "gap"_a = self.attr("gap"));
    py::object np = globals["np"];
    if (np.attr("prod")(supercell) > py::int_(1)) {
        structure = globals["make_supercell"](structure, np.attr("diag")(supercell));
    }
    structure = globals["sort"](structure);
    // A generate_grains of a subclass may not say which operation it used.
    py::object used = state.used_operation;
    if (used.is_none()) {
        used = self.attr("operation");
    }
    py::object info = structure.attr("info");
    if (py::isinstance<py::dict>(info)) {
        info[py::str("twin_operation")] = used;
    }
    return structure;
}

} // namespace

PYBIND11_MODULE(twin, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Coherent twin boundaries built from a bulk crystal.

``CoherentTwinBoundary`` cuts a slab of a bulk crystal parallel to a Miller
plane, finds a plane in it across which the two neighbouring atomic layers
mirror each other, trims the slab into grains of the requested thicknesses,
mirrors them (or turns them by 180 degrees about the plane normal: the
``operation`` keyword) and stacks the grains into one cell periodic in all
three directions. Lengths are in Angstroms; the stacking axis is z.)doc";

    // Names resolved at call time; replace them on the module to change them.
    py::module_ ase_build = py::module_::import("ase.build");
    m.attr("surface") = ase_build.attr("surface");
    m.attr("sort") = ase_build.attr("sort");
    m.attr("make_supercell") = ase_build.attr("make_supercell");
    m.attr("read") = py::module_::import("ase.io").attr("read");
    m.attr("Cell") = py::module_::import("ase.cell").attr("Cell");
    m.attr("Atoms") = py::module_::import("ase.atoms").attr("Atoms");
    m.attr("np") = py::module_::import("numpy");
    py::module_ core = py::module_::import("ferrolith.core");
    for (const char* name : {"average_atoms", "mirror_array", "compute_d_hkl",
                             "check_reflection_symmetry", "get_layers"}) {
        m.attr(name) = core.attr(name);
    }

    py::list layers_default;
    layers_default.append(3);
    py::list delete_default;
    py::list supercell_default;
    for (int i = 0; i < 3; ++i) {
        supercell_default.append(1);
    }
    default_layers = layers_default.inc_ref();
    default_delete_layers = delete_default.inc_ref();

    py::class_<CoherentTwinBoundary>(
        m, "CoherentTwinBoundary", py::dynamic_attr(),
        R"doc(A class to create a coherent twin boundary from a bulk crystal structure.

Attributes:
    bulk (Atoms): The bulk crystal.
    plane (tuple): Miller indices (h, k, l) of the twinning plane.
    layers (list): Thickness of each grain in spacings d(hkl), kept in
        decreasing order.
    tol_surface (float): Tolerance handed to ASE's surface cutter.
    tol_layer (float): Tolerance (Angstrom) for grouping atoms into layers.
    average_cutoff (float): Atoms of the final cell closer than this
        (Angstrom) are merged; 0 or less switches merging off.
    delete_layers (list): Layer indices to delete from the cut slab; empty
        lets the builder choose them.
    gap (float): Separation (Angstrom) between stacked grains; 0 lets the
        mirror plane search set it.
    vacuum (float): Vacuum (Angstrom) added along the stacking axis; 0 for none.
    direction (int): The stacking axis; only 2 (z) is supported.
    symprec (float): Symmetry precision; above 1e-20 the result is reduced
        to its primitive cell (kept periodic in all three directions).
    grains (list): The grains of the last generation.
    grain_boundary (Atoms | None): The last stacked structure.
    operation (str): "mirror", "rotation" or "auto": how twinned grains are
        made (see the constructor).
    max_atoms (int | None): Ceiling on the estimated atoms of a result.)doc")
        .def(py::init(&construct), "bulk"_a, "plane"_a = py::make_tuple(1, 1, 1),
             "layers"_a = layers_default, "tol_surface"_a = 0.02, "tol_layer"_a = 0.1,
             "average_cutoff"_a = 0.2, "delete_layers"_a = delete_default, "gap"_a = 0.0,
             "vacuum"_a = 0.0, "direction"_a = 2, "symprec"_a = 0.0, py::kw_only(),
             "operation"_a = "mirror", "max_atoms"_a = kDefaultMaxAtoms,
             R"doc(Sets up the builder; the bulk file, if one is named, is read here.

Args:
    bulk (Atoms | str): The bulk crystal, or a file that ASE's ``read`` reads.
    plane (tuple): Miller indices of the twinning plane, relative to the
        bulk cell; at least one non-zero.
    layers (list): Thickness of each grain in spacings d(hkl), positive
        integers. The list is sorted into decreasing order in place (the
        caller's list object too).
    tol_surface (float): Tolerance for ASE's surface creation function.
    tol_layer (float): Tolerance (Angstrom, > 0) for grouping atoms into
        layers and matching mirror images.
    average_cutoff (float): Merge atoms of the result closer than this
        (Angstrom); 0 or less keeps every atom.
    delete_layers (list): List of layer indices to delete from the surface.
        Negative indices count from the end.
    gap (float): Separation between grains (Angstrom); 0 takes it from the
        mirror plane search.
    vacuum (float): Vacuum along the stacking axis (Angstrom, >= 0).
    direction (int): The stacking axis; must be 2.
    symprec (float): Above 1e-20, reduce the result to its primitive cell.
    operation (str): Keyword only. How each twinned grain is made from its
        neighbour: "mirror" (reflected across a plane between two atomic
        layers that mirror each other; the default), "rotation" (turned by
        180 degrees about the plane normal, through an axis and at a cut
        chosen so that every bond across the boundary keeps the bulk's
        lengths and element pairs; for zincblende and fcc {111}) or "auto"
        (the mirror where the slab has a mirror plane, else the rotation).
    max_atoms (int | None): Keyword only. Refuse, before any work, a result
        estimated to hold more atoms than this (the bulk's atoms per spacing
        d(hkl) x 2 x sum(layers) x the supercell); None for no limit.

Raises:
    TypeError: ``plane`` not a tuple, ``layers`` or ``delete_layers`` not a
        list, ``direction`` not an int, or a non-number where a float is due.
    ValueError: "Only support z direction, where 'direction=2'" (checked
        after the bulk is read); an unknown operation (checked first); a
        plane of zeros, layers that are not positive, a tolerance <= 0, a
        non-finite float, a negative vacuum, max_atoms < 1, or a bulk without
        atoms, without a cell or with non-finite numbers.)doc")
        .def_readwrite("bulk", &CoherentTwinBoundary::bulk)
        .def_readwrite("plane", &CoherentTwinBoundary::plane)
        .def_readwrite("layers", &CoherentTwinBoundary::layers)
        .def_readwrite("tol_surface", &CoherentTwinBoundary::tol_surface)
        .def_readwrite("tol_layer", &CoherentTwinBoundary::tol_layer)
        .def_readwrite("average_cutoff", &CoherentTwinBoundary::average_cutoff)
        .def_readwrite("delete_layers", &CoherentTwinBoundary::delete_layers)
        .def_readwrite("gap", &CoherentTwinBoundary::gap)
        .def_readwrite("vacuum", &CoherentTwinBoundary::vacuum)
        .def_readwrite("direction", &CoherentTwinBoundary::direction)
        .def_readwrite("symprec", &CoherentTwinBoundary::symprec)
        .def_readwrite("grains", &CoherentTwinBoundary::grains)
        .def_readwrite("grain_boundary", &CoherentTwinBoundary::grain_boundary)
        .def_readwrite("operation", &CoherentTwinBoundary::operation)
        .def_readwrite("max_atoms", &CoherentTwinBoundary::max_atoms)
        .def("find_mirror_plane", &find_mirror_plane, "grain"_a, "direction"_a = 2, "tol"_a = 0.1,
             R"doc(Finds a mirror plane in a slab structure.

Args:
    grain (Atoms): The slab.
    direction (int): The direction normal to the slab (0=x, 1=y, 2=z).
    tol (float): The tolerance for matching atom positions.

Returns:
    tuple: (index, gap). ``index`` is the layer at or just below the mirror
    plane, or None; ``gap`` is 0.0 for a plane through that layer, the
    spacing to the next layer for a plane midway between the two, and 0
    when no plane was found.

Planes through a layer i are tried first, for i from the second-highest
layer down to layer 2, comparing layers i-1 and i+1; then planes between
layers i and i+1 over the same range. The first match wins.)doc")
        .def(
            "_guess_delete_layers", &guess_delete_layers, "grain"_a, "nlayers"_a,
            "index"_a = py::none(),
            R"doc(Guesses layers to delete based on finding a mirror plane for a given number of layers.

Args:
    grain (Atoms): The cut slab.
    nlayers (float): Grain thickness in spacings d(hkl).
    index (int | None): The mirror layer, or None to search for it.

Returns:
    list: ``delete_layers`` when it is not empty; otherwise every layer
    above the mirror layer, then every layer below
    z(mirror) - nlayers * d(hkl) + gap / 2 - tol_layer / 2, ascending.
    Sets ``gap`` when it is 0.

Raises:
    ValueError: "Failed to find any valid mirror plane by reflection.")doc")
        .def("generate_grains", &generate_grains,
             R"doc(Generates a sequence of grains by creating a library of unique base grains
and then assembling them with the correct orientation.

Returns:
    list: ``grains``: grain 0 ... grain m-1 for the m entries of ``layers``,
    each after the first the mirror (or turned copy) of its predecessor
    trimmed at its top, followed by their mirror images (turned copies) in
    reverse order.)doc")
        .def(
            "_cut_slab",
            [](py::object self) { return cut_slab(self, thickest(self.attr("layers")) + 3); },
            R"doc(The slab that ``delete_layers`` indices refer to.

Returns:
    Atoms: ASE's surface cut of ``bulk`` along ``plane``, max(layers) + 3
    spacings d(hkl) thick with 10 A of vacuum.)doc")
        .def("mirror_grain", &mirror_grain, "grain"_a,
             R"doc(Creates a mirrored copy of the input grain.

Args:
    grain (Atoms): The grain; not changed.

Returns:
    Atoms: A copy whose fractional coordinates along ``direction`` are
    reflected and wrapped into [0, 1); same cell, elements and atom order.)doc")
        .def("stack_grains", &stack_grains, "grains"_a, "gap"_a = 0.0,
             R"doc(Stacks a list of grains to create the twin boundary structure.

Args:
    grains (list): The grains (Atoms), bottom to top.
    gap (float): Separation gap between each grain in Angstroms.

Returns:
    Atoms: The stacked cell (also stored in ``grain_boundary``), periodic in
    all three directions: the first grain's in-plane cell and a length along
    z of the grains' summed thickness plus one gap per grain (two grains or
    more) plus ``vacuum``; close atoms merged, reduced to the primitive cell
    when ``symprec`` asks for it.)doc")
        .def("create", &create, "supercell"_a = supercell_default,
             R"doc(A high-level method to execute the full workflow of creating the twin boundary.

Args:
    supercell (list): Repetitions along the three cell vectors; applied
        when their product exceeds 1.

Returns:
    Atoms: The twin boundary, atoms sorted by chemical symbol; its
    ``info["twin_operation"]`` says which operation made it ("mirror" or
    "rotation").

Raises:
    ValueError: "Failed to find any valid mirror plane by reflection." when
        the slab holds no mirror plane and ``delete_layers`` is empty
        (operation "mirror"); a message naming the plane when no two-fold
        rotation twin exists (operation "rotation" or "auto"); a result
        estimated beyond ``max_atoms``.)doc");
}
