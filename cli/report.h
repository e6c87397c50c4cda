// Accuracy, unclassified share and confusion matrix of predicted labels.
#ifndef QUORV_CLI_REPORT_H
#define QUORV_CLI_REPORT_H

#include <string>
#include <vector>

namespace cli {

// Text of the evaluation: a prediction equal to `unknown_label` counts as
// unclassified (its own column), never as correct.
std::string evaluation_report(const std::vector<double> &truth, const std::vector<double> &predicted,
                              double unknown_label);

}  // namespace cli

#endif
