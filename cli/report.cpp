// The evaluation printed by `classify` and `demo`.
#include "report.h"

#include "dataset.h"
#include "numbers.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

std::string percent(size_t part, size_t whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

std::string right(const std::string &text, size_t width)
{
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

}  // namespace

std::string count_of(size_t n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

std::string evaluation_report(const std::vector<double> &truth, const std::vector<double> &predicted,
                              double unknown_label)
{
    const size_t n = truth.size();
    std::vector<double> classes = truth;
    for (double p : predicted)
        if (p != unknown_label)
            classes.push_back(p);
    classes = distinct_labels(classes);
    const size_t c = classes.size();
    const auto index = [&classes](double label) {
        return static_cast<size_t>(std::lower_bound(classes.begin(), classes.end(), label) - classes.begin());
    };

    // Rows: true class; columns: predicted class, then unclassified.
    std::vector<size_t> matrix(c * (c + 1), 0);
    size_t correct = 0, unclassified = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool none = predicted[i] == unknown_label;
        correct += !none && predicted[i] == truth[i];
        unclassified += none;
        matrix[index(truth[i]) * (c + 1) + (none ? c : index(predicted[i]))] += 1;
    }

    std::string text = "Accuracy: " + percent(correct, n) + " (" + std::to_string(correct) + " of " +
                       std::to_string(n) + " patterns), unclassified: " + percent(unclassified, n) + " (" +
                       std::to_string(unclassified) + ")\n";
    text += "Confusion matrix (rows: true label, columns: predicted label, none: unclassified):\n";
    std::vector<std::string> heads;
    size_t width = 4;
    for (double label : classes)
        heads.push_back(format_double(label));
    heads.push_back("none");
    for (const std::string &h : heads)
        width = std::max(width, h.size());
    width = std::max(width, std::to_string(n).size());
    text += right("", width);
    for (const std::string &h : heads)
        text += " " + right(h, width);
    text += "\n";
    for (size_t r = 0; r < c; ++r) {
        text += right(heads[r], width);
        for (size_t col = 0; col <= c; ++col)
            text += " " + right(std::to_string(matrix[r * (c + 1) + col]), width);
        text += "\n";
    }
    return text;
}

}  // namespace cli
