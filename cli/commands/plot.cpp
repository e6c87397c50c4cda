// quorv plot: the model's boxes in two features, as SVG.
#include "commands.h"

#include "csv.h"
#include "dataset.h"
#include "error.h"
#include "files.h"
#include "model.h"
#include "forest.h"
#include "pipeline.h"
#include "platform.h"
#include "plugins.h"
#include "svg_plot.h"

#include "front/classes.h"

#include <cstdio>

namespace cli {

namespace {

// "I,J": two features of the model, each a name or a 1-based number.
void chosen_features(const Model &model, const std::string &text, size_t *fx, size_t *fy)
{
    const size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos)
        throw UsageError("--features: '" + text + "' is not two features I,J");
    size_t *slots[] = {fx, fy};
    const std::string parts[] = {text.substr(0, comma), text.substr(comma + 1)};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = find_column(model.feature_names, parts[i]);
        if (*slots[i] == std::string::npos)
            throw UsageError("--features: '" + parts[i] + "' is neither a feature name of the model nor a number from 1 to " +
                             std::to_string(model.cols()));
    }
}

// The node each pattern selects, from the classification plug-in's own trace
// of its choices ("Pattern #3 selected by node #7 ...").
void record_winner(const std::string &text, void *context)
{
    auto *state = static_cast<std::pair<std::string, std::vector<char> *> *>(context);
    state->first += text;
    for (size_t end; (end = state->first.find('\n')) != std::string::npos;) {
        int pattern = 0, node = 0;
        if (std::sscanf(state->first.c_str(), "   Pattern #%d selected by node #%d", &pattern, &node) == 2 && node >= 1 &&
            static_cast<size_t>(node) <= state->second->size())
            (*state->second)[static_cast<size_t>(node - 1)] = 1;
        state->first.erase(0, end + 1);
    }
}

// The first member's labels for `scaled` at the model's vigilance, and which
// of its nodes some pattern selected.
std::vector<double> classify_with_winners(const Model &model, const Dataset &scaled, long unknown,
                                          std::vector<char> *active)
{
    active->assign(model.members.at(0).nodes, 0);
    std::pair<std::string, std::vector<char> *> state("", active);
    front::Console console;
    console.listener = record_winner;
    console.context = &state;
    return call_perf(model, 0, all_patterns(scaled), model.params.vigilance, unknown, 3, console);
}

}  // namespace

Command plot_command()
{
    Command c;
    c.name = "plot";
    c.operands = {"MODEL", "DATA.csv"};
    c.usage = "MODEL DATA.csv -o FILE.svg [--features I,J]";
    c.summary = "draw a model's boxes in two features as SVG";
    c.description =
        "Draws the model's boxes (one rectangle per node, coloured by its label) in the\n"
        "plane of two features, with the rows of DATA.csv as points coloured by their\n"
        "class, on axes in the data's own units. The rows are classified at the model's\n"
        "vigilance: boxes no row selects are drawn dashed, and rows given another class\n"
        "than their own are crossed out. DATA.csv must have the model's feature columns;\n"
        "without a label column its points are grey. A voting model shows one member,\n"
        "the first unless --member K; a forest's members each see their own features.";
    c.options = {
        {"--features", "I,J", "the two features, by name or 1-based number (default 1,2)"},
        {"--member", "K", "the voting member whose boxes to draw, 1 to the members (default 1; a forest "
                          "needs it: its members see other features)"},
        {"--active-only", "", "draw only the boxes that some row of DATA.csv selects (default: all, the "
                              "others dashed)"},
        {"--output", "FILE", "SVG file to write (required; '-': standard output)", 'o'},
    };
    c.options.push_back(unclassified_option());
    for (const Option &option : csv_options())
        c.options.push_back(option);
    return c;
}

void run_plot(const Args &args)
{
    const std::string path = args.text("--output");
    if (path.empty())
        throw UsageError("plot: no SVG file given (-o FILE.svg)");
    OutputFile out(path, {args.operands[0], input_identity(args.operands[1])});
    Model model;
    Dataset data;
    read_model_and_data(args.operands[0], args.operands[1], &model, &data, {}, {}, csv_format(args));
    const size_t members = model.members.size();
    if (!args.has("--member") && model.forest.on)
        throw UsageError("plot: " + args.operands[0] + " is a forest of " + std::to_string(members) +
                         " members, each on its own features; choose the one to draw with --member K (1 to " +
                         std::to_string(members) + ")");
    const size_t member = static_cast<size_t>(args.integer("--member", 1, 1, static_cast<long>(members))) - 1;
    const std::vector<size_t> used = model.members[member].features;  // a forest member's own
    if (members > 1)
        model = model.member(member);
    if (!used.empty())
        data = feature_columns(data, used);
    size_t fx = 0, fy = 0;
    chosen_features(model, args.text("--features", "1,2"), &fx, &fy);
    const double unknown = static_cast<double>(front::free_unknown_label(model.classes));  // as classify's
    // The labels classify gives, its nearest-box pass included (front/policy.h
    // through classify_data), so that the crosses count what classify counts.
    ClassifySettings settings;
    settings.vigilance = model.params.vigilance;
    settings.unknown_label = static_cast<long>(unknown);
    settings.nearest = nearest_pass(args);
    PlotOptions options;
    options.predicted = classify_data(model, data, settings, nullptr, &options.by_nearest);
    apply_scaling(model.scaling, &data);
    options.title = args.operands[0] + ": " + model.feature_names[fy] + " against " + model.feature_names[fx] +
                    (members > 1 ? " (member " + std::to_string(member + 1) + " of " + std::to_string(members) + ")"
                                 : "");
    options.unknown_label = unknown;
    classify_with_winners(model, data, static_cast<long>(unknown), &options.active);  // which boxes the first pass selects
    options.active_only = args.has("--active-only");
    out.write(svg_plot(model, data, fx, fy, options));
    out.commit();
    std::printf("Plot written to %s: %zu boxes, %zu patterns, %s against %s\n", visible(out.name()).c_str(),
                model.members[0].nodes, data.rows, visible(model.feature_names[fy]).c_str(),
                visible(model.feature_names[fx]).c_str());
}

}  // namespace cli
