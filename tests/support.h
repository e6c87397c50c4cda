// Shared test helpers: fresh loads of the plug-ins, calls with plain values,
// and the bundled datasets.
#ifndef QUORV_TESTS_SUPPORT_H
#define QUORV_TESTS_SUPPORT_H

#include "minihost.h"

#include <memory>
#include <string>
#include <vector>

namespace qt {

using minihost::Array;
using minihost::CallResult;
using minihost::Plugin;

// A fresh load (new class-wide state); fails the test when loading fails.
std::unique_ptr<Plugin> load_train();
std::unique_ptr<Plugin> load_perf();

// Training parameters in call order after Patterns and PLabels.
struct TrainParams {
    double vigilance = 0.75;
    double min_size = 0.0;
    double learning_rate = 1.0;
    double epsilon = 0.001;
    double max_list_presentations = 100;
    double trim_option = 0;
    double oflag = 0;
};

// Patterns given row-major, rows x cols.
CallResult train(Plugin &plugin, size_t rows, size_t cols, const std::vector<double> &patterns,
                 const std::vector<double> &labels, const TrainParams &params = {}, int nlhs = 3);

CallResult perf(Plugin &plugin, size_t k, size_t w, const std::vector<double> &templates,
                const std::vector<double> &node_labels, double vigilance, size_t n, size_t m,
                const std::vector<double> &patterns, double unknown_label = -1, double oflag = 0,
                int nlhs = 1);

// Row-major contents of a result matrix.
std::vector<double> row_major(const mxArray *a);

struct Dataset {
    size_t rows = 0, cols = 0;
    std::vector<double> x;  // row-major features
    std::vector<double> y;  // labels
};
// Reads data/NAME.csv (header row, label last).
Dataset load_dataset(const std::string &name);
// Scales each feature to [0, 1] with the ranges of `fit` (constant columns map to 0).
void scale_like(const Dataset &fit, Dataset *data);
// Every k-th row (offset r) goes to `held`, the rest to `kept`.
void split(const Dataset &all, size_t k, size_t r, Dataset *kept, Dataset *held);

}  // namespace qt

#endif
