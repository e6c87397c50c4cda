// The host's state, shared by the MEX functions (mx_api.cpp), the call
// (minihost.cpp) and the host program's arrays (host_arrays.cpp). Every live
// array is registered here and every host block is known with its size; an
// array's dims hold at least two entries and none that could overflow the
// element count, and its data blocks are never null.
#ifndef QUORV_MINIHOST_HOST_STATE_H
#define QUORV_MINIHOST_HOST_STATE_H

#include "blocks.h"
#include "internal.h"
#include "minihost.h"

#include <cstdlib>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

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

namespace minihost {
namespace host MINIHOST_INTERNAL {

// Thrown by mexErrMsgTxt; only Plugin::call catches it.
struct HostError {
    std::string message;
};

struct CallContext {
    std::string console;
    std::unordered_set<mxArray *> arrays;  // made by the plug-in and still alive
};

struct State {
    std::unordered_set<const mxArray *> arrays;  // every live array
    Blocks blocks;
    CallContext *call = nullptr;
    bool echo = false;
    void (*listener)(const std::string &, void *) = nullptr;
    void *listener_context = nullptr;
    double flops = 0;
    long allocations = 0;
    long fail_countdown = 0;
    long faults = 0;
    void (*load_hook)(const std::string &, void *) = nullptr;
    void *load_hook_context = nullptr;
};

// Never destroyed, so arrays released from static destructors still find it.
State &state();

// Counts one host allocation and says whether the failure hook lets it through.
bool allocation_allowed();

inline void fault() { ++state().faults; }

size_t element_size(mxClassID cls);
inline bool is_numeric(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }
inline bool has_values(mxClassID cls) { return is_numeric(cls) || cls == mxLOGICAL_CLASS || cls == mxCHAR_CLASS; }
inline bool storable(mxClassID cls) {
    return is_numeric(cls) || cls == mxLOGICAL_CLASS || cls == mxCHAR_CLASS || cls == mxCELL_CLASS ||
           cls == mxSTRUCT_CLASS;
}

inline bool mul_overflows(size_t a, size_t b, size_t *out) {
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a) return true;
    *out = a * b;
    return false;
}

// Makes and registers an array; null when the shape is too large or memory
// runs out. Sparse arrays get room for one nonzero only, as they store no full data.
mxArray *new_array(const mwSize *d, size_t nd, mxClassID cls, bool complex, bool sparse) noexcept;
void delete_array(mxArray *a);

// Element i of `data`, an array's block of class `cls`, as a double.
double load(const void *data, mxClassID cls, size_t i);

// Console output of a plug-in: captured during a call, echoed when asked.
void emit(const std::string &text);

}  // namespace host
}  // namespace minihost

#endif
