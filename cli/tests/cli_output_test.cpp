// The tool's outputs: hostile names reach no terminal raw, an output that is
// an input is refused, outputs keep what they replace, classification streams
// in bounded memory and many classes stay readable.
#include "cli_test.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

using namespace cli_test;

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
    EXPECT_EQ(bad_cell.err, "quorv: evil.csv:4: column 2 (b): 'x" + shown +
                                "' is not a number (a column of ids or text: --ignore 'b' leaves it out; "
                                "--label-column 'b' makes it the label)\n");
    const Outcome bad_column = quorv({"classify", "m.model", "evil_header.csv"});
    EXPECT_EQ(bad_column.err, "quorv: evil_header.csv has no column 'a', a feature of the model\n");
    const std::string weird_dir = "d\x1b[2J";
    const Outcome bad_path = quorv({"train", "hollow.csv", "-o", weird_dir + "/out"});
    EXPECT_EQ(bad_path.err, "quorv: cannot write d\\x1b[2J/out: No such file or directory\n");
    for (const Outcome *run : {&bad_cell, &bad_column, &bad_path})
        for (char ch : run->err)
            EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << run->err;
}


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
    EXPECT_EQ(count(quorv({"classify", "m.model", "good.csv", "--verbose", "1", "--unclassified", "unknown"}).err,
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
    Outcome run = quorv({"classify", "many.model", "many.csv", "--vigilance", "1", "--verbose", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Without -o the predictions take standard output and the summary standard error.
    EXPECT_EQ(run.out.substr(0, 21), "label,true_label\n0,0\n");
    run.out = run.err;
    EXPECT_EQ(run.out.find("Confusion matrix"), std::string::npos);
    EXPECT_NE(run.out.find("Accuracy: 0.50% (40 of 8000 patterns)"), std::string::npos) << run.out.substr(0, 300);
    EXPECT_NE(run.out.find("Per class (8000 classes, too many for a confusion matrix;"), std::string::npos);
    EXPECT_NE(run.out.find("\n        1         1  100.00%       200     0.50%         0\n"), std::string::npos);
    EXPECT_NE(run.out.find("\n     7999         1    0.00%         0         -         0\n"), std::string::npos);
    EXPECT_NE(run.out.find("Most confused pairs (true label -> predicted label: patterns):\n  40 -> 0: 1\n"),
              std::string::npos);
    EXPECT_EQ(count(run.out, "\n"), 1u + 1u + 2u + 8000u + 1u + 10u + 1u);  // and "Predictions written to ..."
}

// Class names reach a terminal through the tool's one escape, and a file or
// pipe byte for byte: scripts read the names as they were trained.
TEST_F(Cli, PredictionsOnATerminalShowHostileNamesInert)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script not found (Debian package bsdutils)";
    struct Name {
        std::string raw, shown;
    };
    const Name names[] = {
        {"t\x1b]2;owned\x07", "t\\x1b]2;owned\\x07"},  // sets the window title
        {"\x1b[2Jclear", "\\x1b[2Jclear"},
        {"c1\xc2\x9b" "31m", "c1\\xc2\\x9b31m"},        // the one-byte CSI of C1
        {"rtl\xe2\x80\xae" "gpj", "rtl\\xe2\\x80\\xaegpj"},  // right-to-left override
        {"del\x7f\b", "del\\x7f\\x08"},
        {"tab\tin", "tab\\x09in"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // printable UTF-8 stays
    };
    std::string data = "a,label\n", raw = "label,true_label\n", shown = raw;
    for (size_t k = 0; k < std::size(names); ++k) {
        data += std::to_string(k) + "," + names[k].raw + "\n";
        raw += names[k].raw + "," + names[k].raw + "\n";
        shown += names[k].shown + "," + names[k].shown + "\n";
    }
    put(dir / "d.csv", data);
    const Outcome train = quorv({"train", "d.csv", "-o", "m.model", "--vigilance", "1"});
    ASSERT_EQ(train.status, 0) << train.err;
    const Outcome piped = quorv({"classify", "m.model", "d.csv"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, raw);
    const std::string command = "cd '" + dir.string() + "' && script -qec \"" + QUORV_EXE +
                                " classify m.model d.csv 2>/dev/null\" /dev/null > tty.out";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string tty = slurp(dir / "tty.out");
    tty.erase(std::remove(tty.begin(), tty.end(), '\r'), tty.end());  // the terminal's CR LF
    EXPECT_EQ(tty, shown);
}

}  // namespace
