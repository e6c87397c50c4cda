// Seeded shuffles, splits and folds.
#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace cli {

namespace {

// Uniform in [0, n), by rejection, so that no value is favoured.
size_t draw_below(std::mt19937_64 &rng, size_t n)
{
    const std::uint64_t bound = static_cast<std::uint64_t>(n);
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    std::uint64_t r;
    do
        r = rng();
    while (r >= limit);
    return static_cast<size_t>(r % bound);
}

std::vector<size_t> rows_of_class(const Dataset &data, double label)
{
    std::vector<size_t> members;
    for (size_t i = 0; i < data.rows; ++i)
        if (data.y[i] == label)
            members.push_back(i);
    return members;
}

}  // namespace

void shuffle(std::vector<size_t> *v, std::mt19937_64 &rng)
{
    for (size_t i = v->size(); i > 1; --i)
        std::swap((*v)[i - 1], (*v)[draw_below(rng, i)]);
}

std::vector<size_t> shuffled_rows(size_t n, unsigned long seed)
{
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i)
        rows[i] = i;
    std::mt19937_64 rng(seed);
    shuffle(&rows, rng);
    return rows;
}

void stratified_split(const Dataset &data, double fraction, unsigned long seed, std::vector<size_t> *train,
                      std::vector<size_t> *test)
{
    std::mt19937_64 rng(seed);
    for (double label : distinct_labels(data.y)) {
        std::vector<size_t> members = rows_of_class(data, label);
        shuffle(&members, rng);
        const size_t held = static_cast<size_t>(std::floor(fraction * static_cast<double>(members.size()) + 0.5));
        test->insert(test->end(), members.begin(), members.begin() + static_cast<long>(held));
        train->insert(train->end(), members.begin() + static_cast<long>(held), members.end());
    }
    std::sort(test->begin(), test->end());
    std::sort(train->begin(), train->end());
    shuffle(train, rng);
}

std::vector<std::vector<size_t>> stratified_folds(const Dataset &data, size_t k, unsigned long seed)
{
    std::mt19937_64 rng(seed);
    std::vector<std::vector<size_t>> folds(k);
    size_t next = 0;  // continue the deal across classes so that fold sizes stay even
    for (double label : distinct_labels(data.y)) {
        std::vector<size_t> members = rows_of_class(data, label);
        shuffle(&members, rng);
        for (size_t i : members) {
            folds[next].push_back(i);
            next = (next + 1) % k;
        }
    }
    for (auto &fold : folds)
        std::sort(fold.begin(), fold.end());
    return folds;
}

}  // namespace cli
