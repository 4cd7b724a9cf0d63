// The numpy array types of the bindings, named once.
#pragma once

#include <pybind11/numpy.h>

namespace ferrolith::binding {

/// A C-contiguous float64 array; other dtypes and layouts are converted.
using DoubleArray =
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;
/// A C-contiguous int64 array; other dtypes and layouts are converted.
using IntArray =
    pybind11::array_t<long long, pybind11::array::c_style | pybind11::array::forcecast>;

} // namespace ferrolith::binding
