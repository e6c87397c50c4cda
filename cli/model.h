// A trained model: what classification needs, kept in a text file.
#ifndef QUORV_CLI_MODEL_H
#define QUORV_CLI_MODEL_H

#include "dataset.h"

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

// The training plug-in's parameters after the patterns and their labels.
struct TrainParams {
    double vigilance = 0.75;
    double min_size = 0.0;
    double learning_rate = 1.0;
    double epsilon = 0.001;
    long max_list_presentations = 100;
    long trim_option = 0;
};

struct Model {
    std::vector<std::string> feature_names;
    std::string label_name;
    Scaling scaling;                  // training-set ranges; applied when enabled
    TrainParams params;
    long training_patterns = 0;
    double list_presentations = 0;
    size_t nodes = 0;
    std::vector<double> templates;    // row-major, nodes x 2M: M lower bounds, then M upper bounds
    std::vector<double> labels;       // one whole-number label per node

    size_t cols() const { return feature_names.size(); }
    double lower(size_t node, size_t feature) const { return templates[node * 2 * cols() + feature]; }
    double upper(size_t node, size_t feature) const { return templates[(node * 2 + 1) * cols() + feature]; }
};

// The model file's text; parse_model(model_text(m)) gives m back bit for bit,
// and model_text(parse_model(t)) == t for any text this function wrote.
std::string model_text(const Model &model);
// Throws cli::Error "PATH:LINE: ..." for anything but a well-formed model.
Model parse_model(const std::string &text, const std::string &path);
Model read_model(const std::string &path);

}  // namespace cli

#endif
