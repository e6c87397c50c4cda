// Shared test helpers: fresh loads of the plug-ins, calls with plain values,
// and the bundled datasets.
#ifndef QUORV_TESTS_SUPPORT_H
#define QUORV_TESTS_SUPPORT_H

#include "minihost.h"

#include <functional>
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

// Gateway call tables: an input given by its shape, class and data (one value
// fills every element; cells and structures hold nothing, sparse arrays are
// all zero), a call as changes to a gateway's good inputs.
struct Arg {
    std::vector<size_t> dims;
    std::vector<double> values;
    mxClassID cls = mxDOUBLE_CLASS;
    bool complex = false;  // imaginary part equal to the real one
    bool sparse = false;
};
Arg S(double v);
Arg A(std::vector<size_t> dims, double v = 0.5);
Arg matrix(size_t rows, size_t cols, const std::vector<double> &row_major);
Array build(const Arg &a);

struct Change {
    int slot;  // 0-based input position
    Arg arg;
};

struct Call {
    std::vector<Change> changes;
    int nrhs = -1;  // -1: the gateway's own input count
    int nlhs = -1;  // -1: the gateway's own output count
};

// 5 patterns of M = 4 features, labels 1 and 2; vigilance 0.75 puts the
// min_size bound at 1.0.
std::vector<Arg> good_train_inputs();
// Four corner boxes of the unit square (M = 2), labels 1 to 4, and ten
// patterns, two of them far from every box.
std::vector<Arg> good_perf_inputs();

// The good inputs with the call's changes, as many as the call passes
// (slots past the good ones hold 0).
std::vector<Array> inputs(const std::vector<Arg> &good, const Call &call);
// Calls with the allocation hook set to fail_at (0: none) and the allocation
// count reset.
CallResult call_with(Plugin &plugin, const std::vector<Array> &arrays, int nlhs, long fail_at = 0);
CallResult call_train(Plugin &plugin, const Call &call, long fail_at = 0);
CallResult call_perf(Plugin &plugin, const Call &call, long fail_at = 0);

// Runs `run` and expects it refused with exactly `message`, having printed,
// allocated and written nothing.
void expect_refused_cleanly(const std::function<CallResult()> &run, const std::string &message);

// Row-major contents of a result matrix.
std::vector<double> row_major(const mxArray *a);

// The console with each run of digits right before one of `words` replaced
// by '#': times, and running totals that grow from call to call.
std::string masked(const std::string &console, const std::vector<std::string> &words = {" seconds"});

// Global names in an ELF shared object's dynamic symbol table: those it
// defines, or those it imports.
std::vector<std::string> dynamic_symbols(const std::string &path, bool defined);

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
