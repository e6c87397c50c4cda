// Argument helpers shared by the gateways: integer conversion, scalar shapes,
// message buffers and the host flop counter.
#include "host/args.h"
#include "minihost.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

namespace {

TEST(TruncateToInt, TowardZeroThenLow32Bits)
{
    const struct {
        double value;
        int expected;
    } cases[] = {
        {0.0, 0},          {-0.0, 0},          {2.9, 2},
        {-2.9, -2},        {0.99, 0},          {-0.5, 0},
        {1.5, 1},          {4.9, 4},           {2147483647.0, INT_MAX},
        {2147483648.0, INT_MIN},               {-2147483648.0, INT_MIN},
        {-2147483649.0, INT_MAX},              {4294967296.0, 0},
        {4294967297.0, 1}, {-4294967297.0, -1}, {1e10, 1410065408},
        {9223372036854774784.0, -1024},  // largest double below 2^63
        {-9223372036854775808.0, 0},              // -2^63 itself: low bits 0
        {9223372036854775808.0, 0},               // 2^63: outside the range
        {1e300, 0},        {-1e300, 0},        {HUGE_VAL, 0},
        {-HUGE_VAL, 0},    {std::nan(""), 0},  {-std::nan(""), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(truncate_to_int(c.value), c.expected) << "value " << c.value;
}

TEST(ScalarShape, TwoDimensionsWithASingletonOne)
{
    const struct {
        std::vector<size_t> dims;
        bool scalar;
    } cases[] = {
        {{1, 1}, true},  {{1, 5}, true},  {{5, 1}, true},     {{1, 0}, true},    {{0, 1}, true},
        {{2, 2}, false}, {{0, 0}, false}, {{2, 0}, false},    {{2, 2, 2}, false}, {{1, 2, 3}, false},
    };
    for (const auto &c : cases) {
        auto a = minihost::make_array(c.dims, mxDOUBLE_CLASS);
        EXPECT_EQ(is_scalar_shape(a.get()), c.scalar) << ::testing::PrintToString(c.dims);
        EXPECT_EQ(dimension_count(a.get()), static_cast<int>(c.dims.size()));
    }
}

TEST(Fail, FormatsIntoTheBufferAndNeverOverruns)
{
    char msg[kMessageSize + 16];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_FALSE(fail(msg, "%s: %d input arguments required.", "QUORV_TRAIN", 9));
    EXPECT_STREQ(msg, "QUORV_TRAIN: 9 input arguments required.");

    const std::string longer(2 * kMessageSize, 'a');
    std::memset(msg, 'x', sizeof msg);
    fail(msg, "%s", longer.c_str());
    EXPECT_EQ(std::strlen(msg), kMessageSize - 1);
    EXPECT_EQ(msg[kMessageSize], 'x');
}

TEST(AddHostFlops, SplitsLargeCountsAndIgnoresNonPositive)
{
    minihost::reset_flops();
    add_host_flops(0);
    add_host_flops(-5);
    EXPECT_EQ(minihost::flops(), 0.0);
    const std::int64_t big = 3 * static_cast<std::int64_t>(INT_MAX) + 7;
    add_host_flops(big);
    add_host_flops(1);
    EXPECT_EQ(minihost::flops(), static_cast<double>(big + 1));
    minihost::reset_flops();
}

}  // namespace
