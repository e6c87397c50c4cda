// Seeded shuffles, splits and folds: the same seed gives the same rows on any
// machine, since the engine's output is fixed by the standard and the draws
// are ours.
#ifndef QUORV_CLI_SAMPLING_H
#define QUORV_CLI_SAMPLING_H

#include "dataset.h"

#include <cstddef>
#include <random>
#include <vector>

namespace cli {

void shuffle(std::vector<size_t> *v, std::mt19937_64 &rng);

// 0, 1, ..., n-1 in the order of a shuffle with `seed`.
std::vector<size_t> shuffled_rows(size_t n, unsigned long seed);

// Each class gives round(fraction x its size) patterns to the test part. The
// training part is shuffled (the learner depends on the order and some files
// are sorted by class); the test part keeps the file order.
void stratified_split(const Dataset &data, double fraction, unsigned long seed, std::vector<size_t> *train,
                      std::vector<size_t> *test);

// k folds, stratified: each class's rows, shuffled, are dealt out in turn,
// so every fold holds a k-th of each class (give or take one). Each fold's
// rows are in file order.
std::vector<std::vector<size_t>> stratified_folds(const Dataset &data, size_t k, unsigned long seed);

}  // namespace cli

#endif
