// The kernels in vectors of eight doubles. This file alone is built with
// -mavx512f -mavx2 -mfma (see CMakeLists.txt, matlab/make.m and the Octave
// package's Makefile), and its table is taken only on processors with
// AVX-512F. Built without those flags, or by a compiler without vector
// extensions, it offers no table.
#include "model/search/kernels.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__AVX512F__) && defined(__FMA__)
#define QUORV_KERNEL_SET avx512
#define QUORV_KERNEL_NAME "avx512"
#include "model/search/kernels-inl.h"

const search_kernels::Kernels *search_kernels::avx512_kernels() { return &avx512::table; }
#else
const search_kernels::Kernels *search_kernels::avx512_kernels() { return nullptr; }
#endif
