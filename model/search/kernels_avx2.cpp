// The kernels in vectors of four doubles. This file alone is built with
// -mavx2 -mfma (see CMakeLists.txt, matlab/make.m and the Octave package's
// Makefile), and its table is taken only on processors with AVX2 and FMA.
// Built without those flags, or by a compiler without vector extensions, it
// offers no table.
#include "model/search/kernels.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__AVX2__) && defined(__FMA__) && !defined(__AVX512F__)
#define QUORV_KERNEL_SET avx2
#define QUORV_KERNEL_NAME "avx2"
#include "model/search/kernels-inl.h"

const search_kernels::Kernels *search_kernels::avx2_kernels() { return &avx2::table; }
#else
const search_kernels::Kernels *search_kernels::avx2_kernels() { return nullptr; }
#endif
