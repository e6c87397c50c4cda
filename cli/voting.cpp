// Voting members and the nearest-box pass, on top of the classification plug-in.
#include "voting.h"

#include "forest.h"
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

// Every member's answers for `patterns`, voted; with `shares`, the shares
// among the members that answered.
std::vector<double> voted(const Model &model, const Dataset &patterns, double vigilance, long unknown, long verbose,
                          std::vector<double> *shares)
{
    std::vector<std::vector<double>> answers;
    for (size_t m = 0; m < model.members.size(); ++m)
        answers.push_back(call_perf(model, m, patterns, vigilance, unknown, verbose));
    if (shares) {
        std::vector<double> codes;
        for (const ClassName &c : model.classes)
            codes.push_back(c.code);
        *shares = front::answered_shares(answers, codes);
    }
    return front::vote_all(answers, static_cast<double>(unknown));
}

}  // namespace

std::vector<double> classify_scaled(const Model &model, const Dataset &scaled, const ClassifySettings &s,
                                    ClassifyCounts *counts, std::vector<char> *by_nearest, std::vector<double> *shares)
{
    if (model.forest.on)
        return classify_forest(model, scaled, s, counts, by_nearest, shares);
    if (by_nearest)
        by_nearest->assign(scaled.rows, 0);
    const double unknown = static_cast<double>(s.unknown_label);
    std::vector<double> labels = voted(model, scaled, s.vigilance, s.unknown_label, s.verbose, shares);
    std::vector<size_t> rest;
    for (size_t i = 0; i < labels.size(); ++i)
        if (labels[i] == unknown)
            rest.push_back(i);
    ClassifyCounts c;
    c.patterns = scaled.rows;
    c.by_boxes = scaled.rows - rest.size();
    if (s.nearest && !rest.empty() && s.vigilance > 0) {
        std::vector<double> second_shares;
        const std::vector<double> second = voted(model, scaled.subset(rest), 0.0, s.unknown_label, s.verbose,
                                                 shares ? &second_shares : nullptr);
        const size_t width = model.classes.size() + 1;
        for (size_t k = 0; k < rest.size(); ++k) {
            if (shares)
                std::copy(second_shares.begin() + static_cast<long>(k * width),
                          second_shares.begin() + static_cast<long>((k + 1) * width),
                          shares->begin() + static_cast<long>(rest[k] * width));
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
