// The model file as the library reads and writes it: what reads is written
// back byte for byte, versions kept, long and non-UTF-8 input refused with a
// short message, nothing written that would not read back, and a file read
// line by line, text after the model refused without reading on.
#include "front/error.h"
#include "front/model.h"
#include "front/numbers.h"
#include "front/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifdef QUORV_TEST_ZLIB
#include <zlib.h>
#endif

namespace {

const std::string kHead2 =
    "quorv-model 2\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
    "ignored 0\nclasses 2\nclass 1 1\nclass 2 2\n";
const std::string kParams =
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\n";
const std::string kNodes = "list_presentations 1\nnodes 2\nnode 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n";
const std::string kFormat1 = "quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\n"
                             "feature 0 1 b\n" + kParams + kNodes;
// Format 2 content that format 1 could hold: kept as format 2.
const std::string kFormat2Fits1 = kHead2 + kParams + "order file\nmembers 1\nmember 1\n" + kNodes;
// Named classes with free codes, an ignored column, a shuffle and two members.
const std::string kFormat2 =
    "quorv-model 2\nlabel_column kind\nscaling none\nfeatures 2\nfeature -0 1e-300 caf\xc3\xa9\nfeature 0.1 7 b\n"
    "ignored 1\nignore id\nclasses 3\nclass -4 setosa\nclass 9 \xe2\x82\xac uro\nclass 12 unused\n" + kParams +
    "order shuffled 3\nmembers 2\nmember 1\nlist_presentations 2\nnodes 1\nnode 9 -0 0.1 5e-324 7\n"
    "member 2\nlist_presentations 0\nnodes 2\nnode -4 0 1 0 2\nnode 9 1e-300 3 1e-300 3\n";

// The model `text` (named `path`) parsed and written back, or its refusal.
std::string parsed_or_refused(const std::string &text, const std::string &path)
{
    try {
        return front::model_text(front::parse_model(text, path));
    } catch (const front::Error &e) {
        return e.what();
    }
}

// The model file at `path` read and written back, or its refusal.
std::string read_or_refused(const std::string &path)
{
    try {
        return front::model_text(front::read_model(path));
    } catch (const front::Error &e) {
        return e.what();
    }
}

std::string message_of(const std::string &text)
{
    try {
        front::parse_model(text, "m");
    } catch (const front::Error &e) {
        return e.what();
    }
    return "";
}

TEST(FrontModel, EveryFormReadIsWrittenBackByteForByte)
{
    for (const std::string &text : {kFormat1, kFormat2Fits1, kFormat2}) {
        const front::Model m = front::parse_model(text, "m");
        EXPECT_EQ(front::model_text(m), text);
    }
    EXPECT_EQ(front::parse_model(kFormat2Fits1, "m").version, 2);
    const front::Model voted = front::parse_model(kFormat2, "m");
    ASSERT_EQ(voted.members.size(), 2u);
    EXPECT_EQ(voted.total_nodes(), 3u);
    EXPECT_EQ(voted.class_name(9), "\xe2\x82\xac uro");
    EXPECT_EQ(voted.class_name(10), "10");
    EXPECT_TRUE(std::signbit(voted.scaling.min[0]));

    // A new model is format 1 when it can be, 2 when it must.
    front::Model fresh = front::parse_model(kFormat1, "m");
    fresh.version = 1;
    fresh.shuffle_seed = 5;
    EXPECT_EQ(front::model_text(fresh).substr(0, 14), "quorv-model 2\n");
}

TEST(FrontModel, DamagedFilesAreRefusedWithLineAndAShortQuote)
{
    const std::string huge(1000, 'x');
    const struct {
        std::string text, message;
    } cases[] = {
        {"quorv-model 5\n", "m:1: model format version '5' is not supported (this quorv reads 1 to 4)"},
        {"something else", "m is not a quorv model file (its first line is not 'quorv-model 4')"},
        {kHead2 + kParams + "order file\nmembers 1\nmember 1\nlist_presentations 1\nnodes 1\nnode 3 0 0 1 1\n",
         "m:23: node label 3 is not a class of the model"},
        {kFormat1.substr(0, kFormat1.find("epsilon")) + "epsilon " + huge + "\n",
         "m:11: epsilon '" + huge.substr(0, 40) + "...' is not a number"},
        {kFormat1.substr(0, kFormat1.find("epsilon")) + "epsilon 1e-400\n",
         "m:11: epsilon '1e-400' is out of the range of doubles"},
        {"quorv-model 1\nlabel_column caf\xe9\n", "m:2: label column name 'caf\xe9' is not UTF-8 text (byte 4)"},
        {"quorv-model 1\nlabel_column " + huge + "\xff\n",
         "m:2: label column name '" + huge.substr(0, 40) + "...' is not UTF-8 text (byte 1001)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(message_of(c.text), c.message);
}

TEST(FrontModel, WritesOnlyWhatReadsBack)
{
    front::Model m = front::parse_model(kFormat1, "m");
    const struct {
        void (*spoil)(front::Model *);
        const char *message;
    } cases[] = {
        {[](front::Model *x) { x->params.epsilon = INFINITY; },
         "the model cannot be written, since it would not read back: line 11: epsilon 'inf' in the model file is "
         "not a finite number >= 0"},
        {[](front::Model *x) { x->feature_names[0] = "a\nb"; },
         "the model cannot be written: feature name 'a\nb' holds a line break"},
        {[](front::Model *x) { x->label_name = "label "; },
         "the model cannot be written: label column name 'label ' ends with a blank"},
        {[](front::Model *x) { x->feature_names[1] = "a"; },
         "the model cannot be written, since it would not read back: line 6: name 'a' is used twice"},
        {[](front::Model *x) { x->members.clear(); }, "the model cannot be written: it has no members"},
    };
    for (const auto &c : cases) {
        front::Model spoilt = m;
        c.spoil(&spoilt);
        try {
            front::model_text(spoilt);
            ADD_FAILURE() << c.message;
        } catch (const front::Error &e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_EQ(front::check_params(m.params, 2).message, "");
    m.params.vigilance = 0.9;
    m.params.min_size = 0.5;
    EXPECT_EQ(front::check_params(m.params, 2).name, "min_size");
}

TEST(FrontModel, ReadingStopsAtALineBeyondTheCap)
{
    const std::string path = testing::TempDir() + "long.model";
    {
        std::ofstream out(path, std::ios::binary);
        out << "quorv-model 1\nlabel_column ";
        const std::string block(1 << 20, 'x');
        for (size_t i = 0; i <= (front::kMaxModelLine >> 20); ++i)
            out << block;
    }
    try {
        front::read_model(path);
        ADD_FAILURE();
    } catch (const front::Error &e) {
        EXPECT_EQ(std::string(e.what()), path + ":2: line longer than 128 MB (is this a model file?)");
    }
    std::remove(path.c_str());
}

TEST(FrontNumbers, OutOfRangeIsToldFromNoNumber)
{
    const struct {
        const char *text;
        bool ok, out_of_range;
    } cases[] = {{"1e-400", false, true}, {"-1e999", false, true}, {"1e-300", true, false},
                 {"1e-400x", false, false}, {"abc", false, false}, {"4.9e-324", true, false}};
    for (const auto &c : cases) {
        double v = 0;
        bool out = true;
        EXPECT_EQ(front::parse_double(c.text, &v, &out), c.ok) << c.text;
        EXPECT_EQ(out, c.out_of_range) << c.text;
    }
    EXPECT_EQ(front::invalid_utf8_at("ok \xe2\x82\xac"), std::string::npos);
    EXPECT_EQ(front::invalid_utf8_at("ab\xed\xa0\x80"), 2u);  // a surrogate
    EXPECT_EQ(front::excerpt("\xe2\x82\xac\xe2\x82\xac", 4), "\xe2\x82\xac...");
}

// A file is read as the text is, and refused at the same line.
TEST(FrontModel, AFileReadsAsItsTextWithTheSameRefusals)
{
    const std::string path = testing::TempDir() + "same.model";
    const std::string texts[] = {kFormat1, kFormat2, kFormat2 + "junk\n", kFormat2.substr(0, kFormat2.size() - 1),
                                 kFormat2.substr(0, 200), "quorv-model", "", "\x7f" "ELF"};
    for (const std::string &text : texts) {
        std::ofstream(path, std::ios::binary) << text;
        EXPECT_EQ(read_or_refused(path), parsed_or_refused(text, path));
    }
    EXPECT_EQ(message_of(kFormat2 + "\n"), "m:31: unexpected text after the last node");
    std::remove(path.c_str());
    try {
        front::read_model("-");
        ADD_FAILURE();
    } catch (const front::Error &e) {
        EXPECT_EQ(std::string(e.what()), "cannot read -: a model is read from a file, not from standard input (./- "
                                         "names a file called -)");
    }
}

// Text after a whole model is refused at its first line at once: the reader
// waits neither for the rest nor for the end of the file (here a pipe whose
// writer holds it open for up to 20 s).
TEST(FrontModel, TextAfterTheModelIsRefusedAtItsFirstLineWithoutReadingOn)
{
    const std::string path = testing::TempDir() + "endless.model";
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    bool done = false;
    std::thread writer([&] {
        const int fd = open(path.c_str(), O_WRONLY);
        const std::string text = kFormat2 + "and then some\nmore\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        for (int i = 0; i < 2000 && !__atomic_load_n(&done, __ATOMIC_ACQUIRE); ++i)
            usleep(10000);
        close(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        front::read_model(path);
        ADD_FAILURE();
    } catch (const front::Error &e) {
        EXPECT_EQ(std::string(e.what()), path + ":31: unexpected text after the last node");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    __atomic_store_n(&done, true, __ATOMIC_RELEASE);
    writer.join();
    std::remove(path.c_str());
}

}  // namespace

#ifdef QUORV_TEST_ZLIB
// A model file named *.gz is a gzip stream: written by model_file_bytes, it
// reads back to the same model; any gzipped text reads as the text itself,
// with the same refusals; a cut stream is refused as unreadable.
TEST(FrontModel, GzipFilesReadAsTheirText)
{
    const std::string path = testing::TempDir() + "same.model.gz";
    const std::string texts[] = {kFormat1, kFormat2, kFormat2 + "junk\n", kFormat2.substr(0, 200), ""};
    for (const std::string &text : texts) {
        gzFile gz = gzopen(path.c_str(), "wb");
        ASSERT_NE(gz, nullptr);
        if (!text.empty()) {
            ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
        }
        gzclose(gz);
        EXPECT_EQ(read_or_refused(path), parsed_or_refused(text, path));
    }
    const front::Model model = front::parse_model(kFormat2, "m");
    const std::string bytes = front::model_file_bytes(model, path);
    EXPECT_EQ(front::model_file_bytes(model, "plain.model"), kFormat2);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b");
    std::ofstream(path, std::ios::binary) << bytes;
    EXPECT_EQ(front::model_text(front::read_model(path)), kFormat2);
    std::ofstream(path, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    try {
        front::read_model(path);
        ADD_FAILURE();
    } catch (const front::Error &e) {
        EXPECT_EQ(std::string(e.what()).rfind("cannot read " + path + ": ", 0), 0u) << e.what();
    }
    std::remove(path.c_str());
}
#endif
