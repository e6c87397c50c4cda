// Classification through the real plug-in: winners, unknown patterns, the
// trace and summary, and the running operation counts.
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A tiny run may straddle a second boundary, which reports 1 second.
std::string steady_seconds(std::string console)
{
    const std::string from = " in 1 seconds\n", to = " in 0 seconds\n";
    for (size_t at = console.find(from); at != std::string::npos; at = console.find(from, at))
        console.replace(at, from.size(), to);
    return console;
}

struct Classified {
    std::vector<double> labels;
    std::string console;
};

// Templates given as K rows of 2M values; patterns as N rows of M values.
Classified classify(qt::Plugin &plugin, size_t k, size_t m, const std::vector<double> &templates,
                    const std::vector<double> &node_labels, double vigilance, size_t n,
                    const std::vector<double> &patterns, double oflag = 1, double unknown = -1)
{
    auto r = qt::perf(plugin, k, 2 * m, templates, node_labels, vigilance, n, m, patterns, unknown, oflag);
    EXPECT_TRUE(r.ok) << r.error;
    Classified c;
    if (r.ok && r.outputs.size() == 1 && r.outputs[0]) {
        EXPECT_EQ(minihost::dims(r.outputs[0].get()), (std::vector<size_t>{n, 1}));
        c.labels = minihost::values(r.outputs[0].get());
    }
    c.console = steady_seconds(r.console);
    return c;
}

Classified classify_fresh(size_t k, size_t m, const std::vector<double> &templates,
                          const std::vector<double> &node_labels, double vigilance, size_t n,
                          const std::vector<double> &patterns, double oflag = 1, double unknown = -1)
{
    auto plugin = qt::load_perf();
    return classify(*plugin, k, m, templates, node_labels, vigilance, n, patterns, oflag, unknown);
}

// K = 2, M = 2, N = 3, vigilance 0.5 (threshold 1.0): node 1 is
// [0, 0.25]^2, node 2 [0.5, 0.75]^2. (0.1, 0.1) joins node 1 at 0.5,
// (0.6, 0.6) node 2 at 0.5, and (0.95, 0.05) is nearest node 2 at 1.15,
// above the threshold.
// On a fresh load: flop_count 3 + 2 * 4 + 6 joins * 5 = 41, printed 43;
// comparison_count 6 * 4 = 24, total 3 * 3 = 9: 33. Host 2 + 41 + 24 + 9 = 76.
const std::vector<double> kTemplates = {0, 0, 0.25, 0.25, 0.5, 0.5, 0.75, 0.75};
const std::vector<double> kNodeLabels = {1, 2};
const std::vector<double> kPatterns = {0.1, 0.1, 0.6, 0.6, 0.95, 0.05};
const char kSummary[] =
    "\nQuorv performance phase summary\n"
    "Test set contained 3 test patterns\n"
    "0 inactive nodes detected (0.000000%)\n"
    "unable to classify 1 patterns (33.333333%)\n"
    "43 FLOPs and 33 comparisons in 0 seconds\n\n";

TEST(PerformanceConsole, EachOflagAddsItsLines)
{
    const std::string list =
        "\nList presentation of 3 patterns:\n"
        "   Pattern #1 selected by node #1 and classified as '1'\n"
        "   Pattern #2 selected by node #2 and classified as '2'\n"
        "   Pattern #3 could not be classified\n";
    const std::string presented =
        "\nList presentation of 3 patterns:\n"
        "   Pattern #1 is being presented\n"
        "   Pattern #1 selected by node #1 and classified as '1'\n"
        "   Pattern #2 is being presented\n"
        "   Pattern #2 selected by node #2 and classified as '2'\n"
        "   Pattern #3 is being presented\n"
        "   Pattern #3 could not be classified\n";
    const struct {
        double oflag;
        std::string console;
    } cases[] = {{0, ""}, {1, kSummary}, {2, list + kSummary}, {3, presented + kSummary}};
    for (const auto &c : cases) {
        const Classified r = classify_fresh(2, 2, kTemplates, kNodeLabels, 0.5, 3, kPatterns, c.oflag, -7);
        EXPECT_EQ(r.console, c.console) << "oflag " << c.oflag;
        EXPECT_EQ(r.labels, (std::vector<double>{1, 2, -7}));
    }
}

TEST(PerformanceCounts, RunningTotalsAndHostFlops)
{
    auto plugin = qt::load_perf();
    minihost::reset_flops();
    EXPECT_EQ(classify(*plugin, 2, 2, kTemplates, kNodeLabels, 0.5, 3, kPatterns).console, kSummary);
    EXPECT_EQ(minihost::flops(), 76.0);
    // 41 + 41 + 2 and 24 + 24 + 9.
    EXPECT_NE(classify(*plugin, 2, 2, kTemplates, kNodeLabels, 0.5, 3, kPatterns)
                  .console.find("\n84 FLOPs and 57 comparisons in 0 seconds\n\n"),
              std::string::npos);
    plugin.reset();  // unload first: loading while still loaded keeps the state
    plugin = qt::load_perf();
    EXPECT_EQ(classify(*plugin, 2, 2, kTemplates, kNodeLabels, 0.5, 3, kPatterns).console, kSummary);
}

TEST(PerformanceWinner, TieGoesToTheLowerNumberAlone)
{
    // Two equal boxes: node 1 classifies, node 2 stays inactive (singular).
    // flop_count 3 + 8 + 5 * 2 = 21, printed 23; comparisons 8 + 3: 11.
    const Classified r = classify_fresh(2, 2, {0.2, 0.2, 0.4, 0.4, 0.2, 0.2, 0.4, 0.4}, {5, 7}, 0.5, 1,
                                        {0.3, 0.3});
    EXPECT_EQ(r.labels, (std::vector<double>{5}));
    EXPECT_EQ(r.console,
              "\nQuorv performance phase summary\n"
              "Test set contained 1 test patterns\n"
              "1 inactive node detected (50.000000%)\n"
              "23 FLOPs and 11 comparisons in 0 seconds\n\n");
}

TEST(PerformanceWinner, InnerOfTwoNestedBoxesWinsInEitherOrder)
{
    const std::vector<double> outer = {0.1, 0.1, 0.9, 0.9}, inner = {0.4, 0.4, 0.6, 0.6};
    std::vector<double> outer_first = outer, inner_first = inner;
    outer_first.insert(outer_first.end(), inner.begin(), inner.end());
    inner_first.insert(inner_first.end(), outer.begin(), outer.end());
    EXPECT_EQ(classify_fresh(2, 2, outer_first, {1, 2}, 0.5, 1, {0.5, 0.5}, 0).labels,
              (std::vector<double>{2}));
    EXPECT_EQ(classify_fresh(2, 2, inner_first, {2, 1}, 0.5, 1, {0.5, 0.5}, 0).labels,
              (std::vector<double>{2}));
}

TEST(PerformanceWinner, VigilanceAndTheSizeMLimit)
{
    const std::vector<double> point = {0.5, 0.5, 0.5, 0.5}, cube = {0, 0, 1, 1};
    const struct {
        const char *name;
        std::vector<double> templates;
        double vigilance;
        std::vector<double> patterns, expected;
    } cases[] = {
        // Threshold 0: only a join size of 0 classifies.
        {"vigilance 1", point, 1.0, {0.5, 0.5, 0.5, 0.75}, {3, -1}},
        // Threshold M: every pattern with a winner.
        {"vigilance 0", point, 0.0, {0.5, 0.5, 0.5, 0.75, 1, 1}, {3, 3, 3}},
        // The unit square joined with anything inside spans exactly M.
        {"join size M", cube, 0.0, {0.5, 0.5, 0, 0}, {-1, -1}},
    };
    for (const auto &c : cases) {
        const size_t n = c.patterns.size() / 2;
        EXPECT_EQ(classify_fresh(1, 2, c.templates, {3}, c.vigilance, n, c.patterns, 0).labels, c.expected)
            << c.name;
    }
}

TEST(PerformanceWinner, LabelsAreTruncated)
{
    EXPECT_EQ(classify_fresh(2, 1, {0, 0, 1, 1}, {2.7, -1.5}, 0.5, 2, {0, 1}, 0, 9.9).labels,
              (std::vector<double>{2, -1}));
}

TEST(PerformanceWinner, NoFeaturesClassifyNothing)
{
    // One template column: M = 0, every join size and the best start at 0.
    auto plugin = qt::load_perf();
    auto r = qt::perf(*plugin, 2, 1, {0.3, 0.7}, {1, 2}, 0.0, 3, 0, {}, 4, 1);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(minihost::values(r.outputs[0].get()), (std::vector<double>{4, 4, 4}));
    // Each join still counts its 1 flop: flop_count 3 + 6, printed 11;
    // comparisons 3 * 3 = 9.
    EXPECT_EQ(steady_seconds(r.console),
              "\nQuorv performance phase summary\n"
              "Test set contained 3 test patterns\n"
              "2 inactive nodes detected (100.000000%)\n"
              "unable to classify 3 patterns (100.000000%)\n"
              "11 FLOPs and 9 comparisons in 0 seconds\n\n");
}

TEST(PerformanceEdges, NoPatterns)
{
    // Every node inactive; flop_count 3 + 2 * 4 = 11, printed 13.
    const Classified r = classify_fresh(2, 2, kTemplates, kNodeLabels, 0.5, 0, {}, 2);
    EXPECT_TRUE(r.labels.empty());
    EXPECT_EQ(r.console,
              "\nList presentation of 0 patterns:\n"
              "\nQuorv performance phase summary\n"
              "Test set contained 0 test patterns\n"
              "2 inactive nodes detected (100.000000%)\n"
              "13 FLOPs and 0 comparisons in 0 seconds\n\n");
}

TEST(PerformanceEdges, NoTemplates)
{
    // Nothing inactive out of nothing prints 0; each pattern costs 1 comparison.
    const Classified r = classify_fresh(0, 2, {}, {}, 0.0, 2, {0.5, 0.5, 0, 0}, 2, 8);
    EXPECT_EQ(r.labels, (std::vector<double>{8, 8}));
    EXPECT_EQ(r.console,
              "\nList presentation of 2 patterns:\n"
              "   Pattern #1 could not be classified\n"
              "   Pattern #2 could not be classified\n"
              "\nQuorv performance phase summary\n"
              "Test set contained 2 test patterns\n"
              "0 inactive nodes detected (0.000000%)\n"
              "unable to classify 2 patterns (100.000000%)\n"
              "5 FLOPs and 2 comparisons in 0 seconds\n\n");
}

}  // namespace
