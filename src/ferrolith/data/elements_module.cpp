// ferrolith.data.elements: the element property table as Python objects.
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/data/element_table.hpp"

namespace py = pybind11;
namespace fb = ferrolith::binding;

PYBIND11_MODULE(elements, m) {
    m.doc() = R"doc(Per-element properties keyed by chemical symbol.

``ELEMENTS`` maps each symbol ("H" ... "Ds", element 107 excepted) to an
``ElementData`` record, in increasing atomic number. Lengths are in Å, masses
in atomic mass units.)doc";

    py::object int_type = py::module_::import("builtins").attr("int");
    py::object str_type = py::module_::import("builtins").attr("str");
    py::object float_type = py::module_::import("builtins").attr("float");
    py::object element_data = fb::make_record_class(m, "ElementData",
                                                    {{"atomic_num", int_type, {}},
                                                     {"atomic_sym", str_type, {}},
                                                     {"atomic_rad", float_type, {}},
                                                     {"ionic_rad", float_type, {}},
                                                     {"covalent_rad", float_type, {}},
                                                     {"vdw_rad", float_type, {}},
                                                     {"crystal_rad", float_type, {}},
                                                     {"valence", float_type, {}},
                                                     {"hard_rad", float_type, {}},
                                                     {"amass", float_type, {}}},
                                                    R"doc(Properties of one chemical element.

Fields: atomic number, symbol, atomic, ionic, covalent, van der Waals and
crystal radii (Å), the valence and radius used by the bond-strength hardness
model (``hard_rad`` 0.0 means none is tabulated), and the atomic mass (u).)doc");

    py::dict elements;
    for (const auto& rec : ferrolith::data::kElements) {
        elements[py::str(rec.symbol)] = element_data(
            rec.atomic_num, rec.symbol, rec.atomic_rad, rec.ionic_rad, rec.covalent_rad,
            rec.vdw_rad, rec.crystal_rad, rec.valence, rec.hard_rad, rec.amass);
    }
    m.attr("ELEMENTS") = elements;
}
