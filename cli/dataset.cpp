// From CSV cells to patterns and labels, and the feature scaling.
#include "dataset.h"

#include "error.h"
#include "front/classes.h"
#include "front/missing.h"
#include "csv.h"
#include "front/text.h"
#include "numbers.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

namespace cli {

namespace {

// Copies the chosen feature columns.
Dataset extract(const CsvTable &table, const std::vector<size_t> &features, size_t label)
{
    Dataset data;
    data.source = table.path;
    for (size_t j : features)
        data.feature_names.push_back(table.header[j]);
    if (label != std::string::npos)
        data.label_name = table.header[label];
    data.rows = table.rows;
    data.x.reserve(table.rows * features.size());
    for (size_t i = 0; i < table.rows; ++i)
        for (size_t j : features)
            data.x.push_back(table.at(i, j));
    return data;
}

// The label cell as a whole number; false for text.
bool whole_label(const CsvTable &table, size_t i, size_t label, double *value)
{
    if (!table.is_text(label)) {
        *value = table.at(i, label);
    } else if (!parse_double(table.text[label][i], value) || !std::isfinite(*value)) {
        return false;
    }
    if (!is_int32_whole(*value))  // a number, but no class code: a fault, not a name
        throw Error(table.where(i, label) + ": label " + format_double(*value) +
                    " is not a whole number in the int range");
    return true;
}

std::string label_text(const CsvTable &table, size_t i, size_t label)
{
    const std::string text = table.is_text(label) ? table.text[label][i] : format_double(table.at(i, label));
    if (text.empty())
        throw Error(table.where(i, label) + ": empty cell");
    const size_t bad = front::invalid_utf8_at(text);
    if (bad != std::string::npos)
        throw Error(table.where(i, label) + ": label '" + front::excerpt(text) + "' is not UTF-8 text (byte " +
                    std::to_string(bad + 1) + "); save the file as UTF-8");
    return text;
}

// Column names go into model files, which are UTF-8 text, and name something.
void check_header_text(const CsvTable &table, const std::vector<size_t> &columns)
{
    for (size_t j : columns) {
        const size_t bad = front::invalid_utf8_at(table.header[j]);
        if (bad != std::string::npos)
            throw Error(table.path + ": header, column " + std::to_string(j + 1) + ": name '" +
                        front::excerpt(table.header[j]) + "' is not UTF-8 text (byte " + std::to_string(bad + 1) +
                        "); save the file as UTF-8");
    }
}

// Labels of a training file, coded by the front ends' rule (front/classes.h).
void training_labels(const CsvTable &table, size_t label, Dataset *data)
{
    bool numeric = true;
    for (size_t i = 0; i < table.rows && numeric; ++i) {
        double value = 0;
        numeric = whole_label(table, i, label, &value);
        if (numeric)
            data->y.push_back(value);
    }
    front::LabelCodes coded;
    if (!numeric || !front::code_numbers(data->y, &coded)) {
        std::vector<std::string> names;
        for (size_t i = 0; i < table.rows; ++i)
            names.push_back(label_text(table, i, label));
        coded = front::code_names(names);
    }
    data->classes = std::move(coded.classes);
    data->y = std::move(coded.codes);
}

// Labels of a block of data for a model: names the model (or an earlier
// block) knows keep their codes; see model_block for the others.
void model_labels(const CsvTable &table, size_t label, std::vector<ClassName> *classes, Dataset *data)
{
    const bool numeric = front::numbered(*classes);
    double next = 1;
    for (const ClassName &c : *classes)
        next = std::max(next, c.code + 1);
    std::vector<std::string> names;
    for (size_t i = 0; i < table.rows; ++i) {
        names.push_back(label_text(table, i, label));
        double value = 0;
        if (numeric && parse_double(names.back(), &value) && std::isfinite(value)) {
            whole_label(table, i, label, &value);  // refuses 1.5 and the like
            names.back() = format_double(value);
            next = std::max(next, value + 1);
        }
    }
    std::unordered_map<std::string, double> code_of;
    std::unordered_map<double, bool> taken;
    for (const ClassName &c : *classes) {
        code_of[c.name] = c.code;
        taken[c.code] = true;
    }
    bool added = false;
    for (const std::string &name : names) {
        const auto at = code_of.find(name);
        if (at != code_of.end()) {
            data->y.push_back(at->second);
            continue;
        }
        double value = 0;
        double code = numeric && parse_double(name, &value) && !taken.count(value) ? value : next++;
        while (taken.count(code))
            code = next++;
        classes->push_back({code, name});
        code_of[name] = code;
        taken[code] = true;
        added = true;
        data->y.push_back(code);
    }
    if (added)
        std::sort(classes->begin(), classes->end(),
                  [](const ClassName &x, const ClassName &y) { return x.code < y.code; });
    data->classes = *classes;
}

size_t column_of(const CsvTable &table, const std::string &name, const char *option)
{
    const size_t j = find_column(table.header, name);
    if (j == std::string::npos)
        throw Error(table.path + " has no column '" + name + "' (" + option + ")");
    return j;
}

struct TextChoice {
    std::string label;  // empty: the last column
    const std::vector<std::string> *named;
};

bool text_column(const std::vector<std::string> &header, size_t col, const void *context)
{
    const TextChoice &choice = *static_cast<const TextChoice *>(context);
    const size_t label = choice.label.empty() ? header.size() - 1 : find_column(header, choice.label);
    if (col == label)
        return true;
    for (const std::string &name : *choice.named)
        if (find_column(header, name) == col)
            return true;
    return false;
}

}  // namespace

Dataset Dataset::subset(const std::vector<size_t> &rows_taken) const
{
    Dataset part;
    part.source = source;
    part.feature_names = feature_names;
    part.label_name = label_name;
    part.classes = classes;
    part.ignored = ignored;
    part.kept_names = kept_names;
    part.rows = rows_taken.size();
    const size_t k = kept_names.size();
    for (size_t i : rows_taken) {
        part.x.insert(part.x.end(), x.begin() + static_cast<long>(i * cols()),
                      x.begin() + static_cast<long>((i + 1) * cols()));
        part.kept.insert(part.kept.end(), kept.begin() + static_cast<long>(i * k),
                         kept.begin() + static_cast<long>((i + 1) * k));
        if (labelled())
            part.y.push_back(y[i]);
    }
    return part;
}

Dataset training_data(const CsvTable &table, const std::string &label_column, const std::vector<std::string> &ignore)
{
    const size_t label = label_column.empty() ? table.cols() - 1 : find_column(table.header, label_column);
    if (label == std::string::npos)
        throw Error(table.path + " has no column '" + label_column + "' (--label-column)");
    std::vector<bool> left_out(table.cols(), false);
    std::vector<std::string> ignored;
    for (const std::string &name : ignore) {
        const size_t j = column_of(table, name, "--ignore");
        if (j == label)
            throw Error(table.path + ": --ignore names the label column '" + table.header[j] + "'");
        if (!left_out[j])  // a column without a name is remembered by its number
            ignored.push_back(table.header[j].empty() ? std::to_string(j + 1) : table.header[j]);
        left_out[j] = true;
    }
    std::vector<size_t> features;
    for (size_t j = 0; j < table.cols(); ++j)
        if (j != label && !left_out[j])
            features.push_back(j);
    if (features.empty())
        throw Error(table.path + ": no feature column besides the label column '" + table.header[label] + "'" +
                    (ignored.empty() ? "" : " and the ignored ones") +
                    (table.cols() == 1 ? " (the header is one column: --delimiter names what separates the cells)"
                                       : ""));
    std::vector<size_t> named(features);
    named.push_back(label);
    for (size_t j : named)
        if (table.header[j].empty())
            throw Error(table.path + ": header, column " + std::to_string(j + 1) +
                        " has no name (an index, as pandas writes it: --ignore " + std::to_string(j + 1) +
                        " leaves it out; a file without a header row reads with --no-header)");
    for (size_t j = 0; j < table.cols(); ++j)
        if (left_out[j])
            named.push_back(j);
    check_header_text(table, named);
    Dataset data = extract(table, features, label);
    data.ignored = ignored;
    training_labels(table, label, &data);
    return data;
}

Dataset read_training_data(const std::string &path, const std::string &label_column,
                           const std::vector<std::string> &ignore, const CsvFormat &format)
{
    const TextChoice choice{label_column, &ignore};
    return training_data(read_csv(path, text_column, &choice, format), label_column, ignore);
}

std::vector<double> training_medians(const Dataset &data)
{
    const std::vector<double> medians =
        front::feature_medians(front::MatrixView::row_major(data.x.data(), data.rows, data.cols()));
    const size_t empty = front::column_without_values(medians);
    if (empty != std::string::npos)
        throw Error(data.source + ": feature '" + front::excerpt(data.feature_names[empty]) +
                    "' has no value in any row, so no median (--ignore leaves it out)");
    return medians;
}

std::vector<double> fill_with_medians(Dataset *data)
{
    const std::vector<double> medians = training_medians(*data);
    front::fill_missing(medians, data->x.data(), data->rows);
    return medians;
}

void fill_missing(const front::Model &model, Dataset *data)
{
    if (!model.missing_medians.empty())
        front::fill_missing(model.missing_medians, data->x.data(), data->rows);
}

Option missing_option()
{
    return {"--missing", "HOW", "empty cells (and NA, NaN, N/A, #N/A) of features: 'error' refuses them (the default), "
                                "'median' fills them with the feature's median over the rows that have it; the model "
                                "keeps the medians and classify fills with them"};
}

bool missing_median(const Args &args)
{
    const std::string mode = args.text("--missing", "error");
    if (mode != "error" && mode != "median")
        throw UsageError("--missing: '" + front::excerpt(mode) + "' is not 'error' or 'median'");
    return mode == "median";
}

std::vector<Option> csv_options()
{
    return {
        {"--delimiter", "D", "what separates the cells: ',', ';' or tab (default: the one of them the header "
                             "holds outside quotes; a header holding two of them is refused)"},
        {"--decimal-comma", "", "read '1,5' as 1.5 (with ';' or tab between cells)"},
        {"--no-header", "", "the first row is data: the columns are named 1, 2, ... (the label is the last)"},
    };
}

CsvFormat csv_format(const Args &args)
{
    CsvFormat format;
    const std::string delimiter = args.text("--delimiter");
    if (delimiter == "," || delimiter == ";" || delimiter == "\t")
        format.delimiter = delimiter[0];
    else if (delimiter == "tab" || delimiter == "\\t")
        format.delimiter = '\t';
    else if (args.has("--delimiter"))
        throw UsageError("--delimiter: '" + front::excerpt(delimiter) + "' is not ',', ';' or tab");
    format.decimal_comma = args.has("--decimal-comma");
    format.header = !args.has("--no-header");
    return format;
}

Dataset take_columns(const CsvTable &table, const std::vector<size_t> &features, size_t label)
{
    Dataset data = extract(table, features, label);
    for (size_t i = 0; label != std::string::npos && i < table.rows; ++i) {
        double value = 0;
        if (!whole_label(table, i, label, &value))
            throw Error(table.where(i, label) + ": '" + label_text(table, i, label) + "' is not a number");
        data.y.push_back(value);
    }
    return data;
}

ModelColumns model_columns(const std::string &path, const std::vector<std::string> &header,
                           const std::vector<std::string> &feature_names, const std::string &label_name,
                           const std::vector<std::string> &other, const std::vector<std::string> &keep)
{
    // Hash lookups: linear in the number of columns, however many there are.
    std::unordered_map<std::string_view, size_t> column_of;
    for (size_t j = 0; j < header.size(); ++j)
        column_of.emplace(header[j], j);
    const auto find = [&](const std::string &name) {
        const auto at = column_of.find(name);
        if (at != column_of.end())
            return at->second;
        long number = 0;  // or its 1-based number
        return parse_long(name, 1, static_cast<long>(header.size()), &number) ? static_cast<size_t>(number - 1)
                                                                             : std::string::npos;
    };
    ModelColumns columns;
    columns.text.assign(header.size(), true);
    std::vector<bool> used(header.size(), false);
    for (const std::string &name : feature_names) {
        const auto at = column_of.find(name);
        if (at == column_of.end())
            throw Error(path + " has no column '" + name + "', a feature of the model");
        columns.features.push_back(at->second);
        used[at->second] = true;
        columns.text[at->second] = false;
    }
    const auto label = column_of.find(label_name);
    if (label != column_of.end()) {
        columns.label = label->second;
        used[label->second] = true;
    }
    for (const std::string &name : keep) {
        const size_t j = find(name);
        if (j == std::string::npos)
            throw Error(path + " has no column '" + name + "' (--keep)");
        columns.keep.push_back(j);
        used[j] = true;
    }
    for (const std::string &name : other) {
        const size_t j = find(name);
        if (j != std::string::npos)
            used[j] = true;
    }
    for (size_t j = 0; j < header.size(); ++j)
        if (!used[j])
            throw Error(path + ": column '" + header[j] + "' is neither a feature of the model nor its label column '" +
                        label_name + "' (--ignore " + (header[j].empty() ? std::to_string(j + 1) : header[j]) +
                        " leaves it out, --keep " + (header[j].empty() ? std::to_string(j + 1) : header[j]) +
                        " copies it into the predictions)");
    return columns;
}

Dataset model_block(const CsvTable &table, const ModelColumns &columns, std::vector<ClassName> *classes)
{
    Dataset data = extract(table, columns.features, columns.label);
    if (columns.label != std::string::npos)
        model_labels(table, columns.label, classes, &data);
    for (size_t j : columns.keep)
        data.kept_names.push_back(table.header[j]);
    for (size_t i = 0; i < table.rows; ++i)
        for (size_t j : columns.keep)
            data.kept.push_back(table.is_text(j) ? table.text[j][i] : format_double(table.at(i, j)));
    return data;
}

std::vector<std::string> column_list(const std::string &text)
{
    std::vector<std::string> names;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string name = text.substr(start, comma - start);
        if (!name.empty())
            names.push_back(name);
        if (comma == std::string::npos)
            return names;
        start = comma + 1;
    }
}

Scaling fit_scaling(const Dataset &data, bool enabled)
{
    const Scaling scaling = front::fit_scaling(front::MatrixView::row_major(data.x.data(), data.rows, data.cols()),
                                               enabled);
    const size_t wide = front::unscalable_feature(scaling);
    if (wide != std::string::npos)
        throw Error(data.source + ": feature '" + front::excerpt(data.feature_names[wide]) +
                    "' spans too wide a range to scale (try --no-scale)");
    return scaling;
}

void apply_scaling(const Scaling &scaling, Dataset *data)
{
    front::apply_scaling(scaling, data->x.data(), data->rows, data->cols());
}

}  // namespace cli
