// How a search runs: which kernels size the nodes, whether the groups may
// skip nodes, and on how many threads. A value handed to each NodeBlock (and
// through it to every search), never a process-wide switch: a test or a
// benchmark twin makes the value it wants, and nothing else changes.
//
// Every configuration gives the same winners, sizes and counts; only the time
// differs.
#ifndef QUORV_MODEL_SEARCH_CONFIG_H
#define QUORV_MODEL_SEARCH_CONFIG_H

#include "model/search/kernels.h"

class ThreadTeam;

// Straight joins every node with Node::join, one counting call per join;
// Scalar, Avx2 and Avx512 size the nodes from the block's tiles by that
// kernel table, count all joins at once and join only the winner.
enum class SearchPath { Straight, Scalar, Avx2, Avx512 };

const char *search_path_name(SearchPath path);

struct SearchConfig {
    SearchPath path = SearchPath::Scalar;
    search_kernels::Kernels kernels = {};
    bool pruning = true;  // the groups skip nodes that cannot win
    int threads = 1;      // for batches of patterns (NodeBlock::find_winners)
    // Workers the caller started ahead, that batches run on instead of
    // starting threads of their own; not owned.
    ThreadTeam *team = nullptr;

    // The fastest path this processor runs, chosen once: on processors that
    // carry out 512-bit operations as two halves, flat classification takes
    // the AVX2 kernel, which is faster there. One thread, pruning on.
    static SearchConfig for_processor();
    // Whether this build and processor can run the path.
    static bool available(SearchPath path);
    // The path with its own kernels only (checks compare them); false, and
    // *config unchanged, where it is not available.
    static bool for_path(SearchPath path, SearchConfig *config);
};

#endif
