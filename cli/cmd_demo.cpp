// quorv demo: the whole job on a bundled dataset, from the CSV file to the
// confusion matrix, with a reproducible split.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "paths.h"
#include "pipeline.h"
#include "report.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

namespace cli {

namespace {

// Uniform in [0, n): the engine's output is fixed by the standard, and the
// draw is ours, so a seed gives the same split everywhere.
size_t draw_below(std::mt19937_64 &rng, size_t n)
{
    const std::uint64_t bound = static_cast<std::uint64_t>(n);
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    std::uint64_t r;
    do
        r = rng();
    while (r >= limit);
    return static_cast<size_t>(r % bound);
}

void shuffle(std::vector<size_t> *v, std::mt19937_64 &rng)
{
    for (size_t i = v->size(); i > 1; --i)
        std::swap((*v)[i - 1], (*v)[draw_below(rng, i)]);
}

// Each class gives round(fraction x its size) patterns to the test part. The
// training part is shuffled (the learner depends on the order and some files
// are sorted by class); the test part keeps the file order.
void stratified_split(const Dataset &data, double fraction, unsigned long seed, std::vector<size_t> *train,
                      std::vector<size_t> *test)
{
    std::mt19937_64 rng(seed);
    for (double label : distinct_labels(data.y)) {
        std::vector<size_t> members;
        for (size_t i = 0; i < data.rows; ++i)
            if (data.y[i] == label)
                members.push_back(i);
        shuffle(&members, rng);
        const size_t held = static_cast<size_t>(std::floor(fraction * static_cast<double>(members.size()) + 0.5));
        test->insert(test->end(), members.begin(), members.begin() + static_cast<long>(held));
        train->insert(train->end(), members.begin() + static_cast<long>(held), members.end());
    }
    std::sort(test->begin(), test->end());
    std::sort(train->begin(), train->end());
    shuffle(train, rng);
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
        "and the confusion matrix. Datasets: the CSV files of the data folder (iris,\n"
        "wine, glass, breast_cancer, digits, ionosphere, sonar, vehicle, satellite).";
    c.options = {
        {"--dataset", "NAME", "dataset NAME.csv of the data folder (default iris)"},
        {"--data-dir", "DIR", "data folder (default: the bundled one)"},
        {"--seed", "S", "seed of the split, a whole number >= 0 (default 1)"},
        {"--test-fraction", "F", "share of each class held out for testing, in (0, 1) (default 0.3)"},
    };
    for (const Option &option : training_options())
        c.options.push_back(option);
    c.options.push_back(verbose_option());
    return c;
}

void run_demo(const Args &args)
{
    const std::string name = args.text("--dataset", "iris");
    const std::string dir = args.text("--data-dir", default_data_dir());
    const unsigned long seed = static_cast<unsigned long>(args.integer("--seed", 1, 0, LONG_MAX));
    const double fraction = args.number("--test-fraction", 0.3);
    if (!(fraction > 0 && fraction < 1))
        throw UsageError("--test-fraction: " + args.text("--test-fraction") + " is not between 0 and 1");
    const TrainParams params = training_params(args);
    const long verbose = verbose_level(args, 4);
    if (name.empty() || name.find('/') != std::string::npos)
        throw UsageError("--dataset: '" + name + "' is not a dataset name (a file NAME.csv of the data folder)");
    const std::string path = dir + "/" + name + ".csv";
    if (!is_file(path))
        throw Error("no dataset '" + name + "': " + path + " does not exist (--data-dir names another folder)");

    const Dataset all = training_data(read_csv(path), args.text("--label-column"));
    std::vector<size_t> train_rows, test_rows;
    stratified_split(all, fraction, seed, &train_rows, &test_rows);
    if (train_rows.empty() || test_rows.empty())
        throw UsageError("--test-fraction " + args.text("--test-fraction", "0.3") + " leaves the " +
                         (train_rows.empty() ? "training" : "test") + " part empty");
    const Dataset train = all.subset(train_rows), test = all.subset(test_rows);

    std::printf("Dataset %s: %s, %s, %s (%s)\n", visible(name).c_str(), count_of(all.rows, "pattern").c_str(),
                count_of(all.cols(), "feature").c_str(),
                count_of(distinct_labels(all.y).size(), "class", "classes").c_str(), visible(path).c_str());
    std::printf("Split (seed %lu, stratified): %zu training patterns, %zu test patterns\n", seed, train.rows,
                test.rows);
    std::printf("Training: vigilance %g, min_size %g, learning_rate %g, epsilon %g%s%s\n", params.vigilance,
                params.min_size, params.learning_rate, params.epsilon, params.trim_option ? ", trimmed" : "",
                args.has("--no-scale") ? ", raw features" : ", features scaled to [0, 1]");
    const Model model = train_model(train, !args.has("--no-scale"), params, verbose);

    std::printf("Classifying the %zu test patterns\n", test.rows);
    const long unknown = free_unknown_label(all.y);
    const std::vector<double> predicted =
        classify_data(model, test, params.vigilance, unknown, std::min(verbose, 3L));
    std::fputs(evaluation_report(test.y, predicted, static_cast<double>(unknown)).c_str(), stdout);
}

}  // namespace cli
