// Accuracy, unclassified share and confusion of predicted labels. Every cost
// is linear in the patterns and classes: names are looked up by hash and cut
// to a fixed width, so no name widens the whole report.
#ifndef QUORV_CLI_REPORT_H
#define QUORV_CLI_REPORT_H

#include "dataset.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace cli {

// "1 node", "3 nodes"; `many` when the plural is not `one` + "s".
std::string count_of(size_t n, const std::string &one, const std::string &many = "");

// A forest's out-of-bag estimate in words: "Out-of-bag estimate: 95.30 %
// accuracy over 148 of 150 patterns (...)", or that it covers none.
std::string oob_text(const front::OobRecord &oob, size_t patterns);

// The evaluation, gathered a block of patterns at a time. A prediction equal
// to the unknown label counts as unclassified (its own column), never as
// correct. The confusion is kept sparse (one count per pair that occurs), so
// that thousands of classes cost no more than the pairs they produce.
class Evaluation {
public:
    explicit Evaluation(double unknown_label) : unknown_(unknown_label) {}
    void add(const std::vector<double> &truth, const std::vector<double> &predicted);
    // Classes are shown by these names (by their codes without them), each
    // as table_name() gives it.
    void name_classes(const std::vector<ClassName> &classes);
    // Up to kFullMatrix classes the whole confusion matrix; beyond, one line
    // per class (patterns, recall, precision) and the most confused pairs.
    std::string report() const;

    static constexpr size_t kFullMatrix = 30;
    static constexpr size_t kPairsShown = 10;

private:
    struct PairHash {
        size_t operator()(const std::pair<std::int64_t, std::int64_t> &p) const
        {
            // Unsigned, so that the mixing wraps instead of overflowing.
            const std::uint64_t a = static_cast<std::uint64_t>(p.first), b = static_cast<std::uint64_t>(p.second);
            return std::hash<std::uint64_t>()(a * 1000003u + b);
        }
    };
    std::string label_text(std::int64_t label) const;

    double unknown_;
    std::unordered_map<std::int64_t, std::string> names_;  // code -> name as shown
    std::string none_ = "none";                            // the unclassified column: no class's name
    size_t n_ = 0, correct_ = 0, unclassified_ = 0;
    // (true label, predicted label or kNone) -> patterns
    std::unordered_map<std::pair<std::int64_t, std::int64_t>, size_t, PairHash> cells_;
};

// The evaluation of one set of predictions.
std::string evaluation_report(const std::vector<double> &truth, const std::vector<double> &predicted,
                              double unknown_label, const std::vector<ClassName> &classes = {});

}  // namespace cli

#endif
