// The tool's refusals: bad input of every kind gives one line and no output
// file, and model files that mean nothing are refused with their line.
#include "cli_test.h"

namespace {

using namespace cli_test;

TEST_F(Cli, BadInputGivesOneLineAndNoOutputFile)
{
    std::string cut = kModel, unended = kModel, junk = kModel, v5 = kModel, short_node = kModel;
    cut.resize(cut.find("epsilon"));
    unended.pop_back();
    junk += "node 1 0 0 0 0\n";
    v5.replace(v5.find(" 1\n"), 3, " 5\n");
    short_node.replace(short_node.find("node 2 0.5 0.5 1 1"), 18, "node 2 0.5 0.5 1");
    const std::pair<const char *, std::string> files[] = {
        {"good.csv", kGood}, {"empty.csv", ""}, {"blank.csv", "\n \n"}, {"head.csv", "a,b,label\n"},
        {"ragged.csv", "a,b,label\n1,2,1\n1,2\n"}, {"text.csv", "a,b,label\n1,x2,1\n"},
        {"hole.csv", "a,b,label\n1,,1\n"}, {"nan.csv", "a,b,label\n1,NaN,1\n"}, {"inf.csv", "a,b,label\n1,-inf,1\n"},
        {"frac.csv", "a,b,label\n1,2,1.5\n"}, {"cr.csv", "a,b,label\r1,2,1\r"}, {"twice.csv", "a,a,label\n1,2,1\n"}, {"one.csv", "label\n1\n"},
        {"other.csv", "a,c,label\n1,2,1\n"}, {"extra.csv", "a,b,c,label\n1,2,3,1\n"},
        {"m.model", kModel}, {"junk.model", "a,b,label\n"}, {"cut.model", cut}, {"unended.model", unended},
        {"trail.model", junk}, {"v5.model", v5}, {"short.model", short_node},
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
        {{"train", "ragged.csv", "-o", "out"}, 1, "quorv: ragged.csv:3: 2 cells where the header has 3 columns (cells are separated by ','; --delimiter "
         "picks another, and a cell holding the separator must be quoted)"},
        {{"train", "text.csv", "-o", "out"}, 1, "quorv: text.csv:2: column 2 (b): 'x2' is not a number (a column of ids or text: --ignore 'b' leaves "
         "it out; --label-column 'b' makes it the label)"},
        {{"train", "hole.csv", "-o", "out"}, 1, "quorv: hole.csv:2: column 2 (b): empty cell (a missing value: --missing median fills it with the "
         "training median, --ignore leaves the column out)"},
        {{"train", "nan.csv", "-o", "out"}, 1, "quorv: nan.csv:2: column 2 (b): 'NaN' is not a finite number (a missing value: --missing median "
         "fills it with the training median, --ignore leaves the column out)"},
        {{"train", "inf.csv", "-o", "out"}, 1, "quorv: inf.csv:2: column 2 (b): '-inf' is not a finite number"},
        {{"train", "frac.csv", "-o", "out"}, 1,
         "quorv: frac.csv:2: column 3 (label): label 1.5 is not a whole number in the int range"},
        {{"train", "twice.csv", "-o", "out"}, 1, "quorv: twice.csv:1: columns 1 and 2 are both named 'a'"},
        {{"train", "one.csv", "-o", "out"}, 1, "quorv: one.csv: no feature column besides the label column 'label' (the header is one column: "
         "--delimiter names what separates the cells)"},
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
        {{"train", "good.csv", "-o", "out", "--min-size", "-1"}, 2, "quorv: --min-size: '-1' is not a number >= 0"},
        {{"train", "good.csv", "-o", "out", "--vigilance", "1", "--min-size", "0.1"}, 2,
         "quorv: --min-size: 0.1 is above 0, the largest box size M*(1-vigilance) for 2 features at vigilance 1"},
        {{"tune", "good.csv", "--vigilance", "0.5,1.25"}, 2, "quorv: --vigilance: '1.25' is not a number in [0, 1]"},
        {{"tune", "good.csv", "--learning-rate", "0:1:0.5"}, 2, "quorv: --learning-rate: '0' is not a number in (0, 1]"},
        {{"tune", "good.csv", "--folds", "2", "--vigilance", "0.5", "--min-size", "1.5"}, 2,
         "quorv: --min-size: 1.5 is above 1, the largest box size M*(1-vigilance) for 2 features at vigilance 0.5"},
        // Seeds: one limit on every platform, the seed's own.
        {{"train", "good.csv", "-o", "out", "--shuffle", "--seed", "4611686018427387904"}, 2,
         "quorv: --seed: '4611686018427387904' is not a whole number from 0 to 4611686018427387903"},
        {{"demo", "--seed", "-1"}, 2, "quorv: --seed: '-1' is not a whole number from 0 to 4611686018427387903"},
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
         "quorv: junk.model is not a quorv model file (its first line is not 'quorv-model 4')"},
        {{"classify", "v5.model", "good.csv", "-o", "out"}, 1,
         "quorv: v5.model:1: model format version '5' is not supported (this quorv reads 1 to 4)"},
        {{"classify", "cut.model", "good.csv", "-o", "out"}, 1, "quorv: cut.model:11: ends where 'epsilon' was expected"},
        {{"classify", "unended.model", "good.csv", "-o", "out"}, 1, "quorv: unended.model:17: last line has no line end"},
        {{"classify", "trail.model", "good.csv", "-o", "out"}, 1, "quorv: trail.model:18: unexpected text after the last node"},
        {{"classify", "bad.model", "good.csv", "-o", "out"}, 1, "quorv: bad.model:11: epsilon 'x' is not a number"},
        {{"plot", "short.model", "good.csv", "-o", "out"}, 1, "quorv: short.model:17: node has 3 bounds, not 4"},
        {{"classify", "missing.model", "good.csv", "-o", "out"}, 1, "quorv: cannot read missing.model: No such file or directory"},
        {{"classify", "/dev/zero", "good.csv", "-o", "out"}, 1,
         "quorv: /dev/zero is not a quorv model file (its first line is not 'quorv-model 4')"},
        {{"classify", "m.model", "other.csv", "-o", "out"}, 1, "quorv: other.csv has no column 'b', a feature of the model"},
        {{"classify", "m.model", "extra.csv", "-o", "out"}, 1,
         "quorv: extra.csv: column 'c' is neither a feature of the model nor its label column 'label' "
         "(--ignore c leaves it out, --keep c copies it into the predictions)"},
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

// A table read whole stops at the bound on cells, at the line where it was met,
// before an endless input fills the memory; the environment sets the bound.
TEST_F(Cli, ATableReadWholeStopsAtTheBoundOnCells)
{
    std::string rows = "a,b,label\n";
    for (int i = 0; i < 1000; ++i)
        rows += std::to_string(i % 7) + "," + std::to_string(i % 5) + "," + std::to_string(i % 2 + 1) + "\n";
    put(dir / "many.csv", rows);
    Launch how;
    how.input = "many.csv";
    how.env = {"QUORV_MAX_CELLS=30"};
    const Outcome piped = finish_tool(dir, start_tool(dir, {"train", "-", "-o", "m"}, how));
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err, "quorv: standard input:12: more than 30 cells (rows x columns) to hold at once; "
                         "QUORV_MAX_CELLS raises this bound\n");
    EXPECT_FALSE(fs::exists(dir / "m"));
    EXPECT_EQ(quorv({"train", "many.csv", "-o", "m", "--verbose", "0"}, {"QUORV_MAX_CELLS=3000"}).status, 0);
    const Outcome bad = quorv({"train", "many.csv", "-o", "m2"}, {"QUORV_MAX_CELLS=lots"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "quorv: QUORV_MAX_CELLS: 'lots' is not a whole number >= 1\n");
}

}  // namespace
