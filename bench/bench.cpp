// The speed benchmark: the real plug-ins, called through the embedded host,
// against the straightforward form of the same commands (reference.cpp), on
// the same workloads in the same process. Prints one table row per workload;
// the speedup is the ratio of the two times. Results, and the amounts added to
// the host's flop counter, must agree between the two, or the row says so.
//
//   quorv_bench [--rounds R] [--ref-rounds R] [--quick] [--only TEXT] [--plugins DIR] [--data DIR]
#include "bench/reference.h"
#include "minihost.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using minihost::Array;

struct Options {
    int rounds = 5;      // of the plug-in
    int ref_rounds = 1;  // of the straight plug-in and the reference, which take long
    bool quick = false;
    std::string only;
    std::string train_plugin = QUORV_TRAIN_PLUGIN;
    std::string perf_plugin = QUORV_PERF_PLUGIN;
    std::string straight_train_plugin = QUORV_STRAIGHT_TRAIN_PLUGIN;
    std::string straight_perf_plugin = QUORV_STRAIGHT_PERF_PLUGIN;
    std::string data_dir = QUORV_DATA_DIR;
};

// Deterministic uniform numbers in [0, 1), the same on every platform.
struct Random {
    std::uint64_t state;
    double next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
    }
    int below(int n) { return static_cast<int>(next() * n); }
};

struct Data {
    int rows = 0, cols = 0;
    std::vector<double> x;  // row-major
    std::vector<double> y;
};

// data/NAME.csv: a header row, then features and the label; each feature is
// scaled to [0, 1] (a constant one to 0).
Data load_scaled(const std::string &dir, const std::string &name)
{
    std::ifstream in(dir + "/" + name + ".csv");
    if (!in) {
        std::fprintf(stderr, "quorv_bench: cannot read %s/%s.csv\n", dir.c_str(), name.c_str());
        std::exit(2);
    }
    Data d;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<double> v;
        std::stringstream s(line);
        std::string cell;
        while (std::getline(s, cell, ','))
            v.push_back(std::strtod(cell.c_str(), nullptr));
        d.cols = static_cast<int>(v.size()) - 1;
        d.y.push_back(v.back());
        d.x.insert(d.x.end(), v.begin(), v.end() - 1);
        ++d.rows;
    }
    for (int j = 0; j < d.cols; ++j) {
        double lo = d.x[j], hi = d.x[j];
        for (int i = 0; i < d.rows; ++i) {
            lo = std::min(lo, d.x[static_cast<size_t>(i) * d.cols + j]);
            hi = std::max(hi, d.x[static_cast<size_t>(i) * d.cols + j]);
        }
        for (int i = 0; i < d.rows; ++i) {
            double &v = d.x[static_cast<size_t>(i) * d.cols + j];
            v = hi > lo ? (v - lo) / (hi - lo) : 0.0;
        }
    }
    return d;
}

struct Workload {
    std::string name;
    bool training = false;
    int K = 0, M = 0, N = 0;
    std::vector<double> templates, node_labels;  // classification
    double vigilance = 0.5;
    std::vector<double> patterns, labels;  // labels: training only
    reference::TrainSettings settings;
};

// K random small boxes in the unit cube with labels 1..10, and N random patterns.
Workload classification(const std::string &name, int K, int M, int N, std::uint64_t seed)
{
    Workload w;
    w.name = name;
    w.K = K;
    w.M = M;
    w.N = N;
    Random r{seed};
    for (int k = 0; k < K; ++k) {
        std::vector<double> lower(M), upper(M);
        for (int i = 0; i < M; ++i) {
            const double c = r.next(), h = 0.05 * r.next();
            lower[i] = c - h;
            upper[i] = c + h;
        }
        w.templates.insert(w.templates.end(), lower.begin(), lower.end());
        w.templates.insert(w.templates.end(), upper.begin(), upper.end());
        w.node_labels.push_back(1 + r.below(10));
    }
    for (size_t i = 0; i < static_cast<size_t>(N) * M; ++i)
        w.patterns.push_back(r.next());
    return w;
}

Workload training(const std::string &name, const Data &d, const reference::TrainSettings &s)
{
    Workload w;
    w.name = name;
    w.training = true;
    w.M = d.cols;
    w.N = d.rows;
    w.patterns = d.x;
    w.labels = d.y;
    w.settings = s;
    return w;
}

// `distinct` random points of M features, each its own node at vigilance
// 0.99, presented again until N patterns: nearly every search sees all nodes.
Data repeated_points(int distinct, int M, int N, std::uint64_t seed)
{
    Random r{seed};
    Data d;
    d.rows = N;
    d.cols = M;
    for (size_t i = 0; i < static_cast<size_t>(distinct) * M; ++i)
        d.x.push_back(r.next());
    for (int i = 0; i < distinct; ++i)
        d.y.push_back(1 + r.below(10));
    for (int i = distinct; i < N; ++i) {
        const int from = i % distinct;
        d.x.insert(d.x.end(), d.x.begin() + static_cast<long>(from) * M, d.x.begin() + static_cast<long>(from + 1) * M);
        d.y.push_back(d.y[from]);
    }
    return d;
}

// Gaussian-like clusters, one class per cluster, clipped to the unit cube.
Data clusters(int classes, int M, int N, std::uint64_t seed)
{
    Random r{seed};
    std::vector<double> centres(static_cast<size_t>(classes) * M);
    for (double &c : centres)
        c = 0.2 + 0.6 * r.next();
    Data d;
    d.rows = N;
    d.cols = M;
    for (int i = 0; i < N; ++i) {
        const int c = r.below(classes);
        for (int j = 0; j < M; ++j) {
            const double noise = (r.next() + r.next() + r.next() - 1.5) * 0.15;
            d.x.push_back(std::min(1.0, std::max(0.0, centres[static_cast<size_t>(c) * M + j] + noise)));
        }
        d.y.push_back(c + 1);
    }
    return d;
}

std::vector<Workload> workloads(const Options &o)
{
    const int q = o.quick ? 4 : 1;
    std::vector<Workload> w;
    w.push_back(classification("classify K=1000 M=16", 1000, 16, 20000 / q, 1));
    w.push_back(classification("classify K=5000 M=36", 5000, 36, 2000 / q, 2));
    w.push_back(classification("classify K=500 M=64", 500, 64, 10000 / q, 3));
    w.push_back(classification("classify K=10 M=8 (small)", 10, 8, 400000 / q, 4));
    w.push_back(classification("classify K=3 M=4 (small)", 3, 4, 1000000 / q, 5));

    reference::TrainSettings s;
    s.vigilance = 0.99;
    s.max_list_presentations = 10;
    w.push_back(training("train K=1000 M=16", repeated_points(1000, 16, 10000 / q, 6), s));

    s = reference::TrainSettings{};
    s.vigilance = 0.85;
    s.max_list_presentations = 3;
    w.push_back(training("train satellite", load_scaled(o.data_dir, "satellite"), s));
    s.vigilance = 0.8;
    w.push_back(training("train digits", load_scaled(o.data_dir, "digits"), s));

    s = reference::TrainSettings{};
    s.vigilance = 0.85;
    s.learning_rate = 0.5;
    s.epsilon = 0.01;
    s.max_list_presentations = 3;
    w.push_back(training("train synthetic 20000x16", clusters(10, 16, 20000 / q, 7), s));

    s = reference::TrainSettings{};
    s.vigilance = 0.8;
    w.push_back(training("train iris (small)", load_scaled(o.data_dir, "iris"), s));
    return w;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct Row {
    double fast = 1e300, straight = 1e300, ref = 1e300;  // best times, seconds
    std::int64_t elements = 0, searches = 0;
    int nodes = 0, presentations = 0;
    bool same = true;
    std::string why;
    std::vector<std::vector<double>> want;  // the reference's results
    double want_flops = 0;
};

struct Plugins {
    minihost::Plugin *fast, *straight;
};

// Calls the plug-in; *seconds keeps the best time, *flops gets the amount the
// call added to the host's flop counter.
minihost::CallResult timed_call(minihost::Plugin &plugin, const std::vector<const mxArray *> &args, int nlhs,
                                double *seconds, double *flops)
{
    const double flops0 = minihost::flops();
    const auto t0 = std::chrono::steady_clock::now();
    minihost::CallResult r = plugin.call(nlhs, args);
    *seconds = std::min(*seconds, seconds_since(t0));
    *flops = minihost::flops() - flops0;
    return r;
}

// Output k of a call, row-major.
std::vector<double> output(const minihost::CallResult &r, size_t k)
{
    const mxArray *a = r.outputs.at(k).get();
    const auto d = minihost::dims(a);
    const std::vector<double> cm = minihost::values(a);
    std::vector<double> rm;
    for (size_t i = 0; i < d[0]; ++i)
        for (size_t j = 0; j < d[1]; ++j)
            rm.push_back(cm[j * d[0] + i]);
    return rm;
}

void differ(Row *row, const std::string &why)
{
    if (row->same)
        row->why = why;
    row->same = false;
}

// One round: the plug-in, and in the first rounds its straight twin and the
// reference as well, each timed; all must give the same results and host
// flop count as the reference.
void run_round(const Plugins &plugins, const Workload &w, bool with_reference, Row *row)
{
    std::vector<Array> in;
    if (w.training) {
        in.push_back(minihost::make_row_major(w.N, w.M, w.patterns));
        in.push_back(minihost::make_double(w.N, 1, w.labels));
        for (double v : {w.settings.vigilance, w.settings.min_size, w.settings.learning_rate, w.settings.epsilon,
                         static_cast<double>(w.settings.max_list_presentations), 0.0, 0.0})
            in.push_back(minihost::make_scalar(v));
    } else {
        in.push_back(minihost::make_row_major(w.K, 2 * w.M, w.templates));
        in.push_back(minihost::make_double(w.K, 1, w.node_labels));
        in.push_back(minihost::make_scalar(w.vigilance));
        in.push_back(minihost::make_row_major(w.N, w.M, w.patterns));
        in.push_back(minihost::make_scalar(-1));
        in.push_back(minihost::make_scalar(0));
    }
    std::vector<const mxArray *> args;
    for (const Array &a : in)
        args.push_back(a.get());
    const int nlhs = w.training ? 3 : 1;

    if (with_reference) {
        const double flops0 = minihost::flops();
        const auto t0 = std::chrono::steady_clock::now();
        if (w.training) {
            reference::Trained t = reference::train(w.patterns, w.labels, w.N, w.M, w.settings);
            row->ref = std::min(row->ref, seconds_since(t0));
            row->elements = t.join_elements;
            row->searches = t.searches;
            row->presentations = t.presentations;
            row->nodes = static_cast<int>(t.labels.size());
            row->want = {t.templates, t.labels, {static_cast<double>(t.presentations)}};
        } else {
            reference::Classified c =
                reference::classify(w.templates, w.node_labels, w.K, w.M, w.vigilance, w.patterns, w.N, -1);
            row->ref = std::min(row->ref, seconds_since(t0));
            row->elements = c.join_elements;
            row->searches = w.N;
            row->nodes = w.K;
            row->want = {c.labels};
        }
        row->want_flops = minihost::flops() - flops0;

        double flops = 0;
        const minihost::CallResult straight = timed_call(*plugins.straight, args, nlhs, &row->straight, &flops);
        if (!straight.ok)
            return differ(row, straight.error);
        for (size_t k = 0; k < row->want.size(); ++k)
            if (!same_bits(output(straight, k), row->want[k]))
                differ(row, "straight plug-in results");
        if (flops != row->want_flops)
            differ(row, "straight plug-in host flops");
    }

    double flops = 0;
    const minihost::CallResult fast = timed_call(*plugins.fast, args, nlhs, &row->fast, &flops);
    if (!fast.ok)
        return differ(row, fast.error);
    for (size_t k = 0; k < row->want.size(); ++k)
        if (!same_bits(output(fast, k), row->want[k]))
            differ(row, "plug-in results");
    if (flops != row->want_flops)
        differ(row, "plug-in host flops");
}

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--rounds" && has_value)
            o->rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--ref-rounds" && has_value)
            o->ref_rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--quick")
            o->quick = true;
        else if (a == "--only" && has_value)
            o->only = argv[++i];
        else if (a == "--plugins" && has_value) {
            const std::string dir = argv[++i];
            o->train_plugin = dir + "/quorv_train.mexa64";
            o->perf_plugin = dir + "/quorv_perf.mexa64";
            o->straight_train_plugin = dir + "/quorv_train_straight.mexa64";
            o->straight_perf_plugin = dir + "/quorv_perf_straight.mexa64";
        } else if (a == "--data" && has_value)
            o->data_dir = argv[++i];
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: quorv_bench [--rounds R] [--ref-rounds R] [--quick] [--only TEXT] [--plugins DIR] [--data DIR]\n");
        return 2;
    }
    std::vector<std::unique_ptr<minihost::Plugin>> loaded;
    for (const std::string *path : {&o.train_plugin, &o.straight_train_plugin, &o.perf_plugin, &o.straight_perf_plugin}) {
        std::string error;
        loaded.push_back(minihost::Plugin::load(*path, &error));
        if (!loaded.back()) {
            std::fprintf(stderr, "quorv_bench: %s\n", error.c_str());
            return 2;
        }
    }
    const Plugins train{loaded[0].get(), loaded[1].get()};
    const Plugins perf{loaded[2].get(), loaded[3].get()};

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    __builtin_cpu_init();
    std::printf("processor: AVX2 %s, AVX-512F %s; ", __builtin_cpu_supports("avx2") ? "yes" : "no",
                __builtin_cpu_supports("avx512f") ? "yes" : "no");
#endif
    std::printf("best of %d rounds (plug-in), %d (straight plug-in and reference)\n", o.rounds, o.ref_rounds);
    std::printf("%-26s %6s %3s %7s %3s %7s | %-28s | %-28s | %7s | %-16s | %s\n", "", "", "", "", "", "",
                "plug-in", "reference", "", "straight plug-in", "");
    std::printf("%-26s %6s %3s %7s %3s %7s | %8s %7s %11s | %8s %7s %11s | %7s | %8s %7s | %s\n", "workload", "K",
                "M", "N", "LP", "Gjoin", "s", "Gjoin/s", "patterns/s", "s", "Gjoin/s", "patterns/s", "speedup", "s",
                "speedup", "same");

    bool all_same = true;
    for (const Workload &w : workloads(o)) {
        if (!o.only.empty() && w.name.find(o.only) == std::string::npos)
            continue;
        Row row;
        for (int round = 0; round < std::max(o.rounds, o.ref_rounds); ++round)
            run_round(w.training ? train : perf, w, round < o.ref_rounds, &row);
        all_same = all_same && row.same;
        const double g = row.elements * 1e-9;
        std::printf("%-26s %6d %3d %7d %3d %7.3f | %8.4f %7.3f %11.0f | %8.4f %7.3f %11.0f | %7.2f | %8.4f %7.2f | %s\n",
                    w.name.c_str(), row.nodes, w.M, w.N, w.training ? row.presentations : 1, g, row.fast,
                    g / row.fast, row.searches / row.fast, row.ref, g / row.ref, row.searches / row.ref,
                    row.ref / row.fast, row.straight, row.straight / row.fast,
                    row.same ? "yes" : ("NO: " + row.why).c_str());
        std::fflush(stdout);
    }
    return all_same ? 0 : 1;
}
