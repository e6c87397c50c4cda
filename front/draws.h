// Seeded random draws for every front end: shuffles of the training order,
// test splits and folds. The same seed gives the same rows on any machine and
// from either front end, since the engine's output is fixed by the C++
// standard and every draw from it is ours (no library distribution).
//
// Seeds are 64-bit on every platform (never long, 32 bits on Windows), so
// that a seed gives the same draws wherever it is read.
//
// To add a kind of draw: take an Engine seeded by the caller, draw with
// draw_below only, and say in its comment what it keeps in file order.
#ifndef QUORV_FRONT_DRAWS_H
#define QUORV_FRONT_DRAWS_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace front {

using Engine = std::mt19937_64;

// The largest seed the model file, the tool and Python take: the limit every
// file written so far holds to. Member k of a vote or forest draws with seed
// S + k - 1, which cannot overflow from here.
constexpr std::int64_t kMaxSeed = (std::int64_t{1} << 62) - 1;

// Uniform in [0, n) for n >= 1, by rejection, so that no value is favoured.
size_t draw_below(Engine &rng, size_t n);

// Fisher-Yates from the end, each step one draw_below.
void shuffle(std::vector<size_t> *v, Engine &rng);

// The first k entries of shuffle(0, 1, ..., n-1), ascending, for k <= n:
// what a forest member's features are. The shuffle's draws but the last
// k - 1 decide which they are, not their order, so no array of n is
// shuffled: time n, memory about 4n bytes. The engine then stands where the
// whole shuffle leaves it when `whole`; otherwise those last draws, which only
// order the head, are left undrawn.
std::vector<size_t> shuffled_head(Engine &rng, size_t n, size_t k, bool whole);

// 0, 1, ..., n-1 in the order of a shuffle with `seed`: the training order of
// `--shuffle --seed S` and of fit(shuffle=True, random_state=S).
std::vector<size_t> shuffled_rows(size_t n, std::uint64_t seed);

// Each class (each distinct value of `labels`) gives round(fraction x its
// size) patterns to the test part. The training part is shuffled (the learner
// depends on the order and some files are sorted by class); the test part
// keeps the file order.
void stratified_split(const std::vector<double> &labels, double fraction, std::uint64_t seed,
                      std::vector<size_t> *train, std::vector<size_t> *test);

// k folds, stratified: each class's rows, shuffled, are dealt out in turn,
// so every fold holds a k-th of each class (give or take one). Each fold's
// rows are in file order.
std::vector<std::vector<size_t>> stratified_folds(const std::vector<double> &labels, size_t k,
                                                  std::uint64_t seed);

}  // namespace front

#endif
