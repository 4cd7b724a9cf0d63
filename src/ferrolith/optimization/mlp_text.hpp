// The plain-text parameter file of the machine-learned potential: everything
// a Model needs, with the chemical symbols of its species ids, as read by
// programs that cannot read our model files (the KIM model driver).
//
// One record per line, a keyword and its values; '#' starts a comment. The
// networks are stored as evaluated (one per element, shared networks folded,
// input standardisation as mean and scale), and numbers are written in their
// shortest form that reads back to the same double, so a model read from the
// text gives the same energies and forces to the last bit.
#pragma once

#include "ferrolith/core/outcome.hpp"
#include "ferrolith/optimization/mlp.hpp"

#include <string>
#include <vector>

namespace ferrolith::optimization {

/// The first keyword and version of a parameter file.
inline constexpr const char* kParameterFormat = "ferrolith-mlp-parameters";
/// Version 2 adds the four-body terms of the descriptor.
inline constexpr int kParameterVersion = 2;

/// A model and the chemical symbols of its species ids 0 .. n-1.
struct NamedModel {
    std::vector<std::string> elements;
    ModelParams params;
};

/// The parameter text of `model` (params must have passed validate_model).
std::string format_model_text(const NamedModel& model);

/// The model of a parameter text; fails with the 1-based line for malformed
/// text and for a model validate_model refuses (line 0).
core::Outcome<NamedModel> parse_model_text(const std::string& text);

} // namespace ferrolith::optimization
