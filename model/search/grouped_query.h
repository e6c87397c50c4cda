// The pruned searches: the winners of patterns among a block's nodes, found
// with the groups (grouping.h) so that most nodes are never sized; where the
// groups do not pay, the flat searches of tiles.h. The layering: these read
// the tiles and the groups, and call nothing of the block.
//
// What stays true: every search gives the winner a flat search in node order
// gives (join.h). A GroupedQuery is a view of the tiles, the groups and the
// kernels: it changes nothing but its outputs and the scratch it is given,
// so threads may search side by side, each with its own scratch.
#ifndef QUORV_MODEL_SEARCH_GROUPED_QUERY_H
#define QUORV_MODEL_SEARCH_GROUPED_QUERY_H

#include "model/search/grouping.h"
#include "model/search/kernels.h"
#include "model/search/tiles.h"

#include <cstdint>

class GroupedQuery {
public:
    // `groups` null: every search is flat. `labels`, when given (of these
    // groups), lets the searches of four patterns pass over tiles and groups
    // that cannot change the winner's label: the winners and sizes found are
    // then those of some node of the same label, for callers that read the
    // labels only (LabelRule in grouping.h). Labels made for other groups
    // are not used.
    GroupedQuery(const search_kernels::Kernels &kernels, const TileView &tiles, const NodeGroups *groups,
                 const LabelRule *labels = nullptr)
        : kernels_(kernels), tiles_(tiles), groups_(groups), labels_(groups && labels && labels->groups == groups ? labels : nullptr)
    {
    }

    // The winner of one pattern (with groups), -1 for none; *size gets its
    // size (may be null). `hint`, when not -1, is a likely winner, sized first.
    int winner(const double *pattern, double *size, GroupScratch &scratch, int hint = -1) const;
    // Whether the groups pay for these patterns: the first up to
    // kProbePatterns of them are searched with the groups, their winners
    // stored; *probed tells how many (with groups).
    bool pays(const double *const *patterns, int n, int *winners, double *sizes, GroupScratch &scratch,
              int *probed) const;
    // Winners of n patterns, with the groups while they pay, else flat.
    // Patterns already in k-d order (`ordered`) keep it.
    void range(const double *const *patterns, int n, int *winners, double *sizes, GroupScratch &scratch,
               bool ordered = false) const;
    void flat(const double *const *patterns, int n, int *winners, double *sizes) const
    {
        flat_winners(kernels_, tiles_, patterns, n, winners, sizes);
    }

private:
    void winners4(const double *const *patterns, int np, int *winners, double *sizes, GroupScratch &scratch,
                  int hint) const;
    // Parts of winner: the nodes past the groups, and the groups' order.
    void search_tail(const double *pattern, double *best, int *winner) const;
    int order_groups(const double *pattern, double best, GroupScratch &scratch) const;
    void search_group(int q, const double *pattern, double *best, int *winner, std::int64_t *sized) const;
    // Parts of winners4, whose state a Four keeps.
    struct Four;
    int order_groups4(Four &f, GroupScratch &scratch) const;
    std::int64_t search_group4(int q, Four &f, GroupScratch &scratch) const;
    unsigned passed_over(int t0, double best, int winner) const;
    std::int64_t settle(Four &f, int r) const;
    // A run of range with the groups.
    void grouped_run(const double *const *patterns, const int *order, int p0, int nb, int finite, int *winners,
                     double *sizes, GroupScratch &scratch, int *hint) const;

    const search_kernels::Kernels &kernels_;
    TileView tiles_;
    const NodeGroups *groups_;
    const LabelRule *labels_;
};

#endif
