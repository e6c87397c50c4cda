// The join term and the tie rule of the winner search, written once for every
// kernel and every width: a double, or a vector of 4 or 8 doubles where the
// translation unit is compiled for AVX2 or AVX-512.
//
// What stays true, whatever the width:
// - A node's size is summed in feature order from +0.0, one term per feature,
//   with the choices of Node::join, so it equals the join_size that Node::join
//   gives, bit for bit (a NaN may carry another payload; it never wins).
// - The winner has the strictly smallest size below M, the lowest node number
//   of equal sizes; NaN compares false and never wins.
//
// Everything here has internal linkage: each kernel translation unit gets its
// own copy, built with its own flags, and no copy built for a wider
// instruction set can stand in for another at link time.
#ifndef QUORV_MODEL_SEARCH_JOIN_H
#define QUORV_MODEL_SEARCH_JOIN_H

#if defined(__GNUC__) || defined(__clang__)
#define QUORV_ALWAYS_INLINE inline __attribute__((always_inline))
#define QUORV_VECTORS 1
#else
#define QUORV_ALWAYS_INLINE inline
#define QUORV_VECTORS 0
#endif

#if QUORV_VECTORS && (defined(__AVX2__) || defined(__AVX512F__))
#include <immintrin.h>
#endif

namespace {

// a - b and a + b, rounded once as the plain operations are. The vector forms
// compute a * 1.0 - b and a * 1.0 + b in fused multiply-adds: a * 1.0 is
// exact, so every finite or infinite result is the same to the last bit, and
// the fused operations run beside the min and max rather than queueing with
// them.
QUORV_ALWAYS_INLINE double exact_difference(double a, double b) { return a - b; }
QUORV_ALWAYS_INLINE double exact_sum(double a, double b) { return a + b; }

#if QUORV_VECTORS && defined(__AVX2__) && defined(__FMA__)
typedef double Vec4 __attribute__((vector_size(32)));
QUORV_ALWAYS_INLINE Vec4 exact_difference(const Vec4 &a, const Vec4 &b)
{
    return (Vec4)_mm256_fmsub_pd((__m256d)a, _mm256_set1_pd(1.0), (__m256d)b);
}
QUORV_ALWAYS_INLINE Vec4 exact_sum(const Vec4 &a, const Vec4 &b)
{
    return (Vec4)_mm256_fmadd_pd((__m256d)a, _mm256_set1_pd(1.0), (__m256d)b);
}
#endif

#if QUORV_VECTORS && defined(__AVX512F__)
typedef double Vec8 __attribute__((vector_size(64)));
QUORV_ALWAYS_INLINE Vec8 exact_difference(const Vec8 &a, const Vec8 &b)
{
    return (Vec8)_mm512_fmsub_pd((__m512d)a, _mm512_set1_pd(1.0), (__m512d)b);
}
QUORV_ALWAYS_INLINE Vec8 exact_sum(const Vec8 &a, const Vec8 &b)
{
    return (Vec8)_mm512_fmadd_pd((__m512d)a, _mm512_set1_pd(1.0), (__m512d)b);
}
#endif

// sum += join_upper - join_lower of pattern value x with the bounds, in one
// feature. Node::join takes lower if x > lower, else x: the same choice here,
// NaN and signed zeros included. For the upper bound it takes x if
// x >= upper, else upper; x > upper (one max instruction) differs only when x
// equals the bound, in the sign of a zero, which no sum from +0.0 can show.
template <typename V>
QUORV_ALWAYS_INLINE void add_join_term(V &sum, const V &x, const V &lower, const V &upper)
{
    const V join_lower = x > lower ? lower : x;
    const V join_upper = x > upper ? x : upper;
    sum = exact_sum(exact_difference(join_upper, join_lower), sum);
}

// The least term of a group's members: the join term of the largest lower bound and
// the smallest upper bound of its members, or their smallest width if that is
// larger. Every member's own term is at least as large (see grouping.h).
template <typename V>
QUORV_ALWAYS_INLINE void add_least_term(V &sum, const V &x, const V &lower, const V &upper, const V &width)
{
    const V join_lower = x > lower ? lower : x;
    const V join_upper = x > upper ? x : upper;
    const V term = exact_difference(join_upper, join_lower);
    sum = exact_sum(term > width ? term : width, sum);
}

// The size of the node in lane `lane` of a tile (per feature kTileNodes lower bounds, then kTileNodes upper bounds) with x.
template <int kTileNodes>
QUORV_ALWAYS_INLINE double lane_size(const double *tile, int lane, int m, const double *x)
{
    double sum = 0.0;
    for (int i = 0; i < m; ++i) {
        const double *row = tile + 2 * kTileNodes * static_cast<long long>(i) + lane;
        add_join_term(sum, x[i], row[0], row[kTileNodes]);
    }
    return sum;
}

// The best size before any node is sized: M. Every winner is strictly below
// it, so sizes of M or more never win.
QUORV_ALWAYS_INLINE double no_lead(int m) { return m; }

// Whether node `node` of size `size` takes the lead from `winner` (-1: none
// yet, best is then no_lead(M)): a strictly smaller size, or an equal one of
// a lower node number. Searches in node order never meet the second case;
// searches in any other order need it to find the same winner.
QUORV_ALWAYS_INLINE bool takes_lead(double size, int node, double best, int winner)
{
    return size < best || (size == best && winner >= 0 && node < winner);
}

// The same rule read for a tile or group whose members are all numbered
// first_node or above and sized least or more (least: its least size): true
// when none of them can take the lead. (When first_node is the winner itself
// and least equals best, none can either, but the answer is false: the tile
// is searched, which costs time only.)
QUORV_ALWAYS_INLINE bool out_of_reach(double least, int first_node, double best, int winner)
{
    return least > best || (least == best && (winner < 0 || first_node > winner));
}

// Lane by lane, the first strictly smaller size and its node number: a lane
// that sees its nodes in increasing order keeps its first smallest.
template <typename V>
QUORV_ALWAYS_INLINE void keep_first_smaller(const V &size, const V &number, V &best, V &at)
{
    const auto smaller = size < best;
    best = smaller ? size : best;
    at = smaller ? number : at;
}

// The winner over lanes that each kept their first smallest size (best[j])
// and its node number as a double (at[j], -1 for none): the smallest of all,
// the lowest node number on ties. *size gets its size when there is one.
inline int pick_lane(const double *best, const double *at, int lanes, double *size)
{
    int winner = -1;
    double value = 0.0;
    for (int j = 0; j < lanes; ++j) {
        if (at[j] < 0)
            continue;
        const int node = static_cast<int>(at[j]);
        if (winner < 0 || takes_lead(best[j], node, value, winner)) {
            winner = node;
            value = best[j];
        }
    }
    if (winner >= 0 && size)
        *size = value;
    return winner;
}

}  // namespace

#endif
