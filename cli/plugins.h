// Calls of the two plug-ins, through the one client (front/client.h) in the
// tool's words: a refusal names the option that sets the argument, and a
// plug-in that cannot be loaded names QUORV_PLUGIN_DIR. The tool does no
// training or classification of its own.
#ifndef QUORV_CLI_PLUGINS_H
#define QUORV_CLI_PLUGINS_H

#include "dataset.h"
#include "front/client.h"
#include "model.h"

#include <vector>

namespace cli {

// One training run's nodes: a member of a model.
using TrainOutput = Member;

// quorv_train on the (already scaled) patterns; the plug-in's console text
// goes to stdout as it is printed. A refusal throws front::PluginRefusal with
// the plug-in's message on one line and the option it concerns. With
// `merged`, conflicting patterns are merged first (front/merge.h) and their
// count added to *merged.
TrainOutput call_train(const Dataset &patterns, const TrainParams &params, long verbose, size_t *merged = nullptr);

// quorv_perf with the nodes of the model's member `member` (0-based) on
// `patterns` (already scaled, of that member's features); one label per pattern.
std::vector<double> call_perf(const Model &model, size_t member, const front::Patterns &patterns, double vigilance,
                              long unknown_label, long verbose, const front::Console &console = front::Console());

// All rows and columns of a Dataset, as the plug-ins take them.
front::Patterns all_patterns(const Dataset &data);

}  // namespace cli

#endif
