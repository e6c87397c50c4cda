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
TrainParams training_params(const Args &args);
// --verbose: the plug-ins' console detail (oflag), default 1 (summary only).
Option verbose_option();
long verbose_level(const Args &args);

// Fits the scaling on `data` (when `scale`), scales a copy and trains on it.
Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose);

// Applies the model's scaling to a copy of `data` and classifies it.
std::vector<double> classify_data(const Model &model, const Dataset &data, double vigilance, long unknown_label,
                                  long verbose);

// Refuses an unknown label that is also a class of the model: the
// predictions could not tell "unclassified" from that class.
void check_unknown_label(const Model &model, long unknown_label);

}  // namespace cli

#endif
