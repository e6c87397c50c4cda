// Class codes are what model files record: the tool and Python must code the
// same labels alike, and a file's classes read back as numbers only when
// every name spells its code.
#include "front/classes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

std::vector<std::string> names_of(const front::LabelCodes &coded)
{
    std::vector<std::string> names;
    for (const front::ClassName &c : coded.classes)
        names.push_back(c.name);
    return names;
}

TEST(FrontClasses, WholeNumbersInTheIntRangeAreTheirOwnCodes)
{
    front::LabelCodes coded;
    ASSERT_TRUE(front::code_numbers({3, -7, 3, 0, -0.0, 2147483647}, &coded));
    EXPECT_EQ(coded.codes, (std::vector<double>{3, -7, 3, 0, 0, 2147483647}));
    EXPECT_EQ(names_of(coded), (std::vector<std::string>{"-7", "0", "3", "2147483647"}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::vector<double> &refused : std::vector<std::vector<double>>{
             {1, 1.5}, {2147483648.0}, {-2147483649.0}, {nan}, {1, INFINITY}}) {
        front::LabelCodes untouched;
        EXPECT_FALSE(front::code_numbers(refused, &untouched)) << refused.back();
        EXPECT_TRUE(untouched.classes.empty() && untouched.codes.empty());
    }
}

TEST(FrontClasses, TextIsCodedByTheByteOrderOfTheNames)
{
    const front::LabelCodes coded = front::code_names({"b", "a", "b", "\xc3\xa9", "A", "10", "9"});
    EXPECT_EQ(names_of(coded), (std::vector<std::string>{"10", "9", "A", "a", "b", "\xc3\xa9"}));
    EXPECT_EQ(coded.codes, (std::vector<double>{5, 4, 5, 6, 3, 1, 2}));
    EXPECT_EQ(front::code_names({"only"}).codes, (std::vector<double>{1}));
}

TEST(FrontClasses, NumbersOnlyWhenEveryNameSpellsItsCode)
{
    const struct {
        std::vector<front::ClassName> classes;
        bool numbered;
    } cases[] = {
        {{{1, "1"}, {2, "2"}}, true},
        {{{-7, "-7"}, {4, "4"}}, true},
        {{{1, "1"}, {2, "b"}}, false},
        {{{1, "01"}}, false},
        {{{1, "1.0"}}, false},
        {{{5, "5"}, {7, "x"}}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(front::numbered(c.classes), c.numbered) << c.classes.back().name;
}

// Every front end's default unknown label: predictions name their classes,
// so it is neither a class's code nor a class's name.
TEST(FrontClasses, TheUnknownLabelIsTheFirstFreeNumberFromMinusOneDown)
{
    const struct {
        std::vector<double> codes;
        std::vector<std::string> names;
        long unknown;
    } cases[] = {
        {{}, {}, -1},
        {{1, 2}, {"1", "2"}, -1},
        {{-1}, {}, -2},
        {{-3, -1, -2}, {}, -4},
        {{-1.5, 0}, {}, -1},
        {{1, 2}, {"-1", "x"}, -2},          // text classes: a name that reads as -1
        {{-1}, {"-2"}, -3},
        {{1}, {"-1.0", " -1"}, -1},         // only the number's own text is taken
    };
    for (const auto &c : cases)
        EXPECT_EQ(front::free_unknown_label(c.codes, c.names), c.unknown) << c.codes.size() << " " << c.names.size();
    EXPECT_EQ(front::free_unknown_label({{-1, "-1"}, {2, "-2"}}), -3);
}

}  // namespace
