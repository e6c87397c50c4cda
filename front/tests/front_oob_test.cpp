// The out-of-bag estimate with a stand-in for the plug-in: members that drew
// a pattern abstain, a pattern every member drew is left out, ties and the
// nearest-box pass follow the forest's vote; the rows drawn are training's.
#include "front/error.h"
#include "front/forest.h"
#include "front/oob.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const double u = -1;  // the stand-in's unknown

struct Case {
    const char *what;
    std::vector<double> boxes;  // per member: its answer at the vigilance
    std::vector<double> near;   // per member: its answer at vigilance 0
    std::vector<bool> saw;      // per member: it drew the pattern
    double truth;
    bool covered, correct, by_boxes;
};

// Three members, classes 1, 2, 5, each member's fallback 1.
const Case kCases[] = {
    {"every member voting", {2, 2, 1}, {5, 5, 5}, {false, false, false}, 2, true, true, true},
    {"the members that drew it abstain", {2, 2, 1}, {5, 5, 5}, {true, true, false}, 2, true, false, true},
    {"an abstainer would have broken the tie", {5, 2, 5}, {1, 1, 1}, {false, false, true}, 2, true, true, true},
    {"a tie among voters: the lowest code", {5, 2, 1}, {1, 1, 1}, {true, false, false}, 1, true, true, true},
    {"the one voter left", {u, 5, 2}, {1, 1, 1}, {true, false, true}, 5, true, true, true},
    {"drawn by every member: left out", {2, 2, 2}, {2, 2, 2}, {true, true, true}, 2, false, false, false},
    {"no box takes it: the voters' nearest boxes", {u, u, 2}, {5, 5, 1}, {false, false, true}, 5, true, true, false},
    {"an abstainer's nearest box does not count", {u, u, u}, {5, 2, 2}, {false, true, true}, 5, true, true, false},
};

front::OutOfBag estimate(const std::vector<const Case *> &cases, bool nearest = true)
{
    front::Voters voters{{1, 2, 5}, {1, 1, 1}, true, 4};
    std::vector<std::vector<bool>> saw(3);
    std::vector<double> truth;
    for (const Case *c : cases) {
        for (size_t m = 0; m < 3; ++m)
            saw[m].push_back(c->saw[m]);
        truth.push_back(c->truth);
    }
    front::PolicySettings s;
    s.unknown = u;
    s.nearest = nearest;
    const auto call = [&](size_t m, const std::vector<size_t> &rows, double vigilance) {
        std::vector<double> out;
        for (const size_t i : rows)
            out.push_back(vigilance == 0 ? cases.at(i)->near.at(m) : cases.at(i)->boxes.at(m));
        return out;
    };
    return front::out_of_bag(voters, saw, truth, s, call);
}

TEST(OutOfBag, EachRuleOnOnePatternThenAllAtOnce)
{
    std::vector<const Case *> all;
    size_t rows = 0, correct = 0, by_boxes = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        const front::OutOfBag one = estimate({&c});
        EXPECT_EQ(one.rows, c.covered ? 1u : 0u);
        EXPECT_EQ(one.correct, c.correct ? 1u : 0u);
        EXPECT_EQ(one.by_boxes, c.by_boxes ? 1u : 0u);
        all.push_back(&c);
        rows += c.covered;
        correct += c.correct;
        by_boxes += c.by_boxes;
    }
    const front::OutOfBag sum = estimate(all);
    EXPECT_EQ(sum.rows, rows);
    EXPECT_EQ(sum.correct, correct);
    EXPECT_EQ(sum.by_boxes, by_boxes);
    EXPECT_DOUBLE_EQ(sum.accuracy(), static_cast<double>(correct) / static_cast<double>(rows));
    EXPECT_EQ(estimate({&kCases[5]}).accuracy(), 0.0) << "no pattern covered: no estimate, no division";
}

TEST(OutOfBag, WithoutTheNearestBoxAPatternNoVoterPlacesIsWrong)
{
    const Case c = {"", {u, u, 2}, {5, 5, 1}, {false, false, true}, 5, true, false, false};
    const front::OutOfBag one = estimate({&c}, false);
    EXPECT_EQ(one.rows, 1u);
    EXPECT_EQ(one.correct, 0u);
}

TEST(OutOfBag, SharesAndCountsAreOverTheMembersThatVote)
{
    front::Voters voters{{1, 2}, {1, 1, 1, 1}, true, 2};
    front::PolicySettings s;
    s.saw = {{true, true}, {false, true}, {false, true}, {false, true}};
    s.shares = s.marks = true;
    const auto call = [](size_t m, const std::vector<size_t> &rows, double) {
        return std::vector<double>(rows.size(), m == 3 ? 1.0 : 2.0);
    };
    const front::Decision d = front::decide(voters, 2, s, call);
    EXPECT_EQ(d.labels, (std::vector<double>{2, -1}));
    EXPECT_EQ(d.shares, (std::vector<double>{1.0 / 3, 2.0 / 3, 0, 0, 0, 1})) << "row 2: no voter, unknown";
    EXPECT_EQ(d.counts.by_boxes, 1u);
    EXPECT_EQ(d.counts.unclassified(), 1u);

    voters.forest = false;  // members over shuffles all saw every row
    EXPECT_THROW(front::decide(voters, 2, s, call), front::Error);
    voters.forest = true;
    s.saw.pop_back();
    EXPECT_THROW(front::decide(voters, 2, s, call), front::Error);
}

TEST(OutOfBag, TheRowsDrawnAreTheMembersTrainingRows)
{
    const front::SampleRule sample{7, true};
    const auto saw = front::drawn_rows(10, sample, 4, 2, 9, 3);
    ASSERT_EQ(saw.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        std::vector<bool> expected(10, false);
        for (const size_t row : front::draw_member(10, sample, 4, 2, 9, k).rows)
            expected[row] = true;
        EXPECT_EQ(saw[k], expected) << "member " << k;
    }
    EXPECT_THROW(front::drawn_rows(10, {7, false}, 4, 2, 9, 3), front::Error);
}

}  // namespace
