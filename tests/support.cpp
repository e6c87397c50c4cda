// Shared test helpers.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace qt {

namespace {
std::unique_ptr<Plugin> load(const char *path)
{
    std::string error;
    auto plugin = Plugin::load(path, &error);
    EXPECT_TRUE(plugin) << error;
    return plugin;
}
}  // namespace

std::unique_ptr<Plugin> load_train() { return load(QUORV_TRAIN_PLUGIN); }
std::unique_ptr<Plugin> load_perf() { return load(QUORV_PERF_PLUGIN); }

CallResult train(Plugin &plugin, size_t rows, size_t cols, const std::vector<double> &patterns,
                 const std::vector<double> &labels, const TrainParams &p, int nlhs)
{
    Array inputs[] = {minihost::make_row_major(rows, cols, patterns),
                      minihost::make_double(labels.size(), 1, labels),
                      minihost::make_scalar(p.vigilance),
                      minihost::make_scalar(p.min_size),
                      minihost::make_scalar(p.learning_rate),
                      minihost::make_scalar(p.epsilon),
                      minihost::make_scalar(p.max_list_presentations),
                      minihost::make_scalar(p.trim_option),
                      minihost::make_scalar(p.oflag)};
    std::vector<const mxArray *> in;
    for (auto &a : inputs)
        in.push_back(a.get());
    return plugin.call(nlhs, in);
}

CallResult perf(Plugin &plugin, size_t k, size_t w, const std::vector<double> &templates,
                const std::vector<double> &node_labels, double vigilance, size_t n, size_t m,
                const std::vector<double> &patterns, double unknown_label, double oflag, int nlhs)
{
    Array inputs[] = {minihost::make_row_major(k, w, templates),
                      minihost::make_double(node_labels.size(), 1, node_labels),
                      minihost::make_scalar(vigilance),
                      minihost::make_row_major(n, m, patterns),
                      minihost::make_scalar(unknown_label),
                      minihost::make_scalar(oflag)};
    std::vector<const mxArray *> in;
    for (auto &a : inputs)
        in.push_back(a.get());
    return plugin.call(nlhs, in);
}

std::vector<double> row_major(const mxArray *a)
{
    const auto d = minihost::dims(a);
    const auto v = minihost::values(a);
    std::vector<double> out(v.size());
    for (size_t i = 0; i < d[0]; ++i)
        for (size_t j = 0; j < d[1]; ++j)
            out[i * d[1] + j] = v[j * d[0] + i];
    return out;
}

Dataset load_dataset(const std::string &name)
{
    Dataset data;
    std::ifstream in(std::string(QUORV_DATA_DIR) + "/" + name + ".csv");
    EXPECT_TRUE(in.good()) << "missing dataset " << name;
    std::string line;
    std::getline(in, line);
    data.cols = static_cast<size_t>(std::count(line.begin(), line.end(), ','));
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::stringstream cells(line);
        std::string cell;
        for (size_t j = 0; j <= data.cols && std::getline(cells, cell, ','); ++j)
            (j < data.cols ? data.x : data.y).push_back(std::stod(cell));
        ++data.rows;
    }
    return data;
}

void scale_like(const Dataset &fit, Dataset *data)
{
    for (size_t j = 0; j < fit.cols; ++j) {
        double lo = fit.x[j], hi = fit.x[j];
        for (size_t i = 0; i < fit.rows; ++i) {
            lo = std::min(lo, fit.x[i * fit.cols + j]);
            hi = std::max(hi, fit.x[i * fit.cols + j]);
        }
        for (size_t i = 0; i < data->rows; ++i) {
            double &v = data->x[i * data->cols + j];
            v = hi > lo ? (v - lo) / (hi - lo) : 0.0;
        }
    }
}

void split(const Dataset &all, size_t k, size_t r, Dataset *kept, Dataset *held)
{
    kept->cols = held->cols = all.cols;
    for (size_t i = 0; i < all.rows; ++i) {
        Dataset *to = i % k == r ? held : kept;
        to->x.insert(to->x.end(), all.x.begin() + static_cast<long>(i * all.cols),
                     all.x.begin() + static_cast<long>((i + 1) * all.cols));
        to->y.push_back(all.y[i]);
        ++to->rows;
    }
}

}  // namespace qt
