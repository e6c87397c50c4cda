// Missing values (NaN) filled with the training medians: computed once here
// for every front end, so that one model file fills a row the same way in the
// tool and in Python.
#ifndef QUORV_FRONT_MISSING_H
#define QUORV_FRONT_MISSING_H

#include "scaling.h"

#include <cstddef>
#include <vector>

namespace front {

// Each column's median over its values that are not NaN (the mean of the two
// middle ones for an even count); NaN for a column without any value.
std::vector<double> feature_medians(const MatrixView &x);
// The same over the listed rows only: a fold's training rows, so that the
// held-out rows, whose values the filling must not learn from, take no part.
std::vector<double> feature_medians(const MatrixView &x, const std::vector<size_t> &rows);

// The first column whose median is NaN (no value at all), or npos.
size_t column_without_values(const std::vector<double> &medians);

// Replaces each NaN of a row-major rows x medians.size() block with its
// column's median; returns how many were replaced.
size_t fill_missing(const std::vector<double> &medians, double *x, size_t rows);

}  // namespace front

#endif
