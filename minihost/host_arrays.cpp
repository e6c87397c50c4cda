// Arrays the host program makes and reads (minihost.h): any shape and class a
// user could pass, values converted to the class as a real host converts them
// (rounded and saturated, NaN as 0, text as UTF-16). Refusals throw: a host
// program cannot go on without its inputs.
#include "host_state.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace minihost {

using namespace host;

namespace {

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

}  // namespace

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

}  // namespace minihost
