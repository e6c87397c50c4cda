// Files as spreadsheets, pandas and people write them: each shape is read, or
// refused with a message that names the option which reads it.
#include "cli_test.h"

#include <zlib.h>

namespace cli_test {
namespace {

struct Shape {
    const char *name;
    std::string text;
    std::vector<std::string> options;  // after "train FILE -o m.model"
    const char *expected;  // read: "F features, C classes, from P patterns"; refused: part of the message
    bool read;
};

const std::string kTwo = "a,b,label\n0.1,0.2,x\n0.8,0.9,y\n0.2,0.1,x\n0.9,0.7,y\n";
const char kRead[] = "2 features, 2 classes, from 4 patterns";

const Shape kShapes[] = {
    {"plain", kTwo, {}, kRead, true},
    {"quoted cells and names", "\"a\",\"b\",\"label\"\n\"0.1\",\"0.2\",\"x\"\n\"0.8\",0.9,\"y\"\n", {},
     "2 features, 2 classes, from 2 patterns", true},
    {"pandas label with a comma", "a,b,label\n0.1,0.2,\"setosa, wild\"\n0.8,0.9,other\n", {},
     "2 features, 2 classes, from 2 patterns", true},
    {"doubled quotes", "a,b,label\n0.1,0.2,\"he said \"\"x\"\"\"\n0.8,0.9,y\n", {},
     "2 features, 2 classes, from 2 patterns", true},
    {"line break inside quotes", "note,a,b,label\n\"two\n\nlines\",0.1,0.2,x\n\"\",0.8,0.9,y\n", {"--ignore", "note"},
     "2 features, 2 classes, from 2 patterns", true},
    {"semicolons, decimal points", "a;b;label\n0.1;0.2;x\n0.8;0.9;y\n", {}, "2 features, 2 classes, from 2 patterns",
     true},
    {"semicolons, decimal commas", "a;b;label\n0,1;0,2;x\n0,8;0,9;y\n", {}, "pass --decimal-comma", false},
    {"semicolons, decimal commas, asked", "a;b;label\n0,1;0,2;x\n0,8;0,9;y\n", {"--decimal-comma"},
     "2 features, 2 classes, from 2 patterns", true},
    {"decimal commas with a comma delimiter", kTwo, {"--decimal-comma"}, "--delimiter ';'", false},
    {"tab-separated", "a\tb\tlabel\n0.1\t0.2\tx\n0.8\t0.9\ty\n", {}, "2 features, 2 classes, from 2 patterns", true},
    {"CRLF", "a,b,label\r\n0.1,0.2,x\r\n0.8,0.9,y\r\n", {}, "2 features, 2 classes, from 2 patterns", true},
    {"spreadsheet UTF-8 with BOM and CRLF", "\xEF\xBB\xBF" "a;b;label\r\n0,1;0,2;x\r\n0,8;0,9;y\r\n",
     {"--decimal-comma"}, "2 features, 2 classes, from 2 patterns", true},
    {"empty cell", "a,b,label\n0.1,,x\n0.8,0.9,y\n", {}, "--missing median", false},
    {"NA cell", "a,b,label\n0.1,NA,x\n0.8,0.9,y\n", {}, "--missing median", false},
    {"id column", "id,a,b,label\nP0436,0.1,0.2,x\nP0437,0.8,0.9,y\n", {}, "--ignore 'id'", false},
    {"id column ignored", "id,a,b,label\nP0436,0.1,0.2,x\nP0437,0.8,0.9,y\n", {"--ignore", "id"},
     "2 features, 2 classes, from 2 patterns", true},
    {"pandas index column", ",a,b,label\n0,0.1,0.2,x\n1,0.8,0.9,y\n", {}, "--ignore 1", false},
    {"pandas index column ignored", ",a,b,label\n0,0.1,0.2,x\n1,0.8,0.9,y\n", {"--ignore", "1"},
     "2 features, 2 classes, from 2 patterns", true},
    {"label first", "species,a,b\nx,0.1,0.2\ny,0.8,0.9\n", {}, "--label-column 'species'", false},
    {"label first, named", "species,a,b\nx,0.1,0.2\ny,0.8,0.9\n", {"--label-column", "species"},
     "2 features, 2 classes, from 2 patterns", true},
    {"names holding commas, semicolons between", "length, cm;width, cm;label\n0.1;0.2;x\n0.8;0.9;y\n", {},
     "2 features, 2 classes, from 2 patterns", true},  // the second row decides
    {"names holding commas, decimal commas", "length, cm;width, cm;label\n0,1;0,2;x\n0,8;0,9;y\n", {},
     "--delimiter ';'", false},
    {"names holding commas, delimiter given", "length, cm;width, cm;label\n0,1;0,2;x\n0,8;0,9;y\n",
     {"--delimiter", ";", "--decimal-comma"}, "2 features, 2 classes, from 2 patterns", true},
    {"wrong delimiter given", "a;b;label\n0.1;0.2;x\n0.8;0.9;y\n", {"--delimiter", "tab"}, "--delimiter", false},
    {"unquoted comma in a label", "a,b,label\n0.1,0.2,setosa, wild\n0.8,0.9,y\n", {}, "--delimiter", false},
    {"no header row", "0.1,0.2,x\n0.8,0.9,y\n0.2,0.1,x\n", {}, "--no-header", false},
    {"no header row, said so", "0.1,0.2,x\n0.8,0.9,y\n0.2,0.1,x\n", {"--no-header"},
     "2 features, 2 classes, from 3 patterns", true},
    {"a single column", "a b label\n0.1 0.2 x\n", {}, "--delimiter", false},
    {"missing cells filled", "a,b,label\n0.1,,x\n0.8,0.9,y\n,0.1,x\n", {"--missing", "median"},
     "2 features, 2 classes, from 3 patterns", true},
};

class CsvShapes : public Cli {};

TEST_F(CsvShapes, EachIsReadOrRefusedNamingTheOptionThatReadsIt)
{
    for (const Shape &shape : kShapes) {
        std::ofstream(dir / "d.csv", std::ios::binary) << shape.text;
        std::vector<std::string> args = {"train", "d.csv", "-o", "m.model"};
        args.insert(args.end(), shape.options.begin(), shape.options.end());
        const Outcome run = quorv(args);
        if (shape.read) {
            EXPECT_EQ(run.status, 0) << shape.name << ": " << run.err;
            EXPECT_NE(run.out.find(shape.expected), std::string::npos) << shape.name << ": " << run.out;
        } else {
            EXPECT_EQ(run.status, 1) << shape.name << ": " << run.out;
            EXPECT_NE(run.err.find(shape.expected), std::string::npos) << shape.name << ": " << run.err;
        }
    }
}

TEST_F(CsvShapes, QuotedLabelsKeepTheirTextInPredictions)
{
    std::ofstream(dir / "d.csv", std::ios::binary)
        << "id,a,b,label\r\nr1,0.1,0.2,\"setosa, wild\"\r\nr2,0.8,0.9,\"say \"\"hi\"\"\"\r\n";
    ASSERT_EQ(quorv({"train", "d.csv", "-o", "m.model", "--ignore", "id"}).status, 0);
    const Outcome run = quorv({"classify", "m.model", "d.csv", "--keep", "id"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "id,label,true_label\nr1,\"setosa, wild\",\"setosa, wild\"\nr2,\"say \"\"hi\"\"\",\"say \"\"hi\"\"\"\n");
    EXPECT_NE(run.err.find("Accuracy: 100.00%"), std::string::npos) << run.err;
    // A column the model does not know names the options that take it.
    std::ofstream(dir / "e.csv") << "a,b,extra\n0.1,0.2,z\n";
    const Outcome extra = quorv({"classify", "m.model", "e.csv"});
    EXPECT_EQ(extra.status, 1);
    EXPECT_NE(extra.err.find("--ignore extra"), std::string::npos) << extra.err;
    EXPECT_NE(extra.err.find("--keep extra"), std::string::npos) << extra.err;
}

TEST_F(CsvShapes, GzipFilesReadAsTheirText)
{
    const std::string text = "a;b;label\n0,1;0,2;x\n0,8;0,9;y\n0,2;0,1;x\n";
    gzFile gz = gzopen((dir / "d.csv.gz").c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    gzclose(gz);
    std::ofstream(dir / "d.csv") << text;
    ASSERT_EQ(quorv({"train", "d.csv.gz", "-o", "gz.model", "--decimal-comma"}).status, 0);
    ASSERT_EQ(quorv({"train", "d.csv", "-o", "plain.model", "--decimal-comma"}).status, 0);
    EXPECT_EQ(slurp(dir / "gz.model"), slurp(dir / "plain.model"));
    // A compressed file cut short is refused, and no model written.
    const std::string whole = slurp(dir / "d.csv.gz");
    std::ofstream(dir / "cut.csv.gz", std::ios::binary) << whole.substr(0, whole.size() / 2);
    const Outcome cut = quorv({"train", "cut.csv.gz", "-o", "cut.model", "--decimal-comma"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cannot read cut.csv.gz"), std::string::npos) << cut.err;
    EXPECT_FALSE(fs::exists(dir / "cut.model"));
}

TEST_F(CsvShapes, MissingCellsTakeTheTrainingMediansInTrainingAndClassification)
{
    // Medians: a 0.5 (of 0.1, 0.5, 0.9), b 0.4 (of 0.2, 0.6).
    std::ofstream(dir / "d.csv") << "a,b,label\n0.1,0.2,x\n0.5,,y\n0.9,0.6,y\n";
    const Outcome train = quorv({"train", "d.csv", "-o", "m.model", "--missing", "median", "--vigilance", "0.9"});
    ASSERT_EQ(train.status, 0) << train.err;
    EXPECT_NE(slurp(dir / "m.model").find("\nsettings 1\nmissing median 0.5 0.4\n"), std::string::npos);
    std::ofstream(dir / "holes.csv") << "a,b\n,0.2\n0.9,NA\n,\n";
    std::ofstream(dir / "filled.csv") << "a,b\n0.5,0.2\n0.9,0.4\n0.5,0.4\n";
    const Outcome holes = quorv({"classify", "m.model", "holes.csv"});
    const Outcome filled = quorv({"classify", "m.model", "filled.csv"});
    ASSERT_EQ(holes.status, 0) << holes.err;
    EXPECT_EQ(holes.out, filled.out);
    // Without --missing median the model has nothing to fill with.
    std::ofstream(dir / "whole.csv") << "a,b,label\n0.1,0.2,x\n0.9,0.6,y\n";
    ASSERT_EQ(quorv({"train", "whole.csv", "-o", "plain.model"}).status, 0);
    const Outcome refused = quorv({"classify", "plain.model", "holes.csv"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("--missing median"), std::string::npos) << refused.err;
    // tune fills the same way and records the medians in the model it writes.
    std::string rows = "a,b,label\n";
    for (int i = 0; i < 20; ++i)
        rows += (i % 5 == 0 ? std::string() : std::to_string(i % 10)) + "," + std::to_string(i % 3) + "," +
                (i % 10 < 5 ? "x" : "y") + "\n";
    std::ofstream(dir / "t.csv") << rows;
    const Outcome tune = quorv({"tune", "t.csv", "-o", "t.model", "--missing", "median", "--folds", "2"});
    ASSERT_EQ(tune.status, 0) << tune.err;
    EXPECT_NE(slurp(dir / "t.model").find("\nsettings 2\nconflicts merge 1\nmissing median 5 1\n"), std::string::npos)
        << slurp(dir / "t.model");
    // Each fold fills from its own training rows: with one fold per row, the
    // fold holding b's only value leaves its training rows nothing to fill
    // from (the median of all rows would be the held-out value itself).
    std::ofstream(dir / "one.csv") << "a,b,label\n1,,x\n2,,y\n3,5,x\n4,,y\n";
    const Outcome leak = quorv({"tune", "one.csv", "--missing", "median", "--folds", "4"});
    EXPECT_EQ(leak.status, 1);
    EXPECT_NE(leak.err.find("one.csv: feature 'b' has no value in the training rows of fold "), std::string::npos)
        << leak.err;
    EXPECT_NE(leak.err.find("(--ignore leaves it out)"), std::string::npos);
    EXPECT_EQ(quorv({"train", "d.csv", "-o", "x.model", "--missing", "mean"}).err,
              "quorv: --missing: 'mean' is not 'error' or 'median'\n");
}

}  // namespace
}  // namespace cli_test
