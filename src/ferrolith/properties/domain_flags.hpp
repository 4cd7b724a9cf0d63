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

/// Values for crystals above this ionicity factor f (Šimůnek's, from the
/// structure) are flagged "ionic". On the benchmark every crystal below it
/// (sp³ elements and III-V compounds, f <= 0.14; AlN and GaN, f = 0.21) has a
/// Šimůnek value within 35 % or 2.5 GPa of experiment (the one exception is
/// α-quartz, an open framework, 67 % low); above it (ZnS, BeO, ZnO, Al2O3,
/// MgO, NaCl, LiF: f = 0.36 to 0.79) the Šimůnek values are off by 26 to
/// 130 %, and the moduli models reach 2 to 11 times the measured hardness of
/// the rocksalt halides and MgO.
inline constexpr double kIonicityLimit = 0.3;

/// Chen, Tian and Mazhnik values below this Pugh ratio G/B are flagged: on
/// the benchmark's four crystals below it (InP, InSb, ZnS, ZnO) the median
/// error of the three models is 38 %, against 4 to 13 % for the unflagged sp³
/// crystals, and Chen's clamp at 0 lies just below (k² G < 2 GPa). Jiang's
/// G / 6.78 does not depend on B.
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

/// Inside both domains, moduli-model values from measured elastic constants
/// agree with the Šimůnek value within 35 % on the benchmark's tetrahedral
/// crystals; a larger share than this says the elastic constants (a soft
/// potential, say) are off.
inline constexpr double kAgreementLimit = 0.4;

/// The moduli models.
enum class ModuliModel { kChen, kTian, kJiang, kMazhnik };

/// Flags of a moduli-model value from the Hill moduli (GPa): "clamped at 0"
/// (Chen's 2 (k² G)^0.585 − 3 is negative and the model returns 0),
/// "complex branch" (Tian with a negative modulus ratio or shear modulus),
/// "Poisson's ratio outside (-1, 0.5)" (Mazhnik), "negative modulus" (any
/// model: no stable crystal has one), "G/B below 0.5" for Chen, Tian and
/// Mazhnik (kPughLimit), and "ionic" when the crystal's ionicity factor is
/// known (not NaN) and above kIonicityLimit; with a Šimůnek value for the
/// same crystal (not NaN: give it only when it is itself unflagged), "63 %
/// below Simunek" or "50 % above Simunek" when `value` (the model's hardness,
/// GPa) differs from it by more than kAgreementLimit.
std::vector<std::string> moduli_flags(ModuliModel model, double shear, double bulk, double ionicity,
                                      double value, double simunek);

} // namespace ferrolith::properties
