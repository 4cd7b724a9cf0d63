#include "ferrolith/_binding/calculator.hpp"

#include "ferrolith/_binding/binding.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace ferrolith::binding {

using namespace pybind11::literals;

AtomsArrays atoms_arrays(py::handle atoms) {
    AtomsArrays out;
    out.positions = DoubleArray::ensure(atoms.attr("positions"));
    out.numbers = IntArray::ensure(atoms.attr("numbers"));
    DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
    if (!out.positions || !out.numbers || !cell) {
        throw py::error_already_set();
    }
    out.n = static_cast<std::size_t>(out.numbers.size());
    if (out.positions.ndim() != 2 || out.positions.shape(1) != 3 ||
        static_cast<std::size_t>(out.positions.shape(0)) != out.n || cell.size() != 9) {
        throw py::value_error("atoms must have n x 3 positions, n atomic numbers and a 3 x 3 "
                              "cell");
    }
    py::object pbc = atoms.attr("pbc");
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.cell[r][c] = cell.data()[3 * r + c];
        }
        out.pbc[r] = py::bool_(pbc[py::int_(r)]);
    }
    return out;
}

double cell_volume(const core::Mat3& cell) {
    return std::fabs(core::determinant(cell));
}

py::array_t<double> matrix(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    py::array_t<double> out({rows, cols});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

std::size_t checked_max_neighbors(py::handle value) {
    const long long n = require_exact_int(value, "max_neighbors");
    if (n < 0) {
        throw py::value_error("max_neighbors must be 0 (no limit) or a positive integer, not " +
                              std::to_string(n));
    }
    return static_cast<std::size_t>(n);
}

std::size_t max_neighbors_of(py::handle self) {
    return checked_max_neighbors(self.attr("max_neighbors"));
}

namespace {

// Results by the one rule (see make_calculator_class).
py::dict results_of(const CalculatorOutput& out, const AtomsArrays& atoms, py::handle properties) {
    py::dict results;
    results["energy"] = out.energy;
    results["free_energy"] = out.energy;
    py::array_t<double> energies(static_cast<py::ssize_t>(atoms.n));
    std::copy(out.energies.begin(), out.energies.end(), energies.mutable_data());
    results["energies"] = energies;
    results["forces"] = matrix(out.forces, atoms.n, 3);
    const double volume = cell_volume(atoms.cell);
    if (volume > 0) {
        py::array_t<double> stress(6);
        for (std::size_t k = 0; k < 6; ++k) {
            stress.mutable_data()[k] = out.virial[k] / volume;
        }
        results["stress"] = stress;
    } else if (py::bool_(properties.attr("__contains__")("stress"))) {
        py::object error = module_named("ase.calculators.calculator")
                               .attr("PropertyNotImplementedError")(kNoStressMessage);
        PyErr_SetObject(error.get_type().ptr(), error.ptr());
        throw py::error_already_set();
    }
    return results;
}

} // namespace

py::object make_calculator_class(py::module_& module, const char* name, const char* doc,
                                 const char* first_name, const char* init_doc,
                                 const std::function<void(py::object, py::object)>& init,
                                 Evaluator evaluate) {
    if (!py::hasattr(module, "Calculator")) {
        py::module_ ase_calc = module_named("ase.calculators.calculator");
        module.attr("Calculator") = ase_calc.attr("Calculator");
        module.attr("all_changes") = ase_calc.attr("all_changes");
    }
    Globals globals(module);
    py::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = name;
    body["__doc__"] = doc;
    body["implemented_properties"] =
        py::make_tuple("energy", "free_energy", "energies", "forces", "stress");
    body["default_parameters"] = py::dict();
    py::object cls = module_named("builtins")
                         .attr("type")(name, py::make_tuple(module.attr("Calculator")), body);

    // pybind11 treats a function named exactly "__init__" as a constructor of
    // one of its own classes, so the initialiser carries a longer name.
    const std::string init_name = std::string(name) + ".__init__";
    cls.attr("__init__") = py::cpp_function(
        [globals, init](py::object self, py::object first, py::object max_neighbors,
                        py::kwargs kwargs) {
            checked_max_neighbors(max_neighbors);
            self.attr("max_neighbors") = max_neighbors;
            init(self, first);
            globals["Calculator"].attr("__init__")(self, **kwargs);
        },
        py::name(init_name.c_str()), py::is_method(cls), py::arg(first_name),
        "max_neighbors"_a = 500, init_doc);
    cls.attr("calculate") = py::cpp_function(
        [globals, evaluate](py::object self, py::object atoms, py::object properties,
                            py::object system_changes) {
            if (system_changes.is_none()) {
                system_changes = globals["all_changes"];
            }
            if (properties.is_none()) {
                properties = self.attr("implemented_properties");
            }
            globals["Calculator"].attr("calculate")(self, atoms, properties, system_changes);
            py::object current = self.attr("atoms");
            const AtomsArrays arrays = atoms_arrays(current);
            const CalculatorOutput out = evaluate(self, arrays);
            self.attr("results") = results_of(out, arrays, properties);
        },
        py::name("calculate"), py::is_method(cls), "atoms"_a = py::none(),
        "properties"_a = py::make_tuple("energy"), "system_changes"_a = py::none(),
        R"doc(Computes every implemented property of ``atoms`` into ``self.results``.)doc");
    return cls;
}

} // namespace ferrolith::binding
