// Seeded random draws for every front end: shuffles of the training order,
// test splits and folds. The same seed gives the same rows on any machine and
// from either front end, since the engine's output is fixed by the C++
// standard and every draw from it is ours (no library distribution).
//
// To add a kind of draw: take an Engine seeded by the caller, draw with
// draw_below only, and say in its comment what it keeps in file order.
#ifndef QUORV_FRONT_DRAWS_H
#define QUORV_FRONT_DRAWS_H

#include <cstddef>
#include <random>
#include <vector>

namespace front {

using Engine = std::mt19937_64;

// Uniform in [0, n) for n >= 1, by rejection, so that no value is favoured.
size_t draw_below(Engine &rng, size_t n);

// Fisher-Yates from the end, each step one draw_below.
void shuffle(std::vector<size_t> *v, Engine &rng);

// 0, 1, ..., n-1 in the order of a shuffle with `seed`: the training order of
// `--shuffle --seed S` and of fit(shuffle=True, random_state=S).
std::vector<size_t> shuffled_rows(size_t n, unsigned long seed);

// Each class (each distinct value of `labels`) gives round(fraction x its
// size) patterns to the test part. The training part is shuffled (the learner
// depends on the order and some files are sorted by class); the test part
// keeps the file order.
void stratified_split(const std::vector<double> &labels, double fraction, unsigned long seed,
                      std::vector<size_t> *train, std::vector<size_t> *test);

// k folds, stratified: each class's rows, shuffled, are dealt out in turn,
// so every fold holds a k-th of each class (give or take one). Each fold's
// rows are in file order.
std::vector<std::vector<size_t>> stratified_folds(const std::vector<double> &labels, size_t k, unsigned long seed);

}  // namespace front

#endif
