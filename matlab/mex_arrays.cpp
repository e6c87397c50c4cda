// Host arrays in and out (mex_arrays.h): a host matrix is column-major, the
// core library's blocks row-major; positions count from 1 on the host side.
#include "mex_arrays.h"

#include "front/error.h"

#include <cmath>

namespace quorv_mex {

using front::Error;

std::string text_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsChar(a) || (mxGetM(a) > 1 && mxGetNumberOfElements(a) > 0))
        throw Error(std::string(what) + " must be a character row");
    char *s = mxArrayToString(a);  // UTF-8 in Octave and current MATLAB
    if (!s)
        throw Error(std::string(what) + " cannot be read as text");
    std::string out(s);
    mxFree(s);
    return out;
}

std::vector<double> doubles_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsDouble(a) || mxIsComplex(a) || mxIsSparse(a))
        throw Error(std::string(what) + " must be a real double array");
    const double *p = mxGetPr(a);
    const size_t n = mxGetNumberOfElements(a);
    return n ? std::vector<double>(p, p + n) : std::vector<double>();
}

double scalar_of(const mxArray *a, const char *what)
{
    if (!a || (!mxIsNumeric(a) && !mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        throw Error(std::string(what) + " must be a real scalar");
    return mxGetScalar(a);
}

// A whole number in [lo, hi], from a double or an int64 (seeds beyond 2^53).
std::int64_t whole_of(const mxArray *a, const char *what, std::int64_t lo, std::int64_t hi)
{
    if (a && mxIsInt64(a) && mxGetNumberOfElements(a) == 1) {
        const std::int64_t v = *static_cast<const std::int64_t *>(mxGetData(a));
        if (v >= lo && v <= hi)
            return v;
    } else {
        const double v = scalar_of(a, what);
        if (v == std::floor(v) && v >= static_cast<double>(lo) && v <= static_cast<double>(hi) &&
            std::fabs(v) <= 9007199254740992.0)
            return static_cast<std::int64_t>(v);
    }
    throw Error(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                std::to_string(hi));
}

std::vector<std::string> texts_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsCell(a))
        throw Error(std::string(what) + " must be a cell array of character rows");
    std::vector<std::string> out;
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i)
        out.push_back(text_of(mxGetCell(a, i), what));
    return out;
}

const mxArray *field_of(const mxArray *s, const char *name, size_t i)
{
    const mxArray *f = mxGetField(s, i, name);
    if (!f)
        throw Error(std::string("the model has no field '") + name + "'");
    return f;
}

// A host matrix (column-major) as a row-major block.
std::vector<double> row_major(const mxArray *a, size_t *rows, size_t *cols, const char *what)
{
    const std::vector<double> v = doubles_of(a, what);
    *rows = mxGetM(a);
    *cols = mxGetN(a);
    std::vector<double> out(v.size());
    for (size_t i = 0; i < *rows; ++i)
        for (size_t j = 0; j < *cols; ++j)
            out[i * *cols + j] = v[j * *rows + i];
    return out;
}

mxArray *matrix(const std::vector<double> &row_major_values, size_t rows, size_t cols)
{
    mxArray *a = mxCreateDoubleMatrix(rows, cols, mxREAL);
    double *p = mxGetPr(a);
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            p[j * rows + i] = row_major_values[i * cols + j];
    return a;
}

mxArray *column(const std::vector<double> &v) { return matrix(v, v.size(), 1); }
mxArray *row(const std::vector<double> &v) { return matrix(v, 1, v.size()); }

// Positions counted from 1, as Octave indexes.
mxArray *positions(const std::vector<size_t> &v)
{
    std::vector<double> d(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        d[i] = static_cast<double>(v[i] + 1);
    return row(d);
}

mxArray *texts(const std::vector<std::string> &v, bool as_column)
{
    mxArray *c = as_column ? mxCreateCellMatrix(v.size(), 1) : mxCreateCellMatrix(1, v.size());
    for (size_t i = 0; i < v.size(); ++i)
        mxSetCell(c, i, mxCreateString(v[i].c_str()));
    return c;
}

mxArray *int64_scalar(std::int64_t v)
{
    mxArray *a = mxCreateNumericMatrix(1, 1, mxINT64_CLASS, mxREAL);
    *static_cast<std::int64_t *>(mxGetData(a)) = v;
    return a;
}

}  // namespace quorv_mex
