// The out-of-bag estimate (see oob.h).
#include "oob.h"

#include "error.h"

#include <utility>

namespace front {

std::vector<std::vector<bool>> drawn_rows(size_t total_rows, const SampleRule &sample, size_t total_features,
                                          size_t features, std::uint64_t seed, size_t members)
{
    if (!sample.bootstrap)
        throw Error("the out-of-bag estimate needs members that draw their rows with replacement");
    std::vector<std::vector<bool>> saw(members, std::vector<bool>(total_rows, false));
    for (size_t k = 0; k < members; ++k)
        for (const size_t row : draw_member(total_rows, sample, total_features, features, seed, k).rows)
            saw[k][row] = true;
    return saw;
}

OutOfBag out_of_bag(const Voters &voters, std::vector<std::vector<bool>> saw, const std::vector<double> &truth,
                    PolicySettings settings, const MemberCall &call)
{
    const size_t rows = truth.size();
    std::vector<bool> covered(rows, false);  // some member did not draw the row
    for (const std::vector<bool> &member : saw)
        for (size_t i = 0; i < rows && i < member.size(); ++i)
            if (!member[i])
                covered[i] = true;
    settings.saw = std::move(saw);
    settings.shares = false;
    settings.marks = true;
    const Decision d = decide(voters, rows, settings, call);
    OutOfBag out;
    for (size_t i = 0; i < rows; ++i) {
        if (!covered[i])
            continue;
        const bool right = d.labels[i] == truth[i], by_boxes = d.labels[i] != settings.unknown && !d.by_nearest[i];
        ++out.rows;
        out.correct += right;
        out.by_boxes += by_boxes;
        out.correct_by_boxes += right && by_boxes;
    }
    return out;
}

}  // namespace front
