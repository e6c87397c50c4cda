// Seeded draws are fixed forever by their seed (models record it, and both
// front ends must redraw the same order), and the vote keeps its tie rule.
#include "front/draws.h"
#include "front/scaling.h"
#include "front/vote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

TEST(FrontDraws, TheSameSeedGivesTheSameRowsEverywhere)
{
    // Recorded once: a change here changes every shuffled model's refit.
    EXPECT_EQ(front::shuffled_rows(10, 3), (std::vector<size_t>{1, 6, 0, 4, 8, 5, 2, 3, 9, 7}));
    std::vector<double> labels;
    for (int i = 0; i < 30; ++i)
        labels.push_back(i % 3);
    std::vector<size_t> train, test;
    front::stratified_split(labels, 0.2, 1, &train, &test);
    EXPECT_EQ(test.size(), 6u);
    EXPECT_TRUE(std::is_sorted(test.begin(), test.end()));
    for (const auto &fold : front::stratified_folds(labels, 3, 1)) {
        EXPECT_EQ(fold.size(), 10u);
        const auto zeros = std::count_if(fold.begin(), fold.end(), [&](size_t i) { return labels[i] == 0; });
        EXPECT_TRUE(zeros == 3 || zeros == 4) << zeros;
    }
}

TEST(FrontVote, MajorityOfAnswersTieToTheEarliestMember)
{
    const std::vector<std::vector<double>> answers = {{1, -1, 2, 3, -1}, {2, -1, 2, 1, 4}, {2, -1, 1, 2, -1}};
    EXPECT_EQ(front::vote_all(answers, -1), (std::vector<double>{2, -1, 2, 3, 4}));
    EXPECT_EQ(front::vote_all({{5, -1}}, -1), (std::vector<double>{5, -1}));
}

TEST(FrontScaling, FirstOfEqualBoundsAndConstantFeatures)
{
    const double x[] = {0.0, 5, -0.0, 5, 2, 5};  // 3 rows, 2 features
    front::Scaling s = front::fit_scaling(front::MatrixView::row_major(x, 3, 2), true);
    EXPECT_FALSE(std::signbit(s.min[0]));  // 0 came before -0
    EXPECT_EQ(s.max, (std::vector<double>{2, 5}));
    double y[] = {1, 5, 3, 7};
    front::apply_scaling(s, y, 2, 2);
    EXPECT_EQ(std::vector<double>(y, y + 4), (std::vector<double>{0.5, 0, 1.5, 0}));
    const double wide[] = {-1e308, 1e308};
    EXPECT_EQ(front::unscalable_feature(front::fit_scaling(front::MatrixView::row_major(wide, 2, 1), true)), 0u);
}

}  // namespace
