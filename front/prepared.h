// A model's members made ready once, for both front ends: each member's nodes
// and search index built once (model/prepared.h), and the classification
// policy's member call (front/policy.h) answered through them with the labels
// the classification plug-in gives, bit for bit.
//
// The prepared path serves silent calls at a vigilance in [0, 1] on patterns
// of each member's own width; anything else (console detail, an argument the
// plug-in refuses) goes to the plug-in, which words it (serves).
//
// Forests: when the policy asks a forest member for a whole block, the next
// members' answers for that block, at the vigilance and for what each left
// out at vigilance 0, are worked out at once, members spread over the cores;
// kept for at most kGroupMembers members per core and one block, so memory
// stays within rows x members-per-group whatever the model.
//
// One call at a time per object (a lock keeps it so); objects of different
// models may be used from several threads at once.
//
// Linked as quorv_prepared, with the search (quorv_search) and no host.
#ifndef QUORV_FRONT_PREPARED_H
#define QUORV_FRONT_PREPARED_H

#include "front/client.h"
#include "front/policy.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class PreparedModel;

namespace front {

class PreparedMembers {
public:
    // Members whose nodes are `members` (templates nodes x 2F, labels nodes x
    // 1), member k reading features[k] of the patterns (empty or missing:
    // all). Throws Error when memory runs out or a member's nodes are not of
    // that shape.
    PreparedMembers(const std::vector<Nodes> &members, const std::vector<std::vector<size_t>> &features);
    ~PreparedMembers();
    PreparedMembers(const PreparedMembers &) = delete;
    PreparedMembers &operator=(const PreparedMembers &) = delete;

    size_t size() const { return models_.size(); }

    // Whether these members answer for `vigilance` with console detail
    // `verbose` on patterns `width` features wide, as the plug-in would.
    bool serves(double vigilance, long verbose, size_t width) const;

    // The policy's member call for one decide() over the rows of `x` (each
    // member's features, scaled by `scaling` when given and enabled), `unknown`
    // where none of a member's boxes passes: what the classification plug-in
    // gives. `forest`: the policy votes as a forest (whole blocks asked member
    // by member, then their unknowns at vigilance 0), so members are worked
    // out ahead, several at once. Only where serves() says so.
    MemberCall call(const MatrixView &x, const Scaling *scaling, double unknown, bool forest);

    static constexpr size_t kGroupMembers = 2;  // per core, worked out ahead

private:
    struct Ahead;
    std::vector<double> answer(Ahead &ahead, size_t member, const std::vector<size_t> &rows, double vigilance);
    std::vector<double> one(const Ahead &ahead, size_t member, const std::vector<size_t> &rows, double vigilance,
                            int threads) const;
    void work_ahead(Ahead &ahead, size_t first, const std::vector<size_t> &rows, double vigilance);

    std::vector<std::unique_ptr<PreparedModel>> models_;
    std::vector<std::vector<size_t>> features_;
    std::unique_ptr<Ahead> ahead_;
    std::mutex lock_;
    int threads_ = 1;
};

}  // namespace front

#endif
