// Converters between host arrays (column-major) and row arrays of doubles.
#include "host/convert.h"

#include "host/args.h"

#include <cstring>

namespace {
// Columns copied together between column-major host data and row arrays: a
// cache line of each row.
constexpr int kColumnBlock = 8;
}  // namespace

double *mxArray1D_to_cArray1D(int *n, const mxArray *a)
{
    if (dimension_count(a) != 2) {
        *n = 0;
        mexWarnMsgTxt("mxArray1D_to_cArray1D: Argument passed was not appropriate!");
        return nullptr;
    }
    const mwSize rows = row_count(a);
    const mwSize cols = column_count(a);
    // The gateways pass real doubles of int-sized shapes only; anything else
    // would be read wrongly here.
    const bool readable = is_real_double(a) && fits_int(rows) && fits_int(cols);
    if (readable && rows == 1) {
        *n = static_cast<int>(cols);
    } else if (readable && cols == 1) {
        *n = static_cast<int>(rows);
    } else {
        *n = 0;
        mexWarnMsgTxt("mxArray1D_to_cArray1D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    const double *source = mxGetPr(a);
    auto *block = static_cast<double *>(mxCalloc(static_cast<size_t>(*n), sizeof(double)));
    if (!block)
        return nullptr;
    if (*n > 0)
        std::memcpy(block, source, sizeof(double) * static_cast<size_t>(*n));
    return block;
}

double **mxArray2D_to_cArray2D(int *rows, int *cols, const mxArray *a)
{
    if (dimension_count(a) != 2 || !is_real_double(a) || !fits_int(row_count(a)) || !fits_int(column_count(a))) {
        *rows = 0;
        *cols = 0;
        mexWarnMsgTxt("mxArray2D_to_cArray2D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    *rows = static_cast<int>(row_count(a));
    *cols = static_cast<int>(column_count(a));
    const double *source = mxGetPr(a);
    auto **table = static_cast<double **>(mxCalloc(static_cast<size_t>(*rows), sizeof(double *)));
    if (!table)
        return nullptr;
    for (int i = 0; i < *rows; ++i) {
        table[i] = static_cast<double *>(mxCalloc(static_cast<size_t>(*cols), sizeof(double)));
        if (!table[i])
            return nullptr;  // what was obtained is left to the host
    }
    // Walk the host data eight columns at a time, each in storage order, so
    // that every row is written a cache line at a time rather than once per
    // column; no rows, no walk, however many columns there are.
    const size_t r = static_cast<size_t>(*rows);
    for (int j0 = 0; r > 0 && j0 < *cols; j0 += kColumnBlock) {
        const int j1 = *cols - j0 < kColumnBlock ? *cols : j0 + kColumnBlock;
        for (int i = 0; i < *rows; ++i)
            for (int j = j0; j < j1; ++j)
                table[i][j] = source[static_cast<size_t>(j) * r + static_cast<size_t>(i)];
    }
    return table;
}

mxArray *cArray1D_to_mxArray1D(int n, double *data)
{
    const mwSize dims[2] = {static_cast<mwSize>(n), 1};
    mxArray *column = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
    if (!column)
        return nullptr;
    if (n > 0)
        std::memcpy(mxGetPr(column), data, sizeof(double) * static_cast<size_t>(n));
    mxFree(data);
    return column;
}

mxArray *cArray2D_to_mxArray2D(int rows, int cols, double **table)
{
    const mwSize dims[2] = {static_cast<mwSize>(rows), static_cast<mwSize>(cols)};
    mxArray *matrix = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
    if (!matrix)
        return nullptr;
    double *target = mxGetPr(matrix);
    const size_t r = static_cast<size_t>(rows);
    for (int j0 = 0; r > 0 && j0 < cols; j0 += kColumnBlock) {
        const int j1 = cols - j0 < kColumnBlock ? cols : j0 + kColumnBlock;
        for (int i = 0; i < rows; ++i)
            for (int j = j0; j < j1; ++j)
                target[static_cast<size_t>(j) * r + static_cast<size_t>(i)] = table[i][j];
    }
    for (int i = 0; i < rows; ++i)
        mxFree(table[i]);
    mxFree(table);
    return matrix;
}
