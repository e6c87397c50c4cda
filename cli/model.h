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

// The nodes of one training run.
struct Member {
    double list_presentations = 0;
    size_t nodes = 0;
    std::vector<double> templates;
    std::vector<double> labels;
};

struct Model {
    // File format: a model read keeps its file's; a new one is 1 and is
    // written as 2 only when it holds what format 1 cannot.
    int version = 1;
    std::vector<std::string> feature_names;
    std::string label_name;
    std::vector<std::string> ignored;  // data columns left out of the features
    std::vector<ClassName> classes;   // by ascending code
    Scaling scaling;                  // training-set ranges; applied when enabled
    TrainParams params;
    long training_patterns = 0;
    long shuffle_seed = -1;           // rows shuffled with this seed (member k: seed + k - 1); -1: file order
    // The first (or only) member's nodes.
    double list_presentations = 0;
    size_t nodes = 0;
    std::vector<double> templates;    // row-major, nodes x 2M: M lower bounds, then M upper bounds
    std::vector<double> labels;       // one whole-number label per node
    std::vector<Member> voters;       // members 2..N of a voting model

    size_t cols() const { return feature_names.size(); }
    double lower(size_t node, size_t feature) const { return templates[node * 2 * cols() + feature]; }
    double upper(size_t node, size_t feature) const { return templates[(node * 2 + 1) * cols() + feature]; }
    size_t members() const { return 1 + voters.size(); }
    // The model with member i's nodes only (0-based; 0 is the first).
    Model member(size_t i) const;
    // Class name of a code; the code's own text when the model has no such class.
    std::string class_name(double code) const;
};

// The model file's text; parse_model(model_text(m)) gives m back bit for bit,
// and model_text(parse_model(t)) == t for any text this function wrote.
// Format 2 adds classes with names, ignored columns, the row order and voting
// members; a model that needs none of them is written as format 1, which
// every reader of model files knows.
std::string model_text(const Model &model);
// Throws cli::Error "PATH:LINE: ..." for anything but a well-formed model.
Model parse_model(const std::string &text, const std::string &path);
Model read_model(const std::string &path);

}  // namespace cli

#endif
