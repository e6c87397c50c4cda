// The quorv_train gateway: its checks in order, their exact messages, what a
// refused call leaves behind, and what the plug-in exports.
#include "support.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

using minihost::Array;
using minihost::Plugin;

// An input given by its dimensions and data (one value fills every element).
struct Arg {
    std::vector<size_t> dims;
    std::vector<double> values;
};
Arg S(double v) { return {{1, 1}, {v}}; }
Arg A(std::vector<size_t> dims, double v = 0.5) { return {std::move(dims), {v}}; }

Array build(const Arg &a)
{
    size_t count = 1;
    for (size_t d : a.dims)
        count *= d;
    std::vector<double> v = a.values;
    if (v.size() != count)
        v.assign(count, a.values.at(0));
    return minihost::make_array(a.dims, mxDOUBLE_CLASS, false, v);
}

// 5 patterns of M = 4 features; vigilance 0.75 puts the min_size bound at 1.0.
std::vector<Arg> good_inputs()
{
    return {{{5, 4}, {0.1, 0.2, 0.8, 0.9, 0.5, 0.1, 0.2, 0.9, 0.8, 0.5, 0.3, 0.3, 0.7, 0.7, 0.5,
                      0.4, 0.4, 0.6, 0.6, 0.5}},
            {{5, 1}, {1, 1, 2, 2, 1}},
            S(0.75), S(0.5), S(1.0), S(0.001), S(10), S(0), S(0)};
}

struct Change {
    int slot;  // 0-based input position
    Arg arg;
};

struct Call {
    std::vector<Change> changes;
    int nrhs = 9;
    int nlhs = 3;
};

std::vector<Array> inputs(const Call &call)
{
    auto args = good_inputs();
    args.resize(10, S(0));
    for (const auto &c : call.changes)
        args[static_cast<size_t>(c.slot)] = c.arg;
    std::vector<Array> arrays;
    for (int i = 0; i < call.nrhs; ++i)
        arrays.push_back(build(args[static_cast<size_t>(i)]));
    return arrays;
}

minihost::CallResult call_with(Plugin &plugin, const std::vector<Array> &arrays, int nlhs = 3, long fail_at = 0)
{
    std::vector<const mxArray *> in;
    for (const auto &a : arrays)
        in.push_back(a.get());
    minihost::fail_allocation(fail_at);
    minihost::reset_allocation_count();
    return plugin.call(nlhs, in);
}

minihost::CallResult run(Plugin &plugin, const Call &call, long fail_at = 0)
{
    return call_with(plugin, inputs(call), call.nlhs, fail_at);
}

const std::string kT = "QUORV_TRAIN: ";
const std::string kBound = "\n( in [0.0, M*(1.0-vigilance)] ).";
const double kNaN = std::nan("");

struct Refused {
    Call call;
    std::string expected;
};

const Refused kRefused[] = {
    {{{}, 8}, kT + "9 input arguments required."},
    {{{{0, A({5, 4, 2})}, {2, S(kNaN)}}, 8}, kT + "9 input arguments required."},
    {{{}, 10}, kT + "9 input arguments required."},
    {{{}, 0}, kT + "9 input arguments required."},
    {{{{0, A({5, 4, 2})}}}, kT + "1st input argument (Patterns) must be  a two dimensional array (matrix)."},
    {{{{1, A({5, 1, 2})}}}, kT + "2nd input argument (PLabels) must a vector."},
    {{{{1, A({1, 4})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{1, A({5, 2})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{1, A({1, 1})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{2, A({2, 2})}}}, kT + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, A({1, 1, 2})}}}, kT + "3rd input argument (vigilance) must be a scalar."},
    {{{{2, S(-0.01)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{2, S(1.01)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{2, S(kNaN)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{3, A({2, 2})}}}, kT + "4th input argument (min_size) must be a scalar."},
    {{{{3, A({2, 2, 2})}}}, kT + "4th input argument (min_size) must be a scalar."},
    {{{{3, S(1.01)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{3, S(-0.01)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{3, S(kNaN)}}}, kT + "4th input argument (min_size) must be in [0.0, 1.000000]" + kBound},
    {{{{2, S(1)}, {3, S(1e-9)}}}, kT + "4th input argument (min_size) must be in [0.0, 0.000000]" + kBound},
    {{{{2, S(0.3)}, {3, S(2.81)}}}, kT + "4th input argument (min_size) must be in [0.0, 2.800000]" + kBound},
    {{{{4, A({2, 2})}}}, kT + "5th input argument (learning_rate) must be a scalar."},
    {{{{4, S(0)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{4, S(1.0001)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{4, S(kNaN)}}}, kT + "5th input argument (learning_rate) must be in (0.0, 1.0]."},
    {{{{5, A({3, 3})}}}, kT + "6th input argument (epsilon) must be a scalar."},
    {{{{5, S(-1e-12)}}}, kT + "6th input argument (epsilon) must be non-negative."},
    {{{{5, S(kNaN)}}}, kT + "6th input argument (epsilon) must be non-negative."},
    {{{{6, A({2, 2})}}}, kT + "7th input argument (max_list_presentations) must be a scalar."},
    {{{{6, S(0.99)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(kNaN)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(HUGE_VAL)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{6, S(4294967296.0)}}}, kT + "7th input argument (max_list_presentations) must  be greater than 0."},
    {{{{7, A({2, 2})}}}, kT + "8th input argument (trim_option) must be a scalar."},
    {{{{7, S(2)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{7, S(-1)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{8, A({2, 2, 2})}}}, kT + "9th input argument (oflag) must be scalar."},
    {{{{8, A({2, 2})}}}, kT + "9th input argument must be scalar."},
    {{{{8, S(5)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{{8, S(-1)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{{8, S(2147483648.0)}}}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
    {{{}, 9, 2}, kT + "3 output arguments required."},
    {{{}, 9, 0}, kT + "3 output arguments required."},
    {{{}, 9, 4}, kT + "3 output arguments required."},
    // Several faults: the first in check order wins, the output count last.
    {{{{8, S(5)}, {2, S(kNaN)}, {0, A({5, 4, 2})}}}, kT + "1st input argument (Patterns) must be  a two dimensional array (matrix)."},
    {{{{3, S(9)}, {1, A({2, 2})}}}, kT + "2nd input argument (PLabels) must be of type  5x1 or 1x5."},
    {{{{4, S(0)}, {2, S(kNaN)}}}, kT + "3rd input argument (vigilance) must be in [0,1]."},
    {{{{8, A({2, 2})}, {7, S(2)}}}, kT + "8th input argument (trim_option) must be either 0 or 1."},
    {{{{8, S(5)}}, 9, 2}, kT + "9th input argument (oflag) must be 0,1,2,3 or 4."},
};

TEST(TrainEntry, RefusedCallsGiveTheFirstFaultAndTouchNothing)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (const auto &r : kRefused) {
        SCOPED_TRACE(r.expected);
        const long blocks = minihost::live_blocks();
        minihost::reset_host_faults();
        const auto result = run(*plugin, r.call);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, r.expected);
        EXPECT_EQ(result.console, "");
        EXPECT_EQ(minihost::allocation_count(), 0);
        EXPECT_EQ(minihost::live_blocks(), blocks);
        EXPECT_EQ(minihost::host_faults(), 0);
        for (const auto &out : result.outputs)
            EXPECT_FALSE(out);
    }
}

const Call kAccepted[] = {
    {{{2, {{1, 2}, {0.5, 0.9}}}, {3, S(1.5)}}},  // first element used: 0.9 would refuse 1.5
    {{{2, {{2, 1}, {0.5, 0.9}}}, {3, S(1.5)}}},
    {{{2, S(0)}, {3, S(4)}}},
    {{{2, S(1)}, {3, S(0)}}},
    {{{3, S(1.0)}}},
    {{{4, S(1e-9)}}},
    {{{4, S(1)}, {5, S(0)}}},
    {{{5, S(1e6)}}},
    {{{1, A({1, 5}, 1)}}},
    {{{0, A({1, 4})}, {1, S(3)}}},
    {{{6, S(2147483648.0 * 2 + 5)}}},
};

TEST(TrainEntry, AcceptedEdgesMakeThreeOutputs)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (size_t i = 0; i < std::size(kAccepted); ++i) {
        SCOPED_TRACE(i);
        const auto result = run(*plugin, kAccepted[i]);
        ASSERT_TRUE(result.ok) << result.error;
        ASSERT_EQ(result.outputs.size(), 3u);
        EXPECT_EQ(minihost::dims(result.outputs[2].get()), (std::vector<size_t>{1, 1}));
    }
}

TEST(TrainEntry, EmptyArraysPassEveryScalarTest)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    for (int slot = 2; slot < 9; ++slot)
        for (const auto &dims : {std::vector<size_t>{1, 0}, std::vector<size_t>{0, 1}}) {
            const auto result = run(*plugin, {{{slot, {dims, {}}}}});
            EXPECT_EQ(result.error.find("scalar"), std::string::npos) << slot << ": " << result.error;
        }
}

std::string without_seconds(const std::string &console)
{
    return std::regex_replace(console, std::regex("in [0-9]+ seconds"), "in # seconds");
}

TEST(TrainEntry, IntegerOptionsAreTruncatedTowardZero)
{
    auto presentations = [](double limit) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{6, S(limit)}}});
        return result.ok ? minihost::values(result.outputs[2].get()).at(0) : -1.0;
    };
    EXPECT_EQ(presentations(1.5), 1);
    EXPECT_EQ(presentations(4294967297.0), 1);

    const struct {
        double trim;
        const char *said;
    } trims[] = {{1.9, "trimmed"}, {-0.5, "detected"}, {kNaN, "detected"}, {1, "trimmed"}};
    for (const auto &t : trims) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{7, S(t.trim)}, {8, S(1)}}});
        EXPECT_NE(result.console.find(t.said), std::string::npos) << t.trim << "\n" << result.console;
    }

    auto console = [](double oflag) {
        auto plugin = qt::load_train();
        const auto result = run(*plugin, {{{8, S(oflag)}}});
        EXPECT_TRUE(result.ok) << oflag << ": " << result.error;
        return without_seconds(result.console);
    };
    EXPECT_NE(console(4), "");
    EXPECT_EQ(console(4.9), console(4));
    EXPECT_EQ(console(-0.5), "");
    EXPECT_EQ(console(kNaN), "");
}

TEST(TrainEntry, EveryAllocationFailureIsTheMemoryError)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    const auto first = run(*plugin, {}, 1);
    EXPECT_EQ(first.error, kT + "Not enough memory available; unable to run!");
    EXPECT_EQ(first.console, "");

    // Fail each host allocation of a good call in turn, until none is left.
    minihost::reset_host_faults();
    long k = 1;
    for (;; ++k) {
        const auto result = run(*plugin, {}, k);
        minihost::fail_allocation(0);
        if (result.ok)
            break;
        ASSERT_EQ(result.error, kT + "Not enough memory available; unable to run!") << "allocation " << k;
        ASSERT_LT(k, 1000);
    }
    EXPECT_EQ(minihost::host_faults(), 0);  // no foreign or double frees on any path
    EXPECT_GT(k, 8);  // 6 pattern blocks and the label block at least
}

TEST(TrainEntry, ArraysOfOtherClassesAreReadByValue)
{
    auto plugin = qt::load_train();
    ASSERT_TRUE(plugin);
    // Single Patterns train as the doubles they hold.
    auto arrays = inputs({});
    std::vector<double> rounded;
    for (const double v : minihost::values(arrays[0].get()))
        rounded.push_back(static_cast<float>(v));
    arrays[0] = minihost::make_double(5, 4, rounded);
    const auto reference = call_with(*plugin, arrays);
    ASSERT_TRUE(reference.ok) << reference.error;
    arrays[0] = minihost::make_array({5, 4}, mxSINGLE_CLASS, false, rounded);
    arrays[1] = minihost::make_array({1, 5}, mxINT32_CLASS, false, {1, 1, 2, 2, 1});
    const auto converted = call_with(*plugin, arrays);
    ASSERT_TRUE(converted.ok) << converted.error;
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(minihost::values(converted.outputs[k].get()), minihost::values(reference.outputs[k].get()));

    // Nothing to read as numbers: the converter says so, the call ends.
    arrays = inputs({});
    arrays[0] = minihost::make_cell(5, 4);
    const auto cell = call_with(*plugin, arrays);
    EXPECT_EQ(cell.error, kT + "Not enough memory available; unable to run!");
    EXPECT_EQ(cell.console, "Warning: mxArray2D_to_cArray2D: mxArray argument passed was not appropriate!\n");
    arrays = inputs({});
    arrays[1] = minihost::make_sparse(5, 1);
    EXPECT_EQ(call_with(*plugin, arrays).console,
              "Warning: mxArray1D_to_cArray1D: mxArray argument passed was not appropriate!\n");
}

// Defined symbols of an ELF shared object's dynamic symbol table.
std::vector<std::string> exported_symbols(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr) || image.compare(0, 4, ELFMAG) != 0 || image[EI_CLASS] != ELFCLASS64)
        return {"<not a 64-bit ELF file>"};
    Elf64_Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, image.data() + eh.e_shoff + i * eh.e_shentsize, sizeof sh);
        return sh;
    };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNSYM)
            continue;
        const Elf64_Shdr strings = section(sh.sh_link);
        for (size_t off = sh.sh_offset; off + sizeof(Elf64_Sym) <= sh.sh_offset + sh.sh_size; off += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + off, sizeof sym);
            if (sym.st_shndx != SHN_UNDEF && ELF64_ST_BIND(sym.st_info) != STB_LOCAL)
                names.emplace_back(image.c_str() + strings.sh_offset + sym.st_name);
        }
    }
    return names;
}

TEST(PluginExports, OnlyTheGateway)
{
    for (const char *path : {QUORV_TRAIN_PLUGIN, QUORV_PERF_PLUGIN})
        EXPECT_EQ(exported_symbols(path), std::vector<std::string>{"mexFunction"}) << path;
}

}  // namespace
