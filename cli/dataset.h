// Patterns and labels taken from a CSV table, and the min-max scaling that
// maps each feature of the training set to [0, 1].
#ifndef QUORV_CLI_DATASET_H
#define QUORV_CLI_DATASET_H

#include "csv.h"

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

struct Dataset {
    std::string source;                      // file the rows came from
    std::vector<std::string> feature_names;
    std::string label_name;                  // empty when the data has no label column
    size_t rows = 0;
    std::vector<double> x;                   // row-major, rows x features
    std::vector<double> y;                   // whole-number labels, one per row, when labelled

    size_t cols() const { return feature_names.size(); }
    bool labelled() const { return !label_name.empty(); }
    // The given rows, in the given order.
    Dataset subset(const std::vector<size_t> &rows) const;
};

// Training data: the label column (`label_column` by name or 1-based number,
// the last column when empty) and every other column as a feature.
Dataset training_data(const CsvTable &table, const std::string &label_column);

// The chosen columns of a table (label npos: none). Labels must be whole
// numbers in the int range, since the plug-ins hold labels as ints.
Dataset take_columns(const CsvTable &table, const std::vector<size_t> &features, size_t label);

// The columns of a header that hold a model's features, in the model's order,
// and its label column (npos when absent). Any missing feature or foreign
// column is an error naming `path`.
struct ModelColumns {
    std::vector<size_t> features;
    size_t label = std::string::npos;
};
ModelColumns model_columns(const std::string &path, const std::vector<std::string> &header,
                           const std::vector<std::string> &feature_names, const std::string &label_name);

// Data for a trained model: its features by name, in its order, and its label
// column when the table has one. Any missing feature or foreign column is an error.
Dataset data_for_model(const CsvTable &table, const std::vector<std::string> &feature_names,
                       const std::string &label_name);

// Training-set range of each feature; applied only when `enabled`.
struct Scaling {
    bool enabled = true;
    std::vector<double> min, max;
};

// Ranges of the data's features; refuses a range too wide to scale.
Scaling fit_scaling(const Dataset &data, bool enabled);
// (v - min) / (max - min) per feature, 0 for a constant feature; nothing when disabled.
void apply_scaling(const Scaling &scaling, Dataset *data);

// Sorted distinct labels.
std::vector<double> distinct_labels(const std::vector<double> &labels);

}  // namespace cli

#endif
