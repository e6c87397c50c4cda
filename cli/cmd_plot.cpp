// quorv plot: the model's boxes in two features, as SVG.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "model.h"
#include "svg_plot.h"

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
        "class, scaled as the model was trained. DATA.csv must have the model's feature\n"
        "columns; without a label column its points are grey.";
    c.options = {
        {"--features", "I,J", "the two features, by name or 1-based number (default 1,2)"},
        {"--output", "FILE", "SVG file to write (required; '-': standard output)", 'o'},
    };
    return c;
}

void run_plot(const Args &args)
{
    const std::string path = args.text("--output");
    if (path.empty())
        throw UsageError("plot: no SVG file given (-o FILE.svg)");
    OutputFile out(path, {args.operands[0], args.operands[1]});
    Model model;
    Dataset data;
    read_model_and_data(args.operands[0], args.operands[1], &model, &data);
    size_t fx = 0, fy = 0;
    chosen_features(model, args.text("--features", "1,2"), &fx, &fy);
    apply_scaling(model.scaling, &data);
    out.write(svg_plot(model, data, fx, fy));
    out.commit();
    std::printf("Plot written to %s: %zu boxes, %zu patterns, %s against %s\n", visible(out.name()).c_str(),
                model.nodes, data.rows, visible(model.feature_names[fy]).c_str(),
                visible(model.feature_names[fx]).c_str());
}

}  // namespace cli
