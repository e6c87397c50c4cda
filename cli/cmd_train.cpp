// quorv train: a CSV file in, a model file out.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "pipeline.h"
#include "report.h"

#include <cstdio>

namespace cli {

Command train_command()
{
    Command c;
    c.name = "train";
    c.operands = {"DATA.csv"};
    c.usage = "DATA.csv -o MODEL [options]";
    c.summary = "learn a model from a labelled CSV file";
    c.description =
        "Reads DATA.csv (a header row, then one pattern per row; the label column holds\n"
        "whole-number class labels), scales the features, runs the training plug-in\n"
        "quorv_train and writes the model file.";
    c.options = {{"--output", "MODEL", "model file to write (required; '-': standard output)", 'o'}};
    for (const Option &option : training_options())
        c.options.push_back(option);
    c.options.push_back(verbose_option());
    return c;
}

void run_train(const Args &args)
{
    const std::string path = args.text("--output");
    if (path.empty())
        throw UsageError("train: no model file given (-o MODEL)");
    const TrainParams params = training_params(args);
    const long verbose = verbose_level(args, 4);
    OutputFile out(path, {args.operands[0]});
    const Dataset data = training_data(read_csv(args.operands[0]), args.text("--label-column"));

    const Model model = train_model(data, !args.has("--no-scale"), params, verbose);
    out.write(model_text(model));
    out.commit();
    std::printf("Model written to %s: %s, %s, %s, from %s\n", visible(out.name()).c_str(),
                count_of(model.nodes, "node").c_str(), count_of(model.cols(), "feature").c_str(),
                count_of(distinct_labels(model.labels).size(), "class", "classes").c_str(),
                count_of(data.rows, "pattern").c_str());
}

}  // namespace cli
