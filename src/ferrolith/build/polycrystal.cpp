// ferrolith.build.polycrystal: Voronoi polycrystals built from a seed crystal.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/build/close_pairs.hpp"
#include "ferrolith/build/grain_fill.hpp"
#include "ferrolith/build/grain_nodes.hpp"
#include "ferrolith/build/orientation.hpp"
#include "ferrolith/build/structure_text.hpp"
#include "ferrolith/build/voronoi.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fbu = ferrolith::build;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

using fbu::Mat3;
using fbu::Vec3;

// Nodes closer than this (Å) are one node given twice.
constexpr double kCoincidentNodes = 1e-4;
// Atoms this close to a cell face (Å) count as on it; the face's tie rule decides.
constexpr double kTieTolerance = 1e-6;
// Generations at least this large report progress even when not verbose.
constexpr std::size_t kProgressAtoms = 5'000'000;

constexpr const char* kModes[] = {"random", "lattice", "node"};

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

std::string repr_float(double x) {
    return py::repr(py::float_(x)).cast<std::string>();
}

std::string fixed(double x, int digits) {
    return fb::python_format(py::float_(x), ("." + std::to_string(digits) + "f").c_str());
}

std::string grouped(std::size_t n) {
    return fb::python_format(py::int_(n), ",");
}

std::string box_text(const Vec3& box) {
    return fb::python_format(py::float_(box[0]), "g") + " x " +
           fb::python_format(py::float_(box[1]), "g") + " x " +
           fb::python_format(py::float_(box[2]), "g");
}

[[noreturn]] void value_error(const std::string& message) {
    throw py::value_error(message);
}

// ---------------------------------------------------------------------------
// The engine's state
// ---------------------------------------------------------------------------

struct Grain {
    Vec3 node{};
    Mat3 rotation{};
    Vec3 angles{}; // degrees about x, then y, then z
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

void parse_params(Polycrystal& self, py::object rng) {
    fb::require_exact_dict(self.params, "params");
    py::dict params = py::reinterpret_borrow<py::dict>(self.params);
    for (auto item : params) {
        const std::string key = py::str(item.first).cast<std::string>();
        if (key != "box" && key != "random" && key != "lattice" && key != "node" &&
            key != "param_file") {
            value_error("unknown parameter " + py::repr(item.first).cast<std::string>() +
                        "; the parameters are box, random, lattice, node and param_file");
        }
    }
    if (!params.contains("box")) {
        value_error("params need a 'box': the box lengths x y z in Angstroms");
    }
    self.box = parse_box(params["box"]);

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
    if (self.mode == "random") {
        const long long n = parse_grain_count(params["random"]);
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
        py::object generator = make_rng(rng);
        const std::vector<Vec3> how = uniforms(generator, nodes->size());
        for (std::size_t k = 0; k < nodes->size(); ++k) {
            self.grains.push_back(random_orientation((*nodes)[k], how[k]));
        }
        self.drawn = true;
    } else {
        self.grains = parse_node_records(params["node"], self.crystal, self.box, rng, self.drawn);
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
// Construction
// ---------------------------------------------------------------------------

Polycrystal make_polycrystal(py::object seed, py::object params, py::object prefix,
                             py::object verbose, py::object rng) {
    Polycrystal self;
    fb::require_exact_str(prefix, "prefix");
    self.seed = load_seed(seed);
    self.params = params;
    self.prefix = prefix;
    self.verbose = verbose;
    self.crystal = seed_crystal(self.seed);
    parse_params(self, rng);
    std::vector<Vec3> nodes;
    for (const Grain& g : self.grains) {
        nodes.push_back(g.node);
    }
    {
        py::gil_scoped_release release;
        self.cells = fbu::periodic_voronoi(nodes, self.box);
    }
    return self;
}

// ---------------------------------------------------------------------------
// Files under the prefix
// ---------------------------------------------------------------------------

bool same_path(py::object a, py::object b) {
    py::object path = globals["Path"];
    return path(a).attr("resolve")().equal(path(b).attr("resolve")());
}

// Writes the drawn nodes as a parameter file that gives this structure again;
// never over the parameter file that was read. Returns its path.
py::object write_node_file(const Polycrystal& self) {
    const std::string prefix = self.prefix.cast<std::string>();
    py::object path = globals["Path"](prefix + "_params.txt");
    py::dict params = py::reinterpret_borrow<py::dict>(self.params);
    if (params.contains("param_file")) {
        for (int k = 1; same_path(path, params["param_file"]); ++k) {
            path = globals["Path"](prefix + "_params_" + std::to_string(k) + ".txt");
        }
    }
    std::string text = "# Grain nodes of a polycrystal: position x y z (Angstrom), then the\n"
                       "# orientation as angles in degrees about x, then y, then z.\n"
                       "# Give this file as the parameter file to build the same structure.\n";
    text += "box " + repr_float(self.box[0]) + " " + repr_float(self.box[1]) + " " +
            repr_float(self.box[2]) + "\n";
    for (const Grain& g : self.grains) {
        text += "node";
        for (double x : g.node) {
            text += " " + repr_float(x);
        }
        for (double a : g.angles) {
            text += " " + repr_float(a);
        }
        text += "\n";
    }
    path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    path.attr("write_text")(text);
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
    globals["write"](path, nodes, "format"_a = "extxyz");
    fb::print_line("Grain nodes written to " + path);
}

// ---------------------------------------------------------------------------
// Generation
// ---------------------------------------------------------------------------

void print_statistics(const Polycrystal& self, std::size_t n_atoms) {
    const std::size_t n = self.grains.size();
    double v_min = HUGE_VAL, v_max = 0, v_sum = 0;
    double d_min = HUGE_VAL, d_max = 0, d_sum = 0;
    std::size_t c_min = SIZE_MAX, c_max = 0;
    for (std::size_t g = 0; g < n; ++g) {
        const double v = self.cells[g].volume;
        const double d = std::cbrt(6.0 * v / M_PI);
        v_min = std::min(v_min, v), v_max = std::max(v_max, v), v_sum += v;
        d_min = std::min(d_min, d), d_max = std::max(d_max, d), d_sum += d;
        c_min = std::min(c_min, self.last_counts[g]);
        c_max = std::max(c_max, self.last_counts[g]);
    }
    const double nn = static_cast<double>(n);
    fb::print_line("Grain volume (Angstrom^3): mean " + fixed(v_sum / nn, 1) + ", min " +
                   fixed(v_min, 1) + ", max " + fixed(v_max, 1));
    fb::print_line("Equivalent diameter (Angstrom): mean " + fixed(d_sum / nn, 2) + ", min " +
                   fixed(d_min, 2) + ", max " + fixed(d_max, 2));
    fb::print_line("Atoms per grain: mean " + fixed(static_cast<double>(n_atoms) / nn, 1) +
                   ", min " + grouped(c_min) + ", max " + grouped(c_max));
}

py::object generate_polycrystal(py::object self_obj, py::object wrap, py::object remove_doubles) {
    Polycrystal& self = self_obj.cast<Polycrystal&>();
    const std::optional<double> radius = fb::to_float_or_none(remove_doubles, "remove_doubles");
    const double half_box = 0.5 * std::min({self.box[0], self.box[1], self.box[2]});
    if (radius && !(*radius >= 0.0 && *radius <= half_box)) {
        value_error("remove_doubles must lie between 0 and half the smallest box length (" +
                    fb::python_format(py::float_(half_box), "g") + " Angstrom), got " +
                    repr_float(*radius));
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
    if (self.drawn) {
        py::object path = write_node_file(self);
        fb::print_line("Grain nodes and orientations written to " +
                       py::str(path).cast<std::string>());
    }
    if (verbose) {
        write_nodes_structure(self);
    }

    // Count first, then build straight into the arrays the Atoms will own.
    std::vector<fbu::GrainLattice> lattices;
    std::vector<std::size_t> counts;
    std::size_t total = 0;
    {
        py::gil_scoped_release release;
        for (std::size_t g = 0; g < self.grains.size(); ++g) {
            lattices.emplace_back(self.crystal, self.grains[g].node, self.grains[g].rotation,
                                  self.cells[g], kTieTolerance);
            counts.push_back(lattices.back().count());
            total += counts.back();
        }
    }
    const auto n_total = static_cast<py::ssize_t>(total);
    py::array_t<double> positions({n_total, static_cast<py::ssize_t>(3)});
    py::array_t<std::int64_t> numbers(n_total);
    py::array_t<std::int64_t> grain(n_total);
    double* pos = positions.mutable_data();
    std::int64_t* num = numbers.mutable_data();
    std::int64_t* gr = grain.mutable_data();

    const bool progress = verbose || total >= kProgressAtoms;
    std::size_t done = 0;
    int reported = 0;
    for (std::size_t g = 0; g < lattices.size(); ++g) {
        {
            py::gil_scoped_release release;
            lattices[g].fill(pos + 3 * done, num + done, gr + done, static_cast<std::int64_t>(g));
            lattices[g].release();
        }
        done += counts[g];
        const int percent = total == 0 ? 100 : static_cast<int>(100.0 * done / total);
        if (progress && (percent / 10 > reported / 10 || g + 1 == lattices.size())) {
            reported = percent;
            fb::print_line("Generating grains: " + std::to_string(percent) + "% (" +
                           std::to_string(g + 1) + " of " + std::to_string(lattices.size()) +
                           " grains, " + grouped(done) + " atoms)");
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
            std::fill(self.last_counts.begin(), self.last_counts.end(), 0);
            for (std::size_t a = 0; a < kept; ++a) {
                ++self.last_counts[static_cast<std::size_t>(gr[a])];
            }
        }
        // Shrinking in place gives the tail back without copying the arrays.
        const auto n_kept = static_cast<py::ssize_t>(kept);
        positions.resize({n_kept, static_cast<py::ssize_t>(3)}, false);
        numbers.resize({n_kept}, false);
        grain.resize({n_kept}, false);
        if (verbose) {
            fb::print_line("Removed " + grouped(total - kept) + " atoms closer than " +
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

    if (verbose) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        fb::print_line("Generated " + grouped(n_atoms) + " atoms in " + fixed(seconds, 2) + " s");
        print_statistics(self, n_atoms);
    }
    return atoms;
}

// ---------------------------------------------------------------------------
// Output files
// ---------------------------------------------------------------------------

struct OutputFormat {
    std::string ase_name; // format name for ase.io.write
    std::string suffix;   // file suffix without the dot
    py::dict options;     // keywords for ase.io.write
};

// Short names users type, and what they mean.
std::optional<OutputFormat> known_format(const std::string& token) {
    if (token == "cfg") {
        return OutputFormat{"cfg", "cfg", {}};
    }
    if (token == "xyz" || token == "extxyz") {
        return OutputFormat{"extxyz", token, {}};
    }
    if (token == "lmp" || token == "lammps" || token == "data" || token == "lammps-data") {
        py::dict options;
        options["atom_style"] = "atomic";
        options["masses"] = true;
        return OutputFormat{"lammps-data", token == "lammps-data" ? "lmp" : token, options};
    }
    if (token == "vasp" || token == "poscar") {
        return OutputFormat{"vasp", "vasp", {}};
    }
    return std::nullopt;
}

// A format given by name or by suffix: our short names first, then every
// format ASE can write, by name or by file extension.
std::optional<OutputFormat> resolve_format(std::string token) {
    token = py::str(py::str(token).attr("lower")()).cast<std::string>();
    if (auto f = known_format(token)) {
        return f;
    }
    py::dict ioformats = py::module_::import("ase.io.formats").attr("ioformats");
    if (ioformats.contains(token)) {
        py::object fmt = ioformats[py::str(token)];
        if (py::bool_(fmt.attr("can_write"))) {
            return OutputFormat{token, token, {}};
        }
    }
    for (auto item : ioformats) {
        py::object fmt = py::reinterpret_borrow<py::object>(item.second);
        if (!py::bool_(fmt.attr("can_write"))) {
            continue;
        }
        for (py::handle ext : fmt.attr("extensions")) {
            if (py::str(ext).cast<std::string>() == token) {
                return OutputFormat{py::str(item.first).cast<std::string>(), token, {}};
            }
        }
    }
    return std::nullopt;
}

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Atoms per chunk of text handed to the file.
constexpr std::size_t kChunkAtoms = 1 << 16;
// Files of at least this many atoms report progress while they are written.
constexpr std::size_t kProgressWriteAtoms = 1'000'000;

// Writes `header`, then the text of the atoms chunk by chunk.
template <class Format>
void write_in_chunks(py::object path, const std::string& header, std::size_t n, Format format) {
    py::object fd = path.attr("open")("w");
    const bool progress = n >= kProgressWriteAtoms;
    int reported = 0;
    try {
        fd.attr("write")(header);
        std::string text;
        for (std::size_t begin = 0; begin < n; begin += kChunkAtoms) {
            const std::size_t end = std::min(n, begin + kChunkAtoms);
            text.clear();
            {
                py::gil_scoped_release release;
                format(text, begin, end);
            }
            fd.attr("write")(py::str(text));
            const int percent = static_cast<int>(100.0 * static_cast<double>(end) / n);
            if (progress && percent / 25 > reported / 25) {
                reported = percent;
                fb::print_line("Writing " + py::str(path).cast<std::string>() + ": " +
                               std::to_string(percent) + "%");
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
        }
    } catch (...) {
        fd.attr("close")();
        throw;
    }
    fd.attr("close")();
}

struct ElementTables {
    std::vector<double> mass;
    std::vector<std::string> symbol;
};

ElementTables element_tables() {
    py::module_ data = py::module_::import("ase.data");
    ElementTables t;
    for (py::handle m : data.attr("atomic_masses")) {
        t.mass.push_back(m.cast<double>());
    }
    for (py::handle s : data.attr("chemical_symbols")) {
        t.symbol.push_back(s.cast<std::string>());
    }
    return t;
}

// Atomic numbers of the atoms, or nothing when one has no entry in ASE's tables.
std::optional<IntArray> known_numbers(py::handle atoms, const ElementTables& tables) {
    IntArray numbers = IntArray::ensure(atoms.attr("arrays")["numbers"]);
    for (py::ssize_t a = 0; a < numbers.size(); ++a) {
        const std::int64_t z = numbers.data()[a];
        if (z < 0 || static_cast<std::size_t>(z) >= tables.symbol.size()) {
            return std::nullopt;
        }
    }
    return numbers;
}

// CFG as ASE writes it, for structures whose extra arrays are numbers.
// Returns false (nothing written) for anything else.
bool write_cfg_fast(py::object path, py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    std::vector<DoubleArray> keep_alive;
    std::vector<fbu::AuxColumns> aux;
    for (auto item : arrays) {
        const std::string name = py::str(item.first).cast<std::string>();
        if (name == "positions" || name == "numbers" || name == "magmoms" || name == "momenta") {
            continue;
        }
        py::array values = py::reinterpret_borrow<py::array>(item.second);
        const char kind = values.dtype().kind();
        if ((kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') || values.ndim() < 1 ||
            values.ndim() > 2) {
            return false;
        }
        keep_alive.push_back(DoubleArray::ensure(values));
        const std::size_t width =
            values.ndim() == 2 ? static_cast<std::size_t>(values.shape(1)) : 1;
        aux.push_back({name, width, keep_alive.back().data()});
    }
    const ElementTables tables = element_tables();
    const std::optional<IntArray> numbers = known_numbers(atoms, tables);
    if (!numbers) {
        return false;
    }
    DoubleArray scaled = DoubleArray::ensure(atoms.attr("get_scaled_positions")());
    py::object v = atoms.attr("get_velocities")();
    DoubleArray velocities = v.is_none() ? DoubleArray() : DoubleArray::ensure(v);
    const double* vp = v.is_none() ? nullptr : velocities.data();
    DoubleArray cell = DoubleArray::ensure(atoms.attr("get_cell")("complete"_a = true));
    Mat3 h{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            h[r][c] = cell.at(r, c);
        }
    }
    const auto n = static_cast<std::size_t>(numbers->size());
    const double* sp = scaled.data();
    const std::int64_t* z = numbers->data();
    write_in_chunks(path, fbu::cfg_header(n, h, vp != nullptr, aux), n,
                    [&](std::string& out, std::size_t begin, std::size_t end) {
                        fbu::append_cfg_atoms(out, begin, end, sp, vp, z, aux, tables.mass,
                                              tables.symbol);
                    });
    return true;
}

// LAMMPS data (atomic style, with masses) as ASE writes it, for orthorhombic
// boxes with standard masses and no explicit atom types. Returns false
// (nothing written) for anything else.
bool write_lammps_fast(py::object path, py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    if (arrays.contains("type") || arrays.contains("masses")) {
        return false;
    }
    DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
    Vec3 box{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            if (r != c && cell.at(r, c) != 0.0) {
                return false;
            }
        }
        box[r] = cell.at(r, r);
        if (!(box[r] > 0.0)) {
            return false;
        }
    }
    const ElementTables tables = element_tables();
    const std::optional<IntArray> numbers = known_numbers(atoms, tables);
    if (!numbers) {
        return false;
    }
    const auto n = static_cast<std::size_t>(numbers->size());
    const std::int64_t* z = numbers->data();
    // Types in the alphabetical order of the symbols present.
    std::vector<bool> present(tables.symbol.size(), false);
    for (std::size_t a = 0; a < n; ++a) {
        present[static_cast<std::size_t>(z[a])] = true;
    }
    std::vector<std::pair<std::string, std::size_t>> species;
    for (std::size_t k = 0; k < present.size(); ++k) {
        if (present[k]) {
            species.emplace_back(tables.symbol[k], k);
        }
    }
    std::sort(species.begin(), species.end());
    std::vector<std::string> names;
    std::vector<double> masses;
    std::vector<int> type_of(tables.symbol.size(), 0);
    // ASE's unit conversion, so the masses come out digit for digit as its writer's.
    py::object convert = py::module_::import("ase.calculators.lammps").attr("convert");
    for (std::size_t t = 0; t < species.size(); ++t) {
        names.push_back(species[t].first);
        masses.push_back(
            convert(tables.mass[species[t].second], "mass", "ASE", "metal").cast<double>());
        type_of[species[t].second] = static_cast<int>(t + 1);
    }
    DoubleArray positions = DoubleArray::ensure(atoms.attr("arrays")["positions"]);
    const double* pos = positions.data();
    write_in_chunks(path, fbu::lammps_data_header(n, box, names, masses), n,
                    [&](std::string& out, std::size_t begin, std::size_t end) {
                        fbu::append_lammps_atoms(out, begin, end, pos, z, type_of);
                    });
    return true;
}

void write_structure(py::object path, py::object atoms, const OutputFormat& format) {
    // The two formats of large MD inputs get a writer of their own; ASE's take
    // minutes for millions of atoms.
    if (format.ase_name == "cfg" && write_cfg_fast(path, atoms)) {
        return;
    }
    if (format.ase_name == "lammps-data" && write_lammps_fast(path, atoms)) {
        return;
    }
    globals["write"](path, atoms, "format"_a = format.ase_name, **format.options);
}

void write_grain_table(const Polycrystal& self, py::object path, py::object atoms) {
    const std::size_t n = self.grains.size();
    std::vector<std::size_t> counts = self.last_counts;
    counts.resize(n, 0);
    py::dict arrays = atoms.attr("arrays");
    if (arrays.contains("grain")) {
        py::array_t<std::int64_t> grain =
            py::array_t<std::int64_t, py::array::forcecast>::ensure(arrays["grain"]);
        std::fill(counts.begin(), counts.end(), 0);
        for (py::ssize_t a = 0; a < grain.size(); ++a) {
            const std::int64_t g = grain.at(a);
            if (g >= 0 && static_cast<std::size_t>(g) < n) {
                ++counts[static_cast<std::size_t>(g)];
            }
        }
    }
    std::string text = "# Grains of a Voronoi polycrystal in a box of " + box_text(self.box) +
                       " Angstrom\n"
                       "# grain: index in the per-atom array 'grain'; node x y z (Angstrom);\n"
                       "# orientation: angles in degrees about x, then y, then z;\n"
                       "# atoms; volume of the Voronoi cell (Angstrom^3); diameter of the sphere\n"
                       "# of that volume (Angstrom)\n"
                       "# grain           x           y           z       rot_x       rot_y"
                       "       rot_z      atoms        volume  diameter\n";
    for (std::size_t g = 0; g < n; ++g) {
        const Grain& grain = self.grains[g];
        const double volume = self.cells[g].volume;
        std::string line = fb::python_format(py::int_(g), "7d");
        for (double x : grain.node) {
            line += " " + fb::python_format(py::float_(x), "11.4f");
        }
        for (double a : grain.angles) {
            line += " " + fb::python_format(py::float_(a), "11.4f");
        }
        line += " " + fb::python_format(py::int_(counts[g]), "10d");
        line += " " + fb::python_format(py::float_(volume), "13.2f");
        line += " " + fb::python_format(py::float_(std::cbrt(6.0 * volume / M_PI)), "9.3f");
        text += line + "\n";
    }
    path.attr("write_text")(text);
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
    const std::optional<OutputFormat> main_format = resolve_format(suffix);
    if (!main_format) {
        value_error("cannot tell the format of " + py::str(main_path).cast<std::string>() +
                    " from its suffix; use .cfg, .xyz, .lmp, .vasp or another suffix ASE "
                    "writes");
    }
    std::vector<OutputFormat> extra_formats;
    for (const std::string& token : extra) {
        const std::optional<OutputFormat> f = resolve_format(token);
        if (!f) {
            value_error("unknown output format " + py::repr(py::str(token)).cast<std::string>() +
                        "; use cfg, xyz, lmp, vasp or a format name ASE writes");
        }
        extra_formats.push_back(*f);
    }

    py::object folder = main_path.attr("parent");
    folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    write_structure(main_path, atoms, *main_format);
    fb::print_line("Written to file " + py::str(main_path).cast<std::string>());
    std::vector<py::object> written{main_path};
    for (const OutputFormat& f : extra_formats) {
        py::object path = folder.attr("__truediv__")(prefix + "." + f.suffix);
        const bool repeated = std::any_of(written.begin(), written.end(),
                                          [&](const py::object& p) { return same_path(p, path); });
        if (repeated) {
            continue;
        }
        write_structure(path, atoms, f);
        fb::print_line("Written to file " + py::str(path).cast<std::string>());
        written.push_back(path);
    }
    py::object table = folder.attr("__truediv__")(prefix + "_grains.txt");
    write_grain_table(self, table, atoms);
    fb::print_line("Grain table written to " + py::str(table).cast<std::string>());
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
    prefix (str): Stem of the files the generator writes.
    verbose (bool): Print progress and grain statistics, and write the nodes to
        "<prefix>_nodes.xyz".
    rng: Seed or numpy Generator for the random draws (None: fresh entropy).

Raises:
    ValueError: A bad parameter, naming the node record at fault.
    TypeError: A seed that is neither an Atoms nor a path.)doc")
        .def(py::init(&make_polycrystal), "seed"_a, "params"_a, "prefix"_a = "polycrystal",
             "verbose"_a = false, "rng"_a = py::none())
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
    in the array "grain". When nodes or orientations were drawn at random,
    they are written first to "<prefix>_params.txt", a parameter file that
    gives the same structure again.)doc")
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
and equivalent diameter of every grain) goes beside the main output. Every
format is checked before anything is written.)doc")
        .def("__repr__", [](const Polycrystal& self) {
            return "Polycrystal(" + std::to_string(self.grains.size()) + " grains, " + self.mode +
                   ", box " + box_text(self.box) + ", seed " +
                   py::str(self.seed.attr("get_chemical_formula")()).cast<std::string>() + ")";
        });
}
