// The outline reader (info's) refuses every file the whole reader refuses,
// with the same message, and keeps what a report prints.
#include "front/error.h"
#include "front/model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

const std::string kHead =
    "quorv-model 2\nlabel_column kind\nscaling none\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
    "ignored 0\nclasses 2\nclass 1 one\nclass 2 two\ntraining_patterns 3\nvigilance 0.5\nmin_size 0\n"
    "learning_rate 1\nepsilon 0.001\nmax_list_presentations 10\ntrim_option 0\norder file\nmembers 1\nmember 1\n"
    "list_presentations 2\nnodes 2\nnode 1 0.25 0.5 0.75 1\nnode ";

std::string read(const std::string &path, bool outline, size_t *nodes)
{
    try {
        const front::Model m = outline ? front::read_model_outline(path) : front::read_model(path);
        *nodes = m.members.at(0).labels.size();
        return "";
    } catch (const front::Error &e) {
        return e.what();
    }
}

TEST(FrontOutline, RefusesWhatTheWholeReaderRefuses)
{
    // The last node's label and bounds (lower a, lower b, upper a, upper b).
    const char *rows[] = {
        "2 0.1 0.2 0.3 0.4",         // plain decimals, in order
        "2 0.3 0.2 0.1 0.4",         // a lower bound above its upper one
        "2 0.1 0.2 0.1 0.2",         // equal bounds
        "2 -0 0 0 -0",               // zeros of both signs are equal
        "2 -0.5 -1 -0.25 -0.5",      // negative, in order
        "2 -0.25 -1 -0.5 -0.5",      // negative, out of order
        "2 0.10000000000000000001 0 0.1 0",  // above as decimals, equal as doubles
        "2 1e-05 0 2e-05 1",         // exponents take the parsing path
        "2 2e-05 0 1e-05 1",
        "2 007 0 7.0 1",             // leading zeros, a trailing zero
        "2 0.12345678901234 0 0.123456789012 1",  // long fractions, out of order
        "2 0.123456789012 0 0.12345678901234 1",  // and in order
        "2 0.1000000000 0 0.1 1",    // equal but for trailing zeros
        "2 12345678.5 0 12345679 1", // whole parts decide
        "2 0.1  0.2 0.3 0.4",        // two blanks
        "2 0.1 0.2 0.3",             // a bound missing
        "2 0.1 0.2 0.3 0.4 0.5",     // one too many
        "2 0.1 0.2 0.3 inf",         // not finite
        "2 0.1 0.2 0.3 nan",
        "2 0.1 0.2 0.3 1e999",       // out of range
        "2 0.1 0.2 0.3 .4",          // forms the plain check leaves to the parser
        "2 0.1 0.2 0.3 4.",
        "2 0.1 0.2 0.3 +0.4",
        "2 0.1 0.2 0.3 0x1",
        "2 0.1 0.2 0.3 -",
        "3 0.1 0.2 0.3 0.4",         // not a class
        "2.5 0.1 0.2 0.3 0.4",
    };
    const std::string path = testing::TempDir() + "outline.model";
    for (const char *row : rows) {
        std::ofstream(path, std::ios::binary) << kHead << row << "\n";
        size_t whole_nodes = 0, outline_nodes = 0;
        const std::string whole = read(path, false, &whole_nodes);
        EXPECT_EQ(read(path, true, &outline_nodes), whole) << row;
        EXPECT_EQ(outline_nodes, whole_nodes) << row;
    }
    std::ofstream(path, std::ios::binary) << kHead << "2 0.3 0.2 0.1 0.4\n";
    size_t nodes = 0;
    EXPECT_EQ(read(path, true, &nodes), path + ":24: node 2: lower bound 0.3 is above the upper bound 0.1 of feature 'a'");
    std::ofstream(path, std::ios::binary) << kHead << "2 0.1 0.2 0.3 0.4\n";
    const front::Model outline = front::read_model_outline(path);
    EXPECT_TRUE(outline.members.at(0).templates.empty());
    EXPECT_EQ(outline.members.at(0).nodes, 2u);
    EXPECT_EQ(outline.members.at(0).labels, (std::vector<double>{1, 2}));
    std::remove(path.c_str());
}

}  // namespace
