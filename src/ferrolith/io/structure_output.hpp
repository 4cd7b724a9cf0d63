// Writing structures and text files for the package's commands: output
// formats by short name, suffix or ASE name; fast CFG, LAMMPS data and
// extended XYZ writers for millions of atoms; every file written atomically (a
// failed write leaves the target as it was).
//
// Binding code: it calls ASE and writes through the `open` and `write` names of
// the calling module (looked up at call time, so tests can replace them).
#pragma once

#include "ferrolith/_binding/binding.hpp"

#include <optional>
#include <string>
#include <vector>

namespace ferrolith::io {

namespace py = pybind11;

/// A structure format resolved for writing.
struct OutputFormat {
    std::string ase_name; ///< format name for ase.io.write
    std::string suffix;   ///< file suffix without the dot
    py::dict options;     ///< keywords for ase.io.write
};

/// A format given by name or by suffix (any case): the short names of
/// known_structure_format first, then every format ASE can write, by name or
/// by file extension. Empty when none matches.
std::optional<OutputFormat> resolve_output_format(const std::string& token);

/// Writes `atoms` to `path` in `format`, atomically. CFG, LAMMPS data and
/// extended XYZ go through the fast writers when the structure allows (ASE's layout, byte for
/// byte); everything else through the module's `write`.
void write_structure(const binding::Globals& module, py::object path, py::object atoms,
                     const OutputFormat& format);

/// Writes the integer per-atom arrays `names` of `atoms` to `path` beside a
/// LAMMPS data file, atomically: a comment line naming the columns ("# id"
/// and the names), then per atom its id in the data file and its values.
void write_per_atom_table(const binding::Globals& module, py::object path, py::object atoms,
                          const std::vector<std::string>& names);

/// Writes `text` to `path` atomically, through the module's `open`.
void write_text_file(const binding::Globals& module, py::object path, const std::string& text);

} // namespace ferrolith::io
