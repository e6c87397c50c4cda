// The winner search: tiles of node bounds, the size kernels and their choice
// at run time.
#include "model/search.h"

#include "host/args.h"
#include "model/node.h"
#include "model/threads.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

// AVX2 (with FMA) and AVX-512 code is compiled for its own functions only and
// chosen at run time, so the plug-ins still run on any x86-64; other compilers
// and processors get the plain C++ kernels.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUORV_SEARCH_X86 1
#include <cpuid.h>
#include <immintrin.h>
#define QUORV_AVX2 __attribute__((target("avx2,fma")))
#define QUORV_FLAT __attribute__((flatten))
#define QUORV_AVX512 __attribute__((target("avx512f,avx2,fma")))
#define QUORV_INLINE inline __attribute__((always_inline))
#else
#define QUORV_SEARCH_X86 0
#endif

namespace {

constexpr int kW = NodeBlock::kTileNodes;

// Below this many nodes the groups are not worth making.
constexpr int kGroupMin = 128;
// Training regroups when the nodes sized outside the groups since the last
// regroup reach this many times the node count (a regroup costs about a
// dozen plain searches).
constexpr std::int64_t kRegroupWork = 16;
// The groups are judged after this many searches, and kept while they do
// less than 1 / kPayingShare of the work of sizing every node.
// Work is counted in nodes sized, a bound tile as kBoundWork nodes. The flat
// kernels size every node but take two or four patterns per pass, so the
// groups must leave most of the work undone to pay.
constexpr std::int64_t kTrialSearches = 64;
constexpr std::int64_t kPayingShare = 3;
constexpr std::int64_t kBoundWork = 12;
// Most doubles kept of the boxes changed between two searches of a pattern
// (128 MB).
constexpr std::uint64_t kJournalDoubles = std::uint64_t{1} << 24;
// Join elements (nodes x features x patterns) that pay for a thread's start.
constexpr double kThreadWork = 2e6;
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

bool processor_has_avx512()
{
#if QUORV_SEARCH_X86
    __builtin_cpu_init();
    return processor_has_avx2() && __builtin_cpu_supports("avx512f");
#else
    return false;
#endif
}

// AMD's family 19h processors with AVX-512 carry out each 512-bit operation
// as two 256-bit halves; there the AVX2 kernel for many patterns runs faster
// than the AVX-512 one, which does the same work with less parallelism.
bool processor_halves_avx512()
{
#if QUORV_SEARCH_X86
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d))
        return false;
    const bool amd = b == 0x68747541u && d == 0x69746e65u && c == 0x444d4163u;  // "AuthenticAMD"
    if (!amd || !__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const unsigned base = (a >> 8) & 0xf;
    const unsigned family = base == 0xf ? base + ((a >> 20) & 0xff) : base;
    return family == 0x19;
#else
    return false;
#endif
}

// Whether the AVX-512 path classifies many patterns with the AVX-512 kernel:
// where 512-bit operations run at full width, and always when that path is
// asked for by name (the checks compare every kernel).
bool &flat_avx512()
{
    static bool on = !processor_halves_avx512();
    return on;
}

SearchPath &current_path()
{
    static SearchPath path = processor_has_avx512() ? SearchPath::Avx512
                             : processor_has_avx2() ? SearchPath::Avx2
                                                    : SearchPath::Scalar;
    return path;
}

bool &pruning_on()
{
    static bool on = true;
    return on;
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

// The AVX-512 path runs the AVX2 kernels where it has none of its own.
bool use_avx2() { return current_path() == SearchPath::Avx2 || current_path() == SearchPath::Avx512; }
bool use_avx512() { return current_path() == SearchPath::Avx512; }
bool use_flat_avx512() { return use_avx512() && flat_avx512(); }

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

// ---- one source for every vector width ----
//
// GNU vectors of 4 doubles (AVX2) or 8 (AVX-512), compiled once per target:
// the element-wise choices below are those of Node::join written the same
// way, and each lane is summed in feature order from 0.0, so every width
// gives the same bits as join.

typedef double V4 __attribute__((vector_size(32)));
typedef double V8 __attribute__((vector_size(64)));

// (Vectors travel by pointer and reference: these helpers are always
// inlined into code compiled for the vector's width.)
template <typename V>
QUORV_INLINE void load_v(V *v, const double *p)
{
    std::memcpy(v, p, sizeof *v);
}

template <typename V>
QUORV_INLINE void broadcast_v(V *v, double x)
{
    for (int l = 0; l < static_cast<int>(sizeof(V) / sizeof(double)); ++l)
        (*v)[l] = x;
}

// a - b and acc + term as fused multiply-adds by 1.0, exact as in grow()
// above. Each width's pair carries its target, and the kernels that use them
// are flattened, so that they end up inside code compiled for that width.
QUORV_AVX2 inline void difference(V4 *out, const V4 &a, const V4 &b)
{
    *out = (V4)_mm256_fmsub_pd((__m256d)a, _mm256_set1_pd(1.0), (__m256d)b);
}

QUORV_AVX2 inline void accumulate(V4 *acc, const V4 &term)
{
    *acc = (V4)_mm256_fmadd_pd((__m256d)term, _mm256_set1_pd(1.0), (__m256d)*acc);
}

QUORV_AVX512 inline void difference(V8 *out, const V8 &a, const V8 &b)
{
    *out = (V8)_mm512_fmsub_pd((__m512d)a, _mm512_set1_pd(1.0), (__m512d)b);
}

QUORV_AVX512 inline void accumulate(V8 *acc, const V8 &term)
{
    *acc = (V8)_mm512_fmadd_pd((__m512d)term, _mm512_set1_pd(1.0), (__m512d)*acc);
}

// acc += join_upper - join_lower for one vector of nodes in one feature.
// join takes x >= upper ? x : upper; x > upper ? x : upper (one max
// instruction) differs only when x equals the bound, in the sign of a zero,
// which no size summed from +0.0 can show.
template <typename V>
QUORV_INLINE void grow_v(V *acc, const V &x, const double *lower, const double *upper)
{
    V lo, up;
    load_v(&lo, lower);
    load_v(&up, upper);
    const V join_lower = x > lo ? lo : x;
    const V join_upper = x > up ? x : up;
    V term;
    difference(&term, join_upper, join_lower);
    accumulate(acc, term);
}

// Sizes of n tiles, tile which[j] (j itself when which is null) into
// out[kW * j .. kW * j + kW - 1]. Four vectors of sums are kept in flight, to
// hide the latency of the adds: two tiles at a time in vectors of four nodes,
// four in vectors of eight; the tiles left over one at a time.
template <typename V, int T>
QUORV_INLINE void tile_sizes_step(const double *tiles, std::size_t tile_doubles, const int *which, int j, int m,
                                  const double *x, double *out)
{
    constexpr int L = sizeof(V) / sizeof(double), P = kW / L;
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tiles + static_cast<std::size_t>(which ? which[j + h] : j + h) * tile_doubles;
    V s[T][P] = {};
    for (int i = 0; i < m; ++i) {
        V xi;
        broadcast_v(&xi, x[i]);
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
#pragma GCC unroll 4
        for (int h = 0; h < T; ++h)
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p)
                grow_v(&s[h][p], xi, a[h] + row + L * p, a[h] + row + kW + L * p);
    }
    std::memcpy(out + kW * j, s, sizeof s);
}

template <typename V>
QUORV_INLINE void tile_sizes_v(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                               const double *x, double *out)
{
    constexpr int T = 4 / (kW / (sizeof(V) / sizeof(double)));
    int j = 0;
    for (; j + T <= n; j += T)
        tile_sizes_step<V, T>(tiles, tile_doubles, which, j, m, x, out);
    for (; j < n; ++j)
        tile_sizes_step<V, 1>(tiles, tile_doubles, which, j, m, x, out);
}

// Sizes of tile which[j] with pattern x[j], for T tiles at a time: each its
// own pattern, so as many sums in flight as in tile_sizes_step.
template <typename V, int T>
QUORV_INLINE void pair_sizes_step(const double *tiles, std::size_t tile_doubles, const int *which,
                                  const double *const *x, int j, int m, double *out)
{
    constexpr int L = sizeof(V) / sizeof(double), P = kW / L;
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tiles + static_cast<std::size_t>(which[j + h]) * tile_doubles;
    V s[T][P] = {};
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
#pragma GCC unroll 4
        for (int h = 0; h < T; ++h) {
            V xi;
            broadcast_v(&xi, x[j + h][i]);
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p)
                grow_v(&s[h][p], xi, a[h] + row + L * p, a[h] + row + kW + L * p);
        }
    }
    std::memcpy(out + kW * j, s, sizeof s);
}

template <typename V>
QUORV_INLINE void pair_sizes_v(const double *tiles, std::size_t tile_doubles, const int *which,
                               const double *const *x, int n, int m, double *out)
{
    constexpr int T = 4 / (kW / (sizeof(V) / sizeof(double)));
    int j = 0;
    for (; j + T <= n; j += T)
        pair_sizes_step<V, T>(tiles, tile_doubles, which, x, j, m, out);
    for (; j < n; ++j)
        pair_sizes_step<V, 1>(tiles, tile_doubles, which, x, j, m, out);
}

// Bounds of n consecutive bound tiles (lower, upper and width rows per
// feature, see NodeBlock::Groups) for R patterns x[r] into out[r][kW * j ..]:
// per feature the larger of the smallest width and the join term of the
// bounds. T tiles at a time, so that R * T * (kW / L) sums are in flight.
template <typename V, int R, int T>
QUORV_INLINE void bound_sizes_step(const double *tiles, int j, int m, const double *const *x, double *const *out)
{
    constexpr int L = sizeof(V) / sizeof(double), P = kW / L;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    const double *a = tiles + static_cast<std::size_t>(j) * bound_doubles;
    V s[R][T][P] = {};
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 3 * kW * static_cast<std::size_t>(i);
#pragma GCC unroll 4
        for (int h = 0; h < T; ++h)
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p) {
                const double *b = a + h * bound_doubles + row + L * p;
                V lo, up, width;
                load_v(&lo, b);
                load_v(&up, b + kW);
                load_v(&width, b + 2 * kW);
#pragma GCC unroll 4
                for (int r = 0; r < R; ++r) {
                    V xi;
                    broadcast_v(&xi, x[r][i]);
                    const V join_lower = xi > lo ? lo : xi;
                    const V join_upper = xi > up ? xi : up;  // as in grow_v
                    V term;
                    difference(&term, join_upper, join_lower);
                    accumulate(&s[r][h][p], term > width ? term : width);
                }
            }
    }
    for (int r = 0; r < R; ++r)
        std::memcpy(out[r] + kW * j, s[r], sizeof s[r]);
}

// For one pattern four sums in flight; for four, eight.
template <typename V, int R>
QUORV_INLINE void bound_sizes_v(const double *tiles, int n, int m, const double *const *x, double *const *out)
{
    constexpr int T = (R == 1 ? 4 : 2) / (kW / (sizeof(V) / sizeof(double)));
    int j = 0;
    for (; j + T <= n; j += T)
        bound_sizes_step<V, R, T>(tiles, j, m, x, out);
    for (; j < n; ++j)
        bound_sizes_step<V, R, 1>(tiles, j, m, x, out);
}

template <typename V, int T>
using Sums4 = V[4][T][kW / (sizeof(V) / sizeof(double))];

// The sums of four patterns x[r] with T tiles a[h]: s[r][h] their sizes.
template <typename V, int T>
QUORV_INLINE void sums4(const double *const *a, int m, const double *const *x, Sums4<V, T> &s)
{
    constexpr int L = sizeof(V) / sizeof(double), P = kW / L;
    for (int i = 0; i < m; ++i) {
        const std::size_t row = 2 * kW * static_cast<std::size_t>(i);
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r) {
            V xi;
            broadcast_v(&xi, x[r][i]);
#pragma GCC unroll 2
            for (int h = 0; h < T; ++h)
#pragma GCC unroll 2
                for (int p = 0; p < P; ++p)
                    grow_v(&s[r][h][p], xi, a[h] + row + L * p, a[h] + row + kW + L * p);
        }
    }
}

template <typename V, int T>
QUORV_INLINE void tile_sizes4_step(const double *tiles, std::size_t tile_doubles, const int *which, int j, int m,
                                   const double *const *x, double *const *out)
{
    const double *a[T];
    for (int h = 0; h < T; ++h)
        a[h] = tiles + static_cast<std::size_t>(which[j + h]) * tile_doubles;
    Sums4<V, T> s = {};
    sums4<V, T>(a, m, x, s);
    for (int r = 0; r < 4; ++r)
        std::memcpy(out[r] + kW * j, s[r], sizeof s[r]);
}

// Sizes of n tiles (which[j]) for four patterns at once: each row of a tile,
// loaded once, serves all four, eight vectors of sums in flight (one tile at
// a time in vectors of four nodes, two in vectors of eight; a last odd tile
// alone). Pattern r's sizes go to out[r][kW * j ..].
template <typename V>
QUORV_INLINE void tile_sizes4_v(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                                const double *const *x, double *const *out)
{
    constexpr int T = 2 / (kW / (sizeof(V) / sizeof(double)));
    int j = 0;
    for (; j + T <= n; j += T)
        tile_sizes4_step<V, T>(tiles, tile_doubles, which, j, m, x, out);
    for (; j < n; ++j)
        tile_sizes4_step<V, 1>(tiles, tile_doubles, which, j, m, x, out);
}

QUORV_AVX2 QUORV_FLAT void tile_sizes_avx2(const double *tiles, std::size_t tile_doubles, const int *which, int n,
                                           int m, const double *x, double *out)
{
    tile_sizes_v<V4>(tiles, tile_doubles, which, n, m, x, out);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void tile_sizes_avx512(const double *tiles, std::size_t tile_doubles, const int *which, int n,
                                               int m, const double *x, double *out)
{
    tile_sizes_v<V8>(tiles, tile_doubles, which, n, m, x, out);
    _mm256_zeroupper();
}

QUORV_AVX2 QUORV_FLAT void tile_sizes4_avx2(const double *tiles, std::size_t tile_doubles, const int *which, int n,
                                            int m, const double *const *x, double *const *out)
{
    tile_sizes4_v<V4>(tiles, tile_doubles, which, n, m, x, out);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void tile_sizes4_avx512(const double *tiles, std::size_t tile_doubles, const int *which, int n,
                                                int m, const double *const *x, double *const *out)
{
    tile_sizes4_v<V8>(tiles, tile_doubles, which, n, m, x, out);
    _mm256_zeroupper();
}

QUORV_AVX2 QUORV_FLAT void pair_sizes_avx2(const double *tiles, std::size_t tile_doubles, const int *which,
                                           const double *const *x, int n, int m, double *out)
{
    pair_sizes_v<V4>(tiles, tile_doubles, which, x, n, m, out);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void pair_sizes_avx512(const double *tiles, std::size_t tile_doubles, const int *which,
                                               const double *const *x, int n, int m, double *out)
{
    pair_sizes_v<V8>(tiles, tile_doubles, which, x, n, m, out);
    _mm256_zeroupper();
}

// One bound tile for r of the patterns x[0..r-1], 1 <= r <= 4.
template <typename V>
QUORV_INLINE void bound_tile_v(const double *tile, int m, const double *const *x, double *const *out, int r)
{
    if (r == 1)
        bound_sizes_step<V, 1, 1>(tile, 0, m, x, out);
    else if (r == 2)
        bound_sizes_step<V, 2, 1>(tile, 0, m, x, out);
    else if (r == 3)
        bound_sizes_step<V, 3, 1>(tile, 0, m, x, out);
    else
        bound_sizes_step<V, 4, 1>(tile, 0, m, x, out);
}

QUORV_AVX2 QUORV_FLAT void bound_tile_avx2(const double *tile, int m, const double *const *x, double *const *out,
                                           int r)
{
    bound_tile_v<V4>(tile, m, x, out, r);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void bound_tile_avx512(const double *tile, int m, const double *const *x,
                                               double *const *out, int r)
{
    bound_tile_v<V8>(tile, m, x, out, r);
    _mm256_zeroupper();
}

QUORV_AVX2 QUORV_FLAT void bound_sizes_avx2(const double *tiles, int n, int m, const double *x, double *out)
{
    bound_sizes_v<V4, 1>(tiles, n, m, &x, &out);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void bound_sizes_avx512(const double *tiles, int n, int m, const double *x, double *out)
{
    bound_sizes_v<V8, 1>(tiles, n, m, &x, &out);
    _mm256_zeroupper();
}

QUORV_AVX2 QUORV_FLAT void bound_sizes4_avx2(const double *tiles, int n, int m, const double *const *x,
                                             double *const *out)
{
    bound_sizes_v<V4, 4>(tiles, n, m, x, out);
    _mm256_zeroupper();
}

QUORV_AVX512 QUORV_FLAT void bound_sizes4_avx512(const double *tiles, int n, int m, const double *const *x,
                                                 double *const *out)
{
    bound_sizes_v<V8, 4>(tiles, n, m, x, out);
    _mm256_zeroupper();
}

// Classification with AVX-512: as winners_avx2, four patterns against two
// tiles at a time (eight sums in flight, as there), each tile one vector of
// eight nodes; lane j of best/at keeps the first smallest size among the
// nodes at lane j of every tile. The two tiles of a pass are taken in turn,
// so the lower-numbered node still wins a tie.
QUORV_AVX512 QUORV_FLAT void winners_avx512(const double *tiles, std::size_t tile_doubles, int tiles_n, int m,
                                            const double *const *patterns, int n, int *winners, double *sizes)
{
    constexpr int T = 2;
    int batch = m > 0 ? 1024 / m : kMaxBatch;
    batch = batch < 4 ? 4 : batch > kMaxBatch ? kMaxBatch : batch & ~3;
    alignas(64) double best[kMaxBatch][kW];
    alignas(64) double at[kMaxBatch][kW];
    for (int p0 = 0; p0 < n; p0 += batch) {
        const int nb = n - p0 < batch ? n - p0 : batch;
        const int groups = (nb + 3) / 4;
        for (int r = 0; r < 4 * groups; ++r)
            for (int j = 0; j < kW; ++j) {
                best[r][j] = m;
                at[r][j] = -1.0;
            }
        for (int t = 0; t < tiles_n; t += T) {
            // An odd last tile is sized twice; the second sums are dropped.
            const int pair = t + T <= tiles_n ? T : tiles_n - t;
            const double *a[T];
            V8 number[T];
            for (int h = 0; h < T; ++h) {
                a[h] = tiles + (h < pair ? t + h : t) * tile_doubles;
                for (int j = 0; j < kW; ++j)
                    number[h][j] = static_cast<double>((t + h) * kW + j);
            }
            for (int g = 0; g < groups; ++g) {
                const int q = p0 + 4 * g;
                // A short last group repeats its last pattern; those results are dropped.
                const double *x[4];
                for (int r = 0; r < 4; ++r)
                    x[r] = patterns[q + r < n ? q + r : n - 1];
                Sums4<V8, T> s = {};
                sums4<V8, T>(a, m, x, s);
                for (int r = 0; r < 4; ++r) {
                    double *b = best[4 * g + r];
                    double *w = at[4 * g + r];
                    V8 kept, kept_at;
                    load_v(&kept, b);
                    load_v(&kept_at, w);
                    for (int h = 0; h < pair; ++h) {
                        const auto smaller = s[r][h][0] < kept;  // NaN compares false
                        kept = smaller ? s[r][h][0] : kept;
                        kept_at = smaller ? number[h] : kept_at;
                    }
                    std::memcpy(b, &kept, sizeof kept);
                    std::memcpy(w, &kept_at, sizeof kept_at);
                }
            }
        }
        _mm256_zeroupper();
        for (int r = 0; r < nb; ++r)
            winners[p0 + r] = pick(best[r], at[r], kW, sizes ? sizes + p0 + r : nullptr);
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
    if (path == SearchPath::Avx512)
        return processor_has_avx512();
    return path != SearchPath::Avx2 || processor_has_avx2();
}

bool search_pruning() { return pruning_on(); }
void set_search_pruning(bool on) { pruning_on() = on; }

bool set_search_path(SearchPath path)
{
    if (!search_path_available(path))
        return false;
    current_path() = path;
    flat_avx512() = true;
    return true;
}

int search_winner(Node *const *nodes, NodeBlock &block, const double *pattern, std::int64_t host_per_join,
                  const double *next, int pattern_index)
{
    const int count = block.count();
    // A few nodes are joined sooner than searched and then joined again.
    if (current_path() == SearchPath::Straight || count < 4)
        return straight_winner(nodes, count, pattern, host_per_join, nullptr);
    const int winner = block.find_winner_ahead(pattern, next, nullptr, pattern_index);
    // Only the winner's trial box is ever used.
    if (winner >= 0)
        nodes[winner]->join_uncounted(pattern);
    count_joins(count);
    add_host_flops(count * host_per_join);
    return winner;
}

void prepare_winners(NodeBlock &block, int patterns)
{
    // Grouping costs about as much as ten plain searches per level of the
    // k-d split, and pays back less than one search per pattern where the
    // groups prune well; where they cannot prune (boxes spread at random) it
    // is lost. Only enough patterns make it worth the risk.
    int levels = 0;
    for (int tiles = block.count() / kW; tiles > 1; tiles = (tiles + 1) / 2)
        ++levels;
    if (pruning_on() && current_path() != SearchPath::Straight && block.count() >= kGroupMin &&
        patterns >= 64 * levels)
        block.regroup_on_search();
}

void search_winners(Node *const *nodes, NodeBlock &block, const double *const *patterns, int n,
                    int *winners, double *sizes)
{
    const int count = block.count();
    if (current_path() == SearchPath::Straight) {
        for (int p = 0; p < n; ++p)
            winners[p] = straight_winner(nodes, count, patterns[p], 0, sizes + p);
        return;
    }
    block.find_winners(patterns, n, winners, sizes, search_threads());
    count_joins(static_cast<std::int64_t>(n) * count);
}

void count_joins(std::int64_t joins)
{
    const std::int64_t m = Node::params.M;
    Node::count_ops(joins * (2 * m + 1), joins * (2 * m));
}

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

// Sizes of n tiles of one pattern: tile which[j] (j when which is null) into
// out[kW * j ..], by the kernel of the current path.
void tile_sizes(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m, const double *x,
                double *out)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return tile_sizes_avx512(tiles, tile_doubles, which, n, m, x, out);
    if (use_avx2())
        return tile_sizes_avx2(tiles, tile_doubles, which, n, m, x, out);
#endif
    for (int j = 0; j < n; ++j)
        tile_sizes_scalar(tiles + static_cast<std::size_t>(which ? which[j] : j) * tile_doubles, kW, m, x,
                          out + kW * j);
}

void tile_sizes4(const double *tiles, std::size_t tile_doubles, const int *which, int n, int m,
                 const double *const *x, double *const *out)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return tile_sizes4_avx512(tiles, tile_doubles, which, n, m, x, out);
    if (use_avx2())
        return tile_sizes4_avx2(tiles, tile_doubles, which, n, m, x, out);
#endif
    for (int r = 0; r < 4; ++r)
        for (int j = 0; j < n; ++j)
            tile_sizes_scalar(tiles + static_cast<std::size_t>(which[j]) * tile_doubles, kW, m, x[r],
                              out[r] + kW * j);
}

// Sizes of n tiles, each with its own pattern: tile which[j] with x[j] into
// out[kW * j ..].
void pair_sizes(const double *tiles, std::size_t tile_doubles, const int *which, const double *const *x, int n,
                int m, double *out)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return pair_sizes_avx512(tiles, tile_doubles, which, x, n, m, out);
    if (use_avx2())
        return pair_sizes_avx2(tiles, tile_doubles, which, x, n, m, out);
#endif
    for (int j = 0; j < n; ++j)
        tile_sizes_scalar(tiles + static_cast<std::size_t>(which[j]) * tile_doubles, kW, m, x[j], out + kW * j);
}

void bound_sizes(const double *tiles, int n, int m, const double *x, double *out)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return bound_sizes_avx512(tiles, n, m, x, out);
    if (use_avx2())
        return bound_sizes_avx2(tiles, n, m, x, out);
#endif
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m);
    for (int j = 0; j < n; ++j) {
        const double *a = tiles + static_cast<std::size_t>(j) * bound_doubles;
        double *acc = out + kW * j;
        for (int l = 0; l < kW; ++l)
            acc[l] = 0.0;
        for (int i = 0; i < m; ++i) {
            const double xi = x[i];
            const double *r = a + 3 * kW * static_cast<std::size_t>(i);
            for (int l = 0; l < kW; ++l) {
                const double jl = xi > r[l] ? r[l] : xi;
                const double ju = xi >= r[kW + l] ? xi : r[kW + l];
                const double term = ju - jl;
                acc[l] += term > r[2 * kW + l] ? term : r[2 * kW + l];
            }
        }
    }
}

// bound_sizes for four patterns, pattern r's bounds into out[r][kW * j ..].
void bound_sizes4(const double *tiles, int n, int m, const double *const *x, double *const *out)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return bound_sizes4_avx512(tiles, n, m, x, out);
    if (use_avx2())
        return bound_sizes4_avx2(tiles, n, m, x, out);
#endif
    for (int r = 0; r < 4; ++r)
        bound_sizes(tiles, n, m, x[r], out[r]);
}

// Bounds of one bound tile for r of the patterns, x[0..r-1] into out[0..r-1].
void bound_tile(const double *tile, int m, const double *const *x, double *const *out, int r)
{
#if QUORV_SEARCH_X86
    if (use_avx512())
        return bound_tile_avx512(tile, m, x, out, r);
    if (use_avx2())
        return bound_tile_avx2(tile, m, x, out, r);
#endif
    for (int e = 0; e < r; ++e)
        bound_sizes(tile, 1, m, x[e], out[e]);
}

bool all_finite(const double *x, int m)
{
    for (int i = 0; i < m; ++i)
        if (!std::isfinite(x[i]))
            return false;
    return true;
}

// One split of kd_split: order[begin, end) parted at the returned place
// (begin + a whole number of runs), nearer centres on each side; end when the
// range is too small to split.
int kd_split_once(int *order, int begin, int end, const double *centres, int m, std::pair<double, int> *keys)
{
    const int n = end - begin;
    if (n <= kW)
        return end;
    int feature = 0;
    double widest = -1.0;
    // The widest feature of a large range is judged on an even sample of
    // about kSpreadSample of its nodes: which feature splits changes only
    // how well the groups prune, never a result.
    constexpr int kSpreadSample = 8;
    const int step = n > 2 * kSpreadSample ? n / kSpreadSample : 1;
    // Eight features at a time, each node's centres read as one run: the
    // same spreads as feature by feature (lo = c < lo ? c : lo is minpd,
    // hi = c > hi ? c : hi maxpd), for far less work.
    constexpr int kChunk = 8;
    for (int i0 = 0; i0 < m; i0 += kChunk) {
        const int w = m - i0 < kChunk ? m - i0 : kChunk;
        alignas(16) double lo[kChunk], hi[kChunk];
        const double *first = centres + static_cast<std::size_t>(order[begin]) * m + i0;
        for (int i = 0; i < w; ++i)
            lo[i] = hi[i] = first[i];
        int j = begin + step;
#if QUORV_SEARCH_X86
        if (w == kChunk) {
            __m128d l[4], h[4];
            for (int v = 0; v < 4; ++v) {
                l[v] = _mm_load_pd(lo + 2 * v);
                h[v] = l[v];
            }
            for (; j < end; j += step) {
                const double *c = centres + static_cast<std::size_t>(order[j]) * m + i0;
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
            const double *c = centres + static_cast<std::size_t>(order[j]) * m + i0;
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
    const int run = n > kW * kW ? kW * kW : kW;
    const int half = (n / 2 + run - 1) / run * run;
    // The split works on (centre, node) pairs in a run of their own rather
    // than reading the centres through the order, all over memory.
    for (int j = begin; j < end; ++j)
        keys[j] = {centres[static_cast<std::size_t>(order[j]) * m + feature], order[j]};
    std::nth_element(keys + begin, keys + begin + half, keys + end,
                     [](const std::pair<double, int> &a, const std::pair<double, int> &b) {
                         return a.first < b.first;
                     });
    for (int j = begin; j < end; ++j)
        order[j] = keys[j].second;
    return begin + half;
}

// Orders order[begin, end) so that every run of kW nodes from `begin` on, and
// every run of kW * kW, holds nodes whose centres lie close together: each
// range is split at a whole number of runs near its middle, across the
// feature whose centres spread widest.
void kd_split(int *order, int begin, int end, const double *centres, int m, std::pair<double, int> *keys)
{
    const int middle = kd_split_once(order, begin, end, centres, m, keys);
    if (middle == end)
        return;
    kd_split(order, begin, middle, centres, m, keys);
    kd_split(order, middle, end, centres, m, keys);
}

// kd_split over order[0, n); without memory for its pairs the order stays
// as it is, which only makes the groups prune less.
void kd_order(int *order, int n, const double *centres, int m)
{
    std::unique_ptr<std::pair<double, int>[]> keys(new (std::nothrow) std::pair<double, int>[n > 0 ? n : 1]);
    if (keys)
        kd_split(order, 0, n, centres, m, keys.get());
}

}  // namespace

// The grouped copy of the first `count` nodes.
struct NodeBlock::Groups {
    int count = 0;
    int tiles = 0;        // tiles of nodes
    int groups = 0;       // groups of kW tiles
    int group_tiles = 0;  // tiles of group bounds
    double *nodes = nullptr;         // node bounds, tile by tile, in group order
    // Bound tiles: per feature a row of kW largest lower bounds, one of kW
    // smallest upper bounds and one of kW smallest widths (upper - lower).
    double *tile_bounds = nullptr;   // one bound tile per group: lane j bounds its tile j
    double *group_bounds = nullptr;  // lane j of bound tile q bounds group kW * q + j
    int *slot_node = nullptr;        // node number in each slot; INT_MAX when empty
    int *node_slot = nullptr;        // slot of each node
    int *tile_first = nullptr;       // lowest node number of each tile
    int *group_first = nullptr;      // lowest node number of each group
    // Smallest size (widths summed in feature order) of the boxes of each
    // tile and group, no more than any member's join size: every term of a
    // join is at least the width in its feature. 0 with an unsound box.
    double *tile_least = nullptr;
    double *group_least = nullptr;

    ~Groups()
    {
        delete_doubles(nodes);
        delete_doubles(tile_bounds);
        delete_doubles(group_bounds);
        delete[] slot_node;
        delete[] node_slot;
        delete[] tile_first;
        delete[] group_first;
        delete[] tile_least;
        delete[] group_least;
    }
};

// What one searching thread needs besides the block.
struct NodeBlock::Scratch {
    double *group_sizes = nullptr;  // 5 x group_tiles x kW
    int *order = nullptr;
    std::int64_t sized = 0;  // nodes sized within the groups

    ~Scratch()
    {
        delete_doubles(group_sizes);
        delete[] order;
    }
    static Scratch *make(const Groups &g)
    {
        Scratch *s = new (std::nothrow) Scratch;
        if (!s)
            return nullptr;
        // Room for four patterns' group bounds and their least (see winners4).
        s->group_sizes = new_doubles(5 * static_cast<std::size_t>(g.group_tiles) * kW);
        s->order = new (std::nothrow) int[static_cast<std::size_t>(g.groups)];
        if (!s->group_sizes || !s->order) {
            delete s;
            return nullptr;
        }
        return s;
    }
};

NodeBlock::NodeBlock(int m) : m_(m > 0 ? m : 0), tile_doubles_(2 * kW * static_cast<std::size_t>(m_)) {}

NodeBlock::~NodeBlock()
{
    forget_groups();
    delete_doubles(tiles_);
    delete_doubles(ahead_sizes_);
    delete[] memos_;
    delete[] log_;
    delete_doubles(journal_);
    delete[] changed_at_;
}

void NodeBlock::forget_groups()
{
    delete scratch_;
    scratch_ = nullptr;
    delete groups_;
    groups_ = nullptr;
}

int NodeBlock::grouped() const { return groups_ ? groups_->count : 0; }

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
    auto *changed_at = new (std::nothrow) std::int64_t[static_cast<std::size_t>(tiles) * kW];
    if (!grown || !changed_at) {
        delete_doubles(grown);
        delete[] changed_at;
        return false;
    }
    for (std::size_t k = 0; k < static_cast<std::size_t>(tiles) * kW; ++k)
        changed_at[k] = k < static_cast<std::size_t>(count_) ? changed_at_[k] : 0;
    delete[] changed_at_;
    changed_at_ = changed_at;
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
    note_change(count_ - 1);
    return true;
}

bool NodeBlock::add_slots(int nodes)
{
    if (nodes > std::numeric_limits<int>::max() - count_ || !reserve(count_ + nodes))
        return false;
    count_ += nodes;
    return true;
}

void NodeBlock::note_change(int k)
{
    ++epoch_;
    changed_at_[k] = epoch_;
    if (!log_)
        return;
    const std::size_t at = static_cast<std::size_t>(epoch_ % log_capacity_);
    log_[at] = k;
    if (journal_) {
        const double *from = tile(k / kW) + k % kW;
        double *to = journal_ + at / kW * tile_doubles_ + at % kW;
        for (std::size_t i = 0; i < tile_doubles_; i += kW)
            to[i] = from[i];
    }
}

bool NodeBlock::remember(int patterns)
{
    delete[] memos_;
    delete[] log_;
    delete_doubles(journal_);
    memos_ = nullptr;
    log_ = nullptr;
    journal_ = nullptr;
    memo_count_ = 0;
    if (patterns <= 0)
        return true;
    // Between two searches of one pattern come the searches of all others,
    // each followed by at most one change (a node learns or is appended).
    const std::int64_t capacity = (2 * static_cast<std::int64_t>(patterns) + 64 + kW - 1) / kW * kW;  // whole tiles
    memos_ = new (std::nothrow) Memo[static_cast<std::size_t>(patterns)];
    log_ = new (std::nothrow) int[static_cast<std::size_t>(capacity)];
    if (!memos_ || !log_) {
        delete[] memos_;
        delete[] log_;
        memos_ = nullptr;
        log_ = nullptr;
        return false;
    }
    for (int p = 0; p < patterns; ++p)
        memos_[p] = Memo{-1, 0.0, -1};
    memo_count_ = patterns;
    log_capacity_ = capacity;
    // The changed boxes in tiles of their own, in the order of the log, when
    // that is not too large: replaying then sizes them by the vector kernels
    // in order rather than one by one from all over the tiles (the same
    // sizes). Entries not yet written hold NaN bounds.
    const std::size_t journal = static_cast<std::size_t>(capacity / kW) * tile_doubles_;
    if (m_ > 0 && journal <= kJournalDoubles && (journal_ = new_doubles(journal)) != nullptr)
        std::fill(journal_, journal_ + journal, std::numeric_limits<double>::quiet_NaN());
    // Changes before now are not in the log: memos start from here.
    ++epoch_;
    return true;
}

namespace {

// Makes the bounds in lane `lane` of a bound tile hold for one more box: the
// largest lower bound, the smallest upper bound and the smallest width so
// far. A box the bounds cannot serve makes them +inf, -inf and 0, sized 0 by
// any finite pattern, and so they stay.
void take_in(double *bound_tile, int lane, int m, const double *lower, const double *upper, bool sound)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (int i = 0; i < m; ++i) {
        double *lo = bound_tile + 3 * kW * static_cast<std::size_t>(i) + lane;
        double *up = lo + kW;
        double *width = lo + 2 * kW;
        if (!sound) {
            *lo = inf;
            *up = -inf;
            *width = 0.0;
        } else {
            const double w = upper[i] - lower[i];
            *lo = lower[i] > *lo ? lower[i] : *lo;
            *up = upper[i] < *up ? upper[i] : *up;
            *width = w < *width ? w : *width;
        }
    }
}

// Widths summed in feature order from 0.0, as a join sums its terms.
double box_size(const double *lower, const double *upper, int m)
{
    double size = 0.0;
    for (int i = 0; i < m; ++i)
        size += upper[i] - lower[i];
    return size;
}

// A box the group bounds hold for: finite, lower <= upper in every feature.
bool sound_box(const double *lower, const double *upper, int m)
{
    for (int i = 0; i < m; ++i)
        if (!(std::isfinite(lower[i]) && std::isfinite(upper[i]) && lower[i] <= upper[i]))
            return false;
    return true;
}

}  // namespace

void NodeBlock::refresh(int k, const Node &node)
{
    const double *old = tile(k / kW) + k % kW;
    bool changed = false;
    for (int i = 0; i < m_ && !changed; ++i)
        changed = std::memcmp(old + 2 * kW * static_cast<std::size_t>(i), node.lower + i, sizeof(double)) != 0 ||
                  std::memcmp(old + 2 * kW * static_cast<std::size_t>(i) + kW, node.upper + i, sizeof(double)) != 0;
    if (!changed)
        return;  // learn left the box as it was
    store(k, node);
    note_change(k);
    // Sizes looked ahead stay of use while only one node has changed.
    if (ahead_dirty_ >= 0 && ahead_dirty_ != k)
        ahead_ = nullptr;
    ahead_dirty_ = k;
    Groups *g = groups_;
    if (!g || k >= g->count)
        return;
    // learn moves bounds outward (or by a rounding either way): the bounds
    // of the node's tile and group widen to hold the new box.
    const int slot = g->node_slot[k];
    double *lo = g->nodes + static_cast<std::size_t>(slot / kW) * tile_doubles_ + slot % kW;
    for (int i = 0; i < m_; ++i) {
        lo[2 * kW * static_cast<std::size_t>(i)] = node.lower[i];
        lo[2 * kW * static_cast<std::size_t>(i) + kW] = node.upper[i];
    }
    const bool sound = sound_box(node.lower, node.upper, m_);
    const int t = slot / kW;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m_);
    take_in(g->tile_bounds + static_cast<std::size_t>(t / kW) * bound_doubles, t % kW, m_, node.lower, node.upper,
            sound);
    const int q = t / kW;
    take_in(g->group_bounds + static_cast<std::size_t>(q / kW) * bound_doubles, q % kW, m_, node.lower, node.upper,
            sound);
    const double least = sound ? box_size(node.lower, node.upper, m_) : 0.0;
    g->tile_least[t] = least < g->tile_least[t] ? least : g->tile_least[t];
    g->group_least[q] = least < g->group_least[q] ? least : g->group_least[q];
}

// A regroup in three steps: begin, then the parts, in any order and on any
// threads (they write disjoint tiles and groups), then end. The first splits
// of the k-d order, made at the beginning, part the nodes; each part orders
// its own further and fills its tiles and groups.
struct NodeBlock::Regrouping {
    Groups *g = nullptr;
    int *order = nullptr;
    double *centres = nullptr;  // each node's lower bounds, then its upper bounds
    std::pair<double, int> *keys = nullptr;
    int k = 0, sound = 0, sound_tiles = 0;
    // Part i is nodes split[i] .. split[i + 1] - 1 of the order: sound boxes
    // split at whole groups, the others with the last part.
    static constexpr int kMostParts = 4;
    int parts = 0;
    int split[kMostParts + 1] = {};

    ~Regrouping()
    {
        delete g;
        delete[] order;
        delete[] centres;
        delete[] keys;
    }
};

bool NodeBlock::regroup()
{
    Regrouping r;
    if (!regroup_begin(r))
        return false;
    for (int part = 0; part < r.parts; ++part)
        regroup_part(r, part);
    return regroup_end(r);
}

bool NodeBlock::regroup_begin(Regrouping &r)
{
    forget_groups();
    tail_work_ = 0;
    searched_ = 0;
    sized_ = 0;
    const int k = count_;
    r.k = k;
    if (k == 0 || m_ == 0)
        return true;  // nothing to group: r.g stays null
    const std::size_t m = static_cast<std::size_t>(m_);
    r.order = new (std::nothrow) int[static_cast<std::size_t>(k)];
    r.centres = new (std::nothrow) double[static_cast<std::size_t>(k) * 2 * m];
    r.keys = new (std::nothrow) std::pair<double, int>[static_cast<std::size_t>(k)];
    Groups *g = r.g = new (std::nothrow) Groups;
    if (!(r.order && r.centres && r.keys && g))
        return false;
    // Centres copied tile by tile, so that the tiles are read in storage order.
    for (int t = 0; t < tile_count(); ++t) {
        const double *a = tile(t);
        const int lanes = k - t * kW < kW ? k - t * kW : kW;
        double *c = r.centres + static_cast<std::size_t>(t) * kW * 2 * m;
        for (std::size_t i = 0; i < m; ++i)
            for (int l = 0; l < lanes; ++l) {
                c[l * 2 * m + i] = a[2 * kW * i + l];
                c[l * 2 * m + m + i] = a[2 * kW * i + kW + l];
            }
    }
    // Boxes the bounds hold for first, then the others in tiles of their
    // own, each in node order.
    int unsound = 0;
    for (int j = 0; j < k; ++j) {
        const double *c = r.centres + static_cast<std::size_t>(j) * 2 * m;
        if (sound_box(c, c + m, m_))
            r.order[r.sound++] = j;
        else
            r.order[k - 1 - unsound++] = j;
    }
    std::reverse(r.order + r.sound, r.order + k);
    // The first splits of the k-d order make the parts, where the sound
    // boxes are more than a group.
    r.parts = 1;
    r.split[1] = r.sound;
    while (r.parts < Regrouping::kMostParts) {
        int parts = 0, split[Regrouping::kMostParts + 1] = {};
        for (int part = 0; part < r.parts; ++part) {
            const int begin = r.split[part], end = r.split[part + 1];
            split[parts++] = begin;
            if (end - begin > kW * kW)
                split[parts++] = kd_split_once(r.order, begin, end, r.centres, 2 * m_, r.keys);
        }
        if (parts == r.parts)
            break;
        split[parts] = r.sound;
        r.parts = parts;
        std::copy(split, split + parts + 1, r.split);
    }
    r.split[r.parts] = k;

    r.sound_tiles = (r.sound + kW - 1) / kW;
    g->count = k;
    g->tiles = r.sound_tiles + (k - r.sound + kW - 1) / kW;
    g->groups = (g->tiles + kW - 1) / kW;
    g->group_tiles = (g->groups + kW - 1) / kW;
    g->nodes = new_doubles(static_cast<std::size_t>(g->tiles) * tile_doubles_);
    const std::size_t bound_doubles = 3 * kW * m;
    g->tile_bounds = new_doubles(static_cast<std::size_t>(g->groups) * bound_doubles);
    g->group_bounds = new_doubles(static_cast<std::size_t>(g->group_tiles) * bound_doubles);
    g->slot_node = new (std::nothrow) int[static_cast<std::size_t>(g->tiles) * kW];
    g->node_slot = new (std::nothrow) int[static_cast<std::size_t>(k)];
    g->tile_first = new (std::nothrow) int[static_cast<std::size_t>(g->tiles)];
    g->group_first = new (std::nothrow) int[static_cast<std::size_t>(g->groups)];
    g->tile_least = new (std::nothrow) double[static_cast<std::size_t>(g->groups) * kW];
    g->group_least = new (std::nothrow) double[static_cast<std::size_t>(g->groups)];
    if (!(g->tile_least && g->group_least && g->nodes && g->tile_bounds && g->group_bounds && g->slot_node &&
          g->node_slot && g->tile_first && g->group_first))
        return false;
    // Group bounds start empty; lanes past the last group stay NaN and are
    // never read.
    std::fill(g->group_bounds, g->group_bounds + static_cast<std::size_t>(g->group_tiles) * bound_doubles,
              std::numeric_limits<double>::quiet_NaN());
    empty_bounds(g->group_bounds, 0, g->groups, g->group_first, g->group_least);
    return true;
}

// Bounds j of [first, last) (lane j % kW of bound tile j / kW) made empty:
// lower -inf, upper and width +inf, and no member.
void NodeBlock::empty_bounds(double *bounds, int first, int last, int *first_node, double *least) const
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m_);
    for (int j = first; j < last; ++j) {
        double *lo = bounds + static_cast<std::size_t>(j / kW) * bound_doubles + j % kW;
        for (int i = 0; i < m_; ++i) {
            lo[3 * kW * i] = -inf;
            lo[3 * kW * i + kW] = inf;
            lo[3 * kW * i + 2 * kW] = inf;
        }
        first_node[j] = std::numeric_limits<int>::max();
        least[j] = inf;
    }
}

void NodeBlock::regroup_part(Regrouping &r, int part) const
{
    Groups *g = r.g;
    if (!g)
        return;
    const std::size_t m = static_cast<std::size_t>(m_);
    const std::size_t bound_doubles = 3 * kW * m;
    // Nodes [p0, p1) of the order; their tiles and groups (the last part's
    // run to the end).
    const int p0 = r.split[part], p1 = r.split[part + 1];
    const bool last = part == r.parts - 1;
    kd_split(r.order, p0, p1 < r.sound ? p1 : r.sound, r.centres, 2 * m_, r.keys);
    const int t0 = p0 / kW, t1 = last ? g->tiles : p1 / kW;
    const int q0 = t0 / kW, q1 = last ? g->groups : t1 / kW;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::fill(g->nodes + static_cast<std::size_t>(t0) * tile_doubles_,
              g->nodes + static_cast<std::size_t>(t1) * tile_doubles_, nan);
    std::fill(g->slot_node + static_cast<std::size_t>(t0) * kW, g->slot_node + static_cast<std::size_t>(t1) * kW,
              std::numeric_limits<int>::max());
    // Tile bounds start empty; lanes past the last tile stay NaN, and have
    // an infinite least size.
    std::fill(g->tile_bounds + static_cast<std::size_t>(q0) * bound_doubles,
              g->tile_bounds + static_cast<std::size_t>(q1) * bound_doubles, nan);
    empty_bounds(g->tile_bounds, t0, t1, g->tile_first, g->tile_least);
    if (q1 == g->groups)
        std::fill(g->tile_least + g->tiles, g->tile_least + static_cast<std::size_t>(g->groups) * kW, inf);
    for (int p = p0; p < p1; ++p) {
        const int j = r.order[p];
        const bool is_sound = p < r.sound;
        const int slot = is_sound ? p : r.sound_tiles * kW + (p - r.sound);
        const double *lower = r.centres + static_cast<std::size_t>(j) * 2 * m, *upper = lower + m;
        double *to = g->nodes + static_cast<std::size_t>(slot / kW) * tile_doubles_ + slot % kW;
        for (std::size_t i = 0; i < m; ++i) {
            to[2 * kW * i] = lower[i];
            to[2 * kW * i + kW] = upper[i];
        }
        g->slot_node[slot] = j;
        g->node_slot[j] = slot;
        const int t = slot / kW, q = t / kW;
        take_in(g->tile_bounds + static_cast<std::size_t>(q) * bound_doubles, t % kW, m_, lower, upper, is_sound);
        g->tile_first[t] = j < g->tile_first[t] ? j : g->tile_first[t];
        const double least = is_sound ? box_size(lower, upper, m_) : 0.0;
        g->tile_least[t] = least < g->tile_least[t] ? least : g->tile_least[t];
    }
    // A group's bounds are those of its tiles taken together: the largest
    // and smallest of the same numbers, in any order.
    for (int t = t0; t < t1; ++t) {
        const int q = t / kW;
        const double *from = g->tile_bounds + static_cast<std::size_t>(q) * bound_doubles + t % kW;
        double *to = g->group_bounds + static_cast<std::size_t>(q / kW) * bound_doubles + q % kW;
        for (std::size_t i = 0; i < 3 * m; i += 3) {
            const double lo = from[kW * i], up = from[kW * (i + 1)], width = from[kW * (i + 2)];
            to[kW * i] = lo > to[kW * i] ? lo : to[kW * i];
            to[kW * (i + 1)] = up < to[kW * (i + 1)] ? up : to[kW * (i + 1)];
            to[kW * (i + 2)] = width < to[kW * (i + 2)] ? width : to[kW * (i + 2)];
        }
        g->group_first[q] = g->tile_first[t] < g->group_first[q] ? g->tile_first[t] : g->group_first[q];
        g->group_least[q] = g->tile_least[t] < g->group_least[q] ? g->tile_least[t] : g->group_least[q];
    }
}

bool NodeBlock::regroup_end(Regrouping &r)
{
    delete[] r.order;
    delete[] r.centres;
    delete[] r.keys;
    r.order = nullptr;
    r.centres = nullptr;
    r.keys = nullptr;
    if (!r.g)
        return true;
    scratch_ = Scratch::make(*r.g);
    if (!scratch_)
        return false;
    groups_ = r.g;
    r.g = nullptr;
    return true;
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

// The winner from the pattern's last search and the nodes changed since, or
// -2 when that is not known or would cost more than a search.
int NodeBlock::winner_since(const double *pattern, int pattern_index, double *size)
{
    const Memo &memo = memos_[pattern_index];
    const std::int64_t changes = epoch_ - memo.epoch;
    if (memo.epoch < 0 || changes >= log_capacity_ || changes > count_ / 4 ||
        (memo.node >= 0 && changed_at_[memo.node] > memo.epoch))
        return -2;
    double best = memo.node >= 0 ? memo.size : m_;
    int winner = memo.node;
    alignas(64) double sizes[kW * kW];
    const std::int64_t journal_tiles = log_capacity_ / kW;
    for (std::int64_t e = memo.epoch + 1; e <= epoch_;) {
        const std::int64_t at = e % log_capacity_;
        // Up to kW tiles of the journal from entry `at`'s, short of its end.
        const std::int64_t t = at / kW;
        const std::int64_t last = at + (epoch_ - e);  // entry of epoch_, unwrapped
        const int tiles = static_cast<int>(std::min<std::int64_t>({kW, journal_tiles - t, last / kW - t + 1}));
        if (journal_)
            tile_sizes(journal_ + static_cast<std::size_t>(t) * tile_doubles_, tile_doubles_, nullptr, tiles, m_,
                       pattern, sizes);
        for (std::int64_t j = at; j < (t + tiles) * kW && e <= epoch_; ++j, ++e) {
            const int k = log_[j];
            if (changed_at_[k] != e)
                continue;  // changed again later: sized at that entry
            const double s = journal_ ? sizes[j - t * kW] : node_size(k, pattern);
            if (s < best || (s == best && winner >= 0 && k < winner)) {
                best = s;
                winner = k;
            }
        }
    }
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

int NodeBlock::find_winner_ahead(const double *pattern, const double *next, double *size, int pattern_index)
{
    if (memos_ && pattern_index >= 0 && pattern_index < memo_count_ && pruning_on() && m_ > 0) {
        Memo &memo = memos_[pattern_index];
        double found = 0.0;
        int winner = winner_since(pattern, pattern_index, &found);
        if (winner == -2) {
            winner = find_winner_ahead(pattern, next, &found, -1);
            // A search looks ahead only for the pattern it was told of.
        } else {
            ahead_ = nullptr;
        }
        memo = Memo{epoch_, found, winner};
        if (winner >= 0 && size)
            *size = found;
        return winner;
    }
    if (pruning_on() && m_ > 0) {
        // Regroup once the nodes sized outside the groups since the last
        // time have cost about what a regroup does.
        tail_work_ += count_ - grouped();
        if (count_ >= kGroupMin && tail_work_ >= regroup_work_ * static_cast<std::int64_t>(count_))
            regroup();  // on failure, tried again after as much work
        // The groups pay while they leave most nodes unsized; where they do
        // not, search in full until the next regroup, which then waits
        // longer each time they fail.
        const bool paying = groups_ && sized_ * kPayingShare < searched_ * static_cast<std::int64_t>(groups_->count);
        // A trial that has already done more work than all of it may is
        // judged at once (the same judgement, sooner).
        if (groups_ && searched_ < kTrialSearches &&
            sized_ * kPayingShare >= (kTrialSearches + 1) * static_cast<std::int64_t>(groups_->count))
            searched_ = kTrialSearches;
        if (groups_ && searched_ == kTrialSearches) {
            regroup_work_ = paying ? kRegroupWork : std::min<std::int64_t>(4 * regroup_work_, 1024);
            ++searched_;  // judged once per regroup
        }
        if (groups_ && (searched_ < kTrialSearches || paying)) {
            ahead_ = nullptr;
            const std::int64_t before = scratch_->sized;
            const int winner = find_winner_in(pattern, size, scratch_);
            sized_ += scratch_->sized - before;
            ++searched_;
            return winner;
        }
    }
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
    return flat_winner(pattern, size);
}

int NodeBlock::winner_from_ahead(const double *pattern, double *size)
{
    ahead_ = nullptr;
    const int tiles = tile_count();
    if (tiles > ahead_capacity_)
        return flat_winner(pattern, size);
    if (ahead_dirty_ >= 0 && ahead_dirty_ < ahead_count_)
        ahead_sizes_[ahead_dirty_] = node_size(ahead_dirty_, pattern);
    for (int k = ahead_count_; k < count_; ++k)
        ahead_sizes_[k] = node_size(k, pattern);
    for (int k = count_; k < tiles * kW; ++k)
        ahead_sizes_[k] = std::numeric_limits<double>::quiet_NaN();
#if QUORV_SEARCH_X86
    return winner_of_sizes_avx2(ahead_sizes_, tiles, m_, size);
#else
    return flat_winner(pattern, size);
#endif
}

int NodeBlock::find_winner(const double *pattern, double *size) const
{
    if (pruning_on() && groups_ && scratch_)
        return find_winner_in(pattern, size, scratch_);
    return flat_winner(pattern, size);
}

// Every node sized, in node order.
int NodeBlock::flat_winner(const double *pattern, double *size) const
{
#if QUORV_SEARCH_X86
    if (use_avx2())
        return winner_avx2(tiles_, tile_doubles_, tile_count(), m_, pattern, size);
#endif
    return winner_scalar(tiles_, tile_doubles_, count_, m_, pattern, size);
}

// The winner with the groups: first the nodes added since they were made,
// in node order; then the groups, smallest bound first, and in each group the
// tiles, smallest bound first, each skipped when its bound shows that no
// member can beat the best so far. The best is compared as (size, node
// number), so that the lowest-numbered of equal sizes wins as in node order.
int NodeBlock::find_winner_in(const double *pattern, double *size, Scratch *scratch, int hint) const
{
    const Groups *g = groups_;
    if (!all_finite(pattern, m_)) {
        scratch->sized += count_;
        return flat_winner(pattern, size);
    }
    double best = m_;
    int winner = -1;
    alignas(64) double sizes[kW * kW];
    for (int t0 = g->count / kW; t0 < tile_count(); t0 += kW) {
        const int tiles = tile_count() - t0 < kW ? tile_count() - t0 : kW;
        tile_sizes(tile(t0), tile_doubles_, nullptr, tiles, m_, pattern, sizes);
        const int first = t0 * kW > g->count ? t0 * kW : g->count;
        const int last = (t0 + tiles) * kW < count_ ? (t0 + tiles) * kW : count_;
        for (int k = first; k < last; ++k)
            if (sizes[k - t0 * kW] < best) {
                best = sizes[k - t0 * kW];
                winner = k;
            }
    }

    // A likely winner sized first makes the best small from the start.
    if (hint >= 0 && hint < count_) {
        const double s = node_size(hint, pattern);
        if (s < best || (s == best && winner >= 0 && hint < winner)) {
            best = s;
            winner = hint;
        }
    }

    // For a finite pattern every bound is a number (0 for the bounds of
    // unsound boxes), so the order below is a strict weak one.
    double *bounds = scratch->group_sizes;
    int *order = scratch->order;
    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m_);
    bound_sizes(g->group_bounds, g->group_tiles, m_, pattern, bounds);
    // Bound tiles count as work too, one and a half node tiles each.
    std::int64_t sized = kBoundWork * g->group_tiles;
    // Groups above the best so far stay out of the order: the best only falls.
    int candidates = 0;
    for (int q = 0; q < g->groups; ++q) {
        bounds[q] = bounds[q] > g->group_least[q] ? bounds[q] : g->group_least[q];
        if (bounds[q] <= best)
            order[candidates++] = q;
    }
    std::sort(order, order + candidates, [bounds](int a, int b) { return bounds[a] < bounds[b]; });

    // No member can beat the best: a larger bound, or an equal one with every
    // member numbered above the winner (or no winner: then the best is M,
    // which no size reaches and wins).
    auto hopeless = [&](double bound, int first_node) {
        return bound > best || (bound == best && (winner < 0 || first_node > winner));
    };
    alignas(64) double tile_bounds[kW];
    for (int r = 0; r < candidates; ++r) {
        const int q = order[r];
        if (bounds[q] > best)
            break;  // so are all that follow
        if (hopeless(bounds[q], g->group_first[q]))
            continue;
        bound_sizes(g->tile_bounds + static_cast<std::size_t>(q) * bound_doubles, 1, m_, pattern, tile_bounds);
        sized += kBoundWork;
        for (int j = 0; j < kW && q * kW + j < g->tiles; ++j)
            tile_bounds[j] = tile_bounds[j] > g->tile_least[q * kW + j] ? tile_bounds[j] : g->tile_least[q * kW + j];
        const int t0 = q * kW;
        const int tiles = g->tiles - t0 < kW ? g->tiles - t0 : kW;
        // Two tiles at a time keep the kernel busy; a second tile may turn
        // out not to be needed, which costs time only.
        for (int j = 0; j < tiles;) {
            int pair[2];
            int n = 0;
            for (; j < tiles && n < 2; ++j)
                if (!hopeless(tile_bounds[j], g->tile_first[t0 + j]))
                    pair[n++] = t0 + j;
            if (n == 0)
                break;
            tile_sizes(g->nodes, tile_doubles_, pair, n, m_, pattern, sizes);
            sized += n * kW;
            for (int e = 0; e < n * kW; ++e) {
                const double s = sizes[e];
                if (s <= best) {
                    const int k = g->slot_node[pair[e / kW] * kW + e % kW];
                    if (s < best || (winner >= 0 && k < winner)) {
                        best = s;
                        winner = k;
                    }
                }
            }
        }
    }
    scratch->sized += sized;
    if (winner >= 0 && size)
        *size = best;
    return winner;
}

namespace {

// Bit j set where a[j] <= t, for the kW values a[0..kW-1] (never for NaN).
unsigned at_most(const double *a, double t)
{
    unsigned bits = 0;
#if QUORV_SEARCH_X86
    const __m128d b = _mm_set1_pd(t);
    for (int v = 0; v < kW / 2; ++v)
        bits |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(_mm_loadu_pd(a + 2 * v), b))) << (2 * v);
#else
    for (int j = 0; j < kW; ++j)
        bits |= static_cast<unsigned>(a[j] <= t) << j;
#endif
    return bits;
}

}  // namespace

// The winners of np <= 4 finite patterns, neighbours in space, searched
// together when every node is in the groups: each pattern keeps its own best,
// and each tile that any of them cannot rule out is sized for all four, its
// rows loaded once. The groups go in order of their smallest bound over the
// patterns. `hint` as for find_winner_in.
void NodeBlock::winners4(const double *const *patterns, int np, int *winners, double *sizes, Scratch *scratch,
                         int hint) const
{
    const Groups *g = groups_;
    const double *x[4];
    for (int r = 0; r < 4; ++r)
        x[r] = patterns[r < np ? r : np - 1];
    double best[4];
    int winner[4];
    for (int r = 0; r < 4; ++r) {
        best[r] = m_;
        winner[r] = -1;
    }
    auto better = [&](int r, double s, int k) {
        if (s < best[r] || (s == best[r] && winner[r] >= 0 && k < winner[r])) {
            best[r] = s;
            winner[r] = k;
        }
    };
    alignas(64) double node_sizes[4][kW * kW];
    double *out[4] = {node_sizes[0], node_sizes[1], node_sizes[2], node_sizes[3]};
    // The sizes of tiles which[0..n-1] are in; each pattern takes what beats its best.
    auto take_sizes = [&](const int *which, int n) {
        for (int r = 0; r < 4; ++r)
            for (int j = 0; j < n; ++j) {
                const double *z = node_sizes[r] + kW * j;
                for (unsigned hits = at_most(z, best[r]); hits; hits &= hits - 1) {
                    const int l = __builtin_ctz(hits);
                    if (z[l] <= best[r])
                        better(r, z[l], g->slot_node[which[j] * kW + l]);
                }
            }
    };
    std::int64_t sized = 4 * kBoundWork * g->group_tiles;
    // The hint's whole tile first: its neighbours are as likely to win.
    if (hint >= 0 && hint < count_) {
        const int t = g->node_slot[hint] / kW;
        tile_sizes4(g->nodes, tile_doubles_, &t, 1, m_, x, out);
        sized += 4 * kW;
        take_sizes(&t, 1);
    }
    // A member may beat pattern r's best only where the bound is at most
    // that best. (An equal bound is searched even when its members are all
    // numbered above the winner: the tie goes to the winner all the same,
    // and the test stays a plain comparison, as it is asked for every tile.)

    const std::size_t bound_doubles = 3 * kW * static_cast<std::size_t>(m_);
    const std::size_t slots = static_cast<std::size_t>(g->group_tiles) * kW;
    double *bounds[4];
    double *least = scratch->group_sizes + 4 * slots;
    int *order = scratch->order;
    for (int r = 0; r < 4; ++r)
        bounds[r] = scratch->group_sizes + r * slots;
    bound_sizes4(g->group_bounds, g->group_tiles, m_, x, bounds);
    // Only groups that some pattern may still need are ordered: the bests
    // only fall from here on.
    const double worst0 = std::max(std::max(best[0], best[1]), std::max(best[2], best[3]));
    int candidates = 0;
    for (int q = 0; q < g->groups; ++q) {
        double low = bounds[0][q];
        for (int r = 0; r < 4; ++r) {
            bounds[r][q] = bounds[r][q] > g->group_least[q] ? bounds[r][q] : g->group_least[q];
            low = bounds[r][q] < low ? bounds[r][q] : low;
        }
        least[q] = low;
        if (low <= worst0)
            order[candidates++] = q;
    }
    // Finite patterns: every bound is a number, and the order a strict weak one.
    std::sort(order, order + candidates, [least](int a, int b) { return least[a] < least[b]; });

    alignas(64) double tile_bounds[4][kW];
    double *tile_out[4] = {tile_bounds[0], tile_bounds[1], tile_bounds[2], tile_bounds[3]};
    alignas(64) double pair_out[3 * kW * kW];
    for (int c = 0; c < candidates; ++c) {
        const int q = order[c];
        const double worst = std::max(std::max(best[0], best[1]), std::max(best[2], best[3]));
        if (least[q] > worst)
            break;  // so are all that follow, for every pattern
        // The tiles' bounds, for the patterns the group's bound leaves in reach.
        const double *group_x[4];
        double *group_out[4];
        int reach = 0;
        for (int r = 0; r < 4; ++r)
            if (bounds[r][q] <= best[r]) {
                group_x[reach] = x[r];
                group_out[reach++] = tile_out[r];
            }
        if (reach == 0)
            continue;
        const int t0 = q * kW;
        bound_tile(g->tile_bounds + static_cast<std::size_t>(q) * bound_doubles, m_, group_x, group_out, reach);
        sized += reach * kBoundWork;
        // Slots past the last tile have an infinite least size, and are
        // never needed.
        const double *tile_least = g->tile_least + t0;
        unsigned needs[4];
        for (int r = 0; r < 4; ++r)
            needs[r] = bounds[r][q] <= best[r] ? at_most(tile_bounds[r], best[r]) & at_most(tile_least, best[r]) : 0;
        // A tile that all four need is sized for all four, its rows loaded
        // once; one that fewer need only for those, tile and pattern paired.
        const unsigned all = needs[0] & needs[1] & needs[2] & needs[3];
        int which[kW];
        int n = 0;
        for (unsigned left = all; left; left &= left - 1)
            which[n++] = t0 + __builtin_ctz(left);
        int pair_tile[3 * kW], pair_pattern[3 * kW];
        const double *pair_x[3 * kW];
        int pairs = 0;
        for (int r = 0; r < 4; ++r)
            for (unsigned left = needs[r] & ~all; left; left &= left - 1) {
                pair_tile[pairs] = t0 + __builtin_ctz(left);
                pair_pattern[pairs] = r;
                pair_x[pairs++] = x[r];
            }
        if (n > 0) {
            tile_sizes4(g->nodes, tile_doubles_, which, n, m_, x, out);
            sized += 4 * n * kW;
            // Most tiles hold nothing better: one test of all eight sizes
            // together says so, without a branch per node.
            take_sizes(which, n);
        }
        if (pairs > 0) {
            pair_sizes(g->nodes, tile_doubles_, pair_tile, pair_x, pairs, m_, pair_out);
            sized += pairs * kW;
            for (int e = 0; e < pairs; ++e) {
                const int r = pair_pattern[e];
                const double *z = pair_out + kW * e;
                for (unsigned hits = at_most(z, best[r]); hits; hits &= hits - 1) {
                    const int l = __builtin_ctz(hits);
                    if (z[l] <= best[r])
                        better(r, z[l], g->slot_node[pair_tile[e] * kW + l]);
                }
            }
        }
    }
    scratch->sized += sized;
    for (int r = 0; r < np; ++r) {
        winners[r] = winner[r];
        if (winner[r] >= 0 && sizes)
            sizes[r] = best[r];
    }
}

// Winners of consecutive patterns by the flat kernels, which size every node
// but take several patterns per pass over the nodes.
void NodeBlock::flat_winners(const double *const *patterns, int n, int *winners, double *sizes) const
{
#if QUORV_SEARCH_X86
    if (use_flat_avx512())
        return winners_avx512(tiles_, tile_doubles_, tile_count(), m_, patterns, n, winners, sizes);
    if (use_avx2())
        return winners_avx2(tiles_, tile_doubles_, tile_count(), m_, patterns, n, winners, sizes);
#endif
    for (int p = 0; p < n; ++p)
        winners[p] = winner_scalar(tiles_, tile_doubles_, count_, m_, patterns[p], sizes ? sizes + p : nullptr);
}

// Whether the groups pay for these patterns: the first up to kProbe of them
// are searched with the groups, and the search fails once its work reaches
// what all of it may do (where nothing can be skipped, as with random boxes,
// that is after a few patterns). Their winners are stored; *probed tells
// how many were searched.
bool NodeBlock::groups_pay(const double *const *patterns, int n, int *winners, double *sizes, Scratch *scratch,
                           int *probed) const
{
    constexpr int kProbe = 32;
    const std::int64_t before = scratch->sized;
    const std::int64_t allowed = static_cast<std::int64_t>(kProbe) * count_;
    int hint = -1;
    int p = 0;
    while (p < kProbe && p < n && (scratch->sized - before) * kPayingShare < allowed) {
        winners[p] = find_winner_in(patterns[p], sizes ? sizes + p : nullptr, scratch, hint);
        hint = winners[p] >= 0 ? winners[p] : hint;
        ++p;
    }
    *probed = p;
    return (scratch->sized - before) * kPayingShare < allowed;
}

namespace {

// order[0..n-1] gets the patterns' numbers, the finite ones first in k-d
// order, then the others as given; the count of finite ones is returned.
// Without memory for the points, the order given, and no finite ones (they
// are then searched one by one, with the same winners).
int order_patterns(const double *const *patterns, int n, int m, int *order)
{
    const std::size_t mm = static_cast<std::size_t>(m);
    std::unique_ptr<double[]> points(new (std::nothrow) double[static_cast<std::size_t>(n) * mm + 1]);
    int finite = 0;
    for (int p = 0; p < n; ++p)
        if (points && all_finite(patterns[p], m)) {
            std::memcpy(&points[static_cast<std::size_t>(p) * mm], patterns[p], mm * sizeof(double));
            order[finite++] = p;
        }
    for (int p = 0, at = finite; p < n; ++p)
        if (!(points && all_finite(patterns[p], m)))
            order[at++] = p;
    kd_order(order, finite, points.get(), m);
    return finite;
}

}  // namespace

// Winners of n patterns with the groups, for a range that the probe found
// they pay for (see winners_range).
void NodeBlock::winners_range(const double *const *patterns, int n, int *winners, double *sizes,
                              Scratch *scratch, bool ordered) const
{
    if (!(pruning_on() && groups_ && scratch)) {
        flat_winners(patterns, n, winners, sizes);
        return;
    }
    // The patterns are searched in k-d order (finite ones; the others last):
    // neighbours visit mostly the same tiles, which stay in the cache, and
    // each one's winner is sized first for the next, making its best small
    // from the start. Without the memory, in the order given. Patterns
    // already in that order (`ordered`) keep it.
    std::unique_ptr<int[]> order(new (std::nothrow) int[static_cast<std::size_t>(n)]);
    int finite = 0;
    if (order && ordered) {
        while (finite < n && all_finite(patterns[finite], m_))
            ++finite;
        for (int p = 0; p < n; ++p)
            order[p] = p;
    } else if (order) {
        finite = order_patterns(patterns, n, m_, order.get());
    }
    // Patterns in runs: the groups serve a run while they leave most nodes
    // unsized; otherwise the flat kernels take the next runs, and the groups
    // are tried again now and then.
    constexpr int kRun = 64;
    const double *run[kRun];
    int run_winners[kRun];
    double run_sizes[kRun];
    int flat_runs = 0;
    int hint = -1;
    for (int p0 = 0; p0 < n; p0 += kRun) {
        const int nb = n - p0 < kRun ? n - p0 : kRun;
        auto at = [&](int r) { return order ? order[p0 + r] : p0 + r; };
        if (flat_runs > 0) {
            for (int r = 0; r < nb; ++r)
                run[r] = patterns[at(r)];
            flat_winners(run, nb, run_winners, run_sizes);
            for (int r = 0; r < nb; ++r) {
                winners[at(r)] = run_winners[r];
                if (sizes && run_winners[r] >= 0)
                    sizes[at(r)] = run_sizes[r];
            }
            --flat_runs;
            continue;
        }
        const std::int64_t before = scratch->sized;
        for (int r = 0; r < nb;) {
            // Four finite neighbours at a time while all nodes are grouped.
            int four = 0;
            while (four < 4 && r + four < nb && r + four < finite - p0 && grouped() == count_)
                ++four;
            if (four > 1) {
                for (int f = 0; f < four; ++f)
                    run[f] = patterns[at(r + f)];
                winners4(run, four, run_winners, run_sizes, scratch, hint);
                for (int f = 0; f < four; ++f) {
                    const int p = at(r + f);
                    winners[p] = run_winners[f];
                    if (sizes && run_winners[f] >= 0)
                        sizes[p] = run_sizes[f];
                    hint = run_winners[f] >= 0 ? run_winners[f] : hint;
                }
                r += four;
                continue;
            }
            const int p = at(r);
            winners[p] = find_winner_in(patterns[p], sizes ? sizes + p : nullptr, scratch, hint);
            hint = winners[p] >= 0 ? winners[p] : hint;
            ++r;
        }
        if ((scratch->sized - before) * kPayingShare >= static_cast<std::int64_t>(nb) * count_)
            flat_runs = 32;
    }
}

namespace {

// The patterns of a call in k-d order, for the threads to take in runs:
// neighbours then share a run, whose searches visit mostly the same tiles.
// Their winners go back in the order given.
struct OrderedPatterns {
    std::unique_ptr<int[]> index;  // index[i]: the number of the i-th pattern in order
    std::unique_ptr<const double *[]> patterns;
    std::unique_ptr<int[]> winners;
    std::unique_ptr<double[]> sizes;

    // False, keeping nothing, without the memory.
    bool make(const double *const *given, int n, int m, bool with_sizes)
    {
        const std::size_t count = static_cast<std::size_t>(n);
        index.reset(new (std::nothrow) int[count]);
        patterns.reset(new (std::nothrow) const double *[count]);
        winners.reset(new (std::nothrow) int[count]);
        sizes.reset(with_sizes ? new (std::nothrow) double[count] : nullptr);
        if (!index || !patterns || !winners || (with_sizes && !sizes)) {
            *this = OrderedPatterns();
            return false;
        }
        order_patterns(given, n, m, index.get());
        for (std::size_t i = 0; i < count; ++i)
            patterns[i] = given[index[i]];
        return true;
    }

    // As find_winners leaves them: the sizes of patterns without a winner untouched.
    void put_back(int n, int *to_winners, double *to_sizes) const
    {
        for (int i = 0; i < n; ++i) {
            to_winners[index[i]] = winners[i];
            if (to_sizes && winners[i] >= 0)
                to_sizes[index[i]] = sizes[i];
        }
    }
};

struct WinnersJob {
    const NodeBlock *block;
    const double *const *patterns;
    int n, chunk;
    int *winners;
    double *sizes;
    NodeBlock::Scratch **scratch;
    bool ordered;
    void (*run)(const WinnersJob &job, int task);
};

void run_winners_task(void *context, int task)
{
    const WinnersJob &job = *static_cast<const WinnersJob *>(context);
    job.run(job, task);
}

}  // namespace

void NodeBlock::find_winners(const double *const *patterns, int n, int *winners, double *sizes, int threads)
{
    if (n <= 0)
        return;
    // A thread pays for its start only with enough work: about a millisecond.
    const double work = static_cast<double>(n) * count_ * (m_ > 0 ? m_ : 1);
    const double most = work / kThreadWork;
    if (threads > most)
        threads = most < 1 ? 1 : static_cast<int>(most);
    if (regroup_pending_) {
        regroup_pending_ = false;
        if (threads > 1) {
            grouping_winners(patterns, n, winners, sizes, threads);
            return;
        }
        regroup();
    }
    // One probe for the whole call tells whether the groups pay; if not, the
    // flat kernels take all the patterns after it.
    bool grouped_search = pruning_on() && groups_ && scratch_;
    if (grouped_search && n > 64) {
        int probed = 0;
        grouped_search = groups_pay(patterns, n, winners, sizes, scratch_, &probed);
        patterns += probed;
        winners += probed;
        sizes = sizes ? sizes + probed : nullptr;
        n -= probed;
    }
    if (threads <= 1) {
        if (grouped_search)
            winners_range(patterns, n, winners, sizes, scratch_);
        else
            flat_winners(patterns, n, winners, sizes);
        return;
    }
    // Several runs per thread even out threads that the machine slows: runs
    // long enough to order with the groups, any four patterns without.
    const int shortest = grouped_search ? 512 : 4;
    const int tasks = std::min((n + shortest - 1) / shortest, std::min(4 * threads, 256));
    const int chunk = (n + tasks - 1) / tasks;
    Scratch *scratch[256] = {};
    if (grouped_search)
        for (int t = 0; t < tasks; ++t)
            scratch[t] = Scratch::make(*groups_);  // null: that task searches flat
    OrderedPatterns order;
    const bool ordered = grouped_search && order.make(patterns, n, m_, sizes != nullptr);
    WinnersJob job{this,
                   ordered ? order.patterns.get() : patterns,
                   n,
                   chunk,
                   ordered ? order.winners.get() : winners,
                   ordered ? order.sizes.get() : sizes,
                   scratch,
                   ordered,
                   [](const WinnersJob &j, int task) {
                       const int p0 = task * j.chunk;
                       const int nb = std::min(j.chunk, j.n - p0);
                       if (nb <= 0)
                           return;
                       if (j.scratch[task])
                           j.block->winners_range(j.patterns + p0, nb, j.winners + p0,
                                                  j.sizes ? j.sizes + p0 : nullptr, j.scratch[task], j.ordered);
                       else
                           j.block->flat_winners(j.patterns + p0, nb, j.winners + p0,
                                                 j.sizes ? j.sizes + p0 : nullptr);
                   }};
    run_tasks((n + chunk - 1) / chunk, threads, run_winners_task, &job);
    for (int t = 0; t < tasks; ++t)
        delete scratch[t];
    if (ordered)
        order.put_back(n, winners, sizes);
}

namespace {

// The patterns of a grouping search not yet taken, [front, back), and what
// the first thread has found out about the groups. The runs are taken from
// the patterns in k-d order, which one thread makes while the first groups
// the nodes.
struct GroupingJob {
    NodeBlock *block;
    const double *const *given;
    int n, m;
    int *given_winners;
    double *given_sizes;
    OrderedPatterns order;
    bool ordering = false, ordered = false, in_order = false;
    std::condition_variable order_made;
    // What runs are taken from: the ordered patterns, or without the memory
    // for them those given.
    const double *const *patterns;
    int *winners;
    double *sizes;
    std::mutex lock;
    int front, back, threads;
    bool decided = false, grouped = false;
    // The parts of the regroup, once the first thread offers them, taken by
    // whichever threads ask first.
    NodeBlock::Regrouping regrouping;
    int parts_offered = 0, parts_taken = 0, parts_done = 0;
    std::condition_variable all_parts_done;

    void offer_parts()
    {
        std::lock_guard<std::mutex> hold(lock);
        parts_offered = regrouping.parts;
    }
    // The next part not yet taken, or -1.
    int take_part()
    {
        std::lock_guard<std::mutex> hold(lock);
        return parts_taken < parts_offered ? parts_taken++ : -1;
    }
    void part_finished()
    {
        std::lock_guard<std::mutex> hold(lock);
        if (++parts_done == parts_offered)
            all_parts_done.notify_all();
    }
    void await_parts()
    {
        std::unique_lock<std::mutex> hold(lock);
        all_parts_done.wait(hold, [this] { return parts_done == parts_offered; });
    }

    // Orders the patterns, or waits for the thread that does.
    void await_order()
    {
        std::unique_lock<std::mutex> hold(lock);
        if (ordering) {
            order_made.wait(hold, [this] { return ordered; });
            return;
        }
        ordering = true;
        hold.unlock();
        const bool made = order.make(given, n, m, given_sizes != nullptr);
        hold.lock();
        if (made) {
            patterns = order.patterns.get();
            winners = order.winners.get();
            sizes = order.sizes.get();
        }
        in_order = made;
        ordered = true;
        order_made.notify_all();
    }

    // The next run of at most `most` patterns, from the front or the back;
    // false when none is left. Runs shrink towards the end, to no less than
    // `least`, so that the threads finish together.
    bool take(bool from_back, int most, int least, int *p0, int *nb)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (front >= back)
            return false;
        const int share = (back - front) / (2 * threads);
        *nb = std::min(std::min(most, std::max(least, share)), back - front);
        if (from_back) {
            back -= *nb;
            *p0 = back;
        } else {
            *p0 = front;
            front += *nb;
        }
        return true;
    }
};

}  // namespace

// find_winners for a block still to be grouped, on several threads: the first
// begins the grouping, does its parts with the others and probes the groups
// on the first patterns; the others first put the patterns in k-d order
// (where that is done before the grouping), then take parts of the grouping
// or search the last patterns flat until the probe has spoken; then all take
// runs from the front, with the groups if they pay. Every pattern gets the
// same winner either way.
void NodeBlock::grouping_winners(const double *const *patterns, int n, int *winners, double *sizes, int threads)
{
    GroupingJob job;
    job.block = this;
    job.given = patterns;
    job.n = n;
    job.m = m_;
    job.given_winners = winners;
    job.given_sizes = sizes;
    job.patterns = patterns;
    job.winners = winners;
    job.sizes = sizes;
    job.front = 0;
    job.back = n;
    job.threads = threads;
    // The patterns are put in order while the nodes are grouped, where that
    // takes less time (both are k-d splits, the nodes' of twice the
    // features); otherwise nobody would wait for it. Without the order,
    // each run of the groups orders its own patterns.
    const double nodes = count_, points = n;
    if (2 * nodes * std::log2(nodes + 1) < points * std::log2(points + 1))
        job.ordering = job.ordered = true;
    run_tasks(threads, threads, [](void *context, int task) {
        GroupingJob &j = *static_cast<GroupingJob *>(context);
        NodeBlock &b = *j.block;
        auto out = [&](int p0) { return j.sizes ? j.sizes + p0 : nullptr; };
        Scratch *scratch = nullptr;
        int p0 = 0, nb = 0;
        if (task == 0) {
            bool pays = false;
            bool regrouped = b.regroup_begin(j.regrouping);
            if (regrouped) {
                j.offer_parts();
                for (int part; (part = j.take_part()) >= 0; j.part_finished())
                    b.regroup_part(j.regrouping, part);
                j.await_parts();
                regrouped = b.regroup_end(j.regrouping);
            }
            j.await_order();
            if (regrouped && pruning_on() && b.groups_ && b.scratch_ && j.take(false, 32, 32, &p0, &nb)) {
                int probed = 0;
                pays = b.groups_pay(j.patterns + p0, nb, j.winners + p0, out(p0), b.scratch_, &probed);
                if (probed < nb)
                    b.flat_winners(j.patterns + p0 + probed, nb - probed, j.winners + p0 + probed,
                                   out(p0 + probed));
            }
            std::lock_guard<std::mutex> hold(j.lock);
            j.decided = true;
            j.grouped = pays;
            scratch = pays ? b.scratch_ : nullptr;
        } else {
            j.await_order();
        }
        for (;;) {
            bool decided, grouped;
            {
                std::lock_guard<std::mutex> hold(j.lock);
                decided = j.decided;
                grouped = j.grouped;
            }
            if (decided && grouped && !scratch && task != 0)
                scratch = Scratch::make(*b.groups_);  // null: this thread searches flat
            if (!decided) {
                const int part = task != 0 ? j.take_part() : -1;
                if (part >= 0) {
                    b.regroup_part(j.regrouping, part);
                    j.part_finished();
                    continue;
                }
            }
            const bool with_groups = decided && grouped && scratch;
            // Short flat runs while the groups are made, so that this thread
            // soon learns the outcome; long ones once it is known.
            const int most = with_groups ? 512 : decided ? 256 : 16;
            if (!j.take(!decided, most, with_groups ? 64 : 16, &p0, &nb))
                break;
            if (with_groups)
                b.winners_range(j.patterns + p0, nb, j.winners + p0, out(p0), scratch, j.in_order);
            else
                b.flat_winners(j.patterns + p0, nb, j.winners + p0, out(p0));
        }
        if (task != 0)
            delete scratch;
    }, &job);
    if (job.in_order)
        job.order.put_back(n, winners, sizes);
}

void NodeBlock::all_sizes(const double *pattern, double *out) const
{
    alignas(64) double acc[kW];
    for (int t = 0; t < tile_count(); ++t) {
        tile_sizes(tile(t), tile_doubles_, nullptr, 1, m_, pattern, acc);
        for (int j = 0; j < kW && t * kW + j < count_; ++j)
            out[t * kW + j] = acc[j];
    }
}
