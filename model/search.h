// The winner search over all nodes of a call, as the drivers use it: the node
// whose box, joined with the pattern, has the strictly smallest size below M,
// the lowest-numbered one on ties; a NaN size never wins. Every way of
// searching gives the same winners, trial boxes and operation counts as
// joining every node in turn with Node::join.
//
// The nodes' bounds are kept a second time in a NodeBlock (model/search/,
// mapped in its README.md), searched as its SearchConfig says.
#ifndef QUORV_MODEL_SEARCH_H
#define QUORV_MODEL_SEARCH_H

#include "model/search/config.h"
#include "model/search/node_block.h"

#include <cstdint>

class Node;

// The configuration this plug-in's drivers search with, made afresh for each
// call (the thread count follows QUORV_THREADS, see model/threads.h). Each
// plug-in build defines it once: model/search/plugin_config.cpp for the
// plug-ins, bench/*_search.cpp for the benchmark's twins.
SearchConfig plugin_search_config();

// The winner for one pattern among the block's nodes, nodes[k] being node k of
// the block: -1 when none wins. Every node counts as joined, and each join adds
// host_per_join more to the host's flop counter (a driver's own tally). The
// winner has been joined with the pattern, so its trial box, join_size and
// growth are this pattern's; other nodes' trial fields are not to be read
// (the straight loop sets them, the block's search leaves them as they were).
// `next` and `pattern_index` as for NodeBlock::find_winner_ahead; they change
// nothing but the time taken. The block is regrouped now and then, as the
// nodes added since the last time make it worth it.
int search_winner(Node *const *nodes, NodeBlock &block, const double *pattern, std::int64_t host_per_join,
                  const double *next = nullptr, int pattern_index = -1);

// Makes the block ready for search_winners over `patterns` patterns: groups
// its nodes when that pays.
void prepare_winners(NodeBlock &block, int patterns);

// Winners of n patterns, for nodes that do not change in between, into
// winners[0..n-1], and the winners' join sizes into sizes[0..n-1] (those of
// patterns without a winner are left alone). Every node counts as joined with
// every pattern; the nodes' trial fields are not to be read afterwards. Large
// jobs are shared among the configuration's threads, which touch nothing but
// the block and the two arrays.
void search_winners(Node *const *nodes, NodeBlock &block, const double *const *patterns, int n, int *winners,
                    double *sizes);

// Counts `joins` joins at once through Node::count_ops: the same totals, after
// the same wrap of the 32-bit counters, as that many calls of Node::join.
void count_joins(std::int64_t joins);

#endif
