// Arguments of every class and of sizes past the int counts: refused with the
// argument's own message right after its shape tests, or read as the real
// numbers they hold.
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <iterator>

namespace {

using minihost::CallResult;
using minihost::Plugin;
using qt::A;
using qt::Arg;
using qt::Call;
using qt::S;

const std::string kT = "QUORV_TRAIN: ";
const std::string kP = "QUORV_PERF: ";

using Variant = std::function<Arg(Arg)>;

Variant of_class(mxClassID cls)
{
    return [cls](Arg a) {
        a.cls = cls;
        return a;
    };
}
Arg complex_of(Arg a)
{
    a.complex = true;
    return a;
}
Arg sparse_of(Arg a)
{
    a.sparse = true;
    return a;
}

const mxClassID kNumbers[] = {mxSINGLE_CLASS, mxINT8_CLASS,  mxUINT8_CLASS,  mxINT16_CLASS,
                              mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS,
                              mxUINT64_CLASS, mxLOGICAL_CLASS};

// Everything but a full real double matrix.
std::vector<std::pair<std::string, Variant>> not_real_double()
{
    std::vector<std::pair<std::string, Variant>> v;
    for (mxClassID cls : kNumbers)
        v.emplace_back("class " + std::to_string(cls), of_class(cls));
    for (mxClassID cls : {mxCHAR_CLASS, mxCELL_CLASS, mxSTRUCT_CLASS})
        v.emplace_back("class " + std::to_string(cls), of_class(cls));
    v.emplace_back("complex", complex_of);
    v.emplace_back("sparse", sparse_of);
    return v;
}

// What a scalar argument may not be: no real number to read.
std::vector<std::pair<std::string, Variant>> not_a_number()
{
    return {{"char", of_class(mxCHAR_CLASS)},
            {"cell", of_class(mxCELL_CLASS)},
            {"struct", of_class(mxSTRUCT_CLASS)},
            {"complex", complex_of},
            {"sparse", sparse_of}};
}

struct Gateway {
    const char *name;
    std::function<std::unique_ptr<Plugin>()> load;
    std::function<CallResult(Plugin &, const Call &)> call;
    std::vector<Arg> good;
};

const Gateway kTrain{"train", qt::load_train, [](Plugin &p, const Call &c) { return qt::call_train(p, c); },
                     qt::good_train_inputs()};
const Gateway kPerf{"perf", qt::load_perf, [](Plugin &p, const Call &c) { return qt::call_perf(p, c); },
                    qt::good_perf_inputs()};

struct Slot {
    const Gateway *gateway;
    int slot;
    std::string message;
};

// A refused call says exactly this and has touched nothing.
void expect_refused(Plugin &plugin, const Gateway &g, const Call &call, const std::string &message)
{
    qt::expect_refused_cleanly([&] { return g.call(plugin, call); }, message);
}

TEST(HostileArgs, MatricesOfOtherClassesAreRefusedAfterTheirShapeTests)
{
    const Slot matrices[] = {
        {&kTrain, 0, kT + "1st input argument (Patterns) must be a real double matrix."},
        {&kTrain, 1, kT + "2nd input argument (PLabels) must be a real double vector."},
        {&kPerf, 0, kP + "1st input argument (Templates) must be a real double matrix."},
        {&kPerf, 1, kP + "2nd input argument (NLabels) must be a real double vector."},
        {&kPerf, 3, kP + "4th input argument (Patterns) must be a real double matrix."},
    };
    auto train = qt::load_train();
    auto perf = qt::load_perf();
    ASSERT_TRUE(train && perf);
    for (const auto &m : matrices) {
        Plugin &plugin = m.gateway == &kTrain ? *train : *perf;
        const Arg good = m.gateway->good[static_cast<size_t>(m.slot)];
        for (const auto &[what, variant] : not_real_double()) {
            SCOPED_TRACE(m.message + " / " + what);
            expect_refused(plugin, *m.gateway, {{{m.slot, variant(good)}}}, m.message);
            // Later faults wait: the class is the argument's last test.
            expect_refused(plugin, *m.gateway, {{{m.slot, variant(good)}, {m.slot + 1, A({2, 2, 2})}}}, m.message);
        }
    }
}

TEST(HostileArgs, ShapeTestsStillComeFirst)
{
    auto train = qt::load_train();
    auto perf = qt::load_perf();
    ASSERT_TRUE(train && perf);
    const Arg int8_3d{{5, 4, 2}, {1}, mxINT8_CLASS};
    const Arg char_row{{1, 4}, {65}, mxCHAR_CLASS};
    const Arg cell_3d{{4, 4, 2}, {}, mxCELL_CLASS};
    const Arg single_10x3{{10, 3}, {0.5}, mxSINGLE_CLASS};
    const Arg logical_2x2{{2, 2}, {1}, mxLOGICAL_CLASS};
    const Arg struct_2x2{{2, 2}, {}, mxSTRUCT_CLASS};
    const struct {
        const Gateway *g;
        Call call;
        std::string message;
    } cases[] = {
        {&kTrain, {{{0, int8_3d}}}, kT + "1st input argument (Patterns) must be  a two dimensional array (matrix)."},
        {&kTrain, {{{1, char_row}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
        {&kTrain, {{{2, logical_2x2}}}, kT + "3rd input argument (vigilance) must be a scalar."},
        {&kTrain, {{{8, struct_2x2}}}, kT + "9th input argument must be scalar."},
        {&kPerf, {{{0, cell_3d}}}, kP + "1st input argument (Templates) must be  a two dimensional array (matrix)."},
        {&kPerf, {{{1, single_10x3}}}, kP + "2nd input argument (NLabels) must be of type  4x1 or 1x4."},
        {&kPerf, {{{3, single_10x3}}}, kP + "4th input argument (Patterns) must be of type  10x2."},
        {&kPerf, {{{5, struct_2x2}}}, kP + "6th input argument (oflag) must be scalar."},
        // Inputs and their order come before any class.
        {&kTrain, {{{0, char_row}}, 8}, kT + "9 input arguments required."},
        {&kPerf, {{{0, char_row}}, 7}, kP + "6 input arguments required."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        expect_refused(c.g == &kTrain ? *train : *perf, *c.g, c.call, c.message);
    }
}

TEST(HostileArgs, ScalarsHoldingNoRealNumberGetTheScalarMessage)
{
    const Slot scalars[] = {
        {&kTrain, 2, kT + "3rd input argument (vigilance) must be a scalar."},
        {&kTrain, 3, kT + "4th input argument (min_size) must be a scalar."},
        {&kTrain, 4, kT + "5th input argument (learning_rate) must be a scalar."},
        {&kTrain, 5, kT + "6th input argument (epsilon) must be a scalar."},
        {&kTrain, 6, kT + "7th input argument (max_list_presentations) must be a scalar."},
        {&kTrain, 7, kT + "8th input argument (trim_option) must be a scalar."},
        {&kTrain, 8, kT + "9th input argument (oflag) must be scalar."},
        {&kPerf, 2, kP + "3rd input argument (vigilance) must be a scalar."},
        {&kPerf, 4, kP + "5th input argument (unknown_label) must be a scalar."},
        {&kPerf, 5, kP + "6th input argument (oflag) must be scalar."},
    };
    auto train = qt::load_train();
    auto perf = qt::load_perf();
    ASSERT_TRUE(train && perf);
    for (const auto &s : scalars) {
        Plugin &plugin = s.gateway == &kTrain ? *train : *perf;
        const Arg good = s.gateway->good[static_cast<size_t>(s.slot)];
        for (const auto &[what, variant] : not_a_number()) {
            SCOPED_TRACE(s.message + " / " + what);
            expect_refused(plugin, *s.gateway, {{{s.slot, variant(good)}}}, s.message);
            Arg row = variant(good);
            row.dims = {1, 3};
            expect_refused(plugin, *s.gateway, {{{s.slot, row}}}, s.message);
        }
    }
}

TEST(HostileArgs, NumericAndLogicalScalarsReadAsTheirValue)
{
    // Values every class holds exactly, each one accepted where it is given.
    const struct {
        const Gateway *g;
        int slot;
        double value;
    } slots[] = {
        {&kTrain, 2, 0}, {&kTrain, 3, 0}, {&kTrain, 4, 1}, {&kTrain, 5, 1}, {&kTrain, 6, 1},
        {&kTrain, 7, 1}, {&kTrain, 8, 1}, {&kPerf, 2, 1},   {&kPerf, 4, 1},   {&kPerf, 5, 1},
    };
    for (const auto &s : slots) {
        auto plugin = s.g->load();
        ASSERT_TRUE(plugin);
        const auto reference = s.g->call(*plugin, {{{s.slot, S(s.value)}}});
        ASSERT_TRUE(reference.ok) << reference.error;
        for (mxClassID cls : kNumbers) {
            SCOPED_TRACE(std::string(s.g->name) + " slot " + std::to_string(s.slot) + " class " + std::to_string(cls));
            const auto result = s.g->call(*plugin, {{{s.slot, {{1, 1}, {s.value}, cls}}}});
            ASSERT_TRUE(result.ok) << result.error;
            ASSERT_EQ(result.outputs.size(), reference.outputs.size());
            for (size_t k = 0; k < result.outputs.size(); ++k)
                EXPECT_EQ(minihost::values(result.outputs[k].get()), minihost::values(reference.outputs[k].get()));
            // Running totals grow from call to call; the rest is the same.
            const std::vector<std::string> counts = {" seconds", " FLOPs", " comparisons"};
            EXPECT_EQ(qt::masked(result.console, counts), qt::masked(reference.console, counts));
        }
    }
}

TEST(HostileArgs, DimensionsPastTheIntCountsAreRefused)
{
    // Empty arrays: dimensions of any size, without their data.
    const size_t two31 = size_t{1} << 31, two30 = size_t{1} << 30, all = ~size_t{0};
    const std::string train_size = kT + "1st input argument (Patterns) must have at most 2147483647 rows and 1073741823 columns.";
    const std::string templates_size = kP + "1st input argument (Templates) must have at most 2147483647 rows and 2147483647 columns.";
    const std::string patterns_size = kP + "4th input argument (Patterns) must have at most 2147483647 rows.";
    const struct {
        const Gateway *g;
        Call call;
        std::string message;
    } cases[] = {
        {&kTrain, {{{0, A({two31, 0})}}}, train_size},
        {&kTrain, {{{0, A({0, two30})}}}, train_size},  // 2M would not fit
        {&kTrain, {{{0, A({0, all})}}}, train_size},
        {&kTrain, {{{0, {{two31, 0}, {}, mxINT8_CLASS}}}}, train_size},  // size before class
        {&kTrain, {{{0, A({two31, 0})}, {1, A({1, 1, 2})}}}, train_size},
        {&kPerf, {{{0, A({two31, 0})}}}, templates_size},
        {&kPerf, {{{0, A({0, two31})}}}, templates_size},
        {&kPerf, {{{0, A({all, 0})}, {1, A({2, 2})}}}, templates_size},
        // Before the column test, whose message shows the row count.
        {&kPerf, {{{3, A({two31, 0})}}}, patterns_size},
        {&kPerf, {{{3, A({all, 0})}, {4, A({2, 2})}}}, patterns_size},
    };
    auto train = qt::load_train();
    auto perf = qt::load_perf();
    ASSERT_TRUE(train && perf);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        expect_refused(c.g == &kTrain ? *train : *perf, *c.g, c.call, c.message);
    }

    // Right at the limits: nothing to read, and empty results.
    const size_t half = INT_MAX / 2;
    const auto trained = kTrain.call(*train, {{{0, A({0, half})}, {1, A({0, 1})}}});
    ASSERT_TRUE(trained.ok) << trained.error;
    EXPECT_EQ(minihost::dims(trained.outputs[0].get()), (std::vector<size_t>{0, 2 * half}));
    const auto classified =
        kPerf.call(*perf, {{{0, A({0, size_t{INT_MAX}})}, {1, A({0, 1})}, {3, A({0, half})}}});
    ASSERT_TRUE(classified.ok) << classified.error;
    EXPECT_EQ(minihost::dims(classified.outputs[0].get()), (std::vector<size_t>{0, 1}));
}

}  // namespace
