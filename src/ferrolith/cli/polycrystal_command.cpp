// ferrolith.cli.polycrystal: the `polycrystal` subcommand.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/build/atom_order.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fbu = ferrolith::build;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kHelp = "Generate Polycrystal.";
constexpr const char* kNoBox =
    "A final box size is required. Use --box or define it in --param-file.";
constexpr const char* kNoMode =
    "A generation mode is required. Use --random, --lattice, or --node.";
constexpr const char* kNoTwinSpacing =
    "Twinned grains need a twin spacing. Use --twin-spacing or a twin line in --param-file.";
constexpr const char* kRule = "============================================================";

// The namespace attribute that lists the destinations of the options typed on
// the command line (a frozenset). A namespace without it counts every option as
// typed.
constexpr const char* kTypedRecord = "typed_options";

// ---------------------------------------------------------------------------
// Options that record being typed
// ---------------------------------------------------------------------------

void record_typed(py::handle namespace_, py::handle dest) {
    py::set typed;
    py::object previous = py::getattr(namespace_, kTypedRecord, py::none());
    if (!previous.is_none()) {
        for (py::handle d : previous) {
            typed.add(d);
        }
    }
    typed.add(dest);
    py::setattr(namespace_, kTypedRecord, py::module_::import("builtins").attr("frozenset")(typed));
}

// A subclass of one of argparse's actions that stores as its base does, then
// adds its destination to the record of typed options.
py::object typed_action(py::module_& m, const char* name, const char* base_name, const char* doc) {
    py::object base = py::module_::import("argparse").attr(base_name);
    py::dict body;
    body["__doc__"] = doc;
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = name;
    py::object cls = py::module_::import("builtins").attr("type")(name, py::make_tuple(base), body);
    const std::string base_attr = base_name;
    cls.attr("__call__") = py::cpp_function(
        [base_attr](py::object self, py::object parser, py::object namespace_, py::object values,
                    py::object option_string) {
            py::module_::import("argparse")
                .attr(base_attr.c_str())
                .attr("__call__")(self, parser, namespace_, values, option_string);
            record_typed(namespace_, self.attr("dest"));
        },
        py::name("__call__"), py::is_method(cls), "parser"_a, "namespace"_a, "values"_a,
        "option_string"_a = py::none());
    m.attr(name) = cls;
    return cls;
}

// ---------------------------------------------------------------------------
// register_parser
// ---------------------------------------------------------------------------

void register_parser(py::object subparsers) {
    py::object parser =
        subparsers.attr("add_parser")("polycrystal", "help"_a = kHelp, "description"_a = kHelp,
                                      "formatter_class"_a = globals["CombinedFormatter"]);
    // Until an option is typed, the record is empty.
    py::dict no_record;
    no_record[kTypedRecord] = py::module_::import("builtins").attr("frozenset")();
    parser.attr("set_defaults")(**no_record);
    py::object store = globals["_TypedStore"];
    py::object append = globals["_TypedAppend"];
    py::object str_type = py::module_::import("builtins").attr("str");
    py::object int_type = py::module_::import("builtins").attr("int");
    py::object float_type = globals["finite_float"];

    parser.attr("add_argument")("-f", "--filename", "type"_a = str_type,
                                "help"_a = "filename of the structure file (e.g., POSCAR, "
                                           "CONTCAR, cif).");
    parser.attr("add_argument")("--prefix", "type"_a = str_type, "default"_a = "polycrystal",
                                "help"_a = "The prefix of the output files");
    parser.attr("add_argument")("-o", "--output", "type"_a = str_type,
                                "default"_a = "polycrystal.cfg",
                                "help"_a = "Path for the main output file (optional for "
                                           "default run).");
    parser.attr("add_argument")("--param-file",
                                "help"_a = "[Optional] Path to a text file with generation "
                                           "parameters.");
    py::object group = parser.attr("add_mutually_exclusive_group")("required"_a = false);
    group.attr("add_argument")("--random", "type"_a = int_type, "default"_a = 8, "action"_a = store,
                               "help"_a = "Generate N random grains.");
    group.attr("add_argument")(
        "--lattice", "choices"_a = py::make_tuple("fcc", "bcc", "diamond", "hcp"),
        "action"_a = store, "help"_a = "Arrange grains on a crystal lattice.");
    group.attr("add_argument")("--node", "nargs"_a = "+", "action"_a = append,
                               "help"_a = "Define a grain explicitly. Can be used multiple "
                                          "times.\nEx: --node 10 10 10 45 30 0");
    py::list box_default;
    for (int k = 0; k < 3; ++k) {
        box_default.append(80.0);
    }
    parser.attr("add_argument")("--box", "nargs"_a = 3, "type"_a = float_type,
                                "default"_a = box_default, "action"_a = store,
                                "help"_a = "Size of the final simulation box (x y z).");
    parser.attr("add_argument")("--formats", "nargs"_a = "*", "default"_a = py::list(),
                                "help"_a = "List of additional output formats (e.g., xyz cfg).");
    parser.attr("add_argument")("--remove-doubles", "type"_a = float_type, "metavar"_a = "R",
                                "help"_a = "Remove atoms closer than R Angstroms.");
    parser.attr("add_argument")("--no-wrap", "action"_a = "store_true",
                                "help"_a = "Do not wrap atoms into the box.");
    parser.attr("add_argument")("--verbose", "action"_a = "store_true",
                                "help"_a = "Print debug messages and write intermediate files.");
    parser.attr("add_argument")("--no-sort", "action"_a = "store_true",
                                "help"_a = "Do not sort ordering of by symbols");
    parser.attr("add_argument")(
        "--max-atoms", "type"_a = int_type, "metavar"_a = "N",
        "help"_a = "Refuse a structure estimated (box volume times the seed's atoms per "
                   "volume) to hold more than N atoms (default: 50,000,000).");
    parser.attr("add_argument")(
        "--twin-spacing", "type"_a = float_type, "metavar"_a = "L", "action"_a = store,
        "help"_a = "Fill every grain with coherent twin lamellae of mean spacing L Angstroms.");
    parser.attr("add_argument")("--twin-plane", "nargs"_a = 3, "type"_a = int_type,
                                "metavar"_a = py::make_tuple("H", "K", "L"), "action"_a = store,
                                "help"_a = "Miller indices of the twin planes (default: 1 1 1); "
                                           "each grain takes one of the equivalent planes at "
                                           "random.");
    parser.attr("add_argument")(
        "--twin-operation", "choices"_a = py::make_tuple("auto", "mirror", "rotation"),
        "action"_a = store,
        "help"_a = "How a twin is made from its parent, as in the boundary command (default: "
                   "auto).");
    parser.attr("add_argument")(
        "--twin-spread", "type"_a = float_type, "metavar"_a = "S", "action"_a = store,
        "help"_a = "Spread of the twin spacings: 0 for a fixed spacing (default), else the "
                   "relative spread (standard deviation over mean) of a lognormal.");
    parser.attr("add_argument")(
        "--seed", "type"_a = globals["non_negative_int"], "metavar"_a = "N",
        "help"_a = "Seed of the random draws, for a structure that can be built again.");
    parser.attr("set_defaults")("command"_a = "polycrystal");
}

// ---------------------------------------------------------------------------
// Parameter file
// ---------------------------------------------------------------------------

py::dict node_record(const py::list& tokens) {
    py::dict record;
    py::list pos;
    py::list orient;
    for (std::size_t k = 0; k < py::len(tokens); ++k) {
        if (k < 3) {
            pos.append(py::float_(tokens[k]));
        } else {
            orient.append(tokens[k]);
        }
    }
    record["pos"] = pos;
    record["orient"] = orient;
    return record;
}

// The file's parameters added to `params`, read by the engine's reader from
// the file opened here.
void read_param_file(py::dict& params, py::object path) {
    py::object file = globals["open"](path, "r");
    py::dict read;
    try {
        read = globals["read_params"](file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    for (auto item : read) {
        params[item.first] = item.second;
    }
}

// ---------------------------------------------------------------------------
// Sorting by chemical symbol
// ---------------------------------------------------------------------------

// The arrays of `atoms` as rows to permute in place, or nothing when one of
// them cannot be: not a contiguous, writeable numpy array that owns its
// numbers (a view would change its base), or one holding Python objects.
std::optional<std::vector<fbu::RowArray>> permutable_arrays(py::dict arrays, std::size_t n) {
    std::vector<fbu::RowArray> rows;
    for (auto item : arrays) {
        if (!py::isinstance<py::array>(item.second)) {
            return std::nullopt;
        }
        py::array a = py::reinterpret_borrow<py::array>(item.second);
        const bool plain = (a.flags() & py::array::c_style) != 0 && a.writeable() && a.owndata();
        // Numbers and fixed-width strings move as bytes; objects do not.
        const char kind = a.dtype().kind();
        const bool bytes = std::string("biufcSU").find(kind) != std::string::npos;
        if (!plain || !bytes || a.ndim() < 1 || static_cast<std::size_t>(a.shape(0)) != n) {
            return std::nullopt;
        }
        rows.push_back({a.mutable_data(), n == 0 ? 0 : static_cast<std::size_t>(a.nbytes()) / n});
    }
    return rows;
}

// Each atom's key: the rank of its chemical symbol among the symbols present,
// in the order of the symbol strings. Nothing for a number without a symbol.
std::optional<std::vector<std::uint8_t>> symbol_ranks(py::handle numbers_array) {
    using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    const IntArray numbers = IntArray::ensure(numbers_array);
    if (!numbers) {
        PyErr_Clear();
        return std::nullopt;
    }
    py::list table = py::module_::import("ase.data").attr("chemical_symbols");
    const auto n_symbols = static_cast<std::int64_t>(py::len(table));
    const std::int64_t* z = numbers.data();
    const auto n = static_cast<std::size_t>(numbers.size());
    std::vector<bool> present(static_cast<std::size_t>(n_symbols), false);
    for (std::size_t a = 0; a < n; ++a) {
        if (z[a] < 0 || z[a] >= n_symbols) {
            return std::nullopt;
        }
        present[static_cast<std::size_t>(z[a])] = true;
    }
    std::vector<std::pair<std::string, std::size_t>> symbols;
    for (std::size_t k = 0; k < present.size(); ++k) {
        if (present[k]) {
            symbols.emplace_back(table[k].cast<std::string>(), k);
        }
    }
    std::sort(symbols.begin(), symbols.end());
    std::vector<std::uint8_t> rank_of(present.size(), 0);
    for (std::size_t r = 0; r < symbols.size(); ++r) {
        rank_of[symbols[r].second] = static_cast<std::uint8_t>(r);
    }
    std::vector<std::uint8_t> keys(n);
    for (std::size_t a = 0; a < n; ++a) {
        keys[a] = rank_of[static_cast<std::size_t>(z[a])];
    }
    return keys;
}

template <typename Index>
void sort_rows(const std::vector<std::uint8_t>& keys, const std::vector<fbu::RowArray>& rows) {
    py::gil_scoped_release release;
    fbu::permute_rows(fbu::numpy_argsort_order<Index>(keys.data(), keys.size()), rows);
}

// The atoms in the order of numpy's argsort of their symbols. The common case
// (plain numeric arrays, no constraints) is reordered in place, with one byte
// and one index per atom of extra memory instead of a copy of every array;
// anything else goes through numpy and ASE's indexing.
py::object sort_by_symbol(py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    const std::size_t n = py::len(atoms);
    if (py::len(atoms.attr("constraints")) == 0 && arrays.contains("numbers")) {
        const auto rows = permutable_arrays(arrays, n);
        const auto keys = rows ? symbol_ranks(arrays["numbers"]) : std::nullopt;
        if (keys) {
            if (n < (std::size_t{1} << 32)) {
                sort_rows<std::uint32_t>(*keys, *rows);
            } else {
                sort_rows<std::uint64_t>(*keys, *rows);
            }
            return atoms;
        }
    }
    py::object order = globals["np"].attr("argsort")(atoms.attr("symbols"));
    return atoms[order];
}

// ---------------------------------------------------------------------------
// main
// ---------------------------------------------------------------------------

void remove_keys(py::dict& params, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (params.contains(key)) {
            params.attr("pop")(key);
        }
    }
}

void main_command(py::object args) {
    py::object record = py::getattr(args, kTypedRecord, py::none());
    auto typed = [&](const char* dest) { return record.is_none() || record.contains(dest); };

    py::dict params;
    py::object param_file = args.attr("param_file");
    if (py::bool_(param_file)) {
        params["param_file"] = param_file;
        read_param_file(params, param_file);
    }
    py::object box = args.attr("box");
    if (py::bool_(box) && typed("box")) {
        params["box"] = box;
    }
    py::object random = args.attr("random");
    if (py::bool_(random) && typed("random")) {
        params["random"] = random;
        remove_keys(params, {"node", "lattice"});
    }
    py::object lattice = args.attr("lattice");
    if (!lattice.is_none() && typed("lattice")) {
        params["lattice"] = lattice;
        remove_keys(params, {"node", "random"});
    }
    py::object node = args.attr("node");
    if (!node.is_none() && typed("node")) {
        py::list records;
        for (py::handle use : node) {
            records.append(node_record(py::list(py::reinterpret_borrow<py::object>(use))));
        }
        params["node"] = records;
        remove_keys(params, {"random", "lattice"});
    }
    // Options left untyped fall back to the parameter file, then to their defaults.
    if (!params.contains("box") && !typed("box") && py::bool_(box)) {
        params["box"] = box;
    }
    const bool has_mode =
        params.contains("random") || params.contains("lattice") || params.contains("node");
    if (!has_mode && !typed("random") && py::bool_(random)) {
        params["random"] = random;
    }

    // Twin options typed on the command line complete or replace the file's.
    py::dict twin;
    if (params.contains("twin")) {
        twin = py::dict(params["twin"]);
    }
    const std::pair<const char*, const char*> twin_options[] = {{"twin_spacing", "spacing"},
                                                                {"twin_spread", "spread"},
                                                                {"twin_plane", "plane"},
                                                                {"twin_operation", "operation"}};
    for (const auto& [dest, key] : twin_options) {
        py::object value = py::getattr(args, dest, py::none());
        if (!value.is_none() && typed(dest)) {
            twin[key] = value;
        }
    }
    if (py::len(twin) > 0) {
        if (!twin.contains("spacing")) {
            throw py::value_error(kNoTwinSpacing);
        }
        params["twin"] = twin;
    }

    if (!params.contains("box")) {
        throw py::value_error(kNoBox);
    }
    if (!params.contains("random") && !params.contains("lattice") && !params.contains("node")) {
        throw py::value_error(kNoMode);
    }

    py::object filename = args.attr("filename");
    py::object seed = filename;
    if (!py::bool_(filename)) {
        seed = globals["bulk"]("Al", "fcc", "a"_a = 4.046, "cubic"_a = true);
    }
    py::object output = args.attr("output");
    py::object prefix =
        py::bool_(output) ? py::object(globals["Path"](output).attr("stem")) : args.attr("prefix");

    py::dict engine_options;
    engine_options["seed"] = seed;
    engine_options["params"] = params;
    engine_options["prefix"] = prefix;
    engine_options["verbose"] = args.attr("verbose");
    // The size limit reaches the engine only when given; otherwise its own
    // default holds.
    py::object max_atoms = py::getattr(args, "max_atoms", py::none());
    if (!max_atoms.is_none()) {
        engine_options["max_atoms"] = max_atoms;
    }
    py::object seed_value = py::getattr(args, "seed", py::none());
    if (!seed_value.is_none()) {
        engine_options["rng"] = seed_value;
    }
    py::object engine = globals["Polycrystal"](**engine_options);
    py::object atoms =
        engine.attr("generate_polycrystal")("wrap"_a = !py::bool_(args.attr("no_wrap")),
                                            "remove_doubles"_a = args.attr("remove_doubles"));
    fb::print_line(kRule);
    fb::print_line("Success: Polycrystal Generation");
    fb::print_line(kRule);
    if (!py::bool_(args.attr("no_sort"))) {
        atoms = sort_by_symbol(atoms);
    }
    const std::size_t n_atoms = py::len(atoms);
    engine.attr("write_final_files")(atoms, "output"_a = output,
                                     "formats"_a = args.attr("formats"));
    fb::print_line(kRule);
    fb::print_stderr_line("polycrystal: " + fb::python_format(py::int_(n_atoms), ",") + " atoms");
}

} // namespace

PYBIND11_MODULE(polycrystal, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The ``polycrystal`` command: Voronoi polycrystals from a seed crystal.

Gathers the box and the generation mode from an optional parameter file and
from the command line, then drives ``Polycrystal`` of
``ferrolith.build.polycrystal``: generation, an optional sort of the atoms by
chemical symbol, and the output files.)doc";

    // Names resolved at call time; replace them on the module to change them.
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("np") = py::module_::import("numpy");
    m.attr("bulk") = py::module_::import("ase.build").attr("bulk");
    m.attr("CombinedFormatter") = py::module_::import("ferrolith.cli").attr("CombinedFormatter");
    py::module_ engine = py::module_::import("ferrolith.build.polycrystal");
    m.attr("Polycrystal") = engine.attr("Polycrystal");
    m.attr("read_params") = engine.attr("read_params");
    m.attr("finite_float") = py::module_::import("ferrolith.cli").attr("finite_float");
    m.attr("non_negative_int") = py::module_::import("ferrolith.cli").attr("non_negative_int");

    typed_action(m, "_TypedStore", "_StoreAction",
                 "Stores an option's value and records that the option was typed.");
    typed_action(m, "_TypedAppend", "_AppendAction",
                 "Appends an option's values and records that the option was typed.");

    m.def("register_parser", &register_parser, "subparsers"_a,
          R"doc(Adds the ``polycrystal`` sub-parser and its options to ``subparsers``.

Every namespace it parses carries ``typed_options``: the destinations of the
options typed on the command line.)doc");
    m.def("main", &main_command, "args"_a,
          R"doc(Runs the ``polycrystal`` command on a parsed namespace.

The parameter file is read first; a box or generation mode typed on the
command line replaces the file's, while an option left untyped falls back to
the file and then to its default. A namespace without ``typed_options``
(built by hand) counts every option as typed.

Raises:
    ValueError: No box or no generation mode is known.)doc");
}
