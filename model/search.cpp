// The winner search as the drivers use it: the straight loop, or the block's
// search with the joins counted at once (see search.h).
//
// What stays true: both forms count every node as joined, with the same
// totals (count_joins gives those of as many Node::join calls), and both
// leave the winner's trial box as Node::join makes it.
#include "model/search.h"

#include "host/args.h"
#include "model/node.h"
#include "model/search/policy.h"

namespace {

// The plain form: every node joined in turn, each join counted as it happens.
// It is what the block's searches must match (the straight twins of the
// plug-ins run it), so it keeps its own strictly-smaller test rather than
// sharing the tie rule of model/search/join.h: in node order that test is
// the whole rule.
int straight_winner(Node *const *nodes, int count, const double *pattern, std::int64_t host_per_join,
                    double *size)
{
    double best = Node::params.M;
    int winner = -1;
    for (int k = 0; k < count; ++k) {
        Node *node = nodes[k];
        node->join(pattern);
        add_host_flops(host_per_join);
        if (node->join_size < best) {
            winner = k;
            best = node->join_size;
        }
    }
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

}  // namespace

int search_winner(Node *const *nodes, NodeBlock &block, const double *pattern, std::int64_t host_per_join,
                  const double *next, int pattern_index)
{
    const int count = block.count();
    if (block.config().path == SearchPath::Straight || count < search_policy::kSearchMinNodes)
        return straight_winner(nodes, count, pattern, host_per_join, nullptr);
    const int winner = block.find_winner_ahead(pattern, next, nullptr, pattern_index);
    // Only the winner's trial box is ever used.
    if (winner >= 0)
        nodes[winner]->join_uncounted(pattern);
    count_joins(count);
    add_host_flops(count * host_per_join);
    return winner;
}

void prepare_winners(NodeBlock &block, int patterns)
{
    const SearchConfig &config = block.config();
    if (config.pruning && config.path != SearchPath::Straight &&
        RegroupPolicy::batch_groups(block.count(), NodeBlock::kTileNodes, patterns))
        block.regroup_on_search();
}

void search_winners(Node *const *nodes, NodeBlock &block, const double *const *patterns, int n, int *winners,
                    double *sizes)
{
    const int count = block.count();
    if (block.config().path == SearchPath::Straight) {
        for (int p = 0; p < n; ++p)
            winners[p] = straight_winner(nodes, count, patterns[p], 0, sizes + p);
        return;
    }
    block.find_winners(patterns, n, winners, sizes, block.config().threads);
    count_joins(static_cast<std::int64_t>(n) * count);
}

void count_joins(std::int64_t joins)
{
    const std::int64_t m = Node::params.M;
    Node::count_ops(joins * (2 * m + 1), joins * (2 * m));
}
