// quorv classify: a model and a CSV file in, predicted labels out.
#include "commands.h"

#include "csv.h"
#include "error.h"
#include "files.h"
#include "platform.h"
#include "progress.h"
#include "numbers.h"
#include "forest.h"
#include "pipeline.h"
#include "report.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <unordered_set>
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
        "plug-in quorv_perf (once for each voting member, which then vote) and writes\n"
        "one predicted label per row to -o FILE, or to standard output without -o (the\n"
        "summary then goes to standard error). The data must have the model's feature\n"
        "columns (in any order); when it also has the model's label column, the accuracy,\n"
        "the unclassified share and a confusion matrix are printed, and the predictions\n"
        "file holds the true label too. DATA.csv '-' is standard input, read once, a\n"
        "block of rows at a time, like a file.";
    c.options = {
        {"--output", "FILE", "predictions to write (default '-': standard output): a header line, then per row the "
                             "--keep columns, the predicted 'label' and, with a label column, 'true_label'",
         'o'},
        {"--proba", "", "add the vote shares to the predictions: a column 'share:CLASS' per class (the share "
                        "of members giving it; 1 and 0 for a single model) and 'share_unknown' last"},
        {"--keep", "COLS", "columns of DATA.csv to copy into the predictions, by name or 1-based number, "
                           "separated by commas (e.g. an id)"},
        {"--ignore", "COLS", "other columns of DATA.csv to leave out (the model's own ignored columns always are)"},
        {"--vigilance", "V", "vigilance in [0, 1] (default: the value used in training)"},
        unclassified_option(),
        {"--unknown-label", "L", "label of patterns no node classifies; must not be a class (default -1)"},
        verbose_option(),
    };
    for (const Option &option : csv_options())
        c.options.push_back(option);
    return c;
}

namespace {

// The model's columns in the reader's file, leaving out the model's own
// ignored columns and `ignore`; the kept and the text ones are read as text.
ModelColumns data_columns(CsvReader &reader, const Model &model, const std::vector<std::string> &keep,
                          const std::vector<std::string> &ignore)
{
    std::vector<std::string> other = model.ignored;
    other.insert(other.end(), ignore.begin(), ignore.end());
    const ModelColumns columns =
        model_columns(reader.path(), reader.header(), model.feature_names, model.label_name, other, keep);
    reader.keep_as_text(columns.text);
    return columns;
}

}  // namespace

void read_model_and_data(const std::string &model_path, const std::string &data_path, Model *model,
                         Dataset *data, const std::vector<std::string> &keep, const std::vector<std::string> &ignore,
                         const CsvFormat &format)
{
    *model = read_model(model_path);
    CsvFormat with_missing = format;
    with_missing.missing = !model->missing_medians.empty();
    CsvReader reader(data_path, with_missing);
    const ModelColumns columns = data_columns(reader, *model, keep, ignore);
    const CsvTable table = first_rows(reader, std::numeric_limits<size_t>::max());
    std::vector<ClassName> classes = model->classes;
    *data = model_block(table, columns, &classes);
    fill_missing(*model, data);
}

namespace {

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

// A cell of the predictions file: commas and quotes would break the row.
std::string cell(const std::string &text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char ch : text)
        out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

// The columns the tool adds to a predictions file, after the kept ones.
const char *const kAddedColumns[] = {"label", "true_label"};

// The kept columns: each once, and none named like a column the tool adds,
// so that no reader of the file can take one for the other.
void check_kept_columns(const std::vector<std::string> &header, const std::vector<size_t> &keep)
{
    std::unordered_set<size_t> seen;
    for (size_t j : keep) {
        if (!seen.insert(j).second)
            throw UsageError("--keep: column '" + header[j] + "' is named twice");
        for (const char *added : kAddedColumns)
            if (header[j] == added)
                throw UsageError("--keep: column '" + header[j] + "' would have the name of the predictions' own '" +
                                 added + "' column; keep another column or rename it in the data");
    }
}

// Class codes and their cells in the predictions file, looked up by hash:
// a million classes cost no more per row than three.
class ClassCells {
public:
    // Adds the classes not seen yet (those only the data has come block by block).
    void add(const std::vector<ClassName> &classes)
    {
        for (; known_ < classes.size(); ++known_)
            cells_.emplace(classes[known_].code, cell(classes[known_].name));
    }
    std::string of(double code) const
    {
        const auto at = cells_.find(code);
        return at != cells_.end() ? at->second : format_double(code);
    }

private:
    std::unordered_map<double, std::string> cells_;
    size_t known_ = 0;
};

// Rows of the predictions file: the kept cells, the predicted class by name
// and, for labelled data, the true one; with `shares` (patterns x `width`),
// the vote shares.
std::string prediction_rows(const ClassCells &names, const Dataset &data, const std::vector<double> &predicted,
                            double unknown, const std::vector<double> *shares, size_t width)
{
    std::string text;
    const size_t k = data.kept_names.size();
    for (size_t i = 0; i < predicted.size(); ++i) {
        for (size_t j = 0; j < k; ++j)
            text += cell(data.kept[i * k + j]) + ",";
        text += predicted[i] == unknown ? format_double(unknown) : names.of(predicted[i]);
        if (data.labelled())
            text += "," + names.of(data.y[i]);
        if (shares)
            for (size_t c = 0; c < width; ++c)
                text += "," + format_double((*shares)[i * width + c]);
        text += "\n";
    }
    return text;
}

// The header line of the predictions: the kept columns, the tool's own, the shares.
std::string prediction_header(const Model &model, const std::vector<std::string> &header, const ModelColumns &columns,
                              bool proba)
{
    std::string head;
    for (size_t j : columns.keep)
        head += cell(header[j]) + ",";
    head += columns.label != std::string::npos ? "label,true_label" : "label";
    if (proba) {
        std::vector<std::string> class_names, taken = {"label", "true_label"};
        for (const ClassName &c : model.classes)
            class_names.push_back(c.name);
        for (size_t j : columns.keep)
            taken.push_back(header[j]);
        for (const std::string &name : share_columns(class_names, taken))
            head += "," + cell(name);
    }
    return head + "\n";
}

// The members made once for every block of the file, where they answer
// every block (no console detail and no live line, which counts the
// plug-in's lines); the nodes are then held by them alone. Else null.
std::unique_ptr<front::PreparedMembers> prepared_members(Model *model, ClassifySettings *settings)
{
    if (settings->verbose != 0 || (settings->live && stderr_is_terminal()))
        return nullptr;
    std::unique_ptr<front::PreparedMembers> prepared = prepare_and_release(model);
    settings->prepared = prepared.get();
    return prepared;
}

}  // namespace

void run_classify(const Args &args)
{
    const long verbose = verbose_level(args, 3);
    args.number("--vigilance", 0, is_vigilance, "a number in [0, 1]");
    const bool nearest = nearest_pass(args);
    const bool proba = args.has("--proba");
    // Without -o the predictions go to standard output, as "-o -" sends them,
    // and the summary to standard error.
    OutputFile out(args.text("--output", "-"), {args.operands[0], input_identity(args.operands[1])});
    Model model = read_model(args.operands[0]);
    ClassifySettings settings;
    settings.vigilance = args.number("--vigilance", model.params.vigilance);
    settings.unknown_label = unknown_label(args, model);
    settings.nearest = nearest;
    const double unknown = static_cast<double>(settings.unknown_label);
    if (!args.has("--unknown-label") && settings.unknown_label != -1)
        std::printf("Unclassified patterns get the label %ld (-1 is a class of the model)\n", settings.unknown_label);

    // The data is read, scaled, classified and written a block at a time, so
    // that memory stays flat whatever the size of the file. Patterns are
    // classified independently: blocks give the labels one call would.
    // Missing cells read as NaN only for a model that knows what fills them.
    CsvFormat format = csv_format(args);
    format.missing = !model.missing_medians.empty();
    CsvReader reader(args.operands[1], format);
    const ModelColumns columns =
        data_columns(reader, model, column_list(args.text("--keep")), column_list(args.text("--ignore")));
    check_kept_columns(reader.header(), columns.keep);
    const size_t rows_per_block = classify_block_rows(model, reader.header().size());
    CsvTable table = first_rows(reader, rows_per_block);
    // A file of one block gets the plug-in's own summary; blocks of a larger
    // one are classified silently (or each with its trace) and the tool sums them up.
    const bool one_block = reader.at_end();
    settings.verbose = one_block || verbose >= 2 ? verbose : 0;
    settings.live = one_block;  // larger files count their blocks
    const std::unique_ptr<front::PreparedMembers> prepared = prepared_members(&model, &settings);

    Evaluation evaluation(unknown);
    std::vector<ClassName> classes = model.classes;  // and those only the data has
    ClassCells names;
    ClassifyCounts counts;
    Progress progress;
    size_t rows = 0, blocks = 0;
    out.write(prediction_header(model, table.header, columns, proba));
    do {
        Dataset data = model_block(table, columns, &classes);
        fill_missing(model, &data);
        std::vector<double> shares;
        const std::vector<double> predicted =
            classify_data(model, data, settings, &counts, nullptr, proba ? &shares : nullptr);
        if (data.labelled())
            evaluation.add(data.y, predicted);
        names.add(classes);
        out.write(prediction_rows(names, data, predicted, unknown, proba ? &shares : nullptr, model.classes.size() + 1));
        rows += data.rows;
        ++blocks;
        progress.update(rows);
    } while (reader.read_rows(rows_per_block, &table) > 0);
    progress.done();

    if (!one_block && verbose >= 1)
        std::printf("\nClassified %zu test patterns in %zu blocks of up to %zu rows, unable to classify %zu (%f%%), "
                    "in %.1f seconds\n\n",
                    rows, blocks, rows_per_block, counts.unclassified(),
                    100.0 * static_cast<double>(counts.unclassified()) / static_cast<double>(rows),
                    progress.seconds());
    std::printf("Classified %s%s\n", counts.text(settings.vigilance, nearest).c_str(),
                model.members.size() > 1 ? (" (vote of " + std::to_string(model.members.size()) + " members)").c_str() : "");
    if (columns.label != std::string::npos) {
        evaluation.name_classes(classes);
        std::fputs(evaluation.report().c_str(), stdout);
    }
    out.commit();
    std::printf("Predictions written to %s: %zu rows\n", visible(out.name()).c_str(), rows);
}

}  // namespace cli
