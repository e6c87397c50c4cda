// The grids of settings `quorv tune` compares: each value is checked before
// any work, so that a bad one is a usage error naming its option.
#ifndef QUORV_CLI_TUNING_H
#define QUORV_CLI_TUNING_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

// "0.5:0.95:0.05" (from, to, step; `to` included when the steps reach it
// within rounding), "0.5,0.75,1" or one value. Throws UsageError naming `option`.
std::vector<double> parse_grid(const std::string &text, const std::string &option);

}  // namespace cli

#endif
