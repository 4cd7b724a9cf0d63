#include "ferrolith/io/cell_parameters.hpp"

#include <cmath>
#include <limits>

namespace ferrolith::io {

namespace {

constexpr double kPi = 3.141592653589793; // math.pi

// ASE snaps angles within two ulps of 90 degrees to an exact right angle.
double cosine(double angle, double eps) {
    return std::abs(std::abs(angle) - 90.0) < eps ? 0.0 : std::cos(angle * kPi / 180.0);
}

} // namespace

core::Status check_cell_angles(double alpha, double beta, double gamma, std::string_view where,
                               std::size_t line) {
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
    bool possible = sin_gamma != 0.0;
    if (possible) {
        const double cx = cos_beta;
        const double cy = (cos_alpha - cos_beta * cos_gamma) / sin_gamma;
        const double cz_sqr = 1.0 - cx * cx - cy * cy;
        possible = cz_sqr >= 0.0; // false for NaN too
    }
    if (!possible) {
        return core::Status::fail(
            std::string(where) + ": the angles alpha, beta and gamma describe no cell.", line);
    }
    return core::success();
}

} // namespace ferrolith::io
