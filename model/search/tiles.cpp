// The tiles of a block and the searches that size every node of them (see
// tiles.h).
//
// What stays true here: grow gives new room whose lanes past the kept tiles
// hold NaN bounds, so that a lane no node has been stored in never wins.
#include "model/search/tiles.h"

#include <algorithm>
#include <cstring>
#include <limits>

int flat_winner(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern, double *size)
{
    return kernels.flat_winner(tiles.tiles, tiles.tile_doubles, tiles.tile_count(), tiles.m, pattern, size);
}

void flat_winners(const search_kernels::Kernels &kernels, const TileView &tiles, const double *const *patterns,
                  int n, int *winners, double *sizes)
{
    kernels.flat_winners(tiles.tiles, tiles.tile_doubles, tiles.tile_count(), tiles.m, patterns, n, winners, sizes);
}

void all_sizes(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern, double *out)
{
    constexpr int kW = TileView::kW;
    alignas(64) double sizes[kW];
    for (int t = 0; t < tiles.tile_count(); ++t) {
        kernels.tile_sizes(tiles.tile(t), tiles.tile_doubles, nullptr, 1, tiles.m, pattern, sizes);
        for (int j = 0; j < kW && t * kW + j < tiles.count; ++j)
            out[t * kW + j] = sizes[j];
    }
}

int NodeTiles::grow(int nodes, Buffer<double> *grown) const
{
    const int needed = nodes / kW + (nodes % kW != 0);
    if (needed <= capacity_)
        return 0;
    const int doubled = capacity_ > std::numeric_limits<int>::max() / 2 ? needed : 2 * capacity_;
    const int tiles = needed > doubled ? needed : doubled;
    const std::size_t per_tile = tile_doubles_ > 0 ? tile_doubles_ : 1;
    if (static_cast<std::size_t>(tiles) > std::numeric_limits<std::size_t>::max() / sizeof(double) / per_tile)
        return -1;
    const std::size_t total = static_cast<std::size_t>(tiles) * per_tile;
    if (!grown->allocate(total))
        return -1;
    const std::size_t kept = static_cast<std::size_t>(capacity_) * tile_doubles_;
    if (kept > 0)
        std::memcpy(grown->get(), tiles_.get(), kept * sizeof(double));
    // Empty slots get NaN bounds: their sizes are NaN and never win.
    std::fill(grown->get() + kept, grown->get() + total, std::numeric_limits<double>::quiet_NaN());
    return tiles;
}

void NodeTiles::store(int k, const double *lower, const double *upper)
{
    double *lane = tiles_.get() + static_cast<std::size_t>(k / kW) * tile_doubles_ + k % kW;
    for (int i = 0; i < m_; ++i) {
        lane[2 * kW * static_cast<std::size_t>(i)] = lower[i];
        lane[2 * kW * static_cast<std::size_t>(i) + kW] = upper[i];
    }
}

bool NodeTiles::holds(int k, const double *lower, const double *upper) const
{
    const double *lane = view().lane(k);
    for (int i = 0; i < m_; ++i)
        if (std::memcmp(lane + 2 * kW * static_cast<std::size_t>(i), lower + i, sizeof(double)) != 0 ||
            std::memcmp(lane + 2 * kW * static_cast<std::size_t>(i) + kW, upper + i, sizeof(double)) != 0)
            return false;
    return true;
}
