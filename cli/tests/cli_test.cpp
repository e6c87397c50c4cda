// End-to-end tests of the quorv tool's main paths: training and
// classification against direct calls of the plug-ins, columns found by name,
// scaling, named classes, voting members, tune, demo and help.
#include "cli_test.h"

namespace {

using namespace cli_test;

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
