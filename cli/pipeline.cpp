// Training and classification stages on top of the plug-in calls.
#include "pipeline.h"

#include "error.h"
#include "numbers.h"
#include "plugins.h"

#include <algorithm>
#include <climits>
#include <cmath>

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

TrainParams training_params(const Args &args)
{
    TrainParams p;
    p.vigilance = args.number("--vigilance", p.vigilance, is_vigilance, "a number in [0, 1]");
    // The upper end, M*(1-vigilance), waits for the data (check_min_size).
    p.min_size = args.number("--min-size", p.min_size, [](double v) { return v >= 0 && std::isfinite(v); },
                             "a number >= 0");
    p.learning_rate = args.number("--learning-rate", p.learning_rate, [](double v) { return v > 0 && v <= 1; },
                                  "a number in (0, 1]");
    p.epsilon = args.number("--epsilon", p.epsilon, [](double v) { return v >= 0 && std::isfinite(v); },
                            "a finite number >= 0");
    p.max_list_presentations = args.integer("--max-presentations", p.max_list_presentations, 1, INT_MAX);
    p.trim_option = args.has("--trim") ? 1 : 0;
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

Option verbose_option()
{
    return {"--verbose", "N", "plug-in console detail: 0 silent, 1 summary (default), 2 and up add a "
                              "trace (training up to 4, classification up to 3)"};
}

long verbose_level(const Args &args, long most) { return args.integer("--verbose", 1, 0, most); }

Model train_model(const Dataset &data, bool scale, const TrainParams &params, long verbose)
{
    check_min_size(params, data.cols());
    Model model;
    model.feature_names = data.feature_names;
    model.label_name = data.label_name;
    model.scaling = fit_scaling(data, scale);
    model.params = params;
    model.training_patterns = static_cast<long>(data.rows);

    Dataset scaled = data;
    apply_scaling(model.scaling, &scaled);
    TrainOutput out = call_train(scaled, params, verbose);
    if (out.nodes == 0)
        throw Error("training made no nodes");
    model.nodes = out.nodes;
    model.templates = std::move(out.templates);
    model.labels = std::move(out.labels);
    model.list_presentations = out.list_presentations;
    return model;
}

std::vector<double> classify_data(const Model &model, const Dataset &data, double vigilance, long unknown_label,
                                  long verbose)
{
    Dataset scaled = data;
    apply_scaling(model.scaling, &scaled);
    return call_perf(model, scaled, vigilance, unknown_label, verbose);
}

long free_unknown_label(const std::vector<double> &classes)
{
    const std::vector<double> sorted = distinct_labels(classes);
    long unknown = -1;
    while (std::binary_search(sorted.begin(), sorted.end(), static_cast<double>(unknown)))
        --unknown;
    return unknown;
}

long unknown_label(const Args &args, const Model &model)
{
    if (!args.has("--unknown-label"))
        return free_unknown_label(model.labels);
    const long unknown = args.integer("--unknown-label", -1, INT_MIN, INT_MAX);
    if (std::find(model.labels.begin(), model.labels.end(), static_cast<double>(unknown)) != model.labels.end())
        throw UsageError("--unknown-label " + std::to_string(unknown) +
                         " is a class label of the model; choose a label no class uses");
    return unknown;
}

}  // namespace cli
