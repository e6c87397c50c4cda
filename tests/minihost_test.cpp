// The embedded host: arrays, host memory and calls into a plug-in (loading
// and the file checks: minihost_loader_test.cpp).
#include "minihost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

using namespace minihost;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const size_t huge = std::numeric_limits<size_t>::max() / 2;

}  // namespace

TEST(Arrays, ScalarReadsConvertToTheClass) {
    const struct {
        mxClassID cls;
        double given, read;
    } cases[] = {
        {mxSINGLE_CLASS, 0.1, static_cast<double>(0.1f)}, {mxSINGLE_CLASS, 1e300, inf},
        {mxINT8_CLASS, 300, 127},         {mxINT8_CLASS, -300, -128},
        {mxUINT8_CLASS, -5, 0},           {mxINT16_CLASS, 2.5, 3},  // halves away from zero
        {mxINT32_CLASS, -2.5, -3},        {mxUINT32_CLASS, 1e10, 4294967295.0},
        {mxINT64_CLASS, std::nan(""), 0}, {mxINT64_CLASS, -inf, -9223372036854775808.0},
        {mxUINT64_CLASS, 1e30, 18446744073709551615.0}, {mxLOGICAL_CLASS, 7, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mxGetScalar(make_array({1, 1}, c.cls, false, {c.given}).get()), c.read)
            << "class " << c.cls << " given " << c.given;
    EXPECT_EQ(mxGetScalar(make_char("A").get()), 65);
    EXPECT_EQ(mxGetScalar(make_cell(1, 1).get()), 0);
    EXPECT_EQ(mxGetScalar(make_double(0, 3).get()), 0);
}

TEST(Arrays, ShapesDropTrailingSingletonsOnly) {
    const struct {
        std::vector<size_t> given, reported;
        size_t n;
    } cases[] = {
        {{2, 3, 1}, {2, 3}, 3}, {{2, 1, 3}, {2, 1, 3}, 3}, {{2, 3, 4, 1}, {2, 3, 4}, 12},
        {{4}, {4, 1}, 1},       {{3, 0, 2}, {3, 0, 2}, 0},
    };
    for (const auto &c : cases) {
        Array a = make_array(c.given, mxINT16_CLASS);
        EXPECT_EQ(dims(a.get()), c.reported);
        EXPECT_EQ(mxGetN(a.get()), c.n);
        EXPECT_EQ(mxGetNumberOfElements(a.get()), c.n * c.given[0]);
        EXPECT_NE(mxGetPr(a.get()), nullptr);  // even when empty
    }
}

TEST(Arrays, MakersLayOutData) {
    EXPECT_EQ(values(make_row_major(2, 3, {1, 2, 3, 4, 5, 6}).get()), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(values(make_double(2, 2).get()), std::vector<double>(4, 0.0));
    // UTF-8 in, UTF-16 code units out; a stray continuation byte is replaced.
    EXPECT_EQ(values(make_char("h\xc3\xa9\xf0\x9f\x98\x80\x80").get()),
              (std::vector<double>{'h', 0xE9, 0xD83D, 0xDE00, 0xFFFD}));

    Array z = make_array({2, 1}, mxINT8_CLASS, true, {1, 2}, {-3, 4});
    Array copy = duplicate(z.get());
    static_cast<signed char *>(mxGetData(copy.get()))[0] = 9;
    EXPECT_EQ(values(z.get()), (std::vector<double>{1, 2}));
    EXPECT_EQ(static_cast<signed char *>(static_cast<void *>(mxGetPi(copy.get())))[1], 4);
    Array s = make_sparse(3, 4);
    EXPECT_TRUE(mxIsSparse(s.get()) && mxIsDouble(s.get()));
    EXPECT_EQ(values(s.get()), std::vector<double>(12, 0.0));
    EXPECT_FALSE(mxIsNumeric(make_array({1}, mxLOGICAL_CLASS).get()) || mxIsNumeric(make_char("x").get()));
}

TEST(Arrays, ImpossibleRequestsAreRefused) {
    EXPECT_THROW(make_row_major(2, 2, {1}), std::invalid_argument);
    EXPECT_THROW(make_array({2}, mxDOUBLE_CLASS, true, {1, 2}, {1}), std::invalid_argument);
    EXPECT_THROW(make_array({1}, mxLOGICAL_CLASS, true), std::invalid_argument);
    const mwSize too_many[2] = {huge, 3};
    EXPECT_EQ(mxCreateNumericArray(2, too_many, mxUINT8_CLASS, mxREAL), nullptr);
    EXPECT_EQ(mxCreateNumericArray(1, too_many, mxCHAR_CLASS, mxREAL), nullptr);
    EXPECT_EQ(mxCreateNumericArray(1, too_many, mxLOGICAL_CLASS, mxCOMPLEX), nullptr);
}

TEST(Memory, BlocksLiveUntilFreedOrReleased) {
    reset_host_faults();
    const long before = live_blocks();
    void *a = mxCalloc(0, 8);
    void *b = mxCalloc(0, 8);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(mxCalloc(huge, 4), nullptr);

    auto *p = static_cast<unsigned char *>(mxRealloc(nullptr, 16));  // zero-filled, as mxCalloc
    ASSERT_TRUE(p && p[15] == 0);
    p[0] = 42;
    p = static_cast<unsigned char *>(mxRealloc(p, 1 << 20));
    ASSERT_TRUE(p && p[0] == 42);
    EXPECT_EQ(live_blocks(), before + 3);

    int local = 0;
    mxFree(&local);  // not a host block: refused, not freed
    EXPECT_EQ(mxRealloc(&local, 8), nullptr);
    EXPECT_EQ(host_faults(), 2);
    mxFree(a);
    mxFree(nullptr);
    EXPECT_EQ(live_blocks(), before + 2);
    release_blocks();
    EXPECT_EQ(live_blocks(), 0);
}

TEST(Memory, FailureHookHitsTheKthApiAllocationOnce) {
    reset_allocation_count();
    fail_allocation(3);
    Array host_made = make_double(2, 2);  // the host program's own arrays do not count
    void *first = mxCalloc(1, 1);
    mxArray *second = mxCreateDoubleScalar(1);
    EXPECT_TRUE(first && second);
    EXPECT_EQ(mxCreateDoubleMatrix(1, 1, mxREAL), nullptr);
    EXPECT_NE(mxCalloc(1, 1), nullptr);
    EXPECT_EQ(allocation_count(), 4);
    mxDestroyArray(second);
    release_blocks();
}

TEST(MemoryDeathTest, ErrorOutsideACallAborts) { EXPECT_DEATH(mexErrMsgTxt("nobody listens"), "nobody listens"); }

class Calls : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin = Plugin::load(ECHO_PLUGIN, &error);
        ASSERT_NE(plugin, nullptr) << error;
        blocks = live_blocks();
        arrays = live_arrays();
    }
    void TearDown() override {
        fail_allocation(0);
        EXPECT_EQ(live_blocks(), blocks) << "blocks left after the calls";
        EXPECT_EQ(live_arrays(), arrays) << "arrays left after the calls";
    }
    CallResult run(const std::string &cmd, int nlhs = 1, const mxArray *arg = nullptr) {
        Array c = make_char(cmd);
        std::vector<const mxArray *> in{c.get()};
        if (arg) in.push_back(arg);
        return plugin->call(nlhs, in);
    }
    std::unique_ptr<Plugin> plugin;
    long blocks = 0, arrays = 0;
};

TEST_F(Calls, ConsoleCapturesPrintsAndWarningsInOrder) {
    CallResult r = run("print");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.console, "x=42;" + std::string(5000, 'a') + "|\n");
    EXPECT_EQ(mxGetScalar(r.outputs.at(0).get()), r.console.size());
    EXPECT_EQ(run("warn", 0).console, "before\nWarning: results may be inaccurate\nafter\n");
}

TEST_F(Calls, ErrorEndsTheCallWithItsText) {
    Array text = make_char("Wrong type: expected a double matrix.");
    CallResult r = run("error", 1, text.get());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Wrong type: expected a double matrix.");
    EXPECT_EQ(r.console, "partial\n");
    ASSERT_EQ(r.outputs.size(), 1u);
    EXPECT_EQ(mxGetScalar(r.outputs[0].get()), 7);  // kept, so tests can see what was written
}

// Blocks made in a call: few, a page's worth, and more than the host keeps in
// pages for a call (the rest from the heap); each count twice, so that the
// second call reuses the pages the first left. Every block comes zeroed and
// keeps its bytes through frees and moves of the others; a double free and an
// inner address are refused; nothing is left after the call.
TEST_F(Calls, BlocksStayTheirOwnAcrossPagesAndTheHeap) {
    for (const double n : {8.0, 8.0, 400.0, 30000.0, 30000.0, 8.0}) {
        reset_host_faults();
        Array count = make_scalar(n);
        CallResult r = run("blocks", 1, count.get());
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(mxGetScalar(r.outputs.at(0).get()), 0) << n << " blocks: bytes not their own";
        EXPECT_EQ(host_faults(), 2) << n << " blocks";
        EXPECT_EQ(live_blocks(), blocks) << n << " blocks";
    }
    reset_host_faults();
}

TEST_F(Calls, LeftoversAreReleasedAndEveryFailedAllocationReported) {
    reset_allocation_count();
    CallResult r = run("alloc");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(live_blocks(), blocks);
    EXPECT_EQ(live_arrays(), arrays + 1);  // the output only
    const long n = allocation_count();
    ASSERT_EQ(n, 5);
    for (long k = 1; k <= n + 1; ++k) {
        fail_allocation(k);
        r = run("alloc");
        EXPECT_EQ(r.error, k <= n ? "out of memory" : "") << "failing allocation " << k;
        EXPECT_EQ(live_blocks(), blocks);
    }
}

TEST_F(Calls, OutputSlotsHoldOwnArrays) {
    const struct {
        const char *cmd;
        int nlhs;
        double arg;
        std::vector<double> got;  // -1 for an empty slot
    } cases[] = {
        {"outputs", 0, 0, {}},          {"outputs", 0, 1, {1}}, {"outputs", 3, 2, {1, 2, -1}},
        {"same-twice", 2, 0, {3, 3}},   {"return-input", 2, 3, {3, 3}},
    };
    for (const auto &c : cases) {
        Array arg = make_scalar(c.arg);
        CallResult r = run(c.cmd, c.nlhs, arg.get());
        ASSERT_TRUE(r.ok) << c.cmd << ": " << r.error;
        ASSERT_EQ(r.outputs.size(), c.got.size()) << c.cmd;
        for (size_t i = 0; i < c.got.size(); ++i) {
            EXPECT_EQ(r.outputs[i] ? mxGetScalar(r.outputs[i].get()) : -1, c.got[i]) << c.cmd << " slot " << i;
            EXPECT_NE(r.outputs[i].get(), arg.get());
            EXPECT_TRUE(i == 0 || !r.outputs[i] || r.outputs[i] != r.outputs[0]) << c.cmd;
        }
    }
}

TEST_F(Calls, MisuseIsSurvivedAndReported) {
    const struct { const char *cmd; std::string error; long faults; } cases[] = {
        {"return-dead", "plug-in returned an invalid array in output 1", 1},
        {"destroy-input", "", 1},
        {"throw", "unexpected C++ exception from plug-in: boom", 0},
    };
    for (const auto &c : cases) {
        reset_host_faults();
        Array input = make_scalar(5);
        CallResult r = run(c.cmd, 1, input.get());
        EXPECT_EQ(r.ok, c.error.empty()) << c.cmd;
        EXPECT_EQ(r.error, c.error) << c.cmd;
        EXPECT_EQ(host_faults(), c.faults) << c.cmd;
        EXPECT_EQ(mxGetScalar(input.get()), 5) << c.cmd;
    }
}

TEST_F(Calls, ReloadingStartsStaticStateAnew) {
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 1);
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 2);
    plugin.reset();  // a load while still loaded shares the loaded image
    SetUp();
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 1);
}
