// The live progress line: its time left at the pace so far, drawn on a
// terminal only, and never changing what the tool writes to stdout or files.
#include "progress.h"
#include "tool_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace tool_test;

TEST(TimeLeft, AtThePaceSoFar)
{
    struct Case {
        double elapsed, done, total;
        const char *expected;
    };
    const Case cases[] = {
        {10, 1, 5, "10.0 s, about 40 s left"},
        {10, 0, 5, "10.0 s"},        // no pace yet
        {10, 5, 5, "10.0 s"},        // finished
        {10, 6, 5, "10.0 s"},        // more than foreseen
        {30, 1, 4, "30.0 s, about 1 min 30 s left"},
        {60, 1, 100, "60.0 s, about 1 h 39 min left"},
        {2, 3, 4, "2.0 s, about 1 s left"},
    };
    for (const Case &c : cases) {
        const auto start = std::chrono::steady_clock::now() -
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(c.elapsed));
        EXPECT_EQ(cli::time_taken_and_left(start, c.done, c.total), c.expected)
            << c.elapsed << " s, " << c.done << " of " << c.total;
    }
}

class LiveLine : public FolderTest {
protected:
    LiveLine() : FolderTest("quorv_progress") {}

    void write_data(const std::string &name, size_t rows, std::mt19937 *random)
    {
        std::string text;
        for (int j = 0; j < 20; ++j)
            text += "f" + std::to_string(j) + ",";
        text += "y\n";
        std::uniform_real_distribution<double> value(0, 1);
        for (size_t i = 0; i < rows; ++i) {
            for (int j = 0; j < 20; ++j)
                text += std::to_string(value(*random)).substr(0, 6) + ",";
            text += std::to_string(1 + (*random)() % 5) + "\n";
        }
        put(dir / name, text);
    }
};

// A file of one block (45000 rows of 21 columns) classified by a forest of
// many boxes: seconds of plug-in calls with no block boundary in between.
TEST_F(LiveLine, OnATerminalOnly)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script not found (Debian package bsdutils)";
    std::mt19937 random(7);
    write_data("train.csv", 3000, &random);
    write_data("test.csv", 45000, &random);
    Outcome train = finish_tool(dir, start_tool(dir, {"train", "train.csv", "-o", "f.model", "--votes", "8",
                                                      "--max-features", "0.5", "--vigilance", "0.9"}));
    ASSERT_EQ(train.status, 0) << train.err;
    EXPECT_EQ(train.err.find('\r'), std::string::npos) << "a live line with no terminal: " << train.err;

    Outcome plain = finish_tool(dir, start_tool(dir, {"classify", "f.model", "test.csv", "-o", "p.csv"}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
    const std::string predictions = slurp(dir / "p.csv");

    // stderr on a terminal, stdout to a file: the terminal gets the live line.
    const std::string command = "cd '" + dir.string() + "' && script -qec \"" + QUORV_EXE +
                                " classify f.model test.csv -o p.csv > tty.out\" /dev/null > tty.err";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir / "tty.err");
    const std::string shown = slurp(dir / "tty.err");
    EXPECT_TRUE(has(shown, "classify: ") && has(shown, " of 360000 patterns, ") && has(shown, " left"))
        << "no live line with the time left: " << shown;
    EXPECT_TRUE(has(shown, "\r\033[K")) << "the line is not cleared: " << shown;
    EXPECT_EQ(slurp(dir / "tty.out"), plain.out);
    EXPECT_EQ(slurp(dir / "p.csv"), predictions);
}
