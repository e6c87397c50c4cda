// Forest options, members trained in the worker processes, and the names of
// the share columns.
#include "forest.h"

#include "error.h"
#include "plugins.h"
#include "pool.h"
#include "pipeline.h"
#include "progress.h"
#include "report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace cli {

std::vector<Option> forest_options()
{
    return {
        {"--max-features", "F", "forest: each member's features, drawn without replacement; 0.5 (a decimal "
                                "point) is a fraction, 3 a count, sqrt and log2 the square root and base-2 "
                                "logarithm of the features, rounded down (default 1.0: all)"},
        {"--max-samples", "F", "forest: each member's training rows, 1.0 a fraction of the rows, 100 a count "
                               "(default 1.0), drawn with replacement unless --no-bootstrap"},
        {"--no-bootstrap", "", "forest: draw each member's rows without replacement"},
        {"--jobs", "N", "worker processes that train a forest's members (default: one per usable core)"},
    };
}

front::Amount forest_amount(const std::string &text, const std::string &option)
{
    try {
        return front::parse_amount(text, option, option == "--max-features");
    } catch (const front::Error &e) {
        throw UsageError(e.what());
    }
}

ForestRun forest_setting(const std::string &features_text, const std::string &samples_text, bool bootstrap)
{
    ForestRun run;
    run.features_text = features_text;
    run.samples_text = samples_text;
    run.features = forest_amount(features_text, "--max-features");
    run.samples = forest_amount(samples_text, "--max-samples");
    run.bootstrap = bootstrap;
    return run;
}

bool forest_asked(const Args &args, long votes)
{
    for (const char *option : {"--max-features", "--max-samples", "--no-bootstrap"})
        if (args.has(option)) {
            if (votes < 2)
                throw UsageError(std::string(option) + " makes a forest, which needs --votes N (N >= 2 members)");
            return true;
        }
    return false;
}

ForestRun forest_run(const Args &args, long votes)
{
    ForestRun run = forest_setting(args.text("--max-features", "1.0"), args.text("--max-samples", "1.0"),
                                   !args.has("--no-bootstrap"));
    run.on = forest_asked(args, votes);
    return run;
}

front::ForestDraws member_counts(const ForestRun &run, const TrainParams &params, size_t rows, size_t features,
                                 const std::string &rows_are)
{
    front::ForestDraws draws;
    draws.on = true;
    draws.sample.bootstrap = run.bootstrap;
    try {
        draws.sample.rows = run.samples.of(rows, "--max-samples", rows_are);
        draws.features = front::member_feature_count(run.features, features, "--max-features");
    } catch (const front::Error &e) {
        throw UsageError(e.what());
    }
    check_ranges(params, draws.features);  // a member's boxes span its own features
    return draws;
}

Option no_oob_option()
{
    return {"--no-oob", "", "forest: leave out the out-of-bag estimate (by default a forest whose members draw "
                            "their rows with replacement votes on each training row by the members that did not "
                            "draw it, and the summary and the model give the accuracy of that vote)"};
}

bool oob_option(const Args &args, const ForestRun &run) { return run.on && run.bootstrap && !args.has("--no-oob"); }

size_t jobs_option(const Args &args)
{
    return static_cast<size_t>(args.integer("--jobs", static_cast<long>(usable_cores()), 1, 256));
}

Dataset feature_columns(const Dataset &data, const std::vector<size_t> &features)
{
    Dataset out = data;
    out.feature_names.clear();
    for (size_t j : features)
        out.feature_names.push_back(data.feature_names.at(j));
    out.x.assign(data.rows * features.size(), 0.0);
    const size_t m = data.cols(), f = features.size();
    for (size_t i = 0; i < data.rows; ++i)
        for (size_t k = 0; k < f; ++k)
            out.x[i * f + k] = data.x[i * m + features[k]];
    return out;
}

namespace {

// Doubles carried bit for bit in a message's text field.
std::string bytes_of(const std::vector<double> &v)
{
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(double));
}

std::vector<double> doubles_of(const std::string &bytes, size_t count, const char *what)
{
    if (bytes.size() != count * sizeof(double))
        throw Error(std::string("a worker sent a member whose ") + what + " are cut short");
    std::vector<double> v(count);
    if (count)
        std::memcpy(v.data(), bytes.data(), bytes.size());
    return v;
}

}  // namespace

void train_forest(const Dataset &scaled, const TrainParams &params, const ForestRun &run, std::int64_t seed,
                  long members, size_t jobs, bool report, long verbose, bool merge, Model *model)
{
    model->forest = member_counts(run, params, scaled.rows, scaled.cols());
    const front::ForestDraws &draws = model->forest;
    const std::string too_many = front::forest_draws_fault(static_cast<size_t>(members), draws.features, scaled.cols());
    if (!too_many.empty())
        throw UsageError("--votes: " + too_many);

    const size_t count = static_cast<size_t>(members);
    const bool in_process = pool_workers(jobs, count) == 1;
    const auto task = [&](size_t k) {
        const front::MemberDraw d = front::draw_member(scaled.rows, draws.sample, scaled.cols(), draws.features,
                                                       static_cast<std::uint64_t>(seed), k);
        if (in_process && verbose > 0)
            std::printf("Member %zu of %zu\n", k + 1, count);
        size_t merged = 0;
        Member m = call_train(feature_columns(scaled.subset(d.rows), d.features), params, in_process ? verbose : 0,
                              merge ? &merged : nullptr);
        if (m.nodes == 0)
            throw Error("training made no nodes (member " + std::to_string(k + 1) + ")");
        Message out;
        out.set("list_presentations", m.list_presentations);
        out.set("nodes", static_cast<double>(m.nodes));
        out.set("merged", static_cast<double>(merged));
        out.set_text("templates", bytes_of(m.templates));
        out.set_text("labels", bytes_of(m.labels));
        return out;
    };
    model->members.assign(count, Member());
    const bool live = report && stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    size_t done_count = 0, merged = 0;
    const auto done = [&](size_t k, const Message &in) {
        Member &m = model->members[k];
        m.list_presentations = in.number("list_presentations");
        m.nodes = static_cast<size_t>(in.number("nodes"));
        merged += static_cast<size_t>(in.number("merged"));
        m.templates = doubles_of(in.text("templates"), m.nodes * 2 * draws.features, "bounds");
        m.labels = doubles_of(in.text("labels"), m.nodes, "labels");
        m.features = front::member_features(scaled.cols(), draws.features, static_cast<std::uint64_t>(seed), k);
        ++done_count;
        if (live)
            draw_count("train", done_count, count, "members trained", start);
    };
    run_in_workers(count, jobs, task, done);
    model->merge_conflicts = merge;
    model->merged_patterns = static_cast<long>(merged);
    if (report) {
        size_t nodes = 0, converged = 0;
        for (const Member &m : model->members) {
            nodes += m.nodes;
            converged += m.list_presentations < static_cast<double>(params.max_list_presentations);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("Forest of %zu members trained on %zu worker%s: %s, %zu converged, %.1f s\n", count,
                    pool_workers(jobs, count), pool_workers(jobs, count) == 1 ? "" : "s",
                    count_of(nodes, "node").c_str(), converged, seconds);
    }
}

std::vector<std::string> share_columns(const std::vector<std::string> &class_names,
                                       const std::vector<std::string> &taken)
{
    // A taken name blocks the prefix of k underscores when it is
    // "share" + k underscores + ":" + a class's name, or the unknown column
    // "share" + k underscores + "_unknown"; each is read once.
    const std::unordered_set<std::string> names(class_names.begin(), class_names.end());
    std::vector<bool> blocked(taken.size() + 1, false);
    for (const std::string &t : taken) {
        if (t.compare(0, 5, "share") != 0)
            continue;
        const size_t end = t.find_first_not_of('_', 5), k = (end == std::string::npos ? t.size() : end) - 5;
        if (end == std::string::npos)
            continue;
        if (t[end] == ':') {
            if (k < blocked.size() && names.count(t.substr(end + 1)))
                blocked[k] = true;
        } else if (k >= 1 && k - 1 < blocked.size() && t.compare(end, std::string::npos, "unknown") == 0) {
            blocked[k - 1] = true;
        }
    }
    const size_t k = static_cast<size_t>(std::find(blocked.begin(), blocked.end(), false) - blocked.begin());
    const std::string prefix = "share" + std::string(k, '_');
    std::vector<std::string> columns;
    columns.reserve(class_names.size() + 1);
    for (const std::string &name : class_names)
        columns.push_back(prefix + ":" + name);
    columns.push_back(prefix + "_unknown");
    return columns;
}

}  // namespace cli
