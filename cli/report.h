// Accuracy, unclassified share and confusion matrix of predicted labels.
#ifndef QUORV_CLI_REPORT_H
#define QUORV_CLI_REPORT_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

// "1 node", "3 nodes"; `many` when the plural is not `one` + "s".
std::string count_of(size_t n, const std::string &one, const std::string &many = "");

// Text of the evaluation: a prediction equal to `unknown_label` counts as
// unclassified (its own column), never as correct.
std::string evaluation_report(const std::vector<double> &truth, const std::vector<double> &predicted,
                              double unknown_label);

}  // namespace cli

#endif
