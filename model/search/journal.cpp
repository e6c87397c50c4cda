// The remembered searches of training (see journal.h).
#include "model/search/journal.h"

#include "model/search/join.h"
#include "model/search/policy.h"

#include <algorithm>
#include <limits>

namespace {
constexpr int kW = search_kernels::kTileNodes;
}

bool SearchJournal::reserve(std::size_t slots, int count)
{
    if (slots <= changed_at_.size())
        return true;
    Buffer<std::int64_t> grown;
    if (!grown.allocate(slots))
        return false;
    for (std::size_t k = 0; k < slots; ++k)
        grown[k] = k < static_cast<std::size_t>(count) ? changed_at_[k] : 0;
    changed_at_.swap(grown);
    return true;
}

void SearchJournal::note_change(int k, const double *lane, std::size_t tile_doubles)
{
    ++epoch_;
    changed_at_[static_cast<std::size_t>(k)] = epoch_;
    if (!log_)
        return;
    const std::size_t at = static_cast<std::size_t>(epoch_ % log_capacity_);
    log_[at] = k;
    if (boxes_) {
        double *to = boxes_.get() + at / kW * tile_doubles + at % kW;
        for (std::size_t i = 0; i < tile_doubles; i += kW)
            to[i] = lane[i];
    }
}

bool SearchJournal::remember(int patterns, std::size_t tile_doubles, int m)
{
    memos_.release();
    log_.release();
    boxes_.release();
    memo_count_ = 0;
    if (patterns <= 0)
        return true;
    const std::int64_t per_pattern = search_policy::kLogPerPattern;
    const std::int64_t capacity = (per_pattern * patterns + search_policy::kLogSlack + kW - 1) / kW * kW;  // whole tiles
    if (!memos_.allocate(static_cast<std::size_t>(patterns)) || !log_.allocate(static_cast<std::size_t>(capacity))) {
        memos_.release();
        log_.release();
        return false;
    }
    memos_.fill(Memo{-1, 0.0, -1});
    memo_count_ = patterns;
    log_capacity_ = capacity;
    // The changed boxes in tiles of their own, in the order of the log, when
    // that is not too large: a replay then sizes them by the vector kernels
    // in order rather than one by one from all over the tiles (the same
    // sizes).
    const std::size_t journal = static_cast<std::size_t>(capacity / kW) * tile_doubles;
    if (m > 0 && journal <= search_policy::kJournalDoubles && boxes_.allocate(journal))
        boxes_.fill(std::numeric_limits<double>::quiet_NaN());
    // Changes before now are not in the log: memos start from here.
    ++epoch_;
    return true;
}

int SearchJournal::replay(int index, const double *pattern, const search_kernels::Kernels &kernels,
                          const TileView &tiles, double *size) const
{
    const std::size_t tile_doubles = tiles.tile_doubles;
    const int m = tiles.m, count = tiles.count;
    const Memo &memo = memos_[static_cast<std::size_t>(index)];
    const std::int64_t changes = epoch_ - memo.epoch;
    if (memo.epoch < 0 || changes >= log_capacity_ || changes > count / search_policy::kReplayShare ||
        (memo.node >= 0 && changed_at_[static_cast<std::size_t>(memo.node)] > memo.epoch))
        return kSearchAfresh;
    double best = memo.node >= 0 ? memo.size : no_lead(m);
    int winner = memo.node;
    alignas(64) double sizes[kW * kW];
    const std::int64_t journal_tiles = log_capacity_ / kW;
    for (std::int64_t e = memo.epoch + 1; e <= epoch_;) {
        const std::int64_t at = e % log_capacity_;
        // Up to kW tiles of the journal from entry `at`'s, short of its end.
        const std::int64_t t = at / kW;
        const std::int64_t last = at + (epoch_ - e);  // entry of epoch_, unwrapped
        const int tiles_now = static_cast<int>(std::min<std::int64_t>({kW, journal_tiles - t, last / kW - t + 1}));
        if (boxes_)
            kernels.tile_sizes(boxes_.get() + static_cast<std::size_t>(t) * tile_doubles, tile_doubles, nullptr,
                               tiles_now, m, pattern, sizes);
        for (std::int64_t j = at; j < (t + tiles_now) * kW && e <= epoch_; ++j, ++e) {
            const int k = log_[static_cast<std::size_t>(j)];
            if (changed_at_[static_cast<std::size_t>(k)] != e)
                continue;  // changed again later: sized at that entry
            const double s = boxes_ ? sizes[j - t * kW] : tiles.node_size(k, pattern);
            if (takes_lead(s, k, best, winner)) {
                best = s;
                winner = k;
            }
        }
    }
    if (winner >= 0 && size)
        *size = best;
    return winner;
}
