// A model's rows read on several threads: the same model, and for a damaged
// file the first refusal in the file with the same message and line, as one
// thread gives, through the text, the file, its .gz form and the outline.
#include "front/error.h"
#include "front/gzip.h"
#include "front/model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Three members of 40 nodes over features a and b: member m's header at
// line 20 + 43 (m - 1), its rows on the 40 lines after the header's three.
std::vector<std::string> sound_lines()
{
    std::vector<std::string> lines = {
        "quorv-model 2", "label_column kind", "scaling none", "features 2", "feature 0 1 a", "feature 0 1 b",
        "ignored 0", "classes 2", "class 1 one", "class 2 two", "training_patterns 3", "vigilance 0.5",
        "min_size 0", "learning_rate 1", "epsilon 0.001", "max_list_presentations 10", "trim_option 0",
        "order file", "members 3"};
    for (int m = 1; m <= 3; ++m) {
        lines.push_back("member " + std::to_string(m));
        lines.push_back("list_presentations 2");
        lines.push_back("nodes 40");
        for (int k = 0; k < 40; ++k)
            lines.push_back("node " + std::to_string(1 + k % 2) + " 0." + std::to_string(k) + " 0.5 0.9" +
                            std::to_string(k) + " 1e0");
    }
    return lines;
}

std::string text_of(std::vector<std::string> lines, const std::vector<std::pair<int, std::string>> &edits)
{
    for (const auto &edit : edits)
        lines.at(static_cast<size_t>(edit.first - 1)) = edit.second;
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

struct Spread {
    int threads;
    size_t batch;
};

// Every way of reading: "" for a sound file (the model one thread reads from
// its text), else the message without its "PATH:" or "line ".
std::vector<std::string> read_every_way(const std::string &text, const std::string &dir)
{
    const std::string path = dir + "/spread.model", gz = dir + "/spread.model.gz";
    std::ofstream(path, std::ios::binary) << text;
    std::vector<std::string> files = {path};
#ifdef QUORV_TEST_ZLIB
    std::ofstream(gz, std::ios::binary) << front::gzip_text(text);
    files.push_back(gz);
#endif
    std::string one;  // the sound model's text, as one thread reads it
    try {
        one = front::model_text(front::parse_model(text, "", {1, size_t{1} << 18}));
    } catch (const front::Error &) {
    }
    std::vector<std::string> seen;
    const auto outcome = [&](auto read, const std::string &prefix, bool outline) {
        try {
            const front::Model m = read();
            seen.push_back(outline ? (m.total_nodes() == 120 ? "" : "nodes lost")
                                   : (front::model_text(m) == one ? "" : "read differently"));
        } catch (const front::Error &e) {
            const std::string what = e.what();
            seen.push_back(what.rfind(prefix, 0) == 0 ? what.substr(prefix.size()) : "unnamed: " + what);
        }
    };
    for (const Spread s : {Spread{1, size_t{1} << 18}, Spread{2, 1}, Spread{2, 100}, Spread{3, 64}}) {
        const front::ReadSpread spread{s.threads, s.batch};
        outcome([&] { return front::parse_model(text, "", spread); }, "line ", false);
        for (const std::string &file : files) {
            outcome([&] { return front::read_model(file, spread); }, file + ":", false);
            outcome([&] { return front::read_model_outline(file, spread); }, file + ":", true);
        }
    }
    return seen;
}

TEST(FrontSpread, TheFirstRefusalInTheFileWhateverTheThreads)
{
    const std::string dir = ::testing::TempDir();
    struct Case {
        std::vector<std::pair<int, std::string>> edits;
        std::string first;  // "LINE: MESSAGE", "" for a sound file
    } cases[] = {
        {{}, ""},
        // One error: in the first member's first row, a middle one's, the last node.
        {{{23, "node 3 0 0 1 1"}}, "23: node label 3 is not a class of the model"},
        {{{85, "node 1 0.75 0.5 0.25 1"}}, "85: node 20: lower bound 0.75 is above the upper bound 0.25 of feature 'a'"},
        {{{148, "node 1 0.25 0.5 0.75"}}, "148: node has 3 bounds, not 4"},
        {{{120, "node 1.5 0 0 1 1"}}, "120: node label 1.5 is not a whole number in the int range"},
        // Two rows refused in different members: the first.
        {{{30, "node 1 x 0.5 0.75 1"}, {120, "node 9 0 0 1 1"}}, "30: node bound 'x' is not a number"},
        {{{140, "node 1 0 0 1 1 1"}, {66, "node 1 0 0 inf 1"}}, "66: node bound 'inf' in the model file is not a finite number"},
        // A row refused before a line the reader itself refuses, and after one.
        {{{70, "node 1 0 0 1"}, {106, "member 4"}}, "70: node has 3 bounds, not 4"},
        {{{63, "member 7"}, {120, "node 1 0 0 1"}}, "63: expected 'member 2'"},
        {{{40, "nod 1 0 0 1 1"}, {130, "node 1 0 0 1"}}, "40: expected 'node ...', found 'nod 1 0 0 1 1'"},
        {{{147, "node 1 1 0 0 1"}, {148, "node 1 0 0 1 1\nmore"}},
         "147: node 39: lower bound 1 is above the upper bound 0 of feature 'a'"},
    };
    for (const Case &c : cases) {
        const std::string text = text_of(sound_lines(), c.edits);
        for (const std::string &seen : read_every_way(text, dir))
            EXPECT_EQ(seen, c.first);
    }
}

#ifdef QUORV_TEST_ZLIB
// Compressed files are read as their text on any number of threads.
TEST(FrontSpread, GzipFilesReadAsTheirText)
{
    const std::string path = ::testing::TempDir() + "/spread.model.gz";
    const std::string text = text_of(sound_lines(), {});
    std::ofstream(path, std::ios::binary) << front::model_file_bytes(front::parse_model(text, ""), path);
    const std::string one = front::model_text(front::parse_model(text, "", {1, size_t{1} << 18}));
    for (const int threads : {1, 2, 3})
        EXPECT_EQ(front::model_text(front::read_model(path, {threads, 50})), one) << threads;
}
#endif

}  // namespace
