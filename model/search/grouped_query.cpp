// The pruned search: the nodes added since the groups were made first, in
// node order; then the groups, smallest least size first, and in each group
// the tiles likewise, each skipped when its least size (the size no member
// can go below) shows that no member can beat the best so far (grouping.h
// says why these hold).
//
// What stays true: the best is compared as (size, node number) by takes_lead
// (join.h), so that whatever order the nodes are sized in, the lowest-numbered
// of equal sizes wins as in a scan in node order; with a LabelRule, units of
// the winner's label passed over are settled before a search of four ends,
// so that its label is the true winner's. Patterns that are not finite
// are searched flat. The searches here read the tiles and the groups and
// write only their outputs and their own GroupScratch, so threads may run
// them side by side.
#include "model/search/grouped_query.h"

#include "model/search/join.h"
#include "model/search/policy.h"

#include <algorithm>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUORV_SSE2 1
#else
#define QUORV_SSE2 0
#endif

namespace {

constexpr int kW = search_kernels::kTileNodes;

// Bit j set where a[j] <= t, for the kW values a[0..kW-1] (never for NaN).
unsigned at_most(const double *a, double t)
{
    unsigned bits = 0;
#if QUORV_SSE2
    const __m128d b = _mm_set1_pd(t);
    for (int v = 0; v < kW / 2; ++v)
        bits |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(_mm_loadu_pd(a + 2 * v), b))) << (2 * v);
#else
    for (int j = 0; j < kW; ++j)
        bits |= static_cast<unsigned>(a[j] <= t) << j;
#endif
    return bits;
}

int lowest_bit(unsigned bits)
{
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctz(bits);
#else
    int j = 0;
    while (!(bits & 1u)) {
        bits >>= 1;
        ++j;
    }
    return j;
#endif
}

}  // namespace

// The nodes appended since the groups were made, a few tiles at a time.
void GroupedQuery::search_tail(const double *pattern, double *best_io, int *winner_io) const
{
    const int grouped = groups_->count, tile_count = tiles_.tile_count();
    double best = *best_io;
    int winner = *winner_io;
    alignas(64) double sizes[kW * kW];
    for (int t0 = grouped / kW; t0 < tile_count; t0 += kW) {
        const int tiles = tile_count - t0 < kW ? tile_count - t0 : kW;
        kernels_.tile_sizes(tiles_.tile(t0), tiles_.tile_doubles, nullptr, tiles, tiles_.m, pattern, sizes);
        const int first = t0 * kW > grouped ? t0 * kW : grouped;
        const int last = (t0 + tiles) * kW < tiles_.count ? (t0 + tiles) * kW : tiles_.count;
        for (int k = first; k < last; ++k)
            if (takes_lead(sizes[k - t0 * kW], k, best, winner)) {
                best = sizes[k - t0 * kW];
                winner = k;
            }
    }
    *best_io = best;
    *winner_io = winner;
}

// The groups' least sizes into the scratch, and the numbers of those at most
// `best` into its order, smallest least size first; their count is returned.
// (Groups above the best so far stay out of the order: the best only falls.)
int GroupedQuery::order_groups(const double *pattern, double best, GroupScratch &scratch) const
{
    const NodeGroups &g = *groups_;
    double *group_least_size = scratch.group_least_sizes.get();
    int *order = scratch.order.get();
    kernels_.least_sizes(g.group_bounds.get(), g.group_tiles, tiles_.m, pattern, group_least_size);
    int candidates = 0;
    for (int q = 0; q < g.groups; ++q) {
        const double box = g.group_smallest_box[q];
        group_least_size[q] = group_least_size[q] > box ? group_least_size[q] : box;
        if (group_least_size[q] <= best)
            order[candidates++] = q;
    }
    // For a finite pattern every least size is a number (0 for the bounds of
    // unsound boxes), so the order is a strict weak one.
    std::sort(order, order + candidates,
              [group_least_size](int a, int b) { return group_least_size[a] < group_least_size[b]; });
    return candidates;
}

// The tiles of group q that may hold a member beating the best, a few at a time.
void GroupedQuery::search_group(int q, const double *pattern, double *best_io, int *winner_io,
                                std::int64_t *sized) const
{
    const NodeGroups &g = *groups_;
    const int m = tiles_.m;
    double best = *best_io;
    int winner = *winner_io;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    alignas(64) double tile_least_size[kW];
    kernels_.least_sizes(g.tile_bounds.get() + static_cast<std::size_t>(q) * bound_doubles, 1, m, pattern,
                         tile_least_size);
    *sized += search_policy::kBoundWork;
    for (int j = 0; j < kW && q * kW + j < g.tiles; ++j) {
        const double box = g.tile_smallest_box[q * kW + j];
        tile_least_size[j] = tile_least_size[j] > box ? tile_least_size[j] : box;
    }
    const int t0 = q * kW;
    const int tiles = g.tiles - t0 < kW ? g.tiles - t0 : kW;
    // A few tiles at a time keep the kernel busy; a later one may turn out
    // not to be needed, which costs time only.
    constexpr int kAtOnce = search_policy::kPrunedTilesAtOnce;
    static_assert(kAtOnce >= 1 && kAtOnce <= kW, "the sizes of kAtOnce tiles fit in sizes[]");
    alignas(64) double sizes[kW * kW];
    for (int j = 0; j < tiles;) {
        int which[kAtOnce];
        int n = 0;
        for (; j < tiles && n < kAtOnce; ++j)
            if (!out_of_reach(tile_least_size[j], g.tile_first[t0 + j], best, winner))
                which[n++] = t0 + j;
        if (n == 0)
            break;
        kernels_.tile_sizes(g.nodes.get(), tiles_.tile_doubles, which, n, m, pattern, sizes);
        *sized += n * kW;
        for (int e = 0; e < n * kW; ++e) {
            const double s = sizes[e];
            if (s <= best) {
                const int k = g.slot_node[static_cast<std::size_t>(which[e / kW] * kW + e % kW)];
                if (takes_lead(s, k, best, winner)) {
                    best = s;
                    winner = k;
                }
            }
        }
    }
    *best_io = best;
    *winner_io = winner;
}

int GroupedQuery::winner(const double *pattern, double *size, GroupScratch &scratch, int hint) const
{
    const NodeGroups &g = *groups_;
    if (!all_finite(pattern, tiles_.m)) {
        scratch.sized += tiles_.count;
        return flat_winner(kernels_, tiles_, pattern, size);
    }
    double best = no_lead(tiles_.m);
    int winner = -1;
    search_tail(pattern, &best, &winner);
    // A likely winner sized first makes the best small from the start.
    if (hint >= 0 && hint < tiles_.count) {
        const double s = tiles_.node_size(hint, pattern);
        if (takes_lead(s, hint, best, winner)) {
            best = s;
            winner = hint;
        }
    }
    const int candidates = order_groups(pattern, best, scratch);
    const double *group_least_size = scratch.group_least_sizes.get();
    const int *order = scratch.order.get();
    std::int64_t sized = search_policy::kBoundWork * g.group_tiles;
    // A group is passed over where no member can beat the best: a larger
    // least size, or an equal one with every member numbered above the
    // winner (or no winner: then the best is M, which no winner reaches);
    // out_of_reach (join.h).
    for (int r = 0; r < candidates; ++r) {
        const int q = order[r];
        if (group_least_size[q] > best)
            break;  // so are all that follow
        if (out_of_reach(group_least_size[q], g.group_first[q], best, winner))
            continue;
        search_group(q, pattern, &best, &winner, &sized);
    }
    scratch.sized += sized;
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

// A search of four patterns at once: each keeps its own best.
struct GroupedQuery::Four {
    const double *x[4];
    double best[4];
    int winner[4];
    alignas(64) double node_sizes[4][kW * kW];
    double *out[4];

    Four(const double *const *patterns, int np, int m)
    {
        for (int r = 0; r < 4; ++r) {
            x[r] = patterns[r < np ? r : np - 1];
            best[r] = no_lead(m);
            winner[r] = -1;
            out[r] = node_sizes[r];
        }
    }
    // Tiles or groups passed over for pattern r (LabelRule): none may hold
    // a node of another label than the final winner's that is in reach of
    // it, else it is sized after all (settle).
    struct Passed {
        int unit;  // tile, or group where group
        bool group;
        int label, first;  // its label and lowest node number
        double least;      // its least size with the pattern
    };
    static constexpr int kMostPassed = 48;
    Passed passed[4][kMostPassed];
    int passed_count[4] = {0, 0, 0, 0};

    // Records a unit passed over for pattern r; false where there is no room
    // left (it is then searched).
    bool pass(int r, int unit, bool group, int label, int first, double least)
    {
        if (passed_count[r] == kMostPassed)
            return false;
        passed[r][passed_count[r]++] = Passed{unit, group, label, first, least};
        return true;
    }
    double worst() const { return std::max(std::max(best[0], best[1]), std::max(best[2], best[3])); }
    // Pattern r takes the sizes z[l] of the lanes in `hits` that beat its best.
    void offer(int r, const double *z, unsigned hits, const int *slot_nodes)
    {
        for (; hits; hits &= hits - 1) {
            const int l = lowest_bit(hits);
            if (z[l] <= best[r] && takes_lead(z[l], slot_nodes[l], best[r], winner[r])) {
                best[r] = z[l];
                winner[r] = slot_nodes[l];
            }
        }
    }
    // The sizes of tiles which[0..n-1] are in; each pattern takes what beats
    // its best. Most tiles hold nothing better: one test of all eight sizes
    // together says so, without a branch per node.
    void take_sizes(const int *which, int n, const int *slot_node)
    {
        for (int r = 0; r < 4; ++r)
            for (int j = 0; j < n; ++j) {
                const double *z = node_sizes[r] + kW * j;
                offer(r, z, at_most(z, best[r]), slot_node + static_cast<std::size_t>(which[j]) * kW);
            }
    }
};

// The groups' least sizes with the four patterns into the scratch (four rows,
// then the least of the four), and the groups some pattern may still need
// into its order, smallest least of four first; their count is returned.
int GroupedQuery::order_groups4(Four &f, GroupScratch &scratch) const
{
    const NodeGroups &g = *groups_;
    const std::size_t slots = static_cast<std::size_t>(g.group_tiles) * kW;
    double *group_least_size[4];
    double *least_of_four = scratch.group_least_sizes.get() + 4 * slots;
    int *order = scratch.order.get();
    for (int r = 0; r < 4; ++r)
        group_least_size[r] = scratch.group_least_sizes.get() + r * slots;
    kernels_.least_sizes4(g.group_bounds.get(), g.group_tiles, tiles_.m, f.x, group_least_size);
    // Only groups that some pattern may still need are ordered: the bests
    // only fall from here on.
    const double worst0 = f.worst();
    int candidates = 0;
    for (int q = 0; q < g.groups; ++q) {
        double low = group_least_size[0][q];
        const double box = g.group_smallest_box[q];
        for (int r = 0; r < 4; ++r) {
            group_least_size[r][q] = group_least_size[r][q] > box ? group_least_size[r][q] : box;
            low = group_least_size[r][q] < low ? group_least_size[r][q] : low;
        }
        least_of_four[q] = low;
        if (low <= worst0)
            order[candidates++] = q;
    }
    // Finite patterns: every least size is a number, and the order a strict weak one.
    std::sort(order, order + candidates, [least_of_four](int a, int b) { return least_of_four[a] < least_of_four[b]; });
    return candidates;
}

// Bit j set where tile t0 + j of a group may be passed over, for a best of
// `best` held by `winner`, as it cannot change the winner's label.
unsigned GroupedQuery::passed_over(int t0, double best, int winner) const
{
    unsigned bits = 0;
    // The tiles of a group of one label carry that label: the group has
    // been passed over already where they could be.
    if (labels_ && labels_->group_label[t0 / kW] == LabelRule::kMixedLabel && winner >= 0 &&
        best <= labels_->limit)
        for (int j = 0; j < kW && t0 + j < groups_->tiles; ++j)
            bits |= static_cast<unsigned>(labels_->passes_over(labels_->tile_label[t0 + j], best, winner)) << j;
    return bits;
}

// The tiles of group q that some of the four patterns need; the work done
// is returned. A tile that all four need is sized for all four, its rows
// loaded once; one that fewer need only for those, tile and pattern paired.
std::int64_t GroupedQuery::search_group4(int q, Four &f, GroupScratch &scratch) const
{
    const NodeGroups &g = *groups_;
    const int m = tiles_.m;
    const std::size_t slots = static_cast<std::size_t>(g.group_tiles) * kW;
    const double *group_least_size = scratch.group_least_sizes.get() + q;
    // The tiles' least sizes, for the patterns the group's least size leaves in reach.
    alignas(64) double tile_least_size[4][kW];
    const double *group_x[4];
    double *group_out[4];
    bool in_reach[4];
    int reach = 0;
    for (int r = 0; r < 4; ++r) {
        const double least = group_least_size[r * slots];
        in_reach[r] = least <= f.best[r] &&
                      !(labels_ && labels_->passes_over(labels_->group_label[q], f.best[r], f.winner[r]) &&
                        f.pass(r, q, true, labels_->group_label[q], g.group_first[q], least));
        if (in_reach[r]) {
            group_x[reach] = f.x[r];
            group_out[reach++] = tile_least_size[r];
        }
    }
    if (reach == 0)
        return 0;
    const int t0 = q * kW;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    kernels_.least_sizes_tile(g.tile_bounds.get() + static_cast<std::size_t>(q) * bound_doubles, m, group_x,
                              group_out, reach);
    std::int64_t sized = reach * search_policy::kBoundWork;
    // Slots past the last tile have an infinite least size, and are never needed.
    const double *smallest_box = g.tile_smallest_box.get() + t0;
    unsigned needs[4];
    for (int r = 0; r < 4; ++r) {
        needs[r] = in_reach[r] ? at_most(tile_least_size[r], f.best[r]) & at_most(smallest_box, f.best[r]) : 0;
        for (unsigned left = needs[r] & passed_over(t0, f.best[r], f.winner[r]); left; left &= left - 1) {
            const int j = lowest_bit(left);
            const double least = std::max(tile_least_size[r][j], smallest_box[j]);
            if (f.pass(r, t0 + j, false, labels_->tile_label[t0 + j], g.tile_first[t0 + j], least))
                needs[r] &= ~(1u << j);
        }
    }
    const unsigned all = needs[0] & needs[1] & needs[2] & needs[3];
    int which[kW];
    int n = 0;
    for (unsigned left = all; left; left &= left - 1)
        which[n++] = t0 + lowest_bit(left);
    int paired_tile[3 * kW], paired_pattern[3 * kW];
    const double *paired_x[3 * kW];
    int pairs = 0;
    for (int r = 0; r < 4; ++r)
        for (unsigned left = needs[r] & ~all; left; left &= left - 1) {
            paired_tile[pairs] = t0 + lowest_bit(left);
            paired_pattern[pairs] = r;
            paired_x[pairs++] = f.x[r];
        }
    if (n > 0) {
        kernels_.tile_sizes4(g.nodes.get(), tiles_.tile_doubles, which, n, m, f.x, f.out);
        sized += 4 * n * kW;
        f.take_sizes(which, n, g.slot_node.get());
    }
    if (pairs > 0) {
        alignas(64) double paired_out[3 * kW * kW];
        kernels_.paired_sizes(g.nodes.get(), tiles_.tile_doubles, paired_tile, paired_x, pairs, m, paired_out);
        sized += pairs * kW;
        for (int e = 0; e < pairs; ++e) {
            const int r = paired_pattern[e];
            const double *z = paired_out + kW * e;
            f.offer(r, z, at_most(z, f.best[r]), g.slot_node.get() + static_cast<std::size_t>(paired_tile[e]) * kW);
        }
    }
    return sized;
}

// Pattern r's units passed over that may hold a node of another label than
// its winner's, in reach of it, sized after all, until none is left: every
// node not sized is then out of reach, or of the winner's label and so no
// threat to it (LabelRule).
std::int64_t GroupedQuery::settle(Four &f, int r) const
{
    const NodeGroups &g = *groups_;
    std::int64_t sized = 0;
    for (bool again = true; again;) {
        again = false;
        for (int e = 0; e < f.passed_count[r]; ++e) {
            Four::Passed &p = f.passed[r][e];
            if (p.unit < 0 || out_of_reach(p.least, p.first, f.best[r], f.winner[r]) ||
                (f.winner[r] >= 0 && p.label == labels_->node_label[f.winner[r]]))
                continue;
            int which[kW];
            const double *x[kW];
            int n = 0;
            const int t0 = p.group ? p.unit * kW : p.unit;
            const int t1 = std::min(p.group ? t0 + kW : t0 + 1, g.tiles);
            for (int t = t0; t < t1; ++t) {
                which[n] = t;
                x[n++] = f.x[r];
            }
            alignas(64) double z[kW * kW];
            kernels_.paired_sizes(g.nodes.get(), tiles_.tile_doubles, which, x, n, tiles_.m, z);
            sized += n * kW;
            for (int j = 0; j < n; ++j)
                f.offer(r, z + kW * j, at_most(z + kW * j, f.best[r]),
                        g.slot_node.get() + static_cast<std::size_t>(which[j]) * kW);
            p.unit = -1;
            again = true;
        }
    }
    return sized;
}

// The winners of np <= 4 finite patterns, neighbours in space, searched
// together when every node is in the groups: each pattern keeps its own best,
// and each tile that any of them cannot rule out is sized for all four, its
// rows loaded once. The groups go in order of their smallest least size over
// the patterns. `hint` as for winner.
void GroupedQuery::winners4(const double *const *patterns, int np, int *winners, double *sizes,
                            GroupScratch &scratch, int hint) const
{
    const NodeGroups &g = *groups_;
    Four f(patterns, np, tiles_.m);
    std::int64_t sized = 4 * search_policy::kBoundWork * g.group_tiles;
    // The hint's whole tile first: its neighbours are as likely to win.
    if (hint >= 0 && hint < tiles_.count) {
        const int t = g.node_slot[static_cast<std::size_t>(hint)] / kW;
        kernels_.tile_sizes4(g.nodes.get(), tiles_.tile_doubles, &t, 1, tiles_.m, f.x, f.out);
        sized += 4 * kW;
        f.take_sizes(&t, 1, g.slot_node.get());
    }
    // A member may beat pattern r's best only where the least size is at
    // most that best. (An equal one is searched even when its members are all
    // numbered above the winner: the tie goes to the winner all the same,
    // and the test stays a plain comparison, as it is asked for every tile.)
    const int candidates = order_groups4(f, scratch);
    const double *least_of_four = scratch.group_least_sizes.get() + 4 * static_cast<std::size_t>(g.group_tiles) * kW;
    const int *order = scratch.order.get();
    for (int c = 0; c < candidates; ++c) {
        const int q = order[c];
        if (least_of_four[q] > f.worst())
            break;  // so are all that follow, for every pattern
        sized += search_group4(q, f, scratch);
    }
    if (labels_)
        for (int r = 0; r < 4; ++r)
            sized += settle(f, r);
    scratch.sized += sized;
    for (int r = 0; r < np; ++r) {
        winners[r] = f.winner[r];
        if (f.winner[r] >= 0 && sizes)
            sizes[r] = f.best[r];
    }
}

// Whether the groups pay for these patterns: the first up to kProbePatterns
// of them are searched with the groups, and the probe fails once its work
// reaches what all of it may do (where nothing can be skipped, as with random
// boxes, that is after a few patterns). Their winners are stored; *probed
// tells how many were searched.
bool GroupedQuery::pays(const double *const *patterns, int n, int *winners, double *sizes, GroupScratch &scratch,
                        int *probed) const
{
    const int probe = search_policy::kProbePatterns;
    const std::int64_t before = scratch.sized;
    const std::int64_t allowed = static_cast<std::int64_t>(probe) * tiles_.count;
    int hint = -1;
    int p = 0;
    while (p < probe && p < n && (scratch.sized - before) * search_policy::kPayingShare < allowed) {
        winners[p] = winner(patterns[p], sizes ? sizes + p : nullptr, scratch, hint);
        hint = winners[p] >= 0 ? winners[p] : hint;
        ++p;
    }
    *probed = p;
    return (scratch.sized - before) * search_policy::kPayingShare < allowed;
}

// One run of range with the groups: patterns p0 .. p0 + nb - 1 of the order
// (null: as given), of which the first `finite` are finite; four finite
// neighbours at a time while all nodes are grouped.
void GroupedQuery::grouped_run(const double *const *patterns, const int *order, int p0, int nb, int finite,
                               int *winners, double *sizes, GroupScratch &scratch, int *hint) const
{
    auto at = [&](int r) { return order ? order[p0 + r] : p0 + r; };
    const double *run[4];
    int run_winners[4];
    double run_sizes[4];
    const bool all_grouped = groups_->count == tiles_.count;
    for (int r = 0; r < nb;) {
        int four = 0;
        while (four < 4 && r + four < nb && r + four < finite - p0 && all_grouped)
            ++four;
        if (four > 1) {
            for (int f = 0; f < four; ++f)
                run[f] = patterns[at(r + f)];
            winners4(run, four, run_winners, run_sizes, scratch, *hint);
            for (int f = 0; f < four; ++f) {
                const int p = at(r + f);
                winners[p] = run_winners[f];
                if (sizes && run_winners[f] >= 0)
                    sizes[p] = run_sizes[f];
                *hint = run_winners[f] >= 0 ? run_winners[f] : *hint;
            }
            r += four;
            continue;
        }
        const int p = at(r);
        winners[p] = winner(patterns[p], sizes ? sizes + p : nullptr, scratch, *hint);
        *hint = winners[p] >= 0 ? winners[p] : *hint;
        ++r;
    }
}

// Winners of n patterns with the groups, for a range that the probe found
// they pay for. The patterns are searched in k-d order (finite ones; the
// others last): neighbours visit mostly the same tiles, which stay in the
// cache, and each one's winner is sized first for the next, making its best
// small from the start. Without the memory, in the order given. Patterns
// already in that order (`ordered`) keep it.
void GroupedQuery::range(const double *const *patterns, int n, int *winners, double *sizes, GroupScratch &scratch,
                         bool ordered) const
{
    using namespace search_policy;
    if (!groups_) {
        flat(patterns, n, winners, sizes);
        return;
    }
    Buffer<int> order;
    int finite = 0;
    if (order.allocate(static_cast<std::size_t>(n))) {
        if (ordered) {
            while (finite < n && all_finite(patterns[finite], tiles_.m))
                ++finite;
            for (int p = 0; p < n; ++p)
                order[static_cast<std::size_t>(p)] = p;
        } else {
            finite = order_patterns(patterns, n, tiles_.m, order.get());
        }
    }
    // Patterns in runs: the groups serve a run while they leave most nodes
    // unsized; otherwise the flat kernels take the next runs, and the groups
    // are tried again now and then.
    const double *run[kGroupedRun];
    int run_winners[kGroupedRun];
    double run_sizes[kGroupedRun];
    int flat_runs = 0;
    int hint = -1;
    for (int p0 = 0; p0 < n; p0 += kGroupedRun) {
        const int nb = n - p0 < kGroupedRun ? n - p0 : kGroupedRun;
        auto at = [&](int r) { return order ? order[static_cast<std::size_t>(p0 + r)] : p0 + r; };
        if (flat_runs > 0) {
            for (int r = 0; r < nb; ++r)
                run[r] = patterns[at(r)];
            flat(run, nb, run_winners, run_sizes);
            for (int r = 0; r < nb; ++r) {
                winners[at(r)] = run_winners[r];
                if (sizes && run_winners[r] >= 0)
                    sizes[at(r)] = run_sizes[r];
            }
            --flat_runs;
            continue;
        }
        const std::int64_t before = scratch.sized;
        grouped_run(patterns, order.get(), p0, nb, finite, winners, sizes, scratch, &hint);
        if ((scratch.sized - before) * kPayingShare >= static_cast<std::int64_t>(nb) * tiles_.count)
            flat_runs = kFlatRunsAfterMiss;
    }
}
