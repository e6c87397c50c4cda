// The front library's seeded draws (front/draws.h) over a dataset's labels.
#ifndef QUORV_CLI_SAMPLING_H
#define QUORV_CLI_SAMPLING_H

#include "dataset.h"
#include "front/draws.h"

namespace cli {

using front::shuffle;
using front::shuffled_rows;

inline void stratified_split(const Dataset &data, double fraction, std::uint64_t seed, std::vector<size_t> *train,
                             std::vector<size_t> *test)
{
    front::stratified_split(data.y, fraction, seed, train, test);
}

inline std::vector<std::vector<size_t>> stratified_folds(const Dataset &data, size_t k, std::uint64_t seed)
{
    return front::stratified_folds(data.y, k, seed);
}

}  // namespace cli

#endif
