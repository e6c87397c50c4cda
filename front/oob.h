// The out-of-bag estimate of a forest whose members drew their rows with
// replacement, for every front end: each training pattern classified by the
// vote of the classification policy (front/policy.h) among the members that
// did not draw it, against its own class.
//
// What it keeps true: a member never votes on a pattern it trained on, nor
// counts among that pattern's members; a pattern every member drew has no
// voter and is left out of the estimate (rows says how many it covers), so
// that no training accuracy slips into it. The members' rows are drawn again
// from the forest's seed (front/forest.h), as training drew them.
#ifndef QUORV_FRONT_OOB_H
#define QUORV_FRONT_OOB_H

#include "forest.h"
#include "policy.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace front {

struct OutOfBag {
    size_t rows = 0;              // patterns some member did not draw: those the estimate covers
    size_t correct = 0;           // of those, the ones the vote gave their own class
    size_t by_boxes = 0;          // of those, the ones the vote of the box answers alone gave a class
    size_t correct_by_boxes = 0;  // ... and their own class
    double accuracy() const { return rows ? static_cast<double>(correct) / static_cast<double>(rows) : 0.0; }
};

// Per member of a forest of `members` drawing by `sample` and `features` of
// `total_features` with `seed`: 1 for each of the `total_rows` rows it drew.
// Throws Error for members drawing without replacement: the estimate is a
// bootstrap's.
std::vector<std::vector<bool>> drawn_rows(size_t total_rows, const SampleRule &sample, size_t total_features,
                                          size_t features, std::uint64_t seed, size_t members);

// The estimate over `truth` (each training pattern's class code), the
// members' answers coming from `call` as for decide(): `voters` a forest,
// `saw` as drawn_rows gives it; shares and marks are not asked for. Each
// member is asked for the patterns it did not draw alone, so a prepared
// call (front/prepared.h) is best made without `forest`: it would work out
// the next members' answers for rows they are not asked for.
OutOfBag out_of_bag(const Voters &voters, std::vector<std::vector<bool>> saw, const std::vector<double> &truth,
                    PolicySettings settings, const MemberCall &call);

}  // namespace front

#endif
