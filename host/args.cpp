// Argument helpers shared by both gateways.
#include "host/args.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <type_traits>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

int dimension_count(const mxArray *a)
{
    const mwSize n = mxGetNumberOfDimensions(a);
    return n > static_cast<mwSize>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

mwSize row_count(const mxArray *a) { return mxGetDimensions(a)[0]; }
mwSize column_count(const mxArray *a) { return mxGetDimensions(a)[1]; }

namespace {
// mwSize is unsigned in some hosts and signed in others; only a signed count
// needs the test for negative values.
template <class Size>
bool fits_int_count(Size count)
{
    if constexpr (std::is_signed<Size>::value) {
        if (count < 0)
            return false;
    }
    return static_cast<std::uint64_t>(count) <= static_cast<std::uint64_t>(INT_MAX);
}
}  // namespace

bool fits_int(mwSize count) { return fits_int_count(count); }

bool is_real_double(const mxArray *a)
{
    return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

bool is_real_number(const mxArray *a)
{
    return (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && !mxIsSparse(a);
}

bool is_scalar_shape(const mxArray *a)
{
    return dimension_count(a) == 2 && (row_count(a) == 1 || column_count(a) == 1);
}

bool fail(char *msg, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(msg, kMessageSize, format, args);
    va_end(args);
    return false;
}

#if !defined(QUORV_NO_HOST_FLOPS) && defined(__ELF__) && !defined(_WIN32)
// Current hosts have no flop counter: imported weakly, the plug-ins still load
// there, and the counter is only fed where the host provides one.
extern "C" void mexAddFlops(int count) __attribute__((weak));
#endif

#ifndef QUORV_NO_HOST_FLOPS
namespace {

using AddFlops = void (*)(int);

// The host's flop counter, or null where the host has none.
AddFlops host_flop_counter()
{
#if defined(_WIN32)
    // The same on Windows, where a missing import would stop the plug-in from
    // loading: the counter is looked up in the host's libmex.dll instead, or in
    // libmx.dll, which gives a program linked with this code (a test) the rest.
    static const AddFlops counter = [] {
        static const wchar_t *const hosts[] = {L"libmex.dll", L"libmx.dll"};
        for (const wchar_t *name : hosts) {
            const HMODULE host = GetModuleHandleW(name);
            if (const FARPROC f = host ? GetProcAddress(host, "mexAddFlops") : nullptr)
                return reinterpret_cast<AddFlops>(reinterpret_cast<void (*)()>(f));
        }
        return AddFlops{};
    }();
    return counter;
#else
    return &mexAddFlops;  // null when the weak import found nothing
#endif
}

}  // namespace
#endif

void add_host_flops(std::int64_t count)
{
#ifdef QUORV_NO_HOST_FLOPS
    (void)count;
#else
    const AddFlops add = host_flop_counter();
    if (!add)
        return;
    while (count > INT_MAX) {
        add(INT_MAX);
        count -= INT_MAX;
    }
    if (count > 0)
        add(static_cast<int>(count));
#endif
}
