// Model file version 4: named settings after the training parameters,
// written only when one is set, read back the same, refused when unknown,
// repeated or out of order; files of earlier versions mean every setting off.
#include "front/error.h"
#include "front/model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kParams =
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\n";
const std::string kHead = "label_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n"
                          "ignored 0\nclasses 2\nclass 1 1\nclass 2 2\n" + kParams;
const std::string kSingle = "order file\nmembers 1\nmember 1\nlist_presentations 1\nnodes 2\n"
                            "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n";
const std::string kForest = "order sampled 3\nsample 2 with_replacement\nmember_features 2\nmembers 1\nmember 1\n"
                            "uses 1 2\nlist_presentations 1\nnodes 1\nnode 1 0 0 1 1\n";

std::string message_of(const std::string &text)
{
    try {
        front::parse_model(text, "m");
    } catch (const front::Error &e) {
        return e.what();
    }
    return "";
}

TEST(ModelSettings, Version4ReadsAndWritesBackForSingleAndForest)
{
    for (const std::string &rest : {kSingle, kForest}) {
        const std::string text = "quorv-model 4\n" + kHead + "settings 1\nconflicts merge 7\n" + rest;
        const front::Model m = front::parse_model(text, "m");
        EXPECT_EQ(m.version, 4);
        EXPECT_TRUE(m.merge_conflicts);
        EXPECT_EQ(m.merged_patterns, 7);
        EXPECT_EQ(m.forest.on, rest == kForest);
        EXPECT_EQ(front::model_text(m), text);

        // Without the setting the file is the version it was before.
        front::Model off = m;
        off.merge_conflicts = false;
        const std::string plain = front::model_text(off);
        EXPECT_EQ(plain.substr(0, 14), rest == kForest ? "quorv-model 3\n" : "quorv-model 2\n");
        EXPECT_FALSE(front::parse_model(plain, "m").merge_conflicts);
    }
    // A model that format 1 holds becomes 4 (2's layout) with a setting.
    front::Model fresh = front::parse_model("quorv-model 2\n" + kHead + kSingle, "m");
    fresh.version = 1;
    fresh.merge_conflicts = true;
    EXPECT_EQ(front::model_text(fresh).substr(0, 14), "quorv-model 1\n");  // nothing merged: as without
    fresh.merged_patterns = 3;
    const std::string text = front::model_text(fresh);
    EXPECT_EQ(text.substr(0, 14), "quorv-model 4\n");
    EXPECT_NE(text.find("trim_option 0\nsettings 1\nconflicts merge 3\norder file\n"), std::string::npos);
}

TEST(ModelSettings, DamagedSettingsAreRefusedWithTheirLine)
{
    const std::string head = "quorv-model 4\n" + kHead;
    const struct {
        std::string settings, message;
    } cases[] = {
        {"settings 0\n", "m:18: setting count '0' is not a whole number in [1, 3]"},
        {"settings 4\nconflicts merge 1\n", "m:18: setting count '4' is not a whole number in [1, 3]"},
        {"settings 1\nbogus 1\n", "m:19: setting 'bogus' is unknown, repeated or out of order"},
        {"settings 2\nmissing median 1 2\nconflicts merge 1\n",
         "m:20: setting 'conflicts' is unknown, repeated or out of order"},
        {"settings 2\nconflicts merge 1\nconflicts merge 1\n",
         "m:20: setting 'conflicts' is unknown, repeated or out of order"},
        {"settings 1\nconflicts keep 1\n", "m:19: conflicts must be 'merge COUNT'"},
        {"settings 1\nconflicts merge 0\n", "m:19: merged pattern count '0' is not a whole number in [1, "},
        {"settings 1\nconflicts merge -1\n", "m:19: merged pattern count '-1' is not a whole number in [1, "},
        {"", "m:18: expected 'settings ...', found 'order file'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.settings);
        EXPECT_EQ(message_of(head + c.settings + kSingle).substr(0, c.message.size()), c.message);
    }
}

// The out-of-bag estimate: a forest's, drawn with replacement, last in the
// table; its counts bounded by the training patterns.
TEST(ModelSettings, TheOutOfBagEstimateReadsBackAndIsBounded)
{
    for (const std::string &settings : {std::string("settings 1\noob nearest 1 2\n"),
                                        std::string("settings 2\nconflicts merge 7\noob unknown 0 0\n")}) {
        const std::string text = "quorv-model 4\n" + kHead + settings + kForest;
        const front::Model m = front::parse_model(text, "m");
        EXPECT_TRUE(m.oob.on);
        EXPECT_EQ(m.oob.nearest, settings.find("nearest") != std::string::npos);
        EXPECT_EQ(front::model_text(m), text);
        front::Model off = m;
        off.oob.on = false;
        EXPECT_EQ(front::model_text(off).find("oob"), std::string::npos);
    }
    const std::string head = "quorv-model 4\n" + kHead;
    const std::string without = "order sampled 3\nsample 2 without_replacement\n";
    const struct {
        std::string text, message;
    } cases[] = {
        {"settings 1\noob nearest 3 2\n" + kForest, "m:19: oob patterns right '3' is not a whole number in [0, 2]"},
        {"settings 1\noob nearest 1 3\n" + kForest, "m:19: oob patterns covered '3' is not a whole number in [0, 2]"},
        {"settings 1\noob nearest 1\n" + kForest, "m:19: oob patterns covered '' is not a whole number"},
        {"settings 1\noob maybe 1 2\n" + kForest, "m:19: oob must be 'nearest' or 'unknown'"},
        {"settings 2\noob nearest 1 2\nconflicts merge 1\n" + kForest,
         "m:20: setting 'conflicts' is unknown, repeated or out of order"},
        {"settings 1\noob nearest 1 2\n" + kSingle, "m:20: oob is the estimate of a forest whose members draw"},
        {"settings 1\noob nearest 1 2\n" + without + kForest.substr(kForest.find("member_features")),
         "m:22: oob is the estimate of a forest whose members draw"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(message_of(head + c.text).substr(0, c.message.size()), c.message);
    }
}

}  // namespace
