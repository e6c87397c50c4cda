// The quorv_perf gateway: its checks in order, their exact messages, what a
// refused call leaves behind, and how accepted values are read.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>

namespace {

using minihost::Plugin;

using qt::A;
using qt::Call;
using qt::S;

minihost::CallResult run(Plugin &plugin, const Call &call) { return qt::call_perf(plugin, call); }

const std::string kP = "QUORV_PERF: ";
const double kNaN = std::nan("");

struct Refused {
    Call call;
    std::string expected;
};

const Refused kRefused[] = {
    {{{}, 5}, kP + "6 input arguments required."},
    {{{{0, A({4, 4, 2})}}, 5}, kP + "6 input arguments required."},
    {{{}, 7}, kP + "6 input arguments required."},
    {{{{0, A({4, 4, 2})}}}, kP + "1st input argument (Templates) must be  a two dimensional array (matrix)."},
    {{{{1, A({4, 1, 2})}}}, kP + "2nd input argument (NLabels) must a vector."},
    {{{{1, A({4, 2})}}}, kP + "2nd input argument (NLabels) must be of type  4x1 or 1x4."},
    {{{{1, A({1, 3})}}}, kP + "2nd input argument (NLabels) must be of type  4x1 or 1x4."},
    {{{{1, A({1, 1})}}}, kP + "2nd input argument (NLabels) must be of type  4x1 or 1x4."},
    {{{{2, A({2, 2})}}}, kP + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, A({1, 1, 2})}}}, kP + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, S(-0.0001)}}}, kP + "3rd input argument (vigilance) must be in [0.0, 1.0]."},
    {{{{2, S(1.0001)}}}, kP + "3rd input argument (vigilance) must be in [0.0, 1.0]."},
    {{{{2, S(kNaN)}}}, kP + "3rd input argument (vigilance) must be in [0.0, 1.0]."},
    {{{{3, A({10, 2, 2})}}}, kP + "4th input argument (Patterns) must be  a two dimensional array (matrix)."},
    {{{{3, A({10, 3})}}}, kP + "4th input argument (Patterns) must be of type  10x2."},
    {{{{0, A({4, 5})}, {3, A({10, 3})}}}, kP + "4th input argument (Patterns) must be of type  10x2."},
    {{{{0, A({4, 3})}}}, kP + "4th input argument (Patterns) must be of type  10x1."},
    {{{{0, A({4, 1})}, {3, A({7, 1})}}}, kP + "4th input argument (Patterns) must be of type  7x0."},
    {{{{4, A({2, 2})}}}, kP + "5th input argument (unknown_label) must be a scalar."},
    {{{{4, A({1, 2, 2})}}}, kP + "5th input argument (unknown_label) must be a scalar."},
    {{{{5, A({2, 2, 2})}}}, kP + "6th input argument (oflag) must be scalar."},
    {{{{5, A({2, 2})}}}, kP + "6th input argument (oflag) must be scalar."},
    {{{{5, S(4)}}}, kP + "6th input argument (oflag) must be 0,1,2 or 3."},
    {{{{5, S(-1)}}}, kP + "6th input argument (oflag) must be 0,1,2 or 3."},
    {{{{5, S(2147483648.0)}}}, kP + "6th input argument (oflag) must be 0,1,2 or 3."},
    {{{}, 6, 0}, kP + "1 output argument required."},
    {{{}, 6, 2}, kP + "1 output argument required."},
    // Several faults: the first in check order wins, the output count last.
    {{{{2, S(7)}, {1, A({2, 2})}}}, kP + "2nd input argument (NLabels) must be of type  4x1 or 1x4."},
    {{{{4, A({2, 2})}, {3, A({10, 1})}}}, kP + "4th input argument (Patterns) must be of type  10x2."},
    {{{{5, S(4)}}, 6, 0}, kP + "6th input argument (oflag) must be 0,1,2 or 3."},
    {{{{5, S(-1)}}, 6, 2}, kP + "6th input argument (oflag) must be 0,1,2 or 3."},
};

TEST(PerfEntry, RefusedCallsGiveTheFirstFaultAndTouchNothing)
{
    auto plugin = qt::load_perf();
    ASSERT_TRUE(plugin);
    for (const auto &r : kRefused) {
        SCOPED_TRACE(r.expected);
        qt::expect_refused_cleanly([&] { return run(*plugin, r.call); }, r.expected);
    }
}

std::vector<double> labels(const Call &call)
{
    auto plugin = qt::load_perf();
    const auto result = run(*plugin, call);
    EXPECT_TRUE(result.ok) << result.error;
    if (!result.ok || result.outputs.size() != 1 || !result.outputs[0])
        return {};
    EXPECT_EQ(minihost::dims(result.outputs[0].get()), (std::vector<size_t>{10, 1}));
    return minihost::values(result.outputs[0].get());
}

TEST(PerfEntry, AcceptedValuesAndHowTheyAreRead)
{
    const std::vector<double> expected = {1, 2, 3, 4, -1, 1, 2, 3, 4, -1};
    EXPECT_EQ(labels({}), expected);

    // The fifth template column plays no part; NLabels may be a row.
    const auto four = qt::row_major(qt::build(qt::good_perf_inputs()[0]).get());
    std::vector<double> wide;
    for (size_t i = 0; i < 4; ++i) {
        wide.insert(wide.end(), four.begin() + static_cast<long>(4 * i), four.begin() + static_cast<long>(4 * i + 4));
        wide.push_back(-1e9);
    }
    EXPECT_EQ(labels({{{0, qt::matrix(4, 5, wide)}}}), expected);
    EXPECT_EQ(labels({{{1, {{1, 4}, {1, 2, 3, 4}}}}}), expected);

    // First element of a vector-shaped vigilance: 2 would be refused.
    EXPECT_EQ(labels({{{2, {{1, 3}, {0.5, 2, 3}}}}}), expected);
    EXPECT_EQ(labels({{{2, S(0.0)}}}).size(), 10u);
    EXPECT_EQ(labels({{{2, S(1.0)}}}).size(), 10u);

    const struct {
        double given, used;
    } unknown[] = {{2.9, 2}, {-2.9, -2}, {-1, -1}, {kNaN, 0}, {4294967297.0, 1}};
    for (const auto &u : unknown) {
        const auto got = labels({{{4, S(u.given)}}});
        ASSERT_EQ(got.size(), 10u);
        EXPECT_EQ(got[4], u.used) << u.given;
        EXPECT_EQ(got[9], u.used) << u.given;
    }

    // One node: a 1-by-1 NLabels fits K = 1.
    const auto single = labels({{{0, qt::matrix(1, 4, {0, 0, 0.2, 0.2})}, {1, S(6)}}});
    ASSERT_EQ(single.size(), 10u);
    EXPECT_EQ(single[0], 6);
}

TEST(PerfEntry, OflagIsTruncatedTowardZero)
{
    auto console = [](double oflag) {
        auto plugin = qt::load_perf();
        const auto result = run(*plugin, {{{5, S(oflag)}}});
        EXPECT_TRUE(result.ok) << oflag << ": " << result.error;
        return qt::masked(result.console);
    };
    EXPECT_NE(console(3), "");
    EXPECT_EQ(console(3.9), console(3));
    EXPECT_EQ(console(-0.5), "");
    EXPECT_EQ(console(kNaN), "");
}

}  // namespace
