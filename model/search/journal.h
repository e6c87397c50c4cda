// The remembered searches of training: for each pattern, the winner of its
// last search and when that was; for the block, which node changed when.
// Training presents the same patterns again and again, and between two
// searches of one pattern most nodes keep their boxes, and so their sizes:
// replaying only the changes since gives the same winner as a full search.
//
// What stays true:
// - Every append or change of a box takes one step of the epoch (and so does
//   remember, which no entry stands for), and the log holds the node of each
//   of the last log_capacity_ steps (entry e % log_capacity_ for step e);
//   changed_at_[k] is node k's last step.
// - Training changes at most one node after each search (a node learns or is
//   appended), so between two searches of one pattern come at most as many
//   changes as there are patterns. The log has room for kLogPerPattern times
//   that and kLogSlack more (policy.h): training's replays find all their
//   changes in it, and a replay that would reach past it (a caller that
//   changes more) searches afresh.
// - The boxes of the logged changes, when kept (boxes_), are copies as they
//   were at their step, in tiles as the block keeps them, entry e of the log
//   in lane e % kTileNodes; entries not yet written hold NaN bounds.
// - A replay is trusted only when the remembered winner has not changed since
//   (a changed winner may have grown, and lost).
#ifndef QUORV_MODEL_SEARCH_JOURNAL_H
#define QUORV_MODEL_SEARCH_JOURNAL_H

#include "model/search/buffer.h"
#include "model/search/kernels.h"
#include "model/search/tiles.h"

#include <cstddef>
#include <cstdint>

class SearchJournal {
public:
    // Room for the change steps of `slots` nodes, the first `count` kept.
    // False when memory ran out (nothing changes then).
    bool reserve(std::size_t slots, int count);
    // Node k has been appended or changed; its lane in the block's tiles is
    // at `lane` (rows tile_doubles / m doubles apart).
    void note_change(int k, const double *lane, std::size_t tile_doubles);
    // Starts remembering `patterns` patterns, forgetting earlier ones. False
    // when memory ran out: nothing is remembered then.
    bool remember(int patterns, std::size_t tile_doubles, int m);
    bool remembers(int index) const { return memos_ && index >= 0 && index < memo_count_; }

    // What replay gives when it cannot tell (-1 is "no winner").
    static constexpr int kSearchAfresh = -2;
    // The winner of remembered pattern `index` from its last search and the
    // changes since, among the nodes of `tiles`, by `kernels`; kSearchAfresh
    // when that is not known or would cost more than a search.
    int replay(int index, const double *pattern, const search_kernels::Kernels &kernels, const TileView &tiles,
               double *size) const;
    // The search of pattern `index` found `winner` (-1: none) of that size, now.
    void record(int index, int winner, double size) { memos_[index] = Memo{epoch_, size, winner}; }

private:
    struct Memo {
        std::int64_t epoch;  // when the pattern was last searched (-1: never)
        double size;
        int node;
    };
    Buffer<Memo> memos_;
    int memo_count_ = 0;
    Buffer<int> log_;
    Buffer<double> boxes_;
    std::int64_t log_capacity_ = 0;
    std::int64_t epoch_ = 0;
    Buffer<std::int64_t> changed_at_;
};

#endif
