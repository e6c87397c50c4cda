// Host arrays in and out, for the model functions' gateway: an array from
// the host is checked for its class and shape before it is read, and a wrong
// one throws front::Error naming what it should have been.
#ifndef QUORV_MATLAB_MEX_ARRAYS_H
#define QUORV_MATLAB_MEX_ARRAYS_H

#include "mex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorv_mex {

// ---- host arrays in ----

std::string text_of(const mxArray *a, const char *what);
std::vector<double> doubles_of(const mxArray *a, const char *what);
double scalar_of(const mxArray *a, const char *what);
// A whole number in [lo, hi], from a double or an int64 (seeds beyond 2^53).
std::int64_t whole_of(const mxArray *a, const char *what, std::int64_t lo, std::int64_t hi);
std::vector<std::string> texts_of(const mxArray *a, const char *what);
const mxArray *field_of(const mxArray *s, const char *name, size_t i = 0);
// A host matrix (column-major) as a row-major block.
std::vector<double> row_major(const mxArray *a, size_t *rows, size_t *cols, const char *what);

// ---- host arrays out ----

mxArray *matrix(const std::vector<double> &row_major_values, size_t rows, size_t cols);
mxArray *column(const std::vector<double> &v);
mxArray *row(const std::vector<double> &v);
// Positions counted from 1, as Octave indexes.
mxArray *positions(const std::vector<size_t> &v);
mxArray *texts(const std::vector<std::string> &v, bool as_column);
mxArray *int64_scalar(std::int64_t v);

}  // namespace quorv_mex

#endif
