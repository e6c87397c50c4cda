// The vote of a model's members, the one rule both front ends apply: each
// pattern gets the label most members gave it, among the answers that are not
// "unknown"; a tie goes to the label of the lowest-numbered member among the
// tied ones; a pattern no member classified stays unknown. One member's
// answers pass unchanged.
#ifndef QUORV_FRONT_VOTE_H
#define QUORV_FRONT_VOTE_H

#include <cstddef>
#include <vector>

namespace front {

// answers[m][i]: member m's label for pattern i (all columns of one length).
double vote(const std::vector<std::vector<double>> &answers, size_t i, double unknown);

// The vote for every pattern.
std::vector<double> vote_all(const std::vector<std::vector<double>> &answers, double unknown);

}  // namespace front

#endif
