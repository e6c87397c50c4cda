// What the tool's end-to-end tests of cli_*_test.cpp share: a folder per
// test where the built executable runs as a user would run it (set
// QUORV_TEST_WRAPPER="valgrind -q --error-exitcode=99" to run it under a
// checker), the reference model and data, and an XML check for plots.
#ifndef QUORV_CLI_TESTS_CLI_TEST_H
#define QUORV_CLI_TESTS_CLI_TEST_H

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

namespace cli_test {

namespace fs = std::filesystem;
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

inline const std::string kIris = data_file("iris.csv");

// Two features, two nodes; the reference for the model-file cases.
inline const char kModel[] =
    "quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\nlist_presentations 1\nnodes 2\n"
    "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n";
inline const char kGood[] = "a,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n";

// A run that must fail: its arguments, exit status and message.
struct BadCase {
    std::vector<std::string> args;
    int status;
    const char *message;  // the whole stderr line; a trailing '*' matches any rest
    std::vector<std::string> env = {};
};

// The first `from` in `text` replaced by `to`.
inline std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Well-formed XML, as far as a plot needs: nested tags that close in order,
// quoted attributes, only the five entities. Counts the elements by name.
inline bool well_formed(const std::string &xml, std::map<std::string, size_t> *elements)
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
inline bool xml_parses(const fs::path &file)
{
    if (std::system("xmllint --version >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "xmllint (Debian package libxml2-utils) is needed to check the SVG files";
        return false;
    }
    return std::system(("xmllint --noout '" + file.string() + "'").c_str()) == 0;
}

}  // namespace cli_test

#endif
