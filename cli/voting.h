// Classification of a dataset by a model's members, through the front
// library's policy (front/policy.h: the boxes, the pass at vigilance 0, the
// fallback, the vote, the shares and the counts) with the classification
// members' prepared models (front/prepared.h) as the members' call, or the
// plug-in where console detail is asked for or it is to word a refusal.
#ifndef QUORV_CLI_VOTING_H
#define QUORV_CLI_VOTING_H

#include "dataset.h"
#include "front/oob.h"
#include "front/policy.h"
#include "front/prepared.h"
#include "model.h"

#include <memory>
#include <string>
#include <vector>

namespace cli {

struct ClassifySettings {
    double vigilance = 0.75;
    long unknown_label = -1;
    bool nearest = true;  // the pass at vigilance 0 and the fallback
    long verbose = 0;     // plug-in console detail
    bool live = false;    // a live line counts each call's patterns on a terminal
    // The model's members made ready once (prepare_members), for a model
    // classified block after block; null: made for the call.
    front::PreparedMembers *prepared = nullptr;
};

// The members of `model` made ready for classification.
std::unique_ptr<front::PreparedMembers> prepare_members(const Model &model);

// The same, each member's templates freed once its nodes are made, so that
// the nodes are held by the prepared members alone (the labels stay). Such a
// model is classified through them only: with no console detail or live line.
std::unique_ptr<front::PreparedMembers> prepare_and_release(Model *model);
// Whether prepare_and_release freed `model`'s templates.
bool nodes_released(const Model &model);

// Patterns each pass classified; added up over blocks.
struct ClassifyCounts : front::Counts {
    // "150 patterns: 120 by their boxes (vigilance 0.75), 28 by the nearest box (vigilance 0), 2 unclassified";
    // the nearest box's part with the pass, when it ran (vigilance above 0) or classified any.
    std::string text(double vigilance, bool nearest) const;
};

// Rows per block of a file classified with `model`, whose lines hold
// `columns` cells: at most 65,536, and fewer for wide files (a block holds
// about a million cells) and for models of many classes (front::block_rows),
// so that memory stays flat whatever the file and the model.
size_t classify_block_rows(const Model &model, size_t columns);

// Classifies `scaled` (already scaled like the model) with every member by the
// front library's policy; `*by_nearest`, when given, marks the patterns the
// counts give to the nearest box. `*shares`, when given, gets each pattern's
// vote shares (patterns x (classes + 1), unknown last).
std::vector<double> classify_scaled(const Model &model, const Dataset &scaled, const ClassifySettings &settings,
                                    ClassifyCounts *counts, std::vector<char> *by_nearest = nullptr,
                                    std::vector<double> *shares = nullptr);

// The out-of-bag estimate (front/oob.h) of `model`, a forest of members
// drawing their rows with replacement, trained on `scaled` (scaled like the
// model, its rows those the members drew from), at the training vigilance,
// the patterns no box takes given the nearest box when `nearest`.
front::OutOfBag out_of_bag_scaled(const Model &model, const Dataset &scaled, bool nearest);

}  // namespace cli

#endif
