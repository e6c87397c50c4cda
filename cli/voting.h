// Classification by every member of a model, a majority vote among them, and
// a second pass at vigilance 0 for the patterns no box takes.
#ifndef QUORV_CLI_VOTING_H
#define QUORV_CLI_VOTING_H

#include "dataset.h"
#include "front/vote.h"
#include "model.h"

#include <string>
#include <vector>

namespace cli {

struct ClassifySettings {
    double vigilance = 0.75;
    long unknown_label = -1;
    bool nearest = true;  // the second pass
    long verbose = 0;     // plug-in console detail
};

// Patterns each pass classified; added up over blocks.
struct ClassifyCounts {
    size_t patterns = 0, by_boxes = 0, by_nearest = 0;
    size_t unclassified() const { return patterns - by_boxes - by_nearest; }
    void add(const ClassifyCounts &other);
    // "150 patterns: 120 by their boxes (vigilance 0.75), 28 by the nearest box, 2 unclassified"
    std::string text(double vigilance, bool nearest) const;
};

// The members' answers are voted by the front library's rule (front/vote.h).
using front::vote;

// Classifies `scaled` (already scaled like the model) with every member;
// `*by_nearest`, when given, marks the patterns the second pass classified.
// `*shares`, when given, gets each pattern's vote shares (patterns x
// (classes + 1), unknown last): a forest's (front::forest_vote), else those
// among the members that voted in the pass that decided (front::answered_shares).
// A forest's members answer in full and vote as forest.h says.
std::vector<double> classify_scaled(const Model &model, const Dataset &scaled, const ClassifySettings &settings,
                                    ClassifyCounts *counts, std::vector<char> *by_nearest = nullptr,
                                    std::vector<double> *shares = nullptr);

}  // namespace cli

#endif
