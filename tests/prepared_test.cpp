// The prepared model against the classification plug-in in the embedded
// host: random templates and patterns (ties, duplicate and nested boxes, NaN
// and infinite bounds, far patterns), vigilance 0 to 1, labels that need
// truncating, at several thread counts; and several prepared models of other
// shapes classified at once from several threads (run under ThreadSanitizer
// by make test-thread).
#include "model/prepared.h"
#include "search_values.h"
#include "prepared_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using search_values::Values;

struct Model {
    int k, m;
    std::vector<double> templates;  // row-major, k x 2m
    std::vector<double> labels;
    std::vector<double> patterns;   // row-major, n x m
    int n;
};

Model random_model(std::uint64_t seed, int k, int m, int n, int edge_percent)
{
    Values v{std::mt19937_64(seed), edge_percent};
    Model model{k, m, {}, {}, {}, n};
    for (const std::vector<double> &row : search_values::template_rows(&v, k, m)) {
        model.templates.insert(model.templates.end(), row.begin(), row.end());
        // Codes that truncate: fractions, negatives, beyond int.
        static const double codes[] = {1, 2, 3.7, -2.5, 4e9, 0};
        model.labels.push_back(codes[v.rng() % 6]);
    }
    for (int p = 0; p < n; ++p) {
        std::vector<double> x = v.pattern(m);
        if (p % 7 == 3)
            for (double &value : x)
                value = value * 1e6 + 1e7;  // far outside every box
        model.patterns.insert(model.patterns.end(), x.begin(), x.end());
    }
    return model;
}

std::unique_ptr<PreparedModel> prepare(const Model &model, int threads)
{
    return make_prepared(model.m, model.k, model.templates, model.labels, threads);
}

std::vector<double> classify(PreparedModel &prepared, const Model &model, double vigilance, double unknown)
{
    std::vector<const double *> rows;
    for (int p = 0; p < model.n; ++p)
        rows.push_back(model.patterns.data() + static_cast<std::size_t>(p) * model.m);
    std::vector<double> labels(model.n);
    EXPECT_TRUE(prepared.classify(rows.data(), rows.size(), vigilance, unknown, labels.data()));
    return labels;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    // memcmp takes no null pointer, even for no bytes: an empty block's data() may be one.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct Case {
    int k, m, n, edge_percent;
};
// Few nodes (flat), many (grouped), wide, one feature, no patterns.
const Case kCases[] = {{1, 3, 40, 20}, {37, 5, 200, 10}, {900, 4, 700, 5}, {2500, 12, 300, 2},
                       {600, 1, 500, 30}, {300, 40, 64, 10}, {50, 6, 0, 10}};

TEST(PreparedModel, LabelsEqualThePlugin)
{
    std::unique_ptr<qt::Plugin> perf = qt::load_perf();
    std::uint64_t seed = 31;
    for (const Case &c : kCases) {
        const Model model = random_model(seed++, c.k, c.m, c.n, c.edge_percent);
        for (const int threads : {1, 2, 3}) {
            std::unique_ptr<PreparedModel> prepared = prepare(model, threads);
            for (const double vigilance : {0.0, 0.5, 0.75, 0.95, 1.0})
                for (const double unknown : {-1.0, 7.9}) {
                    qt::CallResult r = qt::perf(*perf, c.k, 2 * c.m, model.templates, model.labels, vigilance,
                                                    c.n, c.m, model.patterns, unknown);
                    ASSERT_TRUE(r.ok) << r.error;
                    const std::vector<double> expected = qt::row_major(r.outputs[0].get());
                    EXPECT_TRUE(same_bits(classify(*prepared, model, vigilance, unknown), expected))
                        << "k " << c.k << " m " << c.m << " vigilance " << vigilance << " threads " << threads;
                }
        }
    }
}

// Models of other shapes used at once from several threads, each also
// searching on threads of its own, give what each gives alone.
TEST(PreparedModel, ModelsOfOtherShapesAtOnce)
{
    std::vector<Model> models;
    for (int j = 0; j < 4; ++j)
        models.push_back(random_model(100 + j, 400 + 300 * j, 2 + 5 * j, 900, 5));
    std::vector<std::vector<double>> alone;
    for (const Model &model : models) {
        std::unique_ptr<PreparedModel> prepared = prepare(model, 1);
        alone.push_back(classify(*prepared, model, 0.8, -1));
    }
    std::vector<std::unique_ptr<PreparedModel>> prepared;
    for (const Model &model : models)
        prepared.push_back(prepare(model, 2));
    std::vector<std::vector<double>> together(models.size());
    std::vector<std::thread> threads;
    for (std::size_t j = 0; j < models.size(); ++j)
        threads.emplace_back([&, j] {
            for (int round = 0; round < 3; ++round)
                together[j] = classify(*prepared[j], models[j], 0.8, -1);
        });
    for (std::thread &t : threads)
        t.join();
    for (std::size_t j = 0; j < models.size(); ++j)
        EXPECT_TRUE(same_bits(together[j], alone[j])) << "model " << j;
}

}  // namespace
