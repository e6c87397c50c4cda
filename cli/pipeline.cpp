// Training and classification stages on top of the plug-in calls.
#include "pipeline.h"

#include "error.h"
#include "numbers.h"
#include "plugins.h"
#include "progress.h"
#include "report.h"
#include "sampling.h"

#include "front/classes.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

const char *on_off(long option) { return option ? "on" : "off"; }

}  // namespace

std::vector<Option> training_options()
{
    return {
        {"--label-column", "NAME", "label column, by name or 1-based number (default: the last column)"},
        {"--no-scale", "", "keep raw feature values (default: scale each feature to [0, 1] with the "
                           "training set's minimum and maximum; a constant feature maps to 0)"},
        {"--vigilance", "V", "vigilance in [0, 1]; higher makes smaller boxes (default 0.75)"},
        {"--min-size", "S", "minimum box size, in [0, M*(1-vigilance)] for M features (default 0)"},
        {"--learning-rate", "R", "learning rate in (0, 1]; 1 is fast learning (default 1)"},
        {"--epsilon", "E", "learning tolerance, >= 0 (default 0.001)"},
        {"--max-presentations", "N", "most list presentations of the training set, >= 1 (default " +
                                         std::to_string(front::kSingleDefaults.max_list_presentations) +
                                         "; forest members: " +
                                         std::to_string(front::kMemberDefaults.max_list_presentations) + ")"},
        {"--trim", "", std::string("leave out nodes that no pattern of the last presentation selected (default ") +
                           on_off(front::kSingleDefaults.trim_option) + "; forest members: " +
                           on_off(front::kMemberDefaults.trim_option) + ")"},
        {"--no-trim", "", "keep every node, forest members' too"},
    };
}

bool is_vigilance(double v) { return v >= 0 && v <= 1; }

namespace {

// Options by the model file's names of the parameters they set.
std::string option_of(const std::string &parameter)
{
    static const char *const names[][2] = {
        {"vigilance", "--vigilance"}, {"min_size", "--min-size"}, {"learning_rate", "--learning-rate"},
        {"epsilon", "--epsilon"},     {"max_list_presentations", "--max-presentations"}, {"trim_option", "--trim"},
    };
    for (const auto &name : names)
        if (parameter == name[0])
            return name[1];
    return "--" + parameter;
}

// A fault of check_params, "NAME VALUE is not RANGE" or "NAME VALUE is above
// ...", as the option's usage error: "OPTION: 'GIVEN' is not RANGE" (the
// value as written, when known) or "OPTION: VALUE is above ...".
[[noreturn]] void refuse(const front::ParamFault &fault, const std::string &given = "")
{
    const std::string option = option_of(fault.name), rest = fault.message.substr(fault.name.size() + 1);
    const size_t is_not = rest.find(" is not ");
    if (is_not == std::string::npos)
        throw UsageError(option + ": " + rest);
    throw UsageError(option + ": '" + (given.empty() ? rest.substr(0, is_not) : given) + "'" + rest.substr(is_not));
}

// The parameters, checked by the one rule before the data is read, each
// value quoted as `args` gave it (else as `given`). Only min_size's upper end,
// M*(1-vigilance), depends on the data: checked here for the most features M
// can be, it can fail only at vigilance 1 (or for a min_size beyond any box),
// and is then left to check_ranges.
void check_before_data(const TrainParams &params, const Args *args, const std::string &given = "")
{
    const front::ParamFault fault = check_params(params, SIZE_MAX);
    if (!fault.message.empty() && fault.message.find(" is not ") != std::string::npos)
        refuse(fault, args ? args->text(option_of(fault.name)) : given);
}

// The options but --vigilance and --learning-rate, as numbers.
TrainParams parse_fixed_params(const Args &args)
{
    TrainParams p;
    p.min_size = args.number("--min-size", p.min_size);
    p.epsilon = args.number("--epsilon", p.epsilon);
    // A whole number that fits the plug-in's int, or the option's own message.
    // A forest's members have defaults of their own; the options set both kinds.
    const front::TrainingDefaults d = front::training_defaults(forest_asked(args, args.integer("--votes", 1, 1, 1000)));
    p.max_list_presentations = args.integer("--max-presentations", d.max_list_presentations, 1, INT_MAX);
    if (args.has("--trim") && args.has("--no-trim"))
        throw UsageError("--trim and --no-trim: give one of them");
    p.trim_option = args.has("--trim") ? 1 : args.has("--no-trim") ? 0 : d.trim_option;
    return p;
}

}  // namespace

TrainParams fixed_training_params(const Args &args)
{
    const TrainParams p = parse_fixed_params(args);
    check_before_data(p, &args);
    return p;
}

TrainParams training_params(const Args &args)
{
    const double vigilance = args.number("--vigilance", TrainParams().vigilance);
    TrainParams p = parse_fixed_params(args);
    p.vigilance = vigilance;
    p.learning_rate = args.number("--learning-rate", p.learning_rate);
    check_before_data(p, &args);
    return p;
}

void check_grid_value(const TrainParams &params, double value)
{
    check_before_data(params, nullptr, format_double(value));
}

void check_ranges(const TrainParams &params, size_t features)
{
    const front::ParamFault fault = check_params(params, features);
    if (!fault.message.empty())
        refuse(fault);
}

Option ignore_option()
{
    return {"--ignore", "COLS", "columns to leave out of the features, by name or 1-based number, "
                                "separated by commas (ids, notes); the model remembers them"};
}

Option verbose_option()
{
    return {"--verbose", "N", "plug-in console detail: 0 none, the tool's own summary (default), 1 the "
                              "plug-in's summary, 2 and up add a trace (training up to 4, classification up to 3)"};
}

long verbose_level(const Args &args, long most) { return args.integer("--verbose", 0, 0, most); }

std::vector<Option> order_options()
{
    return {
        {"--shuffle", "", "train on the rows in a seeded random order (training depends on the order of the "
                          "rows; default: file order)"},
        {"--seed", "S", "seed of --shuffle and --votes, a whole number >= 0 (default 1)"},
        {"--votes", "N", "train N models on N shuffles (seeds S, S+1, ...), or a forest of N with the options "
                         "below, and keep them all in the model file; classification takes their vote (default 1)"},
        {"--no-merge", "", "present identical patterns with different labels as they are (by default each such "
                           "group, in the features and rows a training call sees, is one pattern with the label "
                           "most of them carry, the lowest of equals, at the group's first place)"},
    };
}

std::int64_t seed_option(const Args &args) { return args.integer("--seed", 1, 0, front::kMaxSeed); }

TrainRun train_run(const Args &args)
{
    TrainRun run;
    run.votes = args.integer("--votes", 1, 1, 1000);
    run.merge = !args.has("--no-merge");
    const std::int64_t seed = seed_option(args);
    if (args.has("--shuffle") || run.votes > 1)
        run.shuffle_seed = seed;
    else if (args.has("--seed"))
        throw UsageError("--seed needs --shuffle or --votes");
    return run;
}

namespace {

// What the summary adds after the training lines: merged conflicts, and
// members that stopped at the presentation limit with what to try (what the
// model does not do already).
void report_training(const Model &model)
{
    if (model.merge_conflicts && model.merged_patterns > 0)
        std::printf("Conflicts: %s merged (identical patterns with different labels, presented once with the "
                    "label most of them carry)\n",
                    count_of(static_cast<size_t>(model.merged_patterns), "pattern").c_str());
    size_t stopped = 0;
    for (const Member &m : model.members)
        stopped += m.list_presentations >= static_cast<double>(model.params.max_list_presentations);
    if (stopped == 0)
        return;
    const bool one = model.members.size() == 1;
    const std::string who = one ? "Training"
                                : std::to_string(stopped) + " of " + std::to_string(model.members.size()) + " members";
    std::string hint = model.params.trim_option ? "Try" : "Try --trim (drops the nodes no pattern selected last) or";
    hint += " a higher --vigilance";
    if (one)
        hint += ", or a forest (--votes 100 --max-features 0.5 --vigilance 0.95)";
    else if (model.params.max_list_presentations > front::kMemberDefaults.max_list_presentations)
        hint += ", or a lower --max-presentations for its members";
    std::printf("Not converged: %s stopped at %ld presentations. %s.\n", who.c_str(),
                model.params.max_list_presentations, hint.c_str());
}

// The forest's out-of-bag estimate into the model; returns its seconds.
double record_oob(const Dataset &scaled, Model *model)
{
    const auto start = std::chrono::steady_clock::now();
    const front::OutOfBag oob = out_of_bag_scaled(*model, scaled, true);
    model->oob.on = true;
    model->oob.nearest = true;
    model->oob.correct = static_cast<long>(oob.correct);
    model->oob.rows = static_cast<long>(oob.rows);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose, const TrainRun &run)
{
    check_ranges(params, data.cols());
    Model model;
    model.feature_names = data.feature_names;
    model.label_name = data.label_name;
    model.ignored = data.ignored;
    model.classes = data.classes;
    model.scaling = fit_scaling(data, scale);
    model.params = params;
    model.training_patterns = static_cast<long>(data.rows);
    model.shuffle_seed = run.shuffle_seed;
    model.merge_conflicts = run.merge;
    size_t merged = 0;

    Dataset scaled = data;
    apply_scaling(model.scaling, &scaled);
    if (run.forest.on) {
        train_forest(scaled, params, run.forest, run.shuffle_seed, run.votes, run.jobs, run.report, verbose, run.merge,
                     &model);
        const double seconds = run.oob ? record_oob(scaled, &model) : 0;
        if (run.report)
            report_training(model);
        if (run.report && run.oob)
            std::printf("%s, %.1f s\n", oob_text(model.oob, scaled.rows).c_str(), seconds);
        return model;
    }
    for (long k = 0; k < run.votes; ++k) {
        const std::uint64_t member_seed = static_cast<std::uint64_t>(run.shuffle_seed + k);
        const Dataset rows = run.shuffle_seed < 0 ? scaled : scaled.subset(shuffled_rows(scaled.rows, member_seed));
        const std::string who =
            run.votes == 1 ? "Training" : "Member " + std::to_string(k + 1) + " of " + std::to_string(run.votes);
        TrainOutput out;
        if (run.report) {
            TrainingMonitor monitor(verbose, who);
            out = call_train(rows, params, monitor.oflag(), run.merge ? &merged : nullptr);
            if (out.nodes > 0)
                std::printf("%s %s\n", who.c_str(),
                            monitor.summary(out.list_presentations, out.nodes, params.max_list_presentations).c_str());
        } else {
            out = call_train(rows, params, verbose, run.merge ? &merged : nullptr);
        }
        if (out.nodes == 0)
            throw Error("training made no nodes");
        model.members.push_back(std::move(out));
    }
    model.merged_patterns = static_cast<long>(merged);
    if (run.report)
        report_training(model);
    return model;
}

std::vector<double> classify_data(const Model &model, const Dataset &data, const ClassifySettings &settings,
                                  ClassifyCounts *counts, std::vector<char> *by_nearest, std::vector<double> *shares)
{
    Dataset scaled = data;
    apply_scaling(model.scaling, &scaled);
    return classify_scaled(model, scaled, settings, counts, by_nearest, shares);
}

Option unclassified_option()
{
    return {"--unclassified", "HOW", "what becomes of patterns no box takes at the vigilance: 'nearest' "
                                     "classifies them in a second pass at vigilance 0 (the box nearest to "
                                     "them, default), 'unknown' gives them the unknown label"};
}

bool nearest_pass(const Args &args)
{
    const std::string how = args.text("--unclassified", "nearest");
    if (how != "nearest" && how != "unknown")
        throw UsageError("--unclassified: '" + how + "' is neither 'nearest' nor 'unknown'");
    return how == "nearest";
}

long unknown_label(const Args &args, const Model &model)
{
    if (!args.has("--unknown-label"))
        return front::free_unknown_label(model.classes);  // of every member's classes
    std::vector<double> codes;
    for (const ClassName &c : model.classes)
        codes.push_back(c.code);
    const long unknown = args.integer("--unknown-label", -1, INT_MIN, INT_MAX);
    if (std::find(codes.begin(), codes.end(), static_cast<double>(unknown)) != codes.end())
        throw UsageError("--unknown-label " + std::to_string(unknown) +
                         " is a class label of the model; choose a label no class uses");
    // Predictions name their classes: the unknown label's text must not be a name.
    for (const ClassName &c : model.classes)
        if (c.name == std::to_string(unknown))
            throw UsageError("--unknown-label " + std::to_string(unknown) +
                             " is the name of a class of the model; choose a label no class uses");
    return unknown;
}

}  // namespace cli
