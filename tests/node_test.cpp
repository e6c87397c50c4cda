// The hyperbox node on its own: boxes, trial joins, learning and the counts
// each operation reports.
#include "model/node.h"

#include "minihost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void set_params(int m, double rate = 1.0, double epsilon = 0.0, double min_size = 0.0)
{
    Node::use_params(training_params(m, min_size, rate, epsilon));
}

// What one operation added to the three counters.
struct Counted {
    std::uint32_t flops, comparisons;
    double host;
};

class Tally {
public:
    Tally()
        : flops_(Node::params.flop_count), comparisons_(Node::params.comparison_count)
    {
        minihost::reset_flops();
    }
    Counted since() const
    {
        return {Node::params.flop_count - flops_, Node::params.comparison_count - comparisons_,
                minihost::flops()};
    }

private:
    std::uint32_t flops_, comparisons_;
};

void expect_counted(const Counted &c, std::uint32_t flops, std::uint32_t comparisons)
{
    EXPECT_EQ(c.flops, flops);
    EXPECT_EQ(c.comparisons, comparisons);
    EXPECT_EQ(c.host, static_cast<double>(flops) + comparisons);
}

struct NodePtr {
    Node *node;
    explicit NodePtr(Node *n) : node(n) {}
    ~NodePtr() { Node::destroy(node); }
    Node *operator->() const { return node; }
};

// The box lower (0.2, 0.2), upper (0.4, 0.4) used by the worked examples.
Node *unit_example_box()
{
    const double row[] = {0.2, 0.2, 0.4, 0.4};
    return Node::create(row, 1, 1);
}

TEST(NodeConstruction, FromPatternIsPointBoxWithoutMinSize)
{
    set_params(3);
    const double pattern[] = {0.1, -2.5, 7.0};
    Tally t;
    NodePtr n(Node::create(pattern, -4, 0));
    expect_counted(t.since(), 0, 1);
    EXPECT_EQ(n->label, -4);
    EXPECT_EQ(n->active, 1);
    EXPECT_EQ(n->size, 0.0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(n->lower[i], pattern[i]);
        EXPECT_EQ(n->upper[i], pattern[i]);
    }
}

TEST(NodeConstruction, FromPatternWithMinSizeIsCubeOfSizeMinSize)
{
    // min_size / (2M) = 0.3 / 6 on each side; size is the parameter itself.
    set_params(3, 1.0, 0.0, 0.3);
    const double pattern[] = {0.5, 0.1, 0.9};
    Tally t;
    NodePtr n(Node::create(pattern, 2, 0));
    expect_counted(t.since(), 12, 1);
    EXPECT_EQ(n->size, 0.3);
    EXPECT_EQ(n->active, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(n->lower[i], pattern[i] - 0.3 / 6);
        EXPECT_EQ(n->upper[i], pattern[i] + 0.3 / 6);
    }
}

TEST(NodeConstruction, TemplateRowRoundTripsBitForBit)
{
    // Unvalidated rows too: a reversed feature gives a negative width.
    set_params(3);
    const double row[] = {0.1, -0.0, 5e-324, 0.7, 1.0 / 3.0, -2.0};
    Tally t;
    NodePtr n(Node::create(row, 9, 1));
    expect_counted(t.since(), 6, 0);
    EXPECT_EQ(n->active, 0);
    EXPECT_EQ(n->label, 9);
    EXPECT_EQ(n->size, ((0.0 + (0.7 - 0.1)) + (1.0 / 3.0 - -0.0)) + (-2.0 - 5e-324));
    EXPECT_LT(n->size, 0.0);
    double out[6];
    Tally none;
    n->export_row(out);
    expect_counted(none.since(), 0, 0);
    EXPECT_EQ(std::memcmp(out, row, sizeof row), 0);
}

TEST(NodeConstruction, SingleFeatureRowIsLowerThenUpper)
{
    set_params(1);
    const double row[] = {-1.5, 2.25};
    NodePtr n(Node::create(row, 0, 1));
    EXPECT_EQ(n->size, 3.75);
    double out[2];
    n->export_row(out);
    EXPECT_EQ(out[0], -1.5);
    EXPECT_EQ(out[1], 2.25);
}

TEST(NodeJoin, TrialBoxSizeAndGrowth)
{
    set_params(2);
    NodePtr n(unit_example_box());
    const double pattern[] = {0.5, 0.3};
    Tally t;
    n->join(pattern);
    expect_counted(t.since(), 5, 4);
    EXPECT_EQ(n->join_lower[0], 0.2);
    EXPECT_EQ(n->join_lower[1], 0.2);
    EXPECT_EQ(n->join_upper[0], 0.5);
    EXPECT_EQ(n->join_upper[1], 0.4);
    EXPECT_DOUBLE_EQ(n->join_size, 0.5);
    EXPECT_DOUBLE_EQ(n->growth, 0.1);
    // The box itself stays as it was.
    EXPECT_EQ(n->upper[0], 0.4);
    EXPECT_EQ(n->active, 0);
}

TEST(NodeJoin, PointBoxGrowthIsSumOfAbsoluteDifferences)
{
    set_params(3);
    const double a[] = {0.5, 0.25, 0.75};
    const double b[] = {0.25, 0.5, 0.75};
    NodePtr n(Node::create(a, 1, 0));
    n->join(b);
    EXPECT_EQ(n->join_size, 0.5);
    EXPECT_EQ(n->growth, 0.5);
}

TEST(NodeJoin, EqualBoundsTakeThePatternValue)
{
    // Visible only through the sign of zero, which fast learning then keeps.
    set_params(2);
    const double origin[] = {0.0, 0.0}, pattern[] = {-0.0, 1.0};
    NodePtr n(Node::create(origin, 1, 0));
    n->join(pattern);
    EXPECT_TRUE(std::signbit(n->join_lower[0]));
    EXPECT_TRUE(std::signbit(n->join_upper[0]));
    ASSERT_EQ(n->learn(), 1);
    double row[4];
    n->export_row(row);
    EXPECT_TRUE(std::signbit(row[0]));
    EXPECT_TRUE(std::signbit(row[2]));
}

TEST(NodeJoin, PatternInsideOrOnBoundaryGivesNoGrowthAndLearnKeepsBox)
{
    set_params(2);
    const double inside[][2] = {{0.3, 0.3}, {0.2, 0.2}, {0.4, 0.4}, {0.2, 0.4}};
    for (const auto &pattern : inside) {
        NodePtr n(unit_example_box());
        n->join(pattern);
        EXPECT_EQ(n->growth, 0.0) << pattern[0] << "," << pattern[1];
        Tally t;
        EXPECT_EQ(n->learn(), 0);
        expect_counted(t.since(), 0, 1);
        EXPECT_EQ(n->active, 1);
        EXPECT_EQ(n->lower[0], 0.2);
        EXPECT_EQ(n->upper[1], 0.4);
    }
}

TEST(NodeJoin, NanPatternGivesNanSizeAndLearnRefuses)
{
    set_params(2, 0.5, 0.01);
    NodePtr n(unit_example_box());
    const double pattern[] = {NAN, 0.3};
    n->join(pattern);
    EXPECT_TRUE(std::isnan(n->join_lower[0]));
    EXPECT_EQ(n->join_upper[0], 0.4);
    EXPECT_TRUE(std::isnan(n->join_size));
    EXPECT_TRUE(std::isnan(n->growth));
    Tally t;
    EXPECT_EQ(n->learn(), 0);
    expect_counted(t.since(), 0, 1);
    EXPECT_EQ(n->lower[0], 0.2);
    EXPECT_EQ(n->upper[0], 0.4);
}

// learn() on the worked box after a join with `pattern`.
struct LearnCase {
    const char *name;
    double rate, epsilon;
    double pattern[2];
    int changed;
    double lower[2], upper[2], size;
    std::uint32_t flops, comparisons;
};

const LearnCase kLearnCases[] = {
    {"fast", 1.0, 0.01, {0.5, 0.3}, 1, {0.2, 0.2}, {0.5, 0.4}, 0.5, 0, 2},
    {"slow up", 0.5, 0.01, {0.5, 0.3}, 1, {0.2, 0.2}, {0.45, 0.4}, 0.45, 20, 6},
    {"slow down", 0.5, 0.01, {0.1, 0.3}, 1, {0.15, 0.2}, {0.4, 0.4}, 0.45, 20, 6},
    {"within tolerance", 0.5, 0.1, {0.5, 0.3}, 0, {0.2, 0.2}, {0.4, 0.4}, 0.4, 4, 6},
    {"zero tolerance", 0.5, 0.0, {0.4, 0.4000001}, 1, {0.2, 0.2}, {0.4, 0.40000005}, 0.40000005, 20, 6},
};

TEST(NodeLearn, WorkedExamples)
{
    for (const LearnCase &c : kLearnCases) {
        SCOPED_TRACE(c.name);
        set_params(2, c.rate, c.epsilon);
        NodePtr n(unit_example_box());
        n->join(c.pattern);
        const double join_size = n->join_size, growth = n->growth;
        Tally t;
        EXPECT_EQ(n->learn(), c.changed);
        expect_counted(t.since(), c.flops, c.comparisons);
        EXPECT_EQ(n->active, 1);
        for (int i = 0; i < 2; ++i) {
            EXPECT_DOUBLE_EQ(n->lower[i], c.lower[i]);
            EXPECT_DOUBLE_EQ(n->upper[i], c.upper[i]);
        }
        EXPECT_DOUBLE_EQ(n->size, c.size);
        // The trial box still describes the join.
        EXPECT_EQ(n->join_size, join_size);
        EXPECT_EQ(n->growth, growth);
    }
}

TEST(NodeLearn, FastLearningCopiesJoinSize)
{
    set_params(2);
    NodePtr n(unit_example_box());
    const double pattern[] = {0.5, 0.3};
    n->join(pattern);
    ASSERT_EQ(n->learn(), 1);
    EXPECT_EQ(n->size, n->join_size);
    EXPECT_EQ(n->upper[0], 0.5);
}

TEST(NodeLearn, SlowUpdateIsRoundedProductsAdded)
{
    set_params(2, 0.3, 0.0);
    NodePtr n(unit_example_box());
    const double pattern[] = {0.9, 0.05};
    n->join(pattern);
    ASSERT_EQ(n->learn(), 1);
    volatile double rate = 0.3, keep = 1 - 0.3;
    const double up0 = rate * 0.9 + keep * 0.4;
    const double lo1 = rate * 0.05 + keep * 0.2;
    const double lo0 = rate * 0.2 + keep * 0.2;
    EXPECT_EQ(n->upper[0], up0);
    EXPECT_EQ(n->lower[1], lo1);
    EXPECT_EQ(n->lower[0], lo0);
    EXPECT_EQ(n->size, (0.0 + (up0 - lo0)) + (n->upper[1] - lo1));
}

TEST(NodeLearn, DistanceEqualToToleranceDoesNotMove)
{
    // eps_over_rate = 0.25 / 0.5 = 0.5, the distance exactly, above or below.
    const double cases[][2] = {{0.0, 0.5}, {0.5, 0.0}};
    for (const auto &c : cases) {
        set_params(1, 0.5, 0.25);
        NodePtr n(Node::create(&c[0], 1, 0));
        n->join(&c[1]);
        Tally t;
        EXPECT_EQ(n->learn(), 0) << c[0] << " to " << c[1];
        expect_counted(t.since(), 2, 4);
        EXPECT_EQ(n->lower[0], c[0]);
        EXPECT_EQ(n->upper[0], c[0]);
    }
}

TEST(NodeLearn, RepeatedSlowLearningHalvesTheRemainingDistance)
{
    // Remaining distances 1/2, 1/4 ... 1/64 <= 0.02: six moves, then none.
    set_params(1, 0.5, 0.01);
    const double point[] = {0.0}, target[] = {1.0};
    NodePtr n(Node::create(point, 1, 0));
    int moves = 0;
    for (int step = 0; step < 20; ++step) {
        n->join(target);
        if (!n->learn())
            break;
        ++moves;
    }
    EXPECT_EQ(moves, 6);
    EXPECT_EQ(n->upper[0], 1.0 - 1.0 / 64);
    EXPECT_EQ(n->lower[0], 0.0);
    EXPECT_EQ(n->size, 1.0 - 1.0 / 64);
}

TEST(NodeLearn, MinSizeBoxCanGrowByRoundingAlone)
{
    // size holds min_size, not the sum of the widths: a pattern inside the
    // box sees a growth of a few units in the last place. Search a small grid
    // for a positive one: fast learning then takes join_size and keeps the box.
    set_params(3, 1.0, 0.0, 0.3);
    bool seen = false;
    for (int a = 1; a < 40 && !seen; ++a) {
        const double pattern[] = {a / 41.0, 0.37, 0.71};
        NodePtr n(Node::create(pattern, 1, 0));
        n->join(pattern);
        if (!(n->growth > 0))
            continue;
        seen = true;
        const double lower0 = n->lower[0], upper0 = n->upper[0];
        EXPECT_LT(n->growth, 1e-15);
        EXPECT_EQ(n->learn(), 1);
        EXPECT_EQ(n->size, n->join_size);
        EXPECT_NE(n->size, 0.3);
        EXPECT_EQ(n->lower[0], lower0);
        EXPECT_EQ(n->upper[0], upper0);
    }
    EXPECT_TRUE(seen);
}

TEST(NodeCounters, CountOpsFeedsBothCountersAndTheHost)
{
    Tally t;
    Node::count_ops(9, 8);
    expect_counted(t.since(), 9, 8);
    EXPECT_EQ(t.since().host, 17.0);
}

TEST(NodeCounters, CountersWrapAtTwoToThe32)
{
    Node::params.flop_count = 0xFFFFFFFEu;
    Node::params.comparison_count = 0xFFFFFFFFu;
    Node::count_ops(5, 2);
    EXPECT_EQ(Node::params.flop_count, 3u);
    EXPECT_EQ(Node::params.comparison_count, 1u);
}

}  // namespace

// Each driver's seven parameters, as derived by its one function, and the
// running counters kept when a call sets them.
TEST(NodeParams, EachDriverDerivesAllSevenAndKeepsTheCounters)
{
    struct Case {
        const char *driver;
        NodeParams params;
        double want[7];  // M, two_M, learning_rate, epsilon, min_size, eps_over_rate, one_minus_rate
    } cases[] = {
        {"training", training_params(3, 0.25, 0.5, 0.01), {3, 6, 0.5, 0.01, 0.25, 0.01 / 0.5, 0.5}},
        {"training, fast", training_params(1, 0.0, 1.0, 0.0), {1, 2, 1.0, 0.0, 0.0, 0.0, 0.0}},
        {"classification", classification_params(4), {4, 8, 1.0, 1.0, 0.0, 1.0, 0.0}},
        {"classification, no features", classification_params(0), {0, 0, 1.0, 1.0, 0.0, 1.0, 0.0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.driver);
        Node::params.flop_count = 0xFFFFFFF0u;
        Node::params.comparison_count = 7u;
        Node::use_params(c.params);
        const NodeParams &p = Node::params;
        const double got[7] = {static_cast<double>(p.M), static_cast<double>(p.two_M), p.learning_rate, p.epsilon,
                               p.min_size, p.eps_over_rate, p.one_minus_rate};
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(got[i], c.want[i]) << "parameter " << i;
        EXPECT_EQ(p.flop_count, 0xFFFFFFF0u);
        EXPECT_EQ(p.comparison_count, 7u);
    }
}
