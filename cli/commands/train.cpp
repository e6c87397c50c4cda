// quorv train: a CSV file in, a model file out.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "forest.h"
#include "platform.h"
#include "pipeline.h"
#include "progress.h"
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
        "class labels, whole numbers or names), scales the features, runs the training\n"
        "plug-in quorv_train and writes the model file. Training depends on the order\n"
        "of the rows: --shuffle trains on a seeded random order, --votes N on N of them.\n"
        "For the best accuracy, train a forest:\n"
        "  --votes 100 --max-features 0.5 --vigilance 0.95\n"
        "(100 members, each on a sample of the rows drawn with replacement and half the\n"
        "features, trained in worker processes on all cores; classify takes the class\n"
        "most members give; 4 times the time and memory of 25 members, which are about\n"
        "a point less accurate). --max-features or --max-samples alone leaves the other\n"
        "at 1.0 (all features; as many rows as the data has): a member then differs\n"
        "from the others by its rows. The single model stays the default.\n"
        "A forest whose members draw their rows with replacement also estimates its\n"
        "accuracy out of bag: each training row voted on by the members that did not\n"
        "draw it, in the summary and the model (--no-oob leaves it out).\n"
        "A live line on stderr shows the progress; Ctrl-C stops and writes nothing.\n"
        "DATA.csv '-' is standard input.";
    c.options = {{"--output", "MODEL", "model file to write (required; '-': standard output)", 'o'}};
    for (const Option &option : training_options())
        c.options.push_back(option);
    c.options.push_back(ignore_option());
    for (const Option &option : csv_options())
        c.options.push_back(option);
    c.options.push_back(missing_option());
    for (const Option &option : order_options())
        c.options.push_back(option);
    for (const Option &option : forest_options())
        c.options.push_back(option);
    c.options.push_back(no_oob_option());
    c.options.push_back(verbose_option());
    return c;
}

void run_train(const Args &args)
{
    const std::string path = args.text("--output");
    if (path.empty())
        throw UsageError("train: no model file given (-o MODEL)");
    const TrainParams params = training_params(args);
    TrainRun run = train_run(args);
    const long verbose = verbose_level(args, 4);
    run.forest = forest_run(args, run.votes);
    run.oob = oob_option(args, run.forest);
    // Workers train silently: with --verbose the members train here, one after the other.
    run.jobs = verbose > 0 ? 1 : jobs_option(args);
    OutputFile out(path, {input_identity(args.operands[0])});
    const bool median = missing_median(args);
    CsvFormat format = csv_format(args);
    format.missing = median;
    InterruptGuard guard("no model written");
    Dataset data =
        read_training_data(args.operands[0], args.text("--label-column"), column_list(args.text("--ignore")), format);
    const std::vector<double> medians = median ? fill_with_medians(&data) : std::vector<double>();
    Model model = train_model(data, !args.has("--no-scale"), params, verbose, run);
    model.missing_medians = medians;
    out.write(front::model_file_bytes(model, path));
    out.commit();
    guard.end();
    const size_t nodes = model.total_nodes();
    std::printf("Model written to %s: %s%s, %s, %s, from %s\n", visible(out.name()).c_str(),
                count_of(nodes, "node").c_str(),
                run.votes == 1       ? ""
                : model.forest.on ? (" in a forest of " + std::to_string(run.votes) + " members").c_str()
                                  : (" in " + std::to_string(run.votes) + " voting members").c_str(),
                count_of(model.cols(), "feature").c_str(),
                count_of(model.classes.size(), "class", "classes").c_str(),
                count_of(data.rows, "pattern").c_str());
}

}  // namespace cli
