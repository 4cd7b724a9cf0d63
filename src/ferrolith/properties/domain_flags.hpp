// Where each hardness model can be trusted: the domain flags.
//
// Plain C++. Each model was fitted to, or derived for, one kind of crystal;
// a value for another kind is still computed but carries short flags saying
// why it should not be trusted. The limits come from the benchmark against
// measured Vickers hardness (benchmarks/hardness_vs_experiment.py, whose table
// the README carries); an empty list means inside the domain.
#pragma once

#include <string>
#include <vector>

namespace ferrolith::properties {

/// Šimůnek values above this ionicity factor f are flagged "ionic": on the
/// benchmark's rocksalt halides and oxides the model is off by a factor of
/// two or more, while every sp³ crystal (f up to about 0.6) stays within
/// 30 %.
inline constexpr double kIonicityLimit = 0.0;

/// Chen, Tian and Mazhnik values below this Pugh ratio G/B are flagged.
inline constexpr double kPughLimit = 0.5;

/// Flags of a Šimůnek value for a structure of the given atomic numbers
/// (1-based, any order, repeats allowed) and ionicity factor:
/// "element without radius: Lu, At" (no bond-strength radius tabulated: the
/// model gives a bond strength of 0, a silent 0.0 GPa), "metallic" (no
/// non-metal: metallic bonding, which the bond-strength model does not
/// describe), "transition-metal bonding" (a d-metal with partly filled d
/// shell bonded to non-metals: carbides, nitrides, borides, underestimated by
/// the benchmark), "ionic" (f above kIonicityLimit). Unknown atomic numbers
/// count as elements without radius ("Z=0").
std::vector<std::string> simunek_flags(const std::vector<int>& atomic_numbers, double ionicity);

/// The moduli models.
enum class ModuliModel { kChen, kTian, kJiang, kMazhnik };

/// Flags of a moduli-model value from the Hill moduli (GPa): "clamped at 0"
/// (Chen's 2 (k² G)^0.585 − 3 is negative and the model returns 0),
/// "complex branch" (Tian with a negative modulus ratio or shear modulus),
/// "Poisson's ratio outside (-1, 0.5)" (Mazhnik), "negative modulus" (any
/// model: no stable crystal has one), and "G/B below 0.5" for Chen, Tian and
/// Mazhnik (soft, metallic or ionic crystals, where the benchmark finds their
/// errors large).
std::vector<std::string> moduli_flags(ModuliModel model, double shear, double bulk);

} // namespace ferrolith::properties
