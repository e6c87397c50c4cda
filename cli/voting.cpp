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

namespace {

// Every member's answers for `patterns`, voted.
std::vector<double> voted(const Model &model, const Dataset &patterns, double vigilance, long unknown, long verbose)
{
    std::vector<std::vector<double>> answers;
    for (size_t m = 0; m < model.members(); ++m)
        answers.push_back(call_perf(m == 0 ? model : model.member(m), patterns, vigilance, unknown, verbose));
    std::vector<double> out(patterns.rows);
    for (size_t i = 0; i < patterns.rows; ++i)
        out[i] = vote(answers, i, static_cast<double>(unknown));
    return out;
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
