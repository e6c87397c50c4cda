// The k-d grouping of the nodes and the bounds of their tiles and groups (see
// grouping.h for why the bounds hold).
//
// Kept here: GroupIndex::begin puts the boxes the bounds hold for (sound_box)
// first and the others after, and cuts the order into parts at whole groups;
// each part (Regrouping::part) fills its slots with NaN bounds and node
// INT_MAX before it copies its boxes in, and starts its tiles' bounds empty
// (empty_bounds; GroupIndex::begin those of the groups); refresh_groups takes a
// learned box into its tile's and group's bounds.
#include "model/search/grouping.h"


#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUORV_SSE2 1
#else
#define QUORV_SSE2 0
#endif

namespace {

constexpr int kW = search_kernels::kTileNodes;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Points for the k-d split, m doubles each, one after another.
struct RowPoints {
    const double *p;
    int m;
    int dims() const { return m; }
    double at(int j, int f) const { return p[static_cast<std::size_t>(j) * m + f]; }
};

// The boxes of a block's nodes as points of 2m coordinates, read where the
// tiles keep them: coordinate 2i is the lower bound of feature i, 2i + 1 its
// upper bound (the rows of a tile). No copy: a copy of every box is as large
// as the tiles, and fresh memory is not cheap.
struct TilePoints {
    const double *tiles;
    std::size_t tile_doubles;
    int m;
    int dims() const { return 2 * m; }
    double at(int j, int f) const
    {
        return tiles[static_cast<std::size_t>(j / kW) * tile_doubles + static_cast<std::size_t>(kW) * f + j % kW];
    }
};

// The coordinate of widest spread among the points order[begin, end), judged
// on every step-th point.
int widest(const RowPoints &points, const int *order, int begin, int end, int step)
{
    const int m = points.m;
    int feature = 0;
    double widest = -1.0;
    // Eight features at a time, each point read as one run: the same spreads
    // as feature by feature (lo = c < lo ? c : lo is minpd, hi = c > hi ? c :
    // hi maxpd), for far less work.
    constexpr int kChunk = search_policy::kSpreadFeaturesPerPass;
    static_assert(kChunk == 8, "the SSE2 pass below holds eight features in four registers");
    for (int i0 = 0; i0 < m; i0 += kChunk) {
        const int w = m - i0 < kChunk ? m - i0 : kChunk;
        alignas(16) double lo[kChunk], hi[kChunk];
        const double *first = points.p + static_cast<std::size_t>(order[begin]) * m + i0;
        for (int i = 0; i < w; ++i)
            lo[i] = hi[i] = first[i];
        int j = begin + step;
#if QUORV_SSE2
        if (w == kChunk) {
            __m128d l[4], h[4];
            for (int v = 0; v < 4; ++v) {
                l[v] = _mm_load_pd(lo + 2 * v);
                h[v] = l[v];
            }
            for (; j < end; j += step) {
                const double *c = points.p + static_cast<std::size_t>(order[j]) * m + i0;
                for (int v = 0; v < 4; ++v) {
                    const __m128d x = _mm_loadu_pd(c + 2 * v);
                    l[v] = _mm_min_pd(x, l[v]);
                    h[v] = _mm_max_pd(x, h[v]);
                }
            }
            for (int v = 0; v < 4; ++v) {
                _mm_store_pd(lo + 2 * v, l[v]);
                _mm_store_pd(hi + 2 * v, h[v]);
            }
        }
#endif
        for (; j < end; j += step) {
            const double *c = points.p + static_cast<std::size_t>(order[j]) * m + i0;
            for (int i = 0; i < w; ++i) {
                lo[i] = c[i] < lo[i] ? c[i] : lo[i];
                hi[i] = c[i] > hi[i] ? c[i] : hi[i];
            }
        }
        for (int i = 0; i < w; ++i)
            if (hi[i] - lo[i] > widest) {
                widest = hi[i] - lo[i];
                feature = i0 + i;
            }
    }
    return feature;
}

int widest(const TilePoints &points, const int *order, int begin, int end, int step)
{
    int feature = 0;
    double widest = -1.0;
    for (int f = 0; f < points.dims(); ++f) {
        double lo = points.at(order[begin], f), hi = lo;
        for (int j = begin + step; j < end; j += step) {
            const double c = points.at(order[j], f);
            lo = c < lo ? c : lo;
            hi = c > hi ? c : hi;
        }
        if (hi - lo > widest) {
            widest = hi - lo;
            feature = f;
        }
    }
    return feature;
}

// One split of kd_split: order[begin, end) parted at the returned place
// (begin + a whole number of runs), nearer points on each side; end when the
// range is too small to split.
template <typename Points>
int kd_split_once(int *order, int begin, int end, const Points &points, SplitKey *keys)
{
    const int n = end - begin;
    if (n <= kW)
        return end;
    const int sample = search_policy::kSpreadSample;
    const int feature =
        widest(points, order, begin, end, n > search_policy::kSampledRangesFrom * sample ? n / sample : 1);
    const int run = n > kW * kW ? kW * kW : kW;
    const int half = (n / 2 + run - 1) / run * run;
    // The split works on (value, node) keys in a run of their own rather
    // than reading the points through the order, all over memory.
    for (int j = begin; j < end; ++j)
        keys[j] = SplitKey{points.at(order[j], feature), order[j]};
    std::nth_element(keys + begin, keys + begin + half, keys + end,
                     [](const SplitKey &a, const SplitKey &b) { return a.value < b.value; });
    for (int j = begin; j < end; ++j)
        order[j] = keys[j].node;
    return begin + half;
}

// Each range split at a whole number of runs near its middle, across the
// feature whose points spread widest, down to single tiles.
template <typename Points>
void kd_split(int *order, int begin, int end, const Points &points, SplitKey *keys)
{
    const int middle = kd_split_once(order, begin, end, points, keys);
    if (middle == end)
        return;
    kd_split(order, begin, middle, points, keys);
    kd_split(order, middle, end, points, keys);
}

// Makes the bounds in lane `lane` of a bound tile hold for one more box: the
// largest lower bound, the smallest upper bound and the smallest width so
// far. A box the bounds cannot serve makes them +inf, -inf and 0, sized 0 by
// any finite pattern, and so they stay.
// lower[s * i] and upper[s * i] are feature i's bounds (s = stride).
void take_in(double *bound_tile, int lane, int m, const double *lower, const double *upper, std::size_t stride,
             bool sound)
{
    for (int i = 0; i < m; ++i) {
        double *lo = bound_tile + 3 * kW * static_cast<std::size_t>(i) + lane;
        double *up = lo + kW;
        double *width = lo + 2 * kW;
        if (!sound) {
            *lo = kInf;
            *up = -kInf;
            *width = 0.0;
        } else {
            const double a = lower[stride * i], b = upper[stride * i];
            const double w = b - a;
            *lo = a > *lo ? a : *lo;
            *up = b < *up ? b : *up;
            *width = w < *width ? w : *width;
        }
    }
}

// Widths summed in feature order from 0.0, as a join sums its terms.
double box_size(const double *lower, const double *upper, int m, std::size_t stride)
{
    double size = 0.0;
    for (int i = 0; i < m; ++i)
        size += upper[stride * i] - lower[stride * i];
    return size;
}

// A box the group bounds hold for: finite, lower <= upper in every feature.
bool sound_box(const double *lower, const double *upper, int m, std::size_t stride)
{
    for (int i = 0; i < m; ++i) {
        const double a = lower[stride * i], b = upper[stride * i];
        if (!(std::isfinite(a) && std::isfinite(b) && a <= b))
            return false;
    }
    return true;
}

// Bounds j of [first, last) (lane j % kW of bound tile j / kW) made empty,
// ready to take in boxes: lower -inf, upper and width +inf, no member (first
// node INT_MAX) and smallest box +inf.
void empty_bounds(double *bounds, int m, int first, int last, int *first_node, double *smallest_box)
{
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    for (int j = first; j < last; ++j) {
        double *lo = bounds + static_cast<std::size_t>(j / kW) * bound_doubles + j % kW;
        for (int i = 0; i < m; ++i) {
            lo[3 * kW * i] = -kInf;
            lo[3 * kW * i + kW] = kInf;
            lo[3 * kW * i + 2 * kW] = kInf;
        }
        first_node[j] = std::numeric_limits<int>::max();
        smallest_box[j] = kInf;
    }
}

}  // namespace

bool all_finite(const double *x, int m)
{
    for (int i = 0; i < m; ++i)
        if (!std::isfinite(x[i]))
            return false;
    return true;
}

int order_patterns(const double *const *patterns, int n, int m, int *order)
{
    const std::size_t mm = static_cast<std::size_t>(m);
    Buffer<double> points;
    const bool have_points = points.allocate(static_cast<std::size_t>(n) * mm);
    int finite = 0;
    for (int p = 0; p < n; ++p)
        if (have_points && all_finite(patterns[p], m)) {
            std::memcpy(points.get() + static_cast<std::size_t>(p) * mm, patterns[p], mm * sizeof(double));
            order[finite++] = p;
        }
    for (int p = 0, at = finite; p < n; ++p)
        if (!(have_points && all_finite(patterns[p], m)))
            order[at++] = p;
    kd_order(order, finite, points.get(), m);
    return finite;
}


void kd_order(int *order, int n, const double *points, int m)
{
    Buffer<SplitKey> keys;
    if (keys.allocate(static_cast<std::size_t>(n)))
        kd_split(order, 0, n, RowPoints{points, m}, keys.get());
}

std::unique_ptr<GroupScratch> GroupScratch::make(const NodeGroups &g)
{
    std::unique_ptr<GroupScratch> s(new (std::nothrow) GroupScratch);
    if (!s || !s->group_least_sizes.allocate(5 * static_cast<std::size_t>(g.group_tiles) * kW) ||
        !s->order.allocate(static_cast<std::size_t>(g.groups)))
        return nullptr;
    return s;
}

void refresh_groups(NodeGroups &g, int k, int m, std::size_t tile_doubles, const double *lower,
                    const double *upper)
{
    const int slot = g.node_slot[static_cast<std::size_t>(k)];
    double *lo = g.nodes.get() + static_cast<std::size_t>(slot / kW) * tile_doubles + slot % kW;
    for (int i = 0; i < m; ++i) {
        lo[2 * kW * static_cast<std::size_t>(i)] = lower[i];
        lo[2 * kW * static_cast<std::size_t>(i) + kW] = upper[i];
    }
    const bool sound = sound_box(lower, upper, m, 1);
    const int t = slot / kW, q = t / kW;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    take_in(g.tile_bounds.get() + static_cast<std::size_t>(q) * bound_doubles, t % kW, m, lower, upper, 1, sound);
    take_in(g.group_bounds.get() + static_cast<std::size_t>(q / kW) * bound_doubles, q % kW, m, lower, upper, 1,
            sound);
    const double least = sound ? box_size(lower, upper, m, 1) : 0.0;
    g.tile_smallest_box[t] = least < g.tile_smallest_box[t] ? least : g.tile_smallest_box[t];
    g.group_smallest_box[q] = least < g.group_smallest_box[q] ? least : g.group_smallest_box[q];
}

void GroupIndex::forget()
{
    scratch_.reset();
    groups_.reset();
}

bool GroupIndex::regroup(const TileView &tiles, const int *node_label)
{
    Regrouping r;
    if (!begin(r, tiles, node_label))
        return false;
    for (int part = 0; part < r.parts; ++part)
        r.part(part);
    return end(r);
}

namespace {

// The order of a regroup's nodes: boxes the bounds hold for first, then the
// others (in tiles of their own), each in node order.
void order_sound_first(Regrouping &r, int k)
{
    int unsound = 0;
    for (int j = 0; j < k; ++j) {
        const double *lower = r.lane(j);
        if (sound_box(lower, lower + kW, r.m, 2 * kW))
            r.order[static_cast<std::size_t>(r.sound++)] = j;
        else
            r.order[static_cast<std::size_t>(k - 1 - unsound++)] = j;
    }
    std::reverse(r.order.get() + r.sound, r.order.get() + k);
}

// With labels, the sound nodes in runs of one label, each run's slots from a
// whole group; no runs (false) where the labels are so many that more than
// 1 / kLabelRunSlack of the slots would be left empty, or without the memory.
bool label_runs(Regrouping &r)
{
    constexpr int kGroupSlots = kW * kW;
    const int *label = r.node_label;
    int *order = r.order.get();
    std::stable_sort(order, order + r.sound, [label](int a, int b) { return label[a] < label[b]; });
    int runs = 0;
    for (int p = 0; p < r.sound; ++p)
        runs += p == 0 || label[order[p]] != label[order[p - 1]];
    if (runs <= 1 || static_cast<std::int64_t>(runs) * kGroupSlots * search_policy::kLabelRunSlack > r.sound ||
        !r.run_start.allocate(static_cast<std::size_t>(runs) + 1) ||
        !r.run_slot.allocate(static_cast<std::size_t>(runs) + 1))
        return false;
    r.runs = 0;
    for (int p = 0; p < r.sound; ++p)
        if (p == 0 || label[order[p]] != label[order[p - 1]]) {
            r.run_slot[r.runs] = r.runs == 0 ? 0 : r.run_slot[r.runs - 1] +
                (p - r.run_start[r.runs - 1] + kGroupSlots - 1) / kGroupSlots * kGroupSlots;
            r.run_start[r.runs++] = p;
        }
    r.run_start[runs] = r.sound;
    r.run_slot[runs] = r.run_slot[runs - 1] + (r.sound - r.run_start[runs - 1]);
    return true;
}

// The first splits of the k-d order make the parts, where the sound boxes
// are more than a group; one part for runs of one label.
void split_parts(Regrouping &r, int k)
{
    r.parts = 1;
    r.split[0] = 0;
    if (r.node_label && label_runs(r)) {
        r.split[1] = k;
        return;
    }
    r.runs = 0;
    r.split[1] = r.sound;
    while (r.parts < search_policy::kRegroupParts) {
        int parts = 0, split[search_policy::kRegroupParts + 1] = {};
        for (int part = 0; part < r.parts; ++part) {
            const int begin = r.split[part], end = r.split[part + 1];
            split[parts++] = begin;
            if (end - begin > kW * kW)
                split[parts++] = kd_split_once(r.order.get(), begin, end, TilePoints{r.tiles, r.tile_doubles, r.m},
                                               r.keys.get());
        }
        if (parts == r.parts)
            break;
        split[parts] = r.sound;
        r.parts = parts;
        std::copy(split, split + parts + 1, r.split);
    }
    r.split[r.parts] = k;
}

// Room for the groups of k nodes, the sound ones first; false without the
// memory. Every element of these is written before it is read (the parts
// write their tiles and groups whole), so memory left by the last groups
// serves.
bool size_groups(Regrouping &r, int k)
{
    NodeGroups &g = *r.g;
    const int sound_slots = r.runs > 0 ? r.run_slot[r.runs] : r.sound;
    r.sound_tiles = (sound_slots + kW - 1) / kW;
    g.count = k;
    g.tiles = r.sound_tiles + (k - r.sound + kW - 1) / kW;
    g.groups = (g.tiles + kW - 1) / kW;
    g.group_tiles = (g.groups + kW - 1) / kW;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(r.m);
    if (!g.nodes.fit(static_cast<std::size_t>(g.tiles) * r.tile_doubles) ||
        !g.tile_bounds.fit(static_cast<std::size_t>(g.groups) * bound_doubles) ||
        !g.group_bounds.fit(static_cast<std::size_t>(g.group_tiles) * bound_doubles) ||
        !g.slot_node.fit(static_cast<std::size_t>(g.tiles) * kW) ||
        !g.node_slot.fit(static_cast<std::size_t>(k)) ||
        !g.tile_first.fit(static_cast<std::size_t>(g.tiles)) ||
        !g.group_first.fit(static_cast<std::size_t>(g.groups)) ||
        !g.tile_smallest_box.fit(static_cast<std::size_t>(g.groups) * kW) ||
        !g.group_smallest_box.fit(static_cast<std::size_t>(g.groups)))
        return false;
    // Group bounds start empty; lanes past the last group stay NaN and are
    // never read.
    g.group_bounds.fill(kNaN);
    empty_bounds(g.group_bounds.get(), r.m, 0, g.groups, g.group_first.get(), g.group_smallest_box.get());
    return true;
}

}  // namespace

bool GroupIndex::begin(Regrouping &r, const TileView &tiles, const int *node_label)
{
    r.node_label = node_label;
    // The groups made last time lend their memory to the new ones.
    std::unique_ptr<NodeGroups> old = std::move(groups_);
    forget();
    const int k = tiles.count;
    r.m = tiles.m;
    r.tile_doubles = tiles.tile_doubles;
    if (k == 0 || tiles.m == 0)
        return true;  // nothing to group: r.g stays null
    r.g = old ? std::move(old) : std::unique_ptr<NodeGroups>(new (std::nothrow) NodeGroups);
    if (!r.g || !r.order.allocate(static_cast<std::size_t>(k)) || !r.keys.allocate(static_cast<std::size_t>(k)))
        return false;
    r.tiles = tiles.tiles;
    order_sound_first(r, k);
    split_parts(r, k);
    return size_groups(r, k);
}

void Regrouping::part(int index)
{
    if (!g)
        return;
    NodeGroups &gr = *g;
    const std::size_t mm = static_cast<std::size_t>(m);
    const std::size_t bound_doubles = 3 * kW * mm;
    // Nodes [p0, p1) of the order; their tiles and groups (the last part's
    // run to the end).
    const int p0 = split[index], p1 = split[index + 1];
    const bool last = index == parts - 1;
    if (runs > 0)
        for (int i = 0; i < runs; ++i)
            kd_split(order.get(), run_start[i], run_start[i + 1], TilePoints{tiles, tile_doubles, m}, keys.get());
    else
        kd_split(order.get(), p0, p1 < sound ? p1 : sound, TilePoints{tiles, tile_doubles, m}, keys.get());
    const int t0 = p0 / kW, t1 = last ? gr.tiles : p1 / kW;
    const int q0 = t0 / kW, q1 = last ? gr.groups : t1 / kW;
    std::fill(gr.nodes.get() + static_cast<std::size_t>(t0) * tile_doubles,
              gr.nodes.get() + static_cast<std::size_t>(t1) * tile_doubles, kNaN);
    std::fill(gr.slot_node.get() + static_cast<std::size_t>(t0) * kW,
              gr.slot_node.get() + static_cast<std::size_t>(t1) * kW, std::numeric_limits<int>::max());
    // Tile bounds start empty; lanes past the last tile stay NaN, and have
    // an infinite least size.
    std::fill(gr.tile_bounds.get() + static_cast<std::size_t>(q0) * bound_doubles,
              gr.tile_bounds.get() + static_cast<std::size_t>(q1) * bound_doubles, kNaN);
    empty_bounds(gr.tile_bounds.get(), m, t0, t1, gr.tile_first.get(), gr.tile_smallest_box.get());
    if (q1 == gr.groups)
        std::fill(gr.tile_smallest_box.get() + gr.tiles,
                  gr.tile_smallest_box.get() + static_cast<std::size_t>(gr.groups) * kW, kInf);
    for (int p = p0; p < p1; ++p) {
        const int j = order[static_cast<std::size_t>(p)];
        const bool is_sound = p < sound;
        const int slot = this->slot(p);
        const double *lower = lane(j), *upper = lower + kW;
        double *to = gr.nodes.get() + static_cast<std::size_t>(slot / kW) * tile_doubles + slot % kW;
        for (std::size_t i = 0; i < mm; ++i) {
            to[2 * kW * i] = lower[2 * kW * i];
            to[2 * kW * i + kW] = upper[2 * kW * i];
        }
        gr.slot_node[static_cast<std::size_t>(slot)] = j;
        gr.node_slot[static_cast<std::size_t>(j)] = slot;
        const int t = slot / kW, q = t / kW;
        take_in(gr.tile_bounds.get() + static_cast<std::size_t>(q) * bound_doubles, t % kW, m, lower, upper, 2 * kW,
                is_sound);
        gr.tile_first[t] = j < gr.tile_first[t] ? j : gr.tile_first[t];
        const double least = is_sound ? box_size(lower, upper, m, 2 * kW) : 0.0;
        gr.tile_smallest_box[t] = least < gr.tile_smallest_box[t] ? least : gr.tile_smallest_box[t];
    }
    // A group's bounds are those of its tiles taken together: the largest
    // and smallest of the same numbers, in any order.
    for (int t = t0; t < t1; ++t) {
        const int q = t / kW;
        const double *from = gr.tile_bounds.get() + static_cast<std::size_t>(q) * bound_doubles + t % kW;
        double *to = gr.group_bounds.get() + static_cast<std::size_t>(q / kW) * bound_doubles + q % kW;
        for (std::size_t i = 0; i < 3 * mm; i += 3) {
            const double lo = from[kW * i], up = from[kW * (i + 1)], width = from[kW * (i + 2)];
            to[kW * i] = lo > to[kW * i] ? lo : to[kW * i];
            to[kW * (i + 1)] = up < to[kW * (i + 1)] ? up : to[kW * (i + 1)];
            to[kW * (i + 2)] = width < to[kW * (i + 2)] ? width : to[kW * (i + 2)];
        }
        gr.group_first[q] = gr.tile_first[t] < gr.group_first[q] ? gr.tile_first[t] : gr.group_first[q];
        const double box = gr.tile_smallest_box[t];
        gr.group_smallest_box[q] = box < gr.group_smallest_box[q] ? box : gr.group_smallest_box[q];
    }
}

int Regrouping::slot(int p) const
{
    if (p >= sound)
        return sound_tiles * kW + (p - sound);
    if (runs == 0)
        return p;
    const int i = static_cast<int>(std::upper_bound(run_start.get(), run_start.get() + runs, p) - run_start.get()) - 1;
    return run_slot[i] + (p - run_start[i]);
}

bool GroupIndex::end(Regrouping &r)
{
    r.order.release();
    r.keys.release();
    r.tiles = nullptr;
    if (!r.g)
        return true;
    std::unique_ptr<GroupScratch> scratch = GroupScratch::make(*r.g);
    if (!scratch)
        return false;
    scratch_ = std::move(scratch);
    groups_ = std::move(r.g);
    return true;
}

bool label_groups(const NodeGroups &g, const int *node_label, Buffer<int> &tile_label, Buffer<int> &group_label)
{
    if (!tile_label.fit(static_cast<std::size_t>(g.tiles)) || !group_label.fit(static_cast<std::size_t>(g.groups)))
        return false;
    // A unit's label: its first member's, or mixed once another differs.
    // Empty slots are no members; a unit without members stays mixed.
    constexpr int kMixed = LabelRule::kMixedLabel;
    for (int q = 0; q < g.groups; ++q) {
        int in_group = kMixed;
        bool group_seen = false;
        for (int t = q * kW; t < (q + 1) * kW && t < g.tiles; ++t) {
            int in_tile = kMixed;
            bool tile_seen = false;
            for (int s = t * kW; s < (t + 1) * kW; ++s) {
                const int k = g.slot_node[static_cast<std::size_t>(s)];
                if (k == INT_MAX)
                    continue;
                in_tile = !tile_seen || in_tile == node_label[k] ? node_label[k] : kMixed;
                tile_seen = true;
            }
            tile_label[static_cast<std::size_t>(t)] = in_tile;
            if (tile_seen)
                in_group = !group_seen || in_group == in_tile ? in_tile : kMixed;
            group_seen = group_seen || tile_seen;
        }
        group_label[static_cast<std::size_t>(q)] = in_group;
    }
    return true;
}
