// The node block: which part serves each change and each search (see
// node_block.h).
//
// What stays true here: every change of a node reaches every part that
// keeps a copy or a judgement of it, in one place: append and put store a
// created node's box in the tiles (append tells the journal), refresh stores
// a learned one and tells the journal, the look-ahead and the groups.
#include "model/search/node_block.h"

#include "model/node.h"
#include "model/search/grouped_query.h"
#include "model/search/scheduler.h"

#include <limits>

NodeBlock::NodeBlock(int m, const SearchConfig &config) : config_(config), tiles_(m) {}

NodeBlock::~NodeBlock() = default;

bool NodeBlock::reserve(int nodes)
{
    Buffer<double> grown;
    const int tiles = tiles_.grow(nodes, &grown);
    if (tiles <= 0)
        return tiles == 0;
    if (!journal_.reserve(static_cast<std::size_t>(tiles) * kTileNodes, tiles_.count()))
        return false;
    tiles_.adopt(grown, tiles);
    return true;
}

bool NodeBlock::append(const Node &node)
{
    const int k = tiles_.count();
    if (k == std::numeric_limits<int>::max() || !reserve(k + 1))
        return false;
    tiles_.store(k, node.lower, node.upper);
    tiles_.add(1);
    journal_.note_change(k, tiles_.view().lane(k), tiles_.tile_doubles());
    return true;
}

bool NodeBlock::add_slots(int nodes)
{
    if (nodes > std::numeric_limits<int>::max() - tiles_.count() || !reserve(tiles_.count() + nodes))
        return false;
    tiles_.add(nodes);
    return true;
}

void NodeBlock::put(int k, const Node &node) { put_bounds(k, node.lower, node.upper); }

void NodeBlock::refresh(int k, const Node &node)
{
    if (tiles_.holds(k, node.lower, node.upper))
        return;  // learn left the box as it was
    tiles_.store(k, node.lower, node.upper);
    journal_.note_change(k, tiles_.view().lane(k), tiles_.tile_doubles());  // the lane holds the learned box
    ahead_.changed(k);
    groups_.refresh(k, tiles_.tile_doubles(), tiles_.m(), node.lower, node.upper);
}

bool NodeBlock::regroup(const int *node_label)
{
    policy_.regrouped();
    return groups_.regroup(tiles_.view(), node_label);
}

bool NodeBlock::remember(int patterns) { return journal_.remember(patterns, tiles_.tile_doubles(), tiles_.m()); }

void NodeBlock::all_sizes(const double *pattern, double *out) const
{
    ::all_sizes(kernels(), tiles_.view(), pattern, out);
}

int NodeBlock::find_winner(const double *pattern, double *size) const
{
    if (config_.pruning && groups_.groups() && groups_.scratch())
        return GroupedQuery(kernels(), tiles_.view(), groups_.groups()).winner(pattern, size, *groups_.scratch());
    return flat_winner(kernels(), tiles_.view(), pattern, size);
}

int NodeBlock::find_winner_ahead(const double *pattern, const double *next, double *size, int pattern_index)
{
    if (config_.pruning && tiles_.m() > 0 && journal_.remembers(pattern_index)) {
        double found = 0.0;
        int winner = journal_.replay(pattern_index, pattern, kernels(), tiles_.view(), &found);
        if (winner == SearchJournal::kSearchAfresh)
            winner = single_search(pattern, next, &found);
        else
            ahead_.forget();  // a search looks ahead only for the pattern it was told of
        journal_.record(pattern_index, winner, found);
        if (winner >= 0 && size)
            *size = found;
        return winner;
    }
    return single_search(pattern, next, size);
}

// One pattern of training: with the groups while they pay, regrouped as the
// policy says; else over every node, looking ahead at `next`.
int NodeBlock::single_search(const double *pattern, const double *next, double *size)
{
    if (config_.pruning && tiles_.m() > 0) {
        if (policy_.regroup_due(tiles_.count(), groups_.grouped()))
            regroup();  // on failure, tried again after as much work
        if (policy_.use_groups(groups_.groups() != nullptr, groups_.grouped())) {
            ahead_.forget();
            GroupScratch &scratch = *groups_.scratch();
            const std::int64_t before = scratch.sized;
            const int winner = GroupedQuery(kernels(), tiles_.view(), groups_.groups()).winner(pattern, size, scratch);
            policy_.searched_with_groups(scratch.sized - before);
            return winner;
        }
    }
    return ahead_.search(kernels(), tiles_.view(), tiles_.capacity(), pattern, next, size);
}

void NodeBlock::find_winners(const double *const *patterns, int n, int *winners, double *sizes, int threads,
                             const LabelRule *labels)
{
    if (n <= 0)
        return;
    threads = RegroupPolicy::batch_threads(threads, n, tiles_.count(), tiles_.m());
    // A regroup here would leave labels made for the groups before it behind.
    const BatchParts parts{kernels(), tiles_.view(), groups_, config_.pruning, config_.team,
                           regroup_pending_ ? nullptr : labels};
    if (regroup_pending_) {
        regroup_pending_ = false;
        if (threads > 1) {
            policy_.regrouped();
            grouping_winners(parts, patterns, n, winners, sizes, threads);
            return;
        }
        regroup();
    }
    batch_winners(parts, patterns, n, winners, sizes, threads);
}
