// ferrolith.optimization._mlp: the machine-learned B-C-N potential as an ASE
// calculator, its model files and its descriptor.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/calculator.hpp"
#include "ferrolith/optimization/mlp.hpp"
#include "ferrolith/optimization/mlp_text.hpp"
#include "ferrolith/optimization/pth_format.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fo = ferrolith::optimization;
namespace pth = ferrolith::optimization::pth;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kFormat = "ferrolith-mlp";
constexpr long kVersion = 4;
constexpr const char* kNotAModelFile = " is not a ferrolith machine-learned potential file: ";

using Array = fb::DoubleArray;

[[noreturn]] void value_error(const std::string& msg) {
    throw py::value_error(msg);
}

/// A float64 array of any array-like, tensors included (detached first).
Array as_array(py::handle obj, const std::string& what) {
    py::object value = py::reinterpret_borrow<py::object>(obj);
    if (py::hasattr(value, "detach"))
        value = value.attr("detach")().attr("cpu")();
    try {
        return Array(py::module_::import("numpy").attr("asarray")(value, "dtype"_a = "float64"));
    } catch (py::error_already_set&) {
        value_error(what + " must be an array of numbers");
    }
}

std::vector<double> as_vector(py::handle obj, const std::string& what) {
    Array a = as_array(obj, what);
    if (a.ndim() > 1)
        value_error(what + " must be a one-dimensional list of numbers");
    return std::vector<double>(a.data(), a.data() + a.size());
}

double as_number(py::handle obj, const std::string& what) {
    Array a = as_array(obj, what);
    if (a.size() != 1)
        value_error(what + " must be a single number");
    return a.data()[0];
}

py::object item(py::dict d, const char* key, const std::string& where) {
    if (!d.contains(key))
        value_error(where + " lacks the key '" + key + "'");
    return d[key];
}

py::dict as_dict(py::handle obj, const std::string& what) {
    if (!py::isinstance<py::dict>(obj))
        value_error(what + " must be a dictionary, not " + fb::type_name(obj));
    return py::reinterpret_borrow<py::dict>(obj);
}

std::vector<std::string> element_list(py::handle obj) {
    if (!py::isinstance<py::list>(obj) && !py::isinstance<py::tuple>(obj))
        value_error("'elements' must be a list of chemical symbols");
    py::dict numbers = py::module_::import("ase.data").attr("atomic_numbers");
    std::vector<std::string> out;
    for (py::handle e : obj) {
        if (!py::isinstance<py::str>(e) || !numbers.contains(e))
            value_error("'elements' holds " + py::repr(e).cast<std::string>() +
                        ", which is not a chemical symbol");
        out.push_back(e.cast<std::string>());
    }
    if (out.empty())
        value_error("'elements' must name at least one element");
    for (std::size_t a = 0; a < out.size(); ++a)
        for (std::size_t b = a + 1; b < out.size(); ++b)
            if (out[a] == out[b])
                value_error("'elements' names " + out[a] + " twice");
    return out;
}

/// Whether a channel choice `key` is "all" (else "diagonal"; anything else is refused).
bool all_channels(py::handle channels, const char* key) {
    const bool known =
        py::isinstance<py::str>(channels) &&
        (channels.cast<std::string>() == "diagonal" || channels.cast<std::string>() == "all");
    if (!known)
        value_error(std::string("'") + key + "' must be 'diagonal' or 'all', not " +
                    py::repr(channels).cast<std::string>());
    return channels.cast<std::string>() == "all";
}

/// The descriptor dictionary of a model file of `version` (0: the one of the
/// newest version, with the entries it added optional).
fo::DescriptorParams descriptor_params(py::handle obj, int n_species, long version) {
    const std::string where = "the descriptor";
    py::dict d = as_dict(obj, "'descriptor'");
    fo::DescriptorParams p;
    p.n_species = n_species;
    p.radial_cutoff = as_number(item(d, "radial_cutoff", where), "'radial_cutoff'");
    p.radial_centers = as_vector(item(d, "radial_centers", where), "'radial_centers'");
    p.radial_eta = as_vector(item(d, "radial_eta", where), "'radial_eta'");
    p.angular_cutoff = as_number(item(d, "angular_cutoff", where), "'angular_cutoff'");
    p.angular_centers = as_vector(item(d, "angular_centers", where), "'angular_centers'");
    p.angular_eta = as_vector(item(d, "angular_eta", where), "'angular_eta'");
    const double order = as_number(item(d, "max_order", where), "'max_order'");
    if (order != static_cast<int>(order))
        value_error("'max_order' must be an integer");
    p.max_order = static_cast<int>(order);
    // version 2 names the channel pairs of the angular terms; version 1 has
    // only the diagonal ones
    if (version == 1 && d.contains("angular_channels"))
        value_error("'angular_channels' needs model file version 2");
    if (version >= 2 || d.contains("angular_channels")) {
        p.cross_channels = all_channels(item(d, "angular_channels", where), "angular_channels");
    }
    // version 4 adds the optional four-body terms
    for (const char* key : {"four_body_orders", "four_body_mixtures", "four_body_channels"})
        if (version >= 1 && version < 4 && d.contains(key))
            value_error(std::string("'") + key + "' needs model file version 4");
    if (d.contains("four_body_orders") || d.contains("four_body_mixtures")) {
        Array orders = as_array(item(d, "four_body_orders", where), "'four_body_orders'");
        const bool none = orders.size() == 0;
        if (!none && (orders.ndim() != 2 || orders.shape(1) != 3))
            value_error("'four_body_orders' must be a list of (l1, l2, l3) triples");
        for (py::ssize_t r = 0; !none && r < orders.shape(0); ++r) {
            std::array<int, 3> o{};
            for (int c = 0; c < 3; ++c) {
                const double x = orders.at(r, c);
                if (x != static_cast<int>(x))
                    value_error("'four_body_orders' must hold integers");
                o[c] = static_cast<int>(x);
            }
            p.four_body_orders.push_back(o);
        }
        Array mixtures = as_array(item(d, "four_body_mixtures", where), "'four_body_mixtures'");
        const bool no_mixture = mixtures.size() == 0;
        if (!no_mixture && (mixtures.ndim() != 2 || mixtures.shape(1) != n_species))
            value_error("'four_body_mixtures' must hold one row of " + std::to_string(n_species) +
                        " element weights per mixture");
        for (py::ssize_t r = 0; !no_mixture && r < mixtures.shape(0); ++r)
            p.four_body_mixtures.emplace_back(mixtures.data(r, 0), mixtures.data(r, 0) + n_species);
        if (d.contains("four_body_channels"))
            p.four_body_cross = all_channels(d["four_body_channels"], "four_body_channels");
    }
    if (auto status = fo::validate_descriptor(p); !status)
        value_error("invalid descriptor: " + status.error);
    return p;
}

/// The dense layers of the network dictionary `net` ('weights' and 'biases').
std::vector<fo::DenseLayer> dense_layers(py::dict net, const std::string& who) {
    py::object weights = item(net, "weights", who), biases = item(net, "biases", who);
    if (py::len(weights) != py::len(biases))
        value_error(who + " has " + std::to_string(py::len(weights)) + " weight matrices and " +
                    std::to_string(py::len(biases)) + " bias vectors");
    std::vector<fo::DenseLayer> layers;
    for (std::size_t l = 0; l < py::len(weights); ++l) {
        const std::string what = who + ", layer " + std::to_string(l);
        Array w = as_array(weights[py::int_(l)], what + " weights");
        if (w.ndim() != 2)
            value_error(what + ": weights must be a matrix (outputs × inputs)");
        fo::DenseLayer layer;
        layer.n_out = static_cast<int>(w.shape(0));
        layer.n_in = static_cast<int>(w.shape(1));
        layer.weight.assign(w.data(), w.data() + w.size());
        layer.bias = as_vector(biases[py::int_(l)], what + " biases");
        layers.push_back(std::move(layer));
    }
    return layers;
}

/// 'input_mean' and 1 / 'input_std' of the network dictionary `net`.
void input_standardisation(py::dict net, const std::string& who, std::vector<double>& mean,
                           std::vector<double>& scale) {
    mean = as_vector(item(net, "input_mean", who), who + " 'input_mean'");
    scale.clear();
    for (double s : as_vector(item(net, "input_std", who), who + " 'input_std'")) {
        if (!(s > 0.0))
            value_error(who + ": 'input_std' must be positive");
        scale.push_back(1.0 / s);
    }
}

/// Version 3 may hold one network for all elements ('network', with an
/// embedding and an energy shift per element) instead of one per element.
std::vector<fo::SpeciesNetwork> shared_networks(py::dict net,
                                                const std::vector<std::string>& elements,
                                                std::size_t descriptor_size) {
    const std::string who = "the shared network";
    fo::SharedNetwork shared;
    shared.layers = dense_layers(net, who);
    input_standardisation(net, who, shared.input_mean, shared.input_scale);
    py::dict embeddings = as_dict(item(net, "embeddings", who), "'embeddings'");
    py::dict shifts = as_dict(item(net, "energy_shifts", who), "'energy_shifts'");
    for (const auto& symbol : elements) {
        if (!embeddings.contains(symbol) || !shifts.contains(symbol))
            value_error(who + " has no embedding or energy shift for " + symbol);
        shared.embeddings.push_back(
            as_vector(embeddings[py::str(symbol)], "the embedding of " + symbol));
        shared.energy_shifts.push_back(
            as_number(shifts[py::str(symbol)], "the energy shift of " + symbol));
    }
    auto folded = fo::fold_shared_network(shared, descriptor_size);
    if (!folded)
        value_error("invalid model: " + folded.error);
    return std::move(*folded.value);
}

/// The kernel's model from the dictionary of a model file.
fo::ModelParams model_params(py::dict data, long version, std::vector<std::string>& elements) {
    const std::string where = "the model";
    elements = element_list(item(data, "elements", where));
    fo::ModelParams p;
    p.descriptor = descriptor_params(item(data, "descriptor", where),
                                     static_cast<int>(elements.size()), version);
    py::object act = item(data, "activation", where);
    if (!py::isinstance<py::str>(act) ||
        (act.cast<std::string>() != "tanh" && act.cast<std::string>() != "silu"))
        value_error("'activation' must be 'tanh' or 'silu', not " +
                    py::repr(act).cast<std::string>());
    p.activation =
        act.cast<std::string>() == "tanh" ? fo::Activation::kTanh : fo::Activation::kSilu;
    p.energy_scale = as_number(item(data, "energy_scale", where), "'energy_scale'");
    if (version >= 3 && data.contains("network")) {
        if (data.contains("networks"))
            value_error("the model holds both 'network' and 'networks'; it must hold one");
        p.networks = shared_networks(as_dict(data["network"], "'network'"), elements,
                                     fo::Descriptor(p.descriptor).size());
    } else {
        py::dict networks = as_dict(item(data, "networks", where), "'networks'");
        for (const auto& symbol : elements) {
            const std::string who = "the network of " + symbol;
            if (!networks.contains(symbol))
                value_error("'networks' has no network for " + symbol);
            py::dict net = as_dict(networks[py::str(symbol)], "'networks'['" + symbol + "']");
            fo::SpeciesNetwork sn;
            sn.layers = dense_layers(net, who);
            input_standardisation(net, who, sn.input_mean, sn.input_scale);
            sn.energy_shift = as_number(item(net, "energy_shift", who), who + " 'energy_shift'");
            p.networks.push_back(std::move(sn));
        }
    }
    if (auto status = fo::validate_model(p); !status)
        value_error("invalid model: " + status.error);
    return p;
}

/// Atoms converted for the kernels; keeps the arrays alive.
struct AtomsInput {
    fb::AtomsArrays arrays;
    std::vector<int> species;
    fo::StructureView view;
};

AtomsInput atoms_input(const fb::AtomsArrays& arrays, const std::vector<std::string>& elements,
                       std::size_t max_neighbors = ferrolith::core::kDefaultMaxNeighbors) {
    AtomsInput in;
    in.arrays = arrays;
    py::list symbols = globals["chemical_symbols"];
    const long long* numbers = in.arrays.numbers.data();
    for (std::size_t i = 0; i < in.arrays.n; ++i) {
        const long long z = numbers[i];
        const std::string sym = z >= 0 && z < static_cast<long long>(py::len(symbols))
                                    ? symbols[static_cast<std::size_t>(z)].cast<std::string>()
                                    : "with atomic number " + std::to_string(z);
        const auto found = std::find(elements.begin(), elements.end(), sym);
        if (found == elements.end()) {
            std::string known;
            for (const auto& e : elements)
                known += (known.empty() ? "" : ", ") + e;
            value_error("The potential has no parameters for element " + sym + " (it covers " +
                        known + ").");
        }
        in.species.push_back(static_cast<int>(found - elements.begin()));
    }
    in.view.positions = in.arrays.positions.data();
    in.view.species = in.species.data();
    in.view.n = in.arrays.n;
    in.view.cell = in.arrays.cell;
    in.view.pbc = in.arrays.pbc;
    in.view.max_neighbors = max_neighbors;
    return in;
}

AtomsInput atoms_input(py::handle atoms, const std::vector<std::string>& elements) {
    return atoms_input(fb::atoms_arrays(atoms), elements);
}

void check(ferrolith::core::Status&& status) {
    fb::value_or_raise(std::move(status));
}

/// A descriptor with the element list that maps symbols to species ids.
struct ElementDescriptor {
    std::vector<std::string> elements;
    fo::Descriptor descriptor;
};

/// The potential of a model file.
struct MLModel {
    std::vector<std::string> elements;
    fo::Model model;
    py::object metadata;
};

MLModel make_model(py::object data) {
    if (!py::isinstance<py::dict>(data))
        value_error(std::string("a model must be a dictionary with \"format\": '") + kFormat +
                    "', not " + fb::type_name(data));
    py::dict d = py::reinterpret_borrow<py::dict>(data);
    if (!d.contains("format") || !py::isinstance<py::str>(d["format"]) ||
        d["format"].cast<std::string>() != kFormat)
        value_error(std::string("not a ferrolith machine-learned potential: the \"format\" entry "
                                "must be '") +
                    kFormat + "'");
    py::object version = item(d, "version", "the model");
    if (!py::isinstance<py::int_>(version) || version.cast<long long>() < 1 ||
        version.cast<long long>() > kVersion)
        value_error("model file version " + py::repr(version).cast<std::string>() +
                    " is not supported (this ferrolith reads versions 1 to " +
                    std::to_string(kVersion) + ")");
    std::vector<std::string> elements;
    fo::ModelParams params = model_params(d, version.cast<long>(), elements);
    py::object metadata = d.contains("metadata") ? py::object(d["metadata"]) : py::dict();
    return MLModel{std::move(elements), fo::Model(std::move(params)), metadata};
}

/// Runs a kernel call with the GIL released: kernels touch no Python object
/// (their inputs are kept alive by the caller), so other threads may run.
template <class F> ferrolith::core::Status without_gil(F&& call) {
    py::gil_scoped_release release;
    return call();
}

const char* dtype_name(pth::DType dtype) {
    switch (dtype) {
    case pth::DType::kFloat64:
        return "float64";
    case pth::DType::kFloat32:
        return "float32";
    case pth::DType::kFloat16:
        return "float16";
    case pth::DType::kInt64:
        return "int64";
    case pth::DType::kInt32:
        return "int32";
    case pth::DType::kInt16:
        return "int16";
    case pth::DType::kInt8:
        return "int8";
    case pth::DType::kUInt8:
        return "uint8";
    case pth::DType::kBool:
        return "bool";
    }
    return "float64";
}

/// The Python value of node `id`; a node shared in the file (a memo
/// reference) becomes one shared object, as pickle makes it.
py::object to_python(const pth::Document& doc, std::size_t id, std::vector<py::object>& made) {
    if (made[id])
        return made[id];
    const pth::Node& node = doc.nodes[id];
    py::object out;
    switch (node.kind) {
    case pth::Node::Kind::kNone:
        out = py::none();
        break;
    case pth::Node::Kind::kBool:
        out = py::bool_(node.boolean);
        break;
    case pth::Node::Kind::kInt:
        out = py::int_(node.integer);
        break;
    case pth::Node::Kind::kFloat:
        out = py::float_(node.real);
        break;
    case pth::Node::Kind::kString: {
        PyObject* text = PyUnicode_DecodeUTF8(node.text.data(),
                                              static_cast<py::ssize_t>(node.text.size()), "strict");
        if (text == nullptr) {
            PyErr_Clear();
            throw py::value_error("it holds a string that is not UTF-8");
        }
        out = py::reinterpret_steal<py::object>(text);
        break;
    }
    case pth::Node::Kind::kBytes:
        out = py::bytes(node.text);
        break;
    case pth::Node::Kind::kList: {
        py::list list;
        made[id] = list; // before the items: they may share this list
        for (std::size_t item : node.items)
            list.append(to_python(doc, item, made));
        out = list;
        break;
    }
    case pth::Node::Kind::kTuple: {
        py::tuple tuple(node.items.size());
        for (std::size_t k = 0; k < node.items.size(); ++k)
            tuple[k] = to_python(doc, node.items[k], made);
        out = tuple;
        break;
    }
    case pth::Node::Kind::kDict: {
        py::dict dict;
        made[id] = dict;
        for (std::size_t k = 0; k + 1 < node.items.size(); k += 2)
            dict[to_python(doc, node.items[k], made)] = to_python(doc, node.items[k + 1], made);
        out = dict;
        break;
    }
    case pth::Node::Kind::kTensor: {
        const pth::Tensor& t = doc.tensors[node.tensor];
        std::vector<py::ssize_t> shape(t.shape.begin(), t.shape.end());
        py::array array(py::dtype(dtype_name(t.dtype)), shape);
        if (!t.bytes.empty())
            std::memcpy(array.mutable_data(), t.bytes.data(), t.bytes.size());
        out = array;
        break;
    }
    }
    made[id] = out;
    return out;
}

/// The dictionary of a model file, read without PyTorch: tensors become numpy
/// arrays. OSError when the file cannot be opened; ValueError naming the file
/// for anything that is not a PyTorch file of plain data.
py::object read_model_file(py::object path) {
    py::object fspath = py::module_::import("os").attr("fspath")(path);
    py::object file = py::module_::import("builtins").attr("open")(fspath, "rb");
    py::object content;
    try {
        content = file.attr("read")();
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    char* bytes = nullptr;
    py::ssize_t size = 0;
    if (PyBytes_AsStringAndSize(content.ptr(), &bytes, &size) != 0)
        throw py::error_already_set();
    ferrolith::core::Outcome<pth::Document> doc;
    {
        py::gil_scoped_release release;
        doc = pth::read_pth(reinterpret_cast<const unsigned char*>(bytes),
                            static_cast<std::size_t>(size));
    }
    const std::string who = py::str(fspath).cast<std::string>() + kNotAModelFile;
    if (!doc)
        value_error(who + doc.error);
    std::vector<py::object> made(doc.value->nodes.size());
    try {
        return to_python(*doc.value, doc.value->root, made);
    } catch (py::value_error& e) {
        value_error(who + e.what());
    } catch (py::error_already_set& e) {
        // keys that Python cannot hash are refused by the reader; anything
        // else here is a file Python cannot represent either
        if (!e.matches(PyExc_TypeError))
            throw;
        value_error(who + "it holds a dictionary key Python cannot hash");
    }
}

MLModel load_model(py::object path) {
    py::object data = read_model_file(path);
    try {
        return make_model(data);
    } catch (py::value_error& e) {
        value_error(py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>() +
                    ": " + e.what());
    }
}

py::array_t<double> matrix3(const fo::Matrix3& m) {
    py::array_t<double> out({3, 3});
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            out.mutable_at(a, b) = m[a][b];
    return out;
}

// --- the ASE calculator -----------------------------------------------------

void calculator_init(py::object self, py::object model) {
    if (!py::isinstance<MLModel>(model)) {
        if (!py::isinstance<py::str>(model) &&
            !py::isinstance(model, fb::module_named("os").attr("PathLike")))
            throw py::type_error("model must be an MLModel or the path of a model file, not " +
                                 fb::type_name(model));
        model = globals["load_model"](model);
    }
    self.attr("model") = model;
}

fb::CalculatorOutput calculator_evaluate(py::object self, const fb::AtomsArrays& atoms) {
    const MLModel& m = self.attr("model").cast<const MLModel&>();
    AtomsInput in = atoms_input(atoms, m.elements, fb::max_neighbors_of(self));
    fo::Evaluation ev;
    check(without_gil([&] { return m.model.evaluate(in.view, true, ev); }));
    const auto& w = ev.virial;
    return {ev.energy,
            std::move(ev.energies),
            std::move(ev.forces),
            {w[0][0], w[1][1], w[2][2], w[1][2], w[0][2], w[0][1]}};
}

py::object make_calculator_class(py::module_& m) {
    return fb::make_calculator_class(
        m, "MLCalculator", R"doc(ASE calculator of a machine-learned potential.

``MLCalculator(model, max_neighbors=500, **kwargs)`` takes an :class:`MLModel`
or the path of a model file (read with :func:`load_model`); further keyword
arguments go to ASE's ``Calculator``. Implements energy, free energy, per-atom
energies, forces and, whenever the cell spans a volume (for a partly periodic
structure, the virial over the volume of its cell), the stress (eV/Å³, ASE's
Voigt order and sign); a cell without volume has none
(PropertyNotImplementedError). Atoms closer than 0.1 Å are refused, and so is
a structure where an atom would have more than ``max_neighbors`` neighbours
within the cutoff (0: no limit).)doc",
        "model", R"doc(Wraps `model` (an MLModel or a model file path) as an ASE calculator.)doc",
        calculator_init, calculator_evaluate);
}

} // namespace

PYBIND11_MODULE(_mlp, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Machine-learned interatomic potential for boron, carbon and nitrogen.

Atom-centred descriptors (radial Gaussians, and three- and four-body invariants of
moment tensors of the bond directions) feed
a small neural network per element, or one network shared by all elements and
told their learned embeddings; descriptors, networks, forces and stress are
evaluated in C++. Model files are PyTorch files (``torch.save``) holding a plain dictionary
(format 'ferrolith-mlp', versions 1 to 4); they are read and evaluated without
PyTorch, which only training needs.)doc";

    m.attr("FORMAT") = kFormat;
    m.attr("chemical_symbols") = fb::module_named("ase.data").attr("chemical_symbols");
    m.attr("FORMAT_VERSION") = kVersion;

    py::class_<MLModel>(m, "MLModel", R"doc(A machine-learned potential ready to evaluate.

``MLModel(data)`` builds it from the dictionary stored in a model file (values
may be lists, numpy arrays or tensors); ``ValueError`` names what is wrong
with a dictionary of another format or with inconsistent contents.)doc")
        .def(py::init(&make_model), "data"_a)
        .def_property_readonly(
            "elements", [](const MLModel& m) { return m.elements; },
            "Chemical symbols the potential covers, in the order of its networks.")
        .def_property_readonly(
            "cutoff", [](const MLModel& m) { return m.model.descriptor().cutoff(); },
            "Range of the potential (Å).")
        .def_property_readonly(
            "descriptor_size", [](const MLModel& m) { return m.model.descriptor().size(); },
            "Number of descriptor entries per atom.")
        .def_property_readonly(
            "metadata", [](const MLModel& m) { return m.metadata; },
            "The free-form 'metadata' dictionary of the model file (empty if absent).")
        .def(
            "atomic_energies",
            [](const MLModel& m, py::object species, py::object descriptors) {
                Array d = as_array(descriptors, "descriptors");
                std::vector<double> sp = as_vector(species, "species");
                const std::size_t nd = m.model.descriptor().size();
                if (d.ndim() != 2 || static_cast<std::size_t>(d.shape(1)) != nd ||
                    static_cast<std::size_t>(d.shape(0)) != sp.size())
                    value_error("descriptors must be an array of shape (len(species), " +
                                std::to_string(nd) + ")");
                py::array_t<double> energy(sp.size());
                py::array_t<double> grad({sp.size(), nd});
                for (std::size_t i = 0; i < sp.size(); ++i) {
                    const int s = static_cast<int>(sp[i]);
                    if (s < 0 || static_cast<std::size_t>(s) >= m.elements.size() || s != sp[i])
                        value_error("species ids must be integers in 0.." +
                                    std::to_string(m.elements.size() - 1));
                    energy.mutable_data()[i] =
                        m.model.atomic_energy(s, d.data() + i * nd, grad.mutable_data() + i * nd);
                }
                return py::make_tuple(energy, grad);
            },
            "species"_a, "descriptors"_a,
            R"doc(Atomic energies (eV) of atoms with the given species ids and descriptors, and their gradients with respect to the descriptors.)doc")
        .def(
            "write_parameter_file",
            [](const MLModel& m, py::object path) {
                const std::string text =
                    fo::format_model_text(fo::NamedModel{m.elements, m.model.params()});
                fb::write_file_atomically(path, [&](py::object temporary) {
                    py::object fd = fb::module_named("builtins")
                                        .attr("open")(temporary, "w", "encoding"_a = "ascii",
                                                      "newline"_a = "\n");
                    try {
                        fd.attr("write")(text);
                    } catch (...) {
                        fd.attr("close")();
                        throw;
                    }
                    fd.attr("close")();
                });
            },
            "path"_a,
            R"doc(Writes the potential as a plain-text parameter file (atomically): the one the KIM model driver reads, with the networks as evaluated, numbers exact.)doc")
        .def(
            "descriptor",
            [](const MLModel& m) {
                return ElementDescriptor{m.elements, fo::Descriptor(m.model.params().descriptor)};
            },
            "The descriptor of the potential.");

    py::class_<ElementDescriptor>(m, "Descriptor",
                                  R"doc(Atom-centred descriptor of local environments.

``Descriptor(elements, params)``: `elements` lists chemical symbols, `params`
is the 'descriptor' dictionary of the model file format. Used to train models:
descriptors, their vector-Jacobian products (gradients with respect to
positions and the virial) and Jacobian-vector products (changes along a
displacement and a strain).)doc")
        .def(py::init([](py::object elements, py::object params) {
                 auto els = element_list(elements);
                 const int n = static_cast<int>(els.size());
                 return ElementDescriptor{std::move(els),
                                          fo::Descriptor(descriptor_params(params, n, 0))};
             }),
             "elements"_a, "params"_a)
        .def_property_readonly(
            "size", [](const ElementDescriptor& d) { return d.descriptor.size(); },
            "Entries per atom.")
        .def_property_readonly(
            "elements", [](const ElementDescriptor& d) { return d.elements; },
            "Chemical symbols in the order of the species ids.")
        .def(
            "compute",
            [](const ElementDescriptor& ed, py::object atoms) {
                const fo::Descriptor& d = ed.descriptor;
                AtomsInput in = atoms_input(atoms, ed.elements);
                std::vector<double> out;
                check(without_gil([&] { return d.compute(in.view, out); }));
                return fb::matrix(out, in.view.n, d.size());
            },
            "atoms"_a, "Descriptors of every atom, shape (N, size).")
        .def(
            "backward",
            [](const ElementDescriptor& ed, py::object atoms, py::object grad) {
                const fo::Descriptor& d = ed.descriptor;
                AtomsInput in = atoms_input(atoms, ed.elements);
                Array g = as_array(grad, "grad");
                if (g.size() != static_cast<py::ssize_t>(in.view.n * d.size()))
                    value_error("grad must have shape (len(atoms), size)");
                std::vector<double> gp;
                fo::Matrix3 virial;
                check(without_gil([&] { return d.backward(in.view, g.data(), gp, virial); }));
                return py::make_tuple(fb::matrix(gp, in.view.n, 3), matrix3(virial));
            },
            "atoms"_a, "grad"_a,
            R"doc(For grad = dE/dD of shape (N, size): dE/dpositions (N, 3) and the virial sum_ij r_ij (x) dE/dr_ij (3, 3).)doc")
        .def(
            "tangent",
            [](const ElementDescriptor& ed, py::object atoms, py::object displacement,
               py::object strain) {
                const fo::Descriptor& d = ed.descriptor;
                AtomsInput in = atoms_input(atoms, ed.elements);
                Array v = as_array(displacement, "displacement");
                if (v.size() != static_cast<py::ssize_t>(3 * in.view.n))
                    value_error("displacement must have shape (len(atoms), 3)");
                fo::Matrix3 eps{};
                if (!strain.is_none()) {
                    Array e = as_array(strain, "strain");
                    if (e.size() != 9)
                        value_error("strain must be a 3×3 matrix");
                    for (int a = 0; a < 3; ++a)
                        for (int b = 0; b < 3; ++b)
                            eps[a][b] = e.data()[3 * a + b];
                }
                std::vector<double> out;
                check(without_gil([&] { return d.tangent(in.view, v.data(), eps, out); }));
                return fb::matrix(out, in.view.n, d.size());
            },
            "atoms"_a, "displacement"_a, "strain"_a = py::none(),
            R"doc(Change of the descriptors (N, size) along atom displacements (N, 3) and a strain (3, 3) applied to every interatomic vector.)doc");

    m.def("load_model", &load_model, "path"_a,
          R"doc(Reads a model file (written by ``torch.save``) and returns its MLModel.

PyTorch is not needed: see :func:`read_model_file`. ValueError for a file of
another format or with inconsistent contents.)doc");
    m.def(
        "read_model_file", &read_model_file, "path"_a,
        R"doc(The value stored in a PyTorch file of plain data (``torch.save`` of a dictionary), read without PyTorch.

Tensors become numpy arrays of their dtype and shape (C-ordered copies of
their views; bfloat16 becomes float32), parameters their tensors,
OrderedDicts dictionaries. Only what a weights file holds is accepted:
any other class or function named in the file refuses it with a ValueError
that names it, and nothing in the file is ever imported or run.)doc");
    m.attr("MLCalculator") = make_calculator_class(m);
    m.def(
        "load_ml_calculator",
        [](py::object path) { return globals["MLCalculator"](globals["load_model"](path)); },
        "path"_a, R"doc(The ASE calculator of the model file at `path`.)doc");
}
