// A model's members made ready once, for both front ends: each member's nodes
// and search index built once (model/prepared.h), and the classification
// policy's member call (front/policy.h) answered through them with the labels
// the classification plug-in gives, bit for bit.
//
// The prepared path serves silent calls at a vigilance in [0, 1] on patterns
// of each member's own width; anything else (console detail, an argument the
// plug-in refuses) goes to the plug-in, which words it (serves).
//
// A model of several members (a forest, members over shuffles) is classified
// in one call (decide): the policy decides as it always does, asking member
// by member, while its questions are worked out ahead, a group of members at
// a time, members spread over the cores. One search per member and row gives
// both of the member's answers the policy may ask for: at the vigilance and
// at vigilance 0 (the nearest box). Memory: the answers worked out ahead stay
// within kAheadBytes and each searching thread gathers at most kWindowCells
// pattern values at a time, whatever the rows, members and classes (the
// policy's own blocks and tallies are bounded by block_rows).
//
// Threads: any number of calls may run at once, on one object or several;
// a member's prepared model serves one search at a time (a lock per member
// keeps it so). Threads a call starts end before it returns.
//
// Linked as quorv_prepared, with the search (quorv_search) and no host.
#ifndef QUORV_FRONT_PREPARED_H
#define QUORV_FRONT_PREPARED_H

#include "front/client.h"
#include "front/policy.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class PreparedModel;

namespace front {

class PreparedMembers {
public:
    // Members whose nodes are `members` (templates nodes x 2F, labels nodes x
    // 1), member k reading features[k] of the patterns (empty or missing:
    // all), made on the cores. `made`, when given, is called with k once
    // member k is made (on any of the threads, once per member), so that a
    // caller may free that member's nodes at once and hold each node once.
    // Throws Error when memory runs out or a member's nodes are not of that
    // shape.
    PreparedMembers(const std::vector<Nodes> &members, const std::vector<std::vector<size_t>> &features,
                    const std::function<void(size_t)> &made = {});
    ~PreparedMembers();
    PreparedMembers(const PreparedMembers &) = delete;
    PreparedMembers &operator=(const PreparedMembers &) = delete;

    size_t size() const { return models_.size(); }

    // Whether these members answer for `vigilance` with console detail
    // `verbose` on patterns `width` features wide, as the plug-in would.
    bool serves(double vigilance, long verbose, size_t width) const;

    // The policy's decision (front::decide) for the rows of `x` (each
    // member's features, scaled by `scaling` when given and enabled): the
    // labels, shares and counts the plug-in's answers give, in one call.
    // Throws Error where serves(settings.vigilance, 0, x.cols) does not hold.
    Decision decide(const Voters &voters, const MatrixView &x, const Scaling *scaling,
                    const PolicySettings &settings) const;

    // The policy's member call for one decide() over the rows of `x`, as
    // decide() uses it, `unknown` where none of a member's boxes passes
    // (`forest` is no longer needed: any model of several members is worked
    // out ahead). Only where serves() says so; one thread at a time per call.
    MemberCall call(const MatrixView &x, const Scaling *scaling, double unknown, bool forest = true) const;

    static constexpr size_t kAheadBytes = size_t{16} << 20;
    static constexpr size_t kWindowCells = size_t{1} << 15;

private:
    struct Ahead;
    std::vector<double> answer(Ahead &ahead, size_t member, const std::vector<size_t> &rows, double vigilance) const;
    std::vector<double> one(const Ahead &ahead, size_t member, const std::vector<size_t> &rows, double vigilance,
                            int threads) const;
    void search(const Ahead &ahead, size_t member, const size_t *rows, size_t first_row, size_t n, double vigilance,
                double *labels, double *nearest, int threads) const;
    void work_ahead(Ahead &ahead, size_t first, size_t first_row, size_t rows, double vigilance) const;

    std::vector<std::unique_ptr<PreparedModel>> models_;
    std::vector<std::vector<size_t>> features_;
    std::vector<double> work_;  // per member: node values sized by one pattern
    std::unique_ptr<std::mutex[]> locks_;
    int threads_ = 1;
};

}  // namespace front

#endif
