// Training and classification stages on top of the plug-in calls.
#include "pipeline.h"

#include "error.h"
#include "numbers.h"
#include "plugins.h"
#include "progress.h"
#include "sampling.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <unordered_set>

namespace cli {

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
        {"--max-presentations", "N", "most list presentations of the training set, >= 1 (default 100)"},
        {"--trim", "", "leave out nodes that no pattern of the last presentation selected"},
    };
}

bool is_vigilance(double v) { return v >= 0 && v <= 1; }

bool is_learning_rate(double v) { return v > 0 && v <= 1; }

TrainParams fixed_training_params(const Args &args)
{
    TrainParams p;
    // The upper end, M*(1-vigilance), waits for the data (check_min_size).
    p.min_size = args.number("--min-size", p.min_size, [](double v) { return v >= 0 && std::isfinite(v); },
                             "a number >= 0");
    p.epsilon = args.number("--epsilon", p.epsilon, [](double v) { return v >= 0 && std::isfinite(v); },
                            "a finite number >= 0");
    p.max_list_presentations = args.integer("--max-presentations", p.max_list_presentations, 1, INT_MAX);
    p.trim_option = args.has("--trim") ? 1 : 0;
    return p;
}

TrainParams training_params(const Args &args)
{
    const double vigilance = args.number("--vigilance", TrainParams().vigilance, is_vigilance, "a number in [0, 1]");
    TrainParams p = fixed_training_params(args);
    p.vigilance = vigilance;
    p.learning_rate = args.number("--learning-rate", p.learning_rate, is_learning_rate, "a number in (0, 1]");
    return p;
}

void check_min_size(const TrainParams &params, size_t features)
{
    // The training plug-in's own bound, computed as it does.
    const double bound = static_cast<double>(features) * (1.0 - params.vigilance);
    if (!(params.min_size <= bound))
        throw UsageError("--min-size: " + format_double(params.min_size) + " is above " + format_double(bound) +
                         ", the largest box size M*(1-vigilance) for " + std::to_string(features) +
                         (features == 1 ? " feature" : " features") + " at vigilance " +
                         format_double(params.vigilance));
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
    };
}

TrainRun train_run(const Args &args)
{
    TrainRun run;
    run.votes = args.integer("--votes", 1, 1, 1000);
    const long seed = args.integer("--seed", 1, 0, LONG_MAX / 2);
    if (args.has("--shuffle") || run.votes > 1)
        run.shuffle_seed = seed;
    else if (args.has("--seed"))
        throw UsageError("--seed needs --shuffle or --votes");
    return run;
}

Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose, const TrainRun &run)
{
    check_min_size(params, data.cols());
    Model model;
    model.feature_names = data.feature_names;
    model.label_name = data.label_name;
    model.ignored = data.ignored;
    model.classes = data.classes;
    model.scaling = fit_scaling(data, scale);
    model.params = params;
    model.training_patterns = static_cast<long>(data.rows);
    model.shuffle_seed = run.shuffle_seed;

    Dataset scaled = data;
    apply_scaling(model.scaling, &scaled);
    if (run.forest.on) {
        train_forest(scaled, params, run.forest, run.shuffle_seed, run.votes, run.jobs, run.report, verbose, &model);
        return model;
    }
    for (long k = 0; k < run.votes; ++k) {
        // Unsigned: demo's --seed takes any long, and S + k must not overflow.
        const unsigned long member_seed = static_cast<unsigned long>(run.shuffle_seed) + static_cast<unsigned long>(k);
        const Dataset rows = run.shuffle_seed < 0 ? scaled : scaled.subset(shuffled_rows(scaled.rows, member_seed));
        const std::string who =
            run.votes == 1 ? "Training" : "Member " + std::to_string(k + 1) + " of " + std::to_string(run.votes);
        TrainOutput out;
        if (run.report) {
            TrainingMonitor monitor(verbose, who);
            out = call_train(rows, params, monitor.oflag());
            if (out.nodes > 0)
                std::printf("%s %s\n", who.c_str(),
                            monitor.summary(out.list_presentations, out.nodes, params.max_list_presentations).c_str());
        } else {
            out = call_train(rows, params, verbose);
        }
        if (out.nodes == 0)
            throw Error("training made no nodes");
        model.members.push_back(std::move(out));
    }
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

long free_unknown_label(const std::vector<double> &classes, const std::vector<ClassName> &names)
{
    const std::vector<double> sorted = distinct_labels(classes);
    // Predictions name their classes: the label's text must not be a class's name either.
    std::unordered_set<std::string> taken;
    for (const ClassName &c : names)
        taken.insert(c.name);
    long unknown = -1;
    while (std::binary_search(sorted.begin(), sorted.end(), static_cast<double>(unknown)) ||
           taken.count(std::to_string(unknown)))
        --unknown;
    return unknown;
}

long unknown_label(const Args &args, const Model &model)
{
    std::vector<double> codes;  // of every member's classes
    for (const ClassName &c : model.classes)
        codes.push_back(c.code);
    if (!args.has("--unknown-label"))
        return free_unknown_label(codes, model.classes);
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
