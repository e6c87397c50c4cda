// Names of the share columns of `classify --proba`: clashes with the kept
// columns resolved by more underscores, in time linear in the names.
#include "forest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

TEST(ShareColumns, ClashesTakeOneUnderscoreMoreUntilNoneIsLeft)
{
    const struct {
        Names classes, taken, expected;
    } cases[] = {
        {{"a", "b"}, {"label"}, {"share:a", "share:b", "share_unknown"}},
        {{"a", "b"}, {"share:b"}, {"share_:a", "share_:b", "share__unknown"}},
        {{"a"}, {"share_unknown", "share_:a"}, {"share__:a", "share___unknown"}},
        {{"a"}, {"share:c", "share_:", "share", "shar:a", "share_unknownx"}, {"share:a", "share_unknown"}},
        {{"_a"}, {"share:_a"}, {"share_:_a", "share__unknown"}},  // the name's own underscore is no prefix's
        {{"unknown"}, {"share_unknown"}, {"share_:unknown", "share__unknown"}},
        {{}, {"share_unknown"}, {"share__unknown"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cli::share_columns(c.classes, c.taken), c.expected);
}

TEST(ShareColumns, ThousandsOfClashesAgainstThousandsOfClassesTakeLinearTime)
{
    Names classes, taken;
    for (int k = 0; k < 3000; ++k) {
        classes.push_back("c" + std::to_string(k));
        taken.push_back("share" + std::string(static_cast<size_t>(k), '_') + ":c" + std::to_string(k));
    }
    const auto start = std::chrono::steady_clock::now();
    const Names names = cli::share_columns(classes, taken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(names.size(), 3001u);
    EXPECT_EQ(names[0], "share" + std::string(3000, '_') + ":c0");
    EXPECT_EQ(names[3000], "share" + std::string(3001, '_') + "unknown");
}

}  // namespace
