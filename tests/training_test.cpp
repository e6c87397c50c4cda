// Training through the real plug-in: the trace, the summary, the results and
// the operation counts of small cases worked out by hand.
//
// Counting rules used in the comments (M features, K nodes at the search):
//   setup            flop_count +3; host +2 +3 +3
//   join             flop_count +(2M+1), comparison_count +2M; host twice the sum
//   create           comparison_count +1 (+4M flops with min_size > 0);
//                    host: that sum, then 1 (+4M) from the driver
//   learn            growth <= 0: 1 comparison; fast: 2; slow: 2M flops and
//                    2M+2 comparisons, 10M flops when it moves; the driver adds
//                    1, +1 if growth != 0, then +4M (+8M on a change) if slow
//   each pattern     K, +1 with a winner: to the host and the comparison total
//   summary          flop_count + 5, comparison_count + comparison total
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qt::TrainParams;

// The seconds are two whole-second readings apart; a tiny run may straddle a
// second boundary, which reports 1.
std::string steady_seconds(std::string console)
{
    const std::string from = " in 1 seconds\n", to = " in 0 seconds\n";
    for (size_t at = console.find(from); at != std::string::npos; at = console.find(from, at))
        console.replace(at, from.size(), to);
    return console;
}

struct Trained {
    minihost::CallResult result;
    std::vector<double> templates;  // row-major
    std::vector<double> labels;
    double presentations = -1;
    std::string console;
};

Trained run(qt::Plugin &plugin, size_t rows, size_t cols, const std::vector<double> &patterns,
            const std::vector<double> &labels, const TrainParams &params)
{
    Trained t;
    t.result = qt::train(plugin, rows, cols, patterns, labels, params);
    EXPECT_TRUE(t.result.ok) << t.result.error;
    if (t.result.ok && t.result.outputs.size() == 3) {
        t.templates = qt::row_major(t.result.outputs[0].get());
        const auto d = minihost::dims(t.result.outputs[0].get());
        EXPECT_EQ(d[1], 2 * cols);
        t.labels = minihost::values(t.result.outputs[1].get());
        EXPECT_EQ(d[0], t.labels.size());
        t.presentations = minihost::values(t.result.outputs[2].get()).at(0);
    }
    t.console = steady_seconds(t.result.console);
    return t;
}

Trained run_fresh(size_t rows, size_t cols, const std::vector<double> &patterns,
                  const std::vector<double> &labels, const TrainParams &params)
{
    auto plugin = qt::load_train();
    return run(*plugin, rows, cols, patterns, labels, params);
}

TrainParams with(double oflag, double trim_option = 0, double max_list_presentations = 100)
{
    TrainParams p;
    p.oflag = oflag;
    p.trim_option = trim_option;
    p.max_list_presentations = max_list_presentations;
    return p;
}

// M = 1, patterns 0.0, 0.2, 0.1 of label 1, vigilance 0 (threshold 1), fast.
// Presentation 1: #1 creates node 1 (1 comparison); #2 joins (3 flops, 2
// comparisons), wins, grows node 1 to [0, 0.2] (2 comparisons), an update;
// #3 joins and is inside (3 flops, 2 + 1 comparisons). Presentation 2: three
// joins and selections (9 flops, 9 comparisons), no change: converged after 1.
// flop_count 3 + 3 + 3 + 9 = 18, printed 23. comparison_count 1 + 4 + 3 + 9
// = 17, comparison total 0 + 2 + 2 + 3 * 2 = 10, printed 27.
// Host: 8 setup; #1 2; #2 10 + 2 + 2 + 2; #3 10 + 2 + 2; presentation 2
// 3 * 14: 82 in all.
const std::vector<double> kGrowPatterns = {0.0, 0.2, 0.1};
const std::vector<double> kGrowLabels = {1, 1, 1};
TrainParams grow_params(double oflag, double trim_option = 0)
{
    TrainParams p = with(oflag, trim_option);
    p.vigilance = 0;
    return p;
}
const char kGrowSummary[] =
    "\nQuorv training converged after 1 list presentation\n"
    "Training set contained 3 training patterns\n"
    "0 inactive nodes detected (0.000000% redundacy)\n"
    "1 node created (33.333333% compression)\n"
    "23 FLOPs and 27 comparisons in 0 seconds\n\n";

TEST(TrainingConsole, EachOflagAddsItsLines)
{
    const std::string trace3 =
        "   Pattern #1 is being presented (label 1)\n"
        "   Pattern #1 created  node #1 (label 1).\n"
        "   Pattern #2 is being presented (label 1)\n"
        "   Pattern #2 updated  node #1 (label 1)"
        "   Pattern #3 is being presented (label 1)\n"
        "   Pattern #3 selected node #1 (label 1), which encodes it.\n"
        "   Summary: 1 new nodes created, 1 node updates\n"
        "   Pattern #1 is being presented (label 1)\n"
        "   Pattern #1 selected node #1 (label 1), which encodes it.\n"
        "   Pattern #2 is being presented (label 1)\n"
        "   Pattern #2 selected node #1 (label 1), which encodes it.\n"
        "   Pattern #3 is being presented (label 1)\n"
        "   Pattern #3 selected node #1 (label 1), which encodes it.\n"
        "   Summary: 0 new nodes created, 0 node updates\n";
    std::string trace4 = trace3;
    trace4.insert(trace3.find("   Pattern #1 is being presented", 10), "\nList presentation #2:\n");
    trace4.insert(0, "\nList presentation #1:\n");
    const struct {
        double oflag;
        std::string console;
    } cases[] = {
        {0, ""},
        {1, kGrowSummary},
        {2, std::string("List presentation #1: 1 new nodes created, 1 node updates\n"
                        "List presentation #2: 0 new nodes created, 0 node updates\n") +
                kGrowSummary},
        {3, trace3 + kGrowSummary},
        {4, trace4 + kGrowSummary},
    };
    for (const auto &c : cases) {
        const Trained t = run_fresh(3, 1, kGrowPatterns, kGrowLabels, grow_params(c.oflag));
        EXPECT_EQ(t.console, c.console) << "oflag " << c.oflag;
        EXPECT_EQ(t.templates, (std::vector<double>{0.0, 0.2}));
        EXPECT_EQ(t.labels, (std::vector<double>{1}));
        EXPECT_EQ(t.presentations, 1);
    }
}

TEST(TrainingCounts, HostFlopsOfASmallCall)
{
    auto plugin = qt::load_train();
    minihost::reset_flops();
    run(*plugin, 3, 1, kGrowPatterns, kGrowLabels, grow_params(0));
    EXPECT_EQ(minihost::flops(), 82.0);
}

TEST(TrainingCounts, SlowLearningAndMinSizeReachTheHost)
{
    // Slow, M = 1, rate 0.5, patterns 0.0 and 0.5, one presentation. #1
    // creates (host 2); #2 joins (host 10) and learns, then 2 comparisons.
    // Epsilon 0: the node moves, 10 flops and 4 comparisons, and the driver
    // adds 1 + 1 + 4 + 8: 40, with setup 8: 50. flop_count 3 + 3 + 10 = 16,
    // printed 21; comparisons 1 + 2 + 4 = 7 and a total of 2: 9.
    // Epsilon 0.5 (tolerance 1): no move, 2 flops and 4 comparisons, the
    // driver adds 1 + 1 + 4: 8 + 2 + 10 + 12 + 2 = 34; printed 13 and 9.
    const struct {
        double epsilon, host;
        std::vector<double> templates;
        const char *counts;
    } slow[] = {
        {0.0, 50, {0.0, 0.25}, "21 FLOPs and 9 comparisons in 0 seconds\n\n"},
        {0.5, 34, {0.0, 0.0}, "13 FLOPs and 9 comparisons in 0 seconds\n\n"},
    };
    for (const auto &c : slow) {
        TrainParams p = with(1, 0, 1);
        p.vigilance = 0;
        p.learning_rate = 0.5;
        p.epsilon = c.epsilon;
        auto plugin = qt::load_train();
        minihost::reset_flops();
        const Trained t = run(*plugin, 2, 1, {0.0, 0.5}, {1, 1}, p);
        EXPECT_EQ(minihost::flops(), c.host) << c.epsilon;
        EXPECT_EQ(t.templates, c.templates);
        EXPECT_EQ(t.console, std::string("\nQuorv training stopped after 1 list presentation\n"
                                         "Training set contained 2 training patterns\n"
                                         "0 inactive nodes detected (0.000000% redundacy)\n"
                                         "1 node created (0.000000% compression)\n") +
                                 c.counts);
    }
    // min_size 0.2, one pattern 0.5: node [0.4, 0.6] from 4 flops and 1
    // comparison, host 8 + 5 + 5. flop_count 3 + 4 = 7, printed 12.
    {
        TrainParams p = with(1, 0, 1);
        p.min_size = 0.2;
        auto plugin = qt::load_train();
        minihost::reset_flops();
        const Trained t = run(*plugin, 1, 1, {0.5}, {3}, p);
        EXPECT_EQ(minihost::flops(), 18.0);
        EXPECT_EQ(t.templates, (std::vector<double>{0.5 - 0.2 / 2, 0.5 + 0.2 / 2}));
        EXPECT_EQ(t.labels, (std::vector<double>{3}));
        EXPECT_EQ(t.console,
                  "\nQuorv training stopped after 1 list presentation\n"
                  "Training set contained 1 training patterns\n"
                  "0 inactive nodes detected (0.000000% redundacy)\n"
                  "1 node created (100.000000% inflation)\n"
                  "12 FLOPs and 1 comparisons in 0 seconds\n\n");
    }
}

TEST(TrainingCounts, RunningTotalsGrowUntilTheNextLoad)
{
    auto plugin = qt::load_train();
    EXPECT_EQ(run(*plugin, 3, 1, kGrowPatterns, kGrowLabels, grow_params(1)).console, kGrowSummary);
    // Twice the node counts (36 flops, 34 comparisons) plus this call's 5 and 10.
    EXPECT_NE(run(*plugin, 3, 1, kGrowPatterns, kGrowLabels, grow_params(1))
                  .console.find("\n41 FLOPs and 44 comparisons in 0 seconds\n\n"),
              std::string::npos);
    plugin.reset();  // unload first: loading while still loaded keeps the state
    plugin = qt::load_train();
    EXPECT_EQ(run(*plugin, 3, 1, kGrowPatterns, kGrowLabels, grow_params(1)).console, kGrowSummary);
}

// M = 2, vigilance 0.75 (threshold 0.5). #2 (0.5, 0.5) finds node 1 at join
// size 1.0: fails, MFV = 1 - 1.0 / 2. #3 (0.1, 0) finds node 1 at 0.1, which
// passes but has label 1. Presentation 2 selects each pattern's own node.
// flop_count 3 + 5 + 10 + 3 * 15 = 63, printed 68; comparison_count 1 + 5 + 9
// + 3 * 13 = 54, total 2 + 3 + 3 * 4 = 17: 71.
TEST(TrainingConsole, VigilanceFailureAndLabelMismatch)
{
    const Trained t = run_fresh(3, 2, {0, 0, 0.5, 0.5, 0.1, 0}, {1, 1, 2}, with(4));
    EXPECT_EQ(t.console,
              "\nList presentation #1:\n"
              "   Pattern #1 is being presented (label 1)\n"
              "   Pattern #1 created  node #1 (label 1).\n"
              "   Pattern #2 is being presented (label 1)\n"
              "      Winning Node #1 fails the VT (MFV=0.500000 < rho=0.750000)\n"
              "   Pattern #2 created  node #2 (label 1).\n"
              "   Pattern #3 is being presented (label 2)\n"
              "      Winning Node #1 (label 1) and pattern 3 (label 2) of different class labels. "
              "Node disqualified. \n"
              "   Pattern #3 created  node #3 (label 2).\n"
              "   Summary: 3 new nodes created, 0 node updates\n"
              "\nList presentation #2:\n"
              "   Pattern #1 is being presented (label 1)\n"
              "   Pattern #1 selected node #1 (label 1), which encodes it.\n"
              "   Pattern #2 is being presented (label 1)\n"
              "   Pattern #2 selected node #2 (label 1), which encodes it.\n"
              "   Pattern #3 is being presented (label 2)\n"
              "   Pattern #3 selected node #3 (label 2), which encodes it.\n"
              "   Summary: 0 new nodes created, 0 node updates\n"
              "\nQuorv training converged after 1 list presentation\n"
              "Training set contained 3 training patterns\n"
              "0 inactive nodes detected (0.000000% redundacy)\n"
              "3 nodes created (100.000000% inflation)\n"
              "68 FLOPs and 71 comparisons in 0 seconds\n\n");
    EXPECT_EQ(t.templates, (std::vector<double>{0, 0, 0, 0, 0.5, 0.5, 0.5, 0.5, 0.1, 0, 0.1, 0}));
    EXPECT_EQ(t.labels, (std::vector<double>{1, 1, 2}));
}

// M = 1, vigilance 0.75, two presentations at most. #1 (0.0, label 1) makes
// node 1; #2 (0.5, label 2.7) fails the vigilance test with node 1 and makes
// node 2 labelled 2. Presentation 2: #1 selects node 1; #2 finds node 2, whose
// label 2 is not 2.7, and makes node 3. Node 2 ends inactive. Stopped after 2.
// flop_count 3 + 3 + 6 + 6 = 18, printed 23; comparison_count 1 + 3 + 5 + 5 =
// 14, total 2 + 3 + 3 = 8: 22.
TEST(TrainingResults, TrimmingSkipsInactiveNodesInCreationOrder)
{
    const std::string head =
        "\nQuorv training stopped after 2 list presentations\n"
        "Training set contained 2 training patterns\n";
    const std::string tail = "23 FLOPs and 22 comparisons in 0 seconds\n\n";
    const struct {
        double trim_option;
        std::string middle;
        std::vector<double> templates, labels;
    } cases[] = {
        {0,
         "1 inactive node detected (33.333333% redundacy)\n3 nodes created (200.000000% inflation)\n",
         {0, 0, 0.5, 0.5, 0.5, 0.5},
         {1, 2, 2}},
        {1,
         "1 inactive node trimmed (33.333333% redundacy)\n2 nodes created (100.000000% inflation)\n",
         {0, 0, 0.5, 0.5},
         {1, 2}},
    };
    for (const auto &c : cases) {
        TrainParams p = with(1, c.trim_option, 2);
        const Trained t = run_fresh(2, 1, {0.0, 0.5}, {1, 2.7}, p);
        EXPECT_EQ(t.console, head + c.middle + tail);
        EXPECT_EQ(t.templates, c.templates);
        EXPECT_EQ(t.labels, c.labels);
        EXPECT_EQ(t.presentations, 2);
    }
}

TEST(TrainingResults, NonWholeLabelNeverConverges)
{
    // One pattern labelled 2.7: each presentation's winner has label 2 and a
    // new node is made. #2 joins node 1 (3 flops, 2 + 1 comparisons).
    // flop_count 6, printed 11; comparisons 1 + 3 and a total of 2: 6.
    const Trained t = run_fresh(1, 1, {0.0}, {2.7}, with(4, 1, 2));
    EXPECT_EQ(t.console,
              "\nList presentation #1:\n"
              "   Pattern #1 is being presented (label 2)\n"
              "   Pattern #1 created  node #1 (label 2).\n"
              "   Summary: 1 new nodes created, 0 node updates\n"
              "\nList presentation #2:\n"
              "   Pattern #1 is being presented (label 2)\n"
              "      Winning Node #1 (label 2) and pattern 1 (label 2) of different class labels. "
              "Node disqualified. \n"
              "   Pattern #1 created  node #2 (label 2).\n"
              "   Summary: 1 new nodes created, 0 node updates\n"
              "\nQuorv training stopped after 2 list presentations\n"
              "Training set contained 1 training patterns\n"
              "1 inactive node trimmed (50.000000% redundacy)\n"
              "1 node created (100.000000% inflation)\n"
              "11 FLOPs and 6 comparisons in 0 seconds\n\n");
    EXPECT_EQ(t.labels, (std::vector<double>{2}));

    const Trained many = run_fresh(1, 1, {0.0}, {2.7}, with(0, 0, 7));
    EXPECT_EQ(many.presentations, 7);
    EXPECT_EQ(many.labels.size(), 7u);
}

TEST(TrainingResults, JoinOfSizeMNeverWins)
{
    // M = 1, 0.0 and 5.0: the join size 5 is not below 1, so even vigilance 0
    // makes a second node; afterwards each pattern selects its own.
    // flop_count 3 + 3 + 12 = 18, printed 23; comparisons 1 + 3 + 10 = 14 and
    // a total of 1 + 3 + 3 = 7: 21. c = (1 - 4/2) * 100.
    TrainParams p = with(1);
    p.vigilance = 0;
    const Trained t = run_fresh(2, 1, {0.0, 5.0}, {1, 1}, p);
    EXPECT_EQ(t.console,
              "\nQuorv training converged after 1 list presentation\n"
              "Training set contained 2 training patterns\n"
              "0 inactive nodes detected (0.000000% redundacy)\n"
              "2 nodes created (100.000000% inflation)\n"
              "23 FLOPs and 21 comparisons in 0 seconds\n\n");
    EXPECT_EQ(t.templates, (std::vector<double>{0, 0, 5, 5}));

    // The same at the edge of the unit interval: 0.0 and 1.0.
    EXPECT_EQ(run_fresh(2, 1, {0.0, 1.0}, {1, 1}, p).labels.size(), 2u);
}

TEST(TrainingResults, VigilanceThresholdIsInclusive)
{
    // M = 1, vigilance 0.5: threshold 0.5. Pattern 2 either joins node 1 or not.
    const struct {
        double second;
        std::vector<double> templates;
    } cases[] = {
        {0.5, {0.0, 0.5}},
        {0.625, {0.0, 0.0, 0.625, 0.625}},
    };
    for (const auto &c : cases) {
        TrainParams p = with(0, 0, 1);
        p.vigilance = 0.5;
        EXPECT_EQ(run_fresh(2, 1, {0.0, c.second}, {1, 1}, p).templates, c.templates) << c.second;
    }
}

TEST(TrainingResults, TiesGoToTheFirstNodeAndThereIsNoSecondChoice)
{
    // M = 1, vigilance 0.7: nodes at 0.25 (label 1) and 0.75 (label 2); the
    // third pattern 0.5 is 0.25 from both and node 1 wins. With label 2 it is
    // refused by node 1 and makes a node, though node 2 would have taken it.
    const struct {
        double third_label;
        std::vector<double> templates;
    } cases[] = {
        {1, {0.25, 0.5, 0.75, 0.75}},
        {2, {0.25, 0.25, 0.75, 0.75, 0.5, 0.5}},
    };
    for (const auto &c : cases) {
        TrainParams p = with(0, 0, 1);
        p.vigilance = 0.7;
        EXPECT_EQ(run_fresh(3, 1, {0.25, 0.75, 0.5}, {1, 2, c.third_label}, p).templates, c.templates)
            << c.third_label;
    }
}

TEST(TrainingResults, NoPatternsConvergeAtOnce)
{
    // One presentation without change: converged after 0; only the setup's 3
    // flops are counted. The figures print as 0, not as nan.
    const Trained t = run_fresh(0, 2, {}, {}, with(4, 1));
    EXPECT_EQ(t.console,
              "\nList presentation #1:\n"
              "   Summary: 0 new nodes created, 0 node updates\n"
              "\nQuorv training converged after 0 list presentations\n"
              "Training set contained 0 training patterns\n"
              "0 inactive nodes trimmed (0.000000% redundacy)\n"
              "0 nodes created (0.000000% compression)\n"
              "8 FLOPs and 0 comparisons in 0 seconds\n\n");
    EXPECT_EQ(minihost::dims(t.result.outputs[0].get()), (std::vector<size_t>{0, 4}));
    EXPECT_TRUE(t.labels.empty());
    EXPECT_EQ(t.presentations, 0);
}

TEST(TrainingResults, AllActiveWithTrimmingUsesThePlural)
{
    const Trained t = run_fresh(3, 1, kGrowPatterns, kGrowLabels, grow_params(1, 1));
    EXPECT_NE(t.console.find("\n0 inactive nodes trimmed (0.000000% redundacy)\n1 node created"),
              std::string::npos)
        << t.console;
}

}  // namespace
