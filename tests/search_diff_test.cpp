// The fast winner search against the plain one, in this process: the tile
// kernels of every path this processor runs against Node::join node by node,
// and training steps through search_winner against the straight loop,
// counters included (whole calls through the host: search_twins_test.cpp).
// Inputs aim at ties, NaN, infinities, signed zeros, inverted boxes,
// duplicated nodes, no nodes and no features.
#include "model/node.h"
#include "model/search.h"
#include "model/search/buffer.h"
#include "search_values.h"
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


using search_values::kInf;
using search_values::kNaN;
using search_values::template_rows;
using search_values::Values;

// A size as the kernels may give it: the same bits, or NaN for NaN (whose
// payload no one reads: a NaN size never wins).
::testing::AssertionResult same_size(double got, double want)
{
    if ((std::isnan(got) && std::isnan(want)) || std::memcmp(&got, &want, sizeof got) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << want;
}

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
                    Node::use_params(classification_params(m));
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
    Node::use_params(classification_params(m));
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
    Node::use_params(classification_params(m));
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
                    Node::use_params(training_params(m, edges == 10 ? 0.01 : 0.0, rate, 0.01));
                    NodeParams &np = Node::params;
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

}  // namespace
