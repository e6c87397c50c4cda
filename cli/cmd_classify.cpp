// quorv classify: a model and a CSV file in, predicted labels out.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "numbers.h"
#include "pipeline.h"
#include "report.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <unistd.h>

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
        {"--output", "FILE", "predictions to write: a header line 'label', then one label per row ('-': standard output)", 'o'},
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

namespace {

// Rows per block: at most 65,536, and fewer for wide files, so that a block
// holds about a million cells (8 MB of doubles) whatever the file's shape.
size_t block_rows(size_t columns)
{
    const size_t kCells = size_t{1} << 20, kRows = 65536;
    return std::max<size_t>(1, std::min(kRows, kCells / std::max<size_t>(columns, 1)));
}

// "quorv: 1234567 rows classified, 250000 rows/s" on standard error, kept up
// to date when it is a terminal and the job has taken more than a second.
class Progress {
public:
    Progress() : terminal_(isatty(2) == 1), start_(Clock::now()), last_(start_) {}
    ~Progress() { done(); }
    // Clears the line, before the results are printed.
    void done()
    {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    void update(size_t rows)
    {
        const Clock::time_point now = Clock::now();
        if (!terminal_ || now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(250))
            return;
        last_ = now;
        shown_ = true;
        std::fflush(stdout);
        std::fprintf(stderr, "\rquorv: %zu rows classified, %.0f rows/s\033[K", rows,
                     static_cast<double>(rows) / seconds());
        std::fflush(stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool terminal_, shown_ = false;
    Clock::time_point start_, last_;
};

}  // namespace

void run_classify(const Args &args)
{
    args.integer("--unknown-label", -1, INT_MIN, INT_MAX);
    const long verbose = verbose_level(args, 3);
    args.number("--vigilance", 0, is_vigilance, "a number in [0, 1]");
    std::unique_ptr<OutputFile> out;
    if (args.has("--output"))
        out = std::make_unique<OutputFile>(args.text("--output"), args.operands);
    const Model model = read_model(args.operands[0]);
    const double vigilance = args.number("--vigilance", model.params.vigilance);
    const long unknown = unknown_label(args, model);
    if (!args.has("--unknown-label") && unknown != -1)
        std::printf("Unclassified patterns get the label %ld (-1 is a class of the model)\n", unknown);

    // The data is read, scaled, classified and written a block at a time, so
    // that memory stays flat whatever the size of the file. Patterns are
    // classified independently: blocks give the labels one call would.
    CsvReader reader(args.operands[1]);
    const ModelColumns columns = model_columns(reader.path(), reader.header(), model.feature_names, model.label_name);
    CsvTable table;
    table.path = reader.path();
    table.header = reader.header();
    const size_t rows_per_block = block_rows(table.cols());
    if (reader.read_rows(rows_per_block, &table) == 0)
        throw Error(reader.path() + ": no data rows after the header");
    // A file of one block gets the plug-in's own summary; blocks of a larger
    // one are classified silently (or each with its trace) and the tool sums them up.
    const bool one_block = reader.at_end();
    const long block_verbose = one_block || verbose >= 2 ? verbose : 0;

    Evaluation evaluation(static_cast<double>(unknown));
    Progress progress;
    size_t rows = 0, blocks = 0, unclassified = 0;
    if (out)
        out->write("label\n");
    do {
        const Dataset data = take_columns(table, columns.features, columns.label);
        const std::vector<double> predicted = classify_data(model, data, vigilance, unknown, block_verbose);
        if (data.labelled())
            evaluation.add(data.y, predicted);
        std::string text;
        for (double label : predicted) {
            unclassified += label == static_cast<double>(unknown);
            if (out)
                text += format_double(label) + "\n";
        }
        if (out)
            out->write(text);
        rows += data.rows;
        ++blocks;
        progress.update(rows);
    } while (reader.read_rows(rows_per_block, &table) > 0);
    progress.done();

    if (!one_block && verbose >= 1)
        std::printf("\nClassified %zu test patterns in %zu blocks of up to %zu rows, unable to classify %zu (%f%%), "
                    "in %.1f seconds\n\n",
                    rows, blocks, rows_per_block, unclassified,
                    100.0 * static_cast<double>(unclassified) / static_cast<double>(rows), progress.seconds());
    if (columns.label != std::string::npos)
        std::fputs(evaluation.report().c_str(), stdout);
    if (out) {
        out->commit();
        std::printf("Predictions written to %s: %zu rows\n", visible(out->name()).c_str(), rows);
    }
}

}  // namespace cli
