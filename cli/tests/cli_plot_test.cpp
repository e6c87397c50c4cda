// quorv plot: well-formed SVG, one rectangle per node, hostile names as
// inert XML text, misclassified points marked.
#include "cli_test.h"

namespace {

using namespace cli_test;

TEST_F(Cli, PlotIsWellFormedSvgWithOneRectanglePerNode)
{
    put(dir / "odd.csv", "x<y & z,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n0.9,0.5,3\n");
    ASSERT_EQ(quorv({"train", "odd.csv", "-o", "odd.model", "--vigilance", "0.9"}).status, 0);
    const cli::Model model = cli::read_model((dir / "odd.model").string());
    for (const char *features : {"1,2", "b,x<y & z"}) {
        const Outcome run = quorv({"plot", "odd.model", "odd.csv", "--features", features, "-o", "odd.svg"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = slurp(dir / "odd.svg");
        std::map<std::string, size_t> elements;
        EXPECT_TRUE(well_formed(svg, &elements)) << svg;
        EXPECT_EQ(elements["svg"], 1u);
        EXPECT_EQ(elements["rect"], model.members[0].nodes);
        EXPECT_EQ(elements["circle"], 4u + 3u) << "4 patterns and 3 legend entries";
        EXPECT_NE(svg.find("x&lt;y &amp; z"), std::string::npos);
        EXPECT_TRUE(xml_parses(dir / "odd.svg"));
    }
}

TEST_F(Cli, PlotOfHostileNamesIsWellFormedXml)
{
    // Control bytes, NUL, non-XML UTF-8, markup and quotes in every name the plot shows (names
    // that are not UTF-8 at all are refused by train).
    const char x_name[] = "x\x01\x1b[2J\x00\xef\xbf\xbe]]>&amp;<b a='1\">";
    const std::string x(x_name, sizeof x_name - 1);
    const std::string y = "y\x7f\xc2\x9b\t\r";
    const std::string label = "\xe2\x80\xae<!--label";
    put(dir / "hostile.csv", x + "," + y + "," + label + "\n0,0,1\n1,1,2\n0.2,0.1,1\n");
    ASSERT_EQ(quorv({"train", "hostile.csv", "-o", "h.model", "--verbose", "0"}).status, 0);
    const Outcome run = quorv({"plot", "h.model", "hostile.csv", "-o", "h.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(xml_parses(dir / "h.svg")) << slurp(dir / "h.svg");
    EXPECT_NE(slurp(dir / "h.svg").find("]]&gt;&amp;amp;&lt;b a=&apos;1&quot;&gt;"), std::string::npos);
}

TEST_F(Cli, PlotMarksMisclassifiedPointsAndCanLeaveOutInactiveBoxes)
{
    // Node 1 takes (0.25, 0.25) rightly, node 2 takes (0.75, 0.75) wrongly; no row selects node 3.
    std::string model = std::string(kModel) + "node 1 5 5 5 5\n";
    model.replace(model.find("nodes 2\n"), 8, "nodes 3\n");
    model.replace(model.find("vigilance 0.75"), 14, "vigilance 0.25");
    put(dir / "m.model", model);
    put(dir / "d.csv", "a,b,label\n0.25,0.25,1\n0.75,0.75,1\n");
    for (const bool only : {false, true}) {
        std::vector<std::string> args = {"plot", "m.model", "d.csv", "-o", "p.svg", "--features", "b,a"};
        if (only)
            args.push_back("--active-only");
        const Outcome run = quorv(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = slurp(dir / "p.svg");
        std::map<std::string, size_t> elements;
        EXPECT_TRUE(well_formed(svg, &elements)) << svg;
        EXPECT_EQ(elements["rect"], only ? 2u : 3u);
        EXPECT_EQ(count(svg, "stroke-dasharray"), only ? 0u : 1u);
        EXPECT_NE(svg.find(">m.model: a against b</text>"), std::string::npos);
        EXPECT_NE(svg.find(">misclassified (1)</text>"), std::string::npos);
        EXPECT_NE(svg.find("2 of 3 boxes selected"), std::string::npos);
    }
}

}  // namespace

namespace cli_test {

TEST_F(Cli, PlotCountsWhatClassifyCountsWithTheNearestBoxPassRinged)
{
    put(dir / "g.csv", "a,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n");
    ASSERT_EQ(quorv({"train", "g.csv", "-o", "g.model", "--vigilance", "0.95"}).status, 0);
    // Two points between the boxes: the nearest-box pass gives them class 1, which is wrong.
    put(dir / "n.csv", "a,b,label\n0,0,1\n1,1,2\n0.5,0.45,2\n0.45,0.5,2\n");
    const Outcome classify = quorv({"classify", "g.model", "n.csv"});
    ASSERT_NE(classify.err.find("2 by the nearest box (vigilance 0)"), std::string::npos) << classify.err;
    ASSERT_NE(classify.err.find("Accuracy: 50.00% (2 of 4 patterns)"), std::string::npos) << classify.err;
    ASSERT_EQ(quorv({"plot", "g.model", "n.csv", "-o", "n.svg"}).status, 0);
    const std::string svg = slurp(dir / "n.svg");
    EXPECT_NE(svg.find("misclassified (2)"), std::string::npos);
    EXPECT_NE(svg.find("by the nearest box (2)"), std::string::npos);
    EXPECT_EQ(count(svg, "r=\"6.5\"/>"), 2u);  // one ring per point the pass classified
    EXPECT_TRUE(xml_parses(dir / "n.svg"));
    ASSERT_EQ(quorv({"plot", "g.model", "n.csv", "-o", "off.svg", "--unclassified", "unknown"}).status, 0);
    EXPECT_EQ(slurp(dir / "off.svg").find("by the nearest box"), std::string::npos);
}

}  // namespace cli_test
