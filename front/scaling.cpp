// Fitting and applying the min-max scaling.
#include "scaling.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace front {

MatrixView MatrixView::row_major(const double *x, size_t rows, size_t cols)
{
    MatrixView v;
    v.data = reinterpret_cast<const char *>(x);
    v.rows = rows;
    v.cols = cols;
    v.row_stride = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    v.col_stride = sizeof(double);
    return v;
}

Scaling fit_scaling(const MatrixView &x, bool enabled)
{
    Scaling scaling;
    scaling.enabled = enabled;
    scaling.min.resize(x.cols);
    scaling.max.resize(x.cols);
    for (size_t j = 0; j < x.cols; ++j) {
        double lo = x.rows ? x.at(0, j) : 0.0, hi = lo;
        for (size_t i = 1; i < x.rows; ++i) {
            // std::min and std::max keep the first of equals (0 before -0).
            lo = std::min(lo, x.at(i, j));
            hi = std::max(hi, x.at(i, j));
        }
        scaling.min[j] = lo;
        scaling.max[j] = hi;
    }
    return scaling;
}

size_t unscalable_feature(const Scaling &scaling)
{
    if (scaling.enabled)
        for (size_t j = 0; j < scaling.min.size(); ++j)
            if (!std::isfinite(scaling.max[j] - scaling.min[j]))
                return j;
    return std::string::npos;
}

void apply_scaling(const Scaling &scaling, double *x, size_t rows, size_t cols)
{
    if (!scaling.enabled)
        return;
    for (size_t j = 0; j < cols; ++j) {
        const double lo = scaling.min[j], hi = scaling.max[j];
        for (size_t i = 0; i < rows; ++i)
            x[i * cols + j] = scale_value(x[i * cols + j], lo, hi);
    }
}

}  // namespace front
