// The nodes' boxes in tiles: the value types every part of the search reads.
//
// A tile holds kTileNodes nodes: per feature a row of the tile's lower
// bounds, then a row of its upper bounds. NodeTiles owns the tiles of a
// block; a TileView is what the searches read, a plain value (pointer,
// sizes) that any thread may hold while the tiles do not change.
//
// What stays true: node k's bounds are in lane k % kTileNodes of tile
// k / kTileNodes once stored; every lane past the last node holds NaN
// bounds, whose sizes are NaN and never win.
#ifndef QUORV_MODEL_SEARCH_TILES_H
#define QUORV_MODEL_SEARCH_TILES_H

#include "model/search/buffer.h"
#include "model/search/join.h"
#include "model/search/kernels.h"

#include <cstddef>

// The first `count` nodes of some tiles, as the searches read them.
struct TileView {
    static constexpr int kW = search_kernels::kTileNodes;

    const double *tiles = nullptr;
    std::size_t tile_doubles = 0;  // 2 * kTileNodes * m
    int m = 0;
    int count = 0;

    int tile_count() const { return (count + kW - 1) / kW; }
    const double *tile(int t) const { return tiles + static_cast<std::size_t>(t) * tile_doubles; }
    // Node k's lower bound of feature i at lane(k)[2 * kTileNodes * i], its
    // upper bound kTileNodes further on.
    const double *lane(int k) const { return tile(k / kW) + k % kW; }
    // Node k's join size with the pattern.
    double node_size(int k, const double *pattern) const { return lane_size<kW>(tile(k / kW), k % kW, m, pattern); }
};

// The searches that size every node of a view, by a kernel table.
// The winner of one pattern, -1 for none; *size gets its size (may be null).
int flat_winner(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern,
                double *size);
// Winners of n patterns, as Kernels::flat_winners.
void flat_winners(const search_kernels::Kernels &kernels, const TileView &tiles, const double *const *patterns,
                  int n, int *winners, double *sizes);
// The join size of every node with the pattern, into out[0..count-1].
void all_sizes(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern, double *out);

// The tiles of a block: room grown geometrically, in two steps so that the
// block can grow what goes with them in between and stay unchanged when any
// of it fails.
class NodeTiles {
public:
    static constexpr int kW = search_kernels::kTileNodes;

    explicit NodeTiles(int m) : m_(m > 0 ? m : 0), tile_doubles_(2 * kW * static_cast<std::size_t>(m_)) {}

    int m() const { return m_; }
    std::size_t tile_doubles() const { return tile_doubles_; }
    int count() const { return count_; }
    int capacity() const { return capacity_; }  // in tiles
    TileView view() const { return TileView{tiles_.get(), tile_doubles_, m_, count_}; }

    // Room for `nodes` nodes: 0 when there is room already; else the tiles
    // of the new room, whose memory (the tiles kept, then NaN bounds) is put
    // in *grown for adopt; -1 when memory ran out (nothing changes).
    int grow(int nodes, Buffer<double> *grown) const;
    void adopt(Buffer<double> &grown, int tiles)
    {
        tiles_.swap(grown);
        capacity_ = tiles;
    }
    // `nodes` more nodes, within the room, with the bounds they hold.
    void add(int nodes) { count_ += nodes; }
    // Stores node k's bounds (m doubles each) in its lane.
    void store(int k, const double *lower, const double *upper);
    // Whether node k's lane holds these bounds, bit for bit.
    bool holds(int k, const double *lower, const double *upper) const;

private:
    int m_;
    std::size_t tile_doubles_;
    Buffer<double> tiles_;
    int count_ = 0;
    int capacity_ = 0;  // in tiles
};

#endif
