// The fast winner search against the plain one. In this process: the tile
// kernels of every path this processor runs against Node::join node by node,
// and training steps through search_winner against the straight loop,
// counters included. Through the host: both plug-ins against their straight
// twins (bench/), which search with the plain loop, on whole calls. Inputs aim
// at ties, NaN, infinities, signed zeros, inverted boxes, duplicated nodes, no
// nodes and no features.
#include "model/node.h"
#include "model/search.h"
#include "model/search/buffer.h"
#include "search_twins.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace search_twins;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A size as the kernels may give it: the same bits, or NaN for NaN (whose
// payload no one reads: a NaN size never wins).
::testing::AssertionResult same_size(double got, double want)
{
    if ((std::isnan(got) && std::isnan(want)) || std::memcmp(&got, &want, sizeof got) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << want;
}

// Values drawn mostly from a coarse lattice, so that join sizes tie, mixed
// with the values that tell the ways of writing min, max and the sums apart.
struct Values {
    std::mt19937_64 rng;
    int edge_percent;

    double next()
    {
        static const double edges[] = {0.0, -0.0, 1.0, kNaN, kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324, 0.1};
        if (static_cast<int>(rng() % 100) < edge_percent)
            return edges[rng() % (sizeof edges / sizeof edges[0])];
        if (rng() % 4 == 0)
            return std::uniform_real_distribution<double>(-0.5, 1.5)(rng);
        return 0.25 * static_cast<double>(rng() % 5);
    }
    // A template row: lower then upper bounds, sometimes inverted.
    std::vector<double> row(int m)
    {
        std::vector<double> r(2 * static_cast<size_t>(m));
        for (int i = 0; i < m; ++i) {
            double a = next(), b = next();
            if (a > b && rng() % 4 != 0)
                std::swap(a, b);
            r[i] = a;
            r[m + i] = b;
        }
        return r;
    }
    std::vector<double> pattern(int m)
    {
        std::vector<double> p(static_cast<size_t>(m));
        for (double &v : p)
            v = next();
        return p;
    }
};

// Nodes from template rows (some rows repeated) and their block.
struct Nodes {
    std::vector<Node *> nodes;
    NodeBlock block;

    Nodes(int m, const std::vector<std::vector<double>> &rows, const SearchConfig &config) : block(m, config)
    {
        for (size_t k = 0; k < rows.size(); ++k) {
            nodes.push_back(Node::create(rows[k].data(), static_cast<int>(k % 3), 1));
            EXPECT_TRUE(block.append(*nodes.back()));
        }
    }
    ~Nodes()
    {
        for (Node *n : nodes)
            Node::destroy(n);
    }
};

std::vector<std::vector<double>> template_rows(Values *v, int k, int m)
{
    std::vector<std::vector<double>> rows;
    for (int j = 0; j < k; ++j)
        rows.push_back(j > 0 && v->rng() % 5 == 0 ? rows[v->rng() % rows.size()] : v->row(m));
    return rows;
}

SearchConfig config_of(SearchPath path)
{
    SearchConfig config;
    EXPECT_TRUE(SearchConfig::for_path(path, &config)) << search_path_name(path);
    return config;
}

// Each fast path on its own, reported as skipped where the processor cannot
// run it.
class SearchKernels : public ::testing::TestWithParam<SearchPath> {
protected:
    void SetUp() override
    {
        if (!SearchConfig::available(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << search_path_name(GetParam()) << " path";
    }
    SearchConfig config() const { return config_of(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Paths, SearchKernels,
                         ::testing::Values(SearchPath::Scalar, SearchPath::Avx2, SearchPath::Avx512),
                         [](const ::testing::TestParamInfo<SearchPath> &info) { return std::string(search_path_name(info.param)); });

// Block sizes around the tile (8) and group (64) widths, through several groups.
TEST_P(SearchKernels, SizesAndWinnersAreThoseOfJoinNodeByNode)
{
    const int ks[] = {0, 1, 2, 3, 5, 8, 9, 16, 17, 40, 64, 65, 200, 600};
    const int ms[] = {0, 1, 2, 3, 4, 7, 16};
    std::uint64_t seed = 1;
    for (SearchPath path : {GetParam()}) {
        for (int k : ks)
            for (int m : ms)
                for (int edges : {0, 15, 60}) {
                    SCOPED_TRACE(::testing::Message() << search_path_name(path) << " K=" << k << " M=" << m << " edges=" << edges);
                    Values v{std::mt19937_64(seed++), edges};
                    Node::params.M = m;
                    Node::params.two_M = 2 * m;
                    const auto rows = template_rows(&v, k, m);
                    Nodes set(m, rows, config());
                    std::vector<std::vector<double>> patterns;
                    std::vector<const double *> pointers;
                    for (int p = 0; p < 70; ++p) {
                        // Some patterns are a node's own corner: exact ties at the box's size.
                        if (k > 0 && p % 7 == 0)
                            patterns.push_back(std::vector<double>(rows[p % k].begin(), rows[p % k].begin() + m));
                        else
                            patterns.push_back(v.pattern(m));
                    }
                    for (const auto &p : patterns)
                        pointers.push_back(p.data());
                    // Flat, then with groups on one thread and on three.
                    for (int grouped = 0; grouped < 3; ++grouped) {
                    if (grouped == 1) {
                        ASSERT_TRUE(set.block.regroup());
                    }
                    std::vector<int> winners(patterns.size());
                    std::vector<double> winner_sizes(patterns.size(), -1.0);
                    set.block.find_winners(pointers.data(), static_cast<int>(patterns.size()), winners.data(),
                                           winner_sizes.data(), grouped == 2 ? 3 : 1);
                    for (size_t p = 0; p < patterns.size(); ++p) {
                        std::vector<double> want(k), got(k);
                        int winner = -1;
                        double best = m;
                        for (int j = 0; j < k; ++j) {
                            set.nodes[j]->join(patterns[p].data());
                            want[j] = set.nodes[j]->join_size;
                            if (want[j] < best) {
                                best = want[j];
                                winner = j;
                            }
                        }
                        set.block.all_sizes(patterns[p].data(), got.data());
                        for (int j = 0; j < k; ++j)
                            EXPECT_TRUE(same_size(got[j], want[j])) << "pattern " << p << " node " << j;
                        double size = -1.0;
                        EXPECT_EQ(set.block.find_winner(patterns[p].data(), &size), winner) << "pattern " << p;
                        EXPECT_EQ(winners[p], winner) << "pattern " << p << " in a batch";
                        if (winner >= 0) {
                            EXPECT_TRUE(same_size(size, best)) << "pattern " << p;
                            EXPECT_TRUE(same_size(winner_sizes[p], best)) << "pattern " << p << " in a batch";
                        }
                    }
                    }
                }
    }
}

// The working memory of regroups: refit to a count within the room of its
// block, a buffer keeps the block and what it holds; past that room, after a
// smaller allocation, or moved away, it takes a new one. Every element is
// written, so that a block kept beyond its room shows under the sanitizers.
TEST(SearchBuffer, RefitKeepsTheBlockWithinItsRoomOnly)
{
    struct Step {
        bool allocate;  // else fit
        std::size_t count;
        bool kept;  // the block and its values stay
    };
    const Step steps[] = {
        {true, 100, false}, {false, 100, true}, {false, 40, true},   {false, 101, false}, {false, 151, true},
        {false, 152, false}, {true, 10, false},  {false, 100, false}, {false, 150, true},
    };
    Buffer<double> buffer;
    const double *block = nullptr;
    double value = 0.0;
    for (const Step &step : steps) {
        SCOPED_TRACE(::testing::Message() << (step.allocate ? "allocate " : "fit ") << step.count);
        const std::size_t before = buffer.size();
        ASSERT_TRUE(step.allocate ? buffer.allocate(step.count) : buffer.fit(step.count));
        EXPECT_EQ(buffer.size(), step.count);
        if (step.kept) {
            EXPECT_EQ(buffer.get(), block);
            for (std::size_t i = 0; i < std::min(before, step.count); ++i)
                ASSERT_EQ(buffer[i], value) << i;
        }
        block = buffer.get();
        buffer.fill(++value);
    }
    Buffer<double> moved(std::move(buffer));
    ASSERT_TRUE(moved.fit(150));
    EXPECT_EQ(moved.get(), block);
    EXPECT_EQ(moved[149], value);
    ASSERT_TRUE(buffer.fit(1));
    EXPECT_EQ(buffer.size(), 1u);
    buffer[0] = -1.0;
    buffer.swap(moved);
    ASSERT_TRUE(buffer.fit(150));
    EXPECT_EQ(buffer.get(), block);
    EXPECT_EQ(buffer[0], value);
}

// Flat batches shared among threads in runs that shrink towards the end:
// every pattern searched once, whatever the count of patterns and threads,
// giving the winners and sizes of one thread; the sizes of patterns without a
// winner, and with no room for sizes none at all, are left alone.
TEST_P(SearchKernels, FlatBatchesOnSeveralThreadsAreThoseOfOneThread)
{
    const int m = 16;
    Node::params.M = m;
    Node::params.two_M = 2 * m;
    SearchConfig flat = config();
    flat.pruning = false;
    Values v{std::mt19937_64(77), 2};
    const auto rows = template_rows(&v, 1000, m);
    Nodes set(m, rows, flat);
    std::vector<std::vector<double>> patterns;
    std::vector<const double *> pointers;
    for (int p = 0; p < 2003; ++p)
        patterns.push_back(v.pattern(m));
    for (const auto &p : patterns)
        pointers.push_back(p.data());
    // Enough work for two, four and eight threads; counts that end in part runs.
    for (int n : {251, 502, 1003, 2003}) {
        std::vector<int> want(n, -2);
        std::vector<double> want_sizes(n, -1.0);
        set.block.find_winners(pointers.data(), n, want.data(), want_sizes.data(), 1);
        for (int threads : {2, 3, 8})
            for (bool with_sizes : {true, false}) {
                SCOPED_TRACE(::testing::Message() << n << " patterns, " << threads << " threads"
                                                  << (with_sizes ? "" : ", no sizes"));
                std::vector<int> got(n, -2);
                std::vector<double> got_sizes(n, -1.0);
                set.block.find_winners(pointers.data(), n, got.data(), with_sizes ? got_sizes.data() : nullptr,
                                       threads);
                int wrong = 0;
                for (int p = 0; p < n && wrong < 5; ++p) {
                    const double size = with_sizes ? want_sizes[p] : -1.0;
                    const bool same = got[p] == want[p] && same_size(got_sizes[p], size);
                    EXPECT_TRUE(same) << "pattern " << p << ": node " << got[p] << " size " << got_sizes[p]
                                      << " instead of node " << want[p] << " size " << size;
                    wrong += !same;
                }
            }
    }
}

// Grouping on the threads while they also search flat, then all with the
// groups if they pay: the winners and sizes of a plain one-thread search,
// where the groups pay (small clustered boxes) and where they do not (boxes
// at random), with odd values among them; with many nodes, whose grouping
// leaves time to put the patterns in order, and with few.
TEST_P(SearchKernels, GroupingWhileSearchingGivesTheWinnersOfAPlainSearch)
{
    const int m = 8;
    Node::params.M = m;
    Node::params.two_M = 2 * m;
    struct Shape {
        int nodes, patterns;
    };
    for (const Shape &shape : {Shape{1500, 800}, Shape{300, 2600}})
    for (int clustered = 0; clustered < 2; ++clustered)
        for (int edges : {0, 3}) {
            SCOPED_TRACE(::testing::Message() << "nodes " << shape.nodes << " clustered " << clustered << " edges "
                                              << edges);
            Values v{std::mt19937_64(40 + 2 * clustered + edges), edges};
            std::uniform_real_distribution<double> unit(0.0, 1.0);
            std::vector<std::vector<double>> rows;
            for (int k = 0; k < shape.nodes; ++k) {
                std::vector<double> r = v.row(m);
                for (int i = 0; clustered && i < m; ++i)
                    if (std::isfinite(r[i]) && std::isfinite(r[m + i])) {
                        const double c = unit(v.rng), h = 0.01 * unit(v.rng);
                        r[i] = c - h;
                        r[m + i] = c + h;
                    }
                rows.push_back(r);
            }
            std::vector<std::vector<double>> patterns;
            std::vector<const double *> pointers;
            for (int p = 0; p < shape.patterns; ++p)
                patterns.push_back(p % 9 == 0 ? std::vector<double>(rows[p % shape.nodes].begin(),
                                                                    rows[p % shape.nodes].begin() + m)
                                              : v.pattern(m));
            for (const auto &p : patterns)
                pointers.push_back(p.data());
            const int n = static_cast<int>(patterns.size());
            Nodes plain(m, rows, config()), grouping(m, rows, config());
            std::vector<int> want(n), got(n);
            std::vector<double> want_sizes(n, -1.0), got_sizes(n, -1.0);
            plain.block.find_winners(pointers.data(), n, want.data(), want_sizes.data(), 1);
            grouping.block.regroup_on_search();
            grouping.block.find_winners(pointers.data(), n, got.data(), got_sizes.data(), 3);
            EXPECT_GT(grouping.block.grouped(), 0);
            for (int p = 0; p < n; ++p) {
                EXPECT_EQ(got[p], want[p]) << "pattern " << p;
                if (want[p] >= 0) {
                    EXPECT_TRUE(same_size(got_sizes[p], want_sizes[p])) << "pattern " << p;
                }
            }
        }
}

struct Counts {
    std::uint32_t flops, comparisons;
    double host;
    static Counts now() { return {Node::params.flop_count, Node::params.comparison_count, minihost::flops()}; }
};

// Training in miniature on two copies of the same nodes: one searched with the
// plain loop, one with a fast path, each followed by learn on its winner or a
// new node. Winners, trial boxes, every counter and the nodes must agree.
// The fast side also regroups now and then, so that searches meet groups,
// nodes added since, and nodes learned since.
TEST_P(SearchKernels, TrainingStepsAgreeWithTheStraightLoopCountersIncluded)
{
    std::uint64_t seed = 100;
    for (SearchPath path : {GetParam()})
        for (int m : {0, 1, 2, 5, 13})
            for (double rate : {1.0, 0.5})
                for (int edges : {0, 10, 40})
                    // 24 patterns over 300 steps: the log of changes wraps
                    // again and again between two searches of a pattern.
                    for (int pool : {300, 24}) {
                    SCOPED_TRACE(::testing::Message() << search_path_name(path) << " M=" << m << " rate=" << rate << " edges=" << edges
                                                      << " patterns=" << pool);
                    Values v{std::mt19937_64(seed++), edges};
                    NodeParams &np = Node::params;
                    np.M = m;
                    np.two_M = 2 * m;
                    np.learning_rate = rate;
                    np.one_minus_rate = 1 - rate;
                    np.eps_over_rate = 0.01 / rate;
                    np.min_size = edges == 10 ? 0.01 : 0.0;
                    // Start near the wrap of the 32-bit counters.
                    np.flop_count = 0xFFFFF000u;
                    np.comparison_count = 0xFFFFF800u;
                    Nodes plain(m, {}, config_of(SearchPath::Straight)), fast(m, {}, config_of(path));
                    // Patterns come again, so that nodes are found again and grow,
                    // and the fast side remembers them by their first step.
                    std::vector<std::vector<double>> seq;
                    std::vector<int> first(300);
                    for (int step = 0; step < 300; ++step) {
                        const int from = pool < 300 ? step % pool
                                         : step > 20 && step % 3 != 1 ? first[v.rng() % step]
                                                                      : step;
                        seq.push_back(from == step ? v.pattern(m) : seq[from]);
                        first[step] = from;
                    }
                    ASSERT_TRUE(fast.block.remember(pool));
                    for (int step = 0; step < 300; ++step) {
                        const std::vector<double> &x = seq[step];
                        if (step % 40 == 39) {
                            ASSERT_TRUE(fast.block.regroup());
                        }
                        // The pattern announced next is now and then not the one searched next.
                        const double *next = step + 1 == 300 ? nullptr
                                             : step % 11 == 10 ? seq[(step * 7) % 300].data()
                                                               : seq[step + 1].data();
                        int winners[2];
                        Counts used[2];
                        for (int side = 0; side < 2; ++side) {
                            Nodes &s = side == 0 ? plain : fast;
                            const Counts before = Counts::now();
                            winners[side] = s.block.count() > 0
                                                ? search_winner(s.nodes.data(), s.block, x.data(), 4 * m + 1, next,
                                                                first[step])
                                                : -1;
                            const Counts after = Counts::now();
                            used[side] = {after.flops - before.flops, after.comparisons - before.comparisons,
                                          after.host - before.host};
                        }
                        ASSERT_EQ(winners[0], winners[1]) << "step " << step;
                        EXPECT_EQ(used[0].flops, used[1].flops) << "step " << step;
                        EXPECT_EQ(used[0].comparisons, used[1].comparisons) << "step " << step;
                        EXPECT_EQ(used[0].host, used[1].host) << "step " << step;
                        const int w = winners[0];
                        if (w >= 0 && step % 4 != 0) {
                            Node *a = plain.nodes[w], *b = fast.nodes[w];
                            EXPECT_TRUE(same_size(b->join_size, a->join_size));
                            EXPECT_TRUE(same_size(b->growth, a->growth));
                            for (int i = 0; i < m; ++i) {
                                EXPECT_TRUE(same_size(b->join_lower[i], a->join_lower[i]));
                                EXPECT_TRUE(same_size(b->join_upper[i], a->join_upper[i]));
                            }
                            EXPECT_EQ(a->learn(), b->learn());
                            plain.block.refresh(w, *a);
                            fast.block.refresh(w, *b);
                            if (step % 13 == 0) {
                                // A second node refreshed: sizes looked ahead are stale.
                                const int other = (w + 1) % static_cast<int>(fast.nodes.size());
                                fast.block.refresh(other, *fast.nodes[other]);
                            }
                        } else {
                            for (Nodes *s : {&plain, &fast}) {
                                s->nodes.push_back(Node::create(x.data(), 1, 0));
                                ASSERT_TRUE(s->block.append(*s->nodes.back()));
                            }
                        }
                    }
                    for (size_t k = 0; k < plain.nodes.size(); ++k)
                        for (int i = 0; i < m; ++i) {
                            EXPECT_TRUE(same_size(fast.nodes[k]->lower[i], plain.nodes[k]->lower[i]));
                            EXPECT_TRUE(same_size(fast.nodes[k]->upper[i], plain.nodes[k]->upper[i]));
                        }
                }
}

// Counting many joins at once wraps the 32-bit counters as one join at a time
// does, and hands the host amounts beyond an int in pieces that add up.
TEST(SearchCounts, BulkCountsWrapAndReachTheHostWhole)
{
    NodeParams &p = Node::params;
    p.M = 1000;
    const std::uint32_t flops0 = 0xFFFFFFF0u, comparisons0 = 0xFFFFFFFFu;
    p.flop_count = flops0;
    p.comparison_count = comparisons0;
    for (int j = 0; j < 5; ++j)
        Node::count_ops(2001, 2000);
    const std::uint32_t want_flops = p.flop_count, want_comparisons = p.comparison_count;
    p.flop_count = flops0;
    p.comparison_count = comparisons0;
    count_joins(5);
    EXPECT_EQ(p.flop_count, want_flops);
    EXPECT_EQ(p.comparison_count, want_comparisons);

    const std::int64_t joins = 3000000;  // 4001 host flops each: past INT_MAX
    const double before = minihost::flops();
    count_joins(joins);
    EXPECT_EQ(minihost::flops() - before, static_cast<double>(joins * 4001));
    EXPECT_EQ(p.flop_count, static_cast<std::uint32_t>(want_flops + static_cast<std::uint64_t>(joins) * 2001));
}

// ---- whole calls: the plug-ins against their straight twins ----

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
    auto train = qt::load_train();
    auto perf = qt::load_perf();
    auto straight_train = load_twin(QUORV_TRAIN_PLUGIN);
    auto straight_perf = load_twin(QUORV_PERF_PLUGIN);
    ASSERT_TRUE(train && perf && straight_train && straight_perf);
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
