// The node block's tiles, and the searches of one pattern at a time: flat,
// looking one pattern ahead, replayed from the journal, or with the groups
// while they pay (see node_block.h).
//
// What stays true here:
// - The tiles mirror the node list: append and put store a created node's
//   box in its lane, refresh stores a learned one (and tells the journal and
//   the groups); every lane past the last node holds NaN bounds from reserve.
// - The sizes looked ahead (ahead_sizes_) are pattern ahead_'s with the first
//   ahead_count_ nodes, except node ahead_dirty_, changed since: training
//   changes at most one node between two searches, and a change of a second
//   node drops them (ahead_ = nullptr).
#include "model/search/node_block.h"

#include "model/node.h"
#include "model/search/grouping.h"
#include "model/search/join.h"
#include "model/search/policy.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {
constexpr int kW = NodeBlock::kTileNodes;
}

NodeBlock::NodeBlock(int m, const SearchConfig &config)
    : config_(config), m_(m > 0 ? m : 0), tile_doubles_(2 * kW * static_cast<std::size_t>(m_)),
      regroup_work_(search_policy::kRegroupWork)
{
}

NodeBlock::~NodeBlock() = default;

bool NodeBlock::reserve(int nodes)
{
    const int needed = nodes / kW + (nodes % kW != 0);
    if (needed <= capacity_)
        return true;
    const int doubled = capacity_ > std::numeric_limits<int>::max() / 2 ? needed : 2 * capacity_;
    const int tiles = needed > doubled ? needed : doubled;
    const std::size_t per_tile = tile_doubles_ > 0 ? tile_doubles_ : 1;
    if (static_cast<std::size_t>(tiles) > std::numeric_limits<std::size_t>::max() / sizeof(double) / per_tile)
        return false;
    const std::size_t total = static_cast<std::size_t>(tiles) * per_tile;
    Buffer<double> grown;
    if (!grown.allocate(total) || !journal_.reserve(static_cast<std::size_t>(tiles) * kW, count_))
        return false;
    const std::size_t kept = static_cast<std::size_t>(capacity_) * tile_doubles_;
    if (kept > 0)
        std::memcpy(grown.get(), tiles_.get(), kept * sizeof(double));
    // Empty slots get NaN bounds: their sizes are NaN and never win.
    std::fill(grown.get() + kept, grown.get() + total, std::numeric_limits<double>::quiet_NaN());
    tiles_.swap(grown);
    capacity_ = tiles;
    return true;
}

void NodeBlock::store(int k, const Node &node)
{
    double *lane = tile(k / kW) + k % kW;
    for (int i = 0; i < m_; ++i) {
        lane[2 * kW * static_cast<std::size_t>(i)] = node.lower[i];
        lane[2 * kW * static_cast<std::size_t>(i) + kW] = node.upper[i];
    }
}

bool NodeBlock::append(const Node &node)
{
    if (count_ == std::numeric_limits<int>::max() || !reserve(count_ + 1))
        return false;
    store(count_, node);
    ++count_;
    journal_.note_change(count_ - 1, tile((count_ - 1) / kW) + (count_ - 1) % kW, tile_doubles_);
    return true;
}

bool NodeBlock::add_slots(int nodes)
{
    if (nodes > std::numeric_limits<int>::max() - count_ || !reserve(count_ + nodes))
        return false;
    count_ += nodes;
    return true;
}

void NodeBlock::refresh(int k, const Node &node)
{
    const double *lane = tile(k / kW) + k % kW;
    bool changed = false;
    for (int i = 0; i < m_ && !changed; ++i)
        changed = std::memcmp(lane + 2 * kW * static_cast<std::size_t>(i), node.lower + i, sizeof(double)) != 0 ||
                  std::memcmp(lane + 2 * kW * static_cast<std::size_t>(i) + kW, node.upper + i, sizeof(double)) != 0;
    if (!changed)
        return;  // learn left the box as it was
    store(k, node);
    journal_.note_change(k, lane, tile_doubles_);  // the lane holds the learned box
    // Sizes looked ahead stay of use while only one node has changed.
    if (ahead_dirty_ >= 0 && ahead_dirty_ != k)
        ahead_ = nullptr;
    ahead_dirty_ = k;
    if (groups_ && k < groups_->count)
        refresh_groups(*groups_, k, m_, tile_doubles_, node.lower, node.upper);
}

bool NodeBlock::remember(int patterns) { return journal_.remember(patterns, tile_doubles_, m_); }

double NodeBlock::node_size(int k, const double *pattern) const
{
    return lane_size<kW>(tile(k / kW), k % kW, m_, pattern);
}

int NodeBlock::flat_winner(const double *pattern, double *size) const
{
    return kernels().flat_winner(tiles_.get(), tile_doubles_, tile_count(), m_, pattern, size);
}

void NodeBlock::all_sizes(const double *pattern, double *out) const
{
    alignas(64) double sizes[kW];
    for (int t = 0; t < tile_count(); ++t) {
        kernels().tile_sizes(tile(t), tile_doubles_, nullptr, 1, m_, pattern, sizes);
        for (int j = 0; j < kW && t * kW + j < count_; ++j)
            out[t * kW + j] = sizes[j];
    }
}

int NodeBlock::find_winner(const double *pattern, double *size) const
{
    if (config_.pruning && groups_ && scratch_)
        return grouped_winner(pattern, size, *scratch_);
    return flat_winner(pattern, size);
}

int NodeBlock::find_winner_ahead(const double *pattern, const double *next, double *size, int pattern_index)
{
    if (config_.pruning && m_ > 0 && journal_.remembers(pattern_index)) {
        double found = 0.0;
        int winner =
            journal_.replay(pattern_index, pattern, kernels(), tiles_.get(), tile_doubles_, m_, count_, &found);
        if (winner == SearchJournal::kSearchAfresh) {
            winner = single_search(pattern, next, &found);
        } else {
            ahead_ = nullptr;  // a search looks ahead only for the pattern it was told of
        }
        journal_.record(pattern_index, winner, found);
        if (winner >= 0 && size)
            *size = found;
        return winner;
    }
    return single_search(pattern, next, size);
}

// One pattern of training: with the groups while they pay, else over every
// node, looking ahead at `next`.
int NodeBlock::single_search(const double *pattern, const double *next, double *size)
{
    using namespace search_policy;
    if (config_.pruning && m_ > 0) {
        // Regroup once the nodes sized outside the groups since the last
        // time have cost about what a regroup does.
        tail_work_ += count_ - grouped();
        if (count_ >= kGroupMinNodes && tail_work_ >= regroup_work_ * static_cast<std::int64_t>(count_))
            regroup();  // on failure, tried again after as much work
        // The groups pay while they leave most nodes unsized; where they do
        // not, search in full until the next regroup, which then waits
        // longer each time they fail.
        const std::int64_t grouped_nodes = groups_ ? groups_->count : 0;
        const bool paying = groups_ && sized_ * kPayingShare < searched_ * grouped_nodes;
        // A trial that has already done more work than all of it may is
        // judged at once (the same judgement, sooner).
        if (groups_ && searched_ < kTrialSearches && sized_ * kPayingShare >= (kTrialSearches + 1) * grouped_nodes)
            searched_ = kTrialSearches;
        if (groups_ && searched_ == kTrialSearches) {
            regroup_work_ = paying ? kRegroupWork : std::min(kRegroupBackoff * regroup_work_, kRegroupWorkMost);
            ++searched_;  // judged once per regroup
        }
        if (groups_ && (searched_ < kTrialSearches || paying)) {
            ahead_ = nullptr;
            const std::int64_t before = scratch_->sized;
            const int winner = grouped_winner(pattern, size, *scratch_);
            sized_ += scratch_->sized - before;
            ++searched_;
            return winner;
        }
    }
    if (ahead_ && ahead_ == pattern)
        return winner_looked_ahead(pattern, size);
    ahead_ = nullptr;
    if (next && ahead_capacity_ < capacity_) {
        ahead_capacity_ = ahead_sizes_.allocate(static_cast<std::size_t>(capacity_) * kW) ? capacity_ : 0;
    }
    if (next && ahead_sizes_) {
        const int winner = kernels().flat_winner_ahead(tiles_.get(), tile_doubles_, tile_count(), m_, pattern,
                                                       next, ahead_sizes_.get(), size);
        ahead_ = next;
        ahead_count_ = count_;
        ahead_dirty_ = -1;
        return winner;
    }
    return flat_winner(pattern, size);
}

// The sizes looked ahead, brought up to date: the node changed since and the
// nodes appended since sized again.
int NodeBlock::winner_looked_ahead(const double *pattern, double *size)
{
    ahead_ = nullptr;
    const int tiles = tile_count();
    if (tiles > ahead_capacity_)
        return flat_winner(pattern, size);
    double *sizes = ahead_sizes_.get();
    if (ahead_dirty_ >= 0 && ahead_dirty_ < ahead_count_)
        sizes[ahead_dirty_] = node_size(ahead_dirty_, pattern);
    for (int k = ahead_count_; k < count_; ++k)
        sizes[k] = node_size(k, pattern);
    for (int k = count_; k < tiles * kW; ++k)
        sizes[k] = std::numeric_limits<double>::quiet_NaN();
    return kernels().winner_of_sizes(sizes, tiles, m_, size);
}
