// When the groups are made and when they are trusted: the decisions of
// policy.h as a part of their own, with what training has learned about the
// groups since the last regroup. None of them changes a winner.
//
// What stays true: the counts start afresh at each regroup (regrouped); the
// groups of a regroup are judged once, after kTrialSearches searches (or
// sooner, once their work already exceeds what all of them may do), and
// where they did not pay the next regroup waits longer.
#ifndef QUORV_MODEL_SEARCH_REGROUP_POLICY_H
#define QUORV_MODEL_SEARCH_REGROUP_POLICY_H

#include "model/search/policy.h"

#include <algorithm>
#include <cstdint>

class RegroupPolicy {
public:
    // A batch of `patterns` patterns over `count` nodes (tiles of `tile_nodes`)
    // is grouped first when the groups pay back their making.
    static bool batch_groups(int count, int tile_nodes, int patterns)
    {
        using namespace search_policy;
        int levels = 0;
        for (int tiles = count / tile_nodes; tiles > 1; tiles = (tiles + 1) / 2)
            ++levels;
        return count >= kGroupMinNodes && patterns >= kPatternsPerGroupLevel * levels;
    }
    // The threads a batch of n patterns over `count` nodes of m features is
    // worth: no more than `threads`, each with enough work to pay its start.
    static int batch_threads(int threads, int n, int count, int m)
    {
        const double work = static_cast<double>(n) * count * (m > 0 ? m : 1);
        const double most = work / search_policy::kThreadWork;
        if (threads > most)
            threads = most < 1 ? 1 : static_cast<int>(most);
        return threads;
    }

    // Training, before a search of `count` nodes of which the first
    // `grouped` are in the groups: whether to regroup first, once the nodes
    // sized outside the groups since the last time have cost about what a
    // regroup does.
    bool regroup_due(int count, int grouped)
    {
        tail_work_ += count - grouped;
        return count >= search_policy::kGroupMinNodes && tail_work_ >= regroup_work_ * static_cast<std::int64_t>(count);
    }
    // The nodes have been regrouped (or that was tried): counts start afresh.
    void regrouped()
    {
        tail_work_ = 0;
        searched_ = 0;
        sized_ = 0;
    }
    // Whether this search takes the groups of `grouped` nodes (none when
    // there are none): during their trial, and after it while they leave most
    // nodes unsized. The trial's verdict sets how long the next regroup waits.
    bool use_groups(bool have_groups, std::int64_t grouped)
    {
        using namespace search_policy;
        if (!have_groups)
            return false;
        const bool paying = sized_ * kPayingShare < searched_ * grouped;
        // A trial that has already done more work than all of it may is
        // judged at once (the same judgement, sooner).
        if (searched_ < kTrialSearches && sized_ * kPayingShare >= (kTrialSearches + 1) * grouped)
            searched_ = kTrialSearches;
        if (searched_ == kTrialSearches) {
            regroup_work_ = paying ? kRegroupWork : std::min(kRegroupBackoff * regroup_work_, kRegroupWorkMost);
            ++searched_;  // judged once per regroup
        }
        return searched_ < kTrialSearches || paying;
    }
    // A search with the groups sized `sized` nodes.
    void searched_with_groups(std::int64_t sized)
    {
        sized_ += sized;
        ++searched_;
    }

private:
    std::int64_t tail_work_ = 0;  // nodes sized outside the groups since the last regroup
    std::int64_t searched_ = 0, sized_ = 0;  // searches with the groups, and their work
    std::int64_t regroup_work_ = search_policy::kRegroupWork;  // in node counts of tail work
};

#endif
