// Argument helpers shared by both gateways: the scalar test, the one
// double-to-int conversion, message formatting, and the host flop counter.
#ifndef QUORV_HOST_ARGS_H
#define QUORV_HOST_ARGS_H

#include "host/truncate.h"
#include "mex.h"

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define QUORV_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUORV_PRINTF_LIKE(fmt, args)
#endif

// The gateway stays visible although plug-ins build with hidden visibility;
// the export map alone cannot bring back a hidden symbol.
#if defined(__GNUC__)
#define QUORV_GATEWAY extern "C" __attribute__((visibility("default")))
#else
#define QUORV_GATEWAY extern "C"
#endif

// Size of every message buffer of the gateways.
constexpr std::size_t kMessageSize = 1024;


// Exactly two dimensions, at least one of them 1.
bool is_scalar_shape(const mxArray *a);

// Number of dimensions, rows and columns of a host array (rows and columns
// only meaningful with two dimensions).
int dimension_count(const mxArray *a);
mwSize row_count(const mxArray *a);
mwSize column_count(const mxArray *a);

// Counts travel as ints: a dimension is usable only up to INT_MAX.
bool fits_int(mwSize count);

// Full, real, double data: the only arrays whose data are read through
// mxGetPr. Any other class, complex or sparse data would be read wrongly or
// past its end.
bool is_real_double(const mxArray *a);

// Arrays whose first element the host's scalar read turns into a real
// number: full, real numeric or logical arrays. Text, cells, structures and
// objects hold no number; complex values would lose their imaginary part,
// and sparse arrays read differently from host to host.
bool is_real_number(const mxArray *a);

// What a scalar argument must be: the scalar shape, holding a real number.
inline bool is_scalar(const mxArray *a) { return is_scalar_shape(a) && is_real_number(a); }

// Formats a message into msg (kMessageSize bytes) and returns false, so that a
// check can read `return fail(msg, "...", ...)`.
bool fail(char *msg, const char *format, ...) QUORV_PRINTF_LIKE(2, 3);

// Adds to the host's flop counter in pieces that fit its int argument. Hosts
// without a flop counter (built with QUORV_NO_HOST_FLOPS, or a host that
// exports no mexAddFlops: on ELF systems and on Windows) get nothing.
void add_host_flops(std::int64_t count);

// Prints a 32-bit running counter with "%lu": varargs need an unsigned long.
inline unsigned long counter_arg(std::uint32_t value) { return static_cast<unsigned long>(value); }

#endif
