// Majority vote among members.
#include "vote.h"

namespace front {

double vote(const std::vector<std::vector<double>> &answers, size_t i, double unknown)
{
    if (answers.size() == 1)
        return answers[0][i];
    double best = unknown;
    size_t best_count = 0;
    for (size_t m = 0; m < answers.size(); ++m) {
        const double label = answers[m][i];
        if (label == unknown)
            continue;
        size_t count = 0;
        for (const auto &member : answers)
            count += member[i] == label;
        if (count > best_count) {  // strictly more: the earlier member keeps a tie
            best = label;
            best_count = count;
        }
    }
    return best;
}

std::vector<double> vote_all(const std::vector<std::vector<double>> &answers, double unknown)
{
    const size_t n = answers.empty() ? 0 : answers[0].size();
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = vote(answers, i, unknown);
    return out;
}

}  // namespace front
