// The four converters, called directly (outside any plug-in call, so the
// blocks they make stay until release_blocks()).
#include "host/convert.h"
#include "minihost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

using minihost::Array;
using minihost::live_blocks;

const char kWarn1DDims[] = "mxArray1D_to_cArray1D: Argument passed was not appropriate!";
const char kWarn1DShape[] = "mxArray1D_to_cArray1D: mxArray argument passed was not appropriate!";
const char kWarn2D[] = "mxArray2D_to_cArray2D: mxArray argument passed was not appropriate!";

class Convert : public ::testing::Test {
protected:
    void TearDown() override
    {
        minihost::fail_allocation(0);
        minihost::release_blocks();
    }
    // A host block of doubles, as a driver hands one over.
    static double *block(const std::vector<double> &v)
    {
        auto *p = static_cast<double *>(mxCalloc(v.empty() ? 1 : v.size(), sizeof(double)));
        for (size_t i = 0; i < v.size(); ++i)
            p[i] = v[i];
        return p;
    }
};

// Outside a call the host shows warnings on stderr.
void capture() { ::testing::internal::CaptureStderr(); }
std::string shown() { return ::testing::internal::GetCapturedStderr(); }
std::string warned(const char *text) { return *text ? std::string("Warning: ") + text + "\n" : ""; }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(Convert, VectorShapes)
{
    const struct {
        std::vector<size_t> dims;
        int n;              // -1: refused
        const char *warning;
    } cases[] = {
        {{1, 1}, 1, ""},           {{1, 5}, 5, ""},           {{5, 1}, 5, ""},
        {{2, 3}, -1, kWarn1DShape}, {{0, 0}, -1, kWarn1DShape}, {{2, 2, 2}, -1, kWarn1DDims},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.dims));
        std::vector<double> data(c.dims[0] * c.dims[1] * (c.dims.size() > 2 ? c.dims[2] : 1));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = 0.1 * static_cast<double>(i + 1);
        auto a = minihost::make_array(c.dims, mxDOUBLE_CLASS, false, data);
        int n = 77;
        capture();
        double *v = mxArray1D_to_cArray1D(&n, a.get());
        EXPECT_EQ(shown(), warned(c.warning));
        if (c.n < 0) {
            EXPECT_EQ(v, nullptr);
            EXPECT_EQ(n, 0);
            continue;
        }
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(n, c.n);
        for (int k = 0; k < n; ++k)
            EXPECT_EQ(v[k], data[static_cast<size_t>(k)]);
    }
}

TEST_F(Convert, EmptyVectorsHaveLengthZero)
{
    for (const auto &dims : {std::vector<size_t>{1, 0}, std::vector<size_t>{0, 1}}) {
        auto a = minihost::make_array(dims, mxDOUBLE_CLASS);
        int n = 77;
        capture();
        mxArray1D_to_cArray1D(&n, a.get());  // a block or null: the host's answer
        EXPECT_EQ(shown(), "");
        EXPECT_EQ(n, 0);
    }
}

TEST_F(Convert, CopiesEveryBitOfEachDouble)
{
    const std::vector<double> odd = {-0.0, std::nan("0x12345"), -HUGE_VAL, 4.9406564584124654e-324};
    auto a = minihost::make_double(2, 2, odd);
    int n = 0;
    auto v = minihost::make_double(1, 4, odd);
    double *flat = mxArray1D_to_cArray1D(&n, v.get());
    int rows = 0, cols = 0;
    double **table = mxArray2D_to_cArray2D(&rows, &cols, a.get());
    ASSERT_TRUE(flat && table);
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_TRUE(same_bits(flat[k], odd[k])) << k;
        EXPECT_TRUE(same_bits(table[k % 2][k / 2], odd[k])) << k;
    }
}

TEST_F(Convert, OnlyRealDoublesOfIntSizesAreRead)
{
    // The gateways refuse all of these first; read as doubles they would be
    // garbage or out of bounds.
    Array others[] = {
        minihost::make_array({2, 1}, mxSINGLE_CLASS),  minihost::make_array({2, 1}, mxINT8_CLASS),
        minihost::make_array({2, 1}, mxUINT64_CLASS),  minihost::make_array({2, 1}, mxLOGICAL_CLASS),
        minihost::make_array({2, 1}, mxCHAR_CLASS),    minihost::make_array({2, 1}, mxDOUBLE_CLASS, true),
        minihost::make_sparse(2, 1),                   minihost::make_cell(2, 1),
        minihost::make_struct(2, 1),
    };
    for (const auto &a : others) {
        int n = 9, rows = 9, cols = 9;
        capture();
        EXPECT_EQ(mxArray1D_to_cArray1D(&n, a.get()), nullptr);
        EXPECT_EQ(mxArray2D_to_cArray2D(&rows, &cols, a.get()), nullptr);
        EXPECT_EQ(shown(), warned(kWarn1DShape) + warned(kWarn2D)) << mxGetClassID(a.get());
        EXPECT_EQ(n + rows + cols, 0);
    }

    const size_t too_many = size_t{1} << 31;
    for (const auto &dims : {std::vector<size_t>{0, too_many}, std::vector<size_t>{too_many, 0}}) {
        auto a = minihost::make_array(dims, mxDOUBLE_CLASS);
        int rows = 9, cols = 9;
        capture();
        EXPECT_EQ(mxArray2D_to_cArray2D(&rows, &cols, a.get()), nullptr);
        EXPECT_EQ(shown(), warned(kWarn2D));
        EXPECT_EQ(rows + cols, 0);
    }
}

TEST_F(Convert, MatrixToRowsAndBack)
{
    auto a = minihost::make_row_major(3, 2, {1, 2, 3, 4, 5, 6});
    int rows = 0, cols = 0;
    const long before = live_blocks();
    double **table = mxArray2D_to_cArray2D(&rows, &cols, a.get());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(cols, 2);
    EXPECT_EQ(live_blocks(), before + 4);
    const double expected[3][2] = {{1, 2}, {3, 4}, {5, 6}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j)
            EXPECT_EQ(table[i][j], expected[i][j]) << i << "," << j;

    Array back(cArray2D_to_mxArray2D(rows, cols, table));
    ASSERT_TRUE(back);
    EXPECT_EQ(minihost::dims(back.get()), (std::vector<size_t>{3, 2}));
    EXPECT_EQ(minihost::values(back.get()), minihost::values(a.get()));
    EXPECT_EQ(live_blocks(), before);
}

TEST_F(Convert, MatrixOfThreeDimensionsIsRefused)
{
    auto a = minihost::make_array({2, 2, 2}, mxDOUBLE_CLASS);
    int rows = 9, cols = 9;
    capture();
    EXPECT_EQ(mxArray2D_to_cArray2D(&rows, &cols, a.get()), nullptr);
    EXPECT_EQ(shown(), warned(kWarn2D));
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(cols, 0);
}

TEST_F(Convert, OutputColumnsAndMatricesReleaseTheirInput)
{
    const struct {
        int n;
    } columns[] = {{3}, {1}, {0}};
    for (const auto &c : columns) {
        std::vector<double> v(static_cast<size_t>(c.n));
        for (int k = 0; k < c.n; ++k)
            v[static_cast<size_t>(k)] = k + 0.5;
        double *data = block(v);
        const long before = live_blocks();
        Array col(cArray1D_to_mxArray1D(c.n, data));
        ASSERT_TRUE(col) << c.n;
        EXPECT_EQ(minihost::dims(col.get()), (std::vector<size_t>{static_cast<size_t>(c.n), 1}));
        EXPECT_EQ(minihost::values(col.get()), v);
        EXPECT_EQ(live_blocks(), before - 1);
    }

    // One column, and no rows at all (only the pointer block).
    auto **table = static_cast<double **>(mxCalloc(2, sizeof(double *)));
    table[0] = block({7});
    table[1] = block({8});
    const long before = live_blocks();
    Array one(cArray2D_to_mxArray2D(2, 1, table));
    ASSERT_TRUE(one);
    EXPECT_EQ(minihost::dims(one.get()), (std::vector<size_t>{2, 1}));
    EXPECT_EQ(minihost::values(one.get()), (std::vector<double>{7, 8}));
    EXPECT_EQ(live_blocks(), before - 3);

    auto **none = static_cast<double **>(mxCalloc(1, sizeof(double *)));
    Array empty(cArray2D_to_mxArray2D(0, 4, none));
    ASSERT_TRUE(empty);
    EXPECT_EQ(minihost::dims(empty.get()), (std::vector<size_t>{0, 4}));
    EXPECT_EQ(live_blocks(), before - 3);
}

TEST_F(Convert, AllocationFailureGivesNullWithoutWarning)
{
    auto v = minihost::make_double(1, 5, {1, 2, 3, 4, 5});
    auto m = minihost::make_row_major(3, 2, {1, 2, 3, 4, 5, 6});
    int n = 0, rows = 0, cols = 0;

    capture();
    minihost::fail_allocation(1);
    EXPECT_EQ(mxArray1D_to_cArray1D(&n, v.get()), nullptr);
    EXPECT_EQ(n, 5);  // the count read stays

    // The pointer block, then the second row: what was obtained stays allocated.
    for (long k : {1L, 3L}) {
        const long before = live_blocks();
        minihost::fail_allocation(k);
        EXPECT_EQ(mxArray2D_to_cArray2D(&rows, &cols, m.get()), nullptr) << k;
        EXPECT_EQ(rows, 3);
        EXPECT_EQ(cols, 2);
        EXPECT_EQ(live_blocks(), before + k - 1);
    }
    EXPECT_EQ(shown(), "");

    // Output converters keep their input when the host cannot make the array.
    double *data = block({1, 2});
    auto **table = static_cast<double **>(mxCalloc(1, sizeof(double *)));
    table[0] = block({3, 4});
    const long before = live_blocks();
    minihost::fail_allocation(1);
    EXPECT_EQ(cArray1D_to_mxArray1D(2, data), nullptr);
    minihost::fail_allocation(1);
    EXPECT_EQ(cArray2D_to_mxArray2D(1, 2, table), nullptr);
    EXPECT_EQ(live_blocks(), before);
    EXPECT_EQ(data[1], 2);
    EXPECT_EQ(table[0][1], 4);
}

}  // namespace
