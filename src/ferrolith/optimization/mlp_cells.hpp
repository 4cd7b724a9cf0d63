// Periodic neighbour search for the machine-learned potential.
//
// A cell list over the atoms and the periodic images that can lie within the
// cutoff of the home cell. Works for any cell shape, any mix of periodic and
// open directions, and cells much smaller than the cutoff (images several
// cells away are generated as needed).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace ferrolith::optimization {

/// Rows are the cell vectors a1, a2, a3 (Å).
using Matrix3 = std::array<std::array<double, 3>, 3>;

/// One neighbour of a central atom: its atom index and the vector from the
/// central atom to the neighbour's image (Å); `distance` is its length (Å).
struct Neighbor {
    int index;
    double vector[3];
    double distance;
};

/// Neighbours of every atom within a cutoff, over periodic images.
class CellList {
public:
    /// Builds the list for `n` atoms at `positions` (n×3 row-major, Å).
    /// Returns an error message for non-finite input or periodic cell vectors
    /// that span no volume (area, length) in the periodic directions.
    static std::optional<std::string> build(const double* positions, std::size_t n,
                                            const Matrix3& cell, const std::array<bool, 3>& pbc,
                                            double cutoff, CellList& out);

    /// Fills `out` with every image of every atom other than atom `i` itself
    /// (its own periodic images included) within the cutoff of atom `i`.
    void neighbors(std::size_t i, std::vector<Neighbor>& out) const;

    /// Number of atoms the list was built for.
    std::size_t size() const { return home_.size(); }

private:
    double cutoff_ = 0.0;
    std::vector<double> image_pos_;      ///< positions of atoms and images, 3 per entry (Å)
    std::vector<int> image_atom_;        ///< atom index of each entry
    std::vector<std::size_t> home_;      ///< entry of each atom's own (wrapped) position
    std::array<int, 3> dims_{};          ///< bins along x, y, z
    std::array<double, 3> origin_{};     ///< lower corner of the bin grid (Å)
    double bin_size_ = 0.0;              ///< edge of a cubic bin, >= cutoff (Å)
    std::vector<std::size_t> bin_start_; ///< CSR offsets of the entries of each bin
    std::vector<std::size_t> bin_entries_;

    std::array<int, 3> bin_of(const double* p) const;
};

} // namespace ferrolith::optimization
