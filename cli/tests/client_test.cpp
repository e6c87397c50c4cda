// The plug-in client with the real plug-ins: refusals in each front end's
// words, load failures, and a plug-in file changed on disk loaded again.
#include "front/client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kPlugins = fs::path(QUORV_EXE).parent_path();

front::Wording tool_words()
{
    return {"option", {{"vigilance", "--vigilance"}, {"min_size", "--min-size"}}, true, true, " (hint)"};
}

front::Wording python_words()
{
    return {"parameter", {{"vigilance", "vigilance"}, {"min_size", "min_size"}}, false, false, ""};
}

// Two patterns of one feature, labelled 1 and 2.
const std::vector<double> kX = {0.0, 1.0}, kY = {1.0, 2.0};

front::Patterns view(const std::vector<double> &v, size_t cols)
{
    front::Patterns p;
    p.x = front::MatrixView::row_major(v.data(), v.size() / cols, cols);
    return p;
}

std::string refusal(const front::PluginClient &client, double vigilance, double min_size)
{
    front::TrainParams params;
    params.vigilance = vigilance;
    params.min_size = min_size;
    try {
        client.train((kPlugins / "quorv_train.mexa64").string(), view(kX, 1), view(kY, 1), params, 0);
    } catch (const front::PluginRefusal &e) {
        return e.what();
    }
    return "no refusal";
}

TEST(PluginClient, RefusalsNameTheArgumentInEachFrontEndsWords)
{
    const front::PluginClient tool(tool_words()), python(python_words());
    EXPECT_EQ(refusal(tool, 1.5, 0), "QUORV_TRAIN: 3rd input argument (vigilance) must be in [0,1]. (option --vigilance)");
    EXPECT_EQ(refusal(python, 1.5, 0),
              "QUORV_TRAIN: 3rd input argument (vigilance) must be in [0,1]. (parameter vigilance)");
    // The plug-in breaks this message over two lines: the tool's stays on one.
    const std::string one_line = refusal(tool, 0.5, 2), two_lines = refusal(python, 0.5, 2);
    EXPECT_EQ(one_line.find('\n'), std::string::npos);
    EXPECT_NE(two_lines.find('\n'), std::string::npos);
    const auto ends = [](const std::string &text, const std::string &end) {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    EXPECT_TRUE(ends(one_line, "). (option --min-size)")) << one_line;
    EXPECT_TRUE(ends(two_lines, "). (parameter min_size)")) << two_lines;
}

TEST(PluginClient, APluginThatCannotBeLoadedIsNamedInEachFrontEndsWords)
{
    const std::string missing = (fs::temp_directory_path() / "no-such-folder" / "quorv_perf.mexa64").string();
    const std::vector<double> templates = {0, 1}, labels = {1};
    const front::Nodes nodes{view(templates, 2).x, view(labels, 1).x};
    for (const auto &[words, start] : {std::make_pair(tool_words(), std::string("quorv_perf.mexa64: ")),
                                       std::make_pair(python_words(), missing + ": ")}) {
        try {
            front::PluginClient(words).classify(missing, nodes, 0.5, view(kX, 1), -1, 0);
            ADD_FAILURE() << "loaded";
        } catch (const front::PluginError &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("cannot load the plug-in " + start, 0), 0u) << what;
            EXPECT_EQ(what.size() - what.rfind(words.load_hint), words.load_hint.size()) << what;
        }
    }
}

// The FLOPs the classification plug-in's summary gives: running totals.
long flops(const front::PluginClient &client, const std::string &path)
{
    std::string console;
    front::Console listen;
    listen.listener = [](const std::string &text, void *to) { *static_cast<std::string *>(to) += text; };
    listen.context = &console;
    const std::vector<double> templates = {0, 1}, labels = {1};
    client.classify(path, {view(templates, 2).x, view(labels, 1).x}, 0.5, view(kX, 1), -1, 1, listen);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(console, m, std::regex("(\\d+) FLOPs"))) << console;
    return std::stol(m[1]);
}

TEST(PluginClient, KeptLoadedUntilItsFileChanges)
{
    const fs::path dir = fs::temp_directory_path() / ("quorv-client-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const char *name : {"quorv_perf.mexa64", "quorv_perf.mexa64.sha256"})
        fs::copy_file(kPlugins / name, dir / name, fs::copy_options::overwrite_existing);
    const std::string path = (dir / "quorv_perf.mexa64").string();
    const front::PluginClient client(tool_words());
    const long first = flops(client, path), second = flops(client, path);
    EXPECT_LT(first, second) << "running totals: loaded once";
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
    EXPECT_EQ(flops(client, path), first) << "a changed file starts anew";
    fs::remove_all(dir);
}

}  // namespace
