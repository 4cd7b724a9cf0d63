// Binding side: the fields a record of an elastic tensor and its moduli starts
// with, shared by ElasticResult and TensorModuli so the two never drift.
#pragma once

#include "ferrolith/_binding/binding.hpp"

#include <vector>

namespace ferrolith::binding {

/// `cij` (6×6 numpy array, GPa), the Voigt/Reuss/Hill bulk and shear moduli,
/// Young's modulus (GPa), Poisson's ratio and the Born `stable` verdict.
inline std::vector<RecordField> moduli_record_fields() {
    py::object builtins = py::module_::import("builtins");
    py::object floating = builtins.attr("float");
    std::vector<RecordField> fields{{"cij", py::module_::import("numpy").attr("ndarray"), {}}};
    for (const char* name : {"bulk_voigt", "bulk_reuss", "bulk_hill", "shear_voigt", "shear_reuss",
                             "shear_hill", "young", "poisson"}) {
        fields.push_back({name, floating, {}});
    }
    fields.push_back({"stable", builtins.attr("bool"), {}});
    return fields;
}

} // namespace ferrolith::binding
