// The winner search over all nodes of a call: the node whose box, joined with
// the pattern, has the strictly smallest size below M, the lowest-numbered one
// on ties; a NaN size never wins.
//
// The bounds of all nodes are kept here a second time, in tiles of
// kTileNodes nodes: for each feature in turn the tile's lower bounds, then its
// upper bounds. Sizes for several nodes then come from straight runs of memory,
// a vector of nodes at a time, while each node's size is still summed in
// feature order from 0.0 with the choices of Node::join, so every size equals
// the join_size that Node::join gives, bit for bit. Slots past the last node
// hold NaN bounds, whose sizes are NaN and never win.
//
// Most nodes cannot win. regroup() copies the nodes once more, ordered so that
// each tile holds nearby boxes, and keeps for every tile, and for every group
// of kTileNodes tiles, the largest lower bound, the smallest upper bound and
// the smallest width of each feature, and the smallest box size. A member's
// join term in a feature is at least the term the two bounds give with the
// pattern (a rounded difference of a larger or equal first and a smaller or
// equal second operand) and at least its own width, so at least the larger of
// that term and the smallest width; no term is negative, and larger terms
// added in the same order never give a smaller sum. That sum, and the
// smallest box size, are thus no more than any member's join size, and a
// group whose bound is above the best size found cannot hold the winner
// (compared as size, then node number, for the ties). The bound holds only
// for finite bounds with lower <= upper and a finite pattern: a tile with any
// other node gets bounds +inf / -inf and width 0, whose size is 0 for every
// finite pattern, so it is always searched, and a pattern that is not finite
// is searched without the groups. learn may move bounds either way by a
// rounding, so the bounds of a node's tile and group take in its new box.
#ifndef QUORV_MODEL_SEARCH_H
#define QUORV_MODEL_SEARCH_H

#include <cstddef>
#include <cstdint>

class Node;

// How the winner is found: Straight joins every node with Node::join, one
// counting call per join; Scalar, Avx2 and Avx512 compute sizes from the
// tiles, in plain C++, in AVX2 vectors (processors with AVX2 and FMA) or in
// AVX-512 vectors (processors with AVX-512F), count all joins at once and
// join only the winner. All give the same winners, sizes and totals. On
// processors that split 512-bit operations in halves, the chosen Avx512 path
// classifies many patterns at once with the AVX2 kernel, which is faster
// there; a path set by name uses its own kernels only.
enum class SearchPath { Straight, Scalar, Avx2, Avx512 };

// The path this process uses, chosen once from what the processor offers.
SearchPath search_path();
// Whether this build and processor can run the given path.
bool search_path_available(SearchPath path);
// Forces a path (checks compare the paths); false, and nothing changes, when
// it is not available.
bool set_search_path(SearchPath path);

// Whether searches skip the groups that cannot hold the winner (the default);
// off, every node is sized, as before the groups existed. The thread count is
// set in model/threads.h.
bool search_pruning();
void set_search_pruning(bool on);

class NodeBlock;

// The winner for one pattern among the block's nodes, nodes[k] being node k of
// the block: -1 when none wins. Every node counts as joined, and each join adds
// host_per_join more to the host's flop counter (a driver's own tally). The
// winner has been joined with the pattern, so its trial box, join_size and
// growth are this pattern's; other nodes' trial fields are left as they were.
// `next`, when not null, is the pattern likely to be searched next (see
// NodeBlock::find_winner_ahead), and `pattern_index`, when not -1, numbers the
// pattern among those the block remembers (NodeBlock::remember); they change
// nothing but the time taken. The
// block is regrouped now and then, as the nodes added since the last time
// make it worth it.
int search_winner(Node *const *nodes, NodeBlock &block, const double *pattern, std::int64_t host_per_join,
                  const double *next = nullptr, int pattern_index = -1);

// Makes the block ready for search_winners over `patterns` patterns: groups
// its nodes when that pays.
void prepare_winners(NodeBlock &block, int patterns);

// Winners of n patterns, for nodes that do not change in between, into
// winners[0..n-1], and the winners' join sizes into sizes[0..n-1] (those of
// patterns without a winner are left alone). Every node counts as joined with
// every pattern; the nodes' trial fields are not to be read afterwards. Large
// jobs are shared among search_threads() threads, which touch nothing but the
// block and the two arrays.
void search_winners(Node *const *nodes, NodeBlock &block, const double *const *patterns, int n,
                    int *winners, double *sizes);

// Counts `joins` joins at once through Node::count_ops: the same totals, after
// the same wrap of the 32-bit counters, as that many calls of Node::join.
void count_joins(std::int64_t joins);

class NodeBlock {
public:
    static constexpr int kTileNodes = 8;

    // Nodes of m features (Node::params.M of the call).
    explicit NodeBlock(int m);
    ~NodeBlock();

    // Room for `nodes` nodes; grows geometrically. False when memory ran out
    // (the block is then unchanged).
    bool reserve(int nodes);
    // Copies the bounds of `node` as node number count(); false when memory ran out.
    bool append(const Node &node);
    // Adds `nodes` nodes at once to a block that no search has used, each
    // then given its bounds by put(k, node), from any thread, one thread per
    // tile; until then they hold NaN bounds. False when memory ran out.
    bool add_slots(int nodes);
    void put(int k, const Node &node) { store(k, node); }
    // Copies the bounds of node k again, after learn may have moved them.
    void refresh(int k, const Node &node);
    // Orders all nodes now in the block into groups with bounds; nodes
    // appended later are searched in full until the next regroup. False when
    // memory ran out: searches then size every node, with the same results.
    bool regroup();

    int count() const { return count_; }
    // Nodes in the groups (the first grouped() nodes; 0: no groups).
    int grouped() const;

    // Winner for one pattern, -1 when no node wins; *size gets the winner's
    // join size when there is one.
    int find_winner(const double *pattern, double *size = nullptr) const;
    // The same, looking one pattern ahead: the pass over the nodes also sizes
    // `next` (when not null) against every node, and a later call for `next`
    // itself takes those sizes, sizing again only the nodes refreshed (at most
    // one) or appended since, instead of passing over all nodes again.
    // `pattern_index`: see remember; -1 for a pattern not remembered.
    int find_winner_ahead(const double *pattern, const double *next, double *size = nullptr,
                          int pattern_index = -1);
    // Training presents the same patterns again and again: remember, for
    // each of `patterns` patterns, the winner of its last search and which
    // nodes have been appended or changed since. The next search of that
    // pattern then sizes only those nodes: every other node has the bounds,
    // and so the join size, it had then, and none of those beat the winner.
    // False when memory ran out (searches then start afresh, same results).
    bool remember(int patterns);
    // Winners of n patterns at once, into winners[0..n-1], and their sizes
    // into sizes[0..n-1] when sizes is not null; on up to `threads` threads.
    void find_winners(const double *const *patterns, int n, int *winners, double *sizes = nullptr,
                      int threads = 1);
    // The next find_winners groups the nodes first (as regroup), on one
    // thread while the others start searching without the groups.
    void regroup_on_search() { regroup_pending_ = true; }
    // The join size of every node with the pattern, into out[0..count()-1].
    void all_sizes(const double *pattern, double *out) const;

    NodeBlock(const NodeBlock &) = delete;
    NodeBlock &operator=(const NodeBlock &) = delete;

    struct Groups;
    struct Scratch;
    struct Regrouping;

private:
    double *tile(int t) const { return tiles_ + static_cast<std::size_t>(t) * tile_doubles_; }
    int tile_count() const { return (count_ + kTileNodes - 1) / kTileNodes; }
    void store(int k, const Node &node);
    double node_size(int k, const double *pattern) const;
    int winner_from_ahead(const double *pattern, double *size);
    int find_winner_in(const double *pattern, double *size, Scratch *scratch, int hint = -1) const;
    void winners4(const double *const *patterns, int np, int *winners, double *sizes, Scratch *scratch,
                  int hint) const;
    int flat_winner(const double *pattern, double *size) const;
    void flat_winners(const double *const *patterns, int n, int *winners, double *sizes) const;
    bool groups_pay(const double *const *patterns, int n, int *winners, double *sizes, Scratch *scratch,
                    int *probed) const;
    void winners_range(const double *const *patterns, int n, int *winners, double *sizes, Scratch *scratch,
                       bool ordered = false) const;
    void grouping_winners(const double *const *patterns, int n, int *winners, double *sizes, int threads);
    void forget_groups();
    // regroup() in steps, the parts on any threads (see Regrouping). False
    // when memory ran out.
    bool regroup_begin(Regrouping &r);
    void regroup_part(Regrouping &r, int part) const;
    bool regroup_end(Regrouping &r);
    void empty_bounds(double *bounds, int first, int last, int *first_node, double *least) const;

    int m_;
    std::size_t tile_doubles_;  // 2 * kTileNodes * m
    double *tiles_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;  // in tiles

    // Sizes of the pattern `ahead_` against the first ahead_count_ nodes as
    // they were, except node ahead_dirty_ (-1: none) refreshed since.
    const double *ahead_ = nullptr;
    double *ahead_sizes_ = nullptr;
    int ahead_capacity_ = 0;  // in tiles
    int ahead_count_ = 0;
    int ahead_dirty_ = -1;

    void note_change(int k);
    int winner_since(const double *pattern, int pattern_index, double *size);

    // The last search of each remembered pattern: the `epoch_` it ran at,
    // its winner (-1: none) and the winner's size.
    struct Memo {
        std::int64_t epoch;
        double size;
        int node;
    };
    Memo *memos_ = nullptr;
    int memo_count_ = 0;
    // Node changed at each epoch, the last log_capacity_ of them.
    int *log_ = nullptr;
    // The box of each logged change as it was then, in tiles as tiles_ has
    // them, entry e of the log in lane e % kTileNodes; null when too large.
    double *journal_ = nullptr;
    std::int64_t log_capacity_ = 0;
    std::int64_t epoch_ = 0;
    std::int64_t *changed_at_ = nullptr;  // epoch of each node's last change

    Groups *groups_ = nullptr;
    Scratch *scratch_ = nullptr;  // for the calling thread's searches
    bool regroup_pending_ = false;
    // Training: nodes sized outside the groups since the last regroup, and
    // how well the groups have pruned since then.
    std::int64_t tail_work_ = 0;
    std::int64_t searched_ = 0, sized_ = 0;
    std::int64_t regroup_work_ = 16;  // regroup after this many node counts of tail work
};

#endif
