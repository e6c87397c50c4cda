// Converters between host arrays and the system's own arrays. Every block they
// make or take comes from the host allocator; failures are null results.
// Input arrays must be full real doubles whose dimensions fit an int (the
// gateways test this); others get the converter's "not appropriate" warning.
#ifndef QUORV_HOST_CONVERT_H
#define QUORV_HOST_CONVERT_H

#include "mex.h"

// Host vector (1-by-n or n-by-1) to a new block of n doubles owned by the
// caller. Warns and returns null for other shapes; null without a warning when
// the host has no memory (*n then keeps the count).
double *mxArray1D_to_cArray1D(int *n, const mxArray *a);

// Host matrix to a new block of *rows row pointers, each to *cols doubles, all
// owned by the caller. Warns and returns null unless a has two dimensions.
double **mxArray2D_to_cArray2D(int *rows, int *cols, const mxArray *a);

// New n-by-1 host column holding data; releases data once copied. Null, with
// data left to the caller, when the host cannot make the array.
mxArray *cArray1D_to_mxArray1D(int n, double *data);

// New rows-by-cols host matrix from the row arrays; releases every row and the
// pointer block once copied. Null, releasing nothing, when the host refuses.
mxArray *cArray2D_to_mxArray2D(int rows, int cols, double **table);

#endif
