// Forests on the command line: the options that make one and the training of
// its members in the worker processes. The draws, the vote (front/policy.h)
// and the file records are the front library's, so that Python gives the
// same forest from the same seed and the same answers from it.
#ifndef QUORV_CLI_FOREST_H
#define QUORV_CLI_FOREST_H

#include "dataset.h"
#include "front/forest.h"
#include "model.h"
#include "options.h"
#include "voting.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// --max-features F, --max-samples F, --no-bootstrap and --jobs N.
std::vector<Option> forest_options();

// How the members of a forest draw. Any of --max-features, --max-samples and
// --no-bootstrap makes the voting members a forest; the ones not given are
// 1.0 (all features; as many rows as the data has, drawn with replacement),
// so that each member differs from the others by its rows, the one source of
// variety --max-features adds to. Plain --votes N keeps its shuffles.
struct ForestRun {
    bool on = false;
    front::Amount features, samples;
    bool bootstrap = true;
    std::string features_text = "1.0", samples_text = "1.0";  // as given, for messages and tables
};
// Throws UsageError for a bad amount, or forest options without --votes N.
ForestRun forest_run(const Args &args, long votes);
// Whether --max-features, --max-samples or --no-bootstrap asks for a forest;
// throws UsageError naming the first when `votes` is below 2.
bool forest_asked(const Args &args, long votes);
// An amount of --max-features or --max-samples; UsageError naming `option`.
front::Amount forest_amount(const std::string &text, const std::string &option);
// The members' draws of `features_text` and `samples_text` (`on` left off).
ForestRun forest_setting(const std::string &features_text, const std::string &samples_text, bool bootstrap);
// Each member's rows out of `rows` (`rows_are`: what messages call them) and
// features out of `features`, with the parameters checked for a member's
// features; UsageError naming the option.
front::ForestDraws member_counts(const ForestRun &run, const TrainParams &params, size_t rows, size_t features,
                                 const std::string &rows_are = "rows");

// --no-oob: train's option that leaves out the out-of-bag estimate.
Option no_oob_option();
// Whether a forest's out-of-bag estimate is recorded: for every forest whose
// members draw their rows with replacement, unless --no-oob. It costs a pass
// of each member over the rows it did not draw: on satellite 7 % of the
// forest's training time, on iris and glass 2 to 25 ms beside 0.1 to 0.2 s.
bool oob_option(const Args &args, const ForestRun &run);

// --jobs N: worker processes (default: one per usable core).
size_t jobs_option(const Args &args);

// Trains `members` members of a forest on `scaled` (already scaled) with
// seeds seed, seed+1, ..., in `jobs` worker processes (the plug-in's console
// at `verbose` only when they train in this process); fills model->members
// and model->forest. `report`: the live line counting members and the summary.
// With `merge`, each member's conflicts, in its own rows and features, are
// merged before its training call (model->merged_patterns: their sum).
void train_forest(const Dataset &scaled, const TrainParams &params, const ForestRun &run, std::int64_t seed,
                  long members, size_t jobs, bool report, long verbose, bool merge, Model *model);

// The columns `features` of every row.
Dataset feature_columns(const Dataset &data, const std::vector<size_t> &features);

// Header names of the share columns of `classify --proba`: "share:NAME" for
// each class (by name) and "share_unknown" last. Two classes never clash
// (their names differ) nor a class with the unknown column (':' against '_');
// while any name is one of `taken` (label, true_label, kept columns) the
// prefix takes one more underscore ("share_:NAME", "share__unknown"). Linear
// in the names.
std::vector<std::string> share_columns(const std::vector<std::string> &class_names,
                                       const std::vector<std::string> &taken);

}  // namespace cli

#endif
