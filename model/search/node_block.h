// NodeBlock: the bounds of all nodes of a call kept a second time, in tiles of
// kTileNodes nodes (per feature a row of the tile's lower bounds, then a row of
// its upper bounds), behind the fast winner search.
//
// What stays true:
// - The block mirrors the node list: node k's bounds are in lane k % kTileNodes
//   of tile k / kTileNodes after every create (append, put) and every learn
//   (refresh). Empty lanes hold NaN bounds, whose sizes are NaN and never win.
// - Every search gives the winner of Node::join over all nodes in node order
//   (join.h), whichever kernels, groups, remembered searches or threads find
//   it; these change only the time taken.
// - Searches of batches (find_winners) change nothing but their outputs and,
//   where regroup_on_search asked for it, the groups; the threads they start
//   write only disjoint parts of that regroup (grouping.h), their own scratch
//   and disjoint runs of the outputs (scheduler.cpp). Everything else is the
//   calling thread's.
//
// The block coordinates parts of its own, each in files of its own:
// NodeTiles (tiles.h), the GroupIndex and its GroupedQuery (grouping.h,
// grouped_query.h), the LookAhead (look_ahead.h), the SearchJournal
// (journal.h), the RegroupPolicy (regroup_policy.h) and the batch scheduler
// (scheduler.h); README.md maps them. The block decides which part serves a
// search; the parts know nothing of the block.
#ifndef QUORV_MODEL_SEARCH_NODE_BLOCK_H
#define QUORV_MODEL_SEARCH_NODE_BLOCK_H

#include "model/search/config.h"
#include "model/search/grouping.h"
#include "model/search/journal.h"
#include "model/search/look_ahead.h"
#include "model/search/regroup_policy.h"
#include "model/search/tiles.h"

class Node;

class NodeBlock {
public:
    static constexpr int kTileNodes = search_kernels::kTileNodes;

    // Nodes of m features (Node::params.M of the call), searched as `config` says.
    NodeBlock(int m, const SearchConfig &config);
    ~NodeBlock();
    NodeBlock(const NodeBlock &) = delete;
    NodeBlock &operator=(const NodeBlock &) = delete;

    const SearchConfig &config() const { return config_; }
    int count() const { return tiles_.count(); }
    int features() const { return tiles_.m(); }

    // Room for `nodes` nodes; grows geometrically. False when memory ran out
    // (the block is then unchanged).
    bool reserve(int nodes);
    // Copies the bounds of `node` as node number count(); false when memory ran out.
    bool append(const Node &node);
    // Adds `nodes` nodes at once to a block that no search has used, each
    // then given its bounds by put(k, node), from any thread, one thread per
    // tile; until then they hold NaN bounds. False when memory ran out.
    bool add_slots(int nodes);
    void put(int k, const Node &node);
    // The same from a node's bounds alone (M lower, M upper).
    void put_bounds(int k, const double *lower, const double *upper) { tiles_.store(k, lower, upper); }
    // Copies the bounds of node k again, after learn may have moved them.
    void refresh(int k, const Node &node);

    // Orders all nodes now in the block into groups with bounds; nodes
    // appended later are searched in full until the next regroup. False when
    // memory ran out: searches then size every node, with the same results.
    // With node_label (by node number), the nodes of each label apart
    // (GroupIndex::regroup).
    bool regroup(const int *node_label = nullptr);
    // Nodes in the groups (the first grouped() nodes; 0: no groups).
    int grouped() const { return groups_.grouped(); }
    // The next find_winners groups the nodes first (as regroup), on one
    // thread while the others start searching without the groups.
    void regroup_on_search() { regroup_pending_ = true; }

    // Winner for one pattern, -1 when no node wins; *size gets the winner's
    // join size when there is one.
    int find_winner(const double *pattern, double *size = nullptr) const;
    // The same for training, which searches one pattern after another and
    // changes at most one node in between. `next`, when not null, is the
    // pattern likely to be searched next: the pass over the nodes sizes it
    // too, and its own search then sizes only the nodes changed since.
    // `pattern_index`, when not -1, numbers the pattern among those
    // remembered (remember).
    int find_winner_ahead(const double *pattern, const double *next, double *size = nullptr,
                          int pattern_index = -1);
    // Training presents the same patterns again and again: remember, for
    // each of `patterns` patterns, the winner of its last search, so that its
    // next search sizes only the nodes appended or changed since. False when
    // memory ran out (searches then start afresh, same results).
    bool remember(int patterns);
    // Winners of n patterns at once, into winners[0..n-1], and their sizes
    // into sizes[0..n-1] when sizes is not null (those of patterns without a
    // winner are left alone); on up to `threads` threads.
    // `labels`, when given and made for the groups now held (since the last
    // regroup or refresh), lets the search
    // give, in place of a winner and its size, another node of the winner's
    // label and its size, where the winner passes labels->limit.
    void find_winners(const double *const *patterns, int n, int *winners, double *sizes = nullptr,
                      int threads = 1, const LabelRule *labels = nullptr);
    // The groups now held (null: none), for a LabelRule made of them.
    const NodeGroups *groups() const { return groups_.groups(); }
    // The join size of every node with the pattern, into out[0..count()-1].
    void all_sizes(const double *pattern, double *out) const;

private:
    const search_kernels::Kernels &kernels() const { return config_.kernels; }
    int single_search(const double *pattern, const double *next, double *size);

    SearchConfig config_;
    NodeTiles tiles_;
    LookAhead ahead_;
    SearchJournal journal_;
    GroupIndex groups_;
    RegroupPolicy policy_;  // training's regroups
    bool regroup_pending_ = false;
};

#endif
