// From CSV cells to patterns and labels, and the feature scaling.
#include "dataset.h"

#include "error.h"
#include "numbers.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

namespace cli {

Dataset take_columns(const CsvTable &table, const std::vector<size_t> &features, size_t label)
{
    Dataset data;
    data.source = table.path;
    for (size_t j : features)
        data.feature_names.push_back(table.header[j]);
    if (label != std::string::npos)
        data.label_name = table.header[label];
    data.rows = table.rows;
    data.x.reserve(table.rows * features.size());
    for (size_t i = 0; i < table.rows; ++i) {
        for (size_t j : features)
            data.x.push_back(table.at(i, j));
        if (label == std::string::npos)
            continue;
        const double value = table.at(i, label);
        if (!is_int32_whole(value))
            throw Error(table.where(i, label) + ": label " + format_double(value) +
                        " is not a whole number in the int range");
        data.y.push_back(value);
    }
    return data;
}

Dataset Dataset::subset(const std::vector<size_t> &rows_taken) const
{
    Dataset part;
    part.source = source;
    part.feature_names = feature_names;
    part.label_name = label_name;
    part.rows = rows_taken.size();
    for (size_t i : rows_taken) {
        part.x.insert(part.x.end(), x.begin() + static_cast<long>(i * cols()),
                      x.begin() + static_cast<long>((i + 1) * cols()));
        if (labelled())
            part.y.push_back(y[i]);
    }
    return part;
}

Dataset training_data(const CsvTable &table, const std::string &label_column)
{
    const size_t label = label_column.empty() ? table.cols() - 1 : find_column(table.header, label_column);
    if (label == std::string::npos)
        throw Error(table.path + " has no column '" + label_column + "' (--label-column)");
    if (table.cols() < 2)
        throw Error(table.path + ": no feature column besides the label column '" + table.header[label] + "'");
    std::vector<size_t> features;
    for (size_t j = 0; j < table.cols(); ++j)
        if (j != label)
            features.push_back(j);
    return take_columns(table, features, label);
}

ModelColumns model_columns(const std::string &path, const std::vector<std::string> &header,
                           const std::vector<std::string> &feature_names, const std::string &label_name)
{
    // Hash lookups: linear in the number of columns, however many there are.
    std::unordered_map<std::string_view, size_t> column_of;
    for (size_t j = 0; j < header.size(); ++j)
        column_of.emplace(header[j], j);
    ModelColumns columns;
    std::vector<bool> used(header.size(), false);
    for (const std::string &name : feature_names) {
        const auto at = column_of.find(name);
        if (at == column_of.end())
            throw Error(path + " has no column '" + name + "', a feature of the model");
        columns.features.push_back(at->second);
        used[at->second] = true;
    }
    const auto label = column_of.find(label_name);
    if (label != column_of.end()) {
        columns.label = label->second;
        used[label->second] = true;
    }
    for (size_t j = 0; j < header.size(); ++j)
        if (!used[j])
            throw Error(path + ": column '" + header[j] + "' is neither a feature of the model nor its label column '" +
                        label_name + "'");
    return columns;
}

Dataset data_for_model(const CsvTable &table, const std::vector<std::string> &feature_names,
                       const std::string &label_name)
{
    const ModelColumns columns = model_columns(table.path, table.header, feature_names, label_name);
    return take_columns(table, columns.features, columns.label);
}

Scaling fit_scaling(const Dataset &data, bool enabled)
{
    Scaling scaling;
    scaling.enabled = enabled;
    for (size_t j = 0; j < data.cols(); ++j) {
        double lo = data.x[j], hi = data.x[j];
        for (size_t i = 1; i < data.rows; ++i) {
            lo = std::min(lo, data.x[i * data.cols() + j]);
            hi = std::max(hi, data.x[i * data.cols() + j]);
        }
        if (enabled && !std::isfinite(hi - lo))
            throw Error(data.source + ": feature '" + data.feature_names[j] +
                        "' spans too wide a range to scale (try --no-scale)");
        scaling.min.push_back(lo);
        scaling.max.push_back(hi);
    }
    return scaling;
}

void apply_scaling(const Scaling &scaling, Dataset *data)
{
    if (!scaling.enabled)
        return;
    const size_t m = data->cols();
    for (size_t j = 0; j < m; ++j) {
        const double lo = scaling.min[j], hi = scaling.max[j];
        for (size_t i = 0; i < data->rows; ++i) {
            double &v = data->x[i * m + j];
            v = hi > lo ? (v - lo) / (hi - lo) : 0.0;
        }
    }
}

std::vector<double> distinct_labels(const std::vector<double> &labels)
{
    std::vector<double> distinct(labels);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return distinct;
}

}  // namespace cli
