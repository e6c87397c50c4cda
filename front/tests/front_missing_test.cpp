// Training medians for missing values, and their row among the model file's
// version-4 settings.
#include "front/error.h"
#include "front/missing.h"
#include "front/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Missing, MediansLeaveNaNOutAndFillOnlyIt)
{
    struct Case {
        std::vector<double> column;
        double median;  // NaN: no value at all
    } cases[] = {
        {{3, 1, 2}, 2},
        {{4, 1, 3, 2}, 2.5},
        {{kNaN, 5, kNaN}, 5},
        {{kNaN, 1, 10, kNaN, 4}, 4},
        {{-1e308, -1.7e308}, -1.35e308},  // halves first: no overflow
        {{kNaN, kNaN}, kNaN},
        {{7}, 7},
    };
    for (const Case &c : cases) {
        const auto view = front::MatrixView::row_major(c.column.data(), c.column.size(), 1);
        const std::vector<double> medians = front::feature_medians(view);
        ASSERT_EQ(medians.size(), 1u);
        if (std::isnan(c.median)) {
            EXPECT_TRUE(std::isnan(medians[0]));
            EXPECT_EQ(front::column_without_values(medians), 0u);
        } else {
            EXPECT_EQ(medians[0], c.median) << c.column.size();
            EXPECT_EQ(front::column_without_values(medians), std::string::npos);
        }
    }
    // Over the listed rows only (a fold's training rows): the others take no part.
    const std::vector<double> column = {1, kNaN, 100, 3, kNaN, 5};
    const auto view = front::MatrixView::row_major(column.data(), column.size(), 1);
    const struct {
        std::vector<size_t> rows;
        double median;
    } parts[] = {{{0, 3, 5}, 3}, {{5, 0}, 3}, {{0, 2}, 50.5}, {{1, 2, 4}, 100}, {{1, 4}, kNaN}, {{}, kNaN}};
    for (const auto &part : parts) {
        const double median = front::feature_medians(view, part.rows)[0];
        EXPECT_TRUE(median == part.median || (std::isnan(median) && std::isnan(part.median))) << part.rows.size();
    }
    std::vector<double> x = {1, kNaN, kNaN, 4, 5, 6};
    EXPECT_EQ(front::fill_missing({10, 20}, x.data(), 3), 2u);
    EXPECT_EQ(x, (std::vector<double>{1, 20, 10, 4, 5, 6}));
}

const char kVersion1[] =
    "quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\nlist_presentations 1\nnodes 2\n"
    "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n";

TEST(Missing, MediansMakeAVersion4FileThatReadsBackAndIsCheckedLineByLine)
{
    front::Model m = front::parse_model(kVersion1, "m");
    EXPECT_EQ(front::model_text(m), kVersion1);  // off: the version written today
    m.missing_medians = {0.25, 0.5};
    const std::string text = front::model_text(m);
    EXPECT_EQ(text.substr(0, 14), "quorv-model 4\n");
    const size_t at = text.find("trim_option 0\nsettings 1\nmissing median 0.25 0.5\norder file\n");
    EXPECT_NE(at, std::string::npos) << text;
    const front::Model back = front::parse_model(text, "m");
    EXPECT_EQ(back.missing_medians, m.missing_medians);
    EXPECT_EQ(front::model_text(back), text);
    EXPECT_EQ(front::model_text(back.member(0)), text);

    const auto with = [&](const std::string &settings) {
        std::string bad = text;
        bad.replace(bad.find("settings 1\n"), std::string("settings 1\nmissing median 0.25 0.5\n").size(), settings);
        return bad;
    };
    struct Bad {
        std::string text, message;
    } cases[] = {
        {with("settings 1\nmissing median 0.25\n"), "m:19: missing median has fewer values than the 2 features"},
        {with("settings 1\nmissing median 0.25 0.5 1\n"), "m:19: missing median has more values than the 2 features"},
        {with("settings 1\nmissing mean 0.25 0.5\n"), "m:19: missing must be 'median' and a value per feature"},
        {with("settings 1\nmissing median 0.25 nan\n"), "m:19: missing median 'nan' in the model file is not a finite number"},
        {with("settings 1\nbogus 1\n"), "m:19: setting 'bogus' is unknown, repeated or out of order"},
        {with("settings 2\nmissing median 0 0\nmissing median 0 0\n"),
         "m:20: setting 'missing' is unknown, repeated or out of order"},
        {with("settings 0\n"), "m:18: setting count '0' is not a whole nu*"},
        {with(""), "m:18: expected 'settings ...', found 'order file'"},
    };
    for (const Bad &c : cases) {
        try {
            front::parse_model(c.text, "m");
            ADD_FAILURE() << c.message;
        } catch (const front::Error &e) {
            const std::string got = e.what();
            if (c.message.back() == '*')
                EXPECT_EQ(got.substr(0, c.message.size() - 1), c.message.substr(0, c.message.size() - 1));
            else
                EXPECT_EQ(got, c.message);
        }
    }
}

}  // namespace
