// Answers per pattern and class, added one member at a time, and the two
// votes read from them. What it keeps true: a cell holds how many members
// gave a class for a pattern and which member gave it first, so that neither
// vote needs any member's answers again.
#ifndef QUORV_FRONT_TALLY_H
#define QUORV_FRONT_TALLY_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace front {

class Tally {
public:
    // Answers in the high 32 bits; in the low ones, 2^32 - 1 less the first
    // member that gave it: the larger cell has more answers, or the earlier first.
    using Cell = std::uint64_t;
    static constexpr size_t npos = static_cast<size_t>(-1);

    // `classes`: the codes, ascending; a slot per class and one for answers that are none.
    Tally(size_t rows, const std::vector<double> &classes);
    // Member `member`'s answer for each row (any value that is no class counts
    // as unknown), but for the rows where `abstain` (when given) holds 1: the
    // member neither votes there nor counts among the row's members.
    void add(size_t member, const std::vector<double> &answers, const std::vector<char> *abstain = nullptr);
    // The class (its position) most members gave, a tie going to the one the
    // earliest member gave; npos when none gave a class.
    size_t earliest_most(size_t row) const;
    // The class most members gave, a tie going to the lowest code; npos when
    // none did or when more answered unknown than gave it.
    size_t lowest_most(size_t row) const;
    // classes + 1 shares, unknown last: each slot's answers over all the
    // row's answers (`all_members`), or each class's over the answers that
    // gave a class; the unknown share 1 where none did.
    void shares(size_t row, bool all_members, double *out) const;

private:
    std::uint64_t count(size_t row, size_t slot) const { return cells_[row * width_ + slot] >> 32; }

    const std::vector<double> &classes_;
    size_t width_;
    std::vector<Cell> cells_;
};

}  // namespace front

#endif
