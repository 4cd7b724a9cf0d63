#include "ferrolith/build/orientation.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace ferrolith::build {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// Angle in degrees folded into (−180, 180].
double fold_degrees(double a) {
    if (a <= -180.0) {
        a += 360.0;
    }
    if (a > 180.0) {
        a -= 360.0;
    }
    return a;
}

std::optional<long> parse_signed_integer(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t pos = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == text.size() || text.size() - pos > 9) {
        return std::nullopt;
    }
    long value = 0;
    for (; pos < text.size(); ++pos) {
        if (!std::isdigit(static_cast<unsigned char>(text[pos]))) {
            return std::nullopt;
        }
        value = value * 10 + (text[pos] - '0');
    }
    return negative ? -value : value;
}

} // namespace

Mat3 rotation_from_euler(double alpha, double beta, double gamma) {
    const double ca = std::cos(alpha * kDeg), sa = std::sin(alpha * kDeg);
    const double cb = std::cos(beta * kDeg), sb = std::sin(beta * kDeg);
    const double cg = std::cos(gamma * kDeg), sg = std::sin(gamma * kDeg);
    const Mat3 rx{Vec3{1, 0, 0}, Vec3{0, ca, -sa}, Vec3{0, sa, ca}};
    const Mat3 ry{Vec3{cb, 0, sb}, Vec3{0, 1, 0}, Vec3{-sb, 0, cb}};
    const Mat3 rz{Vec3{cg, -sg, 0}, Vec3{sg, cg, 0}, Vec3{0, 0, 1}};
    return mul(rz, mul(ry, rx));
}

Vec3 euler_from_rotation(const Mat3& r) {
    const double sb = std::clamp(-r[2][0], -1.0, 1.0);
    const double beta = std::asin(sb);
    const double cb = std::sqrt(r[2][1] * r[2][1] + r[2][2] * r[2][2]);
    double alpha = 0.0;
    double gamma = 0.0;
    if (cb > 1e-12) {
        alpha = std::atan2(r[2][1], r[2][2]);
        gamma = std::atan2(r[1][0], r[0][0]);
    } else {
        // Gimbal lock: only α ∓ γ is defined; put it all in γ.
        gamma = std::atan2(-r[0][1], r[1][1]);
    }
    return {fold_degrees(alpha / kDeg), beta / kDeg, fold_degrees(gamma / kDeg)};
}

Vec3 euler_from_uniforms(double u1, double u2, double u3) {
    // For R = Rz·Ry·Rx the invariant measure is cos β dα dβ dγ.
    const double alpha = 360.0 * u1 - 180.0;
    const double beta = std::asin(std::clamp(2.0 * u2 - 1.0, -1.0, 1.0)) / kDeg;
    const double gamma = 360.0 * u3 - 180.0;
    return {fold_degrees(alpha), beta, fold_degrees(gamma)};
}

double misorientation_angle(const Mat3& a, const Mat3& b) {
    const Mat3 d = mul(transpose(a), b);
    const double trace = d[0][0] + d[1][1] + d[2][2];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) / kDeg;
}

std::optional<MillerDirection> parse_miller_direction(std::string_view token) {
    if (token.size() < 3 || token.front() != '[' || token.back() != ']') {
        return std::nullopt;
    }
    const std::string_view body = token.substr(1, token.size() - 2);
    MillerDirection d{};
    if (body.find_first_of(",_") != std::string_view::npos) {
        // Separated components, any number of digits each.
        std::size_t start = 0;
        for (int c = 0; c < 3; ++c) {
            const std::size_t end = c < 2 ? body.find_first_of(",_", start) : body.size();
            if (end == std::string_view::npos) {
                return std::nullopt;
            }
            const auto value = parse_signed_integer(body.substr(start, end - start));
            if (!value) {
                return std::nullopt;
            }
            d[c] = *value; // a fourth component fails to parse as part of the third
            start = end + 1;
        }
        return d;
    }
    // Compact form: one digit per component, each with an optional sign.
    int count = 0;
    for (std::size_t pos = 0; pos < body.size();) {
        long sign = 1;
        if (body[pos] == '-' || body[pos] == '+') {
            sign = body[pos] == '-' ? -1 : 1;
            ++pos;
        }
        if (pos >= body.size() || !std::isdigit(static_cast<unsigned char>(body[pos])) ||
            count == 3) {
            return std::nullopt;
        }
        d[count++] = sign * (body[pos] - '0');
        ++pos;
    }
    if (count != 3) {
        return std::nullopt;
    }
    return d;
}

std::optional<double> parse_decimal(std::string_view text) {
    std::size_t pos = 0;
    const std::size_t n = text.size();
    auto skip_sign = [&] {
        if (pos < n && (text[pos] == '+' || text[pos] == '-')) {
            ++pos;
        }
    };
    auto skip_digits = [&] {
        const std::size_t first = pos;
        while (pos < n && std::isdigit(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        return pos - first;
    };
    skip_sign();
    std::size_t digits = skip_digits();
    if (pos < n && text[pos] == '.') {
        ++pos;
        digits += skip_digits();
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (pos < n && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        skip_sign();
        if (skip_digits() == 0) {
            return std::nullopt;
        }
    }
    if (pos != n) {
        return std::nullopt;
    }
    const std::string copy(text);
    const double value = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

RotationResult rotation_from_directions(const std::array<MillerDirection, 3>& directions,
                                        const Mat3& cell, double tolerance) {
    std::array<Vec3, 3> axis{};
    for (int k = 0; k < 3; ++k) {
        const MillerDirection& d = directions[k];
        Vec3 v{};
        for (int c = 0; c < 3; ++c) {
            v = add(v, scale(cell[c], static_cast<double>(d[c])));
        }
        const double length = norm(v);
        if (length == 0.0) {
            return {std::nullopt, "direction " + format_miller_direction(d) + " is zero"};
        }
        axis[k] = scale(v, 1.0 / length);
    }
    for (int a = 0; a < 3; ++a) {
        for (int b = a + 1; b < 3; ++b) {
            if (std::fabs(dot(axis[a], axis[b])) > tolerance) {
                return {std::nullopt, "directions " + format_miller_direction(directions[a]) +
                                          " and " + format_miller_direction(directions[b]) +
                                          " are not orthogonal"};
            }
        }
    }
    if (dot(cross(axis[0], axis[1]), axis[2]) < 0.0) {
        return {std::nullopt, "directions " + format_miller_direction(directions[0]) + " " +
                                  format_miller_direction(directions[1]) + " " +
                                  format_miller_direction(directions[2]) +
                                  " form a left-handed set (reverse the signs of one of them)"};
    }
    // Clean up the rounding left within the tolerance: Gram-Schmidt on x and y, z
    // from their cross product, so the matrix is orthonormal to machine precision.
    const Vec3 x = axis[0];
    Vec3 y = sub(axis[1], scale(x, dot(axis[1], x)));
    y = scale(y, 1.0 / norm(y));
    const Vec3 z = cross(x, y);
    return {Mat3{x, y, z}, {}};
}

OrientationRequest parse_orientation(const std::vector<std::string>& tokens) {
    OrientationRequest request;
    if (tokens.size() == 1) {
        std::string lower = tokens[0];
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == "random") {
            request.kind = OrientationRequest::Kind::kRandom;
        }
        return request;
    }
    if (tokens.size() != 3) {
        return request;
    }
    bool all_angles = true;
    bool all_directions = true;
    for (int k = 0; k < 3; ++k) {
        // An angle past the range of a double would turn the grain into
        // non-finite atoms.
        if (auto angle = parse_decimal(tokens[k]); angle && std::isfinite(*angle)) {
            request.angles[k] = *angle;
        } else {
            all_angles = false;
        }
        if (auto direction = parse_miller_direction(tokens[k])) {
            request.directions[k] = *direction;
        } else {
            all_directions = false;
        }
    }
    if (all_angles) {
        request.kind = OrientationRequest::Kind::kAngles;
    } else if (all_directions) {
        request.kind = OrientationRequest::Kind::kDirections;
    }
    return request;
}

std::string format_miller_direction(const MillerDirection& d) {
    const bool compact = std::all_of(d.begin(), d.end(), [](long v) { return v > -10 && v < 10; });
    std::string text = "[";
    for (int c = 0; c < 3; ++c) {
        if (!compact && c > 0) {
            text += ",";
        }
        text += std::to_string(d[c]);
    }
    return text + "]";
}

} // namespace ferrolith::build
