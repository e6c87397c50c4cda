// quorv demo: the whole job on a bundled dataset, from the CSV file to the
// confusion matrix, with a reproducible split.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "forest.h"
#include "paths.h"
#include "pipeline.h"
#include "platform.h"
#include "report.h"
#include "sampling.h"

#include "front/classes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

namespace cli {

namespace {

// The datasets that are really there: a folder shipped elsewhere (the Windows
// zip) may hold fewer than the source tree. Wrapped to the description's width.
std::string dataset_list()
{
    static const char *const bundled[] = {"iris",       "wine",  "glass",   "breast_cancer", "digits",
                                          "ionosphere", "sonar", "vehicle", "satellite"};
    const std::string dir = default_data_dir();
    std::string text = "Datasets: the CSV files of the data folder (";
    bool any = false;
    for (const char *name : bundled) {
        if (!is_file(join_path(dir, std::string(name) + ".csv")))
            continue;
        const std::string piece = (any ? ", " : "") + std::string(name);
        const size_t line_start = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
        if (text.size() - line_start + piece.size() > 82) {
            text += ",\n";
            text += piece.substr(2);
        } else {
            text += piece;
        }
        any = true;
    }
    return text + (any ? ").\n" : "none found in " + dir + ").\n");
}

}  // namespace

Command demo_command()
{
    Command c;
    c.name = "demo";
    c.usage = "[--dataset NAME] [options]";
    c.summary = "train and test on a bundled dataset (iris by default)";
    c.description =
        "Splits a bundled dataset into training and test patterns (stratified by class,\n"
        "seeded), trains on one part with the training plug-in, classifies the other with\n"
        "the classification plug-in, and prints both plug-ins' summaries, the accuracy\n"
        "and the confusion matrix.\n" +
        dataset_list() +
        "--votes 25 --max-features 0.5 --vigilance 0.95 tries the recommended forest.";
    c.options = {
        {"--dataset", "NAME", "dataset NAME.csv of the data folder (default iris)"},
        {"--data-dir", "DIR", "data folder (default: the bundled one)"},
        {"--seed", "S", "seed of the split, a whole number >= 0 (default 1)"},
        {"--test-fraction", "F", "share of each class held out for testing, in (0, 1) (default 0.3)"},
    };
    for (const Option &option : training_options())
        c.options.push_back(option);
    c.options.push_back({"--votes", "N", "train N models on N shuffles of the training part and let them vote, "
                                         "or a forest of N with the options below (default 1)"});
    for (const Option &option : forest_options())
        c.options.push_back(option);
    c.options.push_back(order_options().back());  // --no-merge
    c.options.push_back(unclassified_option());
    c.options.push_back(verbose_option());
    return c;
}

void run_demo(const Args &args)
{
    const std::string name = args.text("--dataset", "iris");
    const std::string dir = args.text("--data-dir", default_data_dir());
    const std::int64_t seed = seed_option(args);
    const double fraction = args.number("--test-fraction", 0.3);
    if (!(fraction > 0 && fraction < 1))
        throw UsageError("--test-fraction: " + args.text("--test-fraction") + " is not between 0 and 1");
    const TrainParams params = training_params(args);
    const long verbose = verbose_level(args, 4);
    const bool nearest = nearest_pass(args);
    TrainRun run;
    run.votes = args.integer("--votes", 1, 1, 1000);
    if (run.votes > 1)
        run.shuffle_seed = seed;
    run.forest = forest_run(args, run.votes);
    run.merge = !args.has("--no-merge");
    // Workers train silently: with --verbose the members train here, one after the other.
    run.jobs = verbose > 0 ? 1 : jobs_option(args);
    if (name.empty() || name.find('/') != std::string::npos)
        throw UsageError("--dataset: '" + name + "' is not a dataset name (a file NAME.csv of the data folder)");
    const std::string path = join_path(dir, name + ".csv");
    if (!is_file(path))
        throw Error("no dataset '" + name + "': " + path + " does not exist (--data-dir names another folder)");

    const Dataset all = read_training_data(path, args.text("--label-column"));
    std::vector<size_t> train_rows, test_rows;
    stratified_split(all, fraction, static_cast<std::uint64_t>(seed), &train_rows, &test_rows);
    if (train_rows.empty() || test_rows.empty())
        throw UsageError("--test-fraction " + args.text("--test-fraction", "0.3") + " leaves the " +
                         (train_rows.empty() ? "training" : "test") + " part empty");
    const Dataset train = all.subset(train_rows), test = all.subset(test_rows);

    std::printf("Dataset %s: %s, %s, %s (%s)\n", visible(name).c_str(), count_of(all.rows, "pattern").c_str(),
                count_of(all.cols(), "feature").c_str(),
                count_of(distinct_labels(all.y).size(), "class", "classes").c_str(), visible(path).c_str());
    std::printf("Split (seed %s, stratified): %zu training patterns, %zu test patterns\n",
                std::to_string(seed).c_str(), train.rows, test.rows);
    std::printf("Training: vigilance %g, min_size %g, learning_rate %g, epsilon %g%s%s\n", params.vigilance,
                params.min_size, params.learning_rate, params.epsilon, params.trim_option ? ", trimmed" : "",
                args.has("--no-scale") ? ", raw features" : ", features scaled to [0, 1]");
    const Model model = train_model(train, !args.has("--no-scale"), params, verbose, run);

    const long unknown = front::free_unknown_label(all.classes);
    ClassifySettings settings;
    settings.vigilance = params.vigilance;
    settings.unknown_label = unknown;
    settings.nearest = nearest;
    settings.verbose = std::min(verbose, 3L);
    ClassifyCounts counts;
    const std::vector<double> predicted = classify_data(model, test, settings, &counts);
    std::printf("Classified %s\n", counts.text(settings.vigilance, nearest).c_str());
    std::fputs(evaluation_report(test.y, predicted, static_cast<double>(unknown), all.classes).c_str(), stdout);
}

}  // namespace cli
