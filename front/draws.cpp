// Seeded shuffles, splits and folds.
#include "draws.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

namespace front {

namespace {

// The rows of each class, classes by ascending label, rows in file order.
std::map<double, std::vector<size_t>> rows_by_class(const std::vector<double> &labels)
{
    std::map<double, std::vector<size_t>> classes;
    for (size_t i = 0; i < labels.size(); ++i)
        classes[labels[i]].push_back(i);
    return classes;
}

}  // namespace

size_t draw_below(Engine &rng, size_t n)
{
    const std::uint64_t bound = static_cast<std::uint64_t>(n);
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    std::uint64_t r;
    do
        r = rng();
    while (r >= limit);
    return static_cast<size_t>(r % bound);
}

void shuffle(std::vector<size_t> *v, Engine &rng)
{
    for (size_t i = v->size(); i > 1; --i)
        std::swap((*v)[i - 1], (*v)[draw_below(rng, i)]);
}

std::vector<size_t> shuffled_rows(size_t n, unsigned long seed)
{
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i)
        rows[i] = i;
    Engine rng(seed);
    shuffle(&rows, rng);
    return rows;
}

void stratified_split(const std::vector<double> &labels, double fraction, unsigned long seed,
                      std::vector<size_t> *train, std::vector<size_t> *test)
{
    Engine rng(seed);
    for (auto &entry : rows_by_class(labels)) {
        std::vector<size_t> &members = entry.second;
        shuffle(&members, rng);
        const size_t held = static_cast<size_t>(std::floor(fraction * static_cast<double>(members.size()) + 0.5));
        test->insert(test->end(), members.begin(), members.begin() + static_cast<long>(held));
        train->insert(train->end(), members.begin() + static_cast<long>(held), members.end());
    }
    std::sort(test->begin(), test->end());
    std::sort(train->begin(), train->end());
    shuffle(train, rng);
}

std::vector<std::vector<size_t>> stratified_folds(const std::vector<double> &labels, size_t k, unsigned long seed)
{
    Engine rng(seed);
    std::vector<std::vector<size_t>> folds(k);
    size_t next = 0;  // continue the deal across classes so that fold sizes stay even
    for (auto &entry : rows_by_class(labels)) {
        std::vector<size_t> &members = entry.second;
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

}  // namespace front
