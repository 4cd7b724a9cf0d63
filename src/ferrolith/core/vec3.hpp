// The one set of small fixed-size vector and matrix types of the kernels.
#pragma once

#include <array>
#include <cmath>

namespace ferrolith::core {

/// A Cartesian vector (Å, or dimensionless for directions).
using Vec3 = std::array<double, 3>;

/// A 3×3 matrix stored by rows: m[r][c].
using Mat3 = std::array<Vec3, 3>;

/// a + b.
inline Vec3 add(const Vec3& a, const Vec3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
/// a − b.
inline Vec3 sub(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
/// s·a.
inline Vec3 scale(const Vec3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}
/// a·b.
inline double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
/// a×b.
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
/// |a|.
inline double norm(const Vec3& a) {
    return std::sqrt(dot(a, a));
}

/// m·v (v as a column).
inline Vec3 mul(const Mat3& m, const Vec3& v) {
    return {dot(m[0], v), dot(m[1], v), dot(m[2], v)};
}
/// mᵀ·v.
inline Vec3 mul_transposed(const Mat3& m, const Vec3& v) {
    return {m[0][0] * v[0] + m[1][0] * v[1] + m[2][0] * v[2],
            m[0][1] * v[0] + m[1][1] * v[1] + m[2][1] * v[2],
            m[0][2] * v[0] + m[1][2] * v[1] + m[2][2] * v[2]};
}
/// a·b.
inline Mat3 mul(const Mat3& a, const Mat3& b) {
    Mat3 out{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
        }
    }
    return out;
}
/// mᵀ.
inline Mat3 transpose(const Mat3& m) {
    return {Vec3{m[0][0], m[1][0], m[2][0]}, Vec3{m[0][1], m[1][1], m[2][1]},
            Vec3{m[0][2], m[1][2], m[2][2]}};
}
/// det(m).
inline double determinant(const Mat3& m) {
    return dot(m[0], cross(m[1], m[2]));
}

/// m⁻¹ for a non-singular m (the caller checks the determinant).
inline Mat3 inverse(const Mat3& m) {
    const double det = determinant(m);
    // Rows of the inverse's transpose are the cross products of m's rows.
    const Vec3 c0 = cross(m[1], m[2]);
    const Vec3 c1 = cross(m[2], m[0]);
    const Vec3 c2 = cross(m[0], m[1]);
    return transpose(Mat3{scale(c0, 1.0 / det), scale(c1, 1.0 / det), scale(c2, 1.0 / det)});
}

} // namespace ferrolith::core
