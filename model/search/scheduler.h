// Batches of patterns (classification) on one thread or several: what
// NodeBlock::find_winners hands out, over the parts of the block.
//
// What stays true: every pattern of a batch gets the winner a flat search in
// node order gives, whichever thread takes it; the threads touch nothing but
// the groups (read only once made, or their own disjoint parts of a regroup),
// their own scratch and disjoint runs of the outputs.
#ifndef QUORV_MODEL_SEARCH_SCHEDULER_H
#define QUORV_MODEL_SEARCH_SCHEDULER_H

#include "model/search/grouped_query.h"
#include "model/search/grouping.h"
#include "model/search/kernels.h"
#include "model/search/tiles.h"

class ThreadTeam;

// The parts of a block a batch searches: its tiles (unchanged during the
// batch), its groups, whether they may prune, and the team to run on.
struct BatchParts {
    const search_kernels::Kernels &kernels;
    TileView tiles;
    GroupIndex &groups;
    bool pruning;
    ThreadTeam *team;  // not owned; null: threads of its own
    const LabelRule *labels = nullptr;  // of these groups; null: winners as they are

    // Reads the groups: not while another thread regroups.
    GroupedQuery query() const
    {
        return GroupedQuery(kernels, tiles, pruning ? groups.groups() : nullptr, labels);
    }
    // Reads the tiles only.
    void flat(const double *const *patterns, int n, int *winners, double *sizes) const
    {
        flat_winners(kernels, tiles, patterns, n, winners, sizes);
    }
};

// Winners of n patterns into winners[0..n-1], their sizes into sizes[0..n-1]
// when sizes is not null (those of patterns without a winner are left
// alone), on up to `threads` threads: with the groups when a probe finds that
// they pay, else flat.
void batch_winners(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                   int threads);
// The same on threads > 1 threads for a block whose nodes are to be grouped
// first: one thread groups them (the others take parts of that work, or search
// flat until the groups are judged), then all search with them if they pay.
void grouping_winners(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                      int threads);

#endif
