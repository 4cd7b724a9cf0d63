// ferrolith.properties.domain: flags for hardness values outside their
// model's domain.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/properties/domain_flags.hpp"

#include <pybind11/stl.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fp = ferrolith::properties;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kValueAndSimunek =
    "Give value and simunek together: the model's hardness and the Simunek value it is "
    "compared with.";

py::list list_of_flags(const std::vector<std::string>& flags) {
    py::list out;
    for (const std::string& f : flags) {
        out.append(py::str(f));
    }
    return out;
}

py::list simunek_flags(py::object atoms, py::object ionicity_in) {
    if (!py::isinstance(atoms, globals["Atoms"])) {
        throw py::type_error("atoms must be an ase.Atoms, not " + fb::type_name(atoms));
    }
    const double ionicity = fb::to_float(ionicity_in, "ionicity_factor");
    const auto numbers = atoms.attr("get_atomic_numbers")().cast<std::vector<int>>();
    return list_of_flags(fp::simunek_flags(numbers, ionicity));
}

py::list moduli_flags(py::object method, py::object shear_in, py::object bulk_in,
                      py::object ionicity_in, py::object value_in, py::object simunek_in) {
    fb::require_exact_str(method, "method");
    const std::string name = py::str(method.attr("lower")()).cast<std::string>();
    fp::ModuliModel model{};
    if (name == "chen") {
        model = fp::ModuliModel::kChen;
    } else if (name == "tian") {
        model = fp::ModuliModel::kTian;
    } else if (name == "jiang") {
        model = fp::ModuliModel::kJiang;
    } else if (name == "mazhnik") {
        model = fp::ModuliModel::kMazhnik;
    } else {
        throw py::value_error("Unknown method " + py::repr(method).cast<std::string>() +
                              ": give chen, tian, jiang or mazhnik.");
    }
    const double shear = fb::to_float(shear_in, "shear");
    const double bulk = fb::to_float(bulk_in, "bulk");
    const std::optional<double> ionicity = fb::to_float_or_none(ionicity_in, "ionicity_factor");
    const std::optional<double> value = fb::to_float_or_none(value_in, "value");
    const std::optional<double> simunek = fb::to_float_or_none(simunek_in, "simunek");
    if (simunek.has_value() != value.has_value()) {
        throw py::value_error(kValueAndSimunek);
    }
    constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
    return list_of_flags(fp::moduli_flags(model, shear, bulk, ionicity.value_or(kUnknown),
                                          value.value_or(kUnknown), simunek.value_or(kUnknown)));
}

} // namespace

PYBIND11_MODULE(domain, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Where each hardness model can be trusted.

Every value of the five hardness models is computed whatever the crystal;
these functions give the short flags of a value outside its model's domain
(an empty list inside it). The limits follow from the benchmark against
measured Vickers hardness, ``benchmarks/hardness_vs_experiment.py``.)doc";

    m.attr("Atoms") = py::module_::import("ase").attr("Atoms");
    m.attr("IONICITY_LIMIT") = fp::kIonicityLimit;
    m.attr("PUGH_LIMIT") = fp::kPughLimit;
    m.attr("AGREEMENT_LIMIT") = fp::kAgreementLimit;

    m.def("simunek_flags", &simunek_flags, "atoms"_a, "ionicity_factor"_a,
          R"doc(Flags of a Šimůnek hardness value.

Args:
    atoms (ase.Atoms): The structure.
    ionicity_factor (float): Its ionicity factor f, as the model reports it.

Returns:
    list[str]: "element without radius: Lu" (elements for which the model
    has no radius, named: their bonds count with strength 0 and the result
    is 0.0 or far too low), "metallic" (no non-metal in the structure),
    "transition-metal bonding" (a metal of groups 3 to 11 with non-metals:
    carbides, nitrides, borides, which the model underestimates), "ionic"
    (f above ``IONICITY_LIMIT``), "63 % below Simunek" (value and simunek differ by
    more than ``AGREEMENT_LIMIT``: the elastic constants are suspect); empty
    inside the domain.)doc");

    m.def("moduli_flags", &moduli_flags, "method"_a, "shear"_a, "bulk"_a,
          "ionicity_factor"_a = py::none(), "value"_a = py::none(), "simunek"_a = py::none(),
          R"doc(Flags of a moduli-model hardness value.

Args:
    method (str): chen, tian, jiang or mazhnik (any case).
    shear (float): Shear modulus G, GPa.
    bulk (float): Bulk modulus B, GPa.
    ionicity_factor (float | None): The crystal's Šimůnek ionicity factor,
        when its structure is known.
    value (float | None): The model's hardness (GPa), to compare with
    simunek (float | None): the crystal's Šimůnek value, when that value is
        itself inside its domain (no flags).

Returns:
    list[str]: "negative modulus", "clamped at 0" (Chen's formula is
    negative and the model returns 0), "complex branch" (Tian),
    "Poisson's ratio outside (-1, 0.5)" (Mazhnik), "G/B below 0.5" (Chen,
    Tian and Mazhnik: ``PUGH_LIMIT``), "ionic" (ionicity_factor above
    ``IONICITY_LIMIT``); empty inside the domain.

Raises:
    ValueError: An unknown method, or only one of value and simunek.
    TypeError: method is not a str, or a modulus not a number.)doc");
}
