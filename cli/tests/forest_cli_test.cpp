// Forests from the command line, run as a user runs the tool: the same file
// whatever the number of workers, members that are the shuffles of --votes
// when they draw every row and feature without replacement, the options'
// refusals, vote shares, and what info, plot and tune make of a forest.
#include "tool_test.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace tool_test;

class ForestCli : public FolderTest {
protected:
    ForestCli() : FolderTest("quorv_forest") {}

    // quorv ARGS in the test's folder; arguments are plain words separated by spaces.
    Outcome quorv(const std::string &args) const
    {
        std::vector<std::string> words;
        std::istringstream split(args);
        for (std::string w; split >> w;)
            words.push_back(w);
        return finish_tool(dir, start_tool(dir, words));
    }
    std::string data(const char *name) const { return data_file(std::string(name) + ".csv"); }
    std::string file(const char *name) const { return slurp(dir / name); }
};

// The node lines of member k (1-based) of a model file.
std::string member_nodes(const std::string &text, int k)
{
    const size_t start = text.find("\nmember " + std::to_string(k) + "\n");
    const size_t end = text.find("\nmember ", start + 1);
    std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return part.substr(part.find("\nlist_presentations"));
}

TEST_F(ForestCli, WorkersChangeNothingAndAllRowsWithoutReplacementAreTheShuffles)
{
    const std::string iris = data("iris");
    ASSERT_EQ(quorv("train " + iris + " -o one.model --votes 6 --max-features 0.5 --seed 3 --jobs 1").status, 0);
    const Outcome two = quorv("train " + iris + " -o two.model --votes 6 --max-features 0.5 --seed 3 --jobs 2");
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_NE(two.out.find("in a forest of 6 members, 4 features"), std::string::npos) << two.out;
    EXPECT_EQ(file("one.model"), file("two.model"));
    // Members of 2 of iris's features hold conflicts: merged, and the file says so.
    EXPECT_EQ(file("one.model").substr(0, 14), "quorv-model 4\n");
    EXPECT_NE(file("one.model").find("\ntrim_option 1\nsettings 2\nconflicts merge "), std::string::npos);
    EXPECT_NE(two.out.find("\nConflicts: "), std::string::npos) << two.out;
    ASSERT_EQ(
        quorv("train " + iris + " -o kept.model --votes 6 --max-features 0.5 --seed 3 --no-merge --no-oob").status, 0);
    EXPECT_EQ(file("kept.model").substr(0, 14), "quorv-model 3\n");

    ASSERT_EQ(quorv("train " + iris + " -o shuffles.model --votes 4 --seed 7").status, 0);
    // Forest members train as the shuffles do once their own defaults are set back.
    ASSERT_EQ(quorv("train " + iris + " -o drawn.model --votes 4 --seed 7 --no-bootstrap --max-samples 1.0 "
                    "--max-presentations 100 --no-trim")
                  .status,
              0);
    const std::string shuffles = file("shuffles.model"), drawn = file("drawn.model");
    EXPECT_NE(drawn.find("\nsample 150 without_replacement\nmember_features 4\n"), std::string::npos);
    for (int k = 1; k <= 4; ++k)
        EXPECT_EQ(member_nodes(drawn, k), member_nodes(shuffles, k)) << "member " << k;
}

TEST_F(ForestCli, OptionsAreCheckedBeforeAnyTraining)
{
    const std::string wine = data("wine");
    const struct {
        std::string args, message;
    } cases[] = {
        {"--max-features 0.5", "--max-features makes a forest, which needs --votes N (N >= 2 members)"},
        {"--votes 3 --max-features 14", "--max-features: 14 is more than the 13 features"},
        {"--votes 3 --max-features 1.5", "--max-features: '1.5' is not a fraction in (0, 1]"},
        {"--votes 3 --max-samples 1e2", "--max-samples: '1e2' is neither a fraction with a decimal point"},
        {"--votes 3 --max-samples sqrt", "--max-samples: 'sqrt' is neither a fraction with a decimal point"},
        {"--votes 3 --max-features auto", "--max-features: 'auto' is none of: a fraction with a decimal point"},
        {"--votes 3 --max-samples 179 --no-bootstrap", "--max-samples: 179 is more than the 178 rows"},
        {"--votes 3 --max-features 0.5 --jobs 0", "--jobs"},
        {"--votes 3 --max-features 1 --min-size 0.3", "--min-size: 0.3 is above 0.25"},
    };
    for (const auto &c : cases) {
        const Outcome r = quorv("train " + wine + " -o m.model " + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir / "m.model"));
    }
}

TEST_F(ForestCli, DemoTriesAForestTheSameOnOneWorkerAsOnTwo)
{
    const std::string demo = "demo --dataset wine --data-dir " + std::string(QUORV_SOURCE_DATA_DIR);
    const std::string forest = demo + " --votes 5 --max-features 0.5 --vigilance 0.95";
    const Outcome one = quorv(forest + " --jobs 1"), two = quorv(forest + " --jobs 2");
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_NE(one.out.find("Forest of 5 members trained on 1 worker: "), std::string::npos) << one.out;
    EXPECT_NE(two.out.find("Forest of 5 members trained on 2 workers: "), std::string::npos) << two.out;
    const auto classified = [](const std::string &out) { return out.substr(out.find("Classified ")); };
    EXPECT_EQ(classified(one.out), classified(two.out));
    const struct {
        std::string args, message;
    } refused[] = {
        {" --max-features 0.5", "--max-features makes a forest, which needs --votes N (N >= 2 members)"},
        {" --votes 3 --max-samples 200 --no-bootstrap", "--max-samples: 200 is more than the 125 rows"},
    };
    for (const auto &c : refused) {
        const Outcome r = quorv(demo + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

TEST_F(ForestCli, FeatureRulesCountAsTheirNamesSay)
{
    // 13 features: the square root and the base-2 logarithm, both rounded down to 3.
    for (const char *rule : {"sqrt", "log2"}) {
        const Outcome r = quorv("train " + data("wine") + " -o r.model --votes 3 --max-features " + rule);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(file("r.model").find("\nmember_features 3\n"), std::string::npos) << rule;
    }
}

TEST_F(ForestCli, SharesNameTheirColumnsApartAndSumToOne)
{
    // A kept column already named like a share column moves the prefix on.
    std::ofstream(dir / "d.csv") << "x,y,share:1,label\n0,0,a,1\n0.1,0.2,b,1\n1,1,c,2\n0.9,0.8,d,2\n0.5,0.4,e,1\n";
    ASSERT_EQ(quorv("train d.csv -o f.model --ignore share:1 --votes 5 --max-features 1").status, 0);
    const Outcome r = quorv("classify f.model d.csv -o p.csv --proba --keep share:1");
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(file("p.csv"));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "share:1,label,true_label,share_:1,share_:2,share__unknown");
    while (std::getline(lines, line)) {
        std::istringstream cells(line);
        std::string kept, label, truth, a, b, u;
        std::getline(cells, kept, ',');
        std::getline(cells, label, ',');
        std::getline(cells, truth, ',');
        std::getline(cells, a, ',');
        std::getline(cells, b, ',');
        std::getline(cells, u, ',');
        EXPECT_NEAR(std::stod(a) + std::stod(b) + std::stod(u), 1.0, 1e-12) << line;
        EXPECT_EQ(label, std::stod(a) >= std::stod(b) ? "1" : "2") << line;
    }
    // Without -o the shares go to standard output with the labels.
    const Outcome out = quorv("classify f.model d.csv --proba --keep share:1");
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, file("p.csv"));
}

TEST_F(ForestCli, InfoPlotAndTuneSpeakOfMembers)
{
    const std::string wine = data("wine");
    ASSERT_EQ(quorv("train " + wine + " -o f.model --votes 3 --max-features 2 --max-samples 0.5 --seed 4").status, 0);
    const Outcome info = quorv("info f.model");
    EXPECT_NE(info.out.find("a forest of 3 members, each on 89 rows drawn with replacement from the 178 training "
                            "patterns and 2 of the 13 features"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("rows drawn with seed 6; features: "), std::string::npos);

    const Outcome refused = quorv("plot f.model " + wine + " -o p.svg");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("choose the one to draw with --member K (1 to 3)"), std::string::npos);
    const Outcome drawn = quorv("plot f.model " + wine + " -o p.svg --member 2");
    EXPECT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_NE(file("p.svg").find("(member 2 of 3)"), std::string::npos);

    const Outcome tuned = quorv("tune " + wine + " --votes 3 --max-features 0.3,2 --vigilance 0.9 --learning-rate 1 -o t.model");
    ASSERT_EQ(tuned.status, 0) << tuned.err;
    EXPECT_NE(tuned.out.find("max_features  max_samples"), std::string::npos) << tuned.out;
    EXPECT_NE(tuned.out.find("--max-features "), std::string::npos);
    EXPECT_EQ(file("t.model").substr(0, 14), "quorv-model 4\n");  // members of 2 features: conflicts merged
    EXPECT_EQ(quorv("tune " + wine + " --max-features 0.5").status, 2);
    EXPECT_EQ(quorv("tune " + wine + " --votes 1000 --vigilance 0:1:0.001 --max-features 0.5").status, 2);
}

// A bootstrap forest's out-of-bag estimate: said by train, recorded, shown by
// info, left out where there is none to make, and tune's ranking by it.
TEST_F(ForestCli, TheOutOfBagEstimateIsSaidRecordedShownAndRanksTune)
{
    const std::string wine = data("wine"), forest = " --votes 5 --max-features 0.5 --seed 2";
    const Outcome trained = quorv("train " + wine + " -o f.model" + forest);
    ASSERT_EQ(trained.status, 0) << trained.err;
    const std::string text = file("f.model");
    const size_t at = text.find("\noob nearest ");
    ASSERT_NE(at, std::string::npos) << text;
    long right = 0, covered = 0;
    std::istringstream(text.substr(at + 13)) >> right >> covered;
    ASSERT_TRUE(right > 100 && covered > right && covered <= 178) << right << " of " << covered;
    char said[128];
    std::snprintf(said, sizeof said, "Out-of-bag estimate: %.2f %% accuracy over %ld of 178 patterns",
                  100.0 * static_cast<double>(right) / static_cast<double>(covered), covered);
    EXPECT_NE(trained.out.find(said), std::string::npos) << trained.out;
    EXPECT_NE(quorv("info f.model").out.find(said), std::string::npos);

    for (const char *none : {"--votes 5 --max-features 0.5 --no-oob", "--votes 5 --no-bootstrap --max-samples 0.5",
                             "--votes 3", ""}) {
        const Outcome r = quorv("train " + wine + " -o n.model " + none);
        ASSERT_EQ(r.status, 0) << none << ": " << r.err;
        EXPECT_EQ(r.out.find("Out-of-bag"), std::string::npos) << none;
        EXPECT_EQ(file("n.model").find("\noob "), std::string::npos) << none;
    }

    // One forest per setting, on all rows: the one train makes, and its estimate.
    const Outcome tuned = quorv("tune " + wine + forest + " --vigilance 0.75 --learning-rate 1 --oob -o t.model");
    ASSERT_EQ(tuned.status, 0) << tuned.err;
    EXPECT_NE(tuned.out.find("out-of-bag estimates of forests trained on all rows (seed 2), 1 setting"),
              std::string::npos) << tuned.out;
    std::snprintf(said, sizeof said, "%.2f%% accuracy (out of bag, over %ld patterns)",
                  100.0 * static_cast<double>(right) / static_cast<double>(covered), covered);
    EXPECT_NE(tuned.out.find(said), std::string::npos) << tuned.out;
    EXPECT_EQ(file("t.model"), text);
    const struct {
        std::string args, message;
    } refused[] = {
        {"--oob", "--oob ranks forests whose members draw their rows with replacement"},
        {"--votes 5 --max-features 0.5 --no-bootstrap --oob", "--oob ranks forests whose members draw"},
        {"--votes 5 --max-features 0.5 --oob --folds 3", "give --folds K or --oob, not both"},
    };
    for (const auto &c : refused) {
        const Outcome r = quorv("tune " + wine + " " + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

// Rows that repeat with other labels: merged by default (one pattern with the
// majority label, the summary and info counting them), kept with --no-merge,
// where training makes a node on every presentation until the limit.
TEST_F(ForestCli, ConflictsAreMergedUnlessNoMerge)
{
    {
        std::ofstream csv(dir / "c.csv");
        csv << "a,b,label\n";
        for (int i = 0; i < 4; ++i)
            csv << "1,1,1\n1,1,2\n1,1,2\n0,0,1\n";
    }
    const Outcome merged = quorv("train c.csv -o m.model");
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_NE(merged.out.find("Training converged"), std::string::npos) << merged.out;
    EXPECT_NE(merged.out.find("\nConflicts: 11 patterns merged"), std::string::npos) << merged.out;
    EXPECT_NE(file("m.model").find("\nsettings 1\nconflicts merge 11\norder file\n"), std::string::npos);
    EXPECT_NE(quorv("info m.model").out.find("\nConflicts: merged before each training call, 11 patterns in all"),
              std::string::npos);
    // The merged pattern has the majority label 2 and trains one node; the agreeing repeats of 0,0 stay.
    EXPECT_NE(file("m.model").find("\nnodes 2\nnode 2 1 1 1 1\nnode 1 0 0 0 0\n"), std::string::npos)
        << file("m.model");

    const Outcome kept = quorv("train c.csv -o k.model --no-merge --max-presentations 5");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.out.find("Conflicts:"), std::string::npos);
    EXPECT_NE(kept.out.find("\nNot converged: Training stopped at 5 presentations. Try --trim"), std::string::npos)
        << kept.out;
    EXPECT_EQ(file("k.model").find("settings"), std::string::npos);
    EXPECT_EQ(quorv("info k.model").out.find("Conflicts:"), std::string::npos);
}

// A forest's members stop at their own limit (3, trimmed) unless told
// otherwise; what the stop note offers is only what the model does not do.
TEST_F(ForestCli, StopNoteOffersWhatTheModelDoesNotDo)
{
    {
        std::ofstream csv(dir / "c.csv");
        csv << "a,b,label\n";
        for (int i = 0; i < 4; ++i)
            csv << "1,1,1\n1,1,2\n0,0,1\n";
    }
    const struct {
        const char *options, *note;
    } cases[] = {
        {"--max-presentations 5",
         "Training stopped at 5 presentations. Try --trim (drops the nodes no pattern selected last) or a higher "
         "--vigilance, or a forest"},
        {"--votes 3 --no-bootstrap", "3 of 3 members stopped at 3 presentations. Try a higher --vigilance.\n"},
        {"--votes 3 --no-bootstrap --max-presentations 100 --no-trim",
         "3 of 3 members stopped at 100 presentations. Try --trim (drops the nodes no pattern selected last) or a "
         "higher --vigilance, or a lower --max-presentations for its members.\n"},
    };
    for (const auto &c : cases) {
        const Outcome out = quorv(std::string("train c.csv -o m.model --no-merge ") + c.options);
        ASSERT_EQ(out.status, 0) << c.options << "\n" << out.err;
        EXPECT_NE(out.out.find(std::string("\nNot converged: ") + c.note), std::string::npos) << out.out;
    }
    const Outcome both = quorv("train c.csv -o m.model --trim --no-trim");
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--trim and --no-trim: give one of them"), std::string::npos) << both.err;
}

}  // namespace
