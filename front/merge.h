// Conflicting patterns merged before a training call, for every front end.
// The training plug-in makes a node whenever a pattern's winner has another
// label, so patterns identical in what a call sees but labelled differently
// make a node on every presentation until the limit: the front ends present
// each such group as one pattern.
//
// What it keeps true: patterns are compared by the values the plug-in will
// see (after the rows, columns and scaling of the call), numerically (0 and
// -0 are one value; a NaN equals nothing). A group of identical patterns with
// more than one label becomes one pattern, standing at the group's first
// occurrence in the presentation order, with the label most of the group
// carry, the lowest label code among equals. Identical patterns that agree are
// kept as they are, repeats and all (a bootstrap's repeats are its weights).
#ifndef QUORV_FRONT_MERGE_H
#define QUORV_FRONT_MERGE_H

#include "client.h"

#include <cstddef>
#include <vector>

namespace front {

struct Merged {
    std::vector<size_t> rows;    // rows of the patterns' matrix, in presentation order
    std::vector<double> labels;  // one per row of `rows`
    size_t merged = 0;           // patterns taken away: count() - rows.size()

    // The call's patterns with the merged rows, and their labels.
    Patterns patterns(const Patterns &original) const;
    Patterns label_column() const;
};

// `patterns` and their `labels` (one column, the same rows) with conflicts merged.
Merged merge_conflicts(const Patterns &patterns, const Patterns &labels);

}  // namespace front

#endif
