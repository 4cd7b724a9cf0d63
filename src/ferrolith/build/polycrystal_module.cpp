// ferrolith.build.polycrystal: Voronoi polycrystals built from a seed crystal.
//
// The binding: parameters (a Python dict) become grains, the kernels build
// the atoms straight into the arrays of the returned Atoms, and the structure
// writers under io/ write the files.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/build/close_pairs.hpp"
#include "ferrolith/build/grain_fill.hpp"
#include "ferrolith/build/grain_nodes.hpp"
#include "ferrolith/build/grain_statistics.hpp"
#include "ferrolith/build/orientation.hpp"
#include "ferrolith/build/polycrystal_params.hpp"
#include "ferrolith/build/twin_lamellae.hpp"
#include "ferrolith/build/voronoi.hpp"
#include "ferrolith/core/neighbors.hpp"
#include "ferrolith/core/twin_rotation.hpp"
#include "ferrolith/io/structure_output.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fbu = ferrolith::build;
namespace fio = ferrolith::io;
namespace fcore = ferrolith::core;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

using fbu::Mat3;
using fbu::Vec3;

// Nodes closer than this (Å) are one node given twice.
constexpr double kCoincidentNodes = 1e-4;
// Atoms this close to a cell face (Å) count as on it; the face's tie rule decides.
constexpr double kTieTolerance = 1e-6;
// Generations at least this large (a few seconds of work) report progress on
// stderr even when not verbose.
constexpr std::size_t kProgressAtoms = 1'000'000;
// Layers closer than this (Å) along the twin normal are one layer.
constexpr double kTwinLayerTolerance = 0.1;
// The largest generation accepted unless the caller raises max_atoms: about
// 2 GB of arrays while generating, a few GB more for sorting and writing.
constexpr long long kDefaultMaxAtoms = 50'000'000;

constexpr const char* kModes[] = {"random", "lattice", "node"};

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

std::string repr_float(double x) {
    return fbu::shortest_float_text(x);
}

std::string fixed(double x, int digits) {
    return fb::python_format(py::float_(x), ("." + std::to_string(digits) + "f").c_str());
}

std::string box_text(const Vec3& box) {
    return fbu::box_text(box);
}

[[noreturn]] void value_error(const std::string& message) {
    throw py::value_error(message);
}

// The engine's state
// ---------------------------------------------------------------------------

struct Grain {
    Vec3 node{};
    Mat3 rotation{};
    Vec3 angles{}; // degrees about x, then y, then z
    // Twinned grains: the twin variant (equivalent plane) and the lamellae.
    std::size_t variant = 0;
    std::vector<fbu::Lamella> lamellae;
    std::int64_t first_lamella = 0; // id of lamella 0 in the per-atom array
};

// Twin lamellae in every grain.
struct TwinSetup {
    bool on = false;
    double spacing = 0.0; // mean twin spacing, Å
    double spread = 0.0;  // relative spread of the lognormal; 0 for a fixed spacing
    std::array<int, 3> plane{1, 1, 1};
    std::string operation = "auto";
    long long seed = 0;                     // of the draws of variants, phases and thicknesses
    std::vector<fbu::LamellaTwin> variants; // one per equivalent plane
};

struct Polycrystal {
    py::object seed;
    py::object params;
    py::object prefix;
    py::object verbose;

    fbu::SeedCrystal crystal;
    Vec3 box{};
    std::string mode;   // "random", "lattice fcc", "node"
    bool drawn = false; // some node or orientation was drawn at random
    std::vector<Grain> grains;
    std::vector<fbu::VoronoiCell> cells;
    std::vector<std::size_t> last_counts; // atoms per grain of the last generation
    double max_atoms = 0;
    double density = 0.0; // atoms per Å^3 of the seed
    TwinSetup twin;
};

// ---------------------------------------------------------------------------
// Seed
// ---------------------------------------------------------------------------

py::object load_seed(py::object seed) {
    if (py::isinstance(seed, globals["Atoms"])) {
        return seed;
    }
    py::object pathlike = py::module_::import("os").attr("PathLike");
    if (!py::isinstance<py::str>(seed) && !py::isinstance(seed, pathlike)) {
        throw py::type_error("seed must be an ASE Atoms or the path of a structure file, not " +
                             fb::type_name(seed));
    }
    return globals["read"](seed);
}

fbu::SeedCrystal seed_crystal(py::handle atoms) {
    using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
    using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    fbu::SeedCrystal crystal;
    DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
    DoubleArray positions = DoubleArray::ensure(atoms.attr("get_positions")());
    IntArray numbers = IntArray::ensure(atoms.attr("get_atomic_numbers")());
    const auto n = static_cast<std::size_t>(numbers.size());
    if (n == 0) {
        value_error("the seed structure has no atoms");
    }
    // Non-finite positions would fill every grain with non-finite atoms.
    fb::require_finite_structure(atoms);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            crystal.cell[r][c] = cell.at(r, c);
        }
    }
    const double volume = std::fabs(fbu::determinant(crystal.cell));
    if (!(volume > 1e-6)) {
        value_error("the seed needs a periodic cell of three lattice vectors; its cell volume "
                    "is zero");
    }
    for (std::size_t a = 0; a < n; ++a) {
        crystal.positions.push_back({positions.at(a, 0), positions.at(a, 1), positions.at(a, 2)});
        crystal.numbers.push_back(numbers.at(a));
    }
    return crystal;
}

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

Vec3 parse_box(py::handle value) {
    const std::string bad = "box must be three positive lengths x y z in Angstroms (or one "
                            "for a cube), got " +
                            py::repr(value).cast<std::string>();
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
        value_error(bad);
    }
    py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
    std::vector<double> lengths;
    for (py::handle item : seq) {
        lengths.push_back(fb::to_float(item, "box"));
    }
    if (lengths.size() == 1) {
        lengths.assign(3, lengths[0]);
    }
    if (lengths.size() != 3) {
        value_error(bad);
    }
    for (double x : lengths) {
        if (!(x > 0.0) || !std::isfinite(x)) {
            value_error(bad);
        }
    }
    return {lengths[0], lengths[1], lengths[2]};
}

long long parse_grain_count(py::handle value) {
    const bool integer = PyIndex_Check(value.ptr()) && !PyBool_Check(value.ptr());
    const std::string bad =
        "random must be a positive number of grains, got " + py::repr(value).cast<std::string>();
    if (!integer) {
        value_error(bad);
    }
    const long long n = py::int_(py::reinterpret_borrow<py::object>(value)).cast<long long>();
    if (n < 1) {
        value_error(bad);
    }
    return n;
}

// A random number generator in numpy's way: None, a seed or a Generator.
py::object make_rng(py::object rng) {
    return globals["np"].attr("random").attr("default_rng")(rng);
}

// `n` rows of three numbers uniform in [0, 1).
std::vector<Vec3> uniforms(py::object rng, std::size_t n) {
    using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
    DoubleArray draws = DoubleArray::ensure(rng.attr("random")(py::make_tuple(n, 3)));
    std::vector<Vec3> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = {draws.at(k, 0), draws.at(k, 1), draws.at(k, 2)};
    }
    return out;
}

Grain random_orientation(const Vec3& node, const Vec3& u) {
    Grain g;
    g.node = node;
    g.angles = fbu::euler_from_uniforms(u[0], u[1], u[2]);
    g.rotation = fbu::rotation_from_euler(g.angles[0], g.angles[1], g.angles[2]);
    return g;
}

// "node 3 (10.0 10.0 10.0 45 30 0)": how errors name a record.
std::string record_name(std::size_t index, py::handle record) {
    std::string text;
    if (py::isinstance<py::dict>(record)) {
        py::dict d = py::reinterpret_borrow<py::dict>(record);
        for (const char* key : {"pos", "orient"}) {
            if (d.contains(key) && py::isinstance<py::sequence>(d[key]) &&
                !py::isinstance<py::str>(d[key])) {
                for (py::handle item : py::reinterpret_borrow<py::sequence>(d[key])) {
                    text += (text.empty() ? "" : " ") + py::str(item).cast<std::string>();
                }
            }
        }
    } else {
        text = py::repr(record).cast<std::string>();
    }
    return "node " + std::to_string(index + 1) + " (" + text + ")";
}

std::vector<Grain> parse_node_records(py::handle value, const fbu::SeedCrystal& crystal,
                                      const Vec3& box, py::object rng, bool& drawn) {
    if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
        value_error("node must be a list of grain records, each a dict with 'pos' (x y z) and "
                    "'orient', got " +
                    py::repr(value).cast<std::string>());
    }
    py::sequence records = py::reinterpret_borrow<py::sequence>(value);
    if (py::len(records) == 0) {
        value_error("node needs at least one grain record");
    }
    std::vector<Grain> grains;
    py::object generator;
    for (std::size_t k = 0; k < py::len(records); ++k) {
        py::object record = records[k];
        const std::string name = record_name(k, record);
        if (!py::isinstance<py::dict>(record) || !record.contains("pos") ||
            !record.contains("orient")) {
            value_error(name + ": a grain record is a dict with 'pos' and 'orient'");
        }
        py::object pos = record["pos"];
        py::object orient = record["orient"];
        const bool pos_ok =
            py::isinstance<py::sequence>(pos) && !py::isinstance<py::str>(pos) && py::len(pos) == 3;
        if (!pos_ok) {
            value_error(name + ": a node needs a position x y z followed by its orientation");
        }
        Grain g;
        for (int c = 0; c < 3; ++c) {
            g.node[c] = fb::to_float(py::reinterpret_borrow<py::sequence>(pos)[c], "pos");
        }
        if (!fbu::inside_box(g.node, box)) {
            value_error(name + ": the position lies outside the box " + box_text(box));
        }
        std::vector<std::string> tokens;
        if (py::isinstance<py::str>(orient) || !py::isinstance<py::sequence>(orient)) {
            value_error(name + ": 'orient' must be a list of tokens");
        }
        for (py::handle t : py::reinterpret_borrow<py::sequence>(orient)) {
            tokens.push_back(py::str(t).cast<std::string>());
        }
        const fbu::OrientationRequest request = fbu::parse_orientation(tokens);
        using Kind = fbu::OrientationRequest::Kind;
        switch (request.kind) {
        case Kind::kRandom: {
            if (!generator) {
                generator = make_rng(rng);
            }
            const Vec3 u = uniforms(generator, 1)[0];
            g = random_orientation(g.node, u);
            drawn = true;
            break;
        }
        case Kind::kAngles:
            g.angles = request.angles;
            g.rotation =
                fbu::rotation_from_euler(request.angles[0], request.angles[1], request.angles[2]);
            break;
        case Kind::kDirections: {
            const fbu::RotationResult r =
                fbu::rotation_from_directions(request.directions, crystal.cell);
            if (!r.rotation) {
                value_error(name + ": " + r.error);
            }
            g.rotation = *r.rotation;
            g.angles = fbu::euler_from_rotation(g.rotation);
            break;
        }
        case Kind::kInvalid:
            value_error(name + ": the orientation must be three angles in degrees (about x, "
                               "then y, then z), three Miller directions such as [100] [010] "
                               "[001], or random");
        }
        grains.push_back(g);
    }
    return grains;
}

void parse_twin(Polycrystal& self, py::handle value, py::object rng);

void parse_params(Polycrystal& self, py::object rng) {
    fb::require_exact_dict(self.params, "params");
    py::dict params = py::reinterpret_borrow<py::dict>(self.params);
    for (auto item : params) {
        const std::string key = py::str(item.first).cast<std::string>();
        if (key != "box" && key != "random" && key != "lattice" && key != "node" &&
            key != "param_file" && key != "twin") {
            value_error("unknown parameter " + py::repr(item.first).cast<std::string>() +
                        "; the parameters are box, random, lattice, node, twin and param_file");
        }
    }
    if (!params.contains("box")) {
        value_error("params need a 'box': the box lengths x y z in Angstroms");
    }
    self.box = parse_box(params["box"]);
    {
        std::vector<double> flat;
        for (const Vec3& p : self.crystal.positions) {
            flat.insert(flat.end(), p.begin(), p.end());
        }
        const double nearest = fb::value_or_raise(fcore::nearest_neighbour_distance(
            flat.data(), self.crystal.positions.size(), self.crystal.cell));
        fb::value_or_raise(fbu::check_box_lengths(self.box, nearest));
    }

    std::vector<std::string> modes;
    for (const char* m : kModes) {
        if (params.contains(m)) {
            modes.push_back(m);
        }
    }
    if (modes.empty()) {
        value_error("params need a generation mode: 'random', 'lattice' or 'node'");
    }
    if (modes.size() > 1) {
        std::string names;
        for (const std::string& m : modes) {
            names += (names.empty() ? "" : ", ") + m;
        }
        value_error("params give more than one generation mode (" + names + "); give only one");
    }
    self.mode = modes[0];
    const double expected_atoms = fbu::expected_atom_count(self.crystal, self.box);
    auto check_size = [&](double grains) {
        fb::value_or_raise(
            fbu::check_generation_size(expected_atoms, grains, self.box, self.max_atoms));
        fb::value_or_raise(
            fbu::check_generation_memory(expected_atoms, grains, fbu::memory_budget_bytes()));
    };
    if (self.mode == "random") {
        const long long n = parse_grain_count(params["random"]);
        check_size(static_cast<double>(n));
        py::object generator = make_rng(rng);
        const std::vector<Vec3> where = uniforms(generator, static_cast<std::size_t>(n));
        const std::vector<Vec3> how = uniforms(generator, static_cast<std::size_t>(n));
        for (long long k = 0; k < n; ++k) {
            const Vec3& u = where[static_cast<std::size_t>(k)];
            const Vec3 node{u[0] * self.box[0], u[1] * self.box[1], u[2] * self.box[2]};
            self.grains.push_back(random_orientation(node, how[static_cast<std::size_t>(k)]));
        }
        self.drawn = true;
    } else if (self.mode == "lattice") {
        py::object value = params["lattice"];
        std::optional<std::vector<Vec3>> nodes;
        std::string name;
        if (py::isinstance<py::str>(value)) {
            name = py::str(value.attr("lower")()).cast<std::string>();
            nodes = fbu::lattice_nodes(name, self.box);
        }
        if (!nodes) {
            value_error("lattice must be one of fcc, bcc, diamond, hcp, got " +
                        py::repr(value).cast<std::string>());
        }
        self.mode += " " + name;
        check_size(static_cast<double>(nodes->size()));
        py::object generator = make_rng(rng);
        const std::vector<Vec3> how = uniforms(generator, nodes->size());
        for (std::size_t k = 0; k < nodes->size(); ++k) {
            self.grains.push_back(random_orientation((*nodes)[k], how[k]));
        }
        self.drawn = true;
    } else {
        py::object records = params["node"];
        if (py::isinstance<py::list>(records) || py::isinstance<py::tuple>(records)) {
            check_size(static_cast<double>(py::len(records)));
        }
        self.grains = parse_node_records(records, self.crystal, self.box, rng, self.drawn);
    }
    if (params.contains("twin") && !params["twin"].is_none()) {
        parse_twin(self, params["twin"], rng);
        self.drawn = true;
    }

    std::vector<Vec3> nodes;
    for (const Grain& g : self.grains) {
        nodes.push_back(g.node);
    }
    if (auto pair = fbu::find_coincident_nodes(nodes, self.box, kCoincidentNodes)) {
        if (self.mode == "node") {
            py::sequence records = params["node"];
            value_error(record_name(pair->second, records[pair->second]) + " coincides with " +
                        record_name(pair->first, records[pair->first]));
        }
        value_error("grain nodes " + std::to_string(pair->first + 1) + " and " +
                    std::to_string(pair->second + 1) + " coincide");
    }
}

// ---------------------------------------------------------------------------
// Twin lamellae
// ---------------------------------------------------------------------------

constexpr const char* kTwinKeys = "spacing, spread, plane, operation and seed";

// The coherent twins of the seed across `plane` and every plane equivalent
// to it under the seed's point group (spglib), in spglib's order of the
// point operations.
std::vector<fbu::LamellaTwin> find_twin_variants(const Polycrystal& self,
                                                 const std::array<int, 3>& plane,
                                                 fbu::TwinOperation operation) {
    std::vector<fbu::LamellaTwin> variants;
    // The planes equivalent to the given one under the seed's point group.
    std::vector<std::array<int, 9>> rotations;
    py::object cell = py::make_tuple(self.seed.attr("cell").attr("array"),
                                     self.seed.attr("get_scaled_positions")(),
                                     self.seed.attr("get_atomic_numbers")());
    // spglib warns on every call unless the caller opted into its new error
    // handling; that choice is the user's, so the warning stays out of our call.
    py::module_ warnings = py::module_::import("warnings");
    py::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    py::object dataset = py::none();
    try {
        warnings.attr("filterwarnings")("ignore", "message"_a = "Set OLD_ERROR_HANDLING",
                                        "category"_a = py::handle(PyExc_DeprecationWarning));
        dataset =
            py::module_::import("spglib").attr("get_symmetry_dataset")(cell, "symprec"_a = 1e-5);
    } catch (py::error_already_set& error) {
        // No symmetry found (spglib's new error handling raises): the plane
        // given is the only one; interrupts and the like pass through.
        if (!error.matches(PyExc_Exception)) {
            quiet.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    if (!dataset.is_none()) {
        py::object found = py::hasattr(dataset, "rotations") ? py::object(dataset.attr("rotations"))
                                                             : py::object(dataset["rotations"]);
        using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
        const IntArray w = IntArray::ensure(found);
        for (py::ssize_t k = 0; k < w.shape(0); ++k) {
            std::array<int, 9> m{};
            for (int e = 0; e < 9; ++e) {
                m[static_cast<std::size_t>(e)] = static_cast<int>(w.data()[9 * k + e]);
            }
            rotations.push_back(m);
        }
    }
    for (const std::array<int, 3>& hkl : fbu::equivalent_planes(plane, rotations)) {
        auto found = fbu::find_lamella_twin(self.crystal, hkl, operation, kTwinLayerTolerance);
        if (!found) {
            value_error("No coherent twin for plane (" + std::to_string(hkl[0]) + ", " +
                        std::to_string(hkl[1]) + ", " + std::to_string(hkl[2]) +
                        ") of the seed: " + found.error);
        }
        variants.push_back(*found.value);
    }
    return variants;
}

// The twin variants of the last seed, plane and operation asked for. The
// symmetry analysis behind them costs more than filling a million atoms, and
// a script often builds many polycrystals of one seed. Used under the GIL.
struct TwinMemo {
    std::vector<double> key;
    std::vector<fbu::LamellaTwin> variants;
};
TwinMemo twin_memo;

std::vector<double> twin_memo_key(const fbu::SeedCrystal& crystal, const std::array<int, 3>& plane,
                                  fbu::TwinOperation operation) {
    std::vector<double> key;
    for (const Vec3& row : crystal.cell) {
        key.insert(key.end(), row.begin(), row.end());
    }
    for (const Vec3& p : crystal.positions) {
        key.insert(key.end(), p.begin(), p.end());
    }
    for (std::int64_t z : crystal.numbers) {
        key.push_back(static_cast<double>(z));
    }
    key.insert(key.end(), plane.begin(), plane.end());
    key.push_back(static_cast<double>(operation));
    return key;
}

// {"spacing": L, "spread": S, "plane": [h, k, l], "operation": name, "seed": n};
// only the spacing is required.
void parse_twin(Polycrystal& self, py::handle value, py::object rng) {
    if (!py::isinstance<py::dict>(value)) {
        value_error("twin must be a dict with the keys " + std::string(kTwinKeys) + ", got " +
                    py::repr(value).cast<std::string>());
    }
    py::dict twin = py::reinterpret_borrow<py::dict>(value);
    for (auto item : twin) {
        const std::string key = py::str(item.first).cast<std::string>();
        if (key != "spacing" && key != "spread" && key != "plane" && key != "operation" &&
            key != "seed") {
            value_error("unknown twin parameter " + py::repr(item.first).cast<std::string>() +
                        "; the twin parameters are " + kTwinKeys);
        }
    }
    TwinSetup& t = self.twin;
    if (!twin.contains("spacing")) {
        value_error("twin needs a 'spacing': the mean twin spacing in Angstroms");
    }
    t.spacing = fb::to_float(twin["spacing"], "twin spacing");
    if (!(t.spacing > 0.0) || !std::isfinite(t.spacing)) {
        value_error("the twin spacing must be a positive length in Angstroms, got " +
                    repr_float(t.spacing));
    }
    if (twin.contains("spread")) {
        t.spread = fb::to_float(twin["spread"], "twin spread");
        if (!(t.spread >= 0.0) || !std::isfinite(t.spread)) {
            value_error("the twin spread must be 0 (a fixed spacing) or a positive relative "
                        "spread, got " +
                        repr_float(t.spread));
        }
    }
    if (twin.contains("plane")) {
        py::object plane = twin["plane"];
        const std::string bad = "the twin plane must be three Miller indices h k l, not all "
                                "zero, got " +
                                py::repr(plane).cast<std::string>();
        if (!py::isinstance<py::sequence>(plane) || py::isinstance<py::str>(plane) ||
            py::len(plane) != 3) {
            value_error(bad);
        }
        for (int c = 0; c < 3; ++c) {
            py::object x = py::reinterpret_borrow<py::sequence>(plane)[c];
            const double v = fb::to_float(x, "twin plane");
            if (v != std::round(v) || std::fabs(v) > 100) {
                value_error(bad);
            }
            t.plane[c] = static_cast<int>(v);
        }
        if (t.plane[0] == 0 && t.plane[1] == 0 && t.plane[2] == 0) {
            value_error(bad);
        }
    }
    fbu::TwinOperation operation = fbu::TwinOperation::kAuto;
    if (twin.contains("operation")) {
        py::object op = twin["operation"];
        t.operation = py::isinstance<py::str>(op) ? op.cast<std::string>() : "";
        if (t.operation == "mirror") {
            operation = fbu::TwinOperation::kMirror;
        } else if (t.operation == "rotation") {
            operation = fbu::TwinOperation::kRotation;
        } else if (t.operation != "auto") {
            value_error("the twin operation must be 'auto', 'mirror' or 'rotation', got " +
                        py::repr(op).cast<std::string>());
        }
    }
    if (twin.contains("seed") && !twin["seed"].is_none()) {
        t.seed = fb::require_exact_int(twin["seed"], "twin seed");
        if (t.seed < 0) {
            value_error("the twin seed must be a non-negative integer");
        }
    } else {
        t.seed = make_rng(rng).attr("integers")(0, py::int_(1LL << 62)).cast<long long>();
    }

    const std::vector<double> key = twin_memo_key(self.crystal, t.plane, operation);
    if (twin_memo.key == key) {
        t.variants = twin_memo.variants;
    } else {
        t.variants = find_twin_variants(self, t.plane, operation);
        twin_memo = {key, t.variants};
    }
    const double d = t.variants.front().spacing;
    if (t.spacing < d) {
        value_error("the twin spacing (" + repr_float(t.spacing) +
                    " Angstrom) is smaller than the spacing of the twin planes d(hkl) = " +
                    fb::python_format(py::float_(d), ".4g") + " Angstrom");
    }
    t.on = true;
}

// Draws every grain's twin variant, phase and lamella thicknesses from the
// twin seed, in grain order, and stacks its lamellae.
void draw_lamellae(Polycrystal& self) {
    const TwinSetup& t = self.twin;
    py::object rng = make_rng(py::int_(t.seed));
    const double sigma2 = std::log1p(t.spread * t.spread);
    const double mu = std::log(t.spacing) - 0.5 * sigma2;
    std::int64_t next_id = 0;
    for (std::size_t g = 0; g < self.grains.size(); ++g) {
        Grain& grain = self.grains[g];
        grain.variant = rng.attr("integers")(t.variants.size()).cast<std::size_t>();
        const double u = rng.attr("random")().cast<double>();
        const fbu::LamellaTwin& twin = t.variants[grain.variant];
        const Vec3 normal = fbu::mul(grain.rotation, twin.normal);
        double h_min = HUGE_VAL;
        double h_max = -HUGE_VAL;
        for (const Vec3& v : self.cells[g].vertices) {
            h_min = std::min(h_min, fbu::dot(normal, v));
            h_max = std::max(h_max, fbu::dot(normal, v));
        }
        const double d = twin.spacing;
        const double needed = (h_max - h_min) / d + 2.0;
        std::vector<std::int64_t> layers;
        double total = 0.0;
        const auto batch = static_cast<std::size_t>(std::ceil((h_max - h_min) / t.spacing)) + 4;
        while (layers.empty() || total < needed + static_cast<double>(layers.front())) {
            if (t.spread == 0.0) {
                layers.push_back(std::max<std::int64_t>(1, std::llround(t.spacing / d)));
                total += static_cast<double>(layers.back());
                continue;
            }
            using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
            const DoubleArray draws =
                DoubleArray::ensure(rng.attr("lognormal")(mu, std::sqrt(sigma2), batch));
            for (py::ssize_t k = 0; k < draws.size(); ++k) {
                layers.push_back(std::max<std::int64_t>(1, std::llround(draws.data()[k] / d)));
                total += static_cast<double>(layers.back());
            }
        }
        const auto phase = static_cast<std::int64_t>(u * static_cast<double>(layers.front()));
        grain.lamellae = fb::value_or_raise(fbu::stack_lamellae(twin, h_min, h_max, phase, layers));
        grain.first_lamella = next_id;
        next_id += static_cast<std::int64_t>(grain.lamellae.size());
    }
}

// The part of a grain's cell that one lamella fills, with its planes taken
// relative to the lamella's own origin, node + offset.
fbu::VoronoiCell lamella_cell(const fbu::VoronoiCell& cell, const Vec3& normal,
                              const fbu::Lamella& lamella, const Vec3& offset) {
    fbu::VoronoiCell piece;
    piece.planes = cell.planes;
    piece.volume = cell.volume;
    for (fbu::CellPlane& p : piece.planes) {
        p.distance -= fbu::dot(p.normal, offset);
    }
    for (const Vec3& v : cell.vertices) {
        piece.vertices.push_back(fbu::sub(v, offset));
    }
    // Atoms on a boundary belong to the lamella above it.
    const double along = fbu::dot(normal, offset);
    if (std::isfinite(lamella.upper)) {
        piece.planes.push_back(fbu::CellPlane{normal, lamella.upper - along, false, 0, {}});
    }
    if (std::isfinite(lamella.lower)) {
        piece.planes.push_back(
            fbu::CellPlane{fbu::scale(normal, -1.0), along - lamella.lower, true, 0, {}});
    }
    return piece;
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

// A positive whole number of atoms (an int, or a float such as 1e8).
double parse_max_atoms(py::handle value) {
    const bool integer = PyIndex_Check(value.ptr()) && !PyBool_Check(value.ptr());
    double n = 0;
    if (integer) {
        n = py::int_(py::reinterpret_borrow<py::object>(value)).cast<double>();
    } else if (py::isinstance<py::float_>(value)) {
        n = value.cast<double>();
    } else {
        throw py::type_error("max_atoms must be an int, not " + fb::type_name(value));
    }
    if (!(n >= 1) || !std::isfinite(n)) {
        value_error("max_atoms must be a positive number of atoms, got " +
                    py::repr(value).cast<std::string>());
    }
    return n;
}

Polycrystal make_polycrystal(py::object seed, py::object params, py::object prefix,
                             py::object verbose, py::object rng, py::object max_atoms) {
    Polycrystal self;
    fb::require_exact_str(prefix, "prefix");
    self.max_atoms = parse_max_atoms(max_atoms);
    self.seed = load_seed(seed);
    self.params = params;
    self.prefix = prefix;
    self.verbose = verbose;
    self.crystal = seed_crystal(self.seed);
    self.density = static_cast<double>(self.crystal.positions.size()) /
                   std::fabs(fbu::determinant(self.crystal.cell));
    parse_params(self, rng);
    std::vector<Vec3> nodes;
    for (const Grain& g : self.grains) {
        nodes.push_back(g.node);
    }
    {
        py::gil_scoped_release release;
        self.cells = fbu::periodic_voronoi(nodes, self.box);
    }
    if (self.twin.on) {
        draw_lamellae(self);
    }
    return self;
}

// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// The parameter file
// ---------------------------------------------------------------------------

// The parameters a parameter file sets, as the command hands them on: "box"
// (floats), "random" (int), "lattice" (str), "node" (records with "pos" and
// "orient"), in the order of their first line.
py::dict params_dict(const fbu::ParamFile& file) {
    py::dict params;
    for (const std::string& key : file.order) {
        if (key == "box") {
            params["box"] = py::cast(*file.box);
        } else if (key == "random") {
            params["random"] = py::int_(*file.random);
        } else if (key == "lattice") {
            params["lattice"] = py::str(*file.lattice);
        } else if (key == "node") {
            py::list records;
            for (const fbu::NodeRecord& r : *file.node) {
                py::dict record;
                record["pos"] = py::cast(r.pos);
                record["orient"] = py::cast(r.orient);
                records.append(record);
            }
            params["node"] = records;
        } else if (key == "twin") {
            py::dict twin;
            if (file.twin) {
                twin["spacing"] = py::float_((*file.twin)[0]);
                if (file.twin->size() > 1) {
                    twin["spread"] = py::float_((*file.twin)[1]);
                }
            }
            if (file.twin_plane) {
                py::list plane;
                for (double x : *file.twin_plane) {
                    plane.append(x == std::round(x) && std::fabs(x) < 1e9
                                     ? py::object(py::int_(static_cast<long long>(x)))
                                     : py::object(py::float_(x)));
                }
                twin["plane"] = plane;
            }
            if (file.twin_operation) {
                twin["operation"] = py::str(*file.twin_operation);
            }
            if (file.twin_seed) {
                twin["seed"] = py::int_(*file.twin_seed);
            }
            params["twin"] = twin;
        }
    }
    return params;
}

py::dict read_params(py::object source) {
    std::string name;
    py::object text;
    if (fb::is_path_like(source)) {
        name = py::str(py::module_::import("os").attr("fsdecode")(source)).cast<std::string>();
        py::object file = globals["open"](source, "r");
        try {
            text = file.attr("read")();
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
    } else {
        name = py::str(py::getattr(source, "name", py::str("<file>"))).cast<std::string>();
        text = source.attr("read")();
    }
    if (!py::isinstance<py::str>(text)) {
        throw py::type_error("a parameter file is read as text, not " + fb::type_name(text));
    }
    fbu::ParamFault fault = fbu::ParamFault::kNone;
    auto outcome = fbu::parse_param_file(text.cast<std::string>(), &fault);
    if (!outcome) {
        const std::string message =
            name + ", line " + std::to_string(outcome.line) + ": " + outcome.error;
        if (fault == fbu::ParamFault::kMissingValue) {
            throw py::index_error(message);
        }
        throw py::value_error(message);
    }
    for (const auto& [line, keyword] : outcome.value->unknown) {
        fb::print_stderr_line("Warning: " + name + ", line " + std::to_string(line) +
                              ": unknown keyword " +
                              py::repr(py::str(keyword)).cast<std::string>() +
                              " ignored; the keywords are box, random, lattice, node, twin, "
                              "twin_plane, twin_operation and twin_seed");
    }
    return params_dict(*outcome.value);
}

// ---------------------------------------------------------------------------
// Files under the prefix
// ---------------------------------------------------------------------------

bool same_path(py::object a, py::object b) {
    py::object path = globals["Path"];
    return path(a).attr("resolve")().equal(path(b).attr("resolve")());
}

// Writes the grains as a parameter file that gives this structure again, in
// `folder`; never over the parameter file that was read. Returns its path.
py::object write_node_file(const Polycrystal& self, py::object folder) {
    const std::string prefix = self.prefix.cast<std::string>();
    py::object path = folder.attr("__truediv__")(prefix + "_params.txt");
    py::dict params = py::reinterpret_borrow<py::dict>(self.params);
    if (params.contains("param_file")) {
        for (int k = 1; same_path(path, params["param_file"]); ++k) {
            path = folder.attr("__truediv__")(prefix + "_params_" + std::to_string(k) + ".txt");
        }
    }
    std::vector<fbu::NodeLine> lines;
    for (const Grain& g : self.grains) {
        lines.push_back({g.node, g.angles});
    }
    std::string text = fbu::format_param_file(self.box, lines);
    if (self.twin.on) {
        const TwinSetup& t = self.twin;
        text += "# Twin lamellae: mean spacing (Angstrom) and relative spread, the plane, the\n"
                "# operation and the seed of the draws of every grain's plane and spacings.\n";
        text += "twin " + fbu::shortest_float_text(t.spacing) + " " +
                fbu::shortest_float_text(t.spread) + "\n";
        text += "twin_plane " + std::to_string(t.plane[0]) + " " + std::to_string(t.plane[1]) +
                " " + std::to_string(t.plane[2]) + "\n";
        text += "twin_operation " + t.operation + "\n";
        text += "twin_seed " + std::to_string(t.seed) + "\n";
        text +=
            "# Drawn per grain: twin plane (h k l) and lamella thicknesses in spacings d(hkl)\n";
        for (std::size_t g = 0; g < self.grains.size(); ++g) {
            const Grain& gr = self.grains[g];
            const fbu::LamellaTwin& v = t.variants[gr.variant];
            text += "#   grain " + std::to_string(g) + ": (" + std::to_string(v.hkl[0]) + " " +
                    std::to_string(v.hkl[1]) + " " + std::to_string(v.hkl[2]) + ")";
            for (const fbu::Lamella& l : gr.lamellae) {
                text += " " + std::to_string(l.layers);
            }
            text += "\n";
        }
    }
    fio::write_text_file(globals, path, text);
    return path;
}

// The nodes as dummy atoms, to look at with any structure viewer.
void write_nodes_structure(const Polycrystal& self) {
    py::list positions;
    for (const Grain& g : self.grains) {
        positions.append(py::make_tuple(g.node[0], g.node[1], g.node[2]));
    }
    py::object nodes = globals["Atoms"](
        "symbols"_a = "X" + std::to_string(self.grains.size()), "positions"_a = positions,
        "cell"_a = py::make_tuple(self.box[0], self.box[1], self.box[2]), "pbc"_a = true);
    const std::string path = self.prefix.cast<std::string>() + "_nodes.xyz";
    fb::write_file_atomically(py::str(path), [&](py::object temporary) {
        globals["write"](temporary, nodes, "format"_a = "extxyz");
    });
    fb::print_line("Grain nodes written to " + path);
}

// ---------------------------------------------------------------------------
// Generation
// ---------------------------------------------------------------------------

py::object generate_polycrystal(py::object self_obj, py::object wrap, py::object remove_doubles) {
    Polycrystal& self = self_obj.cast<Polycrystal&>();
    const std::optional<double> radius = fb::to_float_or_none(remove_doubles, "remove_doubles");
    const double half_box = 0.5 * std::min({self.box[0], self.box[1], self.box[2]});
    if (radius && !(*radius >= 0.0 && *radius <= half_box)) {
        value_error("remove_doubles must lie between 0 and half the smallest box length (" +
                    fb::python_format(py::float_(half_box), "g") + " Angstrom), got " +
                    repr_float(*radius));
    }
    if (radius && *radius > 0.0) {
        fb::value_or_raise(fbu::check_removal_radius(
            *radius, self.density, fbu::expected_atom_count(self.crystal, self.box),
            fcore::kDefaultMaxNeighbors, fbu::memory_budget_bytes()));
    }
    const bool verbose = py::bool_(self.verbose);
    const bool do_wrap = py::bool_(wrap);
    const auto started = std::chrono::steady_clock::now();

    if (verbose) {
        fb::print_line("Polycrystal: " + std::to_string(self.grains.size()) + " grains (" +
                       self.mode + ") in a box of " + box_text(self.box) + " Angstrom");
        const std::string formula =
            py::str(self.seed.attr("get_chemical_formula")()).cast<std::string>();
        fb::print_line("Seed: " + formula + " (" + std::to_string(self.crystal.positions.size()) +
                       " atoms per cell)");
    }
    if (verbose) {
        write_nodes_structure(self);
    }

    // Count first, then build straight into the arrays the Atoms will own.
    // A grain is one piece, or one piece per lamella when twinned.
    std::vector<fbu::GrainLattice> lattices;
    std::vector<std::size_t> piece_grain;
    std::vector<std::int64_t> piece_lamella;
    std::vector<std::size_t> counts(self.grains.size(), 0);
    std::size_t total = 0;
    {
        py::gil_scoped_release release;
        for (std::size_t g = 0; g < self.grains.size(); ++g) {
            const Grain& gr = self.grains[g];
            if (!self.twin.on) {
                lattices.emplace_back(self.crystal, gr.node, gr.rotation, self.cells[g],
                                      kTieTolerance);
                piece_grain.push_back(g);
                piece_lamella.push_back(0);
                counts[g] += lattices.back().count();
                continue;
            }
            const Vec3 normal = fbu::mul(gr.rotation, self.twin.variants[gr.variant].normal);
            for (std::size_t k = 0; k < gr.lamellae.size(); ++k) {
                const fbu::Lamella& lamella = gr.lamellae[k];
                const Vec3 offset = fbu::mul(gr.rotation, lamella.shift);
                fbu::VoronoiCell piece = lamella_cell(self.cells[g], normal, lamella, offset);
                const std::vector<Vec3> occupied = fbu::trim_cell_piece(piece);
                lattices.emplace_back(self.crystal, fbu::add(gr.node, offset),
                                      fbu::mul(gr.rotation, lamella.op), piece, kTieTolerance,
                                      &occupied);
                piece_grain.push_back(g);
                piece_lamella.push_back(gr.first_lamella + static_cast<std::int64_t>(k));
                counts[g] += lattices.back().count();
            }
        }
        for (std::size_t c : counts) {
            total += c;
        }
    }
    const auto n_total = static_cast<py::ssize_t>(total);
    py::array_t<double> positions({n_total, static_cast<py::ssize_t>(3)});
    py::array_t<std::int64_t> numbers(n_total);
    py::array_t<std::int64_t> grain(n_total);
    py::array_t<std::int64_t> lamella(self.twin.on ? n_total : 0);
    double* pos = positions.mutable_data();
    std::int64_t* num = numbers.mutable_data();
    std::int64_t* gr = grain.mutable_data();
    std::int64_t* lam = lamella.mutable_data();

    // Progress goes to stdout in a verbose run, to stderr for long quiet ones.
    const bool progress = verbose || total >= kProgressAtoms;
    std::size_t done = 0;
    int reported = 0;
    for (std::size_t p = 0; p < lattices.size(); ++p) {
        const std::size_t g = piece_grain[p];
        const std::size_t n_piece = lattices[p].count();
        {
            py::gil_scoped_release release;
            lattices[p].fill(pos + 3 * done, num + done, gr + done, static_cast<std::int64_t>(g),
                             self.twin.on ? lam + done : nullptr, piece_lamella[p]);
            lattices[p].release();
        }
        done += n_piece;
        const bool grain_done = p + 1 == lattices.size() || piece_grain[p + 1] != g;
        const int percent = total == 0 ? 100 : static_cast<int>(100.0 * done / total);
        if (progress && grain_done && (percent / 10 > reported / 10 || p + 1 == lattices.size())) {
            reported = percent;
            const std::string line = "Generating grains: " + std::to_string(percent) + "% (" +
                                     std::to_string(g + 1) + " of " +
                                     std::to_string(self.grains.size()) + " grains, " +
                                     fbu::grouped_integer(done) + " atoms)";
            if (verbose) {
                fb::print_line(line);
            } else {
                fb::print_stderr_line(line);
            }
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
    self.last_counts = counts;

    std::size_t n_atoms = total;
    if (radius && *radius > 0.0) {
        std::size_t kept = 0;
        {
            py::gil_scoped_release release;
            const std::vector<std::uint8_t> keep = fbu::keep_apart(pos, total, self.box, *radius);
            kept = fbu::compact_atoms(keep, pos, num, gr);
            if (self.twin.on) {
                fbu::compact_values(keep, lam);
            }
            self.last_counts = fbu::atoms_per_grain(gr, kept, self.grains.size());
        }
        // Shrinking in place gives the tail back without copying the arrays.
        const auto n_kept = static_cast<py::ssize_t>(kept);
        positions.resize({n_kept, static_cast<py::ssize_t>(3)}, false);
        numbers.resize({n_kept}, false);
        grain.resize({n_kept}, false);
        if (self.twin.on) {
            lamella.resize({n_kept}, false);
        }
        if (verbose) {
            fb::print_line("Removed " + fbu::grouped_integer(total - kept) + " atoms closer than " +
                           fb::python_format(py::float_(*radius), "g") + " Angstrom");
        }
        n_atoms = kept;
        pos = positions.mutable_data();
    }
    if (do_wrap) {
        py::gil_scoped_release release;
        fbu::wrap_into_box(pos, n_atoms, self.box);
    }

    // The Atoms takes the arrays as they are (its constructor would copy them).
    py::list cell;
    for (int c = 0; c < 3; ++c) {
        py::list row;
        for (int r = 0; r < 3; ++r) {
            row.append(r == c ? self.box[c] : 0.0);
        }
        cell.append(row);
    }
    py::object atoms = globals["Atoms"]("cell"_a = cell, "pbc"_a = true);
    py::dict arrays = atoms.attr("arrays");
    arrays["numbers"] = numbers;
    arrays["positions"] = positions;
    arrays["grain"] = grain;
    if (self.twin.on) {
        arrays["lamella"] = lamella;
    }

    if (verbose) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        fb::print_line("Generated " + fbu::grouped_integer(n_atoms) + " atoms in " +
                       fixed(seconds, 2) + " s");
        std::vector<double> volumes;
        for (const fbu::VoronoiCell& cell : self.cells) {
            volumes.push_back(cell.volume);
        }
        for (const std::string& line :
             fbu::grain_summary_lines(volumes, self.last_counts, n_atoms)) {
            fb::print_line(line);
        }
    }
    return atoms;
}

// ---------------------------------------------------------------------------
// Output files
// ---------------------------------------------------------------------------

// Atoms per grain: from the structure's "grain" array when it has one (it may
// have been cut or extended since), else from the last generation.
std::vector<std::size_t> grain_counts(const Polycrystal& self, py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    if (!arrays.contains("grain")) {
        std::vector<std::size_t> counts = self.last_counts;
        counts.resize(self.grains.size(), 0);
        return counts;
    }
    using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    const IntArray grain = IntArray::ensure(arrays["grain"]);
    if (!grain) {
        throw py::type_error("the per-atom array 'grain' must hold grain indices (integers)");
    }
    return fbu::atoms_per_grain(grain.data(), static_cast<std::size_t>(grain.size()),
                                self.grains.size());
}

void write_grain_table(const Polycrystal& self, py::object path, py::object atoms) {
    std::vector<Vec3> nodes, angles;
    std::vector<double> volumes;
    for (std::size_t g = 0; g < self.grains.size(); ++g) {
        nodes.push_back(self.grains[g].node);
        angles.push_back(self.grains[g].angles);
        volumes.push_back(self.cells[g].volume);
    }
    std::vector<fbu::GrainTwins> twins;
    for (const Grain& g : self.grains) {
        fbu::GrainTwins t;
        const std::size_t k = g.lamellae.size();
        t.twins = k > 0 ? k - 1 : 0;
        double sum = 0.0;
        for (std::size_t i = 1; i + 1 < k; ++i) {
            sum +=
                static_cast<double>(g.lamellae[i].layers) * self.twin.variants[g.variant].spacing;
        }
        t.mean_spacing = k > 2 ? sum / static_cast<double>(k - 2) : std::nan("");
        twins.push_back(t);
    }
    fio::write_text_file(globals, path,
                         fbu::grain_table_text(self.box, nodes, angles, grain_counts(self, atoms),
                                               volumes, self.twin.on ? &twins : nullptr));
}

void write_final_files(py::object self_obj, py::object atoms, py::object output,
                       py::object formats) {
    Polycrystal& self = self_obj.cast<Polycrystal&>();
    const std::string prefix = py::str(self_obj.attr("prefix")).cast<std::string>();
    py::object path_type = globals["Path"];
    if (output.is_none() || py::str(output).cast<std::string>().empty()) {
        output = py::str(prefix + ".cfg");
    }
    py::object main_path = path_type(output);
    std::vector<std::string> extra;
    if (!formats.is_none()) {
        if (!py::isinstance<py::list>(formats) && !py::isinstance<py::tuple>(formats)) {
            throw py::type_error("formats must be a list of format names, not " +
                                 fb::type_name(formats));
        }
        for (py::handle f : formats) {
            fb::require_exact_str(f, "formats");
            extra.push_back(f.cast<std::string>());
        }
    }

    // Every format is checked before anything is written.
    std::string suffix = py::str(main_path.attr("suffix")).cast<std::string>();
    suffix = suffix.empty() ? "cfg" : suffix.substr(1);
    const std::optional<fio::OutputFormat> main_format = fio::resolve_output_format(suffix);
    if (!main_format) {
        value_error("cannot tell the format of " + py::str(main_path).cast<std::string>() +
                    " from its suffix; use .cfg, .xyz, .lmp, .vasp or another suffix ASE "
                    "writes");
    }
    std::vector<fio::OutputFormat> extra_formats;
    for (const std::string& token : extra) {
        const std::optional<fio::OutputFormat> f = fio::resolve_output_format(token);
        if (!f) {
            value_error("unknown output format " + py::repr(py::str(token)).cast<std::string>() +
                        "; use cfg, xyz, lmp, vasp or a format name ASE writes");
        }
        extra_formats.push_back(*f);
    }

    py::object folder = main_path.attr("parent");
    folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    // LAMMPS data holds no per-atom arrays: grain and lamella go to a side file.
    // Written for twinned structures, whose atoms carry lamella ids.
    std::vector<std::string> per_atom;
    if (py::dict(atoms.attr("arrays")).contains("lamella")) {
        for (const char* name : {"grain", "lamella"}) {
            if (py::dict(atoms.attr("arrays")).contains(name)) {
                per_atom.emplace_back(name);
            }
        }
    }
    auto write_side_file = [&](py::object path, const fio::OutputFormat& f) {
        if (f.ase_name != "lammps-data" || per_atom.empty()) {
            return;
        }
        py::object side = path.attr("with_name")(py::str(path.attr("stem")).cast<std::string>() +
                                                 "_per_atom.txt");
        fio::write_per_atom_table(globals, side, atoms, per_atom);
        fb::print_stderr_line("Per-atom grain data written to " +
                              py::str(side).cast<std::string>());
    };
    fio::write_structure(globals, main_path, atoms, *main_format);
    fb::print_line("Written to file " + py::str(main_path).cast<std::string>());
    write_side_file(main_path, *main_format);
    std::vector<py::object> written{main_path};
    for (const fio::OutputFormat& f : extra_formats) {
        py::object path = folder.attr("__truediv__")(prefix + "." + f.suffix);
        const bool repeated = std::any_of(written.begin(), written.end(),
                                          [&](const py::object& p) { return same_path(p, path); });
        if (repeated) {
            continue;
        }
        fio::write_structure(globals, path, atoms, f);
        fb::print_line("Written to file " + py::str(path).cast<std::string>());
        write_side_file(path, f);
        written.push_back(path);
    }
    py::object table = folder.attr("__truediv__")(prefix + "_grains.txt");
    write_grain_table(self, table, atoms);
    fb::print_line("Grain table written to " + py::str(table).cast<std::string>());
    if (self.drawn) {
        py::object path = write_node_file(self, folder);
        fb::print_line("Grain nodes and orientations written to " +
                       py::str(path).cast<std::string>());
    }
}

// ---------------------------------------------------------------------------
// Read-only views of the grains
// ---------------------------------------------------------------------------

// One row per grain of the given vector field.
py::array_t<double> grain_rows(const Polycrystal& self, Vec3 Grain::* field) {
    const auto n = static_cast<py::ssize_t>(self.grains.size());
    py::array_t<double> out({n, static_cast<py::ssize_t>(3)});
    auto view = out.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < n; ++k) {
        for (int c = 0; c < 3; ++c) {
            view(k, c) = (self.grains[static_cast<std::size_t>(k)].*field)[c];
        }
    }
    return out;
}

} // namespace

PYBIND11_MODULE(polycrystal, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Voronoi polycrystals built from a seed crystal.

The box is divided into the periodic Voronoi cells of a set of grain nodes;
each cell is filled with the seed crystal rotated to the grain's orientation.
Every atom carries the index of its grain in the per-atom array "grain".)doc";

    // Names resolved at call time; replace them on the module to change them.
    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    py::module_ ase_io = py::module_::import("ase.io");
    m.attr("read") = ase_io.attr("read");
    m.attr("write") = ase_io.attr("write");
    m.attr("np") = py::module_::import("numpy");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("DEFAULT_MAX_ATOMS") = py::int_(kDefaultMaxAtoms);

    m.def("read_params", &read_params, "source"_a,
          R"doc(Reads a polycrystal parameter file into the parameters it sets.

Args:
    source: The path of the file, or a file opened in text mode.

Each line is stripped; empty lines and lines starting with "#" are skipped;
the others are split at white space, the first word (any case) naming what the
line sets: "box x y z" (up to three lengths, the last line wins), "random n"
(number of grains, the last line wins), "lattice name" (lower-cased), "node x
y z tokens..." (one grain record per line: up to three coordinates, then the
orientation tokens as written). Other words are ignored.

Returns:
    dict: The keys set ("box", "random", "lattice", "node"), in the order of
    their first line, as ``Polycrystal`` takes them in ``params``.

Raises:
    ValueError: A number that does not convert, naming the file and line.
    IndexError: A "random" or "lattice" line without its value.
    OSError: The file cannot be opened.)doc");

    py::class_<Polycrystal>(m, "Polycrystal", py::dynamic_attr(),
                            R"doc(A Voronoi polycrystal generator.

Args:
    seed: The crystal that fills the grains: an ASE Atoms with a periodic cell
        of any shape and any number of elements, or the path of a structure file.
    params (dict): "box" (lengths x y z in Angstroms, or one for a cube) and one
        generation mode: "random" (number of grains, nodes and orientations
        drawn uniformly), "lattice" ("fcc", "bcc", "diamond" or "hcp": nodes on
        one cell of that lattice spanning the box, random orientations) or
        "node" (a list of {"pos": [x, y, z], "orient": tokens}; the tokens are
        three angles in degrees about x, then y, then z, three Miller directions
        of the seed such as "[100]" "[010]" "[001]" lying along x, y and z, or
        "random"). "param_file" names the file the parameters came from.
        "twin" fills every grain with coherent twin lamellae: a dict with
        "spacing" (mean twin spacing, Angstrom), "spread" (0 for a fixed
        spacing, else the relative spread of a lognormal), "plane" (Miller
        indices, default (1, 1, 1); each grain takes one of the equivalent
        planes at random), "operation" ("auto", "mirror" or "rotation", as
        the twin builder's) and "seed" (of the twin draws; drawn from rng
        when absent). Atoms then carry their lamella in the array "lamella".
    prefix (str): Stem of the files the generator writes.
    verbose (bool): Print progress and grain statistics, and write the nodes to
        "<prefix>_nodes.xyz".
    rng: Seed or numpy Generator for the random draws (None: fresh entropy).
    max_atoms (int): The largest structure accepted. The atom count is
        estimated before anything is drawn (box volume times the seed's atoms
        per volume); a larger estimate, or more grains than estimated atoms,
        raises ValueError naming the estimate. Default DEFAULT_MAX_ATOMS
        (50,000,000 atoms: about 2 GB while generating).

Raises:
    ValueError: A bad parameter, naming the node record at fault; a seed with
        non-finite positions or cell; a structure past max_atoms.
    TypeError: A seed that is neither an Atoms nor a path.)doc")
        .def(py::init(&make_polycrystal), "seed"_a, "params"_a, "prefix"_a = "polycrystal",
             "verbose"_a = false, "rng"_a = py::none(), "max_atoms"_a = py::int_(kDefaultMaxAtoms))
        .def_readwrite("seed", &Polycrystal::seed, "The seed crystal (an ASE Atoms).")
        .def_readwrite("params", &Polycrystal::params, "The parameters as given.")
        .def_readwrite("prefix", &Polycrystal::prefix, "Stem of the files written.")
        .def_readwrite("verbose", &Polycrystal::verbose, "Print progress and statistics.")
        .def_property_readonly(
            "box", [](const Polycrystal& self) { return py::array_t<double>(3, self.box.data()); },
            "Box lengths x, y, z (Angstrom).")
        .def_property_readonly(
            "nodes", [](const Polycrystal& self) { return grain_rows(self, &Grain::node); },
            "Grain nodes, one row per grain (Angstrom).")
        .def_property_readonly(
            "euler_angles",
            [](const Polycrystal& self) { return grain_rows(self, &Grain::angles); },
            "Grain orientations as angles in degrees about x, then y, then z.")
        .def_property_readonly(
            "rotations",
            [](const Polycrystal& self) {
                const auto n = static_cast<py::ssize_t>(self.grains.size());
                py::array_t<double> out(
                    {n, static_cast<py::ssize_t>(3), static_cast<py::ssize_t>(3)});
                auto view = out.mutable_unchecked<3>();
                for (py::ssize_t g = 0; g < n; ++g) {
                    for (int r = 0; r < 3; ++r) {
                        for (int c = 0; c < 3; ++c) {
                            view(g, r, c) = self.grains[static_cast<std::size_t>(g)].rotation[r][c];
                        }
                    }
                }
                return out;
            },
            "Grain rotations R (one 3x3 matrix per grain): a crystal vector v of the "
            "seed lies along R @ v in the grain.")
        .def_property_readonly(
            "grain_volumes",
            [](const Polycrystal& self) {
                py::array_t<double> out(static_cast<py::ssize_t>(self.cells.size()));
                for (std::size_t g = 0; g < self.cells.size(); ++g) {
                    out.mutable_at(static_cast<py::ssize_t>(g)) = self.cells[g].volume;
                }
                return out;
            },
            "Volumes of the grains' Voronoi cells (Angstrom^3).")
        .def_property_readonly(
            "lamellae",
            [](const Polycrystal& self) {
                py::list out;
                if (!self.twin.on) {
                    return out;
                }
                for (const Grain& g : self.grains) {
                    const fbu::LamellaTwin& v = self.twin.variants[g.variant];
                    const auto k = static_cast<py::ssize_t>(g.lamellae.size());
                    py::array_t<double> bounds({k, static_cast<py::ssize_t>(2)});
                    py::array_t<std::int64_t> layers(k);
                    for (py::ssize_t i = 0; i < k; ++i) {
                        const fbu::Lamella& l = g.lamellae[static_cast<std::size_t>(i)];
                        bounds.mutable_at(i, 0) = l.lower;
                        bounds.mutable_at(i, 1) = l.upper;
                        layers.mutable_at(i) = l.layers;
                    }
                    const Vec3 n = fbu::mul(g.rotation, v.normal);
                    py::dict d;
                    d["plane"] = py::make_tuple(v.hkl[0], v.hkl[1], v.hkl[2]);
                    d["normal"] = py::array_t<double>(3, n.data());
                    d["spacing"] = v.spacing;
                    d["operation"] = v.mirror ? "mirror" : "rotation";
                    d["first_id"] = g.first_lamella;
                    d["bounds"] = bounds;
                    d["layers"] = layers;
                    out.append(d);
                }
                return out;
            },
            R"doc(The twin lamellae of every grain (empty without twins): per grain a dict
with "plane" (the Miller indices of its twin planes in the seed), "normal"
(their unit normal in the box), "spacing" (d(hkl), Angstrom), "operation"
("mirror" or "rotation"), "first_id" (the per-atom lamella id of its first
lamella), "bounds" (lower and upper height of each lamella along the
normal, from the grain's node, Angstrom; the outer ones open) and "layers"
(each lamella's thickness in spacings d(hkl)).)doc")
        .def("generate_polycrystal", &generate_polycrystal, "wrap"_a = true,
             "remove_doubles"_a = py::none(), R"doc(Builds the polycrystal.

Args:
    wrap (bool): Put every atom inside the box; otherwise atoms of grains
        that cross a face keep positions just outside it.
    remove_doubles (float | None): Remove one atom of every pair closer than
        this distance (Angstrom), across grain boundaries and periodic faces;
        of two close atoms the one generated first is kept.

Returns:
    ase.Atoms: the periodic polycrystal, with the grain index of every atom
    in the array "grain".)doc")
        .def("write_final_files", &write_final_files, "atoms"_a, "output"_a = "polycrystal.cfg",
             "formats"_a = py::none(), R"doc(Writes the polycrystal and its grain table.

Args:
    atoms: The structure to write (usually from generate_polycrystal).
    output: The main output file (its folder is created if need be); its
        suffix chooses the format (".cfg" when it has none; an empty name
        means "<prefix>.cfg").
    formats (list[str] | None): Further formats, each written beside the main
        output as "<prefix>.<name>": "cfg", "xyz" (extended XYZ), "lmp"
        (LAMMPS data, atom style atomic), "vasp", or any format name or file
        extension that ASE writes.

The grain table "<prefix>_grains.txt" (node, orientation, atom count, volume
and equivalent diameter of every grain) goes beside the main output, and so,
when nodes or orientations were drawn at random, does "<prefix>_params.txt":
a parameter file that gives the same structure again (never written over the
parameter file that was read). Every format is checked before anything is
written, and every file is written whole or not at all: a failed write leaves
an existing file as it was.)doc")
        .def("__repr__", [](const Polycrystal& self) {
            return "Polycrystal(" + std::to_string(self.grains.size()) + " grains, " + self.mode +
                   ", box " + box_text(self.box) + ", seed " +
                   py::str(self.seed.attr("get_chemical_formula")()).cast<std::string>() + ")";
        });
}
