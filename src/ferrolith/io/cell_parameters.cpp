#include "ferrolith/io/cell_parameters.hpp"

#include <cmath>
#include <limits>

namespace ferrolith::io {

namespace {

constexpr double kPi = 3.141592653589793; // math.pi
// A cell whose volume is below this fraction of a b c is flat: its angles
// only round off to a cell.
constexpr double kMinRelativeVolume = 1e-6;
// Smallest cell volume taken for a crystal (Å^3); below it the lengths have
// underflowed or are in the wrong units by dozens of orders of magnitude.
constexpr double kMinCellVolume = 1e-30;

// ASE snaps angles within two ulps of 90 degrees to an exact right angle.
double cosine(double angle, double eps) {
    return std::abs(std::abs(angle) - 90.0) < eps ? 0.0 : std::cos(angle * kPi / 180.0);
}

} // namespace

core::Status check_cell_parameters(const std::vector<double>& cellpar, std::string_view where,
                                   std::size_t line) {
    double a = 0.0, b = 0.0, c = 0.0, alpha = 90.0, beta = 90.0, gamma = 90.0;
    if (cellpar.size() == 1) {
        a = b = c = cellpar[0];
    } else if (cellpar.size() == 3 || cellpar.size() == 6) {
        a = cellpar[0];
        b = cellpar[1];
        c = cellpar[2];
        if (cellpar.size() == 6) {
            alpha = cellpar[3];
            beta = cellpar[4];
            gamma = cellpar[5];
        }
    } else {
        return core::success();
    }
    const double eps = 2.0 * (std::nextafter(90.0, std::numeric_limits<double>::infinity()) - 90.0);
    const double cos_alpha = cosine(alpha, eps);
    const double cos_beta = cosine(beta, eps);
    double sin_gamma = 0.0;
    double cos_gamma = 0.0;
    if (std::abs(gamma - 90.0) < eps) {
        sin_gamma = 1.0;
    } else if (std::abs(gamma + 90.0) < eps) {
        sin_gamma = -1.0;
    } else {
        cos_gamma = std::cos(gamma * kPi / 180.0);
        sin_gamma = std::sin(gamma * kPi / 180.0);
    }
    double cx = 0.0, cy = 0.0, cz_sqr = -1.0;
    if (sin_gamma != 0.0) {
        cx = cos_beta;
        cy = (cos_alpha - cos_beta * cos_gamma) / sin_gamma;
        cz_sqr = 1.0 - cx * cx - cy * cy;
    }
    if (!(cz_sqr >= 0.0)) { // NaN fails too
        return core::Status::fail(
            std::string(where) + ": the angles alpha, beta and gamma describe no cell.", line);
    }
    const double cz = std::sqrt(cz_sqr);
    // Fractional positions need three nonzero cell vectors.
    const bool zero_a = a * 1.0 == 0.0;
    const bool zero_b = b * cos_gamma == 0.0 && b * sin_gamma == 0.0;
    const bool zero_c = c * cx == 0.0 && c * cy == 0.0 && c * cz == 0.0;
    if (zero_a || zero_b || zero_c) {
        return core::Status::fail(std::string(where) + ": a cell vector has zero length.", line);
    }
    // The volume a b c sin(gamma) cz, relative to a b c: a flat cell places
    // no fractional position, and edges whose product underflows (1e-200 Å)
    // describe no crystal either.
    const double relative = std::abs(sin_gamma) * cz;
    if (!(relative >= kMinRelativeVolume)) {
        return core::Status::fail(
            std::string(where) + ": the angles describe a flat cell of zero volume.", line);
    }
    // An infinite volume is the reader's to refuse once the positions are
    // known, as positions that overflow say more about what went wrong.
    const double volume = std::abs(a) * std::abs(b) * std::abs(c) * relative;
    if (!(volume >= kMinCellVolume)) {
        return core::Status::fail(std::string(where) + ": the cell volume is zero.", line);
    }
    return core::success();
}

} // namespace ferrolith::io
