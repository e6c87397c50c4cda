// Calls of the two plug-ins through the embedded host: the tool does no
// training or classification of its own.
#ifndef QUORV_CLI_PLUGINS_H
#define QUORV_CLI_PLUGINS_H

#include "dataset.h"
#include "model.h"

#include <vector>

namespace cli {

// One training run's nodes: a member of a model.
using TrainOutput = Member;

// quorv_train on the (already scaled) patterns; the plug-in's console text
// goes to stdout as it is printed. A refusal throws cli::Error with the
// plug-in's message on one line and the option it concerns.
TrainOutput call_train(const Dataset &patterns, const TrainParams &params, long verbose);

// quorv_perf with the nodes of the model's member `member` (0-based) on the
// (already scaled) patterns; one label per pattern.
std::vector<double> call_perf(const Model &model, size_t member, const Dataset &patterns, double vigilance,
                              long unknown_label, long verbose);

}  // namespace cli

#endif
