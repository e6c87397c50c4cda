// The members' vote over answers already gathered, by the policy's rule
// (front/policy.h): each pattern gets the label most members gave it, among
// the answers that are not "unknown"; a tie goes to the label of the earliest
// member among the tied ones; a pattern no member classified stays unknown.
#ifndef QUORV_FRONT_VOTE_H
#define QUORV_FRONT_VOTE_H

#include <vector>

namespace front {

// answers[m][i]: member m's label for pattern i (all columns of one length).
std::vector<double> vote_all(const std::vector<std::vector<double>> &answers, double unknown);

}  // namespace front

#endif
