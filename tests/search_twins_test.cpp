// The plug-ins against their straight twins (bench/), which search with the
// plain per-node loop, on whole calls through the host: training and
// classification, on one thread and on several, with everything observable
// compared (outputs bit for bit, console, host flops); and the node list's
// growth as the host sees it.
#include "search_twins.h"
#include "search_values.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace search_twins;
using search_values::template_rows;
using search_values::Values;

TEST(SearchTwins, TrainingCallsMatchTheStraightPlugin)
{
    auto fast = qt::load_train();
    auto straight = load_twin(QUORV_TRAIN_PLUGIN);
    ASSERT_TRUE(fast && straight);
    std::mt19937_64 rng(2024);
    for (int c = 0; c < 60; ++c) {
        const int m = static_cast<int>(std::vector<int>{0, 1, 2, 3, 6, 17}[c % 6]);
        const int n = c % 10 == 9 ? 0 : 10 + static_cast<int>(rng() % 150);
        Values v{std::mt19937_64(rng()), c % 3 == 0 ? 0 : 8};
        std::vector<double> patterns, labels;
        for (int p = 0; p < n; ++p) {
            // Repeats make nodes that are found again, and exact ties.
            std::vector<double> x = v.pattern(m);
            if (p > 5 && rng() % 3 == 0) {
                const auto from = patterns.begin() + static_cast<long>(rng() % p) * m;
                x.assign(from, from + m);
            }
            patterns.insert(patterns.end(), x.begin(), x.end());
            labels.push_back(rng() % 9 == 0 ? 2.5 : static_cast<double>(1 + rng() % 3));
        }
        qt::TrainParams tp;
        tp.vigilance = std::vector<double>{0.0, 0.4, 0.75, 0.95, 1.0}[rng() % 5];
        tp.min_size = rng() % 3 == 0 ? 0.05 * m * (1 - tp.vigilance) : 0.0;
        tp.learning_rate = rng() % 2 ? 1.0 : 0.5;
        tp.epsilon = rng() % 2 ? 0.0 : 0.01;
        tp.max_list_presentations = 1 + static_cast<double>(rng() % 6);
        tp.trim_option = static_cast<double>(rng() % 2);
        tp.oflag = static_cast<double>(c % 5);
        expect_twins(
            *fast, *straight,
            [&](qt::Plugin &p) { return qt::train(p, n, m, patterns, labels, tp); },
            "case " + std::to_string(c) + " N=" + std::to_string(n) + " M=" + std::to_string(m));
    }
}

TEST(SearchTwins, ClassificationCallsMatchTheStraightPlugin)
{
    auto fast = qt::load_perf();
    auto straight = load_twin(QUORV_PERF_PLUGIN);
    ASSERT_TRUE(fast && straight);
    std::mt19937_64 rng(77);
    const int ks[] = {0, 1, 2, 3, 8, 9, 30, 70};
    const int ms[] = {0, 1, 2, 5, 16};
    int c = 0;
    for (int k : ks)
        for (int m : ms) {
            // Past a window of 256 patterns, with a short last batch.
            const int n = std::vector<int>{0, 1, 7, 300, 601}[c % 5];
            Values v{std::mt19937_64(rng()), c % 2 ? 12 : 0};
            std::vector<double> templates, node_labels, patterns;
            for (const auto &row : template_rows(&v, k, m))
                templates.insert(templates.end(), row.begin(), row.end());
            for (int j = 0; j < k; ++j)
                node_labels.push_back(rng() % 7 == 0 ? -1.5 : static_cast<double>(1 + rng() % 4));
            for (int p = 0; p < n; ++p) {
                // Some patterns sit on a template's lower corner.
                const std::vector<double> x = k > 0 && p % 5 == 0
                                                  ? std::vector<double>(templates.begin() + (p % k) * 2 * m,
                                                                        templates.begin() + (p % k) * 2 * m + m)
                                                  : v.pattern(m);
                patterns.insert(patterns.end(), x.begin(), x.end());
            }
            const double vigilance = std::vector<double>{0.0, 0.5, 1.0}[c % 3];
            const double oflag = c % 4;
            expect_twins(
                *fast, *straight,
                [&](qt::Plugin &p) {
                    return qt::perf(p, k, 2 * m, templates, node_labels, vigilance, n, m, patterns, -1, oflag);
                },
                "K=" + std::to_string(k) + " M=" + std::to_string(m) + " N=" + std::to_string(n));
            ++c;
        }
}

// Calls large enough for the groups, the remembered searches and several
// threads, with QUORV_THREADS at 1 and at 3: the same as the straight twins.
TEST(SearchTwins, LargeCallsMatchOnOneThreadAndOnSeveral)
{
    const Plugins plugins = load_all();
    ASSERT_TRUE(plugins.loaded());
    const auto &train = plugins.train, &perf = plugins.perf;
    const auto &straight_train = plugins.straight_train, &straight_perf = plugins.straight_perf;
    std::mt19937_64 rng(5);
    for (const char *threads : {"1", "3"}) {
        ASSERT_EQ(setenv("QUORV_THREADS", threads, 1), 0);
        for (int edges : {0, 3}) {
            const int m = 6, n = 900;
            Values v{std::mt19937_64(rng()), edges};
            std::vector<double> patterns, labels;
            for (int p = 0; p < n; ++p) {
                const std::vector<double> x = v.pattern(m);
                patterns.insert(patterns.end(), x.begin(), x.end());
                labels.push_back(static_cast<double>(1 + rng() % 3));
            }
            qt::TrainParams tp;
            tp.vigilance = 0.9;
            tp.max_list_presentations = 5;
            tp.oflag = 2;
            const std::string what = std::string("threads ") + threads + " edges " + std::to_string(edges);
            expect_twins(
                *train, *straight_train, [&](qt::Plugin &p) { return qt::train(p, n, m, patterns, labels, tp); },
                "training, " + what);

            // Many patterns; and a model large enough for its nodes to be
            // made on the threads, with labels to truncate.
            struct Shape {
                int k, m, tests;
            };
            for (const Shape &shape : {Shape{400, m, 3000}, Shape{3000, 24, 300}}) {
                std::vector<double> templates, node_labels, points;
                for (const auto &row : template_rows(&v, shape.k, shape.m))
                    templates.insert(templates.end(), row.begin(), row.end());
                for (int j = 0; j < shape.k; ++j)
                    node_labels.push_back(static_cast<double>(1 + rng() % 4) + (j % 3 == 0 ? 0.5 : 0.0));
                for (int p = 0; p < shape.tests; ++p) {
                    const std::vector<double> x = v.pattern(shape.m);
                    points.insert(points.end(), x.begin(), x.end());
                }
                const auto call = [&](qt::Plugin &p) {
                    return qt::perf(p, shape.k, 2 * shape.m, templates, node_labels, 0.5, shape.tests, shape.m,
                                    points, -1, 2);
                };
                const std::string which = "classification, " + what + ", " + std::to_string(shape.k) + " nodes";
                expect_twins(*perf, *straight_perf, call, which);
                // The twins make their nodes alike: the host's count, term by
                // term (both called, to keep their running totals alike).
                const double k = shape.k, m2 = 2.0 * shape.m, tests = shape.tests;
                for (qt::Plugin *p : {perf.get(), straight_perf.get()}) {
                    const double before = minihost::flops();
                    ASSERT_TRUE(call(*p).ok);
                    EXPECT_EQ(minihost::flops() - before,
                              2 + 3 + k * m2 + tests * k * (2 * m2 + 1) + tests * (k + 1))
                        << which;
                }
            }
        }
    }
    unsetenv("QUORV_THREADS");
}

// The node list grows geometrically. 500 more patterns, each making its own
// node, add at most two host allocations each (a row in, a template row out)
// and next to nothing for the list; a list grown by one slot per node would
// add a third.
TEST(NodeList, GrowsWithoutAnAllocationPerNode)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    long used[2] = {0, 0};
    const int counts[2] = {500, 1000};
    for (int r = 0; r < 2; ++r) {
        const int n = counts[r];
        std::vector<double> patterns, labels(n, 1.0);
        for (int p = 0; p < n; ++p) {
            patterns.push_back(static_cast<double>(p) / n);
            patterns.push_back(0.5);
        }
        qt::TrainParams tp;
        tp.vigilance = 1.0;  // every pattern makes its own node
        tp.max_list_presentations = 1;
        minihost::reset_allocation_count();
        const qt::CallResult result = qt::train(*plugin, n, 2, patterns, labels, tp);
        used[r] = minihost::allocation_count();
        ASSERT_TRUE(result.ok) << result.error;
        ASSERT_EQ(minihost::values(result.outputs[1].get()).size(), static_cast<size_t>(n));
    }
    EXPECT_LT(used[1] - used[0], 2 * 500 + 20) << used[0] << " and " << used[1] << " allocations";
}

}  // namespace
