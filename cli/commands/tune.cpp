// quorv tune: seeded, stratified k-fold cross-validation over a grid of
// settings, on all cores; prints a table and can train the best setting.
#include "commands.h"

#include "error.h"
#include "files.h"
#include "numbers.h"
#include "platform.h"
#include "forest.h"
#include "pipeline.h"
#include "pool.h"
#include "progress.h"
#include "report.h"
#include "tuning.h"

#include "front/missing.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace cli {

Command tune_command()
{
    Command c;
    c.name = "tune";
    c.operands = {"DATA.csv"};
    c.usage = "DATA.csv [-o MODEL] [options]";
    c.summary = "compare settings by cross-validation and train the best";
    c.description =
        "Splits the rows of DATA.csv into k folds (stratified by class, seeded), and for\n"
        "every setting of the grid trains on k-1 folds and classifies the k-th, k times.\n"
        "Prints each setting's mean accuracy, its spread (standard deviation over the\n"
        "folds), the share no box took at the vigilance, the nodes and the training\n"
        "time; with -o, trains the best setting on all rows and writes the model.\n"
        "Grids: a value, a list V1,V2,... or FROM:TO:STEP. The folds run in worker\n"
        "processes, one per core (--jobs). DATA.csv '-' is standard input, read once\n"
        "and kept in memory for all the trainings. More than 10000 trainings (settings x\n"
        "folds x voting members) need --force. With --votes N and --max-features or\n"
        "--max-samples (lists of amounts: 0.3,0.5,0.7) it tunes forests; --oob ranks\n"
        "forests by their out-of-bag estimate instead, one training per setting.";
    c.options = {
        {"--output", "MODEL", "train the best setting on all rows and write the model", 'o'},
        {"--vigilance", "GRID", "vigilance values to try (default 0.5:0.95:0.05)"},
        {"--learning-rate", "GRID", "learning rates to try (default 1,0.5)"},
        {"--folds", "K", "number of folds, >= 2 (default 5)"},
        {"--oob", "", "forest: rank settings by the out-of-bag estimate of one forest trained on all rows "
                      "(each row voted on by the members that did not draw it) instead of folds"},
        {"--force", "", "run even more than 10000 trainings (settings x folds x voting members)"},
        {"--jobs", "N",
         kWorkerProcesses ? "worker processes (default: one per core)"
                          : "worker processes where there are any (on Windows the trainings run one after the other)"},
    };
    for (const Option &option : training_options())
        if (option.name != "--vigilance" && option.name != "--learning-rate")
            c.options.push_back(option);
    c.options.push_back(ignore_option());
    for (const Option &option : csv_options())
        c.options.push_back(option);
    c.options.push_back(missing_option());
    for (const Option &option : order_options())
        c.options.push_back(option);
    c.options.push_back({"--max-features", "LIST", "forest members' features to try, amounts separated by commas "
                                                   "(0.3,0.5,0.7; 2,4: counts; sqrt, log2; default 1.0)"});
    c.options.push_back({"--max-samples", "LIST", "forest members' rows to try, as --max-features (default 1.0)"});
    c.options.push_back({"--no-bootstrap", "", "forest: draw each member's rows without replacement"});
    c.options.push_back(unclassified_option());
    return c;
}

namespace {

// Trainings a tuning runs without --force.
constexpr size_t kMostTrainings = 10000;

std::string pct(double share)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", 100 * share);
    return text;
}

std::string num(double v, const char *format = "%g")
{
    char text[32];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// A grid option's values, each checked as the option's single value would be.
std::vector<double> grid(const Args &args, const std::string &name, const std::string &fallback,
                         double TrainParams::*parameter)
{
    const std::vector<double> values = parse_grid(args.text(name, fallback), name);
    for (double v : values) {
        TrainParams p;
        p.*parameter = v;
        check_grid_value(p, v);
    }
    return values;
}

// Refuses, unless forced, a run of more trainings than anyone would wait
// for, before anything is read or allocated for it. `folds` 0: one training
// per setting (--oob).
void check_training_count(size_t settings, size_t folds, size_t members, bool forced)
{
    const double trainings =
        static_cast<double>(settings) * static_cast<double>(std::max<size_t>(folds, 1)) * static_cast<double>(members);
    if (forced || trainings <= static_cast<double>(kMostTrainings))
        return;
    char count[64];
    std::snprintf(count, sizeof count, "%.0f", trainings);
    throw UsageError("tune: " + count_of(settings, "setting") + (folds ? " x " + count_of(folds, "fold") : "") +
                     (members > 1 ? " x " + count_of(members, "member") : std::string()) + " make " + count +
                     " trainings, more than " + std::to_string(kMostTrainings) + "; --force runs them all");
}

// "0.3,0.5,0.7": amounts of a forest option, refused as the option's usage error.
std::vector<std::string> amount_list(const Args &args, const std::string &option)
{
    const std::string text = args.text(option, "1.0");
    std::vector<std::string> items;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        forest_amount(items.back(), option);
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// The options, every one and every grid value checked before any work.
struct TuneOptions {
    std::vector<double> vigilances, rates;
    std::vector<std::string> feature_grid, sample_grid;
    TrainParams base;  // the parameters but the grids'
    bool forest = false;
    bool oob = false;  // ranked by the out-of-bag estimate, not by folds
    CrossValidation cv;
};

TuneOptions tune_options(const Args &args)
{
    TuneOptions o;
    o.vigilances = grid(args, "--vigilance", "0.5:0.95:0.05", &TrainParams::vigilance);
    o.rates = grid(args, "--learning-rate", "1,0.5", &TrainParams::learning_rate);
    o.cv.folds = static_cast<size_t>(args.integer("--folds", 5, 2, 1000));
    o.cv.jobs = jobs_option(args);
    o.cv.nearest = nearest_pass(args);
    o.cv.run = train_run(args);
    o.cv.seed = static_cast<std::uint64_t>(o.cv.run.shuffle_seed < 0 ? 1 : o.cv.run.shuffle_seed);
    o.base = fixed_training_params(args);
    o.cv.scale = !args.has("--no-scale");
    o.feature_grid = amount_list(args, "--max-features");
    o.sample_grid = amount_list(args, "--max-samples");
    o.forest = forest_asked(args, o.cv.run.votes);
    o.oob = args.has("--oob");
    if (o.oob && (!o.forest || args.has("--no-bootstrap")))
        throw UsageError("--oob ranks forests whose members draw their rows with replacement: give --votes N with "
                         "--max-features or --max-samples, without --no-bootstrap");
    if (o.oob && args.has("--folds"))
        throw UsageError("--oob ranks by the out-of-bag estimate, without folds: give --folds K or --oob, not both");
    check_training_count(o.vigilances.size() * o.rates.size() * o.feature_grid.size() * o.sample_grid.size(),
                         o.oob ? 0 : o.cv.folds, static_cast<size_t>(o.cv.run.votes), args.has("--force"));
    return o;
}

// Every setting of the grids, checked against the data: min_size for its
// vigilance, and a forest's amounts out of any training part.
std::vector<Setting> grid_settings(const TuneOptions &o, const Dataset &data, bool bootstrap)
{
    for (double v : o.vigilances) {
        TrainParams p = o.base;
        p.vigilance = v;
        check_ranges(p, data.cols());
    }
    std::vector<Setting> settings;
    const size_t folds = o.cv.folds;
    // Rows of any k-1 folds, at least; all of them for --oob.
    const size_t smallest_training = o.oob ? data.rows : data.rows - (data.rows + folds - 1) / folds;
    for (double v : o.vigilances)
        for (double r : o.rates)
            for (const std::string &f : o.feature_grid)
                for (const std::string &m : o.sample_grid) {
                    Setting s;
                    s.params = o.base;
                    s.params.vigilance = v;
                    s.params.learning_rate = r;
                    s.forest = forest_setting(f, m, bootstrap);
                    s.forest.on = o.forest;
                    if (o.forest)
                        member_counts(s.forest, s.params, smallest_training, data.cols(),
                                      o.oob ? "rows" : "rows of the smallest training part");
                    settings.push_back(s);
                }
    return settings;
}

// The best mean accuracy, the fewest nodes among equals, the first of those.
size_t best_setting(const std::vector<Setting> &settings)
{
    size_t best = 0;
    for (size_t i = 1; i < settings.size(); ++i)
        if (settings[i].mean() > settings[best].mean() ||
            (settings[i].mean() == settings[best].mean() && settings[i].nodes < settings[best].nodes))
            best = i;
    return best;
}

// `folds` 0: each setting's out-of-bag estimate, of which there is no spread.
void print_table(const std::vector<Setting> &settings, size_t best, bool forest, size_t folds, bool nearest)
{
    std::printf("\n vigilance  learning_rate%s   accuracy    spread  boxes only  unclassified     nodes   train ms\n",
                forest ? "  max_features  max_samples" : "");
    for (size_t i = 0; i < settings.size(); ++i) {
        const Setting &s = settings[i];
        const std::string amounts =
            forest ? " " + std::string(13 - std::min<size_t>(13, s.forest.features_text.size()), ' ') +
                         s.forest.features_text + " " +
                         std::string(12 - std::min<size_t>(12, s.forest.samples_text.size()), ' ') +
                         s.forest.samples_text
                   : "";
        std::printf("%10s %14s%s %10s %9s %11s %13s %9s %10s%s\n", num(s.params.vigilance).c_str(),
                    num(s.params.learning_rate).c_str(), amounts.c_str(), pct(s.mean()).c_str(),
                    folds ? pct(s.spread()).c_str() : "-",
                    pct(s.tested > 0 ? s.by_boxes / s.tested : 0).c_str(),
                    pct(s.tested > 0 ? s.unclassified / s.tested : 0).c_str(), num(s.nodes, "%.1f").c_str(),
                    num(s.ms, "%.1f").c_str(), i == best ? "  <- best" : "");
    }
    const Setting &b = settings[best];
    const std::string best_forest =
        forest ? " --max-features " + b.forest.features_text + " --max-samples " + b.forest.samples_text : "";
    const std::string how = folds ? "spread " + pct(b.spread()) + " over " + count_of(folds, "fold")
                                  : "out of bag, over " + count_of(static_cast<size_t>(b.tested), "pattern");
    std::printf("\nBest: --vigilance %s --learning-rate %s%s: %s accuracy (%s)%s\n", num(b.params.vigilance).c_str(),
                num(b.params.learning_rate).c_str(), best_forest.c_str(), pct(b.mean()).c_str(), how.c_str(),
                nearest ? ", the unclassified given the nearest box" : ", unclassified counted as wrong");
    std::printf("Accuracy: the share of patterns given their true class%s; boxes only: the same without the "
                "nearest-box pass;\nunclassified: the share no box took at the vigilance.\n",
                folds ? "" : " by the members that did not draw them");
}

}  // namespace

void run_tune(const Args &args)
{
    const TuneOptions o = tune_options(args);
    // The output is opened first, as `train` does: a path that cannot be
    // written fails at once, an input is never overwritten, and with "-" the
    // table goes to standard error.
    std::unique_ptr<OutputFile> out;
    if (args.has("--output"))
        out = std::make_unique<OutputFile>(args.text("--output"), std::vector<std::string>{input_identity(args.operands[0])});
    // From here on, a signal that ends the tool says what is lost.
    InterruptGuard guard(out ? "no model written" : "tuning stopped");
    const bool median = missing_median(args);
    CsvFormat format = csv_format(args);
    format.missing = median;
    Dataset data =
        read_training_data(args.operands[0], args.text("--label-column"), column_list(args.text("--ignore")), format);
    // Each fold fills its gaps with its own training rows' medians (held-out
    // values would leak into training); the model written, with all rows'.
    const std::vector<double> medians = median ? training_medians(data) : std::vector<double>();
    const std::string source = shown_path(args.operands[0]);
    if (o.cv.folds > data.rows)
        throw UsageError("--folds " + std::to_string(o.cv.folds) + " is more than the " + std::to_string(data.rows) +
                         " rows of " + source);
    std::vector<Setting> settings = grid_settings(o, data, !args.has("--no-bootstrap"));
    // With --oob the members of each setting's one forest share the workers.
    const size_t workers = pool_workers(o.cv.jobs, o.oob ? static_cast<size_t>(o.cv.run.votes)
                                                          : settings.size() * o.cv.folds);
    // Where there are no worker processes, say so rather than count them.
    const std::string how = kWorkerProcesses ? count_of(workers, "worker") : "one training after the other";
    const std::string ranking = o.oob ? "out-of-bag estimates of forests trained on all rows"
                                      : std::to_string(o.cv.folds) + "-fold stratified cross-validation";
    std::printf("Tuning on %s: %s, %s, %s; %s (seed %s), %s, %s\n", visible(source).c_str(),
                count_of(data.rows, "pattern").c_str(), count_of(data.cols(), "feature").c_str(),
                count_of(data.classes.size(), "class", "classes").c_str(), ranking.c_str(),
                std::to_string(o.cv.seed).c_str(), count_of(settings.size(), "setting").c_str(), how.c_str());
    std::fflush(stdout);
    CrossValidation cv = o.cv;
    cv.fill_missing = median;
    if (o.oob) {
        // Every row trains each forest, as in `train`: all rows' medians.
        front::fill_missing(medians, data.x.data(), data.rows);
        rank_out_of_bag(data, cv, &settings);
    } else {
        cross_validate(data, cv, &settings);
    }
    const size_t best = best_setting(settings);
    print_table(settings, best, o.forest, o.oob ? 0 : o.cv.folds, o.cv.nearest);
    if (!out)
        return;
    std::printf("\nTraining the best setting on all %zu patterns\n", data.rows);
    TrainRun run = o.cv.run;
    run.forest = settings[best].forest;
    run.jobs = o.cv.jobs;
    front::fill_missing(medians, data.x.data(), data.rows);
    run.oob = oob_option(args, run.forest);  // as `train` records it
    Model model = train_model(data, o.cv.scale, settings[best].params, 0, run);
    model.missing_medians = medians;
    out->write(front::model_file_bytes(model, args.text("--output")));
    out->commit();
    guard.end();
    std::printf("Model written to %s\n", visible(out->name()).c_str());
}

}  // namespace cli
