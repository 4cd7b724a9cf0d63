#include "ferrolith/properties/domain_flags.hpp"

#include "ferrolith/data/element_table.hpp"
#include "ferrolith/properties/moduli.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace ferrolith::properties {

namespace {

// Non-metals and metalloids: the elements that form covalent or ionic bonds
// rather than a metallic one.
bool is_nonmetal(int z) {
    static const std::set<int> kNonmetals{1,  2,  5,  6,  7,  8,  9,  10, 14, 15, 16, 17,
                                          18, 32, 33, 34, 35, 36, 51, 52, 53, 54, 85, 86};
    return kNonmetals.count(z) > 0;
}

// Metals of groups 3 to 11: an open d shell that takes part in the bonding.
bool is_open_d_metal(int z) {
    return (z >= 21 && z <= 29) || (z >= 39 && z <= 47) || z == 57 || (z >= 72 && z <= 79) ||
           z == 89 || (z >= 104 && z <= 111);
}

const data::ElementRecord* record_of(int z) {
    for (const data::ElementRecord& e : data::kElements) {
        if (e.atomic_num == z)
            return &e;
    }
    return nullptr;
}

} // namespace

std::vector<std::string> simunek_flags(const std::vector<int>& atomic_numbers, double ionicity) {
    std::set<int> elements(atomic_numbers.begin(), atomic_numbers.end());
    std::vector<std::string> flags;
    std::string missing;
    for (int z : elements) {
        const data::ElementRecord* e = record_of(z);
        if (e == nullptr || !(e->hard_rad > 0.0)) {
            missing += (missing.empty() ? "" : ", ") +
                       (e == nullptr ? "Z=" + std::to_string(z) : std::string(e->symbol));
        }
    }
    if (!missing.empty()) {
        flags.push_back("element without radius: " + missing);
    }
    const bool any_nonmetal = std::any_of(elements.begin(), elements.end(), is_nonmetal);
    if (!elements.empty() && !any_nonmetal) {
        flags.emplace_back("metallic");
    } else if (std::any_of(elements.begin(), elements.end(), is_open_d_metal)) {
        flags.emplace_back("transition-metal bonding");
    }
    if (ionicity > kIonicityLimit) {
        flags.emplace_back("ionic");
    }
    return flags;
}

std::vector<std::string> moduli_flags(ModuliModel model, double shear, double bulk, double ionicity,
                                      double value, double simunek) {
    std::vector<std::string> flags;
    if (!(shear > 0.0) || !(bulk > 0.0)) {
        flags.emplace_back("negative modulus");
    }
    const double pugh = shear / bulk;
    switch (model) {
    case ModuliModel::kChen: {
        const PyNumber power = python_pow(pugh * pugh * shear, 0.585);
        if (power.error == ArithmeticError::kNone && 2.0 * power.re - 3.0 < 0.0) {
            flags.emplace_back("clamped at 0");
        }
        break;
    }
    case ModuliModel::kTian:
        if (tian_hardness(shear, bulk).is_complex) {
            flags.emplace_back("complex branch");
        }
        break;
    case ModuliModel::kMazhnik: {
        const PyNumber nu = poisson_from_shear_bulk(shear, bulk);
        if (nu.error == ArithmeticError::kNone && !poisson_in_typical_range(nu.re)) {
            flags.emplace_back("Poisson's ratio outside (-1, 0.5)");
        }
        break;
    }
    case ModuliModel::kJiang:
        break;
    }
    if (model != ModuliModel::kJiang && pugh < kPughLimit) {
        flags.emplace_back("G/B below 0.5");
    }
    if (ionicity > kIonicityLimit) { // false for NaN: not known
        flags.emplace_back("ionic");
    }
    const double share = (value - simunek) / simunek;
    if (simunek > 0.0 && std::abs(share) > kAgreementLimit) {
        flags.push_back(std::to_string(static_cast<int>(std::lround(100.0 * std::abs(share)))) +
                        (share < 0 ? " % below Simunek" : " % above Simunek"));
    }
    return flags;
}

} // namespace ferrolith::properties
