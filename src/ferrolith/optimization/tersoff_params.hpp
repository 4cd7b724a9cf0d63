// Tersoff parameter sets and the reader of LAMMPS-format Tersoff files.
//
// A file holds entries "e1 e2 e3 m gamma lambda3 c d costheta0 n beta lambda2
// B R D lambda1 A" (17 whitespace-separated words; '#' starts a comment; an
// entry may run over several lines). Entry (i, j, k) gives the two-body terms
// and the bond order of pair i-j when k == j, and the angular term of
// neighbour k in the bond order of i-j.
#pragma once

#include "ferrolith/core/outcome.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::optimization {

/// One triplet entry of a Tersoff file with derived constants.
/// Lengths in Å, energies in eV, lambda in 1/Å; the rest is unitless.
struct TersoffEntry {
    std::array<int, 3> elements{}; ///< indices into TersoffParameters::elements()
    int m = 3;                     ///< exponent of the lambda3 term, 1 or 3
    double gamma = 0, lambda3 = 0, c = 0, d = 0, h = 0; ///< angular term (h = cos theta0)
    double n = 0, beta = 0;    ///< bond order b = (1 + (beta zeta)^n)^(-1/2n)
    double lambda2 = 0, B = 0; ///< attraction B exp(-lambda2 r), eV and 1/Å
    double R = 0, D = 0;       ///< cutoff taper from R - D to R + D, Å
    double lambda1 = 0, A = 0; ///< repulsion A exp(-lambda1 r), eV and 1/Å
    std::size_t line = 0;      ///< 1-based line where the entry starts

    // Derived on reading.
    double cut = 0;        ///< R + D, Å
    double c2 = 0;         ///< c^2
    double d2 = 0;         ///< d^2
    double c2_over_d2 = 0; ///< c^2 / d^2
};

/// Largest cutoff R + D (Å) a file may give: beyond any bond length.
inline constexpr double kMaxTersoffCutoff = 10.0;

/// Most element types a file may name: the triplet table holds n^3 entries
/// (128 types: 2 million, 8 MB), and every evaluation builds tables of the
/// same size.
inline constexpr std::size_t kMaxTersoffElements = 128;

/// The parameter table of a Tersoff file.
class TersoffParameters {
public:
    /// Reads the text of a Tersoff file; a failure carries the offending
    /// line. Entries whose triplet occurs twice are an error (both lines
    /// named), and so are a cutoff R + D beyond kMaxTersoffCutoff and more
    /// than kMaxTersoffElements element types (the message gives the size
    /// the table would take).
    static core::Outcome<TersoffParameters> parse(std::string_view text);

    /// Element names in the order of their first appearance in the file.
    const std::vector<std::string>& elements() const { return elements_; }
    /// Every entry in file order.
    const std::vector<TersoffEntry>& entries() const { return entries_; }
    /// Index of an element name, or -1.
    int element_index(std::string_view name) const;
    /// Entry index of the triplet (i, j, k) of element indices, or -1 when the
    /// file has none.
    int entry_index(int i, int j, int k) const {
        return table_[(static_cast<std::size_t>(i) * n_elements() + static_cast<std::size_t>(j)) *
                          n_elements() +
                      static_cast<std::size_t>(k)];
    }
    /// Number of distinct element names in the file.
    std::size_t n_elements() const { return elements_.size(); }

    /// The first triplet (in i, j, k order) among `present` element indices
    /// that has no entry; empty when every needed triplet is there.
    std::optional<std::array<int, 3>> missing_triplet(const std::vector<int>& present) const;

    /// Largest R + D of any entry, Å.
    double max_cutoff() const;

private:
    std::vector<std::string> elements_;
    std::vector<TersoffEntry> entries_;
    std::vector<int> table_; ///< n^3 entry indices, -1 where missing
};

} // namespace ferrolith::optimization
