// Training medians for missing values: NaN never enters a median, and a
// median is one of the column's values or the mean of two of them.
#include "missing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace front {

std::vector<double> feature_medians(const MatrixView &x)
{
    std::vector<size_t> rows(x.rows);
    for (size_t i = 0; i < x.rows; ++i)
        rows[i] = i;
    return feature_medians(x, rows);
}

std::vector<double> feature_medians(const MatrixView &x, const std::vector<size_t> &rows)
{
    std::vector<double> medians(x.cols, std::numeric_limits<double>::quiet_NaN());
    std::vector<double> values;
    for (size_t j = 0; j < x.cols; ++j) {
        values.clear();
        for (size_t i : rows)
            if (!std::isnan(x.at(i, j)))
                values.push_back(x.at(i, j));
        if (values.empty())
            continue;
        const size_t mid = values.size() / 2;
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
        const double upper = values[mid];
        if (values.size() % 2 == 1) {
            medians[j] = upper;
        } else {
            const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
            medians[j] = lower / 2 + upper / 2;  // halves first: no overflow near the largest doubles
        }
    }
    return medians;
}

size_t column_without_values(const std::vector<double> &medians)
{
    for (size_t j = 0; j < medians.size(); ++j)
        if (std::isnan(medians[j]))
            return j;
    return std::string::npos;
}

size_t fill_missing(const std::vector<double> &medians, double *x, size_t rows)
{
    size_t filled = 0;
    const size_t cols = medians.size();
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            if (std::isnan(x[i * cols + j])) {
                x[i * cols + j] = medians[j];
                ++filled;
            }
    return filled;
}

}  // namespace front
