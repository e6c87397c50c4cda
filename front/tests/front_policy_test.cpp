// The classification policy, with a stand-in for the plug-in: which passes
// are asked, the fallback, both votes, shares, counts and blocks.
#include "front/error.h"
#include "front/policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const double u = -1;  // the stand-in's unknown
const std::vector<double> kClasses = {1, 2, 5};

struct Case {
    const char *what;
    bool forest, nearest;
    double vigilance;
    std::vector<double> boxes;     // per member: its answer at the vigilance
    std::vector<double> near;      // per member: its answer at vigilance 0
    std::vector<double> fallback;  // per member: its class with the most nodes
    double label;
    std::vector<double> shares;    // classes 1, 2, 5, then unknown
    char counted;                  // b: by the boxes, n: by the nearest box, u: unclassified
};

const Case kCases[] = {
    {"one member: its box", false, true, 0.75, {2}, {5}, {1}, 2, {0, 1, 0, 0}, 'b'},
    {"one member: its nearest box", false, true, 0.75, {u}, {5}, {1}, 5, {0, 0, 1, 0}, 'n'},
    {"one member: beyond its nearest box", false, true, 0.75, {u}, {u}, {1}, 1, {1, 0, 0, 0}, 'n'},
    {"one member, pass off", false, false, 0.75, {u}, {5}, {1}, u, {0, 0, 0, 1}, 'u'},
    {"one member at vigilance 0", false, true, 0.0, {5}, {u}, {2}, 2, {0, 1, 0, 0}, 'n'},
    {"shuffles: a tie goes to the earliest member", false, true, 0.75, {u, 2, 1}, {5, 5, 5}, {1, 1, 1}, 2,
     {0.5, 0.5, 0, 0}, 'b'},
    {"shuffles: the boxes that take it decide", false, true, 0.75, {u, 5, 5}, {1, 1, 1}, {1, 1, 1}, 5,
     {0, 0, 1, 0}, 'b'},
    {"shuffles: full answers where no box takes it", false, true, 0.75, {u, u, u}, {5, u, 1}, {1, 1, 2}, 1,
     {2.0 / 3, 0, 1.0 / 3, 0}, 'n'},
    {"shuffles: each member its own fallback", false, true, 0.75, {u, u, u}, {5, 2, u}, {1, 1, 5}, 5,
     {0, 1.0 / 3, 2.0 / 3, 0}, 'n'},
    {"shuffles: full answers tie to the earliest", false, true, 0.75, {u, u, u}, {2, 5, u}, {5, 5, 1}, 2,
     {1.0 / 3, 1.0 / 3, 1.0 / 3, 0}, 'n'},
    {"shuffles, pass off", false, false, 0.75, {u, u, u}, {2, 2, 2}, {1, 1, 1}, u, {0, 0, 0, 1}, 'u'},
    {"forest: the lowest of tied classes", true, true, 0.75, {5, 1}, {2, 2}, {2, 2}, 1, {0.5, 0, 0.5, 0}, 'b'},
    {"forest: every member in full", true, true, 0.75, {2, u, 1}, {5, 1, 5}, {5, 5, 5}, 1,
     {2.0 / 3, 1.0 / 3, 0, 0}, 'b'},
    {"forest: boxes alone would not decide", true, true, 0.75, {u, u, 5}, {2, 2, 1}, {1, 1, 1}, 2,
     {0, 2.0 / 3, 1.0 / 3, 0}, 'n'},
    {"forest: fallbacks", true, true, 0.75, {u, u, u}, {u, u, u}, {5, 2, 5}, 5, {0, 1.0 / 3, 2.0 / 3, 0}, 'n'},
    {"forest, pass off: unknown outvotes", true, false, 0.75, {u, u, 5}, {2, 2, 2}, {1, 1, 1}, u,
     {0, 0, 1.0 / 3, 2.0 / 3}, 'u'},
    {"forest, pass off: a class ties with unknown", true, false, 0.75, {u, 5}, {2, 2}, {1, 1}, 5,
     {0, 0, 0.5, 0.5}, 'b'},
    {"forest: an answer that is no class is unknown", true, false, 0.75, {7, 1, 1}, {2, 2, 2}, {1, 1, 1}, 1,
     {2.0 / 3, 0, 0, 1.0 / 3}, 'b'},
};

TEST(Policy, EachRuleOnOnePattern)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        front::Voters voters{kClasses, c.fallback, c.forest, 4};
        front::PolicySettings s;
        s.vigilance = c.vigilance;
        s.nearest = c.nearest;
        s.unknown = u;
        s.shares = s.marks = true;
        size_t at_zero = 0;
        const auto call = [&](size_t m, const std::vector<size_t> &rows, double vigilance) {
            at_zero += vigilance == 0 && c.vigilance > 0;
            return std::vector<double>(rows.size(), vigilance == 0 ? c.near.at(m) : c.boxes.at(m));
        };
        const front::Decision d = front::decide(voters, 1, s, call);
        EXPECT_EQ(d.labels, std::vector<double>{c.label});
        EXPECT_EQ(d.shares, c.shares);
        EXPECT_EQ(d.counts.patterns, 1u);
        EXPECT_EQ(d.counts.by_boxes, c.counted == 'b' ? 1u : 0u);
        EXPECT_EQ(d.counts.by_nearest, c.counted == 'n' ? 1u : 0u);
        EXPECT_EQ(d.by_nearest, std::vector<char>{c.counted == 'n'});
        if (!c.nearest) {
            EXPECT_EQ(at_zero, 0u) << "nothing is asked at vigilance 0 with the pass off";
        }
    }
}

TEST(Policy, ManyClassesMakeSmallBlocksThatGiveTheSameAnswers)
{
    std::vector<double> classes;
    for (int k = 0; k < 200000; ++k)
        classes.push_back(k);
    const size_t rows = 1000, step = front::block_rows(classes.size(), 3);
    ASSERT_LT(step, rows);
    EXPECT_EQ(front::block_rows(3, 3), 65536u);
    EXPECT_EQ(front::block_rows(3, 1u << 20), 1u);
    for (const bool forest : {false, true}) {
        front::Voters voters{classes, {0, 1, 2}, forest, 3};
        front::PolicySettings s;
        size_t widest = 0;
        // Member m answers row i with class (i + m) % 7, unknown at the vigilance where i % 5 == 0.
        const auto call = [&](size_t m, const std::vector<size_t> &at, double vigilance) {
            widest = std::max(widest, at.size());
            std::vector<double> out;
            for (const size_t i : at)
                out.push_back(vigilance > 0 && i % 5 == 0 ? -1.0 : static_cast<double>((i + m) % 7));
            return out;
        };
        const front::Decision d = front::decide(voters, rows, s, call);
        EXPECT_LE(widest, step);
        EXPECT_TRUE(d.shares.empty() && d.by_nearest.empty()) << "kept only when asked";
        for (size_t i = 0; i < rows; ++i) {
            // Three members answer i, i + 1, i + 2 (mod 7): no two agree; the
            // earliest member wins over shuffles, the lowest class in a forest.
            const double lowest = static_cast<double>(std::min({i % 7, (i + 1) % 7, (i + 2) % 7}));
            ASSERT_EQ(d.labels[i], forest ? lowest : static_cast<double>(i % 7)) << i;
        }
        EXPECT_EQ(d.counts.by_nearest, rows / 5);
        EXPECT_EQ(d.counts.by_boxes, rows - rows / 5);
    }
}

TEST(Policy, AMemberThatCannotPlaceAPatternAnswersItsClassWithTheMostNodes)
{
    const struct {
        std::vector<double> node_labels;
        double expected;
    } cases[] = {
        {{5, 2, 5, 1}, 5},
        {{2, 5, 5, 2}, 2},  // equals: the lowest code
        {{5}, 5},
        {{}, 1},            // no nodes at all: the lowest class
        {{7, 7, 2}, 2},     // a label of no class counts for none
    };
    for (const auto &c : cases)
        EXPECT_EQ(front::most_nodes_class(c.node_labels, kClasses), c.expected);
    EXPECT_THROW(front::most_nodes_class({1}, {}), front::Error);
}

TEST(Policy, RefusesWhatItCannotDecide)
{
    front::PolicySettings s;
    const auto short_answer = [](size_t, const std::vector<size_t> &rows, double) {
        return std::vector<double>(rows.size() - 1, 1.0);
    };
    EXPECT_THROW(front::decide({kClasses, {1}, false, 1}, 3, s, short_answer), front::Error);
    EXPECT_THROW(front::decide({kClasses, {}, false, 1}, 3, s, short_answer), front::Error);
    EXPECT_THROW(front::decide({{}, {1}, false, 1}, 3, s, short_answer), front::Error);
}

}  // namespace
