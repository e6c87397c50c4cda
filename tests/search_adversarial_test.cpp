// Large adversarial inputs for the winner search, kind by kind: clustered
// boxes, exact ties, duplicate and nested boxes, inverted and NaN boxes,
// extreme magnitudes and non-finite patterns. In this process, every kernel
// path's batches (grouped while searching, or grouped first) at 1, 2, 3 and
// all threads against Node::join node by node; through the host, whole
// classification and training calls at those thread counts against the
// straight twins, outputs, console and host flops alike.
#include "model/node.h"
#include "model/search.h"
#include "model/threads.h"
#include "search_twins.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace search_twins;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

enum class Kind { Clusters, ExactTies, DuplicateAndNested, InvertedAndNaN, ExtremeMagnitudes, NonFinitePatterns };

struct KindName {
    Kind kind;
    const char *name;
};
const KindName kKinds[] = {
    {Kind::Clusters, "clusters"},
    {Kind::ExactTies, "exact ties"},
    {Kind::DuplicateAndNested, "duplicate and nested boxes"},
    {Kind::InvertedAndNaN, "inverted and NaN boxes"},
    {Kind::ExtremeMagnitudes, "extreme magnitudes"},
    {Kind::NonFinitePatterns, "non-finite patterns"},
};

using Rows = std::vector<std::vector<double>>;

// Template rows (lower bounds, then upper) and patterns of one kind.
struct Adversary {
    std::mt19937_64 rng;
    int m;

    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }
    size_t below(size_t n) { return static_cast<size_t>(rng() % n); }
    // A value of any magnitude the doubles have, subnormals and signed zeros included.
    double extreme()
    {
        static const double scales[] = {0.0, -0.0, 5e-324, 1e-310, 1e-300, 1e-150, 1.0, 1e150, 1e300, 1.7e308};
        const double v = scales[below(sizeof scales / sizeof scales[0])] * (1.0 + unit());
        return rng() % 2 ? v : -v;
    }

    Rows rows(Kind kind, int k)
    {
        Rows out;
        std::vector<double> centres;
        for (int c = 0; c < 24 * m; ++c)
            centres.push_back(unit());
        for (int j = 0; j < k; ++j) {
            std::vector<double> r(2 * static_cast<size_t>(m));
            const double *centre = &centres[below(24) * static_cast<size_t>(m)];
            for (int i = 0; i < m; ++i) {
                double lo = 0, up = 0;
                switch (kind) {
                case Kind::ExactTies:  // corners on a lattice of quarters: sizes tie exactly
                    lo = 0.25 * static_cast<double>(below(4));
                    up = lo + 0.25 * static_cast<double>(below(2));
                    break;
                case Kind::ExtremeMagnitudes:
                    lo = extreme();
                    up = rng() % 4 ? lo + std::fabs(extreme()) : extreme();
                    break;
                default: {  // small boxes around a few centres
                    const double h = 0.02 * unit();
                    lo = centre[i] + 0.03 * (unit() - 0.5) - h;
                    up = lo + 2 * h;
                }
                }
                r[static_cast<size_t>(i)] = lo;
                r[static_cast<size_t>(m + i)] = up;
            }
            if (kind == Kind::DuplicateAndNested && j > 0 && rng() % 2) {
                r = out[below(out.size())];
                if (rng() % 3) {  // nested inside, or around, an earlier box
                    const double f = rng() % 2 ? 0.5 : 1.5;
                    for (int i = 0; i < m; ++i) {
                        const double mid = 0.5 * (r[static_cast<size_t>(i)] + r[static_cast<size_t>(m + i)]);
                        const double half = 0.5 * f * (r[static_cast<size_t>(m + i)] - r[static_cast<size_t>(i)]);
                        r[static_cast<size_t>(i)] = mid - half;
                        r[static_cast<size_t>(m + i)] = mid + half;
                    }
                }
            }
            if (kind == Kind::InvertedAndNaN) {
                const size_t i = below(static_cast<size_t>(m));
                switch (rng() % 10) {
                case 0:
                case 1:
                    std::swap(r[i], r[static_cast<size_t>(m) + i]);  // inverted
                    break;
                case 2:
                    r[rng() % 2 ? i : static_cast<size_t>(m) + i] = kNaN;
                    break;
                case 3:
                    r[i] = -kInf;
                    break;
                default:
                    break;
                }
            }
            out.push_back(r);
        }
        return out;
    }

    Rows patterns(Kind kind, const Rows &boxes, int n)
    {
        Rows out;
        for (int p = 0; p < n; ++p) {
            std::vector<double> x(static_cast<size_t>(m));
            const std::vector<double> &box = boxes[below(boxes.size())];
            for (int i = 0; i < m; ++i) {
                const double lo = box[static_cast<size_t>(i)], up = box[static_cast<size_t>(m + i)];
                if (kind == Kind::ExactTies)
                    x[static_cast<size_t>(i)] = 0.125 * static_cast<double>(below(9));
                else if (kind == Kind::ExtremeMagnitudes)
                    x[static_cast<size_t>(i)] = rng() % 2 ? extreme() : lo;
                else if (std::isfinite(lo) && std::isfinite(up))  // inside or near a box
                    x[static_cast<size_t>(i)] = lo + (up - lo) * (1.4 * unit() - 0.2);
                else
                    x[static_cast<size_t>(i)] = unit();
            }
            if (kind == Kind::NonFinitePatterns && rng() % 4 == 0) {
                static const double odd[] = {kNaN, kInf, -kInf};
                x[below(static_cast<size_t>(m))] = odd[below(3)];
            }
            out.push_back(x);
        }
        return out;
    }
};

std::vector<double> flat(const Rows &rows)
{
    std::vector<double> out;
    for (const auto &r : rows)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

int all_threads() { return processor_threads() > 3 ? processor_threads() : 4; }

// Every kernel path, reported as skipped where the processor cannot run it.
class AdversarialBatches : public ::testing::TestWithParam<SearchPath> {
protected:
    void SetUp() override
    {
        if (!SearchConfig::available(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << search_path_name(GetParam()) << " path";
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, AdversarialBatches,
                         ::testing::Values(SearchPath::Scalar, SearchPath::Avx2, SearchPath::Avx512),
                         [](const ::testing::TestParamInfo<SearchPath> &info) {
                             return std::string(search_path_name(info.param));
                         });

TEST_P(AdversarialBatches, WinnersAndSizesAreThoseOfJoinNodeByNode)
{
    SearchConfig config;
    ASSERT_TRUE(SearchConfig::for_path(GetParam(), &config));
    const int m = 6, k = 1500, n = 2000;
    Node::use_params(classification_params(m));
    std::uint64_t seed = 7;
    for (const KindName &kind : kKinds) {
        SCOPED_TRACE(kind.name);
        Adversary adversary{std::mt19937_64(seed++), m};
        const Rows rows = adversary.rows(kind.kind, k);
        const Rows patterns = adversary.patterns(kind.kind, rows, n);
        std::vector<Node *> nodes;
        for (const auto &r : rows)
            nodes.push_back(Node::create(r.data(), 1, 1));
        // The winners of a scan in node order, by Node::join.
        std::vector<int> want(n, -1);
        std::vector<double> want_sizes(n, 0.0);
        for (int p = 0; p < n; ++p) {
            double best = m;
            for (int j = 0; j < k; ++j) {
                nodes[static_cast<size_t>(j)]->join(patterns[static_cast<size_t>(p)].data());
                if (nodes[static_cast<size_t>(j)]->join_size < best) {
                    best = nodes[static_cast<size_t>(j)]->join_size;
                    want[static_cast<size_t>(p)] = j;
                }
            }
            want_sizes[static_cast<size_t>(p)] = best;
        }
        std::vector<const double *> pointers;
        for (const auto &x : patterns)
            pointers.push_back(x.data());
        for (int threads : {1, 2, 3, all_threads()})
            for (int run = 0; run < (threads > 1 ? 4 : 2); ++run) {
                // Threads started per batch, or a team started ahead of it.
                const bool grouped_first = run % 2, with_team = run >= 2;
                SCOPED_TRACE(::testing::Message() << threads << " threads" << (with_team ? " of a team" : "")
                                                  << ", grouped " << (grouped_first ? "first" : "while searching"));
                ThreadTeam team(with_team ? threads : 1);
                SearchConfig run_config = config;
                run_config.team = with_team ? &team : nullptr;
                NodeBlock block(m, run_config);
                for (Node *node : nodes)
                    ASSERT_TRUE(block.append(*node));
                if (grouped_first)
                    ASSERT_TRUE(block.regroup());
                else
                    block.regroup_on_search();
                std::vector<int> got(n, -2);
                std::vector<double> sizes(n, -1.0);
                block.find_winners(pointers.data(), n, got.data(), sizes.data(), threads);
                int wrong = 0;
                for (int p = 0; p < n && wrong < 5; ++p) {
                    const size_t q = static_cast<size_t>(p);
                    const bool same = got[q] == want[q] &&
                                      (want[q] < 0 || std::memcmp(&sizes[q], &want_sizes[q], sizeof(double)) == 0);
                    EXPECT_TRUE(same) << "pattern " << p << ": node " << got[q] << " size " << sizes[q]
                                      << " instead of node " << want[q] << " size " << want_sizes[q];
                    wrong += !same;
                }
            }
        for (Node *node : nodes)
            Node::destroy(node);
    }
}

// Whole calls at 1, 2, 3 and all threads: the same as the straight twins.
TEST(AdversarialCalls, MatchTheStraightTwinsAtEveryThreadCount)
{
    const Plugins plugins = load_all();
    ASSERT_TRUE(plugins.loaded());
    const auto &train = plugins.train, &perf = plugins.perf;
    const auto &straight_train = plugins.straight_train, &straight_perf = plugins.straight_perf;
    const int m = 6;
    std::uint64_t seed = 70;
    for (const KindName &kind : kKinds) {
        Adversary adversary{std::mt19937_64(seed++), m};
        const Rows rows = adversary.rows(kind.kind, 1200);
        const Rows points = adversary.patterns(kind.kind, rows, 2500);
        const std::vector<double> templates = flat(rows), patterns = flat(points);
        std::vector<double> node_labels, labels;
        for (size_t j = 0; j < rows.size(); ++j)
            node_labels.push_back(static_cast<double>(1 + j % 5));
        // Training sees the first patterns again and again.
        const int n_train = 500;
        const std::vector<double> train_patterns(patterns.begin(), patterns.begin() + n_train * m);
        for (int p = 0; p < n_train; ++p)
            labels.push_back(static_cast<double>(1 + p % 3));
        qt::TrainParams tp;
        tp.vigilance = 0.2;
        tp.max_list_presentations = 4;
        tp.learning_rate = kind.kind == Kind::Clusters ? 0.5 : 1.0;
        tp.oflag = 2;
        for (int threads : {1, 2, 3, all_threads()}) {
            const std::string count = std::to_string(threads);
            ASSERT_EQ(setenv("QUORV_THREADS", count.c_str(), 1), 0);
            const std::string what = std::string(kind.name) + ", " + count + " threads";
            expect_twins(
                *perf, *straight_perf,
                [&](qt::Plugin &p) {
                    return qt::perf(p, rows.size(), 2 * m, templates, node_labels, 0.0, points.size(), m, patterns,
                                    -1, 1);
                },
                "classification, " + what);
            expect_twins(
                *train, *straight_train,
                [&](qt::Plugin &p) { return qt::train(p, n_train, m, train_patterns, labels, tp); },
                "training, " + what);
        }
    }
    unsetenv("QUORV_THREADS");
}

}  // namespace
