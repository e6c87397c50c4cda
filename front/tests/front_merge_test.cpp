// Conflict merging: what a training call is given in place of identical
// patterns with different labels.
#include "front/merge.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

struct Case {
    const char *what;
    std::vector<double> x;  // rows of 2 features
    std::vector<double> y;
    std::vector<size_t> rows;     // expected rows kept, in order
    std::vector<double> labels;   // and their labels
};

TEST(MergeConflicts, GroupsBecomeOnePatternAtTheirFirstOccurrence)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"no duplicates", {0, 0, 1, 1}, {1, 2}, {0, 1}, {1, 2}},
        {"agreeing repeats stay", {0, 0, 0, 0, 1, 1}, {1, 1, 2}, {0, 1, 2}, {1, 1, 2}},
        {"majority", {5, 5, 1, 1, 5, 5, 5, 5}, {2, 1, 3, 3}, {0, 1}, {3, 1}},
        {"tie: the lowest code", {5, 5, 5, 5, 1, 1}, {3, 2, 1}, {0, 2}, {2, 1}},
        {"three-way tie", {7, 7, 7, 7, 7, 7}, {9, 4, 6}, {0}, {4}},
        {"minus zero is zero", {0, -0.0, 0, 0}, {1, 2}, {0}, {1}},
        {"NaN equals nothing", {nan, 1, nan, 1}, {1, 2}, {0, 1}, {1, 2}},
        {"one feature differs", {1, 2, 1, 3}, {1, 2}, {0, 1}, {1, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        front::Patterns p, l;
        p.x = front::MatrixView::row_major(c.x.data(), c.y.size(), 2);
        l.x = front::MatrixView::row_major(c.y.data(), c.y.size(), 1);
        const front::Merged m = front::merge_conflicts(p, l);
        EXPECT_EQ(m.rows, c.rows);
        EXPECT_EQ(m.labels, c.labels);
        EXPECT_EQ(m.merged, c.y.size() - c.rows.size());
    }
}

// What the call sees decides: its rows (with repeats), its columns and the scaled values.
TEST(MergeConflicts, ComparesWhatTheCallSees)
{
    const std::vector<double> x = {1, 10, 1, 20, 2, 10, 3, 30};  // 4 rows of 2
    const std::vector<double> y = {1, 2, 1, 2};
    front::Patterns p, l;
    p.x = front::MatrixView::row_major(x.data(), 4, 2);
    l.x = front::MatrixView::row_major(y.data(), 4, 1);

    const std::vector<size_t> first = {0};
    p.columns = &first;  // rows 0 and 1 now agree in all the call sees
    front::Merged m = front::merge_conflicts(p, l);
    EXPECT_EQ(m.rows, (std::vector<size_t>{0, 2, 3}));
    EXPECT_EQ(m.labels, (std::vector<double>{1, 1, 2}));  // a 1-1 tie: the lower

    // A bootstrap draw: row 3 twice and row 1 once conflict (3 and 1 differ in column 0, so no).
    const std::vector<size_t> drawn = {3, 1, 3, 0, 1};
    p.columns = nullptr;
    p.rows = l.rows = &drawn;
    m = front::merge_conflicts(p, l);
    EXPECT_EQ(m.rows, drawn);  // repeats with one label stay repeats
    EXPECT_EQ(m.patterns(p).count(), 5u);

    // Scaled to [0, 1] by a range under which 0 and 1e-300 both become 0.
    const std::vector<double> close = {0, 1e-300, 1e300};
    const std::vector<double> labels = {1, 2, 1};
    front::Scaling s;
    s.min = {0};
    s.max = {1e300};
    front::Patterns q, ql;
    q.x = front::MatrixView::row_major(close.data(), 3, 1);
    ql.x = front::MatrixView::row_major(labels.data(), 3, 1);
    EXPECT_EQ(front::merge_conflicts(q, ql).merged, 0u);
    q.scaling = &s;
    const front::Merged scaled = front::merge_conflicts(q, ql);
    EXPECT_EQ(scaled.rows, (std::vector<size_t>{0, 2}));
    EXPECT_EQ(scaled.label_column().count(), 2u);
}

}  // namespace
