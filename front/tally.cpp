// Votes tallied member by member.
#include "tally.h"

#include "error.h"

#include <algorithm>

namespace front {

Tally::Tally(size_t rows, const std::vector<double> &classes)
    : classes_(classes), width_(classes.size() + 1), cells_(rows * width_, 0)
{
}

void Tally::add(size_t member, const std::vector<double> &answers, const std::vector<char> *abstain)
{
    if (member > UINT32_MAX || answers.size() * width_ != cells_.size() ||
        (abstain && abstain->size() != answers.size()))
        throw Error("a vote needs one answer per pattern from at most 2^32 - 1 members");
    const Cell first = UINT32_MAX - static_cast<Cell>(member), one = Cell{1} << 32;
    for (size_t row = 0; row < answers.size(); ++row) {
        if (abstain && (*abstain)[row])
            continue;
        const double a = answers[row];
        const auto at = std::lower_bound(classes_.begin(), classes_.end(), a);
        const size_t slot = at != classes_.end() && *at == a ? static_cast<size_t>(at - classes_.begin())
                                                             : classes_.size();
        Cell &cell = cells_[row * width_ + slot];
        cell = (cell == 0 ? first : cell) + one;
    }
}

size_t Tally::earliest_most(size_t row) const
{
    const Cell *cell = &cells_[row * width_];
    size_t best = npos;
    for (size_t k = 0; k + 1 < width_; ++k)
        if (cell[k] != 0 && (best == npos || cell[k] > cell[best]))
            best = k;
    return best;
}

size_t Tally::lowest_most(size_t row) const
{
    size_t best = npos;
    for (size_t k = 0; k + 1 < width_; ++k)
        if (count(row, k) > 0 && (best == npos || count(row, k) > count(row, best)))
            best = k;
    return best != npos && count(row, best) >= count(row, width_ - 1) ? best : npos;
}

void Tally::shares(size_t row, bool all_members, double *out) const
{
    const size_t unknown = width_ - 1;
    std::uint64_t members = 0;  // that answered for the row: all, unless some abstained
    for (size_t k = 0; k < width_; ++k)
        members += count(row, k);
    if (all_members) {
        for (size_t k = 0; k < width_; ++k)
            out[k] = members == 0 ? (k == unknown ? 1.0 : 0.0) : static_cast<double>(count(row, k)) / static_cast<double>(members);
        return;
    }
    const std::uint64_t answered = members - count(row, unknown);
    for (size_t k = 0; k < unknown; ++k)
        out[k] = answered == 0 ? 0.0 : static_cast<double>(count(row, k)) / static_cast<double>(answered);
    out[unknown] = answered == 0 ? 1.0 : 0.0;
}

}  // namespace front
