// ferrolith.properties.hardness: Vickers hardness from elastic moduli.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/properties/moduli.hpp"

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fp = ferrolith::properties;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kJiangMissing = "Jiang's method requires either 'shear' or 'young' modulus.";
constexpr const char* kMazhnikNoPoisson =
    "Mazhnik's method requires 'poisson' ratio or enough moduli (shear/bulk, young/shear, or "
    "young/bulk) to calculate it.";
constexpr const char* kMazhnikNoYoung =
    "Mazhnik's method requires 'young' modulus or 'shear'/'bulk' to calculate it alongside "
    "Poisson's ratio.";

// Raises the exception Python's float arithmetic raises for `error`.
void raise_arithmetic(fp::ArithmeticError error) {
    switch (error) {
    case fp::ArithmeticError::kNone:
        return;
    case fp::ArithmeticError::kDivisionByZero:
        fb::raise_float_division_by_zero();
    case fp::ArithmeticError::kZeroToNegative:
        PyErr_SetString(PyExc_ZeroDivisionError, "0.0 cannot be raised to a negative power");
        throw py::error_already_set();
    case fp::ArithmeticError::kOverflow:
        PyErr_SetString(PyExc_OverflowError, "(34, 'Numerical result out of range')");
        throw py::error_already_set();
    case fp::ArithmeticError::kComplexOverflow:
        PyErr_SetString(PyExc_OverflowError, "complex exponentiation");
        throw py::error_already_set();
    }
}

double checked(const fp::PyNumber& n) {
    raise_arithmetic(n.error);
    return n.re;
}

py::object to_python(const fp::PyNumber& n) {
    raise_arithmetic(n.error);
    if (n.is_complex) {
        return py::reinterpret_steal<py::object>(PyComplex_FromDoubles(n.re, n.im));
    }
    return py::float_(n.re);
}

// _validate_inputs_number as the module currently binds it.
void validate(std::initializer_list<std::pair<const char*, py::object>> inputs) {
    py::dict required;
    for (const auto& [name, value] : inputs) {
        required[py::str(name)] = value;
    }
    globals["_validate_inputs_number"](required);
}

py::object none_or_float(const std::optional<double>& value) {
    return value ? py::object(py::float_(*value)) : py::object(py::none());
}

void validate_inputs_number(py::object required_args) {
    fb::require_exact_dict(required_args, "required_args");
    for (auto item : py::reinterpret_borrow<py::dict>(required_args)) {
        const std::string name = py::str(item.first).cast<std::string>();
        py::handle value = item.second;
        if (value.is_none()) {
            throw py::value_error("Missing required input: '" + name + "'");
        }
        if (!PyLong_Check(value.ptr()) && !PyFloat_Check(value.ptr())) {
            throw py::type_error("Input '" + name + "' must be a number, not " +
                                 fb::type_name(value));
        }
    }
}

// Chen and Tian take their moduli as floats: numbers are converted on entry,
// None is left for the validation to report as missing.
std::pair<py::object, py::object> shear_bulk_floats(py::object shear, py::object bulk) {
    return {none_or_float(fb::to_float_or_none(shear, "shear")),
            none_or_float(fb::to_float_or_none(bulk, "bulk"))};
}

py::object calculate_chen(py::object shear_in, py::object bulk_in, py::kwargs) {
    auto [shear, bulk] = shear_bulk_floats(shear_in, bulk_in);
    validate({{"shear", shear}, {"bulk", bulk}});
    return to_python(fp::chen_hardness(shear.cast<double>(), bulk.cast<double>()));
}

py::object calculate_tian(py::object shear_in, py::object bulk_in, py::kwargs) {
    auto [shear, bulk] = shear_bulk_floats(shear_in, bulk_in);
    validate({{"shear", shear}, {"bulk", bulk}});
    return to_python(fp::tian_hardness(shear.cast<double>(), bulk.cast<double>()));
}

py::object calculate_jiang(py::object shear_in, py::object young_in, py::kwargs) {
    const auto shear = fb::exact_float_or_none(shear_in, "shear");
    const auto young = fb::exact_float_or_none(young_in, "young");
    if (shear) {
        validate({{"shear", shear_in}});
        return py::float_(fp::jiang_from_shear(*shear));
    }
    if (young) {
        validate({{"young", young_in}});
        return py::float_(fp::jiang_from_young(*young));
    }
    throw py::value_error(kJiangMissing);
}

py::object calculate_mazhnik(py::object shear_in, py::object bulk_in, py::object young_in,
                             py::object poisson_in, py::kwargs) {
    const auto shear = fb::exact_float_or_none(shear_in, "shear");
    const auto bulk = fb::exact_float_or_none(bulk_in, "bulk");
    auto young = fb::exact_float_or_none(young_in, "young");
    auto poisson = fb::exact_float_or_none(poisson_in, "poisson");

    if (!poisson) {
        if (shear && bulk) {
            validate({{"shear", shear_in}, {"bulk", bulk_in}});
            poisson = checked(fp::poisson_from_shear_bulk(*shear, *bulk));
        } else if (young && shear) {
            validate({{"young", young_in}, {"shear", shear_in}});
            poisson = checked(fp::poisson_from_young_shear(*young, *shear));
        } else if (young && bulk) {
            validate({{"young", young_in}, {"bulk", bulk_in}});
            poisson = checked(fp::poisson_from_young_bulk(*young, *bulk));
        } else {
            throw py::value_error(kMazhnikNoPoisson);
        }
    }
    validate({{"poisson", py::float_(*poisson)}});
    if (!fp::poisson_in_typical_range(*poisson)) {
        fb::print_line("Warning: Poisson's ratio (" +
                       fb::python_format(py::float_(*poisson), ".3f") +
                       ") is outside the typical physical range [-1.0, 0.5].");
    }
    const double poisson_factor = checked(fp::mazhnik_poisson_factor(*poisson));
    if (!young) {
        if (shear) {
            young = fp::young_from_shear(*shear, *poisson);
        } else if (bulk) {
            young = fp::young_from_bulk(*bulk, *poisson);
        } else {
            throw py::value_error(kMazhnikNoYoung);
        }
    }
    validate({{"young", py::float_(*young)}});
    return py::float_(fp::mazhnik_hardness(poisson_factor, *young));
}

py::object calculate_hardness(py::object shear, py::object bulk, py::object young,
                              py::object poisson, py::object method) {
    fb::exact_float_or_none(shear, "shear");
    fb::exact_float_or_none(bulk, "bulk");
    fb::exact_float_or_none(young, "young");
    fb::exact_float_or_none(poisson, "poisson");
    fb::require_exact_str(method, "method");

    py::object normalized = method.attr("lower")();
    py::object registry = globals["HARDNESS_METHODS"];
    py::object func = registry.attr("get")(normalized);
    if (!py::bool_(func)) {
        const std::string available = py::repr(py::list(registry.attr("keys")()));
        throw py::value_error("Method '" + method.cast<std::string>() +
                              "' is not supported. Available methods are: " + available);
    }
    py::dict args;
    args["shear"] = shear;
    args["bulk"] = bulk;
    args["young"] = young;
    args["poisson"] = poisson;
    return func(**args);
}

} // namespace

PYBIND11_MODULE(hardness, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Vickers hardness from isotropic elastic moduli (GPa).

``calculate_hardness`` dispatches to the Chen (2011), Tian (2012), Jiang (2011)
and Mazhnik (2019) models registered in ``HARDNESS_METHODS``. The
structure-based ``SimunekHardnessCalculator`` is re-exported here.)doc";

    m.attr("SimunekHardnessCalculator") =
        py::module_::import("ferrolith.properties.bondvick").attr("SimunekHardnessCalculator");

    m.def("_validate_inputs_number", &validate_inputs_number, "required_args"_a,
          R"doc(Checks that every input is present and numeric.

Args:
    required_args (Dict[str, Optional[float]]): input name to value, checked in order.

Raises:
    ValueError: An input is None ("Missing required input: 'name'").
    TypeError: An input is neither an int nor a float.)doc");

    m.def("_calculate_chen", &calculate_chen, "shear"_a, "bulk"_a,
          R"doc(Computes hardness using the Chen et al. (2011) model.

Formula: Hv = 2 * (k^2 * G)^0.585 - 3, where k = G/B.)doc");
    m.def("_calculate_tian", &calculate_tian, "shear"_a, "bulk"_a,
          R"doc(Computes hardness using the Tian et al. (2012) model.

Formula: Hv = 0.92 * k^1.137 * G^0.708, where k = G/B.)doc");
    m.def("_calculate_jiang", &calculate_jiang, "shear"_a = py::none(), "young"_a = py::none(),
          R"doc(Computes hardness using the Jiang et al. (2011) model.

Formula: Hv = G / 6.78  or  Hv = E / 16.48)doc");
    m.def("_calculate_mazhnik", &calculate_mazhnik, "shear"_a = py::none(), "bulk"_a = py::none(),
          "young"_a = py::none(), "poisson"_a = py::none(),
          R"doc(Computes hardness using the Mazhnik & Oganov (2019) model.

This model primarily depends on Poisson's ratio (nu).)doc");

    py::dict methods;
    const std::pair<const char*, const char*> registry[] = {
        {"chen", "_calculate_chen"},       {"chen2011", "_calculate_chen"},
        {"tian", "_calculate_tian"},       {"tian2012", "_calculate_tian"},
        {"jiang", "_calculate_jiang"},     {"jiang2011", "_calculate_jiang"},
        {"mazhnik", "_calculate_mazhnik"}, {"mazhnik2019", "_calculate_mazhnik"},
    };
    for (const auto& [key, function] : registry) {
        methods[key] = m.attr(function);
    }
    m.attr("HARDNESS_METHODS") = methods;

    m.def("calculate_hardness", &calculate_hardness, "shear"_a = py::none(), "bulk"_a = py::none(),
          "young"_a = py::none(), "poisson"_a = py::none(), "method"_a = "chen",
          R"doc(Computes the Vickers hardness (Hv) based on elastic moduli.

Args:
    shear (float, optional): Shear modulus (G) in GPa.
    bulk (float, optional): Bulk modulus (B) in GPa.
    young (float, optional): Young's modulus (E) in GPa.
    poisson (float, optional): Poisson's ratio (nu).
    method (str): The calculation method. Supported methods are:
        'chen' (2011), 'tian' (2012), 'jiang' (2011), 'mazhnik' (2019).

Returns:
    float: The calculated Vickers hardness (Hv) in GPa.

Raises:
    ValueError: If the method is not supported or if required inputs are
        missing or invalid.
    TypeError: If inputs are not numeric.)doc");
}
