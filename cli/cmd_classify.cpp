// quorv classify: a model and a CSV file in, predicted labels out.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "numbers.h"
#include "pipeline.h"
#include "report.h"

#include <climits>
#include <cstdio>
#include <memory>

namespace cli {

Command classify_command()
{
    Command c;
    c.name = "classify";
    c.operands = {"MODEL", "DATA.csv"};
    c.usage = "MODEL DATA.csv [-o PREDICTIONS.csv] [options]";
    c.summary = "predict labels for a CSV file with a model";
    c.description =
        "Scales the rows of DATA.csv as the model was trained, runs the classification\n"
        "plug-in quorv_perf and, with -o, writes one predicted label per row. The data\n"
        "must have the model's feature columns (in any order); when it also has the\n"
        "model's label column, the accuracy, the unclassified share and a confusion matrix are\n"
        "printed.";
    c.options = {
        {"--output", "FILE", "predictions to write: a header line 'label', then one label per row", 'o'},
        {"--vigilance", "V", "vigilance in [0, 1] (default: the value used in training)"},
        {"--unknown-label", "L", "label of patterns no node classifies; must not be a class (default -1)"},
        verbose_option(),
    };
    return c;
}

void read_model_and_data(const std::string &model_path, const std::string &data_path, Model *model,
                         Dataset *data)
{
    *model = read_model(model_path);
    *data = data_for_model(read_csv(data_path), model->feature_names, model->label_name);
}

void run_classify(const Args &args)
{
    args.integer("--unknown-label", -1, INT_MIN, INT_MAX);
    const long verbose = verbose_level(args, 3);
    args.number("--vigilance", 0, is_vigilance, "a number in [0, 1]");
    std::unique_ptr<OutputFile> out;
    if (args.has("--output"))
        out = std::make_unique<OutputFile>(args.text("--output"), args.operands);
    Model model;
    Dataset data;
    read_model_and_data(args.operands[0], args.operands[1], &model, &data);
    const double vigilance = args.number("--vigilance", model.params.vigilance);
    const long unknown = unknown_label(args, model);

    const std::vector<double> predicted = classify_data(model, data, vigilance, unknown, verbose);
    if (data.labelled())
        std::fputs(evaluation_report(data.y, predicted, static_cast<double>(unknown)).c_str(), stdout);
    if (out) {
        std::string text = "label\n";
        for (double label : predicted)
            text += format_double(label) + "\n";
        out->write(text);
        out->commit();
        std::printf("Predictions written to %s: %zu rows\n", visible(out->name()).c_str(), predicted.size());
    }
}

}  // namespace cli
