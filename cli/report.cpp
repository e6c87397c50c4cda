// The evaluation printed by `classify` and `demo`.
#include "report.h"

#include "numbers.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <unordered_set>

namespace cli {

namespace {

// Labels are whole numbers in the int range: this is none of them.
constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();

std::string percent(size_t part, size_t whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

std::string right(const std::string &text, size_t width)
{
    const size_t shown = display_width(text);
    return std::string(width > shown ? width - shown : 0, ' ') + text;
}

}  // namespace

void Evaluation::name_classes(const std::vector<ClassName> &classes)
{
    names_.clear();
    std::unordered_set<std::string> shown;
    for (const ClassName &c : classes) {
        std::string name = table_name(c.name);
        shown.insert(name);
        names_.emplace(static_cast<std::int64_t>(c.code), std::move(name));
    }
    // The unclassified column is "none" unless a class is shown so.
    none_ = "none";
    while (shown.count(none_))
        none_ = "(" + none_ + ")";
}

std::string Evaluation::label_text(std::int64_t label) const
{
    if (label == kNone)
        return none_;
    const auto at = names_.find(label);
    return at != names_.end() ? at->second : format_double(static_cast<double>(label));
}

std::string count_of(size_t n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

std::string oob_text(const front::OobRecord &oob, size_t patterns)
{
    if (oob.rows == 0)
        return "Out-of-bag estimate: none, every member drew every one of the " + count_of(patterns, "pattern");
    char share[32];
    std::snprintf(share, sizeof share, "%.2f %%", 100.0 * static_cast<double>(oob.correct) / static_cast<double>(oob.rows));
    return "Out-of-bag estimate: " + std::string(share) + " accuracy over " + std::to_string(oob.rows) + " of " +
           count_of(patterns, "pattern") + " (each voted on by the members that did not draw it" +
           (oob.nearest ? "" : ", the unclassified counted as wrong") + ")";
}

void Evaluation::add(const std::vector<double> &truth, const std::vector<double> &predicted)
{
    for (size_t i = 0; i < truth.size(); ++i) {
        const bool none = predicted[i] == unknown_;
        correct_ += !none && predicted[i] == truth[i];
        unclassified_ += none;
        ++cells_[{static_cast<std::int64_t>(truth[i]), none ? kNone : static_cast<std::int64_t>(predicted[i])}];
    }
    n_ += truth.size();
}

std::string Evaluation::report() const
{
    // Per class: patterns of it, given it, given it rightly, unclassified.
    struct Tally {
        size_t patterns = 0, given = 0, right = 0, none = 0;
    };
    std::map<std::int64_t, Tally> classes;
    for (const auto &cell : cells_) {
        const std::int64_t truth = cell.first.first, given = cell.first.second;
        Tally &t = classes[truth];
        t.patterns += cell.second;
        if (given == kNone)
            t.none += cell.second;
        else
            classes[given].given += cell.second;
        if (given == truth)
            t.right += cell.second;
    }

    std::string text = "Accuracy: " + percent(correct_, n_) + " (" + std::to_string(correct_) + " of " +
                       std::to_string(n_) + " patterns), unclassified: " + percent(unclassified_, n_) + " (" +
                       std::to_string(unclassified_) + ")\n";
    if (classes.size() <= kFullMatrix) {
        text += "Confusion matrix (rows: true label, columns: predicted label, " + none_ + ": unclassified):\n";
        std::vector<std::int64_t> heads;
        for (const auto &c : classes)
            heads.push_back(c.first);
        heads.push_back(kNone);
        size_t width = std::max<size_t>(4, std::to_string(n_).size());
        for (std::int64_t h : heads)
            width = std::max(width, display_width(label_text(h)));
        text += right("", width);
        for (std::int64_t h : heads)
            text += " " + right(label_text(h), width);
        text += "\n";
        for (const auto &c : classes) {
            text += right(label_text(c.first), width);
            for (std::int64_t h : heads) {
                const auto at = cells_.find({c.first, h});
                text += " " + right(std::to_string(at == cells_.end() ? 0 : at->second), width);
            }
            text += "\n";
        }
        return text;
    }

    text += "Per class (" + std::to_string(classes.size()) + " classes, too many for a confusion matrix; recall: "
            "share of its patterns given its label, precision: share of the patterns given its label that are of it):\n";
    size_t width = std::max<size_t>(9, std::to_string(n_).size());
    for (const auto &c : classes)
        width = std::max(width, display_width(label_text(c.first)));
    text += right("label", width) + " " + right("patterns", width) + " " + right("recall", 8) + " " +
            right("given", width) + " " + right("precision", 9) + " " + right(none_, width) + "\n";
    for (const auto &c : classes) {
        const Tally &t = c.second;
        text += right(label_text(c.first), width) + " " + right(std::to_string(t.patterns), width) + " " +
                right(t.patterns ? percent(t.right, t.patterns) : "-", 8) + " " + right(std::to_string(t.given), width) +
                " " + right(t.given ? percent(t.right, t.given) : "-", 9) + " " + right(std::to_string(t.none), width) +
                "\n";
    }
    std::vector<std::pair<size_t, std::pair<std::int64_t, std::int64_t>>> confused;
    for (const auto &cell : cells_)
        if (cell.first.second != kNone && cell.first.first != cell.first.second)
            confused.push_back({cell.second, cell.first});
    const size_t shown = std::min(kPairsShown, confused.size());
    std::partial_sort(confused.begin(), confused.begin() + static_cast<long>(shown), confused.end(),
                      [](const auto &a, const auto &b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    text += "Most confused pairs (true label -> predicted label: patterns):";
    text += shown == 0 ? " none\n" : "\n";
    for (size_t i = 0; i < shown; ++i)
        text += "  " + label_text(confused[i].second.first) + " -> " + label_text(confused[i].second.second) + ": " +
                std::to_string(confused[i].first) + "\n";
    return text;
}

std::string evaluation_report(const std::vector<double> &truth, const std::vector<double> &predicted,
                              double unknown_label, const std::vector<ClassName> &classes)
{
    Evaluation evaluation(unknown_label);
    evaluation.name_classes(classes);
    evaluation.add(truth, predicted);
    return evaluation.report();
}

}  // namespace cli
