// The embedded host: arrays, host memory, console and errors for plug-ins, and
// the call that runs a plug-in's gateway and cleans up after it.
#include "minihost.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

struct mxArray_tag {
    std::vector<mwSize> dims;  // at least two, no trailing singletons past the second
    mxClassID cls = mxDOUBLE_CLASS;
    bool complex = false;
    bool sparse = false;
    size_t count = 0;  // elements, the product of dims
    size_t bytes = 0;  // size of each data block (a sparse one holds its nonzeros only)
    void *re = nullptr;
    void *im = nullptr;

    mxArray_tag() = default;
    mxArray_tag(const mxArray_tag &) = delete;
    mxArray_tag &operator=(const mxArray_tag &) = delete;
    ~mxArray_tag() {
        std::free(re);
        std::free(im);
    }
};

namespace {

// Thrown by mexErrMsgTxt; only Plugin::call catches it.
struct HostError {
    std::string message;
};

struct Block {
    size_t size;
    bool in_call;  // made during a call, so released when it ends
};

struct CallContext {
    std::string console;
    std::unordered_set<mxArray *> arrays;  // made by the plug-in and still alive
};

struct State {
    std::unordered_set<const mxArray *> arrays;  // every live array
    std::unordered_map<void *, Block> blocks;
    CallContext *call = nullptr;
    bool echo = false;
    void (*listener)(const std::string &, void *) = nullptr;
    void *listener_context = nullptr;
    double flops = 0;
    long allocations = 0;
    long fail_countdown = 0;
    long faults = 0;
};

// Never destroyed, so arrays released from static destructors still find it.
State &state() {
    static State *s = new State;
    return *s;
}

// Counts one host allocation and says whether the failure hook lets it through.
bool allocation_allowed() {
    State &s = state();
    ++s.allocations;
    return !(s.fail_countdown > 0 && --s.fail_countdown == 0);
}

void fault() { ++state().faults; }

size_t element_size(mxClassID cls) {
    switch (cls) {
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
    case mxINT8_CLASS: case mxUINT8_CLASS: case mxLOGICAL_CLASS: return 1;
    case mxCELL_CLASS: return sizeof(mxArray *);
    default: return 0;  // a struct without fields holds nothing
    }
}

bool is_numeric(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

bool storable(mxClassID cls) {
    return is_numeric(cls) || cls == mxLOGICAL_CLASS || cls == mxCHAR_CLASS ||
           cls == mxCELL_CLASS || cls == mxSTRUCT_CLASS;
}

bool mul_overflows(size_t a, size_t b, size_t *out) {
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a) return true;
    *out = a * b;
    return false;
}

// Makes and registers an array; null when the shape is too large or memory
// runs out. Sparse arrays get room for one nonzero only, as they store no full data.
mxArray *new_array(const mwSize *d, size_t nd, mxClassID cls, bool complex, bool sparse) noexcept {
    try {
        auto a = std::make_unique<mxArray_tag>();
        a->dims.assign(d, d + nd);
        while (a->dims.size() < 2) a->dims.push_back(1);
        while (a->dims.size() > 2 && a->dims.back() == 1) a->dims.pop_back();
        size_t tail = 1;
        for (size_t i = 1; i < a->dims.size(); ++i)
            if (mul_overflows(tail, a->dims[i], &tail)) return nullptr;
        if (mul_overflows(a->dims[0], tail, &a->count)) return nullptr;
        a->cls = cls;
        a->complex = complex;
        a->sparse = sparse;
        const size_t es = element_size(cls);
        if (sparse) {
            a->bytes = es;
        } else if (mul_overflows(a->count, es, &a->bytes)) {
            return nullptr;
        }
        // An empty array still answers a valid pointer, one byte that no element fits in.
        const size_t alloc = a->bytes ? a->bytes : 1;
        a->re = std::calloc(alloc, 1);
        if (!a->re) return nullptr;
        if (complex && !(a->im = std::calloc(alloc, 1))) return nullptr;
        state().arrays.insert(a.get());
        return a.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void delete_array(mxArray *a) {
    state().arrays.erase(a);
    delete a;
}

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

// Host helpers throw rather than answer null: a test cannot go on without its inputs.
minihost::Array host_array(const std::vector<size_t> &d, mxClassID cls, bool complex, bool sparse) {
    mxArray *a = new_array(d.data(), d.size(), cls, complex, sparse);
    if (!a) throw std::bad_alloc();
    return minihost::Array(a);
}

template <class T>
T to_integer(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);  // halves away from zero
    const double lo = static_cast<double>(std::numeric_limits<T>::min());
    const double hi = std::ldexp(1.0, std::numeric_limits<T>::digits);  // first value past max
    if (r <= lo) return std::numeric_limits<T>::min();
    if (r >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(r);
}

float to_single(double v) {
    // Past FLT_MAX plus half an ulp the nearest float is infinity; the cast
    // itself would be undefined there.
    constexpr double overflow = 0x1.ffffffp127;
    if (v >= overflow) return std::numeric_limits<float>::infinity();
    if (v <= -overflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

void store(void *data, mxClassID cls, size_t i, double v) {
    switch (cls) {
    case mxDOUBLE_CLASS: static_cast<double *>(data)[i] = v; break;
    case mxSINGLE_CLASS: static_cast<float *>(data)[i] = to_single(v); break;
    case mxINT8_CLASS: static_cast<int8_t *>(data)[i] = to_integer<int8_t>(v); break;
    case mxUINT8_CLASS: static_cast<uint8_t *>(data)[i] = to_integer<uint8_t>(v); break;
    case mxINT16_CLASS: static_cast<int16_t *>(data)[i] = to_integer<int16_t>(v); break;
    case mxUINT16_CLASS: static_cast<uint16_t *>(data)[i] = to_integer<uint16_t>(v); break;
    case mxINT32_CLASS: static_cast<int32_t *>(data)[i] = to_integer<int32_t>(v); break;
    case mxUINT32_CLASS: static_cast<uint32_t *>(data)[i] = to_integer<uint32_t>(v); break;
    case mxINT64_CLASS: static_cast<int64_t *>(data)[i] = to_integer<int64_t>(v); break;
    case mxUINT64_CLASS: static_cast<uint64_t *>(data)[i] = to_integer<uint64_t>(v); break;
    case mxCHAR_CLASS: static_cast<uint16_t *>(data)[i] = to_integer<uint16_t>(v); break;
    case mxLOGICAL_CLASS: static_cast<uint8_t *>(data)[i] = v != 0; break;
    default: break;
    }
}

double load(const void *data, mxClassID cls, size_t i) {
    switch (cls) {
    case mxDOUBLE_CLASS: return static_cast<const double *>(data)[i];
    case mxSINGLE_CLASS: return static_cast<const float *>(data)[i];
    case mxINT8_CLASS: return static_cast<const int8_t *>(data)[i];
    case mxUINT8_CLASS: return static_cast<const uint8_t *>(data)[i];
    case mxINT16_CLASS: return static_cast<const int16_t *>(data)[i];
    case mxUINT16_CLASS: return static_cast<const uint16_t *>(data)[i];
    case mxINT32_CLASS: return static_cast<const int32_t *>(data)[i];
    case mxUINT32_CLASS: return static_cast<const uint32_t *>(data)[i];
    case mxINT64_CLASS: return static_cast<double>(static_cast<const int64_t *>(data)[i]);
    case mxUINT64_CLASS: return static_cast<double>(static_cast<const uint64_t *>(data)[i]);
    case mxCHAR_CLASS: return static_cast<const uint16_t *>(data)[i];
    case mxLOGICAL_CLASS: return static_cast<const uint8_t *>(data)[i] != 0;
    default: return 0.0;
    }
}

bool has_values(mxClassID cls) { return is_numeric(cls) || cls == mxLOGICAL_CLASS || cls == mxCHAR_CLASS; }

// UTF-8 to UTF-16 code units, as a user's typed text arrives; bad bytes become U+FFFD.
std::vector<uint16_t> utf16(const std::string &text) {
    std::vector<uint16_t> out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
        uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1Fu) : extra == 2 ? (b & 0x0Fu) : (b & 0x07u);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (c & 0x3Fu);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

void write_stdout(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Console output of a plug-in: captured during a call, echoed when asked.
void emit(const std::string &text) {
    State &s = state();
    if (s.call) {
        s.call->console += text;
        if (s.listener) {
            s.listener(text, s.listener_context);
            return;
        }
        if (!s.echo) return;
    }
    write_stdout(text);
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
    // Zero bytes still answer a unique block, as the caller may compare or free it.
    void *p = std::calloc(bytes ? bytes : 1, 1);
    if (!p) return nullptr;
    State &s = state();
    try {
        s.blocks.emplace(p, Block{bytes, s.call != nullptr});
    } catch (const std::bad_alloc &) {
        std::free(p);
        return nullptr;
    }
    return p;
}

void *mxRealloc(void *ptr, mwSize size) {
    if (!ptr) return mxCalloc(size, 1);
    State &s = state();
    auto it = s.blocks.find(ptr);
    if (it == s.blocks.end()) {
        fault();
        return nullptr;
    }
    if (!allocation_allowed()) return nullptr;  // the old block stays valid, as with realloc
    void *q = std::realloc(ptr, size ? size : 1);
    if (!q) return nullptr;
    it->second.size = size;
    if (q != ptr) {
        auto node = s.blocks.extract(it);
        node.key() = q;
        s.blocks.insert(std::move(node));
    }
    return q;
}

void mxFree(void *ptr) {
    if (!ptr) return;
    State &s = state();
    auto it = s.blocks.find(ptr);
    if (it == s.blocks.end()) {
        fault();  // not ours: freeing it would corrupt the heap
        return;
    }
    std::free(ptr);
    s.blocks.erase(it);
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

namespace minihost {

// ---- the call ----

CallResult Plugin::call(int nlhs, const std::vector<const mxArray *> &inputs) {
    CallResult r;
    State &s = state();
    if (s.call) {
        r.error = "plug-in calls cannot nest";
        return r;
    }
    if (nlhs < 0 || inputs.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        r.error = "invalid number of arguments";
        return r;
    }
    // Room for at least one output, as the answer variable always has a slot.
    std::vector<mxArray *> plhs(static_cast<size_t>(nlhs > 0 ? nlhs : 1), nullptr);
    std::vector<const mxArray *> prhs(inputs);
    CallContext ctx;
    s.call = &ctx;
    try {
        entry_(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
        r.ok = true;
    } catch (const HostError &e) {
        r.error = e.message;
    } catch (const std::exception &e) {
        r.error = std::string("unexpected C++ exception from plug-in: ") + e.what();
    } catch (...) {
        r.error = "unexpected C++ exception from plug-in: not a std::exception";
    }
    s.call = nullptr;

    const size_t nout = nlhs > 0 ? static_cast<size_t>(nlhs) : (plhs[0] ? 1 : 0);
    for (size_t i = 0; i < nout; ++i) {
        mxArray *p = plhs[i];
        if (!p) {
            r.outputs.emplace_back();
        } else if (ctx.arrays.erase(p)) {
            r.outputs.emplace_back(p);
        } else if (s.arrays.count(p)) {
            // An input, or an array already returned in another slot: the
            // caller gets its own copy, as a real host shares and copies on write.
            r.outputs.push_back(duplicate(p));
        } else {
            fault();
            r.outputs.emplace_back();
            if (r.ok) {
                r.ok = false;
                r.error = "plug-in returned an invalid array in output " + std::to_string(i + 1);
            }
        }
    }
    for (mxArray *a : ctx.arrays) delete_array(a);
    for (auto it = s.blocks.begin(); it != s.blocks.end();) {
        if (it->second.in_call) {
            std::free(it->first);
            it = s.blocks.erase(it);
        } else {
            ++it;
        }
    }
    r.console = std::move(ctx.console);
    return r;
}

// ---- arrays for the host program ----

Array make_double(size_t rows, size_t cols, const std::vector<double> &column_major) {
    return make_array({rows, cols}, mxDOUBLE_CLASS, false, column_major);
}

Array make_row_major(size_t rows, size_t cols, const std::vector<double> &row_major) {
    size_t count = 0;
    if (mul_overflows(rows, cols, &count) || row_major.size() != count)
        throw std::invalid_argument("make_row_major: " + std::to_string(row_major.size()) +
                                    " values for a " + std::to_string(rows) + "x" + std::to_string(cols) + " matrix");
    std::vector<double> column_major(row_major.size());
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j) column_major[j * rows + i] = row_major[i * cols + j];
    return make_double(rows, cols, column_major);
}

Array make_scalar(double value) { return make_array({1, 1}, mxDOUBLE_CLASS, false, {value}); }

Array make_array(const std::vector<size_t> &dims, mxClassID cls, bool complex, const std::vector<double> &real,
                 const std::vector<double> &imag) {
    if (!storable(cls)) throw std::invalid_argument("make_array: class cannot be made");
    if (complex && !is_numeric(cls)) throw std::invalid_argument("make_array: only numeric arrays can be complex");
    if (!complex && !imag.empty()) throw std::invalid_argument("make_array: imaginary values for a real array");
    Array a = host_array(dims, cls, complex, false);
    for (const std::vector<double> *part : {&real, &imag}) {
        if (part->empty()) continue;
        if (!has_values(cls) || part->size() != a->count)
            throw std::invalid_argument("make_array: " + std::to_string(part->size()) + " values for " +
                                        std::to_string(a->count) + " elements");
        void *data = part == &real ? a->re : a->im;
        for (size_t i = 0; i < part->size(); ++i) store(data, cls, i, (*part)[i]);
    }
    return a;
}

Array make_sparse(size_t rows, size_t cols) { return host_array({rows, cols}, mxDOUBLE_CLASS, false, true); }

Array make_char(const std::string &text) {
    const std::vector<uint16_t> units = utf16(text);
    Array a = host_array({1, units.size()}, mxCHAR_CLASS, false, false);
    if (!units.empty()) std::memcpy(a->re, units.data(), units.size() * sizeof(uint16_t));
    return a;
}

Array make_cell(size_t rows, size_t cols) { return host_array({rows, cols}, mxCELL_CLASS, false, false); }
Array make_struct(size_t rows, size_t cols) { return host_array({rows, cols}, mxSTRUCT_CLASS, false, false); }

Array duplicate(const mxArray *a) {
    if (!a) return Array();
    Array c = host_array(a->dims, a->cls, a->complex, a->sparse);
    if (a->bytes) {
        std::memcpy(c->re, a->re, a->bytes);
        if (a->im) std::memcpy(c->im, a->im, a->bytes);
    }
    return c;
}

std::vector<double> values(const mxArray *a) {
    if (!a || !has_values(a->cls)) return {};
    if (a->sparse) return std::vector<double>(a->count, 0.0);  // no nonzeros are ever stored
    std::vector<double> v(a->count);
    for (size_t i = 0; i < a->count; ++i) v[i] = load(a->re, a->cls, i);
    return v;
}

std::vector<size_t> dims(const mxArray *a) { return a ? a->dims : std::vector<size_t>{}; }

// ---- console, flops, test hooks ----

void set_console_echo(bool on) { state().echo = on; }
void set_console_listener(void (*listener)(const std::string &text, void *context), void *context) {
    state().listener = listener;
    state().listener_context = context;
}
double flops() { return state().flops; }
void reset_flops() { state().flops = 0; }

void fail_allocation(long k) { state().fail_countdown = k > 0 ? k : 0; }
long allocation_count() { return state().allocations; }
void reset_allocation_count() { state().allocations = 0; }
long live_blocks() { return static_cast<long>(state().blocks.size()); }
long live_arrays() { return static_cast<long>(state().arrays.size()); }

void release_blocks() {
    State &s = state();
    for (auto it = s.blocks.begin(); it != s.blocks.end();) {
        if (it->second.in_call && s.call) {
            ++it;
        } else {
            std::free(it->first);
            it = s.blocks.erase(it);
        }
    }
}

long host_faults() { return state().faults; }
void reset_host_faults() { state().faults = 0; }

}  // namespace minihost
