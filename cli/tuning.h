// `quorv tune`'s cross-validation: the grids of settings it compares (each
// value checked before any work, so that a bad one is a usage error naming its
// option), and every setting trained and tested on every fold, in worker
// processes, with results that do not depend on how many.
#ifndef QUORV_CLI_TUNING_H
#define QUORV_CLI_TUNING_H

#include "dataset.h"
#include "forest.h"
#include "pipeline.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// "0.5:0.95:0.05" (from, to, step; `to` included when the steps reach it
// within rounding), "0.5,0.75,1" or one value. Throws UsageError naming `option`.
std::vector<double> parse_grid(const std::string &text, const std::string &option);

// One setting of the grid and its results over the folds.
struct Setting {
    TrainParams params;
    ForestRun forest;
    double correct = 0, by_boxes = 0, unclassified = 0, nodes = 0, ms = 0, tested = 0;
    std::vector<double> fold_accuracy;
    double mean() const { return tested > 0 ? correct / tested : 0; }
    // Standard deviation of the folds' accuracies.
    double spread() const;
};

// How every fold is trained and tested.
struct CrossValidation {
    size_t folds = 5;
    std::uint64_t seed = 1;  // of the stratified folds
    bool scale = true;
    bool nearest = true;     // the nearest-box pass
    TrainRun run;            // the voting members (each setting brings its forest)
    size_t jobs = 1;         // worker processes
    // --missing median: each fold's missing cells, training and held-out,
    // filled with the medians of that fold's training rows.
    bool fill_missing = false;
};

// QUORV_THREADS=1 while alive when `workers` > 1 and it is not set already,
// since threads inside the plug-ins would only compete with the other
// workers; then unset again, so that the rest of the run (the best setting's
// training) has every core.
class OneThreadPerWorker {
public:
    explicit OneThreadPerWorker(size_t workers);
    ~OneThreadPerWorker();
    OneThreadPerWorker(const OneThreadPerWorker &) = delete;
    OneThreadPerWorker &operator=(const OneThreadPerWorker &) = delete;

private:
    static constexpr const char *kName = "QUORV_THREADS";
    static void put(const char *value);  // null: unset
    bool set_;
};

// Trains each setting on every k-1 folds of `data` and classifies the k-th,
// adding the results up in `settings`; throws Error, before any training,
// for a feature that has no value in some fold's training rows to fill with. With more than one worker the plug-ins
// run on one thread each (QUORV_THREADS=1 unless set), until the workers end.
void cross_validate(const Dataset &data, const CrossValidation &cv, std::vector<Setting> *settings);

// Trains each setting's forest (members drawing with replacement) once on all
// of `data`, its members in cv.jobs worker processes, and adds up its
// out-of-bag estimate in `settings` as a single fold: one training per
// setting instead of k.
void rank_out_of_bag(const Dataset &data, const CrossValidation &cv, std::vector<Setting> *settings);

}  // namespace cli

#endif
