// A forest in the model file (format 3): written once, read back bit for bit,
// and refused when damaged.
#include "front/draws.h"
#include "front/error.h"
#include "front/forest.h"
#include "front/model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Three features, three members of two features each, drawn from `seed`.
front::Model forest(std::int64_t seed = 5)
{
    front::Model m;
    m.feature_names = {"a", "b", "c"};
    m.label_name = "label";
    m.classes = {{1, "x"}, {2, "y"}};
    m.scaling.min = {0, -1, 2};
    m.scaling.max = {1, 1, 4.5};
    m.training_patterns = 12;
    m.shuffle_seed = seed;
    m.forest.on = true;
    m.forest.sample = {12, true};
    m.forest.features = 2;
    for (size_t k = 0; k < 3; ++k) {
        front::Member member;
        member.list_presentations = 3;
        member.nodes = 2;
        member.labels = {1, 2};
        member.templates = {0, 0.1, 0.5, 0.25, 0.5, 0.5, 1, 0.75};
        member.features = front::member_features(3, 2, static_cast<std::uint64_t>(seed), k);
        m.members.push_back(member);
    }
    return m;
}

std::string replaced(std::string text, const std::string &old, const std::string &now)
{
    const size_t at = text.find(old);
    EXPECT_NE(at, std::string::npos) << old;
    return at == std::string::npos ? text : text.replace(at, old.size(), now);
}

TEST(ForestModelFile, WrittenAsFormat3AndReadBackTheSame)
{
    const std::string text = front::model_text(forest());
    EXPECT_EQ(text.substr(0, 14), "quorv-model 3\n");
    EXPECT_NE(text.find("\norder sampled 5\nsample 12 with_replacement\nmember_features 2\nmembers 3\nmember 1\n"
                        "uses "),
              std::string::npos);
    const front::Model back = front::parse_model(text, "f.model");
    EXPECT_EQ(back.version, 3);
    ASSERT_TRUE(back.forest.on);
    EXPECT_EQ(back.forest.sample.rows, 12u);
    EXPECT_TRUE(back.forest.sample.bootstrap);
    ASSERT_EQ(back.members.size(), 3u);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(back.members[k].features, front::member_features(3, 2, 5, k));
    EXPECT_EQ(front::model_text(back), text);
    // A member on its own is a single model of its features.
    const front::Model one = back.member(1);
    EXPECT_FALSE(one.forest.on);
    EXPECT_EQ(one.cols(), 2u);
    EXPECT_EQ(one.feature_names[0], back.feature_names[back.members[1].features[0]]);
    EXPECT_EQ(front::parse_model(front::model_text(one), "").members[0].templates, back.members[1].templates);

    front::Model shuffled = forest();
    shuffled.forest.sample.bootstrap = false;
    EXPECT_NE(front::model_text(shuffled).find("\nsample 12 without_replacement\n"), std::string::npos);
}

TEST(ForestModelFile, SeedsUpToTheOneLimitReadBackOnEveryPlatform)
{
    for (const std::int64_t seed : {std::int64_t{3000000000}, std::int64_t{5000000000}, front::kMaxSeed}) {
        SCOPED_TRACE(seed);
        const front::Model back = front::parse_model(front::model_text(forest(seed)), "f.model");
        EXPECT_EQ(back.shuffle_seed, seed);
        EXPECT_EQ(front::model_text(back), front::model_text(forest(seed)));
    }
    try {
        front::parse_model(replaced(front::model_text(forest()), "order sampled 5", "order sampled 4611686018427387904"),
                           "f.model");
        ADD_FAILURE() << "read";
    } catch (const front::Error &e) {
        EXPECT_STREQ(e.what(), "f.model:19: forest seed '4611686018427387904' is not a whole number in "
                               "[0, 4611686018427387903]");
    }
}

TEST(ForestModelFile, DamagedForestsAreRefusedWithTheLine)
{
    const std::string text = front::model_text(forest());
    const std::string uses = text.substr(text.find("\nuses ") + 1, text.find('\n', text.find("\nuses ") + 1) -
                                                                     text.find("\nuses "));
    const struct {
        std::string old, now, message;
    } cases[] = {
        {"order sampled 5", "order shuffled 5", "a forest's order must be 'sampled SEED'"},
        {"order sampled 5", "order sampled 6", "member 1 uses other features than its seed 6 draws"},
        {"sample 12 with_replacement", "sample 12 with", "sample must be 'ROWS with_replacement' or"},
        {"sample 12 with_replacement", "sample 13 without_replacement", "without replacement from 12 training"},
        {"sample 12 with_replacement", "sample 13 with_replacement", "with replacement from 12 training"},
        {"order sampled 5", "order sampled 05", "forest seed '05' is not written as the model file writes it"},
        {"member_features 2", "member_features +2", "features per member '+2' is not written as"},
        {"sample 12 with_replacement", "sample 0 with_replacement", "rows per member '0' is not a whole number"},
        {"member_features 2", "member_features 4", "features per member '4' is not a whole number in [1, 3]"},
        {uses, "uses 1 2 3\n", "member 1 uses other features than its seed 5 draws"},
        {uses, "uses 4 1\n", "feature number '4' is not a whole number in [1, 3]"},
        {"member 2\n", "member 3\n", "expected 'member 2'"},
        {"min_size 0", "min_size 0.6", "min_size 0.6 is above F*(1-vigilance) for the 2 features of a member"},
        {"quorv-model 3", "quorv-model 5", "model format version '5' is not supported"},
        {"quorv-model 3", "quorv-model 4", "expected 'settings ...', found 'order sampled 5'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.now);
        try {
            front::parse_model(replaced(text, c.old, c.now), "f.model");
            ADD_FAILURE() << "read";
        } catch (const front::Error &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).substr(0, 8), "f.model:");
        }
    }
}

// Reading a forest draws each member's features again: members x features of
// the data are bounded, at training (the same function) and in the reader.
TEST(ForestModelFile, ForestsTooCostlyToReadBackAreRefused)
{
    const struct {
        size_t members, features, total;
        bool refused;
    } cases[] = {
        {1000, 1, 1000000, true},         // the 18-second file
        {1000, 1000000, 1000000, false},  // all features: nothing to draw
        {1000, 1, 134217, false},         // 134,217,000 draws, within 2^27
        {1000, 1, 134218, true},
        {1, 1, 134217728, false},
        {2, 1, 134217728, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(front::forest_draws_fault(c.members, c.features, c.total).empty(), !c.refused)
            << c.members << " x " << c.total;

    front::Model m = forest();
    const size_t wide = 134218;
    m.feature_names.clear();
    for (size_t j = 0; j < wide; ++j)
        m.feature_names.push_back("f" + std::to_string(j));
    m.scaling.min.assign(wide, 0.0);
    m.scaling.max.assign(wide, 1.0);
    for (size_t k = 0; k < m.members.size(); ++k)
        m.members[k].features = front::member_features(wide, 2, 5, k);
    const std::string text = front::model_text(m);
    EXPECT_EQ(front::parse_model(text, "f.model").members.size(), 3u);
    try {
        front::parse_model(replaced(text, "\nmembers 3\n", "\nmembers 1000\n"), "f.model");
        ADD_FAILURE() << "read";
    } catch (const front::Error &e) {
        EXPECT_NE(std::string(e.what()).find("1000 members drawing 2 of 134218 features take 1000 x 134218 draws to "
                                             "read back, more than 134217728"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
