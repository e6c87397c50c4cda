// Voting members and the nearest-box pass, on top of the classification plug-in.
#include "voting.h"

#include "plugins.h"

#include <algorithm>

namespace cli {

void ClassifyCounts::add(const ClassifyCounts &other)
{
    patterns += other.patterns;
    by_boxes += other.by_boxes;
    by_nearest += other.by_nearest;
}

std::string ClassifyCounts::text(double vigilance, bool nearest) const
{
    char vig[64];
    std::snprintf(vig, sizeof vig, "%g", vigilance);
    std::string out = std::to_string(patterns) + (patterns == 1 ? " pattern: " : " patterns: ") +
                      std::to_string(by_boxes) + " by their boxes (vigilance " + vig + ")";
    if (nearest && vigilance > 0)
        out += ", " + std::to_string(by_nearest) + " by the nearest box (vigilance 0)";
    return out + ", " + std::to_string(unclassified()) + " unclassified";
}

namespace {

// Every member's answers for `patterns`, voted.
std::vector<double> voted(const Model &model, const Dataset &patterns, double vigilance, long unknown, long verbose)
{
    std::vector<std::vector<double>> answers;
    for (size_t m = 0; m < model.members.size(); ++m)
        answers.push_back(call_perf(model, m, patterns, vigilance, unknown, verbose));
    return front::vote_all(answers, static_cast<double>(unknown));
}

}  // namespace

std::vector<double> classify_scaled(const Model &model, const Dataset &scaled, const ClassifySettings &s,
                                    ClassifyCounts *counts, std::vector<char> *by_nearest)
{
    if (by_nearest)
        by_nearest->assign(scaled.rows, 0);
    const double unknown = static_cast<double>(s.unknown_label);
    std::vector<double> labels = voted(model, scaled, s.vigilance, s.unknown_label, s.verbose);
    std::vector<size_t> rest;
    for (size_t i = 0; i < labels.size(); ++i)
        if (labels[i] == unknown)
            rest.push_back(i);
    ClassifyCounts c;
    c.patterns = scaled.rows;
    c.by_boxes = scaled.rows - rest.size();
    if (s.nearest && !rest.empty() && s.vigilance > 0) {
        const std::vector<double> second = voted(model, scaled.subset(rest), 0.0, s.unknown_label, s.verbose);
        for (size_t k = 0; k < rest.size(); ++k) {
            labels[rest[k]] = second[k];
            c.by_nearest += second[k] != unknown;
            if (by_nearest)
                (*by_nearest)[rest[k]] = second[k] != unknown;
        }
    }
    if (counts)
        counts->add(c);
    return labels;
}

}  // namespace cli
