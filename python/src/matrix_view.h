// numpy arrays seen by the core library in place: the view keeps the array's
// strides, so whatever layout numpy gives is read without a copy.
#ifndef QUORV_PYTHON_MATRIX_VIEW_H
#define QUORV_PYTHON_MATRIX_VIEW_H

#include "front/scaling.h"

#include <pybind11/numpy.h>

#include <cstddef>

// A 2-D array of float64 (the caller has checked both, with its own words).
inline front::MatrixView matrix_view(const pybind11::array &a)
{
    front::MatrixView v;
    v.data = static_cast<const char *>(a.data());
    v.rows = static_cast<size_t>(a.shape(0));
    v.cols = static_cast<size_t>(a.shape(1));
    v.row_stride = a.strides(0);
    v.col_stride = a.strides(1);
    return v;
}

#endif
