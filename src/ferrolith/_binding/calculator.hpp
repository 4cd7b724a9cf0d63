// The one plumbing of ferrolith's ASE calculators: Atoms to kernel arrays
// (one validation), the cell volume, the Python
// calculator class made with type(), and the one rule for its results.
#pragma once

#include "ferrolith/_binding/arrays.hpp"
#include "ferrolith/core/vec3.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

namespace ferrolith::binding {

namespace py = pybind11;

/// An ASE Atoms object as kernel inputs; the arrays are owned here.
struct AtomsArrays {
    DoubleArray positions; ///< n x 3, Å
    IntArray numbers;      ///< n atomic numbers
    core::Mat3 cell{};     ///< lattice vectors as rows, Å
    std::array<bool, 3> pbc{};
    std::size_t n = 0;
};

/// Reads positions, atomic numbers, cell and pbc of `atoms`. ValueError
/// "atoms must have n x 3 positions, n atomic numbers and a 3 x 3 cell" when
/// the shapes disagree. Finite values are the neighbour search's to check, so
/// every calculator gives the same messages for bad positions and cells.
AtomsArrays atoms_arrays(py::handle atoms);

/// Volume of the cell spanned by its three rows (Å³, not signed).
double cell_volume(const core::Mat3& cell);

/// What a calculator's kernel gives for one structure.
struct CalculatorOutput {
    double energy = 0;              ///< eV
    std::vector<double> energies;   ///< per atom, eV
    std::vector<double> forces;     ///< n x 3, eV/Å
    std::array<double, 6> virial{}; ///< Voigt xx yy zz yz xz xy, eV: sum of r_ij (x) dE/dr_ij
};

/// The message of the stress of a structure whose cell spans no volume.
inline constexpr const char* kNoStressMessage =
    "The stress needs a cell of nonzero volume; this structure's cell has none.";

/// Evaluates the calculator `self` on the structure; may raise.
using Evaluator = std::function<CalculatorOutput(py::object self, const AtomsArrays& atoms)>;

/// Builds an ASE calculator class `name`, a true subclass of the module
/// global "Calculator" (ASE's, looked up when a method runs, as is
/// "all_changes"), so ASE's caching, check_state and get_* apply unchanged.
///
/// `init(self, first, max_neighbors)` stores what the calculator needs; the
/// class's __init__(self, <first_name>, max_neighbors=500, **kwargs) checks
/// max_neighbors (an int >= 0; 0 for no limit), sets self.max_neighbors, calls
/// `init` and passes kwargs to Calculator.__init__.
///
/// calculate(atoms=None, properties=("energy",), system_changes=all_changes)
/// runs Calculator.calculate, then `evaluate` on self.atoms, and sets
/// self.results by the one rule of every ferrolith calculator: "energy",
/// "free_energy" (the same), "energies", "forces" and, whenever the cell spans
/// a volume (periodic or not along each axis), "stress" = virial / volume
/// (eV/Å³, ASE's Voigt order and sign). A cell without volume has no stress:
/// asking for it raises ASE's PropertyNotImplementedError (kNoStressMessage).
py::object make_calculator_class(py::module_& module, const char* name, const char* doc,
                                 const char* first_name, const char* init_doc,
                                 const std::function<void(py::object, py::object)>& init,
                                 Evaluator evaluate);

/// self.max_neighbors of a calculator made by make_calculator_class.
std::size_t max_neighbors_of(py::handle self);

/// Checks a max_neighbors argument: an int >= 0 (bool refused). TypeError or
/// ValueError naming the argument.
std::size_t checked_max_neighbors(py::handle value);

/// An n x m float64 array copied from row-major `values`.
py::array_t<double> matrix(const std::vector<double>& values, std::size_t rows, std::size_t cols);

} // namespace ferrolith::binding
