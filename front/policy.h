// The classification policy, the one rule both front ends apply to a model's
// members: which boxes answer, the pass at vigilance 0, the fallback, the
// vote, the shares and the counts. The plug-in call is passed in, so that
// this library needs no host.
//
// The rule. With the nearest-box pass on (the default; the tool's
// `--unclassified nearest`), every member that leaves a pattern out at the
// vigilance answers with its nearest box (the plug-in at vigilance 0), and
// where even that leaves the pattern out (its grown box would span all its
// features with every node: only far outside the training range), with its
// class with the most nodes, the lowest code of equals. A single model gives
// that one member's answer. Members over shuffles vote in two stages: the
// members whose boxes take the pattern vote; for a pattern none takes, the
// members' full answers vote; the label most members gave wins, a tie going to
// the label of the earliest member among the tied ones. A forest's members all
// answer in full and the forest votes: the class with the most answers, a tie
// going to the lowest code. With the pass off, nothing is asked at vigilance 0
// and no fallback applies: a pattern no box takes stays unknown (for a forest,
// when more members answered unknown than gave any one class).
//
// Counts: a pattern is classified by the boxes when the vote of the box
// answers alone gives it a class, by the nearest box when only the full
// answers do (the fallback included), else it is unclassified.
//
// Memory: patterns are classified in blocks whose rows shrink as the classes
// and features grow (block_rows), votes are added member by member (one
// member's answers for one block at a time), and shares are kept only when
// asked: what the policy holds beside its results stays within a fixed budget.
#ifndef QUORV_FRONT_POLICY_H
#define QUORV_FRONT_POLICY_H

#include <cstddef>
#include <functional>
#include <vector>

namespace front {

// Patterns each pass classified; added up over blocks.
struct Counts {
    size_t patterns = 0, by_boxes = 0, by_nearest = 0;
    size_t unclassified() const { return patterns - by_boxes - by_nearest; }
    void add(const Counts &other);
};

// A model as the policy hears it.
struct Voters {
    std::vector<double> classes;   // class codes, ascending
    std::vector<double> fallback;  // per member: its class with the most nodes (most_nodes_class)
    bool forest = false;           // a forest's vote; else members over shuffles (or one member)
    size_t features = 0;           // columns of the widest member's patterns (for the block size)
};

// A member's class with the most nodes among `classes` (ascending), the lowest
// code of equals; `labels`: its `nodes` node codes. Throws Error without classes.
double most_nodes_class(const double *labels, size_t nodes, const std::vector<double> &classes);
inline double most_nodes_class(const std::vector<double> &labels, const std::vector<double> &classes)
{
    return most_nodes_class(labels.data(), labels.size(), classes);
}

struct PolicySettings {
    double vigilance = 0.75;
    bool nearest = true;  // the pass at vigilance 0 and the fallback
    double unknown = -1;  // what the plug-in answers for a pattern it leaves out; no class's code
    bool shares = false;  // fill Decision::shares
    bool marks = false;   // fill Decision::by_nearest
    // A forest only, when given: per member, 1 for each pattern (of all the
    // patterns) it was trained on. A member neither votes nor counts on
    // those (the out-of-bag vote, front/oob.h); a pattern every member saw
    // stays unknown, its unknown share 1.
    std::vector<std::vector<bool>> saw;
};

struct Decision {
    std::vector<double> labels;    // per pattern: a class code or `unknown`
    std::vector<double> shares;    // when asked: patterns x (classes + 1), unknown last, rows summing to 1
    std::vector<char> by_nearest;  // when asked: 1 where the counts say "by the nearest box"
    Counts counts;
};
// Shares: for a forest, each class's answers over all members; for members
// over shuffles, over the members that answered with a class in the stage
// that decided (the unknown share 1 where none did); one-hot for one member.
// The label always has the largest share.

// The plug-in: member `member`'s (0-based) answer for each of the patterns
// `rows` (positions among all the patterns) at `vigilance`, `unknown` where
// none of its boxes passes. One answer per row, in that order.
using MemberCall = std::function<std::vector<double>(size_t member, const std::vector<size_t> &rows,
                                                     double vigilance)>;

// Rows per block for a model of `classes` classes whose members see at most
// `features` features: at most 65,536, fewer as either grows. A front end
// that reads its patterns in blocks of at most this many rows gives the
// policy one block per call.
size_t block_rows(size_t classes, size_t features);

// The decision for patterns 0 .. rows - 1.
Decision decide(const Voters &voters, size_t rows, const PolicySettings &settings, const MemberCall &call);

}  // namespace front

#endif
