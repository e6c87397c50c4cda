// The size kernels, written once for every width: Vec is a double, or a
// vector of 4 or 8 doubles, as the including translation unit's flags allow.
// Each kernel file defines QUORV_KERNEL_SET (its namespace and table name)
// and includes this file once; see kernels.h for what each kernel gives.
//
// What stays true: every size is summed by add_join_term (join.h), feature by
// feature from +0.0; every winner is chosen by keep_first_smaller and
// pick_lane, each lane seeing its nodes in increasing order. So every width
// gives the bits of Node::join and the winner of a scan in node order.
#include "model/search/join.h"
#include "model/search/kernels.h"
#include "model/search/policy.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#ifndef QUORV_KERNEL_SET
#error "define QUORV_KERNEL_SET before including kernels-inl.h"
#endif

#if defined(__clang__)
#define QUORV_UNROLL _Pragma("unroll")
#elif defined(__GNUC__)
#define QUORV_UNROLL _Pragma("GCC unroll 8")
#else
#define QUORV_UNROLL
#endif

namespace search_kernels {
namespace QUORV_KERNEL_SET {
namespace {

#if QUORV_VECTORS && defined(__AVX512F__)
using Vec = Vec8;
#elif QUORV_VECTORS && defined(__AVX2__) && defined(__FMA__)
using Vec = Vec4;
#else
using Vec = double;
#endif

constexpr int kW = kTileNodes;
constexpr int kLanes = sizeof(Vec) / sizeof(double);
constexpr int kRow = kW / kLanes;  // vectors in a row of a tile
static_assert(kRow * kLanes == kW, "a tile row is a whole number of vectors");
// About four vectors of sums in flight for one pattern hide the latency of
// the adds; with four patterns, eight.
constexpr int kTilesForOne = 4 / kRow > 0 ? 4 / kRow : 1;
constexpr int kTilesForFour = 2 / kRow > 0 ? 2 / kRow : 1;

QUORV_ALWAYS_INLINE Vec load(const double *p)
{
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

QUORV_ALWAYS_INLINE void store(double *p, const Vec &v) { std::memcpy(p, &v, sizeof v); }

QUORV_ALWAYS_INLINE Vec broadcast(double x)
{
    double lanes[kLanes];
    for (int l = 0; l < kLanes; ++l)
        lanes[l] = x;
    return load(lanes);
}

// Node numbers of vector p of a tile row, counted from the tile's first.
QUORV_ALWAYS_INLINE Vec lane_numbers(int p)
{
    double lanes[kLanes];
    for (int l = 0; l < kLanes; ++l)
        lanes[l] = p * kLanes + l;
    return load(lanes);
}

// Sums of T tiles a[h] with pattern x: s[h][p] vector p of tile h.
template <int T>
QUORV_ALWAYS_INLINE void tile_sums(const double *const *a, int m, const double *x, Vec (&s)[T][kRow])
{
    for (int h = 0; h < T; ++h)
        for (int p = 0; p < kRow; ++p)
            s[h][p] = Vec{};
    for (int i = 0; i < m; ++i) {
        const Vec xi = broadcast(x[i]);
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
        QUORV_UNROLL
        for (int h = 0; h < T; ++h)
            QUORV_UNROLL
            for (int p = 0; p < kRow; ++p)
                add_join_term(s[h][p], xi, load(a[h] + row + kLanes * p), load(a[h] + row + kW + kLanes * p));
    }
}

// Sums of four patterns x[r] with T tiles a[h]: each row, loaded once, serves
// all four.
template <int T>
QUORV_ALWAYS_INLINE void four_sums(const double *const *a, int m, const double *const *x, Vec (&s)[4][T][kRow])
{
    for (int r = 0; r < 4; ++r)
        for (int h = 0; h < T; ++h)
            for (int p = 0; p < kRow; ++p)
                s[r][h][p] = Vec{};
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
        QUORV_UNROLL
        for (int r = 0; r < 4; ++r) {
            const Vec xi = broadcast(x[r][i]);
            QUORV_UNROLL
            for (int h = 0; h < T; ++h)
                QUORV_UNROLL
                for (int p = 0; p < kRow; ++p)
                    add_join_term(s[r][h][p], xi, load(a[h] + row + kLanes * p),
                                  load(a[h] + row + kW + kLanes * p));
        }
    }
}

const double *tile_at(const double *tiles, std::size_t tile_doubles, const int *which, int j)
{
    return tiles + static_cast<std::size_t>(which ? which[j] : j) * tile_doubles;
}

template <int T>
QUORV_ALWAYS_INLINE void tile_sizes_step(const double *tiles, std::size_t tile_doubles, const int *which, int j,
                                         int m, const double *x, double *out)
{
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tile_at(tiles, tile_doubles, which, j + h);
    Vec s[T][kRow];
    tile_sums<T>(a, m, x, s);
    for (int h = 0; h < T; ++h)
        for (int p = 0; p < kRow; ++p)
            store(out + kW * (j + h) + kLanes * p, s[h][p]);
}

void tile_sizes(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m, const double *x,
                double *out)
{
    int j = 0;
    for (; j + kTilesForOne <= n; j += kTilesForOne)
        tile_sizes_step<kTilesForOne>(tiles, tile_doubles, which, j, m, x, out);
    for (; j < n; ++j)
        tile_sizes_step<1>(tiles, tile_doubles, which, j, m, x, out);
}

template <int T>
QUORV_ALWAYS_INLINE void tile_sizes4_step(const double *tiles, std::size_t tile_doubles, const int *which, int j,
                                          int m, const double *const *x, double *const *out)
{
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tile_at(tiles, tile_doubles, which, j + h);
    Vec s[4][T][kRow];
    four_sums<T>(a, m, x, s);
    for (int r = 0; r < 4; ++r)
        for (int h = 0; h < T; ++h)
            for (int p = 0; p < kRow; ++p)
                store(out[r] + kW * (j + h) + kLanes * p, s[r][h][p]);
}

void tile_sizes4(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                 const double *const *x, double *const *out)
{
    int j = 0;
    for (; j + kTilesForFour <= n; j += kTilesForFour)
        tile_sizes4_step<kTilesForFour>(tiles, tile_doubles, which, j, m, x, out);
    for (; j < n; ++j)
        tile_sizes4_step<1>(tiles, tile_doubles, which, j, m, x, out);
}

// T tiles, each with its own pattern x[j + h].
template <int T>
QUORV_ALWAYS_INLINE void paired_sizes_step(const double *tiles, std::size_t tile_doubles, const int *which,
                                           const double *const *x, int j, int m, double *out)
{
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tile_at(tiles, tile_doubles, which, j + h);
    Vec s[T][kRow];
    for (int h = 0; h < T; ++h)
        for (int p = 0; p < kRow; ++p)
            s[h][p] = Vec{};
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
        QUORV_UNROLL
        for (int h = 0; h < T; ++h) {
            const Vec xi = broadcast(x[j + h][i]);
            QUORV_UNROLL
            for (int p = 0; p < kRow; ++p)
                add_join_term(s[h][p], xi, load(a[h] + row + kLanes * p), load(a[h] + row + kW + kLanes * p));
        }
    }
    for (int h = 0; h < T; ++h)
        for (int p = 0; p < kRow; ++p)
            store(out + kW * (j + h) + kLanes * p, s[h][p]);
}

void paired_sizes(const double *tiles, std::size_t tile_doubles, const int *which, const double *const *x, int n,
                  int m, double *out)
{
    int j = 0;
    for (; j + kTilesForOne <= n; j += kTilesForOne)
        paired_sizes_step<kTilesForOne>(tiles, tile_doubles, which, x, j, m, out);
    for (; j < n; ++j)
        paired_sizes_step<1>(tiles, tile_doubles, which, x, j, m, out);
}

// Least sizes of T consecutive bound tiles from tile j for R patterns x[r], into
// out[r][kW * (j + h) ...].
template <int R, int T>
QUORV_ALWAYS_INLINE void least_sizes_step(const double *bound_tiles, int j, int m, const double *const *x,
                                          double *const *out)
{
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    const double *a = bound_tiles + static_cast<std::size_t>(j) * bound_doubles;
    Vec s[R][T][kRow];
    for (int r = 0; r < R; ++r)
        for (int h = 0; h < T; ++h)
            for (int p = 0; p < kRow; ++p)
                s[r][h][p] = Vec{};
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 3 * kW * static_cast<std::size_t>(i);
        QUORV_UNROLL
        for (int h = 0; h < T; ++h)
            QUORV_UNROLL
            for (int p = 0; p < kRow; ++p) {
                const double *b = a + h * bound_doubles + row + kLanes * p;
                const Vec lower = load(b), upper = load(b + kW), width = load(b + 2 * kW);
                QUORV_UNROLL
                for (int r = 0; r < R; ++r)
                    add_least_term(s[r][h][p], broadcast(x[r][i]), lower, upper, width);
            }
    }
    for (int r = 0; r < R; ++r)
        for (int h = 0; h < T; ++h)
            for (int p = 0; p < kRow; ++p)
                store(out[r] + kW * (j + h) + kLanes * p, s[r][h][p]);
}

void least_sizes(const double *bound_tiles, int n, int m, const double *x, double *out)
{
    int j = 0;
    for (; j + kTilesForOne <= n; j += kTilesForOne)
        least_sizes_step<1, kTilesForOne>(bound_tiles, j, m, &x, &out);
    for (; j < n; ++j)
        least_sizes_step<1, 1>(bound_tiles, j, m, &x, &out);
}

void least_sizes4(const double *bound_tiles, int n, int m, const double *const *x, double *const *out)
{
    int j = 0;
    for (; j + kTilesForFour <= n; j += kTilesForFour)
        least_sizes_step<4, kTilesForFour>(bound_tiles, j, m, x, out);
    for (; j < n; ++j)
        least_sizes_step<4, 1>(bound_tiles, j, m, x, out);
}

void least_sizes_tile(const double *bound_tile, int m, const double *const *x, double *const *out, int r)
{
    if (r == 1)
        least_sizes_step<1, 1>(bound_tile, 0, m, x, out);
    else if (r == 2)
        least_sizes_step<2, 1>(bound_tile, 0, m, x, out);
    else if (r == 3)
        least_sizes_step<3, 1>(bound_tile, 0, m, x, out);
    else
        least_sizes_step<4, 1>(bound_tile, 0, m, x, out);
}

// Lane states of one pattern: per lane the first smallest size and its node.
struct Lead {
    Vec best[kRow], at[kRow];

    explicit Lead(int m)
    {
        for (int p = 0; p < kRow; ++p) {
            best[p] = broadcast(no_lead(m));
            at[p] = broadcast(-1.0);
        }
    }
    // Takes in the sums of the tile whose first node is `first`.
    QUORV_ALWAYS_INLINE void take(const Vec (&s)[kRow], const Vec &first)
    {
        for (int p = 0; p < kRow; ++p)
            keep_first_smaller(s[p], lane_numbers(p) + first, best[p], at[p]);
    }
    int winner(double *size) const
    {
        double b[kW], w[kW];
        for (int p = 0; p < kRow; ++p) {
            store(b + kLanes * p, best[p]);
            store(w + kLanes * p, at[p]);
        }
        return pick_lane(b, w, kW, size);
    }
};

int flat_winner(const double *tiles, std::size_t tile_doubles, int tiles_n, int m, const double *x, double *size)
{
    Lead lead(m);
    int t = 0;
    for (; t + kTilesForOne <= tiles_n; t += kTilesForOne) {
        const double *a[kTilesForOne];
        for (int h = 0; h < kTilesForOne; ++h)
            a[h] = tiles + static_cast<std::size_t>(t + h) * tile_doubles;
        Vec s[kTilesForOne][kRow];
        tile_sums<kTilesForOne>(a, m, x, s);
        for (int h = 0; h < kTilesForOne; ++h)
            lead.take(s[h], broadcast(static_cast<double>(t + h) * kW));
    }
    for (; t < tiles_n; ++t) {
        const double *a[1] = {tiles + static_cast<std::size_t>(t) * tile_doubles};
        Vec s[1][kRow];
        tile_sums<1>(a, m, x, s);
        lead.take(s[0], broadcast(static_cast<double>(t) * kW));
    }
    return lead.winner(size);
}

// One tile at a time for both patterns: as many sums in flight as
// flat_winner has with two.
int flat_winner_ahead(const double *tiles, std::size_t tile_doubles, int tiles_n, int m, const double *x,
                      const double *y, double *y_sizes, double *size)
{
    constexpr int T = kTilesForOne / 2 > 0 ? kTilesForOne / 2 : 1;
    Lead lead(m);
    const double *xy[2] = {x, y};
    auto step = [&](auto tiles_now, int t) {
        constexpr int N = decltype(tiles_now)::value;
        const double *a[N];
        for (int h = 0; h < N; ++h)
            a[h] = tiles + static_cast<std::size_t>(t + h) * tile_doubles;
        Vec s[2][N][kRow];
        for (int r = 0; r < 2; ++r)
            for (int h = 0; h < N; ++h)
                for (int p = 0; p < kRow; ++p)
                    s[r][h][p] = Vec{};
        for (int i = 0; i < m; ++i) {
            const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
            QUORV_UNROLL
            for (int r = 0; r < 2; ++r) {
                const Vec xi = broadcast(xy[r][i]);
                QUORV_UNROLL
                for (int h = 0; h < N; ++h)
                    QUORV_UNROLL
                    for (int p = 0; p < kRow; ++p)
                        add_join_term(s[r][h][p], xi, load(a[h] + row + kLanes * p),
                                      load(a[h] + row + kW + kLanes * p));
            }
        }
        for (int h = 0; h < N; ++h) {
            lead.take(s[0][h], broadcast(static_cast<double>(t + h) * kW));
            for (int p = 0; p < kRow; ++p)
                store(y_sizes + kW * static_cast<std::size_t>(t + h) + kLanes * p, s[1][h][p]);
        }
    };
    int t = 0;
    for (; t + T <= tiles_n; t += T)
        step(std::integral_constant<int, T>(), t);
    for (; t < tiles_n; ++t)
        step(std::integral_constant<int, 1>(), t);
    return lead.winner(size);
}

int winner_of_sizes(const double *sizes, int tiles_n, int m, double *size)
{
    Lead lead(m);
    for (int t = 0; t < tiles_n; ++t) {
        Vec s[kRow];
        for (int p = 0; p < kRow; ++p)
            s[p] = load(sizes + kW * static_cast<std::size_t>(t) + kLanes * p);
        lead.take(s, broadcast(static_cast<double>(t) * kW));
    }
    return lead.winner(size);
}

// Classification. A register tile of four patterns by kTilesForFour tiles:
// each row of bounds, loaded once, serves four patterns. A batch of patterns
// small enough to stay in the first-level cache beside those tiles passes
// over them, four at a time, before the next tiles are loaded; each pattern's
// lane states wait in memory in between, in that same cache.
struct FlatStates {
    alignas(64) double best[search_policy::kFlatBatchMost][kW];
    alignas(64) double at[search_policy::kFlatBatchMost][kW];
};

template <int T>
QUORV_ALWAYS_INLINE void four_pass(const double *tiles, std::size_t tile_doubles, int t, int m,
                                   const double *const *x, double *const *best, double *const *at)
{
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tiles + static_cast<std::size_t>(t + h) * tile_doubles;
    Vec s[4][T][kRow];
    four_sums<T>(a, m, x, s);
    const Vec first = broadcast(static_cast<double>(t) * kW);
    for (int r = 0; r < 4; ++r)
        for (int p = 0; p < kRow; ++p) {
            Vec kept = load(best[r] + kLanes * p), kept_at = load(at[r] + kLanes * p);
            // Tile by tile, so that each lane meets its nodes in increasing order.
            for (int h = 0; h < T; ++h)
                keep_first_smaller(s[r][h][p], lane_numbers(p) + (first + broadcast(h * kW)), kept, kept_at);
            store(best[r] + kLanes * p, kept);
            store(at[r] + kLanes * p, kept_at);
        }
}

void flat_winners(const double *tiles, std::size_t tile_doubles, int tiles_n, int m, const double *const *patterns,
                  int n, int *winners, double *sizes)
{
    constexpr int T = kTilesForFour;
    constexpr int most = search_policy::kFlatBatchMost;
    int batch = m > 0 ? search_policy::kFlatBatchDoubles / m : most;
    batch = batch < 4 ? 4 : batch > most ? most : batch / 4 * 4;
    FlatStates states;
    for (int p0 = 0; p0 < n; p0 += batch) {
        const int nb = n - p0 < batch ? n - p0 : batch;
        const int rows = (nb + 3) / 4 * 4;
        for (int r = 0; r < rows; ++r)
            for (int j = 0; j < kW; ++j) {
                states.best[r][j] = no_lead(m);
                states.at[r][j] = -1.0;
            }
        auto pass = [&](auto tiles_now, int t) {
            for (int g = 0; g < rows; g += 4) {
                // A short last group repeats its last pattern; those states are dropped.
                const double *x[4];
                double *best[4], *at[4];
                for (int r = 0; r < 4; ++r) {
                    x[r] = patterns[p0 + g + r < n ? p0 + g + r : n - 1];
                    best[r] = states.best[g + r];
                    at[r] = states.at[g + r];
                }
                four_pass<decltype(tiles_now)::value>(tiles, tile_doubles, t, m, x, best, at);
            }
        };
        int t = 0;
        for (; t + T <= tiles_n; t += T)
            pass(std::integral_constant<int, T>(), t);
        for (; t < tiles_n; ++t)
            pass(std::integral_constant<int, 1>(), t);
        for (int r = 0; r < nb; ++r)
            winners[p0 + r] = pick_lane(states.best[r], states.at[r], kW, sizes ? sizes + p0 + r : nullptr);
    }
}

}  // namespace

const Kernels table = {
    QUORV_KERNEL_NAME, tile_sizes,  tile_sizes4,       paired_sizes,    least_sizes,  least_sizes4,
    least_sizes_tile,        flat_winner, flat_winner_ahead, winner_of_sizes, flat_winners,
};

}  // namespace QUORV_KERNEL_SET
}  // namespace search_kernels
