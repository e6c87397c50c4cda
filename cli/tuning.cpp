// Grids of settings for `quorv tune`, and their cross-validation.
#include "tuning.h"

#include "error.h"
#include "numbers.h"
#include "pool.h"
#include "progress.h"
#include "sampling.h"

#include "front/classes.h"
#include "front/missing.h"
#include "front/text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cli {

std::vector<double> parse_grid(const std::string &text, const std::string &option)
{
    const auto number = [&](const std::string &part) {
        double v = 0;
        if (!parse_double(part, &v) || !std::isfinite(v))
            throw UsageError(option + ": '" + part + "' is not a number (give V, V1,V2,... or FROM:TO:STEP)");
        return v;
    };
    std::vector<double> values;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        size_t start = 0;
        for (;;) {
            const size_t comma = text.find(',', start);
            values.push_back(number(text.substr(start, comma - start)));
            if (comma == std::string::npos)
                return values;
            start = comma + 1;
        }
    }
    const size_t second = text.find(':', colon + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
        throw UsageError(option + ": '" + text + "' is not FROM:TO:STEP");
    const double from = number(text.substr(0, colon)), to = number(text.substr(colon + 1, second - colon - 1)),
                 step = number(text.substr(second + 1));
    if (!(step > 0) || to < from)
        throw UsageError(option + ": '" + text + "' needs FROM <= TO and STEP > 0");
    const double count = std::floor((to - from) / step + 1e-9);
    if (count >= 1000)
        throw UsageError(option + ": '" + text + "' makes more than 1000 values");
    // from + k*step, rounded to 12 digits so that 0.1 steps print as 0.1 steps
    for (double k = 0; k <= count; k += 1) {
        const double v = from + k * step;
        char text12[64];
        std::snprintf(text12, sizeof text12, "%.12g", v);
        double rounded = v;
        parse_double(text12, &rounded);
        values.push_back(rounded);
    }
    return values;
}

OneThreadPerWorker::OneThreadPerWorker(size_t workers) : set_(workers > 1 && !std::getenv(kName))
{
    if (set_)
        put("1");
}

OneThreadPerWorker::~OneThreadPerWorker()
{
    if (set_)
        put(nullptr);
}

void OneThreadPerWorker::put(const char *value)
{
#ifdef _WIN32
    _putenv_s(kName, value ? value : "");
#else
    if (value)
        setenv(kName, value, 1);
    else
        unsetenv(kName);
#endif
}

double Setting::spread() const
{
    double m = 0, s = 0;
    for (double a : fold_accuracy)
        m += a;
    m /= static_cast<double>(fold_accuracy.size());
    for (double a : fold_accuracy)
        s += (a - m) * (a - m);
    return fold_accuracy.size() > 1 ? std::sqrt(s / static_cast<double>(fold_accuracy.size() - 1)) : 0;
}

namespace {

// The rows of every fold but `f`, in file order, as `train` sees them.
std::vector<size_t> training_rows(const std::vector<std::vector<size_t>> &parts, size_t f)
{
    std::vector<size_t> rows;
    for (size_t g = 0; g < parts.size(); ++g)
        if (g != f)
            rows.insert(rows.end(), parts[g].begin(), parts[g].end());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Each fold's fill for missing cells: the medians of its training rows, as
// `train` would take them from those rows alone.
std::vector<std::vector<double>> fold_medians(const Dataset &data, const std::vector<std::vector<size_t>> &parts)
{
    const front::MatrixView x = front::MatrixView::row_major(data.x.data(), data.rows, data.cols());
    std::vector<std::vector<double>> medians;
    for (size_t f = 0; f < parts.size(); ++f) {
        medians.push_back(front::feature_medians(x, training_rows(parts, f)));
        const size_t empty = front::column_without_values(medians.back());
        if (empty != std::string::npos)
            throw Error(data.source + ": feature '" + front::excerpt(data.feature_names[empty]) +
                        "' has no value in the training rows of fold " + std::to_string(f + 1) +
                        ", so no median to fill it with (--ignore leaves it out)");
    }
    return medians;
}

// Setting t / folds trained on every fold but t % folds and tested on that
// one, missing cells filled with `medians` when there are any.
Message run_fold(const Dataset &data, const CrossValidation &cv, const std::vector<std::vector<size_t>> &parts,
                 const Setting &s, size_t f, long unknown, const std::vector<double> *medians)
{
    Dataset training = data.subset(training_rows(parts, f)), test = data.subset(parts[f]);
    if (medians) {
        front::fill_missing(*medians, training.x.data(), training.rows);
        front::fill_missing(*medians, test.x.data(), test.rows);
    }
    const auto start = std::chrono::steady_clock::now();
    TrainRun one = cv.run;
    one.report = false;
    one.forest = s.forest;
    const Model model = train_model(training, cv.scale, s.params, 0, one);
    const double micros = static_cast<double>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    ClassifySettings cs;
    cs.vigilance = s.params.vigilance;
    cs.unknown_label = unknown;
    cs.nearest = cv.nearest;
    ClassifyCounts counts;
    std::vector<char> second;
    const std::vector<double> predicted = classify_data(model, test, cs, &counts, &second);
    double correct = 0, by_boxes = 0;
    for (size_t i = 0; i < test.rows; ++i) {
        correct += predicted[i] == test.y[i];
        by_boxes += predicted[i] == test.y[i] && !second[i];
    }
    Message r;
    r.set("correct", correct);
    r.set("correct_by_boxes", by_boxes);
    r.set("unclassified", static_cast<double>(counts.patterns - counts.by_boxes));
    r.set("nodes", static_cast<double>(model.total_nodes()));
    r.set("tested", static_cast<double>(test.rows));
    r.set("train_us", micros);
    return r;
}

void add_fold(Setting *s, const Message &r, size_t folds)
{
    const double correct = r.number("correct"), tested = r.number("tested");
    s->correct += correct;
    s->by_boxes += r.number("correct_by_boxes");
    s->unclassified += r.number("unclassified");
    s->nodes += r.number("nodes") / static_cast<double>(folds);
    s->ms += r.number("train_us") / 1000 / static_cast<double>(folds);
    s->tested += tested;
    s->fold_accuracy.push_back(tested > 0 ? correct / tested : 0);
}

}  // namespace

void cross_validate(const Dataset &data, const CrossValidation &cv, std::vector<Setting> *settings)
{
    const std::vector<std::vector<size_t>> parts = stratified_folds(data, cv.folds, cv.seed);
    const std::vector<std::vector<double>> medians =
        cv.fill_missing ? fold_medians(data, parts) : std::vector<std::vector<double>>();
    const long unknown = front::free_unknown_label(data.classes);
    const size_t tasks = settings->size() * cv.folds;
    const bool live = stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    size_t done_count = 0;
    const size_t total = tasks * static_cast<size_t>(cv.run.votes);  // member trainings
    const auto task = [&](size_t t) {
        const size_t f = t % cv.folds;
        return run_fold(data, cv, parts, (*settings)[t / cv.folds], f, unknown, medians.empty() ? nullptr : &medians[f]);
    };
    const auto done = [&](size_t t, const Message &r) {
        add_fold(&(*settings)[t / cv.folds], r, cv.folds);
        done_count += static_cast<size_t>(cv.run.votes);
        if (live)
            draw_count("tune", done_count, total, "trainings done", start);
    };
    const OneThreadPerWorker threads(pool_workers(cv.jobs, tasks));
    run_in_workers(tasks, cv.jobs, task, done);
}

void rank_out_of_bag(const Dataset &data, const CrossValidation &cv, std::vector<Setting> *settings)
{
    const bool live = stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    const size_t votes = static_cast<size_t>(cv.run.votes), total = settings->size() * votes;
    for (size_t i = 0; i < settings->size(); ++i) {
        Setting &s = (*settings)[i];
        TrainRun run = cv.run;
        run.report = false;
        run.forest = s.forest;
        run.jobs = cv.jobs;
        run.oob = false;  // asked below, by the rule of the table (cv.nearest)
        const auto began = std::chrono::steady_clock::now();
        const Model model = train_model(data, cv.scale, s.params, 0, run);
        s.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
        Dataset scaled = data;
        apply_scaling(model.scaling, &scaled);
        const front::OutOfBag oob = out_of_bag_scaled(model, scaled, cv.nearest);
        s.correct = static_cast<double>(oob.correct);
        s.by_boxes = static_cast<double>(oob.correct_by_boxes);
        s.unclassified = static_cast<double>(oob.rows - oob.by_boxes);
        s.nodes = static_cast<double>(model.total_nodes());
        s.tested = static_cast<double>(oob.rows);
        s.fold_accuracy = {oob.accuracy()};
        if (live)
            draw_count("tune", (i + 1) * votes, total, "trainings done", start);
    }
}

}  // namespace cli
