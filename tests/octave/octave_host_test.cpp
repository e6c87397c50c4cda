// The plug-ins built for GNU Octave by matlab/make.m must behave exactly as the
// embedded host's build: the same outputs to the last bit, the same console
// text and the same messages (which Octave prefixes with the function name).
// Each test runs its calls in one octave-cli session and in one load of the
// embedded host's plug-ins, so running totals line up too.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum Plugin { kTrain = 0, kPerf = 1 };
const char *const kNames[] = {"quorv_train", "quorv_perf"};

// A double array in column-major order, or a reference to an output of an
// earlier call of the same session (so Octave chains its own results).
struct Matrix {
    std::vector<size_t> dims;
    std::vector<double> data;
    int from_call = -1;
    int from_output = 0;
};

Matrix scalar(double v) { return {{1, 1}, {v}}; }
Matrix filled(std::vector<size_t> dims, double value = 0.5)
{
    size_t count = 1;
    for (size_t d : dims)
        count *= d;
    return {dims, std::vector<double>(count, value)};
}
Matrix rows_of(size_t rows, size_t cols, const std::vector<double> &row_major)
{
    Matrix m{{rows, cols}, std::vector<double>(row_major.size())};
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            m.data[j * rows + i] = row_major[i * cols + j];
    return m;
}
Matrix output_of(int call, int output)
{
    Matrix m;
    m.from_call = call;
    m.from_output = output;
    return m;
}

struct Call {
    Plugin plugin;
    int nlhs;
    std::vector<Matrix> inputs;
};

struct Outcome {
    bool ok = false;
    std::string error;
    std::string console;
    std::vector<Matrix> outputs;
    std::vector<bool> real_double;
};

// ---- the embedded host ----

std::vector<Outcome> run_embedded(const std::vector<Call> &calls)
{
    std::unique_ptr<minihost::Plugin> plugins[] = {qt::load_train(), qt::load_perf()};
    std::vector<minihost::CallResult> results;
    std::vector<Outcome> outcomes;
    for (const Call &call : calls) {
        std::vector<minihost::Array> owned;
        std::vector<const mxArray *> inputs;
        for (const Matrix &m : call.inputs) {
            if (m.from_call >= 0) {
                inputs.push_back(results.at(m.from_call).outputs.at(m.from_output).get());
            } else {
                owned.push_back(minihost::make_array(m.dims, mxDOUBLE_CLASS, false, m.data));
                inputs.push_back(owned.back().get());
            }
        }
        results.push_back(plugins[call.plugin]->call(call.nlhs, inputs));
        const minihost::CallResult &r = results.back();
        Outcome o;
        o.ok = r.ok;
        o.error = r.error;
        o.console = r.console;
        if (r.ok) {
            for (const minihost::Array &a : r.outputs) {
                o.outputs.push_back({minihost::dims(a.get()), minihost::values(a.get())});
                o.real_double.push_back(a && mxGetClassID(a.get()) == mxDOUBLE_CLASS && !mxIsComplex(a.get()));
            }
        }
        outcomes.push_back(o);
    }
    return outcomes;
}

// ---- octave-cli ----

std::string shell_quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string octave_quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

const fs::path kWork = QUORV_OCTAVE_WORK_DIR;
const std::string kPluginDir = QUORV_OCTAVE_PLUGIN_DIR;

// Runs code in a fresh octave-cli; returns stdout and stderr together.
std::string run_octave(const std::string &code, int *status)
{
    const std::string command = "cd " + shell_quoted(kWork.string()) + " && " + QUORV_OCTAVE_CLI +
                                " --norc --quiet --no-window-system --no-history --eval " +
                                shell_quoted(code) + " 2>&1";
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return text;
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, got);
    *status = pclose(pipe);
    return text;
}

void put_int(std::ofstream &out, std::int64_t v)
{
    const auto i = static_cast<std::int32_t>(v);
    out.write(reinterpret_cast<const char *>(&i), sizeof i);
}

class Reader {
public:
    explicit Reader(const fs::path &path) : in_(path, std::ios::binary) {}
    bool good() const { return static_cast<bool>(in_); }
    std::int32_t integer()
    {
        std::int32_t v = 0;
        in_.read(reinterpret_cast<char *>(&v), sizeof v);
        return v;
    }
    std::string text()
    {
        std::string s(static_cast<size_t>(integer()), '\0');
        in_.read(&s[0], static_cast<std::streamsize>(s.size()));
        return s;
    }
    std::vector<double> doubles(size_t n)
    {
        std::vector<double> v(n);
        in_.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(n * sizeof(double)));
        return v;
    }

private:
    std::ifstream in_;
};

// The calls in one session of tests/octave/run_quorv_calls.m, its binary job
// and result files named after the test.
std::vector<Outcome> run_in_octave(const std::vector<Call> &calls, const std::string &tag)
{
    const fs::path job = kWork / (tag + ".job"), result = kWork / (tag + ".result");
    fs::remove(result);
    {
        std::ofstream out(job, std::ios::binary | std::ios::trunc);
        put_int(out, static_cast<std::int64_t>(calls.size()));
        for (const Call &call : calls) {
            put_int(out, call.plugin);
            put_int(out, call.nlhs);
            put_int(out, static_cast<std::int64_t>(call.inputs.size()));
            for (const Matrix &m : call.inputs) {
                if (m.from_call >= 0) {
                    put_int(out, -1);
                    put_int(out, m.from_call);
                    put_int(out, m.from_output);
                    continue;
                }
                put_int(out, static_cast<std::int64_t>(m.dims.size()));
                for (size_t d : m.dims)
                    put_int(out, static_cast<std::int64_t>(d));
                out.write(reinterpret_cast<const char *>(m.data.data()),
                          static_cast<std::streamsize>(m.data.size() * sizeof(double)));
            }
        }
    }
    int status = 0;
    const std::string log = run_octave("addpath(" + octave_quoted(QUORV_OCTAVE_SCRIPTS) + "); addpath(" +
                                           octave_quoted(kPluginDir) + "); run_quorv_calls(" +
                                           octave_quoted(job.string()) + ", " + octave_quoted(result.string()) + ");",
                                       &status);
    EXPECT_EQ(status, 0) << log;
    std::vector<Outcome> outcomes;
    Reader in(result);
    if (!in.good())
        return outcomes;
    for (size_t c = 0; c < calls.size(); ++c) {
        Outcome o;
        o.ok = in.integer() != 0;
        o.error = in.text();
        o.console = in.text();
        const int nout = in.integer();
        for (int k = 0; k < nout; ++k) {
            o.real_double.push_back(in.integer() != 0);
            Matrix m;
            m.dims.resize(static_cast<size_t>(in.integer()));
            size_t count = 1;
            for (size_t &d : m.dims) {
                d = static_cast<size_t>(in.integer());
                count *= d;
            }
            m.data = in.doubles(count);
            o.outputs.push_back(m);
        }
        outcomes.push_back(o);
    }
    EXPECT_TRUE(in.good()) << "short result file " << result;
    return outcomes;
}

// Elapsed whole seconds are the one part of the console that timing decides: a
// call may straddle a second boundary on one host and not on the other.
std::string without_seconds(const std::string &console) { return qt::masked(console); }

// The two running totals of the first summary line "F FLOPs and C comparisons".
bool read_totals(const std::string &console, unsigned long *flops, unsigned long *comparisons)
{
    const size_t mark = console.find(" FLOPs and ");
    if (mark == std::string::npos)
        return false;
    const size_t start = console.find_last_not_of("0123456789", mark - 1) + 1;
    *flops = std::stoul(console.substr(start, mark - start));
    *comparisons = std::stoul(console.substr(mark + std::string(" FLOPs and ").size()));
    return true;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expect_same(const std::vector<Call> &calls, const std::vector<Outcome> &embedded,
                 const std::vector<Outcome> &octave)
{
    ASSERT_EQ(octave.size(), embedded.size());
    for (size_t c = 0; c < calls.size(); ++c) {
        SCOPED_TRACE("call " + std::to_string(c) + " of " + kNames[calls[c].plugin]);
        const Outcome &e = embedded[c], &o = octave[c];
        ASSERT_EQ(o.ok, e.ok) << "Octave: " << o.error << "\nembedded host: " << e.error;
        if (!e.ok) {
            EXPECT_EQ(o.error, std::string(kNames[calls[c].plugin]) + ": " + e.error);
            continue;
        }
        EXPECT_EQ(without_seconds(o.console), without_seconds(e.console));
        ASSERT_EQ(o.outputs.size(), e.outputs.size());
        for (size_t k = 0; k < e.outputs.size(); ++k) {
            EXPECT_TRUE(o.real_double[k]) << "output " << k;
            EXPECT_EQ(o.outputs[k].dims, e.outputs[k].dims) << "output " << k;
            EXPECT_TRUE(same_bits(o.outputs[k].data, e.outputs[k].data)) << "output " << k;
        }
    }
}

std::vector<Outcome> expect_octave_like_embedded(const std::vector<Call> &calls, const std::string &tag)
{
    const std::vector<Outcome> embedded = run_embedded(calls);
    const std::vector<Outcome> octave = run_in_octave(calls, tag);
    expect_same(calls, embedded, octave);
    return octave;
}

std::vector<Matrix> train_inputs(const qt::Dataset &d, const qt::TrainParams &p)
{
    return {rows_of(d.rows, d.cols, d.x), Matrix{{d.rows, 1}, d.y}, scalar(p.vigilance),
            scalar(p.min_size), scalar(p.learning_rate), scalar(p.epsilon),
            scalar(p.max_list_presentations), scalar(p.trim_option), scalar(p.oflag)};
}

// Every third row held out, features scaled with the training rows' ranges.
void split_scaled(const std::string &name, qt::Dataset *kept, qt::Dataset *held)
{
    qt::split(qt::load_dataset(name), 3, 2, kept, held);
    const qt::Dataset fit = *kept;
    qt::scale_like(fit, kept);
    qt::scale_like(fit, held);
}

std::string test_tag()
{
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class OctaveHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(QUORV_OCTAVE_CLI).empty())
            GTEST_SKIP() << "octave-cli or mkoctfile not installed";
        fs::create_directories(kWork);
    }
};

// make -outdir leaves the plug-ins, the model gateway and functions and what
// their help needs (the overview, the data helper, the demo and the iris
// data), and no objects anywhere.
TEST_F(OctaveHost, BuildLeavesOnlyPluginsAndHelpBehind)
{
    std::set<std::string> built;
    for (const auto &entry : fs::recursive_directory_iterator(kPluginDir))
        built.insert(fs::relative(entry.path(), kPluginDir).generic_string());
    EXPECT_EQ(built, (std::set<std::string>{"data", "data/iris.csv", "quorv.m", "quorv_data.m", "quorv_demo.m",
                                            "quorv_fit.m", "quorv_model_mex.mex", "quorv_perf.m", "quorv_perf.mex",
                                            "quorv_predict.m", "quorv_read_model.m", "quorv_train.m",
                                            "quorv_train.mex", "quorv_write_model.m"}));
    for (const char *dir : {"host", "model", "train", "perf", "resources", "matlab", "front"})
        for (const auto &entry : fs::directory_iterator(fs::path(QUORV_SOURCE_DIR) / dir))
            EXPECT_NE(entry.path().extension(), ".o") << entry.path();
}

TEST_F(OctaveHost, TrainsAndClassifiesLikeTheEmbeddedHost)
{
    struct Case {
        const char *dataset;
        qt::TrainParams train;
        double perf_oflag;
    };
    // Fast and slow learning, trimming, a minimum node size, trace levels 1 to 4.
    const Case cases[] = {
        {"iris", {0.5, 0.0, 1.0, 0.001, 100, 0, 1}, 1},
        {"wine", {0.6, 0.1, 0.5, 0.001, 20, 1, 3}, 3},
        {"glass", {0.8, 0.0, 1.0, 0.0, 50, 0, 4}, 2},
    };
    std::vector<Call> calls;
    for (const Case &c : cases) {
        qt::Dataset kept, held;
        split_scaled(c.dataset, &kept, &held);
        const int trained = static_cast<int>(calls.size());
        calls.push_back({kTrain, 3, train_inputs(kept, c.train)});
        calls.push_back({kPerf, 1,
                         {output_of(trained, 0), output_of(trained, 1), scalar(c.train.vigilance),
                          rows_of(held.rows, held.cols, held.x), scalar(-1), scalar(c.perf_oflag)}});
    }
    const std::vector<Outcome> octave = expect_octave_like_embedded(calls, test_tag());
    ASSERT_EQ(octave.size(), calls.size());
    for (size_t c = 0; c < calls.size(); c += 2) {
        ASSERT_TRUE(octave[c].ok && octave[c + 1].ok);
        const auto &templates = octave[c].outputs[0].dims;
        const size_t features = calls[c].inputs[0].dims[1];
        EXPECT_GT(templates[0], 0u);
        EXPECT_EQ(templates[1], 2 * features);
        EXPECT_EQ(octave[c].outputs[1].dims, (std::vector<size_t>{templates[0], 1}));
        EXPECT_EQ(octave[c].outputs[2].dims, (std::vector<size_t>{1, 1}));
        EXPECT_EQ(octave[c + 1].outputs[0].dims, (std::vector<size_t>{calls[c + 1].inputs[3].dims[0], 1}));
    }
}

TEST_F(OctaveHost, RunningTotalsGrowOverCallsInOneSession)
{
    qt::Dataset kept, held;
    split_scaled("iris", &kept, &held);
    qt::TrainParams params;
    params.oflag = 1;
    const Matrix test = rows_of(held.rows, held.cols, held.x);
    const std::vector<Call> calls = {
        {kTrain, 3, train_inputs(kept, params)},
        {kTrain, 3, train_inputs(kept, params)},
        {kPerf, 1, {output_of(0, 0), output_of(0, 1), scalar(0.75), test, scalar(-1), scalar(1)}},
        {kPerf, 1, {output_of(1, 0), output_of(1, 1), scalar(0.75), test, scalar(-1), scalar(1)}},
    };
    const std::vector<Outcome> octave = expect_octave_like_embedded(calls, test_tag());
    ASSERT_EQ(octave.size(), 4u);
    for (size_t first : {0, 2}) {
        unsigned long flops_a = 0, comparisons_a = 0, flops_b = 0, comparisons_b = 0;
        ASSERT_TRUE(read_totals(octave[first].console, &flops_a, &comparisons_a)) << octave[first].console;
        ASSERT_TRUE(read_totals(octave[first + 1].console, &flops_b, &comparisons_b)) << octave[first + 1].console;
        EXPECT_GT(flops_b, flops_a);
        EXPECT_GT(comparisons_b, comparisons_a);
        EXPECT_TRUE(same_bits(octave[first].outputs[0].data, octave[first + 1].outputs[0].data));
    }
}

TEST_F(OctaveHost, ErrorMessagesAsOctaveReportsThem)
{
    const std::vector<double> x = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.1,
                                   0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.1, 0.2};
    const std::vector<Matrix> train = {rows_of(5, 4, x), Matrix{{5, 1}, {1, 2, 1, 2, 1}}, scalar(0.75), scalar(0),
                                       scalar(1), scalar(0.001), scalar(10), scalar(0), scalar(0)};
    const std::vector<Matrix> perf = {rows_of(2, 4, {0, 0, 0.5, 0.5, 0.5, 0.5, 1, 1}), Matrix{{2, 1}, {1, 2}},
                                      scalar(0.5), filled({3, 2}), scalar(-1), scalar(0)};
    auto with = [](std::vector<Matrix> inputs, size_t k, Matrix m) {
        inputs[k] = m;
        return inputs;
    };
    auto without_last = [](std::vector<Matrix> inputs) {
        inputs.pop_back();
        return inputs;
    };
    const double nan = std::nan("");
    const struct {
        Call call;
        const char *message;
    } cases[] = {
        {{kTrain, 3, without_last(train)}, "QUORV_TRAIN: 9 input arguments required."},
        {{kTrain, 3, with(train, 0, filled({2, 2, 2}))},
         "QUORV_TRAIN: 1st input argument (Patterns) must be  a two dimensional array (matrix)."},
        {{kTrain, 3, with(train, 1, filled({1, 4}))},
         "QUORV_TRAIN: 2nd input argument (PLabels) must be of type  5x1 or 1x5."},
        {{kTrain, 3, with(train, 2, scalar(nan))}, "QUORV_TRAIN: 3rd input argument (vigilance) must be in [0,1]."},
        {{kTrain, 3, with(train, 3, scalar(1.01))},
         "QUORV_TRAIN: 4th input argument (min_size) must be in [0.0, 1.000000]\n( in [0.0, M*(1.0-vigilance)] )."},
        {{kTrain, 3, with(train, 8, filled({2, 2}))}, "QUORV_TRAIN: 9th input argument must be scalar."},
        {{kTrain, 3, with(train, 8, filled({1, 1, 2}))}, "QUORV_TRAIN: 9th input argument (oflag) must be scalar."},
        {{kTrain, 2, train}, "QUORV_TRAIN: 3 output arguments required."},
        {{kPerf, 1, with(perf, 3, filled({3, 3}))}, "QUORV_PERF: 4th input argument (Patterns) must be of type  3x2."},
        {{kPerf, 0, perf}, "QUORV_PERF: 1 output argument required."},
    };
    std::vector<Call> calls;
    for (const auto &c : cases)
        calls.push_back(c.call);
    const std::vector<Outcome> octave = expect_octave_like_embedded(calls, test_tag());
    ASSERT_EQ(octave.size(), calls.size());
    for (size_t c = 0; c < calls.size(); ++c)
        EXPECT_EQ(octave[c].error, std::string(kNames[calls[c].plugin]) + ": " + cases[c].message);
}

// Help comes from the comment-only .m files, the calls from the MEX files
// beside them; both help examples run as printed, from a folder without data
// (help_examples_test.m runs them, their test blocks and demos).
TEST_F(OctaveHost, HelpFilesDoNotShadowThePlugins)
{
    int status = 0;
    const std::string out = run_octave(
        "addpath(" + octave_quoted(kPluginDir) + "); addpath(" + octave_quoted(QUORV_OCTAVE_SCRIPTS) + "); "
        "for f = {'quorv_train', 'quorv_perf'}, "
        "  printf('which %s\\n', which(f{1})); printf('%s', help(f{1})); "
        "end; help_examples_test(); disp('finished')",
        &status);
    ASSERT_EQ(status, 0) << out;
    for (const char *name : kNames)
        EXPECT_NE(out.find("which " + kPluginDir + "/" + name + ".mex\n"), std::string::npos) << out;
    for (const char *word : {"[Templates, NLabels, list_presentations] = QUORV_TRAIN(Patterns, PLabels,",
                             "Labels = QUORV_PERF(Templates, NLabels, vigilance, Patterns, unknown_label,",
                             "max_list_presentations  Whole number >= 1", "min_size <= M*(1 - vigilance)",
                             "trim_option", "unknown_label  Label", "oflag          0 to 3", "0 to 4",
                             "help examples, test blocks and demos ran", "finished"})
        EXPECT_NE(out.find(word), std::string::npos) << word << "\n" << out;
}

// The demo, run as a user would, reads the CSV itself: its result must be the
// embedded host's on the same split and scaling.
TEST_F(OctaveHost, DemoMatchesTheEmbeddedHost)
{
    qt::Dataset kept, held;
    split_scaled("iris", &kept, &held);
    qt::TrainParams params;
    params.vigilance = 0.5;
    params.oflag = 1;
    const std::vector<Call> calls = {
        {kTrain, 3, train_inputs(kept, params)},
        {kPerf, 1, {output_of(0, 0), output_of(0, 1), scalar(0.5), rows_of(held.rows, held.cols, held.x), scalar(-1),
                    scalar(1)}}};
    const std::vector<Outcome> e = run_embedded(calls);
    ASSERT_TRUE(e[0].ok && e[1].ok);
    const std::vector<double> &guess = e[1].outputs[0].data;
    int right = 0, unknown = 0;
    for (size_t i = 0; i < guess.size(); ++i) {
        right += guess[i] == held.y[i];
        unknown += guess[i] == -1;
    }
    char tail[256];
    std::snprintf(tail, sizeof tail,
                  "%d nodes after %.0f list presentations\naccuracy: %d of %zu test patterns (%.1f%%), %d not classified\n",
                  static_cast<int>(e[0].outputs[0].dims[0]), e[0].outputs[2].data[0], right, guess.size(),
                  100 * (right / static_cast<double>(guess.size())), unknown);
    const std::string expected = "iris: " + std::to_string(kept.rows) + " training and " + std::to_string(held.rows) +
                                 " test patterns, 4 features\n" + e[0].console + e[1].console + tail;

    int status = 0;
    const std::string out = run_octave("addpath(" + octave_quoted(QUORV_MATLAB_DIR) + "); addpath(" +
                                           octave_quoted(kPluginDir) + "); quorv_demo",
                                       &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(without_seconds(out), without_seconds(expected));
}

}  // namespace
