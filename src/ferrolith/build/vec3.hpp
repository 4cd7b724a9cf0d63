// The structure builders' names for the kernels' one set of vector and
// matrix types (ferrolith/core/vec3.hpp).
#pragma once

#include "ferrolith/core/vec3.hpp"

namespace ferrolith::build {

using core::add;
using core::cross;
using core::determinant;
using core::dot;
using core::inverse;
using core::Mat3;
using core::mul;
using core::mul_transposed;
using core::norm;
using core::scale;
using core::sub;
using core::transpose;
using core::Vec3;

} // namespace ferrolith::build
