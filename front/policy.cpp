// The classification policy: blocks of patterns, votes tallied member by
// member, the pass at vigilance 0 and the fallback.
#include "policy.h"

#include "error.h"
#include "tally.h"

#include <algorithm>
#include <limits>
#include <string>

namespace front {

void Counts::add(const Counts &other)
{
    patterns += other.patterns;
    by_boxes += other.by_boxes;
    by_nearest += other.by_nearest;
}

double most_nodes_class(const double *labels, size_t nodes, const std::vector<double> &classes)
{
    if (classes.empty())
        throw Error("a model needs at least one class");
    std::vector<size_t> count(classes.size());
    for (size_t k = 0; k < nodes; ++k) {
        const auto at = std::lower_bound(classes.begin(), classes.end(), labels[k]);
        if (at != classes.end() && *at == labels[k])
            ++count[static_cast<size_t>(at - classes.begin())];
    }
    size_t best = 0;
    for (size_t k = 1; k < classes.size(); ++k)
        if (count[k] > count[best])
            best = k;
    return classes[best];
}

size_t block_rows(size_t classes, size_t features)
{
    // The patterns of a block as the plug-in takes them: about a million
    // cells (8 MB). The tallies: two per block (a forest's box answers and
    // full answers), each a cell per row and class and one for unknown.
    const size_t kRows = 65536, kCells = size_t{1} << 20, kTallyBytes = size_t{32} << 20;
    const size_t by_features = kCells / std::max<size_t>(features, 1);
    const size_t by_classes = kTallyBytes / (2 * sizeof(Tally::Cell) * (classes + 1));
    return std::max<size_t>(1, std::min({kRows, by_features, by_classes}));
}

namespace {

// One block's patterns (`rows`, positions among all the patterns), decided
// into `out` at those positions: the members' answers are tallied one member
// at a time, and only the block's tallies are held.
class Block {
public:
    Block(const Voters &v, const PolicySettings &s, const MemberCall &call, std::vector<size_t> rows, Decision *out)
        : v_(v), s_(s), call_(call), rows_(std::move(rows)), out_(out)
    {
    }
    void members();
    void forest();

private:
    std::vector<double> ask(size_t member, const std::vector<size_t> &rows, double vigilance) const;
    // Where member `member` answered `unknown` at the vigilance (answers[j]
    // for row `rows[j]`): its nearest box, then its fallback.
    void complete(size_t member, const std::vector<size_t> &rows, std::vector<double> *answers) const;
    void record(size_t j, size_t chosen, const Tally &tally, size_t row, bool all_members, bool nearest);
    // Per row of the block, 1 where member `member` abstains; empty when none does.
    std::vector<char> abstains(size_t member) const;
    // Member `member`'s answers at the vigilance for the rows it does not
    // abstain on (asked for those alone), NaN for the others: no class, and
    // not `unknown`, so that nothing more is asked for them.
    std::vector<double> ask_voting(size_t member, const std::vector<char> &abstain) const;

    const Voters &v_;
    const PolicySettings &s_;
    const MemberCall &call_;
    const std::vector<size_t> rows_;
    Decision *out_;
};

std::vector<double> Block::ask(size_t member, const std::vector<size_t> &rows, double vigilance) const
{
    std::vector<double> answers = call_(member, rows, vigilance);
    if (answers.size() != rows.size())
        throw Error("the classification plug-in returned " + std::to_string(answers.size()) + " labels for " +
                    std::to_string(rows.size()) + " patterns");
    return answers;
}

void Block::complete(size_t member, const std::vector<size_t> &rows, std::vector<double> *answers) const
{
    std::vector<size_t> rest, at;
    for (size_t j = 0; j < answers->size(); ++j)
        if ((*answers)[j] == s_.unknown) {
            rest.push_back(j);
            at.push_back(rows[j]);
        }
    if (rest.empty())
        return;
    if (s_.vigilance > 0) {
        const std::vector<double> second = ask(member, at, 0.0);
        for (size_t k = 0; k < rest.size(); ++k)
            (*answers)[rest[k]] = second[k];
    }
    for (const size_t j : rest)
        if ((*answers)[j] == s_.unknown)
            (*answers)[j] = v_.fallback[member];
}

// Row j of the block gets class `chosen` (npos: unknown) and its shares from
// row `row` of `tally`: over all answers (a forest) or over those that gave a
// class. `nearest`: decided by the full answers, not by the boxes.
void Block::record(size_t j, size_t chosen, const Tally &tally, size_t row, bool all_members, bool nearest)
{
    const size_t i = rows_[j], c = v_.classes.size();
    Decision &d = *out_;
    d.labels[i] = chosen == Tally::npos ? s_.unknown : v_.classes[chosen];
    if (chosen != Tally::npos)
        ++(nearest ? d.counts.by_nearest : d.counts.by_boxes);
    if (s_.marks)
        d.by_nearest[i] = nearest && chosen != Tally::npos;
    if (s_.shares)
        tally.shares(row, all_members, &d.shares[i * (c + 1)]);
}

std::vector<char> Block::abstains(size_t member) const
{
    std::vector<char> out;
    if (s_.saw.empty())
        return out;
    out.resize(rows_.size());
    for (size_t j = 0; j < rows_.size(); ++j)
        out[j] = s_.saw[member][rows_[j]];
    return out;
}

std::vector<double> Block::ask_voting(size_t member, const std::vector<char> &abstain) const
{
    std::vector<size_t> rows;
    for (size_t j = 0; j < rows_.size(); ++j)
        if (!abstain[j])
            rows.push_back(rows_[j]);
    std::vector<double> out(rows_.size(), std::numeric_limits<double>::quiet_NaN());
    if (rows.empty())
        return out;
    const std::vector<double> answers = ask(member, rows, s_.vigilance);
    for (size_t j = 0, k = 0; j < rows_.size(); ++j)
        if (!abstain[j])
            out[j] = answers[k++];
    return out;
}

void Block::members()
{
    Tally boxes(rows_.size(), v_.classes);
    for (size_t m = 0; m < v_.fallback.size(); ++m)
        boxes.add(m, ask(m, rows_, s_.vigilance));
    std::vector<size_t> rest;  // positions in the block that no box took
    for (size_t j = 0; j < rows_.size(); ++j) {
        const size_t chosen = boxes.earliest_most(j);
        if (chosen != Tally::npos || !s_.nearest)
            record(j, chosen, boxes, j, false, false);
        else
            rest.push_back(j);
    }
    if (rest.empty())
        return;
    std::vector<size_t> at;
    for (const size_t j : rest)
        at.push_back(rows_[j]);
    Tally full(rest.size(), v_.classes);
    for (size_t m = 0; m < v_.fallback.size(); ++m) {
        std::vector<double> answers(rest.size(), s_.unknown);
        complete(m, at, &answers);
        full.add(m, answers);
    }
    for (size_t k = 0; k < rest.size(); ++k)
        record(rest[k], full.earliest_most(k), full, k, false, true);
}

void Block::forest()
{
    Tally boxes(rows_.size(), v_.classes), full(s_.nearest ? rows_.size() : 0, v_.classes);
    for (size_t m = 0; m < v_.fallback.size(); ++m) {
        const std::vector<char> abstain = abstains(m);
        const std::vector<char> *skip = abstain.empty() ? nullptr : &abstain;
        std::vector<double> answers = skip ? ask_voting(m, abstain) : ask(m, rows_, s_.vigilance);
        boxes.add(m, answers, skip);
        if (s_.nearest) {
            complete(m, rows_, &answers);
            full.add(m, answers, skip);
        }
    }
    const Tally &decides = s_.nearest ? full : boxes;
    for (size_t j = 0; j < rows_.size(); ++j) {
        const size_t by_boxes = boxes.lowest_most(j), chosen = decides.lowest_most(j);
        record(j, chosen, decides, j, true, by_boxes == Tally::npos);
    }
}

bool abstentions_fit(const Voters &voters, const PolicySettings &settings, size_t rows)
{
    if (!voters.forest || settings.saw.size() != voters.fallback.size())
        return false;
    for (const std::vector<bool> &saw : settings.saw)
        if (saw.size() != rows)
            return false;
    return true;
}

}  // namespace

Decision decide(const Voters &voters, size_t rows, const PolicySettings &settings, const MemberCall &call)
{
    if (voters.classes.empty() || voters.fallback.empty())
        throw Error("a model needs at least one class and one member");
    if (!settings.saw.empty() && !abstentions_fit(voters, settings, rows))
        throw Error("only a forest's members abstain, each with a mark per pattern");
    Decision d;
    d.labels.assign(rows, settings.unknown);
    if (settings.shares)
        d.shares.assign(rows * (voters.classes.size() + 1), 0.0);
    if (settings.marks)
        d.by_nearest.assign(rows, 0);
    d.counts.patterns = rows;
    const size_t step = block_rows(voters.classes.size(), voters.features);
    for (size_t first = 0; first < rows; first += step) {
        std::vector<size_t> block(std::min(step, rows - first));
        for (size_t j = 0; j < block.size(); ++j)
            block[j] = first + j;
        Block b(voters, settings, call, std::move(block), &d);
        if (voters.forest)
            b.forest();
        else
            b.members();
    }
    return d;
}

}  // namespace front
