// A model classified in one call through its prepared members
// (front/prepared.h) against the classification policy asking the plug-in in
// the embedded host member by member: labels, shares, marks and counts bit for
// bit, for forests of many members, many classes (several blocks), more rows
// than the answers worked out ahead hold, one row, none, members over
// shuffles, one member, the nearest-box pass off, vigilance 0 and 1; and one
// prepared forest classified from several threads at once (run under
// ThreadSanitizer by make test-thread).
#include "front/prepared.h"
#include "search_values.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

struct Member {
    int k = 0;
    std::vector<size_t> features;  // empty: all
    std::vector<double> templates, labels;
};

struct Forest {
    int features = 0;
    std::vector<double> classes;
    std::vector<Member> members;
    std::vector<double> x;  // rows x features, row-major
    size_t rows = 0;
    front::Scaling scaling;
    front::Voters voters;
};

struct Case {
    const char *name;
    int members, features, classes;
    size_t rows;
    bool forest;
    int most_nodes;
    double vigilance;
    bool nearest, scaled;
};

const Case kCases[] = {
    {"a forest of many members", 200, 8, 5, 60, true, 12, 0.75, true, true},
    {"a forest, wider members", 40, 9, 4, 400, true, 80, 0.9, true, true},
    {"many classes: several blocks", 12, 6, 3000, 1500, true, 60, 0.9, true, false},
    {"more rows than the answers ahead hold", 40, 5, 4, 30000, true, 20, 0.5, true, true},
    {"one row", 30, 7, 4, 1, true, 50, 0.95, true, true},
    {"no rows", 10, 4, 3, 0, true, 10, 0.75, true, false},
    {"members over shuffles", 7, 5, 4, 200, false, 40, 0.75, true, true},
    {"one member", 1, 5, 4, 200, false, 300, 0.6, true, false},
    {"the nearest-box pass off", 20, 6, 4, 200, true, 30, 0.8, false, false},
    {"vigilance 0", 15, 4, 3, 100, true, 30, 0.0, true, false},
    {"vigilance 1", 15, 4, 3, 100, true, 30, 1.0, true, true},
};

Forest random_forest(const Case &c, std::uint64_t seed)
{
    search_values::Values v{std::mt19937_64(seed), 3};
    Forest f;
    f.features = c.features;
    for (int j = 0; j < c.classes; ++j)
        f.classes.push_back(static_cast<double>(2 * j - 3));
    for (int k = 0; k < c.members; ++k) {
        Member m;
        if (c.forest) {
            std::vector<size_t> all(static_cast<size_t>(c.features));
            std::iota(all.begin(), all.end(), size_t{0});
            std::shuffle(all.begin(), all.end(), v.rng);
            m.features.assign(all.begin(), all.begin() + 2 + static_cast<long>(v.rng() % (c.features - 1)));
            std::sort(m.features.begin(), m.features.end());
        }
        const int width = m.features.empty() ? c.features : static_cast<int>(m.features.size());
        m.k = 1 + static_cast<int>(v.rng() % static_cast<std::uint64_t>(c.most_nodes));
        for (const std::vector<double> &row : search_values::template_rows(&v, m.k, width)) {
            m.templates.insert(m.templates.end(), row.begin(), row.end());
            m.labels.push_back(f.classes[v.rng() % f.classes.size()]);
        }
        f.voters.fallback.push_back(front::most_nodes_class(m.labels, f.classes));
        f.members.push_back(std::move(m));
    }
    f.rows = c.rows;
    for (size_t i = 0; i < c.rows; ++i) {
        std::vector<double> p = v.pattern(c.features);
        if (i % 9 == 4)
            std::fill(p.begin(), p.end(), 1e7);  // far outside every box
        f.x.insert(f.x.end(), p.begin(), p.end());
    }
    f.scaling.enabled = c.scaled;
    for (int j = 0; j < c.features; ++j) {
        f.scaling.min.push_back(j % 3 == 0 ? 0.0 : -0.5);
        f.scaling.max.push_back(j % 4 == 1 ? f.scaling.min.back() : 1.5);  // a constant feature maps to 0
    }
    f.voters.classes = f.classes;
    f.voters.forest = c.forest;
    f.voters.features = static_cast<size_t>(c.features);
    return f;
}

front::MatrixView patterns(const Forest &f) { return front::MatrixView::row_major(f.x.data(), f.rows, f.features); }

std::unique_ptr<front::PreparedMembers> prepare(const Forest &f)
{
    std::vector<front::Nodes> nodes;
    std::vector<std::vector<size_t>> features;
    for (const Member &m : f.members) {
        const size_t width = m.features.empty() ? f.features : m.features.size();
        nodes.push_back({front::MatrixView::row_major(m.templates.data(), m.k, 2 * width),
                         front::MatrixView::row_major(m.labels.data(), m.labels.size(), 1)});
        features.push_back(m.features);
    }
    return std::make_unique<front::PreparedMembers>(nodes, features);
}

// The policy asking the plug-in member by member, as the front ends' plug-in path does.
front::Decision by_plugin(qt::Plugin &perf, const Forest &f, const front::PolicySettings &s)
{
    const front::MemberCall call = [&](size_t member, const std::vector<size_t> &rows, double vigilance) {
        const Member &m = f.members[member];
        std::vector<size_t> columns = m.features;
        if (columns.empty())
            for (int j = 0; j < f.features; ++j)
                columns.push_back(static_cast<size_t>(j));
        std::vector<double> x;
        for (const size_t i : rows)
            for (const size_t j : columns) {
                const double value = f.x[i * f.features + j];
                x.push_back(f.scaling.enabled ? front::scale_value(value, f.scaling.min[j], f.scaling.max[j]) : value);
            }
        const qt::CallResult r = qt::perf(perf, m.k, 2 * columns.size(), m.templates, m.labels, vigilance, rows.size(),
                                          columns.size(), x, s.unknown);
        EXPECT_TRUE(r.ok) << r.error;
        return r.ok ? qt::row_major(r.outputs[0].get()) : std::vector<double>(rows.size(), s.unknown);
    };
    return front::decide(f.voters, f.rows, s, call);
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expect_same(const front::Decision &got, const front::Decision &want, const std::string &what)
{
    EXPECT_TRUE(same_bits(got.labels, want.labels)) << what;
    EXPECT_TRUE(same_bits(got.shares, want.shares)) << what;
    EXPECT_EQ(got.by_nearest, want.by_nearest) << what;
    EXPECT_EQ(got.counts.by_boxes, want.counts.by_boxes) << what;
    EXPECT_EQ(got.counts.by_nearest, want.counts.by_nearest) << what;
    EXPECT_EQ(got.counts.patterns, want.counts.patterns) << what;
}

front::PolicySettings settings_of(const Case &c)
{
    front::PolicySettings s;
    s.vigilance = c.vigilance;
    s.nearest = c.nearest;
    s.unknown = -1;  // no class's code
    s.shares = s.marks = true;
    return s;
}

TEST(ForestCall, OneCallGivesWhatThePluginGives)
{
    std::unique_ptr<qt::Plugin> perf = qt::load_perf();
    std::uint64_t seed = 310;
    for (const Case &c : kCases) {
        const Forest f = random_forest(c, seed++);
        const std::unique_ptr<front::PreparedMembers> prepared = prepare(f);
        const front::PolicySettings s = settings_of(c);
        ASSERT_TRUE(prepared->serves(c.vigilance, 0, f.features)) << c.name;
        expect_same(prepared->decide(f.voters, patterns(f), &f.scaling, s), by_plugin(*perf, f, s), c.name);
    }
}

TEST(ForestCall, RefusesWhatItDoesNotServe)
{
    const Forest f = random_forest(kCases[1], 7);
    const std::unique_ptr<front::PreparedMembers> prepared = prepare(f);
    front::PolicySettings s = settings_of(kCases[1]);
    front::Voters short_of_one = f.voters;
    short_of_one.fallback.pop_back();
    EXPECT_THROW(prepared->decide(short_of_one, patterns(f), &f.scaling, s), front::Error);
    s.vigilance = 1.5;
    EXPECT_THROW(prepared->decide(f.voters, patterns(f), &f.scaling, s), front::Error);
}

// One prepared forest classified from several threads at once, at other
// vigilances and on other rows, gives what each call gives alone.
TEST(ForestCall, SeveralThreadsAtOnce)
{
    const Forest f = random_forest({"", 24, 8, 4, 700, true, 200, 0.8, true, true}, 99);
    const std::unique_ptr<front::PreparedMembers> prepared = prepare(f);
    const double vigilances[] = {0.0, 0.6, 0.8, 0.95};
    const size_t sizes[] = {700, 1, 37, 700};
    std::vector<front::Decision> alone, together(4);
    front::PolicySettings s = settings_of(kCases[0]);
    const auto view = [&](size_t j) { return front::MatrixView::row_major(f.x.data(), sizes[j], f.features); };
    for (size_t j = 0; j < 4; ++j) {
        s.vigilance = vigilances[j];
        alone.push_back(prepared->decide(f.voters, view(j), &f.scaling, s));
    }
    std::vector<std::thread> threads;
    for (size_t j = 0; j < 4; ++j)
        threads.emplace_back([&, j, s]() mutable {
            s.vigilance = vigilances[j];
            for (int round = 0; round < 3; ++round)
                together[j] = prepared->decide(f.voters, view(j), &f.scaling, s);
        });
    for (std::thread &t : threads)
        t.join();
    for (size_t j = 0; j < 4; ++j)
        expect_same(together[j], alone[j], "thread " + std::to_string(j));
}

}  // namespace
