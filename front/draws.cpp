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
    for (;;) {
        const std::uint64_t r = rng();
        // The rejection limit, UINT64_MAX - UINT64_MAX % bound, lies above
        // UINT64_MAX - bound: only draws beyond that need its division.
        if (r <= UINT64_MAX - bound || r < UINT64_MAX - UINT64_MAX % bound)
            return static_cast<size_t>(r % bound);
    }
}

void shuffle(std::vector<size_t> *v, Engine &rng)
{
    for (size_t i = v->size(); i > 1; --i)
        std::swap((*v)[i - 1], (*v)[draw_below(rng, i)]);
}

namespace {

// shuffled_head with the draws kept as Position (4 bytes where n allows).
// Step i of the shuffle swaps i-1 with r_i; after steps n .. k+1 the head
// holds its final set. Undoing those steps from the last one done traces
// the head's positions back to the values that landed there; as the traced
// positions stay below i-1 at step i, a step moves one only when r_i is one.
template <typename Position>
std::vector<size_t> head_of_shuffle(Engine &rng, size_t n, size_t k, bool whole)
{
    std::vector<Position> drawn(n - k);
    for (size_t i = n; i > k && i > 1; --i)  // the shuffle has no step 1
        drawn[i - k - 1] = static_cast<Position>(draw_below(rng, i));
    if (whole)
        for (size_t i = k; i > 1; --i)
            draw_below(rng, i);
    std::vector<bool> traced(n, false);
    std::fill(traced.begin(), traced.begin() + static_cast<std::ptrdiff_t>(k), true);
    for (size_t i = k + 1; i <= n; ++i) {
        const size_t r = drawn[i - k - 1];
        if (traced[r]) {
            traced[r] = false;
            traced[i - 1] = true;
        }
    }
    std::vector<size_t> head;
    head.reserve(k);
    for (size_t j = 0; j < n; ++j)
        if (traced[j])
            head.push_back(j);
    return head;
}

}  // namespace

std::vector<size_t> shuffled_head(Engine &rng, size_t n, size_t k, bool whole)
{
    if (n <= UINT32_MAX)
        return head_of_shuffle<std::uint32_t>(rng, n, k, whole);
    return head_of_shuffle<size_t>(rng, n, k, whole);
}

std::vector<size_t> shuffled_rows(size_t n, std::uint64_t seed)
{
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i)
        rows[i] = i;
    Engine rng(seed);
    shuffle(&rows, rng);
    return rows;
}

void stratified_split(const std::vector<double> &labels, double fraction, std::uint64_t seed,
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

std::vector<std::vector<size_t>> stratified_folds(const std::vector<double> &labels, size_t k, std::uint64_t seed)
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
