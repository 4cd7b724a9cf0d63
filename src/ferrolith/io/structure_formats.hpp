// Short names of the structure formats that molecular-dynamics users type.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ferrolith::io {

/// What a short format name means.
struct KnownFormat {
    std::string ase_name;       ///< format name for ASE's writer
    std::string suffix;         ///< file suffix without the dot
    bool lammps_atomic = false; ///< LAMMPS data: atom style atomic, with masses
};

/// "cfg"; "xyz"/"extxyz" (extended XYZ); "lmp"/"lammps"/"data"/"lammps-data"
/// (LAMMPS data); "vasp"/"poscar". `token` is lower case. Empty for any other
/// name (ASE's own format names and extensions are looked up by the caller).
std::optional<KnownFormat> known_structure_format(std::string_view token);

} // namespace ferrolith::io
