// The members' vote over gathered answers, read from the policy's tally.
#include "vote.h"

#include "tally.h"

#include <algorithm>

namespace front {

std::vector<double> vote_all(const std::vector<std::vector<double>> &answers, double unknown)
{
    std::vector<double> labels;  // every answer that is not unknown is a label here
    for (const std::vector<double> &member : answers)
        for (const double a : member)
            if (a == a && a != unknown)
                labels.push_back(a);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    const size_t n = answers.empty() ? 0 : answers[0].size();
    Tally tally(n, labels);
    for (size_t m = 0; m < answers.size(); ++m)
        tally.add(m, answers[m]);
    std::vector<double> out(n, unknown);
    for (size_t i = 0; i < n; ++i) {
        const size_t best = tally.earliest_most(i);
        if (best != Tally::npos)
            out[i] = labels[best];
    }
    return out;
}

}  // namespace front
