// The tool as a careless user or an attacker would use it: outputs that could
// destroy inputs, signals from outside, hostile or huge names, grids too large
// to run, columns that could be mistaken for one another, standard input.
#include "support.h"
#include "tool_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace tool_test;

const std::string kIris = data_file("iris.csv");

class Safety : public FolderTest {
protected:
    Safety() : FolderTest("quorv_safety") {}

    // Starts quorv in the test's folder with `input` as its standard input
    // (a file of the folder, or /dev/null when empty), in a process group of
    // its own; output to files.
    pid_t start(const std::vector<std::string> &args, const std::string &input = "") const
    {
        Launch how;
        how.input = input;
        how.own_group = true;
        return start_tool(dir, args, how);
    }
    Outcome finish(pid_t pid) const { return finish_tool(dir, pid); }
    Outcome quorv(const std::vector<std::string> &args, const std::string &input = "") const
    {
        return finish(start(args, input));
    }

    // Files the folder holds (the run's own output files aside).
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string()[0] != '.' || has(entry.path().filename().string(), ".tmp-"))
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Processes of the process group `group` (the tool and its workers), from /proc.
size_t group_size(pid_t group)
{
    size_t n = 0;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = slurp(entry.path() / "stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        long parent = 0, pgrp = 0;
        fields >> state >> parent >> pgrp;
        n += pgrp == group && state != "Z";
    }
    return n;
}

bool wait_for(const std::function<bool()> &condition, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

namespace {

TEST_F(Safety, TuneCountsTheWorkersThatRun)
{
    put(dir / "d.csv", slurp(kIris));
    for (const auto &[jobs, says] : std::vector<std::pair<std::string, std::string>>{
             {"1", ", 1 worker\n"}, {"3", ", 3 workers\n"}, {"200", ", 4 workers\n"}}) {
        const Outcome run = quorv({"tune", "d.csv", "--vigilance", "0.7,0.8", "--learning-rate", "1", "--folds", "2",
                                   "--jobs", jobs});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out.substr(0, run.out.find('\n') + 1), says)) << run.out;
    }
}

}  // namespace

namespace {

TEST_F(Safety, TuneWritesItsOutputAsTrainDoes)
{
    put(dir / "d.csv", slurp(kIris));
    fs::create_hard_link(dir / "d.csv", dir / "link.csv");
    const std::vector<std::string> grid = {"--vigilance", "0.7", "--learning-rate", "1", "--folds", "3"};
    const struct {
        std::string output;
        int status;
        std::string err;
    } cases[] = {
        {"d.csv", 1, "quorv: d.csv is the same file as the input d.csv; writing it would destroy that input\n"},
        {"link.csv", 1, "quorv: link.csv is the same file as the input d.csv; writing it would destroy that input\n"},
        {"missing/x.model", 1, "quorv: cannot write missing/x.model: No such file or directory\n"},
        {"", 2, "quorv: --output needs a value MODEL\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"tune", "d.csv", "-o"};
        if (!c.output.empty())
            args.push_back(c.output);
        args.insert(args.end(), grid.begin(), grid.end());
        if (c.output.empty())
            args = {"tune", "d.csv", "-o"};
        const auto start = std::chrono::steady_clock::now();
        const Outcome run = quorv(args);
        EXPECT_EQ(run.status, c.status) << c.output;
        EXPECT_EQ(run.err, c.err) << c.output;
        EXPECT_EQ(run.out, "") << c.output;  // refused before any work
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(slurp(dir / "d.csv"), slurp(kIris));
    }
    // "-": standard output is the model alone; the table goes to standard error.
    std::vector<std::string> args = {"tune", "d.csv", "-o", "-"};
    args.insert(args.end(), grid.begin(), grid.end());
    const Outcome run = quorv(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("quorv-model 1\n", 0), 0u) << run.out.substr(0, 200);
    EXPECT_FALSE(has(run.out, "best")) << run.out.substr(0, 200);
    EXPECT_TRUE(has(run.err, "<- best")) << run.err;
    EXPECT_TRUE(has(run.err, "Model written to standard output")) << run.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"d.csv", "link.csv"}));
}

TEST_F(Safety, TuneChecksEveryValueAndTheSizeOfTheGridBeforeAnyWork)
{
    put(dir / "d.csv", slurp(kIris));
    std::string many = "0.5";
    for (int i = 1; i < 3000; ++i)
        many += ",0.5";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--vigilance", "0.5,1.5"}, "--vigilance: '1.5' is not a number in [0, 1]"},
        {{"--vigilance", "-0.1:0.5:0.1"}, "--vigilance: '-0.1' is not a number in [0, 1]"},
        {{"--learning-rate", "0"}, "--learning-rate: '0' is not a number in (0, 1]"},
        {{"--learning-rate", "1,nan"}, "--learning-rate: 'nan' is not a number (give V, V1,V2,... or FROM:TO:STEP)"},
        {{"--epsilon", "nan"}, "--epsilon: 'nan' is not a finite number >= 0"},
        {{"--epsilon", "-1"}, "--epsilon: '-1' is not a finite number >= 0"},
        {{"--min-size", "-1"}, "--min-size: '-1' is not a number >= 0"},
        {{"--max-presentations", "0"}, "--max-presentations: '0' is not a whole number from 1 to 2147483647"},
        // The largest box size depends on the features: checked on the data, before any training.
        {{"--min-size", "1.5", "--vigilance", "0.5,0.7"},
         "--min-size: 1.5 is above 1.2000000000000002, the largest box size M*(1-vigilance) for 4 features at "
         "vigilance 0.7"},
        {{"--vigilance", "0:0.999:0.001", "--learning-rate", "0.001:0.999:0.001", "--folds", "1000"},
         "tune: 999000 settings x 1000 folds make 999000000 trainings, more than 10000; --force runs them all"},
        {{"--vigilance", many, "--learning-rate", many},
         "tune: 9000000 settings x 5 folds make 45000000 trainings, more than 10000; --force runs them all"},
        {{"--vigilance", "0:0.99:0.01", "--folds", "20", "--votes", "3"},
         "tune: 200 settings x 20 folds x 3 members make 12000 trainings, more than 10000; --force runs them all"},
        // --force lifts the limit, not the other checks (nothing is run: the output fails first).
        {{"--vigilance", "0:0.99:0.01", "--folds", "20", "--votes", "3", "--force", "-o", "no/m.model"},
         "cannot write no/m.model: No such file or directory"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"tune", "d.csv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = quorv(args);
        EXPECT_EQ(run.status, has(c.err, "cannot write") ? 1 : 2) << c.err;
        EXPECT_EQ(run.err, "quorv: " + c.err + "\n");
        EXPECT_EQ(run.out, "") << c.err;
    }
}

TEST_F(Safety, ASignalEndsTheToolItsWorkersAndItsTemporary)
{
    const std::string satellite = std::string(QUORV_SOURCE_DATA_DIR) + "/satellite.csv";
    const struct {
        int signal;
        const char *name;
        bool tune;
    } cases[] = {
        {SIGTERM, "ended by SIGTERM", true}, {SIGHUP, "ended by SIGHUP", true},
        {SIGINT, "interrupted", true},       {SIGXCPU, "ended by SIGXCPU", true},
        {SIGUSR1, "ended by SIGUSR1", false}, {SIGALRM, "ended by SIGALRM", false},
        {SIGTERM, "ended by SIGTERM", false},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> args =
            c.tune ? std::vector<std::string>{"tune", satellite, "--vigilance", "0.9", "--learning-rate", "1",
                                              "--folds", "4", "--jobs", "2", "-o", "m.model"}
                   : std::vector<std::string>{"train", satellite, "--votes", "50", "-o", "m.model"};
        const pid_t pid = start(args);
        // Until the workers run, or the temporary is there.
        const bool running = wait_for([&] { return c.tune ? group_size(pid) == 3 : files().size() == 1; }, 20);
        EXPECT_TRUE(running) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, c.signal);
        const Outcome run = finish(pid);
        EXPECT_EQ(run.status, 128 + c.signal) << c.name << ": " << run.err;
        EXPECT_EQ(run.err, std::string("quorv: ") + c.name + "; no model written\n");
        EXPECT_TRUE(wait_for([&] { return group_size(pid) == 0; }, 5)) << c.name << ": workers left";
        EXPECT_EQ(files(), std::vector<std::string>()) << c.name;
    }
}

TEST_F(Safety, StandardInputIsADataFileLikeAnyOther)
{
    put(dir / "d.csv", slurp(kIris));
    put(dir / "bad.csv", "sepal_length_cm,sepal_width_cm,petal_length_cm,petal_width_cm,label\n1,2,3,4,1\nx,2,3,4,1\n");
    const Outcome file = quorv({"train", "d.csv", "-o", "file.model", "--shuffle"});
    const Outcome piped = quorv({"train", "-", "-o", "piped.model", "--shuffle"}, "d.csv");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(slurp(dir / "piped.model"), slurp(dir / "file.model"));
    const Outcome classified = quorv({"classify", "file.model", "d.csv", "-o", "file.csv", "--keep", "1"});
    const Outcome classified_piped = quorv({"classify", "file.model", "-", "-o", "-", "--keep", "1"}, "d.csv");
    ASSERT_EQ(classified_piped.status, 0) << classified_piped.err;
    EXPECT_EQ(classified_piped.out, slurp(dir / "file.csv"));
    const std::vector<std::string> grid = {"--vigilance", "0.7,0.8", "--learning-rate", "1", "--folds", "3"};
    std::vector<std::string> by_file = {"tune", "d.csv"}, by_pipe = {"tune", "-"};
    by_file.insert(by_file.end(), grid.begin(), grid.end());
    by_pipe.insert(by_pipe.end(), grid.begin(), grid.end());
    const auto accuracies = [](const std::string &out) {
        std::string rows;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (has(line, "%"))
                rows += line.substr(0, line.find('%', line.find('%') + 1)) + "\n";
        return rows;
    };
    const Outcome tuned = quorv(by_file), tuned_piped = quorv(by_pipe, "d.csv");
    ASSERT_EQ(tuned_piped.status, 0) << tuned_piped.err;
    EXPECT_EQ(accuracies(tuned_piped.out), accuracies(tuned.out));
    EXPECT_TRUE(has(tuned_piped.out, "Tuning on standard input: 150 patterns")) << tuned_piped.out;
    // Faults name standard input; an output that is the file read as standard input is refused.
    for (const auto &command : {std::vector<std::string>{"train", "-", "-o", "m.model"},
                                std::vector<std::string>{"tune", "-"},
                                std::vector<std::string>{"classify", "file.model", "-"}}) {
        const Outcome bad = quorv(command, "bad.csv");
        EXPECT_EQ(bad.status, 1);
        EXPECT_TRUE(has(bad.err, "quorv: standard input:3: column 1 ")) << bad.err;
    }
    const Outcome same = quorv({"train", "-", "-o", "d.csv"}, "d.csv");
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.err, "quorv: d.csv is the same file as the input /dev/stdin; writing it would destroy that input\n");
    EXPECT_EQ(slurp(dir / "d.csv"), slurp(kIris));
}

}  // namespace

namespace {

// Rows of a two-feature file: one per class name, far apart, plus a repeat
// of the first, so that every class has a box.
std::string classes_file(const std::vector<std::string> &names)
{
    std::string text = "a,b,label\n";
    for (size_t i = 0; i < names.size(); ++i)
        text += std::to_string(i) + "," + std::to_string(i % 7) + "," + names[i] + "\n";
    return text + "0,0," + names[0] + "\n";
}

TEST_F(Safety, NamesInTablesAreShownInertAndCutToAFixedWidth)
{
    const std::string huge(1 << 20, 'x');
    const std::string hostile = "ev\x1b]2;owned\x07";
    std::vector<std::string> few = {huge, hostile, "none", "c0"};
    std::vector<std::string> many = few;
    for (int i = 0; i < 3000; ++i)
        many.push_back("c" + std::to_string(i + 1));
    const std::string evil_file = "ev\x1b]2;owned\x07.csv";
    for (const auto &names : {few, many}) {
        put(dir / "d.csv", classes_file(names));
        put(dir / evil_file, classes_file(names));
        ASSERT_EQ(quorv({"train", "d.csv", "-o", "m.model"}).status, 0);
        const std::vector<std::vector<std::string>> commands = {
            {"classify", "m.model", "d.csv", "-o", "p.csv"},  // the report on standard output, not the predictions
            {"info", "m.model"},
            {"demo", "--data-dir", ".", "--dataset", "d", "--test-fraction", "0.5"},
            {"tune", evil_file, "--vigilance", "0.9", "--learning-rate", "1", "--folds", "2", "-o",
             "out\x1b[31m.model"},
        };
        for (const auto &command : commands) {
            const Outcome run = quorv(command);
            const std::string what = command[0] + " of " + std::to_string(names.size()) + " classes";
            ASSERT_EQ(run.status, 0) << what << ": " << run.err.substr(0, 300);
            // Linear: a line per class at most, each of bounded width.
            EXPECT_LT(run.out.size(), 2000 + 200 * names.size()) << what;
            EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << what;
            EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << what;
            if (command[0] != "tune") {
                EXPECT_TRUE(has(run.out, std::string(40, 'x') + "...")) << what;
            }
            if (command[0] == "classify" || command[0] == "info") {
                EXPECT_TRUE(has(run.out, "ev\\x1b]2;owned\\x07")) << what;
            }
            if (command[0] == "tune") {
                EXPECT_TRUE(has(run.out, "Tuning on ev\\x1b]2;owned\\x07.csv:")) << run.out.substr(0, 300);
                EXPECT_TRUE(has(run.out, "Model written to out\\x1b[31m.model")) << what;
            }
        }
        fs::remove(dir / "out\x1b[31m.model");
    }
}

// A forest's members list their features, and a range too wide names its
// feature, as every table does: inert, and cut to a fixed width.
TEST_F(Safety, MembersAndRangeMessagesShowNamesInertAndCut)
{
    const std::string huge(1 << 20, 'x'), hostile = "ev\x1b]2;owned\x07";
    put(dir / "d.csv", huge + "," + hostile + ",label\n0,0,1\n1,1,2\n0.5,0.2,1\n0.2,0.9,2\n");
    ASSERT_EQ(quorv({"train", "d.csv", "-o", "f.model", "--votes", "50", "--max-features", "1", "--seed", "3"}).status,
              0);
    const Outcome info = quorv({"info", "f.model"});
    ASSERT_EQ(info.status, 0) << info.err.substr(0, 300);
    EXPECT_LT(info.out.size(), 2000u + 50u * 200u);
    EXPECT_EQ(info.out.find('\x1b'), std::string::npos);
    EXPECT_TRUE(has(info.out, "features: " + std::string(40, 'x') + "...\n"));
    EXPECT_TRUE(has(info.out, "features: ev\\x1b]2;owned\\x07\n"));

    put(dir / "wide.csv", huge + ",label\n-1e308,1\n1e308,2\n");
    const Outcome wide = quorv({"train", "wide.csv", "-o", "w.model"});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.err, "quorv: wide.csv: feature '" + std::string(40, 'x') +
                            "...' spans too wide a range to scale (try --no-scale)\n");
    const Outcome dash = quorv({"info", "-"});
    EXPECT_EQ(dash.status, 1);
    EXPECT_EQ(dash.err, "quorv: cannot read -: a model is read from a file, not from standard input (./- names a "
                        "file called -)\n");
}

TEST_F(Safety, TheUnclassifiedColumnIsNoClassesName)
{
    // Classes "none" and "(none)": the unclassified column takes the next name.
    put(dir / "d.csv", "a,b,label\n0,0,none\n1,1,(none)\n");
    put(dir / "t.csv", "a,b,label\n0,0,none\n1,1,(none)\n0.5,0.9,none\n");
    ASSERT_EQ(quorv({"train", "d.csv", "-o", "m.model", "--vigilance", "0.9"}).status, 0);
    const Outcome run = quorv({"classify", "m.model", "t.csv", "--unclassified", "unknown", "-o", "p.csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "columns: predicted label, ((none)): unclassified")) << run.out;
    std::istringstream lines(run.out.substr(run.out.find("unclassified):\n") + 15));
    std::string head;
    std::getline(lines, head);
    std::istringstream words(head);
    std::vector<std::string> columns;
    for (std::string w; words >> w;)
        columns.push_back(w);
    EXPECT_EQ(columns, (std::vector<std::string>{"(none)", "none", "((none))"})) << head;  // by code: names sorted
    EXPECT_EQ(slurp(dir / "p.csv"), "label,true_label\nnone,none\n(none),(none)\n-1,none\n");
    // A class named "-1": the unknown label is one whose text no class has.
    put(dir / "n.csv", "a,b,label\n0,0,-1\n1,1,x\n");
    ASSERT_EQ(quorv({"train", "n.csv", "-o", "n.model", "--vigilance", "0.9"}).status, 0);
    put(dir / "u.csv", "a,b\n0.5,0.9\n0,0\n");
    const Outcome named = quorv({"classify", "n.model", "u.csv", "--unclassified", "unknown", "-o", "q.csv"});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(slurp(dir / "q.csv"), "label\n-2\n-1\n");
    EXPECT_TRUE(has(named.out, "Unclassified patterns get the label -2")) << named.out;
}

TEST_F(Safety, AKeptColumnIsNeverMistakenForAnotherColumn)
{
    put(dir / "d.csv", "id,a,b,label,true_label,note\n7,0,0,1,x,n\n8,1,1,2,y,m\n");
    ASSERT_EQ(quorv({"train", "d.csv", "-o", "m.model", "--label-column", "label", "--ignore", "id,true_label,note"})
                  .status,
              0);
    const struct {
        std::string keep;
        int status;
        std::string result;  // the error, or the predictions file
    } cases[] = {
        {"id,label", 2, "--keep: column 'label' would have the name of the predictions' own 'label' column; keep "
                        "another column or rename it in the data"},
        {"true_label", 2, "--keep: column 'true_label' would have the name of the predictions' own 'true_label' "
                          "column; keep another column or rename it in the data"},
        {"id,id", 2, "--keep: column 'id' is named twice"},
        {"1,id", 2, "--keep: column 'id' is named twice"},
        {"note,id", 0, "note,id,label,true_label\nn,7,1,1\nm,8,2,2\n"},
    };
    for (const auto &c : cases) {
        const Outcome run = quorv({"classify", "m.model", "d.csv", "--keep", c.keep, "-o", "p.csv"});
        EXPECT_EQ(run.status, c.status) << c.keep << ": " << run.err;
        if (c.status == 0) {
            EXPECT_EQ(slurp(dir / "p.csv"), c.result);
        } else {
            EXPECT_EQ(run.err, "quorv: " + c.result + "\n");
            EXPECT_FALSE(fs::exists(dir / "p.csv")) << c.keep;
        }
    }
}

}  // namespace
