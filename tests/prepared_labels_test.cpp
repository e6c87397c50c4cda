// The prepared model where only labels are asked for, so that the search may
// pass over nodes of the winner's label: its labels, and those at vigilance
// 0, against the classification plug-in in the embedded host, on boxes that
// lie in clusters of one label each (so that the groups pay and hold one
// label). Values on a grid of 1/16 make equal sizes common: ties between
// labels, sizes exactly at the vigilance limit, duplicate and nested boxes.
// Also the labels the groups' tiles and groups are given.
#include "model/prepared.h"
#include "model/search/grouping.h"
#include "prepared_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Clustered {
    int k, m, n;
    std::vector<double> templates, labels, patterns;  // row-major
};

struct Case {
    int k, m, clusters, label_count;
    int stray_percent;  // nodes given another label than their cluster's
    int copy_percent;   // nodes that copy an earlier box, under another label
};

// Grid values: whole sixteenths, so that sums are exact and ties common.
double grid(std::mt19937_64 &rng, int most) { return static_cast<double>(rng() % (most + 1)) / 16.0; }

Clustered clustered(std::uint64_t seed, const Case &c, int n)
{
    std::mt19937_64 rng(seed);
    Clustered model{c.k, c.m, n, {}, {}, {}};
    std::vector<std::vector<double>> centres(c.clusters);
    for (std::vector<double> &centre : centres)
        for (int i = 0; i < c.m; ++i)
            centre.push_back(grid(rng, 64));
    for (int j = 0; j < c.k; ++j) {
        const int cluster = static_cast<int>(rng() % c.clusters);
        double label = cluster % c.label_count;
        if (static_cast<int>(rng() % 100) < c.stray_percent)
            label = static_cast<double>(rng() % c.label_count);
        if (j > 0 && static_cast<int>(rng() % 100) < c.copy_percent) {
            const std::size_t from = rng() % static_cast<std::size_t>(j) * 2 * c.m;
            model.templates.insert(model.templates.end(), model.templates.begin() + from,
                                   model.templates.begin() + from + 2 * c.m);
            model.labels.push_back(static_cast<double>((static_cast<int>(label) + 1) % c.label_count));
            continue;
        }
        std::vector<double> lower(c.m), upper(c.m);
        for (int i = 0; i < c.m; ++i) {
            lower[i] = centres[cluster][i] + grid(rng, 6) - 3.0 / 16;
            upper[i] = lower[i] + grid(rng, 3);
        }
        model.templates.insert(model.templates.end(), lower.begin(), lower.end());
        model.templates.insert(model.templates.end(), upper.begin(), upper.end());
        model.labels.push_back(label);
    }
    for (int p = 0; p < n; ++p) {
        const std::vector<double> &centre = centres[rng() % c.clusters];
        for (int i = 0; i < c.m; ++i)
            model.patterns.push_back(centre[i] + grid(rng, 10) - 5.0 / 16);
        if (p % 97 == 5)
            model.patterns.back() = std::numeric_limits<double>::quiet_NaN();
    }
    return model;
}

std::unique_ptr<PreparedModel> prepare(const Clustered &model, int threads)
{
    return make_prepared(model.m, model.k, model.templates, model.labels, threads);
}

std::vector<double> plugin_labels(qt::Plugin &perf, const Clustered &model, double vigilance)
{
    qt::CallResult r = qt::perf(perf, model.k, 2 * model.m, model.templates, model.labels, vigilance, model.n,
                                model.m, model.patterns, -1.0);
    EXPECT_TRUE(r.ok) << r.error;
    return r.ok ? qt::row_major(r.outputs[0].get()) : std::vector<double>();
}

// Many clusters and labels, strays and copies; few labels; one label (every
// group of the winner's); about one group; one node.
const Case kCases[] = {{3000, 4, 24, 6, 5, 5}, {2500, 8, 12, 3, 10, 10}, {2000, 6, 8, 1, 0, 10},
                       {300, 4, 4, 2, 20, 30}, {150, 3, 3, 3, 0, 50}, {1, 4, 1, 1, 0, 0}};
// At m = 4 and 8, 0.75 and 0.9375 put the limit on the grid: sizes equal to it pass.
const double kVigilances[] = {0.0, 0.5, 0.75, 0.9375, 1.0};

TEST(PreparedLabels, LabelsEqualThePlugin)
{
    std::unique_ptr<qt::Plugin> perf = qt::load_perf();
    std::uint64_t seed = 7;
    for (const Case &c : kCases) {
        const Clustered model = clustered(seed++, c, 1500);
        std::vector<const double *> rows;
        for (int p = 0; p < model.n; ++p)
            rows.push_back(model.patterns.data() + static_cast<std::size_t>(p) * model.m);
        const std::vector<double> nearest_expected = plugin_labels(*perf, model, 0.0);
        for (const int threads : {1, 2}) {
            std::unique_ptr<PreparedModel> prepared = prepare(model, threads);
            for (const double vigilance : kVigilances) {
                const std::vector<double> expected = plugin_labels(*perf, model, vigilance);
                std::vector<double> labels(model.n), nearest(model.n), with_winners(model.n);
                std::vector<int> winners(model.n);
                ASSERT_TRUE(prepared->classify(rows.data(), rows.size(), vigilance, -1.0, labels.data(), nullptr,
                                               threads, nearest.data()));
                // Asked for winners, the search finds them all: the same labels.
                ASSERT_TRUE(prepared->classify(rows.data(), rows.size(), vigilance, -1.0, with_winners.data(),
                                               winners.data(), threads));
                EXPECT_EQ(labels, expected) << "k " << c.k << " vigilance " << vigilance << " threads " << threads;
                EXPECT_EQ(nearest, nearest_expected) << "k " << c.k << " threads " << threads;
                EXPECT_EQ(with_winners, expected) << "k " << c.k << " vigilance " << vigilance;
            }
        }
    }
}

// Tiles of slot labels (INT_MAX: an empty slot) and the labels their tiles
// and group get: one label, mixed, empty, and labels at the ends of int.
TEST(PreparedLabels, TileAndGroupLabels)
{
    constexpr int kW = search_kernels::kTileNodes, kMixed = LabelRule::kMixedLabel, kEmpty = INT_MAX;
    struct Row {
        std::vector<std::vector<int>> tiles;  // slot labels per tile
        std::vector<int> tile_labels;
        int group_label;
    };
    const Row rows[] = {
        {{{3, 3, 3}, {3}}, {3, 3}, 3},
        {{{3, 4}, {3}}, {kMixed, 3}, kMixed},
        {{{3}, {4}}, {3, 4}, kMixed},
        {{{kEmpty}, {5, 5}}, {kMixed, 5}, 5},
        {{{INT_MAX - 1, 2}}, {kMixed}, kMixed},
        {{{INT_MIN, INT_MIN}}, {kMixed}, kMixed},
        {{{-7, -7}, {-7}, {-7, -7, -7, -7, -7, -7, -7, -7}}, {-7, -7, -7}, -7},
    };
    for (const Row &row : rows) {
        NodeGroups g;
        g.tiles = static_cast<int>(row.tiles.size());
        g.groups = 1;
        ASSERT_TRUE(g.slot_node.allocate(static_cast<std::size_t>(g.tiles) * kW));
        std::vector<int> node_label;
        for (int t = 0; t < g.tiles; ++t)
            for (int s = 0; s < kW; ++s) {
                const std::vector<int> &tile = row.tiles[static_cast<std::size_t>(t)];
                const bool member = s < static_cast<int>(tile.size()) && tile[static_cast<std::size_t>(s)] != kEmpty;
                g.slot_node[static_cast<std::size_t>(t * kW + s)] = member ? static_cast<int>(node_label.size()) : INT_MAX;
                if (member)
                    node_label.push_back(tile[static_cast<std::size_t>(s)]);
            }
        Buffer<int> tile_label, group_label;
        ASSERT_TRUE(label_groups(g, node_label.data(), tile_label, group_label));
        for (int t = 0; t < g.tiles; ++t)
            EXPECT_EQ(tile_label[static_cast<std::size_t>(t)], row.tile_labels[static_cast<std::size_t>(t)]);
        EXPECT_EQ(group_label[0], row.group_label);
    }
}

}  // namespace
