// The speed benchmark: the real plug-ins, called through the embedded host,
// against earlier forms of the same commands, on the same workloads in the
// same process: the plug-ins on one thread, their flat twins (every node
// sized by the AVX2 kernels on one thread, as the plug-ins searched before
// grouping and threads; the column "today") and their straight twins (the
// plain per-node loop, every join counted as it happens); with --base,
// the plug-ins of another build too, on all threads and on one, taking turns
// with these round by round so that a busy machine slows both alike, and
// the two builds' first calls of each workload on all threads (round 0: no
// best-of-rounds hides what a single call costs). Build the base in a
// worktree of its own (git worktree add DIR COMMIT; cmake in DIR/build,
// target quorv_bench) and pass --base DIR/build. Prints
// one table row per workload with the ratios of the times. Results, and the
// amounts added to the host's flop counter, must agree between all of them,
// or the row says so.
//
//   quorv_bench [--rounds R] [--ref-rounds R] [--quick] [--full] [--only TEXT] [--plugins DIR] [--base DIR]
//               [--data DIR]
#include "front/model.h"
#include "minihost.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using minihost::Array;

constexpr double kEarlierFormsBudget = 2.0;

struct Options {
    int rounds = 5;      // of the plug-in
    int ref_rounds = 1;  // of the straight plug-in, which takes long
    bool quick = false;
    bool full = false;  // the slow forms on the large real-data rows too
    std::string only;
    std::string train_plugin = QUORV_TRAIN_PLUGIN;
    std::string perf_plugin = QUORV_PERF_PLUGIN;
    std::string straight_train_plugin = QUORV_STRAIGHT_TRAIN_PLUGIN;
    std::string straight_perf_plugin = QUORV_STRAIGHT_PERF_PLUGIN;
    std::string flat_train_plugin = QUORV_FLAT_TRAIN_PLUGIN;
    std::string flat_perf_plugin = QUORV_FLAT_PERF_PLUGIN;
    std::string base_dir;  // empty: no base column
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
    // Large real-data rows: the plug-in on one thread and the flat twin run
    // --ref-rounds times, the straight twin only with --full.
    bool large = false;
    std::string model_of;  // classification: trained by this training workload
    int K = 0, M = 0, N = 0;
    std::vector<double> templates, node_labels;  // classification
    double vigilance = 0.5;
    std::vector<double> patterns, labels;  // labels: training only
    front::TrainParams settings;
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

Workload training(const std::string &name, const Data &d, const front::TrainParams &s)
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

// The rows in a shuffled order: Fisher-Yates driven by the 64-bit Mersenne
// Twister seeded with `seed`, each draw below i taken without bias by
// rejecting the top remainder; the order of `quorv train --shuffle --seed S`.
Data shuffled(const Data &d, std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<size_t> order(static_cast<size_t>(d.rows));
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (size_t i = order.size(); i > 1; --i) {
        const std::uint64_t limit = UINT64_MAX - UINT64_MAX % i;
        std::uint64_t r;
        do
            r = rng();
        while (r >= limit);
        std::swap(order[i - 1], order[r % i]);
    }
    Data out;
    out.rows = d.rows;
    out.cols = d.cols;
    for (size_t i : order) {
        out.x.insert(out.x.end(), d.x.begin() + static_cast<long>(i * d.cols),
                     d.x.begin() + static_cast<long>((i + 1) * d.cols));
        out.y.push_back(d.y[i]);
    }
    return out;
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

    front::TrainParams s;
    s.vigilance = 0.99;
    s.max_list_presentations = 10;
    w.push_back(training("train K=1000 M=16", repeated_points(1000, 16, 10000 / q, 6), s));

    s = front::TrainParams{};
    s.vigilance = 0.85;
    s.max_list_presentations = 3;
    w.push_back(training("train satellite", load_scaled(o.data_dir, "satellite"), s));
    s.vigilance = 0.8;
    w.push_back(training("train digits", load_scaled(o.data_dir, "digits"), s));

    s = front::TrainParams{};
    s.vigilance = 0.85;
    s.learning_rate = 0.5;
    s.epsilon = 0.01;
    s.max_list_presentations = 3;
    w.push_back(training("train synthetic 20000x16", clusters(10, 16, 20000 / q, 7), s));

    s = front::TrainParams{};
    s.vigilance = 0.8;
    w.push_back(training("train iris (small)", load_scaled(o.data_dir, "iris"), s));

    // The command-line tool's defaults (front::TrainParams{}), features scaled to
    // [0, 1], rows shuffled with seed 1; then its model classifies the set.
    const Data satellite = shuffled(load_scaled(o.data_dir, "satellite"), 1);
    w.push_back(training("train satellite defaults", satellite, front::TrainParams{}));
    w.back().large = true;
    Workload c;
    c.name = "classify satellite model";
    c.large = true;
    c.model_of = "train satellite defaults";
    c.M = satellite.cols;
    c.N = satellite.rows;
    c.patterns = satellite.x;
    c.vigilance = front::TrainParams{}.vigilance;
    w.push_back(c);
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
    // Best times, seconds; a form not run keeps its 0.
    double fast = 0, one_thread = 0, flat = 0, straight = 0, base = 0, base_one_thread = 0;
    // Round 0's call on all threads: one call's cost, not the best of several.
    double first_fast = 0, first_base = 0;
    std::int64_t elements = 0;  // join elements (patterns x nodes x features); 0: not known (training)
    int nodes = 0, presentations = 0;
    bool same = true;
    std::string why;
    bool have_want = false;
    std::vector<std::vector<double>> want;  // the first form's results
    double want_flops = 0;
};

struct Plugins {
    minihost::Plugin *fast, *flat, *straight;
    minihost::Plugin *base;  // null without --base
};

void keep_best(double *best, double seconds) { *best = *best > 0 ? std::min(*best, seconds) : seconds; }

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

// Results and host flops of one form: the first form run sets what the
// others must give.
void check(Row *row, const std::vector<std::vector<double>> &got, double flops, const std::string &form)
{
    if (!row->have_want) {
        row->want = got;
        row->want_flops = flops;
        row->have_want = true;
        return;
    }
    if (got.size() != row->want.size())
        return differ(row, form + " results");
    for (size_t k = 0; k < got.size(); ++k)
        if (!same_bits(got[k], row->want[k]))
            differ(row, form + " results");
    if (flops != row->want_flops)
        differ(row, form + " host flops");
}

// QUORV_THREADS as the benchmark found it, restored after one-thread calls.
struct ThreadSetting {
    bool had = false;
    std::string value;
    ThreadSetting()
    {
        const char *v = std::getenv("QUORV_THREADS");
        had = v != nullptr;
        value = v ? v : "";
    }
    void one() const { setenv("QUORV_THREADS", "1", 1); }
    void restore() const
    {
        if (had)
            setenv("QUORV_THREADS", value.c_str(), 1);
        else
            unsetenv("QUORV_THREADS");
    }
};

std::vector<Array> inputs(const Workload &w)
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
    return in;
}

// One timed call of a plug-in form; its results are checked.
// Every core busy for a few milliseconds, so that a first call does not pay
// for waking a core the one-thread forms left idle: without it, whichever
// build's first call came first in round 0 was up to a fifth slower.
void wake_cores()
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    const auto spin = [until] {
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    std::vector<std::thread> others;
    for (unsigned t = 1; t < std::thread::hardware_concurrency(); ++t)
        others.emplace_back(spin);
    spin();
    for (std::thread &t : others)
        t.join();
}

void run_form(minihost::Plugin &plugin, const Workload &w, const std::string &form, double *best, Row *row,
              double *first = nullptr)
{
    if (first && *first == 0)
        wake_cores();
    const std::vector<Array> in = inputs(w);
    std::vector<const mxArray *> args;
    for (const Array &a : in)
        args.push_back(a.get());
    const int nlhs = w.training ? 3 : 1;
    const double flops0 = minihost::flops();
    const auto t0 = std::chrono::steady_clock::now();
    const minihost::CallResult r = plugin.call(nlhs, args);
    const double seconds = seconds_since(t0);
    keep_best(best, seconds);
    if (first && *first == 0)
        *first = seconds;
    const double flops = minihost::flops() - flops0;
    if (!r.ok)
        return differ(row, form + ": " + r.error);
    std::vector<std::vector<double>> got;
    for (int k = 0; k < nlhs; ++k)
        got.push_back(output(r, static_cast<size_t>(k)));
    if (w.training) {
        row->nodes = static_cast<int>(got[1].size());
        row->presentations = static_cast<int>(got[2].at(0));
    } else {
        row->nodes = w.K;
    }
    check(row, got, flops, form);
}

// One round: in the first rounds the straight and flat twins
// and the plug-in on one thread, as far as the row runs them; then the
// plug-in. All must give the same results and host flop count.
void run_round(const Plugins &plugins, const Workload &w, int round, const Options &o, Row *row)
{
    const bool slow_forms = round < o.ref_rounds && (!w.large || o.full);
    // The flat twin and the one-thread form run every round on the large rows
    // too while their rounds so far took less than kEarlierFormsBudget
    // seconds, so that their best times are as fair as the plug-in's.
    const bool earlier_forms =
        !w.large || round < o.ref_rounds || (row->flat + row->one_thread) * round < kEarlierFormsBudget;
    if (slow_forms)
        run_form(*plugins.straight, w, "straight plug-in", &row->straight, row);
    if (!w.training)
        row->elements = static_cast<std::int64_t>(w.N) * w.K * w.M;
    // The base build's forms take turns with the plug-in's: first in odd
    // rounds, second in even ones.
    const bool base_first = round % 2 == 1;
    if (earlier_forms) {
        run_form(*plugins.flat, w, "flat plug-in", &row->flat, row);
        const ThreadSetting threads;
        threads.one();
        if (plugins.base && base_first)
            run_form(*plugins.base, w, "base plug-in on one thread", &row->base_one_thread, row);
        run_form(*plugins.fast, w, "plug-in on one thread", &row->one_thread, row);
        if (plugins.base && !base_first)
            run_form(*plugins.base, w, "base plug-in on one thread", &row->base_one_thread, row);
        threads.restore();
    }
    if (plugins.base && base_first)
        run_form(*plugins.base, w, "base plug-in", &row->base, row, &row->first_base);
    run_form(*plugins.fast, w, "plug-in", &row->fast, row, &row->first_fast);
    if (plugins.base && !base_first)
        run_form(*plugins.base, w, "base plug-in", &row->base, row, &row->first_base);
}

// Templates and labels of a model trained by the plug-in.
void train_model(minihost::Plugin &plugin, const Workload &t, Workload *c)
{
    const std::vector<Array> in = inputs(t);
    std::vector<const mxArray *> args;
    for (const Array &a : in)
        args.push_back(a.get());
    const minihost::CallResult r = plugin.call(3, args);
    if (!r.ok) {
        std::fprintf(stderr, "quorv_bench: training for %s: %s\n", c->name.c_str(), r.error.c_str());
        std::exit(2);
    }
    c->templates = output(r, 0);
    c->node_labels = output(r, 1);
    c->K = static_cast<int>(c->node_labels.size());
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
        else if (a == "--full")
            o->full = true;
        else if (a == "--only" && has_value)
            o->only = argv[++i];
        else if (a == "--plugins" && has_value) {
            const std::string dir = argv[++i];
            o->train_plugin = dir + "/quorv_train.mexa64";
            o->perf_plugin = dir + "/quorv_perf.mexa64";
            o->straight_train_plugin = dir + "/quorv_train_straight.mexa64";
            o->straight_perf_plugin = dir + "/quorv_perf_straight.mexa64";
            o->flat_train_plugin = dir + "/quorv_train_flat.mexa64";
            o->flat_perf_plugin = dir + "/quorv_perf_flat.mexa64";
        } else if (a == "--base" && has_value)
            o->base_dir = argv[++i];
        else if (a == "--data" && has_value)
            o->data_dir = argv[++i];
        else
            return false;
    }
    return true;
}

}  // namespace

// A time, or "-" for a form not run.
std::string seconds_text(double s)
{
    char text[32];
    if (s > 0)
        std::snprintf(text, sizeof text, "%.4f", s);
    else
        std::snprintf(text, sizeof text, "-");
    return text;
}

std::string ratio_text(double slow, double fast)
{
    char text[32];
    if (slow > 0 && fast > 0)
        std::snprintf(text, sizeof text, "%.2f", slow / fast);
    else
        std::snprintf(text, sizeof text, "-");
    return text;
}

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
// The processor's brand string and family, so that every table names the
// machine it was measured on.
std::string processor_name()
{
    unsigned regs[12] = {};
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0x80000000u, &a, &b, &c, &d) || a < 0x80000004u)
        return "unknown";
    for (unsigned leaf = 0; leaf < 3; ++leaf)
        __get_cpuid(0x80000002u + leaf, &regs[4 * leaf], &regs[4 * leaf + 1], &regs[4 * leaf + 2],
                    &regs[4 * leaf + 3]);
    char brand[49] = {};
    std::memcpy(brand, regs, 48);
    std::string name(brand);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        const unsigned base = (a >> 8) & 0xf;
        char family[32];
        std::snprintf(family, sizeof family, ", family %xh", base == 0xf ? base + ((a >> 20) & 0xff) : base);
        name += family;
    }
    return name;
}
#endif

// The processor, the settings and the two heading lines of the table.
void print_heading(const Options &o, bool with_base)
{
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    __builtin_cpu_init();
    std::printf("processor: %s; AVX2 %s, AVX-512F %s; ", processor_name().c_str(),
                __builtin_cpu_supports("avx2") ? "yes" : "no", __builtin_cpu_supports("avx512f") ? "yes" : "no");
#endif
    const char *env = std::getenv("QUORV_THREADS");
    std::printf("QUORV_THREADS %s; best of %d rounds (plug-in; on the large rows one thread and today too, "
                "as far as they fit in %.0f s), %d (other forms of large rows, straight plug-in)\n",
                env ? env : "unset", o.rounds, kEarlierFormsBudget, o.ref_rounds);
    if (with_base)
        std::printf("base: %s (base: all threads, to the plug-in's time; base 1 thread: on one, to the "
                    "plug-in's on one)\n",
                    o.base_dir.c_str());
    const std::string base_head = with_base ? " base            | base 1 thread   | first call: plug-in, base |" : "";
    const std::string base_units = with_base ? "        s  ratio |        s  ratio |        s        s  ratio |" : "";
    std::printf("%-26s %5s %3s %6s %3s %7s | %-16s | %-15s | %-15s | %-15s |%s %s\n", "", "", "", "", "", "",
                "plug-in", "one thread", "today", "straight", base_head.c_str(), "");
    std::printf("%-26s %5s %3s %6s %3s %7s | %8s %7s | %8s %6s | %8s %6s | %8s %6s |%s %s\n", "workload", "K",
                "M", "N", "LP", "Gjoin", "s", "Gjoin/s", "s", "ratio", "s", "ratio", "s", "ratio", base_units.c_str(),
                "same");
}

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: quorv_bench [--rounds R] [--ref-rounds R] [--quick] [--full] [--only TEXT] "
                             "[--plugins DIR] [--base DIR] [--data DIR]\n");
        return 2;
    }
    std::vector<std::unique_ptr<minihost::Plugin>> loaded;
    for (const std::string *path : {&o.train_plugin, &o.flat_train_plugin, &o.straight_train_plugin,
                                    &o.perf_plugin, &o.flat_perf_plugin, &o.straight_perf_plugin}) {
        std::string error;
        loaded.push_back(minihost::Plugin::load(*path, &error));
        if (!loaded.back()) {
            std::fprintf(stderr, "quorv_bench: %s\n", error.c_str());
            return 2;
        }
    }
    const bool with_base = !o.base_dir.empty();
    if (with_base)
        for (const char *name : {"quorv_train.mexa64", "quorv_perf.mexa64"}) {
            std::string error;
            loaded.push_back(minihost::Plugin::load(o.base_dir + "/" + name, &error));
            if (!loaded.back()) {
                std::fprintf(stderr, "quorv_bench: --base: %s\n", error.c_str());
                return 2;
            }
        }
    const Plugins train{loaded[0].get(), loaded[1].get(), loaded[2].get(), with_base ? loaded[6].get() : nullptr};
    const Plugins perf{loaded[3].get(), loaded[4].get(), loaded[5].get(), with_base ? loaded[7].get() : nullptr};

    print_heading(o, with_base);

    bool all_same = true;
    std::vector<Workload> all = workloads(o);
    for (Workload &w : all) {
        if (!o.only.empty() && w.name.find(o.only) == std::string::npos)
            continue;
        if (!w.model_of.empty())
            for (const Workload &t : all)
                if (t.name == w.model_of)
                    train_model(*train.fast, t, &w);
        Row row;
        for (int round = 0; round < std::max(o.rounds, o.ref_rounds); ++round)
            run_round(w.training ? train : perf, w, round, o, &row);
        all_same = all_same && row.same;
        const double g = row.elements * 1e-9;
        char gjoin[32] = "-", rate[32] = "-";
        if (row.elements > 0) {
            std::snprintf(gjoin, sizeof gjoin, "%.3f", g);
            std::snprintf(rate, sizeof rate, "%.3f", g / row.fast);
        }
        char base_cells[160] = "";
        if (with_base)
            std::snprintf(base_cells, sizeof base_cells, " %8s %6s | %8s %6s | %8s %8s %6s |",
                          seconds_text(row.base).c_str(), ratio_text(row.base, row.fast).c_str(),
                          seconds_text(row.base_one_thread).c_str(),
                          ratio_text(row.base_one_thread, row.one_thread).c_str(),
                          seconds_text(row.first_fast).c_str(), seconds_text(row.first_base).c_str(),
                          ratio_text(row.first_base, row.first_fast).c_str());
        std::printf("%-26s %5d %3d %6d %3d %7s | %8.4f %7s | %8s %6s | %8s %6s | %8s %6s |%s %s\n",
                    w.name.c_str(), row.nodes, w.M, w.N, w.training ? row.presentations : 1, gjoin, row.fast, rate,
                    seconds_text(row.one_thread).c_str(), ratio_text(row.one_thread, row.fast).c_str(),
                    seconds_text(row.flat).c_str(), ratio_text(row.flat, row.fast).c_str(),
                    seconds_text(row.straight).c_str(), ratio_text(row.straight, row.fast).c_str(), base_cells,
                    row.same ? "yes" : ("NO: " + row.why).c_str());
        std::fflush(stdout);
    }
    return all_same ? 0 : 1;
}
