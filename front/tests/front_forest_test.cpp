// Forest draws and amounts: the rules both front ends share.
#include "front/draws.h"
#include "front/error.h"
#include "front/forest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using front::Amount;
using front::MemberDraw;

TEST(ForestAmount, FractionsHaveAPointCountsDoNot)
{
    const struct {
        const char *text;
        size_t total;
        size_t count;  // 0: refused
    } cases[] = {
        {"0.5", 9, 4},  {"1.0", 9, 9}, {".5", 4, 2},  {"0.01", 9, 1}, {"1", 9, 1},  {"9", 9, 9},
        {"10", 9, 0},   {"0", 9, 0},   {"1.5", 9, 0}, {"0.0", 9, 0},  {"-2", 9, 0}, {"1e-1", 9, 0},
        {"abc", 9, 0},  {"", 9, 0},    {"3.", 9, 0},
        // scikit-learn's rules: rounded down, at least 1
        {"sqrt", 9, 3}, {"sqrt", 63, 7}, {"sqrt", 64, 8}, {"sqrt", 1, 1}, {"log2", 64, 6}, {"log2", 63, 5},
        {"log2", 1, 1}, {"log2", 3, 1},  {"SQRT", 9, 0},  {"sqrt2", 9, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.count == 0) {
            EXPECT_THROW(front::parse_amount(c.text, "--max-features", true).of(c.total, "--max-features", "features"),
                         front::Error);
            continue;
        }
        EXPECT_EQ(front::parse_amount(c.text, "--max-features", true).of(c.total, "--max-features", "features"),
                  c.count);
    }
    // Rows have no such rules.
    for (const char *rule : {"sqrt", "log2"})
        EXPECT_THROW(front::parse_amount(rule, "--max-samples"), front::Error);
    try {
        front::parse_amount("12", "--max-features").of(9, "--max-features", "features");
        FAIL();
    } catch (const front::Error &e) {
        EXPECT_STREQ(e.what(), "--max-features: 12 is more than the 9 features");
    }
}

// A member's features: a fraction or rule gives at least two (all, when fewer); a count is as given.
TEST(ForestAmount, MemberFeaturesAreAtLeastTwoUnlessCounted)
{
    const struct {
        const char *text;
        size_t total, count;
    } cases[] = {
        {"0.5", 3, 2}, {"0.3", 9, 2}, {"0.5", 9, 4}, {"0.5", 1, 1}, {"0.1", 2, 2},
        {"sqrt", 3, 2}, {"log2", 3, 2}, {"sqrt", 1, 1}, {"sqrt", 16, 4}, {"1", 3, 1}, {"2", 3, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " of " + std::to_string(c.total));
        EXPECT_EQ(front::member_feature_count(front::parse_amount(c.text, "--max-features", true), c.total,
                                              "--max-features"),
                  c.count);
    }
}

TEST(ForestDraws, EveryRowAndFeatureWithoutReplacementIsTheShuffle)
{
    for (unsigned long seed : {0UL, 1UL, 77UL})
        for (size_t member : {0, 1, 5}) {
            const MemberDraw d = front::draw_member(50, {50, false}, 7, 7, seed, member);
            EXPECT_EQ(d.rows, front::shuffled_rows(50, seed + member));
            EXPECT_EQ(d.features, (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6}));
        }
}

TEST(ForestDraws, SamplesAndSubsetsKeepTheirRules)
{
    const struct {
        size_t rows, sample;
        bool bootstrap;
        size_t features, subset;
    } cases[] = {{100, 100, true, 10, 5}, {100, 30, false, 10, 3}, {5, 12, true, 2, 1}, {1, 1, false, 1, 1},
                 {1000, 1000, true, 64, 32}};
    for (const auto &c : cases) {
        const MemberDraw d = front::draw_member(c.rows, {c.sample, c.bootstrap}, c.features, c.subset, 9, 2);
        ASSERT_EQ(d.rows.size(), c.sample);
        EXPECT_TRUE(std::all_of(d.rows.begin(), d.rows.end(), [&](size_t r) { return r < c.rows; }));
        if (!c.bootstrap) {
            EXPECT_EQ(std::set<size_t>(d.rows.begin(), d.rows.end()).size(), c.sample);
        }
        ASSERT_EQ(d.features.size(), c.subset);
        EXPECT_TRUE(std::is_sorted(d.features.begin(), d.features.end()));
        EXPECT_EQ(std::set<size_t>(d.features.begin(), d.features.end()).size(), c.subset);
        EXPECT_LT(d.features.back(), c.features);
        // Member k draws with seed + k, and the features alone come out the same.
        const MemberDraw again = front::draw_member(c.rows, {c.sample, c.bootstrap}, c.features, c.subset, 11, 0);
        EXPECT_EQ(again.rows, d.rows);
        EXPECT_EQ(again.features, d.features);
        EXPECT_EQ(front::member_features(c.features, c.subset, 9, 2), d.features);
    }
    // A bootstrap sample of many rows repeats some and leaves some out.
    const MemberDraw d = front::draw_member(1000, {1000, true}, 4, 2, 1, 0);
    const size_t distinct = std::set<size_t>(d.rows.begin(), d.rows.end()).size();
    EXPECT_GT(distinct, 550u);
    EXPECT_LT(distinct, 720u);
    // Draws that cannot be made are refused.
    EXPECT_THROW(front::draw_member(10, {11, false}, 4, 2, 1, 0), front::Error);
    EXPECT_THROW(front::draw_member(10, {5, true}, 4, 5, 1, 0), front::Error);
    EXPECT_THROW(front::draw_member(0, {1, true}, 4, 2, 1, 0), front::Error);
}

}  // namespace
