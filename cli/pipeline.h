// The two stages shared by the commands: training a model from a labelled
// dataset, and classifying a dataset with a model. Also the options of the
// training stage, shared by `train` and `demo`.
#ifndef QUORV_CLI_PIPELINE_H
#define QUORV_CLI_PIPELINE_H

#include "dataset.h"
#include "model.h"
#include "options.h"

#include <vector>

namespace cli {

// Options setting TrainParams, scaling and the training plug-in's verbosity.
std::vector<Option> training_options();
// Each option is checked against the range the training plug-in accepts, so
// that a bad value is the tool's own usage error, before any plug-in call.
TrainParams training_params(const Args &args);
bool is_vigilance(double value);
// min_size's upper end depends on the feature count M.
void check_min_size(const TrainParams &params, size_t features);
// --verbose: the plug-ins' console detail (oflag), default 1 (summary only),
// from 0 to `most` (4 for training, 3 for classification).
Option verbose_option();
long verbose_level(const Args &args, long most);

// Fits the scaling on `data` (when `scale`), scales a copy and trains on it.
Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose);

// Applies the model's scaling to a copy of `data` and classifies it.
std::vector<double> classify_data(const Model &model, const Dataset &data, double vigilance, long unknown_label,
                                  long verbose);

// The label of unclassified patterns: -1, or the first free label below it
// when -1 is a class.
long free_unknown_label(const std::vector<double> &classes);
// --unknown-label when given (refused when it is a class of the model: the
// predictions could not tell "unclassified" from that class), else a free one.
long unknown_label(const Args &args, const Model &model);

}  // namespace cli

#endif
