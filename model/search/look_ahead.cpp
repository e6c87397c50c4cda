// Looking one pattern ahead (see look_ahead.h).
#include "model/search/look_ahead.h"

#include <limits>

int LookAhead::search(const search_kernels::Kernels &kernels, const TileView &tiles, int capacity,
                      const double *pattern, const double *next, double *size)
{
    if (ahead_ && ahead_ == pattern)
        return looked_ahead(kernels, tiles, pattern, size);
    ahead_ = nullptr;
    if (next && capacity_ < capacity) {
        constexpr int kW = TileView::kW;
        capacity_ = sizes_.allocate(static_cast<std::size_t>(capacity) * kW) ? capacity : 0;
    }
    if (next && sizes_) {
        const int winner = kernels.flat_winner_ahead(tiles.tiles, tiles.tile_doubles, tiles.tile_count(), tiles.m,
                                                     pattern, next, sizes_.get(), size);
        ahead_ = next;
        count_ = tiles.count;
        dirty_ = -1;
        return winner;
    }
    return flat_winner(kernels, tiles, pattern, size);
}

// The sizes looked ahead, brought up to date: the node changed since and the
// nodes appended since sized again.
int LookAhead::looked_ahead(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern,
                            double *size)
{
    ahead_ = nullptr;
    const int tile_count = tiles.tile_count();
    if (tile_count > capacity_)
        return flat_winner(kernels, tiles, pattern, size);
    double *sizes = sizes_.get();
    if (dirty_ >= 0 && dirty_ < count_)
        sizes[dirty_] = tiles.node_size(dirty_, pattern);
    for (int k = count_; k < tiles.count; ++k)
        sizes[k] = tiles.node_size(k, pattern);
    for (int k = tiles.count; k < tile_count * TileView::kW; ++k)
        sizes[k] = std::numeric_limits<double>::quiet_NaN();
    return kernels.winner_of_sizes(sizes, tile_count, tiles.m, size);
}
