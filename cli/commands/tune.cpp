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
#include "sampling.h"
#include "tuning.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
        "--max-samples (lists of amounts: 0.3,0.5,0.7) it tunes forests.";
    c.options = {
        {"--output", "MODEL", "train the best setting on all rows and write the model", 'o'},
        {"--vigilance", "GRID", "vigilance values to try (default 0.5:0.95:0.05)"},
        {"--learning-rate", "GRID", "learning rates to try (default 1,0.5)"},
        {"--folds", "K", "number of folds, >= 2 (default 5)"},
        {"--force", "", "run even more than 10000 trainings (settings x folds x voting members)"},
        {"--jobs", "N",
         kWorkerProcesses ? "worker processes (default: one per core)"
                          : "worker processes where there are any (on Windows the trainings run one after the other)"},
    };
    for (const Option &option : training_options())
        if (option.name != "--vigilance" && option.name != "--learning-rate")
            c.options.push_back(option);
    c.options.push_back(ignore_option());
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

struct Setting {
    TrainParams params;
    ForestRun forest;
    double correct = 0, by_boxes = 0, unclassified = 0, nodes = 0, ms = 0, tested = 0;
    std::vector<double> fold_accuracy;
    double mean() const { return tested > 0 ? correct / tested : 0; }
    double spread() const
    {
        double m = 0, s = 0;
        for (double a : fold_accuracy)
            m += a;
        m /= static_cast<double>(fold_accuracy.size());
        for (double a : fold_accuracy)
            s += (a - m) * (a - m);
        return fold_accuracy.size() > 1 ? std::sqrt(s / static_cast<double>(fold_accuracy.size() - 1)) : 0;
    }
};

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

// A grid option's values, each in the range the training plug-in accepts.
std::vector<double> grid(const Args &args, const std::string &name, const std::string &fallback, bool (*fits)(double),
                         const std::string &range)
{
    const std::vector<double> values = parse_grid(args.text(name, fallback), name);
    for (double v : values)
        if (!fits(v))
            throw UsageError(name + ": '" + format_double(v) + "' is not " + range);
    return values;
}

// Refuses, unless forced, a run of more trainings than anyone would wait
// for, before anything is read or allocated for it.
void check_training_count(size_t settings, size_t folds, size_t members, bool forced)
{
    const double trainings = static_cast<double>(settings) * static_cast<double>(folds) * static_cast<double>(members);
    if (forced || trainings <= static_cast<double>(kMostTrainings))
        return;
    char count[64];
    std::snprintf(count, sizeof count, "%.0f", trainings);
    throw UsageError("tune: " + count_of(settings, "setting") + " x " + count_of(folds, "fold") +
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
        try {
            front::parse_amount(items.back(), option, option == "--max-features");
        } catch (const front::Error &e) {
            throw UsageError(e.what());
        }
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

}  // namespace

void run_tune(const Args &args)
{
    // Every option and every grid value is checked before any work.
    const std::vector<double> vigilances =
        grid(args, "--vigilance", "0.5:0.95:0.05", is_vigilance, "a number in [0, 1]");
    const std::vector<double> rates = grid(args, "--learning-rate", "1,0.5", is_learning_rate, "a number in (0, 1]");
    const size_t folds = static_cast<size_t>(args.integer("--folds", 5, 2, 1000));
    const size_t jobs = static_cast<size_t>(args.integer("--jobs", static_cast<long>(usable_cores()), 1, 256));
    const bool nearest = nearest_pass(args);
    TrainRun run = train_run(args);
    const TrainParams base = fixed_training_params(args);
    const bool scale = !args.has("--no-scale");
    const std::vector<std::string> feature_grid = amount_list(args, "--max-features"),
                                   sample_grid = amount_list(args, "--max-samples");
    const bool forest = args.has("--max-features") || args.has("--max-samples") || args.has("--no-bootstrap");
    if (forest && run.votes < 2)
        throw UsageError("--max-features, --max-samples and --no-bootstrap make forests, which need --votes N "
                         "(N >= 2 members)");
    check_training_count(vigilances.size() * rates.size() * feature_grid.size() * sample_grid.size(), folds,
                         static_cast<size_t>(run.votes), args.has("--force"));
    // The output is opened first, as `train` does: a path that cannot be
    // written fails at once, an input is never overwritten, and with "-" the
    // table goes to standard error.
    std::unique_ptr<OutputFile> out;
    if (args.has("--output"))
        out = std::make_unique<OutputFile>(args.text("--output"), std::vector<std::string>{input_identity(args.operands[0])});
    // From here on, a signal that ends the tool says what is lost.
    InterruptGuard guard(out ? "no model written" : "tuning stopped");
    const Dataset data =
        read_training_data(args.operands[0], args.text("--label-column"), column_list(args.text("--ignore")));
    const std::string source = shown_path(args.operands[0]);
    if (folds > data.rows)
        throw UsageError("--folds " + std::to_string(folds) + " is more than the " + std::to_string(data.rows) +
                         " rows of " + source);
    for (double v : vigilances) {
        TrainParams p = base;
        p.vigilance = v;
        check_min_size(p, data.cols());
    }

    std::vector<Setting> settings;
    const size_t smallest_training = data.rows - (data.rows + folds - 1) / folds;  // rows of any k-1 folds, at least
    for (double v : vigilances)
        for (double r : rates)
            for (const std::string &f : feature_grid)
                for (const std::string &m : sample_grid) {
                    Setting s;
                    s.params = base;
                    s.params.vigilance = v;
                    s.params.learning_rate = r;
                    s.forest.on = forest;
                    s.forest.features_text = f;
                    s.forest.samples_text = m;
                    s.forest.features = front::parse_amount(f, "--max-features", true);
                    s.forest.samples = front::parse_amount(m, "--max-samples");
                    s.forest.bootstrap = !args.has("--no-bootstrap");
                    try {
                        s.forest.features.of(data.cols(), "--max-features", "features");
                        s.forest.samples.of(smallest_training, "--max-samples", "rows of the smallest training part");
                    } catch (const front::Error &e) {
                        throw UsageError(e.what());
                    }
                    settings.push_back(s);
                }
    const unsigned long seed = static_cast<unsigned long>(run.shuffle_seed < 0 ? 1 : run.shuffle_seed);
    const std::vector<std::vector<size_t>> parts = stratified_folds(data, folds, seed);
    std::vector<double> classes = distinct_labels(data.y);
    long unknown = -1;
    while (std::binary_search(classes.begin(), classes.end(), static_cast<double>(unknown)))
        --unknown;
    const size_t workers = pool_workers(jobs, settings.size() * folds);
    // Where there are no worker processes, say so rather than count them.
    const std::string how = kWorkerProcesses ? count_of(workers, "worker") : "one training after the other";
    std::printf("Tuning on %s: %s, %s, %s; %zu-fold stratified cross-validation (seed %lu), %s, %s\n",
                visible(source).c_str(), count_of(data.rows, "pattern").c_str(),
                count_of(data.cols(), "feature").c_str(), count_of(data.classes.size(), "class", "classes").c_str(),
                folds, seed, count_of(settings.size(), "setting").c_str(), how.c_str());
    std::fflush(stdout);

    // Threads inside the plug-ins would only compete with the other workers.
    if (workers > 1 && !std::getenv("QUORV_THREADS")) {
#ifdef _WIN32
        _putenv_s("QUORV_THREADS", "1");
#else
        setenv("QUORV_THREADS", "1", 0);
#endif
    }
    TrainRun quiet = run;
    quiet.report = false;
    const auto task = [&](size_t t) {
        const Setting &s = settings[t / folds];
        const size_t f = t % folds;
        std::vector<size_t> train_rows;
        for (size_t g = 0; g < folds; ++g)
            if (g != f)
                train_rows.insert(train_rows.end(), parts[g].begin(), parts[g].end());
        std::sort(train_rows.begin(), train_rows.end());  // file order, as `train` sees it
        const auto start = std::chrono::steady_clock::now();
        TrainRun one = quiet;
        one.forest = s.forest;
        const Model model = train_model(data.subset(train_rows), scale, s.params, 0, one);
        const double micros = static_cast<double>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
        const Dataset test = data.subset(parts[f]);
        ClassifySettings cs;
        cs.vigilance = s.params.vigilance;
        cs.unknown_label = unknown;
        cs.nearest = nearest;
        ClassifyCounts counts;
        std::vector<char> second;
        const std::vector<double> predicted = classify_data(model, test, cs, &counts, &second);
        double correct = 0, by_boxes = 0;
        for (size_t i = 0; i < test.rows; ++i) {
            correct += predicted[i] == test.y[i];
            by_boxes += predicted[i] == test.y[i] && !second[i];
        }
        const double nodes = static_cast<double>(model.total_nodes());
        Message r;
        r.set("correct", correct);
        r.set("correct_by_boxes", by_boxes);
        r.set("unclassified", static_cast<double>(counts.patterns - counts.by_boxes));
        r.set("nodes", nodes);
        r.set("tested", static_cast<double>(test.rows));
        r.set("train_us", micros);
        return r;
    };
    const bool live = stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    size_t done_count = 0;
    const size_t total = settings.size() * folds * static_cast<size_t>(run.votes);  // member trainings
    const auto done = [&](size_t t, const Message &r) {
        Setting &s = settings[t / folds];
        const double correct = r.number("correct"), tested = r.number("tested");
        s.correct += correct;
        s.by_boxes += r.number("correct_by_boxes");
        s.unclassified += r.number("unclassified");
        s.nodes += r.number("nodes") / static_cast<double>(folds);
        s.ms += r.number("train_us") / 1000 / static_cast<double>(folds);
        s.tested += tested;
        s.fold_accuracy.push_back(tested > 0 ? correct / tested : 0);
        done_count += static_cast<size_t>(run.votes);
        if (live)
            draw_count("tune", done_count, total, "trainings done", start);
    };
    run_in_workers(settings.size() * folds, jobs, task, done);

    size_t best = 0;
    for (size_t i = 1; i < settings.size(); ++i)
        if (settings[i].mean() > settings[best].mean() ||
            (settings[i].mean() == settings[best].mean() && settings[i].nodes < settings[best].nodes))
            best = i;
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
                    num(s.params.learning_rate).c_str(), amounts.c_str(), pct(s.mean()).c_str(), pct(s.spread()).c_str(),
                    pct(s.tested > 0 ? s.by_boxes / s.tested : 0).c_str(),
                    pct(s.tested > 0 ? s.unclassified / s.tested : 0).c_str(), num(s.nodes, "%.1f").c_str(),
                    num(s.ms, "%.1f").c_str(), i == best ? "  <- best" : "");
    }
    const Setting &b = settings[best];
    const std::string best_forest =
        forest ? " --max-features " + b.forest.features_text + " --max-samples " + b.forest.samples_text : "";
    std::printf("\nBest: --vigilance %s --learning-rate %s%s: %s accuracy (spread %s over %zu folds)%s\n",
                num(b.params.vigilance).c_str(), num(b.params.learning_rate).c_str(), best_forest.c_str(),
                pct(b.mean()).c_str(),
                pct(b.spread()).c_str(), folds,
                nearest ? ", the unclassified given the nearest box" : ", unclassified counted as wrong");
    std::printf("Accuracy: the share of patterns given their true class; boxes only: the same without the "
                "nearest-box pass;\nunclassified: the share no box took at the vigilance.\n");

    if (!out)
        return;
    std::printf("\nTraining the best setting on all %zu patterns\n", data.rows);
    run.forest = b.forest;
    run.jobs = jobs;
    const Model model = train_model(data, scale, b.params, 0, run);
    out->write(model_text(model));
    out->commit();
    guard.end();
    std::printf("Model written to %s\n", visible(out->name()).c_str());
}

}  // namespace cli
