// The winner search: tiles of node bounds, the size kernels and their choice
// at run time.
#include "model/search.h"

#include "host/args.h"
#include "model/node.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

// AVX2 (with FMA) code is compiled for its own functions only and chosen at
// run time, so the plug-ins still run on any x86-64; other compilers and
// processors get the plain C++ kernels.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUORV_SEARCH_X86 1
#include <immintrin.h>
#define QUORV_AVX2 __attribute__((target("avx2,fma")))
#else
#define QUORV_SEARCH_X86 0
#endif

namespace {

constexpr int kW = NodeBlock::kTileNodes;
static_assert(kW == 8, "the AVX2 kernels take a tile as two vectors of four nodes");

bool processor_has_avx2()
{
#if QUORV_SEARCH_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

SearchPath &current_path()
{
    static SearchPath path = processor_has_avx2() ? SearchPath::Avx2 : SearchPath::Scalar;
    return path;
}

// ---- plain C++ ----

// Sizes of the first `lanes` nodes of one tile with the pattern, with the
// comparisons of Node::join. A full tile has its own loop, of fixed length,
// which compilers can turn into vector code.
void tile_sizes_scalar(const double *tile, int lanes, int m, const double *x, double *acc)
{
    for (int j = 0; j < kW; ++j)
        acc[j] = 0.0;
    for (int i = 0; i < m; ++i) {
        const double xi = x[i];
        const double *lo = tile + 2 * kW * static_cast<std::size_t>(i);
        const double *up = lo + kW;
        if (lanes == kW) {
            for (int j = 0; j < kW; ++j) {
                const double jl = xi > lo[j] ? lo[j] : xi;
                const double ju = xi >= up[j] ? xi : up[j];
                acc[j] += ju - jl;
            }
        } else {
            for (int j = 0; j < lanes; ++j) {
                const double jl = xi > lo[j] ? lo[j] : xi;
                const double ju = xi >= up[j] ? xi : up[j];
                acc[j] += ju - jl;
            }
        }
    }
}

int winner_scalar(const double *tiles, std::size_t tile_doubles, int count, int m, const double *x,
                  double *size)
{
    double best = m;
    int winner = -1;
    double acc[kW];
    for (int t = 0; t * kW < count; ++t) {
        const int lanes = count - t * kW < kW ? count - t * kW : kW;
        tile_sizes_scalar(tiles + t * tile_doubles, lanes, m, x, acc);
        for (int j = 0; j < lanes; ++j) {
            if (acc[j] < best) {
                best = acc[j];
                winner = t * kW + j;
            }
        }
    }
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

// ---- AVX2 ----
#if QUORV_SEARCH_X86

bool use_avx2() { return current_path() == SearchPath::Avx2; }

// Node numbers travel as doubles beside the sizes (exact far beyond any int).
// Lane j of best/at holds the first smallest size among the nodes that lane
// saw and that node's number, or -1; the winner is the smallest of all lanes,
// the lowest node number on ties, which is what one scan in node order finds.
int pick(const double *best, const double *at, int lanes, double *size)
{
    int winner = -1;
    double value = 0.0;
    for (int j = 0; j < lanes; ++j) {
        if (at[j] < 0)
            continue;
        const int k = static_cast<int>(at[j]);
        if (winner < 0 || best[j] < value || (best[j] == value && k < winner)) {
            winner = k;
            value = best[j];
        }
    }
    if (winner >= 0 && size)
        *size = value;
    return winner;
}

// acc + (max(x, upper) - min(lower, x)) for 4 nodes in one feature.
//
// min(lower, x) is lower < x ? lower : x, the choice of join in every case,
// NaN and signed zeros included; max(x, upper) differs from join's
// x >= upper ? x : upper only in the sign of a zero, which no size starting
// from +0.0 can show.
//
// The subtraction and the addition are done as a * 1.0 - b and a * 1.0 + b in
// fused multiply-adds: a * 1.0 is exact and the one rounding is that of the
// plain a - b and a + b, so every finite or infinite result is the same to
// the last bit (a NaN may carry another payload, and never wins). Fused
// multiply-adds run on other pipes than min, max and add, so the four steps
// spread over twice as many.
QUORV_AVX2 inline __m256d grow(__m256d acc, __m256d x, __m256d lower, __m256d upper)
{
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d extent = _mm256_fmsub_pd(_mm256_max_pd(x, upper), one, _mm256_min_pd(lower, x));
    return _mm256_fmadd_pd(extent, one, acc);
}

// The same from a tile row: lower bounds at lo, upper bounds kW further on.
QUORV_AVX2 inline __m256d grow_from(__m256d acc, __m256d x, const double *lo)
{
    return grow(acc, x, _mm256_load_pd(lo), _mm256_load_pd(lo + kW));
}

// Keeps, lane by lane, the first strictly smaller size (NaN compares false).
QUORV_AVX2 inline void keep_smaller(__m256d size, __m256d number, __m256d *best, __m256d *at)
{
    const __m256d smaller = _mm256_cmp_pd(size, *best, _CMP_LT_OQ);
    *best = _mm256_blendv_pd(*best, size, smaller);
    *at = _mm256_blendv_pd(*at, number, smaller);
}

QUORV_AVX2 int winner_avx2(const double *tiles, std::size_t tile_doubles, int tiles_n, int m,
                           const double *x, double *size)
{
    const __m256d eight = _mm256_set1_pd(kW);
    __m256d best0 = _mm256_set1_pd(m), best1 = best0;
    __m256d at0 = _mm256_set1_pd(-1.0), at1 = at0;
    __m256d k0 = _mm256_setr_pd(0, 1, 2, 3), k1 = _mm256_setr_pd(4, 5, 6, 7);
    int t = 0;
    // Two tiles at a time: four sums in flight hide the latency of the adds.
    for (; t + 2 <= tiles_n; t += 2) {
        const double *a = tiles + t * tile_doubles;
        const double *b = a + tile_doubles;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (int i = 0; i < m; ++i) {
            const __m256d xi = _mm256_broadcast_sd(x + i);
            const double *ra = a + 2 * kW * static_cast<std::size_t>(i);
            const double *rb = b + 2 * kW * static_cast<std::size_t>(i);
            s0 = grow_from(s0, xi, ra);
            s1 = grow_from(s1, xi, ra + 4);
            s2 = grow_from(s2, xi, rb);
            s3 = grow_from(s3, xi, rb + 4);
        }
        keep_smaller(s0, k0, &best0, &at0);
        keep_smaller(s1, k1, &best1, &at1);
        k0 = _mm256_add_pd(k0, eight);
        k1 = _mm256_add_pd(k1, eight);
        keep_smaller(s2, k0, &best0, &at0);
        keep_smaller(s3, k1, &best1, &at1);
        k0 = _mm256_add_pd(k0, eight);
        k1 = _mm256_add_pd(k1, eight);
    }
    if (t < tiles_n) {
        const double *a = tiles + t * tile_doubles;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0;
        for (int i = 0; i < m; ++i) {
            const __m256d xi = _mm256_broadcast_sd(x + i);
            const double *ra = a + 2 * kW * static_cast<std::size_t>(i);
            s0 = grow_from(s0, xi, ra);
            s1 = grow_from(s1, xi, ra + 4);
        }
        keep_smaller(s0, k0, &best0, &at0);
        keep_smaller(s1, k1, &best1, &at1);
    }
    alignas(32) double best[8], at[8];
    _mm256_store_pd(best, best0);
    _mm256_store_pd(best + 4, best1);
    _mm256_store_pd(at, at0);
    _mm256_store_pd(at + 4, at1);
    // Plain code follows: leave no upper halves behind (GCC does not always).
    _mm256_zeroupper();
    return pick(best, at, 8, size);
}

// Training looks one pattern ahead: one pass over the nodes finds x's winner
// and stores y's sizes, so that each tile, loaded once, serves both.
QUORV_AVX2 int winner_pair_avx2(const double *tiles, std::size_t tile_doubles, int tiles_n, int m,
                                const double *x, const double *y, double *y_sizes, double *size)
{
    const __m256d eight = _mm256_set1_pd(kW);
    __m256d best0 = _mm256_set1_pd(m), best1 = best0;
    __m256d at0 = _mm256_set1_pd(-1.0), at1 = at0;
    __m256d k0 = _mm256_setr_pd(0, 1, 2, 3), k1 = _mm256_setr_pd(4, 5, 6, 7);
    int t = 0;
    for (; t + 2 <= tiles_n; t += 2) {
        const double *a = tiles + t * tile_doubles;
        const double *b = a + tile_doubles;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        __m256d u0 = s0, u1 = s0, u2 = s0, u3 = s0;
        for (int i = 0; i < m; ++i) {
            const double *ra = a + 2 * kW * static_cast<std::size_t>(i);
            const double *rb = b + 2 * kW * static_cast<std::size_t>(i);
            const __m256d la0 = _mm256_load_pd(ra), la1 = _mm256_load_pd(ra + 4);
            const __m256d ua0 = _mm256_load_pd(ra + 8), ua1 = _mm256_load_pd(ra + 12);
            const __m256d lb0 = _mm256_load_pd(rb), lb1 = _mm256_load_pd(rb + 4);
            const __m256d ub0 = _mm256_load_pd(rb + 8), ub1 = _mm256_load_pd(rb + 12);
            const __m256d xi = _mm256_broadcast_sd(x + i);
            s0 = grow(s0, xi, la0, ua0);
            s1 = grow(s1, xi, la1, ua1);
            s2 = grow(s2, xi, lb0, ub0);
            s3 = grow(s3, xi, lb1, ub1);
            const __m256d yi = _mm256_broadcast_sd(y + i);
            u0 = grow(u0, yi, la0, ua0);
            u1 = grow(u1, yi, la1, ua1);
            u2 = grow(u2, yi, lb0, ub0);
            u3 = grow(u3, yi, lb1, ub1);
        }
        double *out = y_sizes + static_cast<std::size_t>(t) * kW;
        _mm256_store_pd(out, u0);
        _mm256_store_pd(out + 4, u1);
        _mm256_store_pd(out + 8, u2);
        _mm256_store_pd(out + 12, u3);
        keep_smaller(s0, k0, &best0, &at0);
        keep_smaller(s1, k1, &best1, &at1);
        k0 = _mm256_add_pd(k0, eight);
        k1 = _mm256_add_pd(k1, eight);
        keep_smaller(s2, k0, &best0, &at0);
        keep_smaller(s3, k1, &best1, &at1);
        k0 = _mm256_add_pd(k0, eight);
        k1 = _mm256_add_pd(k1, eight);
    }
    if (t < tiles_n) {
        const double *a = tiles + t * tile_doubles;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, u0 = s0, u1 = s0;
        for (int i = 0; i < m; ++i) {
            const double *ra = a + 2 * kW * static_cast<std::size_t>(i);
            const __m256d la0 = _mm256_load_pd(ra), la1 = _mm256_load_pd(ra + 4);
            const __m256d ua0 = _mm256_load_pd(ra + 8), ua1 = _mm256_load_pd(ra + 12);
            const __m256d xi = _mm256_broadcast_sd(x + i);
            const __m256d yi = _mm256_broadcast_sd(y + i);
            s0 = grow(s0, xi, la0, ua0);
            s1 = grow(s1, xi, la1, ua1);
            u0 = grow(u0, yi, la0, ua0);
            u1 = grow(u1, yi, la1, ua1);
        }
        double *out = y_sizes + static_cast<std::size_t>(t) * kW;
        _mm256_store_pd(out, u0);
        _mm256_store_pd(out + 4, u1);
        keep_smaller(s0, k0, &best0, &at0);
        keep_smaller(s1, k1, &best1, &at1);
    }
    alignas(32) double best[8], at[8];
    _mm256_store_pd(best, best0);
    _mm256_store_pd(best + 4, best1);
    _mm256_store_pd(at, at0);
    _mm256_store_pd(at + 4, at1);
    _mm256_zeroupper();
    return pick(best, at, 8, size);
}

// The winner among sizes already computed, tiles_n * kW of them.
QUORV_AVX2 int winner_of_sizes_avx2(const double *sizes, int tiles_n, int m, double *size)
{
    const __m256d four = _mm256_set1_pd(4.0);
    __m256d best0 = _mm256_set1_pd(m), at0 = _mm256_set1_pd(-1.0);
    __m256d k0 = _mm256_setr_pd(0, 1, 2, 3);
    for (int v = 0; v < 2 * tiles_n; ++v) {
        keep_smaller(_mm256_load_pd(sizes + 4 * static_cast<std::size_t>(v)), k0, &best0, &at0);
        k0 = _mm256_add_pd(k0, four);
    }
    alignas(32) double best[4], at[4];
    _mm256_store_pd(best, best0);
    _mm256_store_pd(at, at0);
    _mm256_zeroupper();
    return pick(best, at, 4, size);
}

QUORV_AVX2 void tile_sizes_avx2(const double *tile, int m, const double *x, double *out)
{
    __m256d s0 = _mm256_setzero_pd(), s1 = s0;
    for (int i = 0; i < m; ++i) {
        const __m256d xi = _mm256_broadcast_sd(x + i);
        const double *r = tile + 2 * kW * static_cast<std::size_t>(i);
        s0 = grow_from(s0, xi, r);
        s1 = grow_from(s1, xi, r + 4);
    }
    _mm256_storeu_pd(out, s0);
    _mm256_storeu_pd(out + 4, s1);
    _mm256_zeroupper();
}

// Classification: the nodes do not change, so each tile, loaded once, serves
// a batch of patterns, four at a time (eight sums in flight).
constexpr int kMaxBatch = 64;

QUORV_AVX2 void winners_avx2(const double *tiles, std::size_t tile_doubles, int tiles_n, int m,
                             const double *const *patterns, int n, int *winners, double *sizes)
{
    // A batch of patterns stays in the first-level cache beside the tile.
    int batch = m > 0 ? 1024 / m : kMaxBatch;
    batch = batch < 4 ? 4 : batch > kMaxBatch ? kMaxBatch : batch & ~3;
    alignas(32) double best[kMaxBatch][8];
    alignas(32) double at[kMaxBatch][8];
    const __m256d eight = _mm256_set1_pd(kW);
    for (int p0 = 0; p0 < n; p0 += batch) {
        const int nb = n - p0 < batch ? n - p0 : batch;
        const int groups = (nb + 3) / 4;
        for (int r = 0; r < 4 * groups; ++r)
            for (int j = 0; j < 8; ++j) {
                best[r][j] = m;
                at[r][j] = -1.0;
            }
        __m256d k0 = _mm256_setr_pd(0, 1, 2, 3), k1 = _mm256_setr_pd(4, 5, 6, 7);
        for (int t = 0; t < tiles_n; ++t) {
            const double *a = tiles + t * tile_doubles;
            for (int g = 0; g < groups; ++g) {
                const int q = p0 + 4 * g;
                // A short last group repeats its last pattern; those results are dropped.
                const double *x0 = patterns[q];
                const double *x1 = patterns[q + 1 < n ? q + 1 : n - 1];
                const double *x2 = patterns[q + 2 < n ? q + 2 : n - 1];
                const double *x3 = patterns[q + 3 < n ? q + 3 : n - 1];
                __m256d s00 = _mm256_setzero_pd(), s01 = s00, s10 = s00, s11 = s00;
                __m256d s20 = s00, s21 = s00, s30 = s00, s31 = s00;
                for (int i = 0; i < m; ++i) {
                    const double *r = a + 2 * kW * static_cast<std::size_t>(i);
                    const __m256d lo0 = _mm256_load_pd(r), lo1 = _mm256_load_pd(r + 4);
                    const __m256d up0 = _mm256_load_pd(r + 8), up1 = _mm256_load_pd(r + 12);
                    __m256d xi = _mm256_broadcast_sd(x0 + i);
                    s00 = grow(s00, xi, lo0, up0);
                    s01 = grow(s01, xi, lo1, up1);
                    xi = _mm256_broadcast_sd(x1 + i);
                    s10 = grow(s10, xi, lo0, up0);
                    s11 = grow(s11, xi, lo1, up1);
                    xi = _mm256_broadcast_sd(x2 + i);
                    s20 = grow(s20, xi, lo0, up0);
                    s21 = grow(s21, xi, lo1, up1);
                    xi = _mm256_broadcast_sd(x3 + i);
                    s30 = grow(s30, xi, lo0, up0);
                    s31 = grow(s31, xi, lo1, up1);
                }
                const __m256d sums[4][2] = {{s00, s01}, {s10, s11}, {s20, s21}, {s30, s31}};
                for (int r = 0; r < 4; ++r) {
                    double *b = best[4 * g + r];
                    double *w = at[4 * g + r];
                    __m256d b0 = _mm256_load_pd(b), b1 = _mm256_load_pd(b + 4);
                    __m256d w0 = _mm256_load_pd(w), w1 = _mm256_load_pd(w + 4);
                    keep_smaller(sums[r][0], k0, &b0, &w0);
                    keep_smaller(sums[r][1], k1, &b1, &w1);
                    _mm256_store_pd(b, b0);
                    _mm256_store_pd(b + 4, b1);
                    _mm256_store_pd(w, w0);
                    _mm256_store_pd(w + 4, w1);
                }
            }
            k0 = _mm256_add_pd(k0, eight);
            k1 = _mm256_add_pd(k1, eight);
        }
        _mm256_zeroupper();
        for (int r = 0; r < nb; ++r)
            winners[p0 + r] = pick(best[r], at[r], 8, sizes ? sizes + p0 + r : nullptr);
    }
}

#endif  // QUORV_SEARCH_X86

// The plain form: every node joined in turn, each join counted as it happens.
int straight_winner(Node *const *nodes, int count, const double *pattern, std::int64_t host_per_join,
                    double *size)
{
    double best = Node::params.M;
    int winner = -1;
    for (int k = 0; k < count; ++k) {
        Node *node = nodes[k];
        node->join(pattern);
        add_host_flops(host_per_join);
        if (node->join_size < best) {
            winner = k;
            best = node->join_size;
        }
    }
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

}  // namespace

SearchPath search_path() { return current_path(); }

bool search_path_available(SearchPath path)
{
    return path != SearchPath::Avx2 || processor_has_avx2();
}

bool set_search_path(SearchPath path)
{
    if (!search_path_available(path))
        return false;
    current_path() = path;
    return true;
}

int search_winner(Node *const *nodes, NodeBlock &block, const double *pattern, std::int64_t host_per_join,
                  const double *next)
{
    const int count = block.count();
    // A few nodes are joined sooner than searched and then joined again.
    if (current_path() == SearchPath::Straight || count < 4)
        return straight_winner(nodes, count, pattern, host_per_join, nullptr);
    const int winner = block.find_winner_ahead(pattern, next);
    // Only the winner's trial box is ever used.
    if (winner >= 0)
        nodes[winner]->join_uncounted(pattern);
    count_joins(count);
    add_host_flops(count * host_per_join);
    return winner;
}

void search_winners(Node *const *nodes, const NodeBlock &block, const double *const *patterns, int n,
                    int *winners, double *sizes)
{
    const int count = block.count();
    if (current_path() == SearchPath::Straight) {
        for (int p = 0; p < n; ++p)
            winners[p] = straight_winner(nodes, count, patterns[p], 0, sizes + p);
        return;
    }
    block.find_winners(patterns, n, winners, sizes);
    count_joins(static_cast<std::int64_t>(n) * count);
}

void count_joins(std::int64_t joins)
{
    const std::int64_t m = Node::params.M;
    Node::count_ops(joins * (2 * m + 1), joins * (2 * m));
}

NodeBlock::NodeBlock(int m) : m_(m > 0 ? m : 0), tile_doubles_(2 * kW * static_cast<std::size_t>(m_)) {}

namespace {

double *new_doubles(std::size_t count)
{
    return static_cast<double *>(::operator new[](count * sizeof(double), std::align_val_t(64), std::nothrow));
}

void delete_doubles(double *p)
{
    if (p)
        ::operator delete[](p, std::align_val_t(64));
}

}  // namespace

NodeBlock::~NodeBlock()
{
    delete_doubles(tiles_);
    delete_doubles(ahead_sizes_);
}

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
    double *grown = new_doubles(total);
    if (!grown)
        return false;
    const std::size_t kept = static_cast<std::size_t>(capacity_) * tile_doubles_;
    if (kept > 0)
        std::memcpy(grown, tiles_, kept * sizeof(double));
    // Empty slots get NaN bounds: their sizes are NaN and never win.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = kept; i < total; ++i)
        grown[i] = nan;
    delete_doubles(tiles_);
    tiles_ = grown;
    capacity_ = tiles;
    return true;
}

void NodeBlock::store(int k, const Node &node)
{
    double *lo = tile(k / kW) + k % kW;
    for (int i = 0; i < m_; ++i) {
        lo[2 * kW * static_cast<std::size_t>(i)] = node.lower[i];
        lo[2 * kW * static_cast<std::size_t>(i) + kW] = node.upper[i];
    }
}

bool NodeBlock::append(const Node &node)
{
    if (count_ == std::numeric_limits<int>::max() || !reserve(count_ + 1))
        return false;
    store(count_, node);
    ++count_;
    return true;
}

void NodeBlock::refresh(int k, const Node &node)
{
    store(k, node);
    // Sizes looked ahead stay of use while only one node has changed.
    if (ahead_dirty_ >= 0 && ahead_dirty_ != k)
        ahead_ = nullptr;
    ahead_dirty_ = k;
}

// One node's size from the tile, with the comparisons of Node::join.
double NodeBlock::node_size(int k, const double *pattern) const
{
    const double *lo = tile(k / kW) + k % kW;
    double size = 0.0;
    for (int i = 0; i < m_; ++i) {
        const double x = pattern[i];
        const double l = lo[2 * kW * static_cast<std::size_t>(i)];
        const double u = lo[2 * kW * static_cast<std::size_t>(i) + kW];
        const double jl = x > l ? l : x;
        const double ju = x >= u ? x : u;
        size += ju - jl;
    }
    return size;
}

int NodeBlock::find_winner_ahead(const double *pattern, const double *next, double *size)
{
#if QUORV_SEARCH_X86
    if (use_avx2()) {
        if (ahead_ && ahead_ == pattern)
            return winner_from_ahead(pattern, size);
        ahead_ = nullptr;
        if (next && ahead_capacity_ < capacity_) {
            delete_doubles(ahead_sizes_);
            ahead_sizes_ = new_doubles(static_cast<std::size_t>(capacity_) * kW);
            ahead_capacity_ = ahead_sizes_ ? capacity_ : 0;
        }
        if (next && ahead_sizes_) {
            const int winner = winner_pair_avx2(tiles_, tile_doubles_, tile_count(), m_, pattern, next,
                                                ahead_sizes_, size);
            ahead_ = next;
            ahead_count_ = count_;
            ahead_dirty_ = -1;
            return winner;
        }
    }
#endif
    (void)next;
    ahead_ = nullptr;
    return find_winner(pattern, size);
}

int NodeBlock::winner_from_ahead(const double *pattern, double *size)
{
    ahead_ = nullptr;
    const int tiles = tile_count();
    if (tiles > ahead_capacity_)
        return find_winner(pattern, size);
    if (ahead_dirty_ >= 0 && ahead_dirty_ < ahead_count_)
        ahead_sizes_[ahead_dirty_] = node_size(ahead_dirty_, pattern);
    for (int k = ahead_count_; k < count_; ++k)
        ahead_sizes_[k] = node_size(k, pattern);
    for (int k = count_; k < tiles * kW; ++k)
        ahead_sizes_[k] = std::numeric_limits<double>::quiet_NaN();
#if QUORV_SEARCH_X86
    return winner_of_sizes_avx2(ahead_sizes_, tiles, m_, size);
#else
    return find_winner(pattern, size);
#endif
}

int NodeBlock::find_winner(const double *pattern, double *size) const
{
#if QUORV_SEARCH_X86
    if (use_avx2())
        return winner_avx2(tiles_, tile_doubles_, tile_count(), m_, pattern, size);
#endif
    return winner_scalar(tiles_, tile_doubles_, count_, m_, pattern, size);
}

void NodeBlock::find_winners(const double *const *patterns, int n, int *winners, double *sizes) const
{
    if (n <= 0)
        return;
#if QUORV_SEARCH_X86
    if (use_avx2()) {
        winners_avx2(tiles_, tile_doubles_, tile_count(), m_, patterns, n, winners, sizes);
        return;
    }
#endif
    for (int p = 0; p < n; ++p)
        winners[p] = winner_scalar(tiles_, tile_doubles_, count_, m_, patterns[p],
                                   sizes ? sizes + p : nullptr);
}

void NodeBlock::all_sizes(const double *pattern, double *out) const
{
    double acc[kW];
    for (int t = 0; t < tile_count(); ++t) {
#if QUORV_SEARCH_X86
        if (use_avx2())
            tile_sizes_avx2(tile(t), m_, pattern, acc);
        else
#endif
            tile_sizes_scalar(tile(t), count_ - t * kW < kW ? count_ - t * kW : kW, m_, pattern, acc);
        for (int j = 0; j < kW && t * kW + j < count_; ++j)
            out[t * kW + j] = acc[j];
    }
}
