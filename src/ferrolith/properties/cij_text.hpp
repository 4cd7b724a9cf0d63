// Elastic tensors handed over as text: the "TOTAL ELASTIC MODULI" block of a
// VASP OUTCAR, or a plain 6×6 matrix in Voigt order.
//
// Plain C++: the lines of a file in, a 6×6 tensor in GPa out (Voigt order
// xx, yy, zz, yz, xz, xy, as elastic_fit.hpp uses). Failures name the 1-based
// line where the reader can point at one; the binding adds the file name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ferrolith/core/outcome.hpp"
#include "ferrolith/properties/elastic_fit.hpp"

namespace ferrolith::properties {

/// Title line of VASP's tensor block (moduli in kBar, clamped ions plus the
/// ionic relaxation contribution).
inline constexpr std::string_view kOutcarModuliTitle = "TOTAL ELASTIC MODULI";

/// True when some line holds kOutcarModuliTitle.
bool has_outcar_moduli(const std::vector<std::string_view>& lines);

/// True when the first lines name VASP's version as an OUTCAR begins.
bool looks_like_outcar(const std::vector<std::string_view>& lines);

/// The last "TOTAL ELASTIC MODULI (kBar)" block of an OUTCAR, in GPa and
/// Voigt order. Columns and rows are placed by their labels ("Direction XX YY
/// ZZ XY YZ ZX" in VASP's order; any order of the six labels is read the same
/// way), so the block's XY, YZ, ZX become Voigt 6, 4, 5. Fails when there is
/// no block, a label is unknown or repeated, or a row is not six numbers.
core::Outcome<Matrix6> parse_outcar_moduli(const std::vector<std::string_view>& lines);

/// A plain 6×6 matrix in GPa, Voigt order: six rows of six numbers separated
/// by blanks or commas; blank lines and text after '#' are skipped. Fails on a
/// row that is not six numbers or a count of rows other than six.
core::Outcome<Matrix6> parse_matrix_text(const std::vector<std::string_view>& lines);

/// Largest |C_ij − C_ji| of a matrix, GPa.
double asymmetry(const Matrix6& c);

/// Zener's anisotropy ratio 2 C44 / (C11 − C12) of a tensor with cubic
/// symmetry (1 for an isotropic crystal). NaN unless the tensor is cubic
/// within `tolerance` × its largest entry (C11 = C22 = C33, C12 = C13 = C23,
/// C44 = C55 = C66, every other entry zero): the ratio means nothing else.
double zener_ratio(const Matrix6& c, double tolerance = 1e-2);

/// Universal anisotropy index A^U = 5 G_V / G_R + B_V / B_R − 6 of
/// Ranganathan & Ostoja-Starzewski, Phys. Rev. Lett. 101, 055504 (2008):
/// 0 for an isotropic crystal, positive otherwise. NaN when the Reuss bounds
/// are (a singular tensor).
double universal_anisotropy(const Moduli& m);

} // namespace ferrolith::properties
