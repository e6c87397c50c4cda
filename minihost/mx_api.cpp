// The MEX functions the host gives plug-ins: arrays, host memory, console,
// errors and flops. A null or foreign pointer never crashes the host: it is
// answered with nothing and counted as a fault. During a call, what a plug-in
// makes belongs to the call until it is returned (minihost.cpp).
#include "host_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

using namespace minihost::host;

namespace {

// An array made through the MEX interface: counted by the failure hook and,
// during a call, owned by the call until it is returned.
mxArray *api_array(const mwSize *d, size_t nd, mxClassID cls, bool complex) {
    if (!allocation_allowed()) return nullptr;
    mxArray *a = new_array(d, nd, cls, complex, false);
    if (!a) return nullptr;
    if (CallContext *c = state().call) {
        try {
            c->arrays.insert(a);
        } catch (const std::bad_alloc &) {
            delete_array(a);
            return nullptr;
        }
    }
    return a;
}

}  // namespace

// ---- inspection ----

extern "C" {

mwSize mxGetNumberOfDimensions(const mxArray *a) { return a ? a->dims.size() : 0; }
const mwSize *mxGetDimensions(const mxArray *a) { return a ? a->dims.data() : nullptr; }
size_t mxGetM(const mxArray *a) { return a ? a->dims[0] : 0; }
size_t mxGetN(const mxArray *a) {
    if (!a) return 0;
    mwSize n = 1;
    for (size_t i = 1; i < a->dims.size(); ++i) n *= a->dims[i];  // cannot overflow: checked at creation
    return n;
}
size_t mxGetNumberOfElements(const mxArray *a) { return a ? a->count : 0; }

double mxGetScalar(const mxArray *a) {
    if (!a || a->count == 0 || !has_values(a->cls)) return 0.0;
    return load(a->re, a->cls, 0);
}

// Whatever the class: a plug-in that does not check the class reads it as doubles.
double *mxGetPr(const mxArray *a) { return a ? static_cast<double *>(a->re) : nullptr; }
double *mxGetPi(const mxArray *a) { return a ? static_cast<double *>(a->im) : nullptr; }
void *mxGetData(const mxArray *a) { return a ? a->re : nullptr; }
mxClassID mxGetClassID(const mxArray *a) { return a ? a->cls : mxUNKNOWN_CLASS; }

bool mxIsDouble(const mxArray *a) { return a && a->cls == mxDOUBLE_CLASS; }
bool mxIsSingle(const mxArray *a) { return a && a->cls == mxSINGLE_CLASS; }
bool mxIsNumeric(const mxArray *a) { return a && is_numeric(a->cls); }
bool mxIsLogical(const mxArray *a) { return a && a->cls == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray *a) { return a && a->cls == mxCHAR_CLASS; }
bool mxIsCell(const mxArray *a) { return a && a->cls == mxCELL_CLASS; }
bool mxIsStruct(const mxArray *a) { return a && a->cls == mxSTRUCT_CLASS; }
bool mxIsComplex(const mxArray *a) { return a && a->complex; }
bool mxIsSparse(const mxArray *a) { return a && a->sparse; }
bool mxIsEmpty(const mxArray *a) { return !a || a->count == 0; }

// ---- creation and release ----

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid, mxComplexity flag) {
    const bool complex = flag == mxCOMPLEX;
    if ((!is_numeric(classid) && classid != mxLOGICAL_CLASS) || (complex && !is_numeric(classid)) ||
        (ndim > 0 && !dims)) {
        fault();
        return nullptr;
    }
    return api_array(dims, ndim, classid, complex);
}

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
    const mwSize d[2] = {m, n};
    return api_array(d, 2, mxDOUBLE_CLASS, flag == mxCOMPLEX);
}

mxArray *mxCreateDoubleScalar(double value) {
    const mwSize d[2] = {1, 1};
    mxArray *a = api_array(d, 2, mxDOUBLE_CLASS, false);
    if (a) *static_cast<double *>(a->re) = value;
    return a;
}

void mxDestroyArray(mxArray *a) {
    if (!a) return;
    State &s = state();
    if (!s.arrays.count(a)) {
        fault();
        return;
    }
    if (s.call) {
        // A plug-in may destroy only what it made; inputs belong to the caller.
        if (!s.call->arrays.erase(a)) {
            fault();
            return;
        }
    }
    delete_array(a);
}

// ---- host memory ----

void *mxCalloc(mwSize n, mwSize size) {
    if (!allocation_allowed()) return nullptr;
    size_t bytes = 0;
    if (mul_overflows(n, size, &bytes)) return nullptr;
    State &s = state();
    return s.blocks.make(bytes, s.call != nullptr);
}

void *mxRealloc(void *ptr, mwSize size) {
    if (!ptr) return mxCalloc(size, 1);
    State &s = state();
    if (!s.blocks.known(ptr)) {
        fault();
        return nullptr;
    }
    if (!allocation_allowed()) return nullptr;  // the old block stays valid, as with realloc
    return s.blocks.resize(ptr, size);
}

void mxFree(void *ptr) {
    if (!ptr) return;
    if (!state().blocks.release(ptr)) fault();  // not ours: freeing it would corrupt the heap
}

// ---- console, errors, flops ----

int mexPrintf(const char *format, ...) {
    if (!format) return 0;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return n;
    }
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, again);
    va_end(again);
    emit(std::string(buf.data(), static_cast<size_t>(n)));
    return n;
}

void mexErrMsgTxt(const char *message) {
    const char *text = message ? message : "";
    if (!state().call) {
        // Nobody can catch it outside a call: stop where the fault is.
        std::fprintf(stderr, "mexErrMsgTxt outside a plug-in call: %s\n", text);
        std::abort();
    }
    throw HostError{text};
}

void mexWarnMsgTxt(const char *message) {
    const std::string text = std::string("Warning: ") + (message ? message : "") + "\n";
    if (state().call) emit(text);
    else std::fputs(text.c_str(), stderr);  // no console to capture it: a diagnostic
}

void mexAddFlops(int count) { state().flops += count; }

}  // extern "C"
