// Converters between host arrays (column-major) and row arrays of doubles.
#include "host/convert.h"

#include "host/args.h"

#include <cstdint>
#include <cstring>

namespace {

template <class T>
double element(const void *data, size_t i)
{
    return static_cast<double>(static_cast<const T *>(data)[i]);
}

using ElementReader = double (*)(const void *, size_t);

// How to read the host data of `a` as doubles. Arrays of other classes get
// converted rather than read as doubles past their end; sparse, cell and
// struct arrays hold no such data (null).
ElementReader reader_for(const mxArray *a)
{
    if (mxIsSparse(a))
        return nullptr;
    switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: return element<double>;
    case mxSINGLE_CLASS: return element<float>;
    case mxINT8_CLASS: return element<std::int8_t>;
    case mxUINT8_CLASS: return element<std::uint8_t>;
    case mxINT16_CLASS: return element<std::int16_t>;
    case mxUINT16_CLASS: return element<std::uint16_t>;
    case mxINT32_CLASS: return element<std::int32_t>;
    case mxUINT32_CLASS: return element<std::uint32_t>;
    case mxINT64_CLASS: return element<std::int64_t>;
    case mxUINT64_CLASS: return element<std::uint64_t>;
    case mxLOGICAL_CLASS: return element<std::uint8_t>;
    case mxCHAR_CLASS: return element<std::uint16_t>;
    default: return nullptr;
    }
}

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
    if (rows == 1) {
        *n = static_cast<int>(cols);
    } else if (cols == 1) {
        *n = static_cast<int>(rows);
    } else {
        *n = 0;
        mexWarnMsgTxt("mxArray1D_to_cArray1D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    const ElementReader read = reader_for(a);
    if (!read) {
        *n = 0;
        mexWarnMsgTxt("mxArray1D_to_cArray1D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    const void *source = mxGetData(a);
    auto *block = static_cast<double *>(mxCalloc(static_cast<size_t>(*n), sizeof(double)));
    if (!block)
        return nullptr;
    if (read == element<double>) {
        if (*n > 0)
            std::memcpy(block, source, sizeof(double) * static_cast<size_t>(*n));
    } else {
        for (size_t k = 0; k < static_cast<size_t>(*n); ++k)
            block[k] = read(source, k);
    }
    return block;
}

double **mxArray2D_to_cArray2D(int *rows, int *cols, const mxArray *a)
{
    if (dimension_count(a) != 2) {
        *rows = 0;
        *cols = 0;
        mexWarnMsgTxt("mxArray2D_to_cArray2D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    const ElementReader read = reader_for(a);
    if (!read) {
        *rows = 0;
        *cols = 0;
        mexWarnMsgTxt("mxArray2D_to_cArray2D: mxArray argument passed was not appropriate!");
        return nullptr;
    }
    *rows = static_cast<int>(row_count(a));
    *cols = static_cast<int>(column_count(a));
    const void *source = mxGetData(a);
    auto **table = static_cast<double **>(mxCalloc(static_cast<size_t>(*rows), sizeof(double *)));
    if (!table)
        return nullptr;
    for (int i = 0; i < *rows; ++i) {
        table[i] = static_cast<double *>(mxCalloc(static_cast<size_t>(*cols), sizeof(double)));
        if (!table[i])
            return nullptr;  // what was obtained is left to the host
    }
    // Walk the host data in storage order, column by column.
    const size_t r = static_cast<size_t>(*rows);
    const auto *doubles = read == element<double> ? static_cast<const double *>(source) : nullptr;
    for (int j = 0; j < *cols; ++j)
        for (int i = 0; i < *rows; ++i) {
            const size_t k = static_cast<size_t>(j) * r + static_cast<size_t>(i);
            table[i][j] = doubles ? doubles[k] : read(source, k);
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
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i)
            target[static_cast<size_t>(j) * r + static_cast<size_t>(i)] = table[i][j];
    for (int i = 0; i < rows; ++i)
        mxFree(table[i]);
    mxFree(table);
    return matrix;
}
