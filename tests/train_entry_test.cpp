// The quorv_train gateway: its checks in order, their exact messages, what a
// refused call leaves behind, and what the plug-in exports.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using minihost::Plugin;

using qt::A;
using qt::Call;
using qt::S;

minihost::CallResult run(Plugin &plugin, const Call &call) { return qt::call_train(plugin, call); }

const std::string kT = "QUORV_TRAIN: ";
const std::string kBound = "\n( in [0.0, M*(1.0-vigilance)] ).";
const double kNaN = std::nan("");

struct Refused {
    Call call;
    std::string expected;
};

const Refused kRefused[] = {
    {{{}, 8}, kT + "9 input arguments required."},
    {{{{0, A({5, 4, 2})}, {2, S(kNaN)}}, 8}, kT + "9 input arguments required."},
    {{{}, 10}, kT + "9 input arguments required."},
    {{{}, 0}, kT + "9 input arguments required."},
    {{{{0, A({5, 4, 2})}}}, kT + "1st input argument (Patterns) must be  a two dimensional array (matrix)."},
    {{{{1, A({5, 1, 2})}}}, kT + "2nd input argument (PLabels) must a vector."},
    {{{{1, A({1, 4})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{1, A({5, 2})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{1, A({1, 1})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{2, A({2, 2})}}}, kT + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, A({1, 1, 2})}}}, kT + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, S(-0.01)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{2, S(1.01)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{2, S(kNaN)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{3, A({2, 2})}}}, kT + "4th input argument (min_size) must be a scalar."},
    {{{{3, A({2, 2, 2})}}}, kT + "4th input argument (min_size) must be a scalar."},
    {{{{3, S(1.01)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{3, S(-0.01)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{3, S(kNaN)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{2, S(1)}, {3, S(1e-9)}}}, kT + "4th input argument (min_size) must be in [0.0, 0.000000]" + kBound},
    {{{{2, S(0.3)}, {3, S(2.81)}}}, kT + "4th input argument (min_size) must be in [0.0, 2.800000]" + kBound},
    {{{{4, A({2, 2})}}}, kT + "5th input argument (learning_rate) must be a scalar."},
    {{{{4, S(0)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{4, S(1.0001)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{4, S(kNaN)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{5, A({3, 3})}}}, kT + "6th input argument (epsilon) must be a scalar."},
    {{{{5, S(-1e-12)}}}, kT + "6th input argument (epsilon) must be non-negative."},
    {{{{5, S(kNaN)}}}, kT + "6th input argument (epsilon) must be non-negative."},
    {{{{6, A({2, 2})}}}, kT + "7th input argument (max_list_presentations) must be a scalar."},
    {{{{6, S(0.99)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(kNaN)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(HUGE_VAL)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(4294967296.0)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{7, A({2, 2})}}}, kT + "8th input argument (trim_option) must be a scalar."},
    {{{{7, S(2)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{7, S(-1)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{8, A({2, 2, 2})}}}, kT + "9th input argument (oflag) must be scalar."},
    {{{{8, A({2, 2})}}}, kT + "9th input argument must be scalar."},
    {{{{8, S(5)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{{8, S(-1)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{{8, S(2147483648.0)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{}, 9, 2}, kT + "3 output arguments required."},
    {{{}, 9, 0}, kT + "3 output arguments required."},
    {{{}, 9, 4}, kT + "3 output arguments required."},
    // Several faults: the first in check order wins, the output count last.
    {{{{8, S(5)}, {2, S(kNaN)}, {0, A({5, 4, 2})}}}, kT + "1st input argument (Patterns) must be  a two dimensional array (matrix)."},
    {{{{3, S(9)}, {1, A({2, 2})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{4, S(0)}, {2, S(kNaN)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{8, A({2, 2})}, {7, S(2)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{8, S(5)}}, 9, 2}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
};

TEST(TrainEntry, RefusedCallsGiveTheFirstFaultAndTouchNothing)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (const auto &r : kRefused) {
        SCOPED_TRACE(r.expected);
        qt::expect_refused_cleanly([&] { return run(*plugin, r.call); }, r.expected);
    }
}

const Call kAccepted[] = {
    {{{2, {{1, 2}, {0.5, 0.9}}}, {3, S(1.5)}}},  // first element used: 0.9 would refuse 1.5
    {{{2, {{2, 1}, {0.5, 0.9}}}, {3, S(1.5)}}},
    {{{2, S(0)}, {3, S(4)}}},
    {{{2, S(1)}, {3, S(0)}}},
    {{{3, S(1.0)}}},
    {{{4, S(1e-9)}}},
    {{{4, S(1)}, {5, S(0)}}},
    {{{5, S(1e6)}}},
    {{{1, A({1, 5}, 1)}}},
    {{{0, A({1, 4})}, {1, S(3)}}},
    {{{6, S(2147483648.0 * 2 + 5)}}},
};

TEST(TrainEntry, AcceptedEdgesMakeThreeOutputs)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (size_t i = 0; i < std::size(kAccepted); ++i) {
        SCOPED_TRACE(i);
        const auto result = run(*plugin, kAccepted[i]);
        ASSERT_TRUE(result.ok) << result.error;
        ASSERT_EQ(result.outputs.size(), 3u);
        EXPECT_EQ(minihost::dims(result.outputs[2].get()), (std::vector<size_t>{1, 1}));
    }
}

TEST(TrainEntry, EmptyArraysPassEveryScalarTest)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (int slot = 2; slot < 9; ++slot)
        for (const auto &dims : {std::vector<size_t>{1, 0}, std::vector<size_t>{0, 1}}) {
            const auto result = run(*plugin, {{{slot, {dims, {}}}}});
            EXPECT_EQ(result.error.find("scalar"), std::string::npos) << slot << ": " << result.error;
        }
}

TEST(TrainEntry, IntegerOptionsAreTruncatedTowardZero)
{
    auto presentations = [](double limit) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{6, S(limit)}}});
        return result.ok ? minihost::values(result.outputs[2].get()).at(0) : -1.0;
    };
    EXPECT_EQ(presentations(1.5), 1);
    EXPECT_EQ(presentations(4294967297.0), 1);

    const struct {
        double trim;
        const char *said;
    } trims[] = {{1.9, "trimmed"}, {-0.5, "detected"}, {kNaN, "detected"}, {1, "trimmed"}};
    for (const auto &t : trims) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{7, S(t.trim)}, {8, S(1)}}});
        EXPECT_NE(result.console.find(t.said), std::string::npos) << t.trim << "\n" << result.console;
    }

    auto console = [](double oflag) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{8, S(oflag)}}});
        EXPECT_TRUE(result.ok) << oflag << ": " << result.error;
        return qt::masked(result.console);
    };
    EXPECT_NE(console(4), "");
    EXPECT_EQ(console(4.9), console(4));
    EXPECT_EQ(console(-0.5), "");
    EXPECT_EQ(console(kNaN), "");
}

TEST(PluginExports, OnlyTheGateway)
{
#ifdef _WIN32
    GTEST_SKIP() << "ELF symbols; the Windows plug-ins' export tables are checked with objdump";
#endif
    for (const char *path : {QUORV_TRAIN_PLUGIN, QUORV_PERF_PLUGIN})
        EXPECT_EQ(qt::dynamic_symbols(path, true), std::vector<std::string>{"mexFunction"}) << path;
}

}  // namespace
