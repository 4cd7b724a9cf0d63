#include "ferrolith/io/structure_formats.hpp"

namespace ferrolith::io {

std::optional<KnownFormat> known_structure_format(std::string_view token) {
    if (token == "cfg") {
        return KnownFormat{"cfg", "cfg", false};
    }
    if (token == "xyz" || token == "extxyz") {
        return KnownFormat{"extxyz", std::string(token), false};
    }
    if (token == "lmp" || token == "lammps" || token == "data" || token == "lammps-data") {
        return KnownFormat{"lammps-data", token == "lammps-data" ? "lmp" : std::string(token),
                           true};
    }
    if (token == "vasp" || token == "poscar") {
        return KnownFormat{"vasp", "vasp", false};
    }
    return std::nullopt;
}

} // namespace ferrolith::io
