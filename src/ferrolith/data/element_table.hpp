// The per-element property table, as plain data.
#pragma once

#include <array>
#include <cstddef>

namespace ferrolith::data {

/// One element's properties. Lengths in Å, mass in atomic mass units.
struct ElementRecord {
    int atomic_num;      ///< atomic number Z
    const char* symbol;  ///< chemical symbol, periodic-table case ("Fe")
    double atomic_rad;   ///< atomic radius
    double ionic_rad;    ///< ionic radius
    double covalent_rad; ///< covalent radius
    double vdw_rad;      ///< van der Waals radius
    double crystal_rad;  ///< crystal radius
    double
        valence; ///< valence electrons used by the bond-strength hardness model; 0 for noble gases
    double hard_rad; ///< radius paired with `valence` by the hardness model; 0 = none tabulated
    double amass;    ///< atomic mass
};

/// Number of tabulated elements: H (1) to Ds (110) without element 107.
inline constexpr std::size_t kElementCount = 109;

/// The table, in increasing atomic number.
extern const std::array<ElementRecord, kElementCount> kElements;

} // namespace ferrolith::data
