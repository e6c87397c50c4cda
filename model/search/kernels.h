// The size kernels of the winner search, one table per instruction set. The
// same source (kernels-inl.h) is compiled once per set, each in a translation
// unit of its own with that set's flags (kernels_scalar.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp); which table runs is decided once, in the search's
// configuration (config.h), from what the processor offers.
//
// Every kernel gives the sizes and winners of join.h, bit for bit, at every
// width. Tiles are those of NodeBlock: per feature a row of kTileNodes lower
// bounds, then a row of kTileNodes upper bounds; bound tiles (grouping.h)
// have three rows per feature, the third the smallest widths. Empty lanes hold
// NaN bounds, so kernels size whole tiles: a NaN size never wins.
#ifndef QUORV_MODEL_SEARCH_KERNELS_H
#define QUORV_MODEL_SEARCH_KERNELS_H

#include <cstddef>

namespace search_kernels {

constexpr int kTileNodes = 8;

struct Kernels {
    const char *name;

    // Sizes of n tiles with pattern x: tile which[j] (j when which is null)
    // into out[kTileNodes * j ...].
    void (*tile_sizes)(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                       const double *x, double *out);
    // The same for four patterns at once, pattern r's into out[r][...].
    void (*tile_sizes4)(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                        const double *const *x, double *const *out);
    // Each tile with its own pattern: tile which[j] with x[j].
    void (*paired_sizes)(const double *tiles, std::size_t tile_doubles, const int *which,
                         const double *const *x, int n, int m, double *out);
    // Least sizes of n consecutive bound tiles for one pattern, and for four:
    // lane j of tile t gets a size no member of the tile or group it bounds
    // can go below (grouping.h), into out[kTileNodes * t + j].
    void (*least_sizes)(const double *bound_tiles, int n, int m, const double *x, double *out);
    void (*least_sizes4)(const double *bound_tiles, int n, int m, const double *const *x, double *const *out);
    // Least sizes of one bound tile for patterns x[0 .. r-1], 1 <= r <= 4.
    void (*least_sizes_tile)(const double *bound_tile, int m, const double *const *x, double *const *out, int r);

    // The winner of pattern x among the nodes of tiles_n tiles, -1 for none;
    // *size gets its size when there is one (size may be null).
    int (*flat_winner)(const double *tiles, std::size_t tile_doubles, int tiles_n, int m, const double *x,
                       double *size);
    // The same, storing besides the sizes of pattern y with every node into
    // y_sizes[0 .. kTileNodes * tiles_n - 1], each tile loaded once for both.
    int (*flat_winner_ahead)(const double *tiles, std::size_t tile_doubles, int tiles_n, int m, const double *x,
                             const double *y, double *y_sizes, double *size);
    // The winner among sizes already computed, kTileNodes * tiles_n of them.
    int (*winner_of_sizes)(const double *sizes, int tiles_n, int m, double *size);
    // Winners of n patterns, nodes that do not change in between: into
    // winners[p], their sizes into sizes[p] when sizes is not null (those of
    // patterns without a winner are left alone).
    void (*flat_winners)(const double *tiles, std::size_t tile_doubles, int tiles_n, int m,
                         const double *const *patterns, int n, int *winners, double *sizes);
};

// The tables of this build; null where this build or compiler has none (the
// caller checks the processor before it takes one).
const Kernels *scalar_kernels();
const Kernels *avx2_kernels();
const Kernels *avx512_kernels();

}  // namespace search_kernels

#endif
