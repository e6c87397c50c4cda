// Min-max feature scaling, the one rule both front ends apply: each feature
// of the training set mapped to [0, 1] by its own minimum and maximum, a
// constant feature to 0. Ranges are fitted in row order and each bound is the
// first of equal values, so that even the sign of a zero bound is the same
// whichever front end fitted it.
#ifndef QUORV_FRONT_SCALING_H
#define QUORV_FRONT_SCALING_H

#include <cstddef>
#include <vector>

namespace front {

// Training-set range of each feature; applied only when `enabled`.
struct Scaling {
    bool enabled = true;
    std::vector<double> min, max;
};

// A read-only matrix of doubles with any strides (in bytes), so that a
// front end's arrays are read where they are.
struct MatrixView {
    const char *data = nullptr;
    size_t rows = 0, cols = 0;
    std::ptrdiff_t row_stride = 0, col_stride = 0;

    double at(size_t i, size_t j) const
    {
        return *reinterpret_cast<const double *>(data + static_cast<std::ptrdiff_t>(i) * row_stride +
                                                 static_cast<std::ptrdiff_t>(j) * col_stride);
    }
    // A row-major block of rows x cols doubles.
    static MatrixView row_major(const double *x, size_t rows, size_t cols);
};

// The scaled value of v for the range [lo, hi].
inline double scale_value(double v, double lo, double hi) { return hi > lo ? (v - lo) / (hi - lo) : 0.0; }

// Each column's range, from at least one row.
Scaling fit_scaling(const MatrixView &x, bool enabled);

// The first feature whose range is too wide to scale (max - min overflows),
// or npos; always npos when scaling is off. Front ends refuse such data with
// their own words (the tool names --no-scale, Python scale=False).
size_t unscalable_feature(const Scaling &scaling);

// Scales a row-major rows x cols block in place; nothing when disabled.
void apply_scaling(const Scaling &scaling, double *x, size_t rows, size_t cols);

}  // namespace front

#endif
