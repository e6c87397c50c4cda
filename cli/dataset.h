// Patterns and labels taken from a CSV table, and the min-max scaling that
// maps each feature of the training set to [0, 1].
#ifndef QUORV_CLI_DATASET_H
#define QUORV_CLI_DATASET_H

#include "csv.h"
#include "front/model.h"
#include "front/scaling.h"
#include "options.h"

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

using front::ClassName;
using front::class_name_of;
using front::distinct_labels;
using front::Scaling;

struct Dataset {
    std::string source;                      // file the rows came from
    std::vector<std::string> feature_names;
    std::string label_name;                  // empty when the data has no label column
    size_t rows = 0;
    std::vector<double> x;                   // row-major, rows x features
    std::vector<double> y;                   // whole-number labels (class codes), one per row, when labelled
    std::vector<ClassName> classes;          // every code in y with its name, by ascending code
    std::vector<std::string> ignored;        // columns left out of the features
    std::vector<std::string> kept_names;     // columns passed through to predictions
    std::vector<std::string> kept;           // their cells, rows x kept_names

    size_t cols() const { return feature_names.size(); }
    bool labelled() const { return !label_name.empty(); }
    // The given rows, in the given order.
    Dataset subset(const std::vector<size_t> &rows) const;
};

// Training data: the label column (`label_column` by name or 1-based number,
// the last column when empty) and every other column but the `ignore` ones
// (names or numbers) as a feature. Labels that are all whole numbers are
// their own codes; otherwise each distinct text is a class, coded 1, 2, ...
// in the order of the names.
Dataset training_data(const CsvTable &table, const std::string &label_column,
                      const std::vector<std::string> &ignore = {});
// Reads a training file with its label and ignored columns as text.
Dataset read_training_data(const std::string &path, const std::string &label_column,
                           const std::vector<std::string> &ignore = {}, const CsvFormat &format = {});

// Training medians of the features (front/missing.h) for --missing median;
// refuses a feature without any value.
std::vector<double> training_medians(const Dataset &data);
// The same, and the data's missing cells filled with them.
std::vector<double> fill_with_medians(Dataset *data);
// Fills missing cells (NaN) with the model's medians.
void fill_missing(const front::Model &model, Dataset *data);
// --missing: "error" (the default) or "median".
Option missing_option();
bool missing_median(const Args &args);

// --delimiter, --decimal-comma and --no-header, for every command that reads data.
std::vector<Option> csv_options();
// The format they give; UsageError for a delimiter that is none of ',' ';' tab.
CsvFormat csv_format(const Args &args);

// The chosen columns of a table (label npos: none). Labels must be whole
// numbers in the int range, since the plug-ins hold labels as ints.
Dataset take_columns(const CsvTable &table, const std::vector<size_t> &features, size_t label);

// The columns of a header that hold a model's features, in the model's order,
// its label column (npos when absent) and the `keep` columns to pass through.
// Columns named in `other` are left out; any missing feature or other column
// is an error naming `path`. Every column but the features is read as text.
struct ModelColumns {
    std::vector<size_t> features;
    size_t label = std::string::npos;
    std::vector<size_t> keep;
    std::vector<bool> text;
};
ModelColumns model_columns(const std::string &path, const std::vector<std::string> &header,
                           const std::vector<std::string> &feature_names, const std::string &label_name,
                           const std::vector<std::string> &other = {}, const std::vector<std::string> &keep = {});

// One block of rows for a model: features, kept cells, and labels as the
// model's class codes. A label the model does not know gets a code of its own
// (whole numbers themselves when the classes are numbers, other text the
// next free code), added to `*classes`, which carries them from block to block.
Dataset model_block(const CsvTable &table, const ModelColumns &columns, std::vector<ClassName> *classes);

// "a,b,3": names or 1-based numbers of columns, for --ignore and --keep.
std::vector<std::string> column_list(const std::string &text);

// Ranges of the data's features (front/scaling.h); refuses a range too wide to scale.
Scaling fit_scaling(const Dataset &data, bool enabled);
// (v - min) / (max - min) per feature, 0 for a constant feature; nothing when disabled.
void apply_scaling(const Scaling &scaling, Dataset *data);

}  // namespace cli

#endif
