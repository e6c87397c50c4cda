// End-to-end tests of the quorv tool: they run the built executable as a user
// would (set QUORV_TEST_WRAPPER="valgrind -q --error-exitcode=99" to run it
// under a checker) and compare its results with direct calls of the plug-ins.
#include "error.h"
#include "model.h"
#include "numbers.h"
#include "front/vote.h"
#include "voting.h"
#include "support.h"
#include "tool_test.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace tool_test;

class Cli : public FolderTest {
protected:
    Cli() : FolderTest("quorv_cli") {}

    // Runs quorv in the test's folder; `env` entries are NAME=VALUE.
    Outcome quorv(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) const
    {
        Launch how;
        how.env = env;
        how.wrapper = true;
        return finish_tool(dir, start_tool(dir, args, how));
    }

    // Leftovers of an interrupted atomic write.
    size_t temporaries() const
    {
        size_t n = 0;
        for (const auto &entry : fs::directory_iterator(dir))
            n += entry.path().filename().string().find(".tmp-") != std::string::npos;
        return n;
    }
};

const std::string kIris = data_file("iris.csv");

// Two features, two nodes; the reference for the model-file cases.
const char kModel[] =
    "quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\nlist_presentations 1\nnodes 2\n"
    "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n";
const char kGood[] = "a,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n";

TEST_F(Cli, TrainAndClassifyGiveWhatThePluginsGiveDirectly)
{
    Outcome run = quorv({"train", kIris, "-o", "iris.model", "--verbose", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\nQuorv training converged after "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("List presentation #"), std::string::npos) << "--verbose 1 shows the summary only";
    EXPECT_NE(run.out.find("\nTraining converged after 29 presentations: "), std::string::npos) << run.out;
    const cli::Model model = cli::read_model((dir / "iris.model").string());

    qt::Dataset iris = qt::load_dataset("iris");
    qt::scale_like(qt::Dataset(iris), &iris);
    auto train = qt::load_train();
    const qt::CallResult trained = qt::train(*train, iris.rows, iris.cols, iris.x, iris.y);
    ASSERT_TRUE(trained.ok) << trained.error;
    const std::vector<double> templates = qt::row_major(trained.outputs[0].get());
    const cli::Member &member = model.members.at(0);
    EXPECT_EQ(member.nodes, minihost::dims(trained.outputs[0].get())[0]);
    EXPECT_EQ(0, std::memcmp(member.templates.data(), templates.data(), templates.size() * sizeof(double)));
    EXPECT_EQ(member.labels, minihost::values(trained.outputs[1].get()));
    EXPECT_EQ(member.list_presentations, minihost::values(trained.outputs[2].get())[0]);

    run = quorv({"classify", "iris.model", kIris, "-o", "predicted.csv", "--verbose", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto perf = qt::load_perf();
    const qt::CallResult classified = qt::perf(*perf, member.nodes, 2 * iris.cols, member.templates, member.labels,
                                               0.75, iris.rows, iris.cols, iris.x);
    ASSERT_TRUE(classified.ok) << classified.error;
    std::string expected = "label,true_label\n";
    size_t correct = 0;
    for (size_t i = 0; i < iris.rows; ++i) {
        const double label = minihost::values(classified.outputs[0].get())[i];
        expected += std::to_string(static_cast<int>(label)) + "," + std::to_string(static_cast<int>(iris.y[i])) + "\n";
        correct += label == iris.y[i];
    }
    EXPECT_EQ(slurp(dir / "predicted.csv"), expected);
    EXPECT_NE(run.out.find("(" + std::to_string(correct) + " of 150 patterns)"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Quorv performance"), std::string::npos) << "--verbose 0 keeps the plug-in silent";
}

TEST_F(Cli, ColumnsAreFoundByNameInAnyOrder)
{
    // The label first and the features reversed: the same model, the same predictions.
    std::istringstream lines(slurp(kIris));
    std::string shuffled;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::istringstream split(line);
        for (std::string cell; std::getline(split, cell, ',');)
            cells.push_back(cell);
        shuffled += cells[4] + "," + cells[1] + "," + cells[0] + "," + cells[3] + "," + cells[2] + "\n";
    }
    put(dir / "shuffled.csv", shuffled);
    ASSERT_EQ(quorv({"train", kIris, "-o", "a.model", "--verbose", "0"}).status, 0);
    const Outcome run = quorv({"train", "shuffled.csv", "--label-column", "1", "-o", "b.model", "--verbose", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    const cli::Model a = cli::read_model((dir / "a.model").string());
    const cli::Model b = cli::read_model((dir / "b.model").string());
    EXPECT_EQ(b.members[0].nodes, a.members[0].nodes);
    EXPECT_EQ(b.feature_names[0], "sepal_width_cm");

    ASSERT_EQ(quorv({"classify", "a.model", "shuffled.csv", "-o", "a.csv"}).status, 0);
    ASSERT_EQ(quorv({"classify", "a.model", kIris, "-o", "b.csv"}).status, 0);
    EXPECT_EQ(slurp(dir / "a.csv"), slurp(dir / "b.csv"));
}

TEST_F(Cli, UnclassifiedPatternsGetTheUnknownLabelAndTheirOwnColumn)
{
    // Inside node 1, inside node 2, and too far from both to be classified.
    put(dir / "m.model", kModel);
    put(dir / "labelled.csv", "b,a,label\n0.25,0.25,1\n0.75,0.75,1\n5,5,2\n");
    put(dir / "bare.csv", "a,b\n0.25,0.25\n0.75,0.75\n5,5\n");
    const std::vector<std::string> options = {"--vigilance", "0", "--unknown-label", "-7", "--verbose", "0",
                                              "--unclassified", "unknown"};
    std::vector<std::string> args = {"classify", "m.model", "labelled.csv", "-o", "a.csv"};
    args.insert(args.end(), options.begin(), options.end());
    Outcome run = quorv(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Classified 3 patterns: 2 by their boxes (vigilance 0), 1 unclassified\n"
              "Accuracy: 33.33% (1 of 3 patterns), unclassified: 33.33% (1)\n"
              "Confusion matrix (rows: true label, columns: predicted label, none: unclassified):\n"
              "        1    2 none\n"
              "   1    1    1    0\n"
              "   2    0    0    1\n"
              "Predictions written to a.csv: 3 rows\n");
    EXPECT_EQ(slurp(dir / "a.csv"), "label,true_label\n1,1\n2,1\n-7,2\n");

    args = {"classify", "m.model", "bare.csv", "-o", "b.csv"};
    args.insert(args.end(), options.begin(), options.end());
    run = quorv(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Classified 3 patterns: 2 by their boxes (vigilance 0), 1 unclassified\n"
                       "Predictions written to b.csv: 3 rows\n");
    EXPECT_EQ(slurp(dir / "b.csv"), "label\n1\n2\n-7\n");
}

TEST_F(Cli, ScalingMapsTheTrainingRangeToTheUnitInterval)
{
    put(dir / "c.csv", "a,b,label\n1,5,1\n3,5,2\n");
    ASSERT_EQ(quorv({"train", "c.csv", "-o", "scaled.model"}).status, 0);
    ASSERT_EQ(quorv({"train", "c.csv", "-o", "raw.model", "--no-scale"}).status, 0);
    const cli::Model scaled = cli::read_model((dir / "scaled.model").string());
    const cli::Model raw = cli::read_model((dir / "raw.model").string());
    // The constant feature b maps to 0; raw values stay as they are.
    EXPECT_EQ(scaled.members[0].templates, (std::vector<double>{0, 0, 0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(raw.members[0].templates, (std::vector<double>{1, 5, 1, 5, 3, 5, 3, 5}));
    EXPECT_EQ(scaled.scaling.min, raw.scaling.min);
    EXPECT_FALSE(raw.scaling.enabled);
}

double with_bits(std::uint64_t bits)
{
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

TEST_F(Cli, ModelFilesReadBackBitForBit)
{
    // A model the tool wrote reads back and writes out again unchanged.
    ASSERT_EQ(quorv({"train", kIris, "-o", "iris.model", "--trim", "--learning-rate", "0.3"}).status, 0);
    const std::string written = slurp(dir / "iris.model");
    EXPECT_EQ(cli::model_text(cli::parse_model(written, "iris.model")), written);

    // So do doubles that decimal text usually loses.
    cli::Model m = cli::parse_model(kModel, "x");
    const double odd[] = {-0.0, std::numeric_limits<double>::denorm_min(), 0.1 + 0.2, -1e-300,
                          std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()};
    m.members[0].templates = {odd[0], odd[1], odd[2], odd[1], odd[0], odd[1], odd[2], odd[2]};
    m.scaling.enabled = false;
    m.scaling.min = {odd[3], odd[5]};
    m.scaling.max = {odd[2], odd[4]};
    const std::string text = cli::model_text(m);
    const cli::Model back = cli::parse_model(text, "x");
    EXPECT_EQ(cli::model_text(back), text);
    EXPECT_EQ(0, std::memcmp(back.members[0].templates.data(), m.members[0].templates.data(), 8 * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(back.scaling.min.data(), m.scaling.min.data(), 2 * sizeof(double)));
    // Values a model may not hold (NaN payloads, infinities) still read back bit for bit as numbers.
    for (double v : {with_bits(0x7ff8000000000000u), with_bits(0xfff0000000000123u), with_bits(0x7ff4000000000001u),
                     std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        double got = 0;
        ASSERT_TRUE(cli::parse_double(cli::format_double(v), &got)) << cli::format_double(v);
        EXPECT_EQ(0, std::memcmp(&got, &v, sizeof v)) << cli::format_double(v);
    }
}

struct BadCase {
    std::vector<std::string> args;
    int status;
    const char *message;  // the whole stderr line; a trailing '*' matches any rest
    std::vector<std::string> env = {};
};

TEST_F(Cli, BadInputGivesOneLineAndNoOutputFile)
{
    std::string cut = kModel, unended = kModel, junk = kModel, v4 = kModel, short_node = kModel;
    cut.resize(cut.find("epsilon"));
    unended.pop_back();
    junk += "node 1 0 0 0 0\n";
    v4.replace(v4.find(" 1\n"), 3, " 4\n");
    short_node.replace(short_node.find("node 2 0.5 0.5 1 1"), 18, "node 2 0.5 0.5 1");
    const std::pair<const char *, std::string> files[] = {
        {"good.csv", kGood}, {"empty.csv", ""}, {"blank.csv", "\n \n"}, {"head.csv", "a,b,label\n"},
        {"ragged.csv", "a,b,label\n1,2,1\n1,2\n"}, {"text.csv", "a,b,label\n1,x2,1\n"},
        {"hole.csv", "a,b,label\n1,,1\n"}, {"nan.csv", "a,b,label\n1,NaN,1\n"}, {"inf.csv", "a,b,label\n1,-inf,1\n"},
        {"frac.csv", "a,b,label\n1,2,1.5\n"}, {"cr.csv", "a,b,label\r1,2,1\r"}, {"twice.csv", "a,a,label\n1,2,1\n"}, {"one.csv", "label\n1\n"},
        {"other.csv", "a,c,label\n1,2,1\n"}, {"extra.csv", "a,b,c,label\n1,2,3,1\n"},
        {"m.model", kModel}, {"junk.model", "a,b,label\n"}, {"cut.model", cut}, {"unended.model", unended},
        {"trail.model", junk}, {"v4.model", v4}, {"short.model", short_node},
        {"bad.model", std::string(kModel).replace(std::string(kModel).find("0.001"), 5, "x")}};
    for (const auto &file : files)
        put(dir / file.first, file.second);
    fs::create_directory(dir / "sub");

    const BadCase cases[] = {
        // Command lines.
        {{}, 2, "quorv: no command given (see 'quorv --help')"},
        {{"trian"}, 2, "quorv: unknown command 'trian' (see 'quorv --help')"},
        {{"train", "good.csv", "-o", "out", "--bogus"}, 2, "quorv: train: unknown option '--bogus' (see 'quorv train --help')"},
        {{"train", "good.csv", "-o"}, 2, "quorv: --output needs a value MODEL"},
        {{"train", "good.csv", "--trim=1", "-o", "out"}, 2, "quorv: --trim takes no value"},
        {{"train", "good.csv"}, 2, "quorv: train: no model file given (-o MODEL)"},
        {{"train", "-o", "out"}, 2, "quorv: train: missing DATA.csv (see 'quorv train --help')"},
        {{"classify", "m.model", "good.csv", "more.csv"}, 2, "quorv: classify: unexpected argument 'more.csv' (see 'quorv classify --help')"},
        {{"train", "good.csv", "-o", "out", "--vigilance", "high"}, 2, "quorv: --vigilance: 'high' is not a number"},
        {{"train", "good.csv", "-o", "out", "--max-presentations=1.5"}, 2,
         "quorv: --max-presentations: '1.5' is not a whole number from 1 to 2147483647"},
        {{"demo", "--test-fraction", "1"}, 2, "quorv: --test-fraction: 1 is not between 0 and 1"},
        {{"demo", "--dataset", "nosuch", "--data-dir", "."}, 1,
         "quorv: no dataset 'nosuch': ./nosuch.csv does not exist (--data-dir names another folder)"},
        // Data files.
        {{"train", "missing.csv", "-o", "out"}, 1, "quorv: cannot read missing.csv: No such file or directory"},
        {{"train", "sub", "-o", "out"}, 1, "quorv: cannot read sub: Is a directory"},
        {{"train", "empty.csv", "-o", "out"}, 1, "quorv: empty.csv: empty file"},
        {{"train", "blank.csv", "-o", "out"}, 1, "quorv: blank.csv: empty file"},
        {{"train", "head.csv", "-o", "out"}, 1, "quorv: head.csv: no data rows after the header"},
        {{"train", "ragged.csv", "-o", "out"}, 1, "quorv: ragged.csv:3: 2 cells where the header has 3 columns"},
        {{"train", "text.csv", "-o", "out"}, 1, "quorv: text.csv:2: column 2 (b): 'x2' is not a number"},
        {{"train", "hole.csv", "-o", "out"}, 1, "quorv: hole.csv:2: column 2 (b): empty cell"},
        {{"train", "nan.csv", "-o", "out"}, 1, "quorv: nan.csv:2: column 2 (b): 'NaN' is not a finite number"},
        {{"train", "inf.csv", "-o", "out"}, 1, "quorv: inf.csv:2: column 2 (b): '-inf' is not a finite number"},
        {{"train", "frac.csv", "-o", "out"}, 1,
         "quorv: frac.csv:2: column 3 (label): label 1.5 is not a whole number in the int range"},
        {{"train", "twice.csv", "-o", "out"}, 1, "quorv: twice.csv:1: columns 1 and 2 are both named 'a'"},
        {{"train", "one.csv", "-o", "out"}, 1, "quorv: one.csv: no feature column besides the label column 'label'"},
        {{"train", "cr.csv", "-o", "out"}, 1,
         "quorv: cr.csv: lines end in CR alone (old Mac text); save the file with LF or CR LF line ends"},
        {{"train", "good.csv", "-o", "out", "--label-column", "kind"}, 1, "quorv: good.csv has no column 'kind' (--label-column)"},
        // Options out of the plug-ins' ranges: the tool's own usage errors, before any plug-in call.
        {{"train", "good.csv", "-o", "out", "--min-size", "0.6"}, 2,
         "quorv: --min-size: 0.6 is above 0.5, the largest box size M*(1-vigilance) for 2 features at vigilance 0.75"},
        {{"train", "good.csv", "-o", "out", "--vigilance", "nan"}, 2, "quorv: --vigilance: 'nan' is not a number in [0, 1]"},
        {{"train", "good.csv", "-o", "out", "--learning-rate", "0"}, 2,
         "quorv: --learning-rate: '0' is not a number in (0, 1]"},
        {{"train", "good.csv", "-o", "out", "--epsilon", "inf"}, 2, "quorv: --epsilon: 'inf' is not a finite number >= 0"},
        {{"train", "good.csv", "-o", "out", "--verbose", "5"}, 2, "quorv: --verbose: '5' is not a whole number from 0 to 4"},
        {{"classify", "m.model", "good.csv", "-o", "out", "--vigilance", "1.5"}, 2,
         "quorv: --vigilance: '1.5' is not a number in [0, 1]"},
        {{"classify", "m.model", "good.csv", "-o", "out", "--verbose", "4"}, 2,
         "quorv: --verbose: '4' is not a whole number from 0 to 3"},
        {{"classify", "m.model", "good.csv", "-o", "out", "--unknown-label", "2"}, 2,
         "quorv: --unknown-label 2 is a class label of the model; choose a label no class uses"},
        {{"train", "good.csv", "-o", "out"}, 1, "quorv: cannot load the plug-in quorv_train.mexa64: *",
         {"QUORV_PLUGIN_DIR=/nowhere"}},
        // Models, and data that does not fit them.
        {{"classify", "junk.model", "good.csv", "-o", "out"}, 1,
         "quorv: junk.model is not a quorv model file (its first line is not 'quorv-model 3')"},
        {{"classify", "v4.model", "good.csv", "-o", "out"}, 1,
         "quorv: v4.model:1: model format version '4' is not supported (this quorv reads 1 to 3)"},
        {{"classify", "cut.model", "good.csv", "-o", "out"}, 1, "quorv: cut.model:11: ends where 'epsilon' was expected"},
        {{"classify", "unended.model", "good.csv", "-o", "out"}, 1, "quorv: unended.model:17: last line has no line end"},
        {{"classify", "trail.model", "good.csv", "-o", "out"}, 1, "quorv: trail.model:18: unexpected text after the last node"},
        {{"classify", "bad.model", "good.csv", "-o", "out"}, 1, "quorv: bad.model:11: epsilon 'x' is not a number"},
        {{"plot", "short.model", "good.csv", "-o", "out"}, 1, "quorv: short.model:17: node has 3 bounds, not 4"},
        {{"classify", "missing.model", "good.csv", "-o", "out"}, 1, "quorv: cannot read missing.model: No such file or directory"},
        {{"classify", "/dev/zero", "good.csv", "-o", "out"}, 1,
         "quorv: /dev/zero is not a quorv model file (its first line is not 'quorv-model 3')"},
        {{"classify", "m.model", "other.csv", "-o", "out"}, 1, "quorv: other.csv has no column 'b', a feature of the model"},
        {{"classify", "m.model", "extra.csv", "-o", "out"}, 1,
         "quorv: extra.csv: column 'c' is neither a feature of the model nor its label column 'label'"},
        {{"plot", "m.model", "good.csv", "-o", "out", "--features", "1,3"}, 2,
         "quorv: --features: '3' is neither a feature name of the model nor a number from 1 to 2"},
        {{"plot", "m.model", "good.csv", "-o", "out", "--features", "a"}, 2, "quorv: --features: 'a' is not two features I,J"},
        // Outputs that cannot be written.
        {{"train", "good.csv", "-o", "nodir/out"}, 1, "quorv: cannot write nodir/out: No such file or directory"},
        {{"classify", "m.model", "good.csv", "-o", "sub"}, 1, "quorv: cannot write sub: Is a directory"},
        {{"train", "good.csv", "-o", "/dev/full", "--verbose", "0"}, 1, "quorv: cannot write /dev/full: No space left on device"},
    };
    for (const BadCase &c : cases) {
        std::string line;
        for (const std::string &a : c.args)
            line += " " + a;
        SCOPED_TRACE("quorv" + line);
        const Outcome run = quorv(c.args, c.env);
        EXPECT_EQ(run.status, c.status) << run.err;
        const std::string expected = c.message;
        if (expected.back() == '*')
            EXPECT_EQ(run.err.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1));
        else
            EXPECT_EQ(run.err, expected + "\n");
        EXPECT_EQ(count(run.err, "\n"), 1u) << run.err;
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_EQ(temporaries(), 0u);
    }
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST_F(Cli, ModelFilesThatMeanNothingAreRefusedWithTheirLine)
{
    put(dir / "good.csv", kGood);
    const struct {
        const char *from, *to, *message;
    } cases[] = {
        {"node 1 0 0 0.5 0.5", "node 1 0.6 0 0.5 0.5",
         "m.model:16: node 1: lower bound 0.6 is above the upper bound 0.5 of feature 'a'"},
        {"node 2 0.5 0.5 1 1", "node 2 0.5 nan 1 1", "m.model:17: node bound 'nan' in the model file is not a finite number"},
        {"feature 0 1 a", "feature -inf inf a", "m.model:5: feature minimum '-inf' in the model file is not a finite number"},
        {"feature 0 1 a", "feature 1 0 a", "m.model:5: feature 'a': minimum 1 is above the maximum 0"},
        {"feature 0 1 b", "feature 0 nan b", "m.model:6: feature maximum 'nan' in the model file is not a finite number"},
        {"feature 0 1 b", "feature -1e308 1e308 b", "m.model:6: feature 'b': the range from -1e+308 to 1e+308 is too wide to scale"},
        {"feature 0 1 b", "feature 0 1  b", "m.model:6: feature name ' b' begins with a blank"},
        {"feature 0 1 b", "feature 0 1 label", "m.model:6: name 'label' is used twice"},
        {"vigilance 0.75", "vigilance 1.5", "m.model:8: vigilance '1.5' in the model file is not a number in [0, 1]"},
        {"min_size 0", "min_size 0.6", "m.model:9: min_size '0.6' in the model file is above M*(1-vigilance)"},
        {"learning_rate 1", "learning_rate 0", "m.model:10: learning_rate '0' in the model file is not a number in (0, 1]"},
        {"epsilon 0.001", "epsilon -1", "m.model:11: epsilon '-1' in the model file is not a finite number >= 0"},
        {"trim_option 0", "trim_option 7", "m.model:13: trim_option '7' is not a whole number in [0, 1]"},
        {"\nlist_presentations 1", "\nlist_presentations nan",
         "m.model:14: list_presentations 'nan' is not a whole number in [0, 100]"},
        {"nodes 2\n", "nodes 2 \n", "m.model:15: blank at the end of the line"},
        {"label_column label", "label_column label\t", "m.model:2: blank at the end of the line"},
        {"label_column label", "label_column label\r(", "m.model:2: label column name 'label (' holds a line break"},
        {"feature 0 1 b", "feature 0 1 b\rc", "m.model:6: feature name 'b c' holds a line break"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.to);
        put(dir / "m.model", replaced(kModel, c.from, c.to));
        const Outcome run = quorv({"classify", "m.model", "good.csv", "-o", "out"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "quorv: " + std::string(c.message) + "\n");
        EXPECT_EQ(run.err.find("(option"), std::string::npos) << "no option was given";
        EXPECT_FALSE(fs::exists(dir / "out"));
    }

    // CR LF line ends, as a Windows editor saves the file, read as LF.
    std::string crlf;
    for (char ch : std::string(kModel))
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    put(dir / "crlf.model", crlf);
    put(dir / "m.model", kModel);
    const Outcome a = quorv({"classify", "crlf.model", "good.csv", "-o", "a.csv"});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(quorv({"classify", "m.model", "good.csv", "-o", "b.csv"}).status, 0);
    EXPECT_EQ(slurp(dir / "a.csv"), slurp(dir / "b.csv"));

    // A model with the class -1 gets the first free label below it for the unclassified.
    put(dir / "minus.model", replaced(kModel, "node 1 0 0", "node -1 0 0"));
    put(dir / "far.csv", "a,b\n0.25,0.25\n5,5\n");
    const Outcome minus = quorv({"classify", "minus.model", "far.csv", "-o", "c.csv", "--vigilance", "0", "--verbose", "0",
                                  "--unclassified", "unknown"});
    ASSERT_EQ(minus.status, 0) << minus.err;
    EXPECT_EQ(minus.out.rfind("Unclassified patterns get the label -2 (-1 is a class of the model)\n", 0), 0u);
    EXPECT_EQ(slurp(dir / "c.csv"), "label\n-1\n-2\n");
}

// Names and paths holding terminal controls, NUL and broken UTF-8 come out
// visible and inert in messages and status lines.
TEST_F(Cli, HostileNamesReachNoTerminalRaw)
{
    const std::string evil = std::string("a\x1b]2;owned\x07\x1b[2J\x00z\xff\xc2\x9b", 20);
    const std::string shown = "a\\x1b]2;owned\\x07\\x1b[2J\\x00z\\xff\\xc2\\x9b";
    put(dir / "evil.csv", evil + ",b,label\n0,0,1\n1,1,2\n0.5,x" + evil + ",1\n");
    put(dir / "hollow.csv", "a,b,label\n0,0,1\n");
    put(dir / "evil_header.csv", evil + ",b,label\n0,0,1\n");
    put(dir / "m.model", kModel);
    const Outcome bad_cell = quorv({"train", "evil.csv", "-o", "out"});
    EXPECT_EQ(bad_cell.status, 1);
    EXPECT_EQ(bad_cell.err, "quorv: evil.csv:4: column 2 (b): 'x" + shown + "' is not a number\n");
    const Outcome bad_column = quorv({"classify", "m.model", "evil_header.csv"});
    EXPECT_EQ(bad_column.err, "quorv: evil_header.csv has no column 'a', a feature of the model\n");
    const std::string weird_dir = "d\x1b[2J";
    const Outcome bad_path = quorv({"train", "hollow.csv", "-o", weird_dir + "/out"});
    EXPECT_EQ(bad_path.err, "quorv: cannot write d\\x1b[2J/out: No such file or directory\n");
    for (const Outcome *run : {&bad_cell, &bad_column, &bad_path})
        for (char ch : run->err)
            EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << run->err;
}

bool xml_parses(const fs::path &file);

// Every entry of a folder: its type, mode, link count and content or link target.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> entries;
    for (const auto &entry : fs::directory_iterator(dir)) {
        struct stat s;
        lstat(entry.path().c_str(), &s);
        std::string what = std::to_string(s.st_mode) + " " + std::to_string(s.st_nlink) + " ";
        if (S_ISREG(s.st_mode))
            what += slurp(entry.path());
        else if (S_ISLNK(s.st_mode))
            what += fs::read_symlink(entry.path()).string();
        entries[entry.path().filename().string()] = what;
    }
    return entries;
}

TEST_F(Cli, AnOutputThatIsAnInputIsRefusedAndNothingIsTouched)
{
    put(dir / "good.csv", kGood);
    put(dir / "m.model", kModel);
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "good.csv", dir / "hard.csv");
    fs::create_symlink("good.csv", dir / "sym.csv");
    fs::create_symlink("nothing", dir / "dangling");
    const BadCase cases[] = {
        {{"train", "good.csv", "-o", "good.csv"}, 1, "quorv: good.csv is the same file as the input good.csv; writing it would destroy that input"},
        {{"train", "good.csv", "-o", "sub/../good.csv"}, 1,
         "quorv: sub/../good.csv is the same file as the input good.csv; writing it would destroy that input"},
        {{"train", "sym.csv", "-o", "hard.csv"}, 1, "quorv: hard.csv is the same file as the input sym.csv; writing it would destroy that input"},
        {{"classify", "m.model", "good.csv", "-o", "m.model"}, 1,
         "quorv: m.model is the same file as the input m.model; writing it would destroy that input"},
        {{"plot", "m.model", "good.csv", "-o", "sym.csv"}, 1,
         "quorv: sym.csv is the same file as the input good.csv; writing it would destroy that input"},
        {{"train", "good.csv", "-o", "dangling"}, 1, "quorv: cannot write dangling: a symbolic link to nothing"},
        // The output is opened before the work: its fault comes first.
        {{"train", "missing.csv", "-o", "nodir/out"}, 1, "quorv: cannot write nodir/out: No such file or directory"},
        {{"classify", "m.model", "good.csv", "-o", ""}, 1, "quorv: cannot write an output file with an empty name"},
    };
    const auto before = snapshot(dir);
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome run = quorv(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, std::string(c.message) + "\n");
        EXPECT_EQ(snapshot(dir), before);
    }
}

TEST_F(Cli, OutputsKeepWhatTheyReplace)
{
    put(dir / "good.csv", kGood);
    put(dir / "m.model", kModel);
    // A file with its own mode and a second name keeps both.
    put(dir / "private.model", "old");
    fs::permissions(dir / "private.model", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_hard_link(dir / "private.model", dir / "other-name.model");
    // A link to a regular file stays a link; the file it names is replaced.
    put(dir / "target.model", "old");
    fs::create_symlink("target.model", dir / "link.model");
    for (const char *out : {"private.model", "link.model"}) {
        const Outcome run = quorv({"train", "good.csv", "-o", out, "--verbose", "0"});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    const std::string model = slurp(dir / "private.model");
    EXPECT_EQ(model.rfind("quorv-model 1\n", 0), 0u) << "a model format 1 holds is written as format 1";
    EXPECT_EQ(slurp(dir / "other-name.model"), model);
    EXPECT_EQ(fs::status(dir / "private.model").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::hard_link_count(dir / "private.model"), 2u);
    EXPECT_TRUE(fs::is_symlink(dir / "link.model"));
    EXPECT_EQ(slurp(dir / "target.model"), model);

    // A FIFO is written into, not replaced; so is a device.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    const pid_t reader = fork();
    if (reader == 0) {
        const std::string got = slurp(dir / "fifo");
        _exit(got.rfind("label,true_label\n1,1\n", 0) == 0 ? 0 : 1);
    }
    const Outcome fifo = quorv({"classify", "m.model", "good.csv", "-o", "fifo", "--vigilance", "0", "--verbose", "0"});
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_EQ(fifo.status, 0) << fifo.err;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader got the predictions";
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_EQ(quorv({"train", "good.csv", "-o", "/dev/null", "--verbose", "0"}).status, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // "-" is standard output, which then holds the results alone.
    const Outcome predictions = quorv({"classify", "m.model", "good.csv", "-o", "-", "--vigilance", "0", "--verbose", "0"});
    ASSERT_EQ(predictions.status, 0) << predictions.err;
    EXPECT_EQ(predictions.out, "label,true_label\n1,1\n2,2\n1,1\n");
    EXPECT_NE(predictions.err.find("Accuracy: "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "-"));
    const Outcome svg = quorv({"plot", "m.model", "good.csv", "-o", "-"});
    ASSERT_EQ(svg.status, 0) << svg.err;
    put(dir / "stdout.svg", svg.out);
    EXPECT_TRUE(xml_parses(dir / "stdout.svg"));
    EXPECT_EQ(temporaries(), 0u);
}

TEST_F(Cli, ClassificationStreamsInBoundedMemory)
{
    if (std::getenv("QUORV_TEST_WRAPPER"))
        GTEST_SKIP() << "a checker's own memory would be measured";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory hides the program's own";
#endif
    // 140,000 and 1,400,000 rows (17 MB) through a model of two boxes: the
    // larger file may take no more memory than the smaller.
    put(dir / "m.model", kModel);
    const char *const rows[] = {"0.25,0.75,1\n", "0.75,0.25,2\n", "5,5,1\n", "0.1,0.2,1\n"};
    for (const auto &file : {std::make_pair("small.csv", 140000), std::make_pair("large.csv", 1400000)}) {
        std::ofstream out(dir / file.first, std::ios::binary);
        out << "b,a,label\n";
        for (int i = 0; i < file.second; ++i)
            out << rows[i % 4];
    }
    // (5, 5) is beyond every box: unclassified with the pass off.
    const Outcome small = quorv(
        {"classify", "m.model", "small.csv", "-o", "small.pred", "--vigilance", "0", "--unclassified", "unknown"});
    const Outcome large = quorv({"classify", "m.model", "large.csv", "-o", "large.pred", "--vigilance", "0",
                                 "--verbose", "1", "--unclassified", "unknown"});
    ASSERT_EQ(large.status, 0) << large.err;
    ASSERT_EQ(small.status, 0) << small.err;
    EXPECT_LT(large.peak_kb, small.peak_kb + 4 * 1024) << "peak memory in KB: " << small.peak_kb << " for 140,000 rows";

    // Blocks give the labels and the counts one call gives, and the summary shows once.
    EXPECT_EQ(slurp(dir / "large.pred").substr(0, 4000), slurp(dir / "small.pred").substr(0, 4000));
    EXPECT_EQ(count(slurp(dir / "large.pred"), "\n-1,1\n"), 350000u);
    EXPECT_NE(large.out.find("Classified 1400000 test patterns in 22 blocks of up to 65536 rows, unable to "
                             "classify 350000 (25.000000%)"),
              std::string::npos)
        << large.out;
    EXPECT_NE(large.out.find("Accuracy: 50.00% (700000 of 1400000 patterns), unclassified: 25.00% (350000)"),
              std::string::npos)
        << large.out;
    EXPECT_EQ(count(large.out, "Quorv performance phase summary"), 0u);
    put(dir / "good.csv", kGood);
    EXPECT_EQ(count(quorv({"classify", "m.model", "good.csv", "--verbose", "1", "--unclassified", "unknown"}).out,
                    "Quorv performance phase summary"),
              1u);
}

TEST_F(Cli, ManyClassesGetPerClassLinesNotAHugeMatrix)
{
    // 40 point boxes of one feature, labelled 0 to 39; 8,000 patterns of 8,000 classes.
    std::string model = "quorv-model 1\nlabel_column label\nscaling none\nfeatures 1\nfeature 0 39 a\n"
                        "training_patterns 40\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
                        "max_list_presentations 100\ntrim_option 0\nlist_presentations 1\nnodes 40\n";
    for (int k = 0; k < 40; ++k)
        model += "node " + std::to_string(k) + " " + std::to_string(k) + " " + std::to_string(k) + "\n";
    put(dir / "many.model", model);
    std::string data = "a,label\n";
    for (int i = 0; i < 8000; ++i)
        data += std::to_string(i % 40) + "," + std::to_string(i) + "\n";
    put(dir / "many.csv", data);
    const Outcome run = quorv({"classify", "many.model", "many.csv", "--vigilance", "1", "--verbose", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("Confusion matrix"), std::string::npos);
    EXPECT_NE(run.out.find("Accuracy: 0.50% (40 of 8000 patterns)"), std::string::npos) << run.out.substr(0, 300);
    EXPECT_NE(run.out.find("Per class (8000 classes, too many for a confusion matrix;"), std::string::npos);
    EXPECT_NE(run.out.find("\n        1         1  100.00%       200     0.50%         0\n"), std::string::npos);
    EXPECT_NE(run.out.find("\n     7999         1    0.00%         0         -         0\n"), std::string::npos);
    EXPECT_NE(run.out.find("Most confused pairs (true label -> predicted label: patterns):\n  40 -> 0: 1\n"),
              std::string::npos);
    EXPECT_EQ(count(run.out, "\n"), 1u + 1u + 2u + 8000u + 1u + 10u);
}

// Well-formed XML, as far as a plot needs: nested tags that close in order,
// quoted attributes, only the five entities. Counts the elements by name.
bool well_formed(const std::string &xml, std::map<std::string, size_t> *elements)
{
    std::vector<std::string> open;
    size_t roots = 0;
    for (size_t at = 0; at < xml.size();) {
        if (xml[at] == '&') {
            const size_t end = xml.find(';', at);
            const std::string entity = end == std::string::npos ? "" : xml.substr(at, end - at + 1);
            if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;" && entity != "&apos;")
                return false;
            at = end + 1;
            continue;
        }
        if (xml[at] != '<') {
            if (xml[at] == '>' || (open.empty() && !std::isspace(static_cast<unsigned char>(xml[at]))))
                return false;
            ++at;
            continue;
        }
        const size_t end = xml.find('>', at);
        if (end == std::string::npos)
            return false;
        const std::string tag = xml.substr(at + 1, end - at - 1);
        at = end + 1;
        if (tag.front() == '?' && tag.back() == '?' && roots == 0 && open.empty())
            continue;
        if (count(tag, "\"") % 2 != 0 || tag.find('<') != std::string::npos)
            return false;
        const bool closing = tag.front() == '/', empty = tag.back() == '/';
        const std::string name = tag.substr(closing, tag.find_first_of(" \t\n/", closing) - closing);
        if (closing) {
            if (open.empty() || open.back() != name)
                return false;
            open.pop_back();
            continue;
        }
        roots += open.empty();
        ++(*elements)[name];
        if (!empty)
            open.push_back(name);
    }
    return open.empty() && roots == 1;
}

// A real XML parser's verdict (xmllint, from libxml2-utils).
bool xml_parses(const fs::path &file)
{
    if (std::system("xmllint --version >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "xmllint (Debian package libxml2-utils) is needed to check the SVG files";
        return false;
    }
    return std::system(("xmllint --noout '" + file.string() + "'").c_str()) == 0;
}

TEST_F(Cli, PlotIsWellFormedSvgWithOneRectanglePerNode)
{
    put(dir / "odd.csv", "x<y & z,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n0.9,0.5,3\n");
    ASSERT_EQ(quorv({"train", "odd.csv", "-o", "odd.model", "--vigilance", "0.9"}).status, 0);
    const cli::Model model = cli::read_model((dir / "odd.model").string());
    for (const char *features : {"1,2", "b,x<y & z"}) {
        const Outcome run = quorv({"plot", "odd.model", "odd.csv", "--features", features, "-o", "odd.svg"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = slurp(dir / "odd.svg");
        std::map<std::string, size_t> elements;
        EXPECT_TRUE(well_formed(svg, &elements)) << svg;
        EXPECT_EQ(elements["svg"], 1u);
        EXPECT_EQ(elements["rect"], model.members[0].nodes);
        EXPECT_EQ(elements["circle"], 4u + 3u) << "4 patterns and 3 legend entries";
        EXPECT_NE(svg.find("x&lt;y &amp; z"), std::string::npos);
        EXPECT_TRUE(xml_parses(dir / "odd.svg"));
    }
}

TEST_F(Cli, PlotOfHostileNamesIsWellFormedXml)
{
    // Control bytes, NUL, non-XML UTF-8, markup and quotes in every name the plot shows (names
    // that are not UTF-8 at all are refused by train).
    const char x_name[] = "x\x01\x1b[2J\x00\xef\xbf\xbe]]>&amp;<b a='1\">";
    const std::string x(x_name, sizeof x_name - 1);
    const std::string y = "y\x7f\xc2\x9b\t\r";
    const std::string label = "\xe2\x80\xae<!--label";
    put(dir / "hostile.csv", x + "," + y + "," + label + "\n0,0,1\n1,1,2\n0.2,0.1,1\n");
    ASSERT_EQ(quorv({"train", "hostile.csv", "-o", "h.model", "--verbose", "0"}).status, 0);
    const Outcome run = quorv({"plot", "h.model", "hostile.csv", "-o", "h.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(xml_parses(dir / "h.svg")) << slurp(dir / "h.svg");
    EXPECT_NE(slurp(dir / "h.svg").find("]]&gt;&amp;amp;&lt;b a=&apos;1&quot;&gt;"), std::string::npos);
}

TEST_F(Cli, DemoPrintsSummariesAndAccuracy)
{
    const Outcome run = quorv({"demo"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char *piece : {"Dataset iris: 150 patterns, 4 features, 3 classes", "105 training patterns, 45 test",
                              "\nTraining converged after ", "\nClassified 45 patterns: ",
                              "Accuracy: ", " of 45 patterns)", "Confusion matrix"})
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
    EXPECT_EQ(run.err, "");
    // The seed fixes the split: the same run gives the same result.
    const Outcome again = quorv({"demo", "--verbose", "0"});
    const auto accuracy = [](const std::string &out) { return out.substr(out.find("Accuracy: ")); };
    EXPECT_EQ(accuracy(again.out), accuracy(run.out));
}

TEST_F(Cli, HelpExplainsEachCommand)
{
    for (const char *command : {"train", "classify", "plot", "demo"}) {
        const Outcome run = quorv({command, "--help"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind(std::string("Usage: quorv ") + command, 0), 0u) << run.out;
        EXPECT_NE(run.out.find("  -h, --help"), std::string::npos);
    }
    EXPECT_EQ(quorv({"--help"}).status, 0);
}

}  // namespace

namespace {

// Labels that are names, a column to leave out and one to pass through.
const char kNamed[] =
    "id,a,b,kind\nr1,0,0,setosa\nr2,1,1,virginica\nr3,0.2,0.1,setosa\nr4,0.9,0.8,virginica\n";

TEST_F(Cli, NamedClassesIgnoredAndKeptColumnsAndInfo)
{
    put(dir / "named.csv", kNamed);
    put(dir / "new.csv", "b,id,a,kind\n0.1,x1,0.1,setosa\n0.95,x\"2,0.9,virginica\n5,x3,5,other\n");
    Outcome run = quorv({"train", "named.csv", "--ignore", "id", "-o", "n.model", "--vigilance", "0.9"});
    ASSERT_EQ(run.status, 0) << run.err;
    const cli::Model model = cli::read_model((dir / "n.model").string());
    ASSERT_EQ(model.classes.size(), 2u);
    EXPECT_EQ(model.classes[1].name, "virginica");
    EXPECT_EQ(model.ignored, std::vector<std::string>{"id"});
    EXPECT_EQ(model.feature_names, (std::vector<std::string>{"a", "b"}));

    // Predictions on stdout by name, the report on stderr; an unknown class is a class of its own.
    run = quorv({"classify", "n.model", "new.csv", "--keep", "id", "-o", "-", "--unclassified", "unknown"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "id,label,true_label\nx1,setosa,setosa\n\"x\"\"2\",virginica,virginica\nx3,-1,other\n");
    EXPECT_NE(run.err.find("\n    other         0         0         0         1\n"), std::string::npos) << run.err;

    run = quorv({"info", "n.model"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char *piece : {"(format 2): 2 features, 2 classes, trained on 4 patterns", "  b  0 .. 1\n",
                              "Columns left out: id", "virginica", "rows in file order"})
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
}

TEST_F(Cli, VotingModelsReadBackAndShufflesAreSeeded)
{
    ASSERT_EQ(quorv({"train", kIris, "-o", "v.model", "--votes", "3", "--seed", "7"}).status, 0);
    ASSERT_EQ(quorv({"train", kIris, "-o", "s.model", "--shuffle", "--seed", "8"}).status, 0);
    const std::string text = slurp(dir / "v.model");
    const cli::Model v = cli::parse_model(text, "v.model");
    EXPECT_EQ(cli::model_text(v), text);
    ASSERT_EQ(v.members.size(), 3u);
    EXPECT_EQ(v.shuffle_seed, 7);
    // Member 2 was shuffled with seed 8: the same nodes as one model shuffled with it.
    const cli::Model s = cli::read_model((dir / "s.model").string());
    EXPECT_EQ(v.members[1].templates, s.members[0].templates);
    EXPECT_NE(v.members[0].templates, s.members[0].templates);

    // A format-1 model still reads, and is written back as format 1.
    const cli::Model one = cli::parse_model(kModel, "m");
    EXPECT_EQ(cli::model_text(one), kModel);
    ASSERT_EQ(one.classes.size(), 2u);

    // The vote: a majority of those that answer; a tie goes to the earliest member.
    const std::vector<std::vector<double>> answers = {{1, -1, 2, 3, -1}, {2, -1, 2, 1, 4}, {2, -1, 1, 2, -1}};
    EXPECT_EQ(front::vote_all(answers, -1), (std::vector<double>{2, -1, 2, 3, 4}));
}

TEST_F(Cli, NearestPassClassifiesWhatNoBoxTakes)
{
    put(dir / "m.model", kModel);
    put(dir / "d.csv", "a,b,label\n0.25,0.25,1\n1.2,1.2,2\n9,9,2\n");
    const Outcome run = quorv({"classify", "m.model", "d.csv", "-o", "p.csv", "--vigilance", "0.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    // (9, 9) is beyond even the nearest box: the class with the most nodes, the lowest of equals.
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "Classified 3 patterns: 1 by their boxes (vigilance 0.5), 2 by the nearest box (vigilance 0), "
              "0 unclassified");
    EXPECT_EQ(slurp(dir / "p.csv"), "label,true_label\n1,1\n2,2\n1,2\n");
    const Outcome off = quorv({"classify", "m.model", "d.csv", "-o", "p.csv", "--vigilance", "0.5",
                               "--unclassified", "unknown"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out.substr(0, off.out.find('\n')),
              "Classified 3 patterns: 1 by their boxes (vigilance 0.5), 2 unclassified");
    EXPECT_EQ(slurp(dir / "p.csv"), "label,true_label\n1,1\n-1,2\n-1,2\n");
}

TEST_F(Cli, ModelFormatTwoIsReadStrictly)
{
    ASSERT_EQ(quorv({"train", "-o", "g.model", kIris, "--votes", "2"}).status, 0);
    const std::string good = slurp(dir / "g.model");
    const auto edit = [&good](const std::string &from, const std::string &to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    const std::pair<std::string, const char *> cases[] = {
        {edit("class 2 2\n", "class 1 2\n"), "m:12: class codes must ascend"},
        {edit("class 3 3\n", "class 3 2\n"), "m:13: class name '2' is used twice"},
        {edit("\nnode 1 ", "\nnode 4 "), "m:27: node label 4 is not a class of the model"},
        {edit("member 2\n", "member 3\n"), "*: expected 'member 2'"},
        {edit("members 2\n", "members 0\n"), "m:22: member count '0' is not a whole number in [1, 1000]"},
        {edit("order shuffled 1\n", "order random\n"), "m:21: order must be 'file' or 'shuffled SEED'"},
        {edit("ignored 0\n", "ignored 1\nignore label\n"), "m:10: name 'label' is used twice"},
    };
    for (const auto &c : cases) {
        try {
            cli::parse_model(c.first, "m");
            ADD_FAILURE() << c.second;
        } catch (const front::Error &e) {
            const std::string want = c.second;
            if (want[0] == '*')
                EXPECT_NE(std::string(e.what()).find(want.substr(1)), std::string::npos) << e.what();
            else
                EXPECT_EQ(e.what(), want);
        }
    }
}

TEST_F(Cli, TuneGivesTheSameTableOnOneOrTwoWorkersAndWritesTheBest)
{
    const std::vector<std::string> base = {"tune", kIris, "--vigilance", "0.7:0.8:0.05", "--learning-rate", "1",
                                           "--folds", "3"};
    std::vector<std::string> one = base, two = base;
    one.insert(one.end(), {"--jobs", "1"});
    two.insert(two.end(), {"--jobs", "2", "-o", "best.model"});
    const Outcome a = quorv(one), b = quorv(two);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const auto table = [](const std::string &out) {
        std::string rows;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.find('%') != std::string::npos)
                rows += line.substr(0, line.find("%", line.find("%") + 1)) + "\n";  // without the times
        return rows;
    };
    EXPECT_EQ(table(a.out), table(b.out));
    EXPECT_EQ(count(a.out, "<- best"), 1u) << a.out;
    EXPECT_TRUE(fs::exists(dir / "best.model"));
    for (const auto &[grid, message] : std::vector<std::pair<std::string, std::string>>{
             {"0.9:0.5:0.1", "quorv: --vigilance: '0.9:0.5:0.1' needs FROM <= TO and STEP > 0\n"},
             {"0.5,x", "quorv: --vigilance: 'x' is not a number (give V, V1,V2,... or FROM:TO:STEP)\n"},
             {"0:1", "quorv: --vigilance: '0:1' is not FROM:TO:STEP\n"}}) {
        const Outcome bad = quorv({"tune", kIris, "--vigilance", grid});
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.err, message);
    }
}

TEST_F(Cli, CtrlCDuringTrainingWritesNothing)
{
    const pid_t pid = start_tool(dir, {"train", data_file("satellite.csv"), "-o", "sat.model", "--votes", "50"});
    usleep(1500 * 1000);
    kill(pid, SIGINT);
    const Outcome run = finish_tool(dir, pid);
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.err, "quorv: interrupted; no model written\n");
    EXPECT_FALSE(fs::exists(dir / "sat.model"));
    EXPECT_EQ(temporaries(), 0u);
}

}  // namespace

namespace {

TEST_F(Cli, PlotMarksMisclassifiedPointsAndCanLeaveOutInactiveBoxes)
{
    // Node 1 takes (0.25, 0.25) rightly, node 2 takes (0.75, 0.75) wrongly; no row selects node 3.
    std::string model = std::string(kModel) + "node 1 5 5 5 5\n";
    model.replace(model.find("nodes 2\n"), 8, "nodes 3\n");
    model.replace(model.find("vigilance 0.75"), 14, "vigilance 0.25");
    put(dir / "m.model", model);
    put(dir / "d.csv", "a,b,label\n0.25,0.25,1\n0.75,0.75,1\n");
    for (const bool only : {false, true}) {
        std::vector<std::string> args = {"plot", "m.model", "d.csv", "-o", "p.svg", "--features", "b,a"};
        if (only)
            args.push_back("--active-only");
        const Outcome run = quorv(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = slurp(dir / "p.svg");
        std::map<std::string, size_t> elements;
        EXPECT_TRUE(well_formed(svg, &elements)) << svg;
        EXPECT_EQ(elements["rect"], only ? 2u : 3u);
        EXPECT_EQ(count(svg, "stroke-dasharray"), only ? 0u : 1u);
        EXPECT_NE(svg.find(">m.model: a against b</text>"), std::string::npos);
        EXPECT_NE(svg.find(">misclassified (1)</text>"), std::string::npos);
        EXPECT_NE(svg.find("2 of 3 boxes selected"), std::string::npos);
    }
}

}  // namespace
