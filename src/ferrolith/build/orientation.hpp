// Grain orientations: rotations from angles or from crystal directions, and
// the orientation tokens of a node record.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::build {

/// A Miller direction [uvw]: integer components along the seed's cell vectors.
using MillerDirection = std::array<long, 3>;

/// Rotation by `alpha` about x, then `beta` about y, then `gamma` about z (degrees,
/// right-handed, active): R = Rz(γ)·Ry(β)·Rx(α), so a crystal vector v lies along R·v.
Mat3 rotation_from_euler(double alpha, double beta, double gamma);

/// The angles (α, β, γ) in degrees, β in [−90, 90] and α, γ in (−180, 180], that
/// rotation_from_euler turns back into `rotation` (a proper rotation). At β = ±90°
/// the split between α and γ is not unique; α = 0 is chosen.
Vec3 euler_from_rotation(const Mat3& rotation);

/// Angles of a rotation drawn uniformly over all rotations (Haar measure) from three
/// numbers uniform in [0, 1): α and γ uniform, sin β uniform. Degrees.
Vec3 euler_from_uniforms(double u1, double u2, double u3);

/// The rotation angle (degrees, 0..180) of aᵀ·b: how far apart two orientations are.
double misorientation_angle(const Mat3& a, const Mat3& b);

/// Parses a direction token "[uvw]": single digits with optional signs ("[1-10]",
/// "[-11-2]"), or components separated by commas or underscores for larger
/// indices ("[10,-3,1]", "[10_-3_1]"). Empty when the token is not of that form.
std::optional<MillerDirection> parse_miller_direction(std::string_view token);

/// Parses a plain decimal number (sign, digits, point, exponent); no inf, nan,
/// hex or surrounding blanks. Empty when the text is not such a number.
std::optional<double> parse_decimal(std::string_view text);

/// The rotation or the reason there is none.
struct RotationResult {
    std::optional<Mat3> rotation; ///< proper rotation (orthonormal, det +1)
    std::string error;            ///< set when rotation is empty
};

/// The rotation that turns the crystal directions `along_x`, `along_y`, `along_z`
/// (Miller indices on the rows of `cell`, Å) onto the x, y and z axes. Fails for a
/// zero direction, directions more than `tolerance` (cosine) from orthogonal, or a
/// left-handed set.
RotationResult rotation_from_directions(const std::array<MillerDirection, 3>& directions,
                                        const Mat3& cell, double tolerance = 1e-6);

/// What the orientation tokens of a node record ask for.
struct OrientationRequest {
    enum class Kind { kRandom, kAngles, kDirections, kInvalid };
    Kind kind = Kind::kInvalid;
    Vec3 angles{};                               ///< degrees, for kAngles
    std::array<MillerDirection, 3> directions{}; ///< for kDirections
};

/// Classifies the orientation tokens: "random" (any case), three finite decimal
/// angles in degrees, or three Miller directions; anything else is kInvalid.
OrientationRequest parse_orientation(const std::vector<std::string>& tokens);

/// "[uvw]" text of a direction, with commas when a component has several digits.
std::string format_miller_direction(const MillerDirection& d);

} // namespace ferrolith::build
