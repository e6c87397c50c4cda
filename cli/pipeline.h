// The two stages shared by the commands: training a model from a labelled
// dataset, and classifying a dataset with a model. Also the options of the
// training stage, shared by `train` and `demo`.
#ifndef QUORV_CLI_PIPELINE_H
#define QUORV_CLI_PIPELINE_H

#include "dataset.h"
#include "forest.h"
#include "model.h"
#include "options.h"
#include "voting.h"

#include <cstdint>
#include <vector>

namespace cli {

// Options setting TrainParams, scaling and the training plug-in's verbosity.
std::vector<Option> training_options();
// Each option is checked by the one rule of the parameters' ranges
// (check_params), so that a bad value is the tool's own usage error naming the
// option, before any plug-in call. min_size's upper end waits for the data.
TrainParams training_params(const Args &args);
// The same but for --vigilance and --learning-rate, which `tune` takes as grids.
TrainParams fixed_training_params(const Args &args);
// A grid's `value`, set in `params`, checked as the options are.
void check_grid_value(const TrainParams &params, double value);
// --vigilance of classification, in [0, 1].
bool is_vigilance(double value);
// Every parameter for a model of `features` features (min_size's upper end
// depends on them), as check_params finds them: "--min-size: 0.3 is above
// 0.25, the largest box size ...".
void check_ranges(const TrainParams &params, size_t features);
// --ignore COLS: columns left out of the features.
Option ignore_option();
// --verbose: the plug-ins' console detail (oflag), from 0 to `most` (4 for
// training, 3 for classification), default 0: the tool prints its own
// summary instead.
Option verbose_option();
long verbose_level(const Args &args, long most);

// How the rows are fed to training: --shuffle, --seed and --votes, and the
// forest options (forest.h).
struct TrainRun {
    std::int64_t shuffle_seed = -1;  // -1: file order; member k is shuffled (or draws) with seed + k - 1
    long votes = 1;
    bool report = true;      // live line, own summary and Ctrl-C handling; off: plug-in at `verbose` only
    ForestRun forest;        // members of a forest rather than of shuffles
    size_t jobs = 1;         // worker processes for a forest's members
    bool merge = true;       // conflicting patterns merged before each training call (off: --no-merge)
    bool oob = false;        // a bootstrap forest's out-of-bag estimate, into the model (and the summary)
};
std::vector<Option> order_options();
TrainRun train_run(const Args &args);
// --seed S, from 0 to the seeds' one limit (front::kMaxSeed), default 1.
std::int64_t seed_option(const Args &args);

// Fits the scaling on `data` (when `scale`), scales a copy and trains on it
// (once for each voting member), merging conflicts when run.merge, then
// records a forest's out-of-bag estimate when run.oob; with run.report, says
// how many were merged, which members did not converge and the estimate.
Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose,
                  const TrainRun &run = TrainRun());

// Applies the model's scaling to a copy of `data` and classifies it.
std::vector<double> classify_data(const Model &model, const Dataset &data, const ClassifySettings &settings,
                                  ClassifyCounts *counts = nullptr, std::vector<char> *by_nearest = nullptr,
                                  std::vector<double> *shares = nullptr);
// --unclassified: true for 'nearest' (the default).
Option unclassified_option();
bool nearest_pass(const Args &args);

// --unknown-label when given (refused when it is a class of the model: the
// predictions could not tell "unclassified" from that class), else a free one.
long unknown_label(const Args &args, const Model &model);

}  // namespace cli

#endif
