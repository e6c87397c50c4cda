// The host's state and its arrays' lifetime (see host_state.h).
#include "host_state.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

namespace minihost {
namespace host MINIHOST_INTERNAL {

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

namespace {

void write_stdout(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

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

}  // namespace host
}  // namespace minihost
