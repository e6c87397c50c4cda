// Fuzz target: both gateways called through the embedded host with argument
// counts, shapes, classes and values decoded from the fuzzer's bytes, and
// sometimes with a host allocation made to fail. Any call must end in a
// result or in one of the routine's own errors, with nothing misused or left
// behind; anything else aborts, which the fuzzer reports as a crash.
//
// Input layout, one byte each unless said (missing bytes read as 0):
//   mode     bit 0: classification, else training; bit 1: after a training
//            call that succeeds, classify its patterns with its results;
//            bit 2: make one host allocation fail, the next byte saying which;
//            bit 3: none of this, but the command-line tool's readers: the
//            rest is a model file (bit 0 set) or a CSV file (fuzz_readers.cpp)
//   inputs   input count: below 200 the gateway's own, else byte % 11
//   outputs  output count: below 200 the gateway's own, else byte % 5
//   then per input: a class byte, a shape byte, one byte per dimension and
//   one per element (see read_input).
#include "fuzz_readers.h"
#include "host/args.h"
#include "minihost.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using minihost::Array;
using minihost::CallResult;
using minihost::Plugin;

// Small runs: every input must finish in milliseconds.
constexpr size_t kMaxDim = 6;
constexpr int kMaxPresentations = 20;

class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    uint8_t next()
    {
        if (n_ == 0)
            return 0;
        --n_;
        return *p_++;
    }
    double raw()
    {
        uint8_t b[8];
        for (auto &x : b)
            x = next();
        double v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }

private:
    const uint8_t *p_;
    size_t n_;
};

[[noreturn]] void fault(const char *what, const CallResult &r)
{
    std::fprintf(stderr, "fuzz_entries: %s\nerror: %s\nconsole:\n%s\n", what, r.error.c_str(), r.console.c_str());
    std::abort();
}

double value(Bytes &in)
{
    static const double kSpecial[] = {
        0.0, 1.0, -1.0, 0.5, 0.25, 0.75, 2.7, -0.0,
        std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL, 1e308, -1e308,
        2147483648.0, 4294967297.0, 9223372036854775808.0, 4.9406564584124654e-324, -2.5,
    };
    constexpr unsigned kSpecials = sizeof kSpecial / sizeof kSpecial[0];
    const uint8_t b = in.next();
    if (b < kSpecials)
        return kSpecial[b];
    if (b == 0xFF)
        return in.raw();
    return (b - kSpecials) / 16.0;  // 0 to about 14.8 in sixteenths
}

// One input. Class byte: its low nibble picks the class (mostly double),
// bit 4 makes a numeric array complex. Shape byte: mostly two dimensions,
// sometimes one, three or four, or an empty array with a dimension far past
// the int counts. Dimension bytes: 0 to 6, or 7 for the matching count
// (rows of the first input, or half its columns).
Array read_input(Bytes &in, const mxArray *first)
{
    const uint8_t c = in.next();
    const uint8_t s = in.next();
    const size_t ndims = (s & 7) == 4 ? 3 : (s & 7) == 5 ? 1 : (s & 7) == 6 ? 4 : 2;
    std::vector<size_t> dims;
    for (size_t i = 0; i < ndims; ++i) {
        const uint8_t d = in.next() & 7;
        if (d < 7) {
            dims.push_back(d);
        } else if (first && mxGetNumberOfDimensions(first) >= 2) {
            const size_t r = mxGetDimensions(first)[0], w = mxGetDimensions(first)[1];
            dims.push_back(std::min<size_t>(i == 0 ? r : w / 2, kMaxDim));
        } else {
            dims.push_back(1);
        }
    }
    if ((s & 7) == 7) {
        static const size_t kHuge[] = {size_t{1} << 31, size_t{1} << 30, size_t{INT32_MAX},
                                       std::numeric_limits<size_t>::max()};
        dims = {0, kHuge[(s >> 3) & 3]};
        if (s & 0x20)
            std::swap(dims[0], dims[1]);
    }

    static const mxClassID kClasses[] = {mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxDOUBLE_CLASS,
                                         mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,
                                         mxUINT8_CLASS,  mxINT32_CLASS,  mxUINT64_CLASS, mxLOGICAL_CLASS,
                                         mxCHAR_CLASS,   mxCELL_CLASS,   mxSTRUCT_CLASS, mxDOUBLE_CLASS};
    const mxClassID cls = kClasses[c & 15];
    if ((c & 15) == 15 && dims.size() == 2 && dims[0] <= kMaxDim && dims[1] <= kMaxDim)
        return minihost::make_sparse(dims[0], dims[1]);
    if (cls == mxCELL_CLASS || cls == mxSTRUCT_CLASS)
        return minihost::make_array(dims, cls);
    const bool complex = (c & 0x10) && cls != mxLOGICAL_CLASS && cls != mxCHAR_CLASS;
    size_t count = 1;
    for (size_t d : dims)
        count = d == 0 || count == 0 ? 0 : count * d;
    std::vector<double> re(count), im(complex ? count : 0);
    for (double &v : re)
        v = value(in);
    for (double &v : im)
        v = value(in);
    return minihost::make_array(dims, cls, complex, re, im);
}

// What every call must leave: its own error or whole results, no misuse of
// the host, no host block alive, and no array but the inputs and results.
void check(const CallResult &r, const char *routine, int nlhs, long arrays_before, bool failing)
{
    if (minihost::host_faults() != 0)
        fault("the plug-in misused the host", r);
    if (minihost::live_blocks() != 0)
        fault("host blocks outlived the call", r);
    long outputs = 0;
    for (const auto &o : r.outputs)
        outputs += o ? 1 : 0;
    if (minihost::live_arrays() != arrays_before + outputs)
        fault("arrays outlived the call", r);
    if (!r.ok) {
        if (r.error.rfind(std::string(routine) + ": ", 0) != 0)
            fault("an error not of the routine's own", r);
        if (!failing && r.error.find("Not enough memory") != std::string::npos)
            fault("a memory error without a failed allocation", r);
        return;
    }
    if (r.outputs.size() != static_cast<size_t>(nlhs))
        fault("a result count other than the one asked for", r);
    for (const auto &o : r.outputs)
        if (!o || mxGetClassID(o.get()) != mxDOUBLE_CLASS || mxIsComplex(o.get()) ||
            mxGetNumberOfDimensions(o.get()) != 2)
            fault("a result that is not a real double matrix", r);
}

Plugin &plugin(bool perf)
{
    // Loaded once and never unloaded: the fuzzer keeps their coverage counters.
    static std::unique_ptr<Plugin> loaded[2];
    auto &p = loaded[perf ? 1 : 0];
    if (!p) {
        std::string error;
        p = Plugin::load(perf ? QUORV_PERF_PLUGIN : QUORV_TRAIN_PLUGIN, &error);
        if (!p) {
            std::fprintf(stderr, "fuzz_entries: %s\n", error.c_str());
            std::abort();
        }
    }
    return *p;
}

CallResult call(bool perf, int nlhs, const std::vector<Array> &inputs, long fail_at)
{
    std::vector<const mxArray *> in;
    for (const auto &a : inputs)
        in.push_back(a.get());
    minihost::reset_host_faults();
    const long arrays = minihost::live_arrays();
    minihost::fail_allocation(fail_at);
    CallResult r = plugin(perf).call(nlhs, in);
    minihost::fail_allocation(0);
    check(r, perf ? "QUORV_PERF" : "QUORV_TRAIN", nlhs, arrays, fail_at > 0);
    return r;
}

// Calls the gateway could accept but that are not small are not run: a
// presentation limit past the bound, or up to INT_MAX patterns of no
// features to classify (legal, but each needs its row and its label).
bool too_big(bool perf, const std::vector<Array> &inputs)
{
    if (perf) {
        if (inputs.size() < 4 || mxGetNumberOfDimensions(inputs[3].get()) != 2)
            return false;
        const size_t rows = mxGetDimensions(inputs[3].get())[0];
        return rows > kMaxDim && rows <= static_cast<size_t>(INT32_MAX);
    }
    if (inputs.size() < 7)
        return false;
    const mxArray *a = inputs[6].get();
    return is_scalar(a) && truncate_to_int(mxGetScalar(a)) > kMaxPresentations;
}

}  // namespace

// Both plug-ins load before the first input, so that the fuzzer counts their
// code from the start.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    plugin(false);
    plugin(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes in(data, size);
    const uint8_t mode = in.next();
    if (mode & 8) {
        fuzz_readers(data + 1, size - 1, mode & 1);
        return 0;
    }
    const bool perf = mode & 1;
    const long fail_at = (mode & 4) ? 1 + in.next() % 40 : 0;
    const uint8_t r = in.next(), l = in.next();
    const int nrhs = r < 200 ? (perf ? 6 : 9) : r % 11;
    const int nlhs = l < 200 ? (perf ? 1 : 3) : l % 5;

    std::vector<Array> inputs;
    for (int i = 0; i < nrhs; ++i)
        inputs.push_back(read_input(in, inputs.empty() ? nullptr : inputs[0].get()));
    if (too_big(perf, inputs))
        return 0;

    const CallResult first = call(perf, nlhs, inputs, fail_at);

    // Classify the training patterns with what training returned.
    if (!perf && (mode & 2) && first.ok && nlhs == 3 && nrhs == 9) {
        std::vector<Array> next;
        next.push_back(minihost::duplicate(first.outputs[0].get()));
        next.push_back(minihost::duplicate(first.outputs[1].get()));
        next.push_back(minihost::duplicate(inputs[2].get()));
        next.push_back(minihost::duplicate(inputs[0].get()));
        next.push_back(minihost::make_scalar(value(in)));
        next.push_back(minihost::make_scalar(in.next() % 5));
        call(true, 1, next, 0);
    }
    return 0;
}
